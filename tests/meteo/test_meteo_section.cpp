// The section of a meteorological input and its construction: what each item becomes, and
// the codes and entries of sections that cannot be used.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "framework/error_code.h"
#include "meteo/meteo_section.h"
#include "meteo_fixture.h"

namespace tolvo::test {
namespace {

struct SectionCase {
  const char* name;
  SectionItems items;
  int code;            // 0: the input is built
  std::string logged;  // a text of the console (empty: none checked)
  std::function<void(const meteointerpol&)> check = {};
};

class MeteoSectionTest : public LogFixture {
 protected:
  MeteoSectionTest() {
    // Two stations; the second file of method 6 differs from the first in the x of station 2.
    const std::vector<std::string> rows = HourlyRows(1, 5, 2);
    WriteFile(dir_.file("stations.txt"), StationFileText({400, 500}, {1000, 2000}, {3000, 4000}, rows));
    WriteFile(dir_.file("gradients.txt"), StationFileText({400, 500}, {1000, 2000}, {3000, 4000}, rows));
    WriteFile(dir_.file("other_x.txt"), StationFileText({400, 500}, {1000, 2001}, {3000, 4000}, rows));
    WriteFile(dir_.file("extra.txt"),
              "title\nYY MM DD HH QQ 400 500\nYY MM DD HH QQ 1000 2000\n"
              "YY MM DD HH QQ 3000 4000\nnames\n2020 1 1 1 x 11 21\n");
    WriteFile(dir_.file("month1.asc"),
              "ncols 3\nnrows 4\nxllcorner 0\nyllcorner 0\ncellsize 100\nNODATA_value -9999\n"
              "1 1 1\n1 1 1\n2 2 2\n2 2 2\n");
    WriteFile(dir_.file("grids.txt"), StationFileText({100}, {0}, {400}, {"2020 1 1 1 a.asc", "2020 1 1 2 b.asc"}));
  }
  std::string File(const std::string& name) const { return dir_.file(name); }

