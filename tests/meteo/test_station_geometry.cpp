// The geometry an input prepares at construction: the anisotropy check, the mean station
// spacing, the orientation of a station mesh with its rotated coordinate grids, the
// corner stations of every cell, and the elevation regression of methods 10 and 11.
#include <gtest/gtest.h>

#include <cmath>

#include "framework/error_code.h"
#include "meteo/regression_kernels.h"
#include "meteo_fixture.h"

namespace tolvo::test {
namespace {

class StationGeometryTest : public LogFixture {
 protected:
  StationGeometryTest() {
    WriteFile(dir_.file("two.txt"), StationFileText({400, 500}, {1000, 2000}, {3000, 4000}, HourlyRows(1, 5, 2)));
    WriteFile(dir_.file("mesh20.txt"), MeshStationFileText(20));
    WriteFile(dir_.file("mesh0.txt"), MeshStationFileText(0));
  }
  std::unique_ptr<meteointerpol> Build(const SectionItems& items) {
    run_ = std::make_unique<MeteoRun>(log_, run_dir_);
    run_->WriteControlFile(SectionText("temperature", items));
    return run_->Build(log_, "temperature");
  }
  int FindGrid(const char* id) { return run_->setup().FindGrid(id, false); }

  TempDir run_dir_;
  std::unique_ptr<MeteoRun> run_;
};

TEST_F(StationGeometryTest, AnisotropySlopeAndRatioOutOfRangeStopWith54) {
  struct Case {
    const char* slope;
    const char* ratio;
    int code;
    const char* message;
  };
  const Case cases[] = {
      {"90", "0.5", 0, ""},
      {"-90", "0.5", 0, ""},
      {"90.0000001", "0.5", kAnisotropyRange, "anisotropy slope has to range from -90 to +90 degree \n"},
      {"-90.0000001", "0.5", kAnisotropyRange, "anisotropy slope has to range from -90 to +90 degree \n"},
      {"0", "0", kAnisotropyRange, "ratio of anisotropy has to range from +1 to >0 liegen"},
      {"0", "1.2", kAnisotropyRange, "ratio of anisotropy has to range from +1 to >0 liegen"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.slope) + " " + c.ratio);
    const SectionItems items{.file_lines = {dir_.file("two.txt")}, .slope = c.slope, .ratio = c.ratio};
    const int code = CodeOf([&] { Build(items)->DeleteModule(); });
    EXPECT_EQ(code, c.code);
    if (c.code != 0) {
      EXPECT_TRUE(Logged(c.message));
      // A failed input leaves no rotated grid behind in the grid table.
      EXPECT_EQ(FindGrid("CoordXRot_temperature"), 0);
      EXPECT_EQ(FindGrid("CoordYRot_temperature"), 0);
    }
  }
}

TEST_F(StationGeometryTest, ASlopeOf90TurnsNorthIntoTheRotatedXAxis) {
  const auto input = Build({.file_lines = {dir_.file("two.txt")}, .slope = "90", .ratio = "0.5"});
  const int index = FindGrid("CoordXRot_temperature");
  ASSERT_GT(index, 0);
  EXPECT_EQ(FindGrid("CoordYRot_temperature"), index + 1);
  const ConstGridView x = input->interpolation_x();
  const ConstGridView y = input->interpolation_y();
  for (int r = 1; r <= kMeteoRows; ++r) {
    for (int c = 1; c <= kMeteoCols; ++c) {
      // Turned by -90 degrees about (0, 0): (X, Y) becomes (Y, -X).
      EXPECT_NEAR(x(r, c), 100.0 * (kMeteoRows - r) + 50, 1e-6);
      EXPECT_NEAR(y(r, c), -(100.0 * c - 50), 1e-6);
    }
  }
  // The stations turn alike: station 1 at (1000, 3000) becomes (3000, -1000).
  const StationPoints s = input->rotated_stations(0);
  EXPECT_NEAR(s.x[1], 3000, 1e-6);
  EXPECT_NEAR(s.y[1], -1000, 1e-6);
  input->DeleteModule();
  EXPECT_EQ(FindGrid("CoordXRot_temperature"), 0);
}

TEST_F(StationGeometryTest, TheMeanStationSpacingIsLogged) {
  std::vector<double> altitude, x, y;
  for (int j = 0; j < 3; ++j) {
    for (int i = 0; i < 3; ++i) {
      altitude.push_back(100);
      x.push_back(1000 + 5000.0 * i);
      y.push_back(2000 + 8000.0 * j);
    }
  }
  WriteFile(dir_.file("grid.txt"), StationFileText(altitude, x, y, HourlyRows(1, 5, 9)));
  const auto input = Build({.file_lines = {dir_.file("grid.txt")}});
  EXPECT_TRUE(Logged("calculating average horizontal and vertical distance to the next station..."));
  EXPECT_TRUE(Logged("avg. horizontal distance: 5000 m"));
  EXPECT_TRUE(Logged("avg. vertical   distance: 8000 m"));
  EXPECT_EQ(input->station_spacing().horizontal, 5000);
  EXPECT_EQ(input->station_spacing().vertical, 8000);
  // Method 1 keeps the section's slope and ratio 1: no rotated grids.
  EXPECT_EQ(input->section().anisotropy_slope, 30);
  EXPECT_EQ(FindGrid("CoordXRot_temperature"), 0);
}

TEST_F(StationGeometryTest, ABilinearInputFollowsTheOrientationOfItsStationMesh) {
  struct Case {
    const char* file;
    double slope;
    double ratio;
  };
  for (const Case& c : {Case{"mesh20.txt", 20, 0.995}, Case{"mesh0.txt", 0, 1}}) {
    SCOPED_TRACE(c.file);
    const auto input = Build({.method = "5", .file_lines = {dir_.file(c.file)}});
    EXPECT_NEAR(input->section().anisotropy_slope, c.slope, 0.01);
    EXPECT_EQ(input->section().anisotropy_ratio, c.ratio);
    EXPECT_NEAR(input->station_spacing().horizontal, 10000, 1e-3);
    EXPECT_NEAR(input->station_spacing().vertical, 10000, 1e-3);
    EXPECT_EQ(FindGrid("CoordXRot_temperature") > 0, c.ratio < 1);
    EXPECT_TRUE(Logged("choosing look-up-stations...."));
    const double a = input->anisotropy_slope_radians();
    for (int r = 1; r <= kMeteoRows; ++r) {
      for (int c = 1; c <= kMeteoCols; ++c) {
        const double x = 100.0 * c - 50;
        const double y = 100.0 * (kMeteoRows - r) + 50;
        EXPECT_NEAR(input->interpolation_x()(r, c), x * std::cos(a) + y * std::sin(a), 1e-6);
        EXPECT_NEAR(input->interpolation_y()(r, c), -x * std::sin(a) + y * std::cos(a), 1e-6);
        const CornerStations& k = input->lookup_stations(0).at(r, c);
        EXPECT_EQ(k.upper_right, 9);
        EXPECT_EQ(k.upper_left, 8);
        EXPECT_EQ(k.lower_left, 5);
        EXPECT_EQ(k.lower_right, 6);
      }
    }
    input->DeleteModule();
  }
}

TEST_F(StationGeometryTest, MethodTenFitsItsRegressionToTheCurrentRecord) {
  WriteFile(dir_.file("five.txt"),
            StationFileText({200, 600, 1200, 1800, 2400}, {0, 10000, 0, 10000, 5000}, {0, 0, 10000, 10000, 3000},
                            {"2020 1 1 1 10 8 5 4 3", "2020 1 1 2 10 8 8 7.4 6.8"}));
  const auto input =
      Build({.method = "10", .file_lines = {dir_.file("five.txt")}, .method_line = "1000 2000 100 0 50"});
  input->ComputeElevationRegression(0);
  EXPECT_NEAR(input->regression_parameters()[kL2], 1200, 1e-9);
  EXPECT_NEAR(input->regression_parameters()[kA3], 7, 1e-9);
  input->ReadNextRecord();
  input->ComputeElevationRegression(0);
  EXPECT_EQ(input->regression_parameters()[kL1], 1000);
  EXPECT_NEAR(input->regression_parameters()[kA2], 4.8, 1e-9);
}

}  // namespace
}  // namespace tolvo::test
