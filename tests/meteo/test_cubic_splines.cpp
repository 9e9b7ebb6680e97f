// Natural cubic splines and the station mesh they run along.
#include <gtest/gtest.h>

#include <vector>

#include "meteo/cubic_splines.h"
#include "meteo/station_mesh.h"

namespace tolvo {
namespace {

// Press et al., Numerical Recipes, 2nd ed., section 3.3: the natural spline through
// (0, 0), (1, 1), (2, 0) has y2 = 0, -3, 0 (the middle equation 1/6 y2_0 + 2/3 y2_1 +
// 1/6 y2_2 = -2), and at 0.5 the value 0.5 + (1/8 - 1/2)(-3)/6 = 0.6875.
TEST(CubicSpline, NaturalSplineThroughThreePoints) {
  const std::vector<double> x{0, 1, 2};
  const std::vector<double> y{0, 1, 0};
  std::vector<double> y2(3), u(3);
  NaturalSecondDerivatives(x, y, y2, u);
  EXPECT_DOUBLE_EQ(y2[0], 0);
  EXPECT_DOUBLE_EQ(y2[1], -3);
  EXPECT_DOUBLE_EQ(y2[2], 0);
  EXPECT_DOUBLE_EQ(SplinePiece(x[0], x[1], y[0], y[1], y2[0], y2[1], 0.5), 0.6875);
}

// A mesh of 2 x 2 stations 1000 m apart, listed out of order.
std::vector<double> MeshX() { return {0, 1000, 0, 0, 1000}; }
std::vector<double> MeshY() { return {0, 1000, 1000, 0, 0}; }

TEST(StationMesh, ColumnsRunFromTheTopStationDown) {
  const std::optional<StationMesh> mesh = BuildStationMesh(MeshX(), MeshY(), {1000, 1000});
  ASSERT_TRUE(mesh.has_value());
  EXPECT_EQ(mesh->n_rows, 2);
  EXPECT_EQ(mesh->n_cols, 2);
  EXPECT_EQ(mesh->station, (std::vector<int>{2, 1, 3, 4}));
}

TEST(StationMesh, ColumnsOfDifferentLengthAreNoMesh) {
  std::vector<double> x = MeshX();
  std::vector<double> y = MeshY();
  x.push_back(0);  // a third station in the first column only
  y.push_back(2000);
  EXPECT_FALSE(BuildStationMesh(x, y, {1000, 1000}).has_value());
}

TEST(CubicSpline, TwoNodesOfAColumnAtOneHeightAreAFault) {
  StationMesh mesh{.n_rows = 2, .n_cols = 1, .station = {1, 2}, .x = {0, 0}, .y = {500, 500}};
  Grid x(1, 1, 1, 1), y(1, 1, 1, 1), zone(1, 1, 1, 1);
  x(1, 1) = 0;
  y(1, 1) = 500;
  zone(1, 1) = 1;
  const GridGeometry g{.ncols = 1, .nrows = 1, .cellsize = 100};
  TSplines splines(mesh, x.view(), y.view(), zone.view(), {1, 1}, g, -9999, 1);
  const std::vector<double> values{3, 4};
  const SplineFault fault = splines.PrepareColumns(values);
  EXPECT_TRUE(fault.failed);
  EXPECT_EQ(fault.low, 1);
  EXPECT_EQ(fault.high, 2);
  EXPECT_EQ(fault.x_low, 500);
}

}  // namespace
}  // namespace tolvo
