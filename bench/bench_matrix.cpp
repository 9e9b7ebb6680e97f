// Allocation of grids by the block rule and a row-order sweep through a GridView.
#include <benchmark/benchmark.h>

#include "framework/matrix.h"
#include "framework/parallel.h"

static void BM_AllocateGrid(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  for (auto _ : state) {
    tolvo::Grid grid(1, n, n, n);
    benchmark::DoNotOptimize(grid[1]);
  }
}
BENCHMARK(BM_AllocateGrid)->Arg(500)->Arg(2000);

static void BM_SweepGrid(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  tolvo::Grid grid(1, n, n, n);
  tolvo::GridView view = grid.view();
  for (auto _ : state) {
    tolvo::for_each_row(view.rows(), [&](int r) {
      auto row = view.row(r);
      for (int c = 1; c <= view.ncols(); ++c) row[c] = row[c] * 0.5 + 1.0;
    });
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<long long>(n) * n);
}
BENCHMARK(BM_SweepGrid)->Arg(2000);
