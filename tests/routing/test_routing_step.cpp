// The routing step of a routing sub-basin object: steady state, the translation and
// linear-reservoir response of a channel, conservation of water and tracers in the cascade.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

#include "framework/tracer_settings_record.h"
#include "routing/routingclass.h"
#include "support/test_support.h"

namespace tolvo {
namespace {

constexpr int K = 4;

// Sub-basin 10 (index 1, share 0.4) flows through one channel into sub-basin 20 (index
// 2, share 0.6) in a basin of 10 km2; steps of 60 minutes, K = 4 sub-intervals.
class RoutingStepTest : public test::LogFixture {
 protected:
  void Build(const ChannelValues& values, const WQRange& range, int n_tracers = 0, int observed_substitution = 0) {
    code_index_.assign(21, 0);
    code_index_[10] = 1;
    code_index_[20] = 2;
    abfrel_.relative_area = {10, 0.4, 0.6};
    abfrel_.scale = {1, 1, 1};
    tracers_.resize(static_cast<std::size_t>(n_tracers) + 1);
    const RoutingObjectSetup setup{.control_file = {},
                                   .n_subbasins = 2,
                                   .dt_min = 60,
                                   .area_km2 = 10,
                                   .scale_factor = 1,
                                   .counts = {.ol = 1},
                                   .own_code = 20,
                                   .abfrel = &abfrel_,
                                   .code_index = code_index_,
                                   .n_tracers = n_tracers,
                                   .tracers = tracers_,
                                   .grids = nullptr,
                                   .zones = {},
                                   .column_ranges = {},
                                   .largest_code = 20,
                                   .geometry = {.nodata_value = -9999},
                                   .strip = {},
                                   .lake_model = 0,
                                   .readgrids = 0,
                                   .input_directory = {},
                                   .output_directory = {}};
    object_ = std::make_unique<routingclass>(log_, setup);
    object_->InitChannel(1, 10, {}, K, observed_substitution, values, range, true);
    object_->InitAreaShares();
    routed_ = TracerRows(n_tracers, 2);
    flow_ = SubIntervalFlows(n_tracers, K, 2);
    cascade_ = TranslationCascades(n_tracers, 2);
  }
  // Starts from the runoff of both sub-basins as the steady state.
  void Start(double runoff_10, double runoff_20) {
    routed_[0][1] = runoff_10;
    routed_[0][2] = runoff_20;
    object_->SetFlowArrays(routed_, flow_, cascade_, nullptr, gauges_);
    object_->FillChannels();
  }
  // One real step with the given runoff per sub-interval of sub-basin 10 and a constant
  // runoff of sub-basin 20.
  void Step(const std::vector<double>& runoff_10, double runoff_20) {
    for (int s = 1; s <= K; ++s) {
      flow_(0, s, 1) = runoff_10[static_cast<std::size_t>(s) - 1];
      flow_(0, s, 2) = runoff_20;
    }
    object_->RouteTimeStep(2000, 1, 1, 1);
  }

