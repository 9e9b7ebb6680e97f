#include "subsurface/soil_column_hydraulics.h"

#include "subsurface/soil_river_exchange.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace tolvo {

namespace {

// Head difference [m] below which two predicted heads count as equal.
constexpr double kHeadTolerance = 0.001;

int range_end(int k0, const ColumnParameters& p, const ColumnArrays& c) {
  int k = std::max(k0, p.L);
  while (k < p.n && (c.R[k + 1] > 0 || c.X[k + 1] > 0)) ++k;
  return k;
}

double relative_conductivity(const ColumnParameters& p, const ColumnArrays& c, int j, double theta) {
  const ColumnHorizon h = horizon_of(p, j);
  return h.record->RelativeConductivity(h.layer, theta, ice_factor(p, c, j));
}

double suction(const ColumnParameters& p, int j, double theta) {
  const ColumnHorizon h = horizon_of(p, j);
  return h.record->SuctionForTheta(h.layer, theta);
}

// The same, with the search starting in the position's bracket of its last look-up (the
// contents one position takes from one iteration to the next lie close together).
double suction_near(const ColumnParameters& p, const ColumnArrays& c, int j, double theta) {
  if (c.suction_bracket.empty()) return suction(p, j, theta);
  const ColumnHorizon h = horizon_of(p, j);
  return h.record->SuctionForTheta(h.layer, theta, c.suction_bracket[j]);
}

double mean_content(const ColumnArrays& c, int j) { return (c.theta0[j] + c.theta_m[j]) / 2; }

// The boundary conductivity with mean_kr(position) giving the relative conductivity of a
// position at its mean content.
template <class MeanKr>
double boundary_conductivity(const ColumnParameters& p, const ColumnArrays& c, int j, const MeanKr& mean_kr) {
  if (p.clay_layer == j || p.clay_layer == j + 1) {
    const double mean_clay = mean_content(c, p.clay_layer == j ? j : j + 1);
    return relative_conductivity(p, c, j, mean_clay) * p.clay_ksat;
  }
  if (j > p.G) return c.Ks[j];
  double kr_j = mean_kr(j);
  double kr_k = mean_kr(j + 1);
  // Between two snow positions the snow type's ratio holds, between the pack and the soil
  // the larger of the two.
  const double m = j >= 1 || p.snow == nullptr ? p.soil->maxratio
                   : j == 0                    ? std::max(p.soil->maxratio, p.snow->maxratio)
                                               : p.snow->maxratio;
  if (kr_j > m * kr_k) {
    kr_k = kr_j / m;
  } else if (kr_k > m * kr_j) {
    kr_j = kr_k / m;
  }
  if (kr_j == 0) {
    kr_j = kr_k;
  } else if (kr_k == 0) {
    kr_k = kr_j;
  }
  const double k_j = kr_j * c.Ks[j];
  const double k_k = kr_k * c.Ks[j + 1];
  if (p.G - 1 > j) return std::max(k_j, k_k);
  if (k_j == 0 && k_k == 0) return 0;
  return (c.d[j] + c.d[j + 1]) * k_j * k_k / (k_j * c.d[j + 1] + k_k * c.d[j]);
}

}  // namespace

double layer_boundary_conductivity(const ColumnParameters& p, const ColumnArrays& c, int j) {
  return boundary_conductivity(p, c, j, [&](int k) { return relative_conductivity(p, c, k, mean_content(c, k)); });
}

