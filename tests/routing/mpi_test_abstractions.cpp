// Abstractions and inflows in the discharge routing under 1, 2 and 3 processes: an
// internal abstraction that hands its water to an inflow further downstream, constant and
// file inflows, and the pairing of internal abstractions with internal inflows.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "framework/statistics_registry.h"
#include "framework/tracer_settings_record.h"
#include "routing/abflussmodellklasse.h"
#include "routing/routing_units.h"
#include "support/row_bands.h"
#include "support/test_support.h"

namespace tolvo {
namespace {

using test::CodeOf;
using test::WorldRank;
using test::WorldSize;

constexpr const char* kRiver = "(kh=1, kv=2, bm=2, bf=10, d=0.5, Mm=25, Mf=15, I=0.01, L=500, Ac=0.0003)";

// A 3 x 3 grid of 10 m cells: sub-basin 1 in the first column, sub-basin 2 in the others.
class AbstractionRoutingTest : public test::LogFixture {
 protected:
  AbstractionRoutingTest() : bands_(WorldRank(), WorldSize(), 3, 3) {
    zones_ = test::GridOf({{1, 2, 2}, {1, 2, 2}, {1, 2, 2}});
    settings_.geometry = {.ncols = 3, .nrows = 3, .cellsize = 10, .nodata_value = kNodata};
    settings_.strip = test::RowBand(WorldRank(), WorldSize(), 3);
    settings_.layout = &bands_.layout();
    settings_.grids = &table_;
    settings_.output_directory = dir_.path().string() + "/";
    settings_.start_date = {2000, 1, 1, 1};
    settings_.compiled_control_file = dir_.file("c.ctl.$$$");
    for (auto [index, identifier] : {std::pair{kZoneGridIndex, "[zone_grid]"}, {2, "zonegrid_soilmodel"}}) {
      table_[index].file_name = identifier;
      table_[index].identifier = identifier;
      table_[index].values = zones_.view();
    }
  }

  static std::string Control(const std::string& description, const std::string& more = "") {
    return "[routing_model]\n1\n60\n1 10000 40 4\nQ.txt 0\nnone\n0\n0\n" + description + "\nend\n\n" + more +
           "\n[output_interval]\n24\n1\n0\n";
  }
  int Build(const std::string& control, int n_tracers = 0) {
    test::WriteFile(dir_.file("c.ctl.$$$"), control);
    if (model_) model_->DeleteModule();
    model_.reset();
    tracers_.assign(static_cast<std::size_t>(n_tracers) + 1, {});
    for (int k = 1; k <= n_tracers; ++k) tracers_[static_cast<std::size_t>(k)].name = "t" + std::to_string(k) + "_";
    return CodeOf([&] {
      model_ = std::make_unique<abflussmodellklasse>(log_, registry_, settings_, 0, n_tracers, tracers_);
    });
  }
  int Start(double runoff_mm) {
    runoff_ = {std::vector<double>{0, runoff_mm, runoff_mm}};
    return CodeOf([&] {
      model_->SetRunoffInput(runoff_);
      model_->InitRouting();
    });
  }

  // Steps first..last of a run whose runoff rises and falls through the day, so that
  // channels change their w-q rows from step to step; the routed discharge of every step
  // as text.
  std::string Steps(int first, int last) {
    std::string rows;
    for (int k = first; k <= last; ++k) {
      const double r = 1 + 40 * (k % 12 < 6 ? k % 12 : 12 - k % 12);
      runoff_[0][1] = r;
      runoff_[0][2] = 0.5 * r;
      model_->RunStep((k - 1) % 24 + 1, 1 + (k - 1) / 24, 1, 2000);
      if (WorldRank() != 0) continue;
      const TracerRows& routed = model_->routed_discharge();
      for (int f = 1; f <= routed.last_index(); ++f) {
        char value[32];
        std::snprintf(value, sizeof value, "%.17g ", routed[0][static_cast<std::size_t>(f)]);
        rows += value;
      }
      rows += "\n";
    }
    return rows;
  }
  // The rows of a reservoir output file after its three header lines.
  std::string ReservoirRows(int from_row) {
    model_->FlushStatistics();
    if (WorldRank() != 0) return {};
    std::string rows;
    int n = 0;
    std::istringstream in(test::ReadFile(dir_.file("res5.txt")));
    for (std::string line; std::getline(in, line);) {
      if (++n >= 3 + from_row) rows += line + "\n";
    }
    return rows;
  }

