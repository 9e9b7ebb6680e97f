// Interception on a 3 x 3 basin: one and two vegetation layers, the capacity from the
// land-use table or from the leaf area, the two evaporation rates, glacier cells, and the
// water balance P = TF0 + E0 + change of S0 of every cell and step.
#include "surface/interzeptionsmodellklasse.h"

#include <gtest/gtest.h>

#include <cmath>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "framework/grid_table.h"
#include "framework/model_settings.h"
#include "framework/statistics_registry.h"
#include "framework/tracer_settings_record.h"
#include "support/test_support.h"
#include "tables/landuse_table.h"
#include "tables/multilayer_landuse.h"

namespace tolvo {
namespace {

using test::CodeOf;

constexpr int kRows = 3;
constexpr int kCols = 3;

std::string Section(int method, double h_max = 0.2) {
  return "[interception_model]\n1\n60\n" + std::to_string(method) +
         "\ntf.asc\n0\ntf.txt 0\nei.asc\n0\nei.txt 0\nsi.asc\n0\nsi.txt 0\n" + std::to_string(h_max) + "\n0\n";
}

class InterceptionBasin {
 public:
  InterceptionBasin(DiagnosticsLog& log, const test::TempDir& dir, int layers) : log_(log), reader_(log, "c") {
    reader_.set_geometry(geometry_);
    reader_.set_strip({1, kRows});
    reader_.set_grid_table(table_.get());
    zones_[1].zonenwert = 1;
    zones_[1].rel = 1;
    control_file_ = dir.file("interception.ctl");
    settings_.compiled_control_file = control_file_;
    settings_.geometry = geometry_;
    settings_.strip = {1, kRows};
    settings_.grids = table_.get();
    settings_.zones = {.zone_count = 1, .largest_code = 1, .zones = zones_, .code_index = code_index_,
                       .column_ranges = {}};
    settings_.output_directory = dir.path().string() + "/";
    Add("zone", 1)(3, 3) = kNodata;
    Add("dem", 500);
    Add("precipitation", 0);
    Add("snowcover_outflow", 0);
    for (int k = 0; k <= layers; ++k) {
      const std::string n = std::to_string(k);
      if (k > 0) {
        Add("landuse" + n, 1);
        Add("leaf_area_index" + n, 2);
        Add("vegetation_coverage_degree" + n, 0.5);
      }
      Add("pot_transpiration" + n, 0);
      Add("potential_InterceptionEvap" + n, 0);
    }
    if (layers > 1) {
      multilayer_[1].ParseBlock(log_, "1 forest_grass { Landuse_Layers = 1, 1; }");
      settings_.multilayer_landuse = &multilayer_;
    }
  }
  Grid& Add(const std::string& id, double value) {
    Grid& grid = grids_.emplace_back(1, kRows, kCols, kRows);
    grid.fill(value);
    reader_.RegisterGrid(next_++, id + ".asc", grid.view(), {}, 0, id, 0, 1, kRows);
    return grid;
  }
  void SetLanduse(const LanduseTable* table) { settings_.landuse = table; }
  int Build(const std::string& section) {
    test::WriteFile(control_file_, section + "[next]\n");
    return CodeOf([&] { model_ = std::make_unique<interzeptionsmodellklasse>(log_, registry_, settings_); });
  }
  int Step(int hour = 5) { return CodeOf([&] { model_->RunStep(hour, 3, 5, 2020); }); }
  GridView V(const std::string& id) { return (*table_)[reader_.FindGrid(id, true)].values; }
  void Set(const std::string& id, double value) {
    GridView g = V(id);
    for (int r = 1; r <= kRows; ++r) {
      for (int c = 1; c <= kCols; ++c) g(r, c) = value;
    }
  }
  interzeptionsmodellklasse& model() { return *model_; }
  StatisticsRegistry& registry() { return registry_; }

