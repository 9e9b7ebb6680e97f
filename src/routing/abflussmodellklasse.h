#pragma once
// Discharge routing (section "[routing_model]"): routes the runoff of every sub-basin
// through the channel network of the routing description to the basin outlet.
//
// All routing is computed by process 0. On every other process the object exists and
// answers the application's calls, but it is switched off (module switch 0, the switch as
// read kept in SwitchAsRead) and holds no network: its getters return null.
//
// On process 0 with a module switch other than 0 the constructor reads, in this order,
// the section's third line (the range of the waterlevel-discharge tables and the number K
// of sub-intervals of a step), the names of the statistics table and of the
// observed-discharge file, the gauge columns and the R-square offset; counts the keywords
// of the routing description and logs its summary; and sets up the arrays it owns and
// hands over (routing_arrays.h) and the grid "PrecOnLakes". Switch 1 routes; switch 2
// also lets observed discharge replace simulated upstream discharge where a gauge exists.

#include <cstdio>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "framework/date.h"
#include "framework/goodness_of_fit.h"
#include "framework/grid_table.h"
#include "framework/rout_statistic.h"
#include "framework/timeseries_file.h"
#include "framework/teilmodellklasse.h"
#include "routing/routing_arrays.h"
#include "routing/routing_description.h"
#include "routing/routingclass.h"
#include "routing/wq_table.h"

namespace tolvo {

struct TracerSettingsRecord;
struct BlockEntries;
struct SubbasinCodes;

class abflussmodellklasse : public teilmodellklasse {
 public:
  // Throws the ErrorCode of a failure.
  abflussmodellklasse(DiagnosticsLog& log, StatisticsRegistry& registry, const ModelSettings& settings,
                      int storage_read_code, int n_tracers, std::span<TracerSettingsRecord> tracers);

  // Lake model: reads the routing's values of `section` ("[lake_model]"): the lake flow
  // control and, with lakes on, the readgrids value. Lakes stay off without a grid
  // "lake_codes" or with hydrologic response units.
  void ReadLakeModel(const std::string& section);
  // On every process: binds the lake grids, counts the lake cells of every process
  // (collective) and hands process 0's ponding of the lake cells to their owners.
  void LinkLakeGrids(bool interception_first);
  // Takes the runoff per sub-basin [tracer 0..T][sub-basin 0..n] (mm per step; tracers:
  // concentrations), read anew every step. Active module only; no runoff fails with 43.
  void SetRunoffInput(std::span<const std::vector<double>> runoff);
  // Links the irrigation demand records per sub-basin (0..n) into every routing object.
  void SetIrrigationDemand(std::span<ZoneRecord> demand);
  // Links the soil model's river records (one per sub-basin index) when the module is
  // active, and fills the records of every sub-basin that a routing channel carries.
  void SetRiverCellRecords(std::span<RiverflowRecord> table);
  // Sets the routed-discharge unit (1: m3/s) when active; the module switch.
  int SetDischargeUnit(int unit);
  // Start-up: links the flow arrays into the routing objects, sets the channels to the
  // steady state of the first runoff and routes it through the network until it has
  // travelled through every channel (unless the state is read from storage grids).
  void InitRouting(int module_switch = 1);
  // One step on every process; the routing itself on process 0.
  void RunStep(long long hour, long long day, long long month, long long year);
  // The routing section of the storage content file (routing_state.cpp). Reading keeps
  // the name for the end of the run and replaces the state of the start-up routings,
  // unless the read code is 0, 2 or 4 or no name is given; it fails with 64 when the file
  // cannot be opened and 71 when the section is missing or does not fit the network.
  // Writing, at the end of a fully set-up run, goes to the kept name or "storage.ftz" in
  // the output directory; a file that cannot be created is only warned about.
  void ReadStorageContent(const std::string& file, int read_code);
  // After the storage content file was read (every process calls it): the lake cells take
  // the ponding of the stored lake volumes.
  void HandStoredLakesToCells(const std::string& file, int read_code);
  void WriteStorageContent();
  // Writes the buffered rows of the routed-discharge table, of every tracer table and of
  // every abstraction and reservoir.
  void FlushStatistics();
  // Per tracer: its decay factors over a step and over a sub-interval (from its
  // half-life; 0 for a half-life that is not positive) and its table of the routed
  // concentration per sub-basin. Called by the constructor on the routing process.
  void InitTracers(int n_tracers, std::span<TracerSettingsRecord> tracers, StatisticsRegistry& registry,
                   int capacity) override;
  // Releases the tracer tables, writing their remaining rows.
  void ReleaseTracers() override;
  // Whether DeleteModule wrote the routing section of the storage content file.
  bool wrote_storage_content() const { return wrote_storage_content_; }

