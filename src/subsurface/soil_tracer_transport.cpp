#include "subsurface/soil_tracer_transport.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace tolvo {

namespace {

constexpr double kWhole = 0.99999;  // φ above which a layer's water carries all its outflows
constexpr double kDry = 0.001;      // content at or below which a layer carries no tracer

// Volume-weighted mean of two waters; 0 without water.
double weighted_mean(double a, double b, double wa, double wb) { return wa + wb == 0 ? 0 : (wa * a + wb * b) / (wa + wb); }

// One outflow of an evaporating tracer's layer: its own water's share at the layer's
// concentration a, the excess at the concentration u above [c · mm].
double evaporating_outflow(double flow, double limited, double phi, double a, double u, double F) {
  return phi > kWhole ? flow * a * F : (flow - limited) * u * F + a * limited * F;
}

struct LayerAbove {
  double amount = 0;  // amount of the position above (already updated)
  double water = 0;   // the water it is shared by, as a rate or a depth (see rate_based)
  bool rate_based = false;  // the surface store: shared by the surface water rate
  bool dry = false;
};

// The excess part (flow − limited) of an outflow passing at the concentration of the
// position above, as an amount [c · mm].
double excess_from_above(double flow, double limited, const LayerAbove& above, double dt) {
  if (above.rate_based) return above.water > 0 ? (flow - limited) * above.amount / above.water : 0.0;
  return above.water > 0 ? (flow - limited) * dt * above.amount / above.water : 0.0;
}

// One lateral outflow of a non-evaporating tracer's layer, limited by flow · max_conc · F.
double amount_outflow(double flow, double limited, double phi, double a, double theta0, double d,
                      const LayerAbove& above, const TracerColumnFlows& f, double max_conc) {
  const bool dry = theta0 <= kDry;
  double S = 0;
  if (phi > kWhole) {
    S = dry ? 0.0 : f.dt * flow / d * a / theta0;
  } else {
    S = dry ? 0.0 : f.dt * limited / d * a / theta0;
    if (!above.dry) S += excess_from_above(flow, limited, above, f.dt);
  }
  return std::min(flow * max_conc * f.F, S);
}

}  // namespace

int deepest_transported_layer(const TracerColumnFlows& f) {
  const int n = f.n;
  const int G = f.G;
  if (G >= n - 1) return n;
  int N = G + 1;
  if (f.U[static_cast<std::size_t>(G + 2)] > 0) {
    int k = G + 2;
    while (k + 1 <= n && f.U[static_cast<std::size_t>(k + 1)] > 0) ++k;
    N = k;
  }
  while (N + 1 <= n && (f.R[static_cast<std::size_t>(N + 1)] > 0 || f.X[static_cast<std::size_t>(N + 1)] > 0)) ++N;
  return N;
}

void limit_layer_outflows(const TracerColumnFlows& f, int N, const TracerWork& w) {
  for (int k = 1; k <= N; ++k) {
    const auto i = static_cast<std::size_t>(k);
    double phi = 1;
    if (f.theta0[i] > 0) {
      const double W = f.theta0[i] * f.d[i] / f.dt;
      const double O = f.I[i] + f.B[i] - f.q[i] + f.X[i];
      if (W < O && W > 0) phi = W / O;
    }
    w.phi[i] = phi;
    w.Ip[i] = phi * f.I[i];
    w.Bp[i] = phi * f.B[i];
    w.Xp[i] = phi * f.X[i];
    w.qp[i] = phi * f.q[i];
  }
}

