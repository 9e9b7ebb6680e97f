#include <gtest/gtest.h>

#include <cmath>
#include <numeric>
#include <random>
#include <vector>

#include "subsurface/soil_tracer_transport.h"

namespace tolvo::test {
namespace {

constexpr int kLayers = 6;

// A column of six layers of 0.2 m with its flows, all arrays over positions 0..n.
struct TracerColumn {
  static constexpr std::size_t m = kLayers + 1;
  std::vector<double> q = std::vector<double>(m, 0.0), theta0 = std::vector<double>(m, 0.3),
                      theta = std::vector<double>(m, 0.3), theta_s = std::vector<double>(m, 0.45),
                      d = std::vector<double>(m, 0.2), z = std::vector<double>(m, 0.0),
                      I = std::vector<double>(m, 0.0), B = std::vector<double>(m, 0.0),
                      X = std::vector<double>(m, 0.0), R = std::vector<double>(m, 0.0),
                      U = std::vector<double>(m, 0.0);
  std::vector<double> work = std::vector<double>(5 * m, 0.0);
  std::vector<double> A = std::vector<double>(m, 0.0), A0 = std::vector<double>(m, 0.0);
  TracerColumnFlows f;

  TracerColumn() {
    for (std::size_t k = 1; k < m; ++k) z[k] = z[k - 1] - d[k];
    f.n = kLayers;
    f.G = kLayers;
    f.dt = 3600;
    f.F = 3600 * 1000.0;
  }
  TracerColumnFlows flows() {
    f.q = q;
    f.theta0 = theta0;
    f.theta = theta;
    f.theta_s = theta_s;
    f.d = d;
    f.z = z;
    f.I = I;
    f.B = B;
    f.X = X;
    f.R = R;
    f.U = U;
    return f;
  }
  TracerWork work_arrays() {
    std::span<double> w(work);
    return {w.subspan(0, m), w.subspan(m, m), w.subspan(2 * m, m), w.subspan(3 * m, m), w.subspan(4 * m, m)};
  }
  TracerExports run(const SoilTracer& t, double c_river = 0, TracerAquifer aquifer = {}) {
    const TracerColumnFlows fl = flows();
    const int N = deepest_transported_layer(fl);
    const TracerWork w = work_arrays();
    limit_layer_outflows(fl, N, w);
    return transport_tracer(t, fl, N, w, A, A0, c_river, aquifer);
  }
  double total() const { return std::accumulate(A.begin(), A.end(), 0.0); }
};

// Random flows, water table and contents; the amounts stay where the water can carry them.
void Randomise(TracerColumn& col, std::mt19937& rng) {
  std::uniform_real_distribution<double> rate(0, 2e-7), content(0.05, 0.44), amount(0, 300);
  std::uniform_int_distribution<int> level(1, kLayers);
  col.f.G = level(rng);
  for (std::size_t k = 0; k < TracerColumn::m; ++k) {
    col.q[k] = (k < TracerColumn::m - 1) ? rate(rng) - 1.2e-7 : 0.0;
    col.theta0[k] = content(rng);
    col.theta[k] = content(rng);
    col.A[k] = amount(rng);
    if (k == 0) continue;
    col.I[k] = rate(rng);
    col.B[k] = static_cast<int>(k) >= col.f.G ? rate(rng) : 0.0;
    col.X[k] = rate(rng) / 4;
    col.R[k] = rate(rng) / 4;
    col.U[k] = 0;
  }
  col.f.Q = rate(rng);
  col.f.surface_water = col.f.Q - col.q[0];
}

TEST(SoilTracerTransport, ConservativeTracerKeepsItsMassInEveryIteration) {
  // Stored after + exported = stored before + river input, whatever the flows.
  std::mt19937 rng(7);
  const SoilTracer tracer{.evaporating = false, .max_conc = 1e6, .decay = 1};
  for (int trial = 0; trial < 2000; ++trial) {
    TracerColumn col;
    Randomise(col, rng);
    const double before = col.total();
    const TracerExports e = col.run(tracer, 3.0);
    const double after = col.total() + e.interflow + e.baseflow + e.exfiltration + e.bottom;
    ASSERT_NEAR(after, before + e.river_input, 1e-12 * (before + e.river_input)) << "trial " << trial;
  }
}

TEST(SoilTracerTransport, AquiferMixingKeepsTheMassOfColumnAndAquifer) {
  std::mt19937 rng(11);
  const SoilTracer tracer{.evaporating = false, .max_conc = 1e6, .decay = 1};
  for (int trial = 0; trial < 200; ++trial) {
    TracerColumn col;
    Randomise(col, rng);
    std::fill(col.R.begin(), col.R.end(), 0.0);
    double c_gw = 2.5;
    const double h = 3.0;
    const double theta_s_g = col.theta_s[static_cast<std::size_t>(col.f.G)];
    const double before = col.total() + c_gw * theta_s_g * 1000 * h;
    const TracerExports e = col.run(tracer, 0, {.thickness = h, .c_gw = &c_gw});
    const double after = col.total() + c_gw * theta_s_g * 1000 * h + e.interflow + e.baseflow + e.exfiltration + e.bottom;
    ASSERT_NEAR(after, before, 1e-12 * before) << "trial " << trial;
  }
}

TEST(SoilTracerTransport, DecayScalesEveryLevelAfterTheTransport) {
  std::mt19937 rng(3);
  for (const bool evaporating : {false, true}) {
    SCOPED_TRACE(evaporating ? "evaporating" : "non-evaporating");
    TracerColumn a, b;
    Randomise(a, rng);
    b = a;
    a.run({.evaporating = evaporating, .max_conc = 1e6, .decay = 1});
    b.run({.evaporating = evaporating, .max_conc = 1e6, .decay = 0.5});
    for (std::size_t k = 0; k < TracerColumn::m; ++k) EXPECT_DOUBLE_EQ(b.A[k], 0.5 * a.A[k]) << "level " << k;
  }
}

TEST(SoilTracerTransport, DeepestLayerAndLimitedFlows) {
  TracerColumn col;
  col.f.G = kLayers;
  EXPECT_EQ(deepest_transported_layer(col.flows()), kLayers) << "G = L gives N = L";
  col.f.G = 2;
  EXPECT_EQ(deepest_transported_layer(col.flows()), 3);
  col.U[4] = col.U[5] = 1e-8;
  EXPECT_EQ(deepest_transported_layer(col.flows()), 5) << "return flow below extends the range";
  col.U[4] = col.U[5] = 0;
  col.X[4] = 1e-9;
  EXPECT_EQ(deepest_transported_layer(col.flows()), 4) << "river exchange below extends the range";

  // A layer whose outflows exceed its water lets its own water go: φ = W / O.
  TracerColumn lim;
  lim.theta0[2] = 0.1;
  lim.I[2] = 2e-5;  // O = 2e-5 + 1e-5 > W = 0.1 · 0.2 / 3600
  lim.q[2] = -1e-5;
  const TracerColumnFlows f = lim.flows();
  const TracerWork w = lim.work_arrays();
  limit_layer_outflows(f, kLayers, w);
  EXPECT_NEAR(w.phi[2], 0.1 * 0.2 / 3600 / 3e-5, 1e-15);
  EXPECT_NEAR(w.Ip[2], w.phi[2] * 2e-5, 1e-20);
  EXPECT_EQ(w.phi[1], 1.0);
}

TEST(SoilTracerTransport, OutflowsOfAWellSuppliedLayerAndTheirCap) {
  // φ = 1: interflow takes the share I · dt / (d · θ0) of the layer's amount.
  TracerColumn col;
  col.f.G = kLayers;
  col.A[2] = 120;
  col.I[2] = 1e-6;
  const TracerExports e = col.run({.evaporating = false, .max_conc = 1e6, .decay = 1});
  EXPECT_NEAR(e.interflow, 3600 * 1e-6 / 0.2 * 120 / 0.3, 1e-12);
  // A small max_conc caps each flow at flow · M · F.
  TracerColumn capped;
  capped.f.G = kLayers;
  capped.A[2] = 120;
  capped.I[2] = 1e-6;
  capped.B[kLayers] = 1e-6;
  capped.A[kLayers] = 500;
  const TracerExports c = capped.run({.evaporating = false, .max_conc = 0.01, .decay = 1});
  EXPECT_NEAR(c.interflow, 1e-6 * 0.01 * 3600 * 1000, 1e-12);
  EXPECT_NEAR(c.baseflow, 1e-6 * 0.01 * 3600 * 1000, 1e-12);
}

TEST(SoilTracerTransport, EvaporatingTracerInADryLayerGetsNothing) {
  TracerColumn col;
  col.f.G = kLayers;
  std::fill(col.A.begin(), col.A.end(), 4.0);
  col.theta[3] = 0;
  col.run({.evaporating = true, .max_conc = 0, .decay = 1});
  EXPECT_EQ(col.A[3], 0.0);
  EXPECT_NEAR(col.A[2], 4.0, 1e-12) << "no flows: concentrations stay";
}

TEST(SoilTracerSurface, InputRunoffAndOverflow) {
  const SoilTracer evaporating{.evaporating = true, .max_conc = 0, .decay = 1};
  const SoilTracer amounts{.evaporating = false, .max_conc = 2, .decay = 1};
  double store = 9;
  tracer_surface_input(evaporating, store, 3, 1.5, false, 0);
  EXPECT_EQ(store, 3) << "without ponding the input's concentration";
  store = 2;
  tracer_surface_input(evaporating, store, 5, 3, true, 1);
  EXPECT_DOUBLE_EQ(store, (2 * 1 + 5 * 3) / 4.0) << "with ponding the volume-weighted mean";
  store = 1;
  tracer_surface_input(amounts, store, 4, 2.5, false, 0);
  EXPECT_DOUBLE_EQ(store, 11);

  const double F = 3600 * 1000.0;
  store = 100;
  EXPECT_EQ(tracer_direct_runoff(amounts, store, 0, F), 0) << "Q = 0 gives no runoff";
  EXPECT_EQ(store, 100);
  const double runoff = tracer_direct_runoff(amounts, store, 1e-6, F);
  EXPECT_NEAR(runoff, 1e-6 * 2 * F, 1e-12) << "capped at Q · max_conc · F";
  EXPECT_NEAR(store, 100 - runoff, 1e-12);
  store = 0.5;
  EXPECT_DOUBLE_EQ(tracer_direct_runoff(amounts, store, 1e-6, F), 0.5) << "never more than the store";
  EXPECT_EQ(store, 0);

  store = 40;
  const SoilTracer loose{.evaporating = false, .max_conc = 1e6, .decay = 1};
  EXPECT_NEAR(tracer_ponding_overflow(loose, store, 1e-6, 4e-6, F), 10, 1e-12);
  EXPECT_NEAR(store, 30, 1e-12);
  EXPECT_EQ(tracer_ponding_overflow(loose, store, 0, 4e-6, F), 0);
}

TEST(SoilTracerDecay, FollowsTheHalfLife) {
  // Half-life 1 day, hourly sub-steps: 2^(-1/24) per sub-step, 0.5 after 24.
  const double f = decay_factor_per_substep(1.0, 60);
  EXPECT_NEAR(f, 0.971532, 5e-7);
  EXPECT_NEAR(std::pow(f, 24), 0.5, 1e-12);
  double amount = 1;
  for (int i = 0; i < 24 * 6; ++i) amount *= std::pow(decay_factor_per_substep(1.0, 60), 1.0 / 6);
  EXPECT_NEAR(amount, 0.5, 1e-9) << "six water iterations per sub-step";
  EXPECT_EQ(decay_factor_per_substep(-9999, 60), 1.0);
}

}  // namespace
}  // namespace tolvo::test
