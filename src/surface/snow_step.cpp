// The first half of the snow model's step: seasonal factors, the start of every
// statistics table's step, and one parallel pass over the process's own cells with
// accumulation and melt (snow_cell.h), the release of melt water above the holding
// capacity, snow-cover days, snow age, albedo and the permafrost thaw depth.
//
// Water balance of a cell without glacier over the step (mm):
//   water input (after the deposition correction) = snowcover_outflow + snow evaporation
//                                                   + change of solid + liquid storage
// where the snow evaporation of the degree-day methods was drawn from the solid store by
// the evapotranspiration model before this step, and that of the energy-balance methods
// is the sublimation of this step ("snow_evaporation").

#include <mpi.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>

#include "framework/date.h"
#include "framework/error_code.h"
#include "framework/grid_table.h"
#include "framework/model_settings.h"
#include "framework/parallel.h"
#include "surface/glacier_cell.h"
#include "surface/schneemodellklasse.h"
#include "tables/landuse_table.h"

namespace tolvo {
namespace {

constexpr double kAlbedoSnowThreshold = 2.5;  // mm at the start of the step
constexpr double kSnowCoverThreshold = 5;     // mm after the step
constexpr double kFreshSnowThreshold = 1;     // mm of input that renews the snow surface
constexpr double kLongStepMinutes = 720;

bool Dated(const ModelDate& d) {
  return d.month >= 1 && d.month <= 12 && d.day >= 1 && d.day <= DaysInMonth(d.year, d.month);
}

}  // namespace

bool schneemodellklasse::OwnCell(int r, int c) const {
  const double nodata = geometry().nodata_value;
  if (zone_grid_(r, c) == nodata) return false;
  if (!regions_.empty() && regions_(r, c) != rank()) return false;
  return true;
}

void schneemodellklasse::SnowTimeStep(const ModelDate& d) {
  RunStep(d.hour, d.day, d.month, d.year);
  if (ModuleSwitch == 0) return;
  // Undated steps (runs without meteorological input) take the mean seasonal factors.
  const int day = Dated(d) ? static_cast<int>(d.day) : 80;
  const int month = Dated(d) ? static_cast<int>(d.month) : 1;
  rmf_ = SeasonalMeltFactor(day, month);
  if (has_glaciers()) {
    asnow_ = SeasonalSnowOnGlacierFactor(day, month);
    aice_ = SeasonalIceFactor(day, month);
  }
  // Without a date the sun's course is unknown: a long step counts half as night, half as day.
  DayNightSplit even;
  even.night_fraction = 0.5;
  even.day_fraction = 0.5;
  split_ = Dated(d) ? DayFraction() : even;
  for (const Statistic& s : statistics_) {
    if (s.table) s.table->BeginStep();
  }
  for (std::size_t t = 1; t < TracerRecords.size(); ++t) {
    if (TracerRecords[t].statistic) TracerRecords[t].statistic->BeginStep();
  }

  const SnowSettings& s = settings_;
  const SnowCellParameters p{.melt = s.traits.melt,
                             .deposition = s.traits.deposition,
                             .T0R = s.T0R,
                             .transzone = s.transzone,
                             .T0 = s.T0,
                             .CRFR = s.CRFR,
                             .C0 = s.C0,
                             .C1 = s.C1,
                             .C2 = s.C2,
                             .LWINcorr = s.LWINcorr,
                             .LWOUTcorr = s.LWOUTcorr,
                             .EnBalScaling = s.EnBalScaling,
                             .RMF = rmf_,
                             .dt_min = TimeStep,
                             .heat_transfer = heat_transfer_};
  const SnowCellGrids g{.water_input = water_input_,
                        .snow_fraction = snow_fraction_,
                        .rain_fraction = rain_fraction_,
                        .wind_speed = wind_,
                        .vapour_pressure = vapour_pressure_,
                        .deposition_index = deposition_index_,
                        .air_humidity = air_humidity_,
                        .cloudiness = cloudiness_,
                        .global_radiation = global_radiation_,
                        .albedo = albedo_,
                        .elevation = elevation_,
                        .surface_temperature = surface_temperature_,
                        .radiation_factor = corrected_radiation_,
                        .lake_codes = lake_codes_,
                        .ponding = ponding_};
  const RowRange rows = strip();
  row_failure_.assign(static_cast<std::size_t>(std::max(rows.count(), 0)), LanduseValue{});
  const ZoneTableView& zones = settings().zones;
  const int ncols = geometry().ncols;
  const double nodata = geometry().nodata_value;
  std::atomic<bool> dump_stop{false};
  for_each_row(rows, [&](int r) {
    const ColumnRange columns =
        zones.column_ranges.empty() ? ColumnRange{1, ncols} : zones.column_ranges[static_cast<std::size_t>(r)];
    LanduseValue& failure = row_failure_[static_cast<std::size_t>(r - rows.first)];
    for (int c = columns.first; c <= columns.last && failure.ok(); ++c) {
      if (!OwnCell(r, c) || (!hru_masters_.empty() && hru_masters_(r, c) == nodata)) continue;
      failure = SnowCellStep(r, c, p, g);
      if (failure.ok() && DumpSnowCell(r, c, d)) dump_stop.store(true, std::memory_order_relaxed);
    }
  });
  for (const LanduseValue& failure : row_failure_) {
    if (!failure.ok()) RaiseLanduseFailure(log(), failure);
  }
  // A dumped cell with -closeAfterDump stops the run once the parallel region has ended, on
  // every process together: one that stopped alone would leave the others waiting in the
  // next collective call. The command line, and so dump mode, is the same on all processes.
  if (dump_options_.dump_mode) {
    const int mine = dump_stop.load() ? 1 : 0;
    int any = 0;
    MPI_Allreduce(&mine, &any, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD);
    if (any != 0 && mine == 0) {
      log() << "FATAL: a snow cell dump on another process ends the run (-closeAfterDump)" << "[end-entry]";
    }
    if (any != 0) RaiseError(kSnowDumpAbort);
  }
}

LanduseValue schneemodellklasse::LanduseAlbedo(int r, int c, double fallback) const {
  const LanduseTable* table = settings().landuse;
  const double code = landuse_[1](r, c);
  const ModelDate& d = current_date();
  // An undated step (no meteorological input) has no day of the year for the table.
  if (table == nullptr || !(code >= 1 && code <= table->size()) || !Dated(d)) return {.value = fallback};
  return (*table)[static_cast<int>(code)].AlbedoAt(static_cast<int>(d.day), static_cast<int>(d.month),
                                                    static_cast<int>(d.year), 1, elevation_(r, c), r, c);
}

double schneemodellklasse::SnowAlbedo(double age_days, double T) const {
  // The albedo of snow falls from its fresh value with age, faster on cold days.
  const double k = T <= 0 ? 0.12 : 0.05;
  return settings_.ALBsnow_min + (settings_.ALBsnow_max - settings_.ALBsnow_min) * std::exp(-k * age_days);
}

LanduseValue schneemodellklasse::SnowCellStep(int r, int c, const SnowCellParameters& p,
                                              const SnowCellGrids& g) const {
  const SnowSettings& s = settings_;
  const double spd = 1440 / TimeStep;
  const double T = temperature_(r, c);
  const LayeredSnow* layered = layered_linked_ ? &layered_ : nullptr;
  const double glacier = has_glaciers() ? std::clamp(glacier_fraction_(r, c), 0.0, 1.0) : 0.0;

  if (layered != nullptr) {
    layered_.liquid(r, c, 0) = 0;
    // The evapotranspiration model drew the snow evaporation of the degree-day methods from
    // the solid store; the energy-balance methods change the layered snow in the cell call.
    if (!s.traits.energy_balance && !snow_evaporation_.empty() && snow_evaporation_(r, c) > 0) {
      ChangeLayeredSnow(layered_, r, c, 1, -snow_evaporation_(r, c), T);
    }
  }
  outflow_(r, c) = 0;
  melt_only_(r, c) = 0;
  if (!melt_on_glacier_.empty()) melt_on_glacier_(r, c) = 0;

  // Without a land-use entry, the albedo the land-use update left in the grid.
  const double surface_albedo = albedo_(r, c);
  LanduseValue albedo{.value = 0};
  if (solid_(r, c) + liquid_(r, c) <= kAlbedoSnowThreshold) {
    albedo = LanduseAlbedo(r, c, surface_albedo);
    if (!albedo.ok()) return albedo;
    albedo_(r, c) = albedo.value;
  } else {
    albedo_(r, c) = SnowAlbedo(snow_age_(r, c), T);
  }
  if (has_glaciers()) {
    firn_melt_(r, c) = 0;
    ice_melt_(r, c) = 0;
    if (!glacier_fraction_old_.empty()) glacier_fraction_old_(r, c) = glacier_fraction_(r, c);
  }

  if (glacier > 0) {
    GlacierCellStep(r, c, p, g);
  } else {
    TracersIntoSnow(r, c, solid_(r, c) + liquid_(r, c));
    OrdinaryStoreStep(r, c, p, g, T, layered);
    TracersOutOfSnow(r, c);
    if (!solid_on_glacier_.empty() && !liquid_on_glacier_.empty() && !total_on_glacier_.empty()) {
      solid_on_glacier_(r, c) = liquid_on_glacier_(r, c) = total_on_glacier_(r, c) = 0;
    }
  }

  const double snow = solid_(r, c) + liquid_(r, c);
  days_snow_(r, c) = snow > kSnowCoverThreshold ? 1 / spd : 0;
  if (T > s.T0R + s.transzone || water_input_(r, c) <= kFreshSnowThreshold || snow <= kSnowCoverThreshold) {
    snow_age_(r, c) += 1 / spd;
  } else {
    snow_age_(r, c) = 0;
  }
  if (snow > kSnowCoverThreshold) {
    albedo_(r, c) = SnowAlbedo(snow_age_(r, c), T);
  } else {
    albedo = LanduseAlbedo(r, c, surface_albedo);
    if (!albedo.ok()) return albedo;
    albedo_(r, c) = albedo.value;
  }
  total_(r, c) = snow;
  if (!total_on_glacier_.empty()) total_on_glacier_(r, c) = solid_on_glacier_(r, c) + liquid_on_glacier_(r, c);

  if (has_permafrost_) {
    double thaw = thaw_depth_(r, c);
    if (snow <= permafrost_.Max_SWE_SnowFree) {
      snow_cover_days_(r, c) = 0;
      snow_free_days_(r, c) += 1 / spd;
      if (snow_free_days_(r, c) > 0) {
        thaw = thaw_depth_(r, c) = thaw_coefficient_(r, c) * std::sqrt(snow_free_days_(r, c));
      }
    } else {
      snow_cover_days_(r, c) += 1 / spd;
      if (snow_cover_days_(r, c) >= permafrost_.Min_Snow_Age_Refreeze) {
        snow_free_days_(r, c) = 0;
        thaw_depth_(r, c) = 0;
        thaw = 0;
      }
    }
    double& root = root_depth_(r, c);
    root = std::min(root, thaw);
  }
  return {};
}

void schneemodellklasse::OrdinaryStoreStep(int r, int c, const SnowCellParameters& p, const SnowCellGrids& g, double T,
                                           const LayeredSnow* layered) const {
  const SnowSettings& s = settings_;
  SnowStore store{.solid = solid_(r, c), .liquid = liquid_(r, c), .total = total_(r, c)};
  const bool energy = s.traits.energy_balance;
  if (energy) {
    store.pack_temperature = snow_temperature_(r, c);
    store.surface_temperature = surface_temperature_state_(r, c);
    store.energy_balance = energy_balance_.empty() ? 0 : energy_balance_(r, c);
  }
  const double input = water_input_(r, c);
  double melt = 0;
  double sublimation = 0;
  if (TimeStep <= kLongStepMinutes) {
    melt = ComputeSnowCell(p, g, r, c, T, 1, SnowStorePart::kOrdinary, input, store, layered).melt;
    sublimation = store.evaporation;
  } else {
    melt = ComputeSnowCell(p, g, r, c, temperature_night_(r, c), split_.night_fraction, SnowStorePart::kOrdinary,
                           input, store, layered)
               .melt;
    sublimation = store.evaporation;
    melt += ComputeSnowCell(p, g, r, c, T, split_.day_fraction, SnowStorePart::kOrdinary, input, store, layered)
                .melt;
    sublimation += store.evaporation;
  }
  if (energy) {
    snow_temperature_(r, c) = store.pack_temperature;
    surface_temperature_state_(r, c) = store.surface_temperature;
    if (!energy_balance_.empty()) energy_balance_(r, c) = store.energy_balance;
    // The whole vapour exchange of the step, whatever the number of calls.
    if (!snow_evaporation_.empty()) snow_evaporation_(r, c) = sublimation;
  }
  const double m = std::min(melt, store.solid);
  store.liquid += m;
  store.solid -= m;
  const double capacity = s.CWH * store.solid;
  if (store.liquid > capacity) {
    outflow_(r, c) = store.liquid - capacity;
    if (m > 0) melt_only_(r, c) = outflow_(r, c);
    store.liquid = capacity;
  }
  solid_(r, c) = store.solid;
  liquid_(r, c) = store.liquid;
  if (layered != nullptr && m > 0) {
    ChangeLayeredSnow(layered_, r, c, 1, -m, T);
    layered_.liquid(r, c, 0) += m;
  }
}

void schneemodellklasse::GlacierCellStep(int r, int c, const SnowCellParameters& p, const SnowCellGrids& grids) const {
  const GlacierCellParameters gp{.method = ice_.method,
                                 .T0R = settings_.T0R,
                                 .transzone = settings_.transzone,
                                 .T0 = settings_.T0,
                                 .CWH = settings_.CWH,
                                 .DDFice = ice_.DDFice,
                                 .DDFfirn = ice_.DDFfirn,
                                 .DDFsnow = ice_.DDFsnow,
                                 .MF = ice_.MF,
                                 .debris_scaling = ice_.debris_scaling,
                                 .Aice = aice_,
                                 .Asnow = asnow_,
                                 .steps_per_day = 1440 / TimeStep,
                                 .nodata = geometry().nodata_value};
  // The static methods read the glacier's ice or firn code from their glacier grid.
  const GlacierCellGrids g{.glacier = ice_.dynamic() ? ConstGridView() : glacier_fraction_,
                           .debris = debris_,
                           .radiation = glacier_radiation_,
                           .snow_fraction = snow_fraction_,
                           .rain_fraction = rain_fraction_,
                           .solid = solid_,
                           .liquid = liquid_,
                           .total = total_,
                           .outflow = outflow_,
                           .melt_only = melt_only_,
                           .solid_on_glacier = solid_on_glacier_,
                           .liquid_on_glacier = liquid_on_glacier_,
                           .total_on_glacier = total_on_glacier_,
                           .melt_on_glacier = melt_on_glacier_,
                           .firn_melt = firn_melt_,
                           .ice_melt = ice_melt_,
                           .firn_total = firn_total_,
                           .firn_stack = firn_levels_};
  const double T = temperature_(r, c);
  const double P = water_input_(r, c);
  const LayeredSnow* layered = layered_linked_ ? &layered_ : nullptr;
  if (ice_.method != 13) {
    ComputeGlacierCell(gp, g, r, c, T, P, layered);
    return;
  }
  // Method 13: both stores melt by the snow model's own method.
  OrdinaryStoreStep(r, c, p, grids, T, layered);
  const GlacierStoreEnergyGrids energy{.snow_temperature = snow_temperature_on_glacier_,
                                       .surface_temperature = surface_temperature_on_glacier_,
                                       .evaporation = evaporation_on_glacier_,
                                       .energy_balance = energy_balance_on_glacier_};
  if (TimeStep <= kLongStepMinutes) {
    const std::array<SnowCallPart, 1> parts{{{.T = T, .w = 1}}};
    ComputeGlacierCellWithSnowMethod(gp, p, grids, g, energy, r, c, parts, P);
  } else {
    const std::array<SnowCallPart, 2> parts{
        {{.T = temperature_night_(r, c), .w = split_.night_fraction}, {.T = T, .w = split_.day_fraction}}};
    ComputeGlacierCellWithSnowMethod(gp, p, grids, g, energy, r, c, parts, P);
  }
}

}  // namespace tolvo
