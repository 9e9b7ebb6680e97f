// One step of the radiation correction on a 1000 x 1000 basin of hills: four sub-steps
// around midsummer noon, each with the terrain shading of the whole grid (process 0,
// one thread) and the per-cell sum of direct radiation on the slopes (all threads), then
// the factors and the corrected temperature. Items: cells per step.
#include <benchmark/benchmark.h>
#include <omp.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "framework/grid_table.h"
#include "framework/model_settings.h"
#include "framework/modelobject.h"
#include "framework/statistics_registry.h"
#include "meteo/expokorrklasse.h"

namespace {

using namespace tolvo;

constexpr int kSize = 1000;

class Basin {
 public:
  Basin() {
    const GridGeometry geometry{.ncols = kSize, .nrows = kSize, .cellsize = 100, .nodata_value = kNodata};
    reader_.set_geometry(geometry);
    reader_.set_strip({1, kSize});
    reader_.set_grid_table(table_.get());
    int index = 1;
    for (auto [grid, id] : {std::pair{&zone_, "zones"}, {&dem_, "[elevation_model]"}, {&aspect_, "slope_aspect"},
                            {&slope_, "slope_angle"}, {&temperature_, "temperature"}}) {
      *grid = Grid(1, kSize, kSize, kSize);
      for (int r = 1; r <= kSize; ++r) {
        for (int c = 1; c <= kSize; ++c) {
          const bool inside = (r - 500) * (r - 500) + (c - 500) * (c - 500) < 490000;
          const double x = 0.02 * c;
          const double y = 0.03 * r;
          double value = 1.0;
          if (grid == &dem_) value = 800 + 300 * std::sin(x) * std::cos(y);
          if (grid == &aspect_) value = std::fmod(360 + 57.2958 * std::atan2(std::cos(x), std::sin(y)), 360.0);
          if (grid == &slope_) value = 30 * std::fabs(std::sin(x + y));
          if (grid == &temperature_) value = 15;
          (*grid)(r, c) = inside ? value : kNodata;
        }
      }
      reader_.RegisterGrid(index++, std::string(id) + ".asc", grid->view(), {}, 0, id, 0, 1, kSize);
    }
    zones_ = {ZoneRecord{}, ZoneRecord{0, 0, 1, 1, 0}};
    const std::string control = (std::filesystem::temp_directory_path() / "bench_radiation_correction.ctl").string();
    std::ofstream(control) << "[radiation_correction]\n1\n60\n2\nt.asc\n0\n2\ne.asc\n0\ns.asc\n0\n1\n4\n[next]\n";
    settings_.compiled_control_file = control;
    settings_.geometry = geometry;
    settings_.strip = {1, kSize};
    settings_.grids = table_.get();
    settings_.zones.zone_count = 1;
    settings_.zones.largest_code = 1;
    settings_.zones.zones = zones_;
    settings_.site = {.latitude = 47, .longitude = 15, .reference_meridian = 15};
    settings_.start_date = {2020, 6, 21, 1};
    settings_.end_date = {2020, 6, 22, 24};
    model_ = std::make_unique<expokorrklasse>(log_, registry_, settings_);
  }
  void Step() { model_->RunStep(13, 21, 6, 2020); }
  long long cells() const { return static_cast<long long>(kSize) * kSize; }

 private:
  std::ostringstream console_;
  DiagnosticsLog log_{(std::filesystem::temp_directory_path() / "bench_radiation_correction.xml").string(), 0,
                      console_};
  modelobject reader_{log_, "control.txt"};
  std::unique_ptr<grid_table> table_ = std::make_unique<grid_table>();
  Grid zone_, dem_, aspect_, slope_, temperature_;
  std::vector<ZoneRecord> zones_;
  ModelSettings settings_;
  StatisticsRegistry registry_;
  std::unique_ptr<expokorrklasse> model_;
};

void BM_StepWithShadingAndFourSubSteps(benchmark::State& state) {
  static Basin basin;
  for (auto _ : state) basin.Step();
  state.SetItemsProcessed(state.iterations() * basin.cells());
  state.counters["cells_per_second_per_core"] = benchmark::Counter(
      static_cast<double>(state.iterations() * basin.cells()) / omp_get_max_threads(), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_StepWithShadingAndFourSubSteps)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
