// Land-use parameters by date. Expected values are hand calculations of the linear
// interpolation between fixpoints: y0 (x1 - x) / (x1 - x0) + y1 (x - x0) / (x1 - x0).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "framework/error_code.h"
#include "framework/matrix.h"
#include "framework/parallel.h"
#include "support/test_support.h"
#include "tables/landuse_record.h"

namespace tolvo {
namespace {

using test::CodeOf;

const std::string kDP1 = "F* = 200; DP1_t1_dorm = 60; DP1_T_Bf = 5; JDReset_TStart = 300; maxStartJDforDP1 = 150;";
const std::string kDP4 =
    "DP4_t0_dorm = 1; DP4_t1_dorm = 2; DP4_T0 = 3; DP4_T1 = 4; DP4_Par_a = 5; DP4_Par_b = 6; DP4_T_xylstop = 7;"
    " DP4_t_xs1 = 8; DP4_SPSLF = 9;";

class LanduseParametersTest : public test::LogFixture {
 protected:
  // A block entry of code 7 with the given method, days, LAI, altitude gradients and extra keys.
  LanduseRecord Entry(const std::string& method, const std::string& days, const std::string& lai,
                      const std::string& altdep, const std::string& extra = "") {
    const std::size_t n = std::count(days.begin(), days.end(), ' ') + 1;
    std::string ones;
    for (std::size_t k = 0; k < n; ++k) ones += " 1";
    LanduseRecord record;
    record.ParseBlock(log_,
                      "7 test { method = " + method + "; " + extra + " RootDist = 1; TReduWet = 1; HReduDry = 1;" +
                          " JulDays = " + days + "; Albedo =" + ones + "; rsc =" + ones + "; LAI = " + lai +
                          "; Z0 =" + ones + "; VCF =" + ones + "; RootDepth = " + lai + "; AltDep = " + altdep +
                          "; }\n",
                      method);
    return record;
  }
};

TEST_F(LanduseParametersTest, DayOfYearFollowsTheGregorianCalendar) {
  struct Case {
    int day, month, year, expected;
  };
  const Case cases[] = {{29, 2, 2000, 60}, {1, 3, 2000, 61}, {29, 2, 2004, 60}, {1, 3, 2004, 61},
                        {31, 12, 2004, 366}, {1, 3, 1900, 60}, {1, 3, 2100, 60}, {1, 3, 2003, 60},
                        {31, 12, 2003, 365}, {1, 1, 2003, 1}, {0, 1, 2003, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.day) + "." + std::to_string(c.month) + "." + std::to_string(c.year));
    EXPECT_EQ(LanduseRecord::JulianDay(c.day, c.month, c.year), c.expected);
  }
  EXPECT_EQ(CodeOf([] { LanduseRecord::JulianDay(32, 12, 2004); }), kJulianDayOverflow);
  EXPECT_EQ(CodeOf([] { LanduseRecord::JulianDay(1, 13, 2004); }), kJulianDayOverflow);
  EXPECT_EQ(CodeOf([] { LanduseRecord::JulianDay(-1, 1, 2004); }), kJulianDayOverflow);
  // The date operations return the failure instead.
  const LanduseRecord e = Entry("VariableDayCount", "30 120 250 300", "1 2 4 3", "0 0 0 0");
  EXPECT_EQ(e.LeafAreaIndexAt(32, 12, 2004, 1, 400.0, 1, 1).code, kJulianDayOverflow);
  EXPECT_TRUE(console_.str().empty());
}

TEST_F(LanduseParametersTest, InterpolatesBetweenFixpointsAndAcrossTheYearEnd) {
  const LanduseRecord e = Entry("VariableDayCount", "30 120 250 300", "1 2 4 3", "0 0 0 0");
  struct Case {
    int jd;
    double expected;
  };
  const Case cases[] = {
      {120, 2.0},                                   // on a fixpoint
      {75, (1.0 * 45 + 2.0 * 45) / 90},             // between (30, 1) and (120, 2)
      {10, (3.0 * 20 + 1.0 * 76) / 96},             // before the first: from (300 - 366, 3) to (30, 1)
      {330, (3.0 * 66 + 1.0 * 30) / 96},            // after the last: same two points at 330 - 366
      {300, 3.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.jd);
    EXPECT_DOUBLE_EQ(e.LeafAreaIndexAtJulianDay(c.jd, 1, 1, 1, 400.0).value, c.expected);
  }
  // By date: 2 May 2004 is day 123 (leap year), 2 May 2003 day 122.
  EXPECT_DOUBLE_EQ(e.LeafAreaIndexAt(2, 5, 2004, 1, 400.0, 1, 1).value,
                   e.LeafAreaIndexAtJulianDay(123, 1, 1, 1, 400).value);
  EXPECT_DOUBLE_EQ(e.LeafAreaIndexAt(2, 5, 2003, 1, 400.0, 1, 1).value,
                   e.LeafAreaIndexAtJulianDay(122, 1, 1, 1, 400).value);
}

TEST_F(LanduseParametersTest, FixpointDaysShiftWithAltitude) {
  const LanduseRecord e = Entry("VariableDayCount", "30 120 250 300", "1 2 4 3", "0.025 0.025 -0.025 -0.025");
  EXPECT_DOUBLE_EQ(e.LeafAreaIndexAtJulianDay(120, 1, 1, 1, 400.0).value, 2.0);
  EXPECT_DOUBLE_EQ(e.LeafAreaIndexAtJulianDay(145, 1, 1, 1, 1400.0).value, 2.0);  // 25 days later
  EXPECT_DOUBLE_EQ(e.LeafAreaIndexAtJulianDay(225, 1, 1, 1, 1400.0).value, 4.0);  // 25 days earlier
  EXPECT_DOUBLE_EQ(e.LeafAreaIndexAtJulianDay(144, 1, 1, 1, 1399.0).value, 2.0);  // 24.975 -> 24 days
  EXPECT_DOUBLE_EQ(e.LeafAreaIndexAtJulianDay(110, 1, 1, 1, 0.0).value, 2.0);     // 10 days earlier at sea level
  EXPECT_EQ(e.CorrectedFixpointDay(1, -1, 1399.0), 54);
  EXPECT_EQ(e.CorrectedFixpointDay(3, -1, 1399.0), 226);

  // A corrected day outside -1..366 anywhere in the table fails the operation, whatever
  // day is asked: the result names the day and its fixpoint, and nothing is logged.
  const LanduseRecord late = Entry("VariableDayCount", "1 120 250 366", "1 2 4 3", "0 0 0 0.001");
  const LanduseValue failed = late.AlbedoAtJulianDay(100, 1, 1, 1, 1400.0);
  EXPECT_EQ(failed.code, kFixpointDayRange);
  EXPECT_EQ(failed.day, 367);
  EXPECT_EQ(failed.fixpoint, 4);
  const LanduseRecord early = Entry("VariableDayCount", "1 120 250 366", "1 2 4 3", "-0.003 0 0 0");
  EXPECT_EQ(early.AlbedoAtJulianDay(100, 1, 1, 1, 1400.0).code, kFixpointDayRange);
  const LanduseRecord edge = Entry("VariableDayCount", "1 120 250 366", "1 2 4 3", "-0.002 0 0 0");
  EXPECT_TRUE(edge.AlbedoAtJulianDay(100, 1, 1, 1, 1400.0).ok());  // -1 is accepted
  EXPECT_TRUE(console_.str().empty());
  // Serial code reports it; the root depth adds the cell's context.
  EXPECT_EQ(CodeOf([&] { RaiseLanduseFailure(log_, failed); }), kFixpointDayRange);
  EXPECT_TRUE(Logged("\n---ERROR--\naltitude correction resulted in a Julian day of 367 for fix point 4 (JD should be "
                     "between 1 and 366)"));
  const LanduseValue root_depth = late.RootDepthAtJulianDay(100, 1, 2, 3, 1400.0);
  EXPECT_EQ(CodeOf([&] { late.RaiseRootDepthFailure(log_, root_depth, 100, 1, 2, 3, 1400.0); }), kFixpointDayRange);
  EXPECT_TRUE(Logged("Coordinates: i=2, j=3\nLayer=1\nAltitude=1400m\nJulday=100\nLanduse Code=7\nTStart=-1"));
}

TEST_F(LanduseParametersTest, DynamicStartPlaceholder) {
  const LanduseRecord e = Entry("DynamicPhenology_1", "1 100 -1 30 366", "1 2 5 6 1", "0 0 0 0 0", kDP1);
  ASSERT_EQ(e.GetStartFixpoint(), 3);
  // No start yet: the value of fixpoint 2 from day 100 to the end of the season.
  for (const int jd : {100, 150, 300, 366}) {
    SCOPED_TRACE(jd);
    EXPECT_DOUBLE_EQ(e.LeafAreaIndexAtJulianDay(jd, 1, 1, 1, 400.0).value, 2.0);
  }
  EXPECT_DOUBLE_EQ(e.LeafAreaIndexAtJulianDay(50, 1, 1, 1, 400.0).value, (1.0 * 50 + 2.0 * 49) / 99);

  // Start on day 120: fixpoint 3 on 120, fixpoint 4 thirty days later.
  Grid start(1, 1, 1, 1);
  start(1, 1) = 120.7;  // truncated to 120
  LanduseRecord started = e;
  started.SetCellPhenoStart({ConstGridView{}, std::as_const(start).view()});
  EXPECT_DOUBLE_EQ(started.LeafAreaIndexAtJulianDay(110, 1, 1, 1, 400.0).value, 2.0);
  EXPECT_DOUBLE_EQ(started.LeafAreaIndexAtJulianDay(130, 1, 1, 1, 400.0).value, (5.0 * 20 + 6.0 * 10) / 30);
  EXPECT_DOUBLE_EQ(started.LeafAreaIndexAtJulianDay(200, 1, 1, 1, 400.0).value, (6.0 * 166 + 1.0 * 50) / 216);
}

TEST_F(LanduseParametersTest, CellFixpointDaysHoldUntilAFixpointIsReached) {
  const LanduseRecord e = Entry("DynamicPhenology_4", "1 100 -1 30 366", "1 2 5 6 1", "0 0 0 0 0", kDP1 + kDP4);
  Stack days(1, 1, 1, 5, 1);
  const auto set = [&](std::vector<double> q) {
    for (int l = 0; l <= 5; ++l) days(1, 1, l) = q[static_cast<std::size_t>(l)];
  };
  LanduseRecord cell = e;
  cell.SetCellFixpointDays({ConstStackView{}, std::as_const(days).view()}, 6);
  // Before the start the placeholder day is unreached (-1): the value holds at fixpoint 2
  // rather than running away from it along a line through day -1.
  set({0, 1, 100, -1, -1, -1});
  EXPECT_DOUBLE_EQ(cell.LeafAreaIndexAtJulianDay(150, 1, 1, 1, 400.0).value, 2.0);
  EXPECT_DOUBLE_EQ(cell.LeafAreaIndexAtJulianDay(50, 1, 1, 1, 400.0).value, (1.0 * 50 + 2.0 * 49) / 99);
  // Start placed on day 120.
  set({0, 1, 100, 120, 150, 366});
  EXPECT_DOUBLE_EQ(cell.LeafAreaIndexAtJulianDay(110, 1, 1, 1, 400.0).value, (2.0 * 10 + 5.0 * 10) / 20);
  EXPECT_DOUBLE_EQ(cell.LeafAreaIndexAtJulianDay(130, 1, 1, 1, 400.0).value, (5.0 * 20 + 6.0 * 10) / 30);

  // DynamicPhenology_3 follows the forcing sum towards the next threshold: from
  // threshold 10 (value 2) to threshold 20 (value 4) at a sum of 15.
  const LanduseRecord f = Entry("DynamicPhenology_3", "1 120 250 366", "1 2 4 3", "0 0 0 0",
                                "DP1_t1_dorm = 60; DP1_T_Bf = 5; JDReset_TStart = 300; maxStartJDforDP1 = 150;"
                                " ForcingThreshold = 0 10 20 0;");
  Stack q(1, 1, 1, 4, 1);
  const std::vector<double> reached = {10, 1, 120, -1, 366};
  for (int l = 0; l <= 4; ++l) q(1, 1, l) = reached[static_cast<std::size_t>(l)];
  Grid sum(1, 1, 1, 1);
  sum(1, 1) = 15;
  LanduseRecord forced = f;
  forced.SetCellFixpointDays({ConstStackView{}, std::as_const(q).view()}, 5);
  forced.SetCellForcingSum({ConstGridView{}, std::as_const(sum).view()});
  EXPECT_DOUBLE_EQ(forced.LeafAreaIndexAtJulianDay(200, 1, 1, 1, 400.0).value, 3.0);
}

TEST_F(LanduseParametersTest, MonthlyFormOfOneLineEntries) {
  LanduseRecord e;
  e.ParseLine(log_,
              "3 grass 0.2 10 20 30 40 50 60 70 80 90 100 110 120 1 100 250 366 1 3 3 1 0.01 0.05 0.05 0.01 0.5 "
              "0.9 0.9 0.5 0.2 0.4 0.4 0.2 0.5 3.45");
  struct Case {
    int day, month, year;
    double expected;
  };
  const Case cases[] = {
      {15, 3, 2003, 30.0},                       // the March value
      {14, 3, 2003, (20.0 * 5 + 30.0 * 26) / 31},  // day 41 of February, weighted by March's 31 days
      {14, 3, 2004, (20.0 * 4 + 30.0 * 27) / 31},  // day 42 of a leap-year February
      {1, 1, 2003, (120.0 * 15 + 10.0 * 16) / 31},  // from December of the year before
      {31, 12, 2003, (120.0 * 15 + 10.0 * 16) / 31},  // towards January
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.day) + "." + std::to_string(c.month) + "." + std::to_string(c.year));
    EXPECT_DOUBLE_EQ(e.CanopyResistanceAt(c.day, c.month, c.year, 1, 400.0, 1, 1).value, c.expected);
    EXPECT_DOUBLE_EQ(e.EvaporationResistanceAt(c.day, c.month, c.year, 1, 400.0, 1, 1).value, c.expected);
    EXPECT_DOUBLE_EQ(e.InterceptionResistanceAt(c.day, c.month, c.year, 1, 400.0, 1, 1).value, 20.0);
  }
  EXPECT_EQ(e.CanopyResistanceAt(1, 13, 2003, 1, 400.0, 1, 1).code, kMonthRange);
  EXPECT_EQ(e.CanopyResistanceAt(1, 0, 2003, 1, 400.0, 1, 1).code, kMonthRange);
  // One-line entries have no n-factor table.
  EXPECT_DOUBLE_EQ(e.NFactorAt(1, 6, 2003).value, kNotGiven);
}

