// Snow, firn and ice melt of one glacierised cell. Expected values are hand calculations
// with the degree-day model M = DDF (T - T0) per day (Hock 2003, J. Hydrol. 282).
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "surface/glacier_cell.h"

namespace tolvo::test {
namespace {

constexpr double kNodata = -9999;

// One cell (row 1, column 1) with every grid a glacier method may use, firn levels 1..3.
struct GlacierFixture {
  Grid code{1, 1, 1, 1}, debris{1, 1, 1, 1}, radiation{1, 1, 1, 1}, snow{1, 1, 1, 1}, rain{1, 1, 1, 1},
      solid{1, 1, 1, 1}, liquid{1, 1, 1, 1}, total{1, 1, 1, 1}, outflow{1, 1, 1, 1}, melt_only{1, 1, 1, 1},
      gsolid{1, 1, 1, 1}, gliquid{1, 1, 1, 1}, gtotal{1, 1, 1, 1}, gmelt{1, 1, 1, 1}, firn_melt{1, 1, 1, 1},
      ice_melt{1, 1, 1, 1}, firn_total{1, 1, 1, 1};
  Stack firn{1, 1, 1, 3, 1};
  bool store = true;

  GlacierCellGrids grids() {
    GlacierCellGrids g;
    g.glacier = code.view();
    g.debris = debris.view();
    g.radiation = radiation.view();
    g.snow_fraction = snow.view();
    g.rain_fraction = rain.view();
    g.solid = solid.view();
    g.liquid = liquid.view();
    g.total = total.view();
    g.outflow = outflow.view();
    g.melt_only = melt_only.view();
    g.firn_melt = firn_melt.view();
    g.ice_melt = ice_melt.view();
    if (store) {
      g.solid_on_glacier = gsolid.view();
      g.liquid_on_glacier = gliquid.view();
      g.total_on_glacier = gtotal.view();
      g.melt_on_glacier = gmelt.view();
      g.firn_total = firn_total.view();
      g.firn_stack = firn.view();
    }
    return g;
  }
  void SetFirn(double l1, double l2, double l3) {
    firn(1, 1, 1) = l1;
    firn(1, 1, 2) = l2;
    firn(1, 1, 3) = l3;
    firn(1, 1, 0) = firn_total(1, 1) = l1 + l2 + l3;
  }
  void SetOrdinary(double s, double l) {
    solid(1, 1) = s;
    liquid(1, 1) = l;
    total(1, 1) = s + l;
  }
  void SetGlacierStore(double s, double l) {
    gsolid(1, 1) = s;
    gliquid(1, 1) = l;
    gtotal(1, 1) = s + l;
  }
  void ZeroMelt() { firn_melt(1, 1) = ice_melt(1, 1) = 0; }
};

// Daily steps so that the degree-day factors give mm per step.
GlacierCellParameters Parameters(int method) {
  GlacierCellParameters p;
  p.method = method;
  p.T0R = 1;
  p.transzone = 1;
  p.T0 = 0;
  p.CWH = 0.1;
  p.DDFsnow = 3;
  p.DDFfirn = 5;
  p.DDFice = 7;
  p.MF = 2;
  p.Asnow = 0.01;
  p.Aice = 0.02;
  p.steps_per_day = 1;
  p.nodata = kNodata;
  return p;
}

TEST(GlacierCell, FreshSnowOnEmptyStoresDoesNotMeltInItsStep) {
  for (const int method : {1, 2, 11, 12}) {
    GlacierFixture cell;
    cell.store = method > 10;
    cell.code(1, 1) = 1;
    cell.debris(1, 1) = kNodata;
    cell.radiation(1, 1) = 100;
    cell.SetFirn(0, 0, 0);
    // At 30 deg C with a rain/snow threshold of 40, everything falls as snow.
    GlacierCellParameters p = Parameters(method);
    p.T0R = 40;
    const GlacierCellResult res = ComputeGlacierCell(p, cell.grids(), 1, 1, 30, 10, nullptr);
    EXPECT_EQ(res.snow_melt, 0) << method;
    EXPECT_EQ(cell.solid(1, 1), 10) << method;
    EXPECT_EQ(cell.outflow(1, 1), 0) << method;
    if (cell.store) {
      EXPECT_EQ(cell.gsolid(1, 1), 10) << method;
      EXPECT_EQ(cell.gmelt(1, 1), 0) << method;
    }
    // The glacier is covered by its fresh snow: no ice melts.
    EXPECT_EQ(cell.ice_melt(1, 1), 0) << method;
  }
}

TEST(GlacierCell, IceMeltsOnlyOnASnowFreeGlacierLessTheSnowMelt) {
  GlacierFixture cell;
  cell.debris(1, 1) = 0.5;  // debris halves the ice melt
  cell.SetFirn(0, 0, 0);
  cell.SetOrdinary(50, 0);
  const GlacierCellParameters p = Parameters(11);

  // 2 mm of snow on the glacier: the snow melt of 3 * 4 = 12 mm takes all of it, and
  // ice melts by 0.5 * 7 * 4 - 2 = 12 mm.
  cell.SetGlacierStore(2, 0);
  GlacierCellResult res = ComputeGlacierCell(p, cell.grids(), 1, 1, 4, 0, nullptr);
  EXPECT_DOUBLE_EQ(res.glacier_snow_melt, 2);
  EXPECT_DOUBLE_EQ(res.ice_melt, 12);
  EXPECT_DOUBLE_EQ(cell.ice_melt(1, 1), 12);
  EXPECT_DOUBLE_EQ(cell.gmelt(1, 1), 2);  // no solid left to hold liquid
  EXPECT_DOUBLE_EQ(res.snow_melt, 12);
  EXPECT_DOUBLE_EQ(cell.solid(1, 1), 38);
  EXPECT_DOUBLE_EQ(cell.outflow(1, 1), 12 - 3.8);
  EXPECT_DOUBLE_EQ(cell.melt_only(1, 1), 12 - 3.8);

  // 20 mm of snow on the glacier outlast the step: no ice melt.
  cell.ZeroMelt();
  cell.SetGlacierStore(20, 0);
  res = ComputeGlacierCell(p, cell.grids(), 1, 1, 4, 0, nullptr);
  EXPECT_DOUBLE_EQ(res.glacier_snow_melt, 12);
  EXPECT_EQ(res.ice_melt, 0);
  EXPECT_EQ(cell.ice_melt(1, 1), 0);

  // At the melt threshold nothing melts.
  cell.ZeroMelt();
  cell.SetGlacierStore(0, 0);
  res = ComputeGlacierCell(p, cell.grids(), 1, 1, 0, 0, nullptr);
  EXPECT_EQ(res.ice_melt, 0);
}

TEST(GlacierCell, FirnEmptiesFromLevelOneAndWhatItCannotSupplyMeltsFromTheIce) {
  GlacierFixture cell;
  cell.SetGlacierStore(0, 0);
  cell.SetOrdinary(0, 0);
  const GlacierCellParameters p = Parameters(11);
  // Firn melt 5 * 4 = 20 mm against levels 6, 10, 30: level 1 and 2 empty, level 3 gives 4.
  cell.SetFirn(6, 10, 30);
  GlacierCellResult res = ComputeGlacierCell(p, cell.grids(), 1, 1, 4, 0, nullptr);
  EXPECT_DOUBLE_EQ(res.firn_melt, 20);
  EXPECT_EQ(cell.firn(1, 1, 1), 0);
  EXPECT_EQ(cell.firn(1, 1, 2), 0);
  EXPECT_DOUBLE_EQ(cell.firn(1, 1, 3), 26);
  EXPECT_DOUBLE_EQ(cell.firn(1, 1, 0), 26);
  EXPECT_DOUBLE_EQ(cell.firn_total(1, 1), 26);
  EXPECT_EQ(res.ice_melt, 0);

  // Levels 3 (nodata), 2 and 0 hold 5 mm: the other 15 mm melt from the ice, reported once.
  cell.ZeroMelt();
  cell.SetFirn(3, 2, 0);
  cell.firn(1, 1, 3) = kNodata;
  res = ComputeGlacierCell(p, cell.grids(), 1, 1, 4, 0, nullptr);
  EXPECT_DOUBLE_EQ(res.firn_melt, 5);
  EXPECT_DOUBLE_EQ(cell.firn_melt(1, 1), 5);
  EXPECT_DOUBLE_EQ(res.ice_melt, 15);
  EXPECT_DOUBLE_EQ(cell.ice_melt(1, 1), 15);
  EXPECT_EQ(cell.firn_total(1, 1), 0);
  EXPECT_EQ(cell.firn(1, 1, 3), 0);
}

TEST(GlacierCell, StaticGlacierUsesTheOrdinaryStoreAsItsSnow) {
  GlacierFixture cell;
  cell.store = false;
  cell.debris(1, 1) = kNodata;
  const GlacierCellParameters p = Parameters(1);
  struct Case {
    double code, solid, ice, firn;
  };
  // Degree-day melt at 4 deg C: snow 12, firn 20, ice 28 mm.
  for (const Case& k : {Case{1, 5, 28 - 5, 0}, Case{2, 5, 0, 20 - 5}, Case{1, 30, 0, 0}, Case{2, 0, 0, 20}}) {
    cell.ZeroMelt();
    cell.code(1, 1) = k.code;
    cell.SetOrdinary(k.solid, 0);
    const GlacierCellResult res = ComputeGlacierCell(p, cell.grids(), 1, 1, 4, 0, nullptr);
    EXPECT_DOUBLE_EQ(cell.ice_melt(1, 1), k.ice) << k.code << " " << k.solid;
    EXPECT_DOUBLE_EQ(cell.firn_melt(1, 1), k.firn) << k.code << " " << k.solid;
    EXPECT_DOUBLE_EQ(res.glacier_snow_melt, res.snow_melt);
  }
}

TEST(GlacierCell, RadiationMeltAddsTheRadiationTerm) {
  GlacierFixture cell;
  cell.debris(1, 1) = kNodata;
  cell.radiation(1, 1) = 100;
  cell.SetFirn(0, 0, 0);
  cell.SetOrdinary(0, 0);
  cell.SetGlacierStore(0, 0);
  GlacierCellParameters p = Parameters(12);
  p.debris_scaling = 2;
  // Ice: 4 * 2 * (0.02 * 100 + 2) = 32 mm.
  const GlacierCellResult res = ComputeGlacierCell(p, cell.grids(), 1, 1, 4, 0, nullptr);
  EXPECT_DOUBLE_EQ(res.ice_melt, 32);
}

// Random states over the methods: each store closes its balance over its own area and
// the firn stack loses exactly "melt_from_firn".
TEST(GlacierCell, EveryStoreClosesItsBalance) {
  std::mt19937 rng(17);
  std::uniform_real_distribution<double> u(0, 1);
  double worst = 0;
  for (int i = 0; i < 4000; ++i) {
    const int method = std::vector<int>{1, 2, 11, 12, 13}[static_cast<std::size_t>(i % 5)];
    GlacierFixture cell;
    cell.store = method > 10;
    cell.code(1, 1) = u(rng) < 0.5 ? 1 : 2;
    cell.debris(1, 1) = u(rng) < 0.3 ? kNodata : 2 * u(rng);
    cell.radiation(1, 1) = 300 * u(rng);
    cell.SetOrdinary(u(rng) < 0.3 ? 0 : 40 * u(rng), u(rng) < 0.5 ? 0 : 3 * u(rng));
    cell.SetGlacierStore(u(rng) < 0.4 ? 0 : 20 * u(rng), u(rng) < 0.5 ? 0 : 2 * u(rng));
    cell.SetFirn(u(rng) < 0.3 ? 0 : 15 * u(rng), 15 * u(rng), u(rng) < 0.2 ? kNodata : 15 * u(rng));
    if (cell.firn(1, 1, 3) == kNodata) cell.firn(1, 1, 0) = cell.firn_total(1, 1) = cell.firn(1, 1, 1) + cell.firn(1, 1, 2);
    cell.ZeroMelt();
    const double T = -5 + 20 * u(rng);
    const double P = u(rng) < 0.3 ? 0 : 30 * u(rng);
    GlacierCellParameters p = Parameters(method);
    p.steps_per_day = 24;
    const double before = cell.solid(1, 1) + cell.liquid(1, 1);
    const double gbefore = cell.gsolid(1, 1) + cell.gliquid(1, 1);
    const double firn_before = cell.firn_total(1, 1);
    double evaporation = 0;
    if (method == 13) {
      // The ordinary store is the snow step's; here the glacier store by the degree-day method.
      SnowCellParameters sp;
      sp.melt = MeltMethod::kDegreeDay;
      sp.T0R = p.T0R;
      sp.transzone = p.transzone;
      sp.C0 = 3;
      sp.dt_min = 60;
      SnowCellGrids sg;
      sg.snow_fraction = cell.snow.view();
      sg.rain_fraction = cell.rain.view();
      const double f = SnowFractionAt(T, p.T0R, p.transzone);
      cell.snow(1, 1) = f * P;
      cell.rain(1, 1) = (1 - f) * P;
      Grid evap{1, 1, 1, 1};
      const std::vector<SnowCallPart> parts = {{T - 2, 0.4}, {T, 0.6}};
      ComputeGlacierCellWithSnowMethod(p, sp, sg, cell.grids(), {.snow_temperature = {},
                                                                 .surface_temperature = {},
                                                                 .evaporation = evap.view(),
                                                                 .energy_balance = {}},
                                       1, 1, parts, P);
      evaporation = evap(1, 1);
    } else {
      ComputeGlacierCell(p, cell.grids(), 1, 1, T, P, nullptr);
      const double ordinary = before + P - cell.outflow(1, 1) - (cell.solid(1, 1) + cell.liquid(1, 1));
      worst = std::max(worst, std::abs(ordinary));
      EXPECT_GE(cell.solid(1, 1), 0);
    }
    if (cell.store) {
      const double glacier =
          gbefore + P - cell.gmelt(1, 1) - evaporation - (cell.gsolid(1, 1) + cell.gliquid(1, 1));
      worst = std::max(worst, std::abs(glacier));
      worst = std::max(worst, std::abs(firn_before - cell.firn_total(1, 1) - cell.firn_melt(1, 1)));
      EXPECT_GE(cell.gsolid(1, 1), 0);
      EXPECT_GE(cell.firn_total(1, 1), 0);
    }
    EXPECT_GE(cell.ice_melt(1, 1), 0);
    EXPECT_GE(cell.firn_melt(1, 1), 0);
  }
  EXPECT_LT(worst, 1e-12);
}

}  // namespace
}  // namespace tolvo::test
