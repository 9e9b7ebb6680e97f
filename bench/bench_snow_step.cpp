// The snow model's first half-step (accumulation and melt of every cell) on a 1000 × 1000
// grid, hourly: the degree-day method 1 and the energy-balance method 5, on one thread and
// on all threads. Temperatures around the melting point, so that cells snow, melt and
// refreeze; the step allocates nothing.
#include <benchmark/benchmark.h>
#include <omp.h>

#include <deque>
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
    reader_.set_geometry(geometry_);
    reader_.set_strip({1, kRows});
    reader_.set_grid_table(table_.get());
    Grid& zone = Add("zone", 1);
    for (int r = 1; r <= kRows; ++r) {
      for (int c = kCols / 2 + 1; c <= kCols; ++c) zone(r, c) = 2;
    }
    Grid& dem = Add("dem", 300);
    Grid& temperature = Add("temperature", 0);
    for (int r = 1; r <= kRows; ++r) {
      for (int c = 1; c <= kCols; ++c) {
        dem(r, c) = 800 + (r + c) % 500;
        temperature(r, c) = -3 + 0.01 * ((r * 7 + c * 3) % 600);
      }
    }
    Add("zonegrid_soilmodel", 1);
    for (const auto& [id, value] :
         std::vector<std::pair<std::string, double>>{{"landuse1", 1},
                                                     {"albedo", 0.2},
                                                     {"precipitation", 0.4},
                                                     {"wind_speed", 2},
                                                     {"cloudiness", 0.5},
                                                     {"air_humidity", 0.7},
                                                     {"AspectCorrectedGlobalRadiation", 250},
                                                     {"snow_evaporation", 0}}) {
      Add(id, value);
    }
    for (int z = 0; z <= 2; ++z) {
      code_index_[static_cast<std::size_t>(z)] = z;
      zones_[static_cast<std::size_t>(z)].zonenwert = z;
    }
    const std::string control = (dir_ / "snow.ctl").string();
    std::ofstream(control) << Section(method);
    settings_.compiled_control_file = control;
    settings_.geometry = geometry_;
    settings_.strip = {1, kRows};
    settings_.grids = table_.get();
    settings_.zones = {.zone_count = 2, .largest_code = 2, .zones = zones_, .code_index = code_index_,
                       .column_ranges = {}};
    settings_.site = {.latitude = 47.5, .longitude = 8.5, .reference_meridian = 15};
    settings_.output_directory = dir_.string() + "/";
    model_ = std::make_unique<schneemodellklasse>(log_, registry_, settings_);
    model_->SetWaterInput(false);
  }
  ~Basin() {
    model_.reset();
    std::filesystem::remove_all(dir_);
  }

  void Step(long long hour) { model_->SnowTimeStep({2020, 2, 10, hour}); }

 private:
  Grid& Add(const std::string& id, double value) {
    Grid& grid = grids_.emplace_back(1, kRows, kCols, kRows);
    grid.fill(value);
    reader_.RegisterGrid(next_++, id + ".asc", grid.view(), {}, 0, id, 0, 1, kRows);
    return grid;
  }

  std::filesystem::path dir_ = [] {
    std::filesystem::path dir = std::filesystem::temp_directory_path() / "bench_snow_step";
    std::filesystem::create_directories(dir);
    return dir;
  }();
  std::ostringstream console_;
  DiagnosticsLog log_{(dir_ / "d.xml").string(), 0, console_};
  const GridGeometry geometry_{.ncols = kCols, .nrows = kRows, .cellsize = 100, .nodata_value = kNodata};
  modelobject reader_{log_, "c"};
  std::unique_ptr<grid_table> table_ = std::make_unique<grid_table>();
  std::deque<Grid> grids_;
  int next_ = 1;
  std::vector<ZoneRecord> zones_ = std::vector<ZoneRecord>(3);
  std::vector<int> code_index_ = std::vector<int>(3);
  ModelSettings settings_;
  StatisticsRegistry registry_;
  std::unique_ptr<schneemodellklasse> model_;
};

void RunSteps(benchmark::State& state, int method, bool one_thread) {
  const int threads = omp_get_max_threads();
  if (one_thread) omp_set_num_threads(1);
  Basin basin(method);
  long long hour = 1;
  for (auto _ : state) {
    basin.Step(hour);
    hour = hour % 24 + 1;
  }
  omp_set_num_threads(threads);
  state.counters["cells/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * kRows * kCols, benchmark::Counter::kIsRate);
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
