#include "tables/landuse_table.h"

#include <gtest/gtest.h>

#include <string>

#include "framework/error_code.h"
#include "framework/modelobject.h"
#include "support/test_support.h"

namespace tolvo {
namespace {

// A method-2 block with four fixpoints and every required key; `extra` is put after "{".
std::string Block(const std::string& head, const std::string& method, const std::string& extra = "",
                  const std::string& days = "1 120 250 366") {
  return head + " { method = " + method + "; " + extra +
         " RootDist = 0.5; TReduWet = 0.95; HReduDry = 3.45; JulDays = " + days +
         "; Albedo = 0.2 0.2 0.25 0.2; rsc = 70 60 60 70; LAI = 1 3 3 1; Z0 = 0.01 0.05 0.05 0.01;"
         " VCF = 0.5 0.9 0.9 0.5; RootDepth = 0.2 0.4 0.4 0.2; AltDep = 0 0 0 0; }";
}

const std::string kDP1 = "F* = 200; DP1_t1_dorm = 60; DP1_T_Bf = 5; JDReset_TStart = 300; maxStartJDforDP1 = 150;";
const std::string kDP2 = "DP2_t0_dorm = 10; DP2_t1_dorm = 20; DP2_T_Bf = 4; DP2_T_Bc = 3; DP2_Par_a = 1; DP2_Par_b = 2;";
const std::string kDP4 =
    "DP4_t0_dorm = 1; DP4_t1_dorm = 2; DP4_T0 = 3; DP4_T1 = 4; DP4_Par_a = 5; DP4_Par_b = 6; DP4_T_xylstop = 7;"
    " DP4_t_xs1 = 8; DP4_SPSLF = 9;";
const std::string kGrass =
    "3 grass 0.2 70 70 70 70 70 70 70 70 70 70 70 70 1 100 250 366 1 3 3 1 0.01 0.05 0.05 0.01 0.5 0.9 0.9 0.5 "
    "0.2 0.4 0.4 0.2 0.5 3.45";

class LanduseTableTest : public test::LogFixture {
 protected:
  // Reads [landuse_table] with the given entries; the failure code, or 0.
  int Read(const std::string& entries, const std::string& count = "") {
    const std::string n = count.empty() ? std::to_string(LineCount(entries)) : count;
    test::WriteFile(dir_.file("control.txt"), "[other]\n1\n[landuse_table]\n" + n + " entries\n" + entries);
    EXPECT_TRUE(reader_.OpenControlFile(dir_.file("control.txt")));
    try {
      table_.emplace(ReadLanduseTable(reader_));
    } catch (const ErrorCode& error) {
      return error.code;
    }
    return 0;
  }
  static int LineCount(const std::string& entries) {
    int braces = 0;
    int lines = 0;
    for (const char ch : entries) {
      if (ch == '{') ++braces;
      if (ch == '\n') ++lines;
    }
    return braces > 0 ? braces : lines;
  }
  // Whether the console shows the text of an entry (the console drops the level prefix).
  bool Logged(std::string text) const {
    for (const std::string prefix : {"FATAL: ", "INFO: "}) {
      if (text.starts_with(prefix)) text.erase(0, prefix.size());
    }
    return console_.str().find(text) != std::string::npos;
  }