  test::WorkingDirectory working_directory_{dir_.path()};
  test::RowBandLayout bands_;
  ModelSettings settings_;
  grid_table table_;
  Grid zones_;
  StatisticsRegistry registry_;
  std::vector<TracerSettingsRecord> tracers_ = std::vector<TracerSettingsRecord>(1);
  std::vector<std::vector<double>> runoff_;
  std::unique_ptr<abflussmodellklasse> model_;
};

TEST_F(AbstractionRoutingTest, AnInternalAbstractionIntoAnInflowDownstreamLeavesTheSteadyOutletUnchanged) {
  // Sub-basin 1 gives half of its runoff to inflow 1 of sub-basin 2; the rest reaches
  // sub-basin 2 through its tributary channel. Whichever way it goes, at the outlet of
  // sub-basin 2 the steady discharge is the basin's runoff.
  ASSERT_EQ(Build(Control("TG 1 (A=0.0003, scale=1)\n AL 1 = intern 0 0.5 1e30 mm\n"
                          "TG 2 (A=0.0009, scale=1)\n OL 1 " +
                          std::string(kRiver) + "\n ZL 1 = intern " + kRiver)),
            0)
      << console_.str();
  ASSERT_EQ(Start(2), 0) << console_.str();
  for (int h = 1; h <= 48; ++h) model_->RunStep(h % 24 + 1, 1 + h / 24, 1, 2000);
  if (WorldRank() != 0) return;
  const TracerRows& routed = model_->routed_discharge();
  EXPECT_NEAR(routed[0][1], 1, 1e-9);  // what sub-basin 1 keeps
  EXPECT_NEAR(routed[0][2], 2, 1e-6);
  // The inflow slot holds the abstraction over the inflow channel's area, to the rounding
  // of the unit factor 16.6666667.
  EXPECT_NEAR(routed[0][3], 1, 1e-6);
}

TEST_F(AbstractionRoutingTest, InternalAbstractionsAndInflowsArePairedOneToOne) {
  const std::string tg2 = "TG 2 (A=0.0009, scale=1)\n OL 1 " + std::string(kRiver);
  struct Case {
    std::string description;
    int code;
    const char* message;
  };
  const Case cases[] = {
      {"TG 1 (A=0.0003, scale=1)\n AL 1 = intern 0 1 1 mm\n AL 1 = intern 0 1 1 mm\n" + tg2 +
           "\n ZL 1 = intern " + kRiver,
       300, "Inflow 1 is already connected to an internal abstraction."},
      {"TG 1 (A=0.0003, scale=1)\n" + tg2 + "\n ZL 1 = intern " + kRiver + "\n AL 1 = intern 0 1 1 mm",
       301, "are both defined for the same routing-subbasin TG 2"},
      {"TG 1 (A=0.0003, scale=1)\n" + tg2 + "\n ZL 1 = intern " + kRiver, 302,
       "Internal Inflow ZL 1 has no conenction to an internal abstraction."},
      {"TG 1 (A=0.0003, scale=1)\n AL 1 = intern 0 1 1 mm\n" + tg2, 303,
       "Internal abstraction AL 1 is not connected to any internal inflow."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.description);
    ASSERT_EQ(Build(Control(c.description)), 0) << console_.str();
    // The routing objects live on process 0.
    EXPECT_EQ(Start(1), WorldRank() == 0 ? c.code : 0);
    if (WorldRank() == 0) { EXPECT_TRUE(Logged(c.message)); }
  }
}

TEST_F(AbstractionRoutingTest, AConstantInflowEntersTheRoutingInRoutingMillimetresOfItsChannel) {
  // 2 m3/s over 10 km2 for 60 min: 2 * 0.06 * 60 / 10 = 0.72 mm.
  ASSERT_EQ(Build(Control("TG 2 (A=0.0009, scale=1)\n OL 1 " + std::string(kRiver) +
                          "\n ZL 1 = constant 2 (kh=1, kv=2, bm=2, bf=10, d=0.5, Mm=25, Mf=15, I=0.01, L=500, "
                          "Ac=10)")),
            0)
      << console_.str();
  ASSERT_EQ(Start(0), 0) << console_.str();
  model_->RunStep(1, 1, 1, 2000);
  if (WorldRank() != 0) return;
  EXPECT_NEAR(model_->routed_discharge()[0][3], 0.72, 1e-12);
}

TEST_F(AbstractionRoutingTest, AnInflowFileGivesOneRowPerStepFromTheStartDate) {
  // Three header lines; the search for the start date begins at the first data row.
  test::WriteFile(dir_.file("in.txt"),
                  "inflow\nof\nthe basin\n99 12 31 24 5\n2000 1 1 1 1\n2000 1 1 2 -9999\n2000 1 1 4 3\n");
  const std::string description =
      "TG 2 (A=0.0009, scale=1)\n OL 1 " + std::string(kRiver) + "\n ZL 1 = extern " + dir_.file("in.txt") +
      " 1 5 (kh=1, kv=2, bm=2, bf=10, d=0.5, Mm=25, Mf=15, I=0.01, L=500, Ac=0.06)";
  ASSERT_EQ(Build(Control(description)), 0) << console_.str();
  ASSERT_EQ(Start(0), 0) << console_.str();
  // The routing objects live on process 0; the others only step along.
  const bool routing = WorldRank() == 0;
  const TracerRows& routed = model_->routed_discharge();
  // 1 m3/s over 0.06 km2 for 60 min is 60 mm.
  model_->RunStep(1, 1, 1, 2000);
  if (routing) { EXPECT_NEAR(routed[0][3], 60, 1e-9); }
  model_->RunStep(2, 1, 1, 2000);
  if (routing) { EXPECT_EQ(routed[0][3], 0); }
  EXPECT_EQ(CodeOf([&] { model_->RunStep(3, 1, 1, 2000); }), routing ? 36 : 0);
  if (routing) {
    EXPECT_TRUE(Logged("error comparing dates in " + dir_.file("in.txt") +
                       ":\n     read: 2000.1.1, 4. h,\nshould be: 2000.1.1, 3. h.\n"));
  }

  // Two tracers read from the first value column 5 need three value columns (the discharge
  // and two tracer values); a file with two fails at set-up.
  test::WriteFile(dir_.file("in.txt"), "2000 1 1 1 1 7\n2000 1 1 2 1 7\n");
  ASSERT_EQ(Build(Control(description), 2), routing ? 38 : 0) << console_.str();
  if (routing) {
    EXPECT_TRUE(Logged("there is not the required number of columns in " + dir_.file("in.txt") +
                       " for reading ZL[1] and the follwoing 2 tracer values starting from column 5"))
        << console_.str();
  }
  test::WriteFile(dir_.file("in.txt"), "2000 1 1 1 1 7 8\n2000 1 1 2 1 7 8\n");
  ASSERT_EQ(Build(Control(description), 2), 0) << console_.str();

  // A file that ends before the run: the step without a row fails.
  test::WriteFile(dir_.file("in.txt"), "2000 1 1 1 1\n2000 1 1 2 1\n");
  ASSERT_EQ(Build(Control(description)), 0);
  ASSERT_EQ(Start(0), 0);
  model_->RunStep(1, 1, 1, 2000);
  model_->RunStep(2, 1, 1, 2000);
  EXPECT_EQ(CodeOf([&] { model_->RunStep(3, 1, 1, 2000); }), routing ? 39 : 0);
  if (routing) {
    EXPECT_TRUE(Logged("error reading from " + dir_.file("in.txt") +
                       " (or from its buffer) for inflow 1\nreached end of file!"));
  }
}

TEST_F(AbstractionRoutingTest, ARunRestartedFromTheRoutingSectionContinuesExactly) {
  // The inflow channel is ten times as long as the tributary channel, so it has another
  // number of sub-channels.
  const std::string control = Control(
      "TG 2 (A=0.0009, scale=1)\n OL 1 " + std::string(kRiver) +
          "\n ZL 1 = constant 0.01 (kh=1, kv=2, bm=2, bf=10, d=0.5, Mm=25, Mf=15, I=0.01, L=5000, Ac=0.0003)"
          "\n SP 5 file = res5.txt V0 = 36000 C0 = 0 0 0 0 0 0 0 0 0",
      "[abstraction_rule_reservoir_5]\n2\n0 0\n360000 100\n");
  ASSERT_EQ(Build(control), 0) << console_.str();
  ASSERT_EQ(Start(1), 0) << console_.str();
  Steps(1, 24);
  const std::string whole = Steps(25, 48);
  const std::string whole_reservoir = ReservoirRows(25);

  ASSERT_EQ(Build(control), 0);
  ASSERT_EQ(Start(1), 0);
  // Read code 2 reads nothing, not even a missing file, but keeps the name for the end.
  ASSERT_EQ(CodeOf([&] { model_->ReadStorageContent("state.ftz", 2); }), 0);
  Steps(1, 24);
  model_->SetInitialised(1);
  model_->DeleteModule();
  if (WorldRank() == 0) {
    ASSERT_TRUE(model_->wrote_storage_content());
    const std::string section = test::ReadFile(dir_.file("state.ftz"));
    EXPECT_EQ(section.rfind("[routing_model]\n2 (routing subbasin with tributaries 1\n", 0), 0u) << section;
    EXPECT_NE(section.find("FillPosition[subchannel 1]"), std::string::npos);
  }
  model_.reset();

  settings_.input_directory = dir_.path().string() + "/";
  ASSERT_EQ(Build(control), 0);
  ASSERT_EQ(Start(1), 0);
  ASSERT_EQ(CodeOf([&] { model_->ReadStorageContent("state.ftz", 1); }), 0) << console_.str();
  EXPECT_EQ(Steps(25, 48), whole);
  EXPECT_EQ(ReservoirRows(1), whole_reservoir);
}

TEST_F(AbstractionRoutingTest, AStateSectionThatDoesNotFitTheNetworkOrDoesNotReadIsRefused) {
  // Only process 0 routes, reads and writes the section.
  const int expected_failure = WorldRank() == 0 ? 71 : 0;
  settings_.input_directory = dir_.path().string() + "/";
  const std::string control = Control("TG 2 (A=0.0009, scale=1)\n OL 1 " + std::string(kRiver));
  ASSERT_EQ(Build(control), 0);
  ASSERT_EQ(Start(1), 0);
  model_->SetInitialised(1);
  model_->DeleteModule();
  // Without a name the section goes to "storage.ftz".
  model_.reset();
  // The other processes only take part in the collective set-up.
  std::string good = "0 1 (tracer/flow index and tributary subbasin)\n (wqtab FillPosition\n";
  if (WorldRank() == 0) good = test::ReadFile(dir_.file("storage.ftz"));
  ASSERT_NE(good.find("FillPosition"), std::string::npos);

  struct Case {
    std::string text;
    const char* message;
  };
  std::string other_index = good;
  other_index.replace(other_index.find("0 1 (tracer"), 3, "0 7");
  std::string broken = good;
  const std::string label = "(tracer/flow index and tributary subbasin)\n";
  broken.insert(broken.find(label) + label.size(), "x");
  std::string old_layout = good;
  const std::size_t fill = old_layout.find("FillPosition");
  const std::size_t line_start = old_layout.rfind('\n', fill) + 1;
  old_layout.erase(line_start, old_layout.find('\n', fill) + 1 - line_start);
  // The overlap store's line: unreadable, and left out as files written before it was kept.
  std::string broken_store = good;
  std::string without_store = good;
  if (WorldRank() == 0) {
    const std::size_t store = good.find("OverlapStore");
    ASSERT_NE(store, std::string::npos);
    const std::size_t store_start = good.rfind('\n', store) + 1;
    broken_store.replace(store_start, 1, "x");
    without_store.erase(store_start, good.find('\n', store) + 1 - store_start);
  }
  const Case cases[] = {
      {other_index, "error reading tributary index in file"},
      {broken, "error reading a number in file"},
      {old_layout, "written by an older version"},
      {broken_store, "error reading the overlap store in file"},
      {"[soil]\n", "error looking for the section routing_model in"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    if (WorldRank() == 0) test::WriteFile(dir_.file("in.ftz"), c.text);
    ASSERT_EQ(Build(control), 0);
    ASSERT_EQ(Start(1), 0);
    EXPECT_EQ(CodeOf([&] { model_->ReadStorageContent("in.ftz", 1); }), expected_failure);
    if (WorldRank() == 0) { EXPECT_TRUE(Logged(c.message)) << console_.str(); }
  }
  EXPECT_EQ(CodeOf([&] { model_->ReadStorageContent("none.ftz", 1); }), WorldRank() == 0 ? 64 : 0);
  if (WorldRank() == 0) test::WriteFile(dir_.file("in.ftz"), without_store);
  ASSERT_EQ(Build(control), 0);
  ASSERT_EQ(Start(1), 0);
  EXPECT_EQ(CodeOf([&] { model_->ReadStorageContent("in.ftz", 1); }), 0) << console_.str();
}

TEST_F(AbstractionRoutingTest, AnObjectWithoutChannelsAndReservoirsWritesItsCodeAndAnEmptyCount) {
  ASSERT_EQ(Build(Control("TG 2 (A=0.0009, scale=1)\n")), 0) << console_.str();
  ASSERT_EQ(Start(1), 0);
  model_->SetInitialised(1);
  model_->DeleteModule();
  if (WorldRank() == 0) {
    EXPECT_EQ(test::ReadFile(dir_.file("storage.ftz")),
              "[routing_model]\n2 (routing subbasin with tributaries\n0 (number of reservoirs)\n\n\n\n");
  }
  model_.reset();
}

TEST_F(AbstractionRoutingTest, ASetUpThatDidNotFinishWritesNoRoutingState) {
  ASSERT_EQ(Build(Control("TG 2 (A=0.0009, scale=1)\n")), 0) << console_.str();
  ASSERT_EQ(Start(1), 0);
  model_->DeleteModule();
  EXPECT_FALSE(std::filesystem::exists(dir_.file("storage.ftz")));
  model_.reset();
}

}  // namespace
}  // namespace tolvo
