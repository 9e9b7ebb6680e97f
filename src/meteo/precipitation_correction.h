#pragma once
// Correction of measured precipitation for the catch deficit of the gauges, which grows
// with the wind speed and is larger for snow than for rain: the precipitation P is
// multiplied by (W * slope + constant), with one constant and slope for rain (air
// temperature above the threshold) and another for snow (at or below it). P in mm, T in
// °C, W in m/s; the factor is dimensionless.
//
// For inputs interpolated by elevation regression lines, the lines themselves are
// corrected: each band of the regression (P(E) = gradient E + intercept, band 1 below the
// lower limit, 2 up to the upper limit, 3 above) is refitted by least squares to
// corrected samples taken at eleven elevations across the band, and the bands are joined
// again.

#include <functional>

#include "framework/meteo_input.h"

namespace tolvo {

struct PrecipitationCorrectionSettings {
  int do_it = 0;           // 0: no correction
  double threshold = 0;    // °C: rain above, snow at or below
  double rain_constant = 1;
  double rain_slope = 0;   // per m/s
  double snow_constant = 1;
  double snow_slope = 0;   // per m/s
};

// The correction factor at temperature T and wind speed W; without a temperature every
// value counts as rain.
inline double PrecipitationFactor(const PrecipitationCorrectionSettings& s, bool has_temperature, double temperature,
                                  double wind) {
  if (!has_temperature || temperature > s.threshold) return wind * s.rain_slope + s.rain_constant;
  return wind * s.snow_slope + s.snow_constant;
}

// Least-squares line (slope, intercept) through the points; none unless at least two
// distinct abscissae are given.
struct FittedLine {
  bool fitted = false;
  double slope = 0;
  double intercept = 0;
};
FittedLine FitLine(const double* e, const double* v, int n);

// Refits the lines to corrected samples: factor_at(E) is the correction factor at
// elevation E (m); max_elevation the highest elevation of the domain (m). A line that
// cannot be refitted from two distinct elevations within its range (a range without
// extent, an upper limit of 0 or below) is kept as it is, and the join of the ranges that
// would use it is skipped; nothing becomes NaN. missing_below: an intercept of the lower
// range below it marks the regression as missing, which is left alone.
void CorrectRegressionLines(RegressionBands& lines, double max_elevation, double missing_below,
                            const std::function<double(double)>& factor_at);

}  // namespace tolvo
