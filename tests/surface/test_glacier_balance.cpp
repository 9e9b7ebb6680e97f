// Glacier records, elevation bands and the yearly glacier area change. The volume-area
// relation V = 28.5 A^1.36 (V in 10^6 m3, A in km2) is that of Chen & Ohmura (1990,
// IAHS Publ. 193); other expected values are hand calculations.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "framework/error_code.h"
#include "support/test_support.h"
#include "surface/glacier_balance.h"

namespace tolvo::test {
namespace {

constexpr double kNodata = -9999;

TEST(GlacierRecord, VolumeAreaRelation) {
  GlacierRecord g(7, 1, 0, 1, 28.5, 1.36, 0, 10, 100);
  EXPECT_NEAR(g.VolumeFromArea(), 652.9, 0.05);
  g.area = 0;
  EXPECT_NEAR(g.AreaFromVolume(), 10.0, 1e-12);

  g.area = 0.005;  // raised to 0.01 to start a volume
  EXPECT_DOUBLE_EQ(g.VolumeFromArea(), 28.5 * std::pow(0.01, 1.36));
  const double v_min = 28.5 * std::pow(0.0543, 1.36);
  EXPECT_DOUBLE_EQ(g.AreaFromVolume(), 0.0543);  // below the smallest glacier by volume
  EXPECT_DOUBLE_EQ(g.volume, v_min);

  g.reference_volume = 0;
  g.reference_area = 2;
  EXPECT_NEAR(g.ReferenceAreaFromVolume(), 2, 1e-12);
  EXPECT_DOUBLE_EQ(g.reference_volume, 28.5 * std::pow(2, 1.36));
}

TEST(GlacierBand, DistributionLimitsAndMarks) {
  Grid fraction(1, 1, 4, 1), codes(1, 1, 4, 1);
  const GlacierCellGridViews views{.fraction = fraction.view(), .codes = codes.view()};
  GlacierBand band(0, 100);
  for (int c = 1; c <= 4; ++c) band.AddCell(1, c);
  // Shrinking by 0.3 per cell: the cell of 0.1 leaves (code -9999), placing only 0.1; the
  // rest goes to the cells that took their full share.
  const double f0[4] = {0.1, 0.8, 1, 0.5};
  for (int c = 1; c <= 4; ++c) {
    fraction(1, c) = f0[c - 1];
    codes(1, c) = 3;
  }
  EXPECT_EQ(band.CountChangeable(fraction.view(), -1), 4);
  const double rest = band.Distribute(views, -0.3);
  EXPECT_EQ(fraction(1, 1), 0);
  EXPECT_EQ(codes(1, 1), -9999);
  double sum = 0;
  for (int c = 1; c <= 4; ++c) sum += fraction(1, c);
  EXPECT_NEAR(sum, 2.4 - 1.2 - rest, 1e-12);
  EXPECT_NEAR(rest, 0, 1e-5);

  // Growing by 0.5 per cell: the full cell is marked, a cell stops at 1.
  GlacierBand grow(0, 100);
  for (int c = 1; c <= 4; ++c) grow.AddCell(1, c);
  const double f1[4] = {0.9, 0.2, 1, 0};
  for (int c = 1; c <= 4; ++c) {
    fraction(1, c) = f1[c - 1];
    codes(1, c) = 3;
  }
  EXPECT_EQ(grow.CountChangeable(fraction.view(), 1), 3);
  const double grown = grow.Distribute(views, 0.5);
  EXPECT_EQ(fraction(1, 1), 1);
  EXPECT_EQ(fraction(1, 3), 1);
  EXPECT_NEAR(fraction(1, 2) + fraction(1, 4), 0.2 + 1.5 - 0.1 - grown, 1e-12);

  // All marked: nothing placed.
  GlacierBand full(0, 100);
  full.AddCell(1, 3);
  EXPECT_EQ(full.CountChangeable(fraction.view(), 1), 0);
  EXPECT_EQ(full.Distribute(views, 0.5), 0);
}

TEST(GlacierRecord, BandsTakeCellsAtTheirBounds) {
  GlacierRecord g(1, 3, 0, 1, 28.5, 1.36, 0, 0, 100);
  g.AddCell(true, 1, 1000, 1e4);
  g.AddCell(true, 1, 1300, 1e4);
  g.BuildBands();
  ASSERT_EQ(g.bands.size(), 3u);
  g.AddCellToBand(1, 1, 1000);  // the minimum: band 0
  g.AddCellToBand(1, 2, 1300);  // the maximum: last band
  g.AddCellToBand(1, 3, 1500);  // above: last band
  g.AddCellToBand(1, 4, 1150);
  EXPECT_EQ(g.bands[0].cell_count, 1);
  EXPECT_EQ(g.bands[1].cell_count, 1);
  EXPECT_EQ(g.bands[2].cell_count, 2);
  EXPECT_EQ(g.changeable_count, 4);
  g.numElevBands = 0;
  g.BuildBands();
  g.AddCellToBand(1, 1, 1000);
  EXPECT_TRUE(g.bands.empty());
}

// A basin of rows x cols cells of 100 m in one or two sub-basins.
struct GlacierGridFixture {
  int nrows, ncols;
  Grid fraction, codes, fraction_old, codes_old, mb, old_mb, firn_total, elevation, subbasin;
  Stack firn;
  GlacierGridFixture(int nrows, int ncols)
      : nrows(nrows),
        ncols(ncols),
        fraction(1, nrows, ncols, nrows),
        codes(1, nrows, ncols, nrows),
        fraction_old(1, nrows, ncols, nrows),
        codes_old(1, nrows, ncols, nrows),
        mb(1, nrows, ncols, nrows),
        old_mb(1, nrows, ncols, nrows),
        firn_total(1, nrows, ncols, nrows),
        elevation(1, nrows, ncols, nrows),
        subbasin(1, nrows, ncols, nrows),
        firn(1, nrows, ncols, 2, nrows) {
    for (int r = 1; r <= nrows; ++r) {
      for (int c = 1; c <= ncols; ++c) {
        fraction(r, c) = kNodata;
        codes(r, c) = kNodata;
        subbasin(r, c) = 1;
        elevation(r, c) = 3000 - 100 * r;  // row 1 highest
      }
    }
  }
  void Glacier(int r, int c, double f, int code) {
    fraction(r, c) = fraction_old(r, c) = f;
    codes(r, c) = codes_old(r, c) = code;
  }
  GlacierBalanceGrids grids() {
    return {.fraction = fraction.view(),
            .codes = codes.view(),
            .fraction_old = fraction_old.view(),
            .codes_old = codes_old.view(),
            .mass_balance = mb.view(),
            .old_mass_balance = old_mb.view(),
            .firn_total = firn_total.view(),
            .firn_stack = firn.view(),
            .elevation = elevation.view(),
            .subbasin = subbasin.view(),
            .nrows = nrows,
            .ncols = ncols,
            .nodata = kNodata,
            .cell_size = 100};
  }
  double Area(int code) const {
    double a = 0;
    for (int r = 1; r <= nrows; ++r) {
      for (int c = 1; c <= ncols; ++c) {
        if (codes(r, c) == code && fraction(r, c) > 0) a += fraction(r, c) * 0.01;
      }
    }
    return a;
  }
};

GlacierBalanceSettings Settings(int bands = 2) {
  return {.method = 11,
          .VAscaling = 28.5,
          .VAexponent = 1.36,
          .numElevBands = bands,
          .extraWeightFactorBand0 = 1,
          .relSizeNewGlacier = 0.25,
          .firn_levels = 2};
}

class GlacierBalanceTest : public LogFixture {};

TEST_F(GlacierBalanceTest, NewGlacierCellsJoinTheirNeighbourOrStartAGlacier) {
  GlacierGridFixture b(4, 6);
  b.Glacier(2, 2, 1, 7);
  b.Glacier(2, 5, 1, 9);
  b.subbasin(2, 5) = b.subbasin(1, 5) = 2;
  b.Glacier(1, 2, kNodata, -1);  // next to glacier 7
  b.Glacier(1, 5, kNodata, -1);  // next to glacier 9 of its own sub-basin
  b.Glacier(4, 4, kNodata, -1);  // alone
  b.Glacier(3, 6, kNodata, -1);  // next to glacier 9, but in another sub-basin
  GlacierList list;
  GlacierBalanceModel model(list, b.grids(), Settings(), log_);
  model.BuildGlacierList();
  ASSERT_EQ(list.records.size(), 2u);
  model.UpdateGlacierCells(-1, false);
  EXPECT_EQ(b.codes(1, 2), 7);
  EXPECT_EQ(b.fraction(1, 2), 0.25);
  EXPECT_EQ(b.codes_old(1, 2), 7);
  EXPECT_EQ(b.codes(1, 5), 9);
  EXPECT_EQ(b.codes(3, 6), 10);  // largest code + 1
  EXPECT_EQ(b.codes(4, 4), 11);  // no glacier among its neighbours
  ASSERT_EQ(list.records.size(), 4u);
  EXPECT_EQ(list[10].subbasin, 1);
  // Glacier 7 (one cell, so at the smallest reference area 0.0543 km2) has a volume: the
  // new cell adds 0.25 cells of area and the volume of that area to it.
  EXPECT_NEAR(list[7].reference_area, 0.0543 + 0.0025, 1e-15);
  EXPECT_NEAR(list[7].reference_volume, 28.5 * std::pow(0.0568, 1.36), 1e-12);
}

TEST_F(GlacierBalanceTest, AGlacierInTwoSubbasinsStops) {
  GlacierGridFixture b(2, 2);
  b.Glacier(1, 1, 1, 4);
  b.Glacier(2, 2, 1, 4);
  b.subbasin(2, 2) = 3;
  GlacierList list;
  GlacierBalanceModel model(list, b.grids(), Settings(), log_);
  try {
    model.BuildGlacierList();
    FAIL() << "no error";
  } catch (const ErrorCode& e) {
    EXPECT_EQ(e.code, kGlacierInTwoSubbasins);
  }
  EXPECT_TRUE(Logged("glacier 4 is located in more than one subbasin"));
  EXPECT_TRUE(Logged("whereas the cell in row 2 and col 2 belongs to subbasin 3"));
}

// A 4 x 4 glacier in a 8 x 8 basin loses mass: it shrinks to the area of its new volume,
// its lowest band losing the most; then it gains and grows into its neighbours.
TEST_F(GlacierBalanceTest, AreaFollowsTheVolumeOfTheMassBalance) {
  GlacierGridFixture b(8, 8);
  for (int r = 3; r <= 6; ++r) {
    for (int c = 3; c <= 6; ++c) b.Glacier(r, c, 1, 5);
  }
  GlacierList list;
  GlacierBalanceModel model(list, b.grids(), Settings(), log_);
  model.BuildGlacierList();
  const double A0 = list[5].area;
  EXPECT_NEAR(A0, 0.16, 1e-12);
  const double V0 = list[5].volume;

  // -2000 mm water equivalent over the glacier.
  for (int r = 3; r <= 6; ++r) {
    for (int c = 3; c <= 6; ++c) b.mb(r, c) = -2000;
  }
  model.GlacierBalance();
  const double V1 = V0 - 16 * (2000 / 0.85 / 1000) * 0.01;
  EXPECT_NEAR(list[5].volume, V1, 1e-12);
  const double A1 = std::pow(V1 / 28.5, 1 / 1.36);
  EXPECT_NEAR(b.Area(5), A1, 1e-5 * 0.01 * 2);
  EXPECT_NEAR(list[5].reference_area, A1, 1e-12);
  // The next year gains +6000 mm: the glacier fills up and takes in neighbours.
  for (int r = 1; r <= 8; ++r) {
    for (int c = 1; c <= 8; ++c) {
      b.old_mb(r, c) = b.mb(r, c);
      if (b.codes(r, c) == 5) b.mb(r, c) += 6000;
    }
  }
  model.GlacierBalance();
  const double A2 = std::pow(list[5].volume / 28.5, 1 / 1.36);
  EXPECT_NEAR(b.Area(5), A2, 1e-5 * 0.01 * 2);
  EXPECT_NEAR(list[5].reference_area, A2, 1e-5 * 0.01 * 2);
  EXPECT_GT(b.Area(5), A0);
  EXPECT_FALSE(Logged("too many iterations"));
}

TEST_F(GlacierBalanceTest, AGlacierWithoutRoomWarnsAfter31Iterations) {
  GlacierGridFixture b(1, 1);
  b.Glacier(1, 1, 1, 2);
  GlacierList list;
  GlacierBalanceModel model(list, b.grids(), Settings(1), log_);
  model.BuildGlacierList();
  b.mb(1, 1) = 50000;
  model.GlacierBalance();
  EXPECT_TRUE(Logged("There were too many iterations when trying to remove or add glacier areas for glacier0"));
  EXPECT_EQ(b.fraction(1, 1), 1);
}

TEST_F(GlacierBalanceTest, LostMassBalanceGoesToTheRemainingCells) {
  GlacierGridFixture b(1, 3);
  for (int c = 1; c <= 3; ++c) {
    b.Glacier(1, c, 1, 6);
    b.mb(1, c) = -500;
  }
  b.fraction(1, 1) = 0.6;  // lost 0.4 of its fraction
  b.mb(1, 2) = -300;
  GlacierList list;
  GlacierBalanceModel model(list, b.grids(), Settings(), log_);
  model.BuildGlacierList();
  double before = 0;
  for (int c = 1; c <= 3; ++c) before += b.fraction_old(1, c) * b.mb(1, c);
  model.RedistributeMassBalance(-1);
  EXPECT_DOUBLE_EQ(list[6].lost_mass_balance, -200);
  EXPECT_DOUBLE_EQ(list[6].fraction_sum, 2.6);
  EXPECT_DOUBLE_EQ(b.mb(1, 2), -300 - 200 / 2.6);
  double after = 0;
  for (int c = 1; c <= 3; ++c) after += b.fraction(1, c) * b.mb(1, c);
  EXPECT_NEAR(after, before, 1e-9);
}

}  // namespace
}  // namespace tolvo::test