  // The hand-overs to the irrigation; null when the module is switched off.
  const RoutingTarget* GetRoutingTarget() const { return ModuleSwitch != 0 ? &routing_target_ : nullptr; }
  const AreaShares* GetAbfrel() const { return ModuleSwitch != 0 ? &abfrel_ : nullptr; }
  const TracerRows* GetMaxIrrig() const { return ModuleSwitch != 0 ? &maxirrig_ : nullptr; }
  const TracerRows* GetMaxIrrigFromReservoirs() const {
    return ModuleSwitch != 0 ? &maxirrig_from_reservoirs_ : nullptr;
  }

  // The end of the run: the routing section of the storage content file (only after a
  // finished set-up), the tracer tables, the goodness-of-fit blocks of the routed-discharge
  // table (with an observed-discharge file), the routing objects and the "PrecOnLakes" grid.
  void DeleteModule() override;

  // The module switch as read from the section (1 on process 0).
  int switch_as_read() const { return SwitchAsRead; }
  int observed_substitution() const { return ObservedSubstitution; }
  const WQRange& table_range() const { return table_range_; }
  int sub_interval_count() const { return n_sub_intervals_; }
  const DescriptionCounts& description_counts() const { return counts_; }
  std::span<const int> gauge_columns() const { return gauge_columns_; }
  int rsquare_offset() const { return rsquare_offset_; }
  const std::string& statistics_file() const { return qstat_file_; }
  int statistics_code() const { return qstat_code_; }
  const std::string& observed_file() const { return observed_file_; }
  // The sub-basin table the routing indexes its arrays by.
  const RankedZones& subbasins() const { return subbasins_; }
  int prec_on_lakes_index() const { return prec_on_lakes_index_; }
  int lake_flow_control() const { return lake_flow_control_; }
  int readgrids() const { return readgrids_; }
  std::span<const long long> lake_cells_per_rank() const { return lakeCellsPerMPIRank; }
  const ReservoirMap& reservoir_map() const { return reservoir_map_; }
  const HydraulicConnectionSet& hydraulic_connections() const { return hydraulic_connections_; }
  TranslationCascades& translation_cascade() { return translation_cascade_; }
  SubIntervalFlows& sub_interval_flow() { return sub_interval_flow_; }
  TracerRows& routed_discharge() { return routed_discharge_; }
  std::span<const std::unique_ptr<routingclass>> routing_objects() const { return routing_objects_; }
  int observed_past_end() const { return ObservedPastEnd; }
  const ObservedRing* observed_ring() const { return observed_ring_.get(); }
  int discharge_unit() const { return discharge_unit_; }
  const FitSumTable* rsquare_sums(bool logarithmic) const {
    return logarithmic ? (log_sums_ ? &*log_sums_ : nullptr) : (linear_sums_ ? &*linear_sums_ : nullptr);
  }

