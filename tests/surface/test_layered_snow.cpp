// Changes of the layered snow pack of one cell: three levels of at most 0.1 m of fresh
// snow of 100 kg/m3 each, so every level below the top holds 10 mm of water equivalent.
#include <gtest/gtest.h>

#include <array>

#include "surface/layered_snow.h"

namespace tolvo::test {
namespace {

struct Pack {
  static constexpr int n = 3;
  Stack solid{1, 1, 1, n, 1}, liquid{1, 1, 1, n, 1}, thickness{1, 1, 1, n, 1}, density{1, 1, 1, n, 1},
      temperature{1, 1, 1, n, 1};
  Grid upper{1, 1, 1, 1};
  std::array<double, n + 1> max_thickness{0, 0.1, 0.1, 0.1};
  std::array<double, n + 1> dry_density{0, 100, 100, 100};

  explicit Pack(bool heat = false) : heat_transfer(heat) {
    for (Stack* s : {&solid, &liquid}) s->fill(0);
    for (Stack* s : {&thickness, &density, &temperature}) s->fill(kEmptySnowLevel);
    upper(1, 1) = n + 1;
  }
  LayeredSnow view() {
    return {solid.view(),
            liquid.view(),
            thickness.view(),
            density.view(),
            heat_transfer ? temperature.view() : StackView{},
            upper.view(),
            n,
            max_thickness,
            dry_density,
            -1};
  }
  bool heat_transfer;
};

TEST(LayeredSnow, NewSnowFillsFromTheBottomLevelUp) {
  Pack pack;
  ChangeLayeredSnow(pack.view(), 1, 1, 1, 15, -2);
  EXPECT_DOUBLE_EQ(pack.solid(1, 1, 3), 10);
  EXPECT_DOUBLE_EQ(pack.solid(1, 1, 2), 5);
  EXPECT_EQ(pack.solid(1, 1, 1), 0);
  EXPECT_EQ(pack.upper(1, 1), 2);
  EXPECT_DOUBLE_EQ(pack.thickness(1, 1, 3), 0.1);
  EXPECT_DOUBLE_EQ(pack.density(1, 1, 2), 0.1);

  // Weight 2 of 12.5 mm: level 2 takes its last 5 mm, the top level takes 20 mm beyond
  // its largest thickness.
  ChangeLayeredSnow(pack.view(), 1, 1, 2, 12.5, -2);
  EXPECT_DOUBLE_EQ(pack.solid(1, 1, 2), 10);
  EXPECT_DOUBLE_EQ(pack.solid(1, 1, 1), 20);
  EXPECT_DOUBLE_EQ(pack.thickness(1, 1, 1), 0.2);
  EXPECT_EQ(pack.upper(1, 1), 1);
  EXPECT_DOUBLE_EQ(pack.solid(1, 1, 0), 40);
}

TEST(LayeredSnow, RemovalTakesFromTheTopAndEmptiesThePack) {
  Pack pack;
  ChangeLayeredSnow(pack.view(), 1, 1, 1, 25, -2);
  pack.liquid(1, 1, 2) = 1;
  pack.liquid(1, 1, 3) = 2;
  ChangeLayeredSnow(pack.view(), 1, 1, 1, -7, 0);  // empties level 1 (5 mm), 2 mm of level 2
  EXPECT_EQ(pack.upper(1, 1), 2);
  EXPECT_DOUBLE_EQ(pack.solid(1, 1, 2), 8);
  EXPECT_DOUBLE_EQ(pack.thickness(1, 1, 2), 9.0 / 0.1 / 1000);
  EXPECT_EQ(pack.thickness(1, 1, 1), kEmptySnowLevel);
  EXPECT_DOUBLE_EQ(pack.solid(1, 1, 0), 18);

  ChangeLayeredSnow(pack.view(), 1, 1, 1, -100, 0);
  EXPECT_EQ(pack.upper(1, 1), Pack::n + 1);
  EXPECT_EQ(pack.solid(1, 1, 0), 0);
  EXPECT_DOUBLE_EQ(pack.liquid(1, 1, 0), 3);
  for (int l = 1; l <= Pack::n; ++l) {
    EXPECT_EQ(pack.solid(1, 1, l), 0);
    EXPECT_EQ(pack.liquid(1, 1, l), 0);
    EXPECT_EQ(pack.density(1, 1, l), kEmptySnowLevel);
  }
  // A removal from an empty pack changes nothing.
  ChangeLayeredSnow(pack.view(), 1, 1, 1, -5, 0);
  EXPECT_EQ(pack.upper(1, 1), Pack::n + 1);
  EXPECT_DOUBLE_EQ(pack.liquid(1, 1, 0), 3);
}

TEST(LayeredSnow, FreshSnowTemperatureWithHeatTransfer) {
  // 3 deg C with an offset of -1 K is above freezing: the snow enters at 0 deg C and mixes
  // by mass with the level's snow at -10 deg C.
  Pack pack(true);
  ChangeLayeredSnow(pack.view(), 1, 1, 1, 4, 3);
  EXPECT_EQ(pack.temperature(1, 1, 3), 0);
  pack.temperature(1, 1, 3) = -10;
  ChangeLayeredSnow(pack.view(), 1, 1, 1, 4, -5);  // enters at -6 deg C
  EXPECT_DOUBLE_EQ(pack.temperature(1, 1, 3), (-10 * 4 + -6 * 4) / 8.0);
}

}  // namespace
}  // namespace tolvo::test
