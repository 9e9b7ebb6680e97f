// A plain reservoir: its entry in the routing description, its rules, its step with the
// balance of the step, its registration and its output file.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "framework/control_file_stream.h"
#include "framework/grid_distribution.h"
#include "framework/tracer_settings_record.h"
#include "routing/sp_class.h"
#include "support/test_support.h"

namespace tolvo {
namespace {

using test::CodeOf;

constexpr const char* kLinearRule = "[abstraction_rule_reservoir_5]\n2\n0 0\n1000000 10\n\n";

class ReservoirTest : public test::LogFixture {
 protected:
  // A plain reservoir of sub-basin 2 with the entry and, when given, the rule section.
  void Build(const std::string& entry, int n_tracers = 0, const std::string& rules = kLinearRule) {
    tracers_.assign(static_cast<std::size_t>(n_tracers) + 1, {});
    for (int k = 1; k <= n_tracers; ++k) tracers_[static_cast<std::size_t>(k)].name = "t" + std::to_string(k) + "_";
    reservoir_ = SP_class();
    reservoir_.SetUp(log_, {.n_tracers = n_tracers,
                            .tracers = tracers_,
                            .subbasin_code = 2,
                            .code_index = code_index_,
                            .column_ranges = {},
                            .geometry = {.ncols = 1, .nrows = 1, .cellsize = 100, .nodata_value = kNodata},
                            .lake_flow_control = 0,
                            .output_directory = dir_.path().string() + "/"});
    reservoir_.ReadParameters(entry, 0, entry.size());
    if (rules.empty()) return;
    test::WriteFile(dir_.file("rules.ctl"), "[other]\n1\n" + rules);
    ControlFileStream file(dir_.file("rules.ctl"));
    reservoir_.ReadRules(file);
  }
  double Step(double inflow_m3s, const StepDate& date, double irrigation_m3 = 0, double abstraction_m3 = 0) {
    return reservoir_.ReservoirStep({.inflow_m3s = inflow_m3s,
                                     .routed = routed_,
                                     .dt_min = 1440,
                                     .irrigation_m3 = irrigation_m3,
                                     .abstraction_m3 = abstraction_m3},
                                    date);
  }

