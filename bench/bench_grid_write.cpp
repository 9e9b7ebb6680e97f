// Writing and reading back a 2000 x 2000 grid and a 500 x 500 stack of 10 levels in every
// file format: ASCII, float and double binary, and netCDF (grids: netCDF, ASCII, float and
// double binary; stacks: ASCII, float and double binary through MPI file access, netCDF).
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <filesystem>
#include <memory>
#include <sstream>
#include <string>

#include "framework/diagnostics_log.h"
#include "framework/grid_reader.h"
#include "framework/modelobject.h"
#include "framework/stack_reader.h"

namespace {

namespace fs = std::filesystem;
using namespace tolvo;

constexpr int kGridSize = 2000;
constexpr int kStackSize = 500;
constexpr int kStackLevels = 9;  // levels 0..9

double Value(int r, int c) { return 0.001 * r * c + 0.5 * c - 17.25; }

fs::path MakeFolder() {
  fs::path folder = fs::temp_directory_path() / ("tolvo_bench_grid_write_" + std::to_string(::getpid()));
  fs::create_directories(folder);
  return folder;
}

// The folder of the benchmark, its log, the grid and stack written, and model objects.
class Bench {
 public:
  Bench() : folder_(MakeFolder()), log_((folder_ / "diag.xml").string(), 0, console_) {
    grid_ = Grid(1, kGridSize, kGridSize, kGridSize);
    for (int r = 1; r <= kGridSize; ++r) {
      for (int c = 1; c <= kGridSize; ++c) grid_(r, c) = Value(r, c);
    }
    stack_ = Stack(1, kStackSize, kStackSize, kStackLevels, kStackSize);
    for (int r = 1; r <= kStackSize; ++r) {
      for (int c = 1; c <= kStackSize; ++c) {
        for (int l = 0; l <= kStackLevels; ++l) stack_(r, c, l) = Value(r, c) + l;
      }
    }
  }
  ~Bench() { fs::remove_all(folder_); }

  std::unique_ptr<modelobject> Object(int size) {
    const std::string folder = folder_.string() + "/";
    auto object = std::make_unique<modelobject>(log_, "control.txt", OutputFormats{}, folder, folder);
    object->set_name("bench");
    object->set_geometry({size, size, 0, 0, 25, kNodata});
    object->set_strip({1, size});
    return object;
  }
  std::string path(const std::string& name) const { return (folder_ / name).string(); }
  const Grid& grid() const { return grid_; }
  const Stack& stack() const { return stack_; }

 private:
  fs::path folder_;
  std::ostringstream console_;
  DiagnosticsLog log_;
  Grid grid_;
  Stack stack_;
};

Bench& TheBench() {
  static Bench bench;
  return bench;
}

void Count(benchmark::State& state, const std::string& file, long long values) {
  state.SetItemsProcessed(state.iterations() * values);
  state.SetBytesProcessed(state.iterations() * static_cast<long long>(fs::file_size(TheBench().path(file))));
}

// --- grids ----------------------------------------------------------------------------

void WriteGrid(benchmark::State& state, const std::string& name, OutputFormats formats) {
  Bench& bench = TheBench();
  for (auto _ : state) {
    // A fresh object: its netCDF writer creates the file anew instead of appending.
    std::unique_ptr<modelobject> object = bench.Object(kGridSize);
    object->WriteGridFile(name, bench.grid().view(), formats.ascii, formats.doubles, formats.netcdf);
  }
  Count(state, formats.netcdf ? name + ".nc" : name, static_cast<long long>(kGridSize) * kGridSize);
}

void ReadGrid(benchmark::State& state, const std::string& name, const std::string& file, OutputFormats formats) {
  Bench& bench = TheBench();
  std::unique_ptr<modelobject> object = bench.Object(kGridSize);
  object->WriteGridFile(name, bench.grid().view(), formats.ascii, formats.doubles, formats.netcdf);
  for (auto _ : state) {
    Grid grid;
    ReadGrid(object->grid_input(), bench.path(file), grid, {.allocate = true, .whole_on_process0 = true});
    benchmark::DoNotOptimize(grid[kGridSize]);
  }
  Count(state, formats.netcdf ? name + ".nc" : name, static_cast<long long>(kGridSize) * kGridSize);
}

void BM_WriteGridNetCdf(benchmark::State& state) { WriteGrid(state, "w.asc", {.doubles = true, .netcdf = true}); }
void BM_WriteGridAscii(benchmark::State& state) { WriteGrid(state, "w.asc", {.ascii = true}); }
void BM_WriteGridFloat(benchmark::State& state) { WriteGrid(state, "w.flt", {}); }
void BM_WriteGridDouble(benchmark::State& state) { WriteGrid(state, "w.dbl", {.doubles = true}); }
void BM_ReadGridNetCdf(benchmark::State& state) {
  ReadGrid(state, "r.asc", "r.asc.nc<r>0", {.doubles = true, .netcdf = true});
}
void BM_ReadGridAscii(benchmark::State& state) { ReadGrid(state, "r.asc", "r.asc", {.ascii = true}); }
void BM_ReadGridFloat(benchmark::State& state) { ReadGrid(state, "r.flt", "r.flt", {}); }
void BM_ReadGridDouble(benchmark::State& state) { ReadGrid(state, "r.dbl", "r.dbl", {.doubles = true}); }

BENCHMARK(BM_WriteGridNetCdf)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteGridAscii)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteGridFloat)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteGridDouble)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadGridNetCdf)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadGridAscii)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadGridFloat)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadGridDouble)->Unit(benchmark::kMillisecond);

