// One step of a zonal statistics table on a 1000 x 1000 basin of 50 zones with relative
// cell areas: clearing the sums, adding every cell's value (rows shared out over the
// threads given as the argument) and ending the step with the reduction to process 0.
// For comparison, the same cells added into plain double zone sums in row order by one
// thread, which is what the tables did before their sums became exact.
#include <benchmark/benchmark.h>
#include <omp.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "framework/diagnostics_log.h"
#include "framework/parallel.h"
#include "framework/statistics_registry.h"
#include "framework/zonal_statistic.h"

namespace {

using namespace tolvo;

constexpr int kSize = 1000;
constexpr int kZones = 50;

class Basin {
 public:
  Basin() : values_(1, kSize, kSize, kSize), areas_(1, kSize, kSize, kSize), zone_(1, kSize, kSize, kSize) {
    for (int r = 1; r <= kSize; ++r) {
      for (int c = 1; c <= kSize; ++c) {
        values_(r, c) = 0.1 * c + 1e-3 * r;
        areas_(r, c) = 0.9 + 1e-4 * ((r * 7 + c * 13) % 1000);
        // Vertical bands of 20 columns: zone boundaries cross every row.
        zone_(r, c) = 1 + (c - 1) / (kSize / kZones);
      }
    }
  }
  ConstGridView values() const { return values_.view(); }
  ConstGridView areas() const { return areas_.view(); }
  int zone(int r, int c) const { return static_cast<int>(zone_.view()(r, c)); }

 private:
  Grid values_;
  Grid areas_;
  Grid zone_;
};

std::vector<ZoneRecord> Zones() {
  std::vector<ZoneRecord> zones(kZones + 1);
  for (int i = 1; i <= kZones; ++i) {
    zones[static_cast<std::size_t>(i)].zonenwert = i;
    zones[static_cast<std::size_t>(i)].rel = 1.0 / kZones;
  }
  return zones;
}

void BM_ZonalStatisticStep(benchmark::State& state) {
  const int threads_before = omp_get_max_threads();
  omp_set_num_threads(static_cast<int>(state.range(0)));
  const Basin basin;
  const std::filesystem::path dir = std::filesystem::temp_directory_path() / "tolvo_bench_zonal_statistics";
  std::filesystem::create_directories(dir);
  std::ostringstream console;
  DiagnosticsLog log((dir / "diag.xml").string(), 1, console);
  std::vector<ZoneRecord> zones = Zones();
  std::string file_name = "table.txt";
  zonalstatistic table(log, basin.areas(), kSize, kSize, zones, kZones, 2001, 5, file_name, dir.string() + "/", {});
  StatisticsRegistry registry;
  table.WriteHeader("runoff", "(default)", registry, StatisticsRegistry::kCapacity);
  table.PrepareThreads(row_thread_count());
  const ConstGridView values = basin.values();
  long long hour = 0;
  for (auto _ : state) {
    table.BeginStep();
    for_each_row_by_thread({1, kSize}, [&](int r, int thread) {
      const std::span<const double> row = values.row(r);
      for (int c = 1; c <= kSize; ++c) table.AddValue(r, c, basin.zone(r, c), row[c], 1.0, thread);
    });
    table.EndStep(2001, 1, 1, ++hour, 1);
  }
  benchmark::DoNotOptimize(zones.data());
  table.Release();
  std::filesystem::remove_all(dir);
  omp_set_num_threads(threads_before);
  state.SetItemsProcessed(state.iterations() * kSize * kSize);
}
BENCHMARK(BM_ZonalStatisticStep)->Arg(1)->Arg(2)->Arg(4)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_PlainZoneSumsInRowOrder(benchmark::State& state) {
  const Basin basin;
  std::vector<ZoneRecord> zones = Zones();
  const ConstGridView values = basin.values();
  const ConstGridView areas = basin.areas();
  for (auto _ : state) {
    ClearZoneSums(zones, kZones);
    for (int r = 1; r <= kSize; ++r) {
      const std::span<const double> row = values.row(r);
      for (int c = 1; c <= kSize; ++c) {
        ZoneRecord& zone = zones[static_cast<std::size_t>(basin.zone(r, c))];
        const double area = areas(r, c);
        zone.n += 1.0;
        zone.RelCellSum += area;
        zone.sx += row[c] * area;
      }
    }
    benchmark::DoNotOptimize(zones.data());
  }
  state.SetItemsProcessed(state.iterations() * kSize * kSize);
}
BENCHMARK(BM_PlainZoneSumsInRowOrder)->Unit(benchmark::kMillisecond);

}  // namespace
