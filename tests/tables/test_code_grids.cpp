#include "tables/code_grids.h"

#include <gtest/gtest.h>

#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "framework/error_code.h"
#include "framework/modelobject.h"
#include "support/test_support.h"

namespace tolvo {
namespace {

using test::CodeOf;
using test::GridOf;

constexpr double N = kNodata;

std::vector<double> Values(const Grid& grid) {
  std::vector<double> values;
  for (int r = grid.rows().first; r <= grid.rows().last; ++r) {
    for (int c = 1; c <= grid.ncols(); ++c) values.push_back(grid(r, c));
  }
  return values;
}

SoilTable SoilCodes(std::initializer_list<int> codes) {
  SoilTable table;
  table.emplace_back(static_cast<int>(codes.size()));
  for (int code : codes) table.emplace_back(code);
  return table;
}

IrrigationTable IrrigationCodes(std::initializer_list<int> codes) {
  IrrigationTable table(1);
  table[0].code = static_cast<int>(codes.size());
  for (int code : codes) {
    IrrigationRecord record;
    record.code = code;
    table.push_back(std::move(record));
  }
  return table;
}

LanduseTable LanduseCodes(std::initializer_list<int> codes) {
  LanduseTable table(static_cast<int>(codes.size()));
  int j = 1;
  for (int code : codes) table[j++].SetCode(code);
  return table;
}

class CodeGridTest : public test::LogFixture {
 protected:
  // The console shows entries without their level prefix, each after a line end and the
  // rank mark.
  std::vector<std::string> Entries() const {
    std::vector<std::string> entries;
    const std::string text = console_.str();
    const std::string mark = "\n(mpi-rank  0) ";
    std::size_t start = 0;
    for (std::size_t end = text.find(mark); end != std::string::npos; end = text.find(mark, start)) {
      entries.push_back(text.substr(start, end - start));
      start = end + mark.size();
    }
    return entries;
  }
  MultilayerLanduseTable Multilayer(std::initializer_list<const char*> blocks) {
    MultilayerLanduseTable table(static_cast<int>(blocks.size()));
    int j = 1;
    for (const char* block : blocks) table[j++].ParseBlock(log_, block);
    console_.str("");
    return table;
  }

