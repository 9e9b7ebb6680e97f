#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

#include "subsurface/column_fixture.h"

namespace tolvo::test {
namespace {

using HydraulicsTest = ColumnTest;

TEST_F(HydraulicsTest, DarcyFluxRunsDownTheHeadGradient) {
  // Head 1 m above head 0 m over a distance of 0.1 m at 1e-5 m/s: 1e-4 m/s downward.
  EXPECT_DOUBLE_EQ(darcy_flux(1e-5, 1, 0, 0.1, 0.1), -1e-4);
  EXPECT_DOUBLE_EQ(darcy_flux(1e-5, 0, 1, 0.1, 0.1), 1e-4);
  EXPECT_EQ(darcy_flux(0, 0, 1, 0.1, 0.1), 0);
}

TEST_F(HydraulicsTest, BoundaryConductivityCases) {
  const double ks = 1e-5;
  const double kr_half = soil_.RelativeConductivity(1, 0.25, 1.0);
  ASSERT_GT(kr_half, 0);
  ASSERT_LT(kr_half, 1);
  const double m = soil_.maxratio;
  struct Case {
    const char* name;
    double theta_j, theta_k;
    int G;
    double expected;
  };
  const double harmonic = 2 * (kr_half * ks) * ks / (kr_half * ks + ks);  // equal thicknesses
  const Case cases[] = {
      {"both relative conductivities 0, far above the water table", 0.078, 0.078, 8, 0},
      {"both relative conductivities 0, next to the water table", 0.078, 0.078, 3, 0},
      {"one 0: the ratio limit gives it the other's value / maxratio; larger taken", 0.078, 0.43, 8, ks},
      {"one 0 next to the water table: harmonic mean with the limited value", 0.078, 0.43, 3,
       2 * (ks / m) * ks / (ks / m + ks)},
      {"two layers above G: the larger conductivity", 0.25, 0.43, 5, ks},
      {"next to G: the thickness-weighted harmonic mean", 0.25, 0.43, 3, harmonic},
      {"below G: saturated conductivity", 0.25, 0.25, 1, ks},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    Fill(0.3);
    c_.theta0[2] = c_.theta_m[2] = k.theta_j;
    c_.theta0[3] = c_.theta_m[3] = k.theta_k;
    p_.G = k.G;
    EXPECT_NEAR(layer_boundary_conductivity(p_, c_, 2), k.expected, 1e-12 * ks);
  }
  // Clay layer next to the boundary: the clay conductivity times the relative conductivity
  // of the clay layer's content.
  Fill(0.3);
  p_.clay_layer = 3;
  p_.clay_ksat = 1e-9;
  c_.theta0[3] = c_.theta_m[3] = 0.43;
  EXPECT_NEAR(layer_boundary_conductivity(p_, c_, 2), soil_.RelativeConductivity(2, 0.43, 1.0) * 1e-9, 1e-21);
}

TEST_F(HydraulicsTest, InterflowCases) {
  p_.drainage_density = 0.01;
  p_.slope_factor = 0.5;
  struct Case {
    const char* name;
    double theta;
    double head_below_bottom;  // z[j] − H[j]
    double ks_below;
    int G;
    bool flows;
  };
  const Case cases[] = {
      {"wet layer over a slower layer above the water table", 0.42, 0.5, 1e-7, 8, true},
      {"suction at the bottom of 3.45 m or more", 0.42, 3.45, 1e-7, 8, false},
      {"no impeding layer (Ks[j] <= Ks[j+1])", 0.42, 0.5, 1e-5, 8, false},
      {"layer at the water table", 0.42, 0.5, 1e-7, 2, false},
      {"below field capacity: nothing drainable", 0.1, 0.5, 1e-7, 8, false},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    Fill(k.theta);
    p_.G = k.G;
    c_.Ks[3] = k.ks_below;
    c_.H[2] = c_.z[2] - k.head_below_bottom;
    layer_interflow(p_, c_, 2);
    if (k.flows) {
      const double drainable = (k.theta - soil_.ThetaForSuction(2, 3.45)) * c_.d[2] / p_.dt;
      const double expected = soil_.RelativeConductivity(2, k.theta, 1.0) * 1e-5 * 0.1 * 0.01 * 0.5;
      EXPECT_DOUBLE_EQ(c_.I[2], std::min(expected, drainable));
      EXPECT_GT(c_.I[2], 0);
    } else {
      EXPECT_EQ(c_.I[2], 0);
    }
  }
}

TEST_F(HydraulicsTest, FrozenGroundLimitsTheInputRate) {
  Fill(0.3);
  p_.thaw_depth = 0.05;  // inside layer 1
  p_.reduced_ksat = 1e-9;
  layer_hydraulic_properties(p_, c_, 0);
  column_fluxes(p_, c_, 1e-6);
  EXPECT_EQ(c_.q[0], -1e-9);
  for (int j = 1; j <= p_.n; ++j) EXPECT_EQ(c_.Ks[j], 1e-9);
}

// column_fluxes looks each position's relative conductivity and suction up once per
// iteration; its fluxes and interflow equal, to the last bit, those of the boundary kernels
// applied one boundary after the other. Wet and dry layers alternate, so that the flux limit
// bisects at several boundaries.
TEST_F(HydraulicsTest, ColumnFluxesEqualTheBoundaryKernelsInOrder) {
  struct Case {
    const char* name;
    int clay_layer;
    double liquid;  // liquid fraction of every layer's water
  };
  const std::vector<double> contents{0.3, 0.42, 0.1, 0.4, 0.12, 0.35, 0.2, 0.43, 0.43};
  for (const Case& k : {Case{"unfrozen", -9999, 1.0}, Case{"clay layer 4", 4, 1.0}, Case{"partly frozen", -9999, 0.6}}) {
    SCOPED_TRACE(k.name);
    const std::vector<double> liquid(static_cast<std::size_t>(p_.n) + 1, k.liquid);
    c_.liquid_fraction = k.liquid < 1 ? ConstColumnArray(std::span<const double>(liquid)) : ConstColumnArray();
    p_.ice_effectiveness = 1;
    p_.clay_layer = k.clay_layer;
    p_.clay_ksat = 1e-8;
    p_.G = 7;
    p_.W = c_.z[7] + 0.05;
    p_.drainage_density = 0.01;
    p_.slope_factor = 0.5;
    for (int j = 0; j <= p_.n; ++j) {
      c_.theta0[j] = c_.theta[j] = contents[static_cast<std::size_t>(j)];
      c_.theta_m[j] = c_.theta0[j] * 0.98;
      c_.q[j] = c_.I[j] = c_.R[j] = c_.X[j] = 0;
    }
    layer_hydraulic_properties(p_, c_, 0);
    ColumnScratch other(p_.n);
    const ColumnArrays o = other.arrays();
    for (const auto& [from, to] : {std::pair{c_.d, o.d}, {c_.theta_s, o.theta_s}, {c_.theta_r, o.theta_r},
                                   {c_.theta0, o.theta0}, {c_.theta_m, o.theta_m}, {c_.theta, o.theta}, {c_.z, o.z},
                                   {c_.H, o.H}, {c_.q, o.q}, {c_.I, o.I}, {c_.R, o.R}, {c_.X, o.X}}) {
      std::copy(from.begin(), from.end(), to.begin());
    }
    const double r = 2e-6;
    column_fluxes(p_, c_, r);

    ColumnArrays b = o;
    b.liquid_fraction = c_.liquid_fraction;
    for (int j = 0; j <= p_.n; ++j) b.Ks[j] = soil_.ksat[static_cast<std::size_t>(j)];
    b.q[0] = -r;
    const PositionRange range = active_range(ColumnKernel::kFluxes, p_, b);
    for (int j = range.first; j <= range.last; ++j) {
      b.q[j] = darcy_flux(layer_boundary_conductivity(p_, b, j), b.H[j], b.H[j + 1], b.d[j], b.d[j + 1]);
      layer_interflow(p_, b, j);
    }
    int limited = 0;
    for (int j = range.first; j <= range.last; ++j) {
      const double unlimited = b.q[j];
      b.q[j] = limit_layer_flux(p_, b, j);
      if (b.q[j] != unlimited) ++limited;
    }
    EXPECT_GE(limited, 2);
    for (int j = 0; j <= p_.n; ++j) {
      EXPECT_EQ(c_.q[j], b.q[j]) << j;
      EXPECT_EQ(c_.I[j], b.I[j]) << j;
    }
  }
}

TEST_F(HydraulicsTest, HeadsFollowTheWaterTable) {
  Fill(0.3);
  p_.G = 4;
  p_.W = c_.z[4] + 0.05;  // inside layer 4
  for (int j = 5; j <= p_.n; ++j) c_.theta0[j] = c_.theta_m[j] = 0.43;
  layer_hydraulic_properties(p_, c_, 0);
  EXPECT_EQ(c_.H[4], p_.W);
  for (int j = 5; j <= 6; ++j) EXPECT_EQ(c_.H[j], p_.W) << j;
  const double suction = soil_.SuctionForTheta(2, 0.3);
  EXPECT_DOUBLE_EQ(c_.H[2], (c_.z[1] + c_.z[2]) / 2 - suction);
}

TEST_F(HydraulicsTest, UpdateThetaWithinBoundsMakesOnePassAndNoChange) {
  Fill(0.3);
  for (int j = 0; j <= p_.n; ++j) c_.q[j] = -1e-7 * (j % 3);
  RiverTotals river;
  std::vector<double> q(c_.q.begin(), c_.q.end());
  EXPECT_EQ(update_theta(p_, c_, 10, river), 1);
  for (int j = 0; j <= p_.n; ++j) EXPECT_EQ(c_.q[j], q[static_cast<std::size_t>(j)]);
}

TEST_F(HydraulicsTest, UpdateThetaRemovesExcessAndDeficitThroughTheFluxes) {
  struct Case {
    const char* name;
    double theta;
    double inflow_top;  // downward flux into layer 3 [m/s]
  };
  const Case cases[] = {{"saturation excess pushed back upward", 0.42, 1e-4}, {"deficit", 0.08, -1e-4}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    Fill(k.theta);
    std::fill(c_.q.begin(), c_.q.end(), 0.0);
    c_.q[2] = -k.inflow_top;
    RiverTotals river;
    const double before = Water();
    EXPECT_GT(update_theta(p_, c_, 10, river), 1);
    for (int j = 1; j <= p_.n; ++j) {
      EXPECT_LE(c_.theta_n[j], c_.theta_s[j] + 1e-15);
      EXPECT_GE(c_.theta_n[j], c_.theta_r[j] - 1e-15);
    }
    int count = 0;
    iteration_error(p_, c_, 1, count);
    // Closed column: whatever the corrections, no water is made or lost.
    EXPECT_NEAR(Water(), before + (c_.q[p_.n] - c_.q[0]) * p_.dt, 1e-15);
  }
}

TEST_F(HydraulicsTest, IterationErrorMeansAndLimits) {
  Fill(0.3);
  std::fill(c_.q.begin(), c_.q.end(), 0.0);
  int count = 0;
  // Iterations 1..3: the plain mean of the last two iterates.
  c_.theta[2] = 0.2;
  EXPECT_DOUBLE_EQ(iteration_error(p_, c_, 1, count), 0.1);
  EXPECT_DOUBLE_EQ(c_.theta_m[2], 0.25);
  EXPECT_EQ(count, 0);
  // Iteration 5: running mean over the iterations after the third, n = 2.
  c_.theta_m[2] = 0.2;
  c_.theta[2] = 0.3;
  c_.theta0[2] = 0.5;
  EXPECT_DOUBLE_EQ(iteration_error(p_, c_, 5, count), 0.2);
  EXPECT_DOUBLE_EQ(c_.theta_m[2], (2 * 0.2 + 0.5) / 3);
  EXPECT_EQ(count, 2);
  // A content pushed outside 0..1 is limited to it.
  c_.q[1] = 1;
  iteration_error(p_, c_, 2, count);
  EXPECT_EQ(c_.theta[1], 1);
  EXPECT_EQ(c_.theta[2], 0);
  // A NaN content gives a NaN error (the solver stops on it).
  c_.q[1] = std::nan("");
  EXPECT_TRUE(std::isnan(iteration_error(p_, c_, 2, count)));
}

TEST(HydraulicsRange, EmptyColumnGetsNoFluxAndErrorZero) {
  ColumnParameters p;
  p.n = 0;
  p.G = 0;
  std::vector<double> v(16, 0.0);
  ColumnArrays c{};
  c.R = c.X = std::span<double>(v).first(1);
  int count = 0;
  EXPECT_EQ(iteration_error(p, c, 1, count), 0);
  EXPECT_GT(active_range(ColumnKernel::kFluxes, p, c).first, active_range(ColumnKernel::kFluxes, p, c).last);
}

TEST_F(HydraulicsTest, ActiveRangesStopBelowTheWaterTable) {
  Fill(0.3);
  p_.G = 3;
  p_.L = 1;
  struct Case {
    ColumnKernel kernel;
    int last;
  };
  for (const Case& k : {Case{ColumnKernel::kHeads, 5}, Case{ColumnKernel::kFluxes, 4}, Case{ColumnKernel::kUpdate, 8},
                        Case{ColumnKernel::kError, 5}}) {
    EXPECT_EQ(active_range(k.kernel, p_, c_).last, k.last);
  }
  c_.X[5] = c_.X[6] = 1e-9;  // exchange with a river in the layers below reaches further down
  EXPECT_EQ(active_range(ColumnKernel::kFluxes, p_, c_).last, 6);
}

}  // namespace
}  // namespace tolvo::test

