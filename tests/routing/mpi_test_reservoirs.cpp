// Reservoirs and lakes in the discharge routing under 1, 2 and 3 processes: the reservoir
// at the outlet of a routing object, and the lake cells that live on every process while
// their lake is computed by process 0.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <sstream>
#include <string>

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

constexpr double N = kNodata;

// A 3 x 3 grid of 10 m cells: sub-basin 1 in the first column, sub-basin 2 in the others;
// lake 5 of sub-basin 2 on the last column of every row, so that with several processes
// every process computes one lake cell. Terrain 100 m, ponding up to 2 m.
class ReservoirRoutingTest : public test::LogFixture {
 protected:
  ReservoirRoutingTest() : bands_(WorldRank(), WorldSize(), 3, 3) {
    zones_ = test::GridOf({{1, 2, 2}, {1, 2, 2}, {1, 2, 2}});
    lakes_ = test::GridOf({{N, N, 5}, {N, N, 5}, {N, N, 5}});
    elevation_ = test::GridOf({{100, 100, 100}, {100, 100, 100}, {100, 100, 100}});
    max_ponding_ = test::GridOf({{0, 0, 2000}, {0, 0, 2000}, {0, 0, 2000}});
    for (Grid* g : {&ponding_, &transpiration_, &throughfall_, &snow_}) {
      *g = Grid(1, 3, 3, 3);
      g->fill(0);
    }
    settings_.geometry = {.ncols = 3, .nrows = 3, .cellsize = 10, .nodata_value = kNodata};
    settings_.strip = test::RowBand(WorldRank(), WorldSize(), 3);
    settings_.layout = &bands_.layout();
    settings_.grids = &table_;
    settings_.output_directory = dir_.path().string() + "/";
    settings_.start_date = {2000, 1, 1, 1};
    settings_.compiled_control_file = dir_.file("c.ctl.$$$");
    Place(kZoneGridIndex, "[zone_grid]", zones_);
    Place(2, "zonegrid_soilmodel", zones_);
  }

  void Place(int index, const char* identifier, Grid& grid) {
    table_[index].file_name = identifier;
    table_[index].identifier = identifier;
    table_[index].values = grid.view();
  }
  void PlaceLakeGrids() {
    int index = 3;
    for (auto [identifier, grid] : {std::pair{"[elevation_model]", &elevation_}, {"lake_codes", &lakes_},
                                    {"ponding_storage", &ponding_}, {"max_ponding_storage", &max_ponding_},
                                    {"real_transpiration0", &transpiration_}, {"throughfall0", &throughfall_}}) {
      Place(index++, identifier, *grid);
    }
  }

  static std::string Control(const std::string& reservoir, const std::string& rules, bool lakes) {
    std::string text =
        "[routing_model]\n1\n60\n1 10000 40 4\nQ.txt 0\nnone\n0\n0\n"
        "TG 2 (A=0.0009, scale=1)\n"
        " OL 1 (kh=1, kv=2, bm=2, bf=10, d=0.5, Mm=25, Mf=15, I=0.01, L=500, Ac=0.0003)\n" +
        reservoir + "\nend\n\n" + rules + "\n[output_interval]\n24\n1\n0\n";
    if (lakes) text += "\n[lake_model]\n1  flow control\n0\n0.1\n0.001\n0  readgrids\n";
    return text;
  }

  int Build(const std::string& control) {
    test::WriteFile(dir_.file("c.ctl.$$$"), control);
    // The model before gives back its grid-table entry.
    if (model_) model_->DeleteModule();
    model_.reset();
    return CodeOf(
        [&] { model_ = std::make_unique<abflussmodellklasse>(log_, registry_, settings_, 0, 0, tracers_); });
  }
  void Start(double runoff_mm, bool interception_first = false) {
    runoff_ = {std::vector<double>{0, runoff_mm, runoff_mm}};
    model_->SetRunoffInput(runoff_);
    model_->LinkLakeGrids(interception_first);
    model_->InitRouting();
  }

  test::WorkingDirectory working_directory_{dir_.path()};
  test::RowBandLayout bands_;
  ModelSettings settings_;
  grid_table table_;
  Grid zones_, lakes_, elevation_, max_ponding_, ponding_, transpiration_, throughfall_, snow_;
  StatisticsRegistry registry_;
  std::vector<TracerSettingsRecord> tracers_ = std::vector<TracerSettingsRecord>(1);
  std::vector<std::vector<double>> runoff_;
  std::unique_ptr<abflussmodellklasse> model_;
};

