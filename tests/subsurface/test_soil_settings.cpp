// Reading the soil model's sections: the positional items, the sub-basin block with its
// column rule, the validations and their codes, the heat and tuning sections.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "framework/modelobject.h"
#include "subsurface/soil_section_text.h"
#include "subsurface/soil_settings.h"
#include "support/test_support.h"

namespace tolvo {
namespace {

using test::CodeOf;
using test::SoilSectionText;

// Sub-basins with the given codes (ascending), indexed 1..n.
ZoneRanking Subbasins(const std::vector<int>& codes) {
  ZoneRanking z;
  z.zone_count = static_cast<int>(codes.size());
  z.largest_code = codes.back();
  z.code_index.assign(static_cast<std::size_t>(z.largest_code) + 1, 0);
  z.zones.resize(codes.size() + 1);
  for (std::size_t i = 0; i < codes.size(); ++i) {
    z.code_index[static_cast<std::size_t>(codes[i])] = static_cast<int>(i) + 1;
    z.zones[i + 1].zonenwert = codes[i];
  }
  return z;
}

class SoilSettingsTest : public test::LogFixture {
 protected:
  // Reads the section text as the soil model does (after its switch and time step);
  // the code raised, or 0.
  int Read(const std::string& text, const ZoneRanking& subbasins, int rank = 0) {
    settings_ = SoilSettings();
    test::WriteFile(dir_.file("c.ctl"), text);
    return CodeOf([&] {
      modelobject reader(log_, dir_.file("c.ctl"), {}, "", "out/");
      reader.set_name("unsatzon_model");
      reader.set_geometry({.ncols = 4, .nrows = 5, .cellsize = 100, .nodata_value = -9999});
      ASSERT_TRUE(reader.OpenControlFile(dir_.file("c.ctl")));
      reader.FindSection("[unsatzon_model]", true);
      int on = 0;
      double step = 0;
      reader.ReadItem(on, "switch");
      reader.ReadItem(step, "step");
      ReadSoilSection(reader, subbasins, rank, settings_);
      if (reader.FindSection("[heat_transfer]", false) == 1) ReadHeatTransferSection(reader, settings_.heat);
      if (reader.FindSection("[unsatzon_tuning]", false) == 1) ReadTuningSection(reader, settings_);
    });
  }
  SoilSettings settings_;
};

// The sub-basin block: values per listed code, unlisted sub-basins take the column of
// the listed code below them; recession constants in minutes, inverse baseflow constant.
TEST_F(SoilSettingsTest, SubbasinBlockAssignsColumnsAndConvertsUnits) {
  const std::vector<int> one_to_eight = {1, 2, 3, 4, 5, 6, 7, 8};
  const struct {
    const char* label;
    std::vector<int> codes;
    std::string block;
    std::vector<double> kelsqd;    // per sub-basin 1..n, minutes
    std::vector<double> kelsqlat;  // per sub-basin 1..n
  } cases[] = {
      {"block 1 8: sub-basins 1-7 take the first column",
       one_to_eight,
       "1 8\n1 2\n3 3\n1 1\n20 -1\n1 1\n0.2 0.2\n",
       {60, 60, 60, 60, 60, 60, 60, 120},
       {0.05, 0.05, 0.05, 0.05, 0.05, 0.05, 0.05, 0}},
      {"code line starting at 3 while the smallest is 1",
       {1, 2, 3, 5},
       "3 5\n0.0005 2\n3 3\n1 1\n20 20\n1 1\n0 0\n",
       {0.06, 0.06, 0.06, 120},
       {0.05, 0.05, 0.05, 0.05}},
      {"code line starting at the second code",
       {4, 6, 9},
       "6 9\n2 0.0005\n1 1\n1 1\n-1 20\n1 1\n0 0\n",
       {120, 120, 0.06},
       {0, 0, 0.05}},
      {"values may spread over lines",
       {1, 2},
       "1\n2\n5 6\n7 8\n9 10\n11 12\n13 14\n15 16\n",
       {300, 360},
       {1.0 / 11, 1.0 / 12}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    SoilSectionText text;
    text.block = c.block;
    ASSERT_EQ(Read(text.Render(), Subbasins(c.codes)), 0) << console_.str();
    const SubbasinParameters& p = settings_.subbasins;
    ASSERT_EQ(p.kelsqd.size(), c.codes.size() + 1);
    EXPECT_EQ(p.kelsqd[0], 0);
    for (std::size_t i = 1; i <= c.codes.size(); ++i) {
      EXPECT_DOUBLE_EQ(p.kelsqd[i], c.kelsqd[i - 1]) << i;
      EXPECT_DOUBLE_EQ(p.kelsqlat[i], c.kelsqlat[i - 1]) << i;
      // After the block the code array names each sub-basin's own code.
      EXPECT_EQ(p.code[i], c.codes[i - 1]);
    }
  }
}

TEST_F(SoilSettingsTest, RefusedValuesNameTheirItemAndCode) {
  const std::vector<int> codes = {1, 2, 3};
  const auto with = [](const std::function<void(SoilSectionText&)>& edit) {
    SoilSectionText t;
    t.block = std::string("1 3\n1 1\n1 1\n1 1\n1 1\n1 1\n1 1\n");
    edit(t);
    return t.Render();
  };
  const struct {
    const char* label;
    std::string text;
    int code;
    std::string entry;
  } cases[] = {
      {"method 4", with([](auto& t) { t.method = std::string("4"); }), 91,
       "in modul unsatzon_model:\ninvalid method (4)\npossible values are:\n 2 for Finite Differences"},
      {"a code that is no sub-basin", with([](auto& t) { t.block = std::string("1 4\n"); }), 10,
       "error! there is no code 4 (from "},
      {"a code that does not scan", with([](auto& t) { t.block = std::string("1 x\n"); }), 10,
       "error reading code[1] for unsatzon_model"},
      {"a parameter that does not scan", with([](auto& t) { t.block = std::string("1 3\n1 1\n1 x\n"); }), 10,
       "error reading kelsqi[3] for unsatzon_model\npossible error by using the same parameters"},
      {"a last code that is not the largest",
       with([](auto& t) { t.block = std::string("1 2\n1 1\n1 1\n1 1\n1 1\n1 1\n1 1\n"); }), 10,
       "error! there is no code "},
      {"control row beyond the grid", with([](auto& t) { t.control_point = std::string("6 1"); }), 8,
       "row index (6) for output-cell must be between 1 and 5 (Input as row col) or 0 0 "},
      {"control row below 0", with([](auto& t) { t.control_point = std::string("-1 1"); }), 8, "row index (-1)"},
      {"control column beyond the grid", with([](auto& t) { t.control_point = std::string("2 5"); }), 9,
       "column index (5) for output-cell must be between 1 and 4 (Input as row col) "},
      {"control column 0 with a row", with([](auto& t) { t.control_point = std::string("2 0"); }), 9,
       "column index (0)"},
      {"row checked before method", with([](auto& t) {
         t.control_point = std::string("9 9");
         t.method = std::string("4");
       }),
       8, "row index (9)"},
      {"ini_gw_level 0", with([](auto& t) { t.ini_gw_level = std::string("0"); }), 17,
       " ini_gw_level   in [unsatzon_model]: 0"},
      {"ini_gw_level negative", with([](auto& t) { t.ini_gw_level = std::string("-2"); }), 17,
       " ini_gw_level   in [unsatzon_model]: -2"},
      {"missing clay item", "[unsatzon_model]\n1\n60\n2\n0\n0\n0\n0\nx\n", 17,
       "error in control file,  k_sat. for clay  ; unsatzon_modelnot found!"},
      {"method 3 without its items", with([](auto& t) {
         t.method = std::string("3");
         t.method3_items = std::string("");
       }),
       17, "minimum dynamic time step in secounds "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(Read(c.text, Subbasins(codes)), c.code);
    EXPECT_TRUE(Logged(c.entry)) << console_.str();
  }
}

TEST_F(SoilSettingsTest, StorageNameCarriesTheRankAndMethodTwoLeavesTheNextLine) {
  SoilSectionText text;
  text.storage_file = std::string("state/store.ste");
  ASSERT_EQ(Read(text.Render(), Subbasins({1, 2}), 3), 0) << console_.str();
  EXPECT_EQ(settings_.storage_file, "state/store.ste_3");
  EXPECT_EQ(settings_.method, SoilMethod::FixedStep);
  EXPECT_EQ(settings_.point_file(PointFile::HydraulicHead), "out/hhyd.txt");
  EXPECT_EQ(settings_.output(SoilOutput::Theta).name, "theta.asc");
  EXPECT_EQ(settings_.statistic(SoilStatistic::Infilt).file, "INFILT.stat");

  text.method = std::string("3");
  ASSERT_EQ(Read(text.Render(), Subbasins({1, 2})), 0) << console_.str();
  EXPECT_EQ(settings_.method, SoilMethod::DynamicStep);
  EXPECT_EQ(settings_.min_dynamic_step_s, 30);
  EXPECT_EQ(settings_.substeps_grid.name, "substeps.asc");
}

TEST_F(SoilSettingsTest, HeatSectionAndTuningLines) {
  const std::string heat_on =
      "[heat_transfer]\n1\n2 method\n0\n0\n10 base\n-0.006\n700\n1400\n0.5\n1e-11\n0.56\n2.3\n4180\n1900\n2000\n"
      "330000\n999\n1.3\n0.4\n30\n900\n0.9\n0.8\ntemper.txt\ntemper.stat 0\ntemper.asc\n0\nthaw.asc\n0\n";
  const struct {
    const char* label;
    std::string extra;
    std::string line_end;
    double max_error;
    double max_iterations;
    double low_bound_base;
  } cases[] = {
      {"heat switch 0 keeps the defaults", "[heat_transfer]\n0\nnot a number\n", "\n", 1e-5, 100, 12},
      {"heat switch 1 reads every item", heat_on, "\n", 1e-5, 100, 10},
      {"tuning with LF line ends", "[unsatzon_tuning]\n  max_error = 1e-4\nmax_iterations=250\n", "\n", 1e-4, 250, 12},
      {"tuning with CR LF line ends", "[unsatzon_tuning]\nmax_error = 1e-4\n\tmax_iterations = 50\n", "\r\n", 1e-4, 50,
       12},
      {"tuning ends at an empty line", "[unsatzon_tuning]\nmax_error = 1e-4\n\nmax_iterations = 50\n", "\n", 1e-4, 100,
       12},
      {"tuning ends at the next header", "[unsatzon_tuning]\nmax_error=2e-4\n[other]\nmax_iterations = 50\n", "\r\n",
       2e-4, 100, 12},
      {"tuning at the end of the file without a line end", "[unsatzon_tuning]\nmax_iterations = 70", "\n", 1e-5, 70,
       12},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    SoilSectionText text;
    text.line_end = c.line_end;
    std::string extra = c.extra;
    if (c.line_end != "\n") {
      std::string converted;
      for (const char ch : extra) converted += ch == '\n' ? c.line_end : std::string(1, ch);
      extra = converted;
    }
    ASSERT_EQ(Read(text.Render() + extra, Subbasins({1, 2})), 0) << console_.str();
    EXPECT_DOUBLE_EQ(settings_.max_error, c.max_error);
    EXPECT_DOUBLE_EQ(settings_.max_iterations, c.max_iterations);
    EXPECT_DOUBLE_EQ(settings_.heat.low_bound_base, c.low_bound_base);
  }
  ASSERT_EQ(Read(SoilSectionText().Render() + heat_on, Subbasins({1, 2})), 0);
  const HeatTransferSettings& h = settings_.heat;
  EXPECT_EQ(h.method, 2);
  EXPECT_DOUBLE_EQ(h.rho_water, 999);
  EXPECT_DOUBLE_EQ(h.n_factor_thawing, 0.8);
  EXPECT_EQ(h.point_file, "out/temper.txt");
  EXPECT_EQ(h.thaw_depth.name, "thaw.asc");
  // A tuning value that is not a number is refused rather than silently ignored.
  EXPECT_EQ(Read(SoilSectionText().Render() + "[unsatzon_tuning]\nmax_error = fast\n", Subbasins({1, 2})), 17);
  EXPECT_TRUE(Logged("max_error in [unsatzon_tuning]: fast"));
}

}  // namespace
}  // namespace tolvo
