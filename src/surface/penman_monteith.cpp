#include "surface/penman_monteith.h"

#include <algorithm>
#include <cmath>

#include "surface/vapour_pressure.h"

namespace tolvo {
namespace {

constexpr double kStefanBoltzmann = 5.67e-8;  // W/(m²·K⁴)
constexpr double kAbsoluteZero = 273.15;
constexpr double kDayEnergyShare = 0.9;       // share of the daytime net radiation left for evaporation
constexpr double kNightConductance = 4e-4;    // m/s per unit of leaf area
constexpr double kLeaflessResistance = 2500;  // s/m
// ρ·cp/λ as mm·m/(s·hPa)·K per second: the aerodynamic term in mm is
// f·step·60·0.216876·VPD/(T + 273.15)/ra.
constexpr double kAerodynamicFactor = 0.216876;

// Net long-wave emission during the part, Wh/m² (Brunt's emissivity, cloud factor from
// the relative sunshine).
double NetLongwave(const PenmanMonteithWeather& w, const StepPart& part) {
  const double tk = w.t_c + kAbsoluteZero;
  const double sigma_step = kStefanBoltzmann * part.step_min / 60;
  return (0.48 - 0.065 * std::sqrt(std::max(w.e_hpa, 0.0))) *
         (w.diffuse_fraction + (1 - w.diffuse_fraction) * w.relative_sunshine) * part.fraction * sigma_step * tk *
         tk * tk * tk;
}

// Available energy above the top layer, mm for the part.
double TopEnergy(const PenmanMonteithWeather& w, const StepPart& part) {
  const double lambda = LatentHeatWhPerMm(w.t_c);
  // The net radiation is a sum over the whole step: each part has its own share of it,
  // so that a step with a day and a night part counts it once.
  if (w.net_radiation_mode) return part.fraction * w.net_radiation / lambda;
  const double longwave = NetLongwave(w, part);
  return part.day ? kDayEnergyShare * (w.net_shortwave - longwave) / lambda : -longwave / lambda;
}

}  // namespace

double AerodynamicResistance(double z0_m, double wind_ms) {
  const double wind = 1 + 0.54 * wind_ms;
  if (z0_m > 2) return 25 / wind;
  const double l = std::log(20 / z0_m);
  return 4.72 * l * l / wind;
}

double SurfaceResistance(const CanopyLayer& layer, bool day) {
  const bool leaves = layer.lai > 0 && layer.vcf > 0;
  if (leaves && layer.rsc_sm > 0) {
    if (day || layer.open_water) return layer.rsc_sm / (1 - std::pow(0.6, layer.lai * layer.vcf));
    return 1 / (kNightConductance * layer.lai * layer.vcf);
  }
  if (leaves) return 0;
  return layer.rsc_sm > 0 ? kLeaflessResistance : 0;
}

PenmanMonteithResult PenmanMonteithCell(int layer, const CanopyLayer& canopy, const PenmanMonteithWeather& weather,
                                        const StepPart& part, CanopyAccumulators& acc) {
  const double t = weather.t_c;
  double& remaining = part.day ? acc.day_energy : acc.night_energy;
  const double absorbed_share = canopy.vcf * (1 - std::exp(-canopy.extinction * canopy.lai));
  const double incoming = layer == 1 ? TopEnergy(weather, part) : remaining;
  const double q = incoming * absorbed_share;
  remaining = std::max(0.0, incoming - q);

  const double es = SaturationVapourPressure(t);
  const double vpd = std::max(0.0, es - weather.e_hpa);
  const double d = SaturationSlope(t) / PsychrometricConstant(weather.p_hpa, t);

  if (layer == 1) acc.ra = AerodynamicResistance(canopy.z0_m, weather.wind_ms);
  const double ra = layer == 1 ? acc.ra : canopy.leaf_scale * acc.leaf_area_above + acc.ra;
  const double a = part.fraction * part.step_min * 60 * kAerodynamicFactor * vpd / (t + kAbsoluteZero) / ra;
  const double rs = SurfaceResistance(canopy, part.day);

  PenmanMonteithResult result;
  if (canopy.open_water) {
    result.transpiration = (d * (q + remaining) + a) / (d + 1 + rs / ra);
    return result;
  }
  result.transpiration = (d * q + a) / (d + 1 + rs / ra);
  result.interception = (d * q + a) / (d + 1 + canopy.ri_sm / ra);
  if (canopy.bottom) result.soil = (d * remaining + a) / (d + 1 + canopy.rse_sm / ra);
  return result;
}

}  // namespace tolvo