  TempDir run_dir_;
};

TEST_F(MeteoSectionTest, SectionsBuildOrStopWithTheirCode) {
  const std::string stations = File("stations.txt");
  const std::string scenario_row = "5000 6000 10 10 10 10 10 10 10 10 10 10 10 10";
  std::string eleven_months;
  for (int m = 1; m <= 11; ++m) eleven_months += "month" + std::to_string(m) + ".asc\n";
  const std::string twelve_months = eleven_months + "month12.asc  December\n";
  const SectionCase cases[] = {
      {"method 13 is read completely, then refused",
       {.method = "13", .file_lines = {stations}},
       kInterpolationMethodRange,
       "interpolation method has to range from 1..12 (here: 13)"},
      {"method -1 is refused as well",
       {.method = "-1", .file_lines = {stations}},
       kInterpolationMethodRange,
       "(here: -1)"},
      {"method 6 whose second file moves station 2",
       {.method = "6", .file_lines = {stations, File("other_x.txt")}},
       kStationFilesDisagree,
       "Altitude and/or coordinates of station 2 are different in"},
      {"method 6 with identical stations",
       {.method = "6", .file_lines = {stations, File("gradients.txt")}},
       0,
       "",
       [gradients = File("gradients.txt"), stations](const meteointerpol& input) {
         EXPECT_EQ(input.station_file(1).n_stations, 2);
         EXPECT_EQ(input.station_file(1).values[2], 21);
         // The second file holds the gradients, the first the residuals.
         EXPECT_NE(
             input.statistics_description().find("bilinear interpolation of gradients (" + gradients +
                                                 ", add. col.: 0) and residuals (" + stations + ", add. col.: 0)"),
             std::string::npos)
             << input.statistics_description();
       }},
      {"method 12 with a lapse rate and one more number",
       {.method = "12", .file_lines = {stations}, .method_line = "-0.0065 1500"},
       kMeteoInputFileError,
       "error reading the required parameter \"lapse rate\""},
      {"method 12 with a lapse rate only",
       {.method = "12", .file_lines = {stations}, .method_line = "-0.0065"},
       0,
       "",
       [](const meteointerpol& input) {
         EXPECT_EQ(input.section().lapse_rate.lapse_rate, -0.0065);
         EXPECT_EQ(input.section().lapse_rate.inversion_height, -9999);
         EXPECT_EQ(input.section().lapse_rate.upper_lapse_rate, -9999);
         EXPECT_FALSE(input.section().lapse_rate.precipitation_type);
       }},
      {"method 12 with three numbers and P-type",
       {.method = "12", .file_lines = {stations}, .method_line = "-0.0065 1500 0.002 P-type"},
       0,
       "",
       [](const meteointerpol& input) { EXPECT_TRUE(input.section().lapse_rate.precipitation_type); }},
      {"method 9 with four GIF values",
       {.method = "9", .file_lines = {File("grids.txt")}, .method_line = "8.9e-5 0.0767 127 6e-6"},
       kMeteoInputFileError,
       "error reading the required 5 GIF-Mapping parameters"},
      {"method 10 with four regression values",
       {.method = "10", .file_lines = {stations}, .method_line = "500 1500 0.1 2"},
       kMeteoInputFileError,
       "error reading the required 5 or 6 regression parameters"},
      {"method 11 with five regression values",
       {.method = "11", .file_lines = {stations}, .method_line = "500 1500 0.1 2 300"},
       0,
       "",
       [](const meteointerpol& input) {
         EXPECT_EQ(input.section().elevation_regression.overlap, 2);
         EXPECT_EQ(input.section().elevation_regression.lapse_rate_above, -9999);
       }},
      {"idw weight 2 squares the search radius",
       {.file_lines = {stations}},
       0,
       "initializing interpolator for temperature",
       [](const meteointerpol& input) {
         EXPECT_EQ(input.section().max_distance, 900000000);
         EXPECT_NE(input.statistics_description().find("weighting =  2.0,  maxentf =    30000,"), std::string::npos)
             << input.statistics_description();
         EXPECT_DOUBLE_EQ(input.anisotropy_slope_radians(), 30 * 0.017453292519944444);
       }},
      {"idw weight 1.5 keeps the search radius",
       {.file_lines = {stations}, .idw_weight = "1.5"},
       0,
       "",
       [](const meteointerpol& input) {
         EXPECT_EQ(input.section().max_distance, 30000);
         EXPECT_NE(input.statistics_description().find("maxentf =    30000"), std::string::npos);
       }},
      {"SzenMeth 3 stores percentages as factors",
       {.file_lines = {stations}, .scenario = "1 SzenUse\n3 SzenMeth\n1 SzenNum\n" + scenario_row + " row 1"},
       0,
       "",
       [](const meteointerpol& input) {
         ASSERT_EQ(input.section().scenario_table.size(), 1u);
         const ScenarioRow& row = input.section().scenario_table[0];
         EXPECT_EQ(row[1], 5000);
         EXPECT_EQ(row[2], 6000);
         EXPECT_DOUBLE_EQ(row[3], 1.1);
         EXPECT_DOUBLE_EQ(row[14], 1.1);
       }},
      {"a scenario value that is no number",
       {.file_lines = {stations}, .scenario = "1 SzenUse\n2 SzenMeth\n1 SzenNum\n5000 6000 10 ten"},
       kScenarioTableError,
       "scenario-data row 1, column 4 in temperature: read error!"},
      {"SzenNum 0 with a multiplying SzenMeth",
       {.file_lines = {stations}, .scenario = "1 SzenUse\n0 SzenMeth\n0 SzenNum"},
       kScenarioTableError,
       "holds no rows (SzenNum 0), but SzenMeth 0 multiplies"},
      {"SzenNum 0 with the adding SzenMeth 1",
       {.file_lines = {stations}, .scenario = "1 SzenUse\n1 SzenMeth\n0 SzenNum"},
       0,
       ""},
      {"twelve scenario month grids: the start month's grid is read",
       {.file_lines = {stations}, .scenario = "1 SzenUse\n6 SzenMeth\n" + twelve_months},
       0,
       "",
       [](const meteointerpol& input) {
         EXPECT_EQ(input.scenario_month(), 1);
         EXPECT_EQ(input.section().month_files[12], "month12.asc");
       }},
      {"eleven scenario month grids before the next section",
       {.file_lines = {stations}, .scenario = "1 SzenUse\n5 SzenMeth\n" + eleven_months},
       kMissingControlItem,
       "scenario grid for month 12 in temperature not found!"},
      {"a negative count of additional columns",
       {.file_lines = {stations + " AdditionalColumns=-2"}},
       kMissingControlItem,
       "AdditionalColumns of station data file nr. 0 in [temperature]"},
      {"additional columns skipped before the values",
       {.file_lines = {File("extra.txt") + " AdditionalColumns=1"}},
       0,
       "",
       [](const meteointerpol& input) {
         EXPECT_EQ(input.station_file(0).n_stations, 2);
         EXPECT_EQ(input.station_file(0).x[2], 2000);
         EXPECT_EQ(input.station_file(0).values[1], 11);
         EXPECT_NE(input.statistics_description().find("additional columns: 1"), std::string::npos);
       }},
      {"a station data file that is missing",
       {.file_lines = {File("none.txt")}},
       kMeteoInputFileError,
       "error opening " + File("none.txt")},
      {"a fraction of idw that is no number",
       {.file_lines = {stations}, .idw_weight = "2.0\nmany"},
       kMissingControlItem,
       "fraction of idw on weighted interpolation (method 3)"},
  };
  for (const SectionCase& c : cases) {
    SCOPED_TRACE(c.name);
    console_.str("");
    MeteoRun run(log_, run_dir_);
    run.settings.input_directory = dir_.file("");
    run.WriteControlFile(SectionText("temperature", c.items));
    std::unique_ptr<meteointerpol> input;
    const int code = CodeOf([&] { input = run.Build(log_, "temperature"); });
    EXPECT_EQ(code, c.code);
    if (!c.logged.empty()) {
      EXPECT_TRUE(Logged(c.logged)) << console_.str();
    }
    if (code == 0 && c.check) c.check(*input);
    if (code == 0 && input->scenario_month() > 0) {
      const grid_entry& scenario = run.table()[7];
      EXPECT_EQ(scenario.identifier.value_or(""), "scenariogrid_temperature");
      EXPECT_EQ(scenario.values(4, 3), 2);
    }
    // A refused input leaves no view of its grids in the grid table.
    if (code != 0) {
      EXPECT_TRUE(run.table()[6].values.empty());
    }
  }
}

TEST_F(MeteoSectionTest, TheResultGridIsRegisteredUnderTheInputNameWithNodata) {
  MeteoRun run(log_, run_dir_);
  run.WriteControlFile(SectionText("precipitation", {.file_lines = {File("stations.txt")}}));
  const std::unique_ptr<meteointerpol> input = run.Build(log_, "precipitation");
  const grid_entry& entry = run.table()[6];
  EXPECT_EQ(entry.identifier.value_or(""), "precipitation");
  EXPECT_EQ(entry.file_name.value_or(""), "result.asc");
  for (int r = 1; r <= kMeteoRows; ++r) {
    for (int c = 1; c <= kMeteoCols; ++c) EXPECT_EQ(entry.values(r, c), kNodata);
  }
  EXPECT_TRUE(input->scaling_grid().empty());
  input->DeleteModule();
  EXPECT_TRUE(Logged("deleting interpolator for precipitation"));
}

TEST_F(MeteoSectionTest, AScalingGridUnderTheInputsIdentifierIsFound) {
  MeteoRun run(log_, run_dir_);
  Grid scaling(1, kMeteoRows, kMeteoCols, kMeteoRows);
  run.setup().RegisterGrid(6, "scaling.asc", scaling.view(), {}, 0, "ScalingGrid_temperature", 0, 1, kMeteoRows);
  run.WriteControlFile(SectionText("temperature", {.file_lines = {File("stations.txt")}}));
  const auto registry = std::make_unique<StatisticsRegistry>();
  const auto input = std::make_unique<meteointerpol>(log_, *registry, 200, "temperature", run.settings, 7);
  EXPECT_EQ(input->scaling_grid().row_table(), scaling.view().row_table());
}

TEST(MeteoSectionLines, StationFileLinesNameTheFileAndItsAdditionalColumns) {
  const StationFileLine plain = ParseStationFileLine("  data/temp.txt   station data of the temperature");
  EXPECT_EQ(plain.file_name, "data/temp.txt");
  EXPECT_EQ(plain.additional_columns, 0);
  const StationFileLine extra = ParseStationFileLine("temp.txt AdditionalColumns=2");
  EXPECT_EQ(extra.file_name, "temp.txt");
  EXPECT_EQ(extra.additional_columns, 2);
  EXPECT_EQ(ParseStationFileLine("temp.txt AdditionalColumns=-1").additional_columns, -1);
  EXPECT_EQ(ParseStationFileLine("temp.txt AdditionalColumns=99999999999").additional_columns, -1);
}

}  // namespace
}  // namespace tolvo::test