TEST_F(LanduseParametersTest, VegetationPeriodAndNFactor) {
  const LanduseRecord e = Entry("VariableDayCount", "30 120 250 300", "1 2 4 3", "0.025 0.025 -0.025 -0.025",
                                "StartVegetationPeriodForBalance = 2; StopVegetationPeriodForBalance = 3;"
                                " n-factor = 0.5 0.7 0.9 0.6;");
  struct Case {
    int jd;
    double start, stop;
  };
  const Case cases[] = {{120, 120, -1}, {121, -1, -1}, {30, -1, -1}, {250, -1, 250}, {249, -1, -1}, {300, -1, -1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.jd);
    EXPECT_DOUBLE_EQ(e.VegetationStartAtJulianDay(c.jd, 1, 1, 1, 400.0).value, c.start);
    EXPECT_DOUBLE_EQ(e.VegetationStopAtJulianDay(c.jd, 1, 1, 1, 400.0).value, c.stop);
  }
  const LanduseRecord none = Entry("VariableDayCount", "30 120 250 300", "1 2 4 3", "0 0 0 0");
  EXPECT_DOUBLE_EQ(none.VegetationStartAtJulianDay(120, 1, 1, 1, 400.0).value, 0.0);
  EXPECT_DOUBLE_EQ(none.VegetationStopAtJulianDay(250, 1, 1, 1, 400.0).value, 0.0);

  // The n-factor ignores the altitude.
  EXPECT_DOUBLE_EQ(e.NFactorAtJulianDay(120).value, 0.7);
  EXPECT_DOUBLE_EQ(e.NFactorAtJulianDay(10).value, (0.6 * 20 + 0.5 * 76) / 96);
  EXPECT_DOUBLE_EQ(e.NFactorAtJulianDay(330).value, (0.6 * 66 + 0.5 * 30) / 96);
  EXPECT_DOUBLE_EQ(e.NFactorAt(30, 4, 2003).value, e.NFactorAtJulianDay(120).value);
}

