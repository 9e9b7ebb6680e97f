// Runoff concentration of the surface routing: the flow-time zones of the sub-basins, the
// queue that carries runoff towards the outlet, the two linear storages, and the zone
// queues and storages kept in the storage content file.

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "framework/tracer_settings_record.h"
#include "runoff/runoff_concentration.h"
#include "runoff/surface_basin_fixture.h"
#include "runoff/surfaceroutingclass.h"

namespace tolvo {
namespace {

using test::BasinShape;
using test::SurfaceBasin;
using test::SurfaceSection;

TEST(LinearStorage, UnitInflowApproachesItByTheUnitResponseOfALinearReservoir) {
  // Nash (1957): a reservoir with k = 600 min under a constant unit inflow gives after
  // 10 steps of 60 min 1 - exp(-600 / 600) = 0.632121.
  const double a = RecessionFactor(60, 600);
  double q = 0;
  for (int step = 0; step < 10; ++step) q = LinearStorageOutflow(1, q, a);
  EXPECT_NEAR(q, 1 - std::exp(-1.0), 1e-15);
  EXPECT_NEAR(q, 0.632121, 1e-6);
  // Without inflow it decays by a per step.
  EXPECT_NEAR(LinearStorageOutflow(0, q, a), a * q, 1e-15);
  // A constant that is no positive number releases the inflow at once.
  for (const double k : {0.0, -5.0, std::nan("")}) EXPECT_EQ(RecessionFactor(60, k), 0) << k;
  // Concentrations: mixed by the shares of the new outflow; 0 with nothing flowing.
  EXPECT_NEAR(LinearStorageConcentration(1, 10, 1, 20, 0.5), 15, 1e-12);
  EXPECT_EQ(LinearStorageConcentration(0, 10, 0, 20, 0.5), 0);
}

// 3 x 3 cells, all river cells, so that the direct runoff of a cell reaches the river
// where it falls; the flow time of a cell is given per row.
BasinShape ZoneBasin(std::vector<double> row_flow_times, std::function<double(int, int)> subbasin = nullptr) {
  BasinShape shape;
  shape.river = [](int, int) { return true; };
  if (!row_flow_times.empty()) {
    shape.grids.push_back({"flow_times", [row_flow_times](int r, int) { return row_flow_times[r - 1]; }});
  }
  if (subbasin) shape.subbasin = subbasin;
  return shape;
}

class FlowTimeZones : public test::LogFixture {
 protected:
  // Builds the basin and sets up its zones; the code raised (0 when none).
  int Build(const BasinShape& shape, int module_switch = 1) {
    return test::CodeOf([&] {
      basin_ = std::make_unique<SurfaceBasin<>>(log_, dir_.path().string(), shape,
                                                SurfaceSection(1, 60, 600, module_switch), RowRange{1, 3},
                                                RowRange{1, 3}, nullptr);
      tracers_.assign(1, TracerSettingsRecord{});
      basin_->model().InitTracers(0, tracers_, basin_->registry(), 200);
    });
  }
  // One model step with `rain` [mm] of direct runoff per cell; the direct runoff of the
  // first sub-basin afterwards.
  double Step(int hour, const std::function<double(int, int)>& rain) {
    surfaceroutingclass& model = basin_->model();
    const GridView directflow = basin_->Values("directflow");
    for (int r = 1; r <= 3; ++r) {
      for (int c = 1; c <= 3; ++c) directflow(r, c) = rain(r, c);
    }
    model.BeginStep({2020, 6, 1, hour});
    model.RunStep(hour, 1, 6, 2020);
    model.EndStep({2020, 6, 1, hour});
    return (*model.GetQg())[0][1];
  }
  std::string ModelLog() const { return test::ReadFile(dir_.file("modell_0.log")); }

