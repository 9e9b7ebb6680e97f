#pragma once
// The MPI world of a test and a decomposition of a small grid into bands of whole rows, as
// the set-up would make it for a domain in which every cell lies.

#include <string>
#include <vector>

#include "framework/grid_distribution.h"
#include "framework/matrix.h"

namespace tolvo::test {

int WorldRank();
int WorldSize();
// Process 0's text on every process (collective).
std::string TextOfProcess0(std::string text);

// Band of whole rows of a grid of nrows rows, dealt from the top: the highest rank holds
// the northern rows, process 0 the southern ones and the rows left over.
RowRange RowBand(int rank, int size, int nrows);
// The process whose band holds row r; -1 for none.
int RowOwner(int r, int size, int nrows);
// Rows a process holds: all on process 0, the band with its halo rows elsewhere.
RowRange HeldRowsOf(int rank, int size, int nrows);

// The region and strip grids and the halo lists of these bands: every row is one run of
// its owner.
class RowBandLayout {
 public:
  RowBandLayout(int rank, int size, int nrows, int ncols);
  RowBandLayout(const RowBandLayout&) = delete;
  RowBandLayout& operator=(const RowBandLayout&) = delete;
  const DomainLayout& layout() const { return layout_; }

 private:
  Grid regions_;
  Grid helper_;
  std::vector<StripRecord> receive_;
  std::vector<StripRecord> send_;
  DomainLayout layout_;
};

}  // namespace tolvo::test
