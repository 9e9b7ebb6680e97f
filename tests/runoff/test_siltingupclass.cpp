#include "runoff/siltingupclass.h"

#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "framework/grid_table.h"
#include "framework/model_settings.h"
#include "framework/statistics_registry.h"
#include "framework/tracer_settings_record.h"
#include "setup/spin_up.h"
#include "support/test_support.h"
#include "tables/landuse_table.h"
#include "tables/soil_table.h"

namespace tolvo {
namespace {

using test::CodeOf;

constexpr int kRows = 6;
constexpr int kCols = 4;
constexpr int kZones = 8;  // sub-basin codes 1..8; the grid uses 1 (columns 1-2) and 2 (3-4)

// Land-use table indices and soil-table indices of the cells.
constexpr int kTilled = 1;    // rows 1-3: tillage on days 100 and 280
constexpr int kUntilled = 2;  // rows 4-6
constexpr int kSand = 1;      // columns 1 and 3
constexpr int kLoam = 2;      // columns 2 and 4

constexpr const char* kFixpointKeys =
    " JulDays = 1 366; Albedo = 0.2 0.2; rsc = 70 70; LAI = 1 1; Z0 = 0.01 0.01; VCF = 0.5 0.5;"
    " RootDepth = 0.2 0.2; AltDep = 0 0; RootDist = 1; TReduWet = 1; HReduDry = 50;";

// The built-in formulas of method 1 as the user would write them.
constexpr const char* kMethodOneFormulas =
    "SiltingUpExpressions\n{\n"
    "  X = 65;\n"
    "  Y = 12.2 * K ^ 0.52 * (100 * L) ^ -0.64;\n"
    "  W = (P > 0.05) * (11.89 + 8.73 * LOG10(P + (P <= 0.05)));\n"
    "  Z = (O > 0) * 0.013 * (100 * L) ^ -1.03 * K ^ 0.7 * (O + (O <= 0)) ^ -0.19;\n"
    "  V = (EXP(-Q * Z) * (X - Y) + Y) * R / 60;\n"
    "}\n";

// The lines of a section after the method line: statistics, grids, rain pause block and
// storage read code. `stats` names the statistics files (code 2001: every step).
std::string SectionBody(const std::string& pause_block = "1 8\n2 2\n", const std::string& stats = "") {
  const std::string code = stats.empty() ? " 0\n" : " 2001\n";
  return (stats.empty() ? "disp.txt" : stats + "_disp.txt") + code + (stats.empty() ? "qd.txt" : stats + "_qd.txt") +
         code + "disp.asc\n0\npause.asc\n0\nekin.asc\n0\ntsbb.asc\n0\nqdsu.asc\n0\n" + pause_block + "0\n";
}

// A small basin with everything the silting-up model reads: zone grid, elevation, one
// land-use layer, vegetation cover, soil types, surface storage and precipitation, the
// land-use and soil tables and the zone table.
class Basin {
 public:
  Basin(DiagnosticsLog& log, const test::TempDir& dir, const std::string& name) : log_(log), reader_(log, "c") {
    reader_.set_geometry(geometry_);
    reader_.set_strip({1, kRows});
    reader_.set_grid_table(table_.get());
    for (int r = 1; r <= kRows; ++r) {
      for (int c = 1; c <= kCols; ++c) {
        zone_(r, c) = c <= 2 ? 1 : 2;
        landuse_(r, c) = r <= 3 ? kTilled : kUntilled;
        soil_(r, c) = c % 2 == 1 ? kSand : kLoam;
      }
    }
    zone_(1, 1) = kNodata;
    dem_.fill(300);
    cover_.fill(0.5);
    int index = 1;
    for (auto [grid, id] : {std::pair{&zone_, "zone"}, {&dem_, "dem"}, {&landuse_, "landuse1"},
                            {&cover_, "vegetation_coverage_degree1"}, {&soil_, "soil_types"},
                            {&surface_, "SurfStorSiltingUp"}, {&water_, "precipitation"}}) {
      reader_.RegisterGrid(index++, std::string(id) + ".asc", grid->view(), {}, 0, id, 0, 1, kRows);
    }

    const std::string tilled = std::string("1 field { method = VariableDayCount;") + kFixpointKeys +
                               " SoilTillage = 100 280; }";
    const std::string untilled = std::string("2 meadow { method = VariableDayCount;") + kFixpointKeys + " }";
    landuse_table_[1].ParseBlock(log, tilled, "VariableDayCount");
    landuse_table_[2].ParseBlock(log, untilled, "VariableDayCount");
    soils_.resize(3);
    soils_[kSand].sand = 1;
    soils_[kSand].silt = soils_[kSand].clay = 0;
    soils_[kLoam].sand = 0.4;
    soils_[kLoam].silt = 0.4;
    soils_[kLoam].clay = 0.2;

    for (int z = 0; z <= kZones; ++z) {
      code_index_[static_cast<std::size_t>(z)] = z;
      zones_[static_cast<std::size_t>(z)].zonenwert = z;
      zones_[static_cast<std::size_t>(z)].rel = 1.0 / kZones;
    }
    control_file_ = dir.file(name + ".ctl");
    settings_.compiled_control_file = control_file_;
    settings_.geometry = geometry_;
    settings_.strip = {1, kRows};
    settings_.grids = table_.get();
    settings_.zones = {.zone_count = kZones, .largest_code = kZones, .zones = zones_, .code_index = code_index_, .column_ranges = {}};
    settings_.landuse = &landuse_table_;
    settings_.soils = &soils_;
    settings_.output_directory = dir.path().string() + "/";
  }

