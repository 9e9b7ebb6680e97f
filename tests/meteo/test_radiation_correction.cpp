#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "framework/solar_geometry.h"
#include "meteo/expokorrklasse.h"
#include "meteo/slope_radiation.h"
#include "meteo/terrain_shading.h"
#include "radiation_fixture.h"
#include "support/test_support.h"

namespace tolvo {
namespace {

constexpr double kDeg = kSolarPi / 180;

// Duffie and Beckman, Solar Engineering of Thermal Processes, Example 1.6.1: at 43° N on
// 13 February, 10:30 solar time, the sun stands at azimuth 154.76° (25.24° east of south)
// and zenith 60.57°; a surface tilted 45° facing 15° west of south sees it at an angle of
// incidence of 35.0° (cos 0.8176). With one sub-step the factor is that cosine over the
// horizontal one.
TEST(SlopeRadiation, IncidenceOnATiltedSurfaceFollowsTheTextbookExample) {
  const double k = IncidenceCosine(195, 45, 154.76 * kDeg, 60.57 * kDeg);
  EXPECT_NEAR(k, 0.8176, 0.0001);
  EXPECT_NEAR(std::acos(k) / kDeg, 35.0, 0.2);

  const SubStepDaylight day{.night_before_sunrise = 0, .night_fraction = 0, .day_fraction = 1, .night = false};
  const SubStepSun sun = SunOfSubStep(day, 1.0, 154.76 * kDeg, (90 - 60.57) * kDeg);
  const double factor = RadiationFactor(DirectRadiationOnSlope(sun, SurfaceNormal(195, 45), 0, false, 0), sun.horizontal());
  EXPECT_NEAR(factor, 1.664, 0.001);
}

TEST(SlopeRadiation, ShadeBackSideCloudAndGrazingSunLimitTheSlopesShare) {
  const SubStepDaylight day{.night_before_sunrise = 0, .night_fraction = 0, .day_fraction = 1, .night = false};
  // A low sun in the south, 30° high, and one grazing at 5°.
  const SubStepSun sun = SunOfSubStep(day, 1.0, 180 * kDeg, 30 * kDeg);
  const SubStepSun grazing = SunOfSubStep(day, 1.0, 180 * kDeg, 5 * kDeg);
  ASSERT_GT(sun.direct, 0);
  const struct {
    const char* label;
    const SubStepSun& sun;
    double aspect, slope, shadow;
    bool sunshine_known;
    double sunshine;
    double expected_share;  // of the horizontal radiation
  } cases[] = {
      {"flat and lit", sun, 0, 0, 0, false, 0, 1.0},
      {"shaded", sun, 0, 0, 1, false, 0, 0.0},
      {"steep slope facing away", sun, 0, 60, 0, false, 0, 0.0},
      {"cloudy: horizontal value", sun, 180, 40, 0, true, 0.05, 1.0},
      {"sunny enough: slope value", sun, 180, 40, 0, true, 0.1, std::cos(20 * kDeg) / std::cos(60 * kDeg)},
      {"grazing sun capped at five times", grazing, 180, 80, 0, false, 0, 5.0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const double share = DirectRadiationOnSlope(c.sun, SurfaceNormal(c.aspect, c.slope), c.shadow, c.sunshine_known,
                                               c.sunshine) /
                         c.sun.horizontal();
    EXPECT_NEAR(share, c.expected_share, 1e-9);
  }
  // The sun too low for direct radiation, and night.
  EXPECT_EQ(SunOfSubStep(day, 1.0, 0, 0.017).direct, 0);
  EXPECT_TRUE(SunOfSubStep({.night = true}, 1.0, 0, 0.5).night);
}

TEST(SlopeRadiation, SubStepsCoverTheStepExactly) {
  const struct {
    double step_end, minutes;
    int n;
  } cases[] = {{13, 60, 4}, {24, 1, 1}, {12, 1440, 24}, {7.5, 30, 3}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.minutes);
    const SubStepClock clock = MakeSubStepClock(c.step_end, c.minutes, c.n);
    ASSERT_EQ(clock.count, c.n);
    EXPECT_NEAR(clock.centre(0) - clock.length / 2, c.step_end - c.minutes / 60, 1e-12);
    EXPECT_NEAR(clock.centre(c.n - 1) + clock.length / 2, c.step_end, 1e-12);
  }
}

TEST(SlopeRadiation, DaylightOfSubStepsAroundSunriseAndSunset) {
  // Sunrise at 5.5 h, sunset at 20.25 h.
  const struct {
    const char* label;
    double start, end;
    bool night;
    double night_fraction;
  } cases[] = {
      {"before sunrise", 3, 4, true, 1},
      {"sunrise in the middle", 5, 6, false, 0.5},
      {"midday", 12, 13, false, 0},
      {"sunset a quarter in", 20, 21, false, 0.75},
      {"a short sub-step at sunrise", 5.48, 5.52, false, 0.5},
      {"only 2 % daylight", 20.245, 20.495, true, 1},
      {"after sunset", 22, 23, true, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const SubStepDaylight light = DaylightOfSubStep(5.5, 20.25, c.start, c.end);
    EXPECT_EQ(light.night, c.night);
    EXPECT_NEAR(light.night_fraction, c.night_fraction, 1e-9);
    if (!c.night) {
      EXPECT_NEAR(light.day_fraction, 1 - c.night_fraction, 1e-9);
    }
  }
}

TEST(SlopeRadiation, TemperatureFollowsTheLogarithmOfTheFactor) {
  EXPECT_NEAR(ExposureCorrectedTemperature(10, 2, 3, 0.5, true), 10 + 3 * std::log(2) * 0.5, 1e-12);
  EXPECT_NEAR(ExposureCorrectedTemperature(10, 0.2, 3, 0.5, true), 10 - 1.6094 * 3 * 0.5, 1e-12);
  EXPECT_NEAR(ExposureCorrectedTemperature(10, 0, 3, 0.5, true), 10 - 1.6094 * 3 * 0.5, 1e-12);
  EXPECT_EQ(ExposureCorrectedTemperature(10, 0, 3, 0.5, false), 10);
}

// A ridge one cell high across the grid, and a low sun straight behind it: the cell in
// its shadow is shaded, the cells further on are lit again, and a cell outside the
// basin keeps its value. Row-wise walk (sun in the south) and column-wise walk (sun in
// the east). Hand-worked: the shadow sinks by tan 30° x 100 m = 57.7 m per cell.
TEST(TerrainShading, ARidgeShadesTheCellBehindIt) {
  const double nodata = -9999;
  const struct {
    const char* label;
    double azimuth;
    std::vector<std::vector<double>> dem;
    std::vector<std::vector<double>> expected;
  } cases[] = {
      {"sun in the south",
       kSolarPi,
       {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}, {0, 0, 0}, {100, 100, 100}, {0, 0, 0}},
       {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}, {1, 1, 7}, {0, 0, 0}, {0, 0, 0}}},
      {"sun in the east",
       kSolarPi / 2,
       {{0, 0, 100, 0}, {0, 0, 100, 0}, {0, 0, 100, 0}},
       {{0, 1, 0, 0}, {0, 1, 0, 0}, {7, 1, 0, 0}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const Grid dem = test::GridOf(c.dem);
    Grid zone = test::GridOf(c.dem);
    Grid shadow = test::GridOf(c.dem);
    const int nrows = static_cast<int>(c.dem.size());
    const int ncols = static_cast<int>(c.dem[0].size());
    for (int r = 1; r <= nrows; ++r) {
      for (int c2 = 1; c2 <= ncols; ++c2) {
        const bool outside = c.expected[r - 1][c2 - 1] == 7;
        zone(r, c2) = outside ? nodata : 1;
        shadow(r, c2) = outside ? 7 : 0.5;
      }
    }
    std::vector<double> heights(static_cast<std::size_t>(ncols) + 1);
    ShadeTerrain(dem.view(), zone.view(), nodata, 100, {c.azimuth, 30 * kDeg}, shadow.view(), heights);
    for (int r = 1; r <= nrows; ++r) {
      for (int c2 = 1; c2 <= ncols; ++c2) {
        // The sun-facing edge cells start the walks and are never marked.
        const bool edge = (c.azimuth == kSolarPi && r == nrows) || (c.azimuth < kSolarPi && c2 == ncols);
        EXPECT_EQ(shadow(r, c2), edge ? 0.5 : c.expected[r - 1][c2 - 1]) << r << "," << c2;
      }
    }
  }
}

class RadiationCorrectionTest : public test::LogFixture {
 protected:
  test::RadiationBasin Basin(const test::RadiationTerrain& terrain = {}, bool sunshine = false) {
    return test::RadiationBasin(log_, dir_, terrain, {1, terrain.nrows}, {1, terrain.nrows}, nullptr, sunshine);
  }
};

TEST_F(RadiationCorrectionTest, SwitchDecidesWhatIsRegisteredAndHandedOn) {
  const struct {
    int module_switch;
    int minutes;
    bool factor_grid, handed_on, night_grid;
  } cases[] = {{0, 1440, false, false, true}, {0, 60, false, false, false}, {1, 60, true, true, false},
               {2, 1440, true, false, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.module_switch);
    test::RadiationBasin basin = Basin();
    ASSERT_EQ(basin.Build(c.module_switch, c.minutes, test::RadiationSettings(2)), 0);
    EXPECT_EQ(!basin.Values("radiation_correction").empty(), c.factor_grid);
    EXPECT_EQ(!basin.Values("Shadow").empty(), c.factor_grid);
    EXPECT_EQ(!basin.Values("corr_temperature").empty(), c.factor_grid);
    EXPECT_EQ(!basin.model().CorrectedRadiation().empty(), c.handed_on);
    EXPECT_EQ(!basin.Values("temperature_night").empty(), c.night_grid);
    if (c.night_grid) {
      basin.SetTemperature(4);
      basin.model().RunStep(12, 21, 6, 2020);
      EXPECT_EQ(basin.Values("temperature_night")(2, 2), 4);
    }
    basin.model().DeleteModule();
    EXPECT_TRUE(basin.Values("temperature_night").empty());
  }
}

TEST_F(RadiationCorrectionTest, MethodsOutsideTheRangeWorkAsMethodTwoAndSubStepsMustBePositive) {
  test::RadiationBasin basin = Basin();
  ASSERT_EQ(basin.Build(1, 60, test::RadiationSettings(7)), 0);
  EXPECT_EQ(basin.model().section_settings().method, RadiationCorrectionMethod::kShadingAndTemperature);
  EXPECT_FALSE(basin.Values("corr_temperature").empty());
  test::RadiationBasin no_temperature_correction = Basin();
  ASSERT_EQ(no_temperature_correction.Build(1, 60, test::RadiationSettings(3)), 0);
  EXPECT_TRUE(no_temperature_correction.Values("corr_temperature").empty());
  test::RadiationBasin no_sub_steps = Basin();
  EXPECT_EQ(no_sub_steps.Build(1, 60, test::RadiationSettings(2, 1, 0)), kMissingControlItem);
}

TEST_F(RadiationCorrectionTest, AStepInTheNightGivesNoRadiationAndLeavesTheTemperature) {
  test::RadiationTerrain terrain;
  terrain.slope = [](int, int c) { return 10.0 * c; };
  test::RadiationBasin basin = Basin(terrain);
  ASSERT_EQ(basin.Build(1, 60, test::RadiationSettings(2)), 0);
  basin.SetTemperature(7.5);
  basin.model().RunStep(2, 21, 6, 2020);
  for (int r = 1; r <= terrain.nrows; ++r) {
    for (int c = 1; c <= terrain.ncols; ++c) {
      EXPECT_EQ(basin.Values("radiation_correction")(r, c), 0);
      EXPECT_EQ(basin.Values("Ieff_max")(r, c), 0);
      EXPECT_EQ(basin.Values("corr_temperature")(r, c), 7.5);
      EXPECT_EQ(basin.Values("Shadow")(r, c), 0);
    }
  }
}

// A run without meteorological input has steps without a date: no sun position can be
// found, and the radiation is left as it is.
TEST_F(RadiationCorrectionTest, AStepWithoutADateLeavesTheRadiationUncorrected) {
  test::RadiationTerrain terrain;
  terrain.slope = [](int, int) { return 30.0; };
  test::RadiationBasin basin = Basin(terrain);
  ASSERT_EQ(basin.Build(1, 60, test::RadiationSettings(2)), 0);
  basin.SetTemperature(6);
  basin.model().RunStep(-9999, -9999, -9999, -9999);
  EXPECT_EQ(basin.Values("radiation_correction")(2, 2), 1);
  EXPECT_EQ(basin.Values("corr_temperature")(2, 2), 6);
  EXPECT_EQ(basin.Values("Ieff_max")(2, 2), 0);
  EXPECT_TRUE(Logged("the steps of this run carry no date"));
}

// At noon of midsummer at 47° N the sun stands 66.5° high in the south: a flat cell gets
// a factor of 1, a south slope more, a north slope less.
TEST_F(RadiationCorrectionTest, SlopesFacingTheSunGainAndFlatCellsKeepTheHorizontalValue) {
  test::RadiationTerrain terrain;
  terrain.aspect = [](int, int c) { return c == 3 ? 0.0 : 180.0; };
  terrain.slope = [](int, int c) { return c == 1 ? 0.0 : 30.0; };
  test::RadiationBasin basin = Basin(terrain, true);
  ASSERT_EQ(basin.Build(1, 60, test::RadiationSettings(2, 1, 4, 2)), 0);
  basin.model().RunStep(13, 21, 6, 2020);
  const GridView factor = basin.Values("radiation_correction");
  const GridView ieff = basin.Values("Ieff_max");
  const GridView corrected = basin.Values("corr_temperature");
  for (int r = 1; r <= terrain.nrows; ++r) {
    EXPECT_NEAR(factor(r, 1), 1.0, 1e-12);
    EXPECT_GT(factor(r, 2), 1.0);
    EXPECT_LT(factor(r, 3), 1.0);
    EXPECT_GT(ieff(r, 1), 0);
    EXPECT_NEAR(ieff(r, 2) / ieff(r, 1), factor(r, 2), 1e-12);
    EXPECT_NEAR(corrected(r, 2), 10 + 2 * std::log(factor(r, 2)) * 0.8, 1e-12);
  }
}

// Computing every third step: in between, the factors stay while the corrected
// temperature follows the current temperature with the last correction term; it never
// corrects a corrected value again.
TEST_F(RadiationCorrectionTest, CorrectedTemperatureFollowsTheTemperatureBetweenComputedSteps) {
  test::RadiationTerrain terrain;
  terrain.slope = [](int, int) { return 30.0; };
  test::RadiationBasin basin = Basin(terrain);
  ASSERT_EQ(basin.Build(1, 60, test::RadiationSettings(2, 3, 2, 2)), 0);
  basin.SetTemperature(10);
  basin.model().RunStep(13, 21, 6, 2020);
  const double factor = basin.Values("radiation_correction")(2, 2);
  const double term = 2 * std::log(factor) * 0.5;
  ASSERT_GT(std::fabs(term), 0.01);
  EXPECT_NEAR(basin.Values("corr_temperature")(2, 2), 10 + term, 1e-12);
  for (const double t : {12.0, 15.0}) {
    basin.SetTemperature(t);
    basin.model().RunStep(t == 12 ? 14 : 15, 21, 6, 2020);
    EXPECT_EQ(basin.Values("radiation_correction")(2, 2), factor);
    EXPECT_NEAR(basin.Values("corr_temperature")(2, 2), t + term, 1e-12);
  }
  basin.SetTemperature(20);
  basin.model().RunStep(2, 22, 6, 2020);  // computed again, in the night
  EXPECT_EQ(basin.Values("radiation_correction")(2, 2), 0);
  EXPECT_EQ(basin.Values("corr_temperature")(2, 2), 20);
}

}  // namespace
}  // namespace tolvo