  std::vector<int> code_index_;
  AreaShares abfrel_;
  std::vector<TracerSettingsRecord> tracers_;
  std::vector<int> gauges_ = {0, 0, 0};
  std::unique_ptr<routingclass> object_;
  TracerRows routed_;
  SubIntervalFlows flow_;
  TranslationCascades cascade_;
};

ChannelValues River(double k_h) {
  return {.kh_h = k_h,
          .kv_h = k_h,
          .bm_m = 10,
          .bf_m = 100,
          .d_m = 2,
          .mm_m13s = 30,
          .mf_m13s = 10,
          .slope = 0.001,
          .length_m = 20000,
          .catchment_km2 = 1};
}

TEST_F(RoutingStepTest, ConstantRunoffGivesTheAreaWeightedSumFromTheFirstStep) {
  // Steady state: every channel passes its inflow on, so the outlet carries the mean of
  // the runoff weighted by the drainage areas (0.4 and 0.6 of sub-basin 20's drainage).
  const struct {
    double upstream, own;
  } cases[] = {{2.0, 0.5}, {0.0, 3.0}, {0.7, 0.0}, {150.0, 20.0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.upstream);
    Build(River(3), {.qmin = 1, .qmax = 10000, .intervals = 40});
    Start(c.upstream, c.own);
    const double expected = 0.4 * c.upstream + 0.6 * c.own;
    for (int step = 1; step <= 30; ++step) {
      Step(std::vector<double>(K, c.upstream), c.own);
      ASSERT_NEAR(routed_[0][2], expected, 1e-12 * std::max(1.0, expected)) << "step " << step;
      for (int s = 1; s <= K; ++s) ASSERT_NEAR(flow_(0, s, 2), expected, 1e-12 * std::max(1.0, expected));
    }
  }
}

TEST_F(RoutingStepTest, APulseIsDelayedByTheElementCountAndRecedesAsALinearReservoir) {
  // All discharges in one w-q row (row 1 up to 1e6 l/s/km2) and equal retention constants
  // for the main channel and the flood plain: the sub-channel is a pure delay of
  // ElementCount sub-intervals followed by a linear reservoir applied once per step,
  // out(n) = a out(n-1) + (1 - a) in(n), a = exp(-1/k) (Chow, Maidment & Mays 1988,
  // Applied Hydrology, sec. 8.4): the unit response is (1 - a) a^j, j = 0, 1, ...
  const double k_h = 2;
  Build(River(k_h), {.qmin = 1e6, .qmax = 2e6, .intervals = 1});
  const Channel& channel = object_->channel(1);
  ASSERT_EQ(channel.table.reach_count, 1);
  const int E = channel.table.element_count[1];
  ASSERT_GE(E, 1);
  Start(0, 0);
  const double pulse = 10;
  const double a = std::exp(-1 / k_h);
  const int n_steps = 120;
  std::vector<double> outflow;  // the channel's outflow per sub-interval, from step 1 on
  for (int step = 1; step <= n_steps; ++step) {
    std::vector<double> runoff(K, 0.0);
    if (step == 1) runoff[0] = pulse;
    Step(runoff, 0);
    for (int s = 1; s <= K; ++s) outflow.push_back(flow_(0, s, 2) / 0.4);
  }
  double volume = 0;
  for (std::size_t g = 0; g < outflow.size(); ++g) {
    // Sub-interval 1 + E (index E) and every K-th after it carry the response.
    const std::size_t first = static_cast<std::size_t>(E);
    double expected = 0;
    if (g >= first && (g - first) % K == 0) expected = (1 - a) * std::pow(a, static_cast<double>((g - first) / K)) * pulse;
    ASSERT_NEAR(outflow[g], expected, 1e-12 * pulse) << "sub-interval " << g + 1;
    volume += outflow[g];
  }
  // The whole pulse leaves the channel (a^110 is below 1e-26).
  EXPECT_NEAR(volume, pulse, 1e-12 * pulse);
}

TEST_F(RoutingStepTest, AnObservationInCubicMetresReplacesTheTributaryInRoutingMillimetres) {
  // Sub-basin 10 (0.4 of 10 km2) has a gauge in column 1 showing 2 m3/s: over 4 km2 and
  // 60 minutes that is 2 * 0.06 * 60 / 4 = 1.8 mm, which the channel carries instead of
  // the simulated 5 mm once the start state has receded.
  // One sub-channel (all discharges in w-q row 1), so that 200 steps reach the new state.
  Build(River(3), {.qmin = 1e6, .qmax = 2e6, .intervals = 1}, 0, 1);
  ASSERT_EQ(object_->channel(1).table.reach_count, 1);
  ObservedRing ring(1);
  ring.row(ObservedRing::kCurrentRow)[1] = 2.0;
  gauges_ = {0, 1, 0};
  object_->SetObservedInCubicMetres(true);
  routed_[0][1] = 5.0;
  routed_[0][2] = 1.0;
  object_->SetFlowArrays(routed_, flow_, cascade_, &ring, gauges_);
  object_->FillChannels();
  EXPECT_NEAR(cascade_(0, 1)[1], 1.8, 1e-12);
  for (int step = 1; step <= 200; ++step) Step(std::vector<double>(K, 5.0), 1.0);
  EXPECT_NEAR(routed_[0][2], 0.4 * 1.8 + 0.6 * 1.0, 1e-12);
}

TEST_F(RoutingStepTest, TracersInTheCascadeKeepOrLoseTheirConcentration) {
  // Tracer 1 does not decay, tracer 2 is radioactive with a half-life of 0 days.
  const struct {
    int radioactive;
    double half_time;
    double expected;
  } cases[] = {{0, -9999, 3.0}, {1, 0, 0.0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.radioactive);
    Build(River(3), {.qmin = 1, .qmax = 10000, .intervals = 40}, 1);
    tracers_[1].radioactive = c.radioactive;
    tracers_[1].half_time = c.half_time;
    routed_[1][1] = 3.0;
    Start(2.0, 1.0);
    for (int s = 1; s <= K; ++s) {
      flow_(1, s, 1) = 3.0;
      flow_(1, s, 2) = 3.0;
    }
    Step(std::vector<double>(K, 2.0), 1.0);
    const Channel& channel = object_->channel(1);
    const int block_length = K + channel.table.element_count[1];
    const std::vector<double>& tracer = cascade_(1, 1);
    for (int x = 1; x <= block_length * channel.table.reach_count; ++x) {
      ASSERT_DOUBLE_EQ(tracer[static_cast<std::size_t>(x)], c.expected) << "position " << x;
    }
  }
}

TEST_F(RoutingStepTest, AHydraulicallyConnectedSourcePassesItsSubIntervalFlowsUnrouted) {
  // Sub-basin 10's outlet lake is connected to a lake of sub-basin 20: its water is not
  // delayed by the channel, every sub-interval reaches the outlet as it came.
  Build(River(3), {.qmin = 1, .qmax = 10000, .intervals = 40});
  HydraulicConnectionSet connections{{10, true}};
  object_->RegisterHydraulicConnection(connections);
  Start(0, 0);
  const std::vector<double> pulse = {0, 8, 2, 0};
  Step(pulse, 1);
  for (int s = 1; s <= K; ++s) {
    EXPECT_NEAR(flow_(0, s, 2), 0.4 * pulse[static_cast<std::size_t>(s) - 1] + 0.6 * 1, 1e-12) << "sub-interval " << s;
  }
  // Without the flag the channel delays and damps the pulse.
  connections[10] = false;
  Start(0, 0);
  Step(pulse, 1);
  EXPECT_LT(flow_(0, 2, 2), 0.4 * 8 + 0.6 - 1e-6);
}

TEST_F(RoutingStepTest, WaterAndTracerMassKeptWhileTheTravelTimeGrowsAndShrinks) {
  // The discharge rises and falls by orders of magnitude, within and between steps, with
  // dry steps between, so the travel time grows and shrinks: what the cascade gains or
  // loses is kept in the overlap store and given back to the outflow. Retention constants
  // of 1e-3 h make the linear storages pass their inflow on (exp(-1000) = 0), so per step
  // inflow = outflow + change of the cascade's elements on their way + change of the store,
  // and the store is empty again once the discharge is steady.
  // A short channel has one sub-channel, whose translation outflow (the first K elements)
  // also carries the tracer: its mass closes likewise. A long one has several sub-channels.
  const std::vector<std::vector<double>> runoff = {
      {0.005, 0.005, 0.005, 0.005}, {0.05, 0.4, 2, 3},        {3, 1.5, 0.2, 0.05}, {0, 0, 0, 0},
      {0.002, 0.002, 0.002, 0.002}, {0.8, 0, 0, 4},           {4, 4, 0.01, 0.01},  {0.01, 0.002, 0.001, 0},
      {0, 0, 0, 0},                 {6, 0.01, 6, 0.01},       {0.003, 0.003, 0.003, 0.003},
      {0.003, 0.003, 0.003, 0.003}, {9, 9, 0.09, 0.09},       {0.02, 0.01, 0.005, 0.002}};
  for (const double length_m : {80.0, 1000.0}) {
    SCOPED_TRACE(length_m);
    ChannelValues values = River(1e-3);
    values.length_m = length_m;
    Build(values, {.qmin = 1, .qmax = 10000, .intervals = 40}, 1);
    tracers_[1] = {};
    Start(0.005, 0);
    const Channel& channel = object_->channel(1);
    const int n_reaches = channel.table.reach_count;
    const bool one_reach = n_reaches == 1;
    ASSERT_EQ(one_reach, length_m < 100);
    const int block_length = K + channel.table.element_count[1];
    const std::vector<double>& water = cascade_(0, 1);
    const std::vector<double>& tracer = cascade_(1, 1);
    const auto content = [&](bool mass) {
      double sum = 0;
      for (int S = 1; S <= n_reaches; ++S) {
        for (int x = block_length * (S - 1) + K + 1; x <= channel.fill_position[static_cast<std::size_t>(S)]; ++x) {
          const std::size_t sx = static_cast<std::size_t>(x);
          sum += water[sx] * (mass ? tracer[sx] : 1.0);
        }
        sum += channel.overlap_store[mass ? 1 : 0][static_cast<std::size_t>(S)];
      }
      return sum;
    };
    bool grew = false, shrank = false;
    for (int round = 0; round < 3; ++round) {
      for (std::size_t n = 0; n < runoff.size(); ++n) {
        SCOPED_TRACE(n);
        const double water_before = content(false);
        const double mass_before = content(true);
        const int fill_before = channel.fill_position[1];
        double water_in = 0, mass_in = 0;
        for (int s = 1; s <= K; ++s) {
          const double q = runoff[n][static_cast<std::size_t>(s) - 1];
          const double c = 1.0 + static_cast<double>((n + static_cast<std::size_t>(s)) % 3);
          flow_(1, s, 1) = c;
          water_in += q;
          mass_in += q * c;
        }
        Step(runoff[n], 0);
        double water_out = 0, mass_out = 0;
        for (int s = 1; s <= K; ++s) {
          const std::size_t ss = static_cast<std::size_t>(s);
          water_out += flow_(0, s, 2) / 0.4;
          mass_out += water[ss] * tracer[ss];
          ASSERT_GE(flow_(0, s, 2), 0.0);
        }
        ASSERT_NEAR(water_in, water_out + content(false) - water_before, 1e-12 * 100);
        if (one_reach) {
          ASSERT_NEAR(mass_in, mass_out + content(true) - mass_before, 1e-12 * 300);
        }
        grew = grew || channel.fill_position[1] > fill_before;
        shrank = shrank || channel.fill_position[1] < fill_before;
      }
    }
    EXPECT_TRUE(grew && shrank);
    // Under a steady discharge the stores have given all their water back.
    for (int n = 0; n < 20; ++n) Step(std::vector<double>(K, 0.02), 0);
    for (int S = 1; S <= n_reaches; ++S) {
      EXPECT_NEAR(channel.overlap_store[0][static_cast<std::size_t>(S)], 0.0, 1e-12 * 100) << "sub-channel " << S;
    }
  }
}

}  // namespace
}  // namespace tolvo
