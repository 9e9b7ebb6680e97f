// One step of the potential evapotranspiration on a 1000 × 1000 grid on one core:
// Penman-Monteith with one and with two vegetation layers (hourly step at midday, global
// radiation and vapour pressure given), and Hamon (daily step).
#include <benchmark/benchmark.h>

#include <map>
#include <memory>
#include <string>

#include "bench_basin.h"
#include "surface/verdunstungsmodellklasse.h"
#include "tables/multilayer_landuse.h"

namespace {

using namespace tolvo;

constexpr int kRows = 1000;
constexpr int kCols = 1000;

std::string Section(int method, int step_min) {
  return "[evapotranspiration]\n1\n" + std::to_string(step_min) + "\n" + std::to_string(method) +
         "\n1 1 1 1 1 1 1 1 1 1 1 1\n0.3 0.3 0.3 0.3 0.3 0.3 0.3 0.3 0.3 0.3 0.3 0.3 0.5 fk\n"
         "etp.asc\n0\netp.txt 0\netr.asc\n0\netr.txt 0\nevap.asc\n0\nevap.txt 0\nevar.asc\n0\nevar.txt 0\n"
         "snowevap.asc\n0\nsnowevap.txt 0\neip.asc\n0\neip.txt 0\nrgex.txt 0\n0.23 0.52 0.25 0\n"
         "0.072 -0.808 1.749 -0.239\n0.7 0.1\n10000\n5 5 5 5 5 5 5 5 5 5 5 5\n0.65 0.1\n\n[end]\n";
}

// A square basin of two zones with every input of the methods, as constant grids with
// a little variation between cells.
class Basin {
 public:
  Basin(int method, int layers, int step_min) {
    Grid& zone = basin_.Add("zone", 1);
    for (int r = 1; r <= kRows; ++r) {
      for (int c = kCols / 2 + 1; c <= kCols; ++c) zone(r, c) = 2;
    }
    Grid& dem = basin_.Add("[elevation_model]", 300);
    for (int r = 1; r <= kRows; ++r) {
      for (int c = 1; c <= kCols; ++c) dem(r, c) = 200 + (r + c) % 500;
    }
    const std::map<std::string, double> singles{
        {"SurfaceEvaporationResistance", 100}, {"albedo", 0.2}, {"temperature", 18}, {"wind_speed", 2.5},
        {"global_radiation", 600}, {"vapor_pressure", 12}, {"landuse", 1}};
    for (const auto& [id, value] : singles) basin_.Add(id, value);
    for (int k = 1; k <= layers; ++k) {
      const std::string n = std::to_string(k);
      for (const auto& [id, value] : std::map<std::string, double>{
               {"landuse", 1}, {"leaf_area_index", 4.0 / k}, {"root_depth", 0.5}, {"vegetation_coverage_degree", 0.8},
               {"SurfaceCanopyResistance", 70}, {"SurfaceIntercepResistance", 5}, {"RoughnessLength", 0.5 / k}}) {
        basin_.Add(id + n, value);
      }
    }
    ModelSettings& settings = basin_.Settle("evapo.ctl", Section(method, step_min));
    if (layers > 1) {
      multilayer_[1].ParseBlock(basin_.log(),
                                "1 forest_grass { Landuse_Layers = 1, 1; k_extinct = 0.5; LAI_scale = 10; }");
      settings.multilayer_landuse = &multilayer_;
    }
    settings.site = {.latitude = 47.5, .longitude = 8.5, .reference_meridian = 15};
    model_ = std::make_unique<verdunstungsmodellklasse>(basin_.log(), basin_.registry(), settings);
  }

  void Step(long long hour) { model_->PotentialEvapotranspiration({2020, 6, 21, hour}); }

 private:
  bench::BenchBasin basin_{"bench_evapotranspiration", kRows, kCols};
  MultilayerLanduseTable multilayer_{1};
  std::unique_ptr<verdunstungsmodellklasse> model_;
};

void RunSteps(benchmark::State& state, int method, int layers, int step_min, long long hour) {
  const bench::ThreadLimit limit(true);
  Basin basin(method, layers, step_min);
  for (auto _ : state) basin.Step(hour);
  bench::ReportCellRate(state, static_cast<long long>(kRows) * kCols);
}

void BM_PenmanMonteithOneLayer(benchmark::State& state) { RunSteps(state, 1, 1, 60, 13); }
BENCHMARK(BM_PenmanMonteithOneLayer)->Unit(benchmark::kMillisecond);

void BM_PenmanMonteithTwoLayers(benchmark::State& state) { RunSteps(state, 1, 2, 60, 13); }
BENCHMARK(BM_PenmanMonteithTwoLayers)->Unit(benchmark::kMillisecond);

void BM_Hamon(benchmark::State& state) { RunSteps(state, 2, 1, 1440, 24); }
BENCHMARK(BM_Hamon)->Unit(benchmark::kMillisecond);

}  // namespace
