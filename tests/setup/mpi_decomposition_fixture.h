#pragma once
// A small decomposed domain for the tests that run under several processes: a 10 x 10
// zone grid with one hole in every row (so a row holds at most 4 runs, as many as 10
// columns can describe), read (made) on process 0, decomposed over all processes with speed
// values 1, 3, 3, ... (each process reads its own speed file, so no kernel is timed).

#include <gtest/gtest.h>
#include <mpi.h>

#include <sstream>
#include <string>
#include <utility>

#include "framework/grid_distribution.h"
#include "framework/modelobject.h"
#include "setup/domain_decomposition.h"
#include "framework/zone_ranking.h"
#include "support/row_bands.h"
#include "support/test_support.h"

namespace tolvo::test {

inline constexpr int kRows = 10;
inline constexpr int kCols = 10;

inline bool FixtureZoneCell(int r, int c) {
  if (r == 1 || (c == 1 && r < 5) || (r == kRows && c < 5)) return false;
  return (r * 7 + c * 3) % 11 != 0;
}

// A link of 7 cells crossing the domain from top to bottom (id 7 from 7.5), and one of 2.
inline double FixtureLinkId(int r, int c) {
  if (c == 5 && r >= 3 && r <= 9) return 7.5;
  if (r == 6 && (c == 2 || c == 3)) return 2;
  return 0;
}

class DecomposedDomain : public ::testing::Test {
 protected:
  void SetUp() override {
    MPI_Comm_rank(MPI_COMM_WORLD, &rank_);
    MPI_Comm_size(MPI_COMM_WORLD, &size_);
    reader_.set_geometry({.ncols = kCols, .nrows = kRows, .cellsize = 10, .nodata_value = kNodata});
    WriteFile(dir_.file("MpiSpeedFactor.dat"), rank_ == 0 ? "1\n" : "3\n");
  }

  // Decomposes the fixture; with links when the soil model's interaction value is 2.
  void Decompose(bool with_links) {
    WriteFile(dir_.file("control.txt"),
              std::string("[unsatzon_model]\n1\n60\n1\n") + (with_links ? "2" : "0") + "\n");
    if (rank_ == 0) {
      zone_ = Grid(1, kRows, kCols, kRows);
      elevation_ = Grid(1, kRows, kCols, kRows);
      links_ = Grid(1, kRows, kCols, kRows);
      for (int r = 1; r <= kRows; ++r) {
        for (int c = 1; c <= kCols; ++c) {
          zone_(r, c) = FixtureZoneCell(r, c) ? 1 + (c > 5) : kNodata;
          elevation_(r, c) = 100 - r;
          links_(r, c) = FixtureLinkId(r, c);
        }
      }
    }
    const DecompositionInput input{std::as_const(zone_).view(), std::as_const(elevation_).view(),
                                   std::as_const(links_).view(), dir_.file("MpiSpeedFactor.dat")};
    decomposition_ = BuildMpiRegions(reader_, input);
    ranking_ = RankZoneGrid(reader_, std::as_const(zone_).view(), "zones.asc", {}, decomposition_.own_rows);
    layout_ = decomposition_.layout();
    layout_.column_ranges = ranking_.column_ranges;
    reader_.set_domain_layout(&layout_);
  }

  static int DomainCells() {
    int n = 0;
    for (int r = 1; r <= kRows; ++r) {
      for (int c = 1; c <= kCols; ++c) n += FixtureZoneCell(r, c);
    }
    return n;
  }

  // A grid over the rows this process holds, filled with `fill`.
  Grid HeldGrid(double fill) const {
    Grid grid(decomposition_.held_rows.first, decomposition_.held_rows.last, kCols, kRows);
    grid.fill(fill);
    return grid;
  }
  int OwnerOf(int r, int c) const { return static_cast<int>(decomposition_.regions(r, c)); }
  bool Mine(int r, int c) const { return OwnerOf(r, c) == rank_; }

  int rank_ = 0;
  int size_ = 1;
  TempDir dir_;
  std::ostringstream console_;
  DiagnosticsLog log_{dir_.file("d.xml"), 4, console_};
  modelobject reader_{log_, dir_.file("control.txt")};
  Grid zone_;
  Grid elevation_;
  Grid links_;
  DomainDecomposition decomposition_;
  ZoneRanking ranking_;
  DomainLayout layout_;
};

}  // namespace tolvo::test