  test::WorkingDirectory cwd_{dir_.path()};
  std::vector<TracerSettingsRecord> tracers_;
  std::unique_ptr<SurfaceBasin<>> basin_;
};

TEST_F(FlowTimeZones, ZoneSharesGoToTheModelLogAndRunoffArrivesAfterItsFlowTime) {
  ASSERT_EQ(Build(ZoneBasin({1.0, 2.5, 3.9})), 0) << console_.str();
  EXPECT_NE(ModelLog().find("Flow time distribution:\nTG\t   1\t(  3\tZonen):\t0.333\t0.333\t0.333\n"),
            std::string::npos)
      << ModelLog();
  EXPECT_EQ(basin_->model().flow_time_zone_counts()[1], 3);
  // 3 mm on the three cells of flow time 2.5 in the first hour: 9 mm-cells over the 9
  // cells of the sub-basin reach the outlet in the second hour, released at once by
  // storages without recession constants.
  const auto middle_row = [](int r, int) { return r == 2 ? 3.0 : 0.0; };
  EXPECT_EQ(Step(1, middle_row), 0);
  EXPECT_DOUBLE_EQ(Step(2, [](int, int) { return 0.0; }), 1);
  EXPECT_EQ(Step(3, [](int, int) { return 0.0; }), 0);
  EXPECT_TRUE(Logged("surface routing has no recession constants"));
}

TEST_F(FlowTimeZones, UnusableFlowTimesAreRefusedOrCountedInTheFirstZone) {
  const auto two_basins = [](int r, int) { return r == 3 ? 2.0 : 1.0; };
  const struct {
    const char* label;
    BasinShape shape;
    int code;
    std::string entry;
  } cases[] = {
      {"flow times below 1 make one zone", ZoneBasin({0.2, 0.5, 0.9}), 0, ""},
      {"a negative flow time counts in zone 1, once warned", ZoneBasin({-3, 1.5, 2.5}), 0,
       "negative or no flow time"},
      {"all cells of a sub-basin without a usable flow time", ZoneBasin({1, 1, -9999}, two_basins), kNoFlowTimes,
       "all cells in flow_times.asc, subbasin 2 are NODATA!"},
      {"no cell in the first zone", ZoneBasin({2.0, 2.5, 3.0}), kFirstFlowTimeZoneEmpty,
       "in flow-travel-time grid: the first time zone of subbasin 1 has no cells!"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    console_.str("");
    EXPECT_EQ(Build(c.shape), c.code) << console_.str();
    if (!c.entry.empty()) { EXPECT_TRUE(Logged(c.entry)) << console_.str(); }
    basin_.reset();
  }
  // The negative cells' runoff still reaches the outlet in the first hour.
  ASSERT_EQ(Build(ZoneBasin({-3, 1.5, 2.5})), 0);
  EXPECT_DOUBLE_EQ(Step(1, [](int r, int) { return r == 1 ? 3.0 : 0.0; }), 1);
}

TEST_F(FlowTimeZones, WithoutFlowTimesEveryCellFeedsTheStoragesInTheSameStep) {
  ASSERT_EQ(Build(ZoneBasin({})), 0) << console_.str();
  EXPECT_EQ(ModelLog(), "flow time distribution will not be calculated (no flow time grid provided)\n");
  std::vector<double> recession{0, 600};
  basin_->model().SetDirectRunoffRecession(recession);
  basin_->model().SetInterflowRecession(recession);
  std::vector<std::vector<double>> baseflow{{0, 0.25}};
  basin_->model().SetBaseflowInput(baseflow);
  double qg = 0;
  for (int hour = 1; hour <= 10; ++hour) qg = Step(hour, [](int, int) { return 1.0; });
  EXPECT_NEAR(basin_->model().direct_runoff_outflow()[0][1], 0.632121, 1e-6);
  EXPECT_NEAR(qg, 0.632121 + 0.25, 1e-6);
  EXPECT_FALSE(Logged("no recession constants"));
}

TEST_F(FlowTimeZones, TheSubStepsOfAStepHandOverTheWholeStepsRunoff) {
  // The soil hands 4 mm of direct runoff and 2 mm of interflow per cell and step, in equal
  // shares over its sub-steps; without recession constants the outflow of the step is
  // that amount whatever the number of sub-steps.
  for (const int n_sub : {1, 2, 4}) {
    SCOPED_TRACE(n_sub);
    SurfaceBasin<> basin(log_, dir_.path().string(), ZoneBasin({}), SurfaceSection(1, 60, 600), RowRange{1, 3},
                         RowRange{1, 3}, nullptr, {}, n_sub);
    std::vector<TracerSettingsRecord> tracers(1);
    surfaceroutingclass& model = basin.model();
    model.InitTracers(0, tracers, basin.registry(), 200);
    std::vector<double> recession{0, 0};
    model.SetDirectRunoffRecession(recession);
    model.SetInterflowRecession(recession);
    const GridView directflow = basin.Values("directflow");
    const GridView interflow = basin.Values("interflow");
    model.BeginStep({2020, 6, 1, 1});
    for (int k = 1; k <= n_sub; ++k) {
      for (int r = 1; r <= 3; ++r) {
        for (int c = 1; c <= 3; ++c) {
          directflow(r, c) = 4.0 / n_sub;
          interflow(r, c) = 2.0 / n_sub;
        }
      }
      model.RunStep(1, 1, 6, 2020);
    }
    model.EndStep({2020, 6, 1, 1});
    EXPECT_NEAR(model.direct_runoff_outflow()[0][1], 4, 1e-12);
    EXPECT_NEAR(model.interflow_outflow()[0][1], 2, 1e-12);
    model.FinishModel(false);
  }
}

// --- storage content file ------------------------------------------------------------------

class StoredZones : public FlowTimeZones {
 protected:
  // A run of three hours that ends by writing its section into "state_0".
  std::string WriteState() {
    EXPECT_EQ(Build(ZoneBasin({1.0, 2.5, 3.9})), 0) << console_.str();
    basin_->model().ReadStorageContent("state_0", 0);
    recession_ = {0, 120};
    basin_->model().SetDirectRunoffRecession(recession_);
    basin_->model().SetInterflowRecession(recession_);
    for (int hour = 1; hour <= 3; ++hour) Step(hour, [hour](int r, int c) { return 0.1 * hour * r + 0.7 * c; });
    zones_ = basin_->model().direct_runoff_zones();
    interflow_zones_ = basin_->model().interflow_zones();
    outflow_ = basin_->model().direct_runoff_outflow();
    basin_->model().FinishModel(false);
    basin_.reset();
    return test::ReadFile(dir_.file("state_0"));
  }
  std::vector<double> recession_;
  std::vector<std::vector<std::vector<ZoneRecord>>> zones_, interflow_zones_;
  std::vector<std::vector<double>> outflow_;
};

TEST_F(StoredZones, TheSectionReadBackReproducesQueuesAndStoragesExactly) {
  const std::string text = WriteState();
  EXPECT_EQ(text.rfind("[SurfaceRoutingModel]\n1 (number of subasins)\n0 (number of tracers)\n"
                       "0 (0=runoff, 1...9 = tracers)\n1 3 (zone 1 and maxzeit)\n",
                       0),
            0u)
      << text;
  ASSERT_EQ(Build(ZoneBasin({1.0, 2.5, 3.9})), 0);
  basin_->model().ReadStorageContent("state_0", 1);
  const auto& zones = basin_->model().direct_runoff_zones()[0][1];
  for (std::size_t z = 1; z <= 3; ++z) {
    SCOPED_TRACE(z);
    EXPECT_EQ(zones[z].sx, zones_[0][1][z].sx);
    EXPECT_EQ(zones[z].RelCellSum, zones_[0][1][z].RelCellSum);
    EXPECT_EQ(zones[z].rel, zones_[0][1][z].rel);
    EXPECT_EQ(basin_->model().interflow_zones()[0][1][z].n, interflow_zones_[0][1][z].n);
  }
  EXPECT_EQ(basin_->model().direct_runoff_outflow()[0][1], outflow_[0][1]);
  EXPECT_GT(outflow_[0][1], 0);
}

TEST_F(StoredZones, ASectionThatDoesNotFitTheSetUpStopsTheRunWithItsItem) {
  const std::string text = WriteState();
  const auto replaced = [&](const std::string& from, const std::string& to) {
    std::string t = text;
    t.replace(t.find(from), from.size(), to);
    return t;
  };
  const std::string qd_line = text.substr(text.find("\n", text.find("maxzeit")) + 1);
  const struct {
    const char* label;
    std::string state;
    BasinShape shape;
    int code;
    std::string entry;
  } cases[] = {
      {"two tracers stored, one in the run", replaced("0 (number of tracers)", "2 (number of tracers)"),
       ZoneBasin({1.0, 2.5, 3.9}), kSurfaceStateMismatch,
       "error in storage file content reading number of tracers:\nvalue in actual control is:   0\n"
       "but value in storage file is: 2\n"},
      {"a changed flow-time grid", text, ZoneBasin({1.0, 2.5, 4.5}), kSurfaceStateMismatch,
       "reading maxzeit of actual subbasin:\nvalue in actual control is:   4\nbut value in storage file is: 3"},
      {"a zone line of three numbers", replaced(qd_line.substr(0, qd_line.find(" (")), "1 2 3"),
       ZoneBasin({1.0, 2.5, 3.9}), kSurfaceStateMismatch,
       "number of fields for zonal statistics QD:\nvalue in actual control is:   5\nbut value in storage file is: 3"},
      {"an unreadable storage", replaced(text.substr(text.find("\n", text.rfind("zoneFZT_QI")) + 1, 3), "x.y"),
       ZoneBasin({1.0, 2.5, 3.9}), kSurfaceStateMismatch, "reading QDd[0][1]"},
      {"no section: a cold start", "[routing_model]\n1\n", ZoneBasin({1.0, 2.5, 3.9}), 0,
       "error locking for the section [SurfaceRoutingModel] in "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    test::WriteFile(dir_.file("state_0"), c.state);
    console_.str("");
    ASSERT_EQ(Build(c.shape), 0);
    EXPECT_EQ(test::CodeOf([&] { basin_->model().ReadStorageContent("state_0", 1); }), c.code) << console_.str();
    EXPECT_TRUE(Logged(c.entry)) << console_.str();
    basin_.reset();
  }
  // Read code 2 opens nothing, even a broken file.
  ASSERT_EQ(Build(ZoneBasin({1.0, 2.5, 3.9})), 0);
  EXPECT_EQ(test::CodeOf([&] { basin_->model().ReadStorageContent("state_0", 2); }), 0);
}

}  // namespace
}  // namespace tolvo
