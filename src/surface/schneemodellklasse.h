#pragma once
// Snow accumulation and melt with glaciers, firn, redistribution and permafrost (section
// "[snow_model]", with "[ice_firn]" and "[permafrost]"). The constructor reads the
// sections, makes the statistics tables, binds the input grids of its method, creates or
// reads the snow state grids and registers them in the grid table, prepares the elevation
// order of the cells for snow slides and sets up the glacier grids and the per-sub-basin
// glacier records. The hand-overs link it with the radiation correction, the water input,
// the lakes, the soil model's runoff array and the soil model's layered snow.
//
// Storage rows: the state grids cover rows 1..nrows on process 0 when the method moves
// snow between cells (slides) or the glaciers change, so that process 0 can hold the whole
// snow pack; otherwise the process's own rows.

#include <array>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "framework/dump_options.h"
#include "framework/exact_sum.h"
#include "framework/teilmodellklasse.h"
#include "setup/glacier_subbasins.h"
#include "tables/landuse_record.h"
#include "surface/glacier_list.h"
#include "surface/layered_snow.h"
#include "surface/snow_settings.h"
#include "surface/snow_tracers.h"

namespace tolvo {

class StatisticsRegistry;
struct GlacierBalanceGrids;

// The statistics tables of the snow model, in the order they are made.
enum class SnowTable : int {
  kOutflow,
  kMeltOnly,
  kStorage,
  kSnowDays,
  kSnowAge,
  kSnowfall,
  kRain,
  kAlbedo,
  kSnowTemperature,
  kSurfaceTemperature,
  kInputMass,
  kMobileMass,
  kDeposition,
  kFirnMelt,
  kIceMelt,
  kSnowOnIceMelt,
  kGlacierMelt,
  kStorageWithoutGlaciers,
  kFirnWater,
  kMassBalance,
  kGlacierPartBalance,
  kThawDepth,
  kCount
};

// The layered-snow properties the soil model hands over: the first snow-layer type of
// its layered-snow table, index 1..n.
struct LayeredSnowProperties {
  int n = 0;
  std::vector<double> thickness;    // m, largest thickness of each layer
  std::vector<double> dry_density;  // kg/m3 of fresh snow in each layer
};

class schneemodellklasse : public teilmodellklasse {
 public:
  // Throws the ErrorCode of a failure after its FATAL entry (the application stops the run).
  schneemodellklasse(DiagnosticsLog& log, StatisticsRegistry& registry, const ModelSettings& settings);

  // --- hand-overs, in the order the application makes them --------------------------------
  void SetCorrectedRadiation(ConstGridView grid) {
    if (ModuleSwitch != 0) corrected_radiation_ = grid;
  }
  // The solid snow store; the evapotranspiration model draws the snow evaporation from it.
  GridView GetSolidSnowStorage() const { return ModuleSwitch != 0 ? solid_ : GridView(); }
  int GetMethod() const { return ModuleSwitch > 0 ? settings_.method : 0; }
  // Binds the water input: with the interception first its throughfall, else precipitation.
  void SetWaterInput(bool interception_first);
  // Reads the lake switch of `section` and binds the lake and ponding grids (fails with 28
  // when a lake grid has no ponding grid).
  void ReadLakeModel(std::string_view section);
  void SetLayeredSnowFlag(bool heat_transfer) { heat_transfer_ = heat_transfer; }
  bool GetLayeredSnowFlag() const { return heat_transfer_; }
  // Binds the soil model's layered-snow stacks when `linked` (after SetLayeredSnowFlag).
  void LinkLayeredSnow(bool linked, const LayeredSnowProperties& properties, double fresh_snow_offset_K);
  bool GetLayeredSnowLink() const { return layered_linked_; }
  void SetDumpOptions(const DumpOptions& options) { dump_options_ = options; }
  // The soil model's total runoff per tracer (row 0 water) and sub-basin, whose water row
  // the glacier outflow replaces; marks the model initialised.
  void SetSubbasinRunoffArray(std::span<std::vector<double>> runoff);
  // The "[snow_model]" section of the storage content file: the reader stores the file
  // name (read codes 2 and 4: none) and, with read code 1 and glaciers, reads the outflows
  // of the glacier linear storages; a missing file or section leaves the start values
  // (WARNING). Mismatching sub-basins fail with 71.
  void ReadStorageContent(const std::string& file, int read_code);
  // Writes the section on process 0 when a name was stored, appended when `append`, else
  // in a new file; whether it wrote. A file that cannot be written fails with 18.
  bool WriteStorageContent(bool append);
  // Whether an earlier writer of this run has written the storage content file, so that
  // DeleteModule appends the section rather than creating the file.
  void SetStorageAppend(bool append) { storage_append_ = append; }
  void ReportStorageMismatch(std::string_view item, double current, double stored);
  void CheckStorageValue(std::FILE* file, double current, std::string_view item);
  // The base tracer set-up, then each tracer's input concentration: its irrigation grid,
  // else its input grid (33 when neither exists).
  void InitTracers(int n_tracers, std::span<TracerSettingsRecord> tracers, StatisticsRegistry& registry,
                   int capacity) override;

