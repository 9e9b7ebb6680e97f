#include "surface/potential_evaporation.h"

#include <gtest/gtest.h>

#include <cmath>

namespace tolvo {
namespace {

using Outcome = SunshineThreshold::Outcome;

TEST(PotentialEvaporationTest, SunshineThresholdFromTheCoefficients) {
  const struct {
    const char* label;
    std::array<double, 4> cs;
    Outcome outcome;
    double x0;
  } cases[] = {
      // Roots of the derivative 0.24310 and 4.6356; the larger lies outside 0..1.
      {"cubic", {0.072, -0.808, 1.749, -0.239}, Outcome::kFound, 0.24310},
      {"line", {0.5, -1, 0, 0}, Outcome::kFound, 0.5},
      {"line crossing below 0", {-0.5, -1, 0, 0}, Outcome::kNoRootInRange, -0.5},
      {"quadratic (x - 0.3)(x - 2)", {0.6, -2.3, 1, 0}, Outcome::kFound, 0.3},
      {"quadratic without real roots", {1, 0, 1, 0}, Outcome::kNoRootInRange, 0},
      {"constant", {0.3, 0, 0, 0}, Outcome::kNotEvenLinear, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const SunshineThreshold t = SunshineThresholdFromCoefficients(c.cs);
    EXPECT_EQ(t.outcome, c.outcome);
    EXPECT_NEAR(t.x0, c.x0, 5e-6);
  }
  const QuadraticRoots double_root = SolveQuadratic(-2, 1);
  EXPECT_EQ(double_root.count, 1);
  EXPECT_EQ(double_root.x1, 1);
  EXPECT_EQ(SolveQuadratic(0, 1).count, 0);
}

TEST(PotentialEvaporationTest, SunshineCloudinessAndRadiationRatio) {
  const std::array<double, 4> a{0.25, 0.5, 0.25, 0};
  const double r = RadiationRatioFromSunshine(a, 0.5);
  EXPECT_DOUBLE_EQ(r, 0.5625);
  EXPECT_NEAR(Cloudiness(r), 0.8038, 5e-5);
  EXPECT_NEAR(Cloudiness(1), 0.0384, 1e-12);
  EXPECT_EQ(Cloudiness(1.01), 0);
  EXPECT_EQ(Cloudiness(0), 0.997);
  const std::array<double, 4> cs{0.072, -0.808, 1.749, -0.239};
  EXPECT_EQ(SunshineFromRadiationRatio(cs, 0.2431, 0.2), 0);
  EXPECT_NEAR(SunshineFromRadiationRatio(cs, 0.2431, 0.6), 0.072 - 0.808 * 0.6 + 1.749 * 0.36 - 0.239 * 0.216, 1e-12);
  EXPECT_NEAR(SunshineFromRadiationRatio(cs, 0.2431, 1), 0.774, 1e-12);
}

TEST(PotentialEvaporationTest, SingleLayerFormulas) {
  // Lu et al. (2005), Hamon's formula: 12 h of daylight, 20 °C, coefficient 1:
  // 0.1651·1·216.7·23.38/293.3 = 2.852 mm/d.
  EXPECT_NEAR(HamonEvapotranspiration(1, 0.5, 20, 1440), 2.852, 0.005);
  EXPECT_NEAR(HamonEvapotranspiration(1, 0.5, 20, 720), 2.852 / 2, 0.003);

  // Haude below 0 °C takes the constants over ice.
  EXPECT_NEAR(HaudeSaturationVapourPressure(-5), 6.11 * std::exp(22.46 * -5 / 267.46), 1e-12);
  EXPECT_NEAR(HaudeSaturationVapourPressure(20), 6.11 * std::exp(17.62 * 20 / 263.12), 1e-12);
  EXPECT_NEAR(HaudeEvapotranspiration(0.3, -5, 0.5, 1440), 0.3 * 4.015 * 0.5, 1e-3);
  // A dry hot afternoon would give 0.5·42.4 mm: cut to 7 mm per day.
  EXPECT_EQ(HaudeEvapotranspiration(0.5, 30, 1, 1440), 7);
  EXPECT_EQ(HaudeEvapotranspiration(0.5, 30, 1, 720), 3.5);

  EXPECT_NEAR(WendlingEvapotranspiration(5000, 0.2, 0.5, 10, 1440),
              (0.36 * 5000 * 0.9 + 46.5) * 32 / (150 * 133.0), 1e-12);
}

}  // namespace
}  // namespace tolvo
