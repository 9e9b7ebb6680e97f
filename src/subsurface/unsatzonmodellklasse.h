#pragma once
// Soil water and heat in the unsaturated zone after the Richards equation (section
// "[unsatzon_model]"). The constructor ranks the sub-basins of "zonegrid_soilmodel",
// reads the settings, binds the grids it uses, registers its own grids and stacks,
// creates its statistics tables, gives every soil column of the process its start state,
// writes the control-point headers and the start lines of the model log. The column
// solver's step, the runoff concentration and the storage content file come with later
// operations, which exist here by name and do nothing yet.
//
// Grids: registered grids hold their values over the rows their registration names
// (own rows, own rows with halo rows, or every row on process 0); own cells are those of
// the process's rows with a zone value and, with a decomposition, of this process.

#include <array>
#include <atomic>
#include <cstdio>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "framework/dump_options.h"
#include "framework/exact_sum.h"
#include "framework/riverflow_record.h"
#include "framework/teilmodellklasse.h"
#include "setup/glacier_subbasins.h"
#include "subsurface/riverflow_table.h"
#include "subsurface/soil_column_solver.h"
#include "subsurface/soil_glacier_temperatures.h"
#include "subsurface/soil_heat_column.h"
#include "subsurface/soil_layered_snow_settings.h"
#include "subsurface/soil_point_series.h"
#include "subsurface/soil_pre_spin_up.h"
#include "subsurface/soil_river_cell_exchange.h"
#include "subsurface/soil_settings.h"

namespace tolvo {

// The column kernels (SoilColumnKernels, SoilHeatKernels) are virtual operations of the
// model, so a derived model may replace any of them; the column loop calls them through the
// object.
class unsatzonmodellklasse : public teilmodellklasse, public SoilColumnKernels, public SoilHeatKernels {
 public:
  // Throws the ErrorCode of a failure; any other exception becomes 103.
  unsatzonmodellklasse(DiagnosticsLog& log, StatisticsRegistry& registry, const ModelSettings& settings, int sub_steps);
  ~unsatzonmodellklasse() override;
  unsatzonmodellklasse(const unsatzonmodellklasse&) = delete;
  unsatzonmodellklasse& operator=(const unsatzonmodellklasse&) = delete;

  // --- hand-over operations ------------------------------------------------------------
  // Path of the storage content file of this process when the module is on, else empty.
  std::string getStorageFileName() const { return ModuleSwitch != 0 ? settings_.storage_file : std::string(); }
  // Recession constants [min] of the direct-runoff and interflow storages per sub-basin
  // (indices 0..number of sub-basins); empty when the module is off.
  std::span<const double> getKelsqd() const;
  std::span<const double> getKelsqi() const;
  // The river flow table, one record per sub-basin index (0..number of sub-basins), made
  // zero-filled by the second set-up phase when the groundwater model runs; else none.
  std::vector<RiverflowRecord>* getRiverflowTable() { return riverflow_table_.empty() ? nullptr : &riverflow_table_; }
  const std::vector<RiverflowRecord>* getRiverflowTable() const {
    return riverflow_table_.empty() ? nullptr : &riverflow_table_;
  }
  // The sub-basins of "zonegrid_soilmodel" as this model numbers them; none when off.
  const SoilSubbasinTable* getSubbasinTable() const { return ModuleSwitch != 0 ? &subbasins_ : nullptr; }
  int getStorageReadCode() const { return StorageGridsReadCode; }
  int storage_read_code() const { return StorageGridsReadCode; }
  void setSurfaceRoutingActive(int on) { surface_routing_active_ = on; }
  void setDumpOptions(const DumpOptions& options) { dump_options_ = options; }
  long long dump_count() const { return dump_count_.load(); }
  bool isHeatTransferActive() const { return settings_.heat.on > 0; }
  bool isLayeredSnowActive() const { return layered_snow_.on > 0; }
  double getFreshSnowTemperatureOffset() const { return layered_snow_.t_offset_fresh_snow; }
  // The snow types of "[LayeredSnowProperties]" (entry 0 holds the count); empty when the
  // layered snow pack is off.
  const SoilTable& getLayeredSnowTable() const { return snow_table_; }
  const LayeredSnowSettings& layered_snow_settings() const { return layered_snow_; }
  int snow_layer_count() const { return n_snow_; }
  // Chooses, once, the grid whose water enters the soil: the first present of
  // "snowcover_outflow", "throughfall0" and "precipitation" when interception runs before
  // snow, else of "throughfall0", "snowcover_outflow" and "precipitation"; none is 33.
  void selectInfiltrationInput(bool interception_first);
  int water_input_index() const { return input_index_; }
  // When the water input is the snow model's outflow "snowcover_outflow" itself (interception
  // before snow, or no interception), the silting-up model changes that grid in place. Under
  // the layered snow pack the column must tell the snow model's outflow apart from what the
  // other sub-models added or took: the application calls this after the snow step and
  // before the silting-up step, and the column reads the copy kept here.
  void keepSnowOutflow();

