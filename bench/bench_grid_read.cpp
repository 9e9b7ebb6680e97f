// Reading a 2000 x 2000 grid in each file format: ASCII, float and double binary (read
// whole by process 0, and by own rows through MPI file access), and netCDF.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "framework/diagnostics_log.h"
#include "framework/grid_reader.h"
#include "framework/modelobject.h"
#include "framework/netcdf_grid.h"

namespace {

namespace fs = std::filesystem;
using namespace tolvo;

constexpr int kSize = 2000;

double Value(int r, int c) { return 0.001 * r * c + 0.5 * c - 17.25; }

const tolvo::GridGeometry kGeometry{kSize, kSize, 0, 0, 25, kNodata};

// The files of the benchmark, written once into a folder of their own.
class GridFiles {
 public:
  GridFiles() : folder_(fs::temp_directory_path() / ("tolvo_bench_grid_read_" + std::to_string(::getpid()))) {
    fs::create_directories(folder_);
    WriteAscii();
    WriteBinary<float>("grid.flt");
    WriteBinary<double>("grid.dbl");
    WriteNetCdf();
  }
  ~GridFiles() { fs::remove_all(folder_); }
  std::string path(const std::string& name) const { return (folder_ / name).string(); }

 private:
  std::vector<double> Header() const { return {kSize, kSize, 0, 0, 25, kNodata, 0, 0, 0, 0, 0, 0}; }

  void WriteAscii() const {
    std::FILE* file = std::fopen(path("grid.asc").c_str(), "w");
    std::fprintf(file, "ncols\t%d\nnrows\t%d\nxllcorner\t%g\nyllcorner\t%g\ncellsize\t%g\nnodata_value\t%g\n", kSize,
                 kSize, 0.0, 0.0, 25.0, kNodata);
    for (int r = 1; r <= kSize; ++r) {
      for (int c = 1; c <= kSize; ++c) std::fprintf(file, "%g\t", Value(r, c));
      std::fputc('\n', file);
    }
    std::fclose(file);
  }

  template <typename T>
  void WriteBinary(const std::string& name) const {
    std::vector<T> numbers;
    for (double value : Header()) numbers.push_back(static_cast<T>(value));
    for (int r = 1; r <= kSize; ++r) {
      for (int c = 1; c <= kSize; ++c) numbers.push_back(static_cast<T>(Value(r, c)));
    }
    std::FILE* file = std::fopen(path(name).c_str(), "wb");
    std::fwrite(numbers.data(), sizeof(T), numbers.size(), file);
    std::fclose(file);
  }

  void WriteNetCdf() const {
    std::vector<double> column_order;
    column_order.reserve(static_cast<std::size_t>(kSize) * kSize);
    for (int c = 1; c <= kSize; ++c) {
      for (int r = 1; r <= kSize; ++r) column_order.push_back(Value(r, c));
    }
    std::ostringstream console;
    DiagnosticsLog log((folder_ / "write.xml").string(), 0, console);
    NetCDFGridWriter writer(log);
    writer.Write(std::span<const double>(column_order), path("grid.nc"), "grid", kNodata, kSize, kSize);
  }

  fs::path folder_;
};

const GridFiles& Files() {
  static const GridFiles files;
  return files;
}

void ReadGrid(benchmark::State& state, const std::string& name, const GridReadOptions& options) {
  const std::string path = Files().path(name);
  std::ostringstream console;
  DiagnosticsLog log(Files().path("diag.xml"), 0, console);
  modelobject object(log, "control.txt");
  object.set_name("bench");
  object.set_geometry(kGeometry);
  object.set_strip({1, kSize});
  for (auto _ : state) {
    Grid grid;
    ReadGrid(object.grid_input(), path, grid, options);
    benchmark::DoNotOptimize(grid[kSize]);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<long long>(kSize) * kSize);
  state.SetBytesProcessed(static_cast<long long>(fs::file_size(fs::path(path.substr(0, path.find('<'))))) *
                          state.iterations());
}

const GridReadOptions kWhole{.allocate = true, .whole_on_process0 = true};
const GridReadOptions kOwnRows{.allocate = true};

void BM_ReadAsciiGrid(benchmark::State& state) { ReadGrid(state, "grid.asc", kWhole); }
void BM_ReadFloatGridWhole(benchmark::State& state) { ReadGrid(state, "grid.flt", kWhole); }
void BM_ReadFloatGridOwnRows(benchmark::State& state) { ReadGrid(state, "grid.flt", kOwnRows); }
void BM_ReadDoubleGridWhole(benchmark::State& state) { ReadGrid(state, "grid.dbl", kWhole); }
void BM_ReadDoubleGridOwnRows(benchmark::State& state) { ReadGrid(state, "grid.dbl", kOwnRows); }
void BM_ReadNetCdfGrid(benchmark::State& state) { ReadGrid(state, "grid.nc<grid>0", kWhole); }

BENCHMARK(BM_ReadAsciiGrid)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadFloatGridWhole)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadFloatGridOwnRows)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadDoubleGridWhole)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadDoubleGridOwnRows)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadNetCdfGrid)->Unit(benchmark::kMillisecond);

}  // namespace
