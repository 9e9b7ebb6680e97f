#include <gtest/gtest.h>

#include <omp.h>

#include <string>
#include <vector>

#include "subsurface/soil_model_fixture.h"

namespace tolvo::test {
namespace {

// Implicit heat transfer with the water's heat, and a layered snow pack of three layers of
// 0.1 m (density 250 kg/m³, holding 10 % liquid water).
std::string Sections() {
  std::string s =
      "[heat_transfer]\n1\n12\n0\n0\n10 base\n-0.01 lapse\n700\n1400\n0.5\n1e-11\n0.56\n2.3\n4180\n1900\n2000\n"
      "330000\n1000\n1.3\n0.5\n60\n1800\n1\n1\ntemper.txt\ntemper.stat 0\ntemper.asc\n0\nthaw.asc\n0\n"
      "[LayeredSnowModel]\n1\n1\n500\n0\n0.5\n10\n0.1\n1\n1\n";
  for (const char* name : {"swes", "swel", "tsnow", "thsnow", "hhsnow", "hgsnow", "qsnow", "dsnow", "rhosnow", "upper"}) {
    s += std::string(name) + ".stk\n0\n";
  }
  s += "[LayeredSnowProperties]\n1\n1 snow { method = MultipleHorizons; layers = 3; ksat = 1e-4; theta_sat = 0.9; "
       "theta_res = 0.01; alpha = 10; Par_n = 2; thickness = 0.1; DryDensity = 250; DryThermalConduct = 0.1; "
       "DryHeatCapacity = 0; }\n";
  return s;
}

class LayeredSnowColumnTest : public SoilModelTest {
 protected:
  static constexpr int kSnow = 3;

  void Make(double air, double rain_mm) {
    Add("precipitation", 0);
    Add("temperature", air);
    Add("rain_fraction", rain_mm);
    for (const char* id : {"snowstorage_solid", "snowstorage_liquid", "snow_storage_total", "melt_from_snowcover"}) {
      Add(id, 0);
    }
    ASSERT_EQ(Build(SoilSectionText{}, Sections()), 0) << console_.str();
    ASSERT_EQ(InFolder([&] {
                model_->selectInfiltrationInput(false);
                model_->InitTracers(0, {}, registry_, StatisticsRegistry::kCapacity);
              }),
              0);
  }

  // Every own cell gets a pack of three layers of `solid` mm of ice and a tenth of it as
  // liquid water at `T` °C.
  void Pack(double solid, double T) {
    for (int r = 1; r <= kRows; ++r) {
      for (int c = 1; c <= kCols; ++c) {
        if (grid("zonegrid_soilmodel")(r, c) == kNodata) continue;
        for (int l = 1; l <= kSnow; ++l) {
          stack("SnowWaterEquivalentSolid")(r, c, l) = solid;
          stack("SnowWaterEquivalentLiquid")(r, c, l) = solid / 10;
          stack("SnowDensity")(r, c, l) = 0.25;
          stack("SnowLayerThickness")(r, c, l) = 1.1 * solid / 250;
          stack("Temperature_Stack_Snow")(r, c, l) = T;
        }
        stack("SnowWaterEquivalentSolid")(r, c, 0) = kSnow * solid;
        stack("SnowWaterEquivalentLiquid")(r, c, 0) = 0;
        grid("upperIndexSnow")(r, c) = 1;
      }
    }
  }

