// The start-state kernels of a soil column, on columns whose surface lies at 0 m so that
// the layer depths are exact.
#include <gtest/gtest.h>

#include <vector>

#include "subsurface/soil_start_state.h"

namespace tolvo {
namespace {

// Layer bottoms of layers 0.1, 0.2, 0.3 and 0.4 m thick below a surface at 0 m.
const std::vector<double> kHeights = {0, -0.1, -0.3, -0.6, -1.0};

TEST(SoilStartState, NumberOfUnsaturatedLayers) {
  const struct {
    int layers;
    double divisor;
    int n;
  } from_divisor[] = {{5, 2, 3}, {5, 1, 5}, {5, 4, 2}, {5, 10, 1}, {5, 0.5, 5}, {5, 1e-9, 5}, {1, 1, 1}};
  for (const auto& c : from_divisor) {
    EXPECT_EQ(UnsaturatedLayersFromDivisor(c.layers, c.divisor), c.n) << c.layers << " / " << c.divisor;
  }
  const struct {
    double depth;
    int n;
  } from_depth[] = {{0.05, 0}, {0.1, 0}, {0.15, 1}, {0.3, 1}, {0.31, 2}, {0.9, 3}, {1.5, 4}};
  for (const auto& c : from_depth) EXPECT_EQ(UnsaturatedLayersAboveDepth(kHeights, c.depth), c.n) << c.depth;
}

TEST(SoilStartState, GroundwaterSurfaceClimbsThroughTheSaturatedLayersOnTheBottom) {
  const std::vector<double> sat = {0.4, 0.4, 0.4, 0.4, 0.4};
  const struct {
    const char* label;
    std::vector<double> theta;
    GroundwaterSurface expected;
  } cases[] = {
      {"layers 3 and 4 saturated", {0.4, 0.2, 0.3, 0.4, 0.4}, {3, 0.3, -0.3}},
      {"only the bottom layer saturated", {0.4, 0.2, 0.3, 0.35, 0.4}, {0, 0.2, -1.0}},
      {"every layer saturated", {0.4, 0.4, 0.4, 0.4, 0.4}, {1, 0.4, 0}},
      {"a saturated layer above an unsaturated one stays out", {0.4, 0.4, 0.2, 0.4, 0.4}, {3, 0.2, -0.3}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const GroundwaterSurface s = FindGroundwaterSurface(c.theta, sat, kHeights);
    EXPECT_EQ(s.level, c.expected.level);
    EXPECT_DOUBLE_EQ(s.theta_above, c.expected.theta_above);
    EXPECT_DOUBLE_EQ(s.distance_m, c.expected.distance_m);
  }
}

TEST(SoilStartState, DrainLayerAndRootZoneWater) {
  const struct {
    double depth;
    int layer;
  } drains[] = {{0.005, 0}, {0.01, 0}, {0.05, 1}, {0.11, 1}, {0.12, 2}, {0.8, 4}, {3, 4}};
  for (const auto& c : drains) EXPECT_EQ(DrainageLayer(kHeights, c.depth), c.layer) << c.depth;

  const std::vector<double> theta = {0.4, 0.1, 0.2, 0.3, 0.4};
  // 0.1 x 0.1 + 0.2 x 0.2 + 0.05 x 0.3 for 0.35 m; the whole column for 2 m.
  EXPECT_DOUBLE_EQ(WaterInDepthRange(kHeights, theta, 0.35), 0.01 + 0.04 + 0.015);
  EXPECT_DOUBLE_EQ(WaterInDepthRange(kHeights, theta, 2), 0.01 + 0.04 + 0.09 + 0.16);
  EXPECT_DOUBLE_EQ(WaterInDepthRange(kHeights, theta, 0.05), 0.005);
}

}  // namespace
}  // namespace tolvo
