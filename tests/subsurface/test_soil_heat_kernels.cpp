#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "subsurface/soil_heat_kernels.h"

namespace tolvo::test {
namespace {

// A column of positions first..last with its arrays.
struct HeatColumn {
  HeatColumn(int first, int last, double dz_m, double lambda_v, double cv)
      : first(first), last(last), n(static_cast<std::size_t>(last - first + 1)),
        dz(n, dz_m), lambda(n, lambda_v), Cv(n, cv), T(n, 0.0), Tn(n, 0.0), dT(n, 0.0), F(n, 0.0), q(n, 0.0),
        mI(n, 0.0), s(n, 0.0), b(n, 0.0), u(n, 0.0), r(n, 0.0), x(n, 0.0) {}
  PositionArray at(std::vector<double>& v) { return {v, first}; }
  ConstPositionArray c(const std::vector<double>& v) const { return {v, first}; }
  ImplicitHeatWork work() { return {at(s), at(b), at(u), at(r), at(x)}; }
  ImplicitHeatInput input(double dt, double Ts, double T_lower, double Tm, bool advection) const {
    return {.lambda = c(lambda), .Cv = c(Cv), .dz = c(dz), .T = c(T), .q = c(q), .mI = c(mI), .dt = dt, .nf = 1,
            .Ts = Ts, .T_lower = T_lower, .Tm = Tm, .advection = advection};
  }
  // One implicit step; the solution becomes T.
  void implicit_step(int a, double dt, double Ts, double T_lower, double Tm, bool advection) {
    solve_heat_implicit(a, last, input(dt, Ts, T_lower, Tm, advection), work());
    for (int p = a + 1; p <= last; ++p) at(T)[p] = at(x)[p];
  }
  double stored(int a) const {
    double h = 0;
    for (int p = a + 1; p <= last; ++p) h += c(Cv)[p] * c(dz)[p] * c(T)[p];
    return h;
  }
  int first, last;
  std::size_t n;
  std::vector<double> dz, lambda, Cv, T, Tn, dT, F, q, mI, s, b, u, r, x;
};

TEST(SoilHeatKernels, ConductivityAfterJohansen) {
  // Johansen (1975) mixing with λd 2.0, λw 0.5562, λi 2.33 and θs 0.4 (hand calculation).
  const double lw = 0.5562, li = 2.33;
  struct Case {
    double theta, fL, expected;
    const char* what;
  };
  const Case cases[] = {
      {0.4, 1.0, std::pow(2.0, 0.6) * std::pow(lw, 0.4), "saturated thawed: λd^(1−n)·λw^n"},
      {0.4, 0.0, std::pow(2.0, 0.6) * std::pow(li, 0.4), "saturated frozen: λd^(1−n)·λi^θ"},
      {0.2, 1.0, 0.8 * std::pow(2.0, 0.75) * std::pow(lw, 0.25) + 0.0262 * 0.2, "unfrozen at θ 0.2"},
      {0.2, 0.995, 0.8 * std::pow(2.0, 0.75) * std::pow(lw, 0.995 * 0.25) + 0.0262 * 0.2,
       "fL ≥ 0.99 keeps λw^(fL·θ/g), no ice term"},
      {0.2, 0.5, 0.8 * std::pow(2.0, 0.75) * std::pow(lw, 0.125) * std::pow(li, 0.125) + 0.0262 * 0.2,
       "half frozen at θ 0.2"},
  };
  const ConductivityHorizon h = make_conductivity_horizon(0.4, 2.0, lw);
  const std::vector<ConductivityHorizon> horizons(3, h);
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    std::vector<double> lambda(3, 0.0), theta(3, k.theta), fL(3, k.fL);
    thermal_conductivity(0, 0, 2, {lambda, 0}, horizons, 0, {fL, 0}, {theta, 0}, lw, li);
    EXPECT_NEAR(lambda[1], k.expected, 1e-12);
    EXPECT_EQ(lambda[0], -9999) << "the position above the computed ones";
  }
  // The published figures: 1.1987 thawed, 2.1260 frozen, 1.1671 at θ 0.2.
  EXPECT_NEAR(cases[0].expected, 1.1987, 1e-4);
  EXPECT_NEAR(cases[1].expected, 2.1260, 1e-4);
  EXPECT_NEAR(cases[2].expected, 1.1671, 1e-4);

  // Frozen ground conducts better than thawed ground at the same water content.
  EXPECT_GT(cases[4].expected, cases[2].expected);

