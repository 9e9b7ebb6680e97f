// Normal flow, waterlevel-discharge tables, sub-channels and the units of the routing.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "routing/manning.h"
#include "routing/routing_units.h"
#include "routing/wq_table.h"

namespace tolvo {
namespace {

// Normal depth of a rectangular channel by bisection on Manning's equation
// Q = b h M R^(2/3) sqrt(I), R = b h / (b + 2 h) (Chow 1959, Open-Channel Hydraulics,
// sec. 6-2), solved independently of the fixed point under test.
double NormalDepth(double q_m3s, double b, double m, double slope) {
  double low = 0;
  double high = 100;
  for (int i = 0; i < 200; ++i) {
    const double h = (low + high) / 2;
    const double r = b * h / (b + 2 * h);
    (b * h * m * std::pow(r, 2.0 / 3.0) * std::sqrt(slope) < q_m3s ? low : high) = h;
  }
  return (low + high) / 2;
}

TEST(ManningVelocity, ReachesTheNormalFlowOfRectangularChannels) {
  const struct {
    double q_m3s, width_m, strickler, slope;
  } cases[] = {
      {10, 10, 30, 0.001},    // the example of the reference table below: h 1.119 m, v 0.894 m/s
      {0.5, 2, 25, 0.01},     // a brook
      {300, 40, 35, 0.0005},  // a river
      {2, 5, 40, 0.02},       // a steep mountain stream
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.q_m3s);
    const double h = NormalDepth(c.q_m3s, c.width_m, c.strickler, c.slope);
    const double v = c.q_m3s / (c.width_m * h);
    const ManningFlow flow = ManningVelocity(c.q_m3s, c.width_m, 1.0, c.strickler, std::sqrt(c.slope), 0.005, 50);
    EXPECT_NEAR(flow.velocity_ms, v, 0.005);
    EXPECT_NEAR(flow.depth_m, h, 0.01);
    EXPECT_NEAR(flow.hydraulic_radius_m, flow.depth_m * c.width_m / (c.width_m + 2 * flow.depth_m), 1e-12);
  }
  EXPECT_NEAR(NormalDepth(10, 10, 30, 0.001), 1.119, 0.0005);
  EXPECT_NEAR(10 / (10 * NormalDepth(10, 10, 30, 0.001)), 0.894, 0.0005);
}

// The table of a channel: rows, normal flow in the main channel and the split with the
// flood plain once the main channel is full.
class WQTableTest : public ::testing::Test {
 protected:
  WQTable Build(const ChannelParameters& channel, const WQRange& range, double dt_min = 60) {
    WQTable table;
    const std::size_t n = static_cast<std::size_t>(range.row_count()) + 1;
    for (auto* row : {&table.q, &table.q_step, &table.Q, &table.v, &table.vm, &table.vf, &table.t, &table.Rm, &table.Rf,
                      &table.dm, &table.df, &table.flood_plain_share}) {
      row->assign(n, 0.0);
    }
    table.element_count.assign(n, 0);
    FillWQRows(table, channel, range, dt_min, 1.0);
    return table;
  }
  // b = 10 m, d = 2 m, Mm = 30, I = 0.001, L = 10 km, Ac = 100 km2; flood plains 100 m
  // wide with Mf = 10.
  ChannelParameters reference_ = WithDefaults({.kh_h = 5,
                                               .kv_h = 10,
                                               .bm_m = 10,
                                               .bf_m = 100,
                                               .d_m = 2,
                                               .mm_m13s = 30,
                                               .mf_m13s = 10,
                                               .slope = 0.001,
                                               .length_m = 10000,
                                               .catchment_km2 = 100});
  WQRange range_{.qmin = 1, .qmax = 10000, .intervals = 40};
};

TEST_F(WQTableTest, RowsSpanTheRangeLogarithmically) {
  const WQTable table = Build(reference_, range_);
  ASSERT_EQ(table.q.size(), 42u);
  EXPECT_NEAR(table.q[1], 1, 1e-9);
  EXPECT_NEAR(table.q[41], 10000, 1e-9);
  // Row 21 lies halfway on the logarithmic scale: 100 l/s/km2 over 100 km2 = 10 m3/s.
  EXPECT_NEAR(table.q[21], 100, 1e-9);
  EXPECT_NEAR(table.Q[21], 10, 1e-11);
  EXPECT_NEAR(table.q_step[21], 0.36, 1e-12);  // 100 l/s/km2 for 60 min = 0.36 mm
  for (int r = 2; r <= 41; ++r) EXPECT_NEAR(table.q[r] / table.q[r - 1], std::pow(10.0, 0.1), 1e-12) << r;

  // 10 m3/s stays in the main channel: its normal flow (Chow 1959), h 1.119 m, v 0.894 m/s.
  EXPECT_NEAR(table.dm[21], NormalDepth(10, 10, 30, 0.001), 0.01);
  EXPECT_NEAR(table.vm[21], 10 / (10 * NormalDepth(10, 10, 30, 0.001)), 0.005);
  EXPECT_EQ(table.df[21], 0);
  EXPECT_EQ(table.vf[21], 0);
  EXPECT_EQ(table.flood_plain_share[21], 0);
  EXPECT_EQ(table.v[21], table.vm[21]);
  EXPECT_NEAR(table.t[21], 10000 / table.v[21] / 3600, 1e-12);
  EXPECT_NEAR(table.t[21], 3.107, 0.005);
}

TEST_F(WQTableTest, AFullMainChannelSharesItsDischargeWithTheFloodPlainAtOneLevel) {
  const WQTable table = Build(reference_, range_);
  int flooded_rows = 0;
  for (int r = 1; r <= 41; ++r) {
    SCOPED_TRACE(r);
    if (table.df[r] == 0) continue;
    ++flooded_rows;
    // Both parts stand at one water level and carry the whole discharge between them.
    EXPECT_LE(std::fabs(table.dm[r] - table.df[r] - 2), 0.01);
    const double main = table.vm[r] * table.dm[r] * 10;
    const double plain = table.vf[r] * table.df[r] * 100;
    EXPECT_NEAR(main + plain, table.Q[r], 0.02 * table.Q[r]);
    EXPECT_NEAR(table.flood_plain_share[r], plain / table.Q[r], 0.02);
    EXPECT_GT(table.vm[r], table.vf[r]);  // the rougher, shallower flood plain flows slower
    EXPECT_NEAR(table.v[r], (1 - table.flood_plain_share[r]) * table.vm[r] + table.flood_plain_share[r] * table.vf[r],
                1e-12);
  }
  // 1000 m3/s (row 41) cannot pass a 10 m x 2 m channel alone.
  EXPECT_GT(flooded_rows, 0);
  EXPECT_GT(table.df[41], 0);
}

TEST_F(WQTableTest, DefaultsReplaceEveryValueNotAboveZero) {
  const ChannelParameters p = WithDefaults({.kh_h = 0,
                                            .kv_h = -1,
                                            .bm_m = 0,
                                            .bf_m = -2,
                                            .d_m = 0,
                                            .mm_m13s = -3,
                                            .mf_m13s = 0,
                                            .slope = 0,
                                            .length_m = -4,
                                            .catchment_km2 = 0});
  EXPECT_EQ(p.kh_h, 0.01);
  EXPECT_EQ(p.kv_h, 0.01);
  EXPECT_EQ(p.bm_m, 0.1);
  EXPECT_EQ(p.bf_m, 0.1);
  EXPECT_EQ(p.d_m, 0.1);
  EXPECT_EQ(p.mm_m13s, 1.0);
  EXPECT_EQ(p.mf_m13s, 1.0);
  EXPECT_EQ(p.sqrt_slope, 0.0316);
  EXPECT_EQ(p.length_m, 1.0);
  EXPECT_EQ(p.catchment_km2, 1e-6);
  EXPECT_EQ(WithDefaults({.slope = 0.04}).sqrt_slope, 0.2);
}

TEST_F(WQTableTest, AChannelTooSmallForTheVelocityToleranceStillFlowsInEveryRow) {
  // Every value left to its default: 0.1 m wide, Ac = 1e-6 km2, so that velocities lie
  // below the 0.005 m/s to which the velocity is iterated and the main channel overflows
  // at once. Each part keeps a discharge of at least 0 and every row a velocity.
  const WQTable table = Build(WithDefaults({}), range_);
  for (int r = 1; r <= 41; ++r) {
    SCOPED_TRACE(r);
    EXPECT_GT(table.v[r], 0);
    EXPECT_TRUE(std::isfinite(table.t[r]));
    EXPECT_GE(table.flood_plain_share[r], 0);
    EXPECT_LE(table.flood_plain_share[r], 1);
  }
  EXPECT_GE(ReachCount(table.t[1], table.t[41], 60), 1);
}

TEST(ReachCount, EverySubChannelSpreadsItsTravelTimesOverAtMostOneStep) {
  const struct {
    double slowest_h, fastest_h, dt_min;
    int reaches;
  } cases[] = {
      {1.4, 0.5, 60, 1},  // within one step: one sub-channel
      {1.5, 0.5, 60, 1},  // exactly one step apart
      {3.0, 1.0, 60, 2},  // 2 h spread: 1 h per sub-channel
      {10.5, 0.5, 60, 10}, {10.5, 0.5, 30, 20}, {10.6, 0.5, 60, 11}, {2.0, 2.0, 1440, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.slowest_h);
    const int s = ReachCount(c.slowest_h, c.fastest_h, c.dt_min);
    EXPECT_EQ(s, c.reaches);
    if (s > 1) {
      EXPECT_GT(c.slowest_h / (s - 1), c.fastest_h / (s - 1) + c.dt_min / 60);
    }
  }
  // Travel times that are no numbers end the search at once.
  EXPECT_GE(ReachCount(std::numeric_limits<double>::quiet_NaN(), 1, 60), 1);
  EXPECT_GE(ReachCount(std::numeric_limits<double>::infinity(), 1, 60), 1);
}

TEST(CountElements, ASubChannelHoldsItsTravelTimeInSubIntervals) {
  // K = 4 sub-intervals of 15 min; two sub-channels; 3 h and 1.5 h through the channel.
  WQTable table;
  table.t = {0, 3.0, 1.5, 0.2};
  table.element_count.assign(4, 0);
  table.reach_count = 2;
  ASSERT_TRUE(CountElements(table, 4, 60));
  EXPECT_EQ(table.element_count, (std::vector<int>{0, 6, 3, 0}));  // 1.5 h, 0.75 h, 0.1 h per sub-channel
  EXPECT_EQ(table.cascade_length, (6 + 4) * 2);
  // A cascade longer than an int can count is refused, never wrapped.
  table.t = {0, 1e12};
  table.element_count.assign(2, 0);
  EXPECT_FALSE(CountElements(table, 4, 60));
}

TEST(RowIndex, FindsTheLastRowBelowTheDischarge) {
  const WQRange range{.qmin = 1, .qmax = 10000, .intervals = 40};
  const auto mm = [](double q_lskm2) { return q_lskm2 * 60 / 16666.668; };  // for dt = 60 min
  const struct {
    const char* what;
    double q_mm;
    int row;
  } cases[] = {
      {"no discharge", 0, 1},
      {"negative discharge", -5, 1},
      {"qmin", mm(1), 1},
      {"between rows 22 (125.9) and 23 (158.5)", mm(150), 22},
      {"just above row 21 (100)", mm(100.001), 21},
      {"qmax: the row below it", mm(10000), 40},
      {"just above qmax", mm(10000.01), 41},
      {"above qmax", mm(1e6), 41},
      {"beyond any number", std::numeric_limits<double>::infinity(), 41},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(RowIndex(c.q_mm, 60, range), c.row);
  }
}

TEST(RoutingUnits, RoutingMillimetresAndCubicMetresConvertBothWays) {
  // 2 m3/s over 10 km2 for 60 min: 7200 m3 on 10^7 m2 = 0.72 mm.
  EXPECT_NEAR(ToRoutingMillimetres(2, 10, 60), 0.72, 1e-15);
  EXPECT_NEAR(ToCubicMetresPerSecond(0.72, 10, 60), 2, 1e-7);
  // A daily step over 1 km2: 1 m3/s is 86.4 mm.
  EXPECT_NEAR(ToRoutingMillimetres(1, 1, 1440), 86.4, 1e-12);
  EXPECT_NEAR(ToCubicMetresPerSecond(86.4, 1, 1440), 1, 1e-7);
}

TEST(RoutingUnits, MixConcentrationWeighsByVolume) {
  const struct {
    double a, b, c, d, mix;
  } cases[] = {
      {2, 4, 1, 3, 3.5},   // 1 unit at 2 and 3 units at 4
      {2, 4, -1, 3, 3.5},  // volumes count by their amount
      {2, 4, 0, 5, 4},
      {2, 4, 0, 0, 0},  // nothing mixed
  };
  for (const auto& c : cases) EXPECT_DOUBLE_EQ(MixConcentration(c.a, c.b, c.c, c.d), c.mix);
}

}  // namespace
}  // namespace tolvo
