#pragma once
// The model-wide settings of a run: what the control-file reader hands the application
// after the set-up and the application hands every sub-model. Built once, then read only.

#include <span>
#include <string>
#include <vector>

#include "framework/date.h"
#include "framework/grid_distribution.h"
#include "framework/modelobject.h"
#include "framework/solar_geometry.h"
#include "framework/zone_record.h"

namespace tolvo {

class grid_table;
class LanduseTable;
class MultilayerLanduseTable;
class SoilRecord;
struct IrrigationRecord;
struct HruRecord;
class RiverLink;
struct LinkCellLists;

// Zone codes of a zone grid ranked to dense indices 1..zone_count.
struct ZoneTableView {
  int zone_count = 0;
  int largest_code = 0;
  std::span<const ZoneRecord> zones;        // entries 0..zone_count
  std::span<const int> code_index;          // zone code -> index, entries 0..largest_code
  std::span<const ColumnRange> column_ranges;  // per row (index 0 unused)
};

// --- regression regions (setup/region_grid.h) -----------------------------------------
// The centroid of one region of the region grid: mean row and column (truncated and
// exact) and the number of its cells. Travels over MPI as five blocks (int, int, double,
// double, double) at bytes 0, 4, 8, 16 and 24.
struct RegionCentroidRecord {
  int row = 0;
  int col = 0;
  double mean_row = 0;
  double mean_col = 0;
  double cell_count = 0;
};

// The regions of "regression_regions" ranked to dense indices 1..region_count in
// ascending code order (none before the set-up has ranked them).
struct RegionTableView {
  int region_count = 0;
  int largest_code = 0;
  int max_regions = 0;
  double transition_distance = 0;               // in the units of the cell size
  std::span<const int> code_index;              // region code -> index, entries 0..largest_code
  std::span<const RegionCentroidRecord> centroids;  // entries 0..region_count (0 unused)
};
// --- end of regression regions ---------------------------------------------------------

struct ModelSettings {
  std::string compiled_control_file;
  SolarSite site;
  double min_to_int_end = 0;  // minutes from the data hour to the end of the step
  double time_shift = 0;      // hours from data time to local time
  int log_interval = 0;       // hours between progress lines
  GridGeometry geometry;
  RowRange strip;
  std::vector<int> output_list;
  grid_table* grids = nullptr;
  ZoneTableView zones;
  RegionTableView regions;  // regression regions
  ModelDate start_date;
  ModelDate end_date;
  const LanduseTable* landuse = nullptr;
  const MultilayerLanduseTable* multilayer_landuse = nullptr;
  // Writable: the soil model completes the dry-soil heat values and the freezing tables
  // when it carries heat, before any other sub-model reads them.
  std::vector<SoilRecord>* soils = nullptr;
  const std::vector<IrrigationRecord>* irrigation = nullptr;
  OutputFormats formats;
  std::string input_directory;
  std::string output_directory;
  const DomainLayout* layout = nullptr;
  int spin_up = 0;  // the SpinUp switch, also the hydrologic-response-unit switch
  const std::vector<HruRecord>* hrus = nullptr;
  // The river links of the decomposition, the same on every process, and this process's
  // lists of link cells it holds for others and computes for others (none without links).
  const std::vector<RiverLink>* river_links = nullptr;
  const LinkCellLists* link_cells = nullptr;
};

}  // namespace tolvo
