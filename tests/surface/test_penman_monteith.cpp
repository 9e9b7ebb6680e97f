#include "surface/penman_monteith.h"

#include <gtest/gtest.h>

#include <cmath>

#include "surface/vapour_pressure.h"

namespace tolvo {
namespace {

TEST(PenmanMonteithTest, SurfaceAndAerodynamicResistances) {
  const struct {
    const char* label;
    CanopyLayer layer;
    bool day;
    double rs;
  } cases[] = {
      {"day: rsc/(1 - 0.6^3)", {.lai = 3, .vcf = 1, .rsc_sm = 60}, true, 76.53},
      {"night: 1/(4e-4·3)", {.lai = 3, .vcf = 1, .rsc_sm = 60}, false, 833.33},
      {"no leaves", {.lai = 0, .vcf = 1, .rsc_sm = 100}, true, 2500},
      {"leaves without canopy resistance", {.lai = 2, .vcf = 1, .rsc_sm = 0}, false, 0},
      {"open water", {.lai = 0, .vcf = 0, .rsc_sm = 0, .open_water = true}, false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_NEAR(SurfaceResistance(c.layer, c.day), c.rs, 0.01);
  }
  EXPECT_NEAR(AerodynamicResistance(2.5, 2), 12.02, 0.005);
  EXPECT_NEAR(AerodynamicResistance(0.1, 2), 63.70, 0.005);
}

// Allen et al. (1998), FAO-56, Example 19: hourly reference evapotranspiration at
// N'Diaye (Senegal) on 1 October, 14-15 h: T 38 °C, ea 3.445 kPa, u2 3.3 m/s, Rn - G
// 1.574 MJ/m² (437.2 Wh/m²), 101.2 kPa; the reference grass with rs 70 s/m and ra 208/u2,
// here a roughness length of 0.0451 m. ET0 = 0.63 mm/h. A dense canopy (LAI 40) takes
// all the energy.
TEST(PenmanMonteithTest, ReproducesTheFaoHourlyExample) {
  const PenmanMonteithWeather weather{
      .t_c = 38, .p_hpa = 1012, .e_hpa = 34.45, .wind_ms = 3.3, .net_radiation = 437.2, .net_radiation_mode = true};
  const CanopyLayer grass{.lai = 40, .vcf = 1, .rsc_sm = 70, .z0_m = 0.0451, .ri_sm = 0, .rse_sm = 100};
  CanopyAccumulators acc;
  const PenmanMonteithResult r = PenmanMonteithCell(1, grass, weather, {.day = true, .fraction = 1, .step_min = 60}, acc);
  EXPECT_NEAR(acc.ra, 208 / 3.3, 0.3);
  EXPECT_NEAR(r.transpiration, 0.638, 0.005);
  // Intercepted water evaporates without surface resistance: more than the transpiration.
  EXPECT_GT(r.interception, r.transpiration);
  EXPECT_NEAR(acc.day_energy, 437.2 / LatentHeatWhPerMm(38) * std::exp(-0.3 * 40), 1e-12);
}

TEST(PenmanMonteithTest, EnergyPassesDownTheLayersAndIsCountedOnce) {
  const PenmanMonteithWeather weather{.t_c = 15, .p_hpa = 1000, .e_hpa = 10, .wind_ms = 2, .relative_sunshine = 0.5,
                                      .net_shortwave = 3000, .diffuse_fraction = 0.2};
  const CanopyLayer upper{.lai = 4, .vcf = 0.8, .rsc_sm = 80, .z0_m = 1, .ri_sm = 5, .rse_sm = 200, .bottom = false};
  CanopyLayer lower{.lai = 2, .vcf = 1, .rsc_sm = 60, .z0_m = 0.05, .ri_sm = 5, .rse_sm = 200};
  const StepPart day{.day = true, .fraction = 0.6, .step_min = 1440};
  const StepPart night{.day = false, .fraction = 0.4, .step_min = 1440};

  CanopyAccumulators acc;
  const PenmanMonteithResult n1 = PenmanMonteithCell(1, upper, weather, night, acc);
  const PenmanMonteithResult d1 = PenmanMonteithCell(1, upper, weather, day, acc);
  EXPECT_EQ(n1.soil, 0);  // an upper layer yields no soil evaporation
  EXPECT_EQ(d1.soil, 0);
  // The long-wave loss at night leaves nothing for the layers below.
  EXPECT_EQ(acc.night_energy, 0);
  const double lambda = LatentHeatWhPerMm(15);
  const double longwave = (0.48 - 0.065 * std::sqrt(10.0)) * (0.2 + 0.8 * 0.5) * 0.6 * 5.67e-8 * 24 * std::pow(288.15, 4);
  const double h = 0.9 * (3000 - longwave) / lambda;
  EXPECT_NEAR(acc.day_energy, h * (1 - 0.8 * (1 - std::exp(-0.3 * 4))), 1e-12);
  const double ra_top = acc.ra;
  EXPECT_NEAR(ra_top, AerodynamicResistance(1, 2), 1e-12);

  acc.leaf_area_above = 4;
  const double before = acc.day_energy;
  const PenmanMonteithResult d2 = PenmanMonteithCell(2, lower, weather, day, acc);
  EXPECT_NEAR(acc.day_energy, before * std::exp(-0.3 * 2), 1e-12);
  EXPECT_EQ(acc.ra, ra_top);  // a lower layer keeps the top layer's resistance
  EXPECT_GT(d2.soil, 0);

  // Open water takes the energy of the layer and of the ground as evaporation.
  lower = {.z0_m = 0.001, .open_water = true};
  CanopyAccumulators water;
  const PenmanMonteithResult w = PenmanMonteithCell(1, lower, weather, day, water);
  EXPECT_EQ(w.interception, 0);
  EXPECT_EQ(w.soil, 0);
  EXPECT_GT(w.transpiration, 0);
}

TEST(PenmanMonteithTest, NetRadiationIsSharedBetweenDayAndNight) {
  PenmanMonteithWeather weather{.t_c = 10, .p_hpa = 1013, .e_hpa = 12.27, .wind_ms = 0, .net_radiation = 3000,
                                .net_radiation_mode = true};
  // Saturated air: no aerodynamic term, so the energy term alone shows the share.
  weather.e_hpa = SaturationVapourPressure(10);
  const CanopyLayer open{.lai = 0, .vcf = 0, .rsc_sm = 0, .z0_m = 0.01, .open_water = true};
  CanopyAccumulators acc;
  const double night = PenmanMonteithCell(1, open, weather, {.day = false, .fraction = 0.25, .step_min = 1440}, acc)
                           .transpiration;
  const double day = PenmanMonteithCell(1, open, weather, {.day = true, .fraction = 0.75, .step_min = 1440}, acc)
                         .transpiration;
  const double d = SaturationSlope(10) / PsychrometricConstant(1013, 10);
  EXPECT_NEAR(night + day, d / (d + 1) * 3000 / LatentHeatWhPerMm(10), 1e-9);
}

}  // namespace
}  // namespace tolvo