 private:
  std::string storage_file_;
  // The irrigation water the rivers and reservoirs offer the next step, in the routing
  // state when the run irrigates from surface water.
  void WriteIrrigationOffers(std::FILE* file);
  void ReadIrrigationOffers(std::FILE* file, const std::string& name);
  bool wrote_storage_content_ = false;
  // Stand-in for the soil model's hand-over of its sub-basin table: ranks the zones of
  // "zonegrid_soilmodel" as the soil model does (collective). The hand-over replaces it.
  void TakeSoilSubbasinTable();
  void AllocateSubbasinArrays();
  void ReadTableRange();
  void ReadStatisticsSettings();
  void ReadGaugeColumns(int n_descriptors);
  void RegisterPrecOnLakes();
  // Second reading of the routing description (routing_objects.cpp).
  std::string NextDescriptionLine(const char* eof_message, bool& had_line_end);
  void CheckBlockLine(const std::string& line, bool had_line_end);
  void SkipToDescription();
  void BuildRoutingObjects();
  void BuildRoutingObject(int k, const std::string& text, const BlockEntries& entries, const SubbasinCodes& codes,
                          int& tributary_position);
  void WarnAboutRoutingOrder();
  // Observed discharge and the routed-discharge table (routing_observed.cpp).
  void SetUpStatisticsTable();
  void OpenObservedDischarge();
  void ReadObservedRow(int r);
  void CompareWithObserved();
  void WriteStatisticsRow(long long year, long long month, long long day, long long hour);
  // Routed discharge of sub-basin i in the unit of the table and the comparison.
  double DischargeInUnit(int i) const;
  // Run step pieces (routing_run.cpp).
  void FillSubIntervalFlow();
  void PrepareIrrigationDemand();
  void HandIrrigationAlong();
  void StartUpRoutings();
  // Pairs every internal inflow with the one internal abstraction of the same code in
  // another routing object; fails with 300..303 when the pairing is not one to one.
  void ConnectInternalInflows();
  void SetUpReservoirs();
  // Lake cells (routing_lakes.cpp): their grids to process 0 before the routing, their
  // ponding back to the owners after it. Collective.
  void GatherLakeCells();
  void ScatterLakePonding();
  [[noreturn]] void NoRunoffError();

  // The soil model's sub-basin table: indices 1..n by ascending code.
  RankedZones subbasins_;
  int n_tracers_ = 0;
  std::span<TracerSettingsRecord> tracers_;
  StatisticsRegistry* registry_ = nullptr;
  int readgrids_ = 0;
  int SwitchAsRead = 0;
  int ObservedSubstitution = 0;
  bool interception_first_ = false;

  WQRange table_range_;
  int n_sub_intervals_ = 0;  // K
  std::string qstat_file_;
  int qstat_code_ = 0;
  std::string observed_file_;
  std::vector<int> gauge_columns_;  // GaugeColumns, 0..n
  int rsquare_offset_ = 0;
  int n_gauge_descriptors_ = 0;
  DescriptionCounts counts_;

  AreaShares abfrel_;
  RoutingTarget routing_target_;
  TracerRows maxirrig_;
  TracerRows maxirrig_from_reservoirs_;
  TranslationCascades translation_cascade_;
  SubIntervalFlows sub_interval_flow_;
  std::vector<std::unique_ptr<routingclass>> routing_objects_;

  std::span<const std::vector<double>> runoff_input_;
  TracerRows routed_discharge_;
  std::span<ZoneRecord> demand_;
  std::span<RiverflowRecord> river_records_;

  std::vector<ZoneRecord> qstat_zones_;
  std::unique_ptr<routstatistic> qstat_;
  int qstat_registry_index_ = 0;
  int discharge_unit_ = 0;
  std::optional<FitSumTable> linear_sums_;
  std::optional<FitSumTable> log_sums_;
  std::unique_ptr<timeseries_file> observed_reader_;
  std::unique_ptr<ObservedRing> observed_ring_;
  int ObservedPastEnd = 10;
  int step_counter_ = 0;
  ModelDate observed_date_{};
  ModelDate date_{};

  Grid prec_on_lakes_;
  int prec_on_lakes_index_ = 0;

  // Reservoirs and lakes.
  ReservoirMap reservoir_map_;
  HydraulicConnectionSet hydraulic_connections_;
  int lake_flow_control_ = 0;
  bool lake_grids_bound_ = false;
  std::vector<long long> lakeCellsPerMPIRank;
  int lake_codes_index_ = 0;
  int ponding_index_ = 0;
  int transpiration_index_ = 0;
  int q_downext_index_ = 0;
  int baseflow_index_ = 0;
  int water_input_index_ = 0;
  std::vector<int> tracer_storage_indices_;  // per tracer 1..T
};

}  // namespace tolvo
