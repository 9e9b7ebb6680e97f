// Irrigation on one process: the rules of every method and origin, the service of the
// surface-water demand by the rivers, the precipitation it adds, its tables, and the
// hand-overs it needs from the discharge routing.
#include <gtest/gtest.h>

#include <array>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "framework/grid_table.h"
#include "framework/model_settings.h"
#include "framework/modelobject.h"
#include "framework/statistics_registry.h"
#include "routing/irrigationclass.h"
#include "support/test_support.h"

namespace tolvo {
namespace {

using test::CodeOf;

// One row of four cells in sub-basin 1, hourly steps. Rules: 1 a schedule of 24 mm on
// 1 June from surface water, 2 the same from groundwater, 3 soil moisture (start below
// 0.2, fill to 0.3 over 0.5 m of roots) from groundwater.
class IrrigationTest : public test::LogFixture {
 protected:
  IrrigationTest() {
    IrrigationRecord count;
    count.code = 3;
    table_.push_back(count);
    const auto schedule = [](int origin) {
      IrrigationRecord rule;
      rule.method = IrrigationMethod::ScheduleRules;
      rule.origin = origin;
      rule.tabcnt = 1;
      rule.month = {0, 6};
      rule.day = {0, 1};
      rule.amount = {0, 24};
      return rule;
    };
    table_.push_back(schedule(2));
    table_.push_back(schedule(1));
    IrrigationRecord moisture;
    moisture.method = IrrigationMethod::DemandBySuction;
    moisture.origin = 1;
    table_.push_back(moisture);
  }

  // Builds the sub-model with the codes of the four cells; `on` is its switch.
  irrigationclass& Build(const std::vector<double>& codes, int on = 1) {
    test::WriteFile(dir_.file("c.ctl.$$$"), "[irrigation]\n" + std::to_string(on) +
                                                "\n60\nirr_gw.stat 2001\nirr_sw.stat 2001\n");
    settings_.compiled_control_file = dir_.file("c.ctl.$$$");
    settings_.geometry = {.ncols = 4, .nrows = 1, .cellsize = 100, .nodata_value = kNodata};
    settings_.strip = {1, 1};
    settings_.grids = &grids_;
    records_[1] = {.n = 0, .sx = 0, .zonenwert = 1, .rel = 1, .RelCellSum = 0};
    records_[0].rel = 0.04;  // the basin area [km2]
    settings_.zones = {.zone_count = 1, .largest_code = 1, .zones = records_, .code_index = code_index_,
                       .column_ranges = {}};
    settings_.output_directory = dir_.path().string() + "/";
    settings_.irrigation = &table_;
    reader_ = std::make_unique<modelobject>(log_, settings_.compiled_control_file);
    reader_->set_geometry(settings_.geometry);
    reader_->set_strip(settings_.strip);
    reader_->set_grid_table(&grids_);
    zone_ = Add(kZoneGridIndex, "[zone_grid]", 1);
    if (on != 0) {
      int index = 2;
      for (const char* id : {"precipitation", "Max_Pumping", "irrigation_amounts", "SB_1_grid", "SBLOW_grid",
                             "SBHIGH_grid", "ETR2ETP", "root_depth1"}) {
        grid_[id] = Add(index++, id, 0);
      }
      grid_["irrigation_codes"] = Add(index++, "irrigation_codes", 0);
      for (int c = 1; c <= 4; ++c) grid_["irrigation_codes"](1, c) = codes[static_cast<std::size_t>(c) - 1];
      for (int c = 1; c <= 4; ++c) {
        grid_["precipitation"](1, c) = 2;
        grid_["Max_Pumping"](1, c) = 0.5;
        grid_["SBLOW_grid"](1, c) = 0.2;
        grid_["SBHIGH_grid"](1, c) = 0.3;
        grid_["SB_1_grid"](1, c) = 0.25;
        grid_["root_depth1"](1, c) = 0.5;
      }
    }
    model_ = std::make_unique<irrigationclass>(log_, registry_, settings_);
    return *model_;
  }
  GridView Add(int index, const std::string& id, double value) {
    Grid& grid = storage_.emplace_back(1, 1, 4, 1);
    for (int c = 1; c <= 4; ++c) grid(1, c) = value;
    reader_->RegisterGrid(index, id + ".asc", grid.view(), {}, 0, id, 0, 1, 1);
    return grid.view();
  }
  // The routing's hand-overs: river water [mm] of sub-basin 1, no reservoir.
  void Link(double river_mm) {
    maxirrig_[0][1] = river_mm;
    model_->SetMaxIrrigation(&maxirrig_, &from_reservoirs_);
    model_->SetRoutingTarget(&target_);
    model_->SetAbfrel(&abfrel_);
  }
  double Amount(int c) { return grid_["irrigation_amounts"](1, c); }

