#pragma once
// A small basin for the tests of the land-use parameter grids: a set-up reader with its
// grid table (zone grid, elevation model and "albedo" registered as the control file
// would), land-use layer code grids and a land-use table made from block entries.

#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "framework/error_code.h"
#include "framework/grid_table.h"
#include "framework/modelobject.h"
#include "support/test_support.h"
#include "tables/landuse_parameter_grids.h"
#include "tables/landuse_table.h"

namespace tolvo::test {

// Keys every block entry needs besides its method, days and tables.
inline const std::string kBlockBase = " RootDist = 1; TReduWet = 1; HReduDry = 50;";

// A block entry: code, method word, fixpoint days and the remaining keys (value tables
// and method parameters), all in the control file's block syntax.
struct BlockEntry {
  int code;
  std::string method;
  std::string keys;
};

// Value tables of n fixpoints with one value each, for the keys that block entries
// require: "Albedo", "rsc", "LAI", "Z0", "VCF", "RootDepth", "AltDep".
inline std::string Tables(int n, double albedo, double rsc, double lai, double z0, double vcf, double root,
                          double altdep = 0) {
  const auto list = [n](double v) {
    std::ostringstream text;
    for (int k = 0; k < n; ++k) text << (k ? " " : "") << v;
    return text.str();
  };
  return " Albedo = " + list(albedo) + "; rsc = " + list(rsc) + "; LAI = " + list(lai) + "; Z0 = " + list(z0) +
         "; VCF = " + list(vcf) + "; RootDepth = " + list(root) + "; AltDep = " + list(altdep) + ";";
}

class LanduseGridsTest : public LogFixture {
 protected:
  static constexpr int kRows = 4;
  static constexpr int kCols = 3;

  LanduseGridsTest() {
    reader_.set_name("defaults");
    reader_.set_geometry({.ncols = kCols, .nrows = kRows, .cellsize = 100, .nodata_value = kNodata});
    reader_.set_strip({1, kRows});
    reader_.set_grid_table(table_.get());
    zone_.fill(1);
    elevation_.fill(400);
    albedo_.fill(0.5);
    reader_.RegisterGrid(1, "zone.asc", zone_.view(), {}, 0, "zone", 0, 1, kRows);
    reader_.RegisterGrid(2, "dem.asc", elevation_.view(), {}, 0, "dem", 0, 1, kRows);
    reader_.RegisterGrid(3, "albedo.asc", albedo_.view(), {}, 0, "albedo", 0, 1, kRows);
  }

  // The land-use table of the entries, in their order (indices 1..n).
  void MakeTable(const std::vector<BlockEntry>& entries) {
    landuse_ = std::make_unique<LanduseTable>(static_cast<int>(entries.size()));
    for (std::size_t j = 0; j < entries.size(); ++j) {
      const BlockEntry& b = entries[j];
      (*landuse_)[static_cast<int>(j) + 1].ParseBlock(
          log_, std::to_string(b.code) + " lu" + std::to_string(b.code) + " { method = " + b.method + ";" + kBlockBase +
                    b.keys + " }\n",
          b.method);
    }
    landuse_->SetBalanceDays();
  }

  // n layer code grids, every cell holding the table index `index` of its layer.
  void MakeLayers(const std::vector<int>& indices) {
    codes_.clear();
    code_views_.clear();
    for (const int index : indices) {
      Grid& grid = codes_.emplace_back(1, kRows, kCols, kRows);
      grid.fill(index);
    }
    for (const Grid& grid : codes_) code_views_.push_back(grid.view());
  }

  void Generate(int day, int month, int year, ConstGridView regions = {}) {
    const LanduseGridSources sources{std::as_const(zone_).view(), std::as_const(elevation_).view(), regions,
                                     {year, month, day, 0}};
    grids_.generateMultiLayerParameterGrids(reader_, *landuse_, code_views_, sources);
  }

  void Update(int hour, int day, int month, int year, double step_minutes) {
    grids_.UpdateLanduseParameters(reader_, *landuse_, code_views_, hour, day, month, year, step_minutes);
  }

  // The values of the grid with the identifier (its entry must exist).
  GridView Values(const std::string& identifier) {
    const int index = reader_.FindGrid(identifier, true);
    EXPECT_GT(index, 0) << identifier;
    return index > 0 ? (*table_)[index].values : GridView{};
  }
  int IndexOf(const std::string& identifier) { return reader_.FindGrid(identifier, true); }

  // The console shows entries without their level prefix, and every line after the
  // first with the rank in front.

  modelobject reader_{log_, "control.txt"};
  std::unique_ptr<grid_table> table_ = std::make_unique<grid_table>();
  Grid zone_{1, kRows, kCols, kRows};
  Grid elevation_{1, kRows, kCols, kRows};
  Grid albedo_{1, kRows, kCols, kRows};
  std::vector<Grid> codes_;
  std::vector<ConstGridView> code_views_;
  std::unique_ptr<LanduseTable> landuse_;
  LanduseParameterGrids grids_;
};

}  // namespace tolvo::test
