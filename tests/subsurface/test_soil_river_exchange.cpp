// The exchange of a soil column with the river of its cell: the river-bed layer,
// exfiltration of groundwater above the bed, re-infiltration capped by what the river
// still carries, and the rules that switch the exchange off.

#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <array>
#include <vector>

#include "subsurface/soil_river_exchange.h"
#include "support/test_support.h"
#include "tables/soil_table.h"

namespace tolvo::test {
namespace {

constexpr int kLayers = 5;
constexpr double kCell = 100;

// Five layers of 0.2 m under a surface at 100 m, 0.2 of water in every layer; the water
// table 0.9 m below the surface (layer 5); river bed 0.3 m deep (layer 2), 2 m wide.
class RiverExchangeTest : public LogFixture {
 protected:
  RiverExchangeTest() {
    soils_.emplace_back(1);
    soils_.emplace_back(20).ParseBlock(
        log_,
        "20 loam { method = MultipleHorizons; layers = 5; ksat = 1e-5; theta_sat = 0.43; theta_res = 0.078; "
        "alpha = 3.6; Par_n = 1.56; thickness = 0.2; }\n");
    for (int j = 0; j <= kLayers; ++j) {
      const auto i = static_cast<std::size_t>(j);
      d_[i] = j == 0 ? 0 : 0.2;
      z_[i] = 100 - 0.2 * j;
      H_[i] = z_[i];
      theta_[i] = 0.2;
      theta_s_[i] = 0.43;
    }
    H_[2] = 99.2;
    river_.flowm3s = 100;
    in_.interaction = 2;
    in_.depth = 0.3;
    in_.width = 2;
    in_.kolmation = 0.008;
    in_.groundwater_distance = -0.9;
    in_.cellsize = kCell;
    in_.river = &river_;
    in_.reservation = &reservation_;
  }
  RiverColumn Column(int k) const {
    return {.soil = &soils_[1], .n = kLayers, .k = k, .dt = 60, .theta_s = theta_s_, .theta_a = theta_,
            .theta_b = theta_, .z = z_, .H = H_, .d = d_};
  }
  RiverExchange Run(int k = 5) { return river_exchange(in_, Column(k), infiltration_, exfiltration_); }
  double Sum(const std::array<double, kLayers + 1>& a) const {
    double s = 0;
    for (int j = 1; j <= kLayers; ++j) s += a[static_cast<std::size_t>(j)];
    return s;
  }

