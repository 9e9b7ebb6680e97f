#include "surface/verdunstungsmodellklasse.h"

#include <gtest/gtest.h>

#include <cmath>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "framework/grid_table.h"
#include "framework/model_settings.h"
#include "framework/statistics_registry.h"
#include "support/test_support.h"
#include "tables/multilayer_landuse.h"

namespace tolvo {
namespace {

using test::CodeOf;

constexpr int kRows = 3;
constexpr int kCols = 3;
constexpr int kZones = 1;

// The lines of [evapotranspiration] after the time step, with the values a test changes.
struct Section {
  int method = 1;
  std::string pot_name = "etp.grd";
  std::string radiation = "0.23 0.52 0.25 0";
  std::string sunshine = "0.072 -0.808 1.749 -0.239";
  std::string amplitude_share = "0.65 0.1";
  std::string pec = "1 1 1 1 1 1 1 1 1 1 1 1";

  std::string Text() const {
    return std::to_string(method) + "\n" + pec + "\n0.3 0.3 0.3 0.3 0.3 0.3\n0.3 0.3 0.3 0.3 0.3 0.3 0.5 fk\n" +
           pot_name + "\n0\netp.txt 0\netr.grd\n0\netr.txt 0\nevap.grd\n0\nevap.txt 0\nevar.grd\n0\nevar.txt 0\n"
           "snowevap.grd\n0\nsnowevap.txt 0\neip.grd\n0\neip.txt 0\nrgex.txt 0\n" +
           radiation + "\n" + sunshine + "\n0.7 0.1\n10000\n5 5 5 5 5 5\n5 5 5 5 5 5\n" + amplitude_share +
           "\n\n";
  }
};

// A 3 × 3 basin of one zone with every grid the four methods can read, registered under
// their names; the inputs a test does not want are left out by name.
class Basin {
 public:
  Basin(DiagnosticsLog& log, const test::TempDir& dir, const std::string& name) : log_(log), reader_(log, "c") {
    reader_.set_geometry(geometry_);
    reader_.set_strip({1, kRows});
    reader_.set_grid_table(table_.get());
    zones_[0].zonenwert = 0;
    zones_[1].zonenwert = 1;
    zones_[1].rel = 1;
    code_index_ = {0, 1};
    control_file_ = dir.file(name + ".ctl");
    settings_.compiled_control_file = control_file_;
    settings_.geometry = geometry_;
    settings_.strip = {1, kRows};
    settings_.grids = table_.get();
    settings_.zones = {.zone_count = kZones, .largest_code = kZones, .zones = zones_, .code_index = code_index_,
                       .column_ranges = {}};
    settings_.output_directory = dir.path().string() + "/";
    // FAO-56 Example 19: N'Diaye, Senegal (16°13' N, 16°15' W), clock time of the site.
    settings_.site = {.latitude = 16.22, .longitude = -16.25, .reference_meridian = -16.25};
    Add("zone", 1);
    Add("[elevation_model]", 8);
    for (const auto& [id, value] : std::map<std::string, double>{
             {"landuse1", 1}, {"leaf_area_index1", 40}, {"root_depth1", 0.3}, {"vegetation_coverage_degree1", 1},
             {"SurfaceCanopyResistance1", 70}, {"SurfaceIntercepResistance1", 0}, {"RoughnessLength1", 0.0451},
             {"SurfaceEvaporationResistance", 100}, {"albedo", 0.23}, {"temperature", 38}, {"wind_speed", 3.3},
             {"net_radiation", 437.2}, {"air_pressure", 1012}, {"vapor_pressure", 34.45}}) {
      Add(id, value);
    }
  }

