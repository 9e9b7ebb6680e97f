// The per-step update of the land-use parameter grids. Expected values are hand
// calculations: linear interpolation between fixpoints, counts of steps, means of daily
// temperatures.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "landuse_grids_fixture.h"
#include "tables/landuse_update.h"

namespace tolvo::test {
namespace {

const std::string kDays4 = " JulDays = 30 120 250 300;";
const std::string kTables = Tables(4, 0.2, 50, 3, 0.1, 0.8, 1.5);
// Keys in front of the default tables win: a block's first key of a name counts.
const std::string kLai = kDays4 + " LAI = 1 2 4 3;";
const std::string kDP1 = " JulDays = 1 100 -1 30 366; LAI = 1 2 5 6 1;" + Tables(5, 0.2, 50, 3, 0.1, 0.8, 1.5) +
                         " F* = 28.4; DP1_t1_dorm = 100; DP1_T_Bf = 0; JDReset_TStart = 300;"
                         " maxStartJDforDP1 = 150;";

// Day and month of a day of the year 2001.
std::pair<int, int> DateOf(int jd) {
  int month = 1;
  while (jd > DaysInMonth(2001, month)) jd -= DaysInMonth(2001, month++);
  return {jd, month};
}

class LanduseUpdate : public LanduseGridsTest {
 protected:
  // Steps of `minutes` over the days first..last of 2001; hours end at 24.
  void Run(int first, int last, double minutes = 1440) {
    for (int jd = first; jd <= last; ++jd) {
      const auto [day, month] = DateOf(jd);
      for (int hour = static_cast<int>(minutes / 60); hour <= 24; hour += static_cast<int>(minutes / 60)) {
        Update(hour, day, month, 2001, minutes);
      }
    }
  }
  void AddTemperature(double value) {
    temperature_.fill(value);
    reader_.RegisterGrid(4, "t.asc", temperature_.view(), {}, 0, "temperature", 0, 1, kRows);
  }
  Grid temperature_{1, kRows, kCols, kRows};
};

struct DayEndCase {
  double shift_minutes;
  int hour;
  bool day_end;
};

class DayEnd : public LanduseUpdate, public ::testing::WithParamInterface<DayEndCase> {};

TEST_P(DayEnd, TheParametersFollowTheDateWhenHourPlusShiftIs24) {
  const DayEndCase& c = GetParam();
  MakeTable({{11, "VariableDayCount", kLai + kTables}});
  MakeLayers({1});
  reader_.set_min_to_int_end(c.shift_minutes);
  reader_.SetLogInterval(1);
  Generate(15, 4, 2001);  // day 105
  Update(c.hour, 16, 4, 2001, 60);
  // Between (30, 1) and (120, 2): day 105 at the set-up; the update at the end of day 106
  // sets the values of the next day, 107, on which the following steps run.
  EXPECT_DOUBLE_EQ(Values("leaf_area_index1")(2, 2), c.day_end ? 1 + 77.0 / 90 : 1 + 75.0 / 90);
  EXPECT_EQ(Logged("   actual parameters 16.4.2001 " + std::to_string(c.hour) + ". h"), c.day_end);
  if (c.day_end) {
    EXPECT_EQ(reader_.current_date().day, 16);
    EXPECT_EQ(reader_.current_date().hour, c.hour);
  }
}

TEST(NextParameterDate, CrossesMonthYearAndLeapDay) {
  struct Case {
    std::vector<int> from;  // day, month, year
    std::vector<int> next;  // day, month, year, day of year
  };
  for (const Case& c : {Case{{16, 4, 2001}, {17, 4, 2001, 107}}, Case{{28, 2, 2001}, {1, 3, 2001, 60}},
                        Case{{28, 2, 2000}, {29, 2, 2000, 60}}, Case{{31, 12, 2001}, {1, 1, 2002, 1}},
                        Case{{30, 4, 2001}, {1, 5, 2001, 121}}}) {
    const ParameterDate d = NextParameterDate(c.from[0], c.from[1], c.from[2]);
    EXPECT_EQ((std::vector<int>{d.day, d.month, d.year, d.day_of_year}), c.next) << c.from[0] << "." << c.from[1];
  }
}

INSTANTIATE_TEST_SUITE_P(HoursAndShifts, DayEnd,
                         ::testing::Values(DayEndCase{0, 24, true}, DayEndCase{0, 23, false},
                                           DayEndCase{60, 23, true}, DayEndCase{60, 24, false},
                                           DayEndCase{30, 24, false}));

TEST_F(LanduseUpdate, DailyValuesKeepTheLimitsAndEntriesWithoutTableParametersKeepTheirGrids) {
  // Layer 1: negative resistances in the table stay at 0 after the daily update as after
  // the set-up. Layer 2: "00000000" takes nothing from the table, only the limits apply.
  MakeTable({{11, "VariableDayCount", kLai + " rsc = -5 -5 -5 -5; rs_evaporation = -3 -3 -3 -3;" + kTables},
             {12, "VariableDayCount", kLai + " useInternalParameters = 00000000;" + kTables}});
  MakeLayers({1, 2});
  Grid lai2(1, kRows, kCols, kRows);
  Grid cover2(1, kRows, kCols, kRows);
  lai2.fill(7);
  cover2.fill(1.4);
  reader_.RegisterGrid(4, "lai2.asc", lai2.view(), {}, 0, "leaf_area_index2", 0, 1, kRows);
  reader_.RegisterGrid(5, "vcf2.asc", cover2.view(), {}, 0, "vegetation_coverage_degree2", 0, 1, kRows);
  reader_.SetLogInterval(24);
  Generate(15, 4, 2001);
  Run(106, 107);
  EXPECT_DOUBLE_EQ(Values("leaf_area_index1")(3, 2), 1 + 78.0 / 90);  // the values of day 108
  EXPECT_EQ(Values("SurfaceCanopyResistance1")(3, 2), 0);
  EXPECT_EQ(Values("SurfaceEvaporationResistance")(3, 2), 0);
  EXPECT_EQ(lai2(3, 2), 7);
  EXPECT_EQ(cover2(3, 2), 1);
  // With a log interval of 24 the entry names the time of the meteorological data.
  EXPECT_TRUE(Logged("   actual parameters 17.4.2001 24. h (time of meteo data)"));
}

TEST_F(LanduseUpdate, TheBalancePeriodCountsDailyStepsFromItsStartUntilItsStopOrResetDay) {
  // Fixpoints 2 (day 120) to 3 (day 250) make the period. Layer 1's entry resets on day
  // 200 (and so does the table), layer 2's on day 120, a fixpoint day, where the start test
  // answers again at once. The table writes on day 250.
  const std::string period = " StartVegetationPeriodForBalance = 2; StopVegetationPeriodForBalance = 3;";
  MakeTable({{11, "VariableDayCount", kLai + period + " JDVegetationResetForBalance = 200;"
                                                      " JDVegetationWriteForBalance = 250;" + kTables},
             {12, "VariableDayCount", kLai + period + " JDVegetationResetForBalance = 120;" + kTables}});
  MakeLayers({1, 2});
  zone_(4, 3) = kNodata;
  Generate(20, 4, 2001);  // day 110
  Run(110, 199);
  for (const char* layer : {"1", "2"}) {
    SCOPED_TRACE(layer);
    EXPECT_EQ(Values(std::string("VegetationStart") + layer)(2, 2), 120);
    EXPECT_EQ(Values(std::string("VegetationStop") + layer)(2, 2), -1);
    EXPECT_EQ(Values(std::string("VegetationDuration") + layer)(2, 2), 80);  // days 120..199
  }
  EXPECT_EQ(Values("VegetationDuration1")(4, 3), kNodata);
  EXPECT_EQ((*table_)[5].vegetation_reset, 0);
  Run(200, 200);
  EXPECT_EQ(Values("VegetationStart1")(2, 2), -1);
  EXPECT_EQ(Values("VegetationDuration1")(2, 2), 0);
  EXPECT_EQ(Values("VegetationDuration2")(2, 2), 81);
  for (const int index : {1, 5, IndexOf("VegetationDuration2")}) EXPECT_EQ((*table_)[index].vegetation_reset, 1);
  EXPECT_EQ((*table_)[5].vegetation_write, 0);
  Run(201, 260);
  EXPECT_EQ(Values("VegetationStop2")(2, 2), 250);
  EXPECT_EQ(Values("VegetationDuration2")(2, 2), 130);  // days 120..249
  EXPECT_EQ(Values("VegetationDuration1")(2, 2), 0);
  EXPECT_EQ((*table_)[5].vegetation_write, 1);
}

TEST_F(LanduseUpdate, HourlyStepsCountFromTheLastStepOfTheStartDay) {
  MakeTable({{11, "VariableDayCount",
              kLai + " StartVegetationPeriodForBalance = 2; StopVegetationPeriodForBalance = 3;" + kTables}});
  MakeLayers({1});
  Generate(29, 4, 2001);  // day 119
  Run(119, 121, 60);
  EXPECT_EQ(Values("VegetationDuration1")(1, 1), 25);  // hour 24 of day 120 and all of day 121
}

TEST_F(LanduseUpdate, SevenDayMeanOfTheDailyMeansBuiltUpOverTheSteps) {
  MakeTable({{21, "DynamicPhenology_1", kDP1}});
  MakeLayers({1});
  AddTemperature(6);
  zone_(1, 3) = kNodata;
  Generate(1, 1, 2001);
  Run(1, 1, 60);  // 24 hourly steps at 6 °C: a daily mean of 6
  const GridView mean = Values("TemperatureMOVAVG7");
  const StackView stack = (*table_)[IndexOf("TemperatureMOVAVG7")].stack;
  EXPECT_DOUBLE_EQ(mean(2, 2), 6);
  EXPECT_EQ(Values("TemperatureAVG")(2, 2), 0);
  // Daily means 3 d + 3 on day d.
  for (int d = 2; d <= 9; ++d) {
    temperature_.fill(3.0 * d + 3);
    Run(d, d);
    if (d == 3) {
      EXPECT_DOUBLE_EQ(mean(2, 2), (6 + 9 + 12) / 3.0);
    }
  }
  EXPECT_DOUBLE_EQ(mean(2, 2), 21);  // days 3..9: 12, 15, .., 30
  EXPECT_EQ(stack(2, 2, 1), 30);
  EXPECT_EQ(stack(2, 2, 7), 12);
  EXPECT_EQ(grids_.mean_day_count(), 7);
  EXPECT_EQ(mean(1, 3), kNodata);
  EXPECT_EQ(stack(1, 3, 1), kNodata);
}

TEST_F(LanduseUpdate, AMeanGridReadFromTheControlFileStaysTheMeanThroughItsOutputs) {
  // A run sum of "TemperatureMOVAVG7" (write code 10) read without a stack: the set-up
  // gives it one, and the daily output must not replace the mean by today's level.
  MakeTable({{21, "DynamicPhenology_1", kDP1}});
  MakeLayers({1});
  AddTemperature(6);
  Grid mean(1, kRows, kCols, kRows);
  reader_.set_directories(dir_.path().string() + "/", dir_.path().string() + "/");
  reader_.SetEndDate(2001, 12, 31, 24);
  reader_.RegisterGrid(5, "mean.asc", mean.view(), {}, 0, "TemperatureMOVAVG7", 10, 1, kRows);
  Generate(1, 1, 2001);
  ASSERT_FALSE((*table_)[5].stack.empty());
  Run(1, 1);
  temperature_.fill(9);
  Run(2, 2);
  EXPECT_DOUBLE_EQ(mean(2, 2), 7.5);
  EXPECT_DOUBLE_EQ((*table_)[5].sum(2, 2), 6 + 7.5);
}

TEST_F(LanduseUpdate, DynamicPhenologyNeedsTheTemperatureGrid) {
  MakeTable({{21, "DynamicPhenology_1", kDP1}});
  MakeLayers({1});
  Generate(1, 1, 2001);
  EXPECT_EQ(CodeOf([&] { Update(24, 1, 1, 2001, 1440); }), kMissingGrid);
  EXPECT_TRUE(Logged("could not find grid with label \"temperature\". "));
}

TEST_F(LanduseUpdate, ThePhenologyStartMovesTheSeasonOfTheCell) {
  // 18.4 °C above a base of 0 °C: 14.2 forcing units a day from day 100; the sum 28.4 of
  // day 101 equals F* and does not start the season, day 102 does. From then on the
  // fixpoint after the start lies 30 days later: LAI 5 on day 102, 6 on day 132. The end
  // of day 117 sets the values of day 118.
  MakeTable({{21, "DynamicPhenology_1", kDP1}});
  MakeLayers({1});
  AddTemperature(18.4);
  Generate(10, 4, 2001);  // day 100
  Run(100, 101);
  EXPECT_EQ(Values("Pheno_start1")(2, 2), -1);
  EXPECT_DOUBLE_EQ(Values("SumOfForcingUnits1")(2, 2), 28.4);
  Run(102, 117);
  EXPECT_EQ(Values("Pheno_start1")(2, 2), 102);
  EXPECT_DOUBLE_EQ(Values("leaf_area_index1")(2, 2), 5 + 16.0 / 30);
}

TEST_F(LanduseUpdate, CellsWhoseFixpointDaysLeaveTheYearFailAfterTheParallelPass) {
  // Layer 1: entry 1 takes the layer's parameters from the table (root depth first, so
  // its failure names the cell); entry 2 none and defines no balance period, so its days
  // are never searched. Layer 2: LAI from the table.
  MakeTable({{21, "DynamicPhenology_1", kDP1 + " useInternalParameters = 01111100;"},
             {22, "DynamicPhenology_1", kDP1 + " useInternalParameters = 00000000;"},
             {11, "VariableDayCount", kLai + kTables}});
  MakeLayers({2, 3});
  codes_[0](3, 3) = 1;
  AddTemperature(0);
  Generate(15, 4, 2001);
  // A start on day 400 puts fixpoint 3 outside the year. Entry 2's cell still gets the
  // rest of its row updated; entry 1's cell stops the run with the cell's coordinates.
  const GridView start = Values("Pheno_start1");
  start(2, 1) = 400;
  Run(106, 106);
  EXPECT_DOUBLE_EQ(Values("leaf_area_index2")(2, 3), 1 + 77.0 / 90);  // the values of day 107
  start(3, 3) = 400;
  EXPECT_EQ(CodeOf([&] { Run(107, 107); }), kFixpointDayRange);
  EXPECT_TRUE(Logged("altitude correction resulted in a Julian day of 400 for fix point 3"));
  EXPECT_TRUE(Logged("Coordinates: i=3, j=3"));
}

TEST_F(LanduseUpdate, TheFailureOfTheEarliestRowIsReportedAfterTheParallelPass) {
  // The rows run in parallel; whichever thread meets its failure first, the report is the
  // one of the earliest row. Cell (3, 3) fails in its root depth; a layer code that is no
  // table index fails a cell of row 4, then one of row 2.
  MakeTable({{21, "DynamicPhenology_1", kDP1 + " useInternalParameters = 01111100;"}});
  MakeLayers({1});
  AddTemperature(0);
  Generate(15, 4, 2001);
  Values("Pheno_start1")(3, 3) = 400;
  codes_[0](4, 1) = 9;
  EXPECT_EQ(CodeOf([&] { Run(106, 106); }), kFixpointDayRange);
  EXPECT_TRUE(Logged("Coordinates: i=3, j=3"));
  EXPECT_FALSE(Logged("the land-use index 9"));
  codes_[0](2, 2) = 9;
  EXPECT_EQ(CodeOf([&] { Run(107, 107); }), kLanduseCodeError);
  EXPECT_TRUE(Logged("the land-use index 9 of land-use layer 1 in row 2, column 2"));
}

TEST_F(LanduseUpdate, ALayerCodeThatIsNoTableIndexStopsTheUpdate) {
  MakeTable({{11, "VariableDayCount", kLai + kTables}});
  MakeLayers({1});
  Generate(15, 4, 2001);
  codes_[0](4, 2) = 9;
  EXPECT_EQ(CodeOf([&] { Run(106, 106); }), kLanduseCodeError);
  EXPECT_TRUE(Logged("the land-use index 9 of land-use layer 1 in row 4, column 2"));
}

}  // namespace
}  // namespace tolvo::test
