#pragma once
// The land-use parameter grids: the vegetation and surface parameters of every cell and
// land-use layer, published in the grid table so that the sub-models read one value per
// cell instead of asking the land-use table. The set-up creates them once (or takes over
// grids of the same identifier that the control file read) and fills them for the model
// start date; the per-step update keeps them current with the season and, for land uses
// with dynamic phenology, with the weather of each cell.
//
// Grids (per-layer identifiers carry the layer number: "root_depth1"):
// - one grid: "albedo" (must exist; layer 1), "SurfaceEvaporationResistance" (layer 1);
// - per layer: "root_depth" (m, >= 0.01), "vegetation_coverage_degree" (0..1),
//   "leaf_area_index" (>= 0), "SurfaceCanopyResistance" (s/m, >= 0),
//   "SurfaceIntercepResistance" (s/m, >= 0), "RoughnessLength" (m), "VegetationStart",
//   "VegetationStop" (days of the year of the balance period, -1 outside it) and
//   "VegetationDuration" (steps inside the balance period);
// - with dynamic phenology: "TemperatureAVG" (°C, the day's mean built up over its
//   steps), "StartDayOfLeaveFall", "TemperatureMOVAVG7" (°C, with an 8-level stack: the
//   last 7 daily means on levels 1..7 and the cold-day count on level 0) and per layer the
//   state grids of phenology.h; with per-cell fixpoint days (DynamicPhenology_3 or _4)
//   also the per-layer stacks "MultipleStartTimes".
// Created grids hold the process's rows with one halo row on each side; "MultipleStartTimes"
// stacks hold every row. Nodata is -9999.
//
// Every process calls the set-up and every update at the same point of its work, with
// the same arguments; the only communication is the halo exchange of the set-up and the
// grid output of "TemperatureMOVAVG7" at each day end.

#include <span>
#include <string>
#include <vector>

#include "framework/date.h"
#include "framework/matrix.h"
#include "tables/landuse_table.h"
#include "tables/phenology.h"

namespace tolvo {

class modelobject;
struct ParameterDate;

// What stopped the evaluation of cell (r, c): nothing (code 0); a code of layer k that is
// no land-use table index (31); or a date operation of the layer's entry that failed (its
// code), the root depth's naming the cell in an entry of its own.
struct CellFailure {
  int code = 0;
  int r = 0;
  int c = 0;
  int k = 0;
  double layer_code = 0;                  // 31: the code of layer k
  const LanduseRecord* entry = nullptr;   // a failed date operation: the entry,
  LanduseValue failed{};                  // its result,
  bool root_depth = false;                // whether it was the root depth,
  int day_of_year = 0;                    // and the day and altitude (m) of the cell
  double altitude = 0;
  explicit operator bool() const { return code != 0; }
};

// The parameter grids of one land-use layer, with their grid-table entries.
struct LanduseLayerGrids {
  GridView root_depth;               // "root_depth<k>"
  GridView vegetation_cover;         // "vegetation_coverage_degree<k>"
  GridView leaf_area_index;          // "leaf_area_index<k>"
  GridView canopy_resistance;        // "SurfaceCanopyResistance<k>"
  GridView interception_resistance;  // "SurfaceIntercepResistance<k>"
  GridView roughness_length;         // "RoughnessLength<k>"
  GridView vegetation_start;         // "VegetationStart<k>"
  GridView vegetation_stop;          // "VegetationStop<k>"
  GridView vegetation_duration;      // "VegetationDuration<k>"
  std::vector<int> indices;          // grid-table entries of the nine grids above, in order
  PhenologyLayerGrids phenology;     // empty without dynamic phenology
};

// What the set-up hands over (grids of the set-up, not owned; they must outlive the object).
struct LanduseGridSources {
  ConstGridView zone;       // grid-table entry 1: cells above nodata belong to the basin
  ConstGridView elevation;  // grid-table entry 2, metres
  ConstGridView regions;    // "MPIRegions": the rank computing each cell; empty: every cell is own
  ModelDate start;          // model start date (day, month, year are used)
};

class LanduseParameterGrids {
 public:
  // Set-up stage 14, when a grid "landuse" exists. `layer_codes` are the land-use code
  // grids "landuse1".."landuse<n>" (element k-1 = layer k; cell values are land-use table
  // indices), over the rows this process holds; none: nothing is done. Logs
  // "generateMultiLayerParameterGrids..." first. Fails with 12 (no "albedo", no free
  // grid-table entry), 31 (a layer code of an own cell that is no table index) and the
  // codes of the land-use date operations (150, 152).
  void generateMultiLayerParameterGrids(modelobject& reader, LanduseTable& table,
                                        std::span<const ConstGridView> layer_codes,
                                        const LanduseGridSources& sources);

  // Every step, before the sub-models, with the step's date and length (minutes): the
  // day's mean temperature, at the day end (hour + hour shift = 24) the 7-day mean, the
  // dynamic phenology, the parameters of every own cell and layer and the balance marks
  // of the grid table; at every step the count of steps inside the balance period. With
  // dynamic phenology every day end writes the outputs of "TemperatureMOVAVG7"
  // (WriteGridOutputs, collective).
  // `layer_codes` as for the set-up (the current code grids). Fails with 33 (no
  // "temperature" with dynamic phenology), 31 and the codes of the date operations.
  void UpdateLanduseParameters(modelobject& reader, LanduseTable& table, std::span<const ConstGridView> layer_codes,
                               int hour, int day, int month, int year, double step_minutes);