namespace tolvo::test {
namespace {

// Three snow layers of 0.1 m (snow type: ksat 1e-4 m/s, θs 0.9, θr 0.01, α 10 1/m, n 2)
// on six loam layers, all snow layers holding snow, through one Richards iteration.
class SnowColumnTest : public LogFixture {
 protected:
  static constexpr int kN = 6;
  static constexpr int kS = 3;
  SnowColumnTest() : soil_(MakeLoam(log_, kN)), snow_(1), scratch_(kN, 1, kS) {
    snow_.ParseBlock(log_, "1 snow { method = MultipleHorizons; layers = 3; ksat = 1e-4; theta_sat = 0.9; "
                           "theta_res = 0.01; alpha = 10; Par_n = 2; thickness = 0.1; }\n");
    c_ = scratch_.arrays();
    p_ = {.soil = &soil_, .n = kN, .G = kN, .dt = 600, .snow = &snow_, .n_snow = kS, .first = 1 - kS,
          .snow_drainage_density = 10};
    c_.z[0] = 100;
    for (int j = -kS; j <= kN; ++j) {
      const bool snow = j <= 0;
      const SoilRecord& r = snow ? snow_ : soil_;
      const auto h = static_cast<std::size_t>(snow ? j + kS : j);
      c_.d[j] = r.thickness[h];
      c_.theta_s[j] = r.theta_sat[h];
      c_.theta_r[j] = r.theta_res[h];
      if (j > 0) c_.z[j] = c_.z[j - 1] - c_.d[j];
    }
    for (int j = 0; j > -kS; --j) c_.z[j - 1] = c_.z[j] + c_.d[j];
    p_.W = c_.z[kN];
  }
  // Water change [m] of positions first..last over the iteration.
  double Change(int first, int last) const {
    double w = 0;
    for (int j = first; j <= last; ++j) w += (c_.theta[j] - c_.theta0[j]) * c_.d[j];
    return w;
  }
  double Interflow(int first, int last) const {
    double i = 0;
    for (int j = first; j <= last; ++j) i += c_.I[j];
    return i;
  }

