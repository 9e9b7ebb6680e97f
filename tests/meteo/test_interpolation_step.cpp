// One step of a meteorological input: the value of every cell by the input's method, the
// scaling, limits and scenario values it goes through, and what a cell or a whole step
// without anything to interpolate publishes.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "framework/error_code.h"
#include "meteo/result_postprocess.h"
#include "meteo_fixture.h"

namespace tolvo::test {
namespace {

std::string Repeat(const std::string& value, int n) {
  std::string text;
  for (int i = 0; i < n; ++i) text += (i > 0 ? " " : "") + value;
  return text;
}

// The 3 x 3 mesh of MeshStationFileText with the same value row at hours 1 to 5.
std::string MeshFile(const std::string& values) {
  std::string text = MeshStationFileText(0);
  for (int h = 1; h <= 5; ++h) {
    const std::string row = "2020 1 1 " + std::to_string(h) + " ";
    const std::size_t at = text.find(row);
    const std::size_t end = text.find('\n', at);
    text.replace(at, end - at, row + values);
  }
  return text;
}

// The elevation model of the fixture: 100 r + c.
double Elevation(int r, int c) { return 100.0 * r + c; }

class InterpolationStepTest : public LogFixture {
 protected:
  std::string File(const std::string& name, const std::string& text) {
    WriteFile(dir_.file(name), text);
    return dir_.file(name);
  }
  // Two stations next to the grid with the value rows given.
  std::string Stations(const std::string& name, const std::vector<std::string>& rows) {
    return File(name, StationFileText({400, 500}, {50, 250}, {250, 250}, rows));
  }
  std::unique_ptr<meteointerpol> Build(const SectionItems& items, const std::string& name = "temperature") {
    run_.WriteControlFile(SectionText(name, items));
    return run_.Build(log_, name);
  }
  // Interpolates the current record, takes the next one and returns the grid.
  static std::vector<double> Step(meteointerpol& input) {
    input.Interpolate(input.GetDate());
    std::vector<double> values;
    for (int r = 1; r <= kMeteoRows; ++r) {
      for (int c = 1; c <= kMeteoCols; ++c) values.push_back(input.result_grid()(r, c));
    }
    input.ReadNextRecord();
    return values;
  }
  static std::vector<double> Field(const std::function<double(int, int)>& value) {
    std::vector<double> values;
    for (int r = 1; r <= kMeteoRows; ++r) {
      for (int c = 1; c <= kMeteoCols; ++c) values.push_back(value(r, c));
    }
    return values;
  }
  static void ExpectNear(const std::vector<double>& actual, const std::vector<double>& expected) {
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t k = 0; k < actual.size(); ++k) EXPECT_NEAR(actual[k], expected[k], 1e-9) << "cell " << k;
  }

