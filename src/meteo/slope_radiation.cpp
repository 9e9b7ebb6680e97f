#include "meteo/slope_radiation.h"

#include <algorithm>
#include <cmath>

#include "framework/solar_geometry.h"

namespace tolvo {

SubStepClock MakeSubStepClock(double step_end_hours, double step_minutes, int n_sub_steps) {
  const int n = std::max(n_sub_steps, 1);
  return {step_end_hours, step_minutes / 60 / n, n};
}

SubStepDaylight DaylightOfSubStep(double sunrise, double sunset, double start, double end) {
  const double r = std::fmod(sunrise + 24, 24.0);
  const double o = std::fmod(sunset + 24, 24.0);
  const double length = end - start;
  SubStepDaylight light;
  light.night_before_sunrise = (start <= r && r < end) ? r - start : 0.0;
  double after_sunset = 0;
  if (o > r) {
    if (o > end && end > r) {
      after_sunset = 0;
    } else if (start < o && o < end) {
      after_sunset = end - o;
    } else {
      after_sunset = length;
    }
  } else if (o > end) {
    after_sunset = 0;
  } else if (o > start) {
    after_sunset = end - o;
  } else {
    after_sunset = r > end ? length : 0.0;
  }
  double v = length > 0 ? (light.night_before_sunrise + after_sunset) / length : 1.0;
  if (v > 1) v -= 1;
  light.night_fraction = v;
  if (v > 0.95) {
    light.night = true;
    light.night_fraction = 1;
    light.day_fraction = 0;
  } else {
    light.day_fraction = 1 - v;
    light.night = light.day_fraction < 0.05;
  }
  return light;
}

SubStepSun SunOfSubStep(const SubStepDaylight& light, double length, double azimuth, double elevation) {
  SubStepSun sun;
  if (light.night) return sun;
  sun.night = false;
  sun.azimuth = azimuth;
  sun.zenith = kSolarPi / 2 - elevation;
  sun.cos_zenith = std::cos(sun.zenith);
  if (elevation > 0.017) {
    sun.direct = 1367 * std::pow(0.86, 0.9 / sun.cos_zenith) * length * light.day_fraction;
  }
  return sun;
}

double IncidenceCosine(double aspect_deg, double slope_deg, double azimuth, double zenith) {
  return CosAngle(aspect_deg * kSolarPi / 180, slope_deg * kSolarPi / 180, azimuth, zenith);
}

double DirectRadiationOnSlope(const SubStepSun& sun, double aspect_deg, double slope_deg, double shadow,
                              bool sunshine_known, double sunshine) {
  if (sun.night || shadow >= 0.5) return 0.0;
  double k = std::max(IncidenceCosine(aspect_deg, slope_deg, sun.azimuth, sun.zenith), 0.0);
  if (k > 0 && sunshine_known && sunshine < 0.1) k = sun.cos_zenith;
  return sun.direct * std::min(k, 5 * sun.cos_zenith);
}

double ExposureCorrectedTemperature(double temperature, double factor, double scaling, double sunshine,
                                    bool any_direct_radiation) {
  if (factor > 0.2) return temperature + scaling * std::log(factor) * sunshine;
  return any_direct_radiation ? temperature - 1.6094 * scaling * sunshine : temperature;
}

}  // namespace tolvo