TEST_F(LanduseParametersTest, PhenologyStartAfterTheLatestStartDay) {
  LanduseRecord e = Entry("DynamicPhenology_1", "1 100 -1 30 366", "1 2 5 6 1", "0 0 0 0 0", kDP1);
  e.InitPhenologyStart(1, 3, 2003);  // day 60, before the latest start day 150
  EXPECT_TRUE(e.GetPhenologyFlag());
  EXPECT_EQ(e.GetFallbackStartDay(), -1);
  e.InitPhenologyStart(1, 7, 2003);  // day 182: the fixpoint after the start lands on day 150
  EXPECT_EQ(e.GetFallbackStartDay(), 150 - 30);
  LanduseRecord plain = Entry("VariableDayCount", "30 120 250 300", "1 2 4 3", "0 0 0 0");
  plain.InitPhenologyStart(1, 7, 2003);
  EXPECT_FALSE(plain.GetPhenologyFlag());
}

TEST_F(LanduseParametersTest, ThreadsGetTheSequentialValues) {
  const LanduseRecord e = Entry("VariableDayCount", "30 120 250 300", "1 2 4 3", "0.025 0.025 -0.025 -0.025");
  constexpr int kRows = 64;
  std::vector<double> sequential(kRows + 1), parallel(kRows + 1);
  const auto albedo = [&](int r) { return e.AlbedoAt(1 + r % 28, 1 + r % 12, 2000 + r % 5, 1, 20.0 * r, r, 1).value; };
  for (int r = 1; r <= kRows; ++r) sequential[r] = albedo(r);
  for_each_row(RowRange{1, kRows}, [&](int r) { parallel[r] = albedo(r); });
  EXPECT_EQ(parallel, sequential);
}

}  // namespace
}  // namespace tolvo
