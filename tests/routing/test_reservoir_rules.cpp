// Reservoir rules: reading the rule section, the seasonal blend of the columns, the
// weekday and hour windows, and the outflow of a rule table and of a hydraulic connection.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

#include "framework/control_file_stream.h"
#include "routing/reservoir_rules.h"
#include "support/test_support.h"

namespace tolvo {
namespace {

using test::CodeOf;

class ReservoirRulesTest : public test::LogFixture {
 protected:
  // Reads the rules of reservoir 5 from the text after the section header.
  ReservoirRules Read(const std::string& text) {
    test::WriteFile(dir_.file("rules.ctl"), text);
    ControlFileStream file(dir_.file("rules.ctl"));
    return ReadReservoirRules(file, 5, log_);
  }
  int CodeOfReading(const std::string& text) {
    return CodeOf([&] { Read(text); });
  }
};

TEST_F(ReservoirRulesTest, ATableWithSeasonalColumnsAndKeywordLines) {
  const ReservoirRules rules = Read(
      "3 1 100 200\n"
      "0 0 0 0\n"
      "1000 1 2 3\n"
      "3000 5 2 9\n"
      "TargetCap = 4 -1 0\n"
      "  WeekDays = 12345 67 1234567\n"
      "start_hour = 8 0 1\n"
      "stop_hour = 18 24 24\n"
      "a line without keywords\n"
      "\n"
      "TargetCap = 99 99 99\n");
  ASSERT_TRUE(rules.table.has_value());
  ASSERT_FALSE(rules.connection.has_value());
  const RuleTable& t = *rules.table;
  EXPECT_EQ(t.m, 3);
  EXPECT_EQ(t.nc, 3);
  EXPECT_EQ(t.day, (std::vector<int>{1, 1, 100, 200}));
  EXPECT_EQ(t.index, (std::vector<double>{0, 0, 1000, 3000}));
  EXPECT_EQ(t.value[3], (std::vector<double>{0, 0, 3, 9}));
  // Slopes of the intervals [m3/s per m3]; the last row has none.
  EXPECT_DOUBLE_EQ(t.slope[1][1], 0.001);
  EXPECT_DOUBLE_EQ(t.slope[1][2], 0.002);
  EXPECT_DOUBLE_EQ(t.slope[2][2], 0.0);
  EXPECT_DOUBLE_EQ(t.slope[3][3], 0.0);
  // The keyword lines end at the empty line.
  EXPECT_EQ(t.target_cap, (std::vector<double>{-1, 4, -1, 0}));
  EXPECT_EQ(t.week_days, (std::vector<long>{-1, 12345, 67, 1234567}));
  EXPECT_EQ(t.start_hour, (std::vector<int>{-1, 8, 0, 1}));
  EXPECT_EQ(t.stop_hour, (std::vector<int>{-1, 18, 24, 24}));
  EXPECT_FALSE(t.flow_index);

  // A single column applies from day 1 whatever follows m; a one-row table has slope 0.
  const RuleTable one = *Read("1 150\n500 7\nTableIndex = Flow\n").table;
  EXPECT_EQ(one.nc, 1);
  EXPECT_EQ(one.day[1], 1);
  EXPECT_EQ(one.slope[1], (std::vector<double>{0, 0}));
  EXPECT_TRUE(one.flow_index);
}

TEST_F(ReservoirRulesTest, AHydraulicConnectionReadsItsFiveValues) {
  const ReservoirRules rules = Read(
      "0\n"
      "HydraulicConnection {TargetReservoir = 7; ChannelWidth = 10;\n"
      "  ChannelBottom = 100.5\n"
      "  ChannelLength = 1000; RoughnessCoeff = 30 }\n");
  ASSERT_TRUE(rules.connection.has_value());
  EXPECT_FALSE(rules.table.has_value());
  EXPECT_EQ(rules.connection->target_reservoir, 7);
  EXPECT_EQ(rules.connection->width_m, 10);
  EXPECT_EQ(rules.connection->bottom_m, 100.5);
  EXPECT_EQ(rules.connection->length_m, 1000);
  EXPECT_EQ(rules.connection->strickler, 30);
}

TEST_F(ReservoirRulesTest, SectionsThatCannotBeUsedFailNamingTheReservoir) {
  const struct {
    const char* text;
    int code;
    const char* entry;
  } cases[] = {
      {"0\nHydraulicConnection {TargetReservoir = 7; ChannelWidth = 10; ChannelBottom = 100;\n"
       "ChannelLength = 1000; }\n",
       29, "reading HydraulicConnection parameters for SP 5: some values could not be read\n"},
      {"0\nHydraulicConnection {TargetReservoir = 7; ChannelWidth = 10;\n", 103,
       "the HydraulicConnection block of reservoir 5 has no closing \"}\""},
      {"0\nno connection here\n", 34, "[abstraction_rule_reservoir_5] of reservoir 5: neither a rule table"},
      {"", 34, "[abstraction_rule_reservoir_5] of reservoir 5: neither a rule table"},
      {"2 1 100\n0 0 0\n10 5\n", 34, "row 2 of the rule table holds 2 numbers"},
      {"2\n0 0\n", 34, "row 2 of the rule table holds 0 numbers"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    console_.str("");
    EXPECT_EQ(CodeOfReading(c.text), c.code);
    EXPECT_TRUE(Logged(c.entry)) << console_.str();
  }
}

RuleTable Columns(std::vector<int> days) {
  RuleTable t;
  t.nc = static_cast<int>(days.size());
  t.day.assign(1, 0);
  t.day.insert(t.day.end(), days.begin(), days.end());
  return t;
}

TEST(ReservoirRuleColumns, DaysBlendTheColumnsAndExtrapolateAfterTheLast) {
  const RuleTable three = Columns({100, 200, 300});
  const struct {
    int day, g;
    double w;
  } cases[] = {{1, 1, 1}, {100, 1, 1}, {150, 2, 0.5}, {200, 2, 1}, {275, 3, 0.75}, {365, 3, 1.65}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.day);
    const ColumnBlend blend = BlendAt(three, c.day);
    EXPECT_EQ(blend.g, c.g);
    EXPECT_DOUBLE_EQ(blend.w, c.w);
  }
  EXPECT_EQ(BlendAt(Columns({1}), 200).g, 1);
}

RuleTable Window(long days, int start, int stop) {
  RuleTable t = Columns({1});
  t.week_days = {-1, days};
  t.start_hour = {-1, start};
  t.stop_hour = {-1, stop};
  return t;
}

TEST(ReservoirRuleColumns, WeekdayAndHourWindowsFollowTheCalendarNotTheTimeZone) {
  // 2024-03-04 is a Monday, 2024-03-09 a Saturday, 2024-03-10 a Sunday.
  const RuleTable workdays = Window(12345, 8, 18);
  const RuleTable saturday = Window(6, 0, 24);
  const RuleTable no_hours = Window(12345, -1, -1);
  const struct {
    const RuleTable* table;
    StepDate date;
    bool active;
  } cases[] = {
      {&workdays, {2024, 3, 4, 8}, true},   {&workdays, {2024, 3, 4, 18}, true},
      {&workdays, {2024, 3, 4, 7}, false},  {&workdays, {2024, 3, 4, 19}, false},
      {&workdays, {2024, 3, 8, 12}, true},  {&workdays, {2024, 3, 9, 12}, false},
      {&saturday, {2024, 3, 9, 24}, true},  {&saturday, {2024, 3, 10, 0}, true},
      {&saturday, {2024, 3, 9, 0}, false},  {&saturday, {2024, 3, 10, 1}, false},
      {&no_hours, {2024, 3, 4, 12}, false},
      // A start-up routing releases nothing by rule.
      {&workdays, {0, 0, 0, 0}, false},
  };
  const auto evaluate = [&] {
    std::vector<bool> active;
    for (const auto& c : cases) active.push_back(ColumnActive(*c.table, 1, c.date));
    return active;
  };
  const char* saved = std::getenv("TZ");
  const std::optional<std::string> previous = saved ? std::optional<std::string>(saved) : std::nullopt;
  setenv("TZ", "UTC", 1);
  tzset();
  const std::vector<bool> utc = evaluate();
  setenv("TZ", "Pacific/Auckland", 1);
  tzset();
  const std::vector<bool> auckland = evaluate();
  if (previous) {
    setenv("TZ", previous->c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(utc[i], cases[i].active);
    EXPECT_EQ(auckland[i], cases[i].active);
  }
}

// A one-column table of rows (index, value).
RuleTable Table(std::vector<std::pair<double, double>> rows, bool flow_index = false) {
  RuleTable t = Columns({1});
  t.m = static_cast<int>(rows.size());
  t.index.assign(1, 0);
  t.value.assign(2, std::vector<double>(1, 0));
  for (const auto& [index, value] : rows) {
    t.index.push_back(index);
    t.value[1].push_back(value);
  }
  t.flow_index = flow_index;
  t.slope.assign(2, std::vector<double>(rows.size() + 1, 0));
  for (int i = 1; i < t.m; ++i) {
    const double di = t.index[i + 1] - t.index[i];
    const double dv = t.value[1][i + 1] - t.value[1][i];
    t.slope[1][i] = flow_index ? di / dv : dv / di;
  }
  t.target_cap = {-1, -1};
  t.week_days = {-1, -1};
  t.start_hour = {-1, -1};
  t.stop_hour = {-1, -1};
  return t;
}

TEST(ReservoirRuleOutflow, TheTableReleasesByVolumeWithinItsRowsAndCaps) {
  constexpr StepDate kDay{2001, 6, 1, 12};
  // One sub-step of 60 s in a 1-minute step: the outflow of the volume after the inflow.
  const OutflowStep one{.volume_m3 = 500, .inflow_m3s = 0, .dt_min = 1, .dtmin_s = 60};
  const RuleTable linear = Table({{0, 0}, {1000, 10}});
  EXPECT_DOUBLE_EQ(RuleTableOutflow(linear, one, kDay, nullptr), 5);
  // Outflow as the index: the volume 500 lies half way between 0 m3 (0 m3/s) and 1000 m3 (10 m3/s).
  EXPECT_DOUBLE_EQ(RuleTableOutflow(Table({{0, 0}, {10, 1000}}, true), one, kDay, nullptr), 5);
  RuleTable capped = linear;
  capped.target_cap = {-1, 2};
  EXPECT_DOUBLE_EQ(RuleTableOutflow(capped, one, kDay, nullptr), 2);
  capped.target_cap = {-1, 0};  // 0 and below: no cap
  EXPECT_DOUBLE_EQ(RuleTableOutflow(capped, one, kDay, nullptr), 5);
  // Above its last row a plain reservoir passes its inflow on, cut to the cap.
  const OutflowStep full{.volume_m3 = 5000, .inflow_m3s = 7, .dt_min = 1, .dtmin_s = 60};
  EXPECT_DOUBLE_EQ(RuleTableOutflow(linear, full, kDay, nullptr), 7);
  capped.target_cap = {-1, 3};
  EXPECT_DOUBLE_EQ(RuleTableOutflow(capped, full, kDay, nullptr), 3);
  // A sub-step never takes more than the store holds.
  const OutflowStep little{.volume_m3 = 30, .inflow_m3s = 0, .dt_min = 1, .dtmin_s = 60};
  EXPECT_DOUBLE_EQ(RuleTableOutflow(Table({{0, 100}, {1000, 100}}), little, kDay, nullptr), 0.5);
  // Sub-steps longer than the step: none, so no outflow.
  EXPECT_EQ(RuleTableOutflow(linear, {.volume_m3 = 500, .dt_min = 1, .dtmin_s = 120}, kDay, nullptr), 0);
  // Outside its window a column releases nothing.
  RuleTable closed = linear;
  closed.week_days = {-1, 12345};
  EXPECT_EQ(RuleTableOutflow(closed, one, kDay, nullptr), 0);
}

TEST(ReservoirRuleOutflow, ALakeAboveItsTableReleasesAtLeastItsInflowOnceHalfAMetreHigh) {
  constexpr StepDate kDay{2001, 6, 1, 12};
  // Level 100 m at 0 m3, 1 m per 1000 m3.
  LevelVolumeTable lake;
  lake.levels = {103, 102, 101, 100};
  lake.volumes = {3000, 2000, 1000, 0};
  // One row: slope 0 above it, so the table gives its value 1 m3/s there.
  const RuleTable one_row = Table({{1000, 1}});
  const auto outflow = [&](double volume) {
    return RuleTableOutflow(one_row, {.volume_m3 = volume, .inflow_m3s = 4, .dt_min = 1, .dtmin_s = 60}, kDay, &lake);
  };
  // Position m = 1 is the level 102 m; 102.5 m is the volume 2500 m3 (after the inflow of 240 m3).
  EXPECT_DOUBLE_EQ(outflow(1500), 1);
  EXPECT_DOUBLE_EQ(outflow(2400), 4);
  // A table with more rows than the lake table has entries compares with the last entry
  // (100 m): 640 m3 stand at 100.64 m, 340 m3 at 100.34 m.
  const RuleTable long_table = Table({{0, 0}, {10, 0}, {20, 0}, {30, 0}, {40, 0}});
  const auto long_outflow = [&](double volume) {
    return RuleTableOutflow(long_table, {.volume_m3 = volume, .inflow_m3s = 4, .dt_min = 1, .dtmin_s = 60}, kDay,
                            &lake);
  };
  EXPECT_DOUBLE_EQ(long_outflow(400), 4);
  EXPECT_DOUBLE_EQ(long_outflow(100), 0);
}

TEST(ReservoirRuleOutflow, TheLinearReservoirMatchesItsExactSolution) {
  // Outflow = V / k with k = 1e5 s and a constant inflow of 5 m3/s from an empty store:
  // O(t) = 5 (1 - exp(-t/k)) (Chow, Maidment & Mays 1988, Applied Hydrology, sec. 8.4).
  const RuleTable linear = Table({{0, 0}, {1e6, 10}});
  const double k = 1e5, T = 86400;
  const double expected[] = {1.6534, 3.5899, 4.4058};
  double V = 0;
  for (int day = 1; day <= 3; ++day) {
    const double q = RuleTableOutflow(linear, {.volume_m3 = V, .inflow_m3s = 5, .dt_min = 1440, .dtmin_s = 60},
                                      {2001, 1, day, 24}, nullptr);
    const double exact = 5 * (1 - k / T * (std::exp(-(day - 1) * T / k) - std::exp(-day * T / k)));
    EXPECT_NEAR(q, expected[day - 1], 1e-4) << "day " << day;
    EXPECT_NEAR(q, exact, 1e-3 * exact) << "day " << day;
    V += (5 - q) * T;
  }
}

TEST(ReservoirConnection, ManningStricklerFlowBetweenTwoLevels) {
  const HydraulicConnection channel{.target_reservoir = 7, .width_m = 10, .bottom_m = 100, .length_m = 1000,
                                    .strickler = 30};
  // One sub-step, a lake so wide that its level hardly moves: b = 10 m, d = 2 m,
  // R = 20/14 m, I = 0.001: q = 30 * 20 * R^(2/3) * sqrt(0.001) = 24.067 m3/s.
  const OutflowStep one{.volume_m3 = 1e9, .inflow_m3s = 0, .dt_min = 1, .dtmin_s = 60};
  EXPECT_NEAR(ConnectionOutflow(channel, one, 102, 1e12, 101), 24.067, 1e-3);
  // The other way round the water flows in.
  EXPECT_NEAR(ConnectionOutflow(channel, one, 101, 1e12, 102), -30 * 10 * std::pow(10.0 / 12, 2.0 / 3) * std::sqrt(0.001),
              1e-6);
  // No depth over the bottom, or no water surface: no flow.
  EXPECT_EQ(ConnectionOutflow(channel, one, 100, 1e12, 99), 0);
  EXPECT_EQ(ConnectionOutflow(channel, one, 99.5, 1e12, 101), 0);
  EXPECT_EQ(ConnectionOutflow(channel, one, 102, 0, 101), 0);
  // A small lake drains only down to the bottom: 100 m2 * 0.01 m in 60 s.
  HydraulicConnection wide = channel;
  wide.width_m = 1000;
  EXPECT_NEAR(ConnectionOutflow(wide, one, 100.01, 100, 90), 100 * 0.01 / 60, 1e-12);
  // Nor below an empty store.
  EXPECT_NEAR(ConnectionOutflow(channel, {.volume_m3 = 60, .dt_min = 1, .dtmin_s = 60}, 102, 1e12, 101), 1, 1e-12);
}

}  // namespace
}  // namespace tolvo
