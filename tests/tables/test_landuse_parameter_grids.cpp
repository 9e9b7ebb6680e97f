// Set-up of the land-use parameter grids. Expected values are hand calculations: table
// values of the entries, the linear interpolation between fixpoints, and the limits.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "landuse_grids_fixture.h"

namespace tolvo::test {
namespace {

const std::string kDays4 = " JulDays = 30 120 250 300;";
const std::string kDP1Keys = " F* = 300; DP1_t1_dorm = 60; DP1_T_Bf = 5; JDReset_TStart = 300; maxStartJDforDP1 = 120;";
const std::string kDP4Keys =
    " DP4_t0_dorm = 280; DP4_t1_dorm = 20; DP4_T0 = 5; DP4_T1 = 5; DP4_Par_a = 100; DP4_Par_b = -5;"
    " DP4_T_xylstop = 10; DP4_t_xs1 = 200; DP4_SPSLF = 4;";

using ParameterGrids = LanduseGridsTest;

TEST_F(ParameterGrids, TwoLayersGetTheirGridsInTableOrderAndLayerOneSetsTheSurface) {
  MakeTable({{11, "VariableDayCount", kDays4 + Tables(4, 0.2, 50, 3, 0.1, 0.8, 1.5)},
             {12, "VariableDayCount", kDays4 + Tables(4, 0.3, 70, 2, 0.05, 0.6, 0.5)}});
  MakeLayers({1, 2});
  Generate(15, 4, 2001);

  std::vector<std::string> expected{"SurfaceEvaporationResistance"};
  for (const char* layer : {"1", "2"}) {
    for (const char* base : {"root_depth", "vegetation_coverage_degree", "leaf_area_index", "SurfaceCanopyResistance",
                             "SurfaceIntercepResistance", "RoughnessLength", "VegetationStart", "VegetationStop",
                             "VegetationDuration"}) {
      expected.push_back(std::string(base) + layer);
    }
  }
  for (std::size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE(expected[i]);
    const grid_entry& entry = (*table_)[4 + static_cast<int>(i)];
    ASSERT_TRUE(entry.identifier);
    EXPECT_EQ(*entry.identifier, expected[i]);
    EXPECT_EQ(entry.ones, 0);
    EXPECT_EQ(entry.first_row, 1);
    EXPECT_EQ(entry.last_row, kRows);
  }
  EXPECT_EQ(grids_.created_grid_count(), 19);
  EXPECT_FALSE(grids_.dynamic_phenology());
  EXPECT_EQ(IndexOf("TemperatureAVG"), 0);
  EXPECT_EQ(IndexOf("Pheno_start1"), 0);
  EXPECT_TRUE(Logged("generateMultiLayerParameterGrids..."));

  // Layer 1 gives albedo and the evaporation resistance (the default 200 of block entries).
  EXPECT_DOUBLE_EQ(Values("albedo")(2, 2), 0.2);
  EXPECT_DOUBLE_EQ(Values("SurfaceEvaporationResistance")(2, 2), 200);
  EXPECT_DOUBLE_EQ(Values("root_depth1")(2, 2), 1.5);
  EXPECT_DOUBLE_EQ(Values("root_depth2")(2, 2), 0.5);
  EXPECT_DOUBLE_EQ(Values("SurfaceCanopyResistance2")(3, 1), 70);
  EXPECT_DOUBLE_EQ(Values("SurfaceIntercepResistance1")(3, 1), 20);
  EXPECT_DOUBLE_EQ(Values("RoughnessLength2")(4, 3), 0.05);
  // No balance period defined: the start test answers 0; the period has not ended.
  EXPECT_EQ(Values("VegetationStart1")(1, 1), 0);
  EXPECT_EQ(Values("VegetationStop1")(1, 1), -1);
  EXPECT_EQ(Values("VegetationDuration1")(1, 1), 0);
}

TEST_F(ParameterGrids, StartDateValuesLimitsAndCellsWithoutLandUse) {
  MakeTable({{11, "VariableDayCount",
              kDays4 + " Albedo = 0.2 0.2 0.2 0.2; rsc = 50 50 50 50; LAI = 1 2 4 3; Z0 = 0.1 0.1 0.1 0.1;"
                       " VCF = 0.5 0.5 0.5 0.5; RootDepth = 1 1 1 1; AltDep = 0 0 0 0;"},
             {12, "VariableDayCount",
              kDays4 + Tables(4, 0.3, -5, -2, 0.005, 1.5, -1) + " rs_interception = -1 -1 -1 -1;"
                       " rs_evaporation = -3 -3 -3 -3;"}});
  MakeLayers({1});
  codes_[0](3, 1) = 2;
  codes_[0](3, 2) = 2;
  codes_[0](2, 2) = kNodata;
  zone_(1, 1) = kNodata;
  Generate(15, 4, 2001);  // day 105

  // Between (30, 1) and (120, 2) at day 105.
  EXPECT_DOUBLE_EQ(Values("leaf_area_index1")(2, 1), 1 + 75.0 / 90.0);
  // Limits of the set-up.
  EXPECT_DOUBLE_EQ(Values("root_depth1")(3, 1), 0.01);
  EXPECT_DOUBLE_EQ(Values("vegetation_coverage_degree1")(3, 1), 1);
  EXPECT_DOUBLE_EQ(Values("leaf_area_index1")(3, 1), 0);
  EXPECT_DOUBLE_EQ(Values("SurfaceCanopyResistance1")(3, 1), 0);
  EXPECT_DOUBLE_EQ(Values("SurfaceIntercepResistance1")(3, 1), 0);
  EXPECT_DOUBLE_EQ(Values("RoughnessLength1")(3, 1), 0.01);
  EXPECT_DOUBLE_EQ(Values("SurfaceEvaporationResistance")(3, 2), 0);
  EXPECT_DOUBLE_EQ(Values("albedo")(3, 2), 0.3);
  // Outside the basin: nodata everywhere except the albedo; without a land use: the albedo too.
  for (const char* id : {"root_depth1", "leaf_area_index1", "VegetationStart1", "VegetationStop1",
                         "VegetationDuration1", "SurfaceEvaporationResistance"}) {
    SCOPED_TRACE(id);
    EXPECT_EQ(Values(id)(1, 1), kNodata);
    EXPECT_EQ(Values(id)(2, 2), kNodata);
  }
  EXPECT_DOUBLE_EQ(Values("albedo")(1, 1), 0.5);
  EXPECT_EQ(Values("albedo")(2, 2), kNodata);
}

TEST_F(ParameterGrids, GridsOfTheControlFileAreTakenOverAndKeepTheirValuesWhereTheEntrySaysSo) {
  // Layer 1's entry takes root depth from the grid ("useInternalParameters" character 2 is
  // 0), layer 2's from the table.
  MakeTable({{11, "VariableDayCount", kDays4 + Tables(4, 0.2, 50, 3, 0.1, 0.8, 1.5) +
                                          " useInternalParameters = 10111111;"},
             {12, "VariableDayCount", kDays4 + Tables(4, 0.3, 70, 2, 0.05, 0.6, 0.5)}});
  MakeLayers({1, 2});
  Grid read1(1, kRows, kCols, kRows);
  Grid read2(1, kRows, kCols, kRows);
  read1.fill(0.7);
  read1(1, 2) = 0.005;
  read2.fill(0.7);
  reader_.RegisterGrid(4, "rd1.asc", read1.view(), {}, 0, "root_depth1", 1, 1, kRows);
  reader_.RegisterGrid(5, "rd2.asc", read2.view(), {}, 0, "root_depth2", 0, 1, kRows);
  Generate(15, 4, 2001);

  EXPECT_EQ(IndexOf("root_depth1"), 4);
  EXPECT_EQ(grids_.created_grid_count(), 17);
  EXPECT_DOUBLE_EQ(read1(2, 2), 0.7);
  EXPECT_DOUBLE_EQ(read1(1, 2), 0.01);  // the limit still applies
  EXPECT_DOUBLE_EQ(read2(2, 2), 0.5);
  EXPECT_EQ(IndexOf("SurfaceEvaporationResistance"), 6);  // new grids after the first free entry
}

TEST_F(ParameterGrids, RefusesAMissingAlbedoAFullGridTableAndCodesThatAreNoTableIndex) {
  MakeTable({{11, "VariableDayCount", kDays4 + Tables(4, 0.2, 50, 3, 0.1, 0.8, 1.5)}});
  MakeLayers({1});
  reader_.FreeGridEntry(3);
  EXPECT_EQ(CodeOf([&] { Generate(15, 4, 2001); }), kGridEntryError);
  EXPECT_TRUE(Logged("Albedo Grid not found for use within Landuse-Table."));
  EXPECT_TRUE(Logged(" This grid must be read in as standard or variable grid (there, it can be created automatically)"));

  reader_.RegisterGrid(3, "albedo.asc", albedo_.view(), {}, 0, "albedo", 0, 1, kRows);
  Grid filler(1, kRows, kCols, kRows);
  for (int i = 4; i <= kLastGridIndex; ++i) {
    reader_.RegisterGrid(i, "f.asc", filler.view(), {}, 0, "filler" + std::to_string(i), 0, 1, kRows);
  }
  LanduseParameterGrids full;
  const LanduseGridSources sources{std::as_const(zone_).view(), std::as_const(elevation_).view(), {}, {2001, 4, 15, 0}};
  EXPECT_EQ(CodeOf([&] { full.generateMultiLayerParameterGrids(reader_, *landuse_, code_views_, sources); }),
            kGridEntryError);
  EXPECT_TRUE(Logged("no free grid found in memory (at position 1000)"));
}

TEST_F(ParameterGrids, LayerCodesThatAreNoTableIndexStopTheSetUp) {
  MakeTable({{11, "VariableDayCount", kDays4 + Tables(4, 0.2, 50, 3, 0.1, 0.8, 1.5)}});
  MakeLayers({1});
  codes_[0](2, 3) = 5;
  EXPECT_EQ(CodeOf([&] { Generate(15, 4, 2001); }), kLanduseCodeError);
  EXPECT_TRUE(Logged("the land-use index 5 of land-use layer 1 in row 2, column 3 is no entry"));
}

TEST_F(ParameterGrids, PhenologyStatesStartAsNotYetAndTakeTheFallbackStartAndThreshold) {
  // DynamicPhenology_4 with the start placeholder at fixpoint 3; the run starts on day
  // 150, after maxStartJDforDP1 = 120, so the fallback start is 120 - JulDays[4] = 90.
  const std::string dp4 = " JulDays = 1 100 -1 30 366;" + Tables(5, 0.2, 50, 3, 0.1, 0.8, 1.5) + kDP1Keys + kDP4Keys;
  MakeTable({{21, "DynamicPhenology_4", dp4}});
  MakeLayers({1, 1});
  // Stored states of layer 2: a start of day 95 and a chilling sum not yet known.
  Grid start2(1, kRows, kCols, kRows);
  Grid chilling2(1, kRows, kCols, kRows);
  start2.fill(95);
  start2(1, 1) = -1;
  chilling2.fill(-1);
  reader_.RegisterGrid(4, "ps2.asc", start2.view(), {}, 0, "Pheno_start2", 0, 1, kRows);
  reader_.RegisterGrid(5, "cs2.asc", chilling2.view(), {}, 0, "SumOfChillingUnits2", 0, 1, kRows);
  zone_(4, 3) = kNodata;
  Generate(30, 5, 2001);

  ASSERT_TRUE(grids_.dynamic_phenology());
  ASSERT_TRUE(grids_.cell_fixpoint_days());
  EXPECT_EQ((*landuse_)[1].GetFallbackStartDay(), 90);
  EXPECT_EQ(Values("Pheno_start1")(2, 2), 90);
  EXPECT_EQ(Values("FStar_ForcingThreshold1")(2, 2), 300);
  EXPECT_EQ(Values("SumOfForcingUnits1")(2, 2), 0);
  EXPECT_EQ(Values("Pheno_start2")(2, 2), 95);
  EXPECT_EQ(Values("Pheno_start2")(1, 1), 90);
  EXPECT_EQ(Values("SumOfChillingUnits2")(2, 2), 0);
  // Layer 1's fresh chilling sum (0) marks a known state: the entry leaves the
  // DynamicPhenology_1 model.
  EXPECT_FALSE((*landuse_)[1].GetPhenologyFlag());
  EXPECT_EQ(Values("Pheno_start1")(4, 3), kNodata);

  // Fixpoint days at 400 m: the calendar days; written once at the end of the run.
  const int days = IndexOf("MultipleStartTimes1");
  ASSERT_GT(days, 0);
  EXPECT_EQ(grids_.multiple_start_times_index(), days);
  EXPECT_EQ((*table_)[days].ones, 3);
  EXPECT_TRUE((*table_)[days].values.empty());
  const std::span<const double> q = (*table_)[days].stack.levels(2, 2);
  EXPECT_EQ(std::vector<double>(q.begin(), q.end()), (std::vector<double>{0, 1, 100, -1, 30, 366}));

  // The 7-day mean starts at 0 in the basin and nodata outside.
  const int mean = IndexOf("TemperatureMOVAVG7");
  ASSERT_GT(mean, 0);
  EXPECT_EQ((*table_)[mean].levels, 7);
  for (int l = 0; l <= 7; ++l) {
    EXPECT_EQ((*table_)[mean].stack(2, 2, l), 0);
    EXPECT_EQ((*table_)[mean].stack(4, 3, l), kNodata);
  }
  EXPECT_EQ((*table_)[IndexOf("TemperatureAVG")].ones, 0);
}

TEST_F(ParameterGrids, ForcingDefinedFixpointsBeforeTheStartAreReachedAndLaterOnesOpen) {
  // DynamicPhenology_3 with JulDays 1, 60, 120, 366 and thresholds -1, 200, 400, -1 from
  // day 90 (31 March 2001): q = 1, 60, -1, 366 with q[0] = 200. Fixpoint 2 moves 10 days
  // later at 1400 m (0.01 days per metre). A second entry with 5 fixpoints makes the
  // stacks 5 levels deep; level 5 of the first entry's cells is nodata.
  MakeTable({{31, "DynamicPhenology_3",
              " JulDays = 1 60 120 366; ForcingThreshold = -1 200 400 -1; AltDep = 0 0.01 0 0;" +
                  Tables(4, 0.2, 50, 3, 0.1, 0.8, 1.5) +
                  " DP1_t1_dorm = 60; DP1_T_Bf = 5; JDReset_TStart = 300; maxStartJDforDP1 = 120;"},
             {32, "VariableDayCount", " JulDays = 30 120 250 300 330;" + Tables(5, 0.2, 50, 3, 0.1, 0.8, 1.5)}});
  MakeLayers({1});
  elevation_(1, 1) = 1400;
  Generate(31, 3, 2001);
  EXPECT_EQ(grids_.max_fixpoint_count(), 5);
  const StackView days = (*table_)[IndexOf("MultipleStartTimes1")].stack;
  const std::span<const double> q = days.levels(2, 2);
  EXPECT_EQ(std::vector<double>(q.begin(), q.end()), (std::vector<double>{200, 1, 60, -1, 366, kNodata}));
  EXPECT_EQ(days(1, 1, 2), 70);
}

TEST_F(ParameterGrids, HaloRowsOfOtherProcessesHoldNodataBeforeTheExchange) {
  MakeTable({{11, "VariableDayCount", kDays4 + Tables(4, 0.2, 50, 3, 0.1, 0.8, 1.5)}});
  MakeLayers({1});
  Grid regions(1, kRows, kCols, kRows);
  for (int c = 1; c <= kCols; ++c) {
    regions(1, c) = 1;
    regions(4, c) = 2;
  }
  reader_.set_strip({2, 3});
  Generate(15, 4, 2001, std::as_const(regions).view());
  const GridView root = Values("root_depth1");
  EXPECT_EQ(root.rows().first, 1);
  EXPECT_EQ(root.rows().last, kRows);
  for (int c = 1; c <= kCols; ++c) {
    EXPECT_EQ(root(1, c), kNodata);  // cells of other processes
    EXPECT_EQ(root(4, c), kNodata);
    EXPECT_DOUBLE_EQ(root(2, c), 1.5);
  }
}

}  // namespace
}  // namespace tolvo::test
