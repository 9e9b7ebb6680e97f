#include "subsurface/root_zone_kernels.h"

#include <algorithm>
#include <cmath>

#include "framework/modelobject.h"

namespace tolvo {

namespace {

// Share of a layer's root weight lost to drought or wetness stress (0..1).
double stress_reduction(const SoilRecord& soil, const RootParameters& rp, int i, double theta, double theta_s,
                        double theta_r) {
  double theta_dry = soil.ThetaForSuction(i, rp.h_redu_dry);
  if (theta_dry <= theta_r) theta_dry = (theta_s + 2 * theta_r) / 3;
  if (theta > rp.t_redu_wet * theta_s) {
    const double f = modelobject::LinearInterpolation(rp.t_redu_wet * theta_s, 1, theta_s, rp.limit_redu_wet,
                                                      std::min(theta, theta_s));
    return f < 1 ? 1 - f : 0;
  }
  if (theta < theta_dry) return theta > theta_r ? 1 - (theta - theta_r) / (theta_dry - theta_r) : 1;
  return 0;
}

}  // namespace

void root_distribution(const SoilRecord& soil, int n, const RootParameters& rp, const RootZoneInput& in,
                       double& root_depth, const RootZoneArrays& a) {
  root_depth = std::max(root_depth, a.d[1]);
  const double Z = root_depth;
  const double z_root = a.z[0] - Z - 1e-5;
  int rooted = 0;
  double sum = 0;
  for (int i = 1; i <= n && a.z[i - 1] > z_root; ++i) {
    const bool whole = a.z[i] > z_root;
    const double di = whole ? a.d[i] : a.z[i - 1] - z_root - 1e-5;
    const double ci = (whole ? a.z[0] - a.z[i] : Z) - di / 2;
    a.fraction[i] = di / Z;
    a.weight[i] = (1 + rp.root_dist * ci / Z) * (1 - ci / Z) * (di / Z);
    sum += a.weight[i];
    rooted = i;
  }
  if (sum > 0) {
    for (int i = 1; i <= rooted; ++i) a.weight[i] /= sum;
  }
  double lost = 0;
  const int compensating = std::min(in.G, rooted);
  for (int i = 1; i <= rooted; ++i) {
    const double x = stress_reduction(soil, rp, i, a.theta[i], a.theta_s[i], a.theta_r[i]) * a.weight[i];
    a.weight[i] -= x;
    if (i < compensating) {
      if (x <= 2 * a.weight[i + 1]) {
        a.weight[i + 1] += x;
      } else {
        lost += x - 2 * a.weight[i + 1];
        a.weight[i + 1] *= 3;
      }
    } else {
      lost += x;
    }
  }
  const double tv = in.potential_transpiration * in.vegetation_cover;
  for (int i = 1; i <= rooted; ++i) {
    a.transpiration[i] = tv * a.weight[i];
    a.et[i] += a.transpiration[i];
  }
  double demand = lost * tv + in.potential_evaporation;
  double top = 0;
  for (int i = 1; i <= n && (i == 1 || top < in.evap_max_depth); ++i) {
    const double s = (a.theta_s[i] - a.theta[i]) / a.theta_s[i];
    double e = (1 - s * s) * demand;
    if (a.theta[i] <= (a.transpiration[i] * in.vegetation_cover + e) * in.dt / a.d[i]) {
      e = (1 - in.vegetation_cover) * a.theta[i] * a.d[i] / in.dt;
    }
    e = std::min(e, demand);
    a.evaporation[i] = e;
    demand -= e;
    a.et[0] += e;
    top += a.d[i];
  }
}

double macropore_infiltration(double& r, const SoilRecord& soil, int n, std::span<const double> d,
                              std::span<double> capacity, std::span<const double> theta_s, std::span<double> theta,
                              std::span<double> macropore_inflow, double F) {
  if (r <= soil.PMacroThresh) return 0;
  int deepest = 0;
  double top = 0;
  for (int i = 1; i <= n; ++i) {
    const double centre = top + d[i] / 2;
    if (centre >= soil.MacroDepth) break;
    capacity[i] = soil.MacroCapacity * std::pow(soil.CapacityRedu, centre);
    deepest = i;
    top += d[i];
  }
  if (deepest == 0) return 0;
  double M = std::min(r - soil.PMacroThresh, soil.MacroCapacity);
  double total = 0;
  for (int i = deepest; i >= 1 && M > 0; --i) {
    const double room = (theta_s[i] - theta[i]) * d[i] * 1000;
    if (room <= 0) continue;
    if (F * M > room && F * capacity[i] > room) {
      theta[i] = theta_s[i];
      macropore_inflow[i] = room / F;
      M -= room / F;
      total += room;
    } else if (M > capacity[i]) {
      theta[i] += capacity[i] * F / (d[i] * 1000);
      macropore_inflow[i] = capacity[i];
      M -= capacity[i];
      total += capacity[i] * F;
    } else {
      theta[i] += M * F / (d[i] * 1000);
      macropore_inflow[i] = M;
      total += M * F;
      break;
    }
  }
  r -= total / F;
  return total;
}

double mean_theta_in_depth_range(int n, std::span<const double> d, std::span<const double> theta,
                                 std::span<const double> theta_s, int mode, double top, double bottom,
                                 double nodata) {
  constexpr double kCoincide = 1e-8;
  if (bottom <= 0 || top < -1e-4) return nodata;
  double depth = -kCoincide;
  for (int i = 1; i <= n; ++i) depth += d[i];
  const double g = bottom > depth || bottom == 9999 ? depth : bottom;
  if (g - top <= kCoincide) return 1;
  double sum = 0;
  double upper = 0;
  for (int i = 1; i <= n; ++i) {
    const double lower = upper + d[i];
    const double from = std::abs(upper - top) <= kCoincide ? top : std::max(upper, top);
    const double to = std::abs(lower - g) <= kCoincide ? g : std::min(lower, g);
    const double t = to - from;
    if (t > 0) sum += mode == 1 ? t * theta[i] : (t / (g - top)) * theta[i] / theta_s[i];
    upper = lower;
  }
  return sum;
}

double groundwater_level_change(const WaterTableMove& m, const SaturatedZoneArrays& a, double river_infiltration,
                                double river_exfiltration) {
  if (m.external_table) return m.new_layer > 1 ? -m.F * a.q[m.new_layer - 1] : 0;
  const int go = m.old_layer;
  const int gn = m.new_layer;
  const double wo = m.old_height;
  const double wn = m.new_height;
  double storage = 0;
  if (gn == go) {
    const int g = gn;
    const bool falling = wn <= wo;
    const double w = falling ? wn : wo;
    const double content = falling ? a.theta[g] : a.theta0[g];
    const double divisor = a.z[g - 1] - w;
    if (divisor != 0) {
      const double theta_u = (a.d[g] * content - (w - a.z[g]) * a.theta_s[g]) / divisor;
      storage = (wn - wo) * (a.theta_s[g] - theta_u) * 1000;
    }
  } else if (go < gn) {
    storage = (a.z[go] - wo) * (a.theta_s[go] - a.theta[go]) * 1000;
    for (int i = go + 1; i <= gn; ++i) storage += (a.theta[i] - a.theta0[i]) * a.d[i] * 1000;
  } else {
    storage = (a.theta_s[gn] - (a.theta[gn] - m.dt * a.U[gn] / a.d[gn])) * (wn - a.z[gn]) * 1000;
    for (int i = gn + 1; i <= go; ++i) storage += (a.theta[i] - a.theta0[i]) * a.d[i] * 1000;
  }
  double outflow = m.baseflow + a.U[0];
  if (m.groundwater_model) outflow += river_exfiltration - river_infiltration;
  return storage + m.F * outflow;
}

}  // namespace tolvo
