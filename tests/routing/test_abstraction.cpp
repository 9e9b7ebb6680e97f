// An abstraction: its definition in the routing description, its amount per step by mode
// and its output file.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "framework/control_file_stream.h"
#include "framework/tracer_settings_record.h"
#include "routing/al_class.h"
#include "routing/routing_units.h"
#include "support/test_support.h"

namespace tolvo {
namespace {

using test::CodeOf;

constexpr ModelDate kStart{.year = 1995, .month = 1, .day = 1, .hour = 24};

class AbstractionTest : public test::LogFixture {
 protected:
  // An abstraction of an object with A = 0.6 km2 (scale factor 1), hourly steps: 1 m3/s
  // is 1 * 0.06 * 60 / 0.6 = 6 routing millimetres.
  AL_class& Build(const std::string& entry, int n_tracers = 0, double area_km2 = 0.6) {
    tracers_.assign(static_cast<std::size_t>(n_tracers) + 1, {});
    for (int k = 1; k <= n_tracers; ++k) tracers_[static_cast<std::size_t>(k)].name = "c" + std::to_string(k);
    abstraction_ = AL_class();
    abstraction_.SetUp({.log = &log_,
                        .tracers = tracers_,
                        .n_tracers = n_tracers,
                        .owner_code = 2,
                        .area_km2 = area_km2,
                        .scale_factor = 1,
                        .dt_min = 60,
                        .output_directory = dir_.path().string() + "/"});
    const std::string block = "TG 2 (AI = 10 1) OL 1 (0 0 0 0 0 0 0 0 0 0) " + entry;
    abstraction_.ReadDefinition(block, block.find("AL"), kStart);
    return abstraction_;
  }
  double Take(double available, double already = 0, const StepDate& date = {1995, 1, 1, 24}) {
    return abstraction_.ComputeAbstraction(routed_, already, available, date);
  }

  std::vector<TracerSettingsRecord> tracers_;
  TracerRows routed_{0, 3};
  AL_class abstraction_;
};

TEST_F(AbstractionTest, AFixedShareLeavesTheMinimumFlowAndIsCappedByTheMaximum) {
  struct Case {
    const char* entry;
    double available, already, expected;
  };
  const Case cases[] = {
      // below the minimum flow nothing is taken
      {"AL 3 = extern a.txt 10 0.5 100 mm", 9, 0, 0},
      // half of the flow above the minimum
      {"AL 3 = extern a.txt 10 0.5 100 mm", 30, 0, 10},
      // earlier abstractions leave less: no more than down to the minimum flow
      {"AL 3 = extern a.txt 10 0.5 100 mm", 30, 15, 5},
      // share 1 without a limit takes everything above the minimum flow
      {"AL 3 = extern a.txt 10 1 1e30 mm", 30, 0, 20},
      // the maximum caps
      {"AL 3 = extern a.txt 10 0.5 4 mm", 30, 0, 4},
      // limits in m3/s: 1 m3/s minimum = 6 mm, 2 m3/s maximum = 12 mm
      {"AL 3 = extern a.txt 1 1 2 m3/s", 30, 0, 12},
      {"AL 3 = extern a.txt 1 1 2 m^3/s)", 10, 0, 4},
      {"AL 3 = extern a.txt 1 1 2 m3s", 10, 0, 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.entry) + " available " + std::to_string(c.available));
    Build(c.entry);
    double already = c.already;
    const double a = abstraction_.ComputeAbstraction(routed_, already, c.available, {1995, 1, 1, 24});
    EXPECT_NEAR(a, c.expected, 1e-9);
    EXPECT_NEAR(already, c.already + c.expected, 1e-9);
  }
}

TEST_F(AbstractionTest, ModeWordsAreMatchedExactlyAndAnUnknownOneIsFatal) {
  struct Case {
    const char* entry;
    AbstractionMode mode;
  };
  const Case cases[] = {{"AL 4 = intern) 0 1 5 mm", AbstractionMode::kIntern},
                        {"AL 4 = extern b.txt 0 1 5 mm", AbstractionMode::kExtern},
                        {"AL 4 = intern_with_rule", AbstractionMode::kInternWithRule},
                        {"AL 4 = extern_with_rule r.txt", AbstractionMode::kExternWithRule},
                        {"AL 4 = intern_with_rule_from_reservoir", AbstractionMode::kInternFromReservoir}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.entry);
    EXPECT_EQ(Build(c.entry).mode(), c.mode);
    EXPECT_EQ(abstraction_.code(), 4);
  }
  EXPECT_EQ(CodeOf([&] { Build("AL 4 = Extern b.txt 0 1 5 mm"); }), 44);
  EXPECT_TRUE(Logged("the modus \"Extern\" is not supported for abstraction 4"));
}