  const SoilSettings& soil_settings() const { return settings_; }
  int soil_layer_count() const { return n_layers_; }
  int landuse_layer_count() const { return n_landuse_layers_; }
  // "+ft," "+ir," "+srf1"/"+srf2," "+dr," "+cl," "+po," as they apply, in this order.
  const std::string& option_tag() const { return option_tag_; }
  std::span<const GlacierSubbasinRecord> glacier_records() const { return glacier_records_; }
  // The control cell's series (hhyd, Otherdata, Theta, Qbottom, etr-detail, interflow and,
  // with heat transfer, temperature); none on the processes that do not own the cell.
  std::span<const PointSeries> point_series() const { return point_series_; }

  // --- operations of the later phases (empty until they are built) --------------------
  // Pumpable groundwater "Max_Pumping" [mm] of every own cell: the water between saturation
  // and field capacity of the layers from the water table down to the last but one horizon
  // of the cell's soil. Only with irrigation.
  void updateMaxPumping();
  // The exchange of linked river cells (soil_river_cell_exchange.cpp). Collective. With a
  // surface water interaction of 2 or more: makes the spare rows and the message buffers
  // and carries every linked cell to its computing process and back once; returns the
  // number of doubles a cell carries (0 when inactive). Tracers with links stop with 1150.
  int prepareMPIReinfiltration();
  // Around every soil sub-step (collective): the linked cells to their computing process,
  // the spare rows swapped in and the river flow table broadcast; then the results back,
  // the row tables restored and the table reduced.
  void exchangeCellsBeforeStep();
  void exchangeCellsAfterStep();
  // Before the sub-steps of a model step: the date, the step's log line, the flow-time
  // zones moved one step towards the outlet, a new step in every statistics table.
  void prepareTimeStep(const ModelDate& d);
  void SubStep(const ModelDate& d) { RunStep(d.hour, d.day, d.month, d.year); }
  // One soil sub-step of every soil column of the process, then the bookkeeping of its
  // runoff into the flow-time zones and statistics and the control-point records.
  void RunStep(long long hour, long long day, long long month, long long year);
  // After the sub-steps: the runoff of every sub-basin at its outlet through the flow-time
  // zones and the linear storages (collective), the statistics' end of step, the grid
  // outputs.
  void concentrateSubbasinRunoff(const ModelDate& d);
  // The second set-up phase: tracer count, flow-time zones, the first baseflow and total
  // runoff of every sub-basin (collective).
  void InitTracers(int n_tracers, std::span<TracerSettingsRecord> tracers, StatisticsRegistry& registry,
                   int capacity) override;
  // Temperature-only pre-spin-up (soil_pre_spin_up.cpp): per step the degree days and
  // the mean air temperature of every own cell (1040 without heat transfer or air
  // temperature); at its end the initial soil-temperature profile of every own cell, the
  // degree-day, mean-temperature and soil-temperature files (collective).
  virtual void accumulatePreSpinUp(const ModelDate& d);
  virtual void finishPreSpinUp();
  // External coupling: moves every own cell's water table to the height in "GWTableExtern",
  // drains or fills the layers between and books the water moved in "Balance" [mm].
  void applyExternalGroundwaterTable(int external_time_step_min);
  bool external_table_applied() const { return external_table_; }
  // Writes out the records the control-point series hold.
  void FlushStatistics();
  // The soil model's part of the lake section: lake cells start saturated with the water
  // table at the surface; method 2 also lowers the terrain by the cells' ponding depth.
  void initLakes(const std::string& section);
  int lake_switch() const { return lake_switch_; }
  int lake_method() const { return lake_method_; }
  // The soil section of the storage content file: the flow-time queues and the outflows
  // of the linear storages of every tracer and sub-basin, after the structural values
  // they belong to. Reals are written with 17 significant digits, so that a run restarted
  // from the file continues exactly. Writing opens the file anew or appends (18 when the
  // file cannot be written); reading (64 without a file, 71 for content that does not fit
  // the current control file) compares the structure and takes the queues and outflows.
  // Whether a stored sub-basin parameter agrees with the current one within 1e-5
  // relative; reads it from the open file.
  virtual void checkStorageValue(double current, const std::string& label);
  // Stops the run with 71 for a stored value that does not fit.
  [[noreturn]] virtual void storageValueMismatch(const std::string& label, double current, double stored);
  virtual void WriteStorageContent(bool append);
  virtual void ReadStorageContent();
  // Flow-time zones of every sub-basin from "flow_times" (collective): flow times become
  // zone numbers max(1, ceil(t / 60 / dt)) in the grid; without the grid every sub-basin
  // has one zone.
  void InitFlowTimeZones();
  // Per-sub-basin runoff [tracer 0..T][sub-basin 0..N] in mm per step (process 0); empty
  // when the module is off; 57 before the set-up made them.
  std::span<const std::vector<double>> getQg() const { return RunoffArray(total_runoff_, "Qg"); }
  std::span<const std::vector<double>> getQD() const { return RunoffArray(qd_, "QD"); }
  std::span<const std::vector<double>> getQI() const { return RunoffArray(qi_, "QI"); }
  std::span<const std::vector<double>> getQBb() const { return RunoffArray(qbb_, "QBb"); }
  std::span<const std::vector<double>> getQDd() const { return RunoffArray(qdd_, "QDd"); }
  std::span<const std::vector<double>> getQIi() const { return RunoffArray(qii_, "QIi"); }
  // Number of flow-time zones per sub-basin (0..N).
  std::span<const int> flow_time_zone_counts() const { return maxzeit_; }
  // Water in the columns of the process's own cells and in their ponds [mm summed over the
  // cells]; for balance checks.
  double own_cells_water_mm() const;
  // Total runoff per sub-basin handed to the discharge routing, [tracer 0..T][sub-basin
  // 0..n] in mm per step (tracers: concentrations); zero until the runoff concentration
  // computes it. Empty when the module is off.
  std::span<const std::vector<double>> getTotalRunoff() {
    if (ModuleSwitch == 0) return {};
    if (total_runoff_.empty()) {
      total_runoff_.assign(static_cast<std::size_t>(TracerCount) + 1,
                           std::vector<double>(static_cast<std::size_t>(subbasins_.zone_count) + 1, 0.0));
    }
    return total_runoff_;
  }
  // The same array, writable: the snow model's glacier outflow replaces its water row in
  // sub-basins with glaciers.
  std::span<std::vector<double>> getTotalRunoffForGlaciers() {
    if (getTotalRunoff().empty()) return {};
    return total_runoff_;
  }
  // The layered snow pack (soil_layered_snow_setup.cpp): whether the "[LayeredSnowModel]"
  // switch is on (1041 when it is and heat transfer is off), its snow types, and its
  // stacks, read with storage read code 1 or 3 and made otherwise.
  bool readLayeredSnowModel();
  void readLayeredSnowProperties();
  void initLayeredSnowGrids();
  // Writes the soil-water section of the storage content file when its storage writing
  // is on (appending when asked), then releases the model; whether it wrote the section.
  bool finishModel(bool append);
  void DeleteModule() override;
  // Frees the tracers' storages, grids and statistics (from finishModel).
  void ReleaseTracers() override;

