// The snow model built by 1, 2 or 3 processes: the storage rows of a slide method, the
// elevation order on process 0 only, and glacier sub-basin records alike on every process.
#include <gtest/gtest.h>

#include "snow_basin_fixture.h"
#include "support/row_bands.h"

namespace tolvo::test {
namespace {

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

}  // namespace
}  // namespace tolvo::test
