#include "framework/solar_geometry.h"

#include <gtest/gtest.h>

#include <cmath>

namespace tolvo {
namespace {

TEST(SolarGeometry, DeclinationAndEquationOfTime) {
  EXPECT_NEAR(SolarDeclination(1, 1), -23.4 * std::cos(11 / 58.09155423), 1e-12);
  EXPECT_NEAR(SolarDeclination(1, 1), -23.0, 0.1);
  // Day of year counts the days of the earlier months: 1 March is day 60.
  EXPECT_NEAR(SolarDeclination(1, 3), -23.4 * std::cos(70 / 58.09155423), 1e-12);
  EXPECT_NEAR(EquationOfTime(1, 5), 2.8 / 60, 1e-12);
  EXPECT_NEAR(EquationOfTime(31, 1), (1.0 / 31) * -3.2 / 60 + (30.0 / 31) * -13.6 / 60, 1e-12);
  EXPECT_NEAR(EquationOfTime(1, 12), 11.3 / 60, 1e-12);
}

TEST(SolarGeometry, SunriseSunsetAndPolarDays) {
  // A latitude beyond the polar circle in midwinter: the sun does not rise.
  const SunTimes polar = SunriseSunset(21, 12, {80, 10, 15});
  EXPECT_EQ(polar.sunrise, 24);
  EXPECT_EQ(polar.sunset, 0);
  // At the equator tan(phi) is 0: 6 and 18 before the shift to local time.
  const SolarSite equator{0, 15, 15};
  const SunTimes t = SunriseSunset(10, 4, equator);
  EXPECT_NEAR(t.sunrise, 6 - EquationOfTime(10, 4), 1e-12);
  EXPECT_NEAR(t.sunset, 18 - EquationOfTime(10, 4), 1e-12);
  // Mid-latitude summer: days are longer than nights, symmetric about solar noon.
  const SunTimes summer = SunriseSunset(21, 6, {50, 15, 15});
  EXPECT_LT(summer.sunrise, 5);
  EXPECT_NEAR(summer.sunrise + summer.sunset, 24 - 2 * EquationOfTime(21, 6), 1e-9);
}

TEST(SolarGeometry, SunPositionAndAngles) {
  const SolarSite site{47, 15, 15};
  // Near solar noon the sun stands close to south, highest on the day.
  const double noon = 12 - EquationOfTime(21, 6);
  const SunDirection at_noon = SunPosition(21, 6, site, noon);
  EXPECT_NEAR(at_noon.azimuth, kSolarPi, 1e-3);
  EXPECT_NEAR(at_noon.elevation * 180 / kSolarPi, 90 - 47 + SolarDeclination(21, 6), 0.01);
  EXPECT_NEAR(SunElevation(21, 6, 47, 15, 15, noon), 90 - 47 + SolarDeclination(21, 6), 0.01);
  EXPECT_LT(SunPosition(21, 6, site, 9).azimuth, kSolarPi);  // morning: east of south
  EXPECT_GT(SunPosition(21, 6, site, 15).azimuth, kSolarPi);  // afternoon: west of south
  EXPECT_NEAR(CosAngle(0, 0.3, 1, 0.3), 1.0 - std::sin(0.3) * std::sin(0.3) * (1 - std::cos(1.0)), 1e-12);
  EXPECT_NEAR(CosAngle(0.5, 0.7, 0.5, 0.7), 1.0, 1e-12);
}

TEST(SolarGeometry, DayFractionOfSteps) {
  const SolarSite equator{0, 15, 15};
  const double shift = -EquationOfTime(10, 4);  // sunrise at 6 + shift, sunset at 18 + shift
  const struct {
    double hour;
    double step_min;
    double night;
    int night_step;
  } cases[] = {
      {12 + shift, 60, 0, 0},       // midday hour
      {2, 60, 1, 1},                // hour well before sunrise
      {24, 1440, 0.5, 0},           // daily step: half night
      {24, 2880, 0.5, 0},           // longer than a day: still 24-hour length
      {6.5 + shift, 60, 0.5, 0},    // sunrise half way through the hour
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.hour);
    const DayNightSplit split = DayFraction(10, 4, c.hour, 0, c.step_min, equator);
    EXPECT_NEAR(split.night_fraction, c.night, 1e-9);
    EXPECT_NEAR(split.day_fraction, 1 - c.night, 1e-9);
    EXPECT_EQ(split.night_step, c.night_step);
  }
}

// Reference values: the declination at the solstices of 2020 from the NOAA solar
// calculator (after Meeus, Astronomical Algorithms), 23.44 degrees; the culmination
// elevations 90 - phi + delta and phi + delta - 90 and the sunrise hour angle
// acos(-tan(phi) tan(delta)) of spherical astronomy (Iqbal, An Introduction to Solar
// Radiation, 1983, ch. 1), evaluated with the model's own declination.
TEST(SolarGeometry, AgreesWithPublishedReferences) {
  EXPECT_NEAR(SolarDeclination(21, 6), 23.44, 0.05);
  EXPECT_NEAR(SolarDeclination(21, 12), -23.44, 0.05);

  const SolarSite site{47.5, 15, 15};
  for (const auto& [day, month] : {std::pair{21, 6}, std::pair{21, 12}, std::pair{15, 3}}) {
    SCOPED_TRACE(month);
    const double delta = SolarDeclination(day, month);
    const double noon = 12 - EquationOfTime(day, month);
    EXPECT_NEAR(SunElevation(day, month, 47.5, 15, 15, noon), 90 - 47.5 + delta, 0.05);
    // At solar midnight the sun stands below the horizon: the elevation is negative.
    EXPECT_NEAR(SunElevation(day, month, 47.5, 15, 15, noon + 12), 47.5 + delta - 90, 0.05);
    const double omega = std::acos(-std::tan(47.5 * kSolarPi / 180) * std::tan(delta * kSolarPi / 180));
    const SunTimes t = SunriseSunset(day, month, site);
    EXPECT_NEAR(t.sunrise, noon - omega * 12 / kSolarPi, 0.05 / 15);
    EXPECT_NEAR(t.sunset, noon + omega * 12 / kSolarPi, 0.05 / 15);
    // Azimuth at sunrise: cos A = sin(delta) / cos(phi) for the sun on the horizon.
    const SunDirection rise = SunPosition(day, month, site, t.sunrise);
    EXPECT_NEAR(std::cos(rise.azimuth), std::sin(delta * kSolarPi / 180) / std::cos(47.5 * kSolarPi / 180), 1e-3);
  }
}

TEST(SolarGeometry, PolarDaysZenithAndNights) {
  // Polar night: the whole step is night. Polar day: the whole step is day.
  const DayNightSplit night = DayFraction(21, 12, 12, 0, 60, {80, 15, 15});
  EXPECT_EQ(night.night_fraction, 1);
  EXPECT_EQ(night.night_step, 1);
  const DayNightSplit day = DayFraction(21, 6, 12, 0, 60, {80, 15, 15});
  EXPECT_EQ(day.day_fraction, 1);
  EXPECT_EQ(day.sunrise, 0);
  // The sun in the zenith still has a defined direction.
  const double delta = SolarDeclination(21, 6);
  const SunDirection zenith = SunPosition(21, 6, {delta, 15, 15}, 12 - EquationOfTime(21, 6));
  EXPECT_TRUE(std::isfinite(zenith.azimuth));
  EXPECT_NEAR(zenith.elevation, kSolarPi / 2, 1e-6);
}

}  // namespace
}  // namespace tolvo
