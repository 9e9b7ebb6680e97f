#include "framework/exact_sum.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

namespace tolvo {
namespace {

double Sum(const std::vector<double>& addends) {
  ExactSum sum;
  for (const double x : addends) sum.Add(x);
  return sum.Value();
}

TEST(ExactSum, RoundsTheExactSumOnceToNearestEven) {
  constexpr double kMax = std::numeric_limits<double>::max();
  constexpr double kTiny = std::numeric_limits<double>::denorm_min();
  constexpr double kInf = std::numeric_limits<double>::infinity();
  const double two53 = std::ldexp(1.0, 53);
  struct Case {
    const char* label;
    std::vector<double> addends;
    double expected;
  };
  // Expected values by hand: each is the exact sum of the addends (doubles as written),
  // rounded once.
  const std::vector<Case> cases = {
      {"nothing added", {}, 0.0},
      {"cancellation of large terms", {1e300, 1.0, -1e300}, 1.0},
      {"ones below the spacing at 2^53 add up", {two53, 1.0, 1.0}, two53 + 2},
      {"a tie rounds to the even neighbour below", {two53, 1.0}, two53},
      {"a tie rounds to the even neighbour above", {two53 + 2, 1.0}, two53 + 4},
      {"a bit below the tie decides it", {1.0, std::ldexp(1.0, -53), std::ldexp(1.0, -80)}, 1.0 + std::ldexp(1.0, -52)},
      {"half an ulp without more rounds to even", {1.0, std::ldexp(1.0, -53)}, 1.0},
      // 0.1 is 0.1000000000000000055511151231257827...; ten of them are 1 + 5.6e-17, and
      // the nearest double is 1 (adding in turn gives 0.9999999999999999).
      {"ten times 0.1", std::vector<double>(10, 0.1), 1.0},
      {"negative sum", {-0.5, -0.25, 0.125}, -0.625},
      {"subnormals", {kTiny, kTiny, kTiny}, 3 * kTiny},
      {"smallest normal less the smallest subnormal",
       {std::numeric_limits<double>::min(), -kTiny},
       std::nextafter(std::numeric_limits<double>::min(), 0.0)},
      {"beyond the largest double and back", {kMax, kMax, kMax, -kMax, -kMax}, kMax},
      {"beyond the largest double", {kMax, kMax}, kInf},
      {"below the lowest double", {-kMax, -kMax}, -kInf},
      {"infinity absorbs finite terms", {1.0, kInf, -5.0}, kInf},
      {"negative infinity", {-kInf, 1e308}, -kInf},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(Sum(c.addends), c.expected);
  }
  EXPECT_TRUE(std::isnan(Sum({kInf, -kInf})));
  EXPECT_TRUE(std::isnan(Sum({1.0, std::numeric_limits<double>::quiet_NaN()})));
}

// The property the statistics tables rely on: the same addends give the same double in
// any order and however they are split into merged partial sums.
TEST(ExactSum, OrderAndSplittingDoNotChangeTheValue) {
  std::mt19937_64 random(42);
  std::uniform_real_distribution<double> mantissa(-1.0, 1.0);
  std::uniform_int_distribution<int> exponent(-40, 40);
  std::vector<double> addends(5000);
  for (double& x : addends) x = std::ldexp(mantissa(random), exponent(random));

  ExactSum in_order;
  for (const double x : addends) in_order.Add(x);
  const double expected = in_order.Value();

  double naive_forward = 0;
  for (const double x : addends) naive_forward += x;
  double naive_backward = 0;
  for (auto it = addends.rbegin(); it != addends.rend(); ++it) naive_backward += *it;
  ASSERT_NE(naive_forward, naive_backward) << "the addends must be sensitive to the order of plain addition";

  for (int trial = 0; trial < 5; ++trial) {
    SCOPED_TRACE(trial);
    std::shuffle(addends.begin(), addends.end(), random);
    // Split at random points into parts, summed apart and merged from the last part on.
    std::vector<ExactSum> parts(7);
    std::uniform_int_distribution<std::size_t> part(0, parts.size() - 1);
    for (const double x : addends) parts[part(random)].Add(x);
    ExactSum merged;
    for (auto it = parts.rbegin(); it != parts.rend(); ++it) merged.Merge(*it);
    EXPECT_EQ(merged.Value(), expected);
  }
}

TEST(ExactSum, PackedDigitsRestoreTheSum) {
  ExactSum sum;
  for (const double x : {1e-3, -2.5e7, 0.1, 3.0e-12}) sum.Add(x);
  sum.Normalize();
  const auto [first, last] = sum.UsedDigits();
  ASSERT_LE(first, last);
  std::vector<std::int64_t> packed(static_cast<std::size_t>(last - first + 1 + ExactSum::kCounters));
  sum.Pack(first, last, packed);
  ExactSum restored;
  restored.Add(123.0);  // cleared by Unpack
  restored.Unpack(first, last, packed);
  EXPECT_EQ(restored.Value(), sum.Value());
}

}  // namespace
}  // namespace tolvo