  SoilTable soils_;
  std::array<double, kLayers + 1> d_{}, z_{}, H_{}, theta_{}, theta_s_{};
  std::array<double, kLayers + 1> infiltration_{}, exfiltration_{};
  RiverflowRecord river_;
  double reservation_ = 0;
  RiverCellInput in_;
};

TEST(RiverBedLayer, FirstLayerReachingTheBed) {
  const std::array<double, 3> d = {0, 0.1, 0.3};
  EXPECT_EQ(river_bed_layer(d, 2, 0.25), 2) << "bottoms at 0.1 and 0.4 m";
  EXPECT_EQ(river_bed_layer(d, 2, 0.1), 1) << "a bottom exactly at the bed";
  EXPECT_EQ(river_bed_layer(d, 2, 3.0), 2) << "a river deeper than the column";
}

// Leakance (McDonald & Harbaugh 1988): the potential K·(bed + river depth − soil head)·W·c,
// here 0.008·(99.7 − 99.2)·2·100 = 0.8 m³/s, capped by what the river still carries.
TEST_F(RiverExchangeTest, ReinfiltrationTakesThePotentialUpToTheRiversRemainder) {
  RiverExchange out = Run();
  EXPECT_NEAR(out.infiltration * kCell * kCell, 0.8, 1e-12);
  EXPECT_EQ(out.exfiltration, 0);
  EXPECT_NEAR(Sum(infiltration_), out.infiltration, 1e-18);
  EXPECT_GT(infiltration_[2], 0) << "the bed layer fills first";
  EXPECT_EQ(infiltration_[1], 0) << "above the water surface nothing enters";
  EXPECT_NEAR(river_.reinfiltration, 0.8, 1e-12);

  // The cap: 2.0 m³/s in the river, 1.5 taken by others.
  river_ = {};
  river_.flowm3s = 2.0;
  river_.reinfiltration = 1.5;
  reservation_ = 0;
  out = Run();
  EXPECT_NEAR(out.infiltration, 0.5 / (kCell * kCell), 1e-18);
  EXPECT_NEAR(river_.reinfiltration, 2.0, 1e-12);
  // A later iteration of the same cell replaces its reservation instead of adding to it.
  out = Run();
  EXPECT_NEAR(out.infiltration, 0.5 / (kCell * kCell), 1e-18);
  EXPECT_NEAR(river_.reinfiltration, 2.0, 1e-12);
  // Another cell finds the river taken.
  double other = 0;
  in_.reservation = &other;
  out = Run();
  EXPECT_EQ(out.infiltration, 0);
  EXPECT_EQ(other, 0);

  // With a flow speed the river's water depth Q / v / W adds to the bed head: 2 m³/s at
  // 1 m/s over 2 m give 1 m, a potential of 0.008·1.5·200 = 2.4 m³/s, capped at the 2.
  river_ = {};
  river_.flowm3s = 2.0;
  river_.speed = 1.0;
  in_.reservation = &reservation_;
  reservation_ = 0;
  out = Run();
  EXPECT_NEAR(out.infiltration * kCell * kCell, 2.0, 1e-12);
  EXPECT_NEAR(river_.reinfiltration, 2.0, 1e-12);
}

TEST_F(RiverExchangeTest, ExfiltrationDrainsTheLayersBetweenWaterTableAndBed) {
  // Water table 0.1 m below the surface (layer 1), bed 0.5 m deep (layer 3).
  in_.groundwater_distance = -0.1;
  in_.depth = 0.5;
  for (double& t : theta_) t = 0.4;
  in_.kolmation = 1e-5;
  // E = K·(hg − hb)·W / c = 1e-5·0.4·2 / 100, less than the drainable water: all from layer 1.
  RiverExchange out = Run(1);
  EXPECT_NEAR(out.exfiltration, 8e-8, 1e-20);
  EXPECT_NEAR(exfiltration_[1], 8e-8, 1e-20);
  EXPECT_EQ(out.infiltration, 0);
  EXPECT_EQ(river_.reinfiltration, 0);
  // A large potential takes the drainable water: 0.1 m of layer 1, all of layer 2 and the
  // 0.1 m of layer 3 above the bed.
  in_.kolmation = 1;
  out = Run(1);
  const double drainable = 0.4 - soils_[1].ThetaForSuction(1, 3.45);
  EXPECT_NEAR(exfiltration_[1], 0.1 * drainable / 60, 1e-15);
  EXPECT_NEAR(exfiltration_[2], 0.2 * drainable / 60, 1e-15);
  EXPECT_NEAR(exfiltration_[3], 0.1 * drainable / 60, 1e-15);
  EXPECT_NEAR(out.exfiltration, 0.4 * drainable / 60, 1e-15);
}

TEST_F(RiverExchangeTest, RulesThatStopTheExchange) {
  struct Case {
    const char* what;
    int interaction, lake_control;
    bool full_lake;
    double depth, width, kolmation, distance;
    bool exchanges;
  };
  const Case cases[] = {
      {"kolmation 0", 2, 0, false, 0.3, 2, 0, -0.9, false},
      {"kolmation 0, water above the bed", 2, 0, false, 0.3, 2, 0, -0.1, false},
      {"interaction 1 never re-infiltrates", 1, 0, false, 0.3, 2, 0.008, -0.9, false},
      {"interaction 1 exfiltrates", 1, 0, false, 0.3, 2, 0.008, -0.1, true},
      {"no river depth", 2, 0, false, 0, 2, 0.008, -0.9, false},
      {"no river width", 2, 0, false, 0.3, 0, 0.008, -0.9, false},
      {"lake control 1, full lake cell", 2, 1, true, 0.3, 2, 0.008, -0.9, false},
      {"lake control 1, lake cell below 1 mm", 2, 1, false, 0.3, 2, 0.008, -0.9, true},
      {"lake control 2", 2, 2, false, 0.3, 2, 0.008, -0.9, false},
      {"water table exactly at the bed re-infiltrates", 2, 0, false, 0.3, 2, 0.008, -0.3, true},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    in_.interaction = k.interaction;
    in_.lake_control = k.lake_control;
    in_.full_lake_cell = k.full_lake;
    in_.depth = k.depth;
    in_.width = k.width;
    in_.kolmation = k.kolmation;
    in_.groundwater_distance = k.distance;
    infiltration_.fill(7);
    exfiltration_.fill(7);
    river_.reinfiltration = 0;
    reservation_ = 0;
    const RiverExchange out = Run(k.distance < -0.3 ? 5 : k.distance < -0.2 ? 2 : 1);
    EXPECT_EQ(out.infiltration + out.exfiltration > 0, k.exchanges);
    for (int j = 1; j <= kLayers; ++j) {
      const auto i = static_cast<std::size_t>(j);
      EXPECT_GE(infiltration_[i], 0);
      EXPECT_GE(exfiltration_[i], 0);
    }
    EXPECT_NEAR(Sum(infiltration_), out.infiltration, 1e-18);
    EXPECT_NEAR(Sum(exfiltration_), out.exfiltration, 1e-18);
  }
  // Interaction 0 touches nothing.
  in_.interaction = 0;
  infiltration_.fill(7);
  exfiltration_.fill(7);
  const RiverExchange out = Run();
  EXPECT_EQ(out.infiltration, 0);
  EXPECT_EQ(out.exfiltration, 0);
  EXPECT_EQ(infiltration_[3], 7);
  EXPECT_EQ(exfiltration_[3], 7);
}

// Many cells of one river on four threads, each iterating several times: together they
// never take more than the river carries, and the river's sum is their takes.
TEST_F(RiverExchangeTest, CellsOfOneRiverNeverOverdrawItOnManyThreads) {
  constexpr int kCells = 2000;
  river_.flowm3s = 50;  // each cell wants 0.8 m³/s
  std::vector<double> reservations(kCells, 0.0);
  const int threads = omp_get_max_threads();
  omp_set_num_threads(4);
#pragma omp parallel for schedule(dynamic, 7)
  for (int i = 0; i < kCells; ++i) {
    RiverCellInput in = in_;
    in.reservation = &reservations[static_cast<std::size_t>(i)];
    std::array<double, kLayers + 1> inf{}, exf{};
    for (int iteration = 0; iteration < 3; ++iteration) river_exchange(in, Column(5), inf, exf);
  }
  omp_set_num_threads(threads);
  double taken = 0;
  for (const double r : reservations) taken += r;
  EXPECT_LE(river_.reinfiltration, river_.flowm3s * (1 + 1e-12));
  EXPECT_NEAR(river_.reinfiltration, 50, 1e-9) << "the river is used up";
  EXPECT_NEAR(taken, river_.reinfiltration, 1e-9);
}

}  // namespace
}  // namespace tolvo::test
