// The groundwater model's set-up from its sections and grids, and its step cycle: the
// fixed heads, the hand-back to the soil model, the iteration limit and the control point
// file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <sstream>

#include "framework/error_code.h"
#include "subsurface/groundwater_fixture.h"

namespace tolvo {
namespace {

class GroundwaterModel : public test::AquiferFixture {
 protected:
  GroundwaterModel() { MakeBasin(4, 3, 100, 2); }
  int IndexOf(const std::string& identifier) const {
    for (int i = 1; i < grid_table::size(); ++i) {
      if ((*table_)[i].identifier == identifier) return i;
    }
    return 0;
  }
  std::string FileOf(const std::string& identifier) const {
    const int i = IndexOf(identifier);
    return i > 0 ? (*table_)[i].file_name.value_or("") : "";
  }
  std::vector<std::vector<std::string>> ControlPointLines() {
    std::istringstream in(test::ReadFile(dir_.file("gwpoint.txt")));
    std::vector<std::vector<std::string>> lines;
    std::string line;
    while (std::getline(in, line)) {
      std::vector<std::string> fields;
      std::istringstream f(line);
      std::string field;
      while (std::getline(f, field, '\t')) fields.push_back(field);
      lines.push_back(fields);
    }
    return lines;
  }
};

TEST(GroundwaterNames, OldHeadsNameGoesBeforeTheExtension) {
  const std::pair<const char*, const char*> cases[] = {
      {"heads.asc", "heads_old.asc"},
      {"gw/heads", "gw/heads_old"},
      {"out/gw.1/heads.asc", "out/gw.1/heads_old.asc"},
      {"out/gw.1/heads", "out/gw.1/heads_old"},
  };
  for (const auto& [name, old] : cases) EXPECT_EQ(OldHeadsName(name), old) << name;
}

// The optional flag line counts only when its first token is exactly 0 or 1.
TEST_F(GroundwaterModel, PondFlagLineIsReadOnlyWhenItIsZeroOrOne) {
  struct Case {
    const char* line;
    int flag;
    const char* first_heads;
    const char* logged;
  };
  const Case cases[] = {
      {"", 0, "heads1.asc", "no POND-Grid will be used because Use-Pond-Flag is not present"},
      {"0", 0, "heads1.asc", "Use-Pond-Flag is 0; --> no PONDs will be used"},
      {"1 # ponds", 1, "heads1.asc", "POND-Grid was not found --> no PONDs will be used"},
      {"10.asc", 0, "10.asc", "Use-Pond-Flag is not present"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.line);
    MakeBasin(4, 3, 100, 1);
    test::GroundwaterSection s;
    s.layers = 1;
    s.pond_line = k.line;
    std::string text = s.Render();
    if (std::string(k.line) == "10.asc") {
      // The flag-like line is the heads name itself: drop the default one.
      text.replace(text.find("10.asc\nheads1.asc\n"), 18, "10.asc\n");
    }
    test::WriteFile(dir_.file("c.ctl"), text);
    settings_.compiled_control_file = dir_.file("c.ctl");
    ASSERT_EQ(test::CodeOf([&] { model_ = std::make_unique<gwflowclass>(log_, registry_, settings_, 1); }), 0);
    EXPECT_EQ(model_->groundwater_settings().use_pond_flag, k.flag);
    EXPECT_EQ(FileOf("gw_head_1"), k.first_heads);
    EXPECT_TRUE(Logged(k.logged));
  }
}

TEST_F(GroundwaterModel, RegistersElevenGridsPerLayerInOrder) {
  const int before = CountUsed();
  test::GroundwaterSection s;
  ASSERT_EQ(Build(s), 0);
  EXPECT_EQ(CountUsed(), before + 22);
  const int first = IndexOf("gw_head_1");
  const char* order[] = {"gw_head_1",
                         "gw_head_old_1",
                         "gw_head_2",
                         "gw_head_old_2",
                         "gw_head_old_old_1",
                         "gw_head_old_old_1",
                         "gw_transmissivity_x_1",
                         "gw_transmissivity_y_1",
                         "gw_flow_x_1",
                         "gw_flow_y_1",
                         "gw_balance1",
                         "gw_leakage_1",
                         "aquifer_upper_limit1",
                         "gw_head_old_old_2"};
  for (int k = 0; k < 14; ++k) EXPECT_EQ((*table_)[first + k].identifier, order[k]) << k;
  EXPECT_EQ(FileOf("gw_head_old_2"), "heads2_old.asc");
  // The top layer is as thick as the soil profile (5 layers of 0.1 m); the next layer
  // starts below it.
  EXPECT_NEAR(grid("aquifer_thickness_1")(2, 2), 0.5, 1e-12);
  EXPECT_NEAR(grid("aquifer_upper_limit2")(2, 2), 49.5, 1e-12);
  EXPECT_DOUBLE_EQ(grid("gw_head_1")(2, 2), 49.0);

  MakeBasin(4, 3, 100, 0);
  const int empty_before = CountUsed();
  s.layers = 0;
  ASSERT_EQ(Build(s), 0);
  EXPECT_EQ(CountUsed(), empty_before);
  model_->BeginStep({2000, 1, 1, 0});
  model_->SubStep({2000, 1, 1, 0});
  model_->EndStep({2000, 1, 1, 0});
}

TEST_F(GroundwaterModel, ControlPointOutsideTheGridIsFatal) {
  struct Case {
    int row, col, code;
    const char* text;
  };
  const Case cases[] = {
      {5, 1, kControlRowError, "row index (5) for output-cell must be between 1 and 4 (Input as row col) or 0 0 "},
      {-1, 0, kControlRowError, "row index (-1) for output-cell"},
      {1, 4, kControlColumnError, "column index (4) for output-cell must be between 1 and 3 (Input as row col) "},
  };
  for (const Case& k : cases) {
    test::GroundwaterSection s;
    s.control_row = k.row;
    s.control_col = k.col;
    EXPECT_EQ(Build(s), k.code) << k.row << " " << k.col;
    EXPECT_TRUE(Logged(std::string("in modul groundwater_flow:\n") + k.text)) << console_.str();
  }
  test::GroundwaterSection s;
  s.layers = -1;
  EXPECT_EQ(Build(s), kMissingControlItem);
}

TEST_F(GroundwaterModel, TuningSectionIsReadWithEitherLineEnd) {
  struct Case {
    const char* tuning;
    double scaling;
  };
  const Case cases[] = {
      {"[groundwater_tuning]\nfrozenDepthScaling = 0.5\n", 0.5},
      {"[groundwater_tuning]\r\n  frozenDepthScaling = 0.25\r\n", 0.25},
      {"[groundwater_tuning]\r\nfrozenDepthScaling = 0.25\r\n\r\nfrozenDepthScaling = 3\r\n", 0.25},
      {"[groundwater_tuning]\nfrozenDepthScaling = 0.5\n[other]\nfrozenDepthScaling = 3\n", 0.5},
      {"[groundwater_tuning]\nfrozenDepthScaling =2\nfrozenDepthScaling = 4", 4},
      {"", 1},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.tuning);
    test::GroundwaterSection s;
    s.extra = k.tuning;
    ASSERT_EQ(Build(s), 0);
    EXPECT_DOUBLE_EQ(model_->groundwater_settings().frozen_depth_scaling, k.scaling);
  }
  test::GroundwaterSection s;
  s.extra = "[groundwater_tuning]\nfrozenDepthScaling = deep\n";
  EXPECT_EQ(Build(s), kMissingControlItem);
}

// A fixed-head cell holds its head through the sub-step; the top layer hands back the rate
// at which its head fell; one iteration with maxiter 1; the control point in the first row
// and column records -8888 for its missing neighbours, once per sub-step.
TEST_F(GroundwaterModel, StepKeepsFixedHeadsHandsBackBaseflowAndRecordsEverySubStep) {
  MakeBasin(4, 3, 100, 1);
  grid("gw_boundary_fix_h_1")(4, 3) = 47;
  grid("gw_boundary_fix_q_1")(2, 2) = -1e-6;
  test::GroundwaterSection s;
  s.layers = 1;
  s.max_iterations = 1;
  s.control_row = 1;
  s.control_col = 1;
  ASSERT_EQ(Build(s, 3), 0);
  Run(2);
  EXPECT_EQ(model_->iterations(1), 1);
  for (const char* id : {"gw_head_1", "gw_head_old_1", "gw_head_old_old_1"}) EXPECT_DOUBLE_EQ(grid(id)(4, 3), 47) << id;
  const double dt = 3600.0 / 3;
  const GridView h = grid("gw_head_1");
  const GridView h0 = grid("gw_head_old_1");
  // One sweep does not converge: the hand-back is the cell's net outflow, its storage
  // change less its balance, and the fixed flux it lost.
  const GridView balance = grid("gw_balance1");
  EXPECT_EQ(grid("baseflow")(4, 3), 0);
  for (int r = 1; r <= 4; ++r) {
    for (int c = 1; c <= 3; ++c) {
      if (r == 4 && c == 3) continue;
      const double q = r == 2 && c == 2 ? -1e-6 : 0.0;
      EXPECT_NEAR(grid("baseflow")(r, c), ((h0(r, c) - h(r, c)) * 1e-3 + balance(r, c) / 1000) / dt - q, 1e-15)
          << r << " " << c;
    }
  }
  EXPECT_GT(grid("baseflow")(2, 2), 0);
  model_->FlushStatistics();
  const auto lines = ControlPointLines();
  ASSERT_EQ(lines.size(), 1u + 6u);
  EXPECT_EQ(lines[0][0], "YY");
  ASSERT_EQ(lines[1].size(), 10u);
  EXPECT_EQ(lines[1][5], "-8888");  // north of row 1
  EXPECT_EQ(lines[1][8], "-8888");  // west of column 1
  EXPECT_EQ(lines[1][9], "-8888");  // hand-back west of column 1
  EXPECT_EQ(lines[6][3], "1");      // the second step's hour
}

// The point iteration stopped after one sweep leaves heads that do not balance the flows;
// the soil must still lose exactly what the top layer gave its neighbours, the layer
// below and the fixed heads, and gain its fixed fluxes, or the coupling makes or loses
// water. Per sub-step over the basin: the hand-back equals the leakage to the layer below,
// the outflow at the fixed heads (their negative balance) and the fixed fluxes lost. The
// lower layers store what flows in, so each of their cells without a fixed head balances.
TEST_F(GroundwaterModel, HandBackOfAStoppedIterationMovesOnlyTheWaterTheAquiferMoved) {
  struct Case {
    const char* name;
    int layers;
    bool fixed_head;
    bool fixed_flux;
  };
  const Case cases[] = {
      {"one layer", 1, false, false},
      {"one layer, fixed head and flux", 1, true, true},
      {"two layers with leakage, fixed head and flux", 2, true, true},
      {"three layers with leakage, fixed heads and flux", 3, true, true},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    MakeBasin(5, 4, 100, k.layers);
    // A water table that falls towards the south-east, so that water moves at once.
    Fill("groundwater_distance", [](int r, int c) { return -0.3 * r - 0.2 * c * c; });
    if (k.fixed_head) grid("gw_boundary_fix_h_1")(5, 4) = 45;
    if (k.fixed_flux) grid("gw_boundary_fix_q_1")(2, 2) = -2e-6;
    if (k.layers > 1) {
      grid("gw_kolmation_1")(3, 2) = 1e-5;
      Fill("gw_boundary_fix_h_2", [](int r, int c) { return r == 1 && c == 1 ? 49.5 : kNodata; });
    }
    if (k.layers > 2) {
      Fill("gw_kolmation_2", [](int r, int c) { return 1e-6 * (r + c); });
      grid("gw_boundary_fix_h_3")(5, 1) = 48;
    }
    test::GroundwaterSection s;
    s.layers = k.layers;
    s.max_iterations = 1;
    ASSERT_EQ(Build(s, 2), 0);
    const double dt = 1800;
    double largest_mismatch = 0;
    for (int step = 0; step < 3; ++step) {
      const ModelDate d{2000, 1, 1, step};
      model_->BeginStep(d);
      for (int sub = 0; sub < 2; ++sub) {
        // The soil's water table moves between the sub-steps.
        Fill("groundwater_distance", [&](int r, int c) { return -0.3 * r - 0.2 * c * c + 0.1 * (step + sub); });
        model_->SubStep(d);
        const GridView h = grid("gw_head_1");
        const GridView h0 = grid("gw_head_old_1");
        double handed_back = 0, moved = 0, stored = 0;
        for (int r = 1; r <= 5; ++r) {
          for (int c = 1; c <= 4; ++c) {
            handed_back += grid("baseflow")(r, c) * dt;
            stored += (h0(r, c) - h(r, c)) * 1e-3;
            if (k.layers > 1) moved -= grid("gw_leakage_1")(r, c) * dt;
            if (k.fixed_head && r == 5 && c == 4) moved -= grid("gw_balance1")(r, c) / 1000;
            if (k.fixed_flux && r == 2 && c == 2) moved -= grid("gw_boundary_fix_q_1")(r, c) * dt;
          }
        }
        EXPECT_NEAR(handed_back, moved, 1e-15) << "step " << step << ", sub-step " << sub;
        for (int n = 2; n <= k.layers; ++n) {
          const std::string layer = std::to_string(n);
          for (int r = 1; r <= 5; ++r) {
            for (int c = 1; c <= 4; ++c) {
              if (grid("gw_boundary_fix_h_" + layer)(r, c) > kNodata) continue;
              EXPECT_NEAR(grid("gw_balance" + layer)(r, c), 0, 1e-9) << "layer " << n << ", " << r << " " << c;
            }
          }
        }
        largest_mismatch = std::max(largest_mismatch, std::abs(stored - moved));
      }
      model_->EndStep(d);
    }
    // The heads' storage change alone would have handed back other amounts.
    EXPECT_GT(largest_mismatch, 1e-9);
  }
}

TEST_F(GroundwaterModel, RowWiseSolutionEndsItsProgressEntry) {
  test::GroundwaterSection s;
  s.method = 2;
  settings_.log_interval = 1;
  ASSERT_EQ(Build(s), 0);
  Run(1);
  EXPECT_TRUE(Logged("GWlevel 2, MPI-rank 0, Steps 1"));
  EXPECT_FALSE(Logged(" err "));
  s.method = 1;
  ASSERT_EQ(Build(s), 0);
  Run(1);
  EXPECT_TRUE(Logged(" err "));
}

// With read code 1 both head grids of every layer come from their files; the old heads
// from the name with "_old" before the extension.
TEST_F(GroundwaterModel, ReadCodeOneReadsTheHeadsAndOldHeadsFiles) {
  const auto grid_file = [&](const std::string& name, double value) {
    std::string text = "ncols 3\nnrows 4\nxllcorner 0\nyllcorner 0\ncellsize 100\nNODATA_value -9999\n";
    for (int r = 1; r <= 4; ++r) text += std::to_string(value + r) + " " + std::to_string(value + r) + " 0\n";
    test::WriteFile(dir_.file(name), text);
  };
  for (int n = 1; n <= 2; ++n) {
    grid_file("heads" + std::to_string(n) + ".asc", 40 + n);
    grid_file("heads" + std::to_string(n) + "_old.asc", 30 + n);
  }
  test::GroundwaterSection s;
  s.read_code = 1;
  ASSERT_EQ(Build(s), 0) << console_.str();
  EXPECT_DOUBLE_EQ(grid("gw_head_2")(3, 1), 45);
  EXPECT_DOUBLE_EQ(grid("gw_head_old_1")(4, 2), 35);
  EXPECT_DOUBLE_EQ(grid("gw_head_old_old_2")(1, 3), 0);

  std::filesystem::remove(dir_.file("heads2_old.asc"));
  EXPECT_NE(Build(s), 0);
}

}  // namespace
}  // namespace tolvo
