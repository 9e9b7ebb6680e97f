// The snow model's step on the small snow basin: the water balance of every cell over
// days of accumulation and melt, the day/night split of long steps, albedo and snow age,
// the permafrost thaw depth, and snow slides with the hand-over to the layered snow.
#include <gtest/gtest.h>

#include <omp.h>

#include <cmath>
#include <string>
#include <vector>

#include "snow_basin_fixture.h"
#include "surface/snow_evaporation.h"
#include "tables/landuse_table.h"

namespace tolvo::test {
namespace {

void Fill(GridView g, double v) {
  for (int r = 1; r <= kSnowRows; ++r) {
    for (int c = 1; c <= kSnowCols; ++c) g(r, c) = v;
  }
}

class SnowStepTest : public LogFixture {
 protected:
  GridView G(const std::string& id) { return basin_.Entry(id).values; }
  double Sum(const std::string& id) {
    double s = 0;
    for (int r = 1; r <= kSnowRows; ++r) {
      for (int c = 1; c <= kSnowCols; ++c) {
        if (basin_.zone()(r, c) != kNodata) s += G(id)(r, c);
      }
    }
    return s;
  }
  void FillZone(const std::string& id, double v) {
    for (int r = 1; r <= kSnowRows; ++r) {
      for (int c = 1; c <= kSnowCols; ++c) G(id)(r, c) = basin_.zone()(r, c) != kNodata ? v : kNodata;
    }
  }
  SnowBasin basin_{log_, dir_};
};

// A cold spell with snowfall, then a thaw with rain: hour h of the run.
double Temperature(int h) { return h < 72 ? -6 + 3 * std::sin(h * 0.26) : 4 + 3 * std::sin(h * 0.26); }
double Precipitation(int h, int r) { return (h % 5 == 0 || (h > 100 && h < 110)) ? 0.4 + 0.1 * r : 0; }

TEST_F(SnowStepTest, EveryCellClosesItsWaterBalanceOverAccumulationAndMelt) {
  for (int method : {1, 5}) {
    SCOPED_TRACE(method);
    SnowBasin basin(log_, dir_);
    Grid& evaporation = basin.NewGrid(0);
    basin.Add("snow_evaporation", evaporation);
    const std::string text = method == 5 ? SnowSection(5) + SnowBlock() : SnowSection(1);
    ASSERT_EQ(basin.Build(text), 0);
    schneemodellklasse& model = basin.model();
    model.SetWaterInput(false);
    const auto grid = [&](const char* id) { return basin.Entry(id).values; };
    GridView P = grid("precipitation"), T = grid("temperature");
    GridView solid = grid("snowstorage_solid"), liquid = grid("snowstorage_liquid"), out = grid("snowcover_outflow");
    for (const char* id : {"air_humidity", "cloudiness", "wind_speed"}) Fill(grid(id), 0.6);
    double worst = 0;
    double melted = 0;
    double most_snow = 0;
    for (int h = 0; h < 240; ++h) {
      Fill(grid("AspectCorrectedGlobalRadiation"), h % 24 > 7 && h % 24 < 17 ? 300 : 0);
      for (int r = 1; r <= kSnowRows; ++r) {
        for (int c = 1; c <= kSnowCols; ++c) {
          if (basin.zone()(r, c) == kNodata) continue;
          T(r, c) = Temperature(h) + 0.3 * c;
          P(r, c) = Precipitation(h, r);
          if (method == 1) {
            // The evapotranspiration model's draw from the snow before the step.
            double demand = 0.05;
            evaporation(r, c) = DrawFromSnow(solid(r, c), demand);
          }
        }
      }
      Grid before(1, kSnowRows, kSnowCols, kSnowRows);
      Grid drawn(1, kSnowRows, kSnowCols, kSnowRows);
      for (int r = 1; r <= kSnowRows; ++r) {
        for (int c = 1; c <= kSnowCols; ++c) {
          before(r, c) = solid(r, c) + liquid(r, c) + (method == 1 ? evaporation(r, c) : 0);
          drawn(r, c) = method == 1 ? evaporation(r, c) : 0;
        }
      }
      model.SnowTimeStep({2020, 1, 1 + h / 24, 1 + h % 24});
      for (int r = 1; r <= kSnowRows; ++r) {
        for (int c = 1; c <= kSnowCols; ++c) {
          if (basin.zone()(r, c) == kNodata) continue;
          const double E = method == 1 ? drawn(r, c) : evaporation(r, c);
          const double balance = P(r, c) - out(r, c) - E - (solid(r, c) + liquid(r, c) - before(r, c));
          worst = std::max(worst, std::fabs(balance));
          melted += out(r, c);
          most_snow = std::max(most_snow, solid(r, c));
        }
      }
    }
    EXPECT_LT(worst, 1e-9);
    EXPECT_GT(most_snow, 5);  // snow built up in the cold spell
    EXPECT_GT(melted, 10);    // and left the cover in the thaw
  }
}

TEST_F(SnowStepTest, OneAndFourThreadsGiveTheSameGrids) {
  std::vector<double> results[2];
  const int threads = omp_get_max_threads();
  for (const int n : {1, 4}) {
    omp_set_num_threads(n);
    SnowBasin basin(log_, dir_);
    basin.Add("snow_evaporation", basin.NewGrid(0));
    ASSERT_EQ(basin.Build(SnowSection(5) + SnowBlock()), 0);
    basin.model().SetWaterInput(false);
    const auto grid = [&](const char* id) { return basin.Entry(id).values; };
    for (const char* id : {"air_humidity", "cloudiness", "wind_speed"}) Fill(grid(id), 0.6);
    Fill(grid("AspectCorrectedGlobalRadiation"), 200);
    for (int h = 0; h < 120; ++h) {
      for (int r = 1; r <= kSnowRows; ++r) {
        for (int c = 1; c <= kSnowCols; ++c) {
          grid("temperature")(r, c) = Temperature(h) + 0.3 * c - 0.1 * r;
          grid("precipitation")(r, c) = Precipitation(h, r);
        }
      }
      basin.model().SnowTimeStep({2020, 1, 1 + h / 24, 1 + h % 24});
    }
    for (const char* id : {"snowstorage_solid", "snowstorage_liquid", "snowcover_outflow", "snowtemp", "surftemp",
                           "albedo", "snow_age", "snow_evaporation"}) {
      for (int r = 1; r <= kSnowRows; ++r) {
        for (int c = 1; c <= kSnowCols; ++c) results[n == 1 ? 0 : 1].push_back(grid(id)(r, c));
      }
    }
  }
  omp_set_num_threads(threads);
  EXPECT_EQ(results[0], results[1]);
}

TEST_F(SnowStepTest, StepsAboveTwelveHoursComputeANightAndADayPart) {
  for (int minutes : {720, 721}) {
    SCOPED_TRACE(minutes);
    SnowBasin basin(log_, dir_);
    Grid& night = basin.NewGrid(-10);
    basin.Add("temperature_night", night);
    const std::string section = SnowSection(1);
    const std::size_t at = section.find("\n60\n");
    const std::string text = section.substr(0, at + 1) + std::to_string(minutes) + section.substr(at + 3);
    ASSERT_EQ(basin.Build(text), 0);
    basin.model().SetWaterInput(false);
    Fill(basin.Entry("temperature").values, 5);
    Fill(basin.Entry("precipitation").values, 10);
    basin.model().SnowTimeStep({2020, 1, 10, 12});
    const double solid = basin.Entry("snowstorage_solid").values(2, 1);
    // One call at 5 deg C gives rain only; the night part at -10 deg C gives snow.
    if (minutes == 720) {
      EXPECT_EQ(solid, 0);
    } else {
      EXPECT_GT(solid, 0);
    }
  }
}

TEST_F(SnowStepTest, AlbedoFollowsTheSnowCoverAndFreshSnowResetsTheAge) {
  ASSERT_EQ(basin_.Build(SnowSection(1)), 0);
  schneemodellklasse& model = basin_.model();
  model.SetWaterInput(false);
  const SnowSettings& s = model.snow_settings();
  FillZone("temperature", -5);
  FillZone("snow_age", 2);
  struct Case {
    double snow_mm, input_mm;
    double age, albedo;
  };
  const double aged = s.ALBsnow_min + (s.ALBsnow_max - s.ALBsnow_min) * std::exp(-0.12 * (2 + 1.0 / 24));
  const Case cases[] = {
      {4.0, 0.5, 2 + 1.0 / 24, 0.2},  // 4.5 mm after the step: land-use albedo
      {5.0, 0.5, 2 + 1.0 / 24, aged},  // 5.5 mm: snow albedo of the aged cover
      {10.0, 1.0, 2 + 1.0 / 24, aged},  // 1 mm is no fresh snow
      {10.0, 1.5, 0, s.ALBsnow_max},   // fresh snow on a cover: age 0
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.snow_mm + k.input_mm);
    FillZone("snowstorage_solid", k.snow_mm);
    FillZone("snowstorage_liquid", 0);
    FillZone("snow_age", 2);
    FillZone("albedo", 0.2);
    FillZone("precipitation", k.input_mm);
    model.SnowTimeStep({2020, 1, 5, 3});
    EXPECT_NEAR(G("snow_age")(4, 2), k.age, 1e-12);
    EXPECT_NEAR(G("albedo")(4, 2), k.albedo, 1e-12);
    EXPECT_NEAR(G("days_snow")(4, 2), k.snow_mm + k.input_mm > 5 ? 1.0 / 24 : 0, 1e-15);
  }
}

// The albedo an energy-balance method melts with: up to 2.5 mm of snow at the start of the
// step it is the land-use albedo (here the grid's value, without a land-use table), above
// it the snow albedo, so the surface's albedo no longer matters.
TEST_F(SnowStepTest, StartOfStepAlbedoSwitchesToSnowAbove2_5Millimetres) {
  const auto melt_with = [&](double snow_mm, double surface_albedo) {
    SnowBasin basin(log_, dir_);
    basin.Add("snow_evaporation", basin.NewGrid(0));
    EXPECT_EQ(basin.Build(SnowSection(5) + SnowBlock()), 0);
    basin.model().SetWaterInput(false);
    const auto grid = [&](const char* id) { return basin.Entry(id).values; };
    for (const char* id : {"air_humidity", "cloudiness", "wind_speed"}) Fill(grid(id), 0.6);
    Fill(grid("AspectCorrectedGlobalRadiation"), 600);
    Fill(grid("temperature"), 2);
    Fill(grid("snowstorage_solid"), snow_mm);
    Fill(grid("albedo"), surface_albedo);
    basin.model().SnowTimeStep({2020, 3, 10, 12});
    return grid("snowstorage_solid")(4, 2) + grid("snowstorage_liquid")(4, 2);
  };
  EXPECT_NE(melt_with(2.5, 0.1), melt_with(2.5, 0.8));
  EXPECT_EQ(melt_with(2.6, 0.1), melt_with(2.6, 0.8));
  EXPECT_LT(melt_with(2.5, 0.1), melt_with(2.5, 0.8));  // a darker surface melts more
}

TEST_F(SnowStepTest, LanduseAlbedoFromTheTableOnDatedStepsOnly) {
  LanduseTable table(1);
  table[1].ParseBlock(log_,
                      "1 meadow { method = VariableDayCount; RootDist = 1; TReduWet = 1; HReduDry = 50; JulDays = 30 "
                      "120 250 300; Albedo = 0.25 0.25 0.25 0.25; rsc = 50 50 50 50; LAI = 1 1 1 1; Z0 = 0.1 0.1 0.1 "
                      "0.1; VCF = 0.5 0.5 0.5 0.5; RootDepth = 1 1 1 1; AltDep = 0 0 0 0; }\n",
                      "VariableDayCount");
  basin_.settings().landuse = &table;
  ASSERT_EQ(basin_.Build(SnowSection(1)), 0);
  basin_.model().SetWaterInput(false);
  FillZone("albedo", 0.6);
  // A step without date (no meteorological input) keeps the albedo the grid holds.
  ASSERT_EQ(CodeOf([&] { basin_.model().SnowTimeStep({-9999, -9999, -9999, -9999}); }), 0) << console_.str();
  EXPECT_EQ(G("albedo")(2, 2), 0.6);
  ASSERT_EQ(CodeOf([&] { basin_.model().SnowTimeStep({2020, 5, 1, 12}); }), 0) << console_.str();
  EXPECT_NEAR(G("albedo")(2, 2), 0.25, 1e-12);
}

TEST_F(SnowStepTest, ThawDepthGrowsWithTheRootOfSnowFreeDaysAndCapsTheRoots) {
  for (const char* id : {"ThawCoeffPermaFrost", "PermafrostThawDepth", "root_depth1"}) {
    basin_.Add(id, basin_.NewGrid(0));
  }
  ASSERT_EQ(basin_.Build(SnowSection(1) + "[permafrost]\n1\n30\n20\nthaw.txt 0\n1e-7\n"), 0);
  schneemodellklasse& model = basin_.model();
  model.SetWaterInput(false);
  FillZone("ThawCoeffPermaFrost", 0.05);
  FillZone("root_depth1", 2);
  FillZone("temperature", 10);
  for (int h = 0; h < 2400; ++h) model.SnowTimeStep({2020, 6, 1 + (h / 24) % 28, 1 + h % 24});
  EXPECT_NEAR(G("PermafrostThawDepth")(3, 1), 0.5, 1e-9);
  // Capped by the shallow thaw of the first step.
  EXPECT_NEAR(G("root_depth1")(3, 1), 0.05 * std::sqrt(1.0 / 24), 1e-12);
  // A cover above Max_SWE_SnowFree shorter than Min_Snow_Age_Refreeze keeps the thaw depth.
  FillZone("snowstorage_solid", 100);
  FillZone("temperature", -10);
  for (int h = 0; h < 24; ++h) model.SnowTimeStep({2020, 12, 1, 1 + h});
  EXPECT_NEAR(G("PermafrostThawDepth")(3, 1), 0.5, 1e-9);
  EXPECT_NEAR(G("SnowCoverDaysGrid")(3, 1), 1, 1e-9);
}

TEST_F(SnowStepTest, SeasonalDayNumberRunsPast365InDecember) {
  EXPECT_EQ(SeasonalDayNumber(1, 3, 31), 63);
  EXPECT_EQ(SeasonalDayNumber(31, 12, 31), 372);
}

class SnowSlideTest : public SnowStepTest {
 protected:
  // Method 6 with slides of 10 % from every cell steeper than 30 degrees.
  void BuildSlides(const std::string& limits = "55\n1\n30\n0.1\n1\n1\n1\n") {
    basin_.Add("snow_evaporation", basin_.NewGrid(0));
    ASSERT_EQ(basin_.Build(SnowSection(6) + SnowBlock(limits)), 0);
    basin_.model().SetWaterInput(false);
  }
  void Slide() { basin_.model().SnowLateralStep({2020, 1, 2, 5}); }
};

TEST_F(SnowSlideTest, APassMovesSnowWithinItsZoneWithoutCreatingAny) {
  Fill(basin_.Entry("slope_angle").values, 40);
  for (int k = 1; k <= 4; ++k) Fill(basin_.Entry("slidefraction" + std::to_string(k)).values, 0.25);
  BuildSlides();
  for (int r = 1; r <= kSnowRows; ++r) {
    for (int c = 1; c <= kSnowCols; ++c) {
      if (basin_.zone()(r, c) == kNodata) continue;
      G("snowstorage_solid")(r, c) = 10 + r;
      G("snowstorage_liquid")(r, c) = 0.1 * c;
      G("snow_storage_total")(r, c) = 10 + r + 0.1 * c;
    }
  }
  const double zone2 = [&] {
    double s = 0;
    for (int r = 2; r <= kSnowRows; ++r) s += G("snow_storage_total")(r, 3);
    return s;
  }();
  const double before = Sum("snow_storage_total");
  Slide();
  EXPECT_NEAR(Sum("snow_storage_total"), before, 1e-10);
  EXPECT_NEAR(Sum("snowstorage_solid") + Sum("snowstorage_liquid"), before, 1e-10);
  EXPECT_GT(Sum("input_mass"), 0);
  // Column 3 is a zone of its own: it keeps its snow.
  double after2 = 0;
  for (int r = 2; r <= kSnowRows; ++r) after2 += G("snow_storage_total")(r, 3);
  EXPECT_NEAR(after2, zone2, 1e-10);
}

TEST_F(SnowSlideTest, ACellWithoutSharesKeepsItsSnowAndZeroDepositionPassesItOn) {
  Fill(basin_.Entry("slope_angle").values, 40);
  BuildSlides();
  FillZone("snowstorage_solid", 20);
  FillZone("snowstorage_liquid", 0);
  FillZone("snow_storage_total", 20);
  Slide();  // every share 0: the released snow stays in its cell
  EXPECT_NEAR(G("snow_storage_total")(5, 1), 20, 1e-12);
  EXPECT_NEAR(G("mobile_mass")(5, 1), 2, 1e-12);

  // Slope above maxDepositionSlope everywhere: no cell takes deposition.
  SnowBasin steep(log_, dir_);
  for (int r = 1; r <= kSnowRows; ++r) {
    for (int c = 1; c <= kSnowCols; ++c) steep.dem()(r, c) = 2000 - 10 * (r * kSnowCols + c);
  }
  Fill(steep.Entry("slope_angle").values, 60);
  Fill(steep.Entry("slidefraction4").values, 1);
  steep.Add("snow_evaporation", steep.NewGrid(0));
  ASSERT_EQ(steep.Build(SnowSection(6) + SnowBlock("55\n1\n30\n0.1\n1\n1\n1\n")), 0);
  steep.model().SetWaterInput(false);
  for (const char* id : {"snowstorage_solid", "snow_storage_total"}) {
    for (int r = 1; r <= kSnowRows; ++r) {
      for (int c = 1; c <= 2; ++c) steep.Entry(id).values(r, c) = 20;
    }
  }
  steep.model().SnowLateralStep({2020, 1, 2, 5});
  double deposited = 0;
  for (int r = 1; r <= kSnowRows; ++r) deposited += steep.Entry("deposition").values(r, 1);
  EXPECT_EQ(deposited, 0);
  // All released snow of column 1 runs down to its lowest cell (row 8).
  EXPECT_NEAR(steep.Entry("snow_storage_total").values(8, 1), 20 * 0.9 + 8 * 2, 1e-9);
}

TEST_F(SnowSlideTest, SmallDifferencesAreNotHandedToTheLayeredSnow) {
  Fill(basin_.Entry("slope_angle").values, 10);  // nothing slides
  for (const char* id : {"SnowWaterEquivalentSolid", "SnowWaterEquivalentLiquid", "SnowLayerThickness",
                         "SnowDensity"}) {
    basin_.AddStack(id, 2);
  }
  Grid& upper = basin_.NewGrid(3);
  basin_.Add("upperIndexSnow", upper);
  BuildSlides();
  basin_.model().LinkLayeredSnow(true, {.n = 2, .thickness = {0, 0.5, 0.5}, .dry_density = {0, 100, 100}}, 0);
  FillZone("snowstorage_solid", 0.0004);
  FillZone("snow_storage_total", 0.0004);
  Slide();
  EXPECT_EQ(upper(4, 1), 3);  // still empty
  FillZone("snowstorage_solid", 2);
  FillZone("snow_storage_total", 2);
  Slide();
  EXPECT_LT(upper(4, 1), 3);
}

}  // namespace
}  // namespace tolvo::test