  modelobject reader_{log_, "control.txt"};
  std::optional<LanduseTable> table_;
};

TEST_F(LanduseTableTest, OneLineEntry) {
  ASSERT_EQ(Read(kGrass + "\n"), 0);
  ASSERT_EQ(table_->size(), 1);
  const LanduseRecord& grass = (*table_)[1];
  EXPECT_EQ(grass.GetCode(), 3);
  EXPECT_EQ(grass.GetName(), "grass");
  EXPECT_EQ(grass.GetMethod(), LanduseMethod::MonthlyValues);
  EXPECT_EQ(grass.GetCount(), 4);
  EXPECT_EQ(std::vector<int>(grass.GetJulDays().begin(), grass.GetJulDays().end()),
            (std::vector<int>{0, 1, 100, 250, 366}));
  EXPECT_DOUBLE_EQ(grass.GetTReduWet(), 0.95);
  EXPECT_DOUBLE_EQ(grass.GetLimitReduWet(), 0.0);
  EXPECT_DOUBLE_EQ(grass.GetRootDist(), 0.5);
  EXPECT_DOUBLE_EQ(grass.GetHReduDry(), 3.45);
  EXPECT_DOUBLE_EQ(grass.GetIntercepCap(), -1.0);
  EXPECT_DOUBLE_EQ(grass.GetNFactorFreezing(), kNotGiven);
  EXPECT_DOUBLE_EQ(grass.GetAltDep(0), -0.025);
  EXPECT_DOUBLE_EQ(grass.GetAltDep(2), 0.025);
  EXPECT_EQ(grass.GetSRCultivation(), 0);
  // Surface routing over a one-line land use: the Strickler coefficient and the plant
  // values of the block form's defaults, not 0 (which would hold every drop of water).
  EXPECT_DOUBLE_EQ(grass.GetSRKST(), 10.0);
  EXPECT_DOUBLE_EQ(grass.GetSRCWR(), 1.5);
  EXPECT_DOUBLE_EQ(grass.GetSRCropDistX(), 0.3);
  EXPECT_DOUBLE_EQ(grass.GetSRCropDistY(), 0.3);
  // Albedo 0.2 and resistances 70 every day of the year; the evaporation resistance
  // repeats the canopy resistance; LAI 3 between fixpoints 2 and 3 at 400 m.
  for (const auto& [day, month] : {std::pair{1, 1}, {14, 3}, {15, 7}, {31, 12}}) {
    SCOPED_TRACE(month);
    EXPECT_DOUBLE_EQ(grass.AlbedoAt(day, month, 2003, 1, 400, 1, 1).value, 0.2);
    EXPECT_DOUBLE_EQ(grass.CanopyResistanceAt(day, month, 2003, 1, 400, 1, 1).value, 70.0);
    EXPECT_DOUBLE_EQ(grass.EvaporationResistanceAt(day, month, 2003, 1, 400, 1, 1).value, 70.0);
  }
  EXPECT_DOUBLE_EQ(grass.LeafAreaIndexAt(15, 7, 2003, 1, 400, 1, 1).value, 3.0);
  // Header: one entry with reset day 1 and write day 0.
  EXPECT_EQ((*table_)[0].GetCode(), 1);
  EXPECT_EQ((*table_)[0].GetJDVegetationResetForBalance(), 1);
  EXPECT_EQ((*table_)[0].GetJDVegetationWriteForBalance(), 365);
}

TEST_F(LanduseTableTest, EmptyTableHoldsTheHeaderAlone) {
  ASSERT_EQ(Read("", "0"), 0);
  EXPECT_EQ(table_->size(), 0);
  EXPECT_EQ((*table_)[0].GetCode(), 0);
  EXPECT_EQ((*table_)[0].GetJDVegetationResetForBalance(), 1);
  EXPECT_EQ((*table_)[0].GetJDVegetationWriteForBalance(), 365);
}

TEST_F(LanduseTableTest, MinimalBlockTakesTheDefaults) {
  ASSERT_EQ(Read(Block("7 meadow", "VariableDayCount") + "\n"), 0);
  const LanduseRecord& meadow = (*table_)[1];
  EXPECT_EQ(meadow.GetCode(), 7);
  EXPECT_EQ(meadow.GetName(), "meadow");
  EXPECT_EQ(meadow.GetMethod(), LanduseMethod::VariableDayCount);
  EXPECT_EQ(meadow.GetCount(), 4);
  EXPECT_EQ(meadow.GetSRCultivation(), 3);
  EXPECT_DOUBLE_EQ(meadow.GetSRKST(), 10.0);
  EXPECT_DOUBLE_EQ(meadow.GetSRCWR(), 1.5);
  EXPECT_DOUBLE_EQ(meadow.GetSRCropDistX(), 0.3);
  EXPECT_DOUBLE_EQ(meadow.GetSRCropDistY(), 0.3);
  double a = 0, b = 0, c = 0;
  meadow.GetSRRoughCoeff1(a, b, c);
  EXPECT_EQ((std::vector<double>{a, b, c}), (std::vector<double>{0.0198, 0.712, 0.142}));
  meadow.GetSRRoughCoeff2(a, b, c);
  EXPECT_EQ((std::vector<double>{a, b, c}), (std::vector<double>{0.0198, 0.712, 0.142}));
  EXPECT_DOUBLE_EQ(meadow.GetNFactorFreezing(), kNotGiven);
  EXPECT_DOUBLE_EQ(meadow.GetNFactorThawing(), kNotGiven);
  EXPECT_DOUBLE_EQ(meadow.GetIntercepCap(), -1.0);
  EXPECT_EQ(meadow.GetJDVegetationResetForBalance(), -1);
  EXPECT_EQ(meadow.GetJDVegetationWriteForBalance(), -1);
  EXPECT_EQ(meadow.GetParameterFlags(), 255);
  int n_tillage = -1;
  std::span<const int> tillage;
  meadow.GetTillageDays(n_tillage, tillage);
  EXPECT_EQ(n_tillage, 0);
  for (const int day : {1, 100, 200, 366}) {
    SCOPED_TRACE(day);
    EXPECT_DOUBLE_EQ(meadow.InterceptionResistanceAtJulianDay(day, 1, 1, 1, 400).value, 20.0);
    EXPECT_DOUBLE_EQ(meadow.EvaporationResistanceAtJulianDay(day, 1, 1, 1, 400).value, 200.0);
    EXPECT_DOUBLE_EQ(meadow.StemDiameterAtJulianDay(day, 1, 1, 1, 400).value, 0.01);
    EXPECT_DOUBLE_EQ(meadow.ResidueCoverAtJulianDay(day, 1, 1, 1, 400).value, 0.01);
    EXPECT_DOUBLE_EQ(meadow.NFactorAtJulianDay(day).value, kNotGiven);
  }
  // The header takes 1 and 365 when no entry gives days of its own.
  EXPECT_EQ((*table_)[0].GetJDVegetationResetForBalance(), 1);
  EXPECT_EQ((*table_)[0].GetJDVegetationWriteForBalance(), 365);
}

TEST_F(LanduseTableTest, BlockOverManyLinesEqualsOneLine) {
  const std::string spread =
      "7 meadow { method = VariableDayCount;\n RootDist = 0.5;\n TReduWet = 0.95;\n HReduDry = 3.45;\n"
      " JulDays = 1 120\n 250 366;\n Albedo = 0.2 0.2\n 0.25 0.2; rsc = 70 60 60 70;\n LAI = 1 3 3 1; Z0 = 0.01 0.05"
      " 0.05 0.01;\n VCF = 0.5 0.9 0.9 0.5; RootDepth = 0.2 0.4 0.4 0.2; AltDep = 0 0 0 0;\n}\n";
  ASSERT_EQ(Read(Block("7 meadow", "VariableDayCount") + "\n" + spread, "2"), 0);
  const LanduseRecord& one = (*table_)[1];
  const LanduseRecord& many = (*table_)[2];
  EXPECT_EQ(many.GetCount(), 4);
  for (int day = 1; day <= 366; day += 5) {
    SCOPED_TRACE(day);
    EXPECT_EQ(one.AlbedoAtJulianDay(day, 1, 1, 1, 400).value, many.AlbedoAtJulianDay(day, 1, 1, 1, 400).value);
    EXPECT_EQ(one.LeafAreaIndexAtJulianDay(day, 1, 1, 1, 400).value,
              many.LeafAreaIndexAtJulianDay(day, 1, 1, 1, 400).value);
  }
  // Albedo 0.25 stands on day 250; the value between 120 and 250 is interpolated.
  EXPECT_DOUBLE_EQ(many.AlbedoAtJulianDay(250, 1, 1, 1, 400).value, 0.25);
  EXPECT_DOUBLE_EQ(many.AlbedoAtJulianDay(185, 1, 1, 1, 400).value, 0.225);
}

TEST_F(LanduseTableTest, BlockKeysAndFlags) {
  const std::string entries =
      Block("1 a", "VariableDayCount", "useInternalParameters = 10000001; SR_cultivation = nonconserving;"
                                       " JDVegetationResetForBalance = -1; SoilTillage = 100 250;") + "\n" +
      Block("2 b", "VariableDayCount", "useInternalParameters = 111; SR_cultivation = conserving;"
                                       " JDVegetationResetForBalance = 150; JDVegetationWriteForBalance = 300;") +
      "\n" + Block("3 c", "VariableDayCount", "SR_cultivation = other; JDVegetationResetForBalance = 200;") + "\n" +
      // the method word is the first known one the line holds
      "4 d { method = VariableDayCount; DynamicPhenology_1 RootDist = 0.5; TReduWet = 1; HReduDry = 1; JulDays = 1 "
      "366; Albedo = 1 1; rsc = 1 1; LAI = 1 1; Z0 = 1 1; VCF = 1 1; RootDepth = 1 1; AltDep = 0 0; }\n";
  ASSERT_EQ(Read(entries), 0);
  EXPECT_EQ((*table_)[1].GetParameterFlags(), 129);
  EXPECT_EQ((*table_)[1].TestParameterFlag(kFlagZ0 | kFlagLAI), kFlagZ0);
  EXPECT_EQ((*table_)[2].GetParameterFlags(), 224);
  EXPECT_EQ((*table_)[2].GetUseInternalParameters(), "111");
  EXPECT_EQ((*table_)[1].GetSRCultivation(), 2);
  EXPECT_EQ((*table_)[2].GetSRCultivation(), 1);
  EXPECT_EQ((*table_)[3].GetSRCultivation(), 3);
  int n_tillage = 0;
  std::span<const int> tillage;
  (*table_)[1].GetTillageDays(n_tillage, tillage);
  EXPECT_EQ(n_tillage, 2);
  EXPECT_EQ(std::vector<int>(tillage.begin(), tillage.end()), (std::vector<int>{-116, 100, 250}));
  EXPECT_EQ((*table_)[4].GetMethod(), LanduseMethod::VariableDayCount);
  EXPECT_EQ((*table_)[0].GetJDVegetationResetForBalance(), 150);
  EXPECT_EQ((*table_)[0].GetJDVegetationWriteForBalance(), 300);
}

TEST_F(LanduseTableTest, DynamicPhenologyBlocks) {
  const std::string entries = Block("11 beech", "DynamicPhenology_1", kDP1, "1 -1 30 366") + "\n" +
                              Block("12 oak", "DynamicPhenology_1", kDP1, "1 60 200 -1") + "\n" +
                              Block("13 spruce", "DynamicPhenology_2", kDP1 + kDP2) + "\n" +
                              Block("14 larch", "DynamicPhenology_3",
                                    "DP1_t1_dorm = 60; DP1_T_Bf = 5; JDReset_TStart = 300; maxStartJDforDP1 = 150;"
                                    " ForcingThreshold = 0 10 20 0;") +
                              "\n" + Block("15 pine", "DynamicPhenology_4", kDP1 + kDP4) + "\n";
  ASSERT_EQ(Read(entries), 0);
  EXPECT_EQ((*table_)[1].GetStartFixpoint(), 2);
  EXPECT_EQ((*table_)[1].GetFallbackStartDay(), -1);
  EXPECT_DOUBLE_EQ((*table_)[1].GetFStar(), 200.0);
  EXPECT_EQ((*table_)[1].GetMaxStartJDforDP1(), 150);
  EXPECT_EQ((*table_)[2].GetStartFixpoint(), -1);  // the last fixpoint is never the placeholder
  const PhenologyParameters& spruce = (*table_)[3].GetPhenology();
  EXPECT_DOUBLE_EQ(spruce.DP2_T_Bc, 3.0);
  EXPECT_DOUBLE_EQ(spruce.DP2_Offset_1, -3.4);
  EXPECT_DOUBLE_EQ(spruce.DP2_Offset_2, 12.0);
  EXPECT_TRUE(Logged("INFO: parameter \"DP2_Offset_1\" not found for land use 13; Using default of -3.4"));
  EXPECT_TRUE(Logged("INFO: parameter \"DP2_Offset_2\" not found for land use 13; Using default of 12"));
  EXPECT_DOUBLE_EQ((*table_)[4].GetForcingThreshold(2), 10.0);
  EXPECT_DOUBLE_EQ((*table_)[4].GetForcingThreshold(5), -1.0);
  EXPECT_DOUBLE_EQ((*table_)[1].GetForcingThreshold(1), -1.0);  // not DynamicPhenology_3
  EXPECT_EQ((*table_)[5].GetPhenology().DP4_SPSLF, 9);
  EXPECT_DOUBLE_EQ((*table_)[5].GetPhenology().DP4_T_xylstop, 7.0);
}

// Every malformed entry ends in its FATAL entry and code, never in a crash.
TEST_F(LanduseTableTest, MalformedEntriesAreFatal) {
  struct Case {
    const char* what;
    std::string entries;
    std::string count;
    int code;
    std::string logged;
  };
  const Case cases[] = {
      {"code and name only", "3 grass\n", "", 29, "FATAL: landuse table code 3: some values could not be read\n3 grass"},
      {"one-line entry one item short", kGrass.substr(0, kGrass.rfind(' ')) + "\n", "", 29,
       "FATAL: landuse table code 3: some values could not be read"},
      {"letters where a number stands", "3 grass 0.2 70 70 70 70 abc 70 70 70 70 70 70 70 1 100 250 366 1 3 3 1 0.01 "
                                        "0.05 0.05 0.01 0.5 0.9 0.9 0.5 0.2 0.4 0.4 0.2 0.5 3.45\n",
       "", 29, "FATAL: landuse table code 3: some values could not be read"},
      {"unknown method", "5 x { method = DynamicPhenology_5; RootDist = 1; }\n", "1", 29,
       "FATAL: landuse table code 5: some values could not be read\n5 x { method"},
      {"missing required key", Block("7 meadow", "VariableDayCount"), "", 0, ""},
      {"missing F*", Block("12 beech", "DynamicPhenology_1", "DP1_t1_dorm = 60;"), "", 29,
       "FATAL: parameter \"F*\" not found for land use 12"},
      {"missing DP2_Par_b", Block("13 x", "DynamicPhenology_2", kDP1 + "DP2_t0_dorm = 1; DP2_t1_dorm = 2; "
                                                                      "DP2_T_Bf = 1; DP2_T_Bc = 1; DP2_Par_a = 1;"),
       "", 29, "FATAL: parameter \"DP2_Par_b\" not found for land use 13"},
      {"missing DP4_SPSLF", Block("15 x", "DynamicPhenology_4", kDP1 + kDP4.substr(0, kDP4.find(" DP4_SPSLF"))), "",
       29, "FATAL: parameter \"DP4_SPSLF\" not found for land use 15"},
      {"invalid cultivation", Block("8 x", "VariableDayCount", "SR_cultivation = none;"), "", 29,
       "FATAL: no valid value for parameter \"SR_cultivation\" for land use 8"},
      {"method 5 last day", Block("9 x", "DynamicPhenology_3", "", "1 120 365"), "", 29,
       "): for Method DynamicPhenology_3 the last sample day (JulDay) must be 366 and not 365"},
      {"method 5 first day", Block("9 x", "DynamicPhenology_3", "", "2 120 365"), "", 29,
       "FATAL: Error in Landuse Table (Code: 9): for Method DynamicPhenology_3 the first sample day (JulDay) must "
       "be 1 and not 2"},
      {"list shorter than the fixpoints", Block("6 x", "VariableDayCount", "", "1 100 200 300 366"), "", 29,
       "FATAL: landuse table code 6: parameter \"Albedo\" holds 4 numbers, 5 expected"},
      {"days separated by commas", Block("6 x", "VariableDayCount", "", "1,120,250,366"), "", 29,
       "is not a day"},
      {"no day at all", Block("6 x", "VariableDayCount", "", ""), "", 29, "parameter \"JulDays\" holds no day"},
      {"flag text without 0 or 1", Block("6 x", "VariableDayCount", "useInternalParameters = yes;"), "", 29,
       "FATAL: landuse table code 6: some values could not be read"},
      {"file ends inside a block", "7 meadow { method = VariableDayCount;\n RootDist = 1;\n", "1", 29,
       "FATAL: [landuse_table]: the control file ends inside entry 1"},
      {"file ends before the last entry", kGrass + "\n", "2", 29,
       "FATAL: [landuse_table]: the control file ends before entry 2 of 2"},
      {"negative count", "", "-1", 29, "must not be negative"},
      {"count not a number", "", "many", 17, "FATAL: error in control file, number of landuse classes"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string entries = c.entries;
    if (std::string(c.what) == "missing required key") {
      entries.replace(entries.find("HReduDry = 3.45;"), 16, "");
      const int code = Read(entries + "\n");
      EXPECT_EQ(code, 29);
      EXPECT_TRUE(Logged("FATAL: landuse table code 7: some values could not be read\n{ method = VariableDayCount;"));
      EXPECT_FALSE(Logged("7 meadow {"));  // the generic entry shows the text from the "{"
      continue;
    }
    console_.str("");
    EXPECT_EQ(Read(entries.empty() || entries.back() == '\n' ? entries : entries + "\n", c.count), c.code);
    EXPECT_TRUE(Logged(c.logged)) << console_.str();
    if (c.code == 29 && std::string(c.what).starts_with("missing")) {
      EXPECT_TRUE(Logged("some values could not be read\n{ method")) << console_.str();
    }
  }
}

TEST_F(LanduseTableTest, OnlyTheFirstMissingPhenologyKeyIsReported) {
  EXPECT_EQ(Read(Block("12 beech", "DynamicPhenology_1", "DP1_t1_dorm = 60; JDReset_TStart = 1;") + "\n"), 29);
  EXPECT_TRUE(Logged("FATAL: parameter \"F*\" not found for land use 12"));
  EXPECT_FALSE(Logged("DP1_T_Bf\" not found"));
}

}  // namespace
}  // namespace tolvo
