// Building the snow model from its sections: the values it reads and refuses, the grids it
// registers, the elevation order of the slide methods, the glacier set-up and the
// hand-overs to lakes and the layered snow.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "framework/tracer_settings_record.h"
#include "snow_basin_fixture.h"
#include "surface/schneemodellklasse.h"

namespace tolvo::test {
namespace {

class SnowModelTest : public LogFixture {
 protected:
  SnowBasin basin_{log_, dir_};
};

TEST_F(SnowModelTest, MethodsUpToFourReadExactlyFortyOneItems) {
  // The line after item 41 would be the file name of the block of methods above 4;
  // "[next]" there makes method 5 read on and fail on the write code that follows.
  for (const int method : {1, 2, 3, 4}) {
    SCOPED_TRACE(method);
    SnowBasin basin{log_, dir_};
    ASSERT_EQ(basin.Build(SnowSection(method)), 0);
    const SnowSettings& s = basin.model().snow_settings();
    EXPECT_EQ(s.method, method);
    EXPECT_DOUBLE_EQ(s.C0, 3);
    EXPECT_DOUBLE_EQ(s.ALBsnow_max, 0.9);
    EXPECT_EQ(s.total.file, "total.asc");
    EXPECT_EQ(s.LWINcorr, 1);
    EXPECT_EQ(s.minSlideSlope, 30);
    EXPECT_EQ(basin.model().storage_rows().first, 1);
  }
  EXPECT_EQ(basin_.Build(SnowSection(5)), 17);
}

TEST_F(SnowModelTest, BlockOfTheEnergyAndSlideMethods) {
  const struct {
    const char* what;
    std::string block;
    int code;
    std::string entry;
  } cases[] = {
      {"a short line 42", "x\n" + SnowBlock(), 404, "cannot read additional parameters for snow model methods 5 to 11"},
      {"bounds are accepted", SnowBlock("0\n0.5\n0\n1.0\n3.0\n3.0\n2\n"), 0, ""},
      {"deposition slope 90", SnowBlock("90\n1\n90\n1\n1\n1\n1\n"), 0, ""},
      {"deposition slope below 0", SnowBlock("-1\n1\n30\n0.01\n1\n1\n1\n"), 405, "maxDepositionSlope"},
      {"deposition factor 0", SnowBlock("55\n0\n30\n0.01\n1\n1\n1\n"), 406, "maxDepositionFactor"},
      {"slide slope above 90", SnowBlock("55\n1\n91\n0.01\n1\n1\n1\n"), 407, "minSlideSlope"},
      {"slide slope below 0", SnowBlock("55\n1\n-1\n0.01\n1\n1\n1\n"), 407, "minSlideSlope"},
      {"slide mass fraction 0", SnowBlock("55\n1\n30\n0\n1\n1\n1\n"), 408, "slideMassFrac"},
      {"LWINcorr 3.01", SnowBlock("55\n1\n30\n0.01\n3.01\n1\n1\n"), 408, "LWINcorr not within"},
      {"LWOUTcorr 0", SnowBlock("55\n1\n30\n0.01\n1\n0\n1\n"), 408,
       "LWOUTcorr not within parameter bounds of (0...3.0]. Here: 0"},
      {"EnBalScaling missing", SnowBlock("55\n1\n30\n0.01\n1\n1\n"), 0,
       "Could not read the optional parameter EnBalScaling"},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    SnowBasin basin{log_, dir_};
    EXPECT_EQ(basin.Build(SnowSection(6) + k.block), k.code);
    if (!k.entry.empty()) { EXPECT_TRUE(Logged(k.entry)); }
  }
  SnowBasin basin{log_, dir_};
  ASSERT_EQ(basin.Build(SnowSection(6) + SnowBlock("0\n0.5\n0\n1.0\n3.0\n2.5\n1.7\n")), 0);
  const SnowSettings& s = basin.model().snow_settings();
  EXPECT_EQ(s.snow_temperature.file, "stemp.asc");
  EXPECT_EQ(s.deposition.file, "depo.asc");
  EXPECT_EQ(s.LWOUTcorr, 2.5);
  EXPECT_EQ(s.EnBalScaling, 1.7);
  SnowBasin defaults{log_, dir_};
  ASSERT_EQ(defaults.Build(SnowSection(6) + SnowBlock("55\n1\n30\n0.01\n1\n1\n")), 0);
  EXPECT_EQ(defaults.model().snow_settings().EnBalScaling, 1);
}

TEST_F(SnowModelTest, RainSnowThresholdBelowTheMeltThreshold) {
  ASSERT_EQ(basin_.Build(SnowSection(1, 0.5, 0.5)), 0);
  EXPECT_FALSE(Logged("T0R was set to T0"));
  SnowBasin basin{log_, dir_};
  ASSERT_EQ(basin.Build(SnowSection(1, -1, 0.5)), 0);
  EXPECT_TRUE(Logged("T0R (threshold temperature rain/snow) < T0 (threshold temperature snow melt)"));
  EXPECT_DOUBLE_EQ(basin.model().snow_settings().T0R, 0.5);
}

TEST_F(SnowModelTest, SwitchedOffReadsAndRegistersNothing) {
  const int before = basin_.UsedEntries();
  ASSERT_EQ(basin_.Build("[snow_model]\n0\n60\nnot a method\n"), 0);
  EXPECT_EQ(basin_.UsedEntries(), before);
  EXPECT_EQ(basin_.model().GetMethod(), 0);
  EXPECT_TRUE(basin_.model().GetSolidSnowStorage().empty());
}

TEST_F(SnowModelTest, StateGridsOfADegreeDayMethod) {
  ASSERT_EQ(basin_.Build(SnowSection(1)), 0);
  for (const char* id : {"snowstorage_solid", "snowstorage_liquid", "snow_storage_total", "days_snow", "snow_age",
                         "snow_fraction", "rain_fraction", "snowcover_outflow", "melt_from_snowcover"}) {
    SCOPED_TRACE(id);
    ASSERT_GT(basin_.Find(id), 0);
    const ConstGridView g = basin_.Entry(id).values;
    EXPECT_EQ(g(1, 3), kNodata);
    EXPECT_EQ(g(2, 3), 0);
  }
  for (const char* id : {"snowtemp", "EnergyBalance", "elev_order_row", "input_mass", "melt_from_ice"}) {
    EXPECT_EQ(basin_.Find(id), 0) << id;
  }
  EXPECT_TRUE(basin_.model().has_statistic(SnowTable::kAlbedo));
  EXPECT_FALSE(basin_.model().has_statistic(SnowTable::kSnowTemperature));
  EXPECT_EQ(basin_.model().GetSolidSnowStorage().row_table(), basin_.Entry("snowstorage_solid").values.row_table());
  // RMFMIN 1 and RMFMAX 3: 2 + sin((63 - 80) 2 pi / 365) on 1 March.
  EXPECT_NEAR(basin_.model().SeasonalMeltFactor(1, 3), 2 + std::sin(-17 * 0.017214206), 1e-15);
}

TEST_F(SnowModelTest, StateGridsReadFromTheFilesOfAnEarlierRun) {
  // Every file holds 3 mm in row 5 and 1 mm elsewhere; a grid already in the table is used
  // as it is and its file is not read (there is none for the liquid storage).
  std::string values;
  for (int r = 1; r <= kSnowRows; ++r) values += r == 5 ? "3 3 3\n" : "1 1 1\n";
  for (const char* file : {"solid.asc", "total.asc", "days.asc", "age.asc"}) {
    WriteFile(dir_.file(file),
              "ncols 3\nnrows 8\nxllcorner 0\nyllcorner 0\ncellsize 100\nnodata_value -9999\n" + values);
  }
  basin_.Add("snowstorage_liquid", basin_.NewGrid(0.5));
  ASSERT_EQ(basin_.Build(SnowSection(1, 0.5, 0, 1, 1)), 0);
  EXPECT_EQ(basin_.Entry("snowstorage_solid").values(5, 2), 3);
  EXPECT_EQ(basin_.Entry("snow_age").values(4, 2), 1);
  EXPECT_EQ(basin_.Entry("snowstorage_liquid").values(4, 2), 0.5);
}

TEST_F(SnowModelTest, ElevationOrderOfTheSlideMethods) {
  // Column 1 rows 3 and 7 share the highest elevation: row 7 comes first, then row 3, then
  // the rest downwards.
  basin_.dem()(3, 1) = 5000;
  basin_.dem()(7, 1) = 5000;
  ASSERT_EQ(basin_.Build(SnowSection(6) + SnowBlock("40\n2\n30\n0.01\n1\n1\n1\n")), 0);
  const ConstGridView rows = basin_.Entry("elev_order_row").values;
  const ConstGridView cols = basin_.Entry("elev_order_col").values;
  EXPECT_EQ(rows(1, 1), 7);
  EXPECT_EQ(cols(1, 1), 1);
  EXPECT_EQ(rows(1, 2), 3);
  EXPECT_EQ(cols(1, 2), 1);
  EXPECT_EQ(rows(2, 1), 8);  // then the highest of the rest: row 8, column 3
  EXPECT_EQ(cols(2, 1), 3);
  EXPECT_EQ(rows(1, 3), kNodata);
  // Maximum deposition 2 * (1 - 20 / 40) on every zone cell of slope 20.
  EXPECT_DOUBLE_EQ(basin_.Entry("max_deposition").values(4, 2), 1);
  EXPECT_EQ(basin_.Entry("max_deposition").values(1, 3), kNodata);
  for (const char* id : {"input_mass", "mobile_mass", "deposition", "snowtemp", "surftemp", "EnergyBalance"}) {
    EXPECT_GT(basin_.Find(id), 0) << id;
  }
  EXPECT_EQ(basin_.Entry("snowtemp").values(2, 2), kNodata);

  // A maximum deposition grid of the control file is used as it is.
  SnowBasin given{log_, dir_};
  given.Add("max_deposition", given.NewGrid(0.7));
  ASSERT_EQ(given.Build(SnowSection(8) + SnowBlock()), 0);
  EXPECT_EQ(given.Entry("max_deposition").values(4, 2), 0.7);
}

TEST_F(SnowModelTest, GlacierSettingsAndRecords) {
  const struct {
    const char* what;
    int method;
    std::string section;
    int code;
    std::string entry;
  } cases[] = {
      {"glacier method 3", 3, IceFirnSection(3), 80, "Method for glacier melt must be 1"},
      {"glacier method 1", 1, IceFirnSection(1), 0, ""},
      {"no firn levels", 11, IceFirnSection(11, "q.txt", "0 2000 10"), 80, "firn_levels must be at least 1"},
      {"firn line unreadable", 11, IceFirnSection(11, "q.txt", "x 2000 10"), 80, "Could not read the three parameters"},
      {"month 13", 11, IceFirnSection(11, "q.txt", "3 2000 10", "13 1"), 80, "GMBEvalMonth (int 1..12)"},
      {"day 32", 11, IceFirnSection(11, "q.txt", "3 2000 10", "9 32"), 80, "GMBEvalDay (int 1...31)"},
      {"dynamic glaciers", 11, IceFirnSection(11), 0, ""},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    SnowBasin basin{log_, dir_};
    Grid& fraction = basin.NewGrid(0);
    fraction(2, 1) = 1.3;
    fraction(3, 1) = -0.2;
    fraction(4, 2) = 0.25;
    if (k.method < 10) {
      basin.Add("ice_firn", fraction);
    } else {
      basin.Add("GlacierizedCells", fraction);
      // One glacier per sub-basin.
      Grid& codes = basin.NewGrid(5);
      for (int r = 1; r <= kSnowRows; ++r) codes(r, 3) = 6;
      basin.Add("GlacierCodes", codes);
    }
    EXPECT_EQ(basin.Build(SnowSection(1) + k.section), k.code);
    if (!k.entry.empty()) { EXPECT_TRUE(Logged(k.entry)); }
    if (k.code != 0) continue;
    // Sub-basin 1 (columns 1-2, 16 cells): 1 + 0.25 glacierised, 0 + 1 + 0.75 + 13 not.
    const auto records = basin.model().glacier_subbasins();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_TRUE(records[1].hasGlacier);
    EXPECT_DOUBLE_EQ(records[1].glacierArea, 1.25);
    EXPECT_DOUBLE_EQ(records[1].nonGlacierArea, 14.75);
    EXPECT_FALSE(records[2].hasGlacier);
    EXPECT_DOUBLE_EQ(records[2].nonGlacierArea, 7);
    EXPECT_DOUBLE_EQ(basin.model().Qice_slr()[2], 0.5);
    EXPECT_GT(basin.Find("melt_from_firn"), 0);
    const IceFirnSettings& ice = basin.model().ice_firn_settings();
    if (k.method == 1) {
      EXPECT_EQ(ice.snow_on_ice_statistic.file, "qglac_qsgl_.txt");
    } else {
      EXPECT_EQ(ice.evaluation_month, 9);
      EXPECT_EQ(ice.evaluation_day, 30);
      EXPECT_EQ(basin.model().storage_rows().last, kSnowRows);
      // Initial firn: (elevation - 2000) * 10 per level where that is positive.
      EXPECT_EQ(basin.Entry("firn_WE_stack").stack(4, 2, 1), 0);
      EXPECT_EQ(basin.Entry("firn_WE_stack").stack(3, 2, 1), kNodata);
      EXPECT_GT(basin.Find("GlacierizedCellsOld"), 0);
    }
  }
  EXPECT_EQ(SnowOnIceStatisticName("qglac"), "qglac_qsgl_");
  EXPECT_EQ(SnowOnIceStatisticName("out.d/glac.out"), "out.d/glac_qsgl_.out");
  EXPECT_EQ(SnowOnIceStatisticName("out.d/glac"), "out.d/glac_qsgl_");
}

TEST_F(SnowModelTest, GlacierGridWithoutSection) {
  basin_.Add("GlacierizedCells", basin_.NewGrid(0.5));
  EXPECT_EQ(basin_.Build(SnowSection(1)), 17);
  // The static glacier methods take the glacier codes of "ice_firn".
  EXPECT_EQ(basin_.Build(SnowSection(1) + IceFirnSection(1)), 33);
}

TEST_F(SnowModelTest, LakesNeedAPondingGrid) {
  basin_.Add("lake_codes", basin_.NewGrid(1));
  ASSERT_EQ(basin_.Build(SnowSection(1) + "[lake_model]\n1\n"), 0);
  EXPECT_EQ(CodeOf([&] { basin_.model().ReadLakeModel("[lake_model]"); }), 28);
  EXPECT_TRUE(Logged("LAKE-grid was found, but no POND-Grid."));

  SnowBasin with_ponding{log_, dir_};
  with_ponding.Add("lake_codes", with_ponding.NewGrid(1));
  with_ponding.Add("ponding_storage_top", with_ponding.NewGrid(0));
  ASSERT_EQ(with_ponding.Build(SnowSection(1) + "[lake_model]\n1\n"), 0);
  ASSERT_EQ(CodeOf([&] { with_ponding.model().ReadLakeModel("[lake_model]"); }), 0);
  EXPECT_EQ(with_ponding.model().lake_switch(), 1);
}

TEST_F(SnowModelTest, LayeredSnowIsChangedThroughTheLink) {
  for (const char* id :
       {"SnowWaterEquivalentSolid", "SnowWaterEquivalentLiquid", "SnowLayerThickness", "SnowDensity"}) {
    basin_.AddStack(id, 2);
  }
  basin_.Add("upperIndexSnow", basin_.NewGrid(3));
  ASSERT_EQ(basin_.Build(SnowSection(1)), 0);
  const LayeredSnowProperties properties{2, {0, 0.1, 0.1}, {0, 100, 100}};
  ASSERT_EQ(CodeOf([&] { basin_.model().LinkLayeredSnow(true, properties, 0); }), 0);
  basin_.model().ChangeLayeredSnowOfCell(2, 2, true, 1, 5, -1);  // the glacier part changes nothing
  EXPECT_EQ(basin_.Entry("upperIndexSnow").values(2, 2), 3);
  basin_.model().ChangeLayeredSnowOfCell(2, 2, false, 1, 15, -1);
  EXPECT_EQ(basin_.Entry("upperIndexSnow").values(2, 2), 1);
  EXPECT_DOUBLE_EQ(basin_.Entry("SnowWaterEquivalentSolid").stack(2, 2, 0), 15);

  SnowBasin unlinked{log_, dir_};
  ASSERT_EQ(unlinked.Build(SnowSection(1)), 0);
  EXPECT_EQ(CodeOf([&] { unlinked.model().LinkLayeredSnow(true, properties, 0); }), 33);
}

TEST_F(SnowModelTest, PermafrostSection) {
  const std::string permafrost = "[permafrost]\n1\n30\n20\nthaw.txt 0\n1e-7\n";
  const auto add_grids = [](SnowBasin& basin) {
    for (const char* id : {"ThawCoeffPermaFrost", "PermafrostThawDepth", "root_depth1"})
      basin.Add(id, basin.NewGrid(0.1));
  };
  add_grids(basin_);
  ASSERT_EQ(basin_.Build(SnowSection(1) + permafrost), 0);
  EXPECT_TRUE(basin_.model().has_permafrost());
  EXPECT_EQ(basin_.model().permafrost_settings().Max_SWE_SnowFree, 20);
  EXPECT_EQ(basin_.model().permafrost_settings().reduced_ksat, 1e-7);
  EXPECT_EQ(basin_.Entry("SnowFreeDaysGrid").values(2, 2), 0);
  EXPECT_TRUE(basin_.model().has_statistic(SnowTable::kThawDepth));

  SnowBasin other_method{log_, dir_};
  add_grids(other_method);
  EXPECT_EQ(other_method.Build(SnowSection(1) + "[permafrost]\n2\n"), 80);
  EXPECT_TRUE(Logged("method for permafrost melt must be 1 (alpha*sqrt(time))"));
}

TEST_F(SnowModelTest, ResponseUnitsTakeTheirMastersSnow) {
  basin_.EnableResponseUnits();
  basin_.Add("concflux_tracer_1_input", basin_.NewGrid(1));
  ASSERT_EQ(basin_.Build(SnowSection(1)), 0);
  std::vector<TracerSettingsRecord> tracers(2);
  tracers[1].name = "cl_";
  ASSERT_EQ(CodeOf([&] { basin_.model().InitTracers(1, tracers, basin_.registry(), StatisticsRegistry::kCapacity); }),
            0);
  GridView solid = basin_.Entry("snowstorage_solid").values;
  GridView age = basin_.Entry("snow_age").values;
  GridView tracer = basin_.Entry("concstor_tracer_1_snow_model").values;
  solid(3, 2) = 42;
  age(3, 2) = 3;
  tracer(3, 2) = 5;
  solid(4, 1) = 7;
  basin_.model().CopySnowHruMasterValues();
  for (int r = 1; r <= kSnowRows; ++r) {
    EXPECT_EQ(solid(r, 2), 42) << r;
    EXPECT_EQ(age(r, 2), 3) << r;
    EXPECT_EQ(tracer(r, 2), 5) << r << ": the snow pack's tracer goes with its snow";
  }
  EXPECT_EQ(solid(4, 1), 7);  // its own master
  EXPECT_EQ(solid(4, 3), 0);

  SnowBasin unknown_unit{log_, dir_};
  unknown_unit.EnableResponseUnits(9);
  ASSERT_EQ(unknown_unit.Build(SnowSection(1)), 0);
  EXPECT_NE(CodeOf([&] { unknown_unit.model().CopySnowHruMasterValues(); }), 0);
  EXPECT_TRUE(Logged("is not in the table of hydrologic response units"));
}

}  // namespace
}  // namespace tolvo::test
