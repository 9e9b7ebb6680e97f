#pragma once
// Column processes outside the Richards iteration, on soil layers 1..n of one column
// (positions as in soil_column_hydraulics.h; arrays hold n + 1 values):
// - root_distribution: transpiration of one land-use layer spread over the root zone by a
//   root-density profile, reduced under drought and wetness stress after Feddes et al.
//   (1978) with compensation by the next deeper layer, and soil evaporation from the top
//   layers by relative saturation.
// - macropore_infiltration: the part of the surface input above a threshold rate goes
//   through macropores directly into the layers, deepest macropore layer first, within a
//   capacity that decreases with depth.
// - mean_theta_in_depth_range: water amount [m] or mean relative saturation of a depth range.
// - groundwater_level_change: storage change of a moving water table plus the outflow of
//   the saturated zone, the recharge [mm] (positive: percolation into the saturated zone).
// Units: d, z, depths [m]; rates [m/s]; dt [s]; F = dt · 1000 turns a rate into mm.
// The kernels keep no state and read the soil and land-use tables only.

#include <span>

#include "tables/soil_table.h"

namespace tolvo {

// Stress parameters of one land-use layer.
struct RootParameters {
  double root_dist = 0;       // shape of the root profile
  double h_redu_dry = 0;      // suction at which drought stress begins [m]
  double t_redu_wet = 0;      // relative saturation at which wetness stress begins
  double limit_redu_wet = 0;  // transpiration fraction left at saturation
};

// Column arrays of the root-zone kernel (n + 1 values each).
struct RootZoneArrays {
  std::span<const double> d, theta_s, theta_r, theta, z;
  std::span<double> fraction;       // out: share of each layer in the root zone
  std::span<double> transpiration;  // out: of this land-use layer per layer [m/s]
  std::span<double> evaporation;    // out: soil evaporation per layer [m/s]
  std::span<double> et;             // in/out: ET[0] evaporation total, ET[i] extraction of layer i
  std::span<double> weight;         // out: root weights
};

struct RootZoneInput {
  double potential_evaporation = 0;     // Ep [m/s]
  double potential_transpiration = 0;   // Tp [m/s]
  double vegetation_cover = 0;          // v, 0..1
  double dt = 0;                        // [s]
  double evap_max_depth = 0;            // [m]
  int G = 0;                            // layer of the water table
};

// Distributes one land-use layer's transpiration; raises the root depth Z [m] to the first
// layer's thickness when it is smaller.
void root_distribution(const SoilRecord& soil, int n, const RootParameters& rp, const RootZoneInput& in,
                       double& root_depth, const RootZoneArrays& a);

// Moves the input above the macropore threshold into the macropore layers: returns the
// amount [mm] and reduces the input rate r [m/s] by it.
double macropore_infiltration(double& r, const SoilRecord& soil, int n, std::span<const double> d,
                              std::span<double> capacity, std::span<const double> theta_s, std::span<double> theta,
                              std::span<double> macropore_inflow, double F);

// Mode 1: water amount [m] between depths top and bottom [m]; other modes: mean relative
// saturation θ/θs. Bottom 9999 or below the column means the whole column; an empty range
// gives 1; bottom ≤ 0 or top < −1e-4 gives nodata.
double mean_theta_in_depth_range(int n, std::span<const double> d, std::span<const double> theta,
                                 std::span<const double> theta_s, int mode, double top, double bottom,
                                 double nodata);

struct WaterTableMove {
  int old_layer = 0, new_layer = 0;
  double old_height = 0, new_height = 0;  // [m]
  double dt = 0, F = 0;
  double baseflow = 0;  // the cell's "baseflow" value
  bool groundwater_model = false;
  bool external_table = false;  // the water table is imposed from outside
};

struct SaturatedZoneArrays {
  std::span<const double> z, theta, theta_s, theta0, U, d, q;
};

// Recharge of the saturated zone over the sub-step [mm].
double groundwater_level_change(const WaterTableMove& m, const SaturatedZoneArrays& a, double river_infiltration,
                                double river_exfiltration);

}  // namespace tolvo
