#include "framework/output_scheduling.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "framework/error_code.h"
#include "framework/grid_table.h"
#include "framework/modelobject.h"
#include "support/test_support.h"

namespace tolvo {
namespace {

namespace fs = std::filesystem;
using test::AsciiGridValues;

TEST(OutputNames, StemDirectoryAndDatedNames) {
  const ModelDate noon{2020, 1, 15, 12};
  struct Case {
    std::string path;
    std::size_t max_stem;
    long long repeat;
    std::string dated;
  };
  const std::vector<Case> cases = {
      {"temp.asc", std::string_view::npos, 0, "temp_20200115.012"},
      {"temp.asc", std::string_view::npos, 1, "temp_20200115.012_001"},
      {"temp.asc", std::string_view::npos, 12, "temp_20200115.012_012"},
      {"out/temp.grd", std::string_view::npos, 0, "out/temp_20200115.012"},
      {"a.b/temp", std::string_view::npos, 0, "a.b/temp_20200115.012"},  // a name without "." keeps its whole base
      {"out/soilmoist.stk", kStackStemLength, 0, "out/soil_20200115.012"},
      {"sm.stk", kStackStemLength, 0, "sm_20200115.012"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(DatedOutputName(c.path, noon, c.repeat, c.max_stem), c.dated);
  }
  EXPECT_EQ(OutputName("prec.asc", ".sum"), "prec.sum");
  EXPECT_EQ(OutputName("/data/run.1/temp.x.asc", ".max"), "/data/run.1/temp.max");
}

TEST(OutputCalendar, DayMonthAndYearEnds) {
  struct Case {
    ModelDate date;
    double shift;
    bool day, month, year;
  };
  const std::vector<Case> cases = {
      {{2020, 1, 15, 23}, 1.0, true, false, false},
      {{2020, 1, 15, 23}, 0.5, false, false, false},  // the shift counts in whole hours
      {{2020, 1, 15, 24}, 0.0, true, false, false},
      {{2020, 1, 31, 24}, 0.0, true, true, false},
      {{2020, 1, 31, 12}, 0.0, false, false, false},
      {{2020, 2, 28, 24}, 0.0, true, false, false},  // leap year: February has 29 days
      {{2020, 2, 29, 24}, 0.0, true, true, false},
      {{2021, 2, 28, 24}, 0.0, true, true, false},
      {{1900, 2, 28, 24}, 0.0, true, true, false},  // 1900 is no leap year
      {{2000, 2, 28, 24}, 0.0, true, false, false},  // 2000 is one
      {{2021, 12, 31, 24}, 0.0, true, true, true},
      {{2021, 12, 31, 23}, 1.0, true, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.date.year << "-" << c.date.month << "-" << c.date.day << " " << c.date.hour
                                    << " shift " << c.shift);
    EXPECT_EQ(IsDayEnd(c.date, c.shift), c.day);
    EXPECT_EQ(IsMonthEnd(c.date, c.shift), c.month);
    EXPECT_EQ(IsYearEnd(c.date, c.shift), c.year);
  }
}

// A 3 x 4 grid whose zone grid leaves out cell (1, 1); ASCII outputs in a temporary folder.
class OutputSchedulingTest : public test::LogFixture {
 protected:
  static constexpr int kRows = 3;
  static constexpr int kCols = 4;

  OutputSchedulingTest() {
    object_.set_geometry({.ncols = kCols, .nrows = kRows, .cellsize = 10, .nodata_value = kNodata});
    object_.set_grid_table(table_.get());
    object_.set_directories(dir_.path().string() + "/", dir_.path().string() + "/");
    object_.set_output_formats({.ascii = true});
    zone_.fill(1);
    zone_(1, 1) = kNodata;
    object_.RegisterGrid(1, "zones.asc", zone_.view(), {}, 0, "[zone_grid]", 0, 1, kRows);
    object_.RegisterGrid(2, "dem.asc", zone_.view(), {}, 0, "[elevation_model]", 0, 1, kRows);
    SetDate({2020, 1, 15, 12});
    object_.SetEndDate(2030, 1, 1, 24);
  }

  void SetDate(const ModelDate& date) { object_.current_date() = date; }
  void Fill(double value) { values_.fill(value); }
  void Register(int write_code, const std::string& file = "temp.asc", int index = 3) {
    object_.RegisterGrid(index, file, values_.view(), {}, 0, "temp", write_code, 1, kRows);
  }
  void Write(int index = 3) { object_.WriteGridOutputs(index, true, false); }
  bool Exists(const std::string& name) const { return fs::exists(dir_.file(name)); }
  std::vector<std::string> Files() const {
    std::vector<std::string> names;
    for (const auto& file : fs::directory_iterator(dir_.path())) {
      const std::string name = file.path().filename().string();
      if (!name.ends_with(".xml")) names.push_back(name);
    }
    std::ranges::sort(names);
    return names;
  }
  // A grid whose zone cells hold `v` and the excluded cell nodata.
  static std::vector<double> Zone(double v) {
    std::vector<double> values(kRows * kCols, v);
    values[0] = kNodata;
    return values;
  }
  grid_entry& entry(int index = 3) { return (*table_)[index]; }

  modelobject object_{log_, "control.txt"};
  std::unique_ptr<grid_table> table_ = std::make_unique<grid_table>();
  Grid zone_{1, kRows, kCols, kRows};
  Grid values_{1, kRows, kCols, kRows};
};

TEST_F(OutputSchedulingTest, WriteCodeZeroWritesAndCountsNothing) {
  Register(0);
  Write();
  EXPECT_EQ(entry().step_count, 0);
  // An entry without values does nothing either, whatever its code.
  object_.RegisterGrid(4, "empty.asc", {}, {}, 0, "empty", 1, 1, kRows);
  Write(4);
  EXPECT_TRUE(Files().empty());
}

TEST_F(OutputSchedulingTest, DatedNamesCountRepeatsAndTheEndAddsThePlainName) {
  Register(2);
  Fill(3);
  for (int i = 0; i < 3; ++i) Write();
  EXPECT_EQ(Files(), (std::vector<std::string>{"temp_20200115.012", "temp_20200115.012_001", "temp_20200115.012_002"}));
  EXPECT_EQ(AsciiGridValues(dir_.file("temp_20200115.012_002")), Zone(3));  // the cell outside the zone grid is nodata

  // A new date starts without suffix; at the end the plain name is written as well.
  SetDate({2020, 1, 15, 13});
  object_.SetEndDate(2020, 1, 15, 13);
  Fill(4);
  Write();
  EXPECT_EQ(AsciiGridValues(dir_.file("temp_20200115.013")), Zone(4));
  EXPECT_EQ(AsciiGridValues(dir_.file("temp.asc")), Zone(4));
}

TEST_F(OutputSchedulingTest, CurrentValuesFollowTheirPeriod) {
  struct Case {
    int ones;
    ModelDate date;
    double shift_minutes;
    std::vector<std::string> files;
  };
  const std::vector<Case> cases = {
      {1, {2020, 1, 15, 12}, 0, {"temp.asc"}},
      {3, {2020, 1, 15, 12}, 0, {}},
      {4, {2020, 1, 15, 23}, 60, {"temp.asc"}},
      {4, {2020, 1, 15, 23}, 30, {}},
      {5, {2020, 1, 15, 24}, 0, {"temp_20200115.024"}},
      {6, {2020, 2, 28, 24}, 0, {}},
      {6, {2020, 2, 29, 24}, 0, {"temp_20200229.024"}},
      {7, {2020, 12, 31, 24}, 0, {"temp_20201231.024"}},
      {8, {2020, 1, 15, 12}, 0, {"temp.asc.filled"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "ones " << c.ones << " day " << c.date.day << " hour " << c.date.hour);
    test::TempDir out;
    object_.set_directories(out.path().string() + "/", out.path().string() + "/");
    object_.set_min_to_int_end(c.shift_minutes);
    SetDate(c.date);
    object_.FreeGridEntry(3);
    Register(c.ones);
    Write();
    std::vector<std::string> files;
    for (const auto& file : fs::directory_iterator(out.path())) files.push_back(file.path().filename().string());
    EXPECT_EQ(files, c.files);
  }
}

TEST_F(OutputSchedulingTest, SumsOfAYearAreNamedByTheYear) {
  Register(20);
  SetDate({2021, 12, 31, 23});
  Fill(1.5);
  Write();
  EXPECT_TRUE(Files().empty());
  SetDate({2021, 12, 31, 24});
  Fill(2);
  Write();
  EXPECT_EQ(Files(), std::vector<std::string>{"temp_2100.sum"});
  EXPECT_EQ(AsciiGridValues(dir_.file("temp_2100.sum")), Zone(3.5));
  // The sum starts again after its output.
  EXPECT_EQ(entry().step_count, 0);
  EXPECT_EQ(entry().sum(2, 2), 0);
}

TEST_F(OutputSchedulingTest, MeanOverTheRunAndItsRestart) {
  Register(50);
  object_.SetEndDate(2020, 1, 1, 24);
  // 24 hourly values 1..24: their mean is 12.5.
  for (int hour = 1; hour <= 24; ++hour) {
    SetDate({2020, 1, 1, hour});
    Fill(hour);
    Write();
  }
  EXPECT_EQ(AsciiGridValues(dir_.file("temp.mit")), Zone(12.5));
  EXPECT_EQ(entry().step_count, 0);
}

TEST_F(OutputSchedulingTest, SkippedAccumulationOutputsKeepSumming) {
  Register(310);
  object_.SetEndDate(2020, 1, 15, 12);
  Fill(2);
  object_.WriteGridOutputs(3, true, true);
  EXPECT_TRUE(Files().empty());
  EXPECT_EQ(entry().step_count, 1);
  Fill(3);
  Write();
  EXPECT_EQ(AsciiGridValues(dir_.file("temp.sum")), Zone(5));
  EXPECT_EQ(AsciiGridValues(dir_.file("temp.max")), Zone(3));
}

TEST_F(OutputSchedulingTest, MinimumAndMaximumAtTheEnd) {
  Register(300);
  const std::vector<double> series = {4, -2, 7};
  for (std::size_t i = 0; i < series.size(); ++i) {
    SetDate({2020, 1, 15, static_cast<long long>(i + 1)});
    if (i + 1 == series.size()) object_.SetEndDate(2020, 1, 15, 3);
    Fill(series[i]);
    Write();
  }
  EXPECT_EQ(Files(), (std::vector<std::string>{"temp.max", "temp.min"}));
  EXPECT_EQ(AsciiGridValues(dir_.file("temp.min")), Zone(-2));  // the cell outside the zone grid holds nodata in both
  EXPECT_EQ(AsciiGridValues(dir_.file("temp.max")), Zone(7));
}

TEST_F(OutputSchedulingTest, AccumulationsAreNamedFromTheFileNameCurrentValuesFromTheOutputName) {
  entry().outname = "p_out.asc";
  Register(11, "prec.asc");
  object_.SetEndDate(2020, 1, 15, 12);
  Fill(1);
  Write();
  EXPECT_EQ(Files(), (std::vector<std::string>{"p_out.asc", "prec.sum"}));
}

TEST_F(OutputSchedulingTest, StackValuesAtLevelOneFeedTheAccumulations) {
  Stack stack(1, kRows, kCols, 2, kRows);
  stack.fill(6);
  object_.RegisterGrid(3, "temp.asc", values_.view(), stack.view(), 2, "temp", 200, 1, kRows);
  object_.SetEndDate(2020, 1, 15, 12);
  Write();
  EXPECT_EQ(AsciiGridValues(dir_.file("temp.max")), Zone(6));
  EXPECT_EQ(values_(2, 2), 6);
}

// Vegetation-period grids of layer n: inside the period where the start day is at least 0
// and the stop day at most 0; the duration counts the steps inside.
class VegetationPeriodTest : public OutputSchedulingTest {
 protected:
  VegetationPeriodTest() {
    start_.fill(120);
    stop_.fill(-1);
    start_(3, 4) = -1;  // not yet in the period
    duration_.fill(2);
    duration_(2, 4) = 0;
    object_.RegisterGrid(4, "vs", start_.view(), {}, 0, "VegetationStart2", 0, 1, kRows);
    object_.RegisterGrid(5, "ve", stop_.view(), {}, 0, "VegetationStop2", 0, 1, kRows);
    object_.RegisterGrid(6, "vd", duration_.view(), {}, 0, "VegetationDuration2", 0, 1, kRows);
    entry().outname = "et_Layer_2.asc";
  }
  std::vector<double> Expected(double inside, double not_started, double no_duration) const {
    std::vector<double> v = Zone(inside);
    v[(3 - 1) * kCols + 3] = not_started;
    v[(2 - 1) * kCols + 3] = no_duration;
    return v;
  }
  Grid start_{1, kRows, kCols, kRows};
  Grid stop_{1, kRows, kCols, kRows};
  Grid duration_{1, kRows, kCols, kRows};
};

TEST_F(VegetationPeriodTest, WriteMarkWritesTheSumAndResetMarkRestartsIt) {
  Register(1000, "et.asc");
  Fill(2);
  Write();
  Fill(3);
  entry().vegetation_write = 1;
  Write();
  EXPECT_EQ(entry().vegetation_write, 0);
  EXPECT_EQ(AsciiGridValues(dir_.file("et_0020_vegper.sum")), Expected(5, 0, 5));
  entry().vegetation_reset = 1;
  Write();
  EXPECT_EQ(entry().vegetation_reset, 0);
  EXPECT_EQ(entry().vegetation_period(2, 2), 0);
  EXPECT_EQ(entry().vegetation_period(1, 1), kNodata);
}

TEST_F(VegetationPeriodTest, MeansAreWrittenAtTheEndOfTheRunAtTheLatest) {
  Register(2000, "et.asc");
  Fill(2);
  Write();
  EXPECT_TRUE(Files().empty());
  object_.SetEndDate(2021, 3, 1, 1);
  SetDate({2021, 3, 1, 1});
  Fill(4);
  Write();
  // Sum 6 over a duration of 2; a cell that spent no step in the period has no mean.
  EXPECT_EQ(Files(), std::vector<std::string>{"et_0021_vegper.mit"});
  EXPECT_EQ(AsciiGridValues(dir_.file("et_0021_vegper.mit")), Expected(3, 0, kNodata));
  EXPECT_EQ(entry().vegetation_period(2, 2), 6);  // the sums themselves go on
}

TEST_F(VegetationPeriodTest, MissingLayerGridIsFatal) {
  entry().outname = "et_Layer_3.asc";
  Register(1000, "et.asc");
  try {
    Write();
    FAIL() << "no error";
  } catch (const ErrorCode& error) {
    EXPECT_EQ(error.code, 33);
  }
  EXPECT_NE(console_.str().find("VegetationStart3 not found"), std::string::npos);
}

TEST_F(OutputSchedulingTest, StackOutputsUseShortDatedNames) {
  Stack stack(1, kRows, kCols, 1, kRows);
  stack.fill(1);
  std::filesystem::create_directory(dir_.file("out"));
  object_.RegisterGrid(3, "out/soilmoist.stk", values_.view(), stack.view(), 1, "theta", 2, 1, kRows);
  object_.WriteStackOutputs(3);
  object_.WriteStackOutputs(3);
  EXPECT_TRUE(Exists("out/soil_20200115.012"));
  EXPECT_TRUE(Exists("out/soil_20200115.012_001"));

  // Ones 4 waits for the end of the day; the tens digit writes no stack.
  object_.RegisterGrid(4, "snow.stk", values_.view(), stack.view(), 1, "snow", 14, 1, kRows);
  object_.WriteStackOutputs(4);
  EXPECT_FALSE(Exists("snow.stk"));
  SetDate({2020, 1, 15, 24});
  object_.WriteStackOutputs(4);
  EXPECT_TRUE(Exists("snow.stk"));
}

TEST_F(OutputSchedulingTest, StacksWithTheSameDatedNamesAreRefused) {
  Stack a(1, kRows, kCols, 1, kRows);
  Stack b(1, kRows, kCols, 1, kRows);
  object_.RegisterGrid(3, "soilmoist.stk", values_.view(), a.view(), 1, "theta", 2, 1, kRows);
  object_.RegisterGrid(4, "soilmoisture.stk", values_.view(), b.view(), 5, "theta_ice", 5, 1, kRows);
  try {
    CheckDatedStackOutputNames(object_);
    FAIL() << "no error";
  } catch (const ErrorCode& error) {
    EXPECT_EQ(error.code, kDatedStackNameClash);
  }
  EXPECT_NE(console_.str().find("the stacks theta (file soilmoist.stk) and theta_ice"), std::string::npos);
  EXPECT_THROW(object_.WriteStackOutputs(3), ErrorCode);
  EXPECT_TRUE(Files().empty());

  // Another directory keeps them apart.
  object_.FreeGridEntry(4);
  object_.RegisterGrid(4, "deep/soilmoisture.stk", values_.view(), b.view(), 5, "theta_ice", 5, 1, kRows);
  EXPECT_NO_THROW(CheckDatedStackOutputNames(object_));
}

}  // namespace
}  // namespace tolvo
