// Abstractions drawn from a reservoir ("intern_with_rule_from_reservoir"): their rule at the
// running volume in every sub-step of the reservoir's rules, their week days and hours, the
// cap of the receiving sub-basin, and the reservoir's balance with the water they take.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "framework/control_file_stream.h"
#include "framework/tracer_settings_record.h"
#include "routing/reservoir_abstractions.h"
#include "routing/routing_units.h"
#include "routing/sp_class.h"
#include "support/test_support.h"

namespace tolvo {
namespace {

// A reservoir that releases nothing and one abstraction (code 4) whose rule takes
// V / 5e5 s at volume V up to 1e6 m3 (2 m3/s).
constexpr const char* kRules =
    "[abstraction_rule_reservoir_5]\n2\n0 0\n1000000 0\n\n"
    "[abstraction_rule_abstraction_4]\n2\n0 0\n1000000 2\n";

class ReservoirAbstractionTest : public test::LogFixture {
 protected:
  void Build(double v0_m3, const std::string& keywords = "WeekDays = 1234567\nstart_hour = 0\nstop_hour = 24\n") {
    test::WriteFile(dir_.file("rules.ctl"), std::string("[other]\n1\n") + kRules + keywords + "\n");
    ControlFileStream file(dir_.file("rules.ctl"));
    reservoir_.SetUp(log_, {.n_tracers = 0,
                            .tracers = tracers_,
                            .subbasin_code = 2,
                            .code_index = code_index_,
                            .column_ranges = {},
                            .geometry = {.ncols = 1, .nrows = 1, .cellsize = 100, .nodata_value = kNodata},
                            .lake_flow_control = 0,
                            .output_directory = dir_.path().string() + "/"});
    const std::string entry = "SP 5 file = res5.txt V0 = " + std::to_string(v0_m3) + " C0 = 0 dTmin = 60";
    reservoir_.ReadParameters(entry, 0, entry.size());
    reservoir_.ReadRules(file);
    AL_class& a = abstractions_[1];
    a.SetUp({.log = &log_,
             .tracers = tracers_,
             .n_tracers = 0,
             .owner_code = 2,
             .area_km2 = 0.6,
             .scale_factor = 1,
             .dt_min = 60,
             .output_directory = dir_.path().string() + "/"});
    const std::string block = "TG 2 (AI = 10 1) AL 4 = intern_with_rule_from_reservoir";
    a.ReadDefinition(block, block.find("AL"), {.year = 2020, .month = 6, .day = 1, .hour = 1});
    a.ReadRules(file);
    draws_.Bind(abstractions_, nullptr);
  }
  // One step of dt_min minutes (sub-steps of 60 s).
  void Step(double inflow_m3s, const StepDate& date, double dt_min = 1440) {
    reservoir_.ReservoirStep({.inflow_m3s = inflow_m3s,
                              .routed = routed_,
                              .dt_min = dt_min,
                              .irrigation_m3 = 0,
                              .abstraction_m3 = 0,
                              .draws = &draws_},
                             date);
  }
  double rate() { return abstractions_[1].current()[0]; }

