// Lakes at the soil model's set-up, the external groundwater table and the pumpable
// groundwater: the column fixture is five layers of 0.1 m (θs 0.43) under a surface at
// 500 m; cell (2, 2) is the lake cell.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <string>

#include "subsurface/soil_external_groundwater.h"
#include "subsurface/soil_model_fixture.h"
#include "tables/irrigation_table.h"

namespace tolvo {
namespace {

using test::SoilModelTest;
using test::SoilSectionText;
using test::WriteFile;

std::string AsciiGrid(double v) {
  std::string text = "ncols 3\nnrows 4\nxllcorner 0\nyllcorner 0\ncellsize 100\nNODATA_value -9999\n";
  for (int r = 0; r < 4; ++r) text += std::to_string(v) + " " + std::to_string(v) + " " + std::to_string(v) + "\n";
  return text;
}

std::string LakeSection(int on, int method) {
  return "[lake_model]\n" + std::to_string(on) + " lakes\n" + std::to_string(method) + " method\n";
}

class SoilLakeTest : public SoilModelTest {
 protected:
  // Lake cell (2, 2) with a largest ponding depth of 0.2 m (read in m, used in mm).
  void AddLakeGrids() {
    GridView codes = Add("lake_codes", kNodata);
    codes(2, 2) = 1;
    Add("max_ponding_storage", 0.2);
  }
};

TEST_F(SoilLakeTest, LakeCellsStartSaturatedAsTheReadCodeAndPondingSay) {
  const struct {
    const char* label;
    int read_code;
    int method;
    double ponding_mm;  // of the ponding file read on a warm start
    bool reset;
  } cases[] = {
      {"cold start, method 1", 0, 1, 0, true},
      {"cold start, method 2", 0, 2, 0, true},
      {"warm start, method 1, ponding above 1 mm", 2, 1, 1.5, true},
      {"warm start, method 1, ponding of exactly 1 mm", 2, 1, 1.0, false},
      {"warm start, method 2, ponding above 0.3 mm", 2, 2, 0.5, true},
      {"warm start, method 2, ponding of exactly 0.3 mm", 2, 2, 0.3, false},
      {"negative read code", -1, 1, 5, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    MakeBasin();
    AddLakeGrids();
    WriteFile(dir_.file("gwst.asc"), AsciiGrid(-0.25));
    WriteFile(dir_.file("pond.asc"), AsciiGrid(c.ponding_mm));
    SoilSectionText section;
    section.pond = 1;
    section.storage_read_code = c.read_code;
    ASSERT_EQ(Build(section, LakeSection(1, c.method)), 0) << console_.str();
    EXPECT_EQ(model_->lake_switch(), 1);
    const StackView theta = stack("theta");
    for (int k = 1; k <= 4; ++k) {
      if (c.reset) {
        EXPECT_DOUBLE_EQ(theta(2, 2, k), 0.43) << k;
      } else {
        EXPECT_DOUBLE_EQ(theta(2, 2, k), theta(2, 1, k)) << k;
      }
    }
    // The last layer keeps its value; the neighbour is no lake.
    EXPECT_DOUBLE_EQ(theta(2, 2, 5), theta(2, 1, 5));
    EXPECT_EQ(grid("groundwater_level")(2, 2), c.reset ? 1 : grid("groundwater_level")(2, 1));
    EXPECT_EQ(grid("groundwater_distance")(2, 2), c.reset ? 0 : grid("groundwater_distance")(2, 1));
    // Method 2 sinks the lake cell by its ponding depth, reset or not, and flattens it when
    // it resets it.
    const bool sinks = c.method == 2;
    EXPECT_NEAR(grid("dem")(2, 2), sinks ? kElevation - 0.2 : kElevation, 1e-12);
    EXPECT_EQ(grid("dem")(2, 1), kElevation);
    EXPECT_EQ(grid("slope_angle")(2, 2), sinks && c.reset ? 0 : 45);
    EXPECT_EQ(grid("slope_angle")(2, 1), 45);
  }
}

// A warm start from the stored columns (read codes 1 and 3) continues the earlier run: a
// lake cell that still holds ponding water keeps the water contents, water table and
// heads it had, while method 2 still sinks and flattens its terrain as on any start.
TEST_F(SoilLakeTest, WarmStartFromStoredColumnsKeepsTheLakeCellsWater) {
  const struct {
    const char* label;
    int read_code;
    int method;
  } cases[] = {
      {"read code 1, method 1", 1, 1},
      {"read code 3, method 1", 3, 1},
      {"read code 1, method 2", 1, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    MakeBasin();
    AddLakeGrids();
    SoilSectionText section;
    section.pond = 1;
    ASSERT_EQ(Build(section, LakeSection(1, c.method)), 0) << console_.str();
    // The earlier run left the lake cell a little below saturation, its table in layer 3.
    for (int k = 1; k <= 4; ++k) stack("theta")(2, 2, k) = 0.42;
    grid("groundwater_level")(2, 2) = 3;
    grid("groundwater_distance")(2, 2) = -0.25;
    modelobject writer(log_, "c", {.ascii = true}, dir_.path().string() + "/", dir_.path().string() + "/");
    writer.set_geometry(settings_.geometry);
    writer.set_strip(settings_.strip);
    writer.WriteStackFile("theta.asc", stack("theta"), 5, true, false, false);
    writer.WriteStackFile("hgeo.asc", stack("geodetic_heads"), 5, true, false, false);
    writer.WriteStackFile("hh.asc", stack("hydraulic_heads"), 5, true, false, false);
    for (const auto& [file, id] : {std::pair{"gwst.asc", "groundwater_distance"},
                                   {"gwlv.asc", "groundwater_level"},
                                   {"gwth.asc", "Theta_in_GWLEVEL"},
                                   {"qb.asc", "baseflow"}}) {
      writer.WriteGridFile(file, grid(id), true, false, false);
    }
    WriteFile(dir_.file("pond.asc"), AsciiGrid(5));

    MakeBasin();
    AddLakeGrids();
    section.storage_read_code = c.read_code;
    ASSERT_EQ(Build(section, LakeSection(1, c.method)), 0) << console_.str();
    for (int k = 1; k <= 4; ++k) EXPECT_DOUBLE_EQ(stack("theta")(2, 2, k), 0.42) << k;
    EXPECT_EQ(grid("groundwater_level")(2, 2), 3);
    EXPECT_DOUBLE_EQ(grid("groundwater_distance")(2, 2), -0.25);
    const bool sinks = c.method == 2;
    EXPECT_NEAR(grid("dem")(2, 2), sinks ? kElevation - 0.2 : kElevation, 1e-12);
    EXPECT_EQ(grid("slope_angle")(2, 2), sinks ? 0 : 45);
  }
}

TEST_F(SoilLakeTest, SwitchesAndRefusalsOfTheLakeSection) {
  const struct {
    const char* label;
    bool lake_grid;
    bool hru;
    int pond;
    std::string section;
    int code;
    const char* entry;
  } cases[] = {
      {"no lake grid", false, false, 1, LakeSection(1, 1), 0, "no LAKE-grid was found in unsatzon_model\n"
                                                             "Lake modelling is switched off for unsatzon_model."},
      {"lakes switched off", true, false, 1, LakeSection(0, 1), 0, ""},
      {"hydrologic response units", true, true, 1, LakeSection(1, 1), 0, ""},
      {"lakes without ponding", true, false, 0, LakeSection(1, 1), 215,
       "ERROR:\n\n=======================================\n!!!! ERROR !!!! \n\nError in initialization method for "
       "[lake_model].\npond_use must be set in unsatzon_model\nfor using the [lake_model]"},
      {"method 3", true, false, 1, LakeSection(1, 3), 215,
       "Allowed values are 1 (no change of grids) or 2 (adjust DEM, SLOPE, DRAIN)."},
      {"no method", true, false, 1, "[lake_model]\n1 lakes\n", 17, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    MakeBasin();
    console_.str("");
    settings_.spin_up = c.hru ? 1 : 0;
    if (c.lake_grid) AddLakeGrids();
    if (c.hru) {
      Add("HydrologicResponseUnits", 1);
      Add("MasterHydrologicResponseUnits", 1);
    }
    SoilSectionText section;
    section.pond = c.pond;
    if (c.pond == 1 && !c.lake_grid) Add("max_ponding_storage", 0.2);
    EXPECT_EQ(Build(section, c.section), c.code) << console_.str();
    if (*c.entry != '\0') {
      EXPECT_TRUE(Logged(c.entry)) << console_.str();
    }
    if (c.code == 0) {
      EXPECT_EQ(model_->lake_switch(), 0);
      EXPECT_LT(stack("theta")(2, 2, 1), 0.43);
    }
  }
}

// A hand-made column: surface 500 m, five layers of 0.1 m, θs 0.43, field capacity 0.3.
struct HandColumn {
  std::array<double, 6> g{500, 499.9, 499.8, 499.7, 499.6, 499.5};
  std::array<double, 6> theta{0, 0.35, 0.35, 0.35, 0.35, 0.43};
  std::array<double, 6> d{0, 0.1, 0.1, 0.1, 0.1, 0.1};
  std::array<double, 6> theta_s{0, 0.43, 0.43, 0.43, 0.43, 0.43};
  std::array<double, 6> fc{0, 0.3, 0.3, 0.3, 0.3, 0.3};
  ExternalTableColumn view() { return {.g = g, .theta = theta, .d = d, .theta_s = theta_s, .theta_fc = fc, .L = 5}; }
  double water_mm() const {
    double w = 0;
    for (int k = 1; k <= 5; ++k) w += 1000 * theta[static_cast<std::size_t>(k)] * d[static_cast<std::size_t>(k)];
    return w;
  }
};

// Expected amounts by hand: a falling table drains (θs − FC) = 0.13 over the height it
// passes, a rising one fills the deficit θs − θ = 0.08 of what it passes.
TEST(ExternalGroundwaterTable, FallingAndRisingTablesMoveTheWaterTheyPass) {
  const struct {
    const char* label;
    int r;
    double H, D;
    double balance_mm;
    int level;
    double table_m;
    std::array<double, 6> theta;  // expected contents
  } cases[] = {
      {"falling within layer 2", 2, 499.85, 499.82, -3.9, 2, 499.82, {0, 0.35, 0.311, 0.35, 0.35, 0.43}},
      {"falling into layer 4", 2, 499.85, 499.65, -26, 4, 499.65, {0, 0.35, 0.285, 0.22, 0.285, 0.43}},
      {"falling below the column is held at its bottom", 2, 499.85, 499.0, -45.5, 5, 499.5,
       {0, 0.35, 0.285, 0.22, 0.22, 0.3}},
      {"rising within layer 3", 3, 499.72, 499.78, 4.8, 3, 499.78, {0, 0.35, 0.35, 0.398, 0.35, 0.43}},
      {"rising from layer 4 into layer 2", 4, 499.62, 499.85, 20, 2, 499.85, {0, 0.35, 0.39, 0.43, 0.43, 0.43}},
      {"unchanged", 3, 499.72, 499.72, 0, 3, 499.72, {0, 0.35, 0.35, 0.35, 0.35, 0.43}},
      {"rising above the surface fills layer 1 to saturation", 1, 499.95, 501, 8, 1, 501,
       {0, 0.43, 0.35, 0.35, 0.35, 0.43}},
      {"rising above the surface from layer 3", 3, 499.72, 501, 24, 1, 501, {0, 0.43, 0.43, 0.43, 0.35, 0.43}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    HandColumn col;
    const double before = col.water_mm();
    const ExternalTableMove move = move_to_external_table(col.view(), c.r, c.H, c.D);
    EXPECT_NEAR(move.balance_mm, c.balance_mm, 1e-9);
    EXPECT_NEAR(move.balance_mm, col.water_mm() - before, 1e-10);
    EXPECT_EQ(move.level, c.level);
    EXPECT_DOUBLE_EQ(move.table_m, c.table_m);
    for (int k = 1; k <= 5; ++k) EXPECT_NEAR(col.theta[static_cast<std::size_t>(k)], c.theta[k], 1e-12) << k;
  }
}

TEST_F(SoilModelTest, ExternalTableOverManyStepsBooksEveryMoveInBalance) {
  ASSERT_EQ(Build(SoilSectionText()), 0) << console_.str();
  GridView table = grid("GWTableExtern");
  const GridView balance = grid("Balance");
  const StackView theta = stack("theta");
  const auto water_mm = [&](int r, int c) {
    double w = 0;
    for (int k = 1; k <= 5; ++k) w += 1000 * 0.1 * theta(r, c, k);
    return w;
  };
  // Tables of a wandering external model: falling, rising, below the column, above the
  // surface, nodata.
  const double offsets[] = {-0.05, -0.12, -0.33, -0.9, -0.41, -0.18, 0.02, -0.07, -0.26, -0.6, -0.02, -0.31};
  for (int step = 0; step < 48; ++step) {
    SCOPED_TRACE(step);
    double before[5][4] = {};
    for (int r = 1; r <= 4; ++r) {
      for (int c = 1; c <= 3; ++c) {
        if (r == 1 && c == 3) continue;
        before[r][c] = water_mm(r, c);
        const double offset = offsets[static_cast<std::size_t>((step + 3 * r + c) % 12)];
        table(r, c) = (step + r) % 11 == 0 ? kNodata : kElevation + offset;
      }
    }
    model_->applyExternalGroundwaterTable(60);
    EXPECT_TRUE(model_->external_table_applied());
    for (int r = 1; r <= 4; ++r) {
      for (int c = 1; c <= 3; ++c) {
        if (r == 1 && c == 3) {
          EXPECT_EQ(balance(r, c), kNodata);
          EXPECT_EQ(grid("groundwater_distance")(r, c), kNodata);
          continue;
        }
        EXPECT_NEAR(balance(r, c), water_mm(r, c) - before[r][c], 1e-9) << r << " " << c;
        if (table(r, c) == kNodata) {
          EXPECT_EQ(balance(r, c), 0);
          continue;
        }
        EXPECT_GE(table(r, c), kElevation - 0.5 - 1e-9);
        EXPECT_NEAR(grid("groundwater_distance")(r, c), table(r, c) - kElevation, 1e-12);
        EXPECT_EQ(grid("baseflow")(r, c), 0);
      }
    }
  }
}

TEST_F(SoilModelTest, MaxPumpingFollowsTheWaterTableOfOwnCells) {
  IrrigationTable irrigation(2);
  irrigation[1].method = IrrigationMethod::DemandBySuction;
  irrigation[1].psi_dry = 10;
  irrigation[1].psi_wet = 2;
  settings_.irrigation = &irrigation;
  Add("irrigation_codes", 1);
  ASSERT_EQ(Build(SoilSectionText()), 0) << console_.str();
  const SoilRecord& soil = soils_[1];
  const double layer = 1000 * 0.1 * (0.43 - soil.ThetaForSuction(1, 3.45));
  EXPECT_NEAR(max_pumping_mm(soil, 1), 4 * layer, 1e-10);
  EXPECT_NEAR(max_pumping_mm(soil, 4), layer, 1e-12);
  EXPECT_EQ(max_pumping_mm(soil, 5), 0);
  EXPECT_EQ(max_pumping_mm(soil, 6), 0);
  GridView level = grid("groundwater_level");
  level(2, 1) = 5;
  model_->updateMaxPumping();
  const GridView pumping = grid("Max_Pumping");
  EXPECT_NEAR(pumping(2, 2), layer, 1e-12);  // the start table lies in layer 4
  EXPECT_EQ(pumping(2, 1), 0);
  EXPECT_EQ(pumping(1, 3), kNodata);
}

}  // namespace
}  // namespace tolvo