  int groundwater_coupling = 0;

 private:
  std::span<const std::vector<double>> RunoffArray(const std::vector<std::vector<double>>& a,
                                                   const char* name) const;
  // The column loop's views of the model's grids (soil_model_step.cpp), made at the first
  // sub-step.
  void BindColumnGrids();
  void AddCellToZonesAndStatistics(int r, int c);
  void AppendControlPointRecords();
  void WritePointSeries(PointSeries& series, int first, int last);
  // Writes out every control-point series that holds records.
  void WriteOutPointSeries();
  // The water content of the columns at the end of the run in the model logs (collective).
  void WriteEndWaterContent();
  void ShiftFlowTimeZones();
  // Without surface routing and without the silting-up model nothing refills or empties the
  // surface storage "SurfStorSiltingUp" read from the grid lists: the soil took its water
  // over the step, so the storage of the soil's cells is emptied at the end of the step.
  void EmptyTakenSurfaceStorage();
  void FirstBaseflowAndTotalRunoff();
  int ZoneOfCell(int r, int c, bool soil_part) const;
  // Adds one cell's sub-step share to zone z of sub-basin s of the direct-runoff (queue 0)
  // or interflow (queue 1) queue of tracer t: its weight n, value sum sx and relative area.
  // The additions of a step are summed exactly and reach the queues of process 0 at the end
  // of the step, so that the zone sums do not depend on how the cells are shared.
  void AddToZone(int queue, std::size_t t, int s, int z, double n, double sx, double rel_area);
  void MakeZoneIncrements();
  // Adds the reduced increments to the queues of process 0 and clears them.
  void MergeZoneIncrements();
  // Hydrologic response units (soil_hru_copy.cpp): the grids and stacks a non-master cell
  // takes from its master, bound with the column grids; the unit numbers are checked then.
  void BindHruCopy();
  void copyHruMasterValues();
  // Fully glacierized cells take the soil temperatures of the nearest computed cell of the
  // basin, found by a ring search over every process's rows (soil_glacier_temperatures.cpp).
  // Every process calls it after the column loop, in the same order.
  void TakeGlacierCellTemperatures();
  GlacierDonorMap glacier_donors_;
  // A grid or stack the model registers, with its entry in the grid table.
  struct OwnedGrid {
    Grid grid;
    Stack stack;
    int index = 0;
    GridView view() { return grid.view(); }
    StackView stack_view() { return stack.view(); }
  };
  // The model's statistics tables, in the order they are created.
  enum class Table : int {
    GwStand,
    Gwn,
    Sb1,
    Sb2,
    Root,
    InfEx,
    Qd,
    Qi,
    Qb,
    Qg,
    Macro,
    Infilt,
    Substeps,
    ThawDepth,
    QDrain,
    Pond,
    Immo,
    GwIn,
    GwEx,
  };
  static constexpr int kTableCount = 19;
  struct StatisticsTable {
    std::vector<ZoneRecord> zones;
    std::string file;
    std::unique_ptr<zonalstatistic> table;
  };

