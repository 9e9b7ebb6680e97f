#include <gtest/gtest.h>

#include <omp.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "subsurface/soil_cell_dumps.h"

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

  // With `chain` the water input is the interception's "throughfall0" below the snow
  // model's "snowcover_outflow", else "precipitation". With `interception_first` as well,
  // interception runs before snow: the input is "snowcover_outflow" itself, which the
  // silting-up model changes in place, and its direct runoff is "DirectRunoffSiltingUp".
  void Make(double air, double rain_mm, int sub_steps = 1, bool chain = false, bool interception_first = false) {
    sub_steps_ = sub_steps;
    chain_ = chain;
    interception_first_ = chain && interception_first;
    Add("precipitation", 0);
    if (chain) {
      Add("throughfall0", 0);
      Add("snowcover_outflow", 0);
    }
    if (interception_first_) Add("DirectRunoffSiltingUp", 0);
    Add("temperature", air);
    Add("rain_fraction", rain_mm);
    for (const char* id : {"snowstorage_solid", "snowstorage_liquid", "snow_storage_total", "melt_from_snowcover"}) {
      Add(id, 0);
    }
    ASSERT_EQ(Build(SoilSectionText{}, Sections(), sub_steps), 0) << console_.str();
    ASSERT_EQ(InFolder([&] {
                model_->selectInfiltrationInput(interception_first_);
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
  // One step of air temperature `air` [°C] with `rain` [mm] and `snowfall` [mm], which the
  // snow model lays on the top layer (fresh snow of 100 kg/m³), `released` [mm] of liquid
  // water the snow model released at the pack's level 0, and `other` [mm] that other
  // sub-models added to the water input beyond the snow model's outflow of 3 mm (with
  // interception before snow: the surface water the silting-up model hands back, less its
  // direct runoff of kSiltingRunoff mm, which leaves with the soil's direct runoff). Per cell
  // the water of the pack and of the soil, with these entering and the direct runoff,
  // interflow, base flow and evapotranspiration leaving, closes to round-off; the snow
  // model's total is the pack's water and the pack's layers stack up from the soil surface.
  void StepAndCheckBalance(int h, double air, double rain, double snowfall, double released = 0, double other = 0) {
    std::vector<double> before, et_before;
    if (interception_first_) {
      for (int r = 1; r <= kRows; ++r) {
        for (int c = 1; c <= kCols; ++c) grid("snowcover_outflow")(r, c) = 3;
      }
      model_->keepSnowOutflow();
    }
    for (int r = 1; r <= kRows; ++r) {
      for (int c = 1; c <= kCols; ++c) {
        grid("temperature")(r, c) = air;
        grid("rain_fraction")(r, c) = rain;
        if (interception_first_) {
          grid("snowcover_outflow")(r, c) = 3 + other - kSiltingRunoff;
          grid("DirectRunoffSiltingUp")(r, c) = kSiltingRunoff;
        } else if (chain_) {
          grid("snowcover_outflow")(r, c) = 3;
          grid("throughfall0")(r, c) = 3 + other;
        } else {
          grid("precipitation")(r, c) = other;
        }
        if (grid("zonegrid_soilmodel")(r, c) != kNodata) stack("SnowWaterEquivalentLiquid")(r, c, 0) = released;
        before.push_back(PackWater(r, c) + SoilWater(r, c));
        et_before.push_back(grid("real_transpiration0")(r, c));
        if (snowfall > 0 && grid("zonegrid_soilmodel")(r, c) != kNodata) {
          const int top = static_cast<int>(grid("upperIndexSnow")(r, c));
          stack("SnowWaterEquivalentSolid")(r, c, top) += snowfall;
          stack("SnowLayerThickness")(r, c, top) += snowfall / 100;
        }
      }
    }
    Step(h);
    std::size_t i = 0;
    for (int r = 1; r <= kRows; ++r) {
      for (int c = 1; c <= kCols; ++c, ++i) {
        if (grid("zonegrid_soilmodel")(r, c) == kNodata) continue;
        const double out = left_[i] + grid("real_transpiration0")(r, c) - et_before[i];
        EXPECT_NEAR(before[i] + rain + snowfall + other, PackWater(r, c) + SoilWater(r, c) + out, 1e-9)
            << r << "," << c;
        EXPECT_NEAR(grid("snow_storage_total")(r, c), PackWater(r, c), 1e-12);
        for (int l = kSnow; l >= 1 && stack("SnowWaterEquivalentSolid")(r, c, l) > 0; --l) {
          EXPECT_NEAR(stack("geodetic_height_Snow")(r, c, l - 1),
                      stack("geodetic_height_Snow")(r, c, l) + stack("SnowLayerThickness")(r, c, l), 1e-9);
        }
      }
    }
  }
  // One model step of all its sub-steps; the direct runoff, interflow and base flow that
  // left each cell over them are summed in left_.
  void Step(int h) {
    const ModelDate d{2020, 3, 1 + h / 24, h % 24 + 1};
    left_.assign(static_cast<std::size_t>(kRows * kCols), 0.0);
    ASSERT_EQ(InFolder([&] {
                model_->prepareTimeStep(d);
                for (int k = 1; k <= sub_steps_; ++k) {
                  model_->SubStep(d);
                  std::size_t i = 0;
                  for (int r = 1; r <= kRows; ++r) {
                    for (int c = 1; c <= kCols; ++c, ++i) {
                      left_[i] += grid("directflow")(r, c) + grid("interflow")(r, c) + grid("baseflow")(r, c);
                    }
                  }
                }
                model_->concentrateSubbasinRunoff(d);
              }),
              0)
        << console_.str();
  }
  static constexpr double kSiltingRunoff = 0.5;
  int sub_steps_ = 1;
  bool chain_ = false;
  bool interception_first_ = false;
  std::vector<double> left_;
};

// Two cold days of snowfall on the pack, then warm air with rain that melts it from the
// top; the pack's water flows through the Richards iteration with the soil's. The pack's
// totals go to the snow model's storage grids, the soil takes water from the pack, and once
// the pack is gone "upperIndexSnow" says so.
TEST_F(LayeredSnowColumnTest, WaterOfSnowAndSoilClosesPerCellAndStep) {
  Make(-4, 0);
  Pack(15, -0.5);
  constexpr int kColdHours = 48;
  constexpr double kSnowfall = 1;  // mm per hour of the cold days
  double largest_melt = 0, largest_pack_flux = 0, soil_intake = 0, first_hour_pack = 0;
  for (int h = 0; h < kColdHours + 120; ++h) {
    SCOPED_TRACE(h);
    const bool cold = h < kColdHours;
    StepAndCheckBalance(h, cold ? -4 : 6, cold ? 0 : 0.5, cold ? kSnowfall : 0);
    largest_melt = std::max(largest_melt, grid("melt_from_snowcover")(2, 2));
    if (!cold) soil_intake += grid("total_infiltration")(2, 2);
    for (int l = 1; l <= kSnow; ++l) largest_pack_flux = std::max(largest_pack_flux, -stack("q_down_Snow")(2, 2, l));
    if (h == 0) first_hour_pack = PackWater(2, 2);
    if (h == kColdHours - 1) {
      EXPECT_GT(PackWater(2, 2), first_hour_pack + 0.8 * (kColdHours - 1) * kSnowfall) << "the cold days keep the snow";
    }
  }
  EXPECT_GT(largest_melt, 0);
  EXPECT_GT(largest_pack_flux, 0) << "water flows down through the pack";
  EXPECT_GT(soil_intake, 0);
  EXPECT_EQ(grid("upperIndexSnow")(2, 2), kSnow + 1) << "the pack has melted";
  EXPECT_EQ(PackWater(2, 2), 0);
}

// The water the snow model released at the pack's level 0 and the water other sub-models
// put into the water input beyond the snow model's outflow (the surface water handed back,
// less interception) reach the soil whole, whatever the number of sub-steps.
TEST_F(LayeredSnowColumnTest, ReleasedWaterAndOtherSubModelsWaterReachTheSoil) {
  const struct {
    const char* label;
    int sub_steps;
    bool chain;
    bool interception_first;
    double other;
  } cases[] = {
      {"input is the precipitation", 1, false, false, 2},
      {"input below the snow model and interception", 1, true, false, 2},
      {"three sub-steps", 3, true, false, 2},
      {"interception took more than the surface water added", 2, true, false, -1},
      {"input is the snow model's outflow, changed by the silting-up model", 1, true, true, 2},
      {"the same with three sub-steps", 3, true, true, 2},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.label);
    MakeBasin();
    Make(1, 0, k.sub_steps, k.chain, k.interception_first);
    Pack(15, -0.5);
    for (int h = 0; h < 4; ++h) {
      SCOPED_TRACE(h);
      StepAndCheckBalance(h, 1, 0.5, 0, 4, k.other);
    }
  }
}

// A downpour that the top of the pack cannot take runs off as infiltration excess and
// direct runoff; no water is lost.
TEST_F(LayeredSnowColumnTest, DownpourThePackCannotTakeRunsOff) {
  Make(-1, 0);
  Pack(15, -1);
  double excess = 0;
  for (int h = 0; h < 3; ++h) {
    SCOPED_TRACE(h);
    StepAndCheckBalance(h, -1, 400, 0);
    excess += grid("infiltration_excess")(2, 2);
  }
  EXPECT_GT(excess, 0);
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

// The temperature check: outside −70..70 °C, or beyond all references by more than
// 0.001 K; the first active layer compares with the surface, the others with their
// neighbours above and below, at the snapshot and now.
TEST(CellDumpHeat, TemperatureOutsideItsReferencesIsAnAnomaly) {
  // Positions −1..3 (one snow position above three soil layers); the first active layer is 0.
  std::vector<double> now{-9999, -2, -1, 0, 1};
  const std::vector<double> snapshot{-9999, -2.5, -1, 0.5, 1};
  HeatDumpColumn h;
  h.ns = 1;
  h.N = 3;
  h.a = -1;
  const struct {
    const char* label;
    int p;
    double value;
    double surface;
    bool anomalous;
    double repaired;
  } cases[] = {
      {"hotter than 70 degrees", 2, 75, 0, true, 70},
      {"colder than -70 degrees", 2, -71, 0, true, -70},
      {"within its neighbours", 2, 0.2, 0, false, 0.2},
      {"above all references by 0.002 K", 2, 1.002, 0, true, 1},
      {"above all by exactly the tolerance", 2, 1.001, 0, false, 1.001},
      {"within the snapshot of the layer above", 1, -2.4, 0, false, -2.4},
      {"below all references", 1, -3, 0, true, -2.5},
      {"the first active layer between the surface and below", 0, -3, -4, false, -3},
      {"the first active layer colder than the surface and below", 0, -5, -4, true, -4},
      {"the lowest layer against the one above", 3, 2, 0, true, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    std::vector<double> T = now;
    T[static_cast<std::size_t>(c.p + 1)] = c.value;
    h.T = T;
    const HeatCheck r = check_temperature(h, snapshot, c.p, c.surface);
    EXPECT_EQ(r.anomalous, c.anomalous);
    if (c.anomalous) {
      EXPECT_DOUBLE_EQ(r.repaired, c.repaired);
    }
  }
  // The lowest layer may move towards a warmer lower boundary.
  std::vector<double> T = now;
  T[4] = 2;
  h.T = T;
  h.T_lower = 3;
  EXPECT_FALSE(check_temperature(h, snapshot, 3, 0).anomalous);
}

// A soil layer at 80 °C under a snow pack: dump mode names the anomaly "heat(3)_", writes
// the binary file in its layout with the heat and snow items and the readable file, and
// the repair brings the layer back to 70 °C.
TEST_F(LayeredSnowColumnTest, HotLayerWritesBothDumpFilesAndIsRepaired) {
  Make(-2, 0);
  Pack(10, -1);
  model_->setDumpOptions({.dump_mode = true, .close_after_dump = false, .repair_after_dump = true,
                          .max_dump_files = 1});
  stack("Soil_Temperature_Stack")(2, 2, 3) = 80;
  Step(0);
  EXPECT_EQ(model_->dump_count(), 1);
  std::vector<std::string> files;
  for (const auto& e : std::filesystem::directory_iterator(dir_.path())) {
    const std::string name = e.path().filename().string();
    if (name.find("dump_row") != std::string::npos) files.push_back(name);
  }
  std::sort(files.begin(), files.end());
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(files[0], "MPI_0_heat(3)_dump_row_2_col_2_substep_1_2020030101.dmp");
  EXPECT_EQ(files[1], files[0] + "_asc");
  // Positions −3..5 (9), land-use layers 0..1: items 1-5, fourteen water arrays, seven heat
  // arrays and dtH, four snow stacks of levels 0..3 and four snow values, soil type, land
  // use 1, date, nW, dt, the position above the first active layer, nH, h, Tair and Ts.
  const std::size_t expected = 4 + 3 * 8 + 2 * 8 + 14 * 9 * 8 + 7 * 9 * 8 + 8 + 4 * 4 * 8 + 4 * 8 + 4 + 8 + 4 * 4 +
                               2 * 8 + 4 + 8 + 4 + 2 * 8;
  EXPECT_EQ(std::filesystem::file_size(dir_.file(files[0])), expected);
  std::ifstream text(dir_.file(files[1]));
  std::string first, swes, dump_swes;
  std::getline(text, first);
  std::getline(text, swes);
  std::getline(text, dump_swes);
  EXPECT_EQ(first, "this file contains some values in human readabel format for layered snow model and heat "
                   "transfer model");
  EXPECT_EQ(swes.rfind("     swes ", 0), 0u);
  EXPECT_EQ(dump_swes, "dump.swes 10\t10\t10\t");
  EXPECT_LE(stack("Soil_Temperature_Stack")(2, 2, 3), 70);
  EXPECT_TRUE(console_.str().find("continuing from now on without that message") != std::string::npos);
}

// With the snow model's energy balance the snow surface takes its temperature from it: a
// balance of 0 with a surface of 260 K under air at 0 °C gives −13 °C (not −13.16 °C), and
// the pack cools from the top, which it does not when a negative balance keeps the surface
// at the top layer's temperature.
TEST_F(LayeredSnowColumnTest, SnowSurfaceFollowsTheSnowModelsEnergyBalance) {
  const auto top_temperature = [&](double eb, double surftemp) {
    MakeBasin();
    Add("EnergyBalance", eb);
    Add("surftemp", surftemp);
    Make(0, 0);
    Pack(20, -1);
    for (int h = 0; h < 24; ++h) Step(h);
    return stack("Temperature_Stack_Snow")(2, 2, 1);
  };
  const double insulated = top_temperature(-1, 260);
  const double radiating = top_temperature(0, 260);
  EXPECT_NEAR(insulated, -1, 0.5);
  EXPECT_LT(radiating, insulated - 3);
  EXPECT_GT(radiating, -13);
  EXPECT_LT(radiating, -6) << "a day at a surface of -13 degrees";
}

}  // namespace
}  // namespace tolvo::test