TEST_F(ReservoirRoutingTest, TheOutletReservoirReleasesByItsRuleAndWritesItsRows) {
  // Outflow = volume / 3600 s, released in sub-steps of 60 s.
  ASSERT_EQ(Build(Control(" SP 5 file = res5.txt V0 = 36000 C0 = 0 0 0 0 0 0 0 0 0",
                          "[abstraction_rule_reservoir_5]\n2\n0 0\n360000 100\n", false)),
            0)
      << console_.str();
  Start(0);
  if (WorldRank() != 0) return;
  routingclass& object = *model_->routing_objects()[0];
  ASSERT_EQ(object.reservoir_count(), 1);
  SP_class& reservoir = object.reservoir(1);
  EXPECT_EQ(model_->reservoir_map().count(5), 1u);
  EXPECT_EQ(model_->hydraulic_connections().at(2), false);
  // Without runoff the start-up routings leave the volume as it was.
  EXPECT_EQ(reservoir.content()[0], 36000);
  for (int h = 1; h <= 3; ++h) {
    const double before = reservoir.content()[0];
    model_->RunStep(h, 1, 1, 2000);
    // The outlet publishes the reservoir's release for the step, which empties the store
    // as a linear reservoir of 3600 s emptied in 60 sub-steps: (1 - 1/60)^60.
    const double after = before * std::pow(1 - 1.0 / 60, 60);
    EXPECT_NEAR(reservoir.content()[0], after, 1e-9 * before);
    EXPECT_NEAR(reservoir.outflow(), (before - after) / 3600, 1e-12 * before);
    EXPECT_NEAR(model_->routed_discharge()[0][2], ToRoutingMillimetres(reservoir.outflow(), 0.0009, 60),
                1e-12 * model_->routed_discharge()[0][2]);
  }
  model_->FlushStatistics();
  std::istringstream rows(test::ReadFile(dir_.file("res5.txt")));
  int n_lines = 0;
  for (std::string line; std::getline(rows, line);) ++n_lines;
  EXPECT_EQ(n_lines, 3 + 3);
}

TEST_F(ReservoirRoutingTest, AConnectionToAReservoirNoDescriptionHoldsFails) {
  PlaceLakeGrids();
  const int code = Build(Control(" SP 5 file = res5.txt V0 = 150 C0 = 0 0 0 0 0 0 0 0 0",
                                 "[abstraction_rule_reservoir_5]\n0\nHydraulicConnection {TargetReservoir = 9; "
                                 "ChannelWidth = 10; ChannelBottom = 100; ChannelLength = 1000; RoughnessCoeff = 30}\n",
                                 true));
  EXPECT_EQ(code, WorldRank() == 0 ? 29 : 0);
  if (WorldRank() == 0) {
    EXPECT_TRUE(Logged("the HydraulicConnection of reservoir 5 leads to reservoir 9, which no routing description holds"));
  }
}

TEST_F(ReservoirRoutingTest, LakeCellsOfEveryProcessMeetInTheLakeAndGetItsLevelBack) {
  PlaceLakeGrids();
  ASSERT_EQ(Build(Control(" SP 5 file = lake5.txt V0 = 150 C0 = 0 0 0 0 0 0 0 0 0",
                          "[abstraction_rule_reservoir_5]\n2\n0 0\n1e9 0\n", true)),
            0)
      << console_.str();
  Start(0);
  // The start volume of 150 m3 stands 0.5 m deep on the three lake cells.
  const RowRange own = settings_.strip;
  for (int r = own.first; r <= own.last; ++r) EXPECT_NEAR(ponding_(r, 3), 500, 1e-9) << "row " << r;
  // Process 0 shows the count of every process (the others print nothing).
  for (int i = 0; WorldRank() == 0 && i < WorldSize(); ++i) {
    const long long expected = test::RowBand(i, WorldSize(), 3).count();
    EXPECT_TRUE(Logged("lakeCellsPerMPIRank[" + std::to_string(i) + "] " + std::to_string(expected)))
        << console_.str();
  }
  // The soil model of every process adds 100 mm to its own lake cells, and 10 mm of rain
  // falls on them.
  for (int r = own.first; r <= own.last; ++r) {
    ponding_(r, 3) += 100;
    throughfall_(r, 3) = 10;
  }
  model_->RunStep(1, 1, 1, 2000);
  // 180 m3 on 300 m2: 0.6 m on every lake cell, on every process.
  for (int r = own.first; r <= own.last; ++r) EXPECT_NEAR(ponding_(r, 3), 600, 1e-9) << "row " << r;
  if (WorldRank() != 0) return;
  SP_class& lake = model_->routing_objects()[0]->reservoir(1);
  EXPECT_NEAR(lake.level(), 100.6, 1e-12);
  EXPECT_NEAR(lake.content()[0], 180, 1e-9);
  EXPECT_NEAR(lake.balance(BalanceTerm::kPrec).volume_m3, 3 * 100 * 0.010, 1e-12);
  EXPECT_NEAR(lake.area(), 300, 1e-12);
  EXPECT_TRUE(std::filesystem::exists(dir_.file("W_V_Table_05.dat")));
}