  // Builds the model from the section lines after the time step (hourly steps); the code
  // it raises, or 0.
  int Build(const std::string& section) {
    test::WriteFile(control_file_, "[SiltingUpModel]\n1\n60\n" + section + "[next]\n");
    return CodeOf([&] {
      model_ = std::make_unique<siltingupclass>(log_, registry_, settings_);
      model_->SelectWaterInput(false);
    });
  }

  // One hourly step on day `day_of_year` of 2020 with `water` mm on every cell; the code.
  int Step(int day_of_year, double water) {
    water_.fill(water);
    int day = day_of_year;
    int month = 1;
    for (const int length : {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31}) {
      if (day <= length) break;
      day -= length;
      ++month;
    }
    return CodeOf([&] { model_->RunStep(1, day, month, 2020); });
  }

  void SetLanduse(int r, int c, double value) { landuse_(r, c) = value; }
  // Response units: unit 1 is column 2 with its master cell in row 2, unit 2 the rest
  // with every cell its own master.
  void EnableResponseUnits() {
    for (int r = 1; r <= kRows; ++r) {
      for (int c = 1; c <= kCols; ++c) {
        units_(r, c) = c == 2 ? 1 : 2;
        masters_(r, c) = c == 2 && r != 2 ? kNodata : 1;
      }
    }
    reader_.RegisterGrid(8, "hru.asc", units_.view(), {}, 0, "HydrologicResponseUnits", 0, 1, kRows);
    reader_.RegisterGrid(9, "master.asc", masters_.view(), {}, 0, "MasterHydrologicResponseUnits", 0, 1, kRows);
    hrus_ = {HruRecord{}, HruRecord{.id = 1, .key = "", .master_row = 2, .master_col = 2},
             HruRecord{.id = 2, .key = ""}};
    settings_.spin_up = 1;
    settings_.hrus = &hrus_;
  }
  // The input concentration of a tracer (before Build).
  void SetTracerInput(double input) {
    tracer_input_.fill(input);
    reader_.RegisterGrid(8, "cin.asc", tracer_input_.view(), {}, 0, "concflux_tracer_1_input", 0, 1, kRows);
  }
  // One tracer that does not evaporate (after Build).
  void AddTracer() {
    tracers_.resize(2);
    tracers_[1] = {.name = "abc", .max_conc = 1000, .half_time = -9999, .path = settings_.output_directory,
                   .statext = "txt", .gridext = "asc"};
    model_->InitTracers(1, tracers_, registry_, StatisticsRegistry::kCapacity);
  }
  // The surface routing as a whole run registers it, after a stack of the soil model: its
  // weights stack tells the model that the surface storage holds `left_mm` of water the
  // routing left on every cell in the last step (before Build).
  void AddSurfaceRouting(double left_mm) {
    surface_.fill(left_mm);
    reader_.RegisterGrid(8, "theta.stk", {}, stack_.view(), 2, "theta", 0, 1, kRows);
    reader_.RegisterGrid(9, "", {}, stack_.view(), 2, "SurfaceRoutingWeights", 0, 1, kRows);
  }
  // Fills the grid table up to entry `last` with grids of no use.
  void FillTable(int last) {
    for (int index = 8; index <= last; ++index) {
      reader_.RegisterGrid(index, "filler.asc", dem_.view(), {}, 0, "filler" + std::to_string(index), 0, 1, kRows);
    }
  }

