#include "setup/model_time_settings.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "framework/error_code.h"
#include "support/test_support.h"

namespace tolvo {
namespace {

using test::CodeOf;
using test::TempDir;
using test::WriteFile;

const char* const kSettings = R"([output_interval]
24   log interval
5    search radius warning
5    third switch
-60  min_to_int_end
  WriteAsciiGrids = 1
WriteDoubleGrids=0
	DefaultOutputDirectory = out/ more words
InitialStateDirectory= init/

WriteNetcdfGrids = 1
[output_list]
3 10
20 second
30 third
[coordinates]
47.5 latitude
8.5 longitude
15 meridian
1 shift
[meteo_data_count]
2
[meteo_names]
temperature   the first
precipitation
)";

class SettingsTest : public test::LogFixture {
 protected:
  std::string Write(const std::string& text) {
    WriteFile(dir_.file("c.ctl"), text);
    return dir_.file("c.ctl");
  }
  modelobject reader_{log_, "c.ctl"};
};

TEST_F(SettingsTest, OutputSettingsWithClampsAndKeywordLines) {
  const OutputSettings s = ReadOutputSettings(reader_, Write(kSettings));
  EXPECT_EQ(s.log_interval_hours, 24);
  EXPECT_EQ(s.search_radius_warning, 1);
  EXPECT_EQ(s.third_switch, 0);
  EXPECT_EQ(s.min_to_int_end, 0.0);
  EXPECT_TRUE(s.formats.ascii);
  EXPECT_FALSE(s.formats.doubles);
  EXPECT_FALSE(s.formats.netcdf);  // after the empty line that ends the keyword list
  EXPECT_EQ(s.output_directory, "out/");
  EXPECT_EQ(s.initial_state_directory, "init/");
  EXPECT_EQ(s.output_list, (std::vector<int>{10, 20, 30}));
  EXPECT_EQ(s.latitude, 47.5);
  EXPECT_EQ(s.reference_meridian, 15);
  EXPECT_EQ(s.time_shift, 1);
  EXPECT_EQ(s.meteo_names, (std::vector<std::string>{"temperature", "precipitation"}));
}

TEST_F(SettingsTest, OutputListMustRiseStrictly) {
  std::string text = kSettings;
  text.replace(text.find("30 third"), 2, "20");
  EXPECT_EQ(CodeOf([&] { ReadOutputSettings(reader_, Write(text)); }), 97);
  EXPECT_NE(console_.str().find("order of subbasin codes in output_list!"), std::string::npos);
}

TEST_F(SettingsTest, MissingPiecesFail) {
  const struct {
    std::string from, to;
    int code;
  } cases[] = {
      {"[coordinates]", "[coordinate]", 17},
      {"24   log interval", "x log interval", 17},
      {"3 10", "3 codes", 17},
      {"temperature   the first", std::string(201, 't'), 17},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.to);
    std::string text = kSettings;
    text.replace(text.find(c.from), c.from.size(), c.to);
    EXPECT_EQ(CodeOf([&] { ReadOutputSettings(reader_, Write(text)); }), c.code);
  }
  EXPECT_EQ(CodeOf([&] { ReadOutputSettings(reader_, dir_.file("missing.ctl")); }), 28);
  EXPECT_NE(console_.str().find("Error opening " + dir_.file("missing.ctl")), std::string::npos);
}

TEST_F(SettingsTest, ModelTimeClampsToTheCalendar) {
  const struct {
    ModelDate given, expected;
  } cases[] = {
      {{95, 14, 31, 1}, {1995, 12, 31, 1}},
      {{2001, 4, 31, 24}, {2001, 4, 30, 24}},
      {{2000, 2, 29, 24}, {2000, 2, 29, 24}},
      {{1900, 2, 29, 0}, {1900, 2, 28, 0}},
      {{2004, 2, 30, 5}, {2004, 2, 29, 5}},
      {{2003, 0, 0, 7}, {2003, 1, 1, 7}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.given.year);
    const ModelDate d = ClampModelDate(c.given);
    EXPECT_EQ(DateKey(d), DateKey(c.expected));
  }

  // The start day is clamped by its own year's February, not by the end year's.
  reader_.OpenControlFile(Write("[model_time]\n1\n29\n2\n2000\n24\n31\n12\n2001\n"));
  const ModelTime t = ReadModelTime(reader_);
  EXPECT_EQ(DateKey(t.start), DateKey(2000, 2, 29, 1));
  EXPECT_EQ(DateKey(t.end), DateKey(2001, 12, 31, 24));
  reader_.OpenControlFile(Write("[model_time]\n1\n29\n2\n"));
  EXPECT_EQ(CodeOf([&] { ReadModelTime(reader_); }), 17);
}