double layer_interflow(const ColumnParameters& p, const ColumnArrays& c, int j) {
  c.I[j] = 0;
  if (j >= p.G || c.z[j] - c.H[j] >= kFieldCapacitySuction) return 0;
  const bool drains = p.drainage_level >= 0 && j == p.drainage_level;
  // Lateral outflow leaves only a layer above a less conductive one, or through drains.
  if (!(c.Ks[j] > c.Ks[j + 1]) && !drains) return 0;
  const ColumnHorizon h = horizon_of(p, j);
  const double drainable = std::max(0.0, (c.theta_m[j] - h.record->FieldCapacity(h.layer)) * c.d[j] / p.dt);
  const double k = relative_conductivity(p, c, j, c.theta_m[j]) * c.Ks[j];
  if (c.Ks[j] > c.Ks[j + 1]) {
    // The snow layers drain along the pack without the slope factor of the soil.
    const bool snow = j <= 0 && p.snow != nullptr;
    c.I[j] = k * c.d[j] * (snow ? p.snow_drainage_density : p.drainage_density * p.slope_factor);
  }
  double drain = 0;
  if (drains) {
    const double ld = p.drain_distance;
    drain = std::min(drainable, 2 * k * c.d[j] / ld * p.cellsize / ld);
    c.I[j] += drain;
  }
  c.I[j] = std::min(c.I[j], drainable);
  return drain;
}

