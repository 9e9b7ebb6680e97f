// -closeAfterDump under several processes: a dump on the process that owns the anomalous
// cell stops every process with 199, the others with an entry that names the reason.
#include <gtest/gtest.h>
#include <mpi.h>

#include <atomic>
#include <filesystem>
#include <sstream>

#include "framework/error_code.h"
#include "subsurface/column_grid_fixture.h"
#include "subsurface/soil_cell_dumps.h"
#include "support/row_bands.h"
#include "support/test_support.h"

namespace tolvo::test {
namespace {

constexpr int kRows = 6;
constexpr int kCols = 3;

TEST(SoilCellDumpsMpi, CloseAfterDumpStopsEveryProcess) {
  TempDir dir;
  std::ostringstream console;
  DiagnosticsLog log(dir.file("d.xml"), 4, console);
  ColumnGridSet set(log, kRows, kCols, 8, 4);
  const RowRange band = RowBand(WorldRank(), WorldSize(), kRows);
  set.settings.rank = WorldRank();
  set.settings.rows = band;
  Grid regions(1, kRows, kCols, kRows);
  Grid baseflow(1, kRows, kCols, kRows);
  baseflow.fill(0);
  for (int r = 1; r <= kRows; ++r) {
    for (int c = 1; c <= kCols; ++c) regions(r, c) = RowOwner(r, WorldSize(), kRows);
  }
  baseflow(kRows, 2) = 50;  // one anomaly, on the process of the last row
  SoilColumnGrids g = set.Views();
  g.regions = regions.view();
  g.baseflow = baseflow.view();
  std::atomic<long long> counter{0};
  CellDumpRun run{.options = {.dump_mode = true, .close_after_dump = true, .repair_after_dump = false,
                              .max_dump_files = 0},
                  .counter = &counter,
                  .rank = WorldRank(),
                  .year = 2001,
                  .month = 1,
                  .day = 2,
                  .hour = 3};
  set.settings.dumps = &run;
  const std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  SoilColumnLoopReport report = soil_column_loop(SoilColumnKernels(), set.settings, g, set.work);
  std::filesystem::current_path(previous);
  const bool owner = band.contains(kRows);
  EXPECT_EQ(report.code, owner ? kSoilDumpAbort : 0);
  finish_cell_dumps(log, report, true);
  EXPECT_NE(report.entry.find(owner ? "command line option -closeAfterDump active!"
                                    : "a soil column dump on another process ends the run"),
            std::string::npos)
      << report.entry;
  EXPECT_EQ(CodeOf([&] { raise_column_failure(log, report); }), kSoilDumpAbort);
  const std::string name = "MPI_" + std::to_string(WorldRank()) + "_dgw_dump_row_6_col_2_substep_1_2001010203.dmp";
  EXPECT_EQ(std::filesystem::exists(dir.file(name)), owner);
}

}  // namespace
}  // namespace tolvo::test
