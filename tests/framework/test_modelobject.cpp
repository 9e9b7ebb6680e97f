#include "framework/modelobject.h"

#include <gtest/gtest.h>


#include "framework/error_code.h"
#include "support/test_support.h"

namespace tolvo {
namespace {

using test::CodeOf;
using test::TempDir;
using test::WriteFile;

class ModelObjectTest : public test::LogFixture {
 protected:
  // A model object reading a control file with the given text.
  modelobject& WithControlFile(const std::string& text) {
    WriteFile(dir_.file("control.txt"), text);
    object_.set_name("soil_model");
    EXPECT_TRUE(object_.OpenControlFile(dir_.file("control.txt")));
    return object_;
  }

  modelobject object_{log_, "control.txt"};
};

TEST_F(ModelObjectTest, FindSectionMatchesOnlyTheFirstTokenOfALine) {
  modelobject& object = WithControlFile(
      "# a [snow] in text\n"
      "[snow] text behind the header\n"
      "1 first\n"
      "  x [meteo]\n"
      "[last]");
  EXPECT_EQ(object.FindSection("[snow]", false), 1);
  int value = 0;
  object.ReadItem(value, "first value");
  EXPECT_EQ(value, 1);
  EXPECT_EQ(object.FindSection("[meteo]", false), 0);
  // A header on the last line without a line end counts as not found.
  EXPECT_EQ(object.FindSection("[last]", false), 0);
  EXPECT_EQ(CodeOf([&] { object.FindSection("[gone]", true); }), 17);
  EXPECT_NE(console_.str().find("error in control file, [gone]; (EOF)not found!"), std::string::npos);
}

TEST_F(ModelObjectTest, ReadItemTakesFirstTokensOfLinesAndSkipsTheRest) {
  modelobject& object = WithControlFile(
      "[s]\n"
      "\n"
      "   12abc  the count\n"
      "2.5e1 a real 7\n"
      "long_name text\n"
      "3 4 a pair\n"
      "word instead of a number\n");
  object.FindSection("[s]", true);
  int count = 0;
  double real = 0;
  std::string text;
  int a = 0, b = 0;
  object.ReadItem(count, "count");
  object.ReadItem(real, "real");
  object.ReadItem(text, "name", 100);
  object.ReadItemPair(a, b, "pair");
  EXPECT_EQ(count, 12);
  EXPECT_EQ(real, 25.0);
  EXPECT_EQ(text, "long_name");
  EXPECT_EQ(a, 3);
  EXPECT_EQ(b, 4);
  EXPECT_EQ(CodeOf([&] { object.ReadItem(count, "soil layers"); }), 17);
  const std::string shown = console_.str();
  EXPECT_NE(shown.find("--> In .\n  Next line in Tolvo control file: \n(mpi-rank  0) word\n"), std::string::npos);
  EXPECT_NE(shown.find("error in control file, soil layers; soil_modelnot found!"), std::string::npos);
}

TEST_F(ModelObjectTest, OverlongTextsAndOutOfRangeNumbersAreRefused) {
  modelobject& object = WithControlFile("[s]\n" + std::string(101, 'x') + "\n99999999999 big\n");
  object.FindSection("[s]", true);
  std::string text;
  int value = 0;
  EXPECT_EQ(CodeOf([&] { object.ReadItem(text, "identifier", 100); }), 17);
  object.FindSection("[s]", true);
  object.control_file().SkipLine();
  EXPECT_EQ(CodeOf([&] { object.ReadItem(value, "count"); }), 17);
}

TEST_F(ModelObjectTest, GenericRaisers) {
  EXPECT_EQ(CodeOf([&] { object_.WriteError("out/x.grd", 18); }), 18);
  EXPECT_EQ(CodeOf([&] { object_.ReadError("in/y.grd", 5); }), 19);
  EXPECT_NE(console_.str().find("write error out/x.grd ! (18)"), std::string::npos);
  EXPECT_NE(console_.str().find("read error in/y.grd ! (5)"), std::string::npos);
}

TEST(RunningStatistic, WeightsThresholdAndSpread) {
  RunningStatistic s;
  s.Reset(-9999);
  s.Add(5, 0.5);
  s.Add(7, 0.5);
  s.Add(-9999, 1);  // below threshold + 1: not counted
  StatisticSummary r = s.Get();
  EXPECT_EQ(r.minimum, 5);
  EXPECT_EQ(r.maximum, 7);
  EXPECT_EQ(r.weight_sum, 1);
  EXPECT_EQ(r.mean, 6);
  EXPECT_EQ(r.standard_deviation, -9999);

  s.Reset(-9999);
  for (int i = 0; i < 3; ++i) s.Add(2.0, 1);
  EXPECT_EQ(s.Get().standard_deviation, 0.0);
  s.Reset(-9999);
  for (double v : {1.0, 2.0, 3.0}) s.Add(v, 1);
  EXPECT_DOUBLE_EQ(s.Get().standard_deviation, 1.0);  // sample variance of 1, 2, 3 is 1
  // Values that differ only beyond rounding never give a negative spread.
  s.Reset(-9999);
  for (int i = 0; i < 10; ++i) s.Add(0.1 + 1e-17 * i, 1);
  EXPECT_GE(s.Get().standard_deviation, 0.0);

  s.Reset(-9999);
  EXPECT_EQ(s.Get().mean, -9999);
  EXPECT_EQ(s.Get().minimum, 0);
}

TEST(ModelObjectHelpers, PathsInterpolationAndDates) {
  EXPECT_EQ(PrefixPath("out/", "x.grd"), "out/x.grd");
  EXPECT_EQ(PrefixPath("out", "x.grd"), "outx.grd");
  EXPECT_EQ(PrefixPath("out/", "/abs/x.grd"), "/abs/x.grd");
  EXPECT_EQ(PrefixPath("out/", "~/x.grd"), "~/x.grd");
  EXPECT_EQ(PrefixPath("", "x.grd"), "x.grd");
  EXPECT_EQ(modelobject::LinearInterpolation(1, 10, 1, 20, 5), 10);
  EXPECT_EQ(modelobject::LinearInterpolation(0, 0, 10, 100, 2.5), 25);
  EXPECT_EQ(DateKey(2000, 1, 1, 24), 186008024);
  EXPECT_LT(DateKey(2000, 1, 31, 24), DateKey(2000, 2, 1, 1));
  EXPECT_LT(DateKey(1999, 12, 31, 24), DateKey(2000, 1, 1, 1));
  EXPECT_EQ(DaysInMonth(2000, 2), 29);
  EXPECT_EQ(DaysInMonth(1900, 2), 28);
  EXPECT_EQ(DaysInMonth(2024, 2), 29);
  EXPECT_EQ(DaysInMonth(2023, 4), 30);
}

}  // namespace
}  // namespace tolvo
