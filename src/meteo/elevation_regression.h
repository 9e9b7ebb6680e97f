#pragma once
// Elevation-dependent regression fitted to the current station record (methods 10 and
// 11): the stations are split at the lower inversion height into a lower and an upper
// group, a straight line of value against altitude is fitted to each (least squares),
// with rules for small groups, clustered altitudes and stations shared across the
// inversion; the two lines become the three elevation bands of a regression parameter set
// (lower line up to their crossing, upper line above it, or a middle band joining them
// between the two inversion heights when the crossing lies outside them); optionally the
// gradient above the inversion is fixed, and a horizontal least-squares plane of map
// coordinates is fitted to the residuals.
//
// Altitudes and coordinates in m, gradients in value units per m. A station counts when
// its value v > -N. The result never holds inf or NaN: a line that cannot be fitted (all
// altitudes of its group equal) is missing, a line is never built from a missing one,
// a missing line is replaced by the other one, and with neither the intercept a1 is
// missing (-N - 1), which leaves the regression without value for the step.

#include <span>

#include "meteo/inverse_distance.h"
#include "meteo/meteo_section.h"
#include "meteo/regression_file.h"

namespace tolvo {

// Fits the parameter set to the stations' current values (`stations`: map coordinates
// and values; `altitude`: station altitudes, 1-based).
RegressionParameters FitElevationRegression(const StationPoints& stations, std::span<const double> altitude,
                                            const ElevationRegressionSettings& settings, double nodata);

}  // namespace tolvo