  // Construction steps (unsatzonmodellklasse.cpp).
  void Build(StatisticsRegistry& registry);
  void ReadSections();
  void ReadPermafrost();
  // Bindings (soil_model_grids.cpp).
  void BindInputGrids();
  ConstGridView Bind(const std::string& identifier);
  ConstGridView BindIfPresent(const std::string& identifier);
  void PreparePondingCapacity();
  // Statistics tables (soil_model_statistics.cpp).
  void CreateStatisticsTable(Table which, const StatisticsTableSetting& setting, std::string_view title, int precision,
                             StatisticsRegistry& registry);
  void CreateStatisticsTables(StatisticsRegistry& registry);
  void CreateLateStatisticsTables(StatisticsRegistry& registry);
  // Registrations and start state (soil_model_state.cpp).
  void RegisterGrids();
  OwnedGrid& RegisterNew(OwnedGrid& g, RowRange rows, const std::string& identifier, const OutputGridSetting& out);
  OwnedGrid& RegisterStack(OwnedGrid& g, const std::string& identifier, const OutputGridSetting& out);
  void MakeStartState();
  void ReadStartState();
  void ComputeStartState();
  void FillRemainingGrids();
  void FillIrrigationGrids();
  void PrepareSoilTableForHeat();
  void CreatePreSpinUpGrids();
  void OpenOwnControlFile();
  void MakeGlacierRecords(StatisticsRegistry& registry);
  void WriteModelLogStartLines();
  // The control cell's water and the three mean water contents at the start or the end of
  // the run (collective; process 0 writes the means).
  void WriteWaterContentLines(bool at_end);
  bool IsOwnCell(int r, int c) const;
  const SoilRecord& SoilOf(int r, int c) const;
  // Control point and option tag (soil_model_points.cpp).
  void WriteControlPointHeaders();
  void BuildOptionTag();