  SoilRecord soil_;
  SoilRecord snow_;
  ColumnScratch scratch_;
  ColumnArrays c_;
  ColumnParameters p_;
};

// The pack's water flows through the Richards iteration with the soil's: the input enters
// the top of the pack, the pack and the soil each change by their boundary fluxes and
// interflow, and they exchange water only through the flux at position 0, which never
// carries water up from the soil into the pack.
TEST_F(SnowColumnTest, PackWaterReachesTheSoilOnlyThroughPositionZero) {
  struct Case {
    const char* what;
    double snow_theta, soil_theta;
    double snow_liquid;  // liquid fraction of the snow's water (ice weighs fully)
    bool drains;         // the pack gives water to the soil
  };
  p_.snow_ice_effectiveness = 1;
  for (const Case& k : {Case{"wet snow over dry soil", 0.4, 0.12, 1, true},
                        Case{"dry snow over wet soil", 0.02, 0.42, 1, false},
                        Case{"frozen snow over dry soil", 0.4, 0.12, 0, false}}) {
    SCOPED_TRACE(k.what);
    std::vector<double> liquid(kS + kN + 1, 1.0);
    std::fill_n(liquid.begin(), kS + 1, k.snow_liquid);
    c_.liquid_fraction = ConstColumnArray(std::span<const double>(liquid), -kS);
    for (int j = -kS; j <= kN; ++j) {
      const double theta = j <= 0 ? k.snow_theta : k.soil_theta;
      c_.theta0[j] = c_.theta_m[j] = c_.theta_n[j] = c_.theta[j] = theta;
      c_.q[j] = c_.I[j] = c_.R[j] = c_.X[j] = 0;
    }
    const double r = 2e-7;
    RiverTotals river;
    const RichardsOutcome run = richards_iteration(SoilColumnKernels{}, {}, p_, c_, r, river);
    EXPECT_GT(run.iterations, 0);
    const double dt = p_.dt;
    EXPECT_NEAR(Change(1 - kS, 0), (c_.q[0] - c_.q[-kS] - Interflow(1 - kS, 0)) * dt, 1e-15);
    EXPECT_NEAR(Change(1, kN), (c_.q[kN] - c_.q[0] - Interflow(1, kN)) * dt, 1e-15);
    EXPECT_DOUBLE_EQ(c_.q[-kS], -r) << "the input enters the top of the pack";
    EXPECT_LE(c_.q[0], 0);
    if (k.drains) {
      EXPECT_LT(c_.q[0], 0);
      EXPECT_GT(c_.I[0], 0) << "the lowest snow layer drains along the pack over the slower soil";
    } else {
      EXPECT_EQ(c_.q[0], 0);
    }
    EXPECT_EQ(Interflow(1 - kS, -1), 0) << "snow layers over equally conducting snow have no interflow";
  }
}

// The dynamic time step follows the fastest layer from the top of the pack: 0.1 m of snow
// at 1e-4 m/s take 1000 s, the loam's layers 10000 s.
TEST_F(SnowColumnTest, DynamicStepStartsAtTheTopOfThePack) {
  for (int j = -kS; j <= kN; ++j) c_.theta[j] = 0.3;
  EXPECT_DOUBLE_EQ(dynamic_step_limit(p_, c_, kN, true, 3600), 1000);
  p_.first = 1;
  EXPECT_DOUBLE_EQ(dynamic_step_limit(p_, c_, kN, true, 20000), 10000);
}

}  // namespace
}  // namespace tolvo::test
