#include <gtest/gtest.h>

#include <string>

#include "framework/error_code.h"
#include "subsurface/soil_model_fixture.h"

namespace tolvo::test {
namespace {

const char* const kHeatOn =
    "[heat_transfer]\n1\n11\n0\n0\n10 base\n-0.01 lapse\n700\n1400\n0.5\n1e-11\n0.56\n2.3\n4180\n1900\n2000\n"
    "330000\n1000\n1.3\n0.5\n60\n1800\n1\n1\ntemper.txt\ntemper.stat 0\ntemper.asc\n0\nthaw.asc\n0\n";

std::string SnowModel(int on) {
  std::string s = "[LayeredSnowModel]\n" + std::to_string(on) + "\n1\n500\n0\n0.5\n10\n0.1\n1\n1\n";
  for (const char* name : {"swes", "swel", "tsnow", "thsnow", "hhsnow", "hgsnow", "qsnow", "dsnow", "rhosnow", "upper"}) {
    s += std::string(name) + ".stk\n0\n";
  }
  return s;
}

std::string SnowTypes(int layers_of_second) {
  std::string s =
      "[LayeredSnowProperties]\n2\n1 snow { method = MultipleHorizons; layers = 3; ksat = 1e-4; theta_sat = 0.9; "
      "theta_res = 0.01; alpha = 10; Par_n = 2; thickness = 0.1; DryDensity = 250; }\n";
  s += "2 firn { method = MultipleHorizons; layers = " + std::to_string(layers_of_second) +
       "; ksat = 1e-4; theta_sat = 0.8; theta_res = 0.01; alpha = 10; Par_n = 2; thickness = 0.2; }\n";
  return s;
}

TEST_F(SoilModelTest, LayeredSnowNeedsHeatTransfer) {
  EXPECT_EQ(Build(SoilSectionText(), SnowModel(1) + SnowTypes(3)), kLayeredSnowWithoutHeat);
  EXPECT_TRUE(Logged("Error in model configuration: when using [LayeredSnowModel], [heat_transfer] must be used"));
  MakeBasin();
  ASSERT_EQ(Build(SoilSectionText(), SnowModel(0)), 0) << console_.str();
  EXPECT_FALSE(model_->isLayeredSnowActive());
  EXPECT_EQ(IndexOf("theta_Snow"), 0);
}

TEST_F(SoilModelTest, LayeredSnowTypesMustAgree) {
  Add("temperature", 1);
  EXPECT_EQ(Build(SoilSectionText(), std::string(kHeatOn) + SnowModel(1) + SnowTypes(2)), kSoilTableError);
  EXPECT_TRUE(Logged("the numbers of snow layers has to be equal for all snow types"));
  MakeBasin();
  Add("temperature", 1);
  EXPECT_EQ(Build(SoilSectionText(), std::string(kHeatOn) + SnowModel(1) + "[LayeredSnowProperties]\n1\n1 snow 0.3\n"),
            kSoilTableError);
  EXPECT_TRUE(Logged("entries in [LayeredSnowProperties] must use the MultipleHorizons syntax"));
}

TEST_F(SoilModelTest, LayeredSnowColdStart) {
  Add("temperature", 1);
  ASSERT_EQ(Build(SoilSectionText(), std::string(kHeatOn) + SnowModel(1) + SnowTypes(3)), 0) << console_.str();
  EXPECT_TRUE(model_->isLayeredSnowActive());
  EXPECT_EQ(model_->getFreshSnowTemperatureOffset(), 0.5);
  EXPECT_EQ(model_->snow_layer_count(), 3);
  const SoilTable& types = model_->getLayeredSnowTable();
  ASSERT_EQ(types.size(), 3u);
  EXPECT_EQ(types[1].DryDensity[2], 250);
  EXPECT_EQ(types[2].DryDensity[2], 1400) << "not given: the [heat_transfer] dry density";
  for (const char* id : {"theta_Snow", "geodetic_height_Snow", "hydraulic_heads_Snow", "SnowWaterEquivalentSolid",
                         "SnowWaterEquivalentLiquid", "SnowLayerThickness", "SnowDensity", "upperIndexSnow",
                         "Temperature_Stack_Snow", "q_down_Snow"}) {
    EXPECT_GT(IndexOf(id), 0) << id;
  }
  const double surface = stack("geodetic_heads")(2, 2, 0);
  EXPECT_DOUBLE_EQ(stack("geodetic_height_Snow")(2, 2, 3), surface);
  EXPECT_DOUBLE_EQ(stack("geodetic_height_Snow")(2, 2, 0), surface + 0.3);
  EXPECT_EQ(stack("theta_Snow")(2, 2, 2), 0.01);
  EXPECT_EQ(stack("SnowWaterEquivalentSolid")(2, 2, 1), 0);
  EXPECT_EQ(stack("SnowLayerThickness")(2, 2, 1), kNodata);
  EXPECT_EQ(grid("upperIndexSnow")(2, 2), 3);
  EXPECT_EQ(stack("q_down_Snow")(2, 2, 3), 0);
  EXPECT_EQ(stack("theta_Snow")(1, 3, 2), kNodata) << "a cell without zone";
}

}  // namespace
}  // namespace tolvo::test