// Values that scan but cannot be used are refused with 17 and an entry that names the
// section, the item, the value and what was expected.
TEST_F(SettingsTest, UnusableOutputAndCoordinateValuesAreRefused) {
  const struct {
    std::string from, to, entry;
  } cases[] = {
      {"47.5 latitude", "90.5 latitude", "geographic latitude (first value) in [coordinates]: 90.5; expected degrees"},
      {"47.5 latitude", "-91", "geographic latitude (first value) in [coordinates]: -91; expected degrees from -90"},
      {"47.5 latitude", "nan", "geographic latitude (first value) in [coordinates]: nan; expected"},
      {"8.5 longitude", "inf", "geographic longitude (second value) in [coordinates]: inf; expected a number"},
      {"-60  min_to_int_end", "nan", "min_to_int_end (fourth value) in [output_interval]: nan; expected minutes"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.to);
    std::string text = kSettings;
    text.replace(text.find(c.from), c.from.size(), c.to);
    EXPECT_EQ(CodeOf([&] { ReadOutputSettings(reader_, Write(text)); }), 17);
    EXPECT_TRUE(Logged("error in control file, " + c.entry)) << console_.str();
  }
  // The poles themselves are valid; a negative shift is used as 0 and says so.
  std::string text = kSettings;
  text.replace(text.find("47.5 latitude"), 4, "-90");
  EXPECT_EQ(ReadOutputSettings(reader_, Write(text)).latitude, -90);
  EXPECT_TRUE(Logged("min_to_int_end (fourth value of [output_interval]) -60 is negative; 0 is used"));
}

TEST_F(SettingsTest, UnusableModelTimesAreRefused) {
  const struct {
    const char* label;
    const char* text;  // start hour, day, month, year, end hour, day, month, year
    const char* entry;
  } cases[] = {
      {"start hour 25", "25 1 1 2020 24 31 1 2020", "start hour in [model_time]: 25; expected an hour from 0 to 24"},
      {"end hour -1", "1 1 1 2020 -1 31 1 2020", "end hour in [model_time]: -1; expected an hour from 0 to 24"},
      {"negative year", "1 1 1 -5 24 31 1 2020", "start year in [model_time]: -5; expected a year from 0 to 9999"},
      // Its date key would overflow a 64-bit integer.
      {"year 10^17", "1 1 1 2020 24 31 1 100000000000000000", "end year in [model_time]: 100000000000000000;"},
      {"end before start", "1 1 1 2020 24 31 12 2019",
       "end date in [model_time]: 31.12.2019 24 h; expected a date not before the start date 1.1.2020 1 h"},
      {"end hour before start hour", "12 1 1 2020 11 1 1 2020", "end date in [model_time]: 1.1.2020 11 h;"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    std::string text = std::string("[model_time]\n") + c.text;
    std::replace(text.begin(), text.end(), ' ', '\n');
    reader_.OpenControlFile(Write(text + "\n"));
    EXPECT_EQ(CodeOf([&] { ReadModelTime(reader_); }), 17);
    EXPECT_TRUE(Logged(std::string("error in control file, ") + c.entry)) << console_.str();
  }
  // The limits themselves and a run of a single step are valid.
  reader_.OpenControlFile(Write("[model_time]\n0\n1\n1\n9999\n0\n1\n1\n9999\n"));
  EXPECT_EQ(DateKey(ReadModelTime(reader_).end), DateKey(9999, 1, 1, 0));
}

TEST_F(SettingsTest, Substeps) {
  const struct {
    const char* text;
    int count;
    int code;
  } cases[] = {
      {"[other]\n1\n", 1, 0},
      {"[soil_surface_groundwater_substeps]\n4 steps\n", 4, 0},
      {"[soil_surface_groundwater_substeps]\n", 0, 17},
      {"[soil_surface_groundwater_substeps]\nnone\n", 0, 17},
      {"[soil_surface_groundwater_substeps]\n0\n", 0, 17},
      {"[soil_surface_groundwater_substeps]\n-3\n", 0, 17},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    int count = 0;
    EXPECT_EQ(CodeOf([&] { count = ReadSubsteps(reader_, Write(c.text)); }), c.code);
    if (c.code == 0) {
      EXPECT_EQ(count, c.count);
    }
  }
  EXPECT_TRUE(Logged("sub step counter in [soil_surface_groundwater_substeps]: -3; expected a count of 1 or more"));
}

}  // namespace
}  // namespace tolvo
