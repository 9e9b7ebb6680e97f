#include "setup/derived_grids.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <memory>
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

// atan(0.1) in degrees: the slope of a plane rising 0.1 m per metre.
constexpr double kSlopeOfATenth = 5.710593137499643;

TEST(DerivedGridNames, StemOfTheSourceFileAndSuffix) {
  EXPECT_EQ(DerivedGridFileName("in/zones.asc", ".$csx"), "in/zones.$csx");
  EXPECT_EQ(DerivedGridFileName("zones", ".$rca"), "zones.$rca");
  EXPECT_EQ(DerivedGridFileName("dem.v2.grd", ".$sl"), "dem.v2.$sl");
  // A "." of a folder is not the start of a suffix.
  EXPECT_EQ(DerivedGridFileName("run.1/dem", ".$ex"), "run.1/dem.$ex");
}

TEST(TerrainSlopeAspect, PlanesFaceAwayFromWhereTheyRise) {
  // Cell size 100 m; central differences over 200 m.
  struct Case {
    const char* name;
    double zn, zs, zw, ze;
    double slope, aspect;
  };
  const double diagonal = std::atan(std::sqrt(0.02)) * 180 / M_PI;
  const std::vector<Case> cases = {
      {"flat", 5, 5, 5, 5, 0, 0},
      {"rising east", 50, 50, 40, 60, kSlopeOfATenth, 270},
      {"rising west", 50, 50, 60, 40, kSlopeOfATenth, 90},
      {"rising north", 60, 40, 50, 50, kSlopeOfATenth, 180},
      {"rising south", 40, 60, 50, 50, kSlopeOfATenth, 0},
      {"rising north-east", 60, 40, 40, 60, diagonal, 225},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const SlopeAspect terrain = TerrainSlopeAspect(c.zn, c.zs, c.zw, c.ze, 100);
    EXPECT_NEAR(terrain.slope, c.slope, 1e-9);
    EXPECT_NEAR(terrain.aspect, c.aspect, 1e-9);
  }
}

// A 5 x 6 model grid, cell size 100, lower-left corner (1000, 2000); the zone grid leaves
// out cell (2, 3); made grids are written as ASCII into a temporary folder.
class DerivedGridsTest : public test::LogFixture {
 protected:
  static constexpr int kRows = 5;
  static constexpr int kCols = 6;
  static constexpr double kCs = 100;

  DerivedGridsTest() {
    reader_.set_geometry(
        {.ncols = kCols, .nrows = kRows, .xllcorner = 1000, .yllcorner = 2000, .cellsize = kCs, .nodata_value = kNodata});
    reader_.set_strip({1, kRows});
    reader_.set_grid_table(table_.get());
    reader_.set_directories(dir_.path().string() + "/", dir_.path().string() + "/");
    reader_.set_output_formats({.ascii = true});
    zone_.fill(1);
    zone_(2, 3) = kNodata;
    dem_.fill(500);
    std::filesystem::create_directory(dir_.file("in"));
    NewTable();
  }

  // A grid table holding the zone grid and the elevation model only.
  void NewTable() {
    table_ = std::make_unique<grid_table>();
    reader_.set_grid_table(table_.get());
    reader_.set_rel_cell_area({});
    reader_.RegisterGrid(1, "in/zones.asc", zone_.view(), {}, 0, "[zone_grid]", 0, 1, kRows);
    reader_.RegisterGrid(2, "dem.asc", dem_.view(), {}, 0, "[elevation_model]", 0, 1, kRows);
    next_given_ = 3;
    derived_ = DerivedGrids();
  }

  // A grid of the lists at the next position, with `value` everywhere.
  Grid& Given(const std::string& identifier, double value) {
    Grid& grid = given_.emplace_back(std::make_unique<Grid>(1, kRows, kCols, kRows)).operator*();
    grid.fill(value);
    const int position = next_given_++;
    reader_.RegisterGrid(position, identifier + ".asc", grid.view(), {}, 0, identifier, 0, 1, kRows);
    if (identifier == "RelCellArea") reader_.set_rel_cell_area(grid.view());
    return grid;
  }

  modelobject reader_{log_, "control.txt"};
  std::unique_ptr<grid_table> table_ = std::make_unique<grid_table>();
  Grid zone_{1, kRows, kCols, kRows};
  Grid dem_{1, kRows, kCols, kRows};
  std::vector<std::unique_ptr<Grid>> given_;
  int next_given_ = 3;
  DerivedGrids derived_;
  int grid_count_ = 0;
};

