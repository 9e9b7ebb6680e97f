// Lakes: the level-volume table of a lake's terrain, the checks of its cells, its water
// on the cells and the balance of its steps.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "framework/control_file_stream.h"
#include "framework/grid_distribution.h"
#include "framework/tracer_settings_record.h"
#include "routing/level_volume_table.h"
#include "routing/sp_class.h"
#include "support/test_support.h"

namespace tolvo {
namespace {

using test::CodeOf;

constexpr double N = kNodata;

TEST(LevelVolumeTable, StepsOf1Then2Then5CentimetresDownToTheBottom) {
  const struct {
    double depth;
    int entries;
    double last_step;
  } cases[] = {{2.345, 235, 0.015}, {3, 301, 0.01}, {10, 701, 0.02}, {20, 1021, 0.05}, {0.004, 2, 0.004}, {0, 2, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.depth);
    const std::vector<double> levels = TableLevels(500 + c.depth, 500);
    ASSERT_EQ(static_cast<int>(levels.size()), c.entries);
    EXPECT_EQ(levels.front(), 500 + c.depth);
    EXPECT_EQ(levels.back(), 500);
    EXPECT_NEAR(levels[levels.size() - 2] - levels.back(), c.last_step, 1e-9);
    for (std::size_t i = 1; i < levels.size(); ++i) ASSERT_LE(levels[i], levels[i - 1]);
  }
  const std::vector<double> deep = TableLevels(520, 500);
  EXPECT_NEAR(deep[400], 516, 1e-9);
  EXPECT_NEAR(deep[900], 506, 1e-9);
}

TEST(LevelVolumeTable, VolumesAndLevelsConvertAlongTheTableAndBeyondIt) {
  // Two cells of 100 m2 with terrain 100 m and 101 m, top 102 m.
  const std::vector<double> terrain = {100, 101};
  const LevelVolumeTable table = BuildLevelVolumeTable(terrain, 102, 100);
  ASSERT_EQ(table.count(), 201);
  EXPECT_DOUBLE_EQ(table.volumes[0], 100 * 2 + 100 * 1);
  EXPECT_DOUBLE_EQ(table.volumes[150], 100 * 0.5);
  EXPECT_EQ(table.volumes.back(), 0);
  const struct {
    double volume, level;
  } cases[] = {{0, 100}, {25, 100.25}, {100, 101}, {200, 101.5}, {300, 102},
               // Beyond the table the nearest entries' line goes on.
               {500, 102 + 200.0 / 200}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.volume);
    EXPECT_NEAR(LevelFromVolume(table, c.volume), c.level, 1e-9);
    EXPECT_NEAR(VolumeFromLevel(table, c.level), c.volume, 1e-7);
  }
  EXPECT_NEAR(LevelFromVolume(table, -10), 99.9, 1e-9);

  // A flat lake: no ponding capacity, both entries at volume 0. The level is the upper
  // entry's, not a division by a zero volume difference.
  const LevelVolumeTable flat = BuildLevelVolumeTable(std::vector<double>{100, 100}, 100, 100);
  ASSERT_EQ(flat.count(), 2);
  EXPECT_EQ(flat.volumes, (std::vector<double>{0, 0}));
  EXPECT_EQ(LevelFromVolume(flat, 0), 100);
  EXPECT_EQ(LevelFromVolume(flat, 50), 100);
}

// A 3 x 4 grid of 10 m cells in sub-basin 2 (sub-basin 3 in its last column); lake 5 on
// four cells whose terrain lies on levels of the table (1 cm steps from the top at 103 m).
class LakeTest : public test::LogFixture {
 protected:
  LakeTest() {
    zones_ = test::GridOf({{2, 2, 2, 3}, {2, 2, 2, 3}, {2, 2, 2, 3}});
    lake_codes_ = test::GridOf({{N, 5, 5, N}, {N, 5, 5, N}, {N, N, N, N}});
    elevation_ = test::GridOf({{99, 100, 100.5, 99}, {99, 101, 101.5, 99}, {99, 99, 99, 99}});
    max_ponding_ = Grid(1, 3, 4, 3);
    for (int r = 1; r <= 3; ++r) {
      for (int c = 1; c <= 4; ++c) max_ponding_(r, c) = (103 - elevation_(r, c)) * 1000;
    }
    for (Grid* g : {&ponding_, &transpiration_, &prec_}) {
      *g = Grid(1, 3, 4, 3);
      g->fill(0);
    }
    concentration_ = Grid(1, 3, 4, 3);
    concentration_.fill(0);
    ranges_ = {{0, -1}, {1, 4}, {1, 4}, {1, 4}};
  }

