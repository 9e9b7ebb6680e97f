// The discharge routing sub-model under 1, 2 and 3 processes: process 0 holds the network
// and the hand-over arrays, every other process is switched off; section values that
// cannot be used fail on process 0 with their entry.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <memory>
#include <regex>
#include <sstream>
#include <string>

#include "framework/statistics_registry.h"
#include "framework/tracer_settings_record.h"
#include "routing/abflussmodellklasse.h"
#include "support/row_bands.h"
#include "support/test_support.h"

namespace tolvo {
namespace {

using test::CodeOf;
using test::WorldRank;

constexpr double N = kNodata;

// A 2 x 3 grid of 100 m cells: sub-basin 1 on two cells, sub-basin 2 on three.
class RoutingModelTest : public test::LogFixture {
 protected:
  RoutingModelTest() {
    zones_ = test::GridOf({{1, 1, 2}, {2, 2, N}});
    settings_.geometry = {.ncols = 3, .nrows = 2, .cellsize = 100, .nodata_value = kNodata};
    settings_.strip = {1, 2};
    settings_.grids = &table_;
    settings_.output_directory = dir_.path().string() + "/";
    settings_.start_date = {2000, 1, 1, 2};
    Place(kZoneGridIndex, "zones.asc", "[zone_grid]");
    Place(2, "zones.asc", "zonegrid_soilmodel");
  }

  void Place(int index, const char* file, const char* identifier) {
    table_[index].file_name = file;
    table_[index].identifier = identifier;
    table_[index].values = zones_.view();
  }

  // The section after its module switch and time step.
  static std::string Section(int module_switch, const std::string& rest = kRest) {
    return "[routing_model]\n" + std::to_string(module_switch) + "  switch\n60  time step\n" + rest;
  }
  static constexpr const char* kRest =
      "1 10000 40 4  qmin qmax intervals sub-intervals\n"
      "Qstat.txt 2001  statistics\n"
      "obs.txt  observed discharge\n"
      "1  gauges\n"
      "2 3  sub-basin 2 in column 3\n"
      "5  R-square offset\n"
      "TG 2 (A=0.05, scale=1)\n"
      " OL 1 (kh=1, kv=2, bm=2, bf=10, d=0.5, Mm=25, Mf=15, I=0.01, L=500, Ac=0.02)\n"
      "end\n";

  // The routed discharge in millimetres per sub-basin.
  static constexpr const char* kOutputInterval = "\n[output_interval]\n24\n1\n0  unit\n";

  // The code the constructor raises, or 0; a built model stays in model_.
  int Build(const std::string& section, int n_tracers = 0, bool output_interval = true,
            const std::string& output_section = kOutputInterval) {
    test::WriteFile(dir_.file("c.ctl.$$$"), output_interval ? section + output_section : section);
    settings_.compiled_control_file = dir_.file("c.ctl.$$$");
    model_.reset();
    return CodeOf(
        [&] { model_ = std::make_unique<abflussmodellklasse>(log_, registry_, settings_, 0, n_tracers, tracers_); });
  }

