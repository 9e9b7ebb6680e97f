#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <vector>

#include "framework/error_code.h"
#include "subsurface/soil_model_fixture.h"
#include "subsurface/soil_pre_spin_up.h"

namespace tolvo::test {
namespace {

TEST(SoilPreSpinUp, TtopAfterSmithAndRiseborough) {
  // Smith & Riseborough (1996): TDD 1000, FDD 2000 °C·d, λt 1.2, λf 2.1, n-factors 1, one
  // year: X = (1200 − 4200) / (2.1 · 365) = −3.914 °C.
  EXPECT_NEAR(ttop_temperature(1, 1.2, 1000, 1, 2.1, 2000, 1), -3.914, 5e-4);
  // Thawed and frozen conductivities of a layer (Johansen mixing with the air term).
  const ThawedFrozenConductivity l = pre_spin_up_conductivity(0.2, 0.4, 2.0, 0.5562, 2.33);
  EXPECT_NEAR(l.thawed, 1.1671, 1e-4);
  EXPECT_NEAR(l.frozen, 0.8 * std::pow(2.0, 0.75) * std::pow(2.33, 0.25) + 0.0262 * 0.2, 1e-12);
}

TEST(SoilPreSpinUp, ReferenceDepthAndLayer) {
  const std::vector<double> tenths(11, 0.1);
  EXPECT_EQ(reference_depth_layer(tenths, 10), 10) << "1 m reached at the lower boundary of layer 10";
  EXPECT_EQ(reference_depth_layer(tenths, 5), 5) << "a column shallower than 1 m uses its last layer";
  const std::vector<double> thick{0, 1.2, 0.5};
  EXPECT_EQ(reference_depth_layer(thick, 2), 1);
  const int expected[] = {1, 1, 1, 1, 1, 2, 2, 2, 3};
  for (int k = 1; k <= 9; ++k) EXPECT_EQ(ttop_reference_layer(k), expected[k - 1]) << k;
}

TEST(SoilPreSpinUp, DegreeDaysOfDays) {
  double f = 0, t = 0, d = 0, a = 0;
  const DegreeDayCell cell{f, t, d, a};
  // A day that starts in the middle: its mean is that of the steps seen.
  accumulate_degree_days(cell, -2, false, 1);
  accumulate_degree_days(cell, -4, true, 2);
  EXPECT_EQ(f, 3);
  EXPECT_EQ(d, 0);
  // A mean of exactly 0 thaws (adds 0).
  accumulate_degree_days(cell, 1, false, 1);
  accumulate_degree_days(cell, -1, true, 2);
  EXPECT_EQ(t, 0);
  EXPECT_EQ(f, 3);
  accumulate_degree_days(cell, 5, true, 1);
  EXPECT_EQ(t, 5);
  EXPECT_EQ(a, -1);
}

TEST(SoilPreSpinUp, Profiles) {
  // Five layers of 0.3 m; heights of the lower boundaries 100 − 0.3 i.
  const int N = 5;
  std::vector<double> dz(N + 1, 0.3), h(N + 1);
  for (int i = 0; i <= N; ++i) h[static_cast<std::size_t>(i)] = 100 - 0.3 * i;
  const std::vector<ThawedFrozenConductivity> lambda(N + 1, {1.5, 2.0});
  const double G = 0.06;
  const int k = reference_depth_layer(dz, N);
  ASSERT_EQ(k, 4);
  {
    SCOPED_TRACE("X < 0: frozen at depth");
    std::vector<double> T(N + 1, 99);
    pre_spin_up_profile(-2, 3, G, k, dz, h, lambda, T);
    EXPECT_EQ(T[4], -2);
    EXPECT_DOUBLE_EQ(T[5], -2 + 0.3 * G / 2.0) << "below 0 °C the frozen conductivity";
    EXPECT_DOUBLE_EQ(T[0], 3) << "the surface gets the mean air temperature";
    EXPECT_NEAR(T[2], 3 + (-2 - 3) * 0.6 / 1.2, 1e-12);
  }
  {
    SCOPED_TRACE("X = 0: unfrozen");
    std::vector<double> T(N + 1, 99);
    pre_spin_up_profile(0, 3, G, k, dz, h, lambda, T);
    EXPECT_EQ(T[0], 99) << "level 0 keeps its value";
    EXPECT_EQ(T[1], 3);
    EXPECT_DOUBLE_EQ(T[5], 3 + 4 * 0.3 * G / 1.5);
  }
  {
    SCOPED_TRACE("X < 0 at k = 1");
    std::vector<double> T(N + 1, 99);
    pre_spin_up_profile(-1, 2, G, 1, dz, h, lambda, T);
    EXPECT_EQ(T[1], -1);
    EXPECT_DOUBLE_EQ(T[0], 2);
    EXPECT_DOUBLE_EQ(T[2], -1 + 0.3 * G / 2.0);
  }
}

}  // namespace

const char* const kHeat =
    "[heat_transfer]\n1\n11\n0\n0\n10 base\n-0.01 lapse\n700\n1400\n0.5\n1e-11\n0.56\n2.3\n4180\n1900\n2000\n"
    "330000\n1000\n1.3\n0.5\n60\n1800\n1\n1\ntemper.txt\ntemper.stat 0\ntemper.asc\n0\nthaw.asc\n0\n";

namespace {

TEST_F(SoilModelTest, PreSpinUpNeedsHeatTransfer) {
  Add("temperature", 5);
  ASSERT_EQ(Build(SoilSectionText()), 0) << console_.str();
  EXPECT_EQ(CodeOf([&] { model_->accumulatePreSpinUp({2000, 1, 1, 1}); }), kPreSpinUpWithoutHeat);
  EXPECT_TRUE(Logged("heat transfer model not active in unsatzon_model. This is required for pre-SpinUp!"));
  EXPECT_EQ(IndexOf("FreezingDegreeDays"), 0) << "nothing is allocated";
}

TEST_F(SoilModelTest, PreSpinUpSetsTheSoilTemperatures) {
  GridView air = Add("temperature", 0);
  ASSERT_EQ(Build(SoilSectionText(), kHeat), 0) << console_.str();
  const int steps_per_day = static_cast<int>(1440 / model_->GetTimeStep());
  // Two days: −5 °C, then +3 °C.
  for (int day = 1; day <= 2; ++day) {
    for (int r = 1; r <= kRows; ++r) {
      for (int c = 1; c <= kCols; ++c) air(r, c) = day == 1 ? -5 : 3;
    }
    for (int s = 1; s <= steps_per_day; ++s) {
      ASSERT_EQ(CodeOf([&] { model_->accumulatePreSpinUp({2000, 1, day, s * 24 / steps_per_day}); }), 0)
          << console_.str();
    }
  }
  ASSERT_GT(IndexOf("DailyTemperature"), 0);
  EXPECT_EQ(grid("FreezingDegreeDays")(2, 2), 5);
  EXPECT_EQ(grid("thawingDegreeDays")(2, 2), 3);
  EXPECT_EQ(grid("FreezingDegreeDays")(1, 3), kNodata) << "a cell without zone";
  ASSERT_EQ(CodeOf([&] { model_->finishPreSpinUp(); }), 0) << console_.str();
  for (const char* name : {"FreezingDegreeDays", "thawingDegreeDays", "AnnualTemperature"}) {
    EXPECT_EQ(IndexOf(name), 0) << name << " released";
    bool found = false;
    for (const auto& e : std::filesystem::directory_iterator(dir_.path())) {
      found = found || e.path().filename().string().starts_with(name);
    }
    EXPECT_TRUE(found) << name << " written";
  }
  bool stack_found = false;
  for (const auto& e : std::filesystem::directory_iterator(dir_.path())) {
    stack_found = stack_found || e.path().filename().string().starts_with("Soil_Temperature_Stack");
  }
  EXPECT_TRUE(stack_found);
  // FDD 5 against TDD 3 over two days: frozen at depth. The five layers of 0.1 m are
  // shallower than 1 m, so X sits in layer 5 and the surface holds the mean −1 °C.
  const StackView T = stack("Soil_Temperature_Stack");
  EXPECT_DOUBLE_EQ(T(2, 2, 0), -1);
  EXPECT_LT(T(2, 2, 5), 0);
  EXPECT_NEAR(T(2, 2, 3), -1 + (T(2, 2, 5) + 1) * 0.6, 1e-12);
  EXPECT_EQ(T(1, 3, 5), kNodata) << "a cell without zone keeps its value";
}

}  // namespace
}  // namespace tolvo::test

namespace tolvo::test {
namespace {

// A freezing-degree-day grid already in the table is taken as it stands; the three other
// accumulators are made all the same, and the grid stays in the table at the end.
TEST_F(SoilModelTest, PreSpinUpTakesAGivenFreezingDegreeDayGrid) {
  Add("temperature", -2);
  Add("FreezingDegreeDays", 7);
  ASSERT_EQ(Build(SoilSectionText(), kHeat), 0) << console_.str();
  ASSERT_EQ(CodeOf([&] { model_->accumulatePreSpinUp({2000, 1, 1, 24}); }), 0) << console_.str();
  EXPECT_EQ(grid("FreezingDegreeDays")(2, 2), 9);
  EXPECT_EQ(grid("thawingDegreeDays")(2, 2), 0);
  EXPECT_EQ(grid("AnnualTemperature")(2, 2), -2);
  ASSERT_EQ(CodeOf([&] { model_->finishPreSpinUp(); }), 0) << console_.str();
  EXPECT_GT(IndexOf("FreezingDegreeDays"), 0);
  EXPECT_EQ(IndexOf("thawingDegreeDays"), 0);
}

}  // namespace
}  // namespace tolvo::test