  std::vector<int> code_index_ = {0, 0, 1};
  std::vector<TracerSettingsRecord> tracers_;
  std::vector<double> routed_ = std::vector<double>(10, 0.0);
  SP_class reservoir_;
};

const char* kEntry = "SP 5 file = res5.txt V0 = 0 C0 = 0 0 0 0 0 0 0 0 0 dTmin = 60";

// The lines of a text file.
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<double> Numbers(const std::string& line) {
  std::vector<double> values;
  std::istringstream in(line);
  for (double v; in >> v;) values.push_back(v);
  return values;
}

TEST_F(ReservoirTest, ALinearReservoirFilledByAConstantInflowKeepsItsBalanceAndWritesItsRows) {
  // Rule "outflow = volume / 1e5 s", 5 m3/s into an empty store, daily steps and sub-steps
  // of 60 s: the daily mean outflows of the exact linear reservoir are 1.6520, 3.5889 and
  // 4.4053 m3/s (Chow, Maidment & Mays 1988, Applied Hydrology, sec. 8.4).
  Build(kEntry);
  reservoir_.CreateOutputFile();
  const double T = 86400;
  const double expected[] = {1.6534, 3.5899, 4.4058};
  const double exact[] = {1.6520, 3.5889, 4.4053};
  for (int day = 1; day <= 3; ++day) {
    SCOPED_TRACE(day);
    const double start = reservoir_.content()[0];
    EXPECT_EQ(Step(5, {2001, 1, day, 24}), 0);
    const double q = reservoir_.outflow();
    EXPECT_NEAR(q, expected[day - 1], 1e-4);
    EXPECT_NEAR(q, exact[day - 1], 1e-3 * exact[day - 1]);
    EXPECT_NEAR(reservoir_.content()[0], start + (5 - q) * T, 1e-9 * reservoir_.content()[0]);
    // Only inflow and outflow move; a plain reservoir has no level, surface or depths.
    EXPECT_EQ(reservoir_.balance(BalanceTerm::kQin).volume_m3, 5 * T);
    EXPECT_EQ(reservoir_.balance(BalanceTerm::kQin).rate_m3s, 5);
    EXPECT_DOUBLE_EQ(reservoir_.balance(BalanceTerm::kQout).volume_m3, q * T);
    EXPECT_EQ(reservoir_.balance(BalanceTerm::kQout).rate_m3s, q);
    EXPECT_EQ(reservoir_.level(), 0);
    EXPECT_EQ(reservoir_.area(), 0);
    for (int t = 0; t < kBalanceTerms; ++t) EXPECT_EQ(reservoir_.balance(static_cast<BalanceTerm>(t)).depth_mm, 0);
    EXPECT_EQ(reservoir_.balance(BalanceTerm::kDv).volume_m3, 0);
    EXPECT_EQ(reservoir_.balance(BalanceTerm::kErr).volume_m3, 0);
    reservoir_.AppendOutputRow(2001, 1, day, 24);
  }
  const std::string header = Lines(test::ReadFile(dir_.file("res5.txt")))[0];
  EXPECT_EQ(header.size(), 268u);
  reservoir_.FlushOutput(1);
  EXPECT_TRUE(Logged("flushing to disk: " + dir_.file("res5.txt") + " (2097152 buffersize)"));
  const std::vector<std::string> lines = Lines(test::ReadFile(dir_.file("res5.txt")));
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[1], "reservoir_5");
  EXPECT_EQ(lines[2], header);
  const std::vector<double> row = Numbers(lines[5]);
  ASSERT_EQ(row.size(), 34u);
  EXPECT_EQ(std::vector<double>(row.begin(), row.begin() + 4), (std::vector<double>{2001, 1, 3, 24}));
  EXPECT_NEAR(row[6], reservoir_.content()[0], 1e-5 * row[6]);    // V[m3]
  EXPECT_EQ(row[9], 5);                                           // Qin[m3s]
  EXPECT_NEAR(row[12], reservoir_.outflow(), 1e-5);               // Qout[m3s]
  // A flush without buffered rows writes and logs nothing more.
  console_.str("");
  reservoir_.FlushOutput(1);
  EXPECT_FALSE(Logged("flushing to disk"));
  EXPECT_EQ(Lines(test::ReadFile(dir_.file("res5.txt"))).size(), 6u);
}

TEST_F(ReservoirTest, WithdrawalsAndOutflowNeverTakeMoreThanTheStore) {
  // An outflow rule of 100 m3/s whatever the volume.
  const std::string greedy = "[abstraction_rule_reservoir_5]\n2\n0 100\n1e12 100\n\n";
  Build("SP 5 file = r.txt V0 = 1000 C0 = 0 0 0 0 0 0 0 0 0", 0, greedy);
  // Irrigation and abstraction above the volume empty it; the outflow is cut to the inflow.
  // Irrigation draws first; the balance books only the 1000 m3 the store held, so the
  // withdrawals and the change of the store agree.
  Step(0.01, {2001, 1, 1, 24}, 600, 600);
  EXPECT_EQ(reservoir_.content()[0], 0);
  EXPECT_DOUBLE_EQ(reservoir_.outflow(), 0.01);
  EXPECT_EQ(reservoir_.balance(BalanceTerm::kIrrig).volume_m3, 600);
  EXPECT_EQ(reservoir_.balance(BalanceTerm::kAbstr).volume_m3, 400);
  // Irrigation alone above the volume books the volume.
  Build("SP 5 file = r.txt V0 = 1000 C0 = 0 0 0 0 0 0 0 0 0", 0, greedy);
  Step(0, {2001, 1, 1, 24}, 1500, 0);
  EXPECT_EQ(reservoir_.content()[0], 0);
  EXPECT_EQ(reservoir_.balance(BalanceTerm::kIrrig).volume_m3, 1000);
  EXPECT_EQ(reservoir_.balance(BalanceTerm::kAbstr).volume_m3, 0);

  // A start-up routing moves no water: the outflow (above the table the inflow) is only
  // limited to the volume.
  Build("SP 5 file = r.txt V0 = 86400 C0 = 0 0 0 0 0 0 0 0 0", 0,
        "[abstraction_rule_reservoir_5]\n2\n0 100\n10 100\n\n");
  Step(50, {0, 0, 0, 0});
  EXPECT_EQ(reservoir_.content()[0], 86400);
  EXPECT_DOUBLE_EQ(reservoir_.outflow(), 1);
}

TEST_F(ReservoirTest, TracersOfTheInflowMixIntoTheStore) {
  Build("SP 5 file = r.txt V0 = 86400 C0 = 2 7 0 0 0 0 0 0 0", 2,
        "[abstraction_rule_reservoir_5]\n2\n0 0\n1e12 0\n\n");
  tracers_[2].radioactive = 1;
  tracers_[2].decay_factor = 0.5;
  routed_ = {0, 4, 1};
  // 1 m3/s over a day doubles the volume: the mean of store and inflow, after decay.
  Step(1, {2001, 1, 1, 24});
  EXPECT_DOUBLE_EQ(reservoir_.content()[0], 2 * 86400);
  EXPECT_DOUBLE_EQ(reservoir_.content()[1], 3);
  EXPECT_DOUBLE_EQ(reservoir_.content()[2], (3.5 + 1) / 2);
}

TEST_F(ReservoirTest, TheEntryIsReadKeyByKeyAfterItsCode) {
  Build("SP 5 file=out/r5.txt V0 = 250.5 C0 = 1 2 3 4 5 6 7 8 9", 3, "");
  EXPECT_EQ(reservoir_.code(), 5);
  EXPECT_EQ(reservoir_.file_name(), dir_.path().string() + "/out/r5.txt");
  EXPECT_EQ(reservoir_.content()[0], 250.5);
  EXPECT_EQ(std::vector<double>(reservoir_.content().begin() + 1, reservoir_.content().end()),
            (std::vector<double>{1, 2, 3}));
  EXPECT_EQ(reservoir_.dtmin_s(), 60);

  // Absolute names stay; a short C0 is enough for the tracers there are.
  Build("SP 6 file = /tmp/r6.txt V0 = 0 C0 = 1.5 2 dTmin = 600", 2, "");
  EXPECT_EQ(reservoir_.file_name(), "/tmp/r6.txt");
  EXPECT_EQ(reservoir_.dtmin_s(), 600);
  EXPECT_EQ(SP_class::PrefixPath("", "a.txt"), "a.txt");
  // Names are not cut to any length.
  const std::string long_name = std::string(1500, 'r') + ".txt";
  Build("SP 6 file = /" + long_name + " V0 = 0 C0 = 1.5 2", 2, "");
  EXPECT_EQ(reservoir_.file_name(), "/" + long_name);
  EXPECT_EQ(SP_class::PrefixPath("dir/", "~/a.txt"), "~/a.txt");

  // The values of a block's first entry end where its second begins.
  const std::string block = "TG 2 SP 5 file = a.txt V0 = 1 C0 = 0 SP 6 file = b.txt V0 = 2 C0 = 0 dTmin = 30";
  reservoir_ = SP_class();
  reservoir_.SetUp(log_, {.subbasin_code = 2, .code_index = code_index_});
  reservoir_.ReadParameters(block, 5, block.find("SP 6"));
  EXPECT_EQ(reservoir_.content()[0], 1);
  EXPECT_EQ(reservoir_.dtmin_s(), 60);
  reservoir_.ReadParameters(block, block.find("SP 6"), block.size());
  EXPECT_EQ(reservoir_.code(), 6);
  EXPECT_EQ(reservoir_.content()[0], 2);
  EXPECT_EQ(reservoir_.dtmin_s(), 30);

  // Output rows: 4 date values, 30 values and one per tracer, in about 2 MiB.
  Build(kEntry, 0, "");
  EXPECT_EQ(reservoir_.buffer_capacity(), 7489);
  Build(kEntry, 9, "");
  EXPECT_EQ(reservoir_.buffer_capacity(), 5957);
}

TEST_F(ReservoirTest, EntriesAndRuleSectionsThatCannotBeUsedFail) {
  const struct {
    const char* entry;
    const char* rules;
    int code;
    const char* logged;
  } cases[] = {
      {"SP 5 V0 = 0 C0 = 0", kLinearRule, 35, "for reservoir 5: no \"file =\" found!"},
      {"SP 5 file = r.txt C0 = 0", kLinearRule, 35, "for reservoir 5: no \"V0 =\" found!"},
      {"SP 5 file = r.txt V0 = x C0 = 0", kLinearRule, 35, "for reservoir 5: no \"V0 =\" found!"},
      {"SP 5 file = r.txt V0 = 0", kLinearRule, 35, "for reservoir 5: no \"C0 =\" found!"},
      {"SP 5 file = r.txt V0 = 0 C0 = 1", kLinearRule, 35,
       "for reservoir 5: \"C0 =\" holds 1 initial concentrations, expected one for each of the 2 tracers"},
      {kEntry, "[abstraction_rule_reservoir_6]\n2\n0 0\n1 1\n", 34,
       "section [abstraction_rule_reservoir_5] not found in control file"},
      // A header on the last line without a line end has no section after it.
      {kEntry, "[abstraction_rule_reservoir_5]", 34, "section [abstraction_rule_reservoir_5] not found"},
      {kEntry, "[abstraction_rule_reservoir_5]\n0\nHydraulicConnection {TargetReservoir = 7; ChannelWidth = 10;"
               " ChannelBottom = 100; ChannelLength = 1000; RoughnessCoeff = 30 }\n",
       29, "reservoir 5 has a HydraulicConnection, but lake modelling is off"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.entry + std::string(" / ") + c.rules);
    console_.str("");
    EXPECT_EQ(CodeOf([&] { Build(c.entry, 2, c.rules); }), c.code);
    EXPECT_TRUE(Logged(c.logged)) << console_.str();
  }
  // An output file that cannot be created, and one that vanishes before the rows go out.
  Build("SP 5 file = no/such/dir/r.txt V0 = 0 C0 = 0", 0, "");
  EXPECT_EQ(CodeOf([&] { reservoir_.CreateOutputFile(); }), 37);
  EXPECT_TRUE(Logged("error opening " + dir_.file("no/such/dir/r.txt") + " for reservoir 5"));
  reservoir_.AppendOutputRow(2001, 1, 1, 24);
  EXPECT_EQ(CodeOf([&] { reservoir_.FlushOutput(1); }), 65);
  EXPECT_TRUE(Logged("error opening reservoir file " + dir_.file("no/such/dir/r.txt")));
}

TEST_F(ReservoirTest, TheRegistriesKeepTheFirstReservoirOfACode) {
  ReservoirMap map;
  HydraulicConnectionSet set;
  Build(kEntry);
  SP_class first = std::move(reservoir_);
  first.RegisterReservoir(map);
  Build(kEntry);
  reservoir_.RegisterReservoir(map);
  reservoir_.RegisterSubbasin(set);
  ASSERT_EQ(map.size(), 1u);
  EXPECT_EQ(map.at(5).area, &first.area());
  EXPECT_EQ(set.at(2), false);
}

}  // namespace
}  // namespace tolvo
