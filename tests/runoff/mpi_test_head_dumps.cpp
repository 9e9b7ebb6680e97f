// A non-finite head under -closeAfterDump on one process of several: that process writes
// its dump file, and every process ends the call with code 199 (none waits at the next
// collective call).

#include <gtest/gtest.h>
#include <mpi.h>

#include <filesystem>
#include <limits>
#include <sstream>
#include <string>

#include "runoff/surface_basin_fixture.h"
#include "support/row_bands.h"
#include "support/test_support.h"

namespace tolvo {
namespace {

constexpr int kRows = 12;
constexpr int kCols = 7;

// The head at the start of the sub-step turns to NaN on one cell before the second sweep.
class PoisonedCell : public surfaceroutingclass {
 public:
  using surfaceroutingclass::surfaceroutingclass;
  GridView head_old;
  bool poison = false;
  int row = 0;

  double IterateHeads(int j, double dt) override {
    if (poison && j == 2) head_old(row, 4) = std::numeric_limits<double>::quiet_NaN();
    return surfaceroutingclass::IterateHeads(j, dt);
  }
};

TEST(HeadDumpsOnProcesses, CloseAfterDumpOnOneProcessEndsTheCallOnAllWithItsCode) {
  const int rank = test::WorldRank();
  const int size = test::WorldSize();
  test::TempDir dir;
  test::WorkingDirectory cwd(dir.path());
  std::ostringstream console;
  DiagnosticsLog log(dir.file("d.xml"), 4, console);
  const RowRange band = test::RowBand(rank, size, kRows);
  test::RowBandLayout layout(rank, size, kRows, kCols);
  test::BasinShape shape;
  shape.nrows = kRows;
  shape.ncols = kCols;
  shape.dem = [](int r, int c) { return 20 - 0.1 * r + 0.01 * c; };
  shape.off_river = kNodata;
  test::SurfaceBasin<PoisonedCell> basin(log, dir.path().string(), shape,
                                         test::SurfaceSection(6, 60, 600, 1, 60, "", "0", 5), band,
                                         test::HeldRowsOf(rank, size, kRows), &layout.layout());
  PoisonedCell& model = basin.model();
  model.SetDumpOptions({.dump_mode = true, .close_after_dump = true, .max_dump_files = 0});
  model.head_old = basin.Values("SurfaceRoutingHeadOld");
  // The highest rank holds the northern rows: its first row is poisoned.
  model.poison = rank == size - 1;
  model.row = band.first;
  const GridView head = basin.Values("SurfaceRoutingHead");
  for (int r = band.first; r <= band.last; ++r) {
    for (int c = 1; c <= kCols; ++c) {
      head(r, c) = model.head_old(r, c) = shape.dem(r, c) + 0.005;
      basin.Values("directflow")(r, c) = 5;
    }
  }
  model.BeginStep({1998, 6, 5, 6});
  EXPECT_EQ(test::CodeOf([&] { model.RunStep(6, 5, 6, 1998); }), kSurfaceRoutingDumpAbort);
  const std::string dump =
      "surfrout_dump_row_" + std::to_string(band.first) + "_col_4_iteration_2_1998060506.dmp";
  EXPECT_EQ(std::filesystem::exists(dir.file(dump)), model.poison);
  const std::string own = "command line option -closeAfterDump active!";
  const std::string other = "a surface routing dump on another process ends the run";
  // Process 0 shows its entries on the console.
  if (rank == 0) {
    EXPECT_NE(console.str().find(model.poison ? own : other), std::string::npos) << console.str();
  }
}

}  // namespace
}  // namespace tolvo
