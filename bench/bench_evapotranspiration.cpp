// One step of the potential evapotranspiration on a 1000 × 1000 grid on one core:
// Penman-Monteith with one and with two vegetation layers (hourly step at midday, global
// radiation and vapour pressure given), and Hamon (daily step).
#include <benchmark/benchmark.h>
#include <omp.h>

#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "framework/diagnostics_log.h"
#include "framework/grid_table.h"
#include "framework/model_settings.h"
#include "framework/statistics_registry.h"
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
    reader_.set_geometry(geometry_);
    reader_.set_strip({1, kRows});
    reader_.set_grid_table(table_.get());
    Grid& zone = Add("zone", 1);
    for (int r = 1; r <= kRows; ++r) {
      for (int c = kCols / 2 + 1; c <= kCols; ++c) zone(r, c) = 2;
    }
    Grid& dem = Add("[elevation_model]", 300);
    for (int r = 1; r <= kRows; ++r) {
      for (int c = 1; c <= kCols; ++c) dem(r, c) = 200 + (r + c) % 500;
    }
    const std::map<std::string, double> singles{
        {"SurfaceEvaporationResistance", 100}, {"albedo", 0.2}, {"temperature", 18}, {"wind_speed", 2.5},
        {"global_radiation", 600}, {"vapor_pressure", 12}, {"landuse", 1}};
    for (const auto& [id, value] : singles) Add(id, value);
    for (int k = 1; k <= layers; ++k) {
      const std::string n = std::to_string(k);
      for (const auto& [id, value] : std::map<std::string, double>{
               {"landuse", 1}, {"leaf_area_index", 4.0 / k}, {"root_depth", 0.5}, {"vegetation_coverage_degree", 0.8},
               {"SurfaceCanopyResistance", 70}, {"SurfaceIntercepResistance", 5}, {"RoughnessLength", 0.5 / k}}) {
        Add(id + n, value);
      }
    }
    if (layers > 1) {
      multilayer_[1].ParseBlock(log_, "1 forest_grass { Landuse_Layers = 1, 1; k_extinct = 0.5; LAI_scale = 10; }");
      settings_.multilayer_landuse = &multilayer_;
    }
    for (int z = 0; z <= 2; ++z) {
      code_index_[static_cast<std::size_t>(z)] = z;
      zones_[static_cast<std::size_t>(z)].zonenwert = z;
    }
    const std::string control = (dir_ / "evapo.ctl").string();
    std::ofstream(control) << Section(method, step_min);
    settings_.compiled_control_file = control;
    settings_.geometry = geometry_;
    settings_.strip = {1, kRows};
    settings_.grids = table_.get();
    settings_.zones = {.zone_count = 2, .largest_code = 2, .zones = zones_, .code_index = code_index_,
                       .column_ranges = {}};
    settings_.site = {.latitude = 47.5, .longitude = 8.5, .reference_meridian = 15};
    settings_.output_directory = dir_.string() + "/";
    model_ = std::make_unique<verdunstungsmodellklasse>(log_, registry_, settings_);
  }
  ~Basin() {
    model_.reset();
    std::filesystem::remove_all(dir_);
  }

  void Step(long long hour) { model_->PotentialEvapotranspiration({2020, 6, 21, hour}); }

 private:
  Grid& Add(const std::string& id, double value) {
    Grid& grid = grids_.emplace_back(1, kRows, kCols, kRows);
    grid.fill(value);
    reader_.RegisterGrid(next_++, id + ".asc", grid.view(), {}, 0, id, 0, 1, kRows);
    return grid;
  }

  std::filesystem::path dir_ = [] {
    std::filesystem::path dir = std::filesystem::temp_directory_path() / "bench_evapotranspiration";
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
  MultilayerLanduseTable multilayer_{1};
  std::vector<ZoneRecord> zones_ = std::vector<ZoneRecord>(3);
  std::vector<int> code_index_ = std::vector<int>(3);
  ModelSettings settings_;
  StatisticsRegistry registry_;
  std::unique_ptr<verdunstungsmodellklasse> model_;
};

void RunSteps(benchmark::State& state, int method, int layers, int step_min, long long hour) {
  const int threads = omp_get_max_threads();
  omp_set_num_threads(1);
  Basin basin(method, layers, step_min);
  for (auto _ : state) basin.Step(hour);
  omp_set_num_threads(threads);
  state.counters["cells/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * kRows * kCols, benchmark::Counter::kIsRate);
}

void BM_PenmanMonteithOneLayer(benchmark::State& state) { RunSteps(state, 1, 1, 60, 13); }
BENCHMARK(BM_PenmanMonteithOneLayer)->Unit(benchmark::kMillisecond);

void BM_PenmanMonteithTwoLayers(benchmark::State& state) { RunSteps(state, 1, 2, 60, 13); }
BENCHMARK(BM_PenmanMonteithTwoLayers)->Unit(benchmark::kMillisecond);

void BM_Hamon(benchmark::State& state) { RunSteps(state, 2, 1, 1440, 24); }
BENCHMARK(BM_Hamon)->Unit(benchmark::kMillisecond);

}  // namespace
