#include "surface/snow_cell.h"

#include <algorithm>
#include <cmath>

namespace tolvo {
namespace {

constexpr double kStefanBoltzmann = 5.67e-8;    // W/(m2 K4)
constexpr double kHeatCapacityIce = 2100;       // J/(kg K)
constexpr double kHeatCapacityWater = 4180;     // J/(kg K)
constexpr double kLatentSublimation = 2835500;  // J/kg
constexpr double kLatentFusion = 337500;        // J/kg

bool Unknown(double value) { return value == 0 || value == kSnowNodata; }

double At(ConstGridView grid, int r, int c) { return grid.empty() ? 0 : grid(r, c); }

// Saturation vapour pressure [hPa] over ice at or below the melting point, else over water.
double SaturationVapourPressure(double T) {
  if (T + kMeltingPointK <= kMeltingPointK) return 6.1071 * std::exp(22.4429 * T / (T + 172.44));
  return 6.1078 * std::exp(17.08085 * T / (T + 234.175));
}

// The terms of the surface energy balance that do not depend on the surface temperature.
struct EnergyTerms {
  double Tk = 0;    // air, K
  double ea = 0;    // hPa
  double A = 0;     // wind function
  double SW = 0;    // net short-wave, W/m2
  double LWin = 0;  // incoming long-wave, W/m2
  double Q = 0;     // heat of precipitation, W/m2
  double Ts0 = 0;   // working surface temperature, K
  bool given_surface = false;
};

EnergyTerms EnergyTermsAt(const SnowCellParameters& p, const SnowCellGrids& g, int r, int c, double T, double snowfall,
                          double rain, double step_input, const SnowStore& store) {
  EnergyTerms e;
  e.Tk = T + kMeltingPointK;
  e.ea = At(g.air_humidity, r, c) * SaturationVapourPressure(T);
  const double N = At(g.cloudiness, r, c);
  double cloud = 0.24;
  if (step_input == 0) cloud = N <= 0.2 ? 0.08 : (N < 0.6 ? 0.17 : 0.2);
  e.LWin = p.LWINcorr * kStefanBoltzmann * std::pow(e.Tk, 4) * (0.61 + 0.05 * std::sqrt(e.ea)) * (1 + cloud * N * N);
  e.A = 0.18 + 0.098 * At(g.wind_speed, r, c);
  e.SW = (1 - At(g.albedo, r, c)) * At(g.global_radiation, r, c) * 60 / p.dt_min;
  e.Q = (e.Tk - kMeltingPointK) * (kHeatCapacityIce * snowfall + kHeatCapacityWater * rain) / (60 * p.dt_min);
  e.given_surface = !g.surface_temperature.empty();
  if (e.given_surface) {
    const double v = g.surface_temperature(r, c);
    e.Ts0 = v < 100 ? v + kMeltingPointK : v;
  } else {
    e.Ts0 = store.surface_temperature;
  }
  e.Ts0 = std::min(e.Ts0, kMeltingPointK);
  return e;
}

double LatentFlux(const EnergyTerms& e, double Ts) {
  const double t = Ts - kMeltingPointK;
  return 32.82 * e.A * (e.ea - 6.1071 * std::exp(22.4429 * t / (t + 172.44)));
}

double SurfaceBalance(const SnowCellParameters& p, const EnergyTerms& e, double Ts, double LE) {
  return e.SW + e.LWin - p.LWOUTcorr * kStefanBoltzmann * std::pow(Ts, 4) + 18.85 * e.A * (e.Tk - Ts) + LE + e.Q + 1;
}

// Takes the vapour mass X [mm] (negative = sublimation) from the solid storage, at most
// all of it; returns the amount actually exchanged.
double ExchangeVapour(SnowStore& s, double X) {
  if (s.solid + X < 0) X = -s.solid;
  s.solid += X;
  return X;
}

void ChangeLayered(const LayeredSnow* layered, int r, int c, double amount, double T) {
  if (layered != nullptr && amount != 0) ChangeLayeredSnow(*layered, r, c, 1, amount, T);
}

// Melt branch of the energy balance (air above the melt threshold).
double EnergyMelt(const SnowCellParameters& p, const SnowCellGrids& g, int r, int c, double T, double w,
                  const EnergyTerms& e, double Tp, bool pack_is_layered, SnowStore& s, const LayeredSnow* layered) {
  const double Ts = e.given_surface ? e.Ts0 : kMeltingPointK;
  const double LE = 32.82 * e.A * (e.ea - 6.1071);
  const double E =
      (LE + 18.85 * e.A * (e.Tk - Ts) - p.LWOUTcorr * kStefanBoltzmann * std::pow(Ts, 4) + e.SW + e.LWin + e.Q + 1) *
      p.EnBalScaling;
  const double heat = 60 * p.dt_min * w * E;               // J/m2 of this part of the step
  double X = 60 * p.dt_min * w * LE / kLatentSublimation;  // vapour mass, negative = sublimation
  if (!pack_is_layered && E > 0 && (s.liquid > 0 || s.solid > 0)) {
    Tp += heat / (kHeatCapacityWater * s.liquid + kHeatCapacityIce * s.solid);
  }
  const double Tw = WetBulbTemperature(T, e.ea, At(g.elevation, r, c));
  double melt = 0;
  double balance = E;
  if (Tw <= 0) {
    // Below a wet-bulb temperature of 0 the surplus energy sublimates snow instead of
    // melting it.
    X -= heat / kLatentSublimation;
    balance = 0;
    if (!pack_is_layered) Tp = kMeltingPointK;
  } else if (!pack_is_layered) {
    melt = std::max(0.0, (Tp - kMeltingPointK) * kHeatCapacityIce * s.solid / kLatentFusion);
    Tp = kMeltingPointK;
  }
  // Condensation on a melting pack runs off with the melt water and is not stored.
  s.evaporation = 0;
  if (X < 0) {
    X = ExchangeVapour(s, X);
    s.evaporation = -X;
    ChangeLayered(layered, r, c, X, T);
  }
  s.total = s.solid + s.liquid;
  s.surface_temperature = Ts;
  if (!pack_is_layered) s.pack_temperature = Tp;
  if (s.total <= 0) s.surface_temperature = s.pack_temperature = kSnowNodata;
  s.energy_balance = balance;
  return melt;  // the heat is already that of the weighted part of the step
}

// Cold branch of the energy balance (air at or below the melt threshold).
void EnergyCold(const SnowCellParameters& p, int r, int c, double T, double w, const EnergyTerms& e, double Tp,
                bool pack_is_layered, bool layered_linked, SnowStore& s, const LayeredSnow* layered) {
  if (s.solid <= 0) {
    s.surface_temperature = s.pack_temperature = kSnowNodata;
    return;
  }
  double Ts = kMeltingPointK;
  if (s.liquid <= 0 && e.Tk <= kMeltingPointK + 2) Ts = e.given_surface ? e.Ts0 : e.Tk - 2;
  const bool may_iterate = !e.given_surface && (s.liquid <= 0 || (p.heat_transfer && layered_linked));
  double step = -10;
  double previous = 0;
  bool bracketed = false;
  double LE = LatentFlux(e, Ts);
  double B = SurfaceBalance(p, e, Ts, LE);
  for (int i = 1; may_iterate && std::abs(B) > 0.25 && i != 151; ++i) {
    if ((B < 0 && previous > 0) || (i >= 2 && B >= 0 && previous <= 0)) {
      const double ratio = std::abs(B / (B - previous));
      step = ratio < 1 ? -ratio * step : -0.5 * step;
      bracketed = true;
    } else if (i == 1 && B >= 0) {
      step = bracketed ? -0.5 * step : -step;
    } else if (bracketed) {
      step *= 0.5;
    }
    Ts += step;
    previous = B;
    LE = LatentFlux(e, Ts);
    B = SurfaceBalance(p, e, Ts, LE);
  }
  if (!e.given_surface) {
    if (e.Tk - Ts > 13) {
      Ts = e.Tk - 13;
      LE = LatentFlux(e, Ts);
    }
    if (Ts > kMeltingPointK) {
      Ts = kMeltingPointK;
      LE = 32.82 * e.A * (e.ea - 6.1071);
    }
  }
  const double H = s.solid + s.liquid;
  double Tn = Tp + 0.3 * (Ts - Tp) * (0.6 * 60000 * p.dt_min * w) / (kHeatCapacityIce * H * H);
  Tn = std::clamp(Tn, std::min(Tp, Ts), std::max(Tp, Ts));
  Tn = std::min(Tn, kMeltingPointK);

  const double X = ExchangeVapour(s, 60 * p.dt_min * LE * w / kLatentSublimation);
  ChangeLayered(layered, r, c, X, T);
  if (!pack_is_layered) {
    const double F = -B * 60 * p.dt_min * w / kLatentFusion;
    if (F > 0 && s.liquid > 0) {
      double frozen = F;
      if (s.liquid < F) {
        frozen = s.liquid;
        Tn += frozen * kLatentFusion / ((s.solid + frozen) * kHeatCapacityIce);
        Tn = Tn < Ts - 3 ? Ts - 3 : std::min(Tn, kMeltingPointK);
      }
      s.liquid -= frozen;
      s.solid += frozen;
      ChangeLayered(layered, r, c, frozen, T);
    }
  }
  s.total = s.solid + s.liquid;
  s.evaporation = -X;
  s.surface_temperature = Ts;
  if (!pack_is_layered) s.pack_temperature = Tn;
  if (s.total <= 0) s.surface_temperature = s.pack_temperature = kSnowNodata;
  s.energy_balance = 0;
}

// Refreezing of liquid water in a cold pack (rain-on-snow methods); returns the amount
// frozen.
double Refreeze(const SnowCellParameters& p, double T, double w, SnowStore& s) {
  const double steps_per_day = 1440 / p.dt_min;
  const double R = w * std::abs(p.CRFR * p.RMF * (T - p.T0) / steps_per_day);
  const double frozen = std::min(R, s.liquid);
  s.liquid -= frozen;
  s.solid += frozen;
  return frozen;
}

double DegreeDayMelt(const SnowCellParameters& p, const SnowCellGrids& g, int r, int c, double T, double P) {
  const double steps_per_day = 1440 / p.dt_min;
  const double wind_factor = p.C1 + p.C2 * At(g.wind_speed, r, c);
  switch (p.melt) {
    case MeltMethod::kDegreeDay: return (T - p.T0) * p.C0 / steps_per_day;
    case MeltMethod::kWindDegreeDay: return (T - p.T0) * wind_factor / steps_per_day;
    case MeltMethod::kRainOnSnow:
    case MeltMethod::kRainOnSnowMeasuredVapour: {
      if (P > 2.4 / steps_per_day) {
        const double e =
            p.melt == MeltMethod::kRainOnSnow ? SaturationVapourPressureOverIce(T) : At(g.vapour_pressure, r, c);
        return 0.006 * T * P + (e - 6.11) * wind_factor / (0.662 * steps_per_day) + 0.6 * T / steps_per_day +
               wind_factor * T / steps_per_day;
      }
      const double k = g.radiation_factor.empty() ? 1 : (1 + g.radiation_factor(r, c)) / 2;
      return (T - p.T0) * k * p.RMF / steps_per_day;
    }
    case MeltMethod::kEnergyBalance:
    case MeltMethod::kNone: return 0;
  }
  return 0;
}

}  // namespace

SnowMethodTraits TraitsOfSnowMethod(int method) {
  SnowMethodTraits t;
  switch (method) {
    case 1: t.melt = MeltMethod::kDegreeDay; break;
    case 2: t.melt = MeltMethod::kWindDegreeDay; break;
    case 3: t.melt = MeltMethod::kRainOnSnow; break;
    case 4: t.melt = MeltMethod::kRainOnSnowMeasuredVapour; break;
    case 5:
    case 6:
    case 7:
    case 11: t.melt = MeltMethod::kEnergyBalance; break;
    case 8:
    case 9:
    case 10: t.melt = MeltMethod::kDegreeDay; break;
    case 12:
    case 13:
    case 14: t.melt = MeltMethod::kWindDegreeDay; break;
    default: break;
  }
  t.deposition = method == 7 || method == 9 || method == 10 || method == 11 || method == 13 || method == 14;
  t.slides = method == 6 || method == 7 || method == 8 || method == 9 || method == 12 || method == 14;
  t.energy_balance = t.melt == MeltMethod::kEnergyBalance;
  t.needs_wind = method != 1 && method != 8 && method != 9 && method != 10;
  t.needs_vapour_pressure = method == 4;
  t.reads_additional_block = method > 4;
  return t;
}

double SnowFractionAt(double T, double T0R, double transzone) {
  if (T > T0R + transzone) return 0;
  if (T <= T0R - transzone) return 1;
  return (T0R + transzone - T) / (2 * transzone);
}

double SaturationVapourPressureOverIce(double T) { return 6.1078 * std::exp(21.874 * T / (265.5 + T)); }

double WetBulbTemperature(double T, double ea, double z) {
  const double p = 1013.25 * std::pow(1 - 0.0065 * z / 288.15, 5.255);
  const double q = 0.622 * ea / (p - ea);
  const double x = std::log(p * q / ((q + 0.622) * 6.112));
  const double dew_point = 272.62 * x / (22.46 - x);
  double Tw = (dew_point + 2 * T) / 3;
  double step = (T + Tw) / 2;
  for (int i = 0; i < 15; ++i) {
    const double e_star = 6.1115 * std::exp(22.46 * Tw / (272.62 + Tw)) - (1 + 0.00115 * Tw) * p * 0.00066 * (T - Tw);
    step = ea < e_star ? -step : std::abs(step) / 2;
    Tw += step;
    if (std::abs(step) <= 0.025) break;
  }
  return Tw;
}

int SeasonalDayNumber(int day, int month, int days_in_month) {
  return month == 1 ? day : day + (month - 1) * days_in_month;
}

double SeasonalFactor::At(int day, int month, int days_in_month) const {
  return mean + amplitude * std::sin((SeasonalDayNumber(day, month, days_in_month) - 80) * 0.017214206);
}

SnowCellResult ComputeSnowCell(const SnowCellParameters& p, const SnowCellGrids& g, int r, int c, double T, double w,
                               SnowStorePart part, double step_input_mm, SnowStore& s, const LayeredSnow* layered) {
  SnowCellResult result;
  const bool on_open_lake =
      !g.lake_codes.empty() && !g.ponding.empty() && g.lake_codes(r, c) > 0 && g.ponding(r, c) > 0;
  const double f = on_open_lake ? 0 : SnowFractionAt(T, p.T0R, p.transzone);
  result.snow_fraction = f;

  const bool ordinary = part == SnowStorePart::kOrdinary;
  const LayeredSnow* pack = ordinary ? layered : nullptr;
  double snowfall = 0;
  double rain = 0;
  if (ordinary) {
    const double raw_snowfall = f * step_input_mm;
    snowfall = raw_snowfall;
    rain = (1 - f) * step_input_mm;
    if (p.deposition) {
      const double d = g.deposition_index(r, c);
      g.water_input(r, c) += w * raw_snowfall * d;
      snowfall = raw_snowfall * (1 + d);
    }
    g.snow_fraction(r, c) = snowfall;
    g.rain_fraction(r, c) = rain;
  } else {
    snowfall = g.snow_fraction(r, c);
    rain = g.rain_fraction(r, c);
  }

  s.solid += w * snowfall;
  s.liquid += w * rain;
  s.total = s.solid + s.liquid;
  s.evaporation = 0;
  if (pack != nullptr && snowfall > 0) ChangeLayeredSnow(*pack, r, c, w, snowfall, T);

  const bool energy = p.melt == MeltMethod::kEnergyBalance;
  const bool pack_is_layered = p.heat_transfer && pack != nullptr;
  EnergyTerms e;
  double Tp = 0;
  if (energy) {
    if (Unknown(s.surface_temperature)) s.surface_temperature = T + kMeltingPointK - 3;
    e = EnergyTermsAt(p, g, r, c, T, snowfall, rain, step_input_mm, s);
    Tp = Unknown(s.pack_temperature) ? std::min(T + kMeltingPointK, kMeltingPointK) : s.pack_temperature;
  }

  if (T > p.T0) {
    if (s.solid <= 0) {
      if (energy) s.surface_temperature = s.pack_temperature = kSnowNodata;
      return result;
    }
    if (energy) {
      result.melt = EnergyMelt(p, g, r, c, T, w, e, Tp, pack_is_layered, s, pack);
    } else {
      result.melt = DegreeDayMelt(p, g, r, c, T, step_input_mm) * w;
    }
    return result;
  }

  switch (p.melt) {
    case MeltMethod::kRainOnSnow:
    case MeltMethod::kRainOnSnowMeasuredVapour: {
      const double frozen = Refreeze(p, T, w, s);
      s.total = s.solid + s.liquid;
      if (!p.heat_transfer) ChangeLayered(pack, r, c, frozen, T);
      break;
    }
    case MeltMethod::kEnergyBalance:
      EnergyCold(p, r, c, T, w, e, Tp, pack_is_layered, layered != nullptr, s, pack);
      break;
    case MeltMethod::kNone:
    case MeltMethod::kDegreeDay:
    case MeltMethod::kWindDegreeDay: break;
  }
  return result;
}

}  // namespace tolvo