  SoilSettings settings_;
  SoilSubbasinTable subbasins_;
  std::vector<std::vector<double>> total_runoff_;
  int n_layers_ = 0;
  int n_landuse_layers_ = 1;
  std::string option_tag_;
  bool interception_first_ = false;
  int surface_routing_active_ = 0;
  DumpOptions dump_options_;
  // Lakes (soil_lakes.cpp) and the external groundwater table (soil_external_groundwater.cpp).
  int lake_switch_ = 0;
  int lake_method_ = 0;
  ConstGridView lake_codes_;
  bool external_table_ = false;
  // Cell dumps (soil_cell_dumps.h): anomalies counted over the run by all threads.
  std::atomic<long long> dump_count_{0};
  CellDumpRun dump_run_;
  void ResetLakeCells(double threshold_mm, bool flatten);
  bool soil_temperatures_initialised_ = false;
  PreSpinUpGrids pre_spin_up_;
  LayeredSnowSettings layered_snow_;
  SoilTable snow_table_;
  int n_snow_ = 0;
  bool snow_temperatures_pending_ = false;
  bool lower_boundary_flux_given_ = false;
  bool silting_up_from_storage_ = false;
  bool permafrost_bound_ = false;
  std::vector<GlacierSubbasinRecord> glacier_records_;
  bool has_glacier_records_ = false;

  // Bound grids.
  ConstGridView regions_;  // "MPIRegions", or none
  ConstGridView zone_;     // "zonegrid_soilmodel"
  ConstGridView elevation_;
  ConstGridView soil_types_;
  ConstGridView slope_angle_;
  ConstGridView rel_cell_area_;
  std::vector<ConstGridView> root_depth_;  // per land-use layer 1..nLU
  ConstGridView landuse1_;
  ConstGridView flow_times_;
  ConstGridView drainage_depth_;
  ConstGridView drainage_distance_;
  ConstGridView clay_depth_;
  ConstGridView gw_k_x_;
  ConstGridView gw_k_y_;
  ConstGridView irrigation_codes_;
  ConstGridView glacier_;
  GridView max_ponding_;
  int etr2etp_index_ = 0;  // negative when found instead of registered