TEST_F(DerivedGridsTest, WithoutGivenGridsEveryCellIsOfTheModelSize) {
  derived_.MakeCellSizeGrids(reader_, grid_count_);
  EXPECT_EQ(grid_count_, 3);
  EXPECT_EQ(derived_.cell_size_x().position, 3);
  EXPECT_EQ(derived_.cell_size_y().position, 4);
  EXPECT_EQ(derived_.rel_cell_area().position, 5);
  EXPECT_EQ(*(*table_)[5].identifier, "RelCellArea");
  EXPECT_EQ((*table_)[5].ones, 0);
  EXPECT_FALSE(reader_.rel_cell_area().empty());
  for (const auto* member : {&derived_.cell_size_x(), &derived_.cell_size_y(), &derived_.rel_cell_area()}) {
    EXPECT_FALSE(member->given);
    EXPECT_EQ(member->values(2, 3), kNodata);
  }
  EXPECT_EQ(derived_.rel_cell_area().values(1, 1), 1.0);
  EXPECT_EQ(derived_.cell_size_x().values(5, 6), kCs);
  EXPECT_EQ(derived_.cell_size_y().values(3, 3), kCs);
  EXPECT_TRUE(Logged("Checking cell sizes for variable Cells..."));
  // Written once, named after the zone grid.
  std::vector<double> ones(kRows * kCols, 1.0);
  ones[(2 - 1) * kCols + 2] = kNodata;
  EXPECT_EQ(AsciiGridValues(dir_.file("in/zones.$rca")), ones);
  EXPECT_TRUE(std::filesystem::exists(dir_.file("in/zones.$csx")));
  EXPECT_TRUE(std::filesystem::exists(dir_.file("in/zones.$csy")));
}

