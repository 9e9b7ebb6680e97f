#pragma once
// Regression regions: the meteorological interpolation can fit its regressions separately
// for up to 30 regions of the domain and blend the results of neighbouring regions across
// their borders. The set-up prepares what it needs:
// - the region grid "regression_regions" (from the grid lists, or made here as one region
//   of code 1 covering the zone);
// - the region tables: region codes ranked to dense indices 1..n in ascending code order,
//   and the centroid of every region;
// - the weight grids: each zone cell blends its own region (weight W1 in
//   "regression_weights1") with the nearest other region R2 ("regression_regions2",
//   "regression_weights2") and a third one R3 ("regression_regions3",
//   "regression_weights3") found within the transition distance. The R2 and R3 grids
//   exist only with at least 2 and 3 regions; 0 there means "no such region".
// The weights of a cell add up to 1. They are computed once, on process 0, and written
// once at set-up.

#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "framework/grid_distribution.h"
#include "framework/matrix.h"
#include "framework/model_settings.h"

namespace tolvo {

class modelobject;

inline constexpr int kMaxRegions = 30;
inline constexpr int kLargestRegionCode = 32767;
// A transition distance of 0 or below is taken as this (far less than a cell).
inline constexpr double kSmallestTransitionDistance = 0.01;

// The ranked regions of a region grid, the same on every process.
struct RegionTables {
  double transition_distance = 0;  // in the units of the cell size
  int region_count = 0;
  int largest_code = 0;
  std::vector<int> code_index;                    // code -> index 1..region_count; entries 0..largest_code
  std::vector<RegionCentroidRecord> centroids;    // entries 0..region_count (0 unused, zero)

  RegionTableView view() const {
    return {region_count, largest_code, kMaxRegions, transition_distance, code_index, centroids};
  }
};

// Collective: ranks the region grid at grid-table entry `index` against the zone grid
// (entry 1). Process 0 reads both whole grids; every zone cell must carry a region code
// 1..32767 (the value truncated toward zero), else 3; more than 30 regions fail with 4.
// The tables are broadcast to every process (transition_distance is left 0).
RegionTables RankRegionGrid(modelobject& reader, int index);

// The grids of the weight computation, whole (rows 1..nrows) on process 0. The grids of
// the second and third region are empty when there are fewer regions.
struct RegionWeightGridViews {
  ConstGridView zone;  // a cell is in the zone when its value is above nodata
  GridView r1;         // region code of each cell; set to nodata outside the zone
  GridView w1;
  GridView r2;
  GridView w2;
  GridView r3;
  GridView w3;
};

// Weights of the regions at every cell of the column ranges (entries 0..nrows; index 0
// unused), for `region_count` regions and a transition distance of `distance_cells` cells
// (above 0). For every zone cell the disc of that radius is searched, top to bottom and
// left to right, for cells of other regions: the nearest one (by the integer part of the
// distance) becomes R2, a further one R3. With w = W1 / (2 o) + 0.5 limited to 0.5..1,
// where W1 is the distance to R2 (o when there is none):
// - one region: W1 = 1;
// - two regions, or no third region found: W1 = w, W2 = 1 - w (0 without R2);
// - a third region found: inverse-distance shares of the own region (o minus the nearer
//   of the two distances) and of R2 and R3 (their distances plus o), less a common
//   threshold that rises from 0.2/o to 0.45/o with the smallest of the three terms.
// Cells outside the zone get nodata in every grid; cells outside the column ranges are
// left as they are. Rows are independent, so they run in parallel.
void ComputeRegionWeights(const RegionWeightGridViews& grids, std::span<const ColumnRange> column_ranges,
                          int region_count, double distance_cells, double nodata);

// The grids of the regions and their tables for the run; filled by MakeRegionWeightGrids.
class RegionGrids {
 public:
  // Collective, set-up stage 20: finds or makes "regression_regions", reads
  // "[region_transition_distance]" from the reader's control file, ranks the regions,
  // registers the weight grids (and the R2, R3 grids with enough regions) at free grid-table
  // entries, computes them on process 0, hands them to the processes that compute the
  // cells and writes them once. `count_registered_grid` is called once for every grid
  // registered here.
  void MakeRegionWeightGrids(modelobject& reader, const std::function<void()>& count_registered_grid);

  const RegionTables& tables() const { return tables_; }
  RegionTableView view() const { return tables_.view(); }

 private:
  void MakeOneRegionGrid(modelobject& reader, int index, const std::function<void()>& count_registered_grid);
  void ReadTransitionDistance(modelobject& reader);
  void RegisterWeightGrids(modelobject& reader, const std::string& region_file,
                           const std::function<void()>& count_registered_grid);
  void MakeRegionWeights(modelobject& reader);
  void SpreadAndWrite(modelobject& reader);

  RegionTables tables_;
  int region_index_ = 0;
  Grid made_regions_;  // only when the grid lists give no region grid
  // W1, R2, W2, R3, W3 with their grid-table entries (0 for a grid not made).
  std::vector<Grid> grids_;
  std::vector<int> indices_;
};

// The stem of a file name for the names derived from it: the name cut before the last "."
// of its base name (the whole name when the base name has none).
std::string RegionFileStem(std::string_view file_name);

}  // namespace tolvo