  // Registered grids and stacks.
  OwnedGrid groundwater_distance_, ponding_storage_, geodetic_heads_, theta_, hydraulic_heads_, lower_boundary_,
      soil_temperature_, baseflow_, groundwater_level_, theta_in_level_, q_down_, q_downext_, sb1_, mean_theta_root_,
      irrigation_amounts_, max_pumping_, sblow_, sbhigh_, etr2etp_, gw_table_extern_, balance_, tangens_beta_, sb2_,
      macropore_, substeps_, root_grid_, recharge_, uprise_, percolation_, directflow_, interflow_, infex_,
      total_infiltration_, saturation_, frozen_in_groundwater_, thaw_depth_, drainage_flow_, drainage_level_;
  // The layered snow pack's stacks and grid.
  OwnedGrid theta_snow_, geodetic_snow_, hydraulic_snow_, solid_snow_, liquid_snow_, thickness_snow_, density_snow_,
      upper_index_snow_, temperature_snow_, q_down_snow_;

  std::array<StatisticsTable, kTableCount> tables_;
  std::vector<PointSeries> point_series_;

  // The column step.
  int input_index_ = 0;  // grid-table entry of the water input
  Grid snow_outflow_kept_;  // "snowcover_outflow" as the snow model left it (empty when not needed)
  ModelDate date_{};
  bool column_grids_bound_ = false;
  SoilColumnGrids column_grids_;
  SoilColumnLoopSettings loop_settings_;
  std::unique_ptr<SoilColumnWorkspace> workspace_;
  std::unique_ptr<SoilHeatColumns> heat_columns_;
  // The heat part's settings and grids of the sub-step (soil_heat_column.cpp).
  void PrepareHeatColumns(const ModelDate& d);
  std::vector<int> irrigation_origin_;
  ConstGridView glacier_old_;
  bool first_step_bound_ = false;
  ConstGridView gw_head_1_;  // head of the groundwater model's top layer, or none
  ConstGridView albedo_, surface_resistance_;
  std::vector<ConstGridView> lai_, vcf_, rsc_, rsi_, z0_;

  // Flow-time zones and the per-sub-basin runoff, [tracer][sub-basin][zone] and
  // [tracer][sub-basin].
  std::vector<int> maxzeit_;
  std::vector<std::vector<std::vector<ZoneRecord>>> zone_qd_, zone_qi_;
  std::vector<std::vector<double>> qd_, qdd_, qi_, qii_, qbb_;
  std::vector<ExactSum> qb_sums_;  // per sub-basin: base flow · weight, weight
  // The step's additions to the zone queues, [queue][tracer][zone of every sub-basin][n,
  // sx, RelCellSum]; zone_offset_[s] is the first zone of sub-basin s.
  std::vector<ExactSum> zone_increments_;
  std::vector<std::size_t> zone_offset_;
  std::size_t zone_total_ = 0;
  std::vector<std::int64_t> reduce_scratch_;
  std::vector<double> qb_values_;

  // The rivers the cells re-infiltrate from, and their exchange between processes around
  // a sub-step (surface water interaction 2 or more).
  std::vector<RiverflowRecord> riverflow_table_;
  RiverflowExchange riverflow_exchange_;
  bool warned_no_river_table_ = false;
  void BroadcastRiverflowTable();
  void ReduceRiverflowTable();
  // With the groundwater model (soil_river_links.cpp): the river records, the river grids
  // and the two exchange grids; and their views in the column loop.
  void SetUpRiverExchange(StatisticsRegistry& registry);
  void BindRiverGrids();
  ConstGridView river_depth_, river_width_, river_links_, kolmation_;
  OwnedGrid river_infiltration_, river_exfiltration_;
  // The linked river cells' exchange (soil_river_cell_exchange.cpp): a spare row for every
  // grid and stack of the exchange list; a cell's values are packed in list order.
  RiverCellExchange cell_exchange_;
  SoilColumnGrids spare_column_grids_;  // the column grids with the spare row in range
  bool spare_column_grids_bound_ = false;
  int allocateGridElementsInRow0(GridView grid, int count);
  int allocateStackElementsInRow0(StackView stack, int count, int levels);
  long packCellValues(int row, int col, std::span<double> buffer, long position) const;
  long unpackCellValues(int row, int col, std::span<const double> buffer, long position);
  long packCellList(std::span<const RiverLinkCell> cells, std::span<double> buffer, long position) const;
  void swapRow0In();
  void swapRow0Out();
  void CollectExchangeList();
  template <typename Visit>
  void ForEachSpareCell(Visit&& visit) const;
  const SoilColumnGrids& StepColumnGrids();
  // The views of a sub-step with spare rows reach the spare row (and its columns); false
  // for a view of a grid that the exchange does not carry.
  template <typename View>
  bool WidenToSpareRow(View& v) const;
  void WidenHeatGridsToSpareRow(SoilHeatGrids& g) const;

