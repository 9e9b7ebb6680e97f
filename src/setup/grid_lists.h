#pragma once
// The grid lists of the control file: the input grids of the whole model, named in
// "[zone_grid]" (the zone grid, grid-table entry 1), "[elevation_model]" (entry 2),
// "[standard_grids]" (line k at entry k + 2) and "[variable_grids]" (after the grids that
// the domain decomposition registers). The sub-models find them by the identifiers the
// user gives them.
//
// A "[standard_grids]" line holds a file name, an identifier and either the fill code
// ("old form") or keywords ("keyword form"); keywords may also follow the fill code:
//   fillcode=  readcode=  defaultValue=  writecode=  outname=  statfile=  statcode=
//   periodicity= N UNIT M   persistent= FLAG K
// A keyword is found as a plain substring of the line; its values are read from behind
// the first "=" that follows it (from the keyword itself when none follows), and a value
// that cannot be read is 0 (or empty).
//
// A standard grid is read once at set-up, from its file or (read code below 1) as its
// default value inside the zone grid. A periodic grid (periodicity N UNIT M) is re-read
// during the run from "<file>_YYYYMMDDHH": the unit chooses a calendar field (H or D: the
// hour, M: the day of the month, Y: the month); each fall of that field ends a period
// (the first step of the run does too), each rise counts; the grid is re-read when N
// periods have ended and the field has risen to the M-th value of the period. When the
// N-th period ends without its re-read, the count starts again. A grid that is not
// persistent gets its set-up values back K steps after each re-read.
//
// Every operation runs on every process with the same control file, in the same order;
// the reading and the halo exchanges are collective.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "framework/date.h"
#include "framework/error_code.h"
#include "framework/matrix.h"

namespace tolvo {

class modelobject;
struct RunContext;
struct grid_entry;
class LanduseTable;
class MultilayerLanduseTable;

// Longest period unit of a periodic grid.
inline constexpr std::size_t kMaxPeriodUnitLength = 99;
// The watched value before the first step: any calendar value is smaller, so the first
// step of the run ends a period.
inline constexpr int kNoWatchedValue = 9999;

// The calendar field a periodic grid watches, from the upper-case letters of its unit.
enum class PeriodField { None, Hour, DayOfMonth, Month };
PeriodField WatchedField(std::string_view unit);

// The periodic re-reading of a standard grid ("periodicity" and "persistent").
struct Periodicity {
  int count = -1;  // N: period ends between two readings
  std::string unit;
  int step = -1;  // M: the rise of the watched field within the period
  bool persistent = true;
  int persistence_steps = 0;  // K: steps after a re-read until the set-up values return
};

// One line of "[standard_grids]" as the control file gives it.
struct StandardGridLine {
  std::string file_name;
  std::string identifier;
  std::optional<int> fill_code;  // none: a keyword-form line without "fillcode"
  int read_code = 1;
  double default_value = 0.0;
  int write_code = 0;
  std::string outname;                  // the file name unless "outname" is given
  std::optional<std::string> statfile;  // file of the zonal statistics table
  int statcode = 0;
  std::optional<Periodicity> periodicity;
};

// Parses a line of "[standard_grids]"; nothing when it does not begin with two tokens.
std::optional<StandardGridLine> ParseStandardGridLine(const std::string& line);

// What a periodic re-read of the land-use grid renews; given by the set-up once the
// land-use codes are converted and the layer grids are made (stage 13).
struct LanduseRenewal {
  // Grid-table position of the land-use grid ("landuse", "landuse1" with one layer).
  int position = 0;
  // The tables its codes are checked against and turned into indices of.
  const LanduseTable* landuse = nullptr;
  MultilayerLanduseTable* multilayer = nullptr;  // none without multilayer land use
  // Layer grids 1..L at [0..L-1]; none when the land-use grid is its own single layer.
  std::vector<GridView> layers;
};

// Sets the process's own cells of land-use layer grid `layer_number` (1-based): a domain
// cell that the process computes gets the land-use index of that layer of the multilayer
// record whose index `landuse` holds; every other cell of the own column ranges gets
// nodata. The halo rows are left to the caller's exchange.
void RenewLanduseLayerGrid(const RunContext& run, GridView layer, int layer_number, ConstGridView landuse,
                           const MultilayerLanduseTable& multilayer);

class GridLists {
 public:
  // Set-up stage 1: reads "[zone_grid]", "[elevation_model]" and "[standard_grids]" from
  // the reader's open control file into the grid table (names and settings; no values).
  void ReadStandardGrids(modelobject& reader);

