// Glacier cells in the snow model's step (dynamic glacier method 11 on the small snow
// basin): each store closes its water balance over its own area through the step, the
// firn levels lose exactly the firn melt, and the lateral step hands the glacier outflow
// to the sub-basins with glaciers only.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "snow_basin_fixture.h"

namespace tolvo::test {
namespace {

class GlacierStepTest : public LogFixture {};

// One glacier (code 5) in column 2 of sub-basin 1, whole cells and a half cell, built with
// the statistics code `code` for the ice, firn, snow-on-ice and total melt tables.
int BuildGlacierBasin(SnowBasin& basin, const std::string& code) {
  Grid& fraction = basin.NewGrid(0);
  Grid& codes = basin.NewGrid(kNodata);
  for (int r = 3; r <= 6; ++r) {
    fraction(r, 2) = r == 6 ? 0.5 : 1;
    codes(r, 2) = 5;
  }
  basin.Add("GlacierizedCells", fraction);
  basin.Add("GlacierCodes", codes);
  std::string ice_firn = IceFirnSection(11);
  for (const char* table : {"qfirn.txt", "qice.txt", "qsg.txt", "qglac.txt"}) {
    const std::string item = std::string(table) + " 0";
    ice_firn.replace(ice_firn.find(item), item.size(), std::string(table) + " " + code);
  }
  return basin.Build(SnowSection(1) + ice_firn);
}

// Weather of step h: a daily temperature wave rising to the south, showers every 7 hours.
void SetWeather(SnowBasin& basin, int h) {
  GridView P = basin.Entry("precipitation").values, T = basin.Entry("temperature").values;
  for (int r = 1; r <= kSnowRows; ++r) {
    for (int c = 1; c <= kSnowCols; ++c) {
      if (basin.zone()(r, c) == kNodata) continue;
      T(r, c) = 4 + 3 * std::sin(h * 0.26) + 0.2 * r;
      P(r, c) = h % 7 == 0 ? 0.3 * r : 0;
    }
  }
}

// Snow on the glacier store of the glacier cells.
void StartGlacierSnow(SnowBasin& basin) {
  for (int r = 3; r <= 6; ++r) {
    basin.Entry("TotalSnowStorage_onGlacier").values(r, 2) = 8 + r;
    basin.Entry("SolidSnowStorage_onGlacier").values(r, 2) = 8 + r;
  }
}

// Step h (hours from 1 July 2001) of the snow model with its weather; the code it raises.
int StepGlacierBasin(SnowBasin& basin, int h) {
  const ModelDate d{.year = 2001, .month = 7, .day = 1 + h / 24, .hour = 1 + h % 24};
  SetWeather(basin, h);
  return CodeOf([&] {
    basin.model().SnowTimeStep(d);
    basin.model().SnowLateralStep(d);
  });
}

TEST_F(GlacierStepTest, AGlacierCellClosesEachStoreAndTheFirnOverMeltSteps) {
  SnowBasin basin(log_, dir_);
  ASSERT_EQ(BuildGlacierBasin(basin, "1002"), 0) << console_.str();
  schneemodellklasse& model = basin.model();
  model.SetWaterInput(false);
  std::vector<std::vector<double>> runoff(1, std::vector<double>(3, 7.0));
  model.SetSubbasinRunoffArray(runoff);

  const auto grid = [&](const char* id) { return basin.Entry(id).values; };
  GridView P = grid("precipitation");
  GridView solid = grid("snowstorage_solid"), liquid = grid("snowstorage_liquid"), out = grid("snowcover_outflow");
  GridView gsolid = grid("SolidSnowStorage_onGlacier"), gliquid = grid("LiquidSnowStorage_onGlacier");
  GridView gout = grid("SnowMelt_onGlacier"), firn_melt = grid("melt_from_firn"), ice_melt = grid("melt_from_ice");
  StackView firn = basin.Entry("firn_WE_stack").stack;
  GridView firn_total = grid("firn_WE_stack");
  const int levels = basin.Entry("firn_WE_stack").levels;
  ASSERT_GE(levels, 2);
  // Snow on both stores, and firn in levels 1 and 2 of cell (4, 2).
  for (int r = 3; r <= 6; ++r) {
    solid(r, 2) = 12;
    gsolid(r, 2) = 8 + r;
    grid("snow_storage_total")(r, 2) = 12;
    grid("TotalSnowStorage_onGlacier")(r, 2) = 8 + r;
  }
  firn(4, 2, 1) = 3;
  firn(4, 2, 2) = 2;
  firn_total(4, 2) = firn(4, 2, 0) = 5;

  double worst = 0;
  double ice = 0;
  double firn_lost = 0;
  for (int h = 0; h < 48; ++h) {
    SetWeather(basin, h);
    std::vector<double> before, before_g, before_firn;
    for (int r = 3; r <= 6; ++r) {
      before.push_back(solid(r, 2) + liquid(r, 2));
      before_g.push_back(gsolid(r, 2) + gliquid(r, 2));
      before_firn.push_back(firn_total(r, 2));
    }
    const ModelDate d{.year = 2001, .month = 7, .day = 1 + h / 24, .hour = 1 + h % 24};
    ASSERT_EQ(CodeOf([&] { model.SnowTimeStep(d); }), 0) << console_.str();
    for (int r = 3; r <= 6; ++r) {
      const auto i = static_cast<std::size_t>(r - 3);
      const double ordinary = P(r, 2) - out(r, 2) - (solid(r, 2) + liquid(r, 2) - before[i]);
      const double glacier = P(r, 2) - gout(r, 2) - (gsolid(r, 2) + gliquid(r, 2) - before_g[i]);
      const double firn_loss = before_firn[i] - firn_total(r, 2) - firn_melt(r, 2);
      worst = std::max({worst, std::fabs(ordinary), std::fabs(glacier), std::fabs(firn_loss)});
      EXPECT_NEAR(firn(r, 2, 0), firn_total(r, 2), 1e-12);
      // Firn and ice melt only on a glacier free of snow.
      if (firn_melt(r, 2) + ice_melt(r, 2) > 0) { EXPECT_LE(gsolid(r, 2), 0); }
      ice += ice_melt(r, 2);
      firn_lost += firn_melt(r, 2);
    }
    ASSERT_EQ(CodeOf([&] { model.SnowLateralStep(d); }), 0) << console_.str();
  }
  EXPECT_LT(worst, 1e-9);
  EXPECT_DOUBLE_EQ(firn_lost, 5);  // the firn of cell (4, 2) melted, level 1 first,
  EXPECT_EQ(firn(4, 2, 1), 0);
  EXPECT_GT(ice, 1);  // then the ice beneath
  // The glacier outflow replaces the water runoff of sub-basin 1; sub-basin 2 has no glacier.
  EXPECT_GT(runoff[0][1], 0);
  EXPECT_NE(runoff[0][1], 7.0);
  EXPECT_EQ(runoff[0][2], 7.0);
}

// The glacier outflow comes from the model's own melt sums: a run that writes none of the
// melt tables hands the soil model the same runoff, bit for bit, as one that writes them.
TEST_F(GlacierStepTest, TheRunoffDoesNotDependOnWhichMeltTablesAreWritten) {
  TempDir other_dir;
  SnowBasin on(log_, dir_);
  SnowBasin off(log_, other_dir);
  ASSERT_EQ(BuildGlacierBasin(on, "1002"), 0) << console_.str();
  ASSERT_EQ(BuildGlacierBasin(off, "0"), 0) << console_.str();
  std::vector<std::vector<double>> runoff_on(1, std::vector<double>(3, 7.0)), runoff_off = runoff_on;
  on.model().SetSubbasinRunoffArray(runoff_on);
  off.model().SetSubbasinRunoffArray(runoff_off);
  for (SnowBasin* basin : {&on, &off}) {
    basin->model().SetWaterInput(false);
    StartGlacierSnow(*basin);
  }
  for (int h = 0; h < 48; ++h) {
    for (SnowBasin* basin : {&on, &off}) ASSERT_EQ(StepGlacierBasin(*basin, h), 0) << console_.str();
    ASSERT_EQ(runoff_on, runoff_off) << "step " << h;
    ASSERT_EQ(on.model().Qice_slr()[1], off.model().Qice_slr()[1]);
  }
  EXPECT_GT(runoff_off[0][1], 0);
  EXPECT_NE(runoff_off[0][1], 7.0);
  EXPECT_EQ(runoff_off[0][2], 7.0);
}

// A run split at a date: the first part writes the storage content file, a new model takes
// the snow and glacier grids of the first part and the glacier outflows from that file,
// and ends with the same outflows and runoff, bit for bit, as the continuous run.
TEST_F(GlacierStepTest, ARunSplitThroughTheStorageFileEndsLikeTheContinuousRun) {
  TempDir split_dir;
  SnowBasin whole(log_, dir_);
  SnowBasin first(log_, split_dir);
  SnowBasin second(log_, split_dir);
  std::vector<std::vector<double>> runoff_whole(1, std::vector<double>(3, 7.0)), runoff_split = runoff_whole;
  for (SnowBasin* basin : {&whole, &first, &second}) {
    ASSERT_EQ(BuildGlacierBasin(*basin, "0"), 0) << console_.str();
    basin->model().SetWaterInput(false);
    basin->model().ReadStorageContent("state.txt", basin == &second ? 1 : 0);
  }
  whole.model().SetSubbasinRunoffArray(runoff_whole);
  first.model().SetSubbasinRunoffArray(runoff_split);
  StartGlacierSnow(whole);
  StartGlacierSnow(first);
  const auto run = [&](SnowBasin& basin, int from, int to) {
    for (int h = from; h < to; ++h) ASSERT_EQ(StepGlacierBasin(basin, h), 0) << console_.str();
  };
  run(whole, 0, 48);
  run(first, 0, 20);
  ASSERT_TRUE(first.model().WriteStorageContent(false));
  // The second part starts from the grids the first part leaves.
  for (const char* id : {"snow_storage_total", "snowstorage_solid", "snowstorage_liquid", "days_snow", "snow_age",
                         "albedo", "TotalSnowStorage_onGlacier", "SolidSnowStorage_onGlacier",
                         "LiquidSnowStorage_onGlacier", "GlacierMassBalance", "OldGlacierMassBalance"}) {
    const ConstGridView from = first.Entry(id).values;
    const GridView to = second.Entry(id).values;
    for (int r = 1; r <= kSnowRows; ++r) {
      for (int c = 1; c <= kSnowCols; ++c) to(r, c) = from(r, c);
    }
  }
  const StackView firn_from = first.Entry("firn_WE_stack").stack, firn_to = second.Entry("firn_WE_stack").stack;
  for (int r = 1; r <= kSnowRows; ++r) {
    for (int c = 1; c <= kSnowCols; ++c) {
      second.Entry("firn_WE_stack").values(r, c) = first.Entry("firn_WE_stack").values(r, c);
      for (int k = 0; k <= first.Entry("firn_WE_stack").levels; ++k) firn_to(r, c, k) = firn_from(r, c, k);
    }
  }
  ASSERT_EQ(CodeOf([&] { second.model().ReadStorageContent("state.txt", 1); }), 0) << console_.str();
  second.model().SetSubbasinRunoffArray(runoff_split);
  run(second, 20, 48);
  for (std::size_t j = 1; j <= 2; ++j) {
    EXPECT_EQ(second.model().Qice_slr()[j], whole.model().Qice_slr()[j]) << j;
    EXPECT_EQ(second.model().Qfirn_slr()[j], whole.model().Qfirn_slr()[j]) << j;
    EXPECT_EQ(second.model().Qsnow_slr()[j], whole.model().Qsnow_slr()[j]) << j;
  }
  EXPECT_GT(whole.model().Qice_slr()[1], 0);
  EXPECT_EQ(runoff_split, runoff_whole);
}

}  // namespace
}  // namespace tolvo::test
