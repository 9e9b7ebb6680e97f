#include <gtest/gtest.h>
#include <mpi.h>
#include <omp.h>

#include <cstring>
#include <sstream>
#include <vector>

#include "subsurface/column_grid_fixture.h"
#include "support/row_bands.h"

namespace tolvo::test {
namespace {

constexpr int kRows = 7;
constexpr int kCols = 4;
constexpr int kLayers = 12;

// "theta", "q_down" and a radioactive tracer's amounts of every cell after 48 hourly
// sub-steps, each process computing the rows of its band (zeros elsewhere).
std::vector<double> RunBand(DiagnosticsLog& log, RowRange band, bool with_regions, int threads) {
  ColumnGridSet set(log, kRows, kCols, kLayers, 5);
  set.settings.method = SoilMethod::DynamicStep;
  set.settings.rank = WorldRank();
  set.settings.rows = band;
  Grid regions(1, kRows, kCols, kRows);
  for (int r = 1; r <= kRows; ++r) {
    for (int c = 1; c <= kCols; ++c) regions(r, c) = RowOwner(r, WorldSize(), kRows);
  }
  SoilColumnGrids g = set.Views();
  if (with_regions) g.regions = regions.view();
  Stack tracer(1, kRows, kCols, kLayers, kRows);
  Grid qd(1, kRows, kCols, kRows), qi(1, kRows, kCols, kRows);
  for (int r = 1; r <= kRows; ++r) {
    for (int c = 1; c <= kCols; ++c) {
      for (int l = 0; l <= kLayers; ++l) tracer(r, c, l) = l == 3 ? 100.0 : 1.0;
    }
  }
  SoilColumnTracerSet tracers;
  tracers.tracers.push_back({.tracer = {.evaporating = false, .max_conc = 1e6, .decay = 0.99},
                             .storage = tracer.view(),
                             .direct_runoff = qd.view(),
                             .interflow = qi.view(),
                             .input = {},
                             .silting = {},
                             .groundwater = {},
                             .other_exports = {},
                             .base_flow = {}});
  g.tracers = &tracers;
  omp_set_num_threads(threads);
  for (int step = 0; step < 48; ++step) EXPECT_EQ(soil_column_loop(SoilColumnKernels(), set.settings, g, set.work).code, 0);
  omp_set_num_threads(2);
  std::vector<double> values;
  for (int r = 1; r <= kRows; ++r) {
    for (int c = 1; c <= kCols; ++c) {
      for (int l = 1; l <= kLayers; ++l) {
        values.push_back(band.contains(r) ? set.theta(r, c, l) : 0.0);
        values.push_back(band.contains(r) ? set.q(r, c, l) : 0.0);
        values.push_back(band.contains(r) ? tracer(r, c, l) : 0.0);
      }
    }
  }
  return values;
}

TEST(SoilColumnLoopMpi, ResultsDoNotDependOnProcessesOrThreads) {
  TempDir dir;
  std::ostringstream console;
  DiagnosticsLog log(dir.file("d.xml"), 4, console);
  const std::vector<double> serial = RunBand(log, {1, kRows}, false, 1);
  const std::vector<double> serial4 = RunBand(log, {1, kRows}, false, 4);
  EXPECT_EQ(std::memcmp(serial.data(), serial4.data(), serial.size() * sizeof(double)), 0);
  const std::vector<double> own = RunBand(log, RowBand(WorldRank(), WorldSize(), kRows), true, 2);
  std::vector<double> all(own.size());
  // Each cell is computed by one process; the others add exact zeros (which only turn a
  // -0 into +0, hence a comparison by value).
  MPI_Allreduce(own.data(), all.data(), static_cast<int>(own.size()), MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
  for (std::size_t k = 0; k < serial.size(); ++k) {
    if (serial[k] != all[k]) {
      ADD_FAILURE() << "row " << k / (2 * kLayers * kCols) + 1 << " value " << k % (2 * kLayers * kCols) << ": "
                    << serial[k] << " vs " << all[k];
      break;
    }
  }
}

}  // namespace
}  // namespace tolvo::test
