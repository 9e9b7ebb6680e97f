#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "subsurface/column_fixture.h"
#include "subsurface/root_zone_kernels.h"

namespace tolvo::test {
namespace {

class RootZoneTest : public ColumnTest {
 protected:
  RootZoneTest() : out_(6 * 9, 0.0) {}
  RootZoneArrays Arrays() {
    std::span<double> o(out_);
    std::fill(out_.begin(), out_.end(), 0.0);
    return {c_.d, c_.theta_s, c_.theta_r, c_.theta, c_.z, o.subspan(0, 9), o.subspan(9, 9), o.subspan(18, 9),
            o.subspan(27, 9), o.subspan(36, 9)};
  }
  std::vector<double> out_;
};

TEST_F(RootZoneTest, RootDistributionCases) {
  const RootZoneInput in{.potential_evaporation = 0, .potential_transpiration = 1e-7, .vegetation_cover = 1,
                         .dt = 3600, .evap_max_depth = 0.1, .G = 8};
  // Unstressed profile: the weights of the root zone sum to 1 and carry all transpiration.
  Fill(0.3);
  const RootParameters rp{.root_dist = 1, .h_redu_dry = 3.45, .t_redu_wet = 0.95, .limit_redu_wet = 0.5};
  double depth = 0.05;
  RootZoneArrays a = Arrays();
  root_distribution(soil_, p_.n, rp, in, depth, a);
  EXPECT_EQ(depth, 0.1) << "a root depth below the first layer is raised to it";
  depth = 0.35;
  a = Arrays();
  root_distribution(soil_, p_.n, rp, in, depth, a);
  const std::vector<double> unstressed(a.weight.begin(), a.weight.end());
  EXPECT_NEAR(std::accumulate(unstressed.begin(), unstressed.end(), 0.0), 1, 1e-12);
  EXPECT_NEAR(a.et[1] + a.et[2] + a.et[3] + a.et[4], 1e-7, 1e-20);

  struct Case {
    const char* name;
    double theta1;
    RootParameters rp;
    double transpired;  // share of Tp left
  };
  const Case cases[] = {
      {"too wet with LimitReduWet 1 reduces nothing", 0.43, {1, 3.45, 0.5, 1.0}, 1.0},
      {"at or below θr layer 1 loses its weight, layer 2 takes up to twice its own", 0.078, rp, -1},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    Fill(0.3);
    c_.theta[1] = k.theta1;
    a = Arrays();
    depth = 0.35;
    root_distribution(soil_, p_.n, k.rp, in, depth, a);
    double sum = 0;
    for (int i = 1; i <= p_.n; ++i) {
      EXPECT_LE(a.weight[i], 3 * unstressed[static_cast<std::size_t>(i)] + 1e-15) << i;
      sum += a.weight[i];
    }
    if (k.transpired > 0) {
      EXPECT_NEAR(sum, k.transpired, 1e-12);
    } else {
      EXPECT_EQ(a.weight[1], 0);
      const double w1 = unstressed[1], w2 = unstressed[2];
      EXPECT_NEAR(a.weight[2], std::min(w2 + w1, 3 * w2), 1e-15);
      // The lost weight feeds the soil evaporation demand of the top layer.
      EXPECT_GE(a.et[0], 0);
    }
  }
}

TEST_F(RootZoneTest, StressAboveTheWaterTableIsLost) {
  Fill(0.3);
  c_.theta[2] = 0.078;
  const RootParameters rp{.root_dist = 1, .h_redu_dry = 3.45, .t_redu_wet = 0.95, .limit_redu_wet = 0.5};
  RootZoneInput in{.potential_evaporation = 0, .potential_transpiration = 1e-7, .vegetation_cover = 1, .dt = 3600,
                   .evap_max_depth = 0, .G = 2};
  double depth = 0.35;
  RootZoneArrays a = Arrays();
  root_distribution(soil_, p_.n, rp, in, depth, a);
  const double w3 = a.weight[3];
  in.G = 8;
  a = Arrays();
  root_distribution(soil_, p_.n, rp, in, depth, a);
  EXPECT_GT(a.weight[3], w3) << "with the water table deeper, layer 3 takes the lost weight";
}

TEST_F(RootZoneTest, MacroporesMoveInputIntoLayersAndCloseTheBalance) {
  soil_.PMacroThresh = 1e-6;
  soil_.MacroDepth = 0.45;
  soil_.CapacityRedu = 0.5;
  const double F = 3600 * 1000;
  struct Case {
    const char* name;
    double capacity;
    double rate;
    bool moves;
  };
  const Case cases[] = {{"capacity 0 moves nothing", 0, 1e-4, false},
                        {"input below the threshold moves nothing", 1e-5, 1e-7, false},
                        {"input above the threshold fills from the deepest layer", 1e-5, 1e-4, true}};
  std::vector<double> cap(9, 0.0), m(9, 0.0);
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    soil_.MacroCapacity = k.capacity;
    Fill(0.2);
    std::fill(m.begin(), m.end(), 0.0);
    const double before = Water();
    double r = k.rate;
    const double mm = macropore_infiltration(r, soil_, p_.n, c_.d, cap, c_.theta_s, c_.theta, m, F);
    EXPECT_NEAR((Water() - before) * 1000, mm, 1e-9);
    EXPECT_NEAR(r, k.rate - mm / F, 1e-18);
    EXPECT_EQ(mm > 0, k.moves);
    if (k.moves) {
      EXPECT_GT(m[4], 0) << "layer 4 (centre 0.35 m) is the deepest macropore layer";
      EXPECT_EQ(m[5], 0);
    }
  }
}

TEST_F(RootZoneTest, MeanThetaInDepthRange) {
  Fill(0.3);
  c_.theta[1] = 0.43;
  const double nodata = -9999;
  struct Case {
    const char* name;
    int mode;
    double top, bottom, expected;
  };
  const double column = 0.1 * 0.43 + 0.7 * 0.3;
  const Case cases[] = {
      {"9999 covers the column (amount)", 1, 0, 9999, column},
      {"deeper than the column covers it", 1, 0, 5, column},
      {"range inside one layer", 1, 0.02, 0.07, 0.05 * 0.43},
      {"mean relative saturation of layers 1 and 2", 2, 0, 0.2, (1.0 + 0.3 / 0.43) / 2},
      {"empty range returns 1", 2, 0.3, 0.3, 1},
      {"bottom 0 gives nodata", 1, 0, 0, nodata},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    EXPECT_NEAR(mean_theta_in_depth_range(p_.n, c_.d, c_.theta, c_.theta_s, k.mode, k.top, k.bottom, nodata),
                k.expected, 1e-7);
  }
}

TEST_F(RootZoneTest, GroundwaterLevelChange) {
  Fill(0.3);
  std::vector<double> U(9, 0.0);
  c_.q[3] = -2e-7;
  const SaturatedZoneArrays a{c_.z, c_.theta, c_.theta_s, c_.theta0, U, c_.d, c_.q};
  WaterTableMove m{.old_layer = 4, .new_layer = 4, .old_height = c_.z[4] + 0.05, .new_height = c_.z[4] + 0.05,
                   .dt = 3600, .F = 3.6e6, .baseflow = 0, .groundwater_model = false, .external_table = true};
  EXPECT_DOUBLE_EQ(groundwater_level_change(m, a, 0, 0), 3.6e6 * 2e-7) << "external table: −F · q[G−1]";
  m.external_table = false;
  EXPECT_EQ(groundwater_level_change(m, a, 0, 0), 0) << "a table that stays gives no storage change";
  // Falling from layer 4 into layer 5: the drained part of layer 4 plus the change of layer 5.
  m.new_layer = 5;
  c_.theta[5] = 0.25;
  EXPECT_NEAR(groundwater_level_change(m, a, 0, 0),
              (c_.z[4] - m.old_height) * (0.43 - 0.3) * 1000 + (0.25 - 0.3) * 0.1 * 1000, 1e-9);
}

}  // namespace
}  // namespace tolvo::test
