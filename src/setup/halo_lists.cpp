#include "setup/halo_lists.h"

#include <mpi.h>

#include <algorithm>
#include <array>

#include "framework/error_code.h"
#include "framework/grid_distribution.h"
#include "framework/run_context.h"

namespace tolvo {

namespace {

// Appends pairs to one row of the strip grid, checking room before every new pair.
class StripRow {
 public:
  StripRow(const RunContext& run, bool shared, GridView helper, int r)
      : run_(run), shared_(shared), row_(helper.row(r)), r_(r) {}

  // Starts a new pair; false when the row has no room left (one process only).
  bool Start(double first, int ncols) {
    if (2 * (pairs_ + 1) > ncols) {
      if (shared_) {
        run_.log() << "FATAL: MPI-Regions: to much strips to be stored in a grid row in row " << r_
                   << "[end-entry]";
        RaiseError(kTooManyStripsCode);
      }
      return false;
    }
    ++pairs_;
    row_[2 * pairs_ - 1] = first;
    row_[2 * pairs_] = 1;
    return true;
  }
  // Adds a cell to the current pair, or to the leading run outside the domain (column 0).
  void Extend() { row_[2 * pairs_] += 1; }
  bool empty() const { return pairs_ == 0; }

 private:
  const RunContext& run_;
  bool shared_;
  std::span<double> row_;
  int r_;
  int pairs_ = 0;
};

void BuildRootStripRow(const RunContext& run, bool shared, ConstGridView regions, GridView helper, int r) {
  const int ncols = run.geometry.ncols;
  StripRow row(run, shared, helper, r);
  double previous = run.geometry.nodata_value;
  for (int c = 1; c <= ncols; ++c) {
    const double v = regions(r, c);
    if (v == previous) {
      row.Extend();
    } else if (!row.Start(v, ncols)) {
      return;
    }
    previous = v;
  }
}

void BuildOwnStripRow(const RunContext& run, int rank, bool shared, ConstGridView regions, GridView helper,
                      int r) {
  const int ncols = run.geometry.ncols;
  StripRow row(run, shared, helper, r);
  double previous = run.geometry.nodata_value;
  for (int c = 1; c <= ncols; ++c) {
    const double v = regions(r, c);
    if (v == rank) {
      if (previous == rank) {
        row.Extend();
      } else if (!row.Start(c, ncols)) {
        return;
      }
    }
    previous = v;
  }
}

}  // namespace

void BuildStripGrid(const RunContext& run, int rank, int process_count, ConstGridView regions, GridView helper,
                    RowRange rows) {
  const bool shared = process_count > 1;
  for (int r = rows.first; r <= rows.last; ++r) {
    if (rank == 0) {
      BuildRootStripRow(run, shared, regions, helper, r);
    } else {
      BuildOwnStripRow(run, rank, shared, regions, helper, r);
    }
  }
}

void BuildHaloGrid(const RunContext& run, int rank, ConstGridView regions, GridView halo, RowRange rows) {
  const GridGeometry& g = run.geometry;
  for (int r = rows.first; r <= rows.last; ++r) {
    for (int c = 1; c <= g.ncols; ++c) {
      const double v = regions(r, c);
      if (v != rank) continue;
      for (int nr = std::max(r - 1, 1); nr <= std::min(r + 1, g.nrows); ++nr) {
        for (int nc = std::max(c - 1, 1); nc <= std::min(c + 1, g.ncols); ++nc) {
          const double neighbour = regions(nr, nc);
          if (neighbour != v && neighbour != g.nodata_value) halo(nr, nc) = neighbour;
        }
      }
    }
  }
}

std::vector<StripRecord> BuildReceiveList(ConstGridView halo, RowRange held) {
  std::vector<StripRecord> list;
  for (int r = held.first; r <= held.last; ++r) {
    int previous = -1;
    for (int c = 1; c <= halo.ncols(); ++c) {
      const double h = halo(r, c);
      if (h < 0) {
        previous = -1;
        continue;
      }
      const int peer = static_cast<int>(h);
      if (peer == previous) {
        ++list.back().cell_count;
      } else if (list.empty() || list.back().peer_rank != peer || list.back().row != r) {
        list.push_back({.row = r, .first_col = c, .cell_count = 1, .peer_rank = peer});
      } else {
        list.back().cell_count = c - list.back().first_col + 1;
      }
      previous = peer;
    }
  }
  return list;
}

std::vector<StripRecord> HaloHandshake(std::span<const StripRecord> receive_list, int rank, int process_count) {
  std::vector<int> asked(static_cast<std::size_t>(process_count), 0);
  for (const StripRecord& strip : receive_list) ++asked[strip.peer_rank];
  std::vector<int> peers;
  for (int q = 0; q < process_count; ++q) {
    if (asked[q] > 0) peers.push_back(q);
  }

  // Round 1: how many runs each peer will ask of this process.
  std::vector<std::array<int, 2>> told(peers.size());
  std::vector<std::array<int, 2>> heard(peers.size());
  std::vector<MPI_Request> requests;
  requests.reserve(2 * peers.size());
  for (std::size_t i = 0; i < peers.size(); ++i) {
    told[i] = {peers[i], asked[peers[i]]};
    MPI_Isend(told[i].data(), 2, MPI_INT, peers[i], 0, MPI_COMM_WORLD, &requests.emplace_back());
    MPI_Irecv(heard[i].data(), 2, MPI_INT, peers[i], 0, MPI_COMM_WORLD, &requests.emplace_back());
  }
  MPI_Waitall(static_cast<int>(requests.size()), requests.data(), MPI_STATUSES_IGNORE);

  // Round 2: the runs themselves, each stamped with the asking process's rank.
  std::vector<StripRecord> outgoing(receive_list.begin(), receive_list.end());
  std::size_t incoming = 0;
  for (const auto& h : heard) incoming += static_cast<std::size_t>(std::max(h[1], 0));
  std::vector<StripRecord> send_list(incoming);
  requests.clear();
  requests.reserve(outgoing.size() + incoming);
  for (StripRecord& strip : outgoing) {
    const int peer = strip.peer_rank;
    strip.peer_rank = rank;
    MPI_Isend(&strip, 4, MPI_INT, peer, 0, MPI_COMM_WORLD, &requests.emplace_back());
  }
  std::size_t next = 0;
  for (std::size_t i = 0; i < peers.size(); ++i) {
    for (int k = 0; k < heard[i][1]; ++k) {
      MPI_Irecv(&send_list[next++], 4, MPI_INT, peers[i], 0, MPI_COMM_WORLD, &requests.emplace_back());
    }
  }
  MPI_Waitall(static_cast<int>(requests.size()), requests.data(), MPI_STATUSES_IGNORE);
  return send_list;
}

}  // namespace tolvo
