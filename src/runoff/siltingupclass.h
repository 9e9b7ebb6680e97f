#pragma once
// Silting-up (sealing) of tilled soil surfaces by rain, section "[SiltingUpModel]".
//
// Each step, on every cell of the process: the days since the last tillage, the rain
// pause and the kinetic energy of the rain on the bare soil are brought forward; the
// infiltration capacity of the surface follows from them (silting_up_physics.h, or the
// user's formulas of the section's "SiltingUpExpressions" block), and the water input
// beyond it becomes the direct runoff "DirectRunoffSiltingUp", which the water input
// grid loses. "SurfStorSiltingUp" is the water at the surface of the step.
//
// Own grids (the process's rows, every column): "SiltingUpDisposition" (m²/J),
// "RainPause" (days), "KineticEnergy" (J/m²), "TimeSinceLastSoilTillage" (days) and
// "DirectRunoffSiltingUp" (mm). Two zonal statistics: the disposition and the direct
// runoff per sub-basin.
//
// Methods: 1 the built-in formulas with their default parameters, 2 the same formulas
// with the section's parameters A..H, 3 the user's formulas: per cell the variables A..R
// (soil parameters SU_PAR01..10, mean grain diameter, sand, clay, silt, days since
// tillage, intensity, previous kinetic energy, step length) are set, the formulas before
// the first one containing "V=" run and give Z (disposition), Y (final rate), X (start
// rate) and W (energy factor); then Q is the new kinetic energy and the rest give V, the
// step's infiltration capacity in mm. Each formula is compiled once at construction.

#include <array>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "framework/teilmodellklasse.h"
#include "runoff/expression_evaluator.h"
#include "runoff/expression_program.h"
#include "runoff/silting_up_physics.h"
#include "tables/landuse_record.h"

namespace tolvo {

enum class SiltingUpMethod { kDefaultParameters = 1, kOwnParameters = 2, kExpressions = 3 };

// The own grids in the order of the section and of the grid-table entries.
enum SiltingUpGrid : int {
  kDispositionGrid = 0,
  kRainPauseGrid = 1,
  kKineticEnergyGrid = 2,
  kTillageTimeGrid = 3,
  kDirectRunoffGrid = 4,
  kSiltingUpGridCount = 5
};

// What the section gives, after the module switch and the time step.
struct SiltingUpSettings {
  SiltingUpMethod method = SiltingUpMethod::kDefaultParameters;
  std::string disposition_statistic;
  int disposition_statistic_code = 0;
  std::string runoff_statistic;
  int runoff_statistic_code = 0;
  std::array<std::string, kSiltingUpGridCount> grid_files;
  std::array<int, kSiltingUpGridCount> write_codes{};
  std::vector<double> minimum_rain_pause;  // days, per sub-basin index 1..N (0 unused)
  std::vector<int> subbasin_code;          // per index: its code, -1 when it takes the previous value
  int storage_read_code = 0;
  SiltingUpParameters parameters;
  std::vector<std::string> expressions;  // method 3: blanks removed, in their order
};

class siltingupclass : public teilmodellklasse {
 public:
  // Reads the section, binds the grids the model needs and registers its own grids and
  // statistics; throws the ErrorCode of a failure after its FATAL entry.
  siltingupclass(DiagnosticsLog& log, StatisticsRegistry& registry, const ModelSettings& settings);

  // Binds the water input: the first present of snow-cover outflow, throughfall and
  // precipitation, in the order the flag gives (interception before snow: snow first).
  void SelectWaterInput(bool interception_first);
  void InitTracers(int n_tracers, std::span<TracerSettingsRecord> tracers, StatisticsRegistry& registry,
                   int capacity) override;
  void ReleaseTracers() override;
  // One model step over the process's cells; collective (statistics, grid outputs).
  void RunStep(long long hour, long long day, long long month, long long year);
  void FlushStatistics();
  void DeleteModule() override;

  const SiltingUpSettings& section_settings() const { return settings_; }

