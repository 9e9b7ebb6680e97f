#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "subsurface/soil_layered_snow.h"

namespace tolvo::test {
namespace {

// A snow pack of n layers (positions 1 − n..0) of one cell, snow type with reference
// thickness 0.1 m and a target density of 300 kg/m³.
struct Pack {
  explicit Pack(int n)
      : n(n), m(static_cast<std::size_t>(n) + 1), solid(m, 0.0), liquid(m, 0.0), density(m, -9999.0),
        theta(m, -9999.0), theta_s(m, 0.9), d(m, -9999.0), fL(m, 0.0), T(m, -9999.0), ref(m, 0.1), dry(m, 300.0),
        par_m(m, 0.5), par_n(m, 2.0), alpha(m, 3.0) {}
  // Layer i (1..n) holding solid S and liquid L [mm] in thickness d_m.
  void set(int i, double S, double L, double d_m, double T_c) {
    const std::size_t k = static_cast<std::size_t>(i);
    solid[k] = S;
    liquid[k] = L;
    density[k] = (S + L) / d_m / 1000;
    at(theta)[i - n] = (S + L) / (1000 * d_m);
    at(d)[i - n] = d_m;
    at(fL)[i - n] = L / (S + L);
    at(T)[i - n] = T_c;
  }
  PositionArray at(std::vector<double>& v) { return {std::span<double>(v).subspan(1), 1 - n}; }
  double water(int i) { return at(theta)[i - n] < 0 ? 0.0 : at(theta)[i - n] * 1000 * at(d)[i - n]; }
  double column_water() {
    double w = 0;
    for (int i = 1; i <= n; ++i) w += water(i);
    return w;
  }
  double stored() {
    double w = 0;
    for (int i = 1; i <= n; ++i) w += solid[static_cast<std::size_t>(i)] + liquid[static_cast<std::size_t>(i)];
    return w;
  }
  double step(double K = 0.1) {
    const LayeredSnowParameters p{.holding_capacity = K, .factor = 1.22, .c_ice0 = 2090, .c_water = 4187};
    const LayeredSnowType type{ref, dry, par_m, par_n, alpha};
    return layered_snow_step(n, p, type, {solid, liquid, density},
                             {at(theta), at(theta_s), at(d), at(fL), at(T)});
  }
  int n;
  std::size_t m;
  std::vector<double> solid, liquid, density, theta, theta_s, d, fL, T, ref, dry, par_m, par_n, alpha;
};

// Thousands of random packs of 3 layers: the water before a step is the water after it plus
// the water released, in the column's view (θ · 1000 · d) and in the stacks (S + L), and
// the present layers stay the lowest ones.
TEST(LayeredSnow, RandomPacksKeepTheirWater) {
  std::mt19937 rng(17);
  std::uniform_real_distribution<double> u(0, 1);
  int vanished = 0, settled_or_merged = 0;
  for (int trial = 0; trial < 5000; ++trial) {
    Pack p(3);
    const int present = static_cast<int>(u(rng) * 4);
    for (int i = 4 - present; i <= 3; ++i) {
      const double S = u(rng) < 0.1 ? 0.03 * u(rng) : 40 * u(rng);
      const double L = 6 * u(rng);
      p.set(i, S, L, (S + L) / (1000 * (0.05 + 0.9 * u(rng))), -5 * u(rng));
      // The liquid fraction of the iteration may differ from the stored split.
      p.at(p.fL)[i - 3] = u(rng);
      // More solid water before the step (melt since); never more than the layer's
      // thickness holds at density 1.
      if (u(rng) < 0.3) {
        const std::size_t k = static_cast<std::size_t>(i);
        p.solid[k] = std::min(1.5 * p.solid[k], 1000 * p.at(p.d)[i - 3]);
      }
    }
    const double before = p.column_water();
    const double R = p.step();
    SCOPED_TRACE(trial);
    ASSERT_GE(R, 0);
    ASSERT_NEAR(before, p.column_water() + R, 1e-10 * (before + 1));
    ASSERT_NEAR(before, p.stored() + R, 1e-10 * (before + 1));
    bool seen = false;
    for (int i = 1; i <= 3; ++i) {
      const bool here = p.at(p.theta)[i - 3] >= 0;
      ASSERT_TRUE(!seen || here) << "an absent layer below a present one";
      seen = seen || here;
      if (!here) {
        ASSERT_EQ(p.solid[static_cast<std::size_t>(i)], 0);
        ASSERT_EQ(p.at(p.d)[i - 3], -9999);
      }
    }
    const int after = p.at(p.theta)[0 - 2] >= 0 ? 3 : p.at(p.theta)[1 - 2] >= 0 ? 2 : p.at(p.theta)[2 - 2] >= 0;
    vanished += after < present;
    settled_or_merged += after != present;
  }
  EXPECT_GT(vanished, 100) << "the random packs exercise the vanishing layer";
  EXPECT_GT(settled_or_merged, 100);
}

TEST(LayeredSnow, VanishingLayerReleasesAllItsWaterAndTheLayersMoveDown) {
  Pack p(3);
  p.dry.assign(p.m, 100.0);  // no layer settles
  p.set(1, 30, 1, 0.25, -4);
  p.set(2, 20, 1, 0.1, -2);
  p.set(3, 0.04, 0.5, 0.01, 0);
  const double before = p.column_water();
  const double R = p.step(1.0);
  EXPECT_NEAR(R, 0.54, 1e-12) << "its liquid and its last solid water";
  // Layer 2 went to layer 3; layer 1 (0.25 m) was split: 0.1 m stay in layer 2, 0.15 m on top.
  EXPECT_DOUBLE_EQ(p.at(p.d)[0], 0.1);
  EXPECT_DOUBLE_EQ(p.solid[3], 20);
  EXPECT_DOUBLE_EQ(p.at(p.d)[-1], 0.1);
  EXPECT_DOUBLE_EQ(p.at(p.d)[-2], 0.15);
  EXPECT_DOUBLE_EQ(p.solid[1], 18);
  EXPECT_DOUBLE_EQ(p.solid[2], 12);
  EXPECT_DOUBLE_EQ(p.liquid[1], 0.6);
  EXPECT_DOUBLE_EQ(p.density[1], p.density[2]) << "both parts keep the old density";
  EXPECT_DOUBLE_EQ(p.at(p.T)[-2], -4);
  EXPECT_NEAR(before, p.column_water() + R, 1e-12);
}

TEST(LayeredSnow, LiquidAboveHoldingCapacityDrainsAndSetsTheFreezingTemperature) {
  Pack p(1);
  p.set(1, 50, 10, 0.2, 0);
  const double R = p.step(0.1);
  EXPECT_NEAR(R, 5, 1e-12);
  EXPECT_DOUBLE_EQ(p.liquid[1], 5);
  const double f = 5.0 / 55;
  EXPECT_DOUBLE_EQ(p.at(p.fL)[0], f);
  EXPECT_DOUBLE_EQ(p.at(p.T)[0],
                   -std::pow(std::pow(1 - f, 1 / 0.5), 1 / 2.0) / (1.22 * 3.0 * std::pow(f, 1 / (0.5 * 2.0))));
  EXPECT_DOUBLE_EQ(p.at(p.d)[0], 0.2 * 55 / 60);

  // A saturated layer that melts much in one iteration shrinks for the lost ice and for
  // the drained water; it stays thick enough for its water at the density of water.
  Pack m(1);
  m.set(1, 24.7, 5.0, 0.0317, -1);
  m.at(m.fL)[0] = 0.75;
  const double before = m.column_water();
  const double released = m.step(0.1);
  EXPECT_LE(m.at(m.theta)[0], 1);
  EXPECT_NEAR(before, m.column_water() + released, 1e-12);
  EXPECT_NEAR(before, m.solid[1] + m.liquid[1] + released, 1e-12);
}

TEST(LayeredSnow, SettlingAndMergingNeedSeveralLayers) {
  // A single light layer never settles: only the per-layer phase runs.
  Pack one(1);
  one.set(1, 10, 0, 0.2, -3);
  one.step();
  EXPECT_DOUBLE_EQ(one.at(one.d)[0], 0.2);
  EXPECT_DOUBLE_EQ(one.density[1], 0.05);

  // The same bottom layer under a second one settles to 300 kg/m³, becomes thinner than
  // a quarter of its reference thickness and takes the upper layer in.
  Pack two(2);
  two.set(1, 4, 0, 0.05, -6);
  two.set(2, 6, 0, 0.12, -2);
  const double before = two.column_water();
  const double R = two.step();
  EXPECT_EQ(R, 0);
  EXPECT_DOUBLE_EQ(two.solid[2], 10);
  EXPECT_DOUBLE_EQ(two.at(two.d)[0], 0.02 + 0.05);
  EXPECT_DOUBLE_EQ(two.at(two.T)[0], (6 * -2.0 + 4 * -6.0) / 10);
  EXPECT_LT(two.at(two.theta)[-1], 0) << "the merged layer is no thicker than layer 1's reference";
  EXPECT_NEAR(before, two.column_water(), 1e-12);
}

TEST(LayeredSnow, MeltBeyondTheTopTwoSoilLayersIsExcess) {
  std::vector<double> theta{0, 0.3, 0.35}, theta_s{0, 0.4, 0.4}, d{0, 0.1, 0.2};
  EXPECT_EQ(melt_into_top_layers(5, theta, theta_s, d), 0);
  EXPECT_DOUBLE_EQ(theta[1], 0.35);
  const double excess = melt_into_top_layers(30, theta, theta_s, d);
  // Layer 1 takes 5 mm, layer 2 10 mm: 15 mm are left.
  EXPECT_NEAR(excess, 15, 1e-12);
  EXPECT_EQ(theta[1], 0.4);
  EXPECT_EQ(theta[2], 0.4);
}

// Thirty days of hourly snowfall and melt on a pack of 3 layers over two soil layers: the
// water of the snow layers and the soil layers plus what went off as excess equals the
// water at the start plus the snowfall, every hour, to round-off.
TEST(LayeredSnow, SnowfallAndMeltCloseWithTheSoil) {
  Pack p(3);
  p.set(3, 20, 0, 0.08, -3);
  std::vector<double> theta{0, 0.25, 0.3}, theta_s{0, 0.4, 0.4}, d{0, 0.1, 0.2};
  const auto soil_water = [&] { return (theta[1] * d[1] + theta[2] * d[2]) * 1000; };
  double start = p.column_water() + soil_water();
  double fallen = 0, excess = 0;
  int with_excess = 0;
  for (int hour = 0; hour < 30 * 24; ++hour) {
    const int day = hour / 24;
    const bool snowing = day % 6 < 3;
    if (snowing) {
      // New snow of 0.5 mm on the top present layer, or a new top layer.
      int top = 1;
      while (top <= 3 && p.at(p.theta)[top - 3] < 0) ++top;
      if (top > 3) {
        p.set(3, 0.5, 0, 0.005, -2);
      } else if (top > 1 && p.at(p.d)[top - 3] > 0.12) {
        p.set(top - 1, 0.5, 0, 0.005, -2);
      } else {
        const double w = p.water(top) + 0.5;
        p.at(p.d)[top - 3] += 0.005;
        p.at(p.theta)[top - 3] = w / (1000 * p.at(p.d)[top - 3]);
      }
      fallen += 0.5;
    }
    // The liquid fraction of the hour: frozen while it snows, melting in between.
    for (int i = 1; i <= 3; ++i) p.at(p.fL)[i - 3] = snowing ? 0.02 : std::min(1.0, 0.1 + 0.05 * (hour % 24));
    const double released = p.step();
    const double left = melt_into_top_layers(released, theta, theta_s, d);
    excess += left;
    with_excess += left > 0;
    // The soil drains a little between the hours.
    for (std::size_t l = 1; l <= 2; ++l) {
      const double drained = std::max(0.0, theta[l] - 0.3) * 0.1;
      theta[l] -= drained;
      excess += drained * d[l] * 1000;
    }
    ASSERT_NEAR(p.column_water() + soil_water() + excess, start + fallen, 1e-9) << "hour " << hour;
    ASSERT_NEAR(p.column_water(), p.stored(), 1e-9);
  }
  EXPECT_GT(with_excess, 0) << "melt beyond the two soil layers went off as excess";
}

}  // namespace
}  // namespace tolvo::test
