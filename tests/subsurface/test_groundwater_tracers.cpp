// Tracers of the groundwater model: upwind mixing against a hand computation, the mass of a
// pulse in a steady one-dimensional flow, decay after the half-life, the set-up of the
// concentration grids and statistics, and the check of the lake settings.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <omp.h>
#include <vector>

#include "framework/error_code.h"
#include "framework/tracer_settings_record.h"
#include "subsurface/groundwater_fixture.h"
#include "subsurface/groundwater_tracers.h"

namespace tolvo {
namespace {

TEST(GroundwaterTracerMixing, UpwindConcentrationsByHand) {
  // Stored 10 m³ at c = 2; 3 m³ in from the east at 5, 1 m³ out to the west, 0.5 m³ in from
  // above at 8, 2 m³ out below. Mass 20 + 15 − 2 + 4 − 4 = 33 in 10 + 3 − 1 + 0.5 − 2 = 10.5 m³.
  CellVolumes v;
  v.stored = 10;
  v.east = 3;
  v.west = -1;
  v.above = 0.5;
  v.below = -2;
  EXPECT_NEAR(UpwindMixedConcentration(v, 2, 5, 7, 9, 9, 8, 4), 33 / 10.5, 1e-15);
  // No water left: 0.
  CellVolumes empty;
  empty.stored = 1;
  empty.west = -1;
  EXPECT_EQ(UpwindMixedConcentration(empty, 2, 0, 0, 0, 0, 0, 0), 0.0);
}

// One row of cells with a steady linear head from west to east.
struct AquiferRow {
  static constexpr int kCols = 12;
  std::vector<Grid> grids;
  AquiferDomain domain;
  std::vector<AquiferLayer> layers;
  Grid zone{1, 1, kCols, 1};
  Grid& Make(double value) {
    Grid& g = grids.emplace_back(1, 1, kCols, 1);
    g.fill(value);
    return g;
  }
  AquiferRow() {
    grids.reserve(16);
    zone.fill(1);
    domain = {.zone = zone.view(), .cellsize = 100, .nrows = 1, .ncols = kCols};
    AquiferLayer l;
    Grid& h = Make(0);
    for (int c = 1; c <= kCols; ++c) h(1, c) = 60 - 0.5 * c;
    l.h = h.view();
    l.h_old = h.view();
    l.tx = Make(1e-2).view();
    l.ty = Make(1e-2).view();
    Grid& qx = Make(0);
    for (int c = 1; c <= kCols; ++c) qx(1, c) = c < kCols ? 1e-2 * 0.5 / 100 : kNodata;
    l.qx = qx.view();
    l.qy = Make(kNodata).view();
    l.top = Make(80).view();
    l.thickness = Make(30).view();
    l.storage = Make(0.1).view();
    l.leakage = Make(0).view();
    layers = {AquiferLayer{}, l};
  }
};

TEST(GroundwaterTracerMixing, PulseInSteadyFlowKeepsItsMassUntilItReachesTheEnd) {
  AquiferRow row;
  Grid c(1, 1, AquiferRow::kCols, 1), mixed(1, 1, AquiferRow::kCols, 1);
  c.fill(0);
  c(1, 3) = 100;
  const auto mass = [&] {
    double m = 0;
    for (int col = 1; col <= AquiferRow::kCols; ++col) {
      m += c(1, col) * LayerCellVolumes(row.domain, row.layers, 1, 3600, 1, col).stored;
    }
    return m;
  };
  const double start = mass();
  for (int step = 0; step < 40; ++step) {
    MixTracerLayer(row.domain, row.layers, 1, 3600, {{}, c.view(), {}}, mixed.view(), {1, 1});
    for (int col = 1; col <= AquiferRow::kCols; ++col) c(1, col) = mixed(1, col);
    if (c(1, AquiferRow::kCols) > 1e-12 * 100) break;
    ASSERT_NEAR(mass(), start, 1e-9 * start) << "step " << step;
  }
  EXPECT_LT(c(1, 3), 100) << "the pulse moved";
  EXPECT_GT(c(1, 4), 0);
  EXPECT_EQ(c(1, 1), 0) << "nothing flows against the gradient";
}

class GroundwaterTracers : public test::AquiferFixture {
 protected:
  GroundwaterTracers() {
    MakeBasin(3, 4, 100, 2);
    grid("zone")(3, 4) = kNodata;
    tracers_.resize(3);
    for (TracerSettingsRecord& t : tracers_) {
      t.path = "out/";
      t.statext = "sta";
      t.gridext = "asc";
      t.statcode = 2001;
    }
    tracers_[1].name = "chl";
    tracers_[1].gwini = 4;
    tracers_[2].name = "tri";
    tracers_[2].radioactive = 1;
    tracers_[2].half_time = 1;
    tracers_[2].gwini = 2;
    std::filesystem::create_directories(dir_.path() / "out");
    SetZones();
  }
  // One sub-basin of code 1 (MakeBasin makes fresh settings).
  void SetZones() {
    zones_[1].zonenwert = 1;
    settings_.zones = {.zone_count = 1, .largest_code = 1, .zones = zones_, .code_index = code_index_, .column_ranges = {}};
  }
  ZoneRecord zones_[2] = {};
  int code_index_[2] = {0, 1};
  double Concentration(int t, int n, int r, int c) {
    return grid("concstor_tracer_" + std::to_string(t) + "_layer_" + std::to_string(n) + "_groundwater_flow")(r, c);
  }
  std::vector<TracerSettingsRecord> tracers_;
};

TEST_F(GroundwaterTracers, SetUpDecayAndStatistics) {
  test::GroundwaterSection s;
  s.method = 2;
  ASSERT_EQ(Build(s, 1), 0);
  const std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(dir_.path());
  ASSERT_EQ(test::CodeOf([&] { model_->InitTracers(2, tracers_, registry_, 200); }), 0);
  std::filesystem::current_path(previous);
  EXPECT_TRUE(std::filesystem::exists(dir_.path() / "out/chlgrou1.sta"));
  EXPECT_TRUE(std::filesystem::exists(dir_.path() / "out/trigrou2.sta"));
  EXPECT_EQ(Concentration(1, 2, 1, 1), 4) << "every start value is the concentration gwini";
  EXPECT_EQ(Concentration(1, 1, 3, 4), kNodata) << "cells outside the zone get nodata";
  EXPECT_NEAR(tracers_[2].decay_factor, 0.971532, 5e-7);
  EXPECT_EQ(tracers_[1].decay_factor, 0) << "a conservative tracer keeps its factor";
  // No head gradient in layer 2: its concentrations change by decay alone. The top layer
  // holds no water in this basin (its head lies below its bottom), and a cell without water
  // keeps no tracer.
  Run(24);
  EXPECT_NEAR(Concentration(1, 2, 2, 2), 4, 1e-12);
  EXPECT_NEAR(Concentration(2, 2, 2, 2), 1, 1e-9) << "half of gwini after one half-life";
  EXPECT_EQ(Concentration(1, 1, 2, 2), 0);
  model_->FlushStatistics();
  const std::string table = test::ReadFile(dir_.file("out/trigrou1.sta"));
  EXPECT_NE(table.find("tracer concentration for tracer 2 in layer 1 (tri)"), std::string::npos) << table;
  model_->ReleaseTracers();
}

// A pulse carried toward a fixed head gives the same concentrations on 1 and 4 threads.
TEST_F(GroundwaterTracers, ConcentrationsDoNotDependOnTheThreadCount) {
  const auto run = [&](int threads) {
    // The model sizes its per-thread work arrays when it is built.
    omp_set_num_threads(threads);
    MakeBasin(6, 5, 20, 2);
    SetZones();
    Fill("gw_boundary_fix_h_2", [](int r, int c) { return r == 6 && c == 5 ? 45.0 : kNodata; });
    Fill("gw_kolmation_1", [](int, int) { return 1e-6; });
    test::GroundwaterSection s;
    s.method = 2;
    EXPECT_EQ(Build(s), 0);
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(dir_.path());
    EXPECT_EQ(test::CodeOf([&] { model_->InitTracers(2, tracers_, registry_, 200); }), 0);
    std::filesystem::current_path(previous);
    for (int t = 1; t <= 2; ++t) grid("concstor_tracer_" + std::to_string(t) + "_layer_2_groundwater_flow")(2, 2) = 50;
    Run(4);
    omp_set_num_threads(2);
    std::vector<double> values;
    for (int t = 1; t <= 2; ++t) {
      for (int n = 1; n <= 2; ++n) {
        for (int r = 1; r <= 6; ++r) {
          for (int c = 1; c <= 5; ++c) values.push_back(Concentration(t, n, r, c));
        }
      }
    }
    model_->ReleaseTracers();
    return values;
  };
  const std::vector<double> one = run(1);
  EXPECT_EQ(run(4), one);
  EXPECT_LT(one[30 + 5 + 1], 50) << "the pulse moved";
}

TEST_F(GroundwaterTracers, LakeSettingsAreChecked) {
  struct Case {
    bool lake_grid, pond_grid;
    const char* pond_line;
    const char* lake_section;
    int code;
    const char* entry;  // shown on the console (entries lose their FATAL prefix there)
  };
  const Case cases[] = {
      // no lake grid: not read
      {false, false, "0", "", 0, "no LAKE-grid was found in groundwater_flow\nLake modelling is switched off"},
      // lakes need pond use
      {true, true, "0", "[lake_model]\n1 # switch\n1 # init\n", 214,
       "\n=======================================\n!!!! ERROR !!!! \n\nError in initialization method for "
       "[lake_model].\npond_use must be set in groundwater_flow\nfor using the [lake_model]\n\n===="},
      // lakes need a pond grid
      {true, false, "1", "[lake_model]\n1 # switch\n1 # init\n", 28,
       "\nLAKE-grid was found, but no POND-Grid. For using lakes,\nboth grids must be present."},
      // method 1 or 2 only
      {true, true, "1", "[lake_model]\n1 # switch\n3 # init\n", 214,
       "!!!! ERROR !!!! \n\n Error in initialization method for [lake_model].\n"
       "Lake initialization method (3) not valid.\nAllowed values are 1 (no change of grids) or 2"},
      {true, true, "1", "[lake_model]\n1 # switch\n2 # init\n", 0, ""},
      {true, false, "0", "[lake_model]\n0 # switch\n", 0, ""},  // lakes off
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.lake_section);
    console_.str("");
    MakeBasin(3, 4, 100, 1);
    if (k.lake_grid) Add("lake_codes", 1);
    if (k.pond_grid) Add("ponding_storage", 0);
    test::GroundwaterSection s;
    s.layers = 1;
    s.pond_line = k.pond_line;
    s.extra = k.lake_section;
    EXPECT_EQ(Build(s), k.code);
    if (*k.entry != '\0') {
      EXPECT_TRUE(Logged(k.entry)) << console_.str();
    }
  }
}

}  // namespace
}  // namespace tolvo
