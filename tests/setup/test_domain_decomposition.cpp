#include "setup/domain_decomposition.h"

#include <gtest/gtest.h>

#include <cmath>

#include <utility>
#include <vector>

#include "framework/error_code.h"
#include "framework/grid_table.h"
#include "framework/modelobject.h"
#include "support/test_support.h"

namespace tolvo {
namespace {

using test::CodeOf;
using test::GridOf;

constexpr double N = kNodata;

std::vector<std::vector<double>> Values(const Grid& grid) {
  std::vector<std::vector<double>> rows;
  for (int r = grid.rows().first; r <= grid.rows().last; ++r) {
    rows.emplace_back(grid[r] + 1, grid[r] + grid.ncols() + 1);
  }
  return rows;
}

class DecompositionTest : public test::LogFixture {
 protected:

  modelobject reader_{log_, dir_.file("control.txt")};
};

TEST_F(DecompositionTest, SpeedWeightsAreInverseRunTimes) {
  struct Case {
    std::vector<double> speeds;
    std::vector<double> weights;
  };
  const Case cases[] = {
      {{1, 3}, {0.75, 0.25}},
      {{2, 2, 2, 2}, {0.25, 0.25, 0.25, 0.25}},
      {{0, -4, 1}, {1.0 / 3, 1.0 / 3, 1.0 / 3}},  // 0 and below count as an inverse of 1
      {{5}, {1}},
  };
  for (const Case& c : cases) {
    const std::vector<double> weights = SpeedWeights(c.speeds);
    ASSERT_EQ(weights.size(), c.weights.size());
    for (std::size_t k = 0; k < weights.size(); ++k) EXPECT_DOUBLE_EQ(weights[k], c.weights[k]);
  }
}

TEST_F(DecompositionTest, UnusableSpeedValuesNeverGiveNaNWeightsOrNegativeBudgets) {
  // Each unusable value counts as an inverse of 1; values near the largest inverse do not
  // overflow the sum.
  struct Case {
    const char* what;
    std::vector<double> speeds;
    std::vector<double> weights;
  };
  const double nan = std::nan("");
  const Case cases[] = {
      {"subnormal value, its inverse overflows", {1e-310, 1}, {0.5, 0.5}},
      {"not a number", {nan, 1, 1}, {1.0 / 3, 1.0 / 3, 1.0 / 3}},
      {"infinities", {HUGE_VAL, -HUGE_VAL}, {0.5, 0.5}},
      {"inverses whose sum overflows", {1e-308, 1e-308}, {0.5, 0.5}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::vector<double> weights = SpeedWeights(c.speeds);
    ASSERT_EQ(weights.size(), c.weights.size());
    for (std::size_t k = 0; k < weights.size(); ++k) EXPECT_DOUBLE_EQ(weights[k], c.weights[k]);
    std::vector<RiverLink> links;
    for (long long budget : CellBudgets(reader_.context(), 10, weights, links)) EXPECT_GE(budget, 0);
  }
}

TEST_F(DecompositionTest, SpeedValueComesFromTheFirstNumberOfTheFile) {
  test::WriteFile(dir_.file("speed"), "2.5 seconds\n");
  EXPECT_DOUBLE_EQ(FindSpeedValue(reader_, dir_.file("speed")), 2.5);
  test::WriteFile(dir_.file("speed"), "fast\n");
  EXPECT_DOUBLE_EQ(FindSpeedValue(reader_, dir_.file("speed")), 0);
}

TEST_F(DecompositionTest, BudgetsRoundAndTheLastProcessTakesTheRest) {
  std::vector<RiverLink> none;
  // 10 cells over 4 equal processes: 2.5 rounds down to 2 three times, the last gets 4.
  EXPECT_EQ(CellBudgets(reader_.context(), 10, {0.25, 0.25, 0.25, 0.25}, none), (std::vector<long long>{2, 2, 2, 4}));
  EXPECT_TRUE(Logged("MPI num cells: 4 for instance: 3"));
}

TEST_F(DecompositionTest, LinksAreHandedOutInListOrder) {
  // Budgets of 20 cells at 0.5 each: process 0 takes link 6 (8 cells, leaving 2), stops
  // before link 4 (5 cells); process 1's budget is 20 - 2 - 8 = 10, it takes link 4 and,
  // with 5 left, not link 2 (5 cells), which stays with process 0.
  std::vector<RiverLink> links;
  for (auto [id, size] : {std::pair{6, 8}, std::pair{4, 5}, std::pair{2, 5}}) {
    links.emplace_back(id);
    for (int i = 0; i < size; ++i) links.back().AddCell({.linkId = id});
  }
  const std::vector<long long> budgets = CellBudgets(reader_.context(), 20, {0.5, 0.5}, links);
  EXPECT_EQ(budgets, (std::vector<long long>{2, 5}));
  EXPECT_EQ(links[0].ownerRank, 0);
  EXPECT_EQ(links[1].ownerRank, 1);
  EXPECT_EQ(links[1].GetCells()[0].ownerRank, 1);
  EXPECT_EQ(links[2].ownerRank, 0);
  EXPECT_TRUE(Logged(" + link cells: 8 for river link 6"));
  EXPECT_TRUE(Logged("        total: 10 for instance 0"));
  EXPECT_TRUE(Logged("        total: 10 for instance 1"));
}

TEST_F(DecompositionTest, BudgetsAreSettledSoThatEveryProcessGetsACell) {
  struct Case {
    std::vector<long long> budgets;
    long long regular;
    std::vector<long long> settled;
  };
  const Case cases[] = {
      {{3, 7}, 10, {3, 7}},         // already sound: unchanged
      {{1, 1, 1, 0}, 3 + 1, {1, 1, 1, 1}},  // a last budget of 0 (3 cells over 4 at 0.25 with one more)
      {{5, 10}, 5, {1, 4}},         // more budget than cells (links left over): scaled down
      {{4, -2, 6}, 8, {3, 1, 4}},   // a negative budget
  };
  for (const Case& c : cases) {
    std::vector<long long> budgets = c.budgets;
    SettleBudgets(reader_.context(), budgets, c.regular);
    EXPECT_EQ(budgets, c.settled);
  }
  std::vector<long long> budgets{1, 1, 1, 0};
  EXPECT_EQ(CodeOf([&] { SettleBudgets(reader_.context(), budgets, 3); }), kDecompositionErrorCode);
  EXPECT_TRUE(Logged("MPI-Regions: 3 cells of the domain cannot be shared among 4 processes"));
}

TEST_F(DecompositionTest, CellsAreDealtFromTheHighestRankInRowOrder) {
  const Grid zone = GridOf({{N, 1, 1}, {1, 1, 1}, {1, N, 1}});
  Grid regions = GridOf({{N, N, N}, {N, N, N}, {N, N, N}});
  const std::vector<RowRange> bands = AssignCells(zone.view(), kNodata, {}, {2, 2, 3}, regions.view());
  EXPECT_EQ(Values(regions), (std::vector<std::vector<double>>{{N, 2, 2}, {2, 1, 1}, {0, N, 0}}));
  ASSERT_EQ(bands.size(), 3u);
  EXPECT_EQ(bands[2].first, 1);
  EXPECT_EQ(bands[2].last, 2);  // shares row 2 with process 1
  EXPECT_EQ(bands[1].first, 2);
  EXPECT_EQ(bands[1].last, 2);
  EXPECT_EQ(bands[0].first, 3);
  EXPECT_EQ(bands[0].last, 3);
}

TEST_F(DecompositionTest, LinkCellsTakeTheBandTheyLieIn) {
  const Grid zone = GridOf({{1, 1}, {1, 1}, {1, 1}});
  const Grid links = GridOf({{0, 5}, {0, 0}, {0, 5}});
  Grid regions = GridOf({{N, N}, {N, N}, {N, N}});
  // Regular cells: 4; process 1 takes 2 of them (and the link cell between), process 0 the
  // rest; the link cell in the last row lies below process 0's last regular cell.
  const std::vector<RowRange> bands = AssignCells(zone.view(), kNodata, links.view(), {2, 2}, regions.view());
  EXPECT_EQ(Values(regions), (std::vector<std::vector<double>>{{1, 1}, {1, 0}, {0, 0}}));
  EXPECT_EQ(bands[1].first, 1);
  EXPECT_EQ(bands[1].last, 2);
  EXPECT_EQ(bands[0].first, 2);
  EXPECT_EQ(bands[0].last, 3);
}

TEST_F(DecompositionTest, OneProcessComputesEveryCell) {
  test::WriteFile(dir_.file("MpiSpeedFactor.dat"), "1\n");
  test::WriteFile(dir_.file("control.txt"), "[unsatzon_model]\n1 # switch\n60\n1\n2 # interaction\n");
  reader_.set_geometry({.ncols = 3, .nrows = 4, .cellsize = 1, .nodata_value = kNodata});
  const Grid zone = GridOf({{N, N, N}, {N, 1, 1}, {1, N, 1}, {N, N, N}});
  const Grid elevation = GridOf({{0, 0, 0}, {0, 3, 2}, {1, 0, 0}, {0, 0, 0}});
  const Grid links = GridOf({{0, 0, 0}, {0, 4, 4}, {0, 0, 0}, {0, 0, 0}});
  const DomainDecomposition d = BuildMpiRegions(
      reader_, {zone.view(), elevation.view(), links.view(), dir_.file("MpiSpeedFactor.dat")});
  EXPECT_EQ(Values(d.regions), (std::vector<std::vector<double>>{{N, N, N}, {N, 0, 0}, {0, N, 0}, {N, N, N}}));
  EXPECT_EQ(d.own_rows.first, 2);
  EXPECT_EQ(d.own_rows.last, 3);
  EXPECT_EQ(d.cell_counts[0], 4);
  EXPECT_TRUE(d.receive_list.empty());
  EXPECT_TRUE(d.send_list.empty());
  // Strip grid of process 0: row 1 wholly outside (3 in column 0), row 2 one cell outside
  // then a run of two cells of process 0.
  EXPECT_EQ(Values(d.helper)[0], (std::vector<double>{0, 0, 0}));
  EXPECT_EQ(d.helper[1][0], 3);
  EXPECT_EQ(d.helper[2][0], 1);
  EXPECT_EQ(Values(d.helper)[1], (std::vector<double>{0, 2, 0}));
  // Row 3 alternates between process 0 and outside: with one process the pair that does
  // not fit is left out instead of being written past the row.
  EXPECT_EQ(Values(d.helper)[2], (std::vector<double>{0, 1, 0}));
  // The link (interaction 2 with a "river_links" grid) lies with process 0.
  ASSERT_EQ(d.riverLinks.size(), 1u);
  EXPECT_EQ(d.riverLinks[0].cellCount, 2);
  ASSERT_EQ(d.link_cells.heldLinkCells.size(), 1u);
  EXPECT_EQ(d.link_cells.heldLinkCells[0].size(), 2u);
  EXPECT_TRUE(Logged("MPI performance weight: 1 for instance: 0"));
  EXPECT_TRUE(Logged("MPI regular cells: 2\nMPI river cells: 2"));
}

TEST_F(DecompositionTest, LinksNeedTheInteractionValue2) {
  test::WriteFile(dir_.file("MpiSpeedFactor.dat"), "1\n");
  reader_.set_geometry({.ncols = 2, .nrows = 1, .cellsize = 1, .nodata_value = kNodata});
  const Grid zone = GridOf({{1, 1}});
  const Grid links = GridOf({{4, 4}});
  const DecompositionInput input{zone.view(), zone.view(), links.view(), dir_.file("MpiSpeedFactor.dat")};
  for (const char* control : {"[unsatzon_model]\n1\n60\n1\n1\n", "[other]\n1\n"}) {
    test::WriteFile(dir_.file("control.txt"), control);
    EXPECT_TRUE(BuildMpiRegions(reader_, input).riverLinks.empty());
  }
  test::WriteFile(dir_.file("control.txt"), "[unsatzon_model]\n1\n60\nx\n");
  EXPECT_EQ(CodeOf([&] { BuildMpiRegions(reader_, input); }), kMissingControlItem);
  EXPECT_TRUE(Logged("looking for re-infiltration parameter in [unsatzon_model]"));
  std::filesystem::remove(dir_.file("control.txt"));
  EXPECT_EQ(CodeOf([&] { BuildMpiRegions(reader_, input); }), 28);
}

TEST_F(DecompositionTest, GridsArePublishedAtTheFirstEntryWithoutAFileName) {
  test::WriteFile(dir_.file("MpiSpeedFactor.dat"), "1\n");
  test::WriteFile(dir_.file("control.txt"), "[other]\n");
  reader_.set_geometry({.ncols = 2, .nrows = 2, .cellsize = 1, .nodata_value = kNodata});
  const Grid zone = GridOf({{1, 1}, {N, 1}});
  DomainDecomposition d = BuildMpiRegions(reader_, {zone.view(), zone.view(), {}, dir_.file("MpiSpeedFactor.dat")});
  grid_table table;
  reader_.set_grid_table(&table);
  table.zone_grid().file_name = "zones.asc";
  table[2].file_name = "dem.asc";
  EXPECT_EQ(RegisterDecompositionGrids(reader_, d), 3);
  EXPECT_EQ(reader_.FindGrid("MPIRegions", true), 3);
  EXPECT_EQ(reader_.FindGrid("MPIHelper", true), 4);
  EXPECT_EQ(reader_.FindGrid("MPIHalo", true), 5);
  EXPECT_EQ(table[3].values(2, 1), kNodata);
  EXPECT_EQ(table[3].values(2, 2), 0);

  for (int i = 1; i <= kLastGridIndex; ++i) table[i].file_name.emplace(1, 'x');
  EXPECT_EQ(CodeOf([&] { RegisterDecompositionGrids(reader_, d); }), 12);
  EXPECT_TRUE(Logged("when trying to create MPI-Regions: no free grid found in memory (at position 1000)"));
}

}  // namespace
}  // namespace tolvo
