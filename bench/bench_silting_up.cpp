// The silting-up model's costs: one evaluation of a user formula compiled once, beside
// the evaluation of its text (read each time), and the step per cell on one core with the
// built-in formulas (method 1) and with the same formulas given as expressions (method 3).
#include <benchmark/benchmark.h>
#include <omp.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "framework/diagnostics_log.h"
#include "framework/grid_table.h"
#include "framework/model_settings.h"
#include "framework/statistics_registry.h"
#include "runoff/expression_evaluator.h"
#include "runoff/siltingupclass.h"
#include "tables/landuse_table.h"
#include "tables/soil_table.h"

namespace {

using namespace tolvo;

constexpr const char* kCapacityFormula = "V = (EXP(-Q * Z) * (X - Y) + Y) * R / 60";

// The inputs of a cell as the step sets them.
void SetCell(ExpressionVariables& v) {
  v.SetVariable("Q", 350.0);
  v.SetVariable("Z", 0.0016);
  v.SetVariable("X", 65.0);
  v.SetVariable("Y", 5.66);
  v.SetVariable("R", 60.0);
}

void BM_CompiledFormula(benchmark::State& state) {
  const ExpressionProgram program(kCapacityFormula);
  ExpressionVariables variables;
  ExpressionEvaluator evaluator(&variables);
  SetCell(variables);
  for (auto _ : state) {
    benchmark::DoNotOptimize(evaluator.Run(program));
    benchmark::DoNotOptimize(evaluator.value());
  }
  state.counters["evaluations/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_CompiledFormula);

void BM_EvaluateText(benchmark::State& state) {
  ExpressionVariables variables;
  ExpressionEvaluator evaluator(&variables);
  SetCell(variables);
  for (auto _ : state) benchmark::DoNotOptimize(evaluator.Evaluate(kCapacityFormula));
  state.counters["evaluations/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_EvaluateText);

constexpr int kRows = 200;
constexpr int kCols = 200;

constexpr const char* kFixpointKeys =
    " JulDays = 1 366; Albedo = 0.2 0.2; rsc = 70 70; LAI = 1 1; Z0 = 0.01 0.01; VCF = 0.5 0.5;"
    " RootDepth = 0.2 0.2; AltDep = 0 0; RootDist = 1; TReduWet = 1; HReduDry = 50;";

// A square basin of tilled loam and sand in two sub-basins, with the silting-up model.
class Basin {
 public:
  explicit Basin(const std::string& method_lines) {
    reader_.set_geometry(geometry_);
    reader_.set_strip({1, kRows});
    reader_.set_grid_table(table_.get());
    for (int r = 1; r <= kRows; ++r) {
      for (int c = 1; c <= kCols; ++c) {
        zone_(r, c) = c <= kCols / 2 ? 1 : 2;
        soil_(r, c) = 1 + (r + c) % 2;
      }
    }
    landuse_.fill(1);
    dem_.fill(300);
    cover_.fill(0.3);
    int index = 1;
    for (auto [grid, id] : {std::pair{&zone_, "zone"}, {&dem_, "dem"}, {&landuse_, "landuse1"},
                            {&cover_, "vegetation_coverage_degree1"}, {&soil_, "soil_types"},
                            {&surface_, "SurfStorSiltingUp"}, {&water_, "precipitation"}}) {
      reader_.RegisterGrid(index++, std::string(id) + ".asc", grid->view(), {}, 0, id, 0, 1, kRows);
    }
    landuse_table_[1].ParseBlock(log_, std::string("1 field { method = VariableDayCount;") + kFixpointKeys +
                                           " SoilTillage = 100 280; }", "VariableDayCount");
    soils_.resize(3);
    soils_[1].sand = 1;
    soils_[1].silt = soils_[1].clay = 0;
    soils_[2].sand = soils_[2].silt = 0.4;
    soils_[2].clay = 0.2;
    for (int z = 0; z <= 2; ++z) {
      code_index_[static_cast<std::size_t>(z)] = z;
      zones_[static_cast<std::size_t>(z)].zonenwert = z;
    }
    const std::string control = (dir_ / "silting.ctl").string();
    std::ofstream(control) << "[SiltingUpModel]\n1\n60\n" << method_lines;
    settings_.compiled_control_file = control;
    settings_.geometry = geometry_;
    settings_.strip = {1, kRows};
    settings_.grids = table_.get();
    settings_.zones = {.zone_count = 2, .largest_code = 2, .zones = zones_, .code_index = code_index_,
                       .column_ranges = {}};
    settings_.landuse = &landuse_table_;
    settings_.soils = &soils_;
    settings_.output_directory = dir_.string() + "/";
    model_ = std::make_unique<siltingupclass>(log_, registry_, settings_);
    model_->SelectWaterInput(false);
  }
  ~Basin() {
    model_.reset();
    std::filesystem::remove_all(dir_);
  }

  void Step(double water) {
    water_.fill(water);
    model_->RunStep(1, 19, 4, 2020);
  }

 private:
  std::filesystem::path dir_ = [] {
    std::filesystem::path dir = std::filesystem::temp_directory_path() / "bench_silting_up";
    std::filesystem::create_directories(dir);
    return dir;
  }();
  std::ostringstream console_;
  DiagnosticsLog log_{(dir_ / "d.xml").string(), 0, console_};
  const GridGeometry geometry_{.ncols = kCols, .nrows = kRows, .cellsize = 100, .nodata_value = kNodata};
  modelobject reader_{log_, "c"};
  std::unique_ptr<grid_table> table_ = std::make_unique<grid_table>();
  Grid zone_{1, kRows, kCols, kRows};
  Grid dem_{1, kRows, kCols, kRows};
  Grid landuse_{1, kRows, kCols, kRows};
  Grid cover_{1, kRows, kCols, kRows};
  Grid soil_{1, kRows, kCols, kRows};
  Grid surface_{1, kRows, kCols, kRows};
  Grid water_{1, kRows, kCols, kRows};
  LanduseTable landuse_table_{1};
  std::vector<SoilRecord> soils_;
  std::vector<ZoneRecord> zones_ = std::vector<ZoneRecord>(3);
  std::vector<int> code_index_ = std::vector<int>(3);
  ModelSettings settings_;
  StatisticsRegistry registry_;
  std::unique_ptr<siltingupclass> model_;
};

constexpr const char* kSectionBody =
    "disp.txt 0\nqd.txt 0\ndisp.asc\n0\npause.asc\n0\nekin.asc\n0\ntsbb.asc\n0\nqdsu.asc\n0\n1 2\n2 2\n0\n";

constexpr const char* kMethodOneFormulas =
    "SiltingUpExpressions\n{\n"
    "  X = 65;\n"
    "  Y = 12.2 * K ^ 0.52 * (100 * L) ^ -0.64;\n"
    "  W = (P > 0.05) * (11.89 + 8.73 * LOG10(P + (P <= 0.05)));\n"
    "  Z = (O > 0) * 0.013 * (100 * L) ^ -1.03 * K ^ 0.7 * (O + (O <= 0)) ^ -0.19;\n"
    "  V = (EXP(-Q * Z) * (X - Y) + Y) * R / 60;\n"
    "}\n";

void RunSteps(benchmark::State& state, const std::string& method_lines) {
  const int threads = omp_get_max_threads();
  omp_set_num_threads(1);
  Basin basin(method_lines);
  int step = 0;
  for (auto _ : state) basin.Step(5.0 + (step++ % 10));
  omp_set_num_threads(threads);
  state.counters["cells/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * kRows * kCols, benchmark::Counter::kIsRate);
}

void BM_SiltingUpStepMethod1(benchmark::State& state) { RunSteps(state, std::string("1\n") + kSectionBody); }
BENCHMARK(BM_SiltingUpStepMethod1)->Unit(benchmark::kMillisecond);

void BM_SiltingUpStepMethod3(benchmark::State& state) {
  RunSteps(state, std::string("3\n") + kSectionBody + kMethodOneFormulas);
}
BENCHMARK(BM_SiltingUpStepMethod3)->Unit(benchmark::kMillisecond);

}  // namespace
