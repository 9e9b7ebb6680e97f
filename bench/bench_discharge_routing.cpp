// The discharge routing's step on a generated network of 10,000 sub-basins: a binary tree
// in which sub-basin i takes the outflow of sub-basins 2i and 2i + 1 through one channel
// each (5,000 routing objects, 9,999 channels, K = 4 sub-intervals). The counter gives
// routed sub-basins per second for one whole step.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "framework/diagnostics_log.h"
#include "framework/grid_table.h"
#include "framework/matrix.h"
#include "framework/model_settings.h"
#include "framework/statistics_registry.h"
#include "framework/tracer_settings_record.h"
#include "routing/abflussmodellklasse.h"

namespace {

using namespace tolvo;
namespace fs = std::filesystem;

constexpr int kSide = 100;
constexpr int kSubbasins = kSide * kSide;

std::string ControlFile() {
  std::ostringstream text;
  text << "[routing_model]\n1\n60\n1 10000 40 4\nQstat.txt 0\nnone\n0\n0\n";
  for (int i = kSubbasins / 2; i >= 1; --i) {
    text << "TG " << i << " (A=0.03, s=1)\n";
    for (int tributary : {2 * i, 2 * i + 1}) {
      if (tributary > kSubbasins) continue;
      text << " OL " << tributary
           << " (kh=1, kv=2, bm=2, bf=10, d=0.5, Mm=25, Mf=15, I=0.01, L=500, Ac=0.02)\n";
    }
  }
  text << "end of the routing description\n\n[output_interval]\n24\n1\n0\n";
  return text.str();
}

// The network in a folder of its own (the channel tables go into the working directory).
class Network {
 public:
  Network() : folder_(fs::temp_directory_path() / ("bench_discharge_routing_" + std::to_string(::getpid()))) {
    fs::create_directories(folder_);
    previous_ = fs::current_path();
    fs::current_path(folder_);
    std::ofstream(folder_ / "c.ctl") << ControlFile();
    zones_ = Grid(1, kSide, kSide, kSide);
    for (int r = 1; r <= kSide; ++r) {
      for (int c = 1; c <= kSide; ++c) zones_(r, c) = (r - 1) * kSide + c;
    }
    settings_.geometry = {.ncols = kSide, .nrows = kSide, .cellsize = 100, .nodata_value = kNodata};
    settings_.strip = {1, kSide};
    settings_.grids = &table_;
    settings_.output_directory = folder_.string() + "/";
    settings_.compiled_control_file = (folder_ / "c.ctl").string();
    for (int index : {kZoneGridIndex, 2}) {
      table_[index].file_name = "zones.asc";
      table_[index].identifier = index == kZoneGridIndex ? "[zone_grid]" : "zonegrid_soilmodel";
      table_[index].values = zones_.view();
    }
    // As when the state comes from storage grids: no start-up routings, whose number grows
    // with the travel times of the whole network.
    model_ = std::make_unique<abflussmodellklasse>(log_, registry_, settings_, 1, 0, tracers_);
    runoff_ = {std::vector<double>(kSubbasins + 1, 1.5)};
    model_->SetRunoffInput(runoff_);
    model_->InitRouting();
  }
  ~Network() {
    model_->DeleteModule();
    model_.reset();
    fs::current_path(previous_);
    fs::remove_all(folder_);
  }
  Network(const Network&) = delete;
  Network& operator=(const Network&) = delete;

  abflussmodellklasse& model() { return *model_; }

 private:
  fs::path folder_;
  fs::path previous_;
  std::ostringstream console_;
  DiagnosticsLog log_{(fs::temp_directory_path() / ("bench_discharge_routing_" + std::to_string(::getpid()) + ".xml")).string(),
                      4, console_};
  StatisticsRegistry registry_;
  grid_table table_;
  Grid zones_;
  ModelSettings settings_;
  std::vector<TracerSettingsRecord> tracers_;
  std::vector<std::vector<double>> runoff_;
  std::unique_ptr<abflussmodellklasse> model_;
};

void BM_RoutingStep(benchmark::State& state) {
  Network network;
  long long hour = 1;
  for (auto _ : state) {
    network.model().RunStep(hour, 1, 1, 2000);
    hour = hour % 24 + 1;
    benchmark::DoNotOptimize(network.model().routed_discharge()[0][1]);
  }
  state.counters["sub-basins/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * kSubbasins, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_RoutingStep)->Unit(benchmark::kMillisecond);

}  // namespace
