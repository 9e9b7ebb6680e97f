// The value of an input at a single point (used where stations of one input need the
// values of another), and the regression parameters an input hands out.
#include <gtest/gtest.h>

#include <vector>

#include "meteo_fixture.h"

namespace tolvo::test {
namespace {

struct PointCase {
  const char* name;
  SectionItems items;
  std::string values;  // station values of the start record
  double x, y, z;
  double expected;
};

class PointInterpolationTest : public LogFixture {
 protected:
  // Stations 1 and 2 lie 200 m apart on the x axis, station 3 beyond every search radius.
  std::string Stations(const std::string& values) {
    const std::string path = dir_.file("stations.txt");
    WriteFile(path, StationFileText({400, 500, 600}, {0, 200, 50000}, {0, 0, 50000}, {"2020 1 1 1 " + values}));
    return path;
  }
  // A regression of 20 at every elevation and point.
  std::string Regression() {
    const std::string path = dir_.file("regression.txt");
    WriteFile(path,
              "jr mo dy hr a1 b1 h1 a2 b2 h2 a3 b3 c0 cx cy\n"
              "2020 1 1 1 20 0 1000 20 0 2000 20 0 -10000 0 0\n0 0 0 0\n");
    return path;
  }
  std::unique_ptr<meteointerpol> Build(SectionItems items, const std::string& values) {
    items.file_lines = {Stations(values)};
    if (items.method == "2" || items.method == "3") items.method_line = Regression();
    run_.WriteControlFile(SectionText("temperature", items));
    return run_.Build(log_, "temperature");
  }

  TempDir run_dir_;
  MeteoRun run_{log_, run_dir_};
};

TEST_F(PointInterpolationTest, MethodsGiveTheirValueAtAPoint) {
  const std::string limits = "-40   lower limit\n-40   lower replacement\n50   upper limit\n50   upper replacement";
  // Expected values by hand: equal distances weigh equally; the lapse rate carries station
  // 1 (400 m) to 1400 m; method 3 weighs idw 10 and regression 20 by 0.7 and 0.3.
  const PointCase cases[] = {
      {"idw halfway between two stations", {.method = "1", .file_lines = {}}, "10 20 30", 100, 0, 0, 15},
      {"nearest station", {.method = "4", .file_lines = {}}, "10 20 30", 30, 0, 0, 10},
      {"nearest station carried by the lapse rate", {.method = "12", .file_lines = {}, .method_line = "-0.0065  lapse rate"},
       "10 20 30", 30, 0, 1400, 3.5},
      {"regression", {.method = "2", .file_lines = {}}, "10 20 30", 100, 0, 500, 20},
      {"idw and regression combined", {.method = "3", .file_lines = {}, .fraction = "0.7"}, "10 10 30", 100, 0, 500, 13},
      {"regression alone where no station is in reach", {.method = "3", .file_lines = {}, .fraction = "0.7"}, "10 10 30", -40000,
       -40000, 500, 20},
      {"scaled 30 becomes 60, above the upper limit", {.method = "1", .file_lines = {}, .scaling = "2", .limits = limits}, "30 30 30",
       100, 0, 0, 50},
      {"scaled -22.5 becomes -45, below the lower limit", {.method = "1", .file_lines = {}, .scaling = "2", .limits = limits},
       "-22.5 -22.5 0", 100, 0, 0, -40},
      {"a value within the limits stays", {.method = "1", .file_lines = {}, .limits = limits}, "49.9 49.9 0", 100, 0, 0, 49.9},
      {"no station in reach is missing, not limited", {.method = "1", .file_lines = {}, .limits = limits}, "10 10 30", -40000, -40000,
       0, -10000},
  };
  for (const PointCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::unique_ptr<meteointerpol> input = Build(c.items, c.values);
    std::vector<double> scratch(static_cast<std::size_t>(input->PointScratchSize()));
    EXPECT_NEAR(input->InterpolateAtPoint(scratch, c.x, c.y, c.z), c.expected, 1e-12);
    input->DeleteModule();
  }
}

TEST_F(PointInterpolationTest, RegressionParametersOfRegressionInputsOnly) {
  const std::unique_ptr<meteointerpol> regression = Build({.method = "2", .file_lines = {}}, "10 20 30");
  RegressionBands bands;
  EXPECT_EQ(regression->GetRegressionParameters(1, bands), 0);
  EXPECT_EQ(bands.lower_limit, 1000);
  EXPECT_EQ(bands.upper_limit, 2000);
  EXPECT_EQ(bands.intercepts, (std::array<double, 4>{-10000, 20, 20, 20}));
  EXPECT_EQ(bands.gradients, (std::array<double, 4>{-10000, 0, 0, 0}));
  // A set that does not exist has no parameters either.
  EXPECT_EQ(regression->GetRegressionParameters(2, bands), -10000);
  regression->DeleteModule();

  const std::unique_ptr<meteointerpol> idw = Build({.method = "1", .file_lines = {}}, "10 20 30");
  EXPECT_EQ(idw->GetRegressionParameters(1, bands), -10000);
  EXPECT_EQ(bands.lower_limit, -10000);
  EXPECT_EQ(bands.upper_limit, -10000);
  EXPECT_EQ(bands.intercepts, (std::array<double, 4>{-10000, -10000, -10000, -10000}));
  EXPECT_EQ(bands.gradients, (std::array<double, 4>{-10000, -10000, -10000, -10000}));
  idw->DeleteModule();
}

}  // namespace
}  // namespace tolvo::test
