#include "setup/defaultini.h"

#include <mpi.h>

#include <array>

#include "framework/error_code.h"
#include "framework/grid_reader.h"
#include "framework/grid_table.h"
#include "framework/halo_exchange.h"
#include "framework/statistics_registry.h"
#include "setup/control_file_symbols.h"
#include "setup/coupling_settings.h"
#include "setup/domain_decomposition.h"
#include "setup/external_exchange.h"
#include "setup/grid_list_statistics.h"
#include "setup/derived_grids.h"
#include "setup/grid_lists.h"
#include "setup/landuse_layer_grids.h"
#include "setup/region_grid.h"
#include "setup/zone_grid_header.h"
#include "tables/code_grids.h"
#include "tables/irrigation_table.h"
#include "tables/landuse_parameter_grids.h"
#include "tables/landuse_table.h"
#include "tables/multilayer_landuse.h"
#include "tables/soil_table.h"

namespace tolvo {

// What the set-up builds and owns for the run.
struct SetupState {
  GridLists lists;
  GridListStatistics statistics;
  std::optional<MultilayerLanduseTable> multilayer;
  std::optional<LanduseTable> landuse;
  SoilTable soils;
  IrrigationSettings irrigation;
  Grid zone_grid;
  Grid elevation;
  Grid river_links;
  int river_links_index = 0;
  DomainDecomposition decomposition;
  DomainLayout layout;
  ZoneRanking zones;
  LanduseParameterGrids landuse_parameters;
  DerivedGrids derived;
  LanduseCodeLayers layer_grids;
  // Grid-table positions of the land-use code grids of layers 1..L (with one layer, the
  // land-use grid itself); their values are looked up anew each step, since a periodic
  // re-read may replace them.
  std::vector<int> layer_positions;
  std::vector<ConstGridView> layer_codes;
  // Regression regions and their weight grids (stage 20).
  RegionGrids regions;
  // Hydrologic response units of the spin-up; the list goes to every sub-model.
  HydrologicResponseUnits hrus;
};

namespace {

// The write code of a registered entry, rebuilt from its digits.
int WriteCodeOf(const grid_entry& entry) {
  const int hundreds = (entry.minimum_flag != 0 ? 1 : 0) + (entry.maximum_flag != 0 ? 2 : 0);
  return entry.ones + 10 * entry.tens + 100 * hundreds + 1000 * entry.thousands;
}

void LogStep(DiagnosticsLog& log, const char* name) { log << name << "[end-entry]"; }
void LogOk(DiagnosticsLog& log) { log << "...ok" << "[end-entry]"; }

}  // namespace

defaultini::defaultini(DiagnosticsLog& log, const std::string& control_file_name, StatisticsRegistry& registry,
                       int capacity, int mode, grid_table& grids)
    : modelobject(log, control_file_name),
      registry_(&registry),
      capacity_(capacity),
      mode_(mode),
      state_(std::make_unique<SetupState>()),
      coupling_(std::make_unique<ExternalExchange>(CouplingSettings{}, ConstGridView{})) {
  set_grid_table(&grids);
  log << "file " << "defltuzr" << ", compiled at " << __DATE__ << ", " << __TIME__ << "[end-entry]";
  set_name("defaults");
}

defaultini::~defaultini() = default;

bool defaultini::InitializeStep() {
  switch (stage_) {
    case 0:
      Stage0();
      break;
    case 1:
      if (!OpenControlFile(compiled_name_)) {
        log() << "FATAL: error opening " << compiled_name_ << "[end-entry]";
        RaiseError(kControlFileOpenError);
      }
      state_->lists.ReadStandardGrids(*this);
      break;
    case 2:
      model_time_ = ReadModelTime(*this);
      start_date() = model_time_.start;
      SetEndDate(model_time_.end.year, model_time_.end.month, model_time_.end.day, model_time_.end.hour);
      break;
    case 3:
      state_->multilayer = ReadMultilayerLanduse(*this);
      state_->landuse = ReadLanduseTable(*this);
      break;
    case 4:
      state_->soils = ReadSoilTable(*this);
      break;
    case 5: {
      irrigation_flag_ = 0;
      if (mode_ > 1) {
        std::array<int, 12> month_lengths{};
        for (int m = 1; m <= 12; ++m) month_lengths[static_cast<std::size_t>(m - 1)] = DaysInMonth(end_date().year, m);
        state_->irrigation = ReadIrrigationTable(*this, month_lengths);
        irrigation_flag_ = state_->irrigation.flag;
      }
      ReadRadiationCorrectionSwitch();
      CloseControlFile();
      break;
    }
    case 6:
      Stage6();
      break;
    case 7:
      Stage7();
      break;
    case 8:
      Stage8();
      break;
    case 9: {
      const int relcell = FindGrid("RelCellArea", false);
      set_rel_cell_area(relcell > 0 ? ConstGridView((*grids())[relcell].values) : ConstGridView());
      break;
    }
    case 10:
      Register([&](int& n) { state_->derived.MakeCellSizeGrids(*this, n); });
      break;
    case 11:
      Register([&](int& n) { state_->derived.MakeCoordinateGrids(*this, n); });
      break;
    case 12:
      state_->derived.FindMaxElevation(*this);
      max_elevation_ = state_->derived.GetMaxElevation();
      break;
    case 13:
      Stage13();
      break;
    case 14:
      Stage14();
      break;
    case 15:
      if (irrigation_flag_ != 0) {
        LogStep(log(), "check_irrig_Codes");
        const int index = FindGrid("irrigation_codes", false);
        if (index > 0 && state_->irrigation.table) {
          const grid_entry& entry = (*grids())[index];
          check_irrig_Codes(*this, {entry.values, entry.file_name.value_or(""), entry.identifier.value_or("")},
                            state_->zone_grid.view(), *state_->irrigation.table);
        }
        LogOk(log());
      }
      break;
    case 16: {
      LogStep(log(), "check_SOIL_Codes...");
      const int index = FindGrid("soil_types", false);
      if (index > 0) {
        const grid_entry& entry = (*grids())[index];
        check_SOIL_Codes(*this, {entry.values, entry.file_name.value_or(""), entry.identifier.value_or("")},
                         state_->zone_grid.view(), state_->soils);
      }
      LogOk(log());
      break;
    }
    case 17:
      break;
    case 18:
      LogStep(log(), "make_Slope_and_Aspect...");
      Register([&](int& n) { state_->derived.make_Slope_and_Aspect(*this, n); });
      LogOk(log());
      break;
    case 19:
      LogStep(log(), "check_ice_firn_grid...");
      check_ice_firn_grid(*this);
      LogOk(log());
      break;
    case 20:
      LogStep(log(), "MakeRegionWeightGrids...");
      state_->regions.MakeRegionWeightGrids(*this, [this] { state_->lists.CountRegisteredGrid(); });
      LogOk(log());
      break;
    case 21:
      break;
    case 22:
      LogStep(log(), "GetCouplingParameters...");
      coupling_ = std::make_unique<ExternalExchange>(
          GetCouplingParameters(*this, compiled_name_, std::as_const(state_->zone_grid).view()),
          std::as_const(state_->zone_grid).view());
      LogOk(log());
      break;
    default:
      CloseControlFile();
      SetLogInterval(1);
      FinishSettings();
      return true;
  }
  ++stage_;
  return false;
}

void defaultini::Stage0() {
  compiled_name_ = CompileControlFile(control_file_name(), log());
  // From here on the reader, like every other model object, reads the compiled copy.
  set_control_file_name(compiled_name_);
  output_ = ReadOutputSettings(*this, compiled_name_);
  set_min_to_int_end(output_.min_to_int_end);
  set_output_formats(output_.formats);
  set_directories(output_.initial_state_directory, output_.output_directory);
}

void defaultini::ReadRadiationCorrectionSwitch() {
  FindSection("[radiation_correction]", true);
  const std::optional<std::string> token = control_file().ReadToken();
  if (token) radiation_correction_switch_ = ParseIntPrefix(*token).value_or(0);
}

void defaultini::Stage6() {
  // Process 0 reads the zone grid's header; every process gets its geometry, or its error.
  const GridGeometry geometry = ReadZoneGridGeometry(*this);
  set_geometry(geometry);
  set_strip({1, geometry.nrows});

  grid_table& table = *grids();
  const bool river_links = FindGrid("river_links", true) > 0;
  if (rank() == 0) {
    const auto read_base = [&](int index, Grid& target, bool strict) {
      grid_entry& entry = table[index];
      const std::string file = entry.file_name.value_or("");
      ReadGrid(grid_input(), file, target,
               {.allocate = true,
                .log = true,
                .default_value = entry.defaultValue,
                .strict_fill = strict,
                .whole_on_process0 = true,
                .local = true,
                .halo_rows = true});
      RegisterGrid(index, file, target.view(), {}, 0, entry.identifier.value_or(""), WriteCodeOf(entry), 1,
                   geometry.nrows);
    };
    read_base(1, state_->zone_grid, false);
    read_base(2, state_->elevation, true);
    if (river_links) {
      state_->river_links_index = RequireGrid("river_links");
      read_base(state_->river_links_index, state_->river_links, true);
    }
  } else if (river_links) {
    state_->river_links_index = RequireGrid("river_links");
  }
  DecompositionInput input;
  input.zone = state_->zone_grid.view();
  input.elevation = state_->elevation.view();
  input.river_links = state_->river_links.view();
  state_->decomposition = BuildMpiRegions(*this, input);
  RegisterDecompositionGrids(*this, state_->decomposition);
  for (int i = 0; i < 3; ++i) state_->lists.CountRegisteredGrid();
  set_strip(state_->decomposition.own_rows);
  state_->layout = state_->decomposition.layout();
  set_domain_layout(&state_->layout);
}

void defaultini::Stage7() {
  SetupState& s = *state_;
  grid_table& table = *grids();
  const GridGeometry& g = geometry();
  const std::string zone_file = table.zone_grid().file_name.value_or("");
  s.zones = RankZoneGrid(*this, s.zone_grid.view(), zone_file, {}, s.decomposition.own_rows);
  s.layout.column_ranges = s.zones.column_ranges;
  if (rank() == 0) {
    const OutputFormats& f = output_formats();
    WriteGridFile("MPIRegions_0", s.decomposition.regions.view(), f.ascii, f.doubles, f.netcdf);
  }

  const RowRange held = s.decomposition.held_rows;
  if (rank() != 0) {
    const auto make_strip = [&](int index, Grid& target) {
      grid_entry& entry = table[index];
      target = matrix(held.first, held.last, 1, g.ncols, g.nrows);
      target.fill(g.nodata_value);
      RegisterGrid(index, entry.file_name.value_or(""), target.view(), {}, 0, entry.identifier.value_or(""),
                   WriteCodeOf(entry), held.first, held.last);
    };
    make_strip(1, s.zone_grid);
    make_strip(2, s.elevation);
    if (s.river_links_index > 0) make_strip(s.river_links_index, s.river_links);
  }
  for (Grid* grid : {&s.zone_grid, &s.elevation}) {
    ScatterGrid(context(), grid->view());
    ExchangeHalo(context(), grid->view());
  }
  if (s.river_links_index > 0) {
    ScatterGrid(context(), s.river_links.view());
    ExchangeHalo(context(), s.river_links.view());
  }
}

void defaultini::Stage8() {
  MPI_Barrier(MPI_COMM_WORLD);
  state_->lists.ReadStandardGridValues(*this);
  state_->lists.ReadVariableGrids(*this, compiled_name_);
}

void defaultini::Stage13() {
  const int index = FindGrid("landuse", false);
  if (index <= 0) {
    landuse_layers_ = 0;
    return;
  }
  grid_entry& entry = (*grids())[index];
  check_landuse_Codes(*this, {entry.values, entry.file_name.value_or(""), entry.identifier.value_or("")},
                      state_->zone_grid.view(), *state_->landuse,
                      state_->multilayer ? &*state_->multilayer : nullptr);
  SetupState& s = *state_;
  if (s.multilayer) {
    Register([&](int& n) { s.layer_grids.MakeLanduseLayerGrids(*this, *s.multilayer, n); });
    landuse_layers_ = s.layer_grids.layer_count();
    s.layer_positions.clear();
    for (int k = 1; k <= landuse_layers_; ++k) s.layer_positions.push_back(RequireGrid("landuse" + std::to_string(k)));
    const std::span<const GridView> layers = s.layer_grids.layers();
    s.lists.SetLanduseRenewal({.position = index,
                               .landuse = &*s.landuse,
                               .multilayer = &*s.multilayer,
                               .layers = std::vector<GridView>(layers.begin() + 1, layers.end())});
    return;
  }
  // With one layer the land-use grid is its own layer grid, found as "landuse1".
  entry.identifier = "landuse1";
  landuse_layers_ = 1;
  s.layer_positions = {index};
  s.lists.SetLanduseRenewal({.position = index, .landuse = &*s.landuse, .multilayer = nullptr, .layers = {}});
}

void defaultini::Register(const std::function<void(int&)>& make) {
  int made = 0;
  make(made);
  for (int i = 0; i < made; ++i) state_->lists.CountRegisteredGrid();
}

void defaultini::Stage14() {
  if (state_->layer_positions.empty()) return;
  SetupState& s = *state_;
  s.landuse_parameters.generateMultiLayerParameterGrids(
      *this, *s.landuse, CurrentLayerCodes(),
      {s.zone_grid.view(), s.elevation.view(), s.decomposition.regions.view(), model_time_.start});
  LogOk(log());
  for (int i = 0; i < s.landuse_parameters.created_grid_count(); ++i) s.lists.CountRegisteredGrid();
}

std::span<const ConstGridView> defaultini::CurrentLayerCodes() {
  SetupState& s = *state_;
  s.layer_codes.resize(s.layer_positions.size());
  for (std::size_t k = 0; k < s.layer_positions.size(); ++k) {
    s.layer_codes[k] = (*grids())[s.layer_positions[k]].values;
  }
  return s.layer_codes;
}

void defaultini::FinishSettings() {
  const SetupState& s = *state_;
  settings_.compiled_control_file = compiled_name_;
  settings_.site = {output_.latitude, output_.longitude, output_.reference_meridian};
  settings_.min_to_int_end = output_.min_to_int_end;
  settings_.time_shift = output_.time_shift;
  settings_.log_interval = output_.log_interval_hours;
  settings_.geometry = geometry();
  settings_.strip = strip();
  settings_.output_list = output_.output_list;
  settings_.grids = grids();
  settings_.zones = {s.zones.zone_count, s.zones.largest_code, s.zones.zones, s.zones.code_index,
                     s.zones.column_ranges};
  settings_.start_date = model_time_.start;
  settings_.end_date = model_time_.end;
  settings_.landuse = s.landuse ? &*s.landuse : nullptr;
  settings_.multilayer_landuse = s.multilayer ? &*s.multilayer : nullptr;
  settings_.soils = &state_->soils;
  settings_.irrigation = s.irrigation.table ? &*s.irrigation.table : nullptr;
  settings_.formats = output_formats();
  settings_.input_directory = input_directory();
  settings_.output_directory = output_directory();
  settings_.layout = &s.layout;
  settings_.regions = s.regions.view();
  settings_.hrus = &s.hrus.list();
  settings_.river_links = &s.decomposition.riverLinks;
  settings_.link_cells = &s.decomposition.link_cells;
}

void defaultini::InitGridStatistics() {
  state_->statistics.InitGridStatistics(*this, state_->lists.grid_count(), state_->zones, *registry_, capacity_,
                                        output_.output_list);
}

SpinUpSettings defaultini::InitSpinUp() {
  const SpinUpSettings spin_up =
      state_->hrus.InitSpinUp(*this, [this] { state_->lists.CountRegisteredGrid(); });
  settings_.spin_up = spin_up.spin_up;
  return spin_up;
}

int defaultini::grid_count() const { return state_->lists.grid_count(); }

int defaultini::ReadSubsteps() { return tolvo::ReadSubsteps(*this, compiled_name_); }

// --- external coupling -----------------------------------------------------------------
bool defaultini::IsExternalCouplingOn() const { return coupling_->settings().on(); }
const std::string& defaultini::GetWaitFileName() const { return coupling_->settings().wait_file; }
const std::string& defaultini::GetInformFileName() const { return coupling_->settings().inform_file; }
const std::string& defaultini::GetInformFileText() const { return coupling_->settings().inform_text; }
long long defaultini::GetWaitInterval() const { return coupling_->settings().wait_interval_ms; }
char defaultini::GetExternalGridMode() const { return PeriodLetter(coupling_->settings().period); }
int defaultini::GetExternalTimeStep() const { return coupling_->settings().external_time_step_min; }
bool defaultini::HasExternalGroundwaterTable() const { return coupling_->settings().HasExternalGroundwaterTable(); }

void defaultini::ResolveCouplingNames(StatisticsRegistry& registry, int capacity) {
  coupling_->ResolveCouplingNames(*this, registry, capacity);
}

int defaultini::ReadExternalGrids(long long year, long long month, long long day, long long hour) {
  return coupling_->ReadExternalGrids(*this, {year, month, day, hour});
}

void defaultini::AccumulateExternalOutputs() { coupling_->AccumulateExternalOutputs(*this); }

void defaultini::WriteExternalStatistics(long long hour, long long day, long long month, long long year,
                                         bool day_end, bool month_end, bool year_end) {
  coupling_->WriteExternalStatistics(*this, {year, month, day, hour}, {day_end, month_end, year_end});
}
// --- end of external coupling ----------------------------------------------------------

void defaultini::UpdatePeriodicGrids(const ModelDate& date, int step_minutes) {
  state_->lists.UpdatePeriodicGrids(*this, date, step_minutes);
}

void defaultini::UpdateLanduseParameters(const ModelDate& date, int step_minutes) {
  if (!state_->landuse) return;
  state_->landuse_parameters.UpdateLanduseParameters(
      *this, *state_->landuse, CurrentLayerCodes(), static_cast<int>(date.hour), static_cast<int>(date.day),
      static_cast<int>(date.month), static_cast<int>(date.year), step_minutes);
}

void defaultini::WriteStandardGrids(const ModelDate& date) { state_->lists.WriteStandardGrids(*this, date); }
void defaultini::WriteVariableGrids(const ModelDate& date) { state_->lists.WriteVariableGrids(*this, date); }
void defaultini::ResetGridStatistics() { state_->statistics.ResetGridStatistics(*this); }
void defaultini::AccumulateGridStatistics() { state_->statistics.AccumulateGridStatistics(*this); }
void defaultini::FinishGridStatistics(const ModelDate& date) { state_->statistics.FinishGridStatistics(*this, date); }
void defaultini::FlushGridStatistics() { state_->statistics.FlushGridStatistics(*this); }

void defaultini::DeleteModule() {
  state_->statistics.ReleaseGridStatistics(*this);
  coupling_ = std::make_unique<ExternalExchange>(CouplingSettings{}, ConstGridView{});  // external coupling
  modelobject::DeleteModule();
}

}  // namespace tolvo