  // Set-up stage 8: reads or fills every standard grid without values (except
  // "river_links") on the rows the process holds, keeps the saved copy of every grid that
  // is not persistent, logs "before reading variable grids" with the rank and meets the
  // other processes at a barrier.
  void ReadStandardGridValues(modelobject& reader);

  // Set-up stage 8: reads "[variable_grids]" from the named (compiled) control file,
  // registers and fills the variable grids; the number of them.
  int ReadVariableGrids(modelobject& reader, const std::string& control_file);

  // Every step, after the meteorological inputs: re-reads the periodic standard grids
  // that are due and restores the set-up values of those whose time is up.
  void UpdatePeriodicGrids(modelobject& reader, const ModelDate& date, int step_minutes);

  // Every step, after the discharge routing: store the date in the reader and write the
  // outputs of each grid of the list (WriteGridOutputs, distributed). The standard list
  // runs over positions 2 up to the last grid of the set-up before the variable grids;
  // the zone grid is never written. Collective.
  void WriteStandardGrids(modelobject& reader, const ModelDate& date);
  void WriteVariableGrids(modelobject& reader, const ModelDate& date);

  // Stage 13, when the land-use grid exists.
  void SetLanduseRenewal(LanduseRenewal renewal) { landuse_ = std::move(renewal); }

  // The number of grid-table entries after position 2 that the set-up has filled; every
  // registration of the set-up outside the lists counts itself with CountRegisteredGrid.
  int grid_count() const { return grid_count_; }
  void CountRegisteredGrid() { ++grid_count_; }
  int standard_grid_count() const { return static_cast<int>(standard_.size()); }
  int variable_grid_count() const { return variable_grid_count_; }
  // Position of the first variable grid; 0 when there is none.
  int first_variable_grid() const { return first_variable_grid_; }
  // Read codes of the variable grids, 1-based (entry 0 unused).
  const std::vector<int>& variable_read_codes() const { return variable_read_codes_; }

  // The values of standard grid k (1-based) or variable grid f, as this object holds them.
  const Grid& standard_values(int k) const { return standard_[static_cast<std::size_t>(k - 1)].values; }
  const Grid& variable_values(int f) const { return variable_values_[static_cast<std::size_t>(f - 1)]; }

 private:
  struct StandardGrid {
    Grid values;
    int write_code = 0;
    PeriodField watched = PeriodField::None;
  };

  void ReadStandardGridLine(modelobject& reader, int k);
  void ReadStandardGridValue(modelobject& reader, int k);
  void ReadVariableGridLine(modelobject& reader, int f, int position);
  static bool ReReadDue(grid_entry& entry, PeriodField watched, const ModelDate& date);
  void ReRead(modelobject& reader, int position, StandardGrid& grid, const ModelDate& date);
  void RenewLanduseLayers(modelobject& reader, ConstGridView landuse);
  void RestoreSavedValues(modelobject& reader, int position);

  std::vector<StandardGrid> standard_;  // line k at [k - 1]
  std::vector<Grid> variable_values_;   // grid f at [f - 1]
  std::vector<int> variable_read_codes_;
  int grid_count_ = 0;
  int variable_grid_count_ = 0;
  int first_variable_grid_ = 0;
  LanduseRenewal landuse_;
};

}  // namespace tolvo
