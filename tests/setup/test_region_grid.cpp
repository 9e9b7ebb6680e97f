#include "setup/region_grid.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "framework/error_code.h"
#include "framework/grid_table.h"
#include "framework/modelobject.h"
#include "support/test_support.h"

namespace tolvo {
namespace {

using test::AsciiGridValues;
using test::CodeOf;
using test::GridOf;

constexpr double N = kNodata;

Grid Filled(int nrows, int ncols, double value) {
  Grid grid(1, nrows, ncols, nrows);
  grid.fill(value);
  return grid;
}

// The weight grids of a whole domain for the weight computation.
struct WeightGrids {
  WeightGrids(Grid zone_grid, Grid regions) : zone(std::move(zone_grid)), r1(std::move(regions)) {
    const int nrows = zone.rows().last;
    const int ncols = zone.ncols();
    for (Grid* g : {&w1, &r2, &w2, &r3, &w3}) *g = Grid(1, nrows, ncols, nrows);
    ranges.assign(static_cast<std::size_t>(nrows) + 1, ColumnRange{1, ncols});
  }
  void Compute(int region_count, double distance_cells) {
    ComputeRegionWeights({zone.view(), r1.view(), w1.view(), r2.view(), w2.view(), r3.view(), w3.view()}, ranges,
                         region_count, distance_cells, N);
  }
  Grid zone, r1, w1, r2, w2, r3, w3;
  std::vector<ColumnRange> ranges;
};

// Two regions side by side, codes 1 (columns 1-5) and 2 (columns 6-10), three rows.
WeightGrids TwoRegions() {
  Grid regions(1, 3, 10, 3);
  for (int r = 1; r <= 3; ++r) {
    for (int c = 1; c <= 10; ++c) regions(r, c) = c <= 5 ? 1 : 2;
  }
  return WeightGrids(Filled(3, 10, 1), std::move(regions));
}

TEST(RegionWeights, TwoRegionsBlendOverTheTransitionDistance) {
  // o = 4 cells: W1 = d / 8 + 0.5 at the integer distance d to the other region, 1 from
  // four cells on; beyond o the other region is not seen at all.
  WeightGrids g = TwoRegions();
  g.Compute(2, 4.0);
  struct Case {
    int col;
    double w1;
    double r2;
  };
  const Case cases[] = {{5, 0.625, 2}, {4, 0.75, 2}, {3, 0.875, 2}, {2, 1, 2}, {1, 1, 0},
                        {6, 0.625, 1}, {8, 0.875, 1}, {10, 1, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.col);
    EXPECT_DOUBLE_EQ(g.w1(2, c.col), c.w1);
    EXPECT_DOUBLE_EQ(g.w2(2, c.col), 1 - c.w1);
    EXPECT_EQ(g.r2(2, c.col), c.r2);
  }

  // A distance far below a cell sees no other region: every cell keeps its own.
  WeightGrids tiny = TwoRegions();
  tiny.Compute(2, kSmallestTransitionDistance);
  for (int r = 1; r <= 3; ++r) {
    for (int c = 1; c <= 10; ++c) {
      EXPECT_EQ(tiny.w1(r, c), 1);
      EXPECT_EQ(tiny.w2(r, c), 0);
      EXPECT_EQ(tiny.r2(r, c), 0);
    }
  }
}

TEST(RegionWeights, OneRegionWeighsOneInsideTheZoneAndNodataOutside) {
  WeightGrids g(GridOf({{1, 1, N}, {N, 1, 1}}), GridOf({{1, 1, 1}, {1, 1, 1}}));
  g.Compute(1, 3.0);
  const double w1[2][3] = {{1, 1, N}, {N, 1, 1}};
  for (int r = 1; r <= 2; ++r) {
    for (int c = 1; c <= 3; ++c) {
      EXPECT_EQ(g.w1(r, c), w1[r - 1][c - 1]) << r << "," << c;
      EXPECT_EQ(g.r1(r, c), w1[r - 1][c - 1] == N ? N : 1) << r << "," << c;
    }
  }
}

TEST(RegionWeights, ThirdRegionBlendsByInverseDistances) {
  // Cell (3,3) of region 1 with region 2 one cell to its right and region 3 two cells to
  // its right, o = 2. By hand: a = 2 - 1 = 1, b = 1 + 2 = 3, c = 2 + 2 = 4, m = 1,
  // g = (0.9 - 0.5 cos(pi/4)) / 4 = 0.1366117, shares 0.8633883, 0.1966722, 0.1133883,
  // sum 1.1734984.
  Grid regions = Filled(5, 5, 1);
  regions(3, 4) = 2;
  regions(3, 5) = 3;
  WeightGrids g(Filled(5, 5, 7), std::move(regions));
  g.Compute(3, 2.0);
  EXPECT_EQ(g.r2(3, 3), 2);
  EXPECT_EQ(g.r3(3, 3), 3);
  EXPECT_NEAR(g.w1(3, 3), 0.7357389, 1e-6);
  EXPECT_NEAR(g.w2(3, 3), 0.1676369, 1e-6);
  EXPECT_NEAR(g.w3(3, 3), 0.0966242, 1e-6);
  // Cell (1,1) sees neither within o: only its own region.
  EXPECT_EQ(g.w1(1, 1), 1);
  EXPECT_EQ(g.r2(1, 1), 0);
  EXPECT_EQ(g.r3(1, 1), 0);
  EXPECT_EQ(g.w3(1, 1), 0);
  for (int r = 1; r <= 5; ++r) {
    for (int c = 1; c <= 5; ++c) {
      EXPECT_NEAR(g.w1(r, c) + g.w2(r, c) + g.w3(r, c), 1.0, 1e-12) << r << "," << c;
    }
  }
}

TEST(RegionFileStem, CutsTheExtensionOfTheBaseNameOnly) {
  EXPECT_EQ(RegionFileStem("zones.asc"), "zones");
  EXPECT_EQ(RegionFileStem("grids/zones.v2.asc"), "grids/zones.v2");
  EXPECT_EQ(RegionFileStem("../grids/zones"), "../grids/zones");
  EXPECT_EQ(RegionFileStem("zones"), "zones");
}

class RegionGridTest : public test::LogFixture {
 protected:
  void SetUp() override {
    reader_.set_grid_table(&table_);
    reader_.set_output_formats({.ascii = true});
  }
  void SetDomain(Grid zone, const std::string& zone_file = "zones.asc") {
    zone_ = std::move(zone);
    const int nrows = zone_.rows().last;
    reader_.set_geometry({.ncols = zone_.ncols(), .nrows = nrows, .cellsize = 100, .nodata_value = N});
    reader_.set_strip({1, nrows});
    reader_.RegisterGrid(1, zone_file, zone_.view(), {}, 0, "[zone_grid]", 0, 1, nrows);
  }
  void SetRegions(Grid regions, int index = 2) {
    regions_ = std::move(regions);
    reader_.RegisterGrid(index, "regions.asc", regions_.view(), {}, 0, "regression_regions", 0, 1,
                         regions_.rows().last);
  }
  void Make(const std::string& distance) {
    test::WriteFile(dir_.file("control.txt"), "[region_transition_distance]\n" + distance + " distance\n");
    grids_.MakeRegionWeightGrids(reader_, [&] { ++registered_; });
  }