  // --- step ---------------------------------------------------------------------------------
  // First half of the step: accumulation and melt of every own cell (one OpenMP region
  // over rows), albedo, snow age, snow-cover days and permafrost thaw depth. Collective
  // (a barrier before the cell loop).
  void SnowTimeStep(const ModelDate& d);
  // Second half, after the soil sub-steps: response-unit copy, snow slides on process 0,
  // hand-over to the layered snow, per-cell statistics, end of the tables' step and grid
  // outputs. Collective.
  void SnowLateralStep(const ModelDate& d);
  // Seasonal factors of the step's date: melt (RMF), ice (Aice) and snow on glaciers (Asnow).
  double SeasonalMeltFactor(int day, int month) const;
  double SeasonalIceFactor(int day, int month) const;
  double SeasonalSnowOnGlacierFactor(int day, int month) const;
  // The layered-snow change of the cell's ordinary store; nothing for the glacier part.
  void ChangeLayeredSnowOfCell(int r, int c, bool glacier_part, double w, double amount, double T_air) const;
  // Copies the master cell's snow state to the other cells of every response unit.
  void CopySnowHruMasterValues();
  void FlushStatistics();

  // --- glaciers and dumps in the step -------------------------------------------------------
  // The glacier statistics of an own zone cell (and, for the dynamic methods, its mass
  // balance of the step), into the table sums of `thread`, and its melt into the model's
  // glacier melt sums, which one thread adds to at a time.
  void AddGlacierCellStatistics(int r, int c, int thread);
  // Collective: reduces the step's glacier melt sums of the sub-basins to process 0, which
  // then steps the linear storages of ice, firn and snow on glaciers; their outflow
  // replaces the water row of `runoff` ([tracer][sub-basin], mm per step) in every
  // sub-basin with glaciers. Sets the sums of the total glacier melt table, whose step
  // every process then ends. The melt sums are the model's own, kept whether or not the
  // melt tables are written, so the runoff does not depend on the statistics codes.
  void ComputeGlacierOutflow(std::span<std::vector<double>> runoff);
  // Collective. On the evaluation date, in the step that ends the day: snow turns into
  // glacier and firn, and process 0 changes the glacier areas.
  void EndGlacierYear(const ModelDate& d);
  // Dump mode: writes the cell's file when its layered snow is inconsistent; true when the
  // run must stop with 199 (-closeAfterDump), which the step raises after its cell loop.
  bool DumpSnowCell(int r, int c, const ModelDate& date);
  long long dump_count() const { return dump_count_; }
  void ReleaseTracers() override {
    if (ModuleSwitch == 0) return;
    snow_tracers_.clear();
    teilmodellklasse::ReleaseTracers();
  }
  void DeleteModule() override;

  // --- what the model holds -----------------------------------------------------------------
  const SnowSettings& snow_settings() const { return settings_; }
  const IceFirnSettings& ice_firn_settings() const { return ice_; }
  const PermafrostSettings& permafrost_settings() const { return permafrost_; }
  bool has_glaciers() const { return !glacier_fraction_.empty(); }
  bool has_permafrost() const { return has_permafrost_; }
  RowRange storage_rows() const { return storage_rows_; }
  std::span<const GlacierSubbasinRecord> glacier_subbasins() const { return glacier_subbasins_; }
  int subbasin_count() const { return subbasins_.zone_count; }
  bool has_statistic(SnowTable t) const { return statistic(t) != nullptr; }
  int lake_switch() const { return lake_switch_; }
  std::span<const double> Qice_slr() const { return Qice_slr_; }
  std::span<const double> Qfirn_slr() const { return Qfirn_slr_; }
  std::span<const double> Qsnow_slr() const { return Qsnow_slr_; }
  const GlacierList& glacier_list() const { return glacier_list_; }
  std::span<const ConstGridView> tracer_input() const { return tracer_input_; }