  // Registers a grid of one value at the next entry.
  Grid& Add(const std::string& id, double value) {
    Grid& grid = grids_.emplace_back(1, kRows, kCols, kRows);
    grid.fill(value);
    reader_.RegisterGrid(next_++, id + ".asc", grid.view(), {}, 0, id, 0, 1, kRows);
    return grid;
  }
  // Leaves a grid out by renaming it.
  void Remove(const std::string& id) { (*table_)[reader_.FindGrid(id, true)].identifier = "unused_" + id; }
  void Fill(int last) {
    while (next_ <= last) Add("filler" + std::to_string(next_), 0);
  }
  void SetLayers(const std::string& block) {
    multilayer_.emplace_back(1);
    multilayer_.back()[1].ParseBlock(log_, block);
    settings_.multilayer_landuse = &multilayer_.back();
  }
  void SetSite(SolarSite site) { settings_.site = site; }

  // Builds the model from a section (and [lake_model] lines, if any); the code it raises.
  int Build(const std::string& section, int step_min = 60, const std::string& lake = "") {
    test::WriteFile(control_file_, "[evapotranspiration]\n1\n" + std::to_string(step_min) + "\n" + section +
                                       "[lake_model]\n" + lake + "[next]\n");
    return CodeOf([&] {
      model_ = std::make_unique<verdunstungsmodellklasse>(log_, registry_, settings_);
      if (!correction_.empty()) model_->SetCorrectedRadiation(correction_);
      model_->SetInitialised(1);
      model_->ReadLakeModel("[lake_model]");
    });
  }
  void SetCorrection(double factor) {
    correction_grid_.fill(factor);
    correction_ = correction_grid_.view();
  }
  int Step(long long hour, long long day, long long month, long long year) {
    return CodeOf([&] { model_->PotentialEvapotranspiration({year, month, day, hour}); });
  }
  void Set(const std::string& id, double value) {
    GridView grid = Values(id);
    for (int r = 1; r <= kRows; ++r) {
      for (int c = 1; c <= kCols; ++c) grid(r, c) = value;
    }
  }
  GridView Values(const std::string& id) { return (*table_)[reader_.FindGrid(id, true)].values; }
  const grid_entry& Entry(const std::string& id) { return (*table_)[reader_.FindGrid(id, true)]; }
  int IndexOf(const std::string& id) { return reader_.FindGrid(id, true); }
  verdunstungsmodellklasse& model() { return *model_; }

