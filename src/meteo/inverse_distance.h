#pragma once
// Inverse distance weighting of station values (Shepard 1968) and the geometry that goes
// with it: the rotation of map coordinates into the frame of an anisotropy ellipse, the
// orientation of a regular station mesh, and the mean spacing of its stations.
//
// Stations are given as 1-based arrays (index 0 unused) of map or rotated coordinates (m)
// and current values. A value v is present when v >= -N (N the input's nodata value); a
// kernel that finds no usable station returns the missing marker -N - 1.
//
// The kernels are called from every worker thread of the per-cell loop at once: they read
// only their arguments, write only the caller's scratch array (at least n + 1 doubles),
// allocate nothing and keep nothing between calls.

#include <span>

namespace tolvo {

// The subsystem's value of pi and its halves, and the degree-to-radian factor.
inline constexpr double kMeteoPi = 3.14159265359;
inline constexpr double kMeteoHalfPi = 1.570796326795;
inline constexpr double kMeteoDegreesToRadians = 0.017453292519944444;

// The stations of one station file: coordinates (m) and current values, 1-based.
struct StationPoints {
  std::span<const double> x;
  std::span<const double> y;
  std::span<const double> values;
  int count() const { return values.empty() ? 0 : static_cast<int>(values.size()) - 1; }
};

// How a weight follows from a distance, fixed once from the exponent p so that the common
// exponents avoid the power function: 1/d^2, 1/d, or d^-p.
enum class IdwWeightMode { kInverseSquare, kInverse, kPower };
IdwWeightMode WeightModeOf(double exponent);

// The settings of one input's inverse distance weighting.
struct IdwSettings {
  IdwWeightMode mode = IdwWeightMode::kInverseSquare;
  double exponent = 2;          // p
  double max_distance = 0;      // search radius (m)
  double max_distance_sq = 0;   // its square (m^2)
  double ratio = 1;             // anisotropy b/a: the factor of the rotated x difference
  double nodata = 0;            // N
};
// From the section's exponent and stored maximum distance (stored squared when the
// exponent is exactly 2).
IdwSettings MakeIdwSettings(double exponent, double stored_max_distance, double ratio, double nodata);

// Weighted mean of the present stations within the search radius at map point (x, y);
// a station at the point counts at distance 1. scratch[k] receives station k's weight.
double InverseDistance(const StationPoints& stations, std::span<double> scratch, double x, double y,
                       const IdwSettings& idw);
// The same in the rotated frame: `stations` holds rotated coordinates, (x, y) is a rotated
// point, and x differences are multiplied by the anisotropy ratio before the distance.
double InverseDistanceAnisotropic(const StationPoints& stations, std::span<double> scratch, double x, double y,
                                  const IdwSettings& idw);

// The frame of the anisotropy ellipse: map points are turned by `slope` (radians) about
// the lower left corner of the grid so that the main axis becomes the rotated x axis.
struct RotationFrame {
  double slope = 0;  // radians
  double xllcorner = 0;
  double yllcorner = 0;
};
struct Point2 {
  double x = 0;
  double y = 0;
};
Point2 RotatePoint(const RotationFrame& frame, double x, double y);

// The orientation of a (possibly rotated) regular station mesh: the modal direction of
// the links between nearest neighbours. slope in degrees (-45..45); ratio 0.995 when the
// mesh is turned (which switches the rotation on), else slope 0 and ratio 1.
struct MeshOrientation {
  double slope_degrees = 0;
  double ratio = 1;
};
MeshOrientation EstimateMeshOrientation(std::span<const double> x, std::span<const double> y);

// Mean distance (m) from each station to its nearest neighbour to the right (H) and above
// (V) in the rotated frame; -9999 when no station has such a neighbour.
struct StationSpacing {
  double horizontal = -9999;
  double vertical = -9999;
};
StationSpacing MeanStationSpacing(std::span<const double> x, std::span<const double> y);

// Tolerance of the mesh windows, as a fraction of the mean spacing.
inline constexpr double kMeshWindowTolerance = 0.25;

}  // namespace tolvo