 private:
  struct Statistic {
    std::vector<ZoneRecord> zones;
    std::unique_ptr<zonalstatistic> table;
    std::string file;
  };
  zonalstatistic* statistic(SnowTable t) const { return statistics_[static_cast<std::size_t>(t)].table.get(); }

  void BindInputs();
  // One own cell of the snow step; a failed land-use albedo is returned, else an ok value.
  LanduseValue SnowCellStep(int r, int c, const SnowCellParameters& p, const SnowCellGrids& g) const;
  // The land-use albedo of layer 1 of the cell on the step's date; where no
  // land-use table or entry applies, the fallback.
  LanduseValue LanduseAlbedo(int r, int c, double fallback) const;
  double SnowAlbedo(double age_days, double T) const;
  // The ordinary snow store of cell (r, c) in the step: the snow model's melt method (one
  // call, or a night and a day call for long steps), the outflow over the holding capacity,
  // the energy-balance values and the layered-snow change.
  void OrdinaryStoreStep(int r, int c, const SnowCellParameters& p, const SnowCellGrids& grids, double T,
                         const LayeredSnow* layered) const;
  // A cell with a glacier fraction above 0: its ordinary and glacier snow store, then the
  // firn and ice melt of a snow-free glacier.
  void GlacierCellStep(int r, int c, const SnowCellParameters& p, const SnowCellGrids& grids) const;
  // The glacier part of the lateral step, after the melt tables have ended their step:
  // the linear-storage outflow into the soil model's runoff, the total glacier melt table
  // and the end of the glacier year. Collective.
  void GlacierLateralStep(const ModelDate& d);
  void SnowSlides();
  void HandOverToLayeredSnow();
  // The tracers of the ordinary snow store of cell (r, c): decay and the water input's
  // tracer before the snow computation (the pack holding `snow` mm), the tracer leaving
  // with "snowcover_outflow" after it.
  void TracersIntoSnow(int r, int c, double snow) const;
  void TracersOutOfSnow(int r, int c) const;
  // The snow-pack tracer values of an own cell without glacier into the tracers' tables.
  void AddTracerStatistics(int r, int c, int zone);
  void AddStepStatistics();
  void EndStatisticsStep(const ModelDate& d);
  void WriteStepOutputs();
  bool OwnCell(int r, int c) const;
  void MakeStatistic(StatisticsRegistry& registry, SnowTable t, const StatisticName& name, const char* quantity,
                     int precision, bool by_subbasin);
  void MakeSnowStatistics(StatisticsRegistry& registry);
  // Glacier set-up before the state grids: section, glacier grids, checks, tables, records.
  void SetUpGlaciers(StatisticsRegistry& registry);
  void CheckDynamicGlacierGrids();
  void MakeGlacierGrids();
  void SetUpPermafrost(StatisticsRegistry& registry);
  void MakeStateGrids();
  void MakeSlideGrids();
  void MakeElevationOrder();
  // Process 0, dynamic glacier methods: the glacier list from the glacier grids.
  void SetUpGlacierList();
  GlacierBalanceGrids GlacierBalanceGridsOfProcess0();
  // Index of the cell's sub-basin, 0 outside.
  int SubbasinIndex(int r, int c) const;
  // Adds a cell's glacier melt (mm) with the weight to the sums of sub-basin k, weighted
  // by the relative cell area as the statistics tables weight it.
  void AddGlacierMelt(int r, int c, int k, double weight, double ice, double firn, double snow);
  std::vector<char> DumpRecordOfCell(int r, int c, const ModelDate& date) const;

  // The next free grid-table entry (fails with 12 when none is left).
  int NextEntry();
  // Registers an owned grid at the next entry and returns its values.
  GridView RegisterOwned(Grid grid, std::string_view file, std::string_view identifier, int write_code, RowRange rows);
  // An existing grid of the identifier, or a new one of `rows` with `value` in the cells
  // where `mask` is not nodata (nodata elsewhere), registered.
  GridView UseOrCreate(std::string_view identifier, const GridOutputName& name, RowRange rows, ConstGridView mask,
                       double value);
  // A grid read from its file (holes filled; fatal when too big unless `holes_allowed`)
  // and registered.
  GridView ReadAndRegister(std::string_view identifier, const GridOutputName& name, double default_value,
                           bool holes_allowed, bool whole);
  Grid NewGrid(RowRange rows) const;
  ConstGridView Find(std::string_view identifier);
  ConstGridView Require(std::string_view identifier);
  GridView RequireWritable(std::string_view identifier);

