// One call of surface routing on a 1000 x 1000 tilted plane of 10-m cells (slope 0.01
// southward and 0.002 eastward, river cells along the last row) after 3 mm of direct
// runoff on every cell: methods 1 (roughness iteration) and 5 (fixed Strickler) with 1, 2
// and 4 threads. Items are cell-sub-steps: cells times the sub-steps the call ran. Method
// 6 (head iteration) counts cell-sweeps: cells times the sweeps of all its sub-steps.
#include <benchmark/benchmark.h>
#include <omp.h>

#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>

#include "framework/grid_table.h"
#include "framework/model_settings.h"
#include "framework/statistics_registry.h"
#include "runoff/surfaceroutingclass.h"

namespace {

using namespace tolvo;

constexpr int kSize = 1000;

class Plane {
 public:
  explicit Plane(int method) {
    const std::filesystem::path dir = std::filesystem::temp_directory_path() / "bench_surface_routing";
    std::filesystem::create_directories(dir);
    std::string file_name = "c";
    file_name += std::to_string(method);
    file_name += ".ctl.$$$";
    const std::string control = (dir / file_name).string();
    std::ofstream(control) << "[SurfaceRoutingModel]\n1\n5\n" << method
                           << "\nqdsr.txt 0\nqisr.txt 0\nqbsr.txt 0\nqgsr.txt 0\nv.stack\n0\nf.stack\n0\n0.01\n10\n"
                              "0.000001\n50\n1\n60\n0.05\n1\n0\n";
    settings_.compiled_control_file = control;
    settings_.geometry = {.ncols = kSize, .nrows = kSize, .cellsize = 10};
    settings_.strip = {1, kSize};
    settings_.grids = table_.get();
    settings_.output_directory = dir.string() + "/";
    reader_ = std::make_unique<modelobject>(log_, control);
    reader_->set_geometry(settings_.geometry);
    reader_->set_strip({1, kSize});
    reader_->set_grid_table(table_.get());
    const auto river = [](int r, int) { return r == kSize; };
    // Method 6 iterates only cells outside the river grids.
    const double off_river = method == 6 ? -9999.0 : 0.0;
    const std::pair<const char*, std::function<double(int, int)>> grids[] = {
        {"zone", [](int, int) { return 1.0; }},
        {"dem", [](int r, int c) { return 0.1 * (kSize - r) + 0.02 * (kSize - c); }},
        {"landuse1", [](int, int) { return -9999.0; }},
        {"vegetation_coverage_degree1", [](int, int) { return 0.5; }},
        {"soil_types", [](int, int) { return 1.0; }},
        {"SurfStorSiltingUp", [](int, int) { return 0.0; }},
        {"directflow", [](int, int) { return 0.0; }},
        {"interflow", [](int, int) { return 0.0; }},
        {"river_depth", [&](int r, int c) { return river(r, c) ? 1.0 : off_river; }},
        {"river_width", [&](int r, int c) { return river(r, c) ? 2.0 : off_river; }},
        {"river_links", [](int, int) { return 0.0; }},
        {"zonegrid_soilmodel", [](int, int) { return 1.0; }},
    };
    int index = 1;
    for (const auto& [id, value] : grids) {
      Grid& grid = grids_.emplace_back(1, kSize, kSize, kSize);
      for (int r = 1; r <= kSize; ++r) {
        for (int c = 1; c <= kSize; ++c) grid(r, c) = value(r, c);
      }
      std::string file = id;
      file += ".asc";
      reader_->RegisterGrid(index++, file, grid.view(), {}, 0, id, 0, 1, kSize);
    }
    directflow_ = grids_[6].view();
    model_ = std::make_unique<surfaceroutingclass>(log_, registry_, settings_, 1);
    model_->BeginStep({2020, 6, 1, 1});
  }
  void Rain() {
    for (int r = 1; r <= kSize; ++r) {
      for (int c = 1; c <= kSize; ++c) directflow_(r, c) = 3;
    }
  }
  long long Call() {
    model_->RunStep(1, 1, 6, 2020);
    return model_->routing_settings().method == SurfaceRoutingMethod::kHeadDriven ? model_->head_sweep_count()
                                                                                   : model_->sub_step_count();
  }

 private:
  std::ostringstream console_;
  DiagnosticsLog log_{(std::filesystem::temp_directory_path() / "bench_surface_routing.xml").string(), 0, console_};
  std::unique_ptr<grid_table> table_ = std::make_unique<grid_table>();
  StatisticsRegistry registry_;
  ModelSettings settings_;
  std::unique_ptr<modelobject> reader_;
  std::deque<Grid> grids_;
  GridView directflow_;
  std::unique_ptr<surfaceroutingclass> model_;
};

void BM_SurfaceRoutingCall(benchmark::State& state) {
  static std::unique_ptr<Plane> planes[7];
  const int method = static_cast<int>(state.range(0));
  std::unique_ptr<Plane>& plane = planes[method];
  if (!plane) plane = std::make_unique<Plane>(method);
  omp_set_num_threads(static_cast<int>(state.range(1)));
  long long cell_sub_steps = 0;
  for (auto _ : state) {
    state.PauseTiming();
    plane->Rain();
    state.ResumeTiming();
    cell_sub_steps += plane->Call() * kSize * kSize;
  }
  state.SetItemsProcessed(cell_sub_steps);
  state.counters["threads"] = static_cast<double>(state.range(1));
}
BENCHMARK(BM_SurfaceRoutingCall)
    ->ArgsProduct({{1, 5, 6}, {1, 2, 4}})
    ->ArgNames({"method", "threads"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
