#pragma once
// Closed formulas of the evapotranspiration model: the radiation-to-sunshine relation
// with its threshold, the cloudiness, and the single-layer potential evapotranspiration
// after Hamon, Wendling and Haude.
//
// Units: temperatures in degrees Celsius, radiation in Wh/m² per step, vapour pressures
// in hPa, relative humidity and relative sunshine as fractions 0..1, results in mm per
// step of step_min minutes.

#include <array>

namespace tolvo {

// Real roots of x² + p·x + q = 0: their number (0, 1 or 2) and x1 ≤ x2 (both −p/2 for a
// double root, both 0 without a root).
struct QuadraticRoots {
  int count = 0;
  double x1 = 0;
  double x2 = 0;
};
QuadraticRoots SolveQuadratic(double p, double q);

// The radiation ratio x0 (0..1) below which the cubic CS[0] + CS[1]·r + CS[2]·r² + CS[3]·r³
// that turns a ratio r of global to clear-sky radiation into relative sunshine is taken
// as 0: a turning point of the cubic, the root of a quadratic, or the root of a line.
struct SunshineThreshold {
  enum class Outcome { kFound, kNoRootInRange, kNotEvenLinear };
  Outcome outcome = Outcome::kFound;
  double x0 = 0;
};
SunshineThreshold SunshineThresholdFromCoefficients(const std::array<double, 4>& cs);

// Relative sunshine from the radiation ratio r (0..1): the cubic limited to 0..1 above x0,
// 0 at or below it.
double SunshineFromRadiationRatio(const std::array<double, 4>& cs, double x0, double r);

// Ratio of global to clear-sky radiation from the relative sunshine s (Angström type,
// a0 + a1·s + a2·s² + a3·s³).
inline double RadiationRatioFromSunshine(const std::array<double, 4>& a, double s) {
  return a[0] + a[1] * s + a[2] * s * s + a[3] * s * s * s;
}

// Cloudiness 0..1 from the radiation ratio r: 0 above 1, else min(1, 0.997 + 0.4473·r − 1.4059·r²).
double Cloudiness(double r);

// Hamon (1961) in the form of Lu et al. (2005): 0.1651·PEC·(daylight in units of 12 h)·
// ρsat(T) with the saturated vapour density 216.7·es/(T + 273.3) g/m³; day_fraction is
// the daylight share of the step.
double HamonEvapotranspiration(double pec, double day_fraction, double t_c, double step_min);

// Wendling (1991) for grass: (0.36·RG·(1.1 − albedo) + 93·fk)·(T + 22)/(150·(T + 123)),
// RG in Wh/m² per step.
double WendlingEvapotranspiration(double global_radiation, double albedo, double coast_factor, double t_c,
                                  double step_min);

// Haude (1955): fh·es(T14)·(1 − rh14), at most 7 mm/day; es over water above 0 °C and
// over ice below. saturation_deficit is the share 1 − rh of the 14 o'clock air, 0..1.
double HaudeSaturationVapourPressure(double t14_c);
double HaudeEvapotranspiration(double fh, double t14_c, double saturation_deficit, double step_min);

}  // namespace tolvo