  SnowSettings settings_;
  IceFirnSettings ice_;
  PermafrostSettings permafrost_;
  bool has_permafrost_ = false;
  RowRange storage_rows_{};
  bool whole_grid_read_ = false;
  int landuse_layers_ = 1;
  RankedZones subbasins_;
  ConstGridView subbasin_grid_;  // "zonegrid_soilmodel"
  ConstGridView zone_grid_;
  ConstGridView elevation_;
  ConstGridView regions_, hru_units_, hru_masters_;

  std::array<Statistic, static_cast<std::size_t>(SnowTable::kCount)> statistics_;
  std::deque<Grid> owned_;
  std::vector<int> registered_;
  Stack firn_stack_;
  StackView firn_levels_;  // of firn_stack_, for the glacier cells of the step

  // Seasonal factors and day/night split of the current step.
  double rmf_ = 0, asnow_ = 0, aice_ = 0;
  DayNightSplit split_{};
  std::vector<LanduseValue> row_failure_;  // per own row of the cell loop
  std::vector<int> output_indices_;         // grid-table entries written each step

  // Inputs.
  GridView albedo_, snow_evaporation_;
  ConstGridView temperature_, temperature_night_, wind_, vapour_pressure_;
  std::vector<ConstGridView> landuse_;  // per layer 1..n
  std::array<ConstGridView, 4> slide_fraction_{};
  ConstGridView slope_, deposition_index_, cloudiness_, air_humidity_, global_radiation_, surface_temperature_;
  ConstGridView debris_, glacier_radiation_, glacier_codes_;
  ConstGridView glacier_fraction_;
  ConstGridView thaw_coefficient_;
  GridView thaw_depth_, root_depth_;  // changed by the thaw of the step

  // State and results.
  GridView solid_, liquid_, total_, days_snow_, snow_age_, snow_temperature_, surface_temperature_state_,
      energy_balance_;
  GridView max_deposition_, elev_order_row_, elev_order_col_, input_mass_, mobile_mass_, deposition_;
  GridView snow_fraction_, rain_fraction_, outflow_, melt_only_;
  GridView firn_melt_, ice_melt_, firn_total_, mass_balance_, old_mass_balance_, solid_on_glacier_, liquid_on_glacier_,
      total_on_glacier_, surface_temperature_on_glacier_, snow_temperature_on_glacier_, energy_balance_on_glacier_,
      glacier_fraction_old_, glacier_codes_old_, melt_on_glacier_, evaporation_on_glacier_;
  GridView snow_free_days_, snow_cover_days_;

  std::vector<GlacierSubbasinRecord> glacier_subbasins_;
  std::vector<double> Qice_slr_, Qfirn_slr_, Qsnow_slr_, ice_input_, firn_input_, snow_on_ice_input_;
  // The step's glacier melt of every sub-basin 0..n as exact sums, kGlacierMeltSums per
  // sub-basin (weights, relative cell areas, weighted ice, firn and snow-on-ice melt), and
  // their records (ice, firn, snow on ice, total; n + 1 each) built from them on process 0.
  static constexpr std::size_t kGlacierMeltSums = 5;
  std::vector<ExactSum> glacier_melt_sums_;
  std::vector<std::int64_t> glacier_reduce_scratch_;
  std::vector<ZoneRecord> glacier_melt_zones_;
  ConstGridView cell_areas_;  // "RelCellArea", the statistics tables' cell weights
  GlacierList glacier_list_;  // process 0
  std::string storage_file_;
  bool storage_append_ = true;
  long long dump_count_ = 0;
  std::vector<ConstGridView> tracer_input_;  // per tracer 1..n
  std::vector<SnowTracer> snow_tracers_;     // per tracer, from index 0

  // Hand-overs.
  ConstGridView corrected_radiation_;
  GridView water_input_;
  bool interception_first_ = false;
  std::span<std::vector<double>> subbasin_runoff_;
  bool heat_transfer_ = false;
  bool layered_linked_ = false;
  LayeredSnowProperties layered_properties_;
  LayeredSnow layered_;
  DumpOptions dump_options_;
  int lake_switch_ = 0;
  ConstGridView lake_codes_, ponding_;
  // The step's statistics tables, closed with one exchange of their sums.
  StatisticsStepEnds step_ends_;
};

}  // namespace tolvo
