// One step of a meteorological input over a 1000 x 1000 grid of 100 m cells with 50
// stations on a 5 x 10 mesh (25 km across, 11.1 km up): inverse distance weighting
// (method 1), inverse distances with the elevation regression fitted to the step
// (method 10) and bicubic splines on the mesh (method 7),
// each on one thread and on every thread of the machine (the argument). Items per second
// are cells per second; divide by the threads for cells per second per core.
#include <benchmark/benchmark.h>
#include <omp.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "framework/diagnostics_log.h"
#include "framework/grid_table.h"
#include "framework/model_settings.h"
#include "framework/modelobject.h"
#include "framework/statistics_registry.h"
#include "meteo/meteointerpol.h"

namespace {

constexpr int kCells = 1000;
constexpr double kCellSize = 100;

std::string StationFile() {
  std::vector<double> altitude, x, y;
  for (int j = 0; j < 10; ++j) {
    for (int i = 0; i < 5; ++i) {
      altitude.push_back(200 + 37.0 * ((i * 7 + j * 3) % 11));
      x.push_back(25000.0 * i);
      y.push_back(100000.0 / 9 * j);
    }
  }
  std::ostringstream text;
  text.precision(12);
  text << "stations of the benchmark\n";
  for (const std::vector<double>* values : {&altitude, &x, &y}) {
    text << "YY MM DD HH";
    for (double v : *values) text << " " << v;
    text << "\n";
  }
  text << "YY MM DD HH names\n2020 1 1 1";
  for (std::size_t k = 0; k < x.size(); ++k) text << " " << 5 + x[k] / 20000 - 0.006 * (altitude[k] - 200);
  text << "\n";
  return text.str();
}

std::string Section(int method, const std::string& stations) {
  std::ostringstream text;
  text << "[temperature]\n" << method << "  method\n" << stations << "\n"
       << (method == 10 ? "1000 2000 100 0 50" : "none") << "\nresult.asc\n0\n1\nstat.txt 0\n9999\n2.0\n0.5\n"
       << "200000\n0\n1\n-60\n-60\n60\n60\n0\n\n[end]\n";
  return text.str();
}

std::filesystem::path BenchFolder() {
  const std::filesystem::path dir = std::filesystem::temp_directory_path() / ("tolvo_bench_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  return dir;
}

class StepRun {
 public:
  explicit StepRun(int method) {
    std::ofstream(dir_ / "stations.txt") << StationFile();
    std::ofstream(dir_ / "bench.ctl") << Section(method, (dir_ / "stations.txt").string());
    const tolvo::GridGeometry geometry{.ncols = kCells, .nrows = kCells, .cellsize = kCellSize};
    setup_.set_geometry(geometry);
    setup_.set_strip({1, kCells});
    setup_.set_grid_table(&table_);
    const auto grid = [&](int index, const char* id, auto value) {
      tolvo::Grid& g = grids_.emplace_back(1, kCells, kCells, kCells);
      for (int r = 1; r <= kCells; ++r) {
        for (int c = 1; c <= kCells; ++c) g(r, c) = value(r, c);
      }
      setup_.RegisterGrid(index, id, g.view(), {}, 0, id, 0, 1, kCells);
    };
    grids_.reserve(5);
    grid(1, "zones", [](int, int) { return 1.0; });
    grid(2, "dem", [](int r, int c) { return 300 + 200 * std::sin(r / 90.0) * std::cos(c / 70.0); });
    grid(3, "RelCellArea", [](int, int) { return 1.0; });
    grid(4, "CoordX", [](int, int c) { return kCellSize * (c - 0.5); });
    grid(5, "CoordY", [](int r, int) { return kCellSize * (kCells - r + 0.5); });
    zones_ = {tolvo::ZoneRecord{}, tolvo::ZoneRecord{0, 0, 1, 1, 0}};
    settings_.compiled_control_file = (dir_ / "bench.ctl").string();
    settings_.geometry = geometry;
    settings_.strip = {1, kCells};
    settings_.grids = &table_;
    settings_.zones.zone_count = 1;
    settings_.zones.largest_code = 1;
    settings_.zones.zones = zones_;
    settings_.start_date = {2020, 1, 1, 1};
    settings_.end_date = {2020, 1, 1, 1};
    settings_.output_directory = dir_.string() + "/";
    input_ = std::make_unique<tolvo::meteointerpol>(log_, registry_, tolvo::StatisticsRegistry::kCapacity,
                                                    "temperature", settings_, 6);
  }
  ~StepRun() {
    input_->DeleteModule();
    std::filesystem::remove_all(dir_);
  }
  void Step() {
    input_->ComputeElevationRegression(0);
    input_->Interpolate(input_->GetDate());
  }

 private:
  std::filesystem::path dir_ = BenchFolder();
  std::ostringstream console_;
  tolvo::DiagnosticsLog log_{(dir_ / "d.xml").string(), 0, console_};
  tolvo::grid_table table_;
  tolvo::modelobject setup_{log_, ""};
  std::vector<tolvo::Grid> grids_;
  std::vector<tolvo::ZoneRecord> zones_;
  tolvo::StatisticsRegistry registry_;
  tolvo::ModelSettings settings_;
  std::unique_ptr<tolvo::meteointerpol> input_;
};

void BM_InterpolationStep(benchmark::State& state) {
  const int threads = state.range(1) == 0 ? 1 : omp_get_num_procs();
  omp_set_num_threads(threads);
  StepRun run(static_cast<int>(state.range(0)));
  for (auto _ : state) run.Step();
  state.SetItemsProcessed(state.iterations() * static_cast<long long>(kCells) * kCells);
  state.counters["threads"] = threads;
}
BENCHMARK(BM_InterpolationStep)
    ->ArgsProduct({{1, 10, 7}, {0, 1}})
    ->ArgNames({"method", "all_threads"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
