#include "meteo/precicorrclass.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "framework/error_code.h"
#include "meteo/precipitation_correction.h"
#include "meteo/regression_kernels.h"
#include "meteo_fixture.h"

namespace tolvo::test {
namespace {

// Threshold 0 °C, rain 1.05 + 0.02 W, snow 1.1 + 0.1 W.
constexpr const char* kCorrection = "[precipitation_correction]\n1\n0\n1.05\n0.02\n1.1\n0.1\n";
const PrecipitationCorrectionSettings kSettings{.do_it = 1, .threshold = 0, .rain_constant = 1.05,
                                                .rain_slope = 0.02, .snow_constant = 1.1, .snow_slope = 0.1};

TEST(PrecipitationCorrectionKernels, RainAndSnowFactorsGrowWithTheWind) {
  EXPECT_NEAR(10 * PrecipitationFactor(kSettings, true, 3, 5), 11.5, 1e-12);
  EXPECT_NEAR(10 * PrecipitationFactor(kSettings, true, 0, 5), 16.0, 1e-12);
  EXPECT_NEAR(10 * PrecipitationFactor(kSettings, true, -5, 0), 11.0, 1e-12);
  EXPECT_NEAR(10 * PrecipitationFactor(kSettings, false, -5, 0), 10.5, 1e-12);
}

// Refitting the bands to values corrected by a constant factor f scales every refitted
// band by f; where the middle band is refitted (lower limit 0), the upper limit moves to
// where the middle and upper bands meet, which f does not change. Bands that cannot be
// refitted from two distinct elevations stay as they are, and so does the join that
// would use them.
TEST(PrecipitationCorrectionKernels, RegressionBandsAreRefittedOnlyWhereTheyHaveExtent) {
  const double f = 1.05;
  const auto bands = [](double l1, double l2, std::array<double, 4> a, std::array<double, 4> b) {
    return RegressionBands{.lower_limit = l1, .upper_limit = l2, .intercepts = a, .gradients = b};
  };
  const struct {
    const char* label;
    RegressionBands in;
    RegressionBands expected;
  } cases[] = {
      {"middle and upper refitted, meeting at 1000 m", bands(0, 1000, {0, 0, 1, 2}, {0, 0, 0.002, 0.001}),
       bands(0, 1000, {0, 0, f, 2 * f}, {0, 0, 0.002 * f, 0.001 * f})},
      {"lower and upper refitted, middle joins them", bands(500, 1000, {0, 1, 0, 2}, {0, 0.004, 0, 0.001}),
       bands(500, 1000, {0, f, 3 * f, 2 * f}, {0, 0.004 * f, 0, 0.001 * f})},
      {"middle band without extent: kept, upper limit kept", bands(0, 0, {0, 0, 1, 2}, {0, 0, 0.002, 0.001}),
       bands(0, 0, {0, 0, 1, 2 * f}, {0, 0, 0.002, 0.001 * f})},
      {"middle band below 0 m: kept", bands(0, -100, {0, 0, 1, 2}, {0, 0, 0.002, 0.001}),
       bands(0, -100, {0, 0, 1, 2 * f}, {0, 0, 0.002, 0.001 * f})},
      {"lower and upper limit alike: no join", bands(800, 800, {0, 1, 7, 2}, {0, 0.004, 0.5, 0.001}),
       bands(800, 800, {0, f, 7, 2 * f}, {0, 0.004 * f, 0.5, 0.001 * f})},
      {"missing regression", bands(0, 1000, {0, -10000, 1, 2}, {0, 0, 0.002, 0.001}),
       bands(0, 1000, {0, -10000, 1, 2}, {0, 0, 0.002, 0.001})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    RegressionBands lines = c.in;
    CorrectRegressionLines(lines, 2500, -9999, [&](double) { return f; });
    EXPECT_EQ(lines.lower_limit, c.expected.lower_limit);
    EXPECT_NEAR(lines.upper_limit, c.expected.upper_limit, 1e-6);
    for (std::size_t i = 1; i <= 3; ++i) {
      EXPECT_NEAR(lines.intercepts[i], c.expected.intercepts[i], 1e-9) << i;
      EXPECT_NEAR(lines.gradients[i], c.expected.gradients[i], 1e-12) << i;
    }
  }
}

// A precipitation input of four stations along the x axis with temperature and wind
// inputs at the same stations (nearest station: their point values are the station
// values), and the correction section.
class StationCorrection : public LogFixture {
 protected:
  void WriteInput(const std::string& name, const std::string& method, const std::string& values,
                  std::string& sections, const std::string& method_line = "regression.txt") {
    const std::string path = dir_.file(name + ".txt");
    WriteFile(path, StationFileText({400, 500, 600, 700}, {0, 200, 400, 600}, {0, 0, 0, 0}, {"2020 1 1 1 " + values}));
    sections += SectionText(name, {.method = method, .file_lines = {path}, .method_line = method_line});
  }
  void Build(const std::vector<std::string>& names, const std::string& sections) {
    run_.WriteControlFile(sections + kCorrection);
    int entry = 6;
    for (const std::string& name : names) {
      inputs_.push_back(std::make_unique<meteointerpol>(log_, registry_, StatisticsRegistry::kCapacity, name,
                                                        run_.settings, entry++));
      list_.push_back(inputs_.back().get());
    }
    correction_ = std::make_unique<precicorrclass>(log_, list_, run_.settings);
    correction_->SetMaxElevation(2500);
  }
  std::vector<double> Values(int input) const {
    const std::vector<double>& v = inputs_[static_cast<std::size_t>(input)]->station_file(0).values;
    return {v.begin() + 1, v.end()};
  }

  TempDir run_dir_;
  MeteoRun run_{log_, run_dir_};
  StatisticsRegistry registry_;
  std::vector<std::unique_ptr<meteointerpol>> inputs_;
  std::vector<MeteoInput*> list_;
  std::unique_ptr<precicorrclass> correction_;
};

TEST_F(StationCorrection, StationValuesTakeTheFactorOfTheirTemperatureAndWind) {
  const struct {
    const char* label;
    std::string temperature, wind;
    std::vector<double> expected;
  } cases[] = {
      {"rain, snow at 0 °C, calm snow, missing value", "3 0 -5 3", "5 5 0 5", {11.5, 16.0, 11.0, -10000}},
      {"no temperature counts as rain, no wind as calm", "-10000 -10000 -10000 -10000", "-10000 -10000 -10000 -10000",
       {10.5, 10.5, 10.5, -10000}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    inputs_.clear();
    list_.clear();
    std::string sections;
    WriteInput("precipitation", "1", "10 10 10 -10000", sections);
    WriteInput("temperature", "4", c.temperature, sections);
    WriteInput("wind_speed", "4", c.wind, sections);
    Build({"precipitation", "temperature", "wind_speed"}, sections);
    EXPECT_FALSE(correction_->CorrectsGrid());
    correction_->CorrectStationData();
    const std::vector<double> values = Values(0);
    for (std::size_t j = 0; j < c.expected.size(); ++j) EXPECT_NEAR(values[j], c.expected[j], 1e-12) << j;
  }
}

// Method 2 corrects the regression of the step; with a
// constant factor (no temperature or wind input) every band scales by it.
TEST_F(StationCorrection, RegressionMethodsCorrectTheirBands) {
  WriteFile(dir_.file("regression.txt"),
            "jr mo dy hr a1 b1 h1 a2 b2 h2 a3 b3 c0 cx cy\n"
            "2020 1 1 1 0 0 0 1 0.002 1000 2 0.001 -10000 0 0\n0 0 0 0\n");
  std::string sections;
  WriteInput("precipitation", "2", "10 10 10 -10000", sections, dir_.file("regression.txt"));
  Build({"precipitation"}, sections);
  correction_->CorrectStationData();
  const RegressionParameters& p = inputs_[0]->regression_parameters();
  EXPECT_NEAR(p[kA2], 1.05, 1e-9);
  EXPECT_NEAR(p[kB2], 0.0021, 1e-12);
  EXPECT_NEAR(p[kA3], 2.1, 1e-9);
  EXPECT_NEAR(p[kB3], 0.00105, 1e-12);
  EXPECT_NEAR(p[kL2], 1000, 1e-6);
  EXPECT_EQ(p[kL1], 0);
}

TEST_F(StationCorrection, GridsWithoutInputAndSwitchedOffCorrection) {
  // A temperature grid that no input makes: the grid is corrected instead.
  Grid temperature(1, kMeteoRows, kMeteoCols, kMeteoRows);
  temperature.fill(2);
  run_.setup().RegisterGrid(7, "t.asc", temperature.view(), {}, 0, "temperature", 0, 1, kMeteoRows);
  std::string sections;
  WriteInput("precipitation", "1", "10 10 10 -10000", sections);
  Build({"precipitation"}, sections);
  EXPECT_TRUE(correction_->CorrectsGrid());
  correction_->CorrectStationData();
  EXPECT_EQ(Values(0), (std::vector<double>{10, 10, 10, -10000}));

  // Switched off: no input or grid is looked up, even without any.
  MeteoRun bare(log_, run_dir_);
  bare.WriteControlFile("[precipitation_correction]\n0\n0\n1\n0\n1\n0\n");
  precicorrclass off(log_, {}, bare.settings);
  EXPECT_FALSE(off.CorrectsGrid());
  off.CorrectStationData();
  off.CorrectPrecipitationGrid();
  // Without the section the run stops.
  bare.WriteControlFile("[radiation_correction]\n0\n60\n");
  EXPECT_EQ(CodeOf([&] { precicorrclass missing(log_, {}, bare.settings); }), kMissingControlItem);
}

// An input that reads ready grids (method 9).
class GridListInput : public MeteoInput {
 public:
  const std::string& input_name() const override { return name_; }
  int method() const override { return 9; }
  void SetSearchRadiusWarning(int) override {}
  void SetHourShift(double) override {}
  ModelDate GetDate() const override { return {}; }
  void ComputeElevationRegression(int) override {}
  void Interpolate(const ModelDate&) override {}
  void WriteResultGrid() override {}
  void ReadNextRecord() override {}
  bool EndOfData() const override { return false; }
  void EndAtCurrentDate() override {}
  void FlushStatistics() override {}
  void RewindInput() override {}
  void DeleteModule() override {}
  double nodata_value() const override { return 9999; }
  int PointScratchSize() const override { return 1; }
  double InterpolateAtPoint(std::span<double>, double, double, double) override { return -10000; }
  double GetRegressionParameters(int, RegressionBands&) const override { return -10000; }

 private:
  std::string name_ = "precipitation";
};

// The grid of a 4 x 3 basin: precipitation 10 with the temperatures and wind speeds of
// the rain, snow and calm cases, a missing value (-10000 with N 9999), a cell outside the
// basin and one of another process.
class GridCorrection : public LogFixture {
 protected:
  GridCorrection() {
    run_.setup().RegisterGrid(6, "p.asc", precipitation_.view(), {}, 0, "precipitation", 0, 1, kMeteoRows);
    run_.setup().RegisterGrid(7, "t.asc", temperature_.view(), {}, 0, "temperature", 0, 1, kMeteoRows);
    run_.setup().RegisterGrid(8, "w.asc", wind_.view(), {}, 0, "wind_speed", 0, 1, kMeteoRows);
    run_.setup().RegisterGrid(9, "r.asc", regions_.view(), {}, 0, "MPIRegions", 0, 1, kMeteoRows);
    precipitation_.fill(10);
    temperature_.fill(3);
    wind_.fill(5);
    regions_.fill(0);
    temperature_(1, 2) = 0;
    temperature_(1, 3) = -5;
    wind_(1, 3) = 0;
    precipitation_(2, 1) = -10000;
    regions_(2, 2) = 1;
    // Cell (2,3) lies outside the basin.
    zone_ = run_.table().zone_grid().values;
    zone_(2, 3) = kNodata;
    precipitation_(2, 3) = kNodata;
    run_.WriteControlFile(kCorrection);
    correction_ = std::make_unique<precicorrclass>(log_, list_, run_.settings);
  }

  TempDir run_dir_;
  MeteoRun run_{log_, run_dir_};
  Grid precipitation_{1, kMeteoRows, kMeteoCols, kMeteoRows};
  Grid temperature_{1, kMeteoRows, kMeteoCols, kMeteoRows};
  Grid wind_{1, kMeteoRows, kMeteoCols, kMeteoRows};
  Grid regions_{1, kMeteoRows, kMeteoCols, kMeteoRows};
  GridView zone_;
  GridListInput list_input_;
  std::vector<MeteoInput*> list_{&list_input_};
  std::unique_ptr<precicorrclass> correction_;
};

// The grid is corrected cell by cell, and never twice: a cell that was not renewed is
// corrected again from its measured value, with the temperature and wind of the step.
TEST_F(GridCorrection, CellsAreCorrectedFromTheirMeasuredValueEveryStep) {
  ASSERT_TRUE(correction_->CorrectsGrid());
  correction_->CorrectStationData();
  EXPECT_EQ(precipitation_(1, 1), 10);
  for (int step = 1; step <= 3; ++step) {
    SCOPED_TRACE(step);
    correction_->CorrectPrecipitationGrid();
    EXPECT_NEAR(precipitation_(1, 1), 11.5, 1e-12);
    EXPECT_NEAR(precipitation_(1, 2), 16.0, 1e-12);
    EXPECT_NEAR(precipitation_(1, 3), 11.0, 1e-12);
    EXPECT_EQ(precipitation_(2, 1), -10000);
    EXPECT_EQ(precipitation_(2, 2), 10);
    EXPECT_EQ(precipitation_(2, 3), kNodata);
  }
  precipitation_(3, 1) = 20;  // renewed
  temperature_(3, 2) = -1;    // not renewed, but snow now
  correction_->CorrectPrecipitationGrid();
  EXPECT_NEAR(precipitation_(3, 1), 23.0, 1e-12);
  EXPECT_NEAR(precipitation_(3, 2), 16.0, 1e-12);
}

}  // namespace
}  // namespace tolvo::test