  // Hydrologic response units.
  ConstGridView hru_units_;
  std::vector<GridView> hru_grids_;
  std::vector<StackView> hru_stacks_;

  // Tracers (soil_tracers_init.cpp): per tracer its statistic, input, point file, storage
  // stack (levels 0..L) with its values grid, and the direct-runoff and interflow grids.
  struct SoilTracerGrids {
    std::vector<ZoneRecord> zones;
    std::unique_ptr<zonalstatistic> statistic;
    std::string statistic_file, storage_file, point_file;
    Stack storage;
    Grid values, qd, qi;
    Grid base_flow;      // tracer amount of the sub-step leaving with the base flow [c · mm]
    PointSeries points;  // concentrations of the layers at the control cell (its process only)
    int index = 0;  // storage; "_CONC_QD_" and "_CONC_QI_" follow
    ConstGridView input, silting;
    GridView groundwater;  // the groundwater model's layer-1 concentration (or none)
    double decay = 1;      // per soil sub-step
  };
  void SetUpTracers(int n_tracers, std::span<TracerSettingsRecord> tracers, StatisticsRegistry& registry,
                    int capacity);
  // Concentration of tracer t in the water-table layer of cell (r, c).
  double TracerConcentrationAt(int t, int r, int c);
  void FirstTracerConcentrations();
  void BindColumnTracers();
  void UpdateTracerValues();
  // The tracers of a cell's soil part (weight A · D) in the flow-time queues of zone z of
  // sub-basin s: loads of the sub-step's direct runoff and interflow, weighted by the water,
  // so that a record's sx / RelCellSum is the flow-weighted concentration.
  void AddTracersToZones(int r, int c, int s, int z, double weight);
  // The tracer loads leaving the cells with the base flow of `base_mm` (of the sub-step).
  void AddTracersToBaseFlow(int r, int c, int s, double base_mm, double weight);
  // Process 0: the tracers' base-flow and total-runoff concentrations of every sub-basin,
  // then the end of step of the tracer statistics, which show the total runoff's.
  void EndStepTracers(const ModelDate& d);
  // The control cell's tracer concentrations per layer into the tracers' point series
  // (an amount becomes a concentration; a layer without water gives 1e9); a full series
  // is written out.
  void AppendTracerPointRecords(const std::array<long long, 4>& date);
  void WriteOutTracerPointSeries();
  int SubbasinOfCell(int r, int c) const;
  std::vector<SoilTracerGrids> soil_tracers_;  // entries 1..T
  SoilColumnTracerSet column_tracers_;
  ConstGridView aquifer_thickness_, gw_storage_coeff_;

  // The storage content file while its section is read (soil_storage_content.cpp).
  std::FILE* storage_file_ = nullptr;
  [[noreturn]] void UnreadableStorageValue(const std::string& label, double current);
  int ReadStoredInt(const std::string& label, double current);
  // The step's statistics tables, closed with one exchange of their sums.
  StatisticsStepEnds step_ends_;
};

}  // namespace tolvo
