// Glacier outflow through linear storages and the end of the glacier year. A linear
// storage with recession constant k answers a step of input q by moving its outflow the
// share 1 - exp(-1/k) of the way to q (Chow, Maidment & Mays 1988, Applied Hydrology,
// ch. 8); other expected values are hand calculations.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "surface/glacier_update.h"

namespace tolvo::test {
namespace {

constexpr double kNodata = -9999;

TEST(GlacierOutflow, LinearStorageMovesTowardsItsInput) {
  EXPECT_NEAR(GlacierStorageOutflow(0, 1, 1), 0.632120558828558, 1e-15);
  EXPECT_NEAR(GlacierStorageOutflow(2, 1, 1), 2 - 0.632120558828558, 1e-15);
  // A pulse recedes by the factor exp(-1/k) per step and keeps its volume.
  double Q = GlacierStorageOutflow(0, 5, 10);
  double volume = Q;
  for (int j = 0; j < 400; ++j) {
    Q = GlacierStorageOutflow(Q, 5, 0);
    volume += Q;
  }
  EXPECT_NEAR(volume, 10, 1e-12);
}

TEST(GlacierOutflow, EvaluationDayEndsWithItsLastStep) {
  struct Case {
    long long month, day, hour;
    double dt, shift;
    bool ends;
  };
  for (const Case& k : {Case{9, 30, 23, 60, 0, false}, Case{9, 30, 24, 60, 0, true}, Case{9, 30, 23, 60, 60, true},
                        Case{9, 29, 24, 60, 0, false}, Case{8, 30, 24, 60, 0, false}, Case{9, 30, 7, 1440, 0, true},
                        Case{9, 30, 0, 1440, 0, false}}) {
    const ModelDate d{.year = 2001, .month = k.month, .day = k.day, .hour = k.hour};
    EXPECT_EQ(EndsGlacierEvaluationDay(d, 9, 30, k.dt, k.shift), k.ends) << k.day << " " << k.hour << " " << k.shift;
  }
}

// One cell with firn levels 1..3.
struct YearEndCell {
  Grid fraction{1, 1, 1, 1}, codes{1, 1, 1, 1}, fraction_old{1, 1, 1, 1}, codes_old{1, 1, 1, 1}, mb{1, 1, 1, 1},
      old_mb{1, 1, 1, 1}, firn_total{1, 1, 1, 1}, total{1, 1, 1, 1}, solid{1, 1, 1, 1}, liquid{1, 1, 1, 1},
      total_g{1, 1, 1, 1}, solid_g{1, 1, 1, 1}, liquid_g{1, 1, 1, 1};
  Stack firn{1, 1, 1, 3, 1};
  GlacierYearEndGrids grids() {
    return {.fraction = fraction.view(),
            .codes = codes.view(),
            .fraction_old = fraction_old.view(),
            .codes_old = codes_old.view(),
            .mass_balance = mb.view(),
            .old_mass_balance = old_mb.view(),
            .firn_total = firn_total.view(),
            .firn = firn.view(),
            .total = total.view(),
            .solid = solid.view(),
            .liquid = liquid.view(),
            .total_g = total_g.view(),
            .solid_g = solid_g.view(),
            .liquid_g = liquid_g.view()};
  }
  void Snow(double s, double l) {
    solid(1, 1) = s;
    liquid(1, 1) = l;
    total(1, 1) = s + l;
  }
};

TEST(GlacierYearEnd, SnowAboveTheLimitJoinsTheGlacier) {
  YearEndCell cell;
  cell.fraction(1, 1) = 0.5;
  cell.codes(1, 1) = 4;
  cell.codes_old(1, 1) = kNodata;
  cell.Snow(1200, 300);
  cell.total_g(1, 1) = 100;
  cell.solid_g(1, 1) = 100;
  cell.firn(1, 1, 1) = 10;
  cell.firn(1, 1, 2) = 20;
  cell.firn(1, 1, 3) = 30;
  const GlacierYearEnd end = EndGlacierYearInCell(cell.grids(), {}, 1, 1);
  // E = 500: the other half of the cell's snow above 1000 mm joins the glacier part.
  EXPECT_DOUBLE_EQ(end.moved, 500);
  EXPECT_FALSE(end.new_glacier);
  EXPECT_DOUBLE_EQ(cell.total(1, 1), 1000);
  EXPECT_DOUBLE_EQ(cell.solid(1, 1), 800);
  EXPECT_DOUBLE_EQ(cell.liquid(1, 1), 200);
  EXPECT_DOUBLE_EQ(cell.mb(1, 1), 500);
  EXPECT_EQ(cell.codes_old(1, 1), 4);
  // The glacier's snow of 100 + 500 mm becomes firn level 1; the deepest level leaves.
  EXPECT_DOUBLE_EQ(cell.firn(1, 1, 1), 600);
  EXPECT_DOUBLE_EQ(cell.firn(1, 1, 2), 10);
  EXPECT_DOUBLE_EQ(cell.firn(1, 1, 3), 20);
  EXPECT_DOUBLE_EQ(cell.firn(1, 1, 0), 630);
  EXPECT_DOUBLE_EQ(cell.firn_total(1, 1), 630);
  EXPECT_EQ(cell.total_g(1, 1), 0);
  EXPECT_EQ(cell.solid_g(1, 1), 0);
}

TEST(GlacierYearEnd, DeepSnowStartsANewGlacier) {
  YearEndCell cell;
  cell.fraction(1, 1) = kNodata;
  cell.codes(1, 1) = kNodata;
  cell.Snow(1200, 0);
  for (int l = 0; l <= 3; ++l) cell.firn(1, 1, l) = kNodata;
  const GlacierYearEnd end = EndGlacierYearInCell(cell.grids(), {}, 1, 1);
  EXPECT_TRUE(end.new_glacier);
  EXPECT_DOUBLE_EQ(end.moved, 200);
  EXPECT_EQ(cell.fraction(1, 1), 0.25);
  EXPECT_EQ(cell.fraction_old(1, 1), 0.25);
  EXPECT_EQ(cell.codes(1, 1), -1);
  EXPECT_DOUBLE_EQ(cell.total(1, 1), 1000);
  // Firn level 1 holds 1200 + 3 * 200 mm over the new glacier part.
  EXPECT_DOUBLE_EQ(cell.firn(1, 1, 1), 1800);
  EXPECT_EQ(cell.firn(1, 1, 2), 0);
  EXPECT_EQ(cell.firn(1, 1, 3), 0);
  EXPECT_DOUBLE_EQ(cell.firn_total(1, 1), 1800);
  EXPECT_DOUBLE_EQ(cell.mb(1, 1), 1800);
  EXPECT_DOUBLE_EQ(cell.old_mb(1, 1), 1800);

  // Below the limit nothing happens.
  YearEndCell shallow;
  shallow.fraction(1, 1) = 0;
  shallow.Snow(900, 0);
  EXPECT_FALSE(EndGlacierYearInCell(shallow.grids(), {}, 1, 1).new_glacier);
  EXPECT_EQ(shallow.fraction(1, 1), 0);
}

TEST(GlacierYearEnd, FullGlacierCellAndASingleFirnLevel) {
  YearEndCell cell;
  cell.fraction(1, 1) = 1;
  cell.Snow(1500, 0);
  cell.total_g(1, 1) = 700;
  Stack one{1, 1, 1, 1, 1};
  one(1, 1, 1) = 50;
  GlacierYearEndGrids g = cell.grids();
  g.firn = one.view();
  EndGlacierYearInCell(g, {}, 1, 1);
  EXPECT_EQ(cell.total(1, 1), 0);
  EXPECT_EQ(one(1, 1, 1), 700);  // the year's glacier snow replaces the single level
  EXPECT_EQ(one(1, 1, 0), 700);
  EXPECT_EQ(cell.mb(1, 1), 0);
}

}  // namespace
}  // namespace tolvo::test

