#include "tables/soil_table.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "framework/error_code.h"
#include "framework/modelobject.h"
#include "support/test_support.h"

namespace tolvo {
namespace {

using test::CodeOf;
using test::TempDir;
using test::WriteFile;

// The required lists of a block with the given extra assignments.
std::string Block(const std::string& layers, const std::string& extra = "",
                  const std::string& head = "7 loam {") {
  return head + " method = MultipleHorizons; layers = " + layers +
         "; ksat = 1e-5 5e-6; theta_sat = 0.45 0.40; theta_res = 0.05 0.04; alpha = 3.5 2.0; "
         "Par_n = 1.5 1.3; thickness = 0.1 0.2; " +
         extra + " }";
}

class SoilTableTest : public test::LogFixture {
 protected:
  modelobject& WithControlFile(const std::string& text) {
    WriteFile(dir_.file("control.txt"), text);
    EXPECT_TRUE(object_.OpenControlFile(dir_.file("control.txt")));
    return object_;
  }
  SoilRecord Parsed(const std::string& block) {
    SoilRecord soil(1);
    soil.ParseBlock(log_, block);
    return soil;
  }
  std::string Console() const { return console_.str(); }
  // Whether the console shows the entry (it prints entries without their level prefix).
  bool Logged(const std::string& entry) const { return Console().find(Bare(entry)) != std::string::npos; }
  // Whether the console begins with the entry.
  bool LoggedFirst(const std::string& entry) const { return Console().starts_with(Bare(entry)); }
  static std::string Bare(const std::string& entry) {
    for (const char* prefix : {"FATAL: ", "INFO: "}) {
      if (entry.starts_with(prefix)) return entry.substr(std::string(prefix).size());
    }
    return entry;
  }

