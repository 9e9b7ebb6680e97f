#include "setup/defaultini.h"

#include <mpi.h>

#include <array>

#include "framework/error_code.h"
#include "framework/grid_reader.h"
#include "framework/grid_table.h"
#include "framework/halo_exchange.h"
#include "framework/statistics_registry.h"
#include "setup/control_file_symbols.h"
#include "setup/domain_decomposition.h"
#include "setup/grid_list_statistics.h"
#include "setup/grid_lists.h"
#include "setup/zone_grid_header.h"
#include "tables/code_grids.h"
#include "tables/irrigation_table.h"
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
      state_(std::make_unique<SetupState>()) {
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
    case 11:
    case 12:
      break;
    case 13:
      Stage13();
      break;
    case 14:
    case 15:
      if (stage_ == 15 && irrigation_flag_ != 0) {
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
      LogOk(log());
      break;
    case 19:
      LogStep(log(), "check_ice_firn_grid...");
      LogOk(log());
      break;
    case 20:
      LogStep(log(), "MakeRegionWeightGrids...");
      LogOk(log());
      break;
    case 21:
      break;
    case 22:
      LogStep(log(), "GetCouplingParameters...");
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
  GridGeometry geometry;
  if (rank() == 0) geometry = ReadGridHeader(*this);
  int sizes[2] = {geometry.ncols, geometry.nrows};
  MPI_Bcast(sizes, 2, MPI_INT, 0, MPI_COMM_WORLD);
  double corner[4] = {geometry.xllcorner, geometry.yllcorner, geometry.cellsize, geometry.nodata_value};
  MPI_Bcast(corner, 4, MPI_DOUBLE, 0, MPI_COMM_WORLD);
  geometry = {sizes[0], sizes[1], corner[0], corner[1], corner[2], corner[3]};
  set_geometry(geometry);
  set_strip({1, geometry.nrows});

  grid_table& table = *grids();
  const bool river_links = FindGrid("river_links", true) > 0;
  if (rank() == 0) {
    const auto read_base = [&](int index, Grid& target, bool strict) {
      grid_entry& entry = table[index];
      const std::string file = entry.file_name.value_or("");
      ReadGridFile(file, target, 0, true, true, entry.defaultValue, strict, true, true, true);
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
  set_strip(state_->decomposition.own_rows);
  state_->layout = state_->decomposition.layout();
  set_domain_layout(&state_->layout);
}

void defaultini::Stage7() {
  SetupState& s = *state_;
  grid_table& table = *grids();
  const GridGeometry& g = geometry();
  const std::string zone_file = table[1].file_name.value_or("");
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
    ScatterGrid(*this, grid->view());
    ExchangeHalo(*this, grid->view());
  }
  if (s.river_links_index > 0) {
    ScatterGrid(*this, s.river_links.view());
    ExchangeHalo(*this, s.river_links.view());
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
  if (state_->multilayer) {
    landuse_layers_ = state_->multilayer->layers();
  } else {
    entry.identifier = "landuse1";
    landuse_layers_ = 1;
  }
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
  settings_.soils = &s.soils;
  settings_.irrigation = s.irrigation.table ? &*s.irrigation.table : nullptr;
  settings_.formats = output_formats();
  settings_.input_directory = input_directory();
  settings_.output_directory = output_directory();
  settings_.layout = &s.layout;
}

void defaultini::InitGridStatistics() {
  state_->statistics.InitGridStatistics(*this, state_->lists.grid_count(), state_->zones, *registry_, capacity_,
                                        output_.output_list);
}

SpinUpSettings defaultini::InitSpinUp() {
  log() << "DEBUG: Creating HRUs" << "[end-entry]";
  SpinUpSettings spin_up;
  if (!OpenControlFile(compiled_name_)) {
    log() << "FATAL: error opening " << compiled_name_ << "[end-entry]";
    RaiseError(kControlFileOpenError);
  }
  if (FindSection("[SpinUp]", false) != 0) {
    ReadItem(spin_up.spin_up, "SpinUp-switch not found");
    if (spin_up.spin_up != 0) {
      ReadItemKeepLine(spin_up.do_temperature_pre_spin_up, "doTemperaturePreSpinUp not found");
      ReadItem(spin_up.repeat_count, "repeatCnt not found");
    }
  }
  CloseControlFile();
  settings_.spin_up = spin_up.spin_up;
  return spin_up;
}

int defaultini::ReadSubsteps() { return tolvo::ReadSubsteps(*this, compiled_name_); }

void defaultini::ResolveCouplingNames(StatisticsRegistry& /*registry*/, int /*capacity*/) {}

void defaultini::UpdatePeriodicGrids(const ModelDate& date, int step_minutes) {
  state_->lists.UpdatePeriodicGrids(*this, date, step_minutes);
}

void defaultini::UpdateLanduseParameters(const ModelDate& /*date*/, int /*step_minutes*/) {}

void defaultini::WriteStandardGrids(const ModelDate& date) { state_->lists.WriteStandardGrids(*this, date); }
void defaultini::WriteVariableGrids(const ModelDate& date) { state_->lists.WriteVariableGrids(*this, date); }
void defaultini::ResetGridStatistics() { state_->statistics.ResetGridStatistics(*this); }
void defaultini::AccumulateGridStatistics() { state_->statistics.AccumulateGridStatistics(*this); }
void defaultini::FinishGridStatistics(const ModelDate& date) { state_->statistics.FinishGridStatistics(*this, date); }
void defaultini::FlushGridStatistics() { state_->statistics.FlushGridStatistics(*this); }

void defaultini::DeleteModule() {
  state_->statistics.ReleaseGridStatistics(*this);
  modelobject::DeleteModule();
}

}  // namespace tolvo
