#include "support/row_bands.h"

#include <mpi.h>

#include <utility>

namespace tolvo::test {

int WorldRank() {
  int rank = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  return rank;
}

int WorldSize() {
  int size = 1;
  MPI_Comm_size(MPI_COMM_WORLD, &size);
  return size;
}

std::string TextOfProcess0(std::string text) {
  int length = static_cast<int>(text.size());
  MPI_Bcast(&length, 1, MPI_INT, 0, MPI_COMM_WORLD);
  text.resize(static_cast<std::size_t>(length));
  MPI_Bcast(text.data(), length, MPI_CHAR, 0, MPI_COMM_WORLD);
  return text;
}

RowRange RowBand(int rank, int size, int nrows) {
  const int per = nrows / size;
  const int first = (size - 1 - rank) * per + 1;
  return {first, rank == 0 ? nrows : first + per - 1};
}

int RowOwner(int r, int size, int nrows) {
  for (int q = 0; q < size; ++q) {
    if (RowBand(q, size, nrows).contains(r)) return q;
  }
  return -1;
}

RowRange HeldRowsOf(int rank, int size, int nrows) {
  return rank == 0 ? RowRange{1, nrows} : WithHaloRows(RowBand(rank, size, nrows), nrows);
}

RowBandLayout::RowBandLayout(int rank, int size, int nrows, int ncols) {
  const RowRange band = RowBand(rank, size, nrows);
  const RowRange held = HeldRowsOf(rank, size, nrows);
  regions_ = Grid(held.first, held.last, ncols, nrows);
  helper_ = Grid(held.first, held.last, ncols, nrows);  // zero-filled
  for (int r = held.first; r <= held.last; ++r) {
    for (int c = 1; c <= ncols; ++c) regions_(r, c) = RowOwner(r, size, nrows);
    // Process 0: (owner, length) of every row; the others: (first column, length) of
    // their own rows. One run a row.
    if (rank == 0) {
      helper_(r, 1) = RowOwner(r, size, nrows);
      helper_(r, 2) = ncols;
    } else if (band.contains(r)) {
      helper_(r, 1) = 1;
      helper_(r, 2) = ncols;
    }
  }
  if (band.last < nrows) {
    receive_.push_back({band.last + 1, 1, ncols, RowOwner(band.last + 1, size, nrows)});
    send_.push_back({band.last, 1, ncols, RowOwner(band.last + 1, size, nrows)});
  }
  if (band.first > 1) {
    receive_.push_back({band.first - 1, 1, ncols, RowOwner(band.first - 1, size, nrows)});
    send_.push_back({band.first, 1, ncols, RowOwner(band.first - 1, size, nrows)});
  }
  layout_.own_rows = band;
  layout_.regions = std::as_const(regions_).view();
  layout_.helper = std::as_const(helper_).view();
  layout_.receive_list = receive_;
  layout_.send_list = send_;
}

}  // namespace tolvo::test