  void Build(int code = 5, int n_tracers = 1) {
    tracers_.assign(static_cast<std::size_t>(n_tracers) + 1, {});
    lake_ = SP_class();
    lake_.SetUp(log_, {.n_tracers = n_tracers,
                       .tracers = tracers_,
                       .subbasin_code = 2,
                       .code_index = code_index_,
                       .column_ranges = ranges_,
                       .geometry = {.ncols = 4, .nrows = 3, .cellsize = 10, .nodata_value = N},
                       .lake_flow_control = 1,
                       .output_directory = {}});
    LakeGrids grids{.lake_codes = lake_codes_.view(),
                    .ponding = ponding_.view(),
                    .max_ponding = max_ponding_.view(),
                    .zones = zones_.view(),
                    .elevation = elevation_.view(),
                    .transpiration = transpiration_.view(),
                    .q_downext = {},
                    .baseflow = {},
                    .prec_on_lakes = prec_.view(),
                    .tracer_concentrations = {GridView(), concentration_.view()}};
    lake_.BindLakeGrids(grids);
    const std::string entry = "SP " + std::to_string(code) + " file = lake.txt V0 = 0 C0 = 0";
    lake_.ReadParameters(entry, 0, entry.size());
    lake_.BuildLevelVolumeTable();
  }
  void ReadRules(const std::string& rules) {
    test::WriteFile(dir_.file("rules.ctl"), rules);
    ControlFileStream file(dir_.file("rules.ctl"));
    lake_.ReadRules(file);
  }