 private:
  DiagnosticsLog& log_;
  const GridGeometry geometry_{.ncols = kCols, .nrows = kRows, .cellsize = 100, .nodata_value = kNodata};
  modelobject reader_;
  std::unique_ptr<grid_table> table_ = std::make_unique<grid_table>();
  std::deque<Grid> grids_;
  MultilayerLanduseTable multilayer_{1};
  int next_ = 1;
  std::vector<ZoneRecord> zones_ = std::vector<ZoneRecord>(2);
  std::vector<int> code_index_ = {0, 1};
  std::string control_file_;
  ModelSettings settings_;
  StatisticsRegistry registry_;
  std::unique_ptr<interzeptionsmodellklasse> model_;
};

class InterceptionTest : public test::LogFixture {};

TEST_F(InterceptionTest, OneLayerFillsOverflowsAndEvaporates) {
  struct Case {
    const char* what;
    int method;
    double vcf, S0, P, PT, PI;
    double TF, S, E, PT_after;
  };
  // Capacity LAI 2 x h_max 0.2 = 0.4 mm.
  const Case cases[] = {
      {"no input: the storage only evaporates", 1, 0.5, 0.3, 0, 0.1, 0, 0, 0.2, 0.1, 0},
      {"full cover: throughfall is the overflow", 11, 1, 0, 1, 0, 0, 0.6, 0.4, 0, 0},
      {"half cover", 1, 0.5, 0, 0.6, 0.05, 0, 0.3, 0.25, 0.05, 0},
      {"demand above the storage empties it", 1, 1, 0.1, 0, 0.5, 0, 0, 0, 0.1, 0.4},
      {"method 2 lowers PT by at most its value", 2, 1, 0.3, 0, 0.1, 0.25, 0, 0.05, 0.25, 0},
      {"method 12 with PT above the evaporation", 12, 1, 0.3, 0, 1, 0.25, 0, 0.05, 0.25, 0.75},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    InterceptionBasin basin(log_, dir_, 1);
    ASSERT_EQ(basin.Build(Section(k.method)), 0) << console_.str();
    basin.Set("vegetation_coverage_degree1", k.vcf);
    basin.Set("interception_storage1", k.S0);
    basin.Set(k.method < 10 ? "snowcover_outflow" : "precipitation", k.P);
    basin.Set("pot_transpiration1", k.PT);
    basin.Set("potential_InterceptionEvap1", k.PI);
    ASSERT_EQ(basin.Step(), 0) << console_.str();
    EXPECT_NEAR(basin.V("throughfall0")(2, 2), k.TF, 1e-12);
    EXPECT_NEAR(basin.V("interception_storage0")(2, 2), k.S, 1e-12);
    EXPECT_NEAR(basin.V("interception_evaporation0")(2, 2), k.E, 1e-12);
    EXPECT_NEAR(basin.V("pot_transpiration1")(2, 2), k.PT_after, 1e-12);
    EXPECT_NEAR(basin.V("pot_transpiration0")(2, 2), k.PT_after, 1e-12);
    EXPECT_EQ(basin.V("throughfall0")(3, 3), kNodata);  // outside the basin
  }
}

TEST_F(InterceptionTest, CapacityFromTheLanduseTableOrTheLeafArea) {
  LanduseTable table(1);
  table[1].ParseBlock(log_,
                      "1 meadow { method = VariableDayCount; RootDist = 1; TReduWet = 1; HReduDry = 50; JulDays = 30 "
                      "120 250 300; Albedo = 0.2 0.2 0.2 0.2; rsc = 50 50 50 50; LAI = 1 1 1 1; Z0 = 0.1 0.1 0.1 "
                      "0.1; VCF = 0.5 0.5 0.5 0.5; RootDepth = 1 1 1 1; AltDep = 0 0 0 0; IntercepCap = 0.5; }\n",
                      "VariableDayCount");
  for (const bool with_cap : {false, true}) {
    SCOPED_TRACE(with_cap);
    InterceptionBasin basin(log_, dir_, 1);
    if (with_cap) basin.SetLanduse(&table);
    ASSERT_EQ(basin.Build(Section(11)), 0) << console_.str();
    basin.Set("vegetation_coverage_degree1", 1);
    basin.Set("precipitation", 5);
    ASSERT_EQ(basin.Step(), 0);
    // IntercepCap 0.5 x LAI 2 = 1 mm; without it LAI 2 x h_max 0.2 = 0.4 mm.
    EXPECT_NEAR(basin.V("interception_storage1")(1, 1), with_cap ? 1 : 0.4, 1e-12);
  }
}

TEST_F(InterceptionTest, TwoLayersPassTheirThroughfallDownAndSumIntoLayerZero) {
  InterceptionBasin basin(log_, dir_, 2);
  ASSERT_EQ(basin.Build(Section(11)), 0) << console_.str();
  ASSERT_EQ(basin.model().layer_count(), 2);
  basin.Set("precipitation", 1);
  basin.Set("vegetation_coverage_degree1", 0.5);
  basin.Set("vegetation_coverage_degree2", 1);
  basin.Set("pot_transpiration1", 0.1);
  basin.Set("pot_transpiration2", 0.05);
  basin.Set("pot_transpiration0", 0.15);
  basin.V("landuse2")(1, 2) = kNodata;  // no understorey in this cell
  ASSERT_EQ(basin.Step(), 0);
  // Layer 1: catches 0.5, keeps 0.4 - 0.1 evaporated, TF1 = 0.5 + 0.1. Layer 2 catches
  // all 0.6, keeps 0.4 - 0.05, TF2 = 0.2.
  EXPECT_NEAR(basin.V("throughfall1")(1, 1), 0.6, 1e-12);
  EXPECT_NEAR(basin.V("throughfall2")(1, 1), 0.2, 1e-12);
  EXPECT_NEAR(basin.V("throughfall0")(1, 1), 0.2, 1e-12);
  EXPECT_NEAR(basin.V("interception_storage0")(1, 1), 0.3 + 0.35, 1e-12);
  EXPECT_NEAR(basin.V("interception_evaporation0")(1, 1), 0.15, 1e-12);
  EXPECT_NEAR(basin.V("pot_transpiration0")(1, 1), 0, 1e-12);
  // Without land use the layer passes its input on.
  EXPECT_NEAR(basin.V("throughfall2")(1, 2), 0.6, 1e-12);
  EXPECT_NEAR(basin.V("throughfall0")(1, 2), 0.6, 1e-12);
  EXPECT_NEAR(basin.V("pot_transpiration0")(1, 2), 0.05, 1e-12);
}

TEST_F(InterceptionTest, GlacierCellsAndTheBalanceOfEveryOtherCell) {
  for (const int method : {1, 11}) {
    SCOPED_TRACE(method);
    InterceptionBasin basin(log_, dir_, 2);
    Grid& glacier = basin.Add("ice_firn", 0);
    glacier(1, 1) = 1;
    glacier(2, 1) = 0.4;
    ASSERT_EQ(basin.Build(Section(method)), 0) << console_.str();
    GridView P = basin.V(method < 10 ? "snowcover_outflow" : "precipitation");
    double worst = 0;
    for (int step = 0; step < 200; ++step) {
      for (int r = 1; r <= kRows; ++r) {
        for (int c = 1; c <= kCols; ++c) {
          P(r, c) = (step % 7 < 3) ? 0.3 * ((r + c + step) % 4) : 0;
          for (int k = 0; k <= 2; ++k) basin.V("pot_transpiration" + std::to_string(k))(r, c) = 0.02 * (k + 1);
        }
      }
      Grid before(1, kRows, kCols, kRows);
      for (int r = 1; r <= kRows; ++r) {
        for (int c = 1; c <= kCols; ++c) before(r, c) = basin.V("interception_storage0")(r, c);
      }
      ASSERT_EQ(basin.Step(1 + step % 24), 0);
      for (int r = 1; r <= kRows; ++r) {
        for (int c = 1; c <= kCols; ++c) {
          if ((r == 3 && c == 3) || (r == 1 && c == 1)) continue;
          const double balance = P(r, c) - basin.V("throughfall0")(r, c) -
                                 basin.V("interception_evaporation0")(r, c) -
                                 (basin.V("interception_storage0")(r, c) - before(r, c));
          worst = std::max(worst, std::fabs(balance));
        }
      }
      // A glacier cell stores and evaporates nothing; before the snow its input passes on.
      EXPECT_EQ(basin.V("interception_storage0")(1, 1), 0);
      EXPECT_EQ(basin.V("interception_evaporation0")(1, 1), 0);
      EXPECT_EQ(basin.V("throughfall0")(1, 1), method > 10 ? P(1, 1) : 0);
    }
    EXPECT_LT(worst, 1e-12);
  }
}

TEST_F(InterceptionTest, TracersMixOverflowAndLeaveWithTheThroughfall) {
  InterceptionBasin basin(log_, dir_, 1);
  basin.Add("concflux_tracer_1_input", 10);
  basin.Add("concflux_tracer_2_input", 10);
  ASSERT_EQ(basin.Build(Section(11)), 0) << console_.str();
  std::vector<TracerSettingsRecord> tracers(3);
  for (const int t : {1, 2}) {
    TracerSettingsRecord& s = tracers[static_cast<std::size_t>(t)];
    s.name = t == 1 ? "cl_" : "o18";
    s.evaporating = t == 1 ? 0 : 1;
    s.max_conc = 1e9;
    s.statext = "." + s.name;
    s.gridext = ".g" + s.name;
  }
  ASSERT_EQ(CodeOf([&] { basin.model().InitTracers(2, tracers, basin.registry(), 100); }), 0) << console_.str();
  basin.Set("vegetation_coverage_degree1", 1);
  basin.Set("precipitation", 1);
  ASSERT_EQ(basin.Step(), 0) << console_.str();
  // 1 mm at 10 enters, 0.4 mm stay, 0.6 mm overflow. The non-evaporating tracer keeps the
  // mass 0.4 x 10 in the store; both leave at the concentration 10.
  EXPECT_NEAR(basin.V("concstor_tracer_1_interception_model")(2, 2), 4, 1e-12);
  EXPECT_NEAR(basin.V("concflux_tracer_1_interception_model")(2, 2), 10, 1e-12);
  EXPECT_NEAR(basin.V("concstor_tracer_2_interception_model")(2, 2), 10, 1e-12);
  EXPECT_NEAR(basin.V("concflux_tracer_2_interception_model")(2, 2), 10, 1e-12);
  basin.model().ReleaseTracers();
}

}  // namespace
}  // namespace tolvo