  modelobject reader_{log_, "control.txt"};
  // Row 1 lies outside the domain except its first cell.
  Grid zone_ = GridOf({{1, N, N}, {1, 1, 1}, {1, 1, 1}});
};

TEST_F(CodeGridTest, SoilCodesBecomeTableIndices) {
  Grid soil = GridOf({{10, 30, N}, {20, 30, 10}, {20.7, 10, 20}});
  check_SOIL_Codes(reader_, {soil.view(), "soil.asc", "soil_types"}, zone_.view(), SoilCodes({10, 20, 30}));
  // 20.7 counts as code 20 and becomes its index; outside the domain codes are replaced
  // as well, nodata stays.
  EXPECT_EQ(Values(soil), (std::vector<double>{1, 3, N, 2, 3, 1, 2, 1, 2}));
  EXPECT_EQ(Entries(), (std::vector<std::string>{"1.: checking soil type codes", "2.:replacing soil type codes soil.asc",
                                                 "10 replaced by 1 ...", "20 replaced by 2 ...",
                                                 "30 replaced by 3 ..."}));
}

TEST_F(CodeGridTest, SwappedCodesDoNotChain) {
  Grid soil = GridOf({{2, N, N}, {1, 2, 1}, {3, 3, 2}});
  check_SOIL_Codes(reader_, {soil.view(), "soil.asc", "soil_types"}, zone_.view(), SoilCodes({2, 1, 3}));
  EXPECT_EQ(Values(soil), (std::vector<double>{1, N, N, 2, 1, 2, 3, 3, 1}));
  // Entry 3 keeps its code and is not logged.
  EXPECT_EQ(Entries().size(), 4u);
}

TEST_F(CodeGridTest, IrrigationChecksOnlyPositiveCodes) {
  Grid irrigation = GridOf({{0, 9, N}, {-1, 2, 1}, {1, 0, 2.5}});
  check_irrig_Codes(reader_, {irrigation.view(), "irr.asc", "irrigation_codes"}, zone_.view(),
                    IrrigationCodes({2, 1}));
  // 0 and -1 in the domain are neither checked nor changed; 9 lies outside the domain.
  EXPECT_EQ(Values(irrigation), (std::vector<double>{0, 9, N, -1, 1, 2, 2, 0, 1}));
  EXPECT_EQ(Entries(), (std::vector<std::string>{"1.: checking codes in irrigation grid",
                                                 "2.:replacing codes in irrigation grid irr.asc",
                                                 "2 replaced by 1 ...", "1 replaced by 2 ..."}));
}

TEST_F(CodeGridTest, LandUseWithoutMultilayerTable) {
  Grid landuse = GridOf({{3, N, N}, {11, 3, 11}, {3, 3, 3}});
  check_landuse_Codes(reader_, {landuse.view(), "lu.asc", "landuse"}, zone_.view(), LanduseCodes({11, 3}), nullptr);
  EXPECT_EQ(Values(landuse), (std::vector<double>{2, N, N, 1, 2, 1, 2, 2, 2}));
  EXPECT_EQ(Entries()[1], "2.:replacing codes in land use grid lu.asc");
}

TEST_F(CodeGridTest, MultilayerLayerCodesBecomeLandUseIndices) {
  Grid landuse = GridOf({{8, N, N}, {7, 8, 7}, {7, 7, 7}});
  MultilayerLanduseTable multilayer = Multilayer({"7 forest { Landuse_Layers = 11, 3, -9999; }",
                                                  "8 field { Landuse_Layers = 3, -9999, -9999; }"});
  check_landuse_Codes(reader_, {landuse.view(), "lu.asc", "landuse"}, zone_.view(), LanduseCodes({3, 11}),
                      &multilayer);
  EXPECT_EQ(Values(landuse), (std::vector<double>{2, N, N, 1, 2, 1, 1, 1, 1}));
  EXPECT_EQ(std::vector<int>(multilayer[1].GetLayerCodes().begin(), multilayer[1].GetLayerCodes().end()),
            (std::vector<int>{3, 2, 1, -9999}));
  EXPECT_EQ(std::vector<int>(multilayer[2].GetLayerCodes().begin(), multilayer[2].GetLayerCodes().end()),
            (std::vector<int>{3, 1, -9999, -9999}));
  const std::vector<std::string> entries = Entries();
  const std::vector<std::string> expected{
      "1.: checking codes in land use grid", "2.:replacing codes in land use grid lu.asc", "7 replaced by 1 ...",
      "8 replaced by 2 ...", "Code replacement in MultiLayer-Landuse 1: changed Layer-Code #2 from 3 to 1",
      "Code replacement in MultiLayer-Landuse 2: changed Layer-Code #1 from 3 to 1",
      "Code replacement in MultiLayer-Landuse 1: changed Layer-Code #1 from 11 to 2"};
  EXPECT_EQ(entries, expected);
}

TEST_F(CodeGridTest, CodesMissingFromTheirTableStopTheSetUp) {
  const std::string rule(71, '-');
  using Check = std::function<void(const CodeGrid&)>;
  struct Case {
    const char* name;
    double first_cell;  // the first domain cell; every other domain cell holds 1
    Check check;
    int code;
    std::string entry;
  };
  const SoilTable soil = SoilCodes({1});
  const SoilTable no_soil = SoilCodes({});
  const IrrigationTable irrigation = IrrigationCodes({1});
  const LanduseTable landuse = LanduseCodes({1, 4});
  MultilayerLanduseTable multilayer = Multilayer({"1 a { Landuse_Layers = 1; }"});
  MultilayerLanduseTable missing_layer = Multilayer({"1 a { Landuse_Layers = 1; }", "5 b { Landuse_Layers = 3; }"});
  MultilayerLanduseTable no_first_layer =
      Multilayer({"1 a { Landuse_Layers = 1, 4; }", "5 b { Landuse_Layers = -9999, 1; }"});
  const Case cases[] = {
      {"soil 5", 5, [&](const CodeGrid& g) { check_SOIL_Codes(reader_, g, zone_.view(), soil); }, 32,
       "\n" + rule + "\nsoil type 5 in grid g.asc (g)\nis not present in the control file \n" + rule + "\n\n"},
      {"soil 0", 0, [&](const CodeGrid& g) { check_SOIL_Codes(reader_, g, zone_.view(), soil); }, 32,
       "\n" + rule + "\nsoil type 0 in grid g.asc (g)\n"},
      {"soil nodata", N, [&](const CodeGrid& g) { check_SOIL_Codes(reader_, g, zone_.view(), soil); }, 32,
       "\n" + rule + "\nsoil type -9999 in grid g.asc (g)\n"},
      {"empty soil table", 1, [&](const CodeGrid& g) { check_SOIL_Codes(reader_, g, zone_.view(), no_soil); }, 32,
       "\n" + rule + "\nsoil type 1 in grid g.asc (g)\n"},
      {"irrigation 5", 5, [&](const CodeGrid& g) { check_irrig_Codes(reader_, g, zone_.view(), irrigation); }, 31,
       "\n" + rule + "\nirrigation type 5 in grid g.asc (g)\nis not present in the irrigation table in the control "
       "file \n" + rule + "\n\n"},
      {"land use 5", 5, [&](const CodeGrid& g) { check_landuse_Codes(reader_, g, zone_.view(), landuse, nullptr); },
       31,
       "\n" + rule + "\nland use 5 in grid g.asc (g)\nis not present in the land use table in the control file \n" +
           rule + "\n\n"},
      {"multilayer 5", 5,
       [&](const CodeGrid& g) { check_landuse_Codes(reader_, g, zone_.view(), landuse, &multilayer); }, 311,
       "\n" + rule + "\nland use 5 in grid g.asc (g)\nis not present in the multilayer-landuse-table in the control "
       "file \n" + rule + "\n\n"},
      {"layer code 3", 5,
       [&](const CodeGrid& g) { check_landuse_Codes(reader_, g, zone_.view(), landuse, &missing_layer); }, 312,
       "\n" + rule + "\nError: not all layer codes from landuse 5 from MultiLayer_Landuse-Table\nare present in the "
       "landuse-table in the control file: Here, code 3 is missing.\n" + rule + "\n\n"},
      {"no first layer", 5,
       [&](const CodeGrid& g) { check_landuse_Codes(reader_, g, zone_.view(), landuse, &no_first_layer); }, 312,
       "\n\n" + rule + "\nError: the first Layer code of each MultiLayer-Landuse Entry \nmust be a valid entry (not "
       "9999 or larger):\nHere, line 2 contains -9999 as first layer code.\n" + rule + "\n\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Grid grid = GridOf({{c.first_cell, N, N}, {1, 1, 1}, {1, 1, 1}});
    console_.str("");
    EXPECT_EQ(CodeOf([&] { c.check({grid.view(), "g.asc", "g"}); }), c.code);
    EXPECT_NE(console_.str().find(c.entry), std::string::npos) << console_.str();
    // A failing check changes nothing.
    EXPECT_EQ(grid(2, 1), 1);
  }
}

}  // namespace
}  // namespace tolvo