 private:
  // The formulas of method 3, split where the infiltration capacity begins.
  // Their variables are bound to slots once, so that no cell looks a name up.
  struct Formulas {
    std::vector<ExpressionProgram> programs;
    std::size_t capacity_first = 0;  // first program whose text contains "V="
    ExpressionSlots slots;
    std::vector<std::vector<int>> bindings;  // per program
    std::array<int, 18> inputs{};            // the slots of A..R
    int q = 0, v = 0, w = 0, x = 0, y = 0, z = 0, ans = 0;
  };
  // What one thread evaluates the formulas with; the values are emptied for every cell.
  struct Workspace {
    explicit Workspace(int n_slots) : values(n_slots) {}
    ExpressionSlotValues values;
  };
  // A failure met in the cell pass, raised after it.
  struct RowStatus {
    int code = 0;
    int r = 0;
    int c = 0;
    std::size_t formula = 0;
    ExpressionFailure failure;
    LanduseValue landuse_failure;
    bool missing_z = false;  // a cell whose formulas left Z undefined
  };

  void ReadSection();
  void ReadMethodAndStatistics();
  void ReadStatisticPair(std::string& name, int& code, const char* description);
  void ReadMinimumRainPause();
  void ReadExpressionBlock();
  [[noreturn]] void RainPauseError(const std::string& what);
  void BindGrids();
  void MakeStatistics(StatisticsRegistry& registry);
  void MakeOwnGrids();

  // The day of the year of the step's date; a date outside the calendar is fatal (150).
  int DayOfYearOfStep(long long day, long long month, long long year);
  RowStatus RunRow(int r, int day_of_year, Workspace* workspace);
  // Binds the variables of the formulas of method 3 to their slots.
  void BindFormulas();
  // Runs formulas first..last-1 of method 3, each storing its value as "Ans"; false (and
  // the status) at the first failure.
  bool RunFormulas(std::size_t first, std::size_t last, Workspace& workspace, RowStatus& status) const;
  // Tracers of cell (r, c): the step's input (water and surface storage in mm), and the
  // part that leaves with the direct runoff from the surface water.
  void AddTracerInput(int r, int c, double water, double surface);
  void MoveTracersToRunoff(int r, int c, double runoff, double surface);
  void RaiseRowFailure(const RowStatus& status);
  void CopyResponseUnitMasters();
  void AddStatistics();

  SiltingUpSettings settings_;
  Formulas formulas_;
  bool interception_first_ = false;
  bool surface_routing_present_ = false;
  bool presence_checked_ = false;
  int landuse_layers_ = 1;

  ConstGridView elevation_;
  ConstGridView regions_;
  ConstGridView hru_masters_;  // "MasterHydrologicResponseUnits" with response units, else empty
  ConstGridView hru_units_;    // "HydrologicResponseUnits" with response units
  GridView water_input_;
  std::vector<ConstGridView> landuse_;           // layers 1..L (0 unused)
  std::vector<ConstGridView> vegetation_cover_;  // layers 1..L (0 unused)
  ConstGridView soil_types_;
  GridView surface_storage_;
  std::vector<GridView> tracer_input_;  // per tracer 1..T (0 unused)

  std::array<Grid, kSiltingUpGridCount> grids_;
  std::array<int, kSiltingUpGridCount> grid_indices_{};
  std::vector<ZoneRecord> disposition_zones_;
  std::vector<ZoneRecord> runoff_zones_;
  std::unique_ptr<zonalstatistic> disposition_statistic_;
  std::unique_ptr<zonalstatistic> runoff_statistic_;
  std::vector<RowStatus> row_status_;  // per own row, in row order
  std::vector<std::unique_ptr<Workspace>> workspaces_;  // per thread (method 3)
  bool missing_z_warned_ = false;
  bool undated_step_noted_ = false;
  // The step's statistics tables, closed with one exchange of their sums.
  StatisticsStepEnds step_ends_;
};

}  // namespace tolvo
