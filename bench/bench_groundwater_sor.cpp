// The point iteration of the groundwater head solution: full red-black sweeps (two
// half-sweeps) over one confined layer of 1000 x 1000 cells of 10 m with a pumped well at
// the centre, at 1, 2 and 4 threads. Counters: sweeps per second, cell updates per second.
// The parallel efficiency at n threads is rate(n) / (n rate(1)).
#include <benchmark/benchmark.h>
#include <omp.h>

#include <cstdlib>
#include <vector>

#include "framework/matrix.h"
#include "subsurface/groundwater_kernels.h"

namespace {

using namespace tolvo;

struct Layer {
  explicit Layer(int side) : side(side) {
    for (Grid* g : {&zone, &h, &h_old, &h_prev, &iterate, &tx, &ty, &qx, &qy, &balance, &leakage, &top, &thickness, &kx,
                    &ky, &storage, &fixed_head, &fixed_flux}) {
      *g = Grid(1, side, side, side);
    }
    zone.fill(1);
    h.fill(100);
    h_old.fill(100);
    h_prev.fill(100);
    iterate.fill(100);
    top.fill(50);
    thickness.fill(10);
    kx.fill(1e-4);
    ky.fill(1e-4);
    storage.fill(1e-3);
    fixed_head.fill(kNodata);
    fixed_flux.fill(kNodata);
    for (int k = 1; k <= side; ++k) {
      fixed_head(1, k) = fixed_head(side, k) = fixed_head(k, 1) = fixed_head(k, side) = 100;
    }
    fixed_flux(side / 2, side / 2) = -1e-4;
    domain = {.zone = zone.view(), .cellsize = 10, .nrows = side, .ncols = side};
    view = {.h = h.view(),
            .h_old = h_old.view(),
            .h_prev = h_prev.view(),
            .iterate = iterate.view(),
            .tx = tx.view(),
            .ty = ty.view(),
            .qx = qx.view(),
            .qy = qy.view(),
            .balance = balance.view(),
            .leakage = leakage.view(),
            .top = top.view(),
            .thickness = thickness.view(),
            .kx = kx.view(),
            .ky = ky.view(),
            .storage = storage.view(),
            .fixed_head = fixed_head.view(),
            .fixed_flux = fixed_flux.view(),
            .kolmation = {}};  // a single layer: nothing below it
    ComputeLayerTransmissivities(domain, view, {}, {1, side});
  }
  int side;
  Grid zone, h, h_old, h_prev, iterate, tx, ty, qx, qy, balance, leakage, top, thickness, kx, ky, storage, fixed_head,
      fixed_flux;
  AquiferDomain domain;
  AquiferLayer view;
};

void BM_GroundwaterSorSweep(benchmark::State& state) {
  const int threads = static_cast<int>(state.range(0));
  const char* side_text = std::getenv("GW_BENCH_SIDE");
  const int side = side_text != nullptr ? std::atoi(side_text) : 1000;
  omp_set_num_threads(threads);
  Layer layer(side);
  std::vector<SweepResult> rows(static_cast<std::size_t>(side) + 1);
  const SorParameters p{.dt_s = 3600, .alpha = 1, .relaxation = 1.9, .adaptive = false};
  long long sweeps = 0;
  for (auto _ : state) {
    for (int colour = 0; colour <= 1; ++colour) {
      SorHalfSweep(layer.domain, layer.view, layer.storage.view(), {}, p, colour, {1, side}, rows);
    }
    ++sweeps;
  }
  state.counters["sweeps_per_s"] = benchmark::Counter(static_cast<double>(sweeps), benchmark::Counter::kIsRate);
  state.counters["cell_updates_per_s"] =
      benchmark::Counter(static_cast<double>(sweeps) * side * side, benchmark::Counter::kIsRate);
  state.counters["cores"] = omp_get_num_procs();
}
BENCHMARK(BM_GroundwaterSorSweep)
    ->Arg(1)
    ->Arg(2)
    ->Arg(4)
    ->ArgName("threads")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
