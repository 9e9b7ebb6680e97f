#pragma once
// The test basin the sub-model benchmarks share: a rows x cols grid of 100 m cells in two
// sub-basins (zone codes 1 and 2), a grid table whose grids a benchmark adds by id, a
// diagnostics log and a scratch folder under the system's temporary folder (removed at
// the end), and the model settings a sub-model's constructor reads. A benchmark adds its
// grids, writes its control file with Settle() and builds its sub-model from settings().

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
#include "framework/modelobject.h"
#include "framework/statistics_registry.h"

namespace tolvo::bench {

class BenchBasin {
 public:
  // `name` names the scratch folder.
  BenchBasin(const std::string& name, int rows, int cols)
      : dir_(MakeFolder(name)),
        geometry_{.ncols = cols, .nrows = rows, .cellsize = 100, .nodata_value = kNodata} {
    reader_.set_geometry(geometry_);
    reader_.set_strip({1, rows});
    reader_.set_grid_table(table_.get());
    for (int z = 0; z <= 2; ++z) {
      code_index_[static_cast<std::size_t>(z)] = z;
      zones_[static_cast<std::size_t>(z)].zonenwert = z;
    }
  }
  BenchBasin(const BenchBasin&) = delete;
  BenchBasin& operator=(const BenchBasin&) = delete;
  ~BenchBasin() { std::filesystem::remove_all(dir_); }

  // A grid of the basin filled with `value`, registered under `id` (file "<id>.asc").
  Grid& Add(const std::string& id, double value) {
    const int rows = geometry_.nrows;
    Grid& grid = grids_.emplace_back(1, rows, geometry_.ncols, rows);
    grid.fill(value);
    reader_.RegisterGrid(next_++, id + ".asc", grid.view(), {}, 0, id, 0, 1, rows);
    return grid;
  }

  // Writes the control file `file_name` with `text` and points the settings at it, the
  // basin's grids, its two sub-basins and the scratch folder for outputs.
  ModelSettings& Settle(const std::string& file_name, const std::string& text) {
    const std::string control = (dir_ / file_name).string();
    std::ofstream(control) << text;
    settings_.compiled_control_file = control;
    settings_.geometry = geometry_;
    settings_.strip = {1, geometry_.nrows};
    settings_.grids = table_.get();
    settings_.zones = {.zone_count = 2, .largest_code = 2, .zones = zones_, .code_index = code_index_,
                       .column_ranges = {}};
    settings_.output_directory = dir_.string() + "/";
    return settings_;
  }

  DiagnosticsLog& log() { return log_; }
  StatisticsRegistry& registry() { return registry_; }
  ModelSettings& settings() { return settings_; }
  int rows() const { return geometry_.nrows; }
  int cols() const { return geometry_.ncols; }

 private:
  static std::filesystem::path MakeFolder(const std::string& name) {
    std::filesystem::path dir = std::filesystem::temp_directory_path() / name;
    std::filesystem::create_directories(dir);
    return dir;
  }

  std::filesystem::path dir_;
  std::ostringstream console_;
  DiagnosticsLog log_{(dir_ / "d.xml").string(), 0, console_};
  const GridGeometry geometry_;
  modelobject reader_{log_, "c"};
  std::unique_ptr<grid_table> table_ = std::make_unique<grid_table>();
  std::deque<Grid> grids_;
  int next_ = 1;
  std::vector<ZoneRecord> zones_ = std::vector<ZoneRecord>(3);
  std::vector<int> code_index_ = std::vector<int>(3);
  ModelSettings settings_;
  StatisticsRegistry registry_;
};

// Limits the OpenMP threads to one while it lives (or leaves them), and restores them.
class ThreadLimit {
 public:
  explicit ThreadLimit(bool one_thread) : threads_(omp_get_max_threads()) {
    if (one_thread) omp_set_num_threads(1);
  }
  ThreadLimit(const ThreadLimit&) = delete;
  ThreadLimit& operator=(const ThreadLimit&) = delete;
  ~ThreadLimit() { omp_set_num_threads(threads_); }

 private:
  int threads_;
};

// Reports the cells per second of a loop whose every iteration computes `cells` cells.
inline void ReportCellRate(benchmark::State& state, long long cells) {
  state.counters["cells/s"] = benchmark::Counter(static_cast<double>(state.iterations()) * static_cast<double>(cells),
                                                 benchmark::Counter::kIsRate);
}

}  // namespace tolvo::bench
