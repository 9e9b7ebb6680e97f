// Snow accumulation and melt of one cell. Expected values are hand calculations unless a
// source is named: the degree-day factor gives C0 (T - T0) per day (Hock 2003, "Temperature
// index melt modelling in mountain areas", J. Hydrol. 282); the wet-bulb temperature solves
// the psychrometer equation with the ice-bulb coefficient 0.00066 (1 + 0.00115 Tw) hPa/K
// (WMO-No. 8, Guide to Meteorological Instruments, Annex 4.B).
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "surface/snow_cell.h"

namespace tolvo::test {
namespace {

// One cell (row 1, column 1) with every grid the kernel may read.
struct OneCell {
  Grid water{1, 1, 1, 1}, snow{1, 1, 1, 1}, rain{1, 1, 1, 1}, wind{1, 1, 1, 1}, vapour{1, 1, 1, 1},
      deposition{1, 1, 1, 1}, humidity{1, 1, 1, 1}, cloud{1, 1, 1, 1}, radiation{1, 1, 1, 1}, albedo{1, 1, 1, 1},
      elevation{1, 1, 1, 1}, surface{1, 1, 1, 1}, lake{1, 1, 1, 1}, ponding{1, 1, 1, 1}, factor{1, 1, 1, 1};
  bool given_surface = false;
  bool lakes = false;
  bool radiation_factor = false;

