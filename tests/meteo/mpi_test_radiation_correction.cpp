// The radiation correction of a hilly basin under any number of processes: every
// process computes its band of rows while process 0 shades the whole grid and hands out
// the bands; the shade, factors, radiation sums and corrected temperatures of every
// cell, on computed steps and on the steps in between, equal those of the whole basin
// computed by one process.

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "framework/grid_distribution.h"
#include "radiation_fixture.h"
#include "support/row_bands.h"
#include "support/test_support.h"

namespace tolvo {
namespace {

using test::HeldRowsOf;
using test::RowBand;
using test::WorldRank;
using test::WorldSize;

constexpr int kRows = 9;
constexpr int kCols = 6;

test::RadiationTerrain Hills() {
  test::RadiationTerrain terrain;
  terrain.nrows = kRows;
  terrain.ncols = kCols;
  terrain.cellsize = 50;
  terrain.inside = [](int r, int c) { return !(r == 1 && c == 1) && !(r == kRows && c == kCols); };
  terrain.dem = [](int r, int c) { return 500 + 120 * std::sin(0.9 * c) * std::cos(0.7 * r) + (c == 4 ? 80 : 0); };
  terrain.aspect = [](int r, int c) { return std::fmod(40.0 * r + 75.0 * c, 360.0); };
  terrain.slope = [](int r, int c) { return 5.0 * ((r + c) % 7); };
  return terrain;
}

const char* const kGrids[] = {"radiation_correction", "Ieff_max", "corr_temperature", "Shadow"};

// The grids of every step, gathered on process 0 (the bands) or as computed (the whole
// basin), row by row; empty on the other processes.
std::vector<double> CorrectHills(DiagnosticsLog& log, const test::TempDir& dir, bool whole) {
  const int rank = WorldRank();
  const int size = WorldSize();
  const RowRange band = whole ? RowRange{1, kRows} : RowBand(rank, size, kRows);
  const RowRange held = whole ? RowRange{1, kRows} : HeldRowsOf(rank, size, kRows);
  test::RowBandLayout layout(rank, size, kRows, kCols);
  test::RadiationBasin basin(log, dir, Hills(), band, held, whole ? nullptr : &layout.layout());
  EXPECT_EQ(basin.Build(1, 60, test::RadiationSettings(2, 3, 4, 1.5)), 0);
  std::vector<double> values;
  // From before sunrise to noon, computing every third step.
  for (int hour = 4; hour <= 13; ++hour) {
    basin.SetTemperature(8.0 + 0.7 * hour);
    basin.model().RunStep(hour, 21, 6, 2020);
    for (const char* id : kGrids) {
      const GridView grid = basin.Values(id);
      Grid gathered = whole ? Grid() : GatherGridCopy(basin.model().context(), grid);
      if (rank != 0) continue;
      const ConstGridView source = whole || size == 1 ? ConstGridView(grid) : gathered.view();
      for (int r = 1; r <= kRows; ++r) {
        for (int c = 1; c <= kCols; ++c) values.push_back(Hills().inside(r, c) ? source(r, c) : 0.0);
      }
    }
  }
  basin.model().DeleteModule();
  return values;
}

class RadiationCorrectionProcesses : public test::LogFixture {
 protected:
  test::TempDir whole_dir_;
};

TEST_F(RadiationCorrectionProcesses, BandsGiveTheValuesOfTheWholeBasin) {
  const std::vector<double> bands = CorrectHills(log_, dir_, false);
  const std::vector<double> whole = CorrectHills(log_, whole_dir_, true);
  if (WorldRank() != 0) return;
  ASSERT_EQ(bands.size(), whole.size());
  std::size_t differing = 0;
  for (std::size_t k = 0; k < whole.size(); ++k) differing += bands[k] != whole[k] ? 1 : 0;
  EXPECT_EQ(differing, 0u);
  // The morning sun cast some shade and some slope gained over the horizontal.
  double shade = 0;
  double largest_factor = 0;
  const std::size_t per_grid = static_cast<std::size_t>(kRows) * kCols;
  for (std::size_t k = 0; k < whole.size(); ++k) {
    const std::size_t grid = (k / per_grid) % 4;
    if (grid == 3) shade += whole[k];
    if (grid == 0) largest_factor = std::max(largest_factor, whole[k]);
  }
  EXPECT_GT(shade, 0);
  EXPECT_GT(largest_factor, 1);
}

}  // namespace
}  // namespace tolvo