TEST_F(AbstractionTest, AnExternalAbstractionWritesItsHeaderAndBufferedRowsInCubicMetres) {
  Build("AL 7 = extern out.txt 0 1 1e30 mm", 1);
  EXPECT_EQ(abstraction_.row_capacity(), 2097152u / 48u);
  const double values[] = {1.5, 0.25};
  abstraction_.AppendOutputRow({1995, 1, 1, 24}, values);
  abstraction_.AppendOutputRow({1995, 1, 2, 1}, values);
  abstraction_.FlushOutput(1);
  EXPECT_EQ(test::ReadFile(dir_.file("out.txt")),
            "YY\tMM\tDD\tHH\tm^3/s\tc1\nabstraction_7\nYY\tMM\tDD\tHH\tm^3/s\tc1\n"
            "1995\t 1\t 1\t24\t1.5\t0.25\n1995\t 1\t 2\t 1\t1.5\t0.25\n");
  // A second definition of the same file starts it anew.
  Build("AL 7 = extern out.txt 0 1 1e30 mm", 1);
  EXPECT_EQ(test::ReadFile(dir_.file("out.txt")), "YY\tMM\tDD\tHH\tm^3/s\tc1\nabstraction_7\nYY\tMM\tDD\tHH\tm^3/s\tc1\n");
}

TEST_F(AbstractionTest, AnAbstractionFromAFileStartsAtTheStartDateAndTakesAMissingValueAsNothing) {
  test::WriteFile(dir_.file("in.txt"),
                  "series\n94 12 31 24 9 9\n95 1 1 24 1 2\n95 1 2 24 -9999 3\n95 1 3 24 0.5 100\n");
  const std::string entry = "AL 5 = from_file input_file = " + dir_.file("in.txt") + " column = 0 output = o.txt";
  Build(entry);
  // 1 m3/s = 6 mm; the start-up routings (month 0) keep the reader on the start row.
  EXPECT_NEAR(Take(100, 0, {}), 6, 1e-9);
  EXPECT_NEAR(Take(100), 6, 1e-9);
  EXPECT_EQ(Take(100), 0);
  // No more than the water left.
  EXPECT_NEAR(Take(1), 1, 1e-9);

  EXPECT_EQ(CodeOf([&] { Build("AL 5 = from_file input_file = " + dir_.file("in.txt") + " column = 2 output = o.txt"); }),
            38);
  EXPECT_TRUE(Logged("input column 2 of abstraction 5 is not a value column of " + dir_.file("in.txt")));

  test::WriteFile(dir_.file("late.txt"), "95 1 2 24 1\n95 1 3 24 1\n");
  EXPECT_EQ(CodeOf([&] { Build("AL 5 = from_file input_file = " + dir_.file("late.txt") + " c = 0 o = o.txt"); }), 38);
  EXPECT_TRUE(Logged("starting date 1.1.1995, 24. h in " + dir_.file("late.txt") + " not found."));
  EXPECT_EQ(CodeOf([&] { Build("AL 5 = from_file input_file = " + dir_.file("none.txt") + " c = 0 o = o.txt"); }), 37);
}

