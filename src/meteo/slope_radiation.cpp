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
  sun.direction = SunVector(azimuth, sun.zenith);
  if (elevation > 0.017) {
    sun.direct = 1367 * std::pow(0.86, 0.9 / sun.cos_zenith) * length * light.day_fraction;
  }
  return sun;
}

UnitVector SurfaceNormal(double aspect_deg, double slope_deg) {
  const double aspect = aspect_deg * kSolarPi / 180;
  const double slope = slope_deg * kSolarPi / 180;
  return {std::sin(slope) * std::sin(aspect), std::sin(slope) * std::cos(aspect), std::cos(slope)};
}

UnitVector SunVector(double azimuth, double zenith) {
  return {std::sin(zenith) * std::sin(azimuth), std::sin(zenith) * std::cos(azimuth), std::cos(zenith)};
}

double IncidenceCosine(double aspect_deg, double slope_deg, double azimuth, double zenith) {
  return IncidenceCosine(SurfaceNormal(aspect_deg, slope_deg), SunVector(azimuth, zenith));
}

double ExposureCorrectedTemperature(double temperature, double factor, double scaling, double sunshine,
                                    bool any_direct_radiation) {
  if (factor > 0.2) return temperature + scaling * std::log(factor) * sunshine;
  return any_direct_radiation ? temperature - 1.6094 * scaling * sunshine : temperature;
}

}  // namespace tolvo
