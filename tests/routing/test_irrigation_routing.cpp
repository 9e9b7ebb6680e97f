// Irrigation from surface water through the discharge routing: one sub-basin whose outlet
// is a reservoir. Every step the water the irrigation puts on the cells is the water the
// routing takes from the river (the reservoir receives that much less) and from the
// reservoir (its irrigation term), plus what the river could not give yet and owes.
#include <gtest/gtest.h>

#include <array>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "framework/grid_table.h"
#include "framework/model_settings.h"
#include "framework/statistics_registry.h"
#include "framework/tracer_settings_record.h"
#include "routing/abflussmodellklasse.h"
#include "routing/irrigationclass.h"
#include "support/test_support.h"

namespace tolvo {
namespace {

constexpr double kCellArea_m2 = 100 * 100;

// A 2 x 2 grid of 100 m cells, all in sub-basin 1 (0.04 km2), hourly steps. Cells (1,1) and
// (1,2) irrigate 24 mm a day from surface water, cell (2,1) the same from groundwater, cell
// (2,2) not at all. The sub-basin's runoff of 0.3 mm per step flows straight into the
// reservoir 5 at its outlet, which releases its volume over 3600 s.
class IrrigationThroughRoutingTest : public test::LogFixture {
 protected:
  IrrigationThroughRoutingTest() {
    IrrigationRecord count;
    count.code = 2;
    table_.push_back(count);
    for (int origin : {2, 1}) {
      IrrigationRecord rule;
      rule.method = IrrigationMethod::FixedTable;
      rule.origin = origin;
      rule.tabcnt = 2;
      rule.month = {0, 6, 6};
      rule.day = {0, 2, 3};
      rule.amount = {0, 24, 24};
      table_.push_back(rule);
    }
    test::WriteFile(dir_.file("c.ctl.$$$"),
                    "[irrigation]\n1\n60\nirr_gw.stat 2001\nirr_sw.stat 2001\n\n"
                    "[routing_model]\n1\n60\n1 10000 40 4\nQ.txt 0\nnone\n0\n0\n"
                    "TG 1 (A=0.04, scale=1)\n SP 5 file = res5.txt V0 = 10 C0 = 0 0 0 0 0 0 0 0 0\nend\n\n"
                    "[abstraction_rule_reservoir_5]\n2\n0 0\n360000 100\n\n"
                    "[output_interval]\n24\n1\n0\n");
    settings_.compiled_control_file = dir_.file("c.ctl.$$$");
    settings_.geometry = {.ncols = 2, .nrows = 2, .cellsize = 100, .nodata_value = kNodata};
    settings_.strip = {1, 2};
    settings_.grids = &grids_;
    settings_.output_directory = dir_.path().string() + "/";
    settings_.start_date = {2020, 6, 1, 1};
    settings_.irrigation = &table_;
    records_[0].rel = 0.04;  // the basin area [km2]
    records_[1] = {.n = 0, .sx = 0, .zonenwert = 1, .rel = 1, .RelCellSum = 0};
    settings_.zones = {.zone_count = 1, .largest_code = 1, .zones = records_, .code_index = code_index_,
                       .column_ranges = {}};
    int index = kZoneGridIndex;
    Add(index++, "[zone_grid]", 1);
    Add(index++, "zonegrid_soilmodel", 1);
    for (const char* id : {"precipitation", "irrigation_amounts", "SB_1_grid", "SBLOW_grid", "SBHIGH_grid", "ETR2ETP",
                           "root_depth1"}) {
      Add(index++, id, 0);
    }
    Add(index++, "Max_Pumping", 0.5);
    Add(index++, "irrigation_codes", 0);
    grid_["irrigation_codes"](1, 1) = 1;
    grid_["irrigation_codes"](1, 2) = 1;
    grid_["irrigation_codes"](2, 1) = 2;
  }

  void Add(int index, const std::string& id, double value) {
    Grid& grid = storage_.emplace_back(1, 2, 2, 2);
    grid.fill(value);
    grids_[index].file_name = id;
    grids_[index].identifier = id;
    grids_[index].values = grid.view();
    grid_[id] = grid.view();
  }

  // Builds both sub-models and links them as the application does; the routing reads the
  // state `state_file` names with `read_code` (0: none) before it learns the demand.
  void Build(const std::string& state_file = "", int read_code = 0) {
    irrigation_ = std::make_unique<irrigationclass>(log_, registry_, settings_);
    routing_ = std::make_unique<abflussmodellklasse>(log_, registry_, settings_, 0, 0, tracers_);
    routing_->SetRunoffInput(runoff_);
    routing_->InitRouting();
    if (!state_file.empty()) routing_->ReadStorageContent(state_file, read_code);
    routing_->SetIrrigationDemand(irrigation_->GetSurfaceWaterDemand());
    irrigation_->SetMaxIrrigation(routing_->GetMaxIrrig(), routing_->GetMaxIrrigFromReservoirs());
    irrigation_->SetRoutingTarget(routing_->GetRoutingTarget());
    irrigation_->SetAbfrel(routing_->GetAbfrel());
  }

