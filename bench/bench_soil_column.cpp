// The soil column solver: one hourly sub-step of every column of a grid of loam columns
// draining from a wet start (water table low in the column), 20 and 40 layers, the fixed
// (2) and the dynamic (3) time step, without input or with 1 mm/h of rain and the
// evapotranspiration of a grass cover. Counters: column-sub-steps (water iterations of a
// column) per second, and heap allocations per column-sub-step inside the loop.
#include <benchmark/benchmark.h>
#include <omp.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <sstream>
#include <string>
#include <vector>

#include "framework/diagnostics_log.h"
#include "framework/matrix.h"
#include "subsurface/soil_column_solver.h"
#include "subsurface/soil_start_state.h"
#include "tables/landuse_table.h"

namespace {
std::atomic<long long> g_allocations{0};
}  // namespace

// Counting replacements of the global allocation functions; GCC takes the malloc/free pair
// inside them for a mismatch with the replaced operators.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

void* operator new(std::size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

using namespace tolvo;

struct Basin {
  Basin(int side, int layers, SoilMethod method, bool rain)
      : landuse_table(1),
        rain_grid(1, side, side, side),
        landuse(1, side, side, side),
        cover(1, side, side, side),
        roots(1, side, side, side),
        pot_t(1, side, side, side),
        pot_e(1, side, side, side),
        real_t0(1, side, side, side),
        real_t1(1, side, side, side),
        zone(1, side, side, side),
        types(1, side, side, side),
        level(1, side, side, side),
        distance(1, side, side, side),
        downext(1, side, side, side),
        theta(1, side, side, layers, side),
        heads(1, side, side, layers, side),
        geodetic(1, side, side, layers, side),
        q(1, side, side, layers, side),
        work(layers) {
    std::ostringstream console;
    const std::filesystem::path diag = std::filesystem::temp_directory_path() / "bench_soil_column_diag.xml";
    DiagnosticsLog log(diag.string(), 0, console);
    soils.emplace_back(0);
    soils.emplace_back(1).ParseBlock(
        log, "1 loam { method = MultipleHorizons; layers = " + std::to_string(layers) +
                 "; ksat = 1e-5; theta_sat = 0.43; theta_res = 0.078; alpha = 3.6; Par_n = 1.56; thickness = 0.1; }\n");
    const SoilRecord& soil = soils[1];
    for (int r = 1; r <= side; ++r) {
      for (int c = 1; c <= side; ++c) {
        zone(r, c) = 1;
        types(r, c) = 1;
        const std::span<double> g = geodetic.view().levels(r, c);
        ComputeGeodeticHeads(500, soil.thickness, g);
        // Wet start: every layer near saturation above a water table three layers up.
        ComputeStartWaterContent(soil, g, layers - 3, theta.view().levels(r, c));
        for (int l = 1; l <= layers - 3; ++l) theta(r, c, l) = 0.41;
        ComputeHydraulicHeads(soil, g, theta.view().levels(r, c), heads.view().levels(r, c));
        const GroundwaterSurface s = FindGroundwaterSurface(theta.view().levels(r, c), soil.theta_sat, g);
        level(r, c) = s.level;
        distance(r, c) = s.distance_m;
      }
    }
    settings.method = method;
    settings.soils = soils;
    settings.rows = {1, side};
    settings.ncols = side;
    settings.dt_sub = 3600;
    settings.min_dynamic_s = 60;
    views.zone = zone.view();
    views.soil_types = types.view();
    views.groundwater_level = level.view();
    views.groundwater_distance = distance.view();
    views.theta = theta.view();
    views.hydraulic_heads = heads.view();
    views.geodetic_heads = geodetic.view();
    views.q_down = q.view();
    views.q_downext = downext.view();
    if (!rain) return;
    landuse_table[1].ParseBlock(log,
                                "1 grass { method = VariableDayCount; RootDist = 1; TReduWet = 0.95; HReduDry = 3.45; "
                                "JulDays = 1 366; Albedo = 0.2 0.2; rsc = 50 50; LAI = 2 2; Z0 = 0.1 0.1; "
                                "VCF = 0.7 0.7; RootDepth = 0.4 0.4; AltDep = 0 0; }\n",
                                "VariableDayCount");
    settings.landuse = &landuse_table;
    for (int r = 1; r <= side; ++r) {
      for (int c = 1; c <= side; ++c) {
        rain_grid(r, c) = 1;
        landuse(r, c) = 1;
        cover(r, c) = 0.7;
        roots(r, c) = 0.4;
        pot_t(r, c) = 0.2;
        pot_e(r, c) = 0.05;
      }
    }
    views.input = rain_grid.view();
    views.landuse = {ConstGridView(), landuse.view()};
    views.vegetation_cover = {ConstGridView(), cover.view()};
    views.root_depth = {ConstGridView(), roots.view()};
    views.pot_transpiration = {ConstGridView(), pot_t.view()};
    views.pot_evaporation = pot_e.view();
    views.real_transpiration = {real_t0.view(), real_t1.view()};
  }
  LanduseTable landuse_table;
  Grid rain_grid, landuse, cover, roots, pot_t, pot_e, real_t0, real_t1;
  std::vector<SoilRecord> soils;
  Grid zone, types, level, distance, downext;
  Stack theta, heads, geodetic, q;
  SoilColumnWorkspace work;
  SoilColumnLoopSettings settings;
  SoilColumnGrids views;
};

void RunColumns(benchmark::State& state, int side) {
  const int layers = static_cast<int>(state.range(0));
  const auto method = static_cast<SoilMethod>(state.range(1));
  const int threads = static_cast<int>(state.range(2));
  const bool rain = state.range(3) != 0;
  omp_set_num_threads(threads);
  Basin basin(side, layers, method, rain);
  const SoilColumnKernels kernels;
  long long sub_steps = 0;
  long long allocations = 0;
  for (auto _ : state) {
    const long long before = g_allocations.load();
    const SoilColumnLoopReport report = soil_column_loop(kernels, basin.settings, basin.views, basin.work);
    allocations += g_allocations.load() - before;
    sub_steps += report.column_sub_steps;
  }
  state.counters["column_sub_steps_per_s"] = benchmark::Counter(static_cast<double>(sub_steps), benchmark::Counter::kIsRate);
  state.counters["column_sub_steps_per_s_per_core"] =
      benchmark::Counter(static_cast<double>(sub_steps) / threads, benchmark::Counter::kIsRate);
  state.counters["allocations_per_column_sub_step"] =
      sub_steps > 0 ? static_cast<double>(allocations) / static_cast<double>(sub_steps) : 0;
  state.counters["cores"] = omp_get_num_procs();
}

// Single-thread rate on a small grid.
void BM_SoilColumnStep(benchmark::State& state) { RunColumns(state, 32); }
BENCHMARK(BM_SoilColumnStep)
    ->ArgsProduct({{20, 40}, {2, 3}, {1}, {0, 1}})
    ->ArgNames({"layers", "method", "threads", "rain_et"})
    ->Unit(benchmark::kMillisecond);

// Parallel efficiency on a larger grid at 1, 2 and 4 threads (side from SOIL_BENCH_SIDE,
// default 250; the full-size case is 1000).
void BM_SoilColumnStepThreads(benchmark::State& state) {
  const char* side = std::getenv("SOIL_BENCH_SIDE");
  RunColumns(state, side != nullptr ? std::atoi(side) : 250);
}
BENCHMARK(BM_SoilColumnStepThreads)
    ->ArgsProduct({{20}, {3}, {1, 2, 4}, {0, 1}})
    ->ArgNames({"layers", "method", "threads", "rain_et"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
