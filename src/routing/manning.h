#pragma once
// Uniform (normal) flow in a wide rectangular section after the Gauckler-Manning-Strickler
// formula v = M R^(2/3) sqrt(I) (Chow 1959, Open-Channel Hydraulics, ch. 5), with M the
// Strickler coefficient [m^(1/3)/s] (1/n of Manning's n), R the hydraulic radius [m] and
// I the slope [1/1].
//
// For a given discharge the velocity is found by fixed-point iteration on the flow area:
// A = Q / v, depth h = A / b, wetted perimeter P = 2h + b, R = A / P, v = M R^0.66667
// sqrt(I). The exponent is 0.66667 rather than 2/3 so that the waterlevel-discharge
// tables stay as they have always been written.

namespace tolvo {

struct ManningFlow {
  double depth_m = 0;             // h
  double hydraulic_radius_m = 0;  // R
  double velocity_ms = 0;         // v
};

// Iterates from the start velocity v_start_ms [m/s] for the discharge q_m3s [m3/s] in a
// section of width width_m [m] until two successive velocities differ by at most
// tolerance_ms [m/s] or max_evaluations velocities have been computed. A start velocity
// of 0 or less gives no flow area; a section without perimeter gives R = 0 and v = 0.
ManningFlow ManningVelocity(double q_m3s, double width_m, double v_start_ms, double manning_m13s, double sqrt_slope,
                            double tolerance_ms, int max_evaluations);

}  // namespace tolvo
