// The elevation-dependent regression fitted to a station record: lines below and above
// the inversion, their bands, the fixed upper gradient and the residual plane.
#include "meteo/elevation_regression.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "meteo/regression_kernels.h"

namespace tolvo::test {
namespace {

constexpr double kN = 9999;
constexpr double kMissing = -kN - 1;

struct Station {
  double z;
  double v;
  double x = 0;
  double y = 0;
};

// Fits the stations; by default at map corners of a 10 km square and its middle, so that
// the plane is determined.
RegressionParameters FitOf(const std::vector<Station>& stations, const ElevationRegressionSettings& settings) {
  std::vector<double> x{0}, y{0}, v{0}, z{0};
  for (const Station& s : stations) {
    x.push_back(s.x);
    y.push_back(s.y);
    v.push_back(s.v);
    z.push_back(s.z);
  }
  return FitElevationRegression({x, y, v}, z, settings, kN);
}

double At(const RegressionParameters& p, double z, double x = 0, double y = 0) {
  return RegressionAt(p, kN, -9999, x, y, z);
}

void ExpectFinite(const RegressionParameters& p) {
  for (double value : p) EXPECT_TRUE(std::isfinite(value)) << value;
}

// L = 1000, U = 2000, tolerance 100, overlap 0, cluster range 50, no upper lapse rate.
const ElevationRegressionSettings kSettings{1000, 2000, 100, 0, 50, -9999};

std::vector<Station> FiveStations(double v3, double v4, double v5) {
  return {{200, 10, 0, 0}, {600, 8, 10000, 0}, {1200, v3, 0, 10000}, {1800, v4, 10000, 10000}, {2400, v5, 5000, 3000}};
}

TEST(ElevationRegression, LinesThatCrossBetweenTheInversionsSplitAtTheirCrossing) {
  // Lower line through (200, 10) and (600, 8): 11 - 0.005 z; upper regression over
  // (1200, 5), (1800, 4), (2400, 3): 7 - z / 600; they cross at 1200, inside 900..2100.
  const RegressionParameters p = FitOf(FiveStations(5, 4, 3), kSettings);
  EXPECT_EQ(p[kL1], 0);
  EXPECT_NEAR(p[kL2], 1200, 1e-9);
  EXPECT_NEAR(p[kA2], 11, 1e-12);
  EXPECT_NEAR(p[kB2], -0.005, 1e-15);
  EXPECT_NEAR(p[kA3], 7, 1e-12);
  EXPECT_NEAR(p[kB3], -1.0 / 600, 1e-15);
  EXPECT_EQ(p[kB1], 0);  // below altitude 0 the constant a1
  // Every station lies on its line: the residual plane is the constant a1.
  EXPECT_NEAR(p[kC0], 11, 1e-9);
  EXPECT_NEAR(p[kCx], 0, 1e-12);
  EXPECT_NEAR(p[kCy], 0, 1e-12);
  const double z_cases[][2] = {{-100, 11}, {600, 8}, {1200, 5}, {1800, 4}, {3000, 2}};
  for (const auto& c : z_cases) EXPECT_NEAR(At(p, c[0], 3000, 7000), c[1], 1e-9) << "z " << c[0];
}

TEST(ElevationRegression, ACrossingOutsideTheInversionsIsJoinedByAMiddleBand) {
  // Upper line 9.2 - 0.001 z crosses the lower one at 450, below 900: the middle band
  // joins 6 at 1000 and 7.2 at 2000, that is 4.8 + 0.0012 z.
  const RegressionParameters p = FitOf(FiveStations(8, 7.4, 6.8), kSettings);
  EXPECT_EQ(p[kL1], 1000);
  EXPECT_EQ(p[kL2], 2000);
  EXPECT_NEAR(p[kA1], 11, 1e-12);
  EXPECT_NEAR(p[kB1], -0.005, 1e-15);
  EXPECT_NEAR(p[kA2], 4.8, 1e-9);
  EXPECT_NEAR(p[kB2], 0.0012, 1e-12);
  EXPECT_NEAR(p[kA3], 9.2, 1e-9);
  EXPECT_NEAR(p[kB3], -0.001, 1e-12);
}

TEST(ElevationRegression, SmallAndClusteredGroupsGiveConstants) {
  struct Case {
    const char* name;
    std::vector<Station> stations;
    double value;
  };
  const Case cases[] = {
      // Within the cluster range the three collapse to one point of their mean value.
      {"three clustered stations below", {{500, 9, 0, 0}, {510, 8, 100, 0}, {520, 7, 0, 100}}, 8},
      {"one station below, none above", {{500, 4}}, 4},
      {"one station above, none below", {{1500, 3}}, 3},
      // Two single points next to the inversion each join the other's group; closer in
      // altitude than the cluster range, both groups collapse to their mean (1010, 4)
      // and the upper one drops.
      {"two points within the cluster range", {{990, 2}, {1030, 6}}, 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const RegressionParameters p = FitOf(c.stations, kSettings);
    for (double z : {-500.0, 0.0, 700.0, 1500.0, 4000.0}) EXPECT_NEAR(At(p, z), c.value, 1e-12) << "z " << z;
    EXPECT_EQ(p[kC0], kMissing);  // three stations or fewer: no plane
  }
}

TEST(ElevationRegression, TwoSinglePointsApartShareTheLineThroughBoth) {
  const RegressionParameters p = FitOf({{500, 10}, {1500, 5}}, kSettings);
  for (double z : {600.0, 1000.0, 1800.0}) EXPECT_NEAR(At(p, z), 12.5 - 0.005 * z, 1e-9) << "z " << z;
}

// Least-squares line v = a + b z through the points.
std::pair<double, double> Line(const std::vector<Station>& points) {
  double n = 0, sz = 0, sv = 0, szz = 0, szv = 0;
  for (const Station& s : points) {
    n += 1;
    sz += s.z;
    sv += s.v;
    szz += s.z * s.z;
    szv += s.z * s.v;
  }
  const double b = (n * szv - sz * sv) / (n * szz - sz * sz);
  return {(sv - b * sz) / n, b};
}

TEST(ElevationRegression, OverlapLetsTheStationsNextToTheInversionServeBothLines) {
  const std::vector<Station> stations{{200, 10, 0, 0}, {900, 8, 1, 0}, {1100, 6, 0, 1}, {2000, 2, 1, 1}};
  ElevationRegressionSettings settings = kSettings;
  settings.overlap = 1;
  settings.tolerance = 2000;
  const RegressionParameters p = FitOf(stations, settings);
  ASSERT_EQ(p[kL1], 0);
  const auto [a_low, b_low] = Line({{200, 10}, {900, 8}, {1100, 6}});
  const auto [a_up, b_up] = Line({{900, 8}, {1100, 6}, {2000, 2}});
  EXPECT_NEAR(p[kA2], a_low, 1e-9);
  EXPECT_NEAR(p[kB2], b_low, 1e-12);
  EXPECT_NEAR(p[kA3], a_up, 1e-9);
  EXPECT_NEAR(p[kB3], b_up, 1e-12);
}

TEST(ElevationRegression, AFixedUpperLapseRateKeepsTheValueAtTheCrossing) {
  // Lower line 11 - 0.005 z, upper 5 - 0.001 z: they cross at 1500 (value 3.5); above it
  // the gradient becomes 0.002: 3.5 + 0.002 (z - 1500).
  ElevationRegressionSettings settings = kSettings;
  settings.lapse_rate_above = 0.002;
  const RegressionParameters p =
      FitOf({{200, 10, 0, 0}, {600, 8, 1, 0}, {1600, 3.4, 0, 1}, {2000, 3.0, 1, 1}, {2400, 2.6, 2, 3}}, settings);
  EXPECT_NEAR(p[kL2], 1500, 1e-6);
  EXPECT_NEAR(p[kB3], 0.002, 1e-15);
  EXPECT_NEAR(p[kA3], 0.5, 1e-9);
  // The residual plane (fitted with the fixed gradient) is left out at a nodata x.
  EXPECT_NEAR(At(p, 2000, -9999, 0), 4.5, 1e-6);
}

TEST(ElevationRegression, TheResidualPlaneNeedsFourStationsOffOneLine) {
  // Values 11 - 0.005 z + 0.0001 (x - 5000): the x term cancels at each altitude, so the
  // line is 11 - 0.005 z and the residuals a1 + 0.0001 (x - 5000) form the plane.
  const std::vector<Station> four{
      {200, 9.5, 0, 0}, {200, 10.5, 10000, 0}, {600, 7.5, 0, 10000}, {600, 8.5, 10000, 10000}};
  const RegressionParameters p = FitOf(four, kSettings);
  EXPECT_NEAR(p[kC0], 10.5, 1e-9);
  EXPECT_NEAR(p[kCx], 0.0001, 1e-12);
  EXPECT_NEAR(p[kCy], 0, 1e-12);
  EXPECT_NEAR(At(p, 400, 10000, 0), 11 - 2 + 0.5, 1e-9);

  const RegressionParameters three = FitOf({four[0], four[1], four[2]}, kSettings);
  EXPECT_EQ(three[kC0], kMissing);
  EXPECT_EQ(three[kCx], kMissing);
  EXPECT_EQ(three[kCy], kMissing);

  // Stations on one straight line of the map leave the plane undetermined: no plane.
  const std::vector<Station> in_line{{200, 9.5, 0, 0}, {300, 10.5, 1000, 0}, {600, 7.5, 2000, 0}, {700, 8.5, 3000, 0}};
  const RegressionParameters flat = FitOf(in_line, kSettings);
  ExpectFinite(flat);
  EXPECT_EQ(flat[kC0], kMissing);
}

TEST(ElevationRegression, DegenerateGroupsNeverGiveInfOrNaN) {
  struct Case {
    const char* name;
    std::vector<Station> stations;
    double cluster_range;
    bool missing;           // no regression for the step
    double z, value;        // one value of the fit when present
  };
  const Case cases[] = {
      // The lone lower station lies at the inversion (its upper neighbour at 1500 has no
      // value, so it does not join): the upper line 7 - 0.002 z serves below as well.
      {"lone lower station at the inversion", {{1000, 5}, {1500, kMissing}, {2000, 3}, {2500, 2}}, 50, false, 1000, 5},
      // Two upper stations at one altitude and no cluster range: no upper line; the
      // lower line 11 - 0.005 z serves above as well.
      {"upper stations at one altitude", {{200, 10}, {600, 8}, {1500, 4}, {1500, 6}}, 0, false, 1500, 3.5},
      {"every station at one altitude", {{500, 1}, {500, 2}}, 0, true, 0, 0},
      {"no counting station", {{500, kMissing}, {1500, -kN - 0.5}}, 50, true, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ElevationRegressionSettings settings = kSettings;
    settings.cluster_range = c.cluster_range;
    const RegressionParameters p = FitOf(c.stations, settings);
    ExpectFinite(p);
    if (c.missing) {
      EXPECT_EQ(p[kA1], kMissing);
      EXPECT_EQ(At(p, 700), kMissing);
    } else {
      EXPECT_NEAR(At(p, c.z), c.value, 1e-9);
    }
  }
}

}  // namespace
}  // namespace tolvo::test
