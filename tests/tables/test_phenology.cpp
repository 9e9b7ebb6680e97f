// Dynamic phenology of one cell and of a small grid. Expected values are hand
// calculations: the sigmoid rate is exactly 28.4 / 2 = 14.2 at T - Tb = 18.4, degree days
// are T - Tb per day, and the fixpoint moves follow the rules of each model.
#include "tables/phenology.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "landuse_grids_fixture.h"

namespace tolvo::test {
namespace {

const std::string kDP1 = " F* = 28.4; DP1_t1_dorm = 100; DP1_T_Bf = 0; JDReset_TStart = 300; maxStartJDforDP1 = 150;";
const std::string kDP2 =
    " DP2_t0_dorm = 270; DP2_t1_dorm = 30; DP2_T_Bf = 0; DP2_T_Bc = 3; DP2_Par_a = 10; DP2_Par_b = 0.5;"
    " DP2_Offset_1 = -3.4; DP2_Offset_2 = 12;";
const std::string kDP4 =
    " DP4_t0_dorm = 270; DP4_t1_dorm = 30; DP4_T0 = 2; DP4_T1 = 5; DP4_Par_a = 100; DP4_Par_b = -20;"
    " DP4_T_xylstop = 10; DP4_t_xs1 = 180;";

// The state of one cell, held in plain values.
struct CellState {
  double forcing = 0;
  double start = -1;
  double chilling = 0;
  double threshold = 0;
  double leaf_fall = 0;
  double cold_days = 0;
  std::vector<double> q;  // levels, with one sentinel value behind the last level
  std::size_t levels = 0;