  // --- what the set-up and the release need -------------------------------------------
  bool generated() const { return generated_; }
  // Grid-table entries filled by the set-up (added to the set-up's own count of grids).
  int created_grid_count() const { return created_grids_; }
  // Entry of layer 1's "MultipleStartTimes" stack when the set-up created it (written
  // with "_End" at the end of the run), else 0.
  int multiple_start_times_index() const { return multiple_start_times_index_; }
  bool dynamic_phenology() const { return dynamic_phenology_; }
  bool cell_fixpoint_days() const { return cell_fixpoint_days_; }
  int max_fixpoint_count() const { return max_count_; }
  int layer_count() const { return static_cast<int>(layers_.size()); }
  const LanduseLayerGrids& layer(int k) const { return layers_.at(static_cast<std::size_t>(k) - 1); }
  GridView albedo() const { return albedo_; }
  GridView evaporation_resistance() const { return evaporation_resistance_; }
  GridView temperature_avg() const { return temperature_avg_; }
  GridView temperature_movavg7() const { return movavg7_; }
  StackView temperature_movavg7_stack() const { return movavg7_stack_; }
  GridView leaf_fall_start() const { return leaf_fall_start_; }
  int mean_day_count() const { return mean_day_count_; }

 private:
  struct TableGrid {
    GridView values;
    StackView stack;
    int index = 0;
    bool created = false;
  };

  // Set-up steps.
  void ScanTable(LanduseTable& table);
  // The entry the next created grid takes; fails with 12 when the table is full.
  int FindFreeEntry(modelobject& reader);
  TableGrid FindOrCreate(modelobject& reader, const std::string& identifier, double fill);
  void MakeSingleGrids(modelobject& reader);
  void MakeMovingMean(modelobject& reader);
  void MakeLayerGrids(modelobject& reader, int k);
  StackView MakeFixpointDays(modelobject& reader, const LanduseTable& table, ConstGridView codes, int k);
  void LinkRecords(LanduseTable& table, int k);
  void StartValues(modelobject& reader, LanduseTable& table, ConstGridView codes, int k);
  void ExchangeLayer(modelobject& reader, int k);
  RowRange StartValueRows(modelobject& reader, ConstGridView codes, int k);

  // Update steps.
  void ResolveWeatherGrids(modelobject& reader);
  void CheckLayerCodes(modelobject& reader, std::span<const ConstGridView> layer_codes);
  void LogDayEnd(modelobject& reader, int hour, int day, int month, int year) const;
  template <typename Body>
  void ForOwnCells(const modelobject& reader, Body&& body) const;
  void AccumulateTemperature(const modelobject& reader, double step_minutes);
  void MovingMean(modelobject& reader);
  void ClearTemperature(const modelobject& reader);
  PhenologyGrids PhenologyInputs(const modelobject& reader, std::span<const ConstGridView> layer_codes) const;
  void UpdateParameters(modelobject& reader, const LanduseTable& table, std::span<const ConstGridView> layer_codes,
                        const ParameterDate& date, const ParameterDate& season);
  // `date` is the day that ends (balance period), `season` the day whose seasonal values are set.
  CellFailure UpdateCell(const LanduseTable& table, std::span<const ConstGridView> layer_codes,
                         const ParameterDate& date, const ParameterDate& season, int r, int c) const;
  void MarkBalanceGrids(modelobject& reader, const LanduseTable& table, int day_of_year);
  void CountBalanceSteps(const modelobject& reader);

  bool generated_ = false;
  std::vector<LanduseLayerGrids> layers_;
  std::vector<PhenologyLayerGrids> phenology_layers_;  // the phenology part of layers_
  GridView albedo_;
  GridView evaporation_resistance_;
  int evaporation_resistance_index_ = 0;
  GridView temperature_avg_;
  int temperature_avg_index_ = 0;
  GridView leaf_fall_start_;
  GridView movavg7_;
  StackView movavg7_stack_;
  int movavg7_index_ = 0;
  int multiple_start_times_index_ = 0;
  bool dynamic_phenology_ = false;
  bool cell_fixpoint_days_ = false;
  int max_count_ = 0;
  int mean_day_count_ = 0;
  ModelDate start_;
  ConstGridView zone_;
  ConstGridView elevation_;
  ConstGridView regions_;
  ConstGridView temperature_;
  ConstGridView mean_theta_;
  int created_grids_ = 0;
  // Links of the land-use entries with dynamic phenology, element k = layer k.
  std::vector<ConstGridView> start_day_links_;
  std::vector<ConstGridView> forcing_sum_links_;
  std::vector<ConstGridView> forcing_threshold_links_;
  std::vector<ConstStackView> fixpoint_day_links_;
  // Storage of the grids this object created; the grid table refers to it.
  std::vector<Grid> owned_grids_;
  std::vector<Stack> owned_stacks_;
  // Per own row: the failure that stopped the row in the parallel parameter update.
  std::vector<CellFailure> row_failures_;
};

}  // namespace tolvo
