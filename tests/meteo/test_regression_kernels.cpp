// The elevation regression with its correction plane, the nearest-station kernels, the
// bilinear kernel and the small helpers shared with the mesh set-up.
#include "meteo/regression_kernels.h"

#include <gtest/gtest.h>

#include <vector>

namespace tolvo::test {
namespace {

constexpr double kN = 9999;
constexpr double kMissing = -kN - 1;
constexpr double kGridNodata = -9999;

RegressionParameters ThreeBands() {
  RegressionParameters p{};
  p[kA1] = 10;
  p[kB1] = -0.006;
  p[kL1] = 500;
  p[kA2] = 12;
  p[kB2] = -0.004;
  p[kL2] = 1500;
  p[kA3] = 8;
  p[kB3] = -0.0065;
  p[kC0] = p[kCx] = p[kCy] = kMissing;
  return p;
}

TEST(RegressionAt, BandsAndTheCorrectionPlane) {
  struct Case {
    const char* name;
    bool plane;
    double x;
    double z;
    double expected;
  };
  // Worked by hand: below L1 a1 + b1 z, from L1 to L2 a2 + b2 z, above L2 a3 + b3 z; the
  // plane c0 + cx x = 11 + 0.0001 * 10000 = 12 replaces a1 and shifts the other bands.
  const Case cases[] = {
      {"below L1", false, 10000, 400, 7.6},
      {"at L1", false, 10000, 500, 10},
      {"at L2", false, 10000, 1500, 6},
      {"above L2", false, 10000, 1600, -2.4},
      {"plane below L1", true, 10000, 400, 9.6},
      {"plane in the middle", true, 10000, 1000, 10},
      {"plane above L2", true, 10000, 1600, -0.4},
      {"plane off at a nodata x", true, kGridNodata, 400, 7.6},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RegressionParameters p = ThreeBands();
    if (c.plane) {
      p[kC0] = 11;
      p[kCx] = 0.0001;
      p[kCy] = 0;
    }
    EXPECT_NEAR(RegressionAt(p, kN, kGridNodata, c.x, 5000, c.z), c.expected, 1e-9);
  }
  RegressionParameters none = ThreeBands();
  none[kA1] = kMissing;
  EXPECT_EQ(RegressionAt(none, kN, kGridNodata, 0, 0, 100), kMissing);
}

struct Stations {
  std::vector<double> x{0};
  std::vector<double> y{0};
  std::vector<double> v{0};
  std::vector<double> z{0};
  void Add(double px, double py, double value, double altitude = 0) {
    x.push_back(px);
    y.push_back(py);
    v.push_back(value);
    z.push_back(altitude);
  }
  StationPoints points() const { return {x, y, v}; }
};

TEST(Thiessen, NearestPresentStationAndItsTieRule) {
  Stations s;
  s.Add(-100, 0, 1);
  s.Add(100, 0, 2);
  s.Add(10, 0, kMissing);
  std::vector<double> scratch(4, -1);
  // Of two equally near stations the plain kernel takes the later, the lapse-rate kernel
  // the earlier.
  EXPECT_EQ(ThiessenAt(s.points(), scratch, 0, 0, kN), 2);
  EXPECT_EQ(scratch[1], 10000);
  EXPECT_EQ(scratch[2], 10000);
  EXPECT_EQ(ThiessenLapseRateAt(s.points(), s.z, 0, 0, 0, {.lapse_rate = 0}, kN), 1);
  EXPECT_EQ(ThiessenAt(s.points(), scratch, 90, 0, kN), 2);
  Stations none;
  EXPECT_EQ(ThiessenAt(none.points(), scratch, 0, 0, kN), kMissing);
  EXPECT_EQ(ThiessenLapseRateAt(none.points(), none.z, 0, 0, 0, {}, kN), kMissing);
}

TEST(ThiessenLapseRate, CarriesTheNearestStationToTheCellElevation) {
  struct Case {
    const char* name;
    double value;
    double altitude;
    double z;
    LapseRates rates;
    double expected;
  };
  const LapseRates inversion{.lapse_rate = -0.0065, .inversion_height = 1000, .upper_lapse_rate = 0.002};
  LapseRates precipitation = inversion;
  precipitation.precipitation_type = true;
  // Worked by hand from the lapse rates.
  const Case cases[] = {
      {"station below, cell above the inversion", 10, 500, 1500, inversion, 10 - 3.25 + 1},
      {"station above, cell below the inversion", 4, 1200, 800, inversion, 4 - 0.4 + 1.3},
      {"both below", 10, 500, 800, inversion, 10 - 0.0065 * 300},
      {"both above", 10, 1200, 1500, inversion, 10 + 0.002 * 300},
      {"one lapse rate", 10, 500, 1500, {.lapse_rate = -0.0065}, 10 - 6.5},
      {"P-type keeps 0", 0, 500, 1500, precipitation, 0},
      {"P-type corrects 0.1", 0.1, 500, 1500, precipitation, 0.1 - 3.25 + 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Stations s;
    s.Add(0, 0, c.value, c.altitude);
    EXPECT_NEAR(ThiessenLapseRateAt(s.points(), s.z, 10, 10, c.z, c.rates, kN), c.expected, 1e-12);
  }
}

TEST(Bilinear, BetweenFourCornersWithItsInverseDistanceFallBack) {
  Stations s;
  s.Add(1000, 1000, 2);  // upper right
  s.Add(0, 1000, 1);     // upper left
  s.Add(0, 0, 3);        // lower left
  s.Add(1000, 0, 4);     // lower right
  std::vector<double> scratch(5);
  const IdwSettings idw = MakeIdwSettings(2.0, 1e12, 0.5, kN);
  const CornerStations corners{1, 2, 3, 4};
  // u = 0.25, w = 0.25: 2 * 0.25 * 0.75 + 1 * 0.75 * 0.75 + 3 * 0.75 * 0.25 + 4 * 0.25 * 0.25.
  EXPECT_DOUBLE_EQ(BilinearAt(s.points(), corners, scratch, 250, 750, idw), 1.75);
  // Outside the corners' rectangle the plane is extrapolated: u = 1.5, w = 0.
  EXPECT_DOUBLE_EQ(BilinearAt(s.points(), corners, scratch, 1500, 1000, idw), 2.5);
  EXPECT_EQ(BilinearAt(s.points(), {2, 2, 2, 2}, scratch, 250, 750, idw), 1);

  const double idw_value = InverseDistanceAnisotropic(s.points(), scratch, 250, 750, idw);
  EXPECT_EQ(BilinearAt(s.points(), {1, 2, 3, 0}, scratch, 250, 750, idw), idw_value);
  Stations gap = s;
  gap.v[4] = kMissing;
  EXPECT_EQ(BilinearAt(gap.points(), corners, scratch, 250, 750, idw),
            InverseDistanceAnisotropic(gap.points(), scratch, 250, 750, idw));
  Stations same_x = s;
  same_x.x[1] = 0;
  EXPECT_EQ(BilinearAt(same_x.points(), corners, scratch, 250, 750, idw),
            InverseDistanceAnisotropic(same_x.points(), scratch, 250, 750, idw));
}

TEST(KernelHelpers, DeterminantFlagsAndWindows) {
  const std::vector<double> a{0, 2, 0, 1};
  const std::vector<double> b{0, 1, 3, 2};
  const std::vector<double> c{0, 1, 1, 1};
  // 2 (3 - 2) - 0 + 1 (1 - 3) = 0; and the unit matrix.
  EXPECT_EQ(Determinant3(a, b, c), 0);
  EXPECT_EQ(Determinant3(std::vector<double>{0, 1, 0, 0}, std::vector<double>{0, 0, 1, 0},
                         std::vector<double>{0, 0, 0, 1}),
            1);
  EXPECT_EQ(Determinant3(std::vector<double>{0, 2, 1, 0}, std::vector<double>{0, 1, 3, 1},
                         std::vector<double>{0, 0, 1, 4}),
            2 * 11 - 1 * 4);

  const std::vector<int> flags{1, 0, 0, 5};
  EXPECT_EQ(AnyFlagSet(flags, 2), 0);  // element 0 is not a flag
  EXPECT_EQ(AnyFlagSet(flags, 3), 1);
  EXPECT_EQ(AnyFlagSet(flags, 0), 0);
  EXPECT_EQ(AnyFlagSet(flags, -1), 0);

  const std::vector<double> x{0, 100, 50, 60};
  const std::vector<double> y{0, 0, 10, 10};
  const Window around{-50, 50, -20, 20};
  // Bounds are exclusive: station 1 at x0 + 50 lies on the edge; the first inside wins.
  EXPECT_EQ(FindStationInWindow(x, y, 50, 0, around), 2);
  EXPECT_EQ(FindStationInWindow(x, y, 105, 0, Window{-10, 10, -20, 20}), 1);
  EXPECT_EQ(FindStationInWindow(x, y, 150, 0, Window{-50, 50, -20, 20}), 0);
}

}  // namespace
}  // namespace tolvo::test
