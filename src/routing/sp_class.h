#pragma once
// A reservoir or lake of a routing sub-basin ("SP" entry of the routing description). It
// holds a water volume [m3] and one concentration per tracer, takes the routed inflow of
// its sub-basin, releases the outflow its rules give (reservoir_rules.h) and hands that
// outflow back to the routing object as the sub-basin's output. It keeps a balance of
// nine terms per step and writes one output row per step.
//
// With lake flow control the reservoir is a lake: the grid cells whose "lake_codes" value
// is its code. The ponding water on these cells is the lake water; the level-volume table
// of the lake's terrain (level_volume_table.h) converts between volume and level, and
// after each step the level is laid over the cells as a flat water surface. Without lake
// flow control the reservoir is a plain store: level, area and all depths stay 0.
//
// Reservoirs live on process 0 only and are used from one thread. They must not move once
// registered: the reservoir map points into them.

#include <array>
#include <cstdio>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "framework/matrix.h"
#include "framework/run_context.h"
#include "routing/level_volume_table.h"
#include "routing/reservoir_rules.h"

namespace tolvo {

class ControlFileStream;
class DiagnosticsLog;
struct ColumnRange;
struct TracerSettingsRecord;

// What a hydraulic connection reads of the reservoir it connects to.
struct ReservoirLink {
  const double* level = nullptr;    // [m a.s.l.]
  const double* dv_rate = nullptr;  // volume change rate [m3/s]
  const double* area = nullptr;     // water surface [m2]
};
// Reservoir code -> its link; the first reservoir registered under a code stays.
using ReservoirMap = std::map<int, ReservoirLink>;
// Sub-basin code -> whether the last reservoir of its routing object is hydraulically
// connected.
using HydraulicConnectionSet = std::map<int, bool>;

// The nine terms of the balance of a step, in the order the output rows hold them
// (after the inflow and outflow).
enum class BalanceTerm { kAbstr, kIrrig, kPrec, kQin, kQout, kQgw, kEtr, kDv, kErr };
inline constexpr int kBalanceTerms = 9;
struct BalanceValue {
  double depth_mm = 0;  // over the water surface
  double rate_m3s = 0;
  double volume_m3 = 0;
};

// The grids a lake reads and writes, as process 0 holds them (every row). Optional grids
// are empty views.
struct LakeGrids {
  ConstGridView lake_codes;
  GridView ponding;  // [mm]
  ConstGridView max_ponding;  // [mm]
  ConstGridView zones;        // "zonegrid_soilmodel"
  ConstGridView elevation;    // [m a.s.l.]
  ConstGridView transpiration;  // real transpiration of open water [mm per step]
  ConstGridView q_downext;      // drainage to groundwater [m/s], optional
  ConstGridView baseflow;       // [m/s], optional
  ConstGridView prec_on_lakes;  // water input of the lake cells [mm per step]
  // Per tracer 1..n (entry 0 unused): the soil's storage concentration, the grid that the
  // lake-cell exchange carries.
  std::vector<GridView> tracer_concentrations;
};

// What the owning routing object hands to its reservoirs.
struct ReservoirSetup {
  int n_tracers = 0;
  std::span<const TracerSettingsRecord> tracers{};  // entries 0..n
  int subbasin_code = 0;
  std::span<const int> code_index{};  // sub-basin code -> index
  std::span<const ColumnRange> column_ranges{};  // rows 0..nrows
  GridGeometry geometry{};
  int lake_flow_control = 0;
  std::string output_directory{};
};

// The inflow of a step as the routing object hands it over.
struct ReservoirInflow {
  double inflow_m3s = 0;           // Q
  std::span<const double> routed;  // concentration of the inflow per tracer 1..n (entry 0 unused)
  double dt_min = 0;
  double irrigation_m3 = 0;   // irrigation water taken from the reservoir in the step
  double abstraction_m3 = 0;  // abstractions taken from the reservoir in the step
  ReservoirDraws* draws = nullptr;  // abstractions drawn in the sub-steps of the rules; none: null
};

class SP_class {
 public:
  SP_class() = default;
  SP_class(const SP_class&) = delete;
  SP_class& operator=(const SP_class&) = delete;
  SP_class(SP_class&&) = default;
  SP_class& operator=(SP_class&&) = default;
  ~SP_class() = default;

  void SetUp(DiagnosticsLog& log, const ReservoirSetup& setup);
  void BindLakeGrids(LakeGrids grids) { lake_ = std::move(grids); }

  // Name prefixed by the directory unless absolute ("/", "~") or no directory is given.
  static std::string PrefixPath(std::string_view directory, std::string_view name);