namespace {

struct Prediction {
  double upper;
  double lower;
};

Prediction predicted_contents(const ColumnArrays& c, int j, double Q, double dt, double dj, double dk) {
  return {c.theta0[j] + (Q - c.I[j] - c.q[j - 1]) * dt / dj, c.theta0[j + 1] + (c.q[j + 1] - c.I[j + 1] - Q) * dt / dk};
}

bool heads_reversed(const ColumnArrays& c, int j, double h_upper, double h_lower) {
  return (c.H[j + 1] < c.H[j] && h_lower > h_upper + kHeadTolerance) ||
         (c.H[j + 1] > c.H[j] && h_lower < h_upper - kHeadTolerance);
}

// Pushes a saturation excess E [m/s] back through the boundary that brings water in.
void remove_excess(const ColumnParameters& p, const ColumnArrays& c, int j, double E, double& T, double& B,
                   RiverTotals& river) {
  const bool from_river = p.river_inflow && c.R[j] > 0;
  if (T <= 0 && B <= 0) {
    T += E;
    if (T > 0 && from_river) {
      if (c.R[j] < T) {
        T -= c.R[j];
        river.infiltration -= c.R[j];
        c.R[j] = 0;
      } else {
        c.R[j] -= T;
        river.infiltration -= T;
        T = 0;
      }
    }
  } else if (T <= 0) {
    T += E;
    if (T > 0) {
      B -= T;
      T = 0;
    }
    if (B < 0 && from_river) {
      c.R[j] += B;
      river.infiltration += B;
      B = 0;
    }
  } else if (B >= 0) {
    B -= E;
    if (B < 0 && from_river) {
      c.R[j] += B;
      river.infiltration += B;
      B = 0;
    }
  } else if (from_river) {
    if (c.R[j] < E) {
      river.infiltration -= c.R[j];
      c.R[j] = 0;
    } else {
      c.R[j] -= E;
      river.infiltration -= E;
    }
  }
}

// An inflow B > 0 from below that a deficit created is taken from the interflow first,
// then from the exfiltration; without either it is set to 0 or kept.
void take_from_outflows(const ColumnParameters& p, const ColumnArrays& c, int j, double& B, bool zero_when_none,
                        RiverTotals& river) {
  if (c.I[j] > 0) {
    if (c.I[j] < B) {
      B -= c.I[j];
      c.I[j] = 0;
    } else {
      c.I[j] -= B;
      B = 0;
    }
  } else if (p.river_outflow && c.X[j] > 0) {
    if (c.X[j] < B) {
      B -= c.X[j];
      river.exfiltration -= c.X[j];
      c.X[j] = 0;
    } else {
      c.X[j] -= B;
      river.exfiltration -= B;
      B = 0;
    }
  } else if (zero_when_none) {
    B = 0;
  }
}

// Takes a deficit D [m/s] from the outflows of layer j.
void remove_deficit(const ColumnParameters& p, const ColumnArrays& c, int j, double D, double& T, double& B,
                    RiverTotals& river) {
  const bool to_river = p.river_outflow && c.X[j] > 0;
  if (T <= 0 && B <= 0) {
    B += D;
    if (B > 0) take_from_outflows(p, c, j, B, true, river);
  } else if (T <= 0) {
    if (c.I[j] > 0) {
      c.I[j] = std::max(0.0, c.I[j] - D);
    } else if (to_river) {
      if (c.X[j] < D) {
        river.exfiltration -= c.X[j];
        c.X[j] = 0;
      } else {
        c.X[j] -= D;
        river.exfiltration -= D;
      }
    }
  } else if (B <= 0) {
    T -= D;
    if (T < 0) {
      B -= T;
      T = 0;
      if (B > 0) take_from_outflows(p, c, j, B, false, river);
    }
  } else {
    T -= D;
    if (T < 0) {
      if (c.I[j] > 0) {
        T += c.I[j];
        if (T < 0) {
          c.I[j] = 0;
        } else {
          c.I[j] = T;
          T = 0;
        }
      } else if (to_river) {
        const double missing = -T;
        T += c.X[j];
        if (T > 0) {
          c.X[j] = T;
          river.exfiltration -= missing;
          T = 0;
        } else {
          river.exfiltration -= c.X[j];
          c.X[j] = 0;
        }
      }
    }
  }
}

// The flux limit with suction_of(position, content) giving the suction of a position.
template <class Suction>
double limit_flux(const ColumnParameters& p, const ColumnArrays& c, int j, const Suction& suction_of) {
  const double dt = p.dt;
  const double dj = c.z[j - 1] - c.z[j];
  const double dk = c.z[j] - c.z[j + 1];
  double Q = c.q[j];
  Prediction pred = predicted_contents(c, j, Q, dt, dj, dk);
  if (pred.upper > c.theta_s[j] && Q > 0) {
    const double F = std::abs((c.theta_s[j] - c.theta0[j]) * dj / dt) / Q;
    Q = F < 1 ? F * Q : 0;
    pred = predicted_contents(c, j, Q, dt, dj, dk);
  }
  const double zm_j = (c.z[j - 1] + c.z[j]) / 2;
  const double zm_k = (c.z[j] + c.z[j + 1]) / 2;
  const double f_j = ice_factor(p, c, j);
  const double f_k = ice_factor(p, c, j + 1);
  const auto heads = [&](const Prediction& x) {
    return Prediction{zm_j - suction_of(j, f_j * x.upper), zm_k - suction_of(j + 1, f_k * x.lower)};
  };
  Prediction h = heads(pred);
  if (!heads_reversed(c, j, h.upper, h.lower)) return Q;
  // The contents the bisection tries lie close together: each layer's search for the
  // suction starts in the bracket of its last content.
  const ColumnHorizon upper = horizon_of(p, j);
  const ColumnHorizon lower = horizon_of(p, j + 1);
  int bracket_upper = c.suction_bracket.empty() ? 1 : c.suction_bracket[j];
  int bracket_lower = c.suction_bracket.empty() ? 1 : c.suction_bracket[j + 1];
  const auto bisection_heads = [&](const Prediction& x) {
    return Prediction{zm_j - upper.record->SuctionForTheta(upper.layer, f_j * x.upper, bracket_upper),
                      zm_k - lower.record->SuctionForTheta(lower.layer, f_k * x.lower, bracket_lower)};
  };
  // The predicted contents of flux Q and interflow I, with the terms that stay fixed in the
  // bisection taken out of it (in the same order of operations as predicted_contents).
  const double theta0_j = c.theta0[j];
  const double theta0_k = c.theta0[j + 1];
  const double q_above = c.q[j - 1];
  const double net_below = c.q[j + 1] - c.I[j + 1];
  const auto predict = [&](double flux, double interflow) {
    return Prediction{theta0_j + (flux - interflow - q_above) * dt / dj, theta0_k + (net_below - flux) * dt / dk};
  };
  const double I0 = c.I[j];
  const double Q0 = Q;
  double I = I0;
  double step = 0.5;
  double direction = -1;
  bool previous_reversed = true;
  for (int n = 0; n < 51; ++n) {
    Q += step * direction * Q0;
    I += step * direction * I0;
    h = bisection_heads(predict(Q, I));
    const bool reversed = heads_reversed(c, j, h.upper, h.lower);
    if (reversed) {
      if (!previous_reversed) direction = -direction;
    } else {
      if (std::abs(h.lower - h.upper) <= kHeadTolerance) break;
      if (previous_reversed) direction = -direction;
    }
    previous_reversed = reversed;
    step *= 0.5;
  }
  c.I[j] = I;
  return Q;
}

}  // namespace