  double PackWater(int r, int c) {
    double w = 0;
    for (int l = 1; l <= kSnow; ++l) w += stack("SnowWaterEquivalentSolid")(r, c, l) + stack("SnowWaterEquivalentLiquid")(r, c, l);
    return w + stack("SnowWaterEquivalentLiquid")(r, c, 0);
  }
  double SoilWater(int r, int c) {
    double w = 0;
    for (int l = 1; l <= 5; ++l) w += stack("theta")(r, c, l) * 0.1 * 1000;
    return w;
  }
  void Step(int h) {
    const ModelDate d{2020, 3, 1 + h / 24, h % 24 + 1};
    ASSERT_EQ(InFolder([&] {
                model_->prepareTimeStep(d);
                model_->SubStep(d);
                model_->concentrateSubbasinRunoff(d);
              }),
              0)
        << console_.str();
  }
};

// Under warm air with rain the pack melts from the top. Per cell and step the water of the
// pack and of the soil, with the rain entering and the direct runoff, interflow, base flow
// and evapotranspiration leaving, closes to round-off; the pack's totals go to the snow
// model's storage grids, and once the pack is gone "upperIndexSnow" says so.
TEST_F(LayeredSnowColumnTest, WaterOfSnowAndSoilClosesPerCellAndStep) {
  Make(6, 0.5);
  Pack(15, -0.5);
  double largest_melt = 0;
  for (int h = 0; h < 96; ++h) {
    SCOPED_TRACE(h);
    std::vector<double> before, et_before;
    for (int r = 1; r <= kRows; ++r) {
      for (int c = 1; c <= kCols; ++c) {
        before.push_back(PackWater(r, c) + SoilWater(r, c));
        et_before.push_back(grid("real_transpiration0")(r, c));
      }
    }
    Step(h);
    std::size_t i = 0;
    for (int r = 1; r <= kRows; ++r) {
      for (int c = 1; c <= kCols; ++c, ++i) {
        if (grid("zonegrid_soilmodel")(r, c) == kNodata) continue;
        const double out = grid("directflow")(r, c) + grid("interflow")(r, c) + grid("baseflow")(r, c) +
                           grid("real_transpiration0")(r, c) - et_before[i];
        EXPECT_NEAR(before[i] + 0.5, PackWater(r, c) + SoilWater(r, c) + out, 1e-9) << r << "," << c;
        EXPECT_NEAR(grid("snow_storage_total")(r, c), PackWater(r, c), 1e-12);
        largest_melt = std::max(largest_melt, grid("melt_from_snowcover")(r, c));
      }
    }
  }
  EXPECT_GT(largest_melt, 0);
  EXPECT_EQ(grid("upperIndexSnow")(2, 2), kSnow + 1) << "the pack has melted";
  EXPECT_EQ(PackWater(2, 2), 0);
}

// Under a cold spell the pack keeps its water (the ground's heat melts a little at its
// bottom) and shields the soil: the top soil layer under snow stays warmer than under bare
// ground, while the snow cools from the top.
TEST_F(LayeredSnowColumnTest, PackKeepsItsWaterAndShieldsTheSoilFromTheCold) {
  Make(-15, 0);
  Pack(30, -1);
  for (int h = 0; h < 48; ++h) Step(h);
  const double covered = stack("Soil_Temperature_Stack")(2, 2, 1);
  EXPECT_NEAR(PackWater(2, 2), 3 * 33, 1) << "only the ground's heat melts a little";
  EXPECT_LT(stack("Temperature_Stack_Snow")(2, 2, 1), -5);
  EXPECT_LT(stack("Temperature_Stack_Snow")(2, 2, 1), stack("Temperature_Stack_Snow")(2, 2, 3));
  EXPECT_EQ(grid("upperIndexSnow")(2, 2), 1);

  MakeBasin();
  Make(-15, 0);
  for (int h = 0; h < 48; ++h) Step(h);
  EXPECT_GT(covered, stack("Soil_Temperature_Stack")(2, 2, 1) + 1);
}

// The pack and the soil under it do not depend on the number of threads.
TEST_F(LayeredSnowColumnTest, SameUnderOneAndFourThreads) {
  const int threads = omp_get_max_threads();
  std::vector<std::vector<double>> runs;
  for (int n : {1, 4}) {
    omp_set_num_threads(n);
    MakeBasin();
    Make(3, 0.2);
    Pack(5, -0.5);
    for (int h = 0; h < 12; ++h) Step(h);
    std::vector<double> v;
    for (int r = 1; r <= kRows; ++r) {
      for (int c = 1; c <= kCols; ++c) {
        for (int l = 0; l <= kSnow; ++l) {
          v.push_back(stack("SnowWaterEquivalentSolid")(r, c, l));
          v.push_back(stack("Temperature_Stack_Snow")(r, c, l));
        }
        for (int l = 1; l <= 5; ++l) v.push_back(stack("theta")(r, c, l));
      }
    }
    runs.push_back(v);
  }
  omp_set_num_threads(threads);
  EXPECT_EQ(runs[0], runs[1]);
}

}  // namespace
}  // namespace tolvo::test
