#include "tables/parameter_block.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "framework/control_file_stream.h"
#include "support/test_support.h"

namespace tolvo {
namespace {

TEST(ParameterBlock, ValueTextRunsFromEqualsToSemicolon) {
  struct Case {
    const char* text;
    const char* key;
    const char* value;
  };
  const Case cases[] = {
      {"{ RootDist = 0.5; TReduWet = 0.95; }", "TReduWet", " 0.95"},
      // no ";" after the key: the value runs to the end of the searched text
      {"{ RootDist = 0.5 }\n", "RootDist", " 0.5 }\n"},
      // a ";" before the "=": the value runs to the end as well
      {"{ HReduDry; = 3 }", "HReduDry", " 3 }"},
      // no "=" at all: the value text begins at the key
      {"{ RootDist 0.5; }", "RootDist", "RootDist 0.5"},
      // the key matches inside a longer word
      {"{ TimeSinceLastSoilTillage = 100 250; }", "SoilTillage", " 100 250"},
      // first occurrence counts, also inside another assignment's text; its ";" stands
      // before the next "=", so the value runs to the end
      {"{ a = LAI; LAI = 3; }", "LAI", " 3; }"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(BlockValueText(c.text, c.key), c.value);
  }
  EXPECT_EQ(BlockValueText("{ x = 1; x = 2; }", "x"), " 1");
  EXPECT_EQ(ValueTextAt("{ x = 1; x = 2; }", *FindLastKey("{ x = 1; x = 2; }", "x")), " 2");
  EXPECT_THROW(BlockValueText("{ a = 1; }", "RootDist"), BlockReadFailure);
}

TEST(ParameterBlock, NumbersReadFromTheStartOfATextOrZero) {
  struct Case {
    const char* text;
    double number;
    int integer;
  };
  const Case cases[] = {
      {" 0.5", 0.5, 0},        {"\t\n -2.5e2x", -250.0, -2},  {"+3", 3.0, 3},
      {"abc", 0.0, 0},         {"", 0.0, 0},                  {" 7e", 7.0, 7},
      {"1.5.3", 1.5, 1},       {".25", 0.25, 0},              {"-", 0.0, 0},
      {"12;", 12.0, 12},       {"nan", 0.0, 0},               {"0x10", 0.0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_DOUBLE_EQ(ReadNumber(c.text), c.number);
    EXPECT_EQ(ReadInteger(c.text), c.integer);
  }
  EXPECT_THROW(ReadInteger("99999999999"), BlockReadFailure);
}

TEST(ParameterBlock, ValueListContinuesOverLinesAndWrapsPositionZero) {
  const std::string text = "{ Albedo = 0.2 0.2\n 0.25 0.2; LAI = 1 2 3 4 5; RootDist = abc; }";
  std::vector<double> albedo(5);
  ReadBlockValueList(text, "Albedo", albedo);
  EXPECT_EQ(albedo, (std::vector<double>{0.2, 0.2, 0.2, 0.25, 0.2}));
  std::vector<double> lai(4);
  ReadBlockValueList(text, "LAI", lai);  // numbers beyond the third are ignored
  EXPECT_EQ(lai, (std::vector<double>{3, 1, 2, 3}));
  EXPECT_DOUBLE_EQ(ReadBlockValue(text, "RootDist"), 0.0);
  std::vector<double> too_long(7);
  EXPECT_THROW(ReadBlockValueList(text, "Albedo", too_long), BlockReadFailure);
}

TEST(ParameterBlock, DayListCountsTokens) {
  EXPECT_EQ(ReadBlockDayList("{ JulDays = 1 120 250 366; }", "JulDays"), (std::vector<int>{0, 1, 120, 250, 366}));
  EXPECT_EQ(ReadBlockDayList("{ JulDays = 1 120\n 366; }", "JulDays"), (std::vector<int>{0, 1, 120, 366}));
  EXPECT_EQ(ReadBlockDayList("{ JulDays = 1 -1 30 200; }", "JulDays"), (std::vector<int>{-166, 1, -1, 30, 200}));
  EXPECT_TRUE(ReadBlockDayList("{ SoilTillage = ; }", "SoilTillage").empty());
  // Tokens that are not single days would shift every fixpoint: refused.
  for (const char* bad : {"{ JulDays = 1,120,366; }", "{ JulDays = 1 120 \n 366; }", "{ JulDays = 1 12x 366; }",
                          "{ JulDays = 1 120\n366; }", "{ JulDays = 1 2.5; }", "{ JulDays = 1 366 }"}) {
    SCOPED_TRACE(bad);
    EXPECT_THROW(ReadBlockDayList(bad, "JulDays"), BlockReadFailure);
  }
}

TEST(ParameterBlock, CommaSeparatedIntegerList) {
  EXPECT_EQ(ReadBlockIntegerList("Landuse_Layers = 3, 5, 8;", "Landuse_Layers"), (std::vector<int>{3, 3, 5, 8}));
  EXPECT_EQ(ReadBlockIntegerList("Landuse_Layers = 3 5 8;", "Landuse_Layers"), (std::vector<int>{1, 3}));
  EXPECT_EQ(ReadBlockIntegerList("Landuse_Layers = 3, x, 8;", "Landuse_Layers"), (std::vector<int>{2, 3, 8}));
  EXPECT_EQ(ReadBlockIntegerList("Landuse_Layers = ;", "Landuse_Layers"), (std::vector<int>{0}));
}

TEST(ParameterBlock, HeadHoldsCodeAndName) {
  const BlockHead head = ReadBlockHead("7 meadow { method = VariableDayCount; }");
  EXPECT_EQ(head.code, 7);
  EXPECT_EQ(head.name, "meadow");
  EXPECT_THROW(ReadBlockHead("meadow { }"), BlockReadFailure);
  EXPECT_THROW(ReadBlockHead("7"), BlockReadFailure);
  EXPECT_NO_THROW(ReadBlockHead("7 " + std::string(199, 'a')));
  EXPECT_THROW(ReadBlockHead("7 " + std::string(200, 'a')), BlockReadFailure);
  EXPECT_EQ(BlockBody("7 meadow { RootDist = 1; }"), "{ RootDist = 1; }");
}

TEST(ParameterBlock, CollectsLinesUpToTheClosingBrace) {
  test::TempDir dir;
  const std::string path = dir.file("control.txt");
  test::WriteFile(path, "7 meadow { method = VariableDayCount;\n JulDays = 1 366;\n}  tail\nnext line\n3 open {\n");
  ControlFileStream file(path);
  const std::optional<std::string> first = ReadControlLine(file);
  ASSERT_TRUE(first);
  EXPECT_EQ(CollectBlockText(file, *first),
            "7 meadow { method = VariableDayCount;\n JulDays = 1 366;\n}  tail\n");
  EXPECT_EQ(ReadControlLine(file), "next line");
  EXPECT_EQ(CollectBlockText(file, "1 one { a = 1; }"), "1 one { a = 1; }\n");  // complete on its first line
  const std::optional<std::string> open = ReadControlLine(file);
  ASSERT_TRUE(open);
  EXPECT_FALSE(CollectBlockText(file, *open));  // the file ends inside the block
  EXPECT_FALSE(ReadControlLine(file));
}

}  // namespace
}  // namespace tolvo