  GridView Values(const std::string& identifier) { return (*table_)[reader_.FindGrid(identifier, true)].values; }
  siltingupclass& model() { return *model_; }
  Grid& water() { return water_; }

 private:
  DiagnosticsLog& log_;
  const GridGeometry geometry_{.ncols = kCols, .nrows = kRows, .cellsize = 100, .nodata_value = kNodata};
  modelobject reader_;
  std::unique_ptr<grid_table> table_ = std::make_unique<grid_table>();
  Grid zone_{1, kRows, kCols, kRows};
  Grid dem_{1, kRows, kCols, kRows};
  Grid landuse_{1, kRows, kCols, kRows};
  Grid cover_{1, kRows, kCols, kRows};
  Grid soil_{1, kRows, kCols, kRows};
  Grid surface_{1, kRows, kCols, kRows};
  Grid water_{1, kRows, kCols, kRows};
  Grid units_{1, kRows, kCols, kRows};
  Grid masters_{1, kRows, kCols, kRows};
  Grid tracer_input_{1, kRows, kCols, kRows};
  Stack stack_{1, kRows, kCols, 2, kRows};
  std::vector<HruRecord> hrus_;
  std::vector<TracerSettingsRecord> tracers_;
  LanduseTable landuse_table_{2};
  std::vector<SoilRecord> soils_;
  std::vector<ZoneRecord> zones_ = std::vector<ZoneRecord>(kZones + 1);
  std::vector<int> code_index_ = std::vector<int>(kZones + 1);
  std::string control_file_;
  ModelSettings settings_;
  StatisticsRegistry registry_;
  std::unique_ptr<siltingupclass> model_;
};

class SiltingUpModelTest : public test::LogFixture {
 protected:
  int Occurrences(const std::string& text) const {
    const std::string console = console_.str();
    int n = 0;
    for (std::size_t at = console.find(text); at != std::string::npos; at = console.find(text, at + 1)) ++n;
    return n;
  }
  Basin basin_{log_, dir_, "a"};
};

TEST_F(SiltingUpModelTest, MinimumRainPauseGoesToTheSubbasinsFromTheirCodes) {
  const std::string help = "at least the first AND the last subbasin code have\nto be specified";
  const struct {
    const char* label;
    std::string block;
    int code;
    std::vector<double> pauses;  // indices 1..8
    std::string entry = {};
  } cases[] = {
      {"first and last code", "1 8\n5 2\n", 0, {5, 5, 5, 5, 5, 5, 5, 2}},
      {"codes in between", "1 4 8\n5 3 2\n", 0, {5, 5, 5, 3, 3, 3, 3, 2}},
      {"the smallest code left out still has a value", "3 8\n4 5 2\n", 0, {4, 4, 5, 5, 5, 5, 5, 2}},
      {"a value that cannot be read", "1 8\n5 x\n", 10, {}, "error reading RainPause[8] for SiltingUpModel (minimum rainpause)"},
      {"no such sub-basin", "1 9\n5 2\n", 10, {}, "error! there is no code 9 (from "},
      {"a code that cannot be read", "1 x\n5 2\n", 10, {}, "error reading code[1] for SiltingUpModel"},
      {"codes that do not ascend", "5 3 8\n1 2 3\n", 10, {}, "must ascend: code 3 follows code 5"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    Basin basin(log_, dir_, "pause");
    ASSERT_EQ(basin.Build("1\n" + SectionBody(c.block)), c.code) << console_.str();
    if (c.code != 0) {
      EXPECT_TRUE(Logged(c.entry)) << console_.str();
      EXPECT_TRUE(Logged(help));
      continue;
    }
    const std::vector<double>& pauses = basin.model().section_settings().minimum_rain_pause;
    EXPECT_EQ(std::vector<double>(pauses.begin() + 1, pauses.end()), c.pauses);
  }
}

TEST_F(SiltingUpModelTest, SectionVariantsAndTheBlockFailures) {
  // A first line naming the statistics leaves method 1 and its defaults.
  ASSERT_EQ(basin_.Build(SectionBody()), 0) << console_.str();
  EXPECT_EQ(basin_.model().section_settings().method, SiltingUpMethod::kDefaultParameters);
  EXPECT_EQ(basin_.model().section_settings().parameters.b, 12.2);

  Basin own(log_, dir_, "own");
  ASSERT_EQ(own.Build("2\n" + SectionBody() + "60\n12\n0.5\n-0.6\n0.01\n-1\n0.7\n-0.2\n"), 0) << console_.str();
  EXPECT_EQ(own.model().section_settings().parameters.a, 60);
  EXPECT_EQ(own.model().section_settings().parameters.h, -0.2);

  const std::string path = "\"" + dir_.file("block.ctl") + "\"";
  const struct {
    const char* label;
    std::string block;
    int code;
    std::string entry;
  } failures[] = {
      {"no keyword", "[next]\n", 402,
       "no SiltingUpExpressios found (at least X, Y and Z must be initialized) in control file " + path},
      {"a blank before the keyword", " SiltingUpExpressions { Z = 1; }\n", 402, "no SiltingUpExpressios found"},
      {"an empty line before the keyword", "\nSiltingUpExpressions { Z = 1; }\n", 402, "no SiltingUpExpressios found"},
      {"no opening bracket", "SiltingUpExpressions\n  Z = 1; }\n", 400,
       "error looking for opening bracket \"{\" after \"SiltingUpExpressions\" in control file " + path},
      {"no closing bracket", "SiltingUpExpressions\n{ Z = 1;\n", 401,
       "error looking for closing bracket \"}\" after \"SiltingUpExpressions\" in control file " + path},
  };
  for (const auto& f : failures) {
    SCOPED_TRACE(f.label);
    Basin basin(log_, dir_, "block");
    // The failing text goes last: the control file ends right after it.
    test::WriteFile(dir_.file("block.ctl"), "");
    EXPECT_EQ(basin.Build("3\n" + SectionBody() + f.block), f.code);
    EXPECT_TRUE(Logged(f.entry)) << console_.str();
  }

  // Four free entries are not enough for the five own grids.
  Basin full(log_, dir_, "full");
  full.FillTable(995);
  EXPECT_EQ(full.Build("1\n" + SectionBody()), 12);
  EXPECT_TRUE(Logged("no free grid left, allowed number of grids is (contact the author)1000!"));

  // The block may open on a later line; blanks go; text after the last ";" is dropped
  // with a warning that names it.
  Basin formulas(log_, dir_, "formulas");
  ASSERT_EQ(formulas.Build("3\n" + SectionBody() + "SiltingUpExpressions\n\n  {  Z = 2 *\n 3;Y=1; W = 4 }\n"), 0)
      << console_.str();
  EXPECT_EQ(formulas.model().section_settings().expressions, (std::vector<std::string>{"Z=2*3", "Y=1"}));
  EXPECT_TRUE(Logged("the expression W=4 in SiltingUpModel is not closed by \";\" and is not evaluated"));
}

// Day 110 of 2020 is ten days after the tillage on day 100. 70 mm in an hour on cells
// covered to 0.5 by vegetation and 0.01 by residue, without surface routing.
TEST_F(SiltingUpModelTest, OneStepSealsTilledCellsAndLeavesOthersAlone) {
  ASSERT_EQ(basin_.Build("1\n" + SectionBody()), 0) << console_.str();
  ASSERT_EQ(basin_.Step(110, 70), 0) << console_.str();
  const SiltingUpParameters p;
  const double loam_diameter = MeanGrainDiameter({0.4, 0.4, 0.2, {0, 0, 0, 0}});
  const double disposition = SiltingUpDisposition(p, loam_diameter, 0.4, 10);
  const double energy = (1 - 0.51) * 70 * (11.89 + 8.73 * std::log10(70.0));
  const double capacity =
      (std::exp(-energy * disposition) * (65 - FinalInfiltrationRate(p, loam_diameter, 0.4)) +
       FinalInfiltrationRate(p, loam_diameter, 0.4));
  // The loam cell of row 2, column 2.
  EXPECT_DOUBLE_EQ(basin_.Values("TimeSinceLastSoilTillage")(2, 2), 10);
  EXPECT_NEAR(basin_.Values("SiltingUpDisposition")(2, 2), 0.0016038, 5e-8);
  EXPECT_DOUBLE_EQ(basin_.Values("KineticEnergy")(2, 2), energy);
  EXPECT_DOUBLE_EQ(basin_.Values("DirectRunoffSiltingUp")(2, 2), 70 - capacity);
  EXPECT_DOUBLE_EQ(basin_.water()(2, 2), capacity);
  EXPECT_EQ(basin_.Values("SurfStorSiltingUp")(2, 2), 70);
  EXPECT_EQ(basin_.Values("RainPause")(2, 2), 0);

  // An untilled cell: no time since tillage, no energy, no runoff; all water stays.
  for (const char* id : {"TimeSinceLastSoilTillage", "KineticEnergy", "SiltingUpDisposition",
                         "DirectRunoffSiltingUp"}) {
    EXPECT_EQ(basin_.Values(id)(5, 2), 0) << id;
  }
  EXPECT_EQ(basin_.water()(5, 2), 70);
  EXPECT_EQ(basin_.Values("SurfStorSiltingUp")(5, 2), 70);
  // A cell without a land-use record is not tilled either.
  basin_.SetLanduse(3, 3, kNodata);
  ASSERT_EQ(basin_.Step(110, 70), 0);
  EXPECT_EQ(basin_.Values("DirectRunoffSiltingUp")(3, 3), 0);
  EXPECT_EQ(basin_.Values("TimeSinceLastSoilTillage")(3, 3), 0);
  EXPECT_EQ(basin_.water()(3, 3), 70);
  EXPECT_GT(basin_.Values("DirectRunoffSiltingUp")(3, 4), 0);
  // The cell outside the basin keeps nodata.
  EXPECT_EQ(basin_.Values("DirectRunoffSiltingUp")(1, 1), kNodata);
  EXPECT_EQ(basin_.water()(1, 1), 70);
}

// The water the surface routing left on a cell joins the cell's water input: it reaches
// the soil or the direct runoff, and none of it is lost.
TEST_F(SiltingUpModelTest, SurfaceWaterLeftByTheSurfaceRoutingJoinsTheWaterInput) {
  basin_.AddSurfaceRouting(5);
  ASSERT_EQ(basin_.Build("1\n" + SectionBody()), 0) << console_.str();
  ASSERT_EQ(basin_.Step(110, 70), 0) << console_.str();
  for (const auto& [r, c] : {std::pair{5, 2}, {2, 2}}) {  // untilled, tilled
    EXPECT_DOUBLE_EQ(basin_.Values("SurfStorSiltingUp")(r, c), 75) << r << " " << c;
    EXPECT_NEAR(basin_.water()(r, c) + basin_.Values("DirectRunoffSiltingUp")(r, c), 75, 1e-12) << r << " " << c;
  }
  EXPECT_GT(basin_.Values("DirectRunoffSiltingUp")(2, 2), 0);
}

// Over two days of changing rain, every cell's water input splits into direct runoff
// and the water left for the soil; energy accumulates while the rain pause stays below
// the sub-basin's minimum (2 days) and starts afresh after a longer pause.
TEST_F(SiltingUpModelTest, WaterBalanceClosesAndEnergyAccumulatesOverManySteps) {
  ASSERT_EQ(basin_.Build("1\n" + SectionBody()), 0);
  double previous_energy = 0;
  for (int step = 0; step < 48; ++step) {
    const double water = 10 + 50 * std::sin(step * 0.3) * std::sin(step * 0.3);
    ASSERT_EQ(basin_.Step(120, water), 0);
    for (int r = 1; r <= kRows; ++r) {
      for (int c = 1; c <= kCols; ++c) {
        if (r == 1 && c == 1) continue;
        const double runoff = basin_.Values("DirectRunoffSiltingUp")(r, c);
        EXPECT_GE(runoff, 0);
        EXPECT_NEAR(runoff + basin_.water()(r, c), water, 1e-12 * water) << r << " " << c;
      }
    }
    const double energy = basin_.Values("KineticEnergy")(2, 2);
    EXPECT_GT(energy, previous_energy);
    previous_energy = energy;
  }
  // Three dry days: the pause passes the minimum, so the next rain's energy stands alone.
  for (int step = 0; step < 72; ++step) ASSERT_EQ(basin_.Step(122, 0), 0);
  EXPECT_GT(basin_.Values("RainPause")(2, 2), 2.9);
  ASSERT_EQ(basin_.Step(125, 10), 0);
  EXPECT_DOUBLE_EQ(basin_.Values("KineticEnergy")(2, 2), (1 - 0.51) * 10 * 20.62);
}

TEST_F(SiltingUpModelTest, ResponseUnitsTakeTheValuesOfTheirMasterCell) {
  basin_.EnableResponseUnits();
  ASSERT_EQ(basin_.Build("1\n" + SectionBody()), 0);
  basin_.water()(2, 2) = 0;  // set again by the step: every cell gets the same water
  ASSERT_EQ(basin_.Step(110, 70), 0);
  const double master_runoff = basin_.Values("DirectRunoffSiltingUp")(2, 2);
  EXPECT_GT(master_runoff, 0);
  for (int r : {1, 3, 5}) {
    for (const char* id : {"DirectRunoffSiltingUp", "KineticEnergy", "TimeSinceLastSoilTillage", "precipitation"}) {
      EXPECT_EQ(basin_.Values(id)(r, 2), basin_.Values(id)(2, 2)) << id << " row " << r;
    }
  }
}

// A dissolved substance in the water input: what leaves with the direct runoff and what
// stays in the cell add up to what came in.
TEST_F(SiltingUpModelTest, TracerMassSplitsBetweenRunoffAndTheCell) {
  basin_.SetTracerInput(0.5);
  ASSERT_EQ(basin_.Build("1\n" + SectionBody()), 0);
  ASSERT_EQ(CodeOf([&] { basin_.AddTracer(); }), 0) << console_.str();
  ASSERT_EQ(basin_.Step(110, 70), 0);
  const double runoff = basin_.Values("DirectRunoffSiltingUp")(2, 2);
  ASSERT_GT(runoff, 0);
  const double stored = basin_.Values("concstor_tracer_1_SiltingUpModel")(2, 2);
  const double flux = basin_.Values("concflux_tracer_1_SiltingUpModel")(2, 2);
  EXPECT_NEAR(stored + flux * runoff, 70 * 0.5, 1e-12);
  EXPECT_DOUBLE_EQ(flux * runoff, 70 * (70 * 0.5) / (runoff + 70));
}

TEST_F(SiltingUpModelTest, FormulasRestatingMethodOneGiveItsGrids) {
  Basin formulas(log_, dir_, "formulas");
  ASSERT_EQ(basin_.Build("1\n" + SectionBody()), 0);
  ASSERT_EQ(formulas.Build("3\n" + SectionBody() + kMethodOneFormulas), 0) << console_.str();
  for (int step = 0; step < 30; ++step) {
    const double water = step % 7 == 3 ? 0.02 : 1 + 70 * std::fabs(std::sin(step * 0.7));  // below 76.2 mm/h
    ASSERT_EQ(basin_.Step(101 + step / 24, water), 0);
    ASSERT_EQ(formulas.Step(101 + step / 24, water), 0) << console_.str();
    for (const char* id : {"SiltingUpDisposition", "RainPause", "KineticEnergy", "TimeSinceLastSoilTillage",
                           "DirectRunoffSiltingUp", "precipitation", "SurfStorSiltingUp"}) {
      for (int r = 1; r <= kRows; ++r) {
        for (int c = 1; c <= kCols; ++c) {
          const double expected = basin_.Values(id)(r, c);
          EXPECT_NEAR(formulas.Values(id)(r, c), expected, 1e-12 * std::fabs(expected)) << id << " " << r << " " << c;
        }
      }
    }
  }
}

TEST_F(SiltingUpModelTest, AFailingFormulaStopsTheStepWithOneEntryUnderFourThreads) {
  ASSERT_EQ(basin_.Build("3\n" + SectionBody() +
                         "SiltingUpExpressions\n{\n X = 65; Y = 5; W = 20;\n Z = FOO(L);\n V = 1;\n}\n"),
            0);
  const int threads = omp_get_max_threads();
  omp_set_num_threads(4);
  EXPECT_EQ(basin_.Step(110, 10), 403);
  omp_set_num_threads(threads);
  EXPECT_EQ(Occurrences("could not be parsed correctly"), 1);
  EXPECT_TRUE(Logged("-----------------error------------\nin instance SiltingUpModel\nexpression Z=FOO(L) could not "
                     "be parsed correctly. Parser message: Error: Unknown function FOO (col 9)"))
      << console_.str();
}

TEST_F(SiltingUpModelTest, FormulasWithoutZLeaveNoDispositionAndWarnOnce) {
  ASSERT_EQ(basin_.Build("3\n" + SectionBody() + "SiltingUpExpressions { X = 65; Y = 5; W = 20; }\n"), 0);
  ASSERT_EQ(basin_.Step(110, 10), 0);
  ASSERT_EQ(basin_.Step(110, 10), 0);
  EXPECT_EQ(Occurrences("do not define Z"), 1);
  EXPECT_EQ(basin_.Values("SiltingUpDisposition")(2, 2), 0);
  // Without a formula for V the capacity is 0: a tilled cell's water runs off.
  EXPECT_EQ(basin_.Values("DirectRunoffSiltingUp")(2, 2), 10);
  EXPECT_EQ(basin_.water()(2, 2), 0);
}

TEST_F(SiltingUpModelTest, OneAndFourThreadsGiveTheSameGridsAndTables) {
  Basin four(log_, dir_, "four");
  ASSERT_EQ(basin_.Build("3\n" + SectionBody("1 8\n2 2\n", "one") + kMethodOneFormulas), 0);
  ASSERT_EQ(four.Build("3\n" + SectionBody("1 8\n2 2\n", "four") + kMethodOneFormulas), 0);
  const int threads = omp_get_max_threads();
  for (int step = 0; step < 12; ++step) {
    omp_set_num_threads(1);
    ASSERT_EQ(basin_.Step(150, 5.0 * step), 0);
    omp_set_num_threads(4);
    ASSERT_EQ(four.Step(150, 5.0 * step), 0);
  }
  omp_set_num_threads(threads);
  for (const char* id : {"SiltingUpDisposition", "KineticEnergy", "DirectRunoffSiltingUp", "precipitation"}) {
    for (int r = 1; r <= kRows; ++r) {
      for (int c = 1; c <= kCols; ++c) EXPECT_EQ(four.Values(id)(r, c), basin_.Values(id)(r, c)) << id;
    }
  }
  basin_.model().FlushStatistics();
  four.model().FlushStatistics();
  for (const char* table : {"_disp.txt", "_qd.txt"}) {
    const std::string one_text = test::ReadFile(dir_.file(std::string("one") + table));
    EXPECT_FALSE(one_text.empty());
    EXPECT_EQ(test::ReadFile(dir_.file(std::string("four") + table)), one_text) << table;
  }
}

}  // namespace
}  // namespace tolvo