  explicit CellState(std::vector<double> days = {}) : q(std::move(days)), levels(q.size()) { q.push_back(777); }
  PhenologyCell cell() {
    return {forcing, start, chilling, threshold, leaf_fall, cold_days, std::span<double>(q.data(), levels)};
  }
  std::vector<double> days() const { return {q.begin(), q.begin() + static_cast<std::ptrdiff_t>(levels)}; }
  double sentinel() const { return q.back(); }
};

class Phenology : public LanduseGridsTest {
 protected:
  const LanduseRecord& Entry(const std::string& method, const std::string& days, const std::string& keys) {
    const int n = static_cast<int>(std::count(days.begin(), days.end(), ' ')) + 1;
    MakeTable({{41, method, " JulDays = " + days + ";" + Tables(n, 0.2, 50, 3, 0.1, 0.8, 1.5) + keys}});
    return (*landuse_)[1];
  }
};

TEST(PhenologyRates, ForcingChillingAndWaterStress) {
  EXPECT_EQ(SigmoidForcingRate(5, 5), 0);  // at the base temperature: no forcing
  EXPECT_EQ(SigmoidForcingRate(4, 5), 0);
  EXPECT_DOUBLE_EQ(SigmoidForcingRate(18.4, 0), 14.2);
  EXPECT_NEAR(SigmoidForcingRate(118.4, 0), 28.4, 1e-6);

  struct Chill {
    double t, expected;
  };
  for (const Chill& c : {Chill{3, 1}, Chill{12, 0}, Chill{13, 0}, Chill{-3.4, 0}, Chill{-0.2, 0.5}, Chill{7.5, 0.5}}) {
    SCOPED_TRACE(c.t);
    EXPECT_DOUBLE_EQ(TriangularChillingRate(c.t, -3.4, 3, 12), c.expected);
  }

  struct Stress {
    bool has_theta;
    double theta, h_redu_dry, factor, expected;
  };
  for (const Stress& s : {Stress{false, 120, 50, 2, 1}, Stress{true, 100, 50, 0, 1}, Stress{true, 40, 50, 2, 1},
                          Stress{true, 100, 50, 2, 2}, Stress{true, 150, 150, 2, 1}, Stress{true, 160, 150, 2, 1}}) {
    SCOPED_TRACE(s.theta);
    EXPECT_DOUBLE_EQ(ForcingStressFactor(s.has_theta, s.theta, s.h_redu_dry, s.factor), s.expected);
  }
}

TEST_F(Phenology, DynamicPhenology1StartsStrictlyAboveTheThresholdAndResets) {
  const LanduseRecord& e = Entry("DynamicPhenology_1", "1 100 -1 30 366", kDP1);
  CellState s;
  const PhenologyWeather warm{18.4, 0, 1};  // 14.2 forcing units a day
  DynamicPhenology1Day(e, 99, warm, s.cell());
  EXPECT_EQ(s.forcing, 0);  // still dormant
  DynamicPhenology1Day(e, 100, warm, s.cell());
  DynamicPhenology1Day(e, 101, warm, s.cell());
  EXPECT_DOUBLE_EQ(s.forcing, 28.4);
  EXPECT_EQ(s.start, -1);  // equal to F* is not above it
  DynamicPhenology1Day(e, 102, warm, s.cell());
  EXPECT_EQ(s.start, 102);

  s.leaf_fall = 250;
  DynamicPhenology1Day(e, 300, warm, s.cell());
  EXPECT_EQ(s.forcing, 0);
  EXPECT_EQ(s.start, -1);
  EXPECT_EQ(s.leaf_fall, 0);
  DynamicPhenology1Day(e, 301, warm, s.cell());
  EXPECT_DOUBLE_EQ(s.forcing, 14.2);
  // The water-stress factor scales every addition.
  DynamicPhenology1Day(e, 302, {18.4, 0, 2}, s.cell());
  EXPECT_DOUBLE_EQ(s.forcing, 14.2 + 28.4);
}

TEST_F(Phenology, AStartIsPlacedIntoTheCellsFixpointDaysWithinTheStack) {
  // A DynamicPhenology_4 entry still under the DynamicPhenology_1 model: the start goes
  // to the placeholder (fixpoint 3), the next fixpoint lies 30 days after it.
  const LanduseRecord& e = Entry("DynamicPhenology_4", "1 100 -1 30 366", kDP1 + kDP4 + " DP4_SPSLF = 4;");
  CellState s({0, 1, 100, -1, 30, 366});
  s.forcing = 28.4;
  DynamicPhenology1Day(e, 120, {18.4, 0, 1}, s.cell());
  EXPECT_EQ(s.start, 120);
  EXPECT_EQ(s.days(), (std::vector<double>{0, 1, 100, 120, 150, 366}));

  // A stack that ends before any day at or after the start has no place for it; nothing
  // behind the stack is touched.
  CellState short_stack({0, 1, 100});
  short_stack.forcing = 28.4;
  DynamicPhenology1Day(e, 120, {18.4, 0, 1}, short_stack.cell());
  EXPECT_EQ(short_stack.start, 120);
  EXPECT_EQ(short_stack.days(), (std::vector<double>{0, 1, 100}));
  EXPECT_EQ(short_stack.sentinel(), 777);

  // The model's own start (flag cleared) after every fixpoint of the stack.
  CellState own({0, 1, 100});
  own.forcing = 95;
  own.threshold = 100;
  DynamicPhenology4Day(e, 120, {15, 0, 1}, own.cell());
  EXPECT_EQ(own.start, 120);
  EXPECT_EQ(own.days(), (std::vector<double>{0, 1, 100}));
  EXPECT_EQ(own.sentinel(), 777);
}

TEST_F(Phenology, DynamicPhenology2ChillsInDormancyAndSetsTheThreshold) {
  const LanduseRecord& e = Entry("DynamicPhenology_2", "1 100 -1 30 366", kDP1 + kDP2);
  struct Day {
    int d;
    double t, chilling_after;
  };
  CellState s;
  s.chilling = 5;
  s.threshold = 1e9;  // no start before the threshold is made
  for (const Day& day : {Day{269, 3, 0},      // the day before dormancy clears the sum (after adding nothing)
                         Day{270, 3, 1},      // at the optimum: one unit
                         Day{300, 12, 1},     // at the upper offset: nothing
                         Day{10, -3.4, 1},    // at the lower offset: nothing
                         Day{20, -0.2, 1.5},  // halfway up the triangle
                         Day{29, 7.5, 2}}) {  // halfway down, the day before t1
    SCOPED_TRACE(day.d);
    DynamicPhenology2Day(e, day.d, {day.t, 0, 1}, s.cell());
    EXPECT_DOUBLE_EQ(s.chilling, day.chilling_after);
  }
  EXPECT_DOUBLE_EQ(s.threshold, 10 * std::exp(0.5 * 2));
  // From t1 on the cell's threshold decides; the sum stays outside dormancy.
  s.forcing = s.threshold - 1;
  DynamicPhenology2Day(e, 30, {18.4, 0, 1}, s.cell());
  EXPECT_EQ(s.start, 30);
  EXPECT_DOUBLE_EQ(s.chilling, 2);
}

TEST_F(Phenology, DynamicPhenology3ReachesFixpointsByDegreeDaysOrAtTheLatestOnTheirDay) {
  // Thresholds 200 and 400 of fixpoints 2 (day 60) and 3 (day 120); base 5 °C.
  const std::string keys = " ForcingThreshold = -1 200 400 -1; DP1_t1_dorm = 60; DP1_T_Bf = 5; JDReset_TStart = 300;"
                           " maxStartJDforDP1 = 120;";
  const LanduseRecord& e = Entry("DynamicPhenology_3", "1 60 120 366", keys);
  struct Case {
    double t;                        // the same every day
    int last_day;                    // days 1..last_day
    std::vector<double> expected;    // q afterwards
  };
  // 15 °C: 10 degree days a day, the sum of day d is 10 (d - 1) after the day-1 reset, so
  // 200 is reached on day 21 and 400 on day 41. 0 °C: no forcing, the calendar days.
  for (const Case& c : {Case{15, 45, {400, 1, 21, 41, 366}}, Case{0, 130, {400, 1, 60, 120, 366}},
                        Case{0, 59, {0, 1, -1, -1, 366}}}) {
    SCOPED_TRACE(c.t);
    CellState s({0, 1, -1, -1, 366});
    for (int d = 1; d <= c.last_day; ++d) DynamicPhenology3Day(e, d, {c.t, 0, 1}, s.cell());
    EXPECT_EQ(s.days(), c.expected);
  }
  // 1 January opens the forcing-defined fixpoints again; calendar ones keep their days.
  CellState s({400, 1, 21, 41, 366});
  s.forcing = 900;
  DynamicPhenology3Day(e, 1, {15, 0, 1}, s.cell());
  EXPECT_EQ(s.forcing, 0);
  EXPECT_EQ(s.days(), (std::vector<double>{0, 1, -1, -1, 366}));

  // Every fixpoint of a short stack passed: the scan ends on its last level.
  CellState short_stack({200, 1, 50});
  DynamicPhenology3Day(e, 200, {15, 0, 1}, short_stack.cell());
  EXPECT_EQ(short_stack.days(), (std::vector<double>{200, 1, 50}));
  EXPECT_EQ(short_stack.sentinel(), 777);
  EXPECT_EQ(CurrentFixpoint(short_stack.days(), 200), 3);
  EXPECT_EQ(CurrentFixpoint(short_stack.days(), 30), 2);
}

TEST_F(Phenology, DynamicPhenology4LeafFallAfterFiveColdDaysInARow) {
  struct Case {
    int spslf;
    std::vector<double> expected;
  };
  // Leaf fall on day 209: the fifth cold day after a warm day 204. With DP4_SPSLF = 4 the
  // fixpoint 4 moves to 209, fixpoint 5 by as much (366 - 41), and fixpoint 3 (230, after
  // the day) to 208. At the last fixpoint nothing follows it; below 1 nothing moves.
  for (const Case& c : {Case{4, {0, 1, 100, 208, 209, 325}}, Case{5, {0, 1, 100, 208, 208, 209}},
                        Case{0, {0, 1, 100, 230, 250, 366}}}) {
    SCOPED_TRACE(c.spslf);
    const LanduseRecord& e =
        Entry("DynamicPhenology_4", "1 100 150 250 366", kDP1 + kDP4 + " DP4_SPSLF = " + std::to_string(c.spslf) + ";");
    CellState s({0, 1, 100, 230, 250, 366});
    s.start = 120;
    s.threshold = 50;
    for (int d = 200; d <= 209; ++d) {
      const double mean7 = d == 204 ? 12 : 5;
      DynamicPhenology4Day(e, d, {15, mean7, 1}, s.cell());
      if (d == 204) {
        EXPECT_EQ(s.cold_days, 0);
      }
      if (d == 208) {
        EXPECT_EQ(s.leaf_fall, 0);
      }
    }
    EXPECT_EQ(s.leaf_fall, 209);
    EXPECT_EQ(s.days(), c.expected);
    EXPECT_EQ(s.sentinel(), 777);
  }
}

TEST_F(Phenology, DynamicPhenology4CountsColdDaysAndMakesTheThresholdFromThem) {
  const LanduseRecord& e = Entry("DynamicPhenology_4", "1 100 150 250 366", kDP1 + kDP4 + " DP4_SPSLF = 4;");
  CellState s({0, 1, 100, 150, 250, 366});
  s.chilling = 7;
  DynamicPhenology4Day(e, 269, {2, 0, 1}, s.cell());  // counted (no start yet), then cleared
  EXPECT_EQ(s.chilling, 0);
  DynamicPhenology4Day(e, 270, {2, 0, 1}, s.cell());
  DynamicPhenology4Day(e, 271, {3, 0, 1}, s.cell());
  EXPECT_EQ(s.chilling, 1);
  s.chilling = std::exp(1.0);
  DynamicPhenology4Day(e, 29, {3, 0, 1}, s.cell());
  EXPECT_DOUBLE_EQ(s.threshold, 100 - 20);
  s.chilling = 0;
  DynamicPhenology4Day(e, 30, {3, 0, 1}, s.cell());
  EXPECT_DOUBLE_EQ(s.threshold, 100);
}

TEST_F(Phenology, TheDailyPassSkipsCellsOutsideTheBasinAndLayersWithoutLandUse) {
  // Entry 1 DynamicPhenology_2 (flag set: still under the DynamicPhenology_1 model until
  // its dormancy day 270), entry 2 DynamicPhenology_1 with a water-stress factor.
  MakeTable({{51, "DynamicPhenology_2", " JulDays = 1 100 -1 30 366;" + Tables(5, 0.2, 50, 3, 0.1, 0.8, 1.5) + kDP1 + kDP2},
             {52, "DynamicPhenology_1",
              " JulDays = 1 100 -1 30 366;" + Tables(5, 0.2, 50, 3, 0.1, 0.8, 1.5) + kDP1 + " StressFactorDynPhen = 2;"}});
  LanduseTable& table = *landuse_;
  table[1].SetPhenologyFlag(true);
  MakeLayers({1, 2});
  codes_[1](1, 2) = kNodata;
  zone_(2, 1) = kNodata;
  Grid t(1, kRows, kCols, kRows), theta(1, kRows, kCols, kRows), mean7(1, kRows, kCols, kRows), fall(1, kRows, kCols, kRows);
  t.fill(18.4);
  theta.fill(100);  // (100 - 50) / (150 - 50) = 0.5: factor 1 + 0.5 * 2 = 2 for entry 2
  Stack cold(1, kRows, kCols, 7, kRows);
  std::vector<Grid> state;
  std::vector<PhenologyLayerGrids> layers(2);
  for (PhenologyLayerGrids& g : layers) {
    for (GridView* view : {&g.forcing_sum, &g.start_day, &g.chilling_sum, &g.forcing_threshold}) {
      *view = state.emplace_back(1, kRows, kCols, kRows).view();
    }
    for (int r = 1; r <= kRows; ++r) std::fill(g.start_day.row(r).begin(), g.start_day.row(r).end(), -1);
  }
  const PhenologyGrids grids{{1, kRows}, {}, kCols, zone_.view(), code_views_, layers,
                             t.view(),   theta.view(), mean7.view(), cold.view(), fall.view()};
  UpdateDynamicPhenology(table, grids, 150);
  EXPECT_TRUE(table[1].GetPhenologyFlag());
  EXPECT_DOUBLE_EQ(layers[0].forcing_sum(1, 1), 14.2);  // entry 1 has no stress factor
  EXPECT_DOUBLE_EQ(layers[1].forcing_sum(1, 1), 28.4);
  EXPECT_EQ(layers[1].forcing_sum(1, 2), 0);  // no land use in layer 2
  EXPECT_EQ(layers[0].forcing_sum(2, 1), 0);  // outside the basin
  UpdateDynamicPhenology(table, grids, 270);
  EXPECT_FALSE(table[1].GetPhenologyFlag());
}

}  // namespace
}  // namespace tolvo::test
