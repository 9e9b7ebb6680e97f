#include <gtest/gtest.h>

#include <omp.h>

#include <filesystem>
#include <vector>

#include "subsurface/soil_heat_column.h"
#include "subsurface/soil_model_fixture.h"

namespace tolvo::test {
namespace {

TEST(SoilHeatColumn, ThawDepthWhereTheProfileCrossesFreezing) {
  // Layers of 0.2 m below a surface at 100 m; freezing at −0.5 °C everywhere.
  const std::vector<double> h{100, 99.8, 99.6, 99.4, 99.2};
  const std::vector<double> Tf(5, -0.5);
  // Thawed above, frozen from layer 3: the crossing lies between the centres of layers 2
  // (99.7 m, 1.5 °C) and 3 (99.5 m, −2.5 °C), at 99.7 − 0.2 · 2 / 4 = 99.6 m.
  const std::vector<double> T{0, 3, 1.5, -2.5, -3};
  EXPECT_NEAR(thaw_depth(T, Tf, h, 4, -4), -0.4, 1e-12);
  // All thawed above a frozen lower boundary: the whole column.
  const std::vector<double> warm{0, 3, 2, 1, 0.5};
  EXPECT_NEAR(thaw_depth(warm, Tf, h, 4, -1), -0.8, 1e-12);
  EXPECT_EQ(thaw_depth(warm, Tf, h, 4, 1), 0) << "no frozen ground";
}

// Frozen soil in the groundwater: the layers wholly below the thaw depth that are frozen,
// from the water-table layer down.
TEST(SoilHeatColumn, FrozenSoilBelowTheWaterTable) {
  const std::vector<double> h{100, 99.8, 99.6, 99.4, 99.2};
  const std::vector<double> Tf(5, -0.5);
  const std::vector<double> T{0, 3, 1.5, -2.5, -3};
  const double thaw = thaw_depth(T, Tf, h, 4, -4);
  ASSERT_NEAR(thaw, -0.4, 1e-12);
  // Layer 3 (top at the thaw depth, 0.4 m) does not count; layer 4 (top at 0.6 m) does.
  EXPECT_NEAR(frozen_below_water_table(T, Tf, h, 4, thaw, 1), 0.2, 1e-12);
  EXPECT_NEAR(frozen_below_water_table(T, Tf, h, 4, thaw, 4), 0.2, 1e-12);
  EXPECT_EQ(frozen_below_water_table(T, Tf, h, 4, thaw, 5), 0) << "the water table below the column";
  const std::vector<double> warm{0, 3, 2, 1, 0.5};
  EXPECT_EQ(frozen_below_water_table(warm, Tf, h, 4, 0, 1), 0);
  const std::vector<double> frozen{0, -1, -1, -1, -1};
  EXPECT_NEAR(frozen_below_water_table(frozen, Tf, h, 4, 0, 2), 0.6, 1e-12) << "frozen from the surface";
}

class SoilHeatModelTest : public SoilModelTest {
 protected:
  template <class Body>
  int InFolder(Body&& body) {
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(dir_.path());
    const int code = CodeOf(body);
    std::filesystem::current_path(previous);
    return code;
  }
  static std::string Heat(int method) {
    return "[heat_transfer]\n1\n" + std::to_string(method) +
           "\n0\n0\n10 base\n-0.01 lapse\n800\n1500\n2.0\n1e-11\n0.5562\n2.33\n4187\n1940\n2090\n"
           "334000\n1000\n1.22\n0.5\n60\n1800\n1\n1\ntemper.txt\ntemper.stat 0\ntemper.asc\n0\nthaw.asc\n0\n";
  }
  // Runs `hours` hourly steps at air temperature `air`; the soil temperatures of cell (2, 2).
  std::vector<double> Run(int method, double air, int hours) {
    MakeBasin();
    Add("precipitation", 0);
    Add("temperature", air);
    EXPECT_EQ(Build(SoilSectionText{}, Heat(method)), 0) << console_.str();
    EXPECT_EQ(InFolder([&] {
                model_->selectInfiltrationInput(false);
                model_->InitTracers(0, {}, registry_, StatisticsRegistry::kCapacity);
              }),
              0);
    for (int h = 0; h < hours; ++h) {
      const ModelDate d{2020, 1, 1 + h / 24, h % 24 + 1};
      EXPECT_EQ(InFolder([&] {
                  model_->prepareTimeStep(d);
                  model_->SubStep(d);
                  model_->concentrateSubbasinRunoff(d);
                }),
                0)
          << console_.str();
    }
    const StackView T = stack("Soil_Temperature_Stack");
    std::vector<double> out;
    for (int l = 0; l <= 5; ++l) out.push_back(T(2, 2, l));
    return out;
  }
};

// The columns start at 0 °C above a lower boundary of 5 °C. Under warm air they warm from
// the top, under freezing air the top freezes and the thaw depth stays 0; explicit and
// implicit schemes agree within a tenth of a kelvin after two days.
TEST_F(SoilHeatModelTest, ColumnsFollowTheAirTemperature) {
  const std::vector<double> implicit = Run(11, 10, 48);
  for (int l = 1; l <= 5; ++l) {
    SCOPED_TRACE(l);
    EXPECT_GT(implicit[static_cast<std::size_t>(l)], 0.5);
    EXPECT_LT(implicit[static_cast<std::size_t>(l)], 10);
  }
  EXPECT_GT(implicit[1], implicit[3]) << "warmed from the top";
  const std::vector<double> explicit_run = Run(1, 10, 48);
  for (int l = 1; l <= 5; ++l) {
    EXPECT_NEAR(explicit_run[static_cast<std::size_t>(l)], implicit[static_cast<std::size_t>(l)], 0.1) << l;
  }
  const std::vector<double> cold = Run(11, -10, 48);
  EXPECT_LT(cold[1], -1);
  EXPECT_GT(cold[1], -10);
  EXPECT_EQ(grid("ThawDepthTMod")(2, 2), 0);
}

// The temperatures do not depend on the number of threads.
TEST_F(SoilHeatModelTest, SameTemperaturesUnderOneAndFourThreads) {
  const int threads = omp_get_max_threads();
  omp_set_num_threads(1);
  const std::vector<double> one = Run(12, 6, 6);
  omp_set_num_threads(4);
  const std::vector<double> four = Run(12, 6, 6);
  omp_set_num_threads(threads);
  EXPECT_EQ(one, four);
}

}  // namespace
}  // namespace tolvo::test
