// The potential evapotranspiration of a step: the sun of the step, the mean relative
// sunshine of the day, one parallel pass over the process's cells, then the copy of
// response-unit masters, the statistics and the grid outputs.

#include <algorithm>
#include <cmath>
#include <iomanip>
#include <limits>

#include "framework/error_code.h"
#include "framework/grid_table.h"
#include "framework/parallel.h"
#include "setup/spin_up.h"
#include "surface/penman_monteith.h"
#include "surface/potential_evaporation.h"
#include "surface/vapour_pressure.h"
#include "surface/verdunstungsmodellklasse.h"
#include "tables/multilayer_landuse.h"

namespace tolvo {
namespace {

constexpr double kTwoPi = 2 * 3.14159265359;
constexpr double kSolarConstant = 1367;  // W/m²
constexpr double kMaxRadiation = 1260;   // W/m²: upper limit of the global radiation
constexpr double kMinPart = 0.01;        // shortest day or night part computed, share of the step

int DayOfYear(long long day, long long month, long long year) {
  int doy = static_cast<int>(day);
  for (long long m = 1; m < month; ++m) doy += DaysInMonth(year, m);
  return doy;
}

}  // namespace

void verdunstungsmodellklasse::PotentialEvapotranspiration(const ModelDate& d) {
  if (ModuleSwitch == 0) return;
  // The sun is placed in local time: the hour of the data plus the time shift of the site.
  current_date() = {d.year, d.month, d.day, static_cast<long long>(static_cast<double>(d.hour) + settings().time_shift)};
  const int interval = GetLogInterval();
  if (interval == 1 || (interval > 1 && (static_cast<long long>(GetHourShift()) + d.hour) % interval == 0)) {
    log() << std::setw(20) << "pot. evaptranspir." << " " << d.day << "." << d.month << "." << d.year << " "
          << d.hour << ". h " << "(time of meteo data)" << "[end-entry]";
  }
  for (Layer& layer : layers_) {
    layer.pot_transpiration.statistic->BeginStep();
    layer.interception.statistic->BeginStep();
  }
  for (OwnGrid* grid : {&potential_evaporation_, &corrected_radiation_, &cloudiness_}) grid->statistic->BeginStep();

  // A run without meteorological input has steps without a date, and without a date
  // there is no sun to place: such steps leave the potentials as they are.
  const bool dated = d.month >= 1 && d.month <= 12 && d.day >= 1 && d.day <= DaysInMonth(d.year, d.month);
  if (!dated && !undated_step_noted_) {
    log() << "INFO: " << name() << ": the steps of this run carry no date (no meteorological input); "
          << "the potential evapotranspiration is not computed" << "[end-entry]";
    undated_step_noted_ = true;
  }
  if (dated) {
    const DayNightSplit split = DayFraction();
    const SunOfStep sun = SunSamples(split, current_date().day, current_date().month, current_date().hour);
    if (TimeStep < 720) AccumulateSunshineOfDay(split);

    RestoreUnrenewedGrids();
    for_each_row(strip(), [&](int r) { ComputeRow(r, sun, d.day, d.month, d.year); });
    KeepChangedGrids();
    CopyResponseUnitMasters();
  }
  AddStatistics();
  current_date().hour = d.hour;
  for (Layer& layer : layers_) {
    for (OwnGrid* grid : {&layer.pot_transpiration, &layer.interception}) step_ends_.Add(grid->statistic.get(), 1);
  }
  for (OwnGrid* grid : {&potential_evaporation_, &corrected_radiation_, &cloudiness_}) {
    step_ends_.Add(grid->statistic.get(), 1);
  }
  step_ends_.EndSteps(d.year, d.month, d.day, d.hour);
  for (Layer& layer : layers_) {
    for (OwnGrid* grid : {&layer.pot_transpiration, &layer.interception}) WriteGridOutputs(grid->index, true, false);
  }
  WriteGridOutputs(potential_evaporation_.index, true, false);
}

verdunstungsmodellklasse::SunOfStep verdunstungsmodellklasse::SunSamples(const DayNightSplit& split, long long day,
                                                                         long long month, long long hour) {
  SunOfStep sun;
  sun.split = split;
  const EvapotranspirationMethod method = settings_.method;
  // Hamon and Haude derive no radiation: their steps count as dark.
  const bool radiation_method =
      method == EvapotranspirationMethod::kPenmanMonteith || method == EvapotranspirationMethod::kWendling;
  sun.dark = split.night_step != 0 || !radiation_method;
  const bool measured = (inputs_ & kRadiationBit) != 0 && (inputs_ & kSunshineBit) != 0;
  if (!sun.dark && !measured) {
    const double daylight = TimeStep / 60 * split.day_fraction;
    const int m = static_cast<int>(std::ceil(daylight - 0.001));
    sun.n_samples = std::clamp(m, 0, static_cast<int>(cos_zenith_.size()) - 1);
    sun.sample_hours = sun.n_samples > 0 ? daylight / sun.n_samples : 0;
    for (int j = 1; j <= sun.n_samples; ++j) {
      const double at = static_cast<double>(hour) + GetHourShift() - TimeStep / 60 + split.night_before_sunrise +
                        sun.sample_hours * (j - 0.5);
      const double elevation = SunPositionAt(static_cast<int>(day), static_cast<int>(month), at).elevation;
      cos_zenith_[static_cast<std::size_t>(j)] = std::cos(kSolarPi / 2 - elevation);
    }
    transmissivity_ = settings_.tau0 + settings_.tau1 * std::cos(((static_cast<double>(month) - 1) * 30.5 + 10 +
                                                                  static_cast<double>(day)) * kTwoPi / 365);
  }
  sun.transmissivity = transmissivity_;
  if (method == EvapotranspirationMethod::kPenmanMonteith && TimeStep > 720) {
    const std::array<double, 14>& a = settings_.amplitude;
    const auto m = static_cast<std::size_t>(month);
    const double x = static_cast<double>(day);
    const ModelDate& date = current_date();
    sun.amplitude = day <= 15 ? LinearInterpolation(-15.5, a[m - 1], 15, a[m], x)
                              : LinearInterpolation(16, a[m], DaysInMonth(date.year, date.month) + 15, a[m + 1], x);
    sun.seasonal_share = settings_.day_share_variability *
                         std::cos(DayOfYear(date.day, date.month, date.year) / 365.0 * kTwoPi);
  }
  return sun;
}

void verdunstungsmodellklasse::AccumulateSunshineOfDay(const DayNightSplit& split) {
  // By day the cells add up the relative sunshine of each step; at the first step of the
  // night the sum becomes the day's mean, which the night steps use.
  double divisor = 0;
  if (split.day_fraction > 0.05) {
    if (accumulating_sunshine_) {
      ++daylight_steps_;
      return;
    }
    accumulating_sunshine_ = true;
    daylight_steps_ = 1;
  } else if (accumulating_sunshine_) {
    accumulating_sunshine_ = false;
    divisor = daylight_steps_;
  } else {
    return;
  }
  GridView ssd = sunshine_of_day_.values.view();
  const RowRange rows = strip();
  const GridGeometry& g = geometry();
  for (int r = rows.first; r <= rows.last; ++r) {
    for (int c = 1; c <= g.ncols; ++c) {
      if (!OwnCell(r, c)) continue;
      ssd(r, c) = divisor > 0 ? ssd(r, c) / divisor : 0.0;
    }
  }
}

void verdunstungsmodellklasse::RestoreUnrenewedGrids() {
  const int ncols = geometry().ncols;
  for (ChangedGrid& changed : changed_grids_) {
    for_each_row(strip(), [&](int r) {
      for (int c = 1; c <= ncols; ++c) {
        // A value that still is the one written last step was not renewed since.
        if (changed.grid(r, c) == changed.written(r, c)) changed.grid(r, c) = changed.original(r, c);
        changed.original(r, c) = changed.grid(r, c);
      }
    });
  }
}

void verdunstungsmodellklasse::KeepChangedGrids() {
  const int ncols = geometry().ncols;
  for (ChangedGrid& changed : changed_grids_) {
    for_each_row(strip(), [&](int r) {
      for (int c = 1; c <= ncols; ++c) changed.written(r, c) = changed.grid(r, c);
    });
  }
}

void verdunstungsmodellklasse::ComputeRow(int r, const SunOfStep& sun, long long day, long long month,
                                          long long year) {
  const GridGeometry& g = geometry();
  const double nodata = g.nodata_value;
  const ZoneTableView& zones = settings().zones;
  const EvapotranspirationSettings& s = settings_;
  const EvapotranspirationMethod method = s.method;
  const double step = TimeStep;
  const double fday = sun.split.day_fraction;
  const double fnight = sun.split.night_fraction;
  const bool lakes = !lake_codes_.empty() && !ponding_.empty();
  const MultilayerLanduseTable* multilayer = settings().multilayer_landuse;
  GridView acgr = corrected_radiation_.values.view();
  GridView cloudiness = cloudiness_.values.view();
  GridView ssd = sunshine_of_day_.values.view();
  GridView pe = potential_evaporation_.values.view();
  GridView real_evaporation = real_evaporation_.values.view();
  GridView snow_evaporation = snow_evaporation_.values.view();
  const int n = n_layers_;

  const ColumnRange columns = zones.column_ranges.empty() ? ColumnRange{1, g.ncols}
                                                          : zones.column_ranges[static_cast<std::size_t>(r)];
  for (int c = columns.first; c <= columns.last; ++c) {
    if (!OwnCell(r, c) || (!hru_masters_.empty() && hru_masters_(r, c) == nodata)) {
      for (Layer& layer : layers_) {
        layer.pot_transpiration.values(r, c) = nodata;
        layer.interception.values(r, c) = nodata;
      }
      continue;
    }
    const double z = elevation_(r, c);
    const double t = temperature_(r, c);
    const bool open_water = lakes && lake_codes_(r, c) > 0 && ponding_(r, c) > 0;
    const double albedo = open_water ? lake_.albedo : (albedo_.empty() ? 0.0 : albedo_(r, c));

    // Radiation of the step.
    double rg = 0;
    double rns = 0;
    double ratio = 0;
    double sunshine = 0;
    double cloud = 0.5;
    if (sun.dark) {
      sunshine = ssd(r, c);
    } else {
      double r0 = 0;
      if (sun.n_samples > 0 && cos_zenith_[static_cast<std::size_t>(sun.n_samples / 2 + 1)] > 0.017) {
        const double p = (inputs_ & kAirPressureBit) != 0 ? air_pressure_(r, c) : AirPressureAtElevation(z, t);
        for (int j = 1; j <= sun.n_samples; ++j) {
          const double cz = cos_zenith_[static_cast<std::size_t>(j)];
          // A sample at or below the horizon brings no radiation.
          if (cz > 0) r0 += kSolarConstant * sun.sample_hours * std::pow(sun.transmissivity, p / 1013 / cz) * cz;
        }
      }
      if ((inputs_ & kSunshineBit) != 0) {
        sunshine = sunshine_(r, c);
        ratio = RadiationRatioFromSunshine(s.radiation, sunshine);
      } else if (r0 > 0) {
        ratio = std::clamp(radiation_(r, c) / r0, 0.0, 1.0);
        sunshine = SunshineFromRadiationRatio(s.sunshine, s.sunshine_threshold, ratio);
      }
      const std::array<double, 4>& a = s.radiation;
      if ((inputs_ & kRadiationBit) != 0) {
        rg = radiation_(r, c);
        if (!correction_.empty()) {
          rg *= 1 + (1 - a[0]) * sunshine * (correction_(r, c) - 1);
          radiation_(r, c) = rg;
        }
      } else if (!correction_.empty()) {
        rg = r0 * (a[0] + correction_(r, c) * (a[1] * sunshine + a[2] * sunshine * sunshine +
                                               a[3] * sunshine * sunshine * sunshine));
      } else {
        rg = r0 * ratio;
      }
      ssd(r, c) += sunshine;
      rg = std::min(rg, kMaxRadiation * step / 60 * fday);
      rns = (1 - albedo) * rg;
      cloud = Cloudiness(ratio);
    }
    acgr(r, c) = rg;
    cloudiness(r, c) = cloud;
    pe(r, c) = 0;
    real_evaporation(r, c) = 0;
    snow_evaporation(r, c) = 0;

    Layer& total = layers_[0];
    double pot0 = 0;
    switch (method) {
      case EvapotranspirationMethod::kPenmanMonteith: {
        if (step > 720) {
          const double aa = ratio * sun.amplitude * std::exp(-z / s.elevation_length_m);
          temperature_(r, c) += aa * (s.day_share + sun.seasonal_share);
          night_temperature_(r, c) -= aa * (1 - s.day_share - sun.seasonal_share);
        }
        double interception0 = 0;
        double soil_total = 0;
        CanopyAccumulators acc;
        double ke = 0.3;
        double leaf_scale = 10;
        if (n > 1) {
          const MultilayerLanduseRecord& record = (*multilayer)[static_cast<int>(landuse0_(r, c))];
          ke = record.GetKExtinct();
          leaf_scale = record.GetLAIScale();
        }
        const auto weather_at = [&](double t_part) {
          PenmanMonteithWeather w;
          w.t_c = t_part;
          w.p_hpa = (inputs_ & kAirPressureBit) != 0 ? air_pressure_(r, c) : AirPressureAtElevation(z, t_part);
          w.e_hpa = (inputs_ & kVapourPressureBit) != 0 ? vapour_pressure_(r, c)
                                                        : SaturationVapourPressure(t_part) * humidity_(r, c);
          w.wind_ms = wind_(r, c);
          w.relative_sunshine = sunshine;
          w.net_shortwave = rns;
          w.net_radiation = net_radiation_mode_ ? radiation_(r, c) : 0;
          w.net_radiation_mode = net_radiation_mode_;
          w.diffuse_fraction = s.radiation[0];
          return w;
        };
        const PenmanMonteithWeather day_weather = weather_at(temperature_(r, c));
        const PenmanMonteithWeather night_weather = weather_at(night_temperature_(r, c));
        for (int k = 1; k <= n; ++k) {
          Layer& layer = layers_[static_cast<std::size_t>(k)];
          if (layer.landuse(r, c) == nodata) {
            layer.pot_transpiration.values(r, c) = 0;
            layer.interception.values(r, c) = 0;
            continue;
          }
          if (k > 1) {
            // A layer absent above has no leaves to add (its leaf area is nodata).
            const double above = layers_[static_cast<std::size_t>(k) - 1].lai(r, c);
            if (above != nodata) acc.leaf_area_above += above;
          }
          CanopyLayer canopy{.lai = layer.lai(r, c), .vcf = layer.vcf(r, c), .rsc_sm = layer.rsc(r, c),
                             .z0_m = layer.z0(r, c), .ri_sm = layer.ri(r, c), .rse_sm = soil_resistance_(r, c),
                             .extinction = ke, .leaf_scale = leaf_scale,
                             .bottom = k == n || layers_[static_cast<std::size_t>(k) + 1].lai(r, c) == nodata};
          if (open_water && canopy.bottom) {
            canopy.lai = canopy.vcf = canopy.rsc_sm = 0;
            canopy.z0_m = lake_.z0_m;
            canopy.open_water = true;
          }
          PenmanMonteithResult night;
          PenmanMonteithResult daylight;
          if (fnight >= kMinPart) night = PenmanMonteithCell(k, canopy, night_weather, {false, fnight, step}, acc);
          if (fday >= kMinPart) daylight = PenmanMonteithCell(k, canopy, day_weather, {true, fday, step}, acc);
          const double pot = std::max(0.0, night.transpiration + daylight.transpiration);
          const double interception = std::max(0.0, night.interception + daylight.interception);
          const double soil = night.soil + daylight.soil;
          layer.pot_transpiration.values(r, c) = pot;
          layer.interception.values(r, c) = interception;
          layer.real_transpiration.values(r, c) = 0;
          soil_total += soil;
          pot0 += pot + soil;
          interception0 += interception;
        }
        pe(r, c) = soil_total;
        total.pot_transpiration.values(r, c) = pot0;
        total.interception.values(r, c) = interception0;
        total.real_transpiration.values(r, c) = 0;
        continue;
      }
      case EvapotranspirationMethod::kHamon: {
        const auto m = static_cast<std::size_t>(month);
        const double x = static_cast<double>(day);
        const double pec = day <= 15 ? LinearInterpolation(-15, s.pec[m - 1], 15, s.pec[m], x)
                                     : LinearInterpolation(16, s.pec[m], DaysInMonth(year, month) + 16, s.pec[m + 1], x);
        pot0 = HamonEvapotranspiration(pec, fday, t, step);
        break;
      }
      case EvapotranspirationMethod::kWendling:
        pot0 = WendlingEvapotranspiration(rg, albedo, s.coast_factor, t, step);
        break;
      case EvapotranspirationMethod::kHaude: {
        double deficit = 0;
        if ((inputs_ & kHumidityBit) != 0) {
          deficit = 1 - humidity_(r, c);
        } else {
          const double x = vapour_pressure_(r, c) / HaudeSaturationVapourPressure(t);
          deficit = x < 0 ? 1 : x > 1 ? 0 : 1 - x;
        }
        pot0 = HaudeEvapotranspiration(s.fh[static_cast<std::size_t>(month)], t, deficit, step);
        break;
      }
    }
    pot0 = std::max(0.0, pot0);
    Layer& first = layers_[1];
    total.pot_transpiration.values(r, c) = pot0;
    total.interception.values(r, c) = pot0;
    total.real_transpiration.values(r, c) = 0;
    first.real_transpiration.values(r, c) = 0;
    first.pot_transpiration.values(r, c) = pot0;
    first.interception.values(r, c) = pot0;
  }
}

void verdunstungsmodellklasse::CopyResponseUnitMasters() {
  if (hru_masters_.empty()) return;
  const GridGeometry& g = geometry();
  const RowRange rows = strip();
  const std::vector<HruRecord>& units = *settings().hrus;
  for (int r = rows.first; r <= rows.last; ++r) {
    for (int c = 1; c <= g.ncols; ++c) {
      if (!OwnCell(r, c) || hru_masters_(r, c) != g.nodata_value) continue;
      const double unit = hru_units_(r, c);
      if (!(unit >= 1 && unit < static_cast<double>(units.size()))) {
        log() << "FATAL: " << name() << ": the hydrologic response unit " << unit << " of cell (" << r << ", " << c
              << ") is not in the list of response units" << "[end-entry]";
        RaiseError(kUnknownResponseUnit);
      }
      const HruRecord& master = units[static_cast<std::size_t>(unit)];
      if (!rows.contains(master.master_row)) continue;
      const auto copy = [&](GridView grid) { grid(r, c) = grid(master.master_row, master.master_col); };
      for (Layer& layer : layers_) {
        copy(layer.pot_transpiration.values.view());
        copy(layer.interception.values.view());
      }
      for (OwnGrid* grid : {&potential_evaporation_, &corrected_radiation_, &cloudiness_}) copy(grid->values.view());
    }
  }
}

void verdunstungsmodellklasse::AddStatistics() {
  const GridGeometry& g = geometry();
  const RowRange rows = strip();
  const ZoneTableView& zones = settings().zones;
  const ConstGridView zone = (*grids()).zone_grid().values;
  const bool layered = settings_.method == EvapotranspirationMethod::kPenmanMonteith;
  for (int r = rows.first; r <= rows.last; ++r) {
    const ColumnRange columns = zones.column_ranges.empty() ? ColumnRange{1, g.ncols}
                                                            : zones.column_ranges[static_cast<std::size_t>(r)];
    for (int c = columns.first; c <= columns.last; ++c) {
      if (!OwnCell(r, c)) continue;
      const int index = zones.code_index[static_cast<std::size_t>(zone(r, c))];
      const auto add = [&](OwnGrid& grid, double value) { grid.statistic->AddValue(r, c, index, value, 1); };
      if (layered) {
        for (int k = 1; k <= n_layers_; ++k) {
          Layer& layer = layers_[static_cast<std::size_t>(k)];
          const bool present = layer.landuse(r, c) != g.nodata_value;
          add(layer.pot_transpiration, present ? layer.pot_transpiration.values(r, c) : 0.0);
          add(layer.interception, present ? layer.interception.values(r, c) : 0.0);
        }
      }
      add(layers_[0].pot_transpiration, layers_[0].pot_transpiration.values(r, c));
      add(layers_[0].interception, layers_[0].interception.values(r, c));
      add(potential_evaporation_, potential_evaporation_.values(r, c));
      add(corrected_radiation_, corrected_radiation_.values(r, c));
      add(cloudiness_, cloudiness_.values(r, c));
    }
  }
}

}  // namespace tolvo