  modelobject reader_{log_, dir_.file("control.txt"), {}, "", dir_.path().string() + "/"};
  grid_table table_;
  Grid zone_;
  Grid regions_;
  RegionGrids grids_;
  int registered_ = 0;
};

TEST_F(RegionGridTest, RankingOrdersCodesAndFindsCentroids) {
  SetDomain(GridOf({{1, 1, 1}, {1, 1, N}}));
  // 2.9 counts as region 2; the cell outside the zone is not looked at.
  SetRegions(GridOf({{5, 2.9, 9}, {5, 2, -7}}));
  const RegionTables tables = RankRegionGrid(reader_, 2);
  ASSERT_EQ(tables.region_count, 3);
  EXPECT_EQ(tables.largest_code, 9);
  EXPECT_EQ(tables.code_index, (std::vector<int>{0, 0, 1, 0, 0, 2, 0, 0, 0, 3}));
  ASSERT_EQ(tables.centroids.size(), 4u);
  // Region 2: cells (1,2) and (2,2); region 5: (1,1) and (2,1); region 9: (1,3).
  EXPECT_DOUBLE_EQ(tables.centroids[1].mean_row, 1.5);
  EXPECT_DOUBLE_EQ(tables.centroids[1].mean_col, 2);
  EXPECT_EQ(tables.centroids[1].row, 1);
  EXPECT_EQ(tables.centroids[1].col, 2);
  EXPECT_DOUBLE_EQ(tables.centroids[1].cell_count, 2);
  EXPECT_DOUBLE_EQ(tables.centroids[2].mean_col, 1);
  EXPECT_DOUBLE_EQ(tables.centroids[3].mean_row, 1);
  EXPECT_DOUBLE_EQ(tables.centroids[3].mean_col, 3);
  EXPECT_EQ(tables.centroids[0].cell_count, 0);
}

TEST_F(RegionGridTest, RankingRefusesInvalidCodesAndTooManyRegions) {
  struct Case {
    double value;
    int code;
  };
  const Case cases[] = {{32767, 0}, {32767.9, 0}, {0, 3}, {0.9, 3}, {32768, 3}, {-5, 3}, {N, 3}, {NAN, 3}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    SetDomain(GridOf({{1, 1}}));
    SetRegions(GridOf({{1, c.value}}));
    EXPECT_EQ(CodeOf([&] { RankRegionGrid(reader_, 2); }), c.code);
  }
  EXPECT_NE(console_.str().find("invalid region code in regions.asc!\n (codes has to be between 1 and 32767)!"),
            std::string::npos);

  // 30 regions are accepted, a 31st is refused.
  for (const int n : {30, 31}) {
    SCOPED_TRACE(n);
    Grid zone = Filled(1, n, 1);
    Grid regions(1, 1, n, 1);
    for (int c = 1; c <= n; ++c) regions(1, c) = 100 + c;
    SetDomain(std::move(zone));
    SetRegions(std::move(regions));
    EXPECT_EQ(CodeOf([&] { RankRegionGrid(reader_, 2); }), n == 30 ? 0 : kTooManyZones);
  }
  EXPECT_NE(console_.str().find("too much zones in regions.asc, (max. 30)!"), std::string::npos);
}

TEST_F(RegionGridTest, WithoutRegionGridTheZoneIsOneRegionOfWeightOne) {
  SetDomain(GridOf({{N, 3, 3}, {4, 4, N}}), "grids.v1/zones.asc");
  std::filesystem::create_directories(dir_.path() / "grids.v1");
  Make("0");
  EXPECT_EQ(registered_, 2);
  EXPECT_EQ(grids_.tables().region_count, 1);
  EXPECT_EQ(grids_.tables().transition_distance, kSmallestTransitionDistance);
  const int regions = reader_.FindGrid("regression_regions", true);
  const int weights = reader_.FindGrid("regression_weights1", true);
  ASSERT_EQ(regions, 2);
  ASSERT_EQ(weights, 3);
  EXPECT_EQ(table_[regions].file_name, "grids.v1/zones.$r1");
  EXPECT_EQ(table_[weights].file_name, "grids.v1/zones.$w1");
  EXPECT_EQ(reader_.FindGrid("regression_regions2", true), 0);
  // Written once at set-up, then out of the step outputs.
  EXPECT_EQ(AsciiGridValues(dir_.file("grids.v1/zones.$w1")), (std::vector<double>{N, 1, 1, 1, 1, N}));
  EXPECT_EQ(table_[weights].ones, 0);
}

TEST_F(RegionGridTest, TwoRegionsMakeTheSecondRegionGrids) {
  SetDomain(Filled(3, 10, 1));
  Grid regions(1, 3, 10, 3);
  for (int r = 1; r <= 3; ++r) {
    for (int c = 1; c <= 10; ++c) regions(r, c) = c <= 5 ? 4 : 8;
  }
  SetRegions(std::move(regions));
  Make("400");  // four cells of 100 m
  EXPECT_EQ(registered_, 3);
  EXPECT_EQ(grids_.tables().region_count, 2);
  EXPECT_EQ(reader_.FindGrid("regression_weights1", true), 3);
  EXPECT_EQ(reader_.FindGrid("regression_regions2", true), 4);
  EXPECT_EQ(reader_.FindGrid("regression_weights2", true), 5);
  EXPECT_EQ(reader_.FindGrid("regression_regions3", true), 0);
  const std::vector<double> w1 = AsciiGridValues(dir_.file("regions.$w1"));
  const std::vector<double> w2 = AsciiGridValues(dir_.file("regions.$w2"));
  const std::vector<double> r2 = AsciiGridValues(dir_.file("regions.$r2"));
  ASSERT_EQ(w1.size(), 30u);
  ASSERT_EQ(w2.size(), 30u);
  ASSERT_EQ(r2.size(), 30u);
  EXPECT_DOUBLE_EQ(w1[14], 0.625);  // row 2, column 5
  EXPECT_DOUBLE_EQ(w2[14], 0.375);
  EXPECT_EQ(r2[14], 8);
  EXPECT_DOUBLE_EQ(w1[10], 1);  // row 2, column 1
  EXPECT_EQ(r2[10], 0);
}

TEST_F(RegionGridTest, TheTransitionDistanceIsRequired) {
  SetDomain(Filled(2, 2, 1));
  test::WriteFile(dir_.file("control.txt"), "[other]\n4\n");
  EXPECT_EQ(CodeOf([&] { grids_.MakeRegionWeightGrids(reader_, [] {}); }), kMissingControlItem);
  SetDomain(Filled(2, 2, 1));
  test::WriteFile(dir_.file("control.txt"), "[region_transition_distance]\nfar\n");
  EXPECT_EQ(CodeOf([&] { grids_.MakeRegionWeightGrids(reader_, [] {}); }), kMissingControlItem);
}

}  // namespace
}  // namespace tolvo