  // One model step: the irrigation early, the routing at its end; the soil model starts
  // every step with a fresh precipitation and clears the irrigation amounts.
  void Step(int hour, int day) {
    for (const char* id : {"precipitation", "irrigation_amounts"}) {
      for (int r = 1; r <= 2; ++r) {
        for (int c = 1; c <= 2; ++c) grid_[id](r, c) = 0;
      }
    }
    irrigation_->RunStep(hour, day, 6, 2020);
    routing_->RunStep(hour, day, 6, 2020);
  }
  // The surface water the cells received in the step [m3].
  double SurfaceWaterOnCells_m3() {
    return (grid_["irrigation_amounts"](1, 1) + grid_["irrigation_amounts"](1, 2)) / 1000 * kCellArea_m2;
  }
  const SP_class& reservoir() const { return routing_->routing_objects()[0]->reservoir(1); }

  test::WorkingDirectory working_directory_{dir_.path()};
  IrrigationTable table_;
  ModelSettings settings_;
  grid_table grids_;
  std::array<ZoneRecord, 2> records_{};
  std::array<int, 2> code_index_{0, 1};
  std::deque<Grid> storage_;
  std::map<std::string, GridView> grid_;
  StatisticsRegistry registry_;
  std::vector<TracerSettingsRecord> tracers_ = std::vector<TracerSettingsRecord>(1);
  std::vector<std::vector<double>> runoff_ = {{0, 0.3}};
  std::unique_ptr<irrigationclass> irrigation_;
  std::unique_ptr<abflussmodellklasse> routing_;
};

TEST_F(IrrigationThroughRoutingTest, TheCellsReceiveWhatRiverAndReservoirGiveInEveryStep) {
  Build();
  routingclass& object = *routing_->routing_objects()[0];
  // A day without irrigation: the reservoir receives the whole runoff, 0.3 mm over 0.04 km2.
  for (int h = 1; h <= 24; ++h) Step(h, 1);
  const double m3_per_mm = reservoir().balance(BalanceTerm::kQin).volume_m3 / 0.3;
  ASSERT_NEAR(m3_per_mm, 0.04e6 / 1000, 1e-6);
  EXPECT_EQ(reservoir().balance(BalanceTerm::kIrrig).volume_m3, 0);

  double on_cells = 0;
  double from_river = 0;
  double from_reservoir = 0;
  int short_steps = 0;
  for (int day = 2; day <= 4; ++day) {
    for (int h = 1; h <= 24; ++h) {
      SCOPED_TRACE(testing::Message() << "day " << day << " hour " << h);
      // On the irrigation days the runoff falls every second hour to a third: the
      // irrigation then plans with more river water than the river carries, and the river
      // gives the rest in the next step.
      runoff_[0][1] = day < 4 && h % 2 == 0 ? 0.1 : 0.3;
      const double debt_before = object.irrigation_debt_mm();
      const double volume_before = reservoir().content()[0];
      Step(h, day);
      const double river_m3 = runoff_[0][1] * m3_per_mm - reservoir().balance(BalanceTerm::kQin).volume_m3;
      const double reservoir_m3 = reservoir().balance(BalanceTerm::kIrrig).volume_m3;
      const double owed_m3 = (object.irrigation_debt_mm() - debt_before) * m3_per_mm;
      EXPECT_GE(river_m3, -1e-9);
      EXPECT_NEAR(SurfaceWaterOnCells_m3(), river_m3 + reservoir_m3 + owed_m3, 1e-6);
      // The reservoir's volume closes with what it received, released and gave.
      EXPECT_NEAR(reservoir().content()[0],
                  volume_before + reservoir().balance(BalanceTerm::kQin).volume_m3 -
                      reservoir().balance(BalanceTerm::kQout).volume_m3 - reservoir_m3,
                  1e-6);
      // The groundwater cell takes its pumpable 0.5 mm, whatever the rivers hold.
      EXPECT_DOUBLE_EQ(grid_["irrigation_amounts"](2, 1), day < 4 ? 0.5 : 0.0);
      EXPECT_EQ(grid_["irrigation_amounts"](2, 2), 0);
      on_cells += SurfaceWaterOnCells_m3();
      from_river += river_m3;
      from_reservoir += reservoir_m3;
      // 1 mm an hour on two cells asks for 20 m3.
      if (day < 4 && SurfaceWaterOnCells_m3() < 20 - 1e-9) ++short_steps;
    }
  }
  // The reservoir served while it held water, the river the rest, and in the steps where
  // both together held less than the demand the cells got less. A day after the
  // irrigation the river owes nothing: over the run the cells received what was taken.
  EXPECT_GT(from_reservoir, 0);
  EXPECT_GT(from_river, 0);
  EXPECT_GT(short_steps, 0);
  EXPECT_EQ(object.irrigation_debt_mm(), 0);
  EXPECT_NEAR(on_cells, from_river + from_reservoir, 1e-6);
}

// A state whose reservoir offer is more than the reservoir holds: the fields receive the
// irrigation planned with the offer, the reservoir gives what it holds, and the rest is owed
// and taken from the river in the next steps.
TEST_F(IrrigationThroughRoutingTest, WhatTheReservoirCannotGiveOfItsOfferIsOwed) {
  Build("state.ftz", 0);
  for (int h = 1; h <= 24; ++h) Step(h, 1);
  routing_->WriteStorageContent();
  std::string text = test::ReadFile(dir_.file("state.ftz"));
  const std::size_t label = text.find("(irrigation water the reservoirs offer, tracer 0)");
  ASSERT_NE(label, std::string::npos) << text;
  const std::size_t line = text.rfind('\n', label) + 1;
  text.replace(line, label - line, "100 ");
  test::WriteFile(dir_.file("state.ftz"), text);
  routing_.reset();
  registry_ = StatisticsRegistry();
  Build("state.ftz", 1);
  routingclass& object = *routing_->routing_objects()[0];
  const double m3_per_mm = 0.04e6 / 1000;
  double on_cells = 0, taken = 0;
  for (int h = 1; h <= 6; ++h) {
    SCOPED_TRACE(h);
    const double debt_before = object.irrigation_debt_mm();
    Step(h, 2);
    const double river_m3 = 0.3 * m3_per_mm - reservoir().balance(BalanceTerm::kQin).volume_m3;
    const double reservoir_m3 = reservoir().balance(BalanceTerm::kIrrig).volume_m3;
    const double owed_m3 = (object.irrigation_debt_mm() - debt_before) * m3_per_mm;
    if (h == 1) {
      EXPECT_NEAR(SurfaceWaterOnCells_m3(), 20, 1e-9);
      EXPECT_LT(reservoir_m3, 20);
      EXPECT_GT(owed_m3, 0);
    }
    EXPECT_NEAR(SurfaceWaterOnCells_m3(), river_m3 + reservoir_m3 + owed_m3, 1e-6);
    on_cells += SurfaceWaterOnCells_m3();
    taken += river_m3 + reservoir_m3;
  }
  EXPECT_NEAR(on_cells, taken + object.irrigation_debt_mm() * m3_per_mm, 1e-6);
}

// A run stopped while the river owes water to the fields and continued from the routing
// state goes on as the unbroken run: the state keeps the water owed. A state without the
// owed water (written by a run without surface-water irrigation, or before it was kept)
// reads as owing nothing.
TEST_F(IrrigationThroughRoutingTest, ARunContinuedFromItsStateGivesWhatTheUnbrokenRunGives) {
  struct After {
    double on_cells_m3, reservoir_m3, debt_mm;
    bool operator==(const After&) const = default;
  };
  const auto step = [&](int h, int day) {
    runoff_[0][1] = h % 2 == 0 ? 0.1 : 0.3;
    Step(h, day);
    return After{SurfaceWaterOnCells_m3(), reservoir().content()[0],
                 routing_->routing_objects()[0]->irrigation_debt_mm()};
  };
  Build("state.ftz", 0);  // names the file the state is written to
  for (int h = 1; h <= 24; ++h) Step(h, 1);
  int stop = 0;  // the hour of day 2 after which the run is stopped
  for (int h = 1; h <= 24 && stop == 0; ++h) {
    step(h, 2);
    if (routing_->routing_objects()[0]->irrigation_debt_mm() > 0) stop = h;
  }
  ASSERT_GT(stop, 0) << "the river never owed water";
  const double owed_mm = routing_->routing_objects()[0]->irrigation_debt_mm();
  const double volume_m3 = reservoir().content()[0];
  routing_->WriteStorageContent();
  std::vector<After> unbroken;
  for (int h = stop + 1; h <= 24; ++h) unbroken.push_back(step(h, 2));

  routing_.reset();
  registry_ = StatisticsRegistry();
  Build("state.ftz", 1);
  EXPECT_EQ(routing_->routing_objects()[0]->irrigation_debt_mm(), owed_mm);
  std::vector<After> continued;
  for (int h = stop + 1; h <= 24; ++h) continued.push_back(step(h, 2));
  EXPECT_TRUE(continued == unbroken);
  // The same state without the irrigation's lines: the water owed and what the rivers and
  // reservoirs offer the next step.
  std::string text = test::ReadFile(dir_.file("state.ftz"));
  int removed = 0;
  for (std::size_t label = text.find("(irrigation water"); label != std::string::npos;
       label = text.find("(irrigation water"), ++removed) {
    const std::size_t line = text.rfind('\n', label) + 1;
    text.erase(line, text.find('\n', label) + 1 - line);
  }
  ASSERT_EQ(removed, 3) << test::ReadFile(dir_.file("state.ftz"));
  test::WriteFile(dir_.file("older.ftz"), text);
  routing_.reset();
  registry_ = StatisticsRegistry();
  ASSERT_EQ(test::CodeOf([&] { Build("older.ftz", 1); }), 0) << console_.str();
  EXPECT_EQ(routing_->routing_objects()[0]->irrigation_debt_mm(), 0);
  EXPECT_EQ((*routing_->GetMaxIrrig())[0][1], 0);
  EXPECT_EQ(reservoir().content()[0], volume_m3);
}

}  // namespace
}  // namespace tolvo