  SnowCellGrids grids() {
    SnowCellGrids g;
    g.water_input = water.view();
    g.snow_fraction = snow.view();
    g.rain_fraction = rain.view();
    g.wind_speed = wind.view();
    g.vapour_pressure = vapour.view();
    g.deposition_index = deposition.view();
    g.air_humidity = humidity.view();
    g.cloudiness = cloud.view();
    g.global_radiation = radiation.view();
    g.albedo = albedo.view();
    g.elevation = elevation.view();
    if (given_surface) g.surface_temperature = surface.view();
    if (lakes) {
      g.lake_codes = lake.view();
      g.ponding = ponding.view();
    }
    if (radiation_factor) g.radiation_factor = factor.view();
    return g;
  }
};

SnowCellParameters Parameters(int method, double dt_min = 60) {
  const SnowMethodTraits t = TraitsOfSnowMethod(method);
  SnowCellParameters p;
  p.melt = t.melt;
  p.deposition = t.deposition;
  p.T0R = 1;
  p.transzone = 1;
  p.T0 = 0;
  p.CRFR = 1;
  p.C0 = 3;
  p.C1 = 2;
  p.C2 = 0.5;
  p.RMF = 2;
  p.dt_min = dt_min;
  return p;
}

TEST(SnowCell, SnowFractionAndPartition) {
  struct Case {
    const char* what;
    double T, T0R, transzone;
    bool open_lake;
    double expected_f;
  };
  const Case cases[] = {
      {"upper limit of the transition", 2, 1, 1, false, 0}, {"lower limit of the transition", 0, 1, 1, false, 1},
      {"middle of the transition", 1, 1, 1, false, 0.5},    {"warm air", 5, 1, 1, false, 0},
      {"sharp threshold at T0R", 1, 1, 0, false, 1},        {"sharp threshold above T0R", 1.0001, 1, 0, false, 0},
      {"open lake cell in cold air", -10, 1, 1, true, 0},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    OneCell cell;
    cell.lakes = true;
    cell.lake(1, 1) = k.open_lake ? 3 : 0;
    cell.ponding(1, 1) = 10;
    SnowCellParameters p = Parameters(1);
    p.T0R = k.T0R;
    p.transzone = k.transzone;
    p.T0 = 100;  // no melt
    cell.water(1, 1) = 4;
    SnowStore store;
    const SnowCellResult result =
        ComputeSnowCell(p, cell.grids(), 1, 1, k.T, 1, SnowStorePart::kOrdinary, 4, store, nullptr);
    EXPECT_DOUBLE_EQ(result.snow_fraction, k.expected_f);
    EXPECT_DOUBLE_EQ(cell.snow(1, 1), 4 * k.expected_f);
    EXPECT_DOUBLE_EQ(cell.rain(1, 1), 4 * (1 - k.expected_f));
    EXPECT_DOUBLE_EQ(store.solid, 4 * k.expected_f);
    EXPECT_DOUBLE_EQ(store.liquid, 4 * (1 - k.expected_f));
  }
}

TEST(SnowCell, TemperatureIndexMelt) {
  // Degree-day factor 3 mm/(deg C day) at 5 deg C above the threshold: 15 mm per day
  // (Hock 2003), whatever the step length.
  for (const double dt : {60.0, 1440.0}) {
    OneCell cell;
    SnowStore store{.solid = 100};
    const SnowCellResult r =
        ComputeSnowCell(Parameters(1, dt), cell.grids(), 1, 1, 5, 1, SnowStorePart::kOrdinary, 0, store, nullptr);
    EXPECT_NEAR(r.melt * 1440 / dt, 15, 1e-12);
  }
  // Wind-dependent factor C1 + C2 u = 2 + 0.5 * 4 = 4 mm/(deg C day), weighted by 0.5.
  OneCell cell;
  cell.wind(1, 1) = 4;
  SnowStore store{.solid = 100};
  const SnowCellResult r =
      ComputeSnowCell(Parameters(2, 1440), cell.grids(), 1, 1, 5, 0.5, SnowStorePart::kOrdinary, 0, store, nullptr);
  EXPECT_NEAR(r.melt, 5 * 4 * 0.5, 1e-12);
  // No solid snow: no melt, the liquid water stays.
  SnowStore wet{.liquid = 3};
  EXPECT_EQ(ComputeSnowCell(Parameters(1), cell.grids(), 1, 1, 5, 1, SnowStorePart::kOrdinary, 0, wet, nullptr).melt,
            0);
  EXPECT_EQ(wet.liquid, 3);
}

TEST(SnowCell, RainOnSnowFromThreshold) {
  // Hourly step: rain on snow above 2.4 / 24 = 0.1 mm; at exactly 0.1 mm the seasonal
  // degree-day formula with the radiation factor (1 + 0.5) / 2 applies.
  const double spd = 24;
  const double T = 4;
  const double wind_factor = 2 + 0.5 * 2;
  for (const double P : {0.1, 0.2}) {
    SCOPED_TRACE(P);
    OneCell cell;
    cell.wind(1, 1) = 2;
    cell.radiation_factor = true;
    cell.factor(1, 1) = 0.5;
    cell.water(1, 1) = P;
    SnowStore store{.solid = 50};
    const SnowCellResult r =
        ComputeSnowCell(Parameters(3), cell.grids(), 1, 1, T, 1, SnowStorePart::kOrdinary, P, store, nullptr);
    const double e = 6.1078 * std::exp(21.874 * T / (265.5 + T));
    const double expected =
        P > 2.4 / spd ? 0.006 * T * P + (e - 6.11) * wind_factor / (0.662 * spd) + 0.6 * T / spd + wind_factor * T / spd
                      : T * 0.75 * 2 / spd;
    EXPECT_NEAR(r.melt, expected, 1e-12);
  }
  // Cold: refreezing of CRFR RMF (T0 - T) / spd = 1 * 2 * 6 / 24 = 0.5 mm; with less
  // liquid water everything freezes.
  for (const double liquid : {2.0, 0.2}) {
    OneCell cell;
    SnowStore store{.solid = 10, .liquid = liquid};
    ComputeSnowCell(Parameters(3), cell.grids(), 1, 1, -6, 1, SnowStorePart::kOrdinary, 0, store, nullptr);
    const double frozen = std::min(liquid, 0.5);
    EXPECT_DOUBLE_EQ(store.liquid, liquid - frozen);
    EXPECT_DOUBLE_EQ(store.solid, 10 + frozen);
  }
  // Degree-day methods never refreeze.
  OneCell cell;
  SnowStore store{.solid = 10, .liquid = 2};
  ComputeSnowCell(Parameters(1), cell.grids(), 1, 1, -6, 1, SnowStorePart::kOrdinary, 0, store, nullptr);
  EXPECT_EQ(store.liquid, 2);
}

TEST(SnowCell, EnergyBalanceSurfaceTemperatures) {
  struct Case {
    const char* what;
    bool given;
    double given_value;
    double liquid;
    double expected_Ts;
  };
  const Case cases[] = {
      {"given 80 is deg C, limited to the melting point", true, 80, 0, kMeltingPointK},
      {"given 250 is K", true, 250, 0, 250},
      {"cold pack with liquid water stays at the melting point", false, 0, 2, kMeltingPointK},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    OneCell cell;
    cell.given_surface = k.given;
    cell.surface(1, 1) = k.given_value;
    cell.humidity(1, 1) = 0.8;
    cell.cloud(1, 1) = 0.5;
    cell.radiation(1, 1) = 100;
    cell.albedo(1, 1) = 0.8;
    SnowStore store{.solid = 100, .liquid = k.liquid};
    ComputeSnowCell(Parameters(5), cell.grids(), 1, 1, -5, 1, SnowStorePart::kOrdinary, 0, store, nullptr);
    EXPECT_DOUBLE_EQ(store.surface_temperature, k.expected_Ts);
  }
}

TEST(SnowCell, SublimationLimitedToTheSolidStorage) {
  // Dry cold air over a thin pack: the vapour loss of an hour exceeds 0.001 mm.
  OneCell cell;
  cell.humidity(1, 1) = 0;
  cell.wind(1, 1) = 10;
  SnowStore store{.solid = 0.001};
  ComputeSnowCell(Parameters(5), cell.grids(), 1, 1, -5, 1, SnowStorePart::kOrdinary, 0, store, nullptr);
  EXPECT_EQ(store.solid, 0);
  EXPECT_DOUBLE_EQ(store.evaporation, 0.001);
  EXPECT_EQ(store.surface_temperature, kSnowNodata);
}

TEST(SnowCell, WetBulbTemperature) {
  // 2 deg C, relative humidity 0.8 over water, 1500 m: the psychrometer equation gives
  // +0.607 deg C; the search stops within its last step of 0.025 K.
  const double ea = 0.8 * 6.1078 * std::exp(17.08085 * 2 / (2 + 234.175));
  EXPECT_NEAR(WetBulbTemperature(2, ea, 1500), 0.607, 0.02);
  EXPECT_NEAR(SaturationVapourPressureOverIce(0), 6.1078, 1e-12);
}

TEST(SnowCell, SeasonalFactor) {
  // 1 March is day 1 + 2 * 31 = 63; 31 December is 31 + 11 * 31 = 372.
  EXPECT_EQ(SeasonalDayNumber(1, 3, 31), 63);
  EXPECT_EQ(SeasonalDayNumber(31, 12, 31), 372);
  EXPECT_EQ(SeasonalDayNumber(20, 1, 31), 20);
  const SeasonalFactor f = SeasonalFactor::FromRange(1, 3);
  EXPECT_DOUBLE_EQ(f.At(21, 1, 31), 2 + std::sin(-59 * 0.017214206));
  EXPECT_NEAR(f.At(1, 3, 31), 2 + std::sin(-17 * 0.017214206), 1e-15);
}

TEST(SnowCell, DepositionCorrectsTheInputOncePerStep) {
  // A daily step in a night half (weight 0.4, snow) and a day half (weight 0.6, half snow):
  // each half splits the uncorrected 10 mm; the input grows by the step's extra snowfall
  // and the store takes exactly the corrected input.
  OneCell cell;
  cell.deposition(1, 1) = 0.5;
  cell.water(1, 1) = 10;
  const SnowCellParameters p = Parameters(9, 1440);
  SnowStore store;
  ComputeSnowCell(p, cell.grids(), 1, 1, -3, 0.4, SnowStorePart::kOrdinary, 10, store, nullptr);
  ComputeSnowCell(p, cell.grids(), 1, 1, 1, 0.6, SnowStorePart::kOrdinary, 10, store, nullptr);
  const double extra = 0.5 * (0.4 * 10 + 0.6 * 5);
  EXPECT_DOUBLE_EQ(cell.water(1, 1), 10 + extra);
  EXPECT_DOUBLE_EQ(store.solid + store.liquid, 10 + extra);
  EXPECT_DOUBLE_EQ(store.solid, 0.4 * 15 + 0.6 * 7.5);
}

TEST(SnowCell, EveryCallClosesItsWaterBalance) {
  std::mt19937 random(26);
  std::uniform_real_distribution<double> u(0, 1);
  for (int method = 0; method <= 15; ++method) {
    for (int n = 0; n < 300; ++n) {
      SCOPED_TRACE(std::to_string(method) + " draw " + std::to_string(n));
      OneCell cell;
      cell.given_surface = n % 5 == 0;
      cell.surface(1, 1) = -20 + 20 * u(random);
      cell.wind(1, 1) = 8 * u(random);
      cell.vapour(1, 1) = 12 * u(random);
      cell.deposition(1, 1) = u(random) - 0.3;
      cell.humidity(1, 1) = u(random);
      cell.cloud(1, 1) = u(random);
      cell.radiation(1, 1) = 800 * u(random);
      cell.albedo(1, 1) = 0.4 + 0.5 * u(random);
      cell.elevation(1, 1) = 3000 * u(random);
      const double dt = n % 3 == 0 ? 1440 : 60;
      const double w = n % 3 == 0 ? u(random) : 1;
      SnowCellParameters p = Parameters(method, dt);
      p.heat_transfer = n % 7 == 0;
      const double P = n % 4 == 0 ? 0 : 20 * u(random);
      cell.water(1, 1) = P;
      const SnowStorePart part = n % 6 == 5 ? SnowStorePart::kGlacierPart : SnowStorePart::kOrdinary;
      if (part == SnowStorePart::kGlacierPart) {
        cell.snow(1, 1) = 5 * u(random);
        cell.rain(1, 1) = 5 * u(random);
      }
      SnowStore store{.solid = n % 8 == 0 ? 0 : 200 * u(random) * u(random),
                      .liquid = 10 * u(random) * u(random),
                      .pack_temperature = n % 2 == 0 ? 0 : 260 + 13 * u(random),
                      .surface_temperature = n % 2 == 0 ? kSnowNodata : 250 + 23 * u(random)};
      const double before = store.solid + store.liquid;
      const double T = -25 + 35 * u(random);
      const SnowCellResult r = ComputeSnowCell(p, cell.grids(), 1, 1, T, w, part, P, store, nullptr);
      const double added = w * (cell.snow(1, 1) + cell.rain(1, 1));
      EXPECT_NEAR(store.solid + store.liquid - before, added - store.evaporation, 1e-12 * (before + added + 1));
      EXPECT_DOUBLE_EQ(store.total, store.solid + store.liquid);
      EXPECT_GE(store.solid, 0);
      EXPECT_GE(store.liquid, 0);
      EXPECT_TRUE(std::isfinite(r.melt));
    }
  }
}

TEST(SnowCell, LayeredPackFollowsTheSolidStorage) {
  // Without heat transfer in the soil, every change of the solid storage (snowfall,
  // refreezing, sublimation, condensation) reaches the layered pack, so that its total
  // stays the solid storage; rain stays in the snow model's liquid storage.
  std::mt19937 random(7);
  std::uniform_real_distribution<double> u(0, 1);
  for (const int method : {1, 3, 5}) {
    constexpr int n = 3;
    Stack solid{1, 1, 1, n, 1}, liquid{1, 1, 1, n, 1}, thickness{1, 1, 1, n, 1}, density{1, 1, 1, n, 1};
    thickness.fill(kEmptySnowLevel);
    density.fill(kEmptySnowLevel);
    Grid upper{1, 1, 1, 1};
    upper(1, 1) = n + 1;
    const std::vector<double> max_thickness{0, 0.1, 0.1, 0.1};
    const std::vector<double> dry_density{0, 100, 100, 100};
    const LayeredSnow pack{solid.view(),
                           liquid.view(),
                           thickness.view(),
                           density.view(),
                           {},
                           upper.view(),
                           n,
                           max_thickness,
                           dry_density,
                           0};
    ChangeLayeredSnow(pack, 1, 1, 1, 2, -3);
    SnowStore store{.solid = 2};
    for (int step = 0; step < 200; ++step) {
      SCOPED_TRACE(std::to_string(method) + " step " + std::to_string(step));
      OneCell cell;
      cell.humidity(1, 1) = u(random);
      cell.wind(1, 1) = 5 * u(random);
      cell.cloud(1, 1) = u(random);
      cell.radiation(1, 1) = 300 * u(random);
      cell.albedo(1, 1) = 0.6;
      const double P = step % 3 == 0 ? 0 : 3 * u(random);
      store.liquid += step % 5 == 0 ? 1 : 0;
      ComputeSnowCell(Parameters(method), cell.grids(), 1, 1, -12 + 16 * u(random), 1, SnowStorePart::kOrdinary, P,
                      store, &pack);
      EXPECT_NEAR(solid(1, 1, 0), store.solid, 1e-9);
    }
  }
}

}  // namespace
}  // namespace tolvo::test
