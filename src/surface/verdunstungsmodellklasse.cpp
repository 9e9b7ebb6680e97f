// Set-up of the evapotranspiration model: the grids it reads, the grids and statistics it
// publishes, the hand-overs of the other sub-models, the lake settings and the release.

#include "surface/verdunstungsmodellklasse.h"

#include <cmath>
#include <limits>
#include <string>

#include "framework/error_code.h"
#include "framework/grid_table.h"
#include "framework/statistics_registry.h"
#include "surface/layer_file_name.h"
#include "tables/multilayer_landuse.h"

namespace tolvo {

verdunstungsmodellklasse::verdunstungsmodellklasse(DiagnosticsLog& log, StatisticsRegistry& registry,
                                                   const ModelSettings& settings)
    : teilmodellklasse(log, "evapotranspiration", settings, 1) {
  if (ModuleSwitch == 0) return;
  log << "file " << "etpetr" << ", compiled at " << __DATE__ << ", " << __TIME__ << "[end-entry]";
  const int regions = FindGrid("MPIRegions", false);
  if (regions > 0) regions_ = (*grids())[regions].values;
  n_layers_ = settings.multilayer_landuse != nullptr ? settings.multilayer_landuse->layers() : 1;
  layers_.resize(static_cast<std::size_t>(n_layers_) + 1);

  ReadSection();
  CheckSettings();
  CloseControlFile();
  FindInputs();
  BindGrids();
  RegisterOwnGrids(registry);
  // One sample per started hour of the step and one more: enough for the daylight of
  // any step, also of steps longer than a day.
  cos_zenith_.assign(static_cast<std::size_t>(std::ceil(TimeStep / 60)) + 2, 0.0);
}

verdunstungsmodellklasse::~verdunstungsmodellklasse() = default;

void verdunstungsmodellklasse::FindInputs() {
  const int method = settings_.method_number;
  grid_table& table = *grids();
  const auto optional = [&](const char* identifier, int bit, auto& view) {
    const int index = FindGrid(identifier, false);
    if (index == 0) return false;
    inputs_ |= bit;
    view = table[index].values;
    return true;
  };
  if (method == 1) {
    optional("air_pressure", kAirPressureBit, air_pressure_);
    optional("air_humidity", kHumidityBit, humidity_);
    optional("vapor_pressure", kVapourPressureBit, vapour_pressure_);
  }
  if (method == 4) {
    optional("air_humidity_14", kHumidityBit, humidity_);
    optional("vapor_pressure_14", kVapourPressureBit, vapour_pressure_);
  }
  if (method == 1 || method == 3) {
    if (optional("net_radiation", kRadiationBit, radiation_)) {
      net_radiation_mode_ = true;
    } else {
      optional("global_radiation", kRadiationBit, radiation_);
    }
    optional("sunshine_duration", kSunshineBit, sunshine_);
  }
  if ((inputs_ & (kSunshineBit | kRadiationBit)) == 0 && method != 2 && method != 4) {
    log() << "FATAL: --------------------------- ERROR ----------------------------------------\n"
          << "Evapotranspiration requires at least one of the following entities\n"
          << "erlative sunshine duration (SSD, in 1/1)  or global radiation  (RG, in Wh/m^2).\n"
          << "or net radiation (RN, in Wh/m^2) (either RG or RN!)\n"
          << "-------------------------------------------------------------------\n" << "[end-entry]";
    RaiseError(kEvapotranspirationInputMissing);
  }
  if ((inputs_ & (kHumidityBit | kVapourPressureBit)) == 0 && (method == 1 || method == 4)) {
    log() << "FATAL: ---------------------------- ERROR ---------------------------------------\n"
          << "Evapotranspiration requires at least one of the following entities\n"
          << "vapor pressure (e, in mbar) or relative air humidity (RLF, in 1/1).\n"
          << "-------------------------------------------------------------------\n" << "[end-entry]";
    RaiseError(kEvapotranspirationInputMissing);
  }
  // From here on the method is one of the four.
  settings_.method = static_cast<EvapotranspirationMethod>(method);
  ModuleMethod = method;
}

void verdunstungsmodellklasse::BindGrids() {
  grid_table& table = *grids();
  const auto require = [&](const std::string& identifier) { return table[RequireGrid(identifier)].values; };
  const EvapotranspirationMethod method = settings_.method;
  const bool penman = method == EvapotranspirationMethod::kPenmanMonteith;
  if (penman) wind_ = require("wind_speed");
  if (method == EvapotranspirationMethod::kHaude) {
    temperature_ = require("temperature_14");
  } else {
    temperature_ = table[RequireOneOf3Grids("corr_temperature", "temperature", "temperature")].values;
  }
  inputs_ |= kTemperatureBit;
  elevation_ = require("[elevation_model]");
  if (n_layers_ > 1) landuse0_ = require("landuse");
  for (int k = 1; k <= n_layers_; ++k) {
    Layer& layer = layers_[static_cast<std::size_t>(k)];
    const std::string n = std::to_string(k);
    layer.landuse = require("landuse" + n);
    if (!penman) continue;
    layer.lai = require("leaf_area_index" + n);
    layer.root_depth = require("root_depth" + n);
    layer.vcf = require("vegetation_coverage_degree" + n);
    layer.rsc = require("SurfaceCanopyResistance" + n);
    layer.ri = require("SurfaceIntercepResistance" + n);
    layer.z0 = require("RoughnessLength" + n);
  }
  if (penman) soil_resistance_ = require("SurfaceEvaporationResistance");
  if (penman || method == EvapotranspirationMethod::kWendling) albedo_ = require("albedo");
  night_temperature_ = temperature_;
  if (penman && TimeStep > 720) night_temperature_ = require("temperature_night");
  const int glacier = FindGrid("GlacierizedCells", false);
  const int ice_firn = glacier > 0 ? glacier : FindGrid("ice_firn", false);
  if (ice_firn > 0) glacier_ = table[ice_firn].values;
  if (settings().spin_up != 0 && settings().hrus != nullptr) {
    hru_units_ = require("HydrologicResponseUnits");
    hru_masters_ = require("MasterHydrologicResponseUnits");
  }
  if (penman && TimeStep > 720) {
    changed_grids_.push_back(ChangedGridOf(temperature_));
    changed_grids_.push_back(ChangedGridOf(night_temperature_));
  }
}

void verdunstungsmodellklasse::RegisterOwnGrids(StatisticsRegistry& registry) {
  grid_table& table = *grids();
  EvapotranspirationSettings& s = settings_;
  const std::string label = kMethodLabels[settings_.method_number];
  int i = table.TakeFreeEntries(1, {.taken_by = grid_table::TakenBy::kIdentifier, .first = 1, .last = 1000}, log(),
                                "no free grid left" + std::to_string(kLastGridIndex + 1));
  const auto check = [&](int index, const std::string& message) {
    if (index <= kLastGridIndex) return;
    log() << "FATAL: " << message << "[end-entry]";
    RaiseError(kGridEntryError);
  };
  const std::string limit = std::to_string(kLastGridIndex + 1);
  EvapotranspirationOutput pot = s.pot_transpiration;
  EvapotranspirationOutput real = s.real_transpiration;
  EvapotranspirationOutput interception = s.interception;
  for (int k = 0; k <= n_layers_; ++k) {
    Layer& layer = layers_[static_cast<std::size_t>(k)];
    const std::string n = std::to_string(k);
    if (k > 0) {
      for (EvapotranspirationOutput* o : {&pot, &real, &interception}) {
        const EvapotranspirationOutput& base = o == &pot ? s.pot_transpiration
                                               : o == &real ? s.real_transpiration
                                                            : s.interception;
        o->grid_file = LayerFileName(base.grid_file, k);
        o->statistic_file = LayerFileName(base.statistic_file, k);
      }
    }
    check(i, "no free grid left" + limit);
    RegisterOwnGrid(layer.pot_transpiration, i, pot.grid_file, pot.write_code, "pot_transpiration" + n, false);
    MakeStatistic(layer.pot_transpiration, pot.statistic_file, pot.statistic_code, 5, "pot_transpiration" + n + label,
                  name(), registry);
    check(i + 1, "no free grid left of " + limit + "!\n");
    RegisterOwnGrid(layer.real_transpiration, i + 1, real.grid_file, real.write_code, "real_transpiration" + n, true);
    MakeStatistic(layer.real_transpiration, real.statistic_file, real.statistic_code, 5,
                  k == 0 ? "total_Evapotranspiration_as_sum_of_ETR1..n_EI1..n_EVAR_and_EVRS_"
                         : "real_transpiration" + n,
                  name(), registry);
    check(i + 2, "no free ghrid left of " + limit + "!\n");
    RegisterOwnGrid(layer.interception, i + 2, interception.grid_file, interception.write_code,
                    "potential_InterceptionEvap" + n, false);
    MakeStatistic(layer.interception, interception.statistic_file, interception.statistic_code, 5,
                  "potential_InterceptionEvap" + n, name(), registry);
    i += 3;
  }
  RegisterOwnGrid(potential_evaporation_, i, s.potential_evaporation.grid_file, s.potential_evaporation.write_code,
                  "potential_evaporation", false);
  RegisterOwnGrid(real_evaporation_, i + 1, s.real_evaporation.grid_file, s.real_evaporation.write_code,
                  "real_evaporation", false);
  RegisterOwnGrid(snow_evaporation_, i + 2, s.snow_evaporation.grid_file, s.snow_evaporation.write_code,
                  "snow_evaporation", false);
  RegisterOwnGrid(corrected_radiation_, i + 3, s.corrected_radiation.grid_file, 0, "AspectCorrectedGlobalRadiation",
                  false);
  RegisterOwnGrid(cloudiness_, i + 4, s.cloudiness.grid_file, 0, "cloudiness", false);
  RegisterOwnGrid(sunshine_of_day_, i + 5, "SSDTemp", 0, "SSDTemp", false);
  MakeStatistic(potential_evaporation_, s.potential_evaporation.statistic_file, s.potential_evaporation.statistic_code,
                5, "potential_evaporation", "", registry);
  MakeStatistic(real_evaporation_, s.real_evaporation.statistic_file, s.real_evaporation.statistic_code, 5,
                "real_evaporation", "", registry);
  MakeStatistic(snow_evaporation_, s.snow_evaporation.statistic_file, s.snow_evaporation.statistic_code, 5,
                "snow_evaporation", "", registry);
  MakeStatistic(corrected_radiation_, s.corrected_radiation.statistic_file, s.corrected_radiation.statistic_code, 2,
                "Global_Radiation_corrected_by_Exposition_", name(), registry);
  MakeStatistic(cloudiness_, s.cloudiness.statistic_file, s.cloudiness.statistic_code, 2, "cloudiness", name(),
                registry);
}

void verdunstungsmodellklasse::RegisterOwnGrid(OwnGrid& grid, int index, const std::string& file, int write_code,
                                              const std::string& identifier, bool all_rows_on_first_process) {
  const GridGeometry& g = geometry();
  const RowRange own = strip();
  const RowRange rows = all_rows_on_first_process && rank() == 0 ? RowRange{1, g.nrows} : own;
  const ZoneTableView& zones = settings().zones;
  const double initial = identifier == "SSDTemp" ? 0.5 : 0.0;
  grid.values = matrix(rows.first, rows.last, 1, g.ncols, g.nrows);
  for (int r = rows.first; r <= rows.last; ++r) {
    const ColumnRange columns = zones.column_ranges.empty() ? ColumnRange{1, g.ncols}
                                                            : zones.column_ranges[static_cast<std::size_t>(r)];
    for (int c = columns.first; c <= columns.last; ++c) {
      grid.values(r, c) = own.contains(r) && OwnCell(r, c) ? initial : g.nodata_value;
    }
  }
  grid.index = index;
  RegisterGrid(index, file, grid.values.view(), {}, 0, identifier, write_code, rows.first, rows.last);
}

void verdunstungsmodellklasse::MakeStatistic(OwnGrid& grid, std::string& file, int code, int precision,
                                            const std::string& caption, const std::string& submodel,
                                            StatisticsRegistry& registry) {
  const ZoneTableView& zones = settings().zones;
  const GridGeometry& g = geometry();
  const int relcell = FindGrid("RelCellArea", false);
  const ConstGridView weights = relcell > 0 ? ConstGridView((*grids())[relcell].values) : ConstGridView();
  grid.zones.assign(zones.zones.begin(), zones.zones.end());
  ClearZoneSums(grid.zones, zones.zone_count);
  grid.statistic = std::make_unique<zonalstatistic>(log(), weights, g.nrows, g.ncols, grid.zones, zones.zone_count,
                                                    code, precision, file, output_directory(), settings().output_list);
  grid.statistic->WriteHeader(caption, submodel, registry, StatisticsRegistry::kCapacity);
}

bool verdunstungsmodellklasse::OwnCell(int r, int c) const {
  const ConstGridView zone = (*grids()).zone_grid().values;
  return zone(r, c) != geometry().nodata_value && (regions_.empty() || regions_(r, c) == rank());
}

std::vector<verdunstungsmodellklasse::OwnGrid*> verdunstungsmodellklasse::AllOwnGrids() {
  std::vector<OwnGrid*> all;
  for (Layer& layer : layers_) {
    all.push_back(&layer.pot_transpiration);
    all.push_back(&layer.interception);
    all.push_back(&layer.real_transpiration);
  }
  for (OwnGrid* g : {&corrected_radiation_, &cloudiness_, &real_evaporation_, &potential_evaporation_,
                     &snow_evaporation_, &sunshine_of_day_}) {
    all.push_back(g);
  }
  return all;
}

verdunstungsmodellklasse::ChangedGrid verdunstungsmodellklasse::ChangedGridOf(GridView grid) {
  const GridGeometry& g = geometry();
  const RowRange rows = strip();
  ChangedGrid changed{grid, matrix(rows.first, rows.last, 1, g.ncols, g.nrows),
                      matrix(rows.first, rows.last, 1, g.ncols, g.nrows)};
  // Nothing has been written before the first step: no value equals NaN.
  changed.written.fill(std::numeric_limits<double>::quiet_NaN());
  return changed;
}

int verdunstungsmodellklasse::SetCorrectedRadiation(ConstGridView grid) {
  if (ModuleSwitch == 0) return ModuleSwitch;
  correction_ = grid;
  // The corrected radiation replaces the radiation grid's values for the rest of the step.
  if (!correction_.empty() && !radiation_.empty()) changed_grids_.push_back(ChangedGridOf(radiation_));
  return ModuleSwitch;
}

int verdunstungsmodellklasse::SetSnowStorageGrid(GridView grid) {
  if (ModuleSwitch != 0) snow_storage_ = grid;
  return ModuleSwitch;
}

void verdunstungsmodellklasse::ReadLakeModel(std::string_view section) {
  if (FindGrid("lake_codes", false) == 0) {
    log() << "INFO: no LAKE-grid was found in " << name() << "\n"
          << "Lake modelling is switched off for " << name() << ".\n" << "[end-entry]";
    return;
  }
  if (!OpenControlFile(control_file_name())) {
    log() << "FATAL: error opening " << control_file_name() << "[end-entry]";
    RaiseError(kControlFileOpenError);
  }
  const std::string text(section);
  FindSection(text, true);
  ReadItem(lake_.on, "flow control parameter for " + text);
  if (settings().spin_up != 0 && settings().hrus != nullptr) lake_.on = 0;
  if (lake_.on == 0) {
    CloseControlFile();
    return;
  }
  ReadItem(lake_.initialization_method, "initialization method for " + text);
  ReadItem(lake_.albedo, "Albedo_OpenWater for " + text);
  ReadItem(lake_.z0_m, "z0_OpenWater for " + text);
  grid_table& table = *grids();
  lake_codes_ = table[RequireGrid("lake_codes")].values;
  int ponding = FindGrid("ponding_storage", false);
  if (ponding == 0) ponding = FindGrid("ponding_storage_top", false);
  if (ponding == 0) {
    log() << "FATAL: \n=======================================\n" << "!!!! ERROR !!!! \n\n"
          << "\nLAKE-grid was found, but no POND-Grid. For using lakes,"
          << "\nboth grids as well as the MAXPOND grid must be present." << "\n\n=======================================\n"
          << "[end-entry]";
    RaiseError(kControlFileOpenError);
  }
  ponding_ = table[ponding].values;
  if (lake_.initialization_method != 1 && lake_.initialization_method != 2) {
    log() << "FATAL: \n=======================================\n" << "!!!! ERROR !!!! \n\n "
          << "Error in initialization method for " << text << ".\n"
          << "Allowed values are 1 (no change of grids) or 2 (adjust DEM, SLOPE, DRAIN).\n"
          << "In either case, theta_soil will be set to saturated, if the cell is marked as lake and POND is > 0."
          << "\n\n=======================================\n" << "[end-entry]";
    RaiseError(kLakeInitializationMethod);
  }
  CloseControlFile();
}

void verdunstungsmodellklasse::FlushStatistics() {
  if (ModuleSwitch == 0) return;
  for (OwnGrid* grid : AllOwnGrids()) {
    if (grid->statistic) grid->statistic->FlushRows();
  }
}

void verdunstungsmodellklasse::DeleteModule() {
  if (ModuleSwitch > 0) {
    for (OwnGrid* grid : AllOwnGrids()) ReleaseStatisticGrid(*grid);
    layers_.clear();
    changed_grids_.clear();
    cos_zenith_.clear();
  }
  teilmodellklasse::DeleteModule();
}

}  // namespace tolvo