  // The channel tables go into the working directory: the test's folder.
  test::WorkingDirectory working_directory_{dir_.path()};
  ModelSettings settings_;
  grid_table table_;
  Grid zones_;
  StatisticsRegistry registry_;
  std::vector<TracerSettingsRecord> tracers_;
  std::unique_ptr<abflussmodellklasse> model_;
};

TEST_F(RoutingModelTest, OnlyTheFirstProcessRoutes) {
  const struct {
    int module_switch;
  } cases[] = {{1}, {2}, {3}};  // any switch but 0 and 2 routes like 1
  for (const auto& c : cases) {
    SCOPED_TRACE(c.module_switch);
    console_.str("");
    table_[3] = grid_entry();
    // One tracer with a half-life of one hour: over a 60-min step it halves, over each of
    // the four sub-intervals it keeps 0.5^(1/4).
    tracers_.assign(2, {});
    tracers_[1].name = "cl_";
    tracers_[1].radioactive = 1;
    tracers_[1].half_time = 1.0 / 24;
    tracers_[1].statext = "sta";
    tracers_[1].statcode = 2001;
    ASSERT_EQ(Build(Section(c.module_switch), 1), 0) << console_.str();
    if (WorldRank() != 0) {
      EXPECT_EQ(model_->IsActive(), 0);
      EXPECT_EQ(model_->switch_as_read(), c.module_switch);
      EXPECT_EQ(model_->GetRoutingTarget(), nullptr);
      EXPECT_EQ(model_->GetAbfrel(), nullptr);
      EXPECT_EQ(model_->GetMaxIrrig(), nullptr);
      EXPECT_EQ(model_->GetMaxIrrigFromReservoirs(), nullptr);
      EXPECT_EQ(model_->prec_on_lakes_index(), 0);
      EXPECT_FALSE(table_[3].identifier.has_value());
      continue;
    }
    EXPECT_EQ(model_->IsActive(), c.module_switch);
    EXPECT_EQ(model_->switch_as_read(), 1);
    EXPECT_NEAR(tracers_[1].decay_factor, 0.5, 1e-9);
    EXPECT_NEAR(tracers_[1].substep_decay_factor, std::pow(0.5, 0.25), 1e-9);
    EXPECT_TRUE(std::filesystem::exists(dir_.file("cl_routi.sta")));
    EXPECT_TRUE(Logged("file abfluss, compiled at "));

    // The section's values in their order.
    EXPECT_EQ(model_->table_range().qmin, 1);
    EXPECT_EQ(model_->table_range().qmax, 10000);
    EXPECT_EQ(model_->table_range().intervals, 40);
    EXPECT_EQ(model_->sub_interval_count(), 4);
    // The table completes its name with the output directory.
    EXPECT_EQ(model_->statistics_file(), dir_.file("Qstat.txt"));
    EXPECT_EQ(model_->statistics_code(), 2001);
    EXPECT_EQ(model_->observed_file(), "obs.txt");
    EXPECT_EQ(std::vector<int>(model_->gauge_columns().begin(), model_->gauge_columns().end()),
              (std::vector<int>{0, 0, 3}));
    EXPECT_EQ(model_->rsquare_offset(), 5);
    EXPECT_EQ(model_->description_counts().tg, 1);
    EXPECT_EQ(model_->description_counts().ol, 1);
    EXPECT_TRUE(Logged("number inbetween areas (routings)    : 1"));
    EXPECT_TRUE(Logged("so the total of routingchannels is   : 1"));

    // abfrel from the sub-basin table: 0.05 km2, shares 2/5 and 3/5; sub-basin 2 drains
    // both once its routing object has weighed its tributary.
    const AreaShares* abfrel = model_->GetAbfrel();
    ASSERT_NE(abfrel, nullptr);
    ASSERT_EQ(abfrel->relative_area.size(), 3u);
    EXPECT_NEAR(abfrel->relative_area[0], 0.05, 1e-15);
    EXPECT_DOUBLE_EQ(abfrel->relative_area[1], 0.4);
    EXPECT_DOUBLE_EQ(abfrel->relative_area[2], 1.0);
    EXPECT_EQ(abfrel->scale, (std::vector<double>{1, 1, 1}));
    const RoutingTarget* target = model_->GetRoutingTarget();
    ASSERT_NE(target, nullptr);
    EXPECT_EQ(target->tributaries, (std::vector<int>{0, 1, 0, 0, 0}));
    EXPECT_EQ(target->target, (std::vector<int>{0, 2, 0}));
    EXPECT_EQ(target->object_number, (std::vector<int>{0, 0, 1}));
    EXPECT_TRUE(Logged("reading routing description 1"));
    EXPECT_TRUE(Logged("error opening obs.txt")) << console_.str();
    EXPECT_TRUE(Logged("Routing will be done without comparison to observed discharge data!"));
    EXPECT_EQ(model_->observed_past_end(), 10);
    EXPECT_EQ(model_->observed_substitution(), 0);
    ASSERT_NE(model_->GetMaxIrrig(), nullptr);
    EXPECT_EQ(model_->GetMaxIrrig()->tracer_count(), 1);
    EXPECT_EQ(model_->GetMaxIrrig()->last_index(), 2);
    EXPECT_EQ(model_->GetMaxIrrigFromReservoirs()->last_index(), 2);
    EXPECT_EQ(model_->sub_interval_flow().sub_interval_count(), 4);
    EXPECT_EQ(model_->sub_interval_flow().last_flow_index(), 2);
    EXPECT_EQ(model_->translation_cascade().last_flow_index(), 2);

    // "PrecOnLakes" takes the first free entry, on process 0 only, and leaves it at the end.
    EXPECT_EQ(model_->prec_on_lakes_index(), 3);
    EXPECT_EQ(table_[3].identifier, "PrecOnLakes");
    EXPECT_EQ(table_[3].file_name, "PrecOnLakes");
    EXPECT_EQ(table_[3].values.rows().first, 1);
    EXPECT_EQ(table_[3].values.rows().last, 2);
    model_->DeleteModule();
    EXPECT_FALSE(table_[3].identifier.has_value());
  }
}

TEST_F(RoutingModelTest, SwitchZeroReadsTwoLinesAndWritesNothing) {
  // Neither the lines after the time step nor the sub-basin grid are looked at.
  table_[2] = grid_entry();
  ASSERT_EQ(Build(Section(0, "not a number\n")), 0) << console_.str();
  EXPECT_EQ(model_->IsActive(), 0);
  EXPECT_EQ(model_->switch_as_read(), WorldRank() == 0 ? 1 : 0);
  EXPECT_EQ(model_->GetAbfrel(), nullptr);
  EXPECT_EQ(model_->GetRoutingTarget(), nullptr);
  EXPECT_EQ(model_->GetMaxIrrig(), nullptr);
  EXPECT_EQ(model_->GetMaxIrrigFromReservoirs(), nullptr);
  EXPECT_FALSE(table_[2].identifier.has_value());
  model_->DeleteModule();
  for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
    const std::string name = entry.path().filename().string();
    EXPECT_TRUE(name == "c.ctl.$$$" || name.starts_with("d")) << name;
  }
}

TEST_F(RoutingModelTest, ADescriptionWithoutRoutingObjectsStillHasEveryArray) {
  ASSERT_EQ(Build(Section(1, "1 10000 40 4\nQ.txt 0\nnone\n0\n0\nno network here\n")), 0) << console_.str();
  if (WorldRank() != 0) return;
  EXPECT_EQ(model_->description_counts().tg, 0);
  EXPECT_TRUE(Logged("number inbetween areas (routings)    : 0"));
  ASSERT_NE(model_->GetAbfrel(), nullptr);
  EXPECT_EQ(model_->GetAbfrel()->relative_area.size(), 3u);
  EXPECT_EQ(model_->GetRoutingTarget()->tributaries.size(), 5u);
  EXPECT_EQ(model_->GetMaxIrrig()->last_index(), 2);
  EXPECT_EQ(model_->sub_interval_flow().last_flow_index(), 2);
  EXPECT_FALSE(model_->translation_cascade().empty());
  EXPECT_GT(model_->prec_on_lakes_index(), 0);
}

// Values that cannot be used fail on process 0, which alone reads them; the other
// processes are switched off before.
TEST_F(RoutingModelTest, UnusableSectionValuesFailWithTheirEntry) {
  const auto rest = [](const std::string& line3, const std::string& gauges = "0\n") {
    return line3 + "\nQ.txt 0\nnone\n" + gauges + "0\nend\n";
  };
  const struct {
    const char* what;
    std::string section;
    int code;
    std::string entry;
    bool at_end_of_file = false;
  } cases[] = {
      {"three values on line 3", Section(1, rest("1 10000 40")), 17,
       "values for min/max specific discharge and/or discharge and time interval splitting   \n"
       "not found in control file"},
      {"qmin 0", Section(1, rest("0 10000 40 4")), 17,
       "(third line) in [routing_model]: qmin 0, qmax 10000, intervals 40, sub-intervals 4; expected qmin > 0"},
      {"qmax not above qmin", Section(1, rest("10 10 40 4")), 17, "qmin 10, qmax 10, intervals 40, sub-intervals 4"},
      {"qmax beyond any number", Section(1, rest("1 inf 40 4")), 17, "qmin 1, qmax inf, intervals 40"},
      {"less than one interval", Section(1, rest("1 10000 0.5 4")), 17, "intervals 0.5, sub-intervals 4; expected"},
      {"no sub-interval", Section(1, rest("1 10000 40 0")), 17, "intervals 40, sub-intervals 0; expected"},
      {"qmin no number", Section(1, rest("nan 10000 40 4")), 17, "qmin nan, qmax 10000"},
      {"gauge of a code without sub-basin", Section(1, rest("1 10000 40 4", "1\n7 1\n")), 17,
       "the subbasin code 7 for column indexing in routing model is no subbasin code"},
      {"gauge of code 0", Section(1, rest("1 10000 40 4", "1\n0 1\n")), 17,
       "the subbasin code 0 for column indexing in routing model is no subbasin code"},
      {"gauge column no number", Section(1, rest("1 10000 40 4", "1\n1 x\n")), 17,
       "error reading a column number for column indexing in routing model"},
      {"gauge code no number", Section(1, rest("1 10000 40 4", "1\nx 1\n")), 17,
       "error reading a subbasin index for column indexing in routing model"},
      {"statistics code missing", Section(1, "1 10000 40 4\nQ.txt\n"), 17,
       "error in control file, name of the Qstatfiles for routing_model; routing_modelnot found!"},
      {"description without its end", Section(1, "1 10000 40 4\nQ.txt 0\nnone\n0\n0\nTG 2 (A=1)\n"), 38,
       "error reading a routing description from control file! (eof reached).", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    console_.str("");
    table_[3] = grid_entry();
    EXPECT_EQ(Build(c.section, 0, !c.at_end_of_file), WorldRank() == 0 ? c.code : 0);
    if (WorldRank() == 0) {
      EXPECT_TRUE(Logged(c.entry)) << console_.str();
    }
  }
}

TEST_F(RoutingModelTest, AFullGridTableLeavesNoEntryForPrecOnLakes) {
  for (int i = 3; i <= kLastGridIndex; ++i) {
    table_[i].file_name = "taken";
    table_[i].identifier = "taken" + std::to_string(i);
  }
  EXPECT_EQ(Build(Section(1)), WorldRank() == 0 ? 12 : 0);
  if (WorldRank() == 0) {
    EXPECT_TRUE(Logged("no more free grids in memory, (max. 1000)!")) << console_.str();
  }
}

// The description of the sub-model's third to seventh lines: no observed file, no gauge.
std::string Head(const std::string& observed = "none", const std::string& gauges = "0\n", int offset = 0) {
  return "1 10000 40 4\nQstat.txt 2001\n" + observed + "\n" + gauges + std::to_string(offset) + "\n";
}
const std::string kChannel = " (kh=1, kv=2, bm=2, bf=10, d=0.5, Mm=25, Mf=15, I=0.01, L=500, Ac=0.02)";

TEST_F(RoutingModelTest, TheSecondReadingRefusesWhatTheNetworkCannotHold) {
  const std::string long_tail(1198 - std::string("TG 2 (A=0.05, s=1)").size(), ' ');
  const struct {
    const char* what;
    std::string description;
    int code;
    std::string entry;
  } cases[] = {
      {"a line of 1198 characters", "TG 2 (A=0.05, s=1)" + long_tail + "\nend\n", 0, "reading routing description 1"},
      {"a closing line longer than a block line", "TG 2 (A=0.05, s=1)\nend" + std::string(1300, ' '), 0,
       "reading routing description 1"},
      {"a line of 1199 characters", "TG 2 (A=0.05, s=1)" + long_tail + " \nend\n", 40,
       "string is too long (max. 1200 chars):"},
      {"a block of more than 12000 characters",
       "TG 2 (A=0.05, s=1)\n" + [] {
         std::string lines;
         for (int i = 0; i < 11; ++i) lines += " OL" + std::string(1100, ' ') + "\n";
         return lines;
       }() + "end\n",
       40, "routing description 1 holds 12151 characters (max. 12000 chars)"},
      {"the same sub-basin in two blocks", "TG 2 (A=0.05, s=1)\nTG 2 (A=0.05, s=1)\nend\n", 41,
       "routing description 2, entry TG 2: sub-basin 2 already has routing description 1"},
      {"a tributary of two blocks", "TG 2 (A=0.05, s=1)\n OL 1" + kChannel + "\nTG 1 (A=0.02, s=1)\n OL 2" + kChannel +
                                        "\n OL 2" + kChannel + "\nend\n",
       41, "routing description 2, entry OL 2: sub-basin 2 already flows into sub-basin 1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    console_.str("");
    table_[3] = grid_entry();
    EXPECT_EQ(Build(Section(1, Head() + c.description)), WorldRank() == 0 ? c.code : 0);
    if (WorldRank() == 0) {
      EXPECT_TRUE(Logged(c.entry)) << console_.str();
    }
  }
}

TEST_F(RoutingModelTest, ABlockBeforeItsTributarysBlockIsReportedOnce) {
  ASSERT_EQ(Build(Section(1, Head() + "TG 2 (A=0.05, s=1)\n OL 1" + kChannel + "\nTG 1 (A=0.02, s=1)\nend\n")), 0)
      << console_.str();
  if (WorldRank() != 0) return;
  const std::string console = console_.str();
  const std::string warning = "routing description 1 (TG 2) comes before routing description 2 (TG 1)";
  ASSERT_NE(console.find(warning), std::string::npos) << console;
  EXPECT_EQ(console.find(warning, console.find(warning) + 1), std::string::npos);
}

TEST_F(RoutingModelTest, NoRunoffFailsWith43) {
  ASSERT_EQ(Build(Section(1)), 0) << console_.str();
  EXPECT_EQ(CodeOf([&] { model_->SetRunoffInput({}); }), WorldRank() == 0 ? 43 : 0);
  if (WorldRank() == 0) {
    EXPECT_TRUE(Logged("No valid discharges for discharge routing!")) << console_.str();
  }
}

// The start-up routes the first runoff until it has passed the slowest channel: N times,
// one dot each; none when the state comes from storage grids.
TEST_F(RoutingModelTest, StartUpRoutingsFollowTheSlowestChannel) {
  for (int readgrids : {0, 1}) {
    SCOPED_TRACE(readgrids);
    console_.str("");
    test::WriteFile(dir_.file("c.ctl.$$$"),
                    Section(1, Head() + "TG 2 (A=0.05, s=1)\n OL 1 (kh=1, kv=2, bm=2, bf=10, d=0.5, Mm=25, Mf=15, "
                                        "I=0.0001, L=30000, Ac=0.02)\nend\n") +
                        kOutputInterval);
    settings_.compiled_control_file = dir_.file("c.ctl.$$$");
    model_ = std::make_unique<abflussmodellklasse>(log_, registry_, settings_, readgrids, 0, tracers_);
    std::vector<std::vector<double>> runoff = {{0, 1.0, 2.0}};
    model_->SetRunoffInput(runoff);
    std::vector<ZoneRecord> demand(3, ZoneRecord{.n = 1, .sx = 0.5, .zonenwert = 0, .rel = 0.5, .RelCellSum = 1});
    model_->SetIrrigationDemand(demand);
    model_->InitRouting();
    if (WorldRank() != 0) continue;
    const std::string console = console_.str();
    const std::smatch found = [&] {
      std::smatch m;
      std::regex_search(console, m, std::regex(R"(routing the initialization discharges \((\d+) times\)(\.*))"));
      return m;
    }();
    if (readgrids != 0) {
      EXPECT_TRUE(found.empty()) << console;
      continue;
    }
    ASSERT_FALSE(found.empty()) << console;
    const int n = std::stoi(found[1].str());
    // One step of 60 minutes per whole hour of the slowest travel time.
    const double hours = std::trunc(model_->routing_objects()[0]->channel(1).table.t[1]);
    EXPECT_EQ(n, std::max(1, static_cast<int>(hours)));
    EXPECT_GT(n, 1);
    EXPECT_EQ(found[2].length(), static_cast<std::size_t>(n));
    // Start-up routings take no irrigation water and restore the runoff of every sub-basin.
    for (double v : (*model_->GetMaxIrrig())[0]) EXPECT_EQ(v, 0);
    for (double v : (*model_->GetMaxIrrigFromReservoirs())[0]) EXPECT_EQ(v, 0);
    EXPECT_EQ(model_->routed_discharge()[0][1], 1.0);
  }
}

// An observed file of five value columns, hours 0 to 5 of 1 January 2000; the value of
// column k in hour h is 10 h + k. The run starts at hour 2.
TEST_F(RoutingModelTest, ObservedDischargeFromTheStartDateToPastTheEnd) {
  std::string file = "YY MM DD HH a b c d e\n";
  for (int h = 0; h <= 5; ++h) {
    std::ostringstream record;
    record << "2000 1 1 " << h;
    for (int k = 1; k <= 5; ++k) record << ' ' << 10 * h + k;
    file += record.str() + "\n";
  }
  test::WriteFile(dir_.file("obs.txt"), file);
  const std::string section =
      Section(2, Head(dir_.file("obs.txt"), "2\n1 7\n2 3\n") + "TG 2 (A=0.05, s=1)\n OL 1" + kChannel + "\nend\n");
  ASSERT_EQ(Build(section, 0, true, "\n[output_interval]\n24\n1\n5  unit\n"), 0) << console_.str();
  std::vector<std::vector<double>> runoff = {{0, 1.0, 2.0}};
  model_->SetRunoffInput(runoff);
  model_->InitRouting();
  if (WorldRank() == 0) {
    EXPECT_TRUE(Logged("looking for starting date in " + dir_.file("obs.txt"))) << console_.str();
    // Column 7 is beyond the five columns of the file: sub-basin 1 has no gauge.
    EXPECT_EQ(std::vector<int>(model_->gauge_columns().begin(), model_->gauge_columns().end()),
              (std::vector<int>{0, 0, 3}));
    EXPECT_EQ(model_->observed_substitution(), 1);
    const ObservedRing* ring = model_->observed_ring();
    ASSERT_NE(ring, nullptr);
    EXPECT_EQ(ring->current(3), 23);  // hour 2
    EXPECT_EQ(ring->row(0)[3], 23);
    EXPECT_EQ(ring->row(13)[3], 53);  // hour 5, the last record
    EXPECT_EQ(ring->row(20)[3], 53);
    EXPECT_EQ(model_->observed_past_end(), 7);  // rows 14 to 20 read past the end
  }
  for (int h = 2; h <= 6; ++h) model_->RunStep(h, 1, 1, 2000);
  if (WorldRank() != 0) return;
  const std::string console = console_.str();
  const auto count = [&](const std::string& text) {
    std::size_t n = 0;
    for (std::size_t at = console.find(text); at != std::string::npos; at = console.find(text, at + 1)) ++n;
    return n;
  };
  EXPECT_EQ(count("end of discharge file reached!"), 3u) << console;
  EXPECT_EQ(count("observed runoff: actual date 1.1.2000 5h not found (end of discharge file at"), 1u);
  EXPECT_EQ(count("observed runoff: actual date 1.1.2000 6h not found"), 1u);
  // Steps 1 to 3 compared sub-basin 2 with the observations of hours 2, 3 and 4.
  const FitSums& sums = model_->rsquare_sums(false)->at(0, 2);
  EXPECT_EQ(sums.observed_count, 3);
  EXPECT_EQ(sums.observed_sum, 23 + 33 + 43);
  EXPECT_EQ(model_->rsquare_sums(false)->at(0, 1).observed_count, 0);
  // The end of a finished run appends the four goodness-of-fit blocks of 21 shifts, each
  // between two rule lines; three pairs give sub-basin 2 its measures, sub-basin 1 has
  // none (-9999, never a perfect fit).
  model_->SetInitialised(1);
  model_->DeleteModule();
  const std::string table = test::ReadFile(dir_.file("Qstat.txt"));
  EXPECT_NE(table.find("routed discharge (unknown measure)"), std::string::npos) << table;
  EXPECT_EQ(std::count(table.begin(), table.end(), '\n'), 3 + 5 + 1 + 4 * 22) << table;
  for (const char* label : {"LIN. R-SQUARE\t0\t-9999.0000\t", "LOG. R-SQUARE\t0\t-9999.0000\t",
                            "COEFF.VAR.LIN\t0\t-9999.0000\t", "COEFF.VAR.LOG\t0\t-9999.0000\t",
                            "lin. R-square\t-10\t", "coeff.var.log\t10\t"}) {
    EXPECT_NE(table.find(std::string("\n") + label), std::string::npos) << label << "\n" << table;
  }
}

TEST_F(RoutingModelTest, ARunWithoutObservedDischargeEndsWithoutGoodnessOfFit) {
  ASSERT_EQ(Build(Section(1, Head() + "TG 2 (A=0.05, s=1)\n OL 1" + kChannel + "\nend\n")), 0) << console_.str();
  std::vector<std::vector<double>> runoff = {{0, 1.0, 2.0}};
  model_->SetRunoffInput(runoff);
  model_->InitRouting();
  for (int h = 2; h <= 4; ++h) model_->RunStep(h, 1, 1, 2000);
  model_->SetInitialised(1);
  model_->DeleteModule();
  if (WorldRank() != 0) return;
  const std::string table = test::ReadFile(dir_.file("Qstat.txt"));
  EXPECT_EQ(std::count(table.begin(), table.end(), '\n'), 3 + 3) << table;
  EXPECT_EQ(table.find("----"), std::string::npos) << table;
}

}  // namespace
}  // namespace tolvo