  TempDir run_dir_;
  MeteoRun run_{log_, run_dir_};
};

TEST_F(InterpolationStepTest, EqualStationValuesAreScaledLimitedAndChangedByTheScenario) {
  const std::string limits = "-40   lower limit\n-40   lower replacement\n50   upper limit\n50   upper replacement";
  const auto scenario = [](int method, const std::string& value) {
    return "1   SzenUse\n" + std::to_string(method) + "   SzenMeth\n1   SzenNum\n150 250 " + Repeat(value, 12);
  };
  struct Case {
    const char* name;
    std::string value;
    std::string scaling;
    std::string scenario;
    double expected;
  };
  const Case cases[] = {
      {"above the upper limit", "60", "1", "0   SzenUse", 50},
      {"below the lower limit", "-45", "1", "0   SzenUse", -40},
      {"within the limits", "49.9", "1", "0   SzenUse", 49.9},
      {"scaled by 2 above the upper limit", "30", "2", "0   SzenUse", 50},
      {"SzenMeth 1 adds", "10", "1", scenario(1, "1.5"), 11.5},
      {"SzenMeth 2 multiplies", "10", "1", scenario(2, "1.5"), 15},
      {"SzenMeth 3 multiplies by 1 + percent / 100", "10", "1", scenario(3, "10"), 11},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string stations = Stations("equal.txt", {"2020 1 1 1 " + c.value + " " + c.value});
    SectionItems items{.file_lines = {stations}, .scenario = c.scenario, .scaling = c.scaling, .limits = limits};
    const auto input = Build(items);
    ExpectNear(Step(*input), Field([&](int, int) { return c.expected; }));
    input->DeleteModule();
  }
}

TEST_F(InterpolationStepTest, ScenarioValueOfADayLiesBetweenTheMiddlesOfTheMonths) {
  ScenarioRow row{};
  for (int m = 1; m <= 12; ++m) row[static_cast<std::size_t>(m) + 2] = m;
  // April has 30 days: the 16th lies 1/30 of the way to May.
  EXPECT_DOUBLE_EQ(ScenarioDayValue(row, 2021, 4, 16), (29 * 4 + 5) / 30.0);
  // The 15th of February lies 1/31 of January's length after its middle.
  EXPECT_DOUBLE_EQ(ScenarioDayValue(row, 2021, 2, 15), (30 * 2 + 1) / 31.0);
  // December's successor is January.
  EXPECT_DOUBLE_EQ(ScenarioDayValue(row, 2021, 12, 31), (15 * 12 + 16 * 1) / 31.0);
  // A scenario point far away is still the nearest one.
  const ScenarioRow far{0, 1e6, 1e6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1.2};
  EXPECT_EQ(NearestScenarioValue(std::vector<ScenarioRow>{far}, 0, 0), 1.2);
}

TEST_F(InterpolationStepTest, InverseDistanceAndRegressionWeighedByTheFraction) {
  // Stations 5 and 15 on either side of cell (2, 2): inverse distance gives 10 there.
  const std::string stations = Stations("pair.txt", {"2020 1 1 1 5 15"});
  const std::string regression = File("regression.txt",
                                      "jr mo dy hr a1 b1 h1 a2 b2 h2 a3 b3 c0 cx cy\n"
                                      "2020 1 1 1 20 0 1000 20 0 2000 20 0 -10000 0 0\n0 0 0 0\n");
  const auto input =
      Build({.method = "3", .file_lines = {stations}, .method_line = regression, .fraction = "0.7"});
  const std::vector<double> values = Step(*input);
  EXPECT_NEAR(values[4], 13, 1e-12);
}

TEST_F(InterpolationStepTest, ResidualsAndGradientsGiveTheValueAtTheCellsElevation) {
  // Equal residuals 5 and gradients -0.01 per m: 5 - 0.01 z in every cell.
  const std::vector<double> expected = Field([](int r, int c) { return 5 - 0.01 * Elevation(r, c); });
  {
    SCOPED_TRACE("bilinear residuals");
    const std::string residuals = Stations("res.txt", {"2020 1 1 1 5 5"});
    const std::string gradients = Stations("grad.txt", {"2020 1 1 1 -0.01 -0.01"});
    const auto input = Build({.method = "6", .file_lines = {residuals, gradients}});
    ExpectNear(Step(*input), expected);
    input->DeleteModule();
  }
  {
    SCOPED_TRACE("spline residuals");
    const std::string residuals = File("mesh_res.txt", MeshFile(Repeat("5", 9)));
    const std::string gradients = File("mesh_grad.txt", MeshFile(Repeat("-0.01", 9)));
    const auto input = Build({.method = "8", .file_lines = {residuals, gradients}});
    ExpectNear(Step(*input), expected);
    input->DeleteModule();
  }
}

TEST_F(InterpolationStepTest, SplinesReproduceALinearField) {
  // Mesh columns at x = -12950, -2950 and 7050 with the values x / 1000: every cell lies
  // on a work column, so the natural splines give X / 1000 exactly.
  const auto input = Build({.method = "7", .file_lines = {File("mesh.txt", MeshFile("-12.95 -2.95 7.05 -12.95 -2.95 "
                                                                                     "7.05 -12.95 -2.95 7.05"))}});
  ASSERT_TRUE(input->station_mesh().has_value());
  EXPECT_EQ(input->station_mesh()->n_cols, 3);
  ExpectNear(Step(*input), Field([](int, int c) { return (100.0 * c - 50) / 1000; }));
}

TEST_F(InterpolationStepTest, MeshColumnsOfDifferentLengthStopWith70) {
  std::string text = MeshStationFileText(0);
  // Drop the mesh's top right station (the ninth) from the header lines.
  std::vector<double> altitude, x, y;
  const double xs[] = {-12950, -2950, 7050};
  const double ys[] = {-11950, -1950, 8050};
  for (int j = 0; j < 3; ++j) {
    for (int i = 0; i < 3; ++i) {
      if (i == 2 && j == 2) continue;
      altitude.push_back(500);
      x.push_back(xs[i]);
      y.push_back(ys[j]);
    }
  }
  const std::string stations = File("short.txt", StationFileText(altitude, x, y, {"2020 1 1 1 " + Repeat("1", 8)}));
  EXPECT_EQ(CodeOf([&] { Build({.method = "7", .file_lines = {stations}}); }), kStationMeshError);
  EXPECT_TRUE(Logged("Error converting the station coordinates into a grid"));
}

TEST_F(InterpolationStepTest, ReadyGridsFollowTheListAndRepeatTheLastValidGrid) {
  const std::string header = "ncols 3\nnrows 4\nxllcorner 0\nyllcorner 0\ncellsize 100\nNODATA_value -9999\n";
  File("a.asc", header + "1 1 1\n1 1 1\n1 1 1\n1 1 1\n");
  File("b.asc", header + "2 2 2\n2 2 2\n2 2 2\n2 2 2\n");
  const std::string list = File("grids.txt", StationFileText({100}, {0}, {400},
                                                            {"2020 1 1 1 " + dir_.file("a.asc"), "2020 1 1 2 -9999",
                                                             "2020 1 1 3 " + dir_.file("b.asc")}));
  const auto input = Build({.method = "9", .file_lines = {list}, .method_line = "100 0 400 1 0  gif mapping"});
  for (const double expected : {1.0, 1.0, 2.0}) ExpectNear(Step(*input), Field([&](int, int) { return expected; }));
}

TEST_F(InterpolationStepTest, AListThatBeginsWithoutAGridStopsWith1050) {
  const std::string list = File("grids.txt", StationFileText({100}, {0}, {400}, {"2020 1 1 1 -9999"}));
  const auto input = Build({.method = "9", .file_lines = {list}, .method_line = "100 0 400 1 0  gif mapping"});
  EXPECT_EQ(CodeOf([&] { input->Interpolate(input->GetDate()); }), kNoReadyGrid);
}

TEST_F(InterpolationStepTest, AStepWithoutInterceptRepublishesTheInputsOwnValues) {
  const std::string regression = File("regression.txt",
                                      "jr mo dy hr a1 b1 h1 a2 b2 h2 a3 b3 c0 cx cy\n"
                                      "2020 1 1 1 20 0 1000 20 0 2000 20 0 -10000 0 0\n"
                                      "2020 1 1 2 -10000 0 1000 20 0 2000 20 0 -10000 0 0\n0 0 0 0\n");
  const auto input = Build({.method = "2", .file_lines = {"unused"}, .method_line = regression, .scaling = "2"});
  const std::vector<double> first = Step(*input);
  ExpectNear(first, Field([](int, int) { return 40; }));
  // A later sub-model changes the published grid in place; the next step does not keep it,
  // nor does it scale the kept values again.
  run_.table()[6].values(2, 2) = 999;
  ExpectNear(Step(*input), first);
}

TEST_F(InterpolationStepTest, ACellWithoutStationInReachKeepsItsPreviousValue) {
  // Station 1 serves cell (1, 1), station 2 cell (4, 3), station 3 none; cell (2, 3) is out
  // of every station's reach.
  const std::string stations = File("reach.txt", StationFileText({400, 500, 600}, {50, 250, 5000}, {350, 50, 5000},
                                                                 {"2020 1 1 1 1 2 7", "2020 1 1 2 -10000 3 7",
                                                                  "2020 1 1 3 -10000 4 7"}));
  const auto input = Build({.method = "1", .file_lines = {stations}, .max_distance = "150",
                            .limits = "0   lower limit\n0   lower replacement\n1000   upper limit\n1000   upper "
                                      "replacement"});
  const std::size_t cell_11 = 0, cell_23 = 5, cell_43 = 11;
  std::vector<double> v = Step(*input);
  EXPECT_EQ(v[cell_11], 1);
  EXPECT_EQ(v[cell_23], kNodata);
  EXPECT_EQ(v[cell_43], 2);
  for (const double expected : {3.0, 4.0}) {
    v = Step(*input);
    EXPECT_EQ(v[cell_11], 1);
    EXPECT_EQ(v[cell_23], kNodata);
    EXPECT_EQ(v[cell_43], expected);
  }
  const std::string warning = "cells without any station value in reach keep their previous value";
  const std::string text = console_.str();
  EXPECT_EQ(text.find(warning), text.rfind(warning));
  EXPECT_NE(text.find(warning), std::string::npos);
}

TEST_F(InterpolationStepTest, CellsOutsideTheBasinStayNodata) {
  run_.table()[1].values(3, 2) = kNodata;
  const std::string stations = Stations("equal.txt", {"2020 1 1 1 4 4"});
  const auto input = Build({.file_lines = {stations}, .scaling = "2"});
  ExpectNear(Step(*input), Field([](int r, int c) { return r == 3 && c == 2 ? kNodata : 8.0; }));
}

TEST_F(InterpolationStepTest, SearchRadiusWarningNamesTheCell) {
  const std::string stations = File("far.txt", StationFileText({400, 500}, {50, 5000}, {350, 5000},
                                                               {"2020 1 1 1 1 2"}));
  const auto input = Build({.method = "1", .file_lines = {stations}, .max_distance = "150"});
  input->SetSearchRadiusWarning(1);
  Step(*input);
  EXPECT_TRUE(Logged(" at x=250, y=50 no station within the specified search radius!"));
}

}  // namespace
}  // namespace tolvo::test