// --- stacks ---------------------------------------------------------------------------

constexpr long long kStackValues = static_cast<long long>(kStackSize) * kStackSize * (kStackLevels + 1);

void WriteStack(benchmark::State& state, const std::string& name, OutputFormats formats) {
  Bench& bench = TheBench();
  for (auto _ : state) {
    std::unique_ptr<modelobject> object = bench.Object(kStackSize);
    object->WriteStackFile(name, bench.stack().view(), kStackLevels, formats.ascii, formats.doubles, formats.netcdf);
  }
  Count(state, formats.netcdf ? name + ".nc" : name, kStackValues);
}

void ReadStack(benchmark::State& state, const std::string& name, OutputFormats formats, bool whole) {
  Bench& bench = TheBench();
  std::unique_ptr<modelobject> object = bench.Object(kStackSize);
  object->WriteStackFile(name, bench.stack().view(), kStackLevels, formats.ascii, formats.doubles, formats.netcdf);
  for (auto _ : state) {
    Stack stack;
    benchmark::DoNotOptimize(tolvo::ReadStack(object->grid_input(), name, stack, {.whole_on_process0 = whole}));
  }
  Count(state, name, kStackValues);
}

void BM_WriteStackNetCdf(benchmark::State& state) { WriteStack(state, "w.stk", {.doubles = true, .netcdf = true}); }
void BM_WriteStackAscii(benchmark::State& state) { WriteStack(state, "w.stk", {.ascii = true}); }
void BM_WriteStackFloat(benchmark::State& state) { WriteStack(state, "w.sfl", {}); }
void BM_WriteStackDouble(benchmark::State& state) { WriteStack(state, "w.sdb", {.doubles = true}); }
void BM_ReadStackAscii(benchmark::State& state) { ReadStack(state, "r.stk", {.ascii = true}, false); }
void BM_ReadStackFloatOwnRows(benchmark::State& state) { ReadStack(state, "r.sfl", {}, false); }
void BM_ReadStackFloatWhole(benchmark::State& state) { ReadStack(state, "r.sfl", {}, true); }
void BM_ReadStackDoubleOwnRows(benchmark::State& state) { ReadStack(state, "r.sdb", {.doubles = true}, false); }
void BM_ReadStackDoubleWhole(benchmark::State& state) { ReadStack(state, "r.sdb", {.doubles = true}, true); }

BENCHMARK(BM_WriteStackNetCdf)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteStackAscii)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteStackFloat)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteStackDouble)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadStackAscii)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadStackFloatOwnRows)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadStackFloatWhole)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadStackDoubleOwnRows)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadStackDoubleWhole)->Unit(benchmark::kMillisecond);

}  // namespace
