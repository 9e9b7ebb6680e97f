#include "setup/landuse_layer_grids.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "framework/error_code.h"
#include "framework/grid_table.h"
#include "framework/modelobject.h"
#include "support/test_support.h"
#include "tables/multilayer_landuse.h"

namespace tolvo {
namespace {

// Two multilayer types of two layers (land-use indices 4 over 1, and 2 over 3) on a 3 x 4
// grid whose zone grid leaves out cell (1, 1).
class LanduseLayerGridsTest : public test::LogFixture {
 protected:
  static constexpr int kRows = 3;
  static constexpr int kCols = 4;

  LanduseLayerGridsTest() {
    reader_.set_geometry({.ncols = kCols, .nrows = kRows, .cellsize = 10, .nodata_value = kNodata});
    reader_.set_strip({1, kRows});
    reader_.set_grid_table(table_.get());
    table_types_[1].ParseBlock(log_, "1 forest_grass { Landuse_Layers = 4, 1; }");
    table_types_[2].ParseBlock(log_, "2 crop_soil { Landuse_Layers = 2, 3; }");
    zone_.fill(1);
    zone_(1, 1) = kNodata;
    landuse_.fill(1);
    landuse_(2, 3) = 2;
    reader_.RegisterGrid(1, "zones.asc", zone_.view(), {}, 0, "[zone_grid]", 0, 1, kRows);
    reader_.RegisterGrid(2, "dem.asc", zone_.view(), {}, 0, "[elevation_model]", 0, 1, kRows);
  }
  void RegisterLanduse() { reader_.RegisterGrid(3, "lu.asc", landuse_.view(), {}, 0, "landuse", 0, 1, kRows); }

  modelobject reader_{log_, "control.txt"};
  std::unique_ptr<grid_table> table_ = std::make_unique<grid_table>();
  MultilayerLanduseTable table_types_{2};
  Grid zone_{1, kRows, kCols, kRows};
  Grid landuse_{1, kRows, kCols, kRows};
  LanduseCodeLayers layers_;
  int grid_count_ = 0;
};

TEST_F(LanduseLayerGridsTest, OneGridPerLayerWithTheLayersCodes) {
  RegisterLanduse();
  layers_.MakeLanduseLayerGrids(reader_, table_types_, grid_count_);
  EXPECT_EQ(grid_count_, 2);
  EXPECT_EQ(layers_.layer_count(), 2);
  EXPECT_EQ(*(*table_)[4].identifier, "landuse1");
  EXPECT_EQ(*(*table_)[4].file_name, "landuse1");
  EXPECT_EQ(*(*table_)[5].identifier, "landuse2");
  EXPECT_FALSE((*table_)[6].identifier.has_value());
  EXPECT_EQ((*table_)[4].ones, 0);

  const GridView first = layers_.layers()[1];
  const GridView second = layers_.layers()[2];
  EXPECT_EQ(layers_.layers()[0](2, 3), 2);
  EXPECT_EQ(first(3, 4), 4);
  EXPECT_EQ(second(3, 4), 1);
  EXPECT_EQ(first(2, 3), 2);
  EXPECT_EQ(second(2, 3), 3);
  EXPECT_EQ(first(1, 1), kNodata);
  EXPECT_EQ(second(1, 1), kNodata);
}

TEST_F(LanduseLayerGridsTest, NothingWithoutTheLanduseGrid) {
  layers_.MakeLanduseLayerGrids(reader_, table_types_, grid_count_);
  EXPECT_EQ(grid_count_, 0);
  EXPECT_FALSE((*table_)[3].identifier.has_value());
}

TEST_F(LanduseLayerGridsTest, AFullGridTableIsFatal) {
  RegisterLanduse();
  Grid filler(1, kRows, kCols, kRows);
  for (int i = 4; i <= kLastGridIndex; ++i) {
    const std::string name = std::to_string(i) + ".asc";
    reader_.RegisterGrid(i, name, filler.view(), {}, 0, name, 0, 1, kRows);
  }
  try {
    layers_.MakeLanduseLayerGrids(reader_, table_types_, grid_count_);
    FAIL() << "no error";
  } catch (const ErrorCode& error) {
    EXPECT_EQ(error.code, 12);
  }
  EXPECT_NE(console_.str().find("no free grid found in memory (at position 1000)"), std::string::npos);
}

TEST_F(LanduseLayerGridsTest, IceGridReport) {
  check_ice_firn_grid(reader_);
  EXPECT_NE(console_.str().find("ice-grid not found in memory (at position 3)"), std::string::npos);
  const std::string before = console_.str();
  Grid ice(1, kRows, kCols, kRows);
  reader_.RegisterGrid(3, "ice.asc", ice.view(), {}, 0, "ice_firn", 0, 1, kRows);
  check_ice_firn_grid(reader_);
  EXPECT_EQ(console_.str(), before);
}

}  // namespace
}  // namespace tolvo