  IrrigationTable table_;
  ModelSettings settings_;
  grid_table grids_;
  std::array<ZoneRecord, 2> records_{};
  std::array<int, 2> code_index_{0, 1};
  std::deque<Grid> storage_;
  std::map<std::string, GridView> grid_;
  GridView zone_;
  StatisticsRegistry registry_;
  std::unique_ptr<modelobject> reader_;
  std::unique_ptr<irrigationclass> model_;
  TracerRows maxirrig_{0, 1};
  TracerRows from_reservoirs_{0, 1};
  RoutingTarget target_{.tributaries = {0, 1, 0}, .target = {0, 0}, .object_number = {0, 1}};
  AreaShares abfrel_{.relative_area = {0.04, 1}, .scale = {1, 1}};
};

TEST_F(IrrigationTest, ADailySchedulePerHourAndGroundwaterWithinThePumpableWater) {
  irrigationclass& model = Build({1, 2, 0, 1});
  Link(1000);
  model.RunStep(1, 1, 6, 2020);
  // 24 mm a day is 1 mm an hour; the groundwater cell takes at most its 0.5 mm.
  EXPECT_DOUBLE_EQ(Amount(1), 1);
  EXPECT_DOUBLE_EQ(Amount(2), 0.5);
  EXPECT_DOUBLE_EQ(Amount(3), 0);
  EXPECT_DOUBLE_EQ(Amount(4), 1);
  EXPECT_DOUBLE_EQ(grid_["precipitation"](1, 1), 3);
  EXPECT_DOUBLE_EQ(grid_["precipitation"](1, 2), 2.5);
  EXPECT_DOUBLE_EQ(grid_["precipitation"](1, 3), 2);
  // The routing withdraws the surface-water demand: 2 mm over the four cells.
  const std::span<ZoneRecord> demand = model.GetSurfaceWaterDemand();
  EXPECT_DOUBLE_EQ(demand[1].sx / demand[1].RelCellSum, 0.5);
  // Another date has no schedule entry.
  model.RunStep(1, 2, 6, 2020);
  EXPECT_DOUBLE_EQ(Amount(1), 0);
  model.DeleteModule();
  EXPECT_TRUE(test::ReadFile(dir_.file("irr_gw.stat")).find("irrigation water amount from groundwater [mm]") !=
              std::string::npos);
  EXPECT_TRUE(test::ReadFile(dir_.file("irr_sw.stat")).find("irrigation water amount from  surface water [mm]") !=
              std::string::npos);
}

TEST_F(IrrigationTest, WaterShortInTheRiversScalesTheSurfaceWaterCellsAndKeepsTheBalance) {
  // Demand 2 mm on the two surface-water cells, 0.5 mm over the sub-basin; the rivers hold
  // 0.2 mm: f = 0.4, the surface cells get 0.4 mm each, the groundwater cell its 0.5 mm.
  irrigationclass& model = Build({1, 2, 0, 1});
  Link(0.2);
  model.RunStep(1, 1, 6, 2020);
  EXPECT_NEAR(Amount(1), 0.4, 1e-12);
  EXPECT_NEAR(Amount(4), 0.4, 1e-12);
  EXPECT_DOUBLE_EQ(Amount(2), 0.5);
  // What the cells receive from surface water is what the rivers deliver.
  const std::span<ZoneRecord> demand = model.GetSurfaceWaterDemand();
  EXPECT_NEAR(demand[1].sx / demand[1].RelCellSum, 0.2, 1e-12);
  EXPECT_NEAR((Amount(1) + Amount(4)) / 4, 0.2, 1e-12);
}

TEST_F(IrrigationTest, ASoilMoistureIrrigationContinuesAfterTheSoilModelsReset) {
  // SB 0.15 below 0.2: (0.3 - 0.15) * 0.5 m * 1000 * 60 / 1440 = 3.125 mm per hour; with
  // the moisture back above the lower threshold it goes on until the upper one.
  irrigationclass& model = Build({3, 3, 3, 3});
  Link(0);
  grid_["Max_Pumping"](1, 1) = 100;
  grid_["SB_1_grid"](1, 1) = 0.15;
  model.RunStep(1, 1, 6, 2020);
  EXPECT_NEAR(Amount(1), 3.125, 1e-12);
  EXPECT_EQ(Amount(2), 0);
  grid_["irrigation_amounts"](1, 1) = 0;
  grid_["SB_1_grid"](1, 1) = 0.25;
  model.RunStep(2, 1, 6, 2020);
  EXPECT_NEAR(Amount(1), 3.125, 1e-12);
  grid_["SB_1_grid"](1, 1) = 0.3;
  model.RunStep(3, 1, 6, 2020);
  EXPECT_EQ(Amount(1), 0);
}

TEST_F(IrrigationTest, WithoutTheRoutingsArraysIrrigationFailsWith60AndOffItNeedsNothing) {
  Build({1, 1, 1, 1});
  EXPECT_EQ(CodeOf([&] { model_->SetMaxIrrigation(nullptr, nullptr); }), 60);
  EXPECT_TRUE(Logged("if irrigation is modelled, also routing has to be modelled!\n(Adress of array maxirrig[] is NULL"))
      << console_.str();
  EXPECT_EQ(CodeOf([&] { model_->SetRoutingTarget(nullptr); }), 60);
  EXPECT_EQ(CodeOf([&] { model_->SetAbfrel(nullptr); }), 60);
  // Switched off: no grid is bound, no hand-over fails, no step changes anything.
  grids_ = grid_table();
  storage_.clear();
  irrigationclass& off = Build({}, 0);
  EXPECT_EQ(CodeOf([&] {
              off.SetMaxIrrigation(nullptr, nullptr);
              off.SetRoutingTarget(nullptr);
              off.SetAbfrel(nullptr);
              off.RunStep(1, 1, 6, 2020);
            }),
            0);
  EXPECT_TRUE(off.GetSurfaceWaterDemand().empty());
}

}  // namespace
}  // namespace tolvo