  test::WorkingDirectory working_directory_{dir_.path()};
  std::vector<int> code_index_ = {0, 0, 1, 2};
  std::vector<ColumnRange> ranges_;
  std::vector<TracerSettingsRecord> tracers_;
  Grid zones_, lake_codes_, elevation_, max_ponding_, ponding_, transpiration_, prec_;
  Grid concentration_;
  SP_class lake_;
};

TEST_F(LakeTest, TheTableFileCarriesTheLakeCode) {
  Build();
  const LevelVolumeTable& table = lake_.level_volume_table();
  ASSERT_EQ(table.count(), 301);
  const std::string text = test::ReadFile(dir_.file("W_V_Table_05.dat"));
  EXPECT_EQ(text.substr(0, text.find("\n", text.find("\n") + 1) + 1),
            "waterlevel-volume-table lake 5\nLevel[m a.s.l.]\tVolume[m^3]\n");
  EXPECT_NE(text.find("\n103\t900\n"), std::string::npos);  // 100 m2 * (3 + 2.5 + 2 + 1.5) m
  EXPECT_NE(text.find("\n100\t0\n"), std::string::npos);

  for (int r = 1; r <= 2; ++r) {
    for (int c = 2; c <= 3; ++c) lake_codes_(r, c) = 123;
  }
  Build(123);
  EXPECT_TRUE(std::filesystem::exists(dir_.file("W_V_Table_123.dat")));
}

TEST_F(LakeTest, CellsThatDoNotFormOneLakeFailNamingTheLake) {
  // Tops 0.005 m apart are one water surface.
  max_ponding_(2, 3) += 5;
  EXPECT_EQ(CodeOf([&] { Build(); }), 0);
  // 0.02 m is too much: the first such cell in row order is named.
  max_ponding_(2, 2) += 20;
  max_ponding_(2, 3) += 20;
  EXPECT_EQ(CodeOf([&] { Build(); }), 213);
  EXPECT_TRUE(Logged("Error in initialization for lake 5."));
  EXPECT_TRUE(Logged("Value at row 2, col 2 is 101\nbut first value of dhm for this lake was 103"));
  max_ponding_(2, 2) -= 20;
  max_ponding_(2, 3) -= 25;

  // A lake cell in another sub-basin.
  lake_codes_(1, 4) = 5;
  max_ponding_(1, 4) = (103 - 99) * 1000;
  EXPECT_EQ(CodeOf([&] { Build(); }), 224);
  EXPECT_TRUE(Logged(" Lake 5 must be located completely within subbasin 2."));
  lake_codes_(1, 4) = N;

  // A lake without a cell.
  EXPECT_EQ(CodeOf([&] { Build(6); }), 103);
  EXPECT_TRUE(Logged("lake 6 of sub-basin 2 has no cell in the grid \"lake_codes\""));
}

TEST_F(LakeTest, TheLevelLiesFlatOverTheCellsAndTheBalanceCloses) {
  Build();
  ReadRules("[abstraction_rule_reservoir_5]\n2\n0 0\n700 0.05\n\n");
  // Start at level 101.2 m: water on three cells.
  const double start = lake_.VolumeFromLevel(101.2);
  EXPECT_NEAR(start, 100 * (1.2 + 0.7 + 0.2), 1e-9);
  for (auto& c : lake_.content()) c = 0;
  lake_.content()[0] = start;
  lake_.content()[1] = 3;
  lake_.SetLevelFromVolume(start);
  EXPECT_NEAR(ponding_(1, 2), 1200, 1e-9);
  EXPECT_NEAR(ponding_(2, 3), 0, 1e-9);
  EXPECT_EQ(concentration_(1, 2), 3);
  EXPECT_EQ(concentration_(2, 3), 0);
  EXPECT_EQ(ponding_(3, 2), 0);  // not a lake cell

  std::vector<double> routed(2, 0.0);
  for (int step = 1; step <= 48; ++step) {
    SCOPED_TRACE(step);
    const double inflow = step <= 24 ? 0.02 : 0;
    lake_.ReservoirStep({.inflow_m3s = inflow, .routed = routed, .dt_min = 60}, {2001, 1, 1 + step / 24, step % 24});
    const double V = lake_.content()[0];
    EXPECT_LT(std::fabs(lake_.balance(BalanceTerm::kErr).volume_m3), 1e-9 * V);
    EXPECT_NEAR(lake_.level(), lake_.LevelFromVolume(V), 1e-12);
    // The water on the cells is the lake's volume.
    double on_cells = 0;
    for (int r = 1; r <= 2; ++r) {
      for (int c = 2; c <= 3; ++c) on_cells += ponding_(r, c) / 1000 * 100;
    }
    EXPECT_NEAR(on_cells, V, 1e-9 * V);
  }
  // The area counts the wet cells; depths are volumes over it.
  EXPECT_GT(lake_.area(), 0);
  const BalanceValue& out = lake_.balance(BalanceTerm::kQout);
  EXPECT_NEAR(out.depth_mm, out.volume_m3 / lake_.area() * 1000, 1e-12);
}

TEST_F(LakeTest, RainEvaporationAndGroundwaterOfTheWetCellsEnterTheBalance) {
  Build(5, 0);
  ReadRules("[abstraction_rule_reservoir_5]\n2\n0 0\n1 0\n\n");
  // The soil model left 500 mm on two cells, of which 10 mm rain and 4 mm evaporation.
  ponding_(1, 2) = ponding_(1, 3) = 500;
  prec_(1, 2) = prec_(1, 3) = 10;
  transpiration_(1, 2) = transpiration_(1, 3) = 4;
  prec_(2, 2) = 10;  // a dry cell counts for nothing
  std::vector<double> routed(1, 0.0);
  lake_.ReservoirStep({.inflow_m3s = 0, .routed = routed, .dt_min = 60}, {2001, 1, 1, 1});
  EXPECT_NEAR(lake_.balance(BalanceTerm::kPrec).volume_m3, 2 * 100 * 0.010, 1e-12);
  EXPECT_NEAR(lake_.balance(BalanceTerm::kEtr).volume_m3, 2 * 100 * 0.004, 1e-12);
  EXPECT_EQ(lake_.balance(BalanceTerm::kQgw).volume_m3, 0);  // no drainage grids bound
  EXPECT_NEAR(lake_.content()[0], 100, 1e-9);
  EXPECT_NEAR(lake_.balance(BalanceTerm::kDv).volume_m3, 1.2, 1e-12);
}

TEST_F(LakeTest, ALakeWithoutWetCellsHoldsNothing) {
  Build();
  ReadRules("[abstraction_rule_reservoir_5]\n2\n0 0\n1 0\n\n");
  lake_.content()[0] = 50;
  lake_.content()[1] = 8;
  std::vector<double> routed(2, 0.0);
  lake_.ReservoirStep({.inflow_m3s = 0, .routed = routed, .dt_min = 60}, {2001, 1, 1, 1});
  EXPECT_EQ(lake_.content()[0], 0);
  EXPECT_EQ(lake_.content()[1], 0);
  EXPECT_EQ(lake_.area(), 0);
  for (int t = 0; t < kBalanceTerms; ++t) EXPECT_EQ(lake_.balance(static_cast<BalanceTerm>(t)).depth_mm, 0);
}

}  // namespace
}  // namespace tolvo
