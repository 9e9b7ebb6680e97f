// Interpolation kernels of the meteorological inputs over a 1000 x 1000 grid of 100 m
// cells with 50 stations, on one thread: inverse distance weighting with the exponents 2
// (inverse squared distance) and 1.5 (power function), and the elevation regression with
// its correction plane. Items per second are cells per second on one core.
#include <benchmark/benchmark.h>
#include <omp.h>

#include <random>
#include <vector>

#include "framework/matrix.h"
#include "framework/parallel.h"
#include "meteo/inverse_distance.h"
#include "meteo/regression_kernels.h"

namespace {

constexpr int kCells = 1000;
constexpr double kCellSize = 100;
constexpr int kStations = 50;
constexpr double kNodata = 9999;

struct StationSet {
  std::vector<double> x{0};
  std::vector<double> y{0};
  std::vector<double> v{0};
  StationSet() {
    std::mt19937 random(22);
    std::uniform_real_distribution<double> place(0, kCells * kCellSize);
    std::uniform_real_distribution<double> value(-5, 25);
    for (int k = 1; k <= kStations; ++k) {
      x.push_back(place(random));
      y.push_back(place(random));
      v.push_back(k % 10 == 0 ? -kNodata - 1 : value(random));
    }
  }
  tolvo::StationPoints points() const { return {x, y, v}; }
};

// Runs `kernel(scratch, x, y, r, c)` over every cell of the grid on one thread.
template <typename Kernel>
void Sweep(benchmark::State& state, Kernel&& kernel) {
  omp_set_num_threads(1);
  tolvo::Grid result(1, kCells, kCells, kCells);
  const tolvo::GridView out = result.view();
  std::vector<double> scratch(kStations + 1);  // the one thread's
  for (auto _ : state) {
    tolvo::for_each_row(out.rows(), [&](int r) {
      const std::span<double> row = out.row(r);
      const double y = (kCells - r + 0.5) * kCellSize;
      for (int c = 1; c <= kCells; ++c) row[static_cast<std::size_t>(c)] = kernel(scratch, (c - 0.5) * kCellSize, y, r, c);
    });
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<long long>(kCells) * kCells);
}

void BM_InverseDistance(benchmark::State& state) {
  const double exponent = static_cast<double>(state.range(0)) / 10;
  const StationSet stations;
  const tolvo::StationPoints points = stations.points();
  const double radius = 50000;
  const tolvo::IdwSettings idw =
      tolvo::MakeIdwSettings(exponent, exponent == 2.0 ? radius * radius : radius, 1, kNodata);
  Sweep(state, [&](std::span<double> scratch, double x, double y, int, int) {
    return tolvo::InverseDistance(points, scratch, x, y, idw);
  });
}
BENCHMARK(BM_InverseDistance)->Arg(20)->Arg(15)->Unit(benchmark::kMillisecond);

void BM_RegressionAt(benchmark::State& state) {
  tolvo::RegressionParameters p{};
  p[tolvo::kA1] = 10;
  p[tolvo::kB1] = -0.006;
  p[tolvo::kL1] = 500;
  p[tolvo::kA2] = 12;
  p[tolvo::kB2] = -0.004;
  p[tolvo::kL2] = 1500;
  p[tolvo::kA3] = 8;
  p[tolvo::kB3] = -0.0065;
  p[tolvo::kC0] = 11;
  p[tolvo::kCx] = 0.0001;
  p[tolvo::kCy] = -0.00005;
  Sweep(state, [&](std::span<double>, double x, double y, int r, int c) {
    const double z = 200.0 + 2 * r + c;  // an elevation model rising to the north-west
    return tolvo::RegressionAt(p, kNodata, -9999, x, y, z);
  });
}
BENCHMARK(BM_RegressionAt)->Unit(benchmark::kMillisecond);

}  // namespace
