// Building the soil model on one process: what it registers, the start state of its
// columns, its control-point files, option tag and model-log lines, and its refusals.
#include "subsurface/unsatzonmodellklasse.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>

#include "framework/modelobject.h"
#include "subsurface/soil_model_fixture.h"

namespace tolvo {
namespace {

using test::ReadFile;
using test::SoilModelTest;
using test::SoilSectionText;
using test::WriteFile;

// An ASCII grid of the fixture's size with every value `v`.
std::string AsciiGrid(double v) {
  std::string text = "ncols 3\nnrows 4\nxllcorner 0\nyllcorner 0\ncellsize 100\nNODATA_value -9999\n";
  for (int r = 0; r < 4; ++r) text += std::to_string(v) + " " + std::to_string(v) + " " + std::to_string(v) + "\n";
  return text;
}

TEST_F(SoilModelTest, SwitchedOffRegistersNothingAndHandsOverNothing) {
  const int used = CountUsed();
  SoilSectionText section;
  section.module_switch = 0;
  section.block = "not a block\n";
  ASSERT_EQ(Build(section), 0) << console_.str();
  EXPECT_EQ(CountUsed(), used);
  EXPECT_TRUE(model_->getStorageFileName().empty());
  EXPECT_TRUE(model_->getKelsqd().empty());
  EXPECT_TRUE(model_->getKelsqi().empty());
  EXPECT_EQ(model_->getRiverflowTable(), nullptr);
  EXPECT_EQ(model_->getSubbasinTable(), nullptr);
}

// L = 5 layers of 0.1 m, ini_gw_level 2: n = floor(4 / 2) + 1 = 3 unsaturated layers in
// hydrostatic equilibrium with the middle of layer 4; layers 4 and 5 saturated.
TEST_F(SoilModelTest, ComputedStartStateHasItsWaterTableInTheFourthLayer) {
  SoilSectionText section;
  section.block = "1 2\n0.0005 2\n1 1\n1 1\n20 -1\n1 1\n0 0\n";
  ASSERT_EQ(Build(section), 0) << console_.str();
  EXPECT_EQ(model_->soil_layer_count(), 5);
  const SoilRecord& soil = soils_[1];
  const StackView theta = stack("theta");
  const StackView g = stack("geodetic_heads");
  const StackView h = stack("hydraulic_heads");
  const int r = 2, c = 2;
  for (int k = 0; k <= 5; ++k) EXPECT_NEAR(g(r, c, k), kElevation - 0.1 * k, 1e-12) << k;
  // Suctions of the layer middles above the middle of layer 4: 0.3, 0.2 and 0.1 m.
  const double suction[] = {0, 0.3, 0.2, 0.1};
  for (int k = 1; k <= 3; ++k) {
    EXPECT_NEAR(theta(r, c, k), soil.ThetaForSuction(k, suction[k]), 1e-12) << k;
    EXPECT_LT(theta(r, c, k), 0.43);
  }
  EXPECT_LT(theta(r, c, 1), theta(r, c, 2));
  EXPECT_LT(theta(r, c, 2), theta(r, c, 3));
  EXPECT_DOUBLE_EQ(theta(r, c, 0), 0.43);
  EXPECT_DOUBLE_EQ(theta(r, c, 4), 0.43);
  EXPECT_DOUBLE_EQ(theta(r, c, 5), 0.43);
  EXPECT_NEAR(h(r, c, 1), kElevation - 0.05 - soil.SuctionForTheta(1, theta(r, c, 1)), 1e-12);
  EXPECT_EQ(grid("groundwater_level")(r, c), 4);
  EXPECT_NEAR(grid("groundwater_distance")(r, c), -0.3, 1e-12);
  EXPECT_DOUBLE_EQ(grid("Theta_in_GWLEVEL")(r, c), theta(r, c, 3));
  EXPECT_NEAR(grid("tangens_beta")(r, c), 45 * 3.141592653 / 180, 1e-15);
  // SB_1: the water of the upper 0.25 m over 0.25 m.
  EXPECT_EQ(grid("SB_1_grid")(r, c), 0);
  EXPECT_EQ(grid("directflow")(r, c), 0);
  // A cell without sub-basin keeps nodata.
  EXPECT_EQ(grid("groundwater_level")(1, 3), kNodata);
  EXPECT_EQ(theta(1, 3, 2), kNodata);
  // The sub-basin parameters in minutes, handed over per sub-basin.
  ASSERT_EQ(model_->getKelsqd().size(), 3u);
  EXPECT_DOUBLE_EQ(model_->getKelsqd()[1], 0.06);
  EXPECT_DOUBLE_EQ(model_->getKelsqd()[2], 120);
  ASSERT_NE(model_->getSubbasinTable(), nullptr);
  EXPECT_EQ(model_->getSubbasinTable()->zone_count, 2);
  EXPECT_EQ(model_->getStorageFileName(), "storage.ste_0");
}

TEST_F(SoilModelTest, StartProfilesAtTheEdgesOfTheColumn) {
  const struct {
    const char* label;
    int read_code;
    std::string ini_gw_level;
    double distance;     // groundwater distance file value for read code 2
    int first_saturated;  // 6: none
  } cases[] = {
      {"water table within the first layer saturates every layer", 2, "2", -0.05, 1},
      {"ini_gw_level 1: every layer unsaturated above the column bottom", 0, "1", 0, 6},
      {"ini_gw_level below 1 keeps n within the column", 0, "0.3", 0, 6},
      {"water table below the column", 2, "2", -3, 6},
      {"water table in the third layer", 2, "2", -0.25, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    MakeBasin();
    WriteFile(dir_.file("gwst.asc"), AsciiGrid(c.distance));
    SoilSectionText section;
    section.storage_read_code = c.read_code;
    section.ini_gw_level = c.ini_gw_level;
    ASSERT_EQ(Build(section), 0) << console_.str();
    const StackView theta = stack("theta");
    for (int k = 1; k <= 5; ++k) {
      if (k >= c.first_saturated) {
        EXPECT_DOUBLE_EQ(theta(3, 1, k), 0.43) << k;
      } else {
        EXPECT_GT(theta(3, 1, k), 0.078) << k;
        EXPECT_LT(theta(3, 1, k), 0.43) << k;
      }
    }
    // The bottom layer of an unsaturated column stands 0.05 m above the water table.
    if (c.first_saturated == 6) {
      EXPECT_NEAR(theta(3, 1, 5), soils_[1].ThetaForSuction(5, 0.05), 1e-12);
    }
    // Read code 2 keeps the distance it read.
    if (c.read_code == 2) {
      EXPECT_DOUBLE_EQ(grid("groundwater_distance")(3, 1), c.distance);
    }
  }
}

}  // namespace
}  // namespace tolvo
