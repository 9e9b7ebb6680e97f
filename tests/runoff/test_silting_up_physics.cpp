#include "runoff/silting_up_physics.h"

#include <gtest/gtest.h>

#include <vector>

namespace tolvo {
namespace {

// Kinetic energy of rain per millimetre, USLE (Wischmeier & Smith 1978, Agriculture
// Handbook 537): e = 0.119 + 0.0873 log10(I) MJ/(ha·mm), constant at 0.283 from 76 mm/h;
// in SI units 11.89 + 8.73 log10(I) J/(m²·mm) and 28.33 from 76.2 mm/h.
TEST(SiltingUpPhysics, RainEnergyFollowsTheUsleRelationOfWischmeierAndSmith1978) {
  EXPECT_NEAR(RainEnergyFactor(10), 20.62, 1e-12);
  EXPECT_NEAR(RainEnergyFactor(1), 11.89, 1e-12);
  EXPECT_NEAR(RainEnergyFactor(76.19), 28.33, 0.02);  // continuous at the cap within the rounding of 28.33
  EXPECT_EQ(RainEnergyFactor(76.2), 28.33);
  EXPECT_EQ(RainEnergyFactor(200), 28.33);
  // Drizzle at or below 0.05 mm/h carries no erosive energy.
  EXPECT_EQ(RainEnergyFactor(0.05), 0);
  EXPECT_EQ(RainEnergyFactor(0), 0);
  EXPECT_GT(RainEnergyFactor(0.06), 0);
}

// Mean grain diameter, final infiltration rate and disposition of two soils by hand
// from the built-in formulas and their default parameters: sand (sand 1), and loam
// (sand 0.4, silt 0.4, clay 0.2) 10 days after tillage.
TEST(SiltingUpPhysics, GrainSizesGiveDiameterFinalRateAndDisposition) {
  const SiltingUpParameters p;
  const GrainSizes sand{1, 0, 0, {0, 0, 0, 0}};
  const GrainSizes loam{0.4, 0.4, 0.2, {0, 0, 0, 0}};
  EXPECT_NEAR(MeanGrainDiameter(sand), 354.97, 0.005);
  EXPECT_NEAR(FinalInfiltrationRate(p, MeanGrainDiameter(sand), 1), 13.566, 0.0005);
  EXPECT_NEAR(MeanGrainDiameter(loam), 21.40, 0.005);
  const double loam_rate = FinalInfiltrationRate(p, MeanGrainDiameter(loam), 0.4);
  EXPECT_NEAR(loam_rate, 5.661, 0.0005);
  const double disposition = SiltingUpDisposition(p, MeanGrainDiameter(loam), 0.4, 10);
  EXPECT_NEAR(disposition, 0.0016038, 5e-8);
  EXPECT_EQ(SiltingUpDisposition(p, MeanGrainDiameter(loam), 0.4, 0), 0);

  // The hourly capacity decays from I_0 = 65 mm/h with the accumulated energy to I_inf.
  EXPECT_NEAR(StepInfiltrationCapacity(100, disposition, p.a, loam_rate, 60), 56.21, 0.005);
  EXPECT_DOUBLE_EQ(StepInfiltrationCapacity(0, disposition, p.a, loam_rate, 60), 65);
  EXPECT_NEAR(StepInfiltrationCapacity(1e7, disposition, p.a, loam_rate, 60), loam_rate, 1e-12);
  EXPECT_DOUBLE_EQ(StepInfiltrationCapacity(0, disposition, p.a, loam_rate, 30), 32.5);
}

TEST(SiltingUpPhysics, DaysSinceTillageCountFromTheLastTillage) {
  // Tillage on days 100 and 280; the last one of the previous year stands at 280 - 366.
  const std::vector<int> two = {-86, 100, 280};
  const std::vector<int> three = {250 - 366, 50, 150, 250};
  const std::vector<int> none = {-9999};
  const struct {
    const char* label;
    const std::vector<int>* days;
    int day;
    double expected;
  } cases[] = {
      {"before the first tillage of the year", &two, 1, 87},
      {"on a tillage day", &two, 100, 0.3},
      {"between two tillage days", &two, 150, 50},
      {"on the last tillage day", &two, 280, 0.3},
      {"after the last tillage day", &two, 366, 86},
      {"the middle of three", &three, 200, 50},
      {"before the first of three", &three, 10, 126},
      {"no tillage", &none, 150, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(DaysSinceTillage(c.day, *c.days, 42), c.expected);
  }
}

TEST(SiltingUpPhysics, RainPauseGrowsUntilErosiveRainAndRunoffNeedsTillage) {
  EXPECT_DOUBLE_EQ(NextRainPause(1.0, 0.05, 60), 1.0 + 60.0 / 1440);
  EXPECT_EQ(NextRainPause(1.0, 0.051, 60), 0);
  // Full cover lets no energy reach the soil.
  EXPECT_EQ(StepRainEnergy(1, 30, RainEnergyFactor(30), 60), 0);
  EXPECT_DOUBLE_EQ(StepRainEnergy(0.25, 10, 20, 30), 0.75 * 10 * 20 * 0.5);
  EXPECT_EQ(SiltingUpDirectRunoff(10, 4, true), 6);
  EXPECT_EQ(SiltingUpDirectRunoff(10, 40, true), 0);
  EXPECT_EQ(SiltingUpDirectRunoff(10, 4, false), 0);
}

}  // namespace
}  // namespace tolvo
