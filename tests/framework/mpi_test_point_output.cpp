// Point files over 1, 2 and 3 processes: every point shows the value of the process that
// computes its cell, whatever the other processes hold there, and the file is the same
// byte for byte whatever the number of processes.

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>

#include "framework/grid_table.h"
#include "framework/point_output.h"
#include "framework/statistics_registry.h"
#include "support/row_bands.h"
#include "support/test_support.h"

namespace tolvo {
namespace {

using test::WorldRank;
using test::WorldSize;

constexpr int kRows = 6;
constexpr int kCols = 4;

// The value of cell (r, c) after step `step`: values below nodata, the lowest decades of
// the doubles and a negative zero must pass the gathering unchanged.
double Runoff(int r, int c, int step) {
  if (r == 2 && c == 2) return -12345.5;
  if (r == 3 && c == 3) return -1e300;
  if (r == 4 && c == 1) return -0.0;
  return 10 * r + c + 0.25 * step;
}

// What one process writes for three steps with two sub-steps: every cell of "runoff"
// (cell (1, 1) lies outside the domain) and the sum over the sub-steps of "baseflow" at
// three cells.
std::string ExpectedFile() {
  std::string text = "YY\tMM\tDD\tHH";
  char piece[64];
  for (int r = 1; r <= kRows; ++r) {
    for (int c = 1; c <= kCols; ++c) {
      std::snprintf(piece, sizeof piece, "\tq/%d/%d", c, r);
      text += piece;
    }
  }
  text += "\tqb/1/6\tqb/4/1\tqb/2/3\nrunoff\nYY\tMM\tDD\tHH";
  for (int r = 1; r <= kRows; ++r) {
    for (int c = 1; c <= kCols; ++c) {
      std::snprintf(piece, sizeof piece, "\tq/%g/%g", 10.0 * c - 5, 10.0 * (kRows - r) + 5);
      text += piece;
    }
  }
  text += "\tqb/5/5\tqb/35/55\tqb/15/35\n";
  for (int step = 1; step <= 3; ++step) {
    std::snprintf(piece, sizeof piece, "2001\t6\t30\t%d", step);
    text += piece;
    for (int r = 1; r <= kRows; ++r) {
      for (int c = 1; c <= kCols; ++c) {
        std::snprintf(piece, sizeof piece, "\t%g", r == 1 && c == 1 ? -9999.0 : Runoff(r, c, step));
        text += piece;
      }
    }
    // Sub-steps 1 and 2 give k (r + c): the sums are 3 (r + c).
    std::snprintf(piece, sizeof piece, "\t%d\t%d\t%d\n", 3 * 7, 3 * 5, 3 * 5);
    text += piece;
  }
  return text;
}

TEST(PointOutputMpi, EveryPointShowsItsOwnersValueWhateverTheNumberOfProcesses) {
  test::TempDir dir;
  std::ostringstream console;
  DiagnosticsLog log(dir.file("d.xml"), 4, console);
  const int rank = WorldRank();
  const int size = WorldSize();

  // Every process holds whole grids here; it fills only the rows it computes with the
  // true values, the others with values that must never reach the file.
  Grid zones(1, kRows, kCols, kRows);
  Grid regions(1, kRows, kCols, kRows);
  Grid runoff(1, kRows, kCols, kRows);
  Grid baseflow(1, kRows, kCols, kRows);
  for (int r = 1; r <= kRows; ++r) {
    for (int c = 1; c <= kCols; ++c) {
      regions(r, c) = r == 1 && c == 1 ? -9999 : test::RowOwner(r, size, kRows);
      runoff(r, c) = 1e30;
      baseflow(r, c) = 1e30;
    }
  }
  grid_table table;
  const auto add = [&](int index, const char* identifier, Grid& grid) {
    table[index].identifier = identifier;
    table[index].file_name = std::string(identifier) + ".asc";
    table[index].values = grid.view();
  };
  add(1, "zones", zones);
  add(2, "MPIRegions", regions);
  add(3, "runoff", runoff);
  add(4, "baseflow", baseflow);

  ModelSettings settings;
  settings.geometry = {.ncols = kCols, .nrows = kRows, .xllcorner = 0, .yllcorner = 0, .cellsize = 10};
  settings.strip = test::RowBand(rank, size, kRows);
  settings.grids = &table;
  // Only process 0 writes: its folder is the output folder of all.
  settings.output_directory = test::TextOfProcess0(dir.path().string() + "/");
  settings.compiled_control_file = dir.file("c.ctl.$$$");
  std::string xs;
  std::string ys;
  for (int r = 1; r <= kRows; ++r) {
    for (int c = 1; c <= kCols; ++c) {
      xs += std::to_string(10 * c - 5) + ",";
      ys += std::to_string(10 * (kRows - r) + 5) + ",";
    }
  }
  test::WriteFile(settings.compiled_control_file,
                  "[special_output]\n1\n60\nnumfiles=1;\n{\nheader=runoff;\nfilename=q.txt;\n"
                  "entity { ID=runoff; Symbol=q; Xcoords=" +
                      xs + "; Ycoords=" + ys +
                      "; }\n"
                      "entity { ID=baseflow; Symbol=qb; Xcoords=5,35,15; Ycoords=5,55,35; }\n}\n");
  StatisticsRegistry registry;
  SpecialOutputClass output(log, registry, settings, 2);

  for (int step = 1; step <= 3; ++step) {
    const ModelDate date{2001, 6, 30, step};
    for (int k = 1; k <= 2; ++k) {
      for (int r = settings.strip.first; r <= settings.strip.last; ++r) {
        for (int c = 1; c <= kCols; ++c) baseflow(r, c) = k * (r + c);
      }
      output.CollectAll(date, 1, k);
    }
    for (int r = settings.strip.first; r <= settings.strip.last; ++r) {
      for (int c = 1; c <= kCols; ++c) runoff(r, c) = Runoff(r, c, step);
    }
    output.CollectAll(date, 0, 0);
    // The second step's rows are written on their own, as after "flush buffers and go on".
    if (step == 2) output.FlushAll();
  }
  output.DeleteModule();
  if (rank == 0) {
    const std::string file = test::ReadFile(dir.file("q.txt"));
    EXPECT_EQ(file, ExpectedFile());
    EXPECT_NE(file.find("\t-12345.5\t"), std::string::npos);
    EXPECT_NE(file.find("\t-1e+300\t"), std::string::npos);
    EXPECT_NE(file.find("\t-0\t"), std::string::npos);
  }
}

}  // namespace
}  // namespace tolvo
