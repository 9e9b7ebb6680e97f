#include "subsurface/soil_heat_kernels.h"

#include <algorithm>
#include <cmath>

#include "tables/soil_table.h"

namespace tolvo {

namespace {
constexpr double kMissing = -9999.0;
}  // namespace

ConductivityHorizon make_conductivity_horizon(double theta_s, double lambda_dry, double lambda_water) {
  return {theta_s, lambda_dry, std::pow(lambda_dry, 1 - theta_s), std::pow(lambda_water, theta_s)};
}

void thermal_conductivity(int a, int top, int N, PositionArray lambda, std::span<const ConductivityHorizon> horizon,
                          int horizon_first, ConstPositionArray fL, ConstPositionArray theta, double lambda_water,
                          double lambda_ice) {
  for (int p = a; p >= top; --p) lambda[p] = kMissing;
  for (int p = a + 1; p <= N; ++p) {
    const ConductivityHorizon& h = horizon[static_cast<std::size_t>(p - horizon_first)];
    const double n = h.theta_s;
    const double th = theta[p];
    const double f = fL[p];
    const double e = 1 - n;
    const double g = std::min(1.0, e + th);
    if (g < 1e-5) {
      lambda[p] = h.lambda_dry;
      continue;
    }
    if (n - th < 0.01) {
      lambda[p] = f < 0.99 ? h.saturated_dry_power * std::pow(lambda_water, f * th) *
                                 std::pow(lambda_ice, (1 - f) * th)
                           : h.saturated_dry_power * h.saturated_water_power;
      continue;
    }
    const double air = kAirConductivityTerm * (n - th);
    const double mix = g * std::pow(h.lambda_dry, e / g) * std::pow(lambda_water, f * th / g);
    lambda[p] = (f < 0.99 ? mix * std::pow(lambda_ice, (1 - f) * th / g) : mix) + air;
  }
}

void latent_heat_term(int a, int N, ConstPositionArray theta, ConstPositionArray theta_r, PositionArray dfL,
                      double latent_heat, double rho_water) {
  for (int p = a + 1; p <= N; ++p) {
    const double free_water = theta[p] - theta_r[p];
    dfL[p] = free_water > 0 ? latent_heat * rho_water * free_water * dfL[p] : 0.0;
  }
}

void heat_fluxes(int a, int N, PositionArray F, ConstPositionArray lambda, ConstPositionArray dz, ConstPositionArray T,
                 double T_lower, double T_air, double nf, double Ts) {
  const int k = a + 1;
  const double surface = Ts > kMissing ? Ts : nf * T_air;
  F[a] = -2 * lambda[k] / dz[k] * (surface - T[k]);
  for (int j = k; j < N; ++j) F[j] = -lambda[j] * (T[j] - T[j + 1]) / ((dz[j] + dz[j + 1]) / 2);
  F[N] = -2 * lambda[N] / dz[N] * (T[N] - T_lower);
}

void temperature_change(int a, int N, PositionArray dT, ConstPositionArray F, ConstPositionArray dz,
                        ConstPositionArray Cv, int dt_seconds) {
  const double dt = dt_seconds;
  for (int p = a + 1; p <= N; ++p) dT[p] = dt / (dz[p] * Cv[p]) * (F[p] - F[p - 1]);
}

void update_temperatures(int a, int N, PositionArray T_new, ConstPositionArray T, ConstPositionArray dT,
                         ConstPositionArray F, double T_lower, double T_air, double Ts, bool limiter) {
  for (int p = N; p >= a + 1; --p) {
    T_new[p] += dT[p];
    if (!limiter) continue;
    const double l = p == N ? T_lower : T[p + 1];
    const double h = p == a + 1 ? (Ts > kMissing ? Ts : T_air) : T[p - 1];
    const double Ft = F[p - 1];
    const double Fb = F[p];
    if (Ft >= 0 && Fb >= 0) {
      T_new[p] = std::min(T_new[p], l);
    } else if (Ft >= 0) {
      T_new[p] = std::max(T_new[p], std::min(l, h));
    } else if (Fb < 0) {
      T_new[p] = std::min(T_new[p], h);
    } else {
      T_new[p] = std::min(T_new[p], std::max(l, h));
    }
  }
}

HeatMethod heat_method_of(int number) {
  if (number <= 10) return HeatMethod::kExplicit;
  if (number == 11) return HeatMethod::kConduction;
  return HeatMethod::kConductionAdvection;
}

void solve_heat_implicit(int a, int N, const ImplicitHeatInput& in, const ImplicitHeatWork& w) {
  const int k = a + 1;
  const double dt = in.dt;
  const auto& lambda = in.lambda;
  const auto& Cv = in.Cv;
  const auto& dz = in.dz;
  const auto& q = in.q;
  const auto& mI = in.mI;
  for (int j = k; j <= N; ++j) {
    const double Kj = kWaterHeatCapacityVolumetric * dt / (dz[j] * Cv[j]);
    const double U = j > k ? 2 * dt * lambda[j - 1] / (dz[j] * (dz[j - 1] + dz[j]) * Cv[j]) : 0.0;
    const double D = j < N ? 2 * dt * lambda[j] / (dz[j] * (dz[j] + dz[j + 1]) * Cv[j]) : 0.0;
    // Conduction to the surface (row k) and to the lower boundary (row N), with the heat
    // of water entering through them at the surface temperature or from below at T_lower.
    double W = j == k ? 2 * dt * lambda[k] / (dz[k] * dz[k] * Cv[k]) : 0.0;
    double E = j == N ? 2 * dt * lambda[N] / (dz[N] * dz[N] * Cv[N]) : 0.0;
    double s = -U;
    double u = -D;
    double macro = 0;
    if (in.advection) {
      // Water entering from above (downward flux through the top face) or from below
      // (upward flux through the bottom face) mixes in the temperature it comes from.
      const double q_top = q[j - 1];
      const double q_bottom = q[j];
      if (q_top < 0) {
        if (j == k) {
          W -= Kj * q_top;
        } else {
          s += Kj * q_top;
        }
      }
      if (q_bottom > 0) {
        if (j == N) {
          E += Kj * q_bottom;
        } else {
          u -= Kj * q_bottom;
        }
      }
      macro = Kj * mI[j];
    }
    w.s[j] = j == k ? 0.0 : s;
    w.u[j] = j == N ? 0.0 : u;
    w.b[j] = 1 - w.s[j] - w.u[j] + W + E + macro;
    w.r[j] = in.T[j] + W * in.nf * in.Ts + E * in.T_lower + macro * in.Tm;
  }
  for (int j = k + 1; j <= N; ++j) {
    const double f = w.s[j] / w.b[j - 1];
    w.b[j] -= f * w.u[j - 1];
    w.r[j] -= f * w.r[j - 1];
  }
  w.x[N] = w.r[N] / w.b[N];
  for (int j = N - 1; j >= k; --j) w.x[j] = (w.r[j] - w.u[j] * w.x[j + 1]) / w.b[j];
}

double lower_boundary_temperature(bool flux_boundary, double T_given, double H, double dz_N, double lambda_N,
                                  double T_N) {
  return flux_boundary ? H * dz_N / (2 * lambda_N) + T_N : T_given;
}

int heat_sub_step_count(double T_air, double T_first, double dT_first, double dt_s, double shortest_s,
                        double longest_s) {
  int n = 1;
  const double gap = std::fabs(T_air - T_first) * 0.25;
  const double change = std::fabs(dT_first);
  while ((gap * n < change && dt_s / n > shortest_s) || dt_s / n > longest_s) ++n;
  return n;
}

double n_factor(double table_value, double T_air, double landuse_freezing, double landuse_thawing,
                double default_freezing, double default_thawing) {
  if (table_value > kMissing) return table_value;
  const bool freezing = T_air < 0;
  const double landuse = freezing ? landuse_freezing : landuse_thawing;
  if (landuse >= kMissing) return landuse;
  return freezing ? default_freezing : default_thawing;
}

SurfaceBoundary surface_temperature_under_snow(const SnowSurfaceInput& in) {
  SurfaceBoundary out{in.T_air, in.nf, in.eb};
  const int fa = in.fa;
  if (in.eb == 0 && in.surftemp_K > kMissing && in.surftemp_K < 273.16) {
    out.Ts = std::max(in.surftemp_K - 273.16, in.T_air - 13);
    out.nf = in.n_factor_freezing;
    return out;
  }
  if (in.eb <= 0) {
    out.Ts = in.T[fa];
    out.nf = 1;
    return out;
  }
  const double W = in.dz[fa] * 1000 * in.theta[fa];
  const double Wl = W * in.fL[fa];
  const double Wi = W - Wl;
  double Tm = 0;
  double d = 0;
  if (in.top < -1) {
    const int s = fa + 1;
    const double W2 = in.dz[s] * 1000 * in.theta[s];
    const double Wl2 = W2 * in.fL[s];
    const double Wi2 = W2 - Wl2;
    Tm = ((Wi2 * in.c_ice0 + Wl2 * in.c_water) * in.T[s] + (in.c_ice0 * Wi + in.c_water * Wl) * in.T[fa]) /
         ((Wi + Wi2) * in.c_ice0 + (Wl + Wl2) * in.c_water);
    d = in.dz[fa] + in.dz[s];
  } else {
    const double cap = (Wl * 337500 - (Wi * 4187 + Wl * 2100) * in.T[0]) / (in.time_step_min * 60);
    if (cap < out.eb) out.eb = cap;
    Tm = in.T[0];
    d = in.dz[0];
  }
  out.Ts = std::min(std::max(Tm + d * out.eb / (2 * in.lambda[fa]), 0.0), in.T_air + 13);
  out.nf = in.n_factor_thawing;
  return out;
}

}  // namespace tolvo
