#pragma once
// Units of the discharge routing and the mixing of two flows.
//
// Inside the routing every discharge is held in routing millimetres: millimetres per
// model time step over the drainage area of its flow index, times that index's scale
// factor. With the area A [km2] (already divided by the scale factor) and the step dt
// [min], 1 m3/s over the step fills A * 10^6 m2 by 60 dt / (A * 10^3) mm, hence the
// factors 0.06 and 1 / 0.06 = 16.6666667 (kept to these digits so that converted values
// match the tables the routing writes).

#include <cmath>

namespace tolvo {

// Discharge q_m3s [m3/s] over area_km2 [km2] for dt_min [min] -> routing millimetres.
inline double ToRoutingMillimetres(double q_m3s, double area_km2, double dt_min) {
  return q_m3s * 0.06 * dt_min / area_km2;
}

// Routing millimetres q_mm over area_km2 [km2] for dt_min [min] -> discharge [m3/s].
inline double ToCubicMetresPerSecond(double q_mm, double area_km2, double dt_min) {
  return q_mm * area_km2 * 16.6666667 / dt_min;
}

// Concentration of a mix of the volume |c| at concentration a with the volume |d| at
// concentration b (volumes in any one unit); 0 when both volumes are 0.
inline double MixConcentration(double a, double b, double c, double d) {
  const double volume = std::fabs(c) + std::fabs(d);
  return volume == 0 ? 0.0 : (std::fabs(d) * b + std::fabs(c) * a) / volume;
}

}  // namespace tolvo