namespace tolvo::test {
namespace {

TEST(GlacierOutflow, SubbasinsWithGlaciersSetTheirWaterRunoff) {
  // Sub-basin 1: a quarter glacierised, mean melt over the sub-basin 0.5 mm of ice, 0.25
  // of firn, 0 of snow; sub-basin 2 without glaciers.
  const std::vector<ZoneRecord> ice = {{}, {.n = 8, .sx = 4, .zonenwert = 1, .rel = 0, .RelCellSum = 8},
                                       {.n = 4, .sx = 0, .zonenwert = 2, .rel = 0, .RelCellSum = 4}};
  const std::vector<ZoneRecord> firn = {{}, {.n = 8, .sx = 2, .zonenwert = 1, .rel = 0, .RelCellSum = 8}, {}};
  const std::vector<ZoneRecord> snow = {{}, {.n = 8, .sx = 0, .zonenwert = 1, .rel = 0, .RelCellSum = 8}, {}};
  const std::vector<GlacierSubbasinRecord> subbasins = {
      {}, {.hasGlacier = true, .glacierArea = 2, .nonGlacierArea = 6}, {.hasGlacier = false, .glacierArea = 0, .nonGlacierArea = 4}};
  std::vector<double> Qi = {0, 0, 0}, Qf = {0, 1, 0}, Qs = {0, 0, 0};
  std::vector<ZoneRecord> total(3);
  std::vector<double> water = {0, 9, 9};
  GlacierOutflowStep(ice, firn, snow, subbasins,
                     {.ice = Qi, .firn = Qf, .snow = Qs, .kice = 1, .kfirn = 1, .ksnow = 2}, total, water);
  const double a = 1 - std::exp(-1.0);
  // The ice storage moves 0.632 of the way to 0.5 / 0.25 = 2 mm over the glacier.
  EXPECT_NEAR(Qi[1], a * 2, 1e-15);
  EXPECT_NEAR(Qf[1], 1 * std::exp(-1.0) + a * 1, 1e-15);
  EXPECT_EQ(Qs[1], 0);
  EXPECT_NEAR(water[1], 0.25 * (Qi[1] + Qf[1]), 1e-15);
  EXPECT_NEAR(total[1].sx / total[1].RelCellSum, water[1], 1e-15);
  EXPECT_EQ(water[2], 9);  // no glacier: the soil model's runoff stays
  EXPECT_EQ(total[2].sx, 0);
  EXPECT_EQ(total[2].n, 4);
}

}  // namespace
}  // namespace tolvo::test