  modelobject object_{log_, "control.txt"};
};

TEST_F(SoilTableTest, HorizonListsFillTheLayersOfEachHorizon) {
  const SoilRecord soil = Parsed(Block("2 3"));
  EXPECT_EQ(soil.GetCode(), 7);
  EXPECT_EQ(soil.GetName(), "loam");
  EXPECT_EQ(soil.horizonCount, 2);
  EXPECT_EQ(soil.layerCount, 5);
  EXPECT_EQ(soil.layersPerHorizon, (std::vector<int>{5, 2, 3}));
  EXPECT_EQ(soil.ksat, (std::vector<double>{1e-5, 1e-5, 1e-5, 5e-6, 5e-6, 5e-6}));
  EXPECT_EQ(soil.thickness, (std::vector<double>{0.1, 0.1, 0.1, 0.2, 0.2, 0.2}));
  EXPECT_NEAR(soil.totalDepth, 0.8, 1e-12);
  for (int l = 0; l <= 5; ++l) EXPECT_EQ(soil.Par_m[l], 1 - 1 / soil.Par_n[l]) << l;

  struct Case {
    const char* ksat;
    std::vector<double> expected;
  };
  const Case cases[] = {
      {"ksat = 1e-5;", {1e-5, 1e-5, 1e-5, 1e-5, 1e-5, 1e-5}},             // one value for all horizons
      {"ksat = 1e-5 ;", {1e-5, 1e-5, 1e-5, 1e-5, 1e-5, 1e-5}},            // a trailing blank repeats, reads no 0
      {"ksat = 1e-5\n  ;", {1e-5, 1e-5, 1e-5, 1e-5, 1e-5, 1e-5}},         // so does a line end
      {"ksat = 1 2; ksat = 3 4;", {3, 3, 3, 4, 4, 4}},                     // the last assignment counts
      {"ksat = 3 4; ksat_topmodel = 9;", {3, 3, 3, 4, 4, 4}},              // no match inside ksat_topmodel
      {"ksat_topmodel = 9; ksat = 3 4;", {3, 3, 3, 4, 4, 4}},
      {"ksat = abc;", {0, 0, 0, 0, 0, 0}},                                 // letters read as 0
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ksat);
    const std::string block = std::string("1 s { method = MultipleHorizons; layers = 2 3; ") + c.ksat +
                              " theta_sat = 0.4; theta_res = 0.05; alpha = 3; Par_n = 1.5; thickness = 0.1; }";
    EXPECT_EQ(Parsed(block).ksat, c.expected);
  }
  // A list at the end of a block without its ";" ends at the "}".
  const SoilRecord open_end = Parsed(
      "1 s { method = MultipleHorizons; layers = 2 3; ksat = 1; theta_sat = 0.4; theta_res = 0.05; alpha = 3; "
      "thickness = 0.1; Par_n = 1.5 }");
  EXPECT_EQ(open_end.Par_n, (std::vector<double>(6, 1.5)));
}

// The field capacity of each layer is its retention curve at the field-capacity suction,
// with each horizon's own van Genuchten parameters (theta at 3.45 m: loam 0.1633, sand
// 0.0544 from the closed form; the table interpolates between suction steps).
TEST_F(SoilTableTest, FieldCapacityFollowsEachHorizonsRetentionCurve) {
  const SoilRecord soil = Parsed(
      "1 s { method = MultipleHorizons; layers = 2 3; ksat = 1e-5; theta_sat = 0.43 0.38; theta_res = 0.078 0.053; "
      "alpha = 3.6 3.5; Par_n = 1.56 3.18; thickness = 0.1; }");
  for (int l = 0; l <= soil.layerCount; ++l) {
    SCOPED_TRACE(l);
    EXPECT_EQ(soil.FieldCapacity(l), soil.ThetaForSuction(l, kFieldCapacitySuction));
    EXPECT_NEAR(soil.FieldCapacity(l), l <= 2 ? 0.1633 : 0.0544, 0.01);
  }
}

TEST_F(SoilTableTest, DefaultsAndOptionalKeys) {
  const SoilRecord soil = Parsed(Block("1 1"));
  EXPECT_EQ(soil.method, 0);
  EXPECT_EQ(soil.FCap, 25);
  EXPECT_EQ(soil.mSB, 35);
  EXPECT_DOUBLE_EQ(soil.storageRange, 0.1);
  EXPECT_EQ(soil.ksat_topmodel, 0.00001);
  EXPECT_EQ(soil.suction, 300);
  EXPECT_EQ(soil.maxratio, 1000);
  EXPECT_EQ(soil.MaxInterflowDepth, 2);
  EXPECT_EQ(soil.EvapMaxDepth, 0.1);
  EXPECT_DOUBLE_EQ(soil.PMacroThresh, 1000 / 3600000.0);
  EXPECT_EQ(soil.MacroCapacity, 0);
  EXPECT_EQ(soil.MacroDepth, 1.0);
  EXPECT_EQ(soil.CapacityRedu, 1.0);
  EXPECT_EQ(soil.sand, 0.3333);
  EXPECT_EQ(soil.clay, 0.3334);
  EXPECT_EQ(soil.Par_tau, (std::vector<double>(3, 0.5)));
  EXPECT_EQ(soil.k_recession, (std::vector<double>(3, 1)));
  EXPECT_EQ(soil.DryDensity, (std::vector<double>(3, -1)));
  EXPECT_EQ(soil.KMinFrozenSoil, -1);
  EXPECT_EQ(soil.logKMinFrozenSoil, -20.0);
  EXPECT_EQ(soil.conductivityTableSize, 30);
  EXPECT_EQ(soil.retentionTableSize, 30);
  EXPECT_EQ(soil.liquidFractionTable.rows(), 3);
  EXPECT_EQ(soil.liquidFractionTable.width(), 1001);
  EXPECT_EQ(soil.thetaTable[2][30], 0.04);

  const SoilRecord given = Parsed(Block(
      "1 1", "FCap = 20; mSB = 40; PMacroThresh = 36; MacroCapacity = 72; Par_tau = 0.4 0.6; SU_PAR03 = 3.5; "
             "SU_PAR10 = 10; Par_m = 0.2; DryDensity = 1400 1600; GrainSizeDist = 0.5 0.2 0.2 0.1 0 0 0; "
             "EvapMaxDepth = 0.3;"));
  EXPECT_DOUBLE_EQ(given.storageRange, 0.2);
  EXPECT_DOUBLE_EQ(given.PMacroThresh, 1e-5);
  EXPECT_DOUBLE_EQ(given.MacroCapacity, 2e-5);
  EXPECT_EQ(given.Par_tau, (std::vector<double>{0.4, 0.4, 0.6}));
  EXPECT_EQ(given.Par_m, (std::vector<double>(3, 0.2)));
  EXPECT_EQ(given.DryDensity, (std::vector<double>{1400, 1400, 1600}));
  EXPECT_EQ(given.SU_PAR03, 3.5);
  EXPECT_EQ(given.SU_PAR10, 10);
  EXPECT_EQ(given.SU_PAR00, 0);
  EXPECT_EQ(given.sand, 0.5);
  EXPECT_EQ(given.stones1, 0.1);
  EXPECT_EQ(given.EvapMaxDepth, 0.3);

  struct Case {
    const char* text;
    double k_min;
    double log_k_min;
  };
  for (const Case& c : {Case{"KMinFrozenSoil = 0;", 0, -27.631}, Case{"KMinFrozenSoil = 1e-8;", 1e-8, std::log(1e-8)}}) {
    SCOPED_TRACE(c.text);
    const SoilRecord frozen = Parsed(Block("1 1", c.text));
    EXPECT_EQ(frozen.KMinFrozenSoil, c.k_min);
    EXPECT_EQ(frozen.logKMinFrozenSoil, c.log_k_min);
  }
}

TEST_F(SoilTableTest, ThicknessScalingKeepsTheUnscaledEvaporationDepth) {
  const SoilRecord soil = Parsed(Block("1 1", "ThicknessScaling = 2;"));
  EXPECT_EQ(soil.thickness, (std::vector<double>{0.2, 0.2, 0.4}));
  EXPECT_DOUBLE_EQ(soil.totalDepth, 0.6);
  EXPECT_EQ(soil.EvapMaxDepth, 0.1);
  EXPECT_TRUE(Logged("INFO: Soil layers for soil type 7 will be scaled by a factor of 2"));
}

TEST_F(SoilTableTest, ConductivityFallsWithDepthDownToTheInterflowDepth) {
  const SoilRecord soil = Parsed(
      "3 silt { method = MultipleHorizons; layers = 10; ksat = 1e-5; theta_sat = 0.4; theta_res = 0.05; "
      "alpha = 2; Par_n = 1.4; thickness = 0.1; k_recession = 0.5; MaxInterflowDepth = 0.5; }");
  for (int l = 1; l <= 10; ++l) {
    SCOPED_TRACE(l);
    const double centre = (l - 0.5) * 0.1;  // m below the surface, also below the horizon top
    EXPECT_NEAR(soil.ksat[l], l <= 5 ? 1e-5 * std::pow(0.5, centre) : 1e-5, 1e-18);
  }
  // Two horizons: the depth in the horizon starts again at the top of the second one.
  const SoilRecord two = Parsed(
      "3 silt { method = MultipleHorizons; layers = 2 2; ksat = 1; theta_sat = 0.4; theta_res = 0.05; "
      "alpha = 2; Par_n = 1.4; thickness = 0.1 0.2; k_recession = 0.5 0.25; }");
  EXPECT_NEAR(two.ksat[2], std::pow(0.5, 0.15), 1e-15);
  EXPECT_NEAR(two.ksat[3], std::pow(0.25, 0.1), 1e-15);
  EXPECT_NEAR(two.ksat[4], std::pow(0.25, 0.3), 1e-15);
}

TEST_F(SoilTableTest, BadBlocksEndInTheirEntriesAndCode29) {
  struct Case {
    std::string block;
    std::string first_entry;  // the specific entry before the generic one ("" for none)
  };
  const std::string sand_text = "FATAL: Grainsize distribution: fraction of sand must be > 0 \nsoil type: 7\n{";
  const Case cases[] = {
      {Block("1 1", "GrainSizeDist = 0 0.5 0.5 0 0 0 0;"), sand_text},
      {Block("1 1", "GrainSizeDist = 0.5 0.6 -0.1 0 0 0 0;"),
       "FATAL: Grainsize distribution: all grain size fractions must be >= 0 (sand must be >0)\nsoil type: 7\n{"},
      {Block("1 1", "GrainSizeDist = 0.5 0.2 0.2 0 0 0 0;"),
       "FATAL: Grainsize distribution: sum of all fractions (sand, silt, clay, stones1..4) must be 1.0\n soil "
       "type: 7\n{"},
      {Block("1 1", "GrainSizeDist = 0.5 0.5;"), "FATAL: parameter \"GrainSizeDist\" holds 2 numbers, 7 expected"},
      {"7 loam { method = MultipleHorizons; layers = 1; theta_sat = 0.4; theta_res = 0.05; alpha = 2; "
       "Par_n = 1.4; thickness = 0.1; ksat_topmodel = 1; }",
       ""},  // ksat missing: ksat_topmodel is no ksat
      {"7 loam { method = MultipleHorizons; ksat = 1; theta_sat = 0.4; theta_res = 0.05; alpha = 2; "
       "Par_n = 1.4; thickness = 0.1; }",
       ""},  // layers missing
      {Block(";"), "FATAL: \"layers\" of soil type 7 is empty"},
      {Block("2 0"), "FATAL: \"layers\" of soil type 7: \"0\" is not a number of layers"},
      {Block("2 x"), "FATAL: \"layers\" of soil type 7: \"x\" is not a number of layers"},
      {Block("1", "", "7 " + std::string(200, 'n') + " {"), "FATAL: the name of the entry is longer than 199"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.block);
    console_.str("");
    EXPECT_EQ(CodeOf([&] { Parsed(c.block); }), 29);
    const std::string generic = "FATAL: Soil table code 7: some values could not be read\n{";
    EXPECT_TRUE(Logged(generic)) << Console();
    EXPECT_TRUE(LoggedFirst(c.first_entry.empty() ? generic : c.first_entry)) << Console();
  }
  console_.str("");
  EXPECT_EQ(CodeOf([&] { Parsed("7 loam { method = Layers; layers = 1; }"); }), 29);
  EXPECT_TRUE(LoggedFirst("FATAL: soil table definition method unknown 7 loam {"));
  EXPECT_EQ(Console().find("some values"), std::string::npos);
}

TEST_F(SoilTableTest, OneLineEntry) {
  SoilRecord soil(1);
  soil.ParseOneLineEntry(log_, "4 sandyloam 20 30 1e-5 250 1 0.41 0.065 7.5 1.89 4 0.3 500 0.5");
  EXPECT_EQ(soil.GetCode(), 4);
  EXPECT_EQ(soil.GetName(), "sandyloam");
  EXPECT_EQ(soil.method, 1);
  EXPECT_DOUBLE_EQ(soil.storageRange, 0.1);
  EXPECT_EQ(soil.layerCount, 4);
  EXPECT_EQ(soil.horizonCount, 1);
  EXPECT_EQ(soil.layersPerHorizon, (std::vector<int>{4, 4}));
  EXPECT_EQ(soil.thickness[1], 0.05);
  EXPECT_DOUBLE_EQ(soil.thickness[2], 0.25);
  EXPECT_EQ(soil.thickness[3], 0.3);
  EXPECT_EQ(soil.thickness[4], 0.3);
  EXPECT_DOUBLE_EQ(soil.totalDepth, 0.9);
  EXPECT_DOUBLE_EQ(soil.ksat[1], 1e-5 * std::pow(0.5, 0.025));
  EXPECT_DOUBLE_EQ(soil.ksat[2], 1e-5 * std::pow(0.5, 0.15));
  EXPECT_DOUBLE_EQ(soil.ksat[3], 1e-5 * std::pow(0.5, 1.5 * 0.3));
  EXPECT_DOUBLE_EQ(soil.ksat[4], 1e-5 * std::pow(0.5, 2.5 * 0.3));
  EXPECT_DOUBLE_EQ(soil.Par_m[3], 1 - 1 / 1.89);
  EXPECT_EQ(soil.maxratio, 500);
  EXPECT_EQ(soil.kReduction, 0.5);
  EXPECT_EQ(soil.EvapMaxDepth, 0.1);
  EXPECT_EQ(soil.PMacroThresh, 1.0);
  EXPECT_EQ(soil.MacroDepth, 0);
  EXPECT_EQ(soil.MaxInterflowDepth, 2);
  EXPECT_EQ(soil.retentionTable[4][30], 0.065);

  // Below 2 m the conductivity stays at the value of the layer above: d = 1.5 + ... x 1.0.
  SoilRecord deep(1);
  deep.ParseOneLineEntry(log_, "5 deep 20 30 1 250 1 0.41 0.065 7.5 1.89 5 1.0 500 0.5");
  EXPECT_DOUBLE_EQ(deep.ksat[3], std::pow(0.5, 1.5));
  EXPECT_EQ(deep.ksat[4], deep.ksat[3]);  // d = 2.5 > 2
  EXPECT_EQ(deep.ksat[5], deep.ksat[3]);

  struct Case {
    const char* line;
    const char* first_entry;
  };
  const Case cases[] = {
      {"4 sl 20 30 1e-5 250 1 0.41 0.065 7.5 1.89 4 0.08 500 0.5",
       "FATAL: \nerror soil type 4:\nthickness of single layers (here 0.08 m)\nhas to be at minimum twice as thick "
       "as the\nthickness of the top layer (here 0.05 m)"},
      {"4 sl 20 30 1e-5 250 2 0.41 0.065 7.5 1.89 4 0.3 500 0.5",
       "FATAL: error reading soil parameters for soil type 4: only old method 1 (van-Genuchten Parameter) is "
       "supported in Tolvo newer than 6.4.\nUse the new soil type table format instead."},
      {"4 sl 20 30 1e-5 250 1 0.41 0.065 7.5 1.89 1 0.3 500 0.5", "FATAL: soil type 4: a one-line entry needs 2 to"},
      {"4 sl 20 30 1e-5 250 1 0.41 0.065 7.5", "FATAL: soil table code 4: some values could not be read\n4 sl"},
      {"4 sl 20 30 1e-5 250 1 0.41 x 7.5 1.89 4 0.3 500 0.5", "FATAL: soil table code 4: some values"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    console_.str("");
    SoilRecord bad(1);
    EXPECT_EQ(CodeOf([&] { bad.ParseOneLineEntry(log_, c.line); }), 30);
    EXPECT_TRUE(LoggedFirst(c.first_entry)) << Console();
    EXPECT_TRUE(Logged("FATAL: soil table code 4: some values could not be read\n" + std::string(c.line)));
  }
}

TEST_F(SoilTableTest, ReadsTheSectionInBothForms) {
  modelobject& reader = WithControlFile(
      "[other]\n1\n[soil_table]\n3 soil types\n"
      "10 clay 20 30 1e-6 250 1 0.38 0.068 0.8 1.09 3 0.2 500 1\n"
      "20 loam {\n  method = MultipleHorizons;\n  layers = 1 2;\n  ksat = 1e-5 2e-6; theta_sat = 0.43;\n"
      "  theta_res = 0.078; alpha = 3.6; Par_n = 1.56;\n  thickness = 0.1 0.3;\n}\n"
      "30 sand { method = MultipleHorizons; layers = 3; ksat = 8e-5; theta_sat = 0.43; theta_res = 0.045; "
      "alpha = 14.5; Par_n = 2.68; thickness = 0.1; }\n");
  const SoilTable table = ReadSoilTable(reader);
  ASSERT_EQ(table.size(), 4u);
  EXPECT_EQ(table[0].GetCode(), 3);
  EXPECT_EQ(table[1].GetCode(), 10);
  EXPECT_EQ(table[1].method, 1);
  EXPECT_EQ(table[2].GetCode(), 20);
  EXPECT_EQ(table[2].GetName(), "loam");
  EXPECT_EQ(table[2].ksat, (std::vector<double>{1e-5, 1e-5, 2e-6, 2e-6}));
  EXPECT_EQ(table[3].GetName(), "sand");
  for (int j = 1; j <= 3; ++j) EXPECT_EQ(table[j].layerCount, 3) << j;

  const SoilTable empty = ReadSoilTable(WithControlFile("[soil_table]\n0\n"));
  ASSERT_EQ(empty.size(), 1u);
  EXPECT_EQ(empty[0].GetCode(), 0);
}

TEST_F(SoilTableTest, BadSectionsStopTheSetUp) {
  struct Case {
    std::string text;
    int code;
    std::string entry;
  };
  const std::string one_line = "1 a 20 30 1e-6 250 1 0.38 0.068 0.8 1.09 10 0.2 500 1\n";
  const Case cases[] = {
      {"[soil]\n1\n", 17, "FATAL: error in control file, [soil_table]; (EOF)not found!"},
      {"[soil_table]\nmany\n", 17, "FATAL: error in control file, [soil_table]: number of soil types"},
      {"[soil_table]\n-1\n", 30, "FATAL: [soil_table]: the number of soil types must not be negative (here -1)"},
      {"[soil_table]\n2\n" + one_line, 30, "FATAL: [soil_table]: the control file ends before soil type 2 of 2"},
      {"[soil_table]\n1\n7 loam { method = MultipleHorizons; layers = 1;\n ksat = 1;\n", 29,
       "FATAL: Soil table code 1: the control file ends inside the parameter block"},
      {"[soil_table]\n2\n" + one_line + "2 b 20 30 1e-6 250 1 0.38 0.068 0.8 1.09 12 0.2 500 1\n", 30,
       "FATAL: the numbers of soil layers has to be equal for all soil types\n(here: soil type 2: 12 layers, but "
       "soil type 1: 10 layers)\n\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    console_.str("");
    EXPECT_EQ(CodeOf([&] { ReadSoilTable(WithControlFile(c.text)); }), c.code);
    EXPECT_TRUE(Logged(c.entry)) << Console();
  }
}

}  // namespace
}  // namespace tolvo