TEST_F(ReservoirRoutingTest, LakesNeedTheLakeGridAndNoResponseUnits) {
  const std::string lake = " SP 5 file = lake5.txt V0 = 150 C0 = 0 0 0 0 0 0 0 0 0";
  const std::string rules = "[abstraction_rule_reservoir_5]\n2\n0 0\n1e9 0\n";
  // Hydrologic response units have no lakes.
  PlaceLakeGrids();
  settings_.spin_up = 1;
  ASSERT_EQ(Build(Control(lake, rules, true)), 0) << console_.str();
  Start(0);
  EXPECT_EQ(model_->lake_flow_control(), 0);
  EXPECT_TRUE(model_->lake_cells_per_rank().empty());
  settings_.spin_up = 0;
  ASSERT_EQ(Build(Control(lake, rules, true)), 0) << console_.str();
  Start(0);
  EXPECT_EQ(model_->lake_flow_control(), 1);
  EXPECT_EQ(model_->lake_cells_per_rank().size(), static_cast<std::size_t>(WorldSize()));
  // Without the grid "lake_codes" the reservoir is a plain one.
  table_[4].identifier = "lakes";
  ASSERT_EQ(Build(Control(lake, rules, true)), 0) << console_.str();
  Start(0);
  EXPECT_EQ(model_->lake_flow_control(), 0);
  if (WorldRank() == 0) {
    EXPECT_TRUE(Logged("no LAKE-grid was found in routing_model\nLake modelling is switched off for routing_model."));
    EXPECT_FALSE(model_->routing_objects()[0]->reservoir(1).is_lake());
  }
}

TEST_F(ReservoirRoutingTest, TheLakeTakesTheTopPondingLayerAndTheWaterInputAfterInterception) {
  const std::string lake = " SP 5 file = lake5.txt V0 = 150 C0 = 0 0 0 0 0 0 0 0 0";
  const std::string rules = "[abstraction_rule_reservoir_5]\n2\n0 0\n1e9 0\n";
  PlaceLakeGrids();
  Place(9, "snowcover_outflow", snow_);
  // A soil model with a layered surface store keeps the lake water in its top layer.
  table_[5].identifier = "ponding_storage_top";
  ASSERT_EQ(Build(Control(lake, rules, true)), 0) << console_.str();
  Start(0, true);
  const RowRange own = settings_.strip;
  for (int r = own.first; r <= own.last; ++r) {
    EXPECT_NEAR(ponding_(r, 3), 500, 1e-9) << "row " << r;
    throughfall_(r, 3) = 10;
    snow_(r, 3) = 20;
  }
  model_->RunStep(1, 1, 1, 2000);
  // With interception before snow the lake cells take the snow cover's outflow.
  if (WorldRank() == 0) {
    EXPECT_NEAR(model_->routing_objects()[0]->reservoir(1).balance(BalanceTerm::kPrec).volume_m3, 3 * 100 * 0.020,
                1e-12);
  }
  // With neither ponding grid the lake cannot be bound.
  table_[5].identifier = "ponding";
  EXPECT_EQ(Build(Control(lake, rules, true)), WorldRank() == 0 ? 33 : 0);
}

}  // namespace
}  // namespace tolvo
