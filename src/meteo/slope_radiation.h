#pragma once
// Clear-sky direct radiation on sloped cells, the kernels of the radiation correction.
//
// A step of dt minutes that ends at hour T_end is split into n sub-steps of L = dt/60/n
// hours. For each sub-step the dark part before sunrise and after sunset is found, and
// for its daylight part the sun's position gives the direct clear-sky radiation on a
// horizontal surface, 1367 W/m² attenuated by an atmospheric transmittance of 0.86 over
// 0.9 air masses per cosine of the zenith angle (Wh/m² over the sub-step's daylight).
// A cell receives that radiation times the cosine of the angle of incidence on its
// surface (slope and aspect), none while the terrain shades it, and at most five times
// the horizontal value so that grazing sun on steep slopes stays bounded. The ratio of
// the sums over the step is the radiation correction factor of the cell; from it an
// air temperature corrected for exposure follows.

#include <algorithm>

namespace tolvo {

// Where the sub-steps of a step lie: centres t_i = T_end - dt/60 + (i + 0.5) L, i = 0..n-1
// (hours of the day, may leave 0..24).
struct SubStepClock {
  double step_end = 0;  // hours
  double length = 0;    // hours of one sub-step
  int count = 1;
  double centre(int i) const { return step_end - count * length + (i + 0.5) * length; }
};
SubStepClock MakeSubStepClock(double step_end_hours, double step_minutes, int n_sub_steps);

// The dark and light part of the sub-step [start, end] (hours) for the day's sunrise and
// sunset (hours, brought into 0..24 here).
struct SubStepDaylight {
  double night_before_sunrise = 0;  // hours
  double night_fraction = 0;        // 0..1
  double day_fraction = 0;          // 0..1; 0 at night
  bool night = false;               // less than 5 % of the sub-step is daylight
};
SubStepDaylight DaylightOfSubStep(double sunrise, double sunset, double start, double end);

// A unit vector in east, north and up components.
struct UnitVector {
  double east = 0;
  double north = 0;
  double up = 1;
};
// The outward normal of a surface of the aspect (degrees clockwise from north) and slope
// (degrees); constant over a run, so that the cells compute it once.
UnitVector SurfaceNormal(double aspect_deg, double slope_deg);
// The direction towards the sun at the azimuth (radians clockwise from north) and zenith.
UnitVector SunVector(double azimuth, double zenith);

// The sun of one sub-step as the cells use it.
struct SubStepSun {
  bool night = true;
  double azimuth = 0;     // radians, clockwise from north
  double zenith = 0;      // radians
  double cos_zenith = 0;  // cosine of the zenith
  double direct = 0;      // Wh/m² of direct radiation on a surface normal to the beam
                          // over the sub-step's daylight ("Ieff")
  UnitVector direction;   // towards the sun
  double horizontal() const { return direct * cos_zenith; }
};
// The sun of a sub-step of `length` hours with the given daylight and the sun's azimuth
// and elevation (radians) at the middle of its daylight. A sun at or below 0.017 radians
// gives no direct radiation.
SubStepSun SunOfSubStep(const SubStepDaylight& light, double length, double azimuth, double elevation);

// Cosine of the angle of incidence of the sun on a surface: the scalar product of the two
// directions, cos(A - aspect) sin Z sin slope + cos Z cos slope (Duffie and Beckman, Solar
// Engineering of Thermal Processes, eq. 1.6.3).
inline double IncidenceCosine(const UnitVector& normal, const UnitVector& sun) {
  return normal.east * sun.east + normal.north * sun.north + normal.up * sun.up;
}
double IncidenceCosine(double aspect_deg, double slope_deg, double azimuth, double zenith);

// Direct radiation (Wh/m²) the cell with the surface normal receives in the sub-step:
// none at night, in shade (shadow >= 0.5) or with the sun behind the surface; the
// horizontal value under cloud (a known relative sunshine below 0.1); never more than
// five times the horizontal value.
inline double DirectRadiationOnSlope(const SubStepSun& sun, const UnitVector& normal, double shadow,
                                     bool sunshine_known, double sunshine) {
  if (sun.night || shadow >= 0.5) return 0.0;
  double k = std::max(IncidenceCosine(normal, sun.direction), 0.0);
  if (k > 0 && sunshine_known && sunshine < 0.1) k = sun.cos_zenith;
  return sun.direct * std::min(k, 5 * sun.cos_zenith);
}

// The correction factor of a cell from its sum on the slope and the horizontal sum of the
// step (Wh/m²); 0 when the step has no direct radiation.
inline double RadiationFactor(double on_slope, double horizontal) {
  return horizontal > 0 ? on_slope / horizontal : 0.0;
}

// Air temperature (°C) corrected for exposure: T + s ln(f) S for a factor f above 0.2, and
// T - 1.6094 s S at or below it (the log of 0.2, rounded) when the step had direct
// radiation, T when it had none. s: scaling (K), S: relative sunshine 0..1.
double ExposureCorrectedTemperature(double temperature, double factor, double scaling, double sunshine,
                                    bool any_direct_radiation);

}  // namespace tolvo