 private:
  DiagnosticsLog& log_;
  const GridGeometry geometry_{.ncols = kCols, .nrows = kRows, .cellsize = 100, .nodata_value = kNodata};
  modelobject reader_;
  std::unique_ptr<grid_table> table_ = std::make_unique<grid_table>();
  std::deque<Grid> grids_;
  std::deque<MultilayerLanduseTable> multilayer_;
  Grid correction_grid_{1, kRows, kCols, kRows};
  ConstGridView correction_;
  int next_ = 1;
  std::vector<ZoneRecord> zones_ = std::vector<ZoneRecord>(kZones + 1);
  std::vector<int> code_index_;
  std::string control_file_;
  ModelSettings settings_;
  StatisticsRegistry registry_;
  std::unique_ptr<verdunstungsmodellklasse> model_;
};

class EvapotranspirationTest : public test::LogFixture {};

TEST_F(EvapotranspirationTest, SetUpChecksTheSettings) {
  const struct {
    const char* label;
    Section section;
    int step;
    int code;
    std::string entry;
  } cases[] = {
      {"Hamon with an hourly step only warns", {.method = 2}, 60, 0, "should only be used\nfor daily time steps"},
      {"no such method", {.method = 5}, 1440, 46, "Evapotranspiration requires at least one of the following"},
      {"diffuse share too small, before the sum", {.radiation = "0.04 0.1 0.1 0.1"}, 60, 10,
       "fraction of diffuse radiation is too small: 0.04"},
      {"diffuse share too large", {.radiation = "0.6 0.2 0.2 0"}, 60, 10, "is too large: 0.6"},
      {"coefficients summing to 1.005 pass", {.radiation = "0.25 0.5 0.255 0"}, 60, 0, ""},
      {"coefficients summing to 1.02", {.radiation = "0.25 0.5 0.27 0"}, 60, 10, "= 1.02"},
      {"sunshine relation without root in 0..1", {.sunshine = "-0.5 -1 0 0"}, 60, 10, "No null point (root)"},
      {"sunshine relation not even linear", {.sunshine = "0.5 0 0 0"}, 60, 10, "at minimum a linear relationship"},
      {"day share of the amplitude above 1", {.amplitude_share = "1.2 0"}, 60, 10, "amplitude_fraction_day: 1.2"},
      {"day share without variability", {.amplitude_share = "0.6"}, 60, 10, "or the annual variability"},
      {"only 11 values of PEC", {.pec = "1 1 1 1 1 1 1 1 1 1 1 x"}, 60, 45, "values for the PEC-parameter"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    Basin basin(log_, dir_, "setup");
    EXPECT_EQ(basin.Build(c.section.Text(), c.step), c.code) << console_.str();
    if (!c.entry.empty()) {
      EXPECT_TRUE(Logged(c.entry)) << console_.str();
    }
  }

  Basin cubic(log_, dir_, "cubic");
  ASSERT_EQ(cubic.Build(Section{}.Text()), 0) << console_.str();
  EXPECT_NEAR(cubic.model().section_settings().sunshine_threshold, 0.24310, 5e-6);
  EXPECT_EQ(cubic.model().section_settings().cloudiness.statistic_file, "cloudiness");
  EXPECT_EQ(cubic.model().available_inputs(), 1 + 4 + 64 + 128);
  EXPECT_TRUE(cubic.model().net_radiation_mode());
  Basin line(log_, dir_, "line");
  ASSERT_EQ(line.Build(Section{.sunshine = "0.5 -1 0 0"}.Text()), 0);
  EXPECT_EQ(line.model().section_settings().sunshine_threshold, 0.5);
}

TEST_F(EvapotranspirationTest, InputsLayersAndTheGridTable) {
  {
    Basin basin(log_, dir_, "layers");
    basin.Add("landuse", 1);
    basin.SetLayers("1 forest_grass { Landuse_Layers = 1, 1; }");
    EXPECT_EQ(basin.Build(Section{.method = 2}.Text(), 1440), 44);
    EXPECT_TRUE(Logged("only possible\nfor unlayered Vegetation. Actual parameters: method: 2, number of layers: 2"));
  }
  {
    Basin basin(log_, dir_, "humidity");
    basin.Remove("vapor_pressure");
    EXPECT_EQ(basin.Build(Section{}.Text()), 46);
    EXPECT_TRUE(Logged("vapor pressure (e, in mbar) or relative air humidity"));
  }
  {
    Basin basin(log_, dir_, "wind");
    basin.Remove("wind_speed");
    EXPECT_EQ(basin.Build(Section{}.Text()), 33);
  }
  for (const auto& [name, layer1] : {std::pair{"etp.grd", "etp_Layer_1.grd"}, {"etp", "etp_Layer_1"}}) {
    Basin basin(log_, dir_, "names");
    ASSERT_EQ(basin.Build(Section{.pot_name = name}.Text()), 0) << console_.str();
    EXPECT_EQ(basin.Entry("pot_transpiration0").file_name, name);
    EXPECT_EQ(basin.Entry("pot_transpiration1").file_name, layer1);
    EXPECT_EQ(basin.Entry("real_transpiration1").file_name, "etr_Layer_1.grd");
    // Layer 0, then layer 1, then the single grids, one after the other.
    const int first = basin.IndexOf("pot_transpiration0");
    EXPECT_EQ(basin.IndexOf("potential_InterceptionEvap1"), first + 5);
    EXPECT_EQ(basin.IndexOf("SSDTemp"), first + 11);
  }
  {
    Basin basin(log_, dir_, "full");
    basin.Fill(997);
    EXPECT_EQ(basin.Build(Section{}.Text()), 12);
    EXPECT_TRUE(Logged("no free ghrid left of 1000!"));
    EXPECT_EQ(basin.IndexOf("real_transpiration0"), 999);
  }
}

TEST_F(EvapotranspirationTest, LakeSettings) {
  {
    Basin basin(log_, dir_, "nolake");
    ASSERT_EQ(basin.Build(Section{}.Text(), 60, "1\n7\n0.1\n0.001\n"), 0);
    EXPECT_TRUE(Logged("no LAKE-grid was found in evapotranspiration"));
    EXPECT_EQ(basin.model().lake_settings().on, 0);
  }
  const struct {
    const char* label;
    std::string lake;
    const char* ponding;
    int code;
  } cases[] = {
      {"the upper ponding grid serves", "1\n1\n0.08\n0.001\n", "ponding_storage_top", 0},
      {"initialization method 3", "1\n3\n0.08\n0.001\n", "ponding_storage", 211},
      {"no ponding grid", "1\n1\n0.08\n0.001\n", nullptr, 28},
      {"lakes off reads no more", "0\nx\n", nullptr, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    Basin basin(log_, dir_, "lake");
    basin.Add("lake_codes", 1);
    if (c.ponding != nullptr) basin.Add(c.ponding, 5);
    EXPECT_EQ(basin.Build(Section{}.Text(), 60, c.lake), c.code) << console_.str();
  }
}

// Allen et al. (1998), FAO-56, Example 19: hourly ET0 at N'Diaye on 1 October, 14-15 h
// (a full-daylight hour): 0.63 mm. The basin holds its weather and a dense grass canopy.
TEST_F(EvapotranspirationTest, PenmanMonteithReproducesTheFaoHourlyExample) {
  Basin basin(log_, dir_, "fao");
  ASSERT_EQ(basin.Build(Section{}.Text()), 0) << console_.str();
  ASSERT_EQ(basin.Step(15, 1, 10, 2026), 0) << console_.str();
  EXPECT_NEAR(basin.Values("pot_transpiration1")(2, 2), 0.638, 0.005);
  // Layer 0 holds the transpiration plus the soil evaporation of the bottom layer.
  EXPECT_NEAR(basin.Values("pot_transpiration0")(2, 2),
              basin.Values("pot_transpiration1")(2, 2) + basin.Values("potential_evaporation")(2, 2), 1e-12);
  EXPECT_GT(basin.Values("potential_InterceptionEvap1")(2, 2), basin.Values("pot_transpiration1")(2, 2));

  // A lake cell holding water evaporates as open water: all as transpiration.
  Basin lake(log_, dir_, "faolake");
  lake.Add("lake_codes", 1);
  Grid& ponding = lake.Add("ponding_storage", 0);
  ponding(1, 1) = 10;
  ASSERT_EQ(lake.Build(Section{}.Text(), 60, "1\n1\n0.08\n0.001\n"), 0) << console_.str();
  ASSERT_EQ(lake.Step(15, 1, 10, 2026), 0);
  EXPECT_EQ(lake.Values("potential_InterceptionEvap1")(1, 1), 0);
  EXPECT_EQ(lake.Values("potential_evaporation")(1, 1), 0);
  EXPECT_GT(lake.Values("pot_transpiration1")(1, 1), 0);
  EXPECT_EQ(lake.Values("pot_transpiration0")(1, 1), lake.Values("pot_transpiration1")(1, 1));
}

// Lu et al. (2005), Hamon's formula: 12 h of daylight at the equator, 20 °C, PEC 1:
// 0.1651·216.7·23.38/293.3 = 2.852 mm/d.
TEST_F(EvapotranspirationTest, HamonAtTheEquator) {
  Basin basin(log_, dir_, "hamon");
  basin.SetSite({.latitude = 0, .longitude = 0, .reference_meridian = 0});
  basin.Set("temperature", 20);
  ASSERT_EQ(basin.Build(Section{.method = 2}.Text(), 1440), 0) << console_.str();
  // A step without date (a run without meteorological input) computes nothing.
  ASSERT_EQ(basin.Step(-9999, -9999, -9999, -9999), 0) << console_.str();
  EXPECT_EQ(basin.Values("pot_transpiration0")(1, 1), 0);
  ASSERT_EQ(basin.Step(24, 21, 3, 2026), 0) << console_.str();
  EXPECT_NEAR(basin.Values("pot_transpiration0")(1, 1), 2.852, 0.01);
  EXPECT_EQ(basin.Values("pot_transpiration1")(1, 1), basin.Values("pot_transpiration0")(1, 1));
  EXPECT_EQ(basin.Values("potential_InterceptionEvap0")(1, 1), basin.Values("pot_transpiration0")(1, 1));
  EXPECT_EQ(basin.Values("potential_evaporation")(1, 1), 0);
}

TEST_F(EvapotranspirationTest, RadiationSunshineAndCloudiness) {
  // Sunshine 0.5 with a = 0.2, 0.5, 0.3, 0: r = 0.525; a correction factor of 1.2 gives
  // RG = Rad·(1 + 0.8·0.5·0.2) = 1.08·Rad, also in the radiation grid.
  Basin basin(log_, dir_, "sun");
  basin.Remove("net_radiation");
  Grid& radiation = basin.Add("global_radiation", 500);
  basin.Add("sunshine_duration", 0.5);
  basin.SetCorrection(1.2);
  ASSERT_EQ(basin.Build(Section{.radiation = "0.2 0.5 0.3 0"}.Text()), 0) << console_.str();
  ASSERT_EQ(basin.Step(12, 21, 6, 2026), 0) << console_.str();
  EXPECT_NEAR(basin.Values("AspectCorrectedGlobalRadiation")(1, 1), 540, 1e-9);
  EXPECT_NEAR(radiation(1, 1), 540, 1e-9);
  const double r = 0.2 + 0.25 + 0.3 * 0.25;
  EXPECT_NEAR(basin.Values("cloudiness")(1, 1), 0.997 + 0.4473 * r - 1.4059 * r * r, 1e-12);
  // Nothing renews the radiation grid: the next step corrects the original value again.
  ASSERT_EQ(basin.Step(13, 21, 6, 2026), 0);
  EXPECT_NEAR(radiation(1, 1), 540, 1e-9);
  // A renewed value is taken as it comes.
  radiation.fill(400);
  ASSERT_EQ(basin.Step(14, 21, 6, 2026), 0);
  EXPECT_NEAR(radiation(1, 1), 432, 1e-9);
  // Three daylight steps of sunshine 0.5 summed; the first night step makes them a mean.
  EXPECT_NEAR(basin.Values("SSDTemp")(1, 1), 1.5, 1e-12);
  ASSERT_EQ(basin.Step(22, 21, 6, 2026), 0);
  EXPECT_NEAR(basin.Values("SSDTemp")(1, 1), 0.5, 1e-12);
  EXPECT_EQ(basin.Values("AspectCorrectedGlobalRadiation")(1, 1), 0);
  EXPECT_EQ(basin.Values("cloudiness")(1, 1), 0.5);
  // The night's long-wave loss leaves the dry air's demand: still some transpiration.
  EXPECT_GT(basin.Values("pot_transpiration1")(1, 1), 0);

  // Without sunshine input, radiation far above the clear-sky value: r = 1.
  Basin clear(log_, dir_, "clear");
  clear.Remove("net_radiation");
  clear.Add("global_radiation", 1e6);
  ASSERT_EQ(clear.Build(Section{}.Text()), 0) << console_.str();
  ASSERT_EQ(clear.Step(12, 21, 6, 2026), 0);
  EXPECT_NEAR(clear.Values("cloudiness")(1, 1), 0.0384, 1e-12);
  // The step's limit of 1260 W/m² over the daylight hours.
  EXPECT_NEAR(clear.Values("AspectCorrectedGlobalRadiation")(1, 1), 1260, 1e-9);
}

TEST_F(EvapotranspirationTest, DailyTemperatureAmplitudeDoesNotCompound) {
  Basin basin(log_, dir_, "daily");
  basin.Remove("net_radiation");
  basin.Add("global_radiation", 3000);
  Grid& night = basin.Add("temperature_night", 10);
  basin.Set("temperature", 20);
  ASSERT_EQ(basin.Build(Section{}.Text(), 1440), 0) << console_.str();
  ASSERT_EQ(basin.Step(24, 21, 6, 2026), 0) << console_.str();
  const double raised = basin.Values("temperature")(1, 1);
  const double lowered = night(1, 1);
  EXPECT_GT(raised, 20);
  EXPECT_LT(lowered, 10);
  ASSERT_EQ(basin.Step(24, 21, 6, 2026), 0);
  EXPECT_DOUBLE_EQ(basin.Values("temperature")(1, 1), raised);
  EXPECT_DOUBLE_EQ(night(1, 1), lowered);
}

}  // namespace
}  // namespace tolvo

namespace tolvo {
namespace {

TEST_F(EvapotranspirationTest, SnowEvaporationDrawsTheDemandsFromTheSnowFirst) {
  struct Case {
    int snow_method;
    double S, PT1, PE;
    double E, PT1_after, PE_after, S_after;
  };
  const Case cases[] = {
      {1, 2, 1.5, 1, 2, 0, 0.5, 0},        // the snow gives all it has
      {1, 5, 1.5, 1, 2.5, 0, 0, 2.5},      // the snow meets both demands
      {1, 0, 1.5, 1, 0, 1.5, 1, 0},        // no snow: nothing changes
      {6, 2, 1.5, 1, 0.7, 0, 0, 2},        // energy balance: no demand on a snow cover
      {6, 0, 1.5, 1, 0.7, 1.5, 1, 0},      // ... and none changed without snow
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(std::to_string(k.snow_method) + " S " + std::to_string(k.S));
    Basin basin(log_, dir_, "snowevap");
    ASSERT_EQ(basin.Build(Section{.method = 2}.Text()), 0) << console_.str();
    Grid snow(1, kRows, kCols, kRows);
    snow.fill(k.S);
    basin.model().SetSnowStorageGrid(snow.view());
    basin.model().SetSnowMethod(k.snow_method);
    basin.Set("pot_transpiration1", k.PT1);
    basin.Set("potential_evaporation", k.PE);
    basin.Set("snow_evaporation", 0.7);  // a value of an earlier step
    ASSERT_EQ(CodeOf([&] { basin.model().SnowEvaporation({2020, 1, 3, 4}); }), 0) << console_.str();
    EXPECT_DOUBLE_EQ(basin.Values("snow_evaporation")(2, 2), k.E);
    EXPECT_DOUBLE_EQ(basin.Values("pot_transpiration1")(2, 2), k.PT1_after);
    EXPECT_DOUBLE_EQ(basin.Values("potential_evaporation")(2, 2), k.PE_after);
    EXPECT_DOUBLE_EQ(snow(2, 2), k.S_after);
  }
}

TEST_F(EvapotranspirationTest, TotalRealEvapotranspirationSumsTheRealFluxes) {
  for (const bool interception : {false, true}) {
    SCOPED_TRACE(interception);
    Basin basin(log_, dir_, "totals");
    if (interception) basin.Add("interception_evaporation0", 0.25);
    ASSERT_EQ(basin.Build(Section{.method = 2}.Text()), 0) << console_.str();
    const ModelDate d{2020, 1, 3, 4};
    basin.model().BeginRealEvapotranspiration(d);
    basin.Set("snow_evaporation", 0.5);
    basin.Set("real_evaporation", 0.125);
    basin.Set("real_transpiration1", 1);
    basin.Set("real_transpiration0", 1.125);  // as the soil model left it
    ASSERT_EQ(CodeOf([&] { basin.model().EndOfStepTotals(d); }), 0) << console_.str();
    EXPECT_DOUBLE_EQ(basin.Values("real_transpiration0")(1, 3), interception ? 0.5 + 0.25 + 0.125 + 1 : 1.625);
  }
}

}  // namespace
}  // namespace tolvo
