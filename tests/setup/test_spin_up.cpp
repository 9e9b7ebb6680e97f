#include "setup/spin_up.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "framework/error_code.h"
#include "framework/grid_table.h"
#include "framework/modelobject.h"
#include "support/test_support.h"

namespace tolvo {
namespace {

using test::AsciiGridValues;
using test::CodeOf;
using test::GridOf;

constexpr double N = kNodata;

TEST(HruKey, ClassesStandAsFourDigitsAndAnApostrophe) {
  struct Case {
    double value;
    double width;
    bool sqrt_spacing;
    const char* key;
  };
  const Case cases[] = {
      {250, 100, false, "0002'"},   {37, 10, false, "0003'"},    {299, 100, false, "0002'"},
      {-250, 100, false, "-003'"},  {400, 1, true, "0020'"},     {-400, 1, true, "0020'"},
      {0, 1, true, "0000'"},        {999999, 100, false, "9999'"}, {-0.0, 10, false, "0000'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(HruKeyPart(HruClass(c.value, {"g", c.width, c.sqrt_spacing})), c.key);
  }
}

class SpinUpTest : public test::LogFixture {
 protected:
  void SetUp() override {
    reader_.set_grid_table(&table_);
    reader_.set_output_formats({.ascii = true});
  }
  // The zone grid (entry 1) and grids at the following entries, with identifiers.
  void SetGrids(const std::vector<std::vector<double>>& zone,
                const std::vector<std::pair<std::string, std::vector<std::vector<double>>>>& grids) {
    table_ = grid_table{};
    registered_ = 0;
    zone_ = GridOf(zone);
    const int nrows = zone_.rows().last;
    reader_.set_geometry({.ncols = zone_.ncols(), .nrows = nrows, .cellsize = 100, .nodata_value = N});
    reader_.set_strip({1, nrows});
    reader_.RegisterGrid(1, "zones.asc", zone_.view(), {}, 0, "[zone_grid]", 0, 1, nrows);
    grids_.clear();
    grids_.reserve(grids.size());
    for (const auto& [identifier, values] : grids) {
      grids_.push_back(GridOf(values));
      reader_.RegisterGrid(static_cast<int>(grids_.size()) + 1, identifier + ".asc", grids_.back().view(), {}, 0,
                           identifier, 0, 1, nrows);
    }
  }
  SpinUpSettings Init(const std::string& section) {
    test::WriteFile(dir_.file("control.txt"), "[model_time]\n1\n" + section + "[end]\n");
    return units_.InitSpinUp(reader_, [&] { ++registered_; });
  }
  std::vector<double> Output(const std::string& name) { return AsciiGridValues(dir_.file(name)); }

  modelobject reader_{log_, dir_.file("control.txt"), {}, "", dir_.path().string() + "/"};
  grid_table table_;
  Grid zone_;
  std::vector<Grid> grids_;
  HydrologicResponseUnits units_;
  int registered_ = 0;
};

TEST_F(SpinUpTest, SettingsAreZeroWithoutSectionOrSwitch) {
  SetGrids({{1}}, {});
  for (const char* section : {"", "[SpinUp]\n0 off\n1 1\n2 grids\n"}) {
    SCOPED_TRACE(section);
    const SpinUpSettings settings = Init(section);
    EXPECT_EQ(settings.spin_up, 0);
    EXPECT_EQ(settings.do_temperature_pre_spin_up, 0);
    EXPECT_EQ(settings.repeat_count, 0);
    EXPECT_EQ(units_.list(), std::vector<HruRecord>{HruRecord{}});
    EXPECT_EQ(registered_, 0);
  }
}

TEST_F(SpinUpTest, SectionValuesAndTheirErrors) {
  SetGrids({{1}}, {});
  test::WriteFile(dir_.file("control.txt"),
                  "[SpinUp]\n2 switch\n1 4 pre-spin-up, four runs\n2 grids\nslope 0.5 lin\nelevation 100 sqrt\n");
  ASSERT_TRUE(reader_.OpenControlFile(dir_.file("control.txt")));
  const SpinUpSection section = ReadSpinUpSection(reader_);
  EXPECT_EQ(section.settings.spin_up, 2);
  EXPECT_EQ(section.settings.do_temperature_pre_spin_up, 1);
  EXPECT_EQ(section.settings.repeat_count, 4);
  EXPECT_TRUE(section.classify);
  ASSERT_EQ(section.grids.size(), 2u);
  EXPECT_EQ(section.grids[0].identifier, "slope");
  EXPECT_EQ(section.grids[0].class_width, 0.5);
  EXPECT_FALSE(section.grids[0].sqrt_spacing);
  EXPECT_TRUE(section.grids[1].sqrt_spacing);

  const char* bad[] = {
      "[SpinUp]\non\n",                              // switch
      "[SpinUp]\n1\nyes 3\n0\n",                     // doTemperaturePreSpinUp
      "[SpinUp]\n1\n1\n",                            // repeatCnt missing
      "[SpinUp]\n1\n1 1\nall grids\n",               // numGrids
      "[SpinUp]\n1\n1 1\n2\nslope 10 lin\nslope 10\n",  // a grid line short of its spacing
      "[SpinUp]\n1\n1 1\n1\nslope 0 lin\n",          // a class width of 0
  };
  for (const char* text : bad) {
    SCOPED_TRACE(text);
    test::WriteFile(dir_.file("control.txt"), text);
    ASSERT_TRUE(reader_.OpenControlFile(dir_.file("control.txt")));
    EXPECT_EQ(CodeOf([&] { ReadSpinUpSection(reader_); }), kMissingControlItem);
  }
  EXPECT_NE(console_.str().find("error reading HRU defintions"), std::string::npos);
}

TEST_F(SpinUpTest, UnitsFromClassificationGrids) {
  // Grid a in classes of 100, grid b in classes of 10. By hand, in scan order:
  // (1,1) 250/37 and (1,2) 299/30: "0002'0003'" = unit 1; (1,3) b nodata: "0002'" = 2;
  // (1,4) a nodata and (2,1) outside the zone: no unit; (2,2) 100/1: "0001'0000'" = 3;
  // (2,3) 37/2: "0000'0000'" = 4; (2,4) 250/37: unit 1.
  SetGrids({{1, 1, 1, 1}, {N, 1, 1, 1}},
           {{"a", {{250, 299, 250, N}, {250, 100, 37, 250}}}, {"b", {{37, 30, N, 5}, {37, 1, 2, 37}}}});
  const SpinUpSettings settings = Init("[SpinUp]\n1 on\n0 2\n2 grids\na 100 lin\nb 10 lin\n");
  EXPECT_EQ(settings.spin_up, 1);
  EXPECT_EQ(settings.repeat_count, 2);
  EXPECT_EQ(registered_, 2);
  const std::vector<HruRecord> expected = {
      {}, {1, "0002'0003'", 1, 1, 0}, {2, "0002'", 1, 3, 0}, {3, "0001'0000'", 2, 2, 0}, {4, "0000'0000'", 2, 3, 0}};
  EXPECT_EQ(units_.list(), expected);

  const int units = reader_.FindGrid("HydrologicResponseUnits", true);
  const int masters = reader_.FindGrid("MasterHydrologicResponseUnits", true);
  EXPECT_EQ(units, 4);
  EXPECT_EQ(masters, 5);
  EXPECT_EQ(table_[units].file_name, "All_HydrologicResponseUnits");
  EXPECT_EQ(table_[masters].file_name, "Master_HydrologicResponseUnits");
  const std::vector<double> unit_values = {1, 1, 2, N, N, 3, 4, 1};
  const std::vector<double> master_values = {1, N, 2, N, N, 3, 4, N};
  for (const char* suffix : {"", "_000"}) {
    SCOPED_TRACE(suffix);
    EXPECT_EQ(Output(std::string("All_HydrologicResponseUnits") + suffix), unit_values);
    EXPECT_EQ(Output(std::string("Master_HydrologicResponseUnits") + suffix), master_values);
  }
}

TEST_F(SpinUpTest, ClassLimitsAndGridNames) {
  // 9999 classes are allowed; a class of 10000 is not.
  SetGrids({{1, 1}}, {{"a", {{999900, 5}}}});
  Init("[SpinUp]\n1\n0 1\n1\na 100 lin\n");
  EXPECT_EQ(units_.list().back().key, "0000'");
  EXPECT_EQ(units_.list()[1].key, "9999'");

  SetGrids({{1, 1}}, {{"a", {{5, 1000000}}}});
  EXPECT_EQ(CodeOf([&] { Init("[SpinUp]\n1\n0 1\n1\na 100 lin\n"); }), kHruClassTooLarge);
  EXPECT_NE(console_.str().find("Creating HRUs resulted in a re-classify result of 10000 for grid a at row=1 and "
                                "col=2. Only 10'000 Classes are allowed"),
            std::string::npos);

  // "zone_grid" names the zone grid; a grid that is not there fails with 33.
  SetGrids({{3, 7}}, {});
  Init("[SpinUp]\n1\n0 1\n1\nzone_grid 1 lin\n");
  EXPECT_EQ(units_.list().size(), 3u);
  EXPECT_EQ(CodeOf([&] { Init("[SpinUp]\n1\n0 1\n1\nslope 1 lin\n"); }), 33);

  // A negative count reads no grid line and leaves every cell without a unit.
  SetGrids({{3, 7}}, {});
  Init("[SpinUp]\n1\n0 1\n-1\n");
  EXPECT_EQ(units_.list().size(), 1u);
  EXPECT_EQ(Output("All_HydrologicResponseUnits"), (std::vector<double>{N, N}));
}

TEST_F(SpinUpTest, UnitsFromAGivenGridAreRenumberedInScanOrder) {
  // Codes 50, 60, nodata and 7 become 1, 2, 3 and 4; nodata forms a unit of its own.
  SetGrids({{1, 1, 1}, {N, 1, 1}}, {{"HydrologicResponseUnits", {{50, 50, 60}, {N, 60, 7}}}});
  Init("[SpinUp]\n1\n0 1\n0 grids\n");
  EXPECT_EQ(registered_, 1);
  const std::vector<HruRecord> expected = {
      {}, {1, "50", 1, 1, 0}, {2, "60", 1, 3, 0}, {3, "-9999", 2, 1, 0}, {4, "7", 2, 3, 0}};
  EXPECT_EQ(units_.list(), expected);
  EXPECT_EQ(table_[reader_.FindGrid("MasterHydrologicResponseUnits", true)].file_name,
            "MasterHydrologicResponseUnits");
  EXPECT_EQ(Output("HydrologicResponseUnits.asc"), (std::vector<double>{1, 1, 2, 3, 2, 4}));
  EXPECT_EQ(Output("HydrologicResponseUnits.asc_000"), (std::vector<double>{1, 1, 2, 3, 2, 4}));
  EXPECT_EQ(Output("MasterHydrologicResponseUnits"), (std::vector<double>{1, N, 2, 3, N, 4}));

  SetGrids({{1}}, {});
  EXPECT_EQ(CodeOf([&] { Init("[SpinUp]\n1\n0 1\n0 grids\n"); }), kHruGridMissing);
  EXPECT_NE(console_.str().find("standard grid with identifier HydrologicResponseUnits not found (Hydrologic Respond "
                                "Units, HRU; used for SpinUp mode)"),
            std::string::npos);
}

}  // namespace
}  // namespace tolvo