TEST_F(DerivedGridsTest, CellSizesFollowFromWhatIsGiven) {
  struct Case {
    const char* name;
    double x, y, area;  // 0: not given
    double want_x, want_y, want_area;
  };
  const std::vector<Case> cases = {
      {"relative area 2", 0, 0, 2, kCs * std::sqrt(2.0), kCs * std::sqrt(2.0), 2},
      {"both sizes", 100, 50, 0, 100, 50, 0.5},
      {"both sizes and a matching area", 100, 50, 0.5, 100, 50, 0.5},
      {"x and area", 50, 0, 2, 50, 400, 2},
      {"y and area", 0, 25, 0.5, 200, 25, 0.5},
      // One size alone: the other is the model's cell size.
      {"x alone", 50, 0, 0, 50, kCs, 0.5},
      {"y alone", 0, 300, 0, kCs, 300, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    NewTable();
    if (c.x > 0) Given("CellSizeX", c.x);
    if (c.y > 0) Given("CellSizeY", c.y);
    if (c.area > 0) Given("RelCellArea", c.area);
    derived_.MakeCellSizeGrids(reader_, grid_count_);
    EXPECT_DOUBLE_EQ(derived_.cell_size_x().values(4, 5), c.want_x);
    EXPECT_DOUBLE_EQ(derived_.cell_size_y().values(4, 5), c.want_y);
    EXPECT_DOUBLE_EQ(derived_.rel_cell_area().values(4, 5), c.want_area);
    // Given grids too get nodata outside the zone grid.
    EXPECT_EQ(derived_.cell_size_x().values(2, 3), kNodata);
  }
}

TEST_F(DerivedGridsTest, ImpossibleCellSizesAreFatal) {
  struct Case {
    const char* name;
    double x, y, area;
    const char* entry;
  };
  const std::vector<Case> cases = {
      {"area too large", 100, 50, 0.6, "but RelCellArea is 0.6 (read from file RelCellArea.asc)"},
      {"area too small", 100, 50, 0.4, "CellSizeX 100 (read from file CellSizeX.asc) times CellSizeY 50"},
      {"x zero", 0.0, 50, 0, "cell size in x direction is zero at row 1, column 1,\nread from file CellSizeX.asc"},
      {"y zero", -1, 0.0, 0, "cell size in y direction is zero at row 1, column 1,\nread from file CellSizeY.asc"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    NewTable();
    if (c.x >= 0) Given("CellSizeX", c.x);
    if (c.y >= 0) Given("CellSizeY", c.y);
    if (c.area > 0) Given("RelCellArea", c.area);
    EXPECT_EQ(CodeOf([&] { derived_.MakeCellSizeGrids(reader_, grid_count_); }), kCellSizeErrorCode);
    EXPECT_TRUE(Logged(c.entry)) << console_.str();
  }
}

TEST_F(DerivedGridsTest, AFullGridTableIsFatal) {
  Grid filler(1, kRows, kCols, kRows);
  for (int i = 3; i <= kLastGridIndex; ++i) {
    const std::string name = std::to_string(i) + ".asc";
    reader_.RegisterGrid(i, name, filler.view(), {}, 0, name, 0, 1, kRows);
  }
  EXPECT_EQ(CodeOf([&] { derived_.MakeCellSizeGrids(reader_, grid_count_); }), kGridEntryError);
  EXPECT_TRUE(Logged("no free grid found in memory (at position 1000)"));
  EXPECT_EQ(CodeOf([&] { derived_.MakeCoordinateGrids(reader_, grid_count_); }), kGridEntryError);
  // The terrain grids would take position 1000, which no grid can hold.
  EXPECT_EQ(CodeOf([&] { derived_.make_Slope_and_Aspect(reader_, grid_count_); }), kGridEntryError);
}

TEST_F(DerivedGridsTest, CoordinatesOfTheLowerLeftCornersFollowTheCellSizes) {
  derived_.MakeCellSizeGrids(reader_, grid_count_);
  derived_.MakeCoordinateGrids(reader_, grid_count_);
  EXPECT_EQ(grid_count_, 5);
  EXPECT_EQ(*(*table_)[6].identifier, "CoordX");
  EXPECT_EQ(*(*table_)[7].identifier, "CoordY");
  const GridView x = derived_.coord_x().values;
  const GridView y = derived_.coord_y().values;
  for (int r = 1; r <= kRows; ++r) {
    for (int c = 1; c <= kCols; ++c) {
      SCOPED_TRACE(testing::Message() << r << " " << c);
      if (r == 2 && c == 3) {
        EXPECT_EQ(x(r, c), kNodata);
        EXPECT_EQ(y(r, c), kNodata);
        continue;
      }
      EXPECT_DOUBLE_EQ(x(r, c), 1000 + (c - 1) * kCs);
      EXPECT_DOUBLE_EQ(y(r, c), 2000 + (kRows - r) * kCs);
    }
  }
  EXPECT_TRUE(std::filesystem::exists(dir_.file("in/zones.$cx")));
  EXPECT_TRUE(std::filesystem::exists(dir_.file("in/zones.$cy")));

  // Cells 50 m wide in column 1 and 150 m high in the bottom row shift the cells after
  // them, from the bottom row up; column 1 keeps its regular y.
  NewTable();
  Grid& sx = Given("CellSizeX", kCs);
  Grid& sy = Given("CellSizeY", kCs);
  for (int r = 1; r <= kRows; ++r) sx(r, 1) = 50;
  for (int c = 1; c <= kCols; ++c) sy(kRows, c) = 150;
  derived_.MakeCellSizeGrids(reader_, grid_count_);
  derived_.MakeCoordinateGrids(reader_, grid_count_);
  const GridView x2 = derived_.coord_x().values;
  const GridView y2 = derived_.coord_y().values;
  EXPECT_DOUBLE_EQ(x2(kRows, 1), 1000);
  EXPECT_DOUBLE_EQ(x2(kRows, 2), 1050);
  EXPECT_DOUBLE_EQ(x2(1, 4), 1250);
  EXPECT_DOUBLE_EQ(y2(kRows, 4), 2000);
  EXPECT_DOUBLE_EQ(y2(kRows - 1, 4), 2150);
  EXPECT_DOUBLE_EQ(y2(1, 4), 2450);
  EXPECT_DOUBLE_EQ(y2(1, 1), 2400);
}

TEST_F(DerivedGridsTest, GridMaximumOverTheDomain) {
  dem_(4, 2) = 812.5;
  EXPECT_EQ(GridMaximum(reader_, 2), 812.5);
  derived_.FindMaxElevation(reader_);
  EXPECT_EQ(derived_.GetMaxElevation(), 812.5);
  dem_.fill(kNodata);
  EXPECT_EQ(GridMaximum(reader_, 2), kNodata);
}

TEST_F(DerivedGridsTest, PlaneRisingEastFacesWest) {
  for (int r = 1; r <= kRows; ++r) {
    for (int c = 1; c <= kCols; ++c) dem_(r, c) = 300 + 10 * c;  // 0.1 m per metre
  }
  derived_.make_Slope_and_Aspect(reader_, grid_count_);
  EXPECT_EQ(grid_count_, 2);
  EXPECT_EQ(derived_.slope_angle().position, 3);
  EXPECT_EQ(derived_.slope_aspect().position, 4);
  EXPECT_TRUE(Logged("calculating the local topography (aspect, slope ...).. "));
  // The border cells are filled from their neighbours: the whole plane has one slope.
  for (int r = 1; r <= kRows; ++r) {
    for (int c = 1; c <= kCols; ++c) {
      SCOPED_TRACE(testing::Message() << r << " " << c);
      EXPECT_NEAR(derived_.slope_angle().values(r, c), kSlopeOfATenth, 1e-9);
      EXPECT_NEAR(derived_.slope_aspect().values(r, c), 270, 1e-9);
    }
  }
  EXPECT_TRUE(std::filesystem::exists(dir_.file("dem.$sl")));
  EXPECT_TRUE(std::filesystem::exists(dir_.file("dem.$ex")));

  // Given grids are used as they are.
  DerivedGrids again;
  int count = 0;
  again.make_Slope_and_Aspect(reader_, count);
  EXPECT_EQ(count, 0);
  EXPECT_TRUE(again.slope_angle().given);
}

TEST_F(DerivedGridsTest, FlatGround) {
  derived_.make_Slope_and_Aspect(reader_, grid_count_);
  for (int r = 1; r <= kRows; ++r) {
    for (int c = 1; c <= kCols; ++c) {
      EXPECT_EQ(derived_.slope_angle().values(r, c), 0);
      EXPECT_EQ(derived_.slope_aspect().values(r, c), 0);
    }
  }
}

TEST_F(DerivedGridsTest, HolesOfTheElevationModel) {
  // A plane rising north (0.1 m per metre) with a hole at (3, 3): the hole is computed
  // from its neighbours; they lose their value first and are filled again.
  for (int r = 1; r <= kRows; ++r) {
    for (int c = 1; c <= kCols; ++c) dem_(r, c) = 300 - 10 * r;
  }
  dem_(3, 3) = kNodata;
  // A cell whose eight neighbours have no elevation stays without a value.
  dem_(1, 6) = 10;
  dem_(1, 5) = dem_(2, 5) = dem_(2, 6) = kNodata;
  derived_.make_Slope_and_Aspect(reader_, grid_count_);
  const GridView slope = derived_.slope_angle().values;
  const GridView aspect = derived_.slope_aspect().values;
  for (const auto& [r, c] : {std::pair{3, 3}, {2, 3}, {4, 3}, {3, 2}, {3, 4}, {4, 4}}) {
    SCOPED_TRACE(testing::Message() << r << " " << c);
    EXPECT_NEAR(slope(r, c), kSlopeOfATenth, 1e-9);
    EXPECT_NEAR(aspect(r, c), 180, 1e-9);
  }
  EXPECT_EQ(slope(1, 6), kNodata);
  EXPECT_EQ(aspect(1, 6), kNodata);
}

TEST_F(DerivedGridsTest, FillFromNeighboursTakesTheMeanOfValidNeighbours) {
  Grid grid(1, kRows, kCols, kRows);
  grid.fill(kNodata);
  grid(1, 2) = 4;
  grid(2, 1) = 8;
  grid(2, 2) = kNodata;
  FillFromNeighbours(1, 1, grid.view(), reader_.geometry());
  EXPECT_EQ(grid(1, 1), 6);
  FillFromNeighbours(5, 6, grid.view(), reader_.geometry());
  EXPECT_EQ(grid(5, 6), kNodata);
}

TEST_F(DerivedGridsTest, NothingWithoutAnElevationModel) {
  (*table_)[2].identifier = "dem";
  derived_.make_Slope_and_Aspect(reader_, grid_count_);
  EXPECT_EQ(grid_count_, 0);
  EXPECT_EQ(derived_.elevation_position(), 0);
}

}  // namespace
}  // namespace tolvo
