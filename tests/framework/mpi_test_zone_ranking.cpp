// A sub-model's ranking of its own zone grid under 1, 2 and 3 processes: every process
// ends with the table that process 0 made, or with the code of its failure.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "framework/grid_table.h"
#include "framework/model_settings.h"
#include "framework/teilmodellklasse.h"
#include "support/row_bands.h"
#include "support/test_support.h"

namespace tolvo {
namespace {

using test::CodeOf;
using test::WorldRank;

constexpr double N = kNodata;

class RankZonesTest : public test::LogFixture {
 protected:
  RankZonesTest() {
    test::WriteFile(dir_.file("control.txt"), "[soil_model]\n0  off\n60 time step in minutes\n");
    settings_.compiled_control_file = dir_.file("control.txt");
    settings_.grids = &table_;
  }

  // The run's zone grid (entry 1) and the sub-model's "zonegrid_soilmodel" (entry 2)
  // over the same cells of 100 m, with the run's column ranges; optionally a weight grid.
  void SetGrids(const std::vector<std::vector<double>>& zones, const std::vector<ColumnRange>& ranges,
                const std::vector<std::vector<double>>& weights = {}) {
    zones_ = test::GridOf(zones);
    const int nrows = static_cast<int>(zones.size());
    settings_.geometry = {.ncols = static_cast<int>(zones.front().size()), .nrows = nrows, .cellsize = 100,
                          .nodata_value = kNodata};
    settings_.strip = {1, nrows};
    ranges_ = ranges;
    settings_.zones.column_ranges = ranges_;
    table_ = grid_table();
    Place(kZoneGridIndex, "zones.asc", "[zone_grid]", zones_.view());
    Place(2, "zones_soil.asc", "zonegrid_soilmodel", zones_.view());
    if (!weights.empty()) {
      weights_ = test::GridOf(weights);
      Place(3, "rca.asc", "RelCellArea", weights_.view());
    }
  }

  RankedZones Rank() {
    teilmodellklasse model(log_, "soil_model", settings_, 1);
    return model.RankZones();
  }

  void Place(int index, const char* file, const char* identifier, GridView values) {
    table_[index].file_name = file;
    table_[index].identifier = identifier;
    table_[index].values = values;
  }

  ModelSettings settings_;
  grid_table table_;
  Grid zones_;
  Grid weights_;
  std::vector<ColumnRange> ranges_;
};

// Hand-counted tables: the codes in ascending order, their cell counts and weight sums,
// each zone's share of the summed weights, and the area of the weights times 0.01 km2.
TEST_F(RankZonesTest, EveryCellOfTheZoneGridIsRanked) {
  struct Case {
    const char* what;
    std::vector<std::vector<double>> zones;
    std::vector<ColumnRange> ranges;  // the run's zone-column ranges, rows 0..n
    std::vector<std::vector<double>> weights;
    std::vector<int> codes;
    std::vector<double> cells;
    std::vector<double> weight_sums;
  };
  const Case cases[] = {
      {"a zone code outside the run's zone columns", {{1, N, 7}, {2, 2, N}}, {{0, -1}, {1, 1}, {1, 2}}, {},
       {1, 2, 7}, {1, 2, 1}, {1, 2, 1}},
      {"a row beyond the run's ranges, truncated values", {{3.7, 3}, {N, 9.2}}, {{0, -1}, {1, 2}}, {}, {3, 9},
       {2, 1}, {2, 1}},
      {"cells weighted by their relative area", {{5, 5}, {4, N}}, {{0, -1}, {1, 2}, {1, 1}}, {{0.5, 1.5}, {1, N}},
       {4, 5}, {1, 2}, {1, 2}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SetGrids(c.zones, c.ranges, c.weights);
    const RankedZones ranked = Rank();
    const int n = static_cast<int>(c.codes.size());
    ASSERT_EQ(ranked.zone_count, n);
    EXPECT_EQ(ranked.largest_code, c.codes.back());
    ASSERT_EQ(ranked.code_index.size(), static_cast<std::size_t>(c.codes.back()) + 1);
    ASSERT_EQ(ranked.zones.size(), static_cast<std::size_t>(n) + 1);
    double total = 0;
    for (const double w : c.weight_sums) total += w;
    for (int k = 1; k <= n; ++k) {
      const auto i = static_cast<std::size_t>(k - 1);
      SCOPED_TRACE(c.codes[i]);
      EXPECT_EQ(ranked.code_index[static_cast<std::size_t>(c.codes[i])], k);
      EXPECT_EQ(static_cast<int>(ranked.zones[static_cast<std::size_t>(k)].zonenwert), c.codes[i]);
      EXPECT_DOUBLE_EQ(ranked.zones[static_cast<std::size_t>(k)].sx, c.cells[i]);
      EXPECT_DOUBLE_EQ(ranked.zones[static_cast<std::size_t>(k)].n, c.weight_sums[i]);
      EXPECT_DOUBLE_EQ(ranked.zones[static_cast<std::size_t>(k)].RelCellSum, c.weight_sums[i]);
      EXPECT_DOUBLE_EQ(ranked.zones[static_cast<std::size_t>(k)].rel, c.weight_sums[i] / total);
    }
    EXPECT_DOUBLE_EQ(ranked.zones[0].rel, total * 0.01);
    EXPECT_EQ(ranked.zones[0].zonenwert, 1);
    if (WorldRank() == 0) {
      EXPECT_TRUE(Logged("ranking zones from zones_soil.asc for soil_model"));
    }
  }
}

// A zone grid that cannot be ranked fails on every process with the same code; process 0
// writes the sub-model's own text.
TEST_F(RankZonesTest, EveryProcessFailsWithTheCodeOfProcessZero) {
  const struct {
    std::vector<std::vector<double>> zones;
    int code;
    const char* text;
  } cases[] = {
      {{{1, -1}}, 3, "wrong zone index in zones_soil.asc!\n Zones have to range from 0 to 32767!"},
      {{{1, 32768}}, 3, "wrong zone index in zones_soil.asc!"},
      {{{N, N}}, 7, "all cells in zones_soil.asc are NODATA!"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    console_.str("");
    SetGrids(c.zones, {{0, -1}, {1, 2}});
    EXPECT_EQ(CodeOf([&] { Rank(); }), c.code);
    if (WorldRank() == 0) {
      EXPECT_TRUE(Logged(c.text)) << console_.str();
    }
  }
}

}  // namespace
}  // namespace tolvo