TEST_F(AbstractionTest, AZoneGridAreaRescalesTheLimitsGivenAsDepths) {
  Build("AL 3 = extern a.txt 2 0.5 8 m3/s", 0, 10);
  const double minimum = abstraction_.minimum_flow();
  const double maximum = abstraction_.maximum();
  abstraction_.RescaleArea(20);
  EXPECT_DOUBLE_EQ(abstraction_.minimum_flow(), minimum * 0.5);
  EXPECT_DOUBLE_EQ(abstraction_.maximum(), maximum * 0.5);
  // The limits keep their m3/s over the new area.
  EXPECT_NEAR(ToCubicMetresPerSecond(abstraction_.maximum(), 20, 60), 8, 1e-6);
}

// Two seasons starting on days 1 and 201; rows at 0, 10 and 20 m3/s.
constexpr const char* kRule =
    "[abstraction_rule_abstraction_7]\n3 1 201\n0 0 0\n10 1 3\n20 2 5\n";

class AbstractionRuleTest : public AbstractionTest {
 protected:
  int ReadRules(const std::string& section) {
    Build("AL 7 = extern_with_rule r.txt");
    test::WriteFile(dir_.file("rules.ctl"), "[other]\n1\n" + section);
    ControlFileStream file(dir_.file("rules.ctl"));
    return CodeOf([&] { abstraction_.ReadRules(file); });
  }
  // The rule's amount in m3/s (1 m3/s = 6 routing millimetres here).
  double Rule(double x_m3s, int month, int day) {
    return abstraction_.EvaluateRule(routed_, {1995, month, day, 12}, x_m3s) / 6;
  }
};

TEST_F(AbstractionRuleTest, SeasonsAreBlendedByDayOfTheYearAndRowsInterpolated) {
  ASSERT_EQ(ReadRules(kRule), 0);
  // 11 April is day 101: both seasons weigh 0.5; x = 5 gives 0.5 and 1.5 m3/s.
  EXPECT_NEAR(Rule(5, 4, 11), 1.0, 1e-9);
  // Day 300 continues the line through both seasons: w = 299 / 200 = 1.495.
  EXPECT_NEAR(Rule(5, 10, 27), 1.495 * 1.5 - 0.495 * 0.5, 1e-9);
  // At or below the first row nothing; above the last row the season's last value alone.
  EXPECT_EQ(Rule(0, 4, 11), 0);
  EXPECT_NEAR(Rule(25, 4, 11), 5, 1e-9);
  // Before the second season the first alone.
  EXPECT_NEAR(Rule(15, 1, 1), 1.5, 1e-9);
}

TEST_F(AbstractionRuleTest, ATargetCapCountsTheReceivingFlow) {
  ASSERT_EQ(ReadRules(std::string(kRule) + "TargetCap = 5 5\n"), 0);
  // The receiving sub-basin's tributary carries 3 m3/s over 0.6 km2: 18 mm.
  routed_[0][1] = 18;
  abstraction_.SetRuleTarget(2, 1, 0.6, 1, 0.6);
  EXPECT_NEAR(Rule(25, 4, 11), 2, 1e-6);
  EXPECT_NEAR(Rule(5, 4, 11), 1, 1e-9);
  EXPECT_FALSE(Logged("gives no TargetCap"));

  // Without a cap such a rule can never deliver, and the set-up says so.
  ASSERT_EQ(ReadRules(kRule), 0);
  abstraction_.SetRuleTarget(2, 1, 0.6, 1, 0.6);
  EXPECT_EQ(Rule(25, 4, 11), 0);
  EXPECT_TRUE(Logged("column 1 of [abstraction_rule_abstraction_7] gives no TargetCap"));
}

TEST_F(AbstractionRuleTest, AMissingSectionOrAShortRowIsFatal) {
  EXPECT_EQ(ReadRules("[abstraction_rule_abstraction_8]\n1\n0 0\n"), 34);
  EXPECT_TRUE(Logged("section [abstraction_rule_abstraction_7] not found in control file"));
  EXPECT_EQ(ReadRules("[abstraction_rule_abstraction_7]\n3 1 201\n0 0 0\n10 1\n20 2 5\n"), 34);
  EXPECT_TRUE(Logged("[abstraction_rule_abstraction_7] of abstraction 7: row 2 of the rule table holds 2 numbers"));
}

}  // namespace
}  // namespace tolvo