  // θ = 0 and θs = 1: no solid, no water: the dry conductivity itself.
  const std::vector<ConductivityHorizon> empty_pores(2, make_conductivity_horizon(1.0, 0.3, lw));
  std::vector<double> lambda(2, 0.0), theta(2, 0.0), fL(2, 1.0);
  thermal_conductivity(0, 0, 1, {lambda, 0}, empty_pores, 0, {fL, 0}, {theta, 0}, lw, li);
  EXPECT_EQ(lambda[1], 0.3);
}

TEST(SoilHeatKernels, LatentHeatTermIsZeroAtResidualWater) {
  std::vector<double> theta{0, 0.05, 0.3, 0.04}, theta_r{0, 0.05, 0.05, 0.05}, dfL{9, 0.2, 0.2, 0.2};
  latent_heat_term(0, 3, {theta, 0}, {theta_r, 0}, {dfL, 0}, 334000, 1000);
  EXPECT_EQ(dfL[0], 9) << "position a is not computed";
  EXPECT_EQ(dfL[1], 0);
  EXPECT_DOUBLE_EQ(dfL[2], 334000 * 1000 * 0.25 * 0.2);
  EXPECT_EQ(dfL[3], 0);
}

TEST(SoilHeatKernels, BoundaryRulesAndStepCounts) {
  // 1440 min: at least ceil(86400 / 1800) = 48 heat sub-steps.
  EXPECT_GE(heat_sub_step_count(0, 0, 0, 86400, 60, 1800), 48);
  // A fast change of the top position needs more sub-steps, but never below the shortest.
  EXPECT_EQ(heat_sub_step_count(10, 0, 100, 3600, 60, 1800), 40);
  EXPECT_EQ(heat_sub_step_count(10, 0, 1e6, 3600, 60, 1800), 60);

  // n-factor: the table's value, else the land use's freezing / thawing factor (air 0 °C
  // thaws), else the run's defaults.
  EXPECT_EQ(n_factor(0.7, -5, 0.3, 0.9, 0.5, 1.1), 0.7);
  EXPECT_EQ(n_factor(-99999, -5, 0.3, 0.9, 0.5, 1.1), 0.3);
  EXPECT_EQ(n_factor(-99999, 0, 0.3, 0.9, 0.5, 1.1), 0.9);
  EXPECT_EQ(n_factor(-99999, 0, -99999, -99999, 0.5, 1.1), 1.1);
  EXPECT_EQ(n_factor(-99999, -0.1, -99999, -99999, 0.5, 1.1), 0.5);

  // The flux lower boundary with H = 0 passes no heat: TB equals T[N].
  EXPECT_EQ(lower_boundary_temperature(true, 7, 0, 0.1, 1.5, -2.5), -2.5);
  EXPECT_DOUBLE_EQ(lower_boundary_temperature(true, 7, 0.06, 0.1, 1.5, -2.5), -2.5 + 0.06 * 0.1 / 3);
  EXPECT_EQ(lower_boundary_temperature(false, 7, 0.06, 0.1, 1.5, -2.5), 7);
  EXPECT_EQ(macropore_water_temperature(4, true), 0);
  EXPECT_EQ(macropore_water_temperature(4, false), 4);
}

TEST(SoilHeatKernels, SurfaceTemperatureUnderSnow) {
  // Two snow positions −1, 0 on soil 1..2.
  std::vector<double> dz{0.1, 0.1, 0.1, 0.1}, theta{0.3, 0.3, 0.3, 0.3}, fL{0.1, 0.1, 1, 1}, T{-5, -3, 1, 2},
      lambda{0.3, 0.3, 1, 1};
  SnowSurfaceInput in{.T_air = 0, .nf = 0.8, .eb = 0, .surftemp_K = 260, .n_factor_freezing = 0.6,
                      .n_factor_thawing = 0.9, .c_ice0 = 2090, .c_water = 4187, .time_step_min = 60, .fa = -1,
                      .top = -2, .dz = {dz, -1}, .theta = {theta, -1}, .fL = {fL, -1}, .T = {T, -1},
                      .lambda = {lambda, -1}};
  SurfaceBoundary b = surface_temperature_under_snow(in);
  EXPECT_EQ(b.Ts, -13) << "260 K with air 0 °C: −13 °C, not −13.16 °C";
  EXPECT_EQ(b.nf, 0.6);
  in.surftemp_K = 273.5;
  b = surface_temperature_under_snow(in);
  EXPECT_EQ(b.Ts, -5) << "eb 0 at a melting surface: the top snow layer's temperature";
  EXPECT_EQ(b.nf, 1);
  in.eb = 1e6;
  in.T_air = 2;
  b = surface_temperature_under_snow(in);
  EXPECT_EQ(b.Ts, 15) << "a large energy balance cannot raise Ts above air + 13";
  EXPECT_EQ(b.nf, 0.9);
  // One snow layer: eb is capped by what its water and ice take in one step.
  in.fa = 0;
  in.top = -1;
  in.T_air = 30;
  lambda[1] = 3.0;
  b = surface_temperature_under_snow(in);
  const double W = 0.1 * 1000 * 0.3, Wl = W * 0.1, Wi = W - Wl;
  const double cap = (Wl * 337500 - (Wi * 4187 + Wl * 2100) * -3.0) / 3600;
  EXPECT_DOUBLE_EQ(b.eb, cap);
  EXPECT_DOUBLE_EQ(b.Ts, -3 + 0.1 * cap / (2 * 3.0));
}

TEST(SoilHeatKernels, ExplicitStepTruncatesAndLimits) {
  HeatColumn col(0, 3, 0.1, 1.0, 2e6);
  col.T = {0, 5, 3, 2};
  heat_fluxes(0, 3, col.at(col.F), col.c(col.lambda), col.c(col.dz), col.c(col.T), 0, 4, 0.5, -9999);
  EXPECT_DOUBLE_EQ(col.F[0], -2 * 1.0 / 0.1 * (0.5 * 4 - 5)) << "no Ts: the surface is at nf · Tair";
  EXPECT_DOUBLE_EQ(col.F[1], -1.0 * (5 - 3) / 0.1);
  EXPECT_DOUBLE_EQ(col.F[3], -2 * 1.0 / 0.1 * 2);
  temperature_change(0, 3, col.at(col.dT), col.c(col.F), col.c(col.dz), col.c(col.Cv), static_cast<int>(59.9));
  EXPECT_DOUBLE_EQ(col.dT[2], 59.0 / (0.1 * 2e6) * (col.F[2] - col.F[1])) << "59.9 s count as 59 s";
  // A huge step overshoots; the limiter keeps each position within its neighbours' range.
  temperature_change(0, 3, col.at(col.dT), col.c(col.F), col.c(col.dz), col.c(col.Cv), 10000000);
  col.Tn = col.T;
  update_temperatures(0, 3, col.at(col.Tn), col.c(col.T), col.c(col.dT), col.c(col.F), 0, 4, -9999, true);
  // Position 1 loses heat through both faces: at least min(Tair 4, T[2] 3) = 3.
  EXPECT_EQ(col.Tn[1], 3);
  // Position 2 gains from above and loses less below: at most T[1].
  EXPECT_EQ(col.Tn[2], 5);
  col.Tn = col.T;
  update_temperatures(0, 3, col.at(col.Tn), col.c(col.T), col.c(col.dT), col.c(col.F), 0, 4, -9999, false);
  EXPECT_DOUBLE_EQ(col.Tn[1], col.T[1] + col.dT[1]) << "the first pass only adds the change";
}

// Σ Cv·ΔT·dz of the column equals the heat through the surface and the lower boundary,
// every step of a 5-day run above 0 °C without water flow.
TEST(SoilHeatKernels, HeatBalanceClosesOverDays) {
  for (const bool implicit : {false, true}) {
    SCOPED_TRACE(implicit ? "implicit conduction" : "explicit, limiter idle");
    HeatColumn col(0, 10, 0.1, 1.2, 2.2e6);
    for (int p = 1; p <= 10; ++p) {
      col.dz[static_cast<std::size_t>(p)] = 0.05 + 0.01 * p;
      col.lambda[static_cast<std::size_t>(p)] = 0.8 + 0.05 * p;
      col.T[static_cast<std::size_t>(p)] = 4 + 0.3 * p;
    }
    const double dt = 300, T_lower = 8;
    double worst = 0;
    for (int step = 0; step < 5 * 288; ++step) {
      const double Ts = 10 + 8 * std::sin(2 * std::numbers::pi * step * dt / 86400);
      const double before = col.stored(0);
      double through = 0;
      if (implicit) {
        col.implicit_step(0, dt, Ts, T_lower, 0, false);
        // Fluxes at the new temperatures: into the top from the surface, into the bottom
        // from the lower boundary.
        through = dt * (2 * col.lambda[1] / col.dz[1] * (Ts - col.T[1]) +
                        2 * col.lambda[10] / col.dz[10] * (T_lower - col.T[10]));
      } else {
        heat_fluxes(0, 10, col.at(col.F), col.c(col.lambda), col.c(col.dz), col.c(col.T), T_lower, 0, 1, Ts);
        temperature_change(0, 10, col.at(col.dT), col.c(col.F), col.c(col.dz), col.c(col.Cv), static_cast<int>(dt));
        col.Tn = col.T;
        update_temperatures(0, 10, col.at(col.Tn), col.c(col.T), col.c(col.dT), col.c(col.F), T_lower, 0, Ts, true);
        for (int p = 1; p <= 10; ++p) {
          ASSERT_EQ(col.Tn[static_cast<std::size_t>(p)],
                    col.T[static_cast<std::size_t>(p)] + col.dT[static_cast<std::size_t>(p)])
              << "the limiter acted at position " << p;
        }
        col.T = col.Tn;
        through = dt * (col.F[10] - col.F[0]);
      }
      const double change = col.stored(0) - before;
      worst = std::max(worst, std::fabs(change - through) / (std::fabs(through) + 1.0));
      ASSERT_NEAR(change, through, 1e-8 * (std::fabs(through) + before * 1e-3 + 1)) << "step " << step;
    }
    EXPECT_LT(worst, 1e-8);
  }
}

// A periodic surface temperature A·sin(ωt) over a homogeneous half-space: the amplitude
// falls as exp(−z/d) and the phase lags by z/d, d = sqrt(2κ/ω) (Carslaw & Jaeger 1959,
// §2.6). The implicit scheme on 2 m of 2-cm positions with 10-minute steps reproduces the
// damping within 3 % of the surface amplitude and the lag within 0.1 rad down to 0.3 m.
TEST(SoilHeatKernels, ImplicitSchemeReproducesPeriodicHalfSpace) {
  const double lambda = 1.5, cv = 2.5e6, kappa = lambda / cv;
  const double omega = 2 * std::numbers::pi / 86400;
  const double d = std::sqrt(2 * kappa / omega);
  const int N = 100;
  const double dz = 0.02, dt = 600, A = 10;
  HeatColumn col(0, N, dz, lambda, cv);
  const int steps_per_day = 144;
  const int probes[] = {5, 10, 15};  // centres at 0.09, 0.19, 0.29 m
  double amp[3] = {0, 0, 0};
  double sin_sum[3] = {0, 0, 0}, cos_sum[3] = {0, 0, 0};
  for (int step = 1; step <= 12 * steps_per_day; ++step) {
    const double t = step * dt;
    col.implicit_step(0, dt, A * std::sin(omega * t), 0, 0, false);
    if (step > 11 * steps_per_day) {
      for (int k = 0; k < 3; ++k) {
        const double v = col.T[static_cast<std::size_t>(probes[k])];
        sin_sum[k] += v * std::sin(omega * t);
        cos_sum[k] += v * std::cos(omega * t);
      }
    }
  }
  for (int k = 0; k < 3; ++k) {
    const double z = (probes[k] - 0.5) * dz;
    // Fourier coefficients of the last day: T ≈ a·sin(ωt − φ).
    const double s = 2 * sin_sum[k] / steps_per_day, c = 2 * cos_sum[k] / steps_per_day;
    amp[k] = std::hypot(s, c);
    const double lag = std::atan2(-c, s);
    SCOPED_TRACE(z);
    EXPECT_NEAR(amp[k] / A, std::exp(-z / d), 0.03);
    EXPECT_NEAR(lag, z / d, 0.1);
  }
}

// Water heat on 10 positions of 0.1 m (λ 1.5, Cv 2.5e6) at 0 °C, lower boundary 0 °C,
// Ts = Tm = 10 °C, one hour in 5-minute steps.
struct WaterHeatCase {
  std::vector<double> q;   // flux through the lower face of positions 0..10
  std::vector<double> mI;  // macropore inflow of positions 0..10
  double Ts = 10;
};

std::vector<double> run_water_heat(const WaterHeatCase& k, bool advection) {
  HeatColumn col(0, 10, 0.1, 1.5, 2.5e6);
  col.q = k.q;
  col.mI = k.mI;
  for (int step = 0; step < 12; ++step) col.implicit_step(0, 300, k.Ts, 0, 10, advection);
  return col.T;
}

TEST(SoilHeatKernels, WaterCarriesHeatTheUpwindWay) {
  const std::vector<double> none(11, 0.0);
  // No flux and no inflow: the two systems are identical.
  {
    HeatColumn a(0, 10, 0.1, 1.5, 2.5e6), b(0, 10, 0.1, 1.5, 2.5e6);
    solve_heat_implicit(0, 10, a.input(300, 10, 0, 10, false), a.work());
    solve_heat_implicit(0, 10, b.input(300, 10, 0, 10, true), b.work());
    EXPECT_EQ(a.s, b.s);
    EXPECT_EQ(a.b, b.b);
    EXPECT_EQ(a.u, b.u);
    EXPECT_EQ(a.r, b.r);
    EXPECT_EQ(a.x, b.x);
  }
  // A downward flux of 1e-7 m/s: both warm every position, within 0.05 K of each other,
  // the water's heat warming more.
  {
    WaterHeatCase k{std::vector<double>(11, -1e-7), none};
    const std::vector<double> t11 = run_water_heat(k, false), t12 = run_water_heat(k, true);
    for (int p = 1; p <= 10; ++p) {
      SCOPED_TRACE(p);
      EXPECT_GT(t11[static_cast<std::size_t>(p)], 0);
      EXPECT_GE(t12[static_cast<std::size_t>(p)], t11[static_cast<std::size_t>(p)]);
      EXPECT_NEAR(t12[static_cast<std::size_t>(p)], t11[static_cast<std::size_t>(p)], 0.05);
    }
    // Method 11 takes no notice of the water.
    EXPECT_EQ(t11, run_water_heat(WaterHeatCase{none, none}, false));
  }
  // Macropore inflow at positions 2–4 brings 10 °C water into them.
  {
    std::vector<double> mI = none;
    mI[2] = mI[3] = mI[4] = 1e-6;
    const WaterHeatCase k{none, mI};
    const std::vector<double> t11 = run_water_heat(k, false), t12 = run_water_heat(k, true);
    for (int p = 2; p <= 4; ++p) EXPECT_GT(t12[static_cast<std::size_t>(p)], t11[static_cast<std::size_t>(p)] + 1e-3);
  }
  // With a cold surface the macropore water still warms its position, never beyond 10 °C.
  {
    std::vector<double> mI = none;
    mI[5] = 1e-5;
    const std::vector<double> t12 = run_water_heat(WaterHeatCase{none, mI, 0}, true);
    EXPECT_GT(t12[5], 0.1);
    EXPECT_LT(t12[5], 10);
    for (double t : t12) EXPECT_LE(t, 10);
  }
}

// Method 12's stored heat change of one step equals conduction through the two boundaries
// plus the heat the entering water brings relative to where it goes (upwind), plus the
// macropore water's, at the new temperatures.
TEST(SoilHeatKernels, AdvectionBalanceOfOneStep) {
  HeatColumn col(-2, 6, 0.1, 1.1, 2.1e6);
  for (int p = -1; p <= 6; ++p) {
    col.at(col.T)[p] = 0.5 * p - 1;
    col.at(col.dz)[p] = 0.05 + 0.02 * (p + 2);
    col.at(col.q)[p] = (p % 2 == 0 ? -3e-6 : 2e-6);
    col.at(col.mI)[p] = p > 2 ? 1e-6 : 0;
  }
  col.at(col.q)[-2] = -4e-6;  // infiltration through the surface
  col.at(col.q)[6] = 1e-6;    // rise from below
  const int a = -2, N = 6;
  const double dt = 900, Ts = 6, TB = 3, Tm = 5;
  const double before = col.stored(a);
  const std::vector<double> T0 = col.T;
  col.implicit_step(a, dt, Ts, TB, Tm, true);
  const auto T = col.at(col.T);
  const auto q = col.at(col.q);
  const auto mI = col.at(col.mI);
  const double cw = kWaterHeatCapacityVolumetric;
  double gained = dt * (2 * col.at(col.lambda)[a + 1] / col.at(col.dz)[a + 1] * (Ts - T[a + 1]) +
                        2 * col.at(col.lambda)[N] / col.at(col.dz)[N] * (TB - T[N]));
  for (int j = a + 1; j <= N; ++j) {
    const double above = j == a + 1 ? Ts : T[j - 1];
    const double below = j == N ? TB : T[j + 1];
    if (q[j - 1] < 0) gained += dt * cw * -q[j - 1] * (above - T[j]);
    if (q[j] > 0) gained += dt * cw * q[j] * (below - T[j]);
    gained += dt * cw * mI[j] * (Tm - T[j]);
  }
  EXPECT_NEAR(col.stored(a) - before, gained, 1e-9 * std::fabs(before));
  EXPECT_NE(col.T, T0);
}

}  // namespace
}  // namespace tolvo::test
