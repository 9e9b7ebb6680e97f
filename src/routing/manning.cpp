#include "routing/manning.h"

#include <cmath>

namespace tolvo {

ManningFlow ManningVelocity(double q_m3s, double width_m, double v_start_ms, double manning_m13s, double sqrt_slope,
                            double tolerance_ms, int max_evaluations) {
  ManningFlow flow;
  double v_old = v_start_ms;
  for (int evaluation = 1;; ++evaluation) {
    const double area = v_old > 0 ? q_m3s / v_old : 0.0;
    flow.depth_m = area / width_m;
    const double perimeter = 2 * flow.depth_m + width_m;
    double v_new = 0;
    if (perimeter > 0) {
      flow.hydraulic_radius_m = area / perimeter;
      v_new =
          flow.hydraulic_radius_m > 0 ? manning_m13s * std::pow(flow.hydraulic_radius_m, 0.66667) * sqrt_slope : 0.0;
    } else {
      flow.hydraulic_radius_m = 0;
    }
    flow.velocity_ms = v_new;
    if (evaluation >= max_evaluations || std::fabs(v_old - v_new) <= tolerance_ms) return flow;
    v_old = v_new;
  }
}

}  // namespace tolvo
