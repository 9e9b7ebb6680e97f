#include "surface/potential_evaporation.h"

#include <algorithm>
#include <cmath>

#include "surface/vapour_pressure.h"

namespace tolvo {

QuadraticRoots SolveQuadratic(double p, double q) {
  const double d = p * p / 4 - q;
  if (d > 0) return {2, -p / 2 - std::sqrt(d), -p / 2 + std::sqrt(d)};
  if (d == 0) return {1, -p / 2, -p / 2};
  return {};
}

SunshineThreshold SunshineThresholdFromCoefficients(const std::array<double, 4>& cs) {
  using Outcome = SunshineThreshold::Outcome;
  const auto in_range = [](double x) { return x >= 0 && x <= 1; };
  QuadraticRoots roots;
  if (cs[3] != 0) {
    // A turning point of the cubic: a root of its derivative 3·CS3·x² + 2·CS2·x + CS1.
    roots = SolveQuadratic(2 * cs[2] / (3 * cs[3]), cs[1] / (3 * cs[3]));
  } else if (cs[2] != 0) {
    roots = SolveQuadratic(cs[1] / cs[2], cs[0] / cs[2]);
  } else if (cs[1] != 0) {
    const double x0 = -cs[0] / cs[1];
    return in_range(x0) ? SunshineThreshold{Outcome::kFound, x0} : SunshineThreshold{Outcome::kNoRootInRange, x0};
  } else {
    return {Outcome::kNotEvenLinear, 0};
  }
  if (roots.count > 0 && in_range(roots.x2)) return {Outcome::kFound, roots.x2};
  if (roots.count > 0 && in_range(roots.x1)) return {Outcome::kFound, roots.x1};
  return {Outcome::kNoRootInRange, 0};
}

double SunshineFromRadiationRatio(const std::array<double, 4>& cs, double x0, double r) {
  if (r <= x0) return 0;
  return std::clamp(cs[0] + cs[1] * r + cs[2] * r * r + cs[3] * r * r * r, 0.0, 1.0);
}

double Cloudiness(double r) {
  if (r > 1) return 0;
  return std::min(1.0, 0.997 + 0.4473 * r - 1.4059 * r * r);
}

double HamonEvapotranspiration(double pec, double day_fraction, double t_c, double step_min) {
  const double vapour_density = 216.7 * SaturationVapourPressure(t_c) / (t_c + 273.3);
  return 0.1651 * pec * 2 * day_fraction * vapour_density * step_min / 1440;
}

double WendlingEvapotranspiration(double global_radiation, double albedo, double coast_factor, double t_c,
                                  double step_min) {
  return (0.36 * global_radiation * (1.1 - albedo) + 93 * coast_factor) * (t_c + 22) / (150 * (t_c + 123)) *
         step_min / 1440;
}

double HaudeSaturationVapourPressure(double t14_c) {
  if (t14_c >= 0) return 6.11 * std::exp(17.62 * t14_c / (t14_c + 243.12));
  return 6.11 * std::exp(22.46 * t14_c / (t14_c + 272.46));
}

double HaudeEvapotranspiration(double fh, double t14_c, double saturation_deficit, double step_min) {
  return std::min(7.0, fh * HaudeSaturationVapourPressure(t14_c) * saturation_deficit) * step_min / 1440;
}

}  // namespace tolvo