TracerExports transport_tracer(const SoilTracer& t, const TracerColumnFlows& f, int N, const TracerWork& w,
                               std::span<double> A, std::span<double> A0, double c_river,
                               const TracerAquifer& aquifer, std::span<TracerExports> layers) {
  const int n = f.n;
  const double F = f.F;
  const double dt = f.dt;
  const double M = t.max_conc;
  const double c_gw = aquifer.c_gw != nullptr ? *aquifer.c_gw : 0.0;
  for (int k = 0; k <= n; ++k) A0[static_cast<std::size_t>(k)] = A[static_cast<std::size_t>(k)];
  TracerExports out;
  double D = 0;
  for (int k = 1; k <= N; ++k) {
    const auto i = static_cast<std::size_t>(k);
    const double a = A0[i];
    const double u = A[i - 1];
    const double q_top = f.q[i - 1];
    const double q = f.q[i];
    const double phi = w.phi[i];
    double J = 0;
    double aI = 0, aB = 0, aX = 0;
    if (t.evaporating) {
      if (k > 1) {
        J = D;
      } else if (q_top >= 0) {
        J = -f.q[0] * a * F;
      } else {
        J = A0[0] * (-f.q[0]) * F;
      }
      if (q > 0) {
        D = k < n ? -A0[i + 1] * q * F : 0.0;
      } else {
        // The bottom of the column passes its flux like every other layer boundary.
        D = phi > kWhole ? -a * q * F : -u * (q - w.qp[i]) * F - a * w.qp[i] * F;
      }
      aI = evaporating_outflow(f.I[i], w.Ip[i], phi, a, u, F);
      aB = evaporating_outflow(f.B[i], w.Bp[i], phi, a, u, F) - c_gw * f.U[i] * F;
      aX = evaporating_outflow(f.X[i], w.Xp[i], phi, a, u, F);
    } else {
      const bool dry = f.theta0[i] <= kDry;
      LayerAbove above;
      if (k == 1) {
        above = {.amount = A[0], .water = f.surface_water, .rate_based = true, .dry = false};
      } else {
        above = {.amount = A[i - 1], .water = f.theta[i - 1] * f.d[i - 1], .rate_based = false,
                 .dry = f.theta0[i - 1] <= kDry};
      }
      if (k > 1) {
        J = D;
      } else if (q_top < 0) {
        const double S = f.surface_water > 0 ? -f.q[0] / f.surface_water * A0[0] : 0.0;
        J = std::min(-M * f.q[0] * F, S);
      } else {
        const double S = dry ? 0.0 : dt * f.q[0] / f.d[1] * a / f.theta0[1];
        J = -std::min(f.q[0] * M * F, S);
      }
      const double m = -q * M * F;
      if (q > 0) {
        if (k >= n) {
          D = 0;
        } else {
          const double S =
              f.theta0[i + 1] > kDry ? dt * (-q) / f.d[i + 1] * A0[i + 1] / f.theta0[i + 1] : 0.0;
          D = std::max(m, S);
        }
      } else if (phi > kWhole) {
        D = dry ? std::min(m, 0.0) : std::min(m, dt * q / f.d[i] * (-a) / f.theta0[i]);
      } else {
        double S = dry ? 0.0 : dt * w.qp[i] / f.d[i] * (-a) / f.theta0[i];
        S -= excess_from_above(q, w.qp[i], above, dt);
        D = std::min(m, S);
      }
      aI = amount_outflow(f.I[i], w.Ip[i], phi, a, f.theta0[i], f.d[i], above, f, M);
      aB = amount_outflow(f.B[i], w.Bp[i], phi, a, f.theta0[i], f.d[i], above, f, M) - c_gw * f.U[i] * F;
      aX = amount_outflow(f.X[i], w.Xp[i], phi, a, f.theta0[i], f.d[i], above, f, M);
    }
    const double aR = f.R[i] > 0 ? f.R[i] * c_river * F : 0.0;
    out.interflow += aI;
    out.baseflow += aB;
    out.exfiltration += aX;
    out.river_input += aR;
    if (!layers.empty()) layers[i] = {.interflow = aI, .baseflow = aB, .exfiltration = aX, .bottom = 0, .river_input = aR};
    if (t.evaporating) {
      const double water = f.theta[i] * 1000 * f.d[i];
      A[i] = f.theta[i] > 0 ? (f.d[i] * f.theta0[i] * 1000 * a + J - D - aI - aB - aX + aR) / water : 0.0;
    } else {
      A[i] = a + J - D - aI - aB - aX + aR;
      if (k == 1) A[0] -= J;
    }
  }
  // What the last transported layer passed on stays in the column below it, or leaves
  // through the column's bottom.
  if (N < n) {
    const auto i = static_cast<std::size_t>(N + 1);
    if (!t.evaporating) {
      A[i] += D;
    } else if (f.theta[i] > 0) {
      A[i] += D / (f.theta[i] * 1000 * f.d[i]);
    }
  } else {
    out.bottom = D;
  }

  // The saturated zone (and the top aquifer below the column) holds one concentration.
  const int G = std::clamp(f.G, 1, n);
  const double h = std::max(aquifer.thickness, 0.0);
  double V = 0, S = 0;
  for (int k = G; k <= n; ++k) {
    const auto i = static_cast<std::size_t>(k);
    V += f.theta[i] * f.d[i];
    S += t.evaporating ? A[i] * f.theta[i] * f.d[i] : A[i];
  }
  if (t.evaporating) {
    if (aquifer.c_gw != nullptr) {
      S += c_gw * f.theta_s[static_cast<std::size_t>(n)] * h;
      V += f.theta_s[static_cast<std::size_t>(n)] * h;
    }
    const double c = V > 0 ? S / V : 0.0;
    for (int k = G; k <= n; ++k) A[static_cast<std::size_t>(k)] = c;
    if (aquifer.c_gw != nullptr) *aquifer.c_gw = c;
  } else {
    if (aquifer.c_gw != nullptr) {
      S += c_gw * f.theta_s[static_cast<std::size_t>(G)] * 1000 * h;
      V += f.theta_s[static_cast<std::size_t>(G)] * h;
    }
    for (int k = G; k <= n; ++k) {
      const auto i = static_cast<std::size_t>(k);
      A[i] = V > 0 ? f.d[i] * f.theta[i] * S / V : 0.0;
    }
    if (aquifer.c_gw != nullptr) *aquifer.c_gw = V > 0 ? S / V / 1000 : 0.0;
  }

  if (t.decay != 1) {
    for (int k = 0; k <= n; ++k) A[static_cast<std::size_t>(k)] *= t.decay;
  }
  return out;
}

void tracer_surface_input(const SoilTracer& t, double& store, double c_in, double input_mm, bool ponding,
                          double pond_mm) {
  if (!t.evaporating) {
    store += input_mm * c_in;
  } else if (!ponding) {
    store = c_in;
  } else {
    store = weighted_mean(store, c_in, pond_mm, input_mm);
  }
}

double tracer_direct_runoff(const SoilTracer& t, double& store, double Q, double F) {
  if (t.evaporating) return store;
  if (!(Q > 0)) return 0;
  const double runoff = std::min(store, Q * t.max_conc * F);
  store -= runoff;
  return runoff;
}

double tracer_ponding_overflow(const SoilTracer& t, double& store, double overflow, double pond_rate, double F) {
  if (!(overflow > 0) || !(pond_rate > 0)) return 0;
  if (t.evaporating) return store;
  const double runoff = std::min(store * overflow / pond_rate, t.max_conc * overflow * F);
  store -= runoff;
  return runoff;
}

double decay_factor_per_substep(double half_time_days, double dt_sub_min) {
  if (!(half_time_days > 0)) return 1;
  return std::exp(-std::numbers::ln2 * (dt_sub_min / 60 / 24) / half_time_days);
}

}  // namespace tolvo
