// The snow model built by 1, 2 or 3 processes: the storage rows of a slide method, the
// elevation order on process 0 only, glacier sub-basin records alike on every process, and
// the end of the glacier year with its area change.
#include <gtest/gtest.h>
#include <mpi.h>

#include <cstdio>
#include <string>
#include <vector>

#include "snow_basin_fixture.h"
#include "support/row_bands.h"

namespace tolvo::test {
namespace {

// Sums of the grids after the end of the glacier year, from a run by one process.
constexpr const char* kEndOfYearSums =
    "-99985.700000000041 -119925 -74479.166666666672 20715.14940870534 20715.14940870534 27871 ";

class SnowModelMpiTest : public LogFixture {
 protected:
  SnowBasin basin_{log_, dir_};
};

TEST_F(SnowModelMpiTest, ProcessZeroHoldsTheWholeSnowPackOfTheSlideMethods) {
  const int rank = WorldRank();
  const RowRange band = RowBand(rank, WorldSize(), kSnowRows);
  basin_.SetStrip(band);
  Grid& fraction = basin_.NewGrid(0);
  fraction(2, 1) = 1.3;
  fraction(3, 1) = -0.2;
  fraction(8, 2) = 0.5;
  basin_.Add("ice_firn", fraction);
  ASSERT_EQ(basin_.Build(SnowSection(6) + SnowBlock() + IceFirnSection(1)), 0);

  const RowRange solid = basin_.Entry("snowstorage_solid").values.rows();
  const RowRange expected = rank == 0 ? RowRange{1, kSnowRows} : band;
  EXPECT_EQ(solid.first, expected.first);
  EXPECT_EQ(solid.last, expected.last);
  EXPECT_EQ(basin_.Entry("snow_fraction").values.rows().first, band.first);
  EXPECT_EQ(basin_.Find("elev_order_row") > 0, rank == 0);
  EXPECT_EQ(basin_.Find("max_deposition") > 0, rank == 0);

  // Sub-basin 1: 1 + 0.5 glacierised, 0 + 1 + 0.5 + 13 not; the same on every process.
  const auto records = basin_.model().glacier_subbasins();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_TRUE(records[1].hasGlacier);
  EXPECT_DOUBLE_EQ(records[1].glacierArea, 1.5);
  EXPECT_DOUBLE_EQ(records[1].nonGlacierArea, 14.5);
  EXPECT_FALSE(records[2].hasGlacier);
  EXPECT_DOUBLE_EQ(records[2].nonGlacierArea, 7);
}

TEST_F(SnowModelMpiTest, EveryProcessStopsOnAGlacierCellWithoutCode) {
  basin_.SetStrip(RowBand(WorldRank(), WorldSize(), kSnowRows));
  basin_.Add("GlacierizedCells", basin_.NewGrid(0.5));
  Grid& codes = basin_.NewGrid(4);
  codes(5, 2) = kNodata;
  basin_.Add("GlacierCodes", codes);
  EXPECT_EQ(basin_.Build(SnowSection(1) + IceFirnSection(11)), 80);
}

TEST_F(SnowModelMpiTest, SlidesGiveTheSameSnowOnEveryNumberOfProcesses) {
  const int rank = WorldRank();
  const int size = WorldSize();
  // Six columns: a process's grid transfers need room for a run pair in every row.
  constexpr int kCols = 6;
  SnowBasin wide(log_, dir_, kCols);
  RowBandLayout layout(rank, size, kSnowRows, kCols);
  wide.SetStrip(RowBand(rank, size, kSnowRows));
  wide.settings().layout = &layout.layout();
  Grid& regions = wide.NewGrid(0);
  for (int r = 1; r <= kSnowRows; ++r) {
    for (int c = 1; c <= kCols; ++c) {
      regions(r, c) = RowOwner(r, size, kSnowRows);
      wide.dem()(r, c) = 2000 - 10 * (r * kCols + c);  // falling to the south
    }
  }
  wide.Add("MPIRegions", regions);
  const auto fill = [&](const std::string& id, double v) {
    const GridView g = wide.Entry(id).values;
    for (int r = g.rows().first; r <= g.rows().last; ++r) {
      for (int c = 1; c <= kCols; ++c) g(r, c) = v;
    }
  };
  fill("slope_angle", 60);
  fill("slidefraction4", 1);
  Grid& evaporation = wide.NewGrid(0);
  wide.Add("snow_evaporation", evaporation);
  ASSERT_EQ(wide.Build(SnowSection(6) + SnowBlock("55\n1\n30\n0.1\n1\n1\n1\n")), 0);
  wide.model().SetWaterInput(false);
  for (const char* id : {"snowstorage_solid", "snow_storage_total"}) {
    const GridView g = wide.Entry(id).values;
    for (int r = g.rows().first; r <= g.rows().last; ++r) {
      for (int c = 1; c <= 2; ++c) g(r, c) = 20;
    }
  }
  ASSERT_EQ(CodeOf([&] { wide.model().SnowLateralStep({2020, 1, 2, 5}); }), 0) << console_.str();
  // Every cell releases 10 %, and all of it runs south to the last row of its column.
  const GridView total = wide.Entry("snow_storage_total").values;
  const RowRange own = RowBand(rank, size, kSnowRows);
  for (int r = own.first; r <= own.last; ++r) {
    for (int c = 1; c <= 2; ++c) {
      SCOPED_TRACE(std::to_string(r) + " " + std::to_string(c));
      EXPECT_NEAR(total(r, c), r < kSnowRows ? 18 : 18 + 8 * 2, 1e-12);
      EXPECT_NEAR(wide.Entry("snowstorage_solid").values(r, c), total(r, c), 1e-12);
    }
  }
}

TEST_F(SnowModelMpiTest, EveryProcessStopsOnAGlacierInTwoSubbasins) {
  basin_.SetStrip(RowBand(WorldRank(), WorldSize(), kSnowRows));
  basin_.Add("GlacierizedCells", basin_.NewGrid(0.5));
  basin_.Add("GlacierCodes", basin_.NewGrid(4));  // columns 1-2 and 3 are two sub-basins
  EXPECT_EQ(basin_.Build(SnowSection(1) + IceFirnSection(11)), 84);
}

// Snow deep enough to turn into glacier on the evaluation date: the glacier cells and the
// new glacier cell give the same grids whatever the number of processes.
TEST_F(SnowModelMpiTest, EndOfTheGlacierYearDoesNotDependOnTheProcessCount) {
  // The framework's run lists need a grid of at least 4 columns to describe a row held by
  // one process; the test basin has 3, so it is distributed only when that is lifted.
  if (WorldSize() > 1) GTEST_SKIP() << "the 3-column test basin cannot be decomposed into row runs";
  const int rank = WorldRank();
  const RowRange band = RowBand(rank, WorldSize(), kSnowRows);
  RowBandLayout layout(rank, WorldSize(), kSnowRows, kSnowCols);
  basin_.SetStrip(band);
  basin_.settings().layout = &layout.layout();
  Grid& fraction = basin_.NewGrid(kNodata);
  Grid& codes = basin_.NewGrid(kNodata);
  for (int r = 3; r <= 6; ++r) {
    fraction(r, 2) = r == 6 ? 0.5 : 1;
    codes(r, 2) = 5;
  }
  fraction(5, 3) = 0.8;
  codes(5, 3) = 6;
  basin_.Add("GlacierizedCells", fraction);
  basin_.Add("GlacierCodes", codes);
  ASSERT_EQ(basin_.Build(SnowSection(1) + IceFirnSection(11)), 0);
  schneemodellklasse& model = basin_.model();
  GridView total = basin_.Entry("snow_storage_total").values;
  GridView solid = basin_.Entry("snowstorage_solid").values;
  GridView on_glacier = basin_.Entry("TotalSnowStorage_onGlacier").values;
  GridView balance = basin_.Entry("GlacierMassBalance").values;
  for (int r = band.first; r <= band.last; ++r) {
    for (int c = 1; c <= kSnowCols; ++c) {
      if (basin_.zone()(r, c) == kNodata) continue;
      total(r, c) = solid(r, c) = 1500 + 100 * r + 10 * c;
      on_glacier(r, c) = 50 * r;
      balance(r, c) = fraction(r, c) > 0 ? -900 + 40 * r : 0;
    }
  }
  // Not yet the end of the evaluation day: nothing changes.
  ASSERT_EQ(CodeOf([&] { model.EndGlacierYear({.year = 2001, .month = 9, .day = 30, .hour = 23}); }), 0);
  EXPECT_EQ(total(band.last, 1), 1500 + 100 * band.last + 10);
  ASSERT_EQ(CodeOf([&] { model.EndGlacierYear({.year = 2001, .month = 9, .day = 30, .hour = 24}); }), 0)
      << console_.str();

  // Every process's rows equal process 0's whole grids after the update.
  std::vector<double> mine;
  for (const char* id : {"GlacierizedCells", "GlacierCodes", "firn_WE_stack", "GlacierMassBalance",
                         "OldGlacierMassBalance", "snow_storage_total"}) {
    const ConstGridView grid = basin_.Entry(id).values;
    std::vector<double> whole(kSnowRows * kSnowCols, 0);
    if (rank == 0) {
      for (int r = 1; r <= kSnowRows; ++r) {
        for (int c = 1; c <= kSnowCols; ++c) whole[static_cast<std::size_t>((r - 1) * kSnowCols + c - 1)] = grid(r, c);
      }
    }
    MPI_Bcast(whole.data(), static_cast<int>(whole.size()), MPI_DOUBLE, 0, MPI_COMM_WORLD);
    for (int r = band.first; r <= band.last; ++r) {
      for (int c = 1; c <= kSnowCols; ++c) {
        EXPECT_EQ(grid(r, c), whole[static_cast<std::size_t>((r - 1) * kSnowCols + c - 1)]) << id << " " << r << " " << c;
      }
    }
    double sum = 0;
    for (const double v : whole) sum += v;
    mine.push_back(sum);
  }
  // The sums of a run by one process.
  std::string text;
  for (const double v : mine) {
    char line[64];
    std::snprintf(line, sizeof line, "%.17g ", v);
    text += line;
  }
  EXPECT_EQ(text, kEndOfYearSums);
}

}  // namespace
}  // namespace tolvo::test
