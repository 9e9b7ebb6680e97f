#include "framework/solar_geometry.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace tolvo {
namespace {

constexpr double kDeg = kSolarPi / 180.0;
constexpr std::array<int, 13> kDaysPerMonth = {0, 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
// Equation of time in minutes at the first of each month; 0 is December, 13 January.
constexpr std::array<double, 14> kEquationOfTime = {11.3, -3.2, -13.6, -12.6, -4.2, 2.8, 2.5,
                                                    -3.5, -6.3, -0.3,  10,    16.4, 11.3, -3.2};

int DayOfYear(int day, int month) {
  int n = day;
  for (int m = 1; m < month && m <= 12; ++m) n += kDaysPerMonth[static_cast<std::size_t>(m)];
  return n;
}

}  // namespace

double SolarDeclination(int day, int month) {
  return -23.4 * std::cos((DayOfYear(day, month) + 10) / 58.09155423);
}

double EquationOfTime(int day, int month) {
  const double b = kDaysPerMonth[static_cast<std::size_t>(month)];
  return ((b - day + 1) / b) * kEquationOfTime[static_cast<std::size_t>(month)] / 60 +
         ((day - 1) / b) * kEquationOfTime[static_cast<std::size_t>(month) + 1] / 60;
}

double SunElevation(int day, int month, double latitude, double longitude, double reference_meridian, double hour) {
  const double delta = SolarDeclination(day, month);
  const double t = hour - (reference_meridian - longitude) / 15 + EquationOfTime(day, month);
  const double cos_z = std::sin(latitude * kDeg) * std::sin(delta * kDeg) +
                       std::cos(((12 - t) * 15 / 180) * kSolarPi) * std::cos(latitude * kDeg) * std::cos(delta * kDeg);
  // The elevation is the complement of the zenith angle, below the horizon too.
  const double z = std::acos(std::clamp(cos_z, -1.0, 1.0)) * 180 / kSolarPi;
  return 90 - z;
}

SunDirection SunPosition(int day, int month, const SolarSite& site, double hour) {
  const double phi = std::fmod(site.latitude, 360.0);
  const double lambda = std::fmod(site.longitude, 360.0);
  const double delta = SolarDeclination(day, month);
  const double t = std::fmod(hour - (site.reference_meridian - lambda) / 15 + EquationOfTime(day, month) + 24, 24.0);
  const double cos_h = std::cos(((12 - t) / 12) * kSolarPi);
  const double cos_z = std::cos(phi * kDeg) * std::cos(delta * kDeg) * cos_h + std::sin(phi * kDeg) * std::sin(delta * kDeg);
  const double sin_z = std::sqrt(std::max(0.0, 1 - cos_z * cos_z));
  // With the sun at the zenith every azimuth is the same: it is taken as south.
  const double a = sin_z > 0 ? (std::sin(delta * kDeg) * std::cos(phi * kDeg) -
                                cos_h * std::sin(phi * kDeg) * std::cos(delta * kDeg)) /
                                   sin_z
                             : -1.0;
  SunDirection sun{};
  sun.elevation = kSolarPi / 2 - std::acos(std::clamp(cos_z, -1.0, 1.0));
  sun.azimuth = (a <= -1 || a >= 1) ? 3.14159265359 : std::acos(a);
  if (t > 12) sun.azimuth = 6.28318530718 - sun.azimuth;
  return sun;
}

SunTimes SunriseSunset(int day, int month, const SolarSite& site) {
  const double phi = std::fmod(site.latitude, 360.0);
  const double lambda = std::fmod(site.longitude, 360.0);
  const double delta = SolarDeclination(day, month);
  const double x = (std::sin(phi * kDeg) / std::cos(phi * kDeg)) * std::sin(delta * kDeg) / std::cos(delta * kDeg);
  // x > 1: the sun does not set (polar day); x < -1: it does not rise (polar night).
  if (std::fabs(x) > 1) return {24, 0, x < -1};
  SunTimes times{6, 18};
  if (x != 0) {
    times.sunrise = (12 / kSolarPi) * std::acos(x);
    times.sunset = 24 - times.sunrise;
  }
  const double shift = (site.reference_meridian - lambda) / 15 - EquationOfTime(day, month);
  times.sunrise += shift;
  times.sunset += shift;
  return times;
}

DayNightSplit DayFraction(int day, int month, double hour, double hour_shift, double time_step_min,
                          const SolarSite& site) {
  const SunTimes sun = SunriseSunset(day, month, site);
  DayNightSplit split;
  split.sunrise = std::fmod(sun.sunrise + 24, 24.0);
  split.sunset = std::fmod(sun.sunset + 24, 24.0);
  const double rise = split.sunrise;
  const double set = split.sunset;
  const double e = hour + hour_shift;
  const double s = time_step_min <= 1440 ? e - time_step_min / 60 : e - 24;
  const double length = time_step_min > 1440 ? 24 : time_step_min / 60;

  split.night_before_sunrise = (s <= rise && rise < e) ? rise - s : 0;
  if (set > rise) {
    if (rise < e && e < set) {
      split.night_after_sunset = 0;
    } else if (s < set && set < e) {
      split.night_after_sunset = e - set;
    } else {
      split.night_after_sunset = time_step_min / 60;
    }
  } else {
    if (set > e) {
      split.night_after_sunset = 0;
    } else if (s < set && set <= e) {
      split.night_after_sunset = e - set;
    } else {
      split.night_after_sunset = e < rise ? time_step_min / 60 : 0;
    }
  }
  double w = (split.night_before_sunrise + split.night_after_sunset) / length;
  if (w > 1) w -= 1;
  if (sun.polar_night) w = 1;
  if (w > 0.95) {
    split.night_fraction = 1;
    split.day_fraction = 0;
    split.night_step = 1;
  } else {
    split.night_fraction = w;
    split.day_fraction = 1 - w;
    split.night_step = split.day_fraction < 0.05 ? 1 : 0;
  }
  return split;
}

}  // namespace tolvo