PositionRange active_range(ColumnKernel kernel, const ColumnParameters& p, const ColumnArrays& c) {
  switch (kernel) {
    case ColumnKernel::kHeads:
      return {p.first, std::min(range_end(p.G, p, c) + 2, p.n - 1)};
    case ColumnKernel::kFluxes:
      return {p.first, std::min(range_end(p.G + 1, p, c), p.n - 1)};
    case ColumnKernel::kUpdate:
      return {p.first, std::min(range_end(p.G + 3, p, c) + 2, p.n)};
    case ColumnKernel::kError:
      return {p.first, std::min(range_end(p.G, p, c) + 2, p.n)};
  }
  return {p.first, p.first - 1};
}

double layer_hydraulic_properties(const ColumnParameters& p, const ColumnArrays& c, int iteration) {
  const PositionRange range = active_range(ColumnKernel::kHeads, p, c);
  double mean_suction = 0;
  for (int j = range.first; j <= range.last; ++j) {
    const double f = ice_factor(p, c, j);
    if (iteration == 0) c.psi0[j] = suction_near(p, c, j, f * c.theta0[j]);
    mean_suction = (suction_near(p, c, j, f * c.theta_m[j]) + c.psi0[j]) / 2;
    const double zm = (c.z[j - 1] + c.z[j]) / 2;
    c.H[j] = zm - mean_suction;
    if (j == p.G && c.z[j - 1] >= p.W && p.W >= c.z[j]) c.H[j] = p.W;
    if (j > p.G && p.G >= 0 && c.H[p.G] > zm) c.H[j] = c.H[p.G];
  }
  return mean_suction;
}

double column_fluxes(const ColumnParameters& p, const ColumnArrays& c, double r) {
  const std::span<const double> ksat = p.soil->GetKsat();
  for (int j = 0; j <= p.n; ++j) c.Ks[j] = ksat[static_cast<std::size_t>(j)];
  if (p.snow != nullptr) {
    // Positions −S..0 take the snow type's horizons 0..S: position 0 the lowest snow layer's.
    const std::span<const double> snow = p.snow->GetKsat();
    for (int j = -p.n_snow; j <= 0; ++j) c.Ks[j] = snow[static_cast<std::size_t>(p.n_snow + j)];
  }
  if (p.thaw_depth >= 0) {
    double depth = 0;
    for (int j = 1; j <= p.n; ++j) {
      depth += c.d[j];
      if (depth > p.thaw_depth) c.Ks[j] = p.reduced_ksat;
    }
    if (c.d[1] > p.thaw_depth && r > p.reduced_ksat) r = p.reduced_ksat;
  }
  const int top = p.first - 1;
  c.q[top] = -r;
  if (p.river != nullptr) {
    exchange_with_river(p, c);
    c.q[top] = -r;
  }
  const PositionRange range = active_range(ColumnKernel::kFluxes, p, c);
  const bool pack = p.snow != nullptr;
  if (range.first <= range.last) {
    for (int j = range.first; j <= range.last + 1; ++j) {
      c.kr[j] = relative_conductivity(p, c, j, mean_content(c, j));
      c.psi_theta[j] = std::numeric_limits<double>::quiet_NaN();  // no suction looked up yet
    }
  }
  const auto mean_kr = [&](int k) { return c.kr[k]; };
  double drain = 0;
  for (int j = range.first; j <= range.last; ++j) {
    c.q[j] = darcy_flux(boundary_conductivity(p, c, j, mean_kr), c.H[j], c.H[j + 1], c.d[j], c.d[j + 1]);
    // No water rises from the soil into the snow pack.
    if (j == 0 && pack && c.q[j] > 0) c.q[j] = 0;
    const double layer_drain = layer_interflow(p, c, j);
    if (j == p.drainage_level) drain = layer_drain;
  }
  // A content equal in value and sign to the last one asked for has its suction already.
  const auto remembered_suction = [&](int k, double theta) {
    if (!(theta == c.psi_theta[k] && std::signbit(theta) == std::signbit(c.psi_theta[k]))) {
      c.psi_theta[k] = theta;
      c.psi[k] = suction_near(p, c, k, theta);
    }
    return c.psi[k];
  };
  for (int j = range.first; j <= range.last; ++j) {
    if (j != 0 || !pack) c.q[j] = limit_flux(p, c, j, remembered_suction);
  }
  return drain;
}

