#pragma once
// Solar geometry of a site: declination, equation of time, the sun's elevation and
// azimuth, the angle between two directions, sunrise and sunset, and the split of a time
// step into day and night. Hours are local clock hours of the meteorological data;
// latitude and longitude are degrees (north and east positive).

#include <cmath>

namespace tolvo {

// The value of pi the model has always used for its solar geometry (not full precision).
inline constexpr double kSolarPi = 3.141592653;

struct SolarSite {
  double latitude = 0;            // degrees
  double longitude = 0;           // degrees
  double reference_meridian = 0;  // degrees of the time zone of the data
};

// Declination in degrees for a day of a month (non-leap days-per-month table).
double SolarDeclination(int day, int month);
// Equation of time in hours, interpolated between the firsts of the month and the next.
double EquationOfTime(int day, int month);
// Elevation of the sun in degrees at the hour; negative below the horizon.
double SunElevation(int day, int month, double latitude, double longitude, double reference_meridian, double hour);

struct SunDirection {
  double azimuth;    // radians from north through east
  double elevation;  // radians
};
SunDirection SunPosition(int day, int month, const SolarSite& site, double hour);

// Cosine of the angle between two directions given by azimuth and zenith (radians).
inline double CosAngle(double azimuth1, double zenith1, double azimuth2, double zenith2);

struct SunTimes {
  double sunrise;            // hours
  double sunset;             // hours
  bool polar_night = false;  // the sun stays below the horizon all day
};
// Local sunrise and sunset; 24 and 0 where the sun does not cross the horizon that day
// (polar day and polar night alike; polar_night tells them apart).
SunTimes SunriseSunset(int day, int month, const SolarSite& site);

struct DayNightSplit {
  double sunrise = 0;             // hours, 0..24
  double sunset = 0;              // hours, 0..24
  double night_before_sunrise = 0;  // hours of the step
  double night_after_sunset = 0;    // hours of the step
  double night_fraction = 0;        // 0..1
  double day_fraction = 0;          // 0..1
  int night_step = 0;               // 1 when the step is (nearly) all night
};
// Day and night within the step that ends at hour + hour_shift and lasts time_step_min.
DayNightSplit DayFraction(int day, int month, double hour, double hour_shift, double time_step_min,
                          const SolarSite& site);

inline double CosAngle(double azimuth1, double zenith1, double azimuth2, double zenith2) {
  return std::cos(azimuth2 - azimuth1) * std::sin(zenith1) * std::sin(zenith2) +
         std::cos(zenith1) * std::cos(zenith2);
}

}  // namespace tolvo
