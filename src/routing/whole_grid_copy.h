#pragma once
// A grid that process 0 works on whole while every process holds only its own rows of it:
// process 0 keeps a copy of every row, gathers the other processes' cells into it and
// scatters them back. The source grid of process 0 need not hold the other rows.

#include "framework/grid_distribution.h"
#include "framework/matrix.h"

namespace tolvo {

class WholeGridCopy {
 public:
  WholeGridCopy() = default;
  // source: this process's grid (its rows include its band).
  WholeGridCopy(GridView source, int rank, int nrows, int ncols)
      : source_(source), rank_(rank), whole_(rank == 0 ? Grid(1, nrows, ncols, nrows) : Grid()) {}

  // Collective: process 0's copy takes its own band from the source and every other
  // process's cells.
  void Gather(const RunContext& run) {
    if (rank_ != 0) {
      GatherGrid(run, source_);
      return;
    }
    CopyBand(run, source_, whole_.view());
    GatherGrid(run, whole_.view());
  }
  // Collective: the other processes receive their cells of process 0's copy; process 0's
  // own band goes back into its source.
  void Scatter(const RunContext& run) {
    if (rank_ != 0) {
      ScatterGrid(run, source_);
      return;
    }
    ScatterGrid(run, whole_.view());
    CopyBand(run, whole_.view(), source_);
  }
  // Process 0: every row.
  GridView whole() { return whole_.view(); }

 private:
  static void CopyBand(const RunContext& run, GridView from, GridView to) {
    for (int r = run.strip.first; r <= run.strip.last; ++r) {
      for (int c = 1; c <= to.ncols(); ++c) to(r, c) = from(r, c);
    }
  }
  GridView source_;
  int rank_ = 0;
  Grid whole_;
};

}  // namespace tolvo
