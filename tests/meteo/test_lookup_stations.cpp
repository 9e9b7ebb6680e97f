// The corner stations of a cell in a regular station mesh.
#include "meteo/lookup_stations.h"

#include <gtest/gtest.h>

#include <vector>

namespace tolvo::test {
namespace {

// A 3 x 3 mesh, 10 km apart, with station S (index 5) in the middle at (20000, 30000);
// index = 1 + column + 3 * row from the lower left. `moved` shifts one station.
struct Mesh {
  std::vector<double> x{0};
  std::vector<double> y{0};
  Mesh(int moved = 0, double dx = 0, double dy = 0) {
    for (int j = 0; j < 3; ++j) {
      for (int i = 0; i < 3; ++i) {
        x.push_back(10000.0 + 10000 * i);
        y.push_back(20000.0 + 10000 * j);
      }
    }
    if (moved > 0) {
      x[static_cast<std::size_t>(moved)] += dx;
      y[static_cast<std::size_t>(moved)] += dy;
    }
  }
};

constexpr StationSpacing kSpacing{10000, 10000};

void ExpectCorners(const CornerStations& c, int ur, int ul, int ll, int lr) {
  EXPECT_EQ(c.upper_right, ur);
  EXPECT_EQ(c.upper_left, ul);
  EXPECT_EQ(c.lower_left, ll);
  EXPECT_EQ(c.lower_right, lr);
}

TEST(LookupStations, TheNearestStationsQuadrantFixesItsCorner) {
  const Mesh mesh;
  struct Case {
    const char* name;
    double dx, dy;  // cell relative to S
    int ur, ul, ll, lr;
  };
  // S = 5; north of it 8, east 6, north-east 9, south 2, west 4, south-west 1, ...
  const Case cases[] = {
      {"3 km east, 2 km north: S lower left", 3000, 2000, 9, 8, 5, 6},
      {"3 km east, 2 km south: S upper left", 3000, -2000, 6, 5, 2, 3},
      {"3 km west, 2 km south: S upper right", -3000, -2000, 5, 4, 1, 2},
      {"3 km west, 2 km north: S lower right", -3000, 2000, 8, 7, 4, 5},
      {"straight below S counts as right of it", 0, -2000, 6, 5, 2, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ExpectCorners(CornersAround(mesh.x, mesh.y, 20000 + c.dx, 30000 + c.dy, kSpacing), c.ur, c.ul, c.ll, c.lr);
  }
}

TEST(LookupStations, WindowsToleranceIsAQuarterOfTheSpacing) {
  // Station 9 (north-east of S) off its place by 2 km is found, by 3 km it is not.
  ExpectCorners(CornersAround(Mesh(9, 2000, 0).x, Mesh(9, 2000, 0).y, 23000, 32000, kSpacing), 9, 8, 5, 6);
  ExpectCorners(CornersAround(Mesh(9, 3000, 0).x, Mesh(9, 3000, 0).y, 23000, 32000, kSpacing), 0, 8, 5, 6);
  ExpectCorners(CornersAround(Mesh(6, 0, -2000).x, Mesh(6, 0, -2000).y, 23000, 32000, kSpacing), 9, 8, 5, 6);
  ExpectCorners(CornersAround(Mesh(6, 0, -3000).x, Mesh(6, 0, -3000).y, 23000, 32000, kSpacing), 9, 8, 5, 0);
  // A corner searched from a station not found is not found either.
  const Mesh gap(8, 0, 4000);
  ExpectCorners(CornersAround(gap.x, gap.y, 23000, 32000, kSpacing), 0, 0, 5, 6);
  // Outside the mesh, and without a spacing, only the nearest station is known.
  const Mesh mesh;
  ExpectCorners(CornersAround(mesh.x, mesh.y, 33000, 42000, kSpacing), 0, 0, 9, 0);
  ExpectCorners(CornersAround(mesh.x, mesh.y, 23000, 32000, StationSpacing{}), 0, 0, 5, 0);
  const std::vector<double> none{0};
  ExpectCorners(CornersAround(none, none, 0, 0, kSpacing), 0, 0, 0, 0);
}

}  // namespace
}  // namespace tolvo::test
