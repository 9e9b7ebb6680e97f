#include "tables/soil_hydraulics.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <vector>

#include "tables/soil_table.h"

namespace tolvo {
namespace {

// A record of `layers` layers with one set of van Genuchten parameters (m = 1 - 1/n,
// tau = 0.5) and built hydraulic and freezing tables.
SoilRecord MakeSoil(const VanGenuchtenParameters& p, int layers, double factor = 1.0) {
  SoilRecord soil;
  soil.layerCount = layers;
  for (std::vector<double>* values : {&soil.theta_sat, &soil.theta_res, &soil.alpha, &soil.Par_n, &soil.Par_m,
                                      &soil.Par_tau, &soil.ksat, &soil.DryDensity, &soil.DryHeatCapacity}) {
    values->assign(static_cast<std::size_t>(layers) + 1, 0.0);
  }
  for (int l = 0; l <= layers; ++l) {
    soil.theta_sat[l] = p.theta_sat;
    soil.theta_res[l] = p.theta_res;
    soil.alpha[l] = p.alpha;
    soil.Par_n[l] = p.n;
    soil.Par_m[l] = p.m;
    soil.Par_tau[l] = p.tau;
    soil.ksat[l] = 1e-5;
  }
  for (int l = 0; l <= layers; ++l) soil.BuildHydraulicTables(l);
  soil.liquidFractionTable = LayerTables(layers, soil.freezingSteps + 1);
  soil.liquidFractionSlopeTable = LayerTables(layers, soil.freezingSteps + 1);
  soil.freezingShiftTable = LayerTables(layers, soil.freezingSteps + 1);
  for (int l = 1; l <= layers; ++l) soil.BuildFreezingTables(l, factor);
  return soil;
}

VanGenuchtenParameters Params(double theta_r, double theta_s, double alpha, double n) {
  return {theta_s, theta_r, alpha, n, 1 - 1 / n, 0.5};
}

// Carsel and Parrish (1988) class means, alpha in 1/m.
const VanGenuchtenParameters kSandyLoam = Params(0.065, 0.41, 7.5, 1.89);
const VanGenuchtenParameters kClay = Params(0.068, 0.38, 0.8, 1.09);

// Closed forms of the Mualem–van Genuchten model with m = 1 - 1/n, written in terms of
// the suction h: theta(h) and K_r(h) = [1 - (a h)^(n-1) (1 + (a h)^n)^-m]^2 / (1 + (a h)^n)^(m tau).
double ClosedFormTheta(const VanGenuchtenParameters& p, double h) {
  return p.theta_res + (p.theta_sat - p.theta_res) * std::pow(1 + std::pow(p.alpha * h, p.n), -p.m);
}
double ClosedFormConductivity(const VanGenuchtenParameters& p, double h) {
  const double ah = p.alpha * h;
  const double inner = 1 - std::pow(ah, p.n - 1) * std::pow(1 + std::pow(ah, p.n), -p.m);
  return inner * inner / std::pow(1 + std::pow(ah, p.n), p.m * p.tau);
}

TEST(SoilHydraulics, TablesAgreeWithTheClosedFormMualemVanGenuchtenFunctions) {
  for (const VanGenuchtenParameters& p : {kSandyLoam, kClay}) {
    SCOPED_TRACE(p.n);
    const SoilRecord soil = MakeSoil(p, 2);
    for (int l = 0; l <= 2; ++l) {
      for (int i = 1; i < kSuctionStepCount; ++i) {
        const double h = kSuctionSteps[i];
        EXPECT_NEAR(soil.retentionTable[l][i], ClosedFormTheta(p, h), 1e-9) << "step " << i;
        EXPECT_EQ(soil.thetaTable[l][i], soil.retentionTable[l][i]);
        // At h = 0 the closed form of K_r is 0^(n-1) ... = 1: saturation.
        EXPECT_NEAR(soil.conductivityTable[l][i], i == 1 ? 1.0 : ClosedFormConductivity(p, h), 1e-9) << "step " << i;
      }
      EXPECT_EQ(soil.retentionTable[l][0], p.theta_sat);
      EXPECT_EQ(soil.thetaTable[l][0], p.theta_sat);
      EXPECT_EQ(soil.retentionTable[l][30], p.theta_res);
      EXPECT_EQ(soil.conductivityTable[l][30], 0.0);
      EXPECT_EQ(soil.suctionSteps[l][22], 3.45);
      EXPECT_EQ(soil.suctionSteps[l][30], 150.0);
    }
  }
}

TEST(SoilHydraulics, ThetaForSuction) {
  const SoilRecord soil = MakeSoil(kSandyLoam, 1);
  const auto& r = soil.retentionTable[1];
  struct Case {
    double h;
    double theta;
  };
  const Case cases[] = {
      {3.45, r[22]},                         // an exact step: no interpolation error
      {150, r[30]},     {400, r[30]},        // at and beyond the last step: theta_res
      {0, r[0]},        {-2, r[0]},          // no suction: saturation
      {0.0003, r[1]},   {0.0005, r[1]},      // below 0.001 of interval width the lower step holds
      {0.0008, r[2]},                        // (0.0005, 0.001]: the water content at 0.0005
      {0.015, (r[7] + r[8]) / 2},            // halfway between 0.01 and 0.02
      {3.025, (r[21] + r[22]) / 2},          // halfway between 2.6 and 3.45
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.h);
    EXPECT_NEAR(soil.ThetaForSuction(1, c.h), c.theta, 1e-15);
  }
  EXPECT_EQ(soil.ThetaForSuction(1, 3.45), r[22]);
}

TEST(SoilHydraulics, SuctionForThetaAndRelativeConductivity) {
  const SoilRecord soil = MakeSoil(kClay, 1);
  const auto& theta = soil.thetaTable[1];
  const auto& k = soil.conductivityTable[1];
  EXPECT_EQ(soil.SuctionForTheta(1, kClay.theta_sat), 0.0);
  EXPECT_EQ(soil.SuctionForTheta(1, 0.5), 0.0);
  EXPECT_EQ(soil.SuctionForTheta(1, kClay.theta_res), 150.0);
  EXPECT_EQ(soil.SuctionForTheta(1, 0.01), 150.0);
  EXPECT_NEAR(soil.SuctionForTheta(1, (theta[21] + theta[22]) / 2), 3.025, 1e-12);
  EXPECT_NEAR(soil.SuctionForTheta(1, theta[10]), kSuctionSteps[10], 1e-12);

  EXPECT_EQ(soil.RelativeConductivity(1, kClay.theta_sat, 0.9), 1.0);
  EXPECT_EQ(soil.RelativeConductivity(1, 0.01, 0.3), 0.0);  // below theta_res
  EXPECT_NEAR(soil.RelativeConductivity(1, theta[10], 0.9), k[10], 1e-15);
  EXPECT_NEAR(soil.RelativeConductivity(1, 0.9, (theta[14] + theta[15]) / 2), (k[14] + k[15]) / 2, 1e-15);
  // The smaller of the two water contents counts.
  EXPECT_EQ(soil.RelativeConductivity(1, 0.3, 0.25), soil.RelativeConductivity(1, 0.25, 0.25));
  EXPECT_LT(soil.RelativeConductivity(1, 0.3, 0.25), soil.RelativeConductivity(1, 0.3, 0.3));
}

// A search that starts at any bracket gives the suction of the plain search to the last
// bit, at the table's entries, between them and outside the curve, and hands back the
// bracket that holds the content.
TEST(SoilHydraulics, SuctionSearchFromAnyBracketEqualsThePlainSearch) {
  for (const VanGenuchtenParameters& vg : {kSandyLoam, kClay}) {
    const SoilRecord soil = MakeSoil(vg, 1);
    const auto r = soil.retentionTable[1];
    std::vector<double> contents{vg.theta_res - 0.01, vg.theta_sat + 0.01};
    for (int i = 0; i <= kSuctionStepCount; ++i) contents.push_back(r[i]);
    for (int i = 0; i <= 400; ++i) contents.push_back(vg.theta_res + (vg.theta_sat - vg.theta_res) * i / 400);
    for (const double theta : contents) {
      for (int start = 1; start < kSuctionStepCount; ++start) {
        int bracket = start;
        const double suction = soil.SuctionForTheta(1, theta, bracket);
        EXPECT_EQ(std::bit_cast<std::uint64_t>(suction), std::bit_cast<std::uint64_t>(soil.SuctionForTheta(1, theta)))
            << theta << " from bracket " << start;
        if (theta > r[kSuctionStepCount] && theta < r[1]) {
          EXPECT_TRUE(r[bracket] > theta && theta >= r[bracket + 1]) << theta << " from bracket " << start;
        }
      }
    }
  }
}

TEST(SoilHydraulics, FreezingTablesFollowTheRetentionCurveOfTemperature) {
  constexpr double kFactor = 1.2;  // suction per K
  const VanGenuchtenParameters& p = kSandyLoam;
  const SoilRecord soil = MakeSoil(p, 1, kFactor);
  const auto fraction = soil.liquidFractionTable[1];
  const auto slope = soil.liquidFractionSlopeTable[1];
  const auto liquid = [&](double t) { return std::pow(1 + std::pow(std::fabs(t) * kFactor * p.alpha, p.n), -p.m); };
  EXPECT_EQ(fraction[0], 1.0);
  EXPECT_EQ(slope[0], 0.0);
  for (int i : {1, 10, 137, 500, 1000}) {
    SCOPED_TRACE(i);
    const double t = i * -0.01;
    EXPECT_NEAR(fraction[i], liquid(t), 1e-12);
    // The slope is dL/dT, here by a central difference.
    const double dt = 1e-6;
    EXPECT_NEAR(slope[i], (liquid(t + dt) - liquid(t - dt)) / (2 * dt), 1e-5 * slope[i]);
  }

  // Shift: none at saturation, larger the drier the soil, never positive.
  const auto shift = soil.freezingShiftTable[1];
  EXPECT_EQ(shift[1000], 0.0);
  for (int k = 1; k <= 1000; ++k) {
    ASSERT_LE(shift[k], 0.0) << k;
    ASSERT_GE(shift[k], shift[k - 1]) << k;
  }
  EXPECT_GT(soil.FreezingShift(1, 0.3), soil.FreezingShift(1, 0.9));
  EXPECT_EQ(soil.FreezingShift(1, 1.0), 0.0);
  EXPECT_EQ(soil.FreezingShift(1, -0.5), std::fabs(shift[0]));
}

TEST(SoilHydraulics, ShiftFollowsTheThreePiecesOfTheSlopeTarget) {
  // T_max is the temperature of the largest slope; the target temperature a of step k
  // maps to 0 above T_max, 0.5 (a - T_max) down to 1.3 T_max, and a - 1.15 T_max below.
  const VanGenuchtenParameters& p = kClay;
  const SoilRecord soil = MakeSoil(p, 1, 1.0);
  const auto slope = soil.liquidFractionSlopeTable[1];
  int i_max = 1;
  for (int i = 2; i <= 1000; ++i) {
    if (slope[i] > slope[i_max]) i_max = i;
  }
  const double t_max = i_max * -0.01;
  const double e_max = slope[i_max];
  for (int k : {0, 250, 700, 999, 1000}) {  // far, far, far, half, none
    SCOPED_TRACE(k);
    const double g = k * 0.001 * e_max;
    // The target temperature by a plain search from the cold end.
    double a = -10;
    if (slope[1000] < g) {
      int j = 999;
      while (j >= 1 && slope[j] < g) --j;
      const double w = (g - slope[j + 1]) / (slope[j] - slope[j + 1]);
      a = (w * j + (1 - w) * (j + 1)) * -0.01;
    }
    const double expected = a >= t_max ? 0 : (a < 1.3 * t_max ? a - 1.15 * t_max : 0.5 * (a - t_max));
    EXPECT_NEAR(soil.freezingShiftTable[1][k], expected, 1e-9);
  }
}

TEST(SoilHydraulics, LiquidFractionsByTemperatureAndWaterContent) {
  const VanGenuchtenParameters& p = kSandyLoam;
  const SoilRecord soil = MakeSoil(p, 3, 1.0);
  const auto fraction = soil.liquidFractionTable[1];
  const auto slope = soil.liquidFractionSlopeTable[1];
  // Layer i stands at index i - 1 of the caller's arrays (offset -1).
  const std::vector<double> temperatures{0.5, -0.505, -10};
  const std::vector<double> water{p.theta_res + 0.2, p.theta_sat, p.theta_sat};
  std::vector<double> fractions(3, -1);
  std::vector<double> slopes(3, -1);
  soil.LiquidFractions(-1, fractions, slopes, temperatures, water);
  EXPECT_EQ(fractions[0], 1.0);
  EXPECT_EQ(slopes[0], 0.0);
  // Saturated: no shift; -0.505 °C lies halfway between steps 50 and 51.
  EXPECT_NEAR(fractions[1], (fraction[50] + fraction[51]) / 2, 1e-12);
  EXPECT_NEAR(slopes[1], (slope[50] + slope[51]) / 2, 1e-12);
  EXPECT_EQ(fractions[2], 0.0);
  EXPECT_EQ(slopes[2], 0.0);

  // A drier layer freezes later: more liquid at the same temperature.
  const std::vector<double> cold{0, -0.3, -0.3, -12};
  const std::vector<double> wet{0, p.theta_sat, p.theta_res + 0.1, p.theta_sat};
  std::vector<double> values(4, -1);
  soil.LiquidFractionValues(values, cold, wet);
  EXPECT_GT(values[2], values[1]);
  EXPECT_EQ(values[3], 0.0);
  std::vector<double> only_slopes(4, -1);
  soil.LiquidFractionSlopes(only_slopes, cold, wet);
  std::vector<double> both_fractions(4, -1);
  std::vector<double> both_slopes(4, -1);
  soil.LiquidFractions(0, both_fractions, both_slopes, cold, wet);
  for (int i = 1; i <= 3; ++i) {
    EXPECT_EQ(values[i], both_fractions[i]) << i;
    EXPECT_EQ(only_slopes[i], both_slopes[i]) << i;
  }
  // At freezingTmin itself the slope variant reads the last step instead of past it.
  const std::vector<double> at_min{0, -10, -10, -10};
  soil.LiquidFractionSlopes(only_slopes, at_min, wet);
  EXPECT_EQ(only_slopes[1], slope[1000]);

  // Without temperatures nothing is written.
  std::vector<double> untouched(4, 7);
  soil.LiquidFractions(0, untouched, untouched, {}, wet);
  EXPECT_EQ(untouched, std::vector<double>(4, 7));
}

TEST(SoilHydraulics, HeatCapacitiesBlendIceAndWater) {
  SoilRecord soil = MakeSoil(kSandyLoam, 3);
  soil.DryDensity.assign(4, 1500);
  soil.DryHeatCapacity.assign(4, 0.8);
  // L = 0.5, theta = 0.3, b = 1000, c = 4 (water), d = 2 (ice at 0 °C), e = 1 (ice at -20 °C):
  // C = ((1 - L) w + L c) theta b + 1500 * 0.8 + 7.
  const std::vector<double> temperatures{0, 5, -10, -25};
  const std::vector<double> liquid(4, 0.5);
  const std::vector<double> extra(4, 7);
  const std::vector<double> water(4, 0.3);
  std::vector<double> capacity(4, 0);
  soil.HeatCapacities(0, temperatures, capacity, liquid, extra, water, 1000, 4, 2, 1);
  EXPECT_NEAR(capacity[1], (0.5 * 2 + 2) * 300 + 1207, 1e-9);    // w = d
  EXPECT_NEAR(capacity[2], (0.5 * 1.5 + 2) * 300 + 1207, 1e-9);  // w = (d + e) / 2
  EXPECT_NEAR(capacity[3], (0.5 * 1 + 2) * 300 + 1207, 1e-9);    // w = e
}

TEST(SoilHydraulics, FrozenConductivitiesRunFromKToTheFrozenMinimum) {
  SoilRecord soil = MakeSoil(kSandyLoam, 2);
  soil.KMinFrozenSoil = 1e-9;
  soil.logKMinFrozenSoil = std::log(1e-9);
  const std::vector<double> water{0, 0.41, 0.41};
  const std::vector<double> reference{0, 0.41, 0.41};
  std::vector<double> k(3, 0);
  soil.FrozenConductivities(k, {}, water, reference);
  EXPECT_EQ(k[1], 1e-5);
  soil.FrozenConductivities(k, std::vector<double>{0, 1, 0}, water, reference);
  EXPECT_NEAR(k[1], 1e-5, 1e-17);  // all liquid: ksat at saturation
  EXPECT_NEAR(k[2], 1e-9, 1e-21);  // all frozen and saturated: the frozen minimum
  soil.FrozenConductivities(k, std::vector<double>{0, 0.5, 0.5}, water, reference);
  EXPECT_NEAR(k[1], std::sqrt(1e-5 * 1e-9), 1e-19);  // half frozen: the geometric mean
}

}  // namespace
}  // namespace tolvo