double limit_layer_flux(const ColumnParameters& p, const ColumnArrays& c, int j) {
  return limit_flux(p, c, j, [&](int k, double theta) { return suction(p, k, theta); });
}

int update_theta(const ColumnParameters& p, const ColumnArrays& c, int max_passes, RiverTotals& river) {
  const PositionRange range = active_range(ColumnKernel::kUpdate, p, c);
  const double dt = p.dt;
  int passes = 0;
  bool changed = true;
  while (changed && passes < max_passes) {
    changed = false;
    ++passes;
    for (int j = range.last; j >= range.first; --j) {
      double T = c.q[j - 1];
      double B = c.q[j];
      c.theta_n[j] = c.theta0[j] + (B - T - c.I[j] - c.X[j] + c.R[j]) * dt / c.d[j];
      bool corrected = false;
      if (c.theta_n[j] > c.theta_s[j]) {
        remove_excess(p, c, j, (c.theta_n[j] - c.theta_s[j]) * c.d[j] / dt, T, B, river);
        corrected = true;
      } else if (c.theta_n[j] < c.theta_r[j]) {
        const double theta_min =
            c.liquid_fraction.empty()
                ? c.theta_r[j]
                : c.theta_r[j] + (c.theta0[j] - c.theta_r[j]) * (1 - c.liquid_fraction[j]) * ice_effectiveness_of(p, j);
        double D = -B;
        if (c.theta0[j] > theta_min) {
          D = (theta_min - c.theta_n[j]) * c.d[j] / dt;
        } else if (c.theta0[j] > c.theta_n[j]) {
          D = (c.theta0[j] - c.theta_n[j]) * c.d[j] / dt;
        }
        remove_deficit(p, c, j, D, T, B, river);
        corrected = true;
      }
      if (corrected) {
        c.q[j - 1] = T;
        c.q[j] = B;
        if (c.I[j] < 0) c.I[j] = 0;
        changed = true;
      }
    }
  }
  return passes;
}

double iteration_error(const ColumnParameters& p, const ColumnArrays& c, int i, int& count) {
  if (i > 3) count = i - 3;
  const PositionRange range = active_range(ColumnKernel::kError, p, c);
  double largest = 0;
  for (int j = range.first; j <= range.last; ++j) {
    const double previous = c.theta[j];
    if (i <= 3) c.theta_m[j] = previous;
    const double next = std::clamp(
        c.theta0[j] + (c.q[j] - c.q[j - 1] - c.I[j] - c.X[j] + c.R[j]) * p.dt / c.d[j], 0.0, 1.0);
    c.theta[j] = next;
    const double change = std::abs(previous - next);
    if (!std::isnan(largest) && !(change <= largest)) largest = change;  // a NaN content makes the error NaN
    if (i <= 3) {
      c.theta_m[j] = (previous + next) / 2;
    } else {
      const double n = i - 3;
      c.theta_m[j] = (n * c.theta_m[j] + next) / (n + 1);
    }
  }
  return largest;
}

}  // namespace tolvo
