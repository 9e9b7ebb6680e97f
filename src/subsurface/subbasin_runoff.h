#pragma once
// Runoff of a sub-basin at its outlet: the water of a step passes a linear storage whose
// outflow approaches the inflow with the recession constant k (Nash 1957, one reservoir):
// Q_t = a · Q_{t−1} + (1 − a) · I_t with a = exp(−Δt / k). Units: Δt and k [min], inflow
// and outflow [mm per step].

#include <cmath>

namespace tolvo {

// Storage coefficient a of a step of dt_min with recession constant k_min; 0 (no delay)
// when the storage passes its inflow on at once.
inline double linear_storage_coefficient(double dt_min, double k_min, bool pass_through) {
  return pass_through ? 0.0 : std::exp(-dt_min / k_min);
}

// Outflow of the step [mm] from the previous outflow and the inflow of the step.
inline double linear_storage_outflow(double previous, double inflow, double a) {
  return a * previous + (1 - a) * inflow;
}

// Zone of a flow time t [s] for steps of dt_min: ceil(t / 60 / dt_min), at least 1; −1 for
// nodata, a negative or not a finite flow time.
inline double flow_time_in_steps(double t, double dt_min, double nodata) {
  if (!std::isfinite(t) || t == nodata || t < 0) return -1;
  return std::max(1.0, std::ceil(t / 60 / dt_min));
}

}  // namespace tolvo
