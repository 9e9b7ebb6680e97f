// The snow model's first half-step (accumulation and melt of every cell) on a 1000 × 1000
// grid, hourly: the degree-day method 1 and the energy-balance method 5, on one thread and
// on all threads. Temperatures around the melting point, so that cells snow, melt and
// refreeze; the step allocates nothing.
#include <benchmark/benchmark.h>
#include <omp.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "bench_basin.h"
#include "surface/schneemodellklasse.h"

namespace {

using namespace tolvo;

constexpr int kRows = 1000;
constexpr int kCols = 1000;

std::string Section(int method) {
  std::string text = "[snow_model]\n1\n60\n" + std::to_string(method) +
                     "\n1\n0.5\n0\n0.1\n0.25\n3\n1.5\n0.3\n2.5\n1\n3\n0.45\n0.9\n";
  for (const char* g : {"rain", "snow", "days", "age"}) text += std::string(g) + ".asc\n0\n" + g + ".txt 0\n";
  text +=
      "albedo.txt 0\nout.asc\n0\nout.txt 0\nmelt.asc\n0\nmelt.txt 0\nsolid.asc\n0\nliquid.asc\n0\nstore.txt 0\n"
      "total.asc\n0\n0\n";
  if (method > 4) {
    text +=
        "stemp.asc\n0\nstemp.txt 0\nsurf.asc\n0\nsurf.txt 0\ninput.asc\n0\ninput.txt 0\nmobile.asc\n0\n"
        "mobile.txt 0\ndepo.asc\n0\ndepo.txt 0\n55\n1\n30\n0.01\n1\n1\n1\n";
  }
  return text + "[end]\n";
}

class Basin {
 public:
  explicit Basin(int method) {
    Grid& zone = basin_.Add("zone", 1);
    for (int r = 1; r <= kRows; ++r) {
      for (int c = kCols / 2 + 1; c <= kCols; ++c) zone(r, c) = 2;
    }
    Grid& dem = basin_.Add("dem", 300);
    Grid& temperature = basin_.Add("temperature", 0);
    for (int r = 1; r <= kRows; ++r) {
      for (int c = 1; c <= kCols; ++c) {
        dem(r, c) = 800 + (r + c) % 500;
        temperature(r, c) = -3 + 0.01 * ((r * 7 + c * 3) % 600);
      }
    }
    basin_.Add("zonegrid_soilmodel", 1);
    for (const auto& [id, value] :
         std::vector<std::pair<std::string, double>>{{"landuse1", 1},
                                                     {"albedo", 0.2},
                                                     {"precipitation", 0.4},
                                                     {"wind_speed", 2},
                                                     {"cloudiness", 0.5},
                                                     {"air_humidity", 0.7},
                                                     {"AspectCorrectedGlobalRadiation", 250},
                                                     {"snow_evaporation", 0}}) {
      basin_.Add(id, value);
    }
    ModelSettings& settings = basin_.Settle("snow.ctl", Section(method));
    settings.site = {.latitude = 47.5, .longitude = 8.5, .reference_meridian = 15};
    model_ = std::make_unique<schneemodellklasse>(basin_.log(), basin_.registry(), settings);
    model_->SetWaterInput(false);
  }

  void Step(long long hour) { model_->SnowTimeStep({2020, 2, 10, hour}); }

 private:
  bench::BenchBasin basin_{"bench_snow_step", kRows, kCols};
  std::unique_ptr<schneemodellklasse> model_;
};

void RunSteps(benchmark::State& state, int method, bool one_thread) {
  const int threads = omp_get_max_threads();
  const bench::ThreadLimit limit(one_thread);
  Basin basin(method);
  long long hour = 1;
  for (auto _ : state) {
    basin.Step(hour);
    hour = hour % 24 + 1;
  }
  bench::ReportCellRate(state, static_cast<long long>(kRows) * kCols);
  state.counters["threads"] = one_thread ? 1 : threads;
}

void BM_SnowStepDegreeDay(benchmark::State& state) { RunSteps(state, 1, true); }
BENCHMARK(BM_SnowStepDegreeDay)->Unit(benchmark::kMillisecond)->UseRealTime();
void BM_SnowStepDegreeDayAllThreads(benchmark::State& state) { RunSteps(state, 1, false); }
BENCHMARK(BM_SnowStepDegreeDayAllThreads)->Unit(benchmark::kMillisecond)->UseRealTime();
void BM_SnowStepEnergyBalance(benchmark::State& state) { RunSteps(state, 5, true); }
BENCHMARK(BM_SnowStepEnergyBalance)->Unit(benchmark::kMillisecond)->UseRealTime();
void BM_SnowStepEnergyBalanceAllThreads(benchmark::State& state) { RunSteps(state, 5, false); }
BENCHMARK(BM_SnowStepEnergyBalanceAllThreads)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
