// The code grids of a small basin converted to table indices, under any number of
// processes: every process reads the tables itself, process 0 holds the whole grids,
// and afterwards every process holds the converted values in its band and halo rows and
// the same multilayer layer codes.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <optional>
#include <span>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "framework/error_code.h"
#include "framework/grid_distribution.h"
#include "framework/modelobject.h"
#include "support/row_bands.h"
#include "support/test_support.h"
#include "tables/code_grids.h"

namespace tolvo {
namespace {

using test::HeldRowsOf;
using test::RowBand;
using test::RowBandLayout;
using test::WorldRank;
using test::WorldSize;

constexpr int kCols = 5;
constexpr int kRows = 6;
constexpr double N = kNodata;
constexpr std::array<int, 12> kMonthLengths{31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

using Rows = std::array<std::array<double, kCols>, kRows>;

const Rows kZone{{{N, 1, 1, 1, N}, {1, 1, 1, 1, 1}, {1, 1, 1, 1, 1}, {1, 1, 1, 1, 1}, {1, 1, 1, 1, N},
                  {N, 1, 1, N, N}}};

// Soil codes 10, 20, 30 of entries 1, 2, 3; 20.7 counts as 20; outside the domain the
// code 10 (row 5) is converted as well.
const Rows kSoil{{{N, 10, 10, 20, N}, {10, 10, 20, 20, 30}, {10, 20, 20.7, 30, 30}, {20, 20, 30, 30, 30},
                  {20, 30, 30, 10, 10}, {N, 30, 30, N, N}}};
const Rows kSoilIndices{{{N, 1, 1, 2, N}, {1, 1, 2, 2, 3}, {1, 2, 2, 3, 3}, {2, 2, 3, 3, 3}, {2, 3, 3, 1, 1},
                         {N, 3, 3, N, N}}};
// Multilayer codes 7, 8 of entries 1, 2.
const Rows kLanduse{{{N, 7, 7, 8, N}, {7, 7, 8, 8, 8}, {8, 8, 7, 7, 7}, {7, 8, 7, 8, 7}, {8, 8, 8, 8, N},
                     {N, 7, 7, N, N}}};
const Rows kLanduseIndices{{{N, 1, 1, 2, N}, {1, 1, 2, 2, 2}, {2, 2, 1, 1, 1}, {1, 2, 1, 2, 1}, {2, 2, 2, 2, N},
                            {N, 1, 1, N, N}}};
// Irrigation codes 2, 1 of entries 1, 2 swap; 0 and -1 (no irrigation) stay.
const Rows kIrrigation{{{N, 0, 0, 1, N}, {2, 2, 1, 0, -1}, {0, 1, 1, 2, 2}, {-1, -1, 0, 2, 1}, {1, 1, 2, 2, N},
                        {N, 0, 0, N, N}}};
const Rows kIrrigationIndices{{{N, 0, 0, 2, N}, {1, 1, 2, 0, -1}, {0, 2, 2, 1, 1}, {-1, -1, 0, 1, 2},
                               {2, 2, 1, 1, N}, {N, 0, 0, N, N}}};


// Process 0 holds the given values in every row; the others hold stale values (-5).
Grid HeldGrid(const Rows& values, int rank, int size) {
  const RowRange held = HeldRowsOf(rank, size, kRows);
  Grid grid(held.first, held.last, kCols, kRows);
  for (int r = held.first; r <= held.last; ++r) {
    for (int c = 1; c <= kCols; ++c) {
      grid(r, c) = rank == 0 ? values[static_cast<std::size_t>(r - 1)][static_cast<std::size_t>(c - 1)] : -5;
    }
  }
  return grid;
}

void ExpectRows(const Grid& grid, const Rows& expected) {
  for (int r = grid.rows().first; r <= grid.rows().last; ++r) {
    for (int c = 1; c <= kCols; ++c) {
      EXPECT_EQ(grid(r, c), expected[static_cast<std::size_t>(r - 1)][static_cast<std::size_t>(c - 1)])
          << "row " << r << " column " << c << " on process " << WorldRank();
    }
  }
}

TEST(CodeGridsMpi, ExampleBasinCodesBecomeIndicesOnEveryProcess) {
  const int rank = WorldRank();
  const int size = WorldSize();
  const RowBandLayout bands(rank, size, kRows, kCols);
  std::ostringstream console;
  test::TempDir dir;
  DiagnosticsLog log(dir.file("d.xml"), 4, console);
  modelobject reader(log, "example_basin.ctl");
  reader.set_name("defaultini");
  reader.set_geometry({kCols, kRows, 0, 0, 100, kNodata});
  reader.set_strip(RowBand(rank, size, kRows));
  reader.set_domain_layout(&bands.layout());
  ASSERT_TRUE(reader.OpenControlFile(std::string(TOLVO_TEST_DATA) + "/tables/data/example_basin.ctl"));

  std::optional<MultilayerLanduseTable> multilayer = ReadMultilayerLanduse(reader);
  const LanduseTable landuse = ReadLanduseTable(reader);
  const SoilTable soil = ReadSoilTable(reader);
  const IrrigationSettings irrigation = ReadIrrigationTable(reader, kMonthLengths);
  ASSERT_TRUE(multilayer);
  ASSERT_TRUE(irrigation.table);

  Grid zone = HeldGrid(kZone, rank, size);
  Grid landuse_grid = HeldGrid(kLanduse, rank, size);
  Grid irrigation_grid = HeldGrid(kIrrigation, rank, size);
  Grid soil_grid = HeldGrid(kSoil, rank, size);
  check_landuse_Codes(reader, {landuse_grid.view(), "landuse.asc", "landuse"}, zone.view(), landuse, &*multilayer);
  check_irrig_Codes(reader, {irrigation_grid.view(), "irrigation.asc", "irrigation_codes"}, zone.view(),
                    *irrigation.table);
  check_SOIL_Codes(reader, {soil_grid.view(), "soil.asc", "soil_types"}, zone.view(), soil);

  ExpectRows(landuse_grid, kLanduseIndices);
  ExpectRows(irrigation_grid, kIrrigationIndices);
  ExpectRows(soil_grid, kSoilIndices);
  // Land-use entries 11 and 3 are indices 1 and 2 of the land-use table.
  const auto codes = [&](int l) {
    const std::span<const int> span = (*multilayer)[l].GetLayerCodes();
    return std::vector<int>(span.begin(), span.end());
  };
  EXPECT_EQ(codes(1), (std::vector<int>{2, 1, 2}));
  EXPECT_EQ(codes(2), (std::vector<int>{2, 2, -9999}));
  if (rank == 0) {
    EXPECT_NE(console.str().find("30 replaced by 3 ..."), std::string::npos);
    EXPECT_NE(console.str().find("Code replacement in MultiLayer-Landuse 2: changed Layer-Code #1 from 3 to 2"),
              std::string::npos);
  }
}

TEST(CodeGridsMpi, ABadCodeStopsEveryProcessWithItsCode) {
  const int rank = WorldRank();
  const int size = WorldSize();
  const RowBandLayout bands(rank, size, kRows, kCols);
  std::ostringstream console;
  test::TempDir dir;
  DiagnosticsLog log(dir.file("d.xml"), 4, console);
  modelobject reader(log, "example_basin.ctl");
  reader.set_strip(RowBand(rank, size, kRows));
  reader.set_domain_layout(&bands.layout());
  SoilTable soil;
  soil.emplace_back(2);
  soil.emplace_back(10);
  soil.emplace_back(20);  // no code 30
  Grid zone = HeldGrid(kZone, rank, size);
  Grid soil_grid = HeldGrid(kSoil, rank, size);
  int code = 0;
  try {
    check_SOIL_Codes(reader, {soil_grid.view(), "soil.asc", "soil_types"}, zone.view(), soil);
  } catch (const ErrorCode& error) {
    code = error.code;
  }
  EXPECT_EQ(code, 32);
  if (rank == 0) {
    EXPECT_NE(console.str().find("soil type 30 in grid soil.asc (soil_types)"), std::string::npos);
  }
}

}  // namespace
}  // namespace tolvo
