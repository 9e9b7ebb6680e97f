#pragma once
// Irrigation (section "[irrigation]"): every step it decides, for every cell whose
// "irrigation_codes" entry names a rule of the irrigation table, how much water [mm per
// step] the cell receives, takes it from groundwater (at most the soil model's
// "Max_Pumping" of the cell) or from surface water (at most what the rivers and the outlet
// reservoirs of the sub-basin held after the previous routing), mixes the tracer
// concentrations of irrigation water and precipitation, and adds the water to
// "precipitation". The rules run on process 0 over gathered grids; the results are
// scattered back. The surface-water table's zone records are the demand the discharge
// routing withdraws later in the same step.
//
// Rules: schedules (methods 1 and 2: a daily amount on listed dates), soil moisture
// (method 3: start below the lower threshold, fill to the upper one) and the ratio of real
// to potential evapotranspiration (method 4). A started irrigation of methods 3 and 4
// repeats its amount each step while the need lasts (steps shorter than a day); the
// sub-model keeps these running amounts itself, so that the soil model's reset of
// "irrigation_amounts" does not stop them.
//
// The sub-model is inert with switch 0 or with hydrologic response units.

#include <memory>
#include <span>
#include <string>
#include <vector>

#include "framework/matrix.h"
#include "framework/riverflow_record.h"
#include "framework/teilmodellklasse.h"
#include "framework/zonal_statistic.h"
#include "framework/zone_record.h"
#include "routing/routing_arrays.h"
#include "routing/whole_grid_copy.h"
#include "tables/irrigation_table.h"

namespace tolvo {

class irrigationclass : public teilmodellklasse {
 public:
  irrigationclass(DiagnosticsLog& log, StatisticsRegistry& registry, const ModelSettings& settings);

  // Hand-overs; they do nothing while the sub-model is inert. The routing's arrays exist
  // on process 0 only; there a missing one fails with 60.
  void SetRunoffInput(std::span<const std::vector<double>> runoff);
  std::span<ZoneRecord> GetSurfaceWaterDemand();
  void SetRiverCellRecords(std::span<RiverflowRecord> table);
  void SetMaxIrrigation(const TracerRows* maxirrig, const TracerRows* from_reservoirs);
  void SetRoutingTarget(const RoutingTarget* target);
  void SetAbfrel(const AreaShares* abfrel);

  void InitTracers(int n_tracers, std::span<TracerSettingsRecord> tracers, StatisticsRegistry& registry,
                   int capacity) override;
  // The soil model's tracer concentrations of the groundwater ("concstor_tracer_<i>_unsatzon_model").
  void LinkSoilTracerGrids();
  void FlushStatistics();
  void ReleaseTracers() override;
  void DeleteModule() override;

  // One step (collective).
  void RunStep(long long hour, long long day, long long month, long long year);

  bool inert() const { return ModuleSwitch == 0 || hru_; }
  const zonalstatistic* groundwater_statistic() const { return statistics_[0].get(); }
  const zonalstatistic* surface_statistic() const { return statistics_[1].get(); }
  // Process 0: the running amount [mm per step] of every cell.
  ConstGridView running_amounts() const { return running_.view(); }

 private:
  // The step on process 0 (irrigation_step.cpp).
  void EvaluateRules(int month, int day);
  double RuleAmount(const IrrigationRecord& rule, int r, int c, int month, int day) const;
  double CellWeight(int r, int c) const;
  void ServeFromRiversAndReservoirs();
  void Reallocate();
  void MixAndAddToPrecipitation();
  int ZoneIndex(int r, int c) const;
  const IrrigationRecord* RuleOf(int r, int c) const;
  void AddToStatistics(int r, int c, int z, double groundwater, double surface);

  bool hru_ = false;
  int amounts_index_ = 0;
  const std::vector<IrrigationRecord>* table_ = nullptr;
  // Process 0's whole copies of the grids the step reads or changes; the views below are
  // their whole grids on process 0 (empty elsewhere).
  WholeGridCopy precipitation_copy_, amounts_copy_;
  std::vector<WholeGridCopy> input_copies_;  // gathered before the rules
  std::vector<WholeGridCopy> tracer_copies_;  // per tracer 1..T: the sub-model's concentration
  GridView precipitation_, codes_, max_pumping_, amounts_, sb_, sb_low_, sb_high_, etr_ratio_, root_depth_;
  WholeGridCopy& Copy(GridView source);
  ConstGridView zone_grid_;
  ConstGridView weights_;  // "RelCellArea"; empty: every cell weighs 1
  Grid running_;  // process 0: every row
  std::string file_[2];
  int code_[2] = {0, 0};
  std::vector<ZoneRecord> zones_[2];  // 0 groundwater, 1 surface water
  std::unique_ptr<zonalstatistic> statistics_[2];
  std::span<const std::vector<double>> runoff_;
  std::span<RiverflowRecord> river_records_;
  const TracerRows* maxirrig_ = nullptr;
  const TracerRows* from_reservoirs_ = nullptr;
  const RoutingTarget* routing_target_ = nullptr;
  const AreaShares* abfrel_ = nullptr;
  std::vector<GridView> input_concentration_;  // per tracer 1..T
  std::vector<GridView> soil_concentration_;   // per tracer 1..T
  // Per sub-basin: demand d, reservoir share r, river water left, river fraction f.
  std::vector<double> demand_, reservoir_share_, river_water_, fraction_;
  // Per sub-basin: the step's surface-water amounts and cell weights, the demand the
  // routing withdraws.
  std::vector<double> surface_sum_, weight_sum_;
  bool shortage_ = false;
  int n_zones_ = 0;
  // The step's statistics tables, closed with one exchange of their sums.
  StatisticsStepEnds step_ends_;
};

}  // namespace tolvo
