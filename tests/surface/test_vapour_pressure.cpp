#include "surface/vapour_pressure.h"

#include <gtest/gtest.h>

namespace tolvo {
namespace {

// Reference values of Allen et al. (1998), FAO Irrigation and Drainage Paper 56, Annex 2,
// Tables 2.3 (saturation vapour pressure and slope, kPa) and 2.2 (psychrometric constant
// at the pressure of a given altitude), converted to hPa.
TEST(VapourPressureTest, MatchesTheFaoTables) {
  const struct {
    double t;
    double es;     // hPa
    double slope;  // hPa/K
  } cases[] = {{1, 6.57, 0.47}, {20, 23.39, 1.45}, {38, 66.24, 3.58}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.t);
    EXPECT_NEAR(SaturationVapourPressure(c.t), c.es, 0.02);
    EXPECT_NEAR(SaturationSlope(c.t), c.slope, 0.01);
  }
  // FAO-56 Example 19: 1012 hPa (the given 101.2 kPa) at 38 degrees gives 0.0673 kPa/K.
  EXPECT_NEAR(PsychrometricConstant(1012, 38), 0.673, 0.006);
  EXPECT_DOUBLE_EQ(AirPressureAtElevation(0, 10), 1013);
  // 1000 m at 10 degrees: 1013·exp(-1000/8284.3).
  EXPECT_NEAR(AirPressureAtElevation(1000, 10), 897.8, 0.1);
}

}  // namespace
}  // namespace tolvo
