// Inverse distance weighting, the rotation into the anisotropy frame, the orientation of a
// station mesh and the mean station spacing.
#include "meteo/inverse_distance.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace tolvo::test {
namespace {

constexpr double kN = 9999;        // nodata value of the cases
constexpr double kMissing = -kN - 1;

// 1-based station arrays for the kernels.
struct Stations {
  std::vector<double> x{0};
  std::vector<double> y{0};
  std::vector<double> v{0};
  void Add(double px, double py, double value) {
    x.push_back(px);
    y.push_back(py);
    v.push_back(value);
  }
  StationPoints points() const { return {x, y, v}; }
};

TEST(InverseDistance, ShepardsWeightedMeanOfTwoStations) {
  // Shepard (1968), inverse distance weighting with exponent 2: values 10 at 1000 m and
  // 20 at 2000 m weigh 1e-6 and 2.5e-7, giving (1e-5 + 5e-6) / 1.25e-6 = 12.
  Stations s;
  s.Add(1000, 0, 10);
  s.Add(0, 2000, 20);
  std::vector<double> scratch(3);
  const IdwSettings idw = MakeIdwSettings(2.0, 1e12, 1, kN);
  EXPECT_DOUBLE_EQ(InverseDistance(s.points(), scratch, 0, 0, idw), 12.0);
  EXPECT_DOUBLE_EQ(scratch[1], 1e-6);
  EXPECT_DOUBLE_EQ(scratch[2], 2.5e-7);
}

TEST(InverseDistance, WeightsFollowTheExponentAndTheSearchRadius) {
  struct Case {
    const char* name;
    double exponent;
    double stored_radius;  // as the section stores it (squared for an exponent of 2.0)
    double distance;
    double weight;
  };
  const Case cases[] = {
      {"p 2 inside", 2.0, 1000000, 999, 1.0 / 998001},
      {"p 2 outside", 2.0, 1000000, 1001, 0},
      {"p 2 at the point counts at distance 1", 2.0, 1000000, 0, 1},
      {"p 1 inside", 1.0, 1000, 999, 1.0 / 999},
      {"p 1 outside", 1.0, 1000, 1001, 0},
      {"p 1 at the point", 1.0, 1000, 0, 1},
      {"p 1.5 inside", 1.5, 1000, 400, std::pow(400.0, -1.5)},
      {"p 1.5 at the point", 1.5, 1000, 0, 1},
      // Exponents just above 2 weigh by 1/d^2 and compare with the squared radius.
      {"p 2.0004 inside", 2.0004, 1000, 999, 1.0 / 998001},
      {"p 2.0004 outside", 2.0004, 1000, 1001, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Stations s;
    s.Add(c.distance, 0, 5);
    std::vector<double> scratch(2, -1);
    const IdwSettings idw = MakeIdwSettings(c.exponent, c.stored_radius, 1, kN);
    const double value = InverseDistance(s.points(), scratch, 0, 0, idw);
    EXPECT_DOUBLE_EQ(scratch[1], c.weight);
    EXPECT_EQ(value, c.weight > 0 ? 5 : kMissing);
  }
}

TEST(InverseDistance, TheWeightModeIsFixedFromTheExponent) {
  EXPECT_EQ(WeightModeOf(2.0), IdwWeightMode::kInverseSquare);
  EXPECT_EQ(WeightModeOf(2.0009), IdwWeightMode::kInverseSquare);
  EXPECT_EQ(WeightModeOf(2.001), IdwWeightMode::kPower);
  EXPECT_EQ(WeightModeOf(1.0), IdwWeightMode::kInverse);
  EXPECT_EQ(WeightModeOf(1.5), IdwWeightMode::kPower);
  // The power mode gives the same mean as the weights d^-p written out.
  Stations s;
  s.Add(1000, 0, 10);
  s.Add(2000, 0, 20);
  std::vector<double> scratch(3);
  const double w2 = std::pow(2.0, -1.5);
  EXPECT_NEAR(InverseDistance(s.points(), scratch, 0, 0, MakeIdwSettings(1.5, 5000, 1, kN)), (10 + 20 * w2) / (1 + w2),
              1e-12);
}

TEST(InverseDistance, NoPresentStationWithinTheRadiusGivesTheMissingMarker) {
  Stations missing;
  missing.Add(10, 0, kMissing);
  missing.Add(20, 0, -kN - 0.5);
  Stations far;
  far.Add(5000, 0, 3);
  Stations none;
  std::vector<double> scratch(3);
  const IdwSettings idw = MakeIdwSettings(2.0, 1000000, 1, kN);
  EXPECT_EQ(InverseDistance(missing.points(), scratch, 0, 0, idw), kMissing);
  EXPECT_EQ(InverseDistance(far.points(), scratch, 0, 0, idw), kMissing);
  EXPECT_EQ(InverseDistance(none.points(), scratch, 0, 0, idw), kMissing);
  EXPECT_EQ(InverseDistanceAnisotropic(far.points(), scratch, 0, 0, idw), kMissing);
  // A value of exactly -N is present.
  Stations edge;
  edge.Add(10, 0, -kN);
  EXPECT_EQ(InverseDistance(edge.points(), scratch, 0, 0, idw), -kN);
}

TEST(InverseDistance, TheRatioShortensDistancesAlongTheMainAxis) {
  // Ratio 0.5: a station 1000 east weighs like one 500 away, one 1000 north like one
  // 1000 away.
  Stations s;
  s.Add(1000, 0, 10);
  s.Add(0, 1000, 20);
  std::vector<double> scratch(3);
  const IdwSettings idw = MakeIdwSettings(2.0, 1e12, 0.5, kN);
  const double value = InverseDistanceAnisotropic(s.points(), scratch, 0, 0, idw);
  EXPECT_DOUBLE_EQ(scratch[1], 1.0 / 250000);
  EXPECT_DOUBLE_EQ(scratch[2], 1.0 / 1000000);
  EXPECT_DOUBLE_EQ(value, (10 * 4.0 + 20) / 5);
}

TEST(RotatePoint, TurnsAboutTheLowerLeftCornerByTheSlope) {
  const double slope = 20 * kMeteoDegreesToRadians;
  const RotationFrame frame{slope, 1000, 2000};
  const Point2 east = RotatePoint(frame, 2000, 2000);
  EXPECT_NEAR(east.x, 1000 + 1000 * std::cos(slope), 1e-6);
  EXPECT_NEAR(east.y, 2000 - 1000 * std::sin(slope), 1e-6);
  // Straight above or below the corner (dx exactly 0).
  const Point2 above = RotatePoint({0, 0, 0}, 0, 500);
  EXPECT_NEAR(above.x, 0, 1e-6);
  EXPECT_NEAR(above.y, 500, 1e-9);
  const Point2 corner = RotatePoint(frame, 1000, 2000);
  EXPECT_NEAR(corner.x, 1000, 1e-9);
  EXPECT_NEAR(corner.y, 2000, 1e-9);
}

// Stations of a rectangular mesh, `short_m` apart along the direction `angle_deg` and
// three times as far across, in map coordinates; 1-based.
void Mesh(double angle_deg, double short_m, double long_m, int n, std::vector<double>& x, std::vector<double>& y) {
  const double a = angle_deg * kMeteoPi / 180;
  x.assign(1, 0);
  y.assign(1, 0);
  for (int j = 0; j < n; ++j) {
    for (int i = 0; i < n; ++i) {
      const double u = 50000 + i * short_m;
      const double v = 40000 + j * long_m;
      x.push_back(u * std::cos(a) - v * std::sin(a));
      y.push_back(u * std::sin(a) + v * std::cos(a));
    }
  }
}

TEST(EstimateMeshOrientation, TheModalLinkDirectionGivesTheSlope) {
  struct Case {
    const char* name;
    double angle;
    double short_m;
    double long_m;
    double slope;
    double ratio;
  };
  const Case cases[] = {
      {"square 10 km mesh turned by 20 degrees", 20, 10000, 10000, 20, 0.995},
      {"square unrotated mesh", 0, 10000, 10000, 0, 1},
      {"links at 60 degrees (bin 6)", 60, 5000, 15000, -30, 0.995},
      {"links at -30 degrees (bin 15)", -30, 5000, 15000, 60, 0.995},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<double> x;
    std::vector<double> y;
    Mesh(c.angle, c.short_m, c.long_m, 4, x, y);
    const MeshOrientation o = EstimateMeshOrientation(x, y);
    EXPECT_NEAR(o.slope_degrees, c.slope, 0.01);
    EXPECT_EQ(o.ratio, c.ratio);
  }
  const std::vector<double> one{0, 5};
  const MeshOrientation single = EstimateMeshOrientation(one, one);
  EXPECT_EQ(single.slope_degrees, 0);
  EXPECT_EQ(single.ratio, 1);
}

TEST(MeanStationSpacing, MeanDistanceToTheNextStationRightAndAbove) {
  std::vector<double> x{0};
  std::vector<double> y{0};
  for (int j = 0; j < 3; ++j) {
    for (int i = 0; i < 4; ++i) {
      x.push_back(1000 + 5000 * i);
      y.push_back(2000 + 8000 * j);
    }
  }
  const StationSpacing s = MeanStationSpacing(x, y);
  EXPECT_DOUBLE_EQ(s.horizontal, 5000);
  EXPECT_DOUBLE_EQ(s.vertical, 8000);
  // One row of stations has no station above any of them.
  const std::vector<double> row_x{0, 0, 5000};
  const std::vector<double> row_y{0, 0, 0};
  const StationSpacing row = MeanStationSpacing(row_x, row_y);
  EXPECT_DOUBLE_EQ(row.horizontal, 5000);
  EXPECT_EQ(row.vertical, -9999);
}

}  // namespace
}  // namespace tolvo::test