  // Reads the entry whose "SP" keyword stands at `at` of the block text, searching its keys
  // ("file", "V0", "C0", optional "dTmin") from behind the code up to `end` (the next entry
  // of the block). A missing key, or "C0" with fewer numbers than tracers, fails with 35.
  void ReadParameters(std::string_view block, std::size_t at, std::size_t end);
  // Reads the rules from the reservoir's section; a missing section fails with 34.
  void ReadRules(ControlFileStream& file);
  // Positions the control file at the line after `header`; fails with 34 when missing.
  void SeekSection(ControlFileStream& file, const std::string& header);

  // Lakes: the lake's cells, their checks, its level-volume table and its table file
  // (written into the working directory). Nothing without lake flow control.
  void BuildLevelVolumeTable();
  double LevelFromVolume(double volume_m3) const;
  double VolumeFromLevel(double level_m) const;
  // Volume and concentrations of the ponding water of the lake cells into out[0..n];
  // returns the volume. 0 without lake flow control.
  double CollectLakeContent(std::span<double> out) const;
  void InitContentFromCells() { CollectLakeContent(content_); }
  // Sets the level from the volume and lays it over the lake cells.
  void SetLevelFromVolume(double volume_m3);

  // Mean outflow of the step [m3/s] by the reservoir's rules; `draws` take their water in
  // the rules' sub-steps.
  double ComputeOutflow(const StepDate& date, double inflow_m3s, double dt_min, ReservoirDraws* draws = nullptr);
  // Fails with 29 when the reservoir's hydraulic connection has no target in the map, or
  // the reservoir is no lake (a connection needs levels and a water surface).
  void CheckConnection() const;
  // One step: the lake's cells, the rules, the volume, the balance. Returns the exchange
  // with groundwater [m3/s]. A start-up routing (date.year < 1) moves no water.
  double ReservoirStep(const ReservoirInflow& inflow, const StepDate& date);

  void RegisterReservoir(ReservoirMap& map);
  void RegisterSubbasin(HydraulicConnectionSet& set) const;

  // Output file: created with its header; rows buffered and appended by FlushOutput.
  void CreateOutputFile();
  void AppendOutputRow(int year, int month, int day, int hour);
  void FlushOutput(int flag);

  static double MixConcentration(double c1, double c2, double v1, double v2);

  int code() const { return code_; }
  std::span<double> content() { return content_; }
  std::span<const double> content() const { return content_; }
  double outflow() const { return outflow_; }
  void set_outflow(double q_m3s) { outflow_ = q_m3s; }
  double level() const { return level_; }
  const double& area() const { return area_; }
  double dtmin_s() const { return dtmin_s_; }
  const std::string& file_name() const { return file_name_; }
  const BalanceValue& balance(BalanceTerm term) const { return balance_[static_cast<std::size_t>(term)]; }
  const ReservoirRules& rules() const { return rules_; }
  const LevelVolumeTable& level_volume_table() const { return table_; }
  bool is_lake() const { return setup_.lake_flow_control != 0; }
  bool connected() const { return rules_.connection.has_value(); }
  int buffer_capacity() const { return capacity_; }
  int values_per_row() const { return values_per_row_; }

 private:
  BalanceValue& term(BalanceTerm t) { return balance_[static_cast<std::size_t>(t)]; }
  // Whether cell (r, c) belongs to the lake.
  bool IsLakeCell(int r, int c) const { return lake_.lake_codes(r, c) == code_; }
  // Runs f(r, c) over the lake cells of the lake's bounding box.
  template <typename F>
  void ForEachLakeCell(F&& f) const {
    for (int r = box_rows_.first; r <= box_rows_.last; ++r) {
      for (int c = box_first_col_; c <= box_last_col_; ++c) {
        if (IsLakeCell(r, c)) f(r, c);
      }
    }
  }
  void GatherLakeBalance(double T);
  void WriteBufferedRows();

  DiagnosticsLog* log_ = nullptr;
  ReservoirSetup setup_;
  LakeGrids lake_;
  int code_ = 0;
  std::string file_name_;
  double dtmin_s_ = 60;
  std::vector<double> content_;           // [0] volume [m3], [k] concentration of tracer k
  std::vector<double> previous_content_;  // at the start of the step (lakes)
  std::vector<double> cell_content_;      // gathered from the lake cells
  double outflow_ = 0;
  double level_ = 0;
  double area_ = 0;
  std::array<BalanceValue, kBalanceTerms> balance_{};
  ReservoirRules rules_;
  LevelVolumeTable table_;
  RowRange box_rows_{1, 0};
  int box_first_col_ = 1;
  int box_last_col_ = 0;
  double target_level_ = 0;
  StepDate date_;
  const ReservoirMap* reservoir_map_ = nullptr;

  // Output rows: capacity rows of 4 date values and values_per_row_ values each.
  int capacity_ = 0;
  int rows_used_ = 0;
  int values_per_row_ = 0;
  std::vector<double> rows_;
};

}  // namespace tolvo
