// The silting-up model's costs: one evaluation of a user formula compiled once, beside
// the evaluation of its text (read each time), and the step per cell on one core with the
// built-in formulas (method 1) and with the same formulas given as expressions (method 3).
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "bench_basin.h"
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
    Grid& zone = basin_.Add("zone", 0);
    basin_.Add("dem", 300);
    basin_.Add("landuse1", 1);
    basin_.Add("vegetation_coverage_degree1", 0.3);
    Grid& soil = basin_.Add("soil_types", 0);
    for (int r = 1; r <= kRows; ++r) {
      for (int c = 1; c <= kCols; ++c) {
        zone(r, c) = c <= kCols / 2 ? 1 : 2;
        soil(r, c) = 1 + (r + c) % 2;
      }
    }
    basin_.Add("SurfStorSiltingUp", 0);
    water_ = &basin_.Add("precipitation", 0);
    landuse_table_[1].ParseBlock(basin_.log(), std::string("1 field { method = VariableDayCount;") + kFixpointKeys +
                                                   " SoilTillage = 100 280; }",
                                 "VariableDayCount");
    soils_.resize(3);
    soils_[1].sand = 1;
    soils_[1].silt = soils_[1].clay = 0;
    soils_[2].sand = soils_[2].silt = 0.4;
    soils_[2].clay = 0.2;
    ModelSettings& settings = basin_.Settle("silting.ctl", "[SiltingUpModel]\n1\n60\n" + method_lines);
    settings.landuse = &landuse_table_;
    settings.soils = &soils_;
    model_ = std::make_unique<siltingupclass>(basin_.log(), basin_.registry(), settings);
    model_->SelectWaterInput(false);
  }

  void Step(double water) {
    water_->fill(water);
    model_->RunStep(1, 19, 4, 2020);
  }

 private:
  bench::BenchBasin basin_{"bench_silting_up", kRows, kCols};
  Grid* water_ = nullptr;
  LanduseTable landuse_table_{1};
  std::vector<SoilRecord> soils_;
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
  const bench::ThreadLimit limit(true);
  Basin basin(method_lines);
  int step = 0;
  for (auto _ : state) basin.Step(5.0 + (step++ % 10));
  bench::ReportCellRate(state, static_cast<long long>(kRows) * kCols);
}

void BM_SiltingUpStepMethod1(benchmark::State& state) { RunSteps(state, std::string("1\n") + kSectionBody); }
BENCHMARK(BM_SiltingUpStepMethod1)->Unit(benchmark::kMillisecond);

void BM_SiltingUpStepMethod3(benchmark::State& state) {
  RunSteps(state, std::string("3\n") + kSectionBody + kMethodOneFormulas);
}
BENCHMARK(BM_SiltingUpStepMethod3)->Unit(benchmark::kMillisecond);

}  // namespace