  std::vector<int> code_index_ = {0, 0, 1};
  std::vector<TracerSettingsRecord> tracers_ = std::vector<TracerSettingsRecord>(1);
  std::vector<double> routed_ = std::vector<double>(1, 0.0);
  SP_class reservoir_;
  std::vector<AL_class> abstractions_ = std::vector<AL_class>(2);
  ReservoirAbstractions draws_;
};

TEST_F(ReservoirAbstractionTest, TheRuleDrawsSubStepBySubStepAndTheReservoirKeepsItsBalance) {
  // Without inflow and outflow each 60-s sub-step takes V / 5e5 s * 60 s: after a day
  // V = 1e6 (1 - 1.2e-4)^1440 m3 (explicit linear decay, exact for the sub-steps).
  Build(1e6);
  Step(0, {.year = 2020, .month = 6, .day = 1, .hour = 24});
  const double left = 1e6 * std::pow(1 - 60 / 5e5, 1440);
  EXPECT_NEAR(reservoir_.content()[0], left, 1e-6);
  EXPECT_NEAR(rate() * 86400, 1e6 - left, 1e-6);
  EXPECT_NEAR(reservoir_.balance(BalanceTerm::kAbstr).volume_m3, 1e6 - left, 1e-6);
  EXPECT_EQ(reservoir_.outflow(), 0);
  // With an inflow the store keeps its balance over many steps: start + inflow =
  // end + drawn, to round-off.
  double start = reservoir_.content()[0];
  double inflow = 0;
  double drawn = 0;
  for (int day = 2; day <= 30; ++day) {
    Step(1.5, {.year = 2020, .month = 6, .day = day, .hour = 24});
    inflow += 1.5 * 86400;
    drawn += rate() * 86400;
    EXPECT_NEAR(reservoir_.balance(BalanceTerm::kAbstr).volume_m3, rate() * 86400, 1e-6) << day;
  }
  EXPECT_NEAR(start + inflow, reservoir_.content()[0] + drawn, 1e-9 * (start + inflow));
  // Towards the steady state, where the draw balances the inflow at V = 1.5 * 5e5 m3
  // (the gap shrinks by e^(-86400 / 5e5) a day).
  EXPECT_NEAR(rate(), 1.5, 2e-3);
}

TEST_F(ReservoirAbstractionTest, NothingIsDrawnOutsideTheWeekDaysAndHoursNorInStartUpRoutings) {
  struct Case {
    const char* keywords;
    StepDate date;
    bool draws;
  };
  // 1 June 2020 is a Monday; hour 0 belongs to the Sunday before.
  const Case cases[] = {
      {"WeekDays = 1\nstart_hour = 8\nstop_hour = 18\n", {2020, 6, 1, 8}, true},
      {"WeekDays = 1\nstart_hour = 8\nstop_hour = 18\n", {2020, 6, 1, 18}, true},
      {"WeekDays = 1\nstart_hour = 8\nstop_hour = 18\n", {2020, 6, 1, 7}, false},
      {"WeekDays = 1\nstart_hour = 8\nstop_hour = 18\n", {2020, 6, 1, 19}, false},
      {"WeekDays = 23456\nstart_hour = 0\nstop_hour = 24\n", {2020, 6, 1, 12}, false},
      {"WeekDays = 7\nstart_hour = 0\nstop_hour = 24\n", {2020, 6, 1, 0}, true},
      // Without week days every day counts; without hours never.
      {"start_hour = 0\nstop_hour = 24\n", {2020, 6, 3, 12}, true},
      {"WeekDays = 1234567\n", {2020, 6, 1, 12}, false},
      // Start-up routings move no water.
      {"WeekDays = 1234567\nstart_hour = 0\nstop_hour = 24\n", {0, 0, 0, 0}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.keywords) + " hour " + std::to_string(c.date.hour));
    reservoir_ = SP_class();
    abstractions_ = std::vector<AL_class>(2);
    Build(5e5, c.keywords);
    Step(0, c.date, 60);
    EXPECT_EQ(rate() > 0, c.draws);
    EXPECT_NEAR(reservoir_.content()[0] + rate() * 3600, 5e5, 1e-6);
  }
}

TEST_F(ReservoirAbstractionTest, TheCapCountsTheFlowEnteringTheReceivingSubbasin) {
  // The rule gives 2 m3/s at 1e6 m3; TargetCap 5 with 3.5 m3/s entering the source's
  // cascade leaves 1.5 m3/s; without a TargetCap nothing is drawn. (The conversion of
  // routing millimetres back to m3/s carries a factor rounded to 16.6666667.)
  for (const double cap : {5.0, -1.0}) {
    SCOPED_TRACE(cap);
    const std::string keywords = "WeekDays = 1234567\nstart_hour = 0\nstop_hour = 24\n" +
                                 (cap > 0 ? "TargetCap = " + std::to_string(cap) + "\n" : std::string());
    reservoir_ = SP_class();
    abstractions_ = std::vector<AL_class>(2);
    Build(1e6, keywords);
    TranslationCascades cascade(0, 3);
    cascade(0, 3) = {0, ToRoutingMillimetres(3.5, 0.6, 60)};
    abstractions_[1].SetRuleTarget(2, 3, 0.6, 1, 0.6);
    const StepDate date{.year = 2020, .month = 6, .day = 1, .hour = 12};
    EXPECT_NEAR(abstractions_[1].EvaluateRuleAtTime(&cascade, date, 1e6), cap > 0 ? 1.5 : 0.0, 1e-7);
    EXPECT_NEAR(abstractions_[1].EvaluateRuleAtTime(&cascade, date, 5e5), cap > 0 ? 1.0 : 0.0, 1e-7);
  }
}

}  // namespace
}  // namespace tolvo
