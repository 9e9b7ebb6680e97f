#pragma once
// Point kernels of the meteorological input besides inverse distance weighting:
// - the elevation regression: three straight lines of value against elevation (bands
//   below L1, between L1 and L2, above L2), optionally corrected by a horizontal plane of
//   map coordinates that replaces the lowest band's intercept;
// - the nearest present station (Thiessen polygons), and the nearest station carried to
//   the cell's elevation by lapse rates, with an optional inversion;
// - bilinear interpolation between the four corner stations of a station mesh cell,
//   falling back on anisotropic inverse distance weighting where a corner is missing;
// - the small helpers shared with the mesh set-up: a 3 x 3 determinant, a flag test and
//   the search for a station inside a rectangular window.
//
// Elevations and coordinates are in m, gradients in value units per m. A value v is
// present when v >= -N; kernels without a usable station return -N - 1. The kernels read
// only their arguments and write only the caller's scratch array; they are safe to call
// from many threads at once.

#include <array>
#include <span>

#include "meteo/inverse_distance.h"
#include "meteo/regression_file.h"

namespace tolvo {

// Positions in RegressionParameters (the regression file's order): intercept a and
// gradient b of the lower, middle and upper band, the limits L1 (top of the lower band)
// and L2 (top of the middle band), and the plane c0 + cx * x + cy * y.
enum RegressionItem : std::size_t {
  kA1 = 0, kB1 = 1, kL1 = 2, kA2 = 3, kB2 = 4, kL2 = 5, kA3 = 6, kB3 = 7, kC0 = 8, kCx = 9, kCy = 10,
};

// The regression value at map point (x, y) and elevation z; -N - 1 when a1 is missing.
// The plane applies when c0 is present and neither coordinate is the grid nodata value.
double RegressionAt(const RegressionParameters& p, double nodata, double grid_nodata, double x, double y, double z);

// Value of the nearest present station at map point (x, y) (of equally near stations the
// later one); scratch[k] receives each present station's squared distance.
double ThiessenAt(const StationPoints& stations, std::span<double> scratch, double x, double y, double nodata);

// Method 12: lapse rate (value units per m), inversion height (m, -9999: none) and the
// lapse rate above it (-9999: none); with precipitation_type a station value of exactly 0
// stays 0.
struct LapseRates {
  double lapse_rate = 0;
  double inversion_height = -9999;
  double upper_lapse_rate = -9999;
  bool precipitation_type = false;
};
// Value of the nearest present station (of equally near ones the first), carried from
// its altitude to elevation z.
double ThiessenLapseRateAt(const StationPoints& stations, std::span<const double> altitude, double x, double y,
                           double z, const LapseRates& rates, double nodata);

// Corner stations of a mesh cell (1-based station indices, 0: none).
struct CornerStations {
  int upper_right = 0;
  int upper_left = 0;
  int lower_left = 0;
  int lower_right = 0;
};
// Bilinear value of `stations` (rotated coordinates and values) at rotated point (x, y)
// between the corners; a corner whose value is missing counts as none. Extrapolates
// outside the corners' rectangle. Falls back on InverseDistanceAnisotropic.
double BilinearAt(const StationPoints& stations, const CornerStations& corners, std::span<double> scratch, double x,
                  double y, const IdwSettings& idw);

// Determinant of the 3 x 3 matrix whose rows are elements 1..3 of a, b and c.
double Determinant3(std::span<const double> a, std::span<const double> b, std::span<const double> c);
// 1 when one of flags[1..n] is non-zero, else 0 (also for n <= 0).
int AnyFlagSet(std::span<const int> flags, int n);
// The first station k (index order) with x0 + left < x[k] < x0 + right and
// y0 + bottom < y[k] < y0 + top; 0 when none.
struct Window {
  double left = 0;
  double right = 0;
  double bottom = 0;
  double top = 0;
};
int FindStationInWindow(std::span<const double> x, std::span<const double> y, double x0, double y0,
                        const Window& window);

}  // namespace tolvo
