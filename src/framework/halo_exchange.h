#pragma once
// Halo exchange: the copying of cells that a neighbouring process computes into this
// process's own matrices, after every change of a grid that stencils read.
//
// Every process holds two lists of strips (runs of cells of one row), built once by the
// domain decomposition:
// - the receive list: runs of halo cells that another process (the peer) computes and
//   that this process needs, in row order and, within a row, left to right;
// - the send list: runs of this process's cells that a peer needs, grouped by peer in
//   ascending rank, and for one peer in the order of that peer's receive list.
// For every pair of processes the runs that one sends and the other receives stand in
// the same order in both lists; the exchange rests on that. Strips go straight from and
// into the matrix rows, no buffer is packed, and nothing travels cell by cell.
//
// Every process calls the same exchange at the same point of its work, on the main
// thread and never inside a parallel region, after it has finished writing its own cells.

#include <mpi.h>

#include <initializer_list>
#include <span>
#include <vector>

#include "framework/matrix.h"

namespace tolvo {

struct RunContext;

// One run of cells: four ints in this order, also their order on the wire.
struct StripRecord {
  int row = 0;         // grid row of the run (the grid halo exchange uses it as message tag)
  int first_col = 0;   // first column of the run
  int cell_count = 0;  // number of cells from the first column on
  int peer_rank = 0;   // receive list: the owner of the cells; send list: the process asking
  friend bool operator==(const StripRecord&, const StripRecord&) = default;
};
static_assert(sizeof(StripRecord) == 4 * sizeof(int), "StripRecord travels as four ints");

// Exchanges the halo strips of a grid: receives of the whole receive list are posted,
// then the sends of the whole send list, then all are waited for. The grid's rows must
// hold every row named in the lists (a process's band with its halo rows).
void ExchangeHalo(std::span<const StripRecord> receive_list, std::span<const StripRecord> send_list, GridView grid);

// The same over the lists of the run's decomposition; nothing happens when the run
// has none (it has not been decomposed, or it has one process).
void ExchangeHalo(const RunContext& run, GridView grid);

// Halo exchange of a stack: each strip moves cell_count x (levels + 1) values starting at
// level 0 of its first cell, all with tag 0 (the equal order of the lists pairs them up).
void ExchangeStackHalo(std::span<const StripRecord> receive_list, std::span<const StripRecord> send_list,
                       StackView stack);
void ExchangeStackHalo(const RunContext& run, StackView stack);

// Halo exchange of several grids and stacks with one wait: the strips of each grid, then
// of each stack, in the order given. Both sides post them in that order, and strips of the
// same peer and tag pair up in posting order, so every value lands where the separate
// exchanges would put it.
void ExchangeHalos(const RunContext& run, std::span<const GridView> grids, std::span<const StackView> stacks = {});
void ExchangeHalos(const RunContext& run, std::initializer_list<GridView> grids,
                   std::initializer_list<StackView> stacks = {});

// The grid halo exchange in three steps, so that a process can compute between posting
// and waiting. PostHaloReceives starts a new exchange (a request still pending from an
// earlier one is waited for first), PostHaloSends adds the sends, WaitHaloRequests waits
// for all and empties the table. The grid must stay untouched until the wait has returned.
class HaloExchange {
 public:
  HaloExchange() = default;
  HaloExchange(const HaloExchange&) = delete;
  HaloExchange& operator=(const HaloExchange&) = delete;
  // Waits for anything still pending, so no request outlives the matrices it points into.
  ~HaloExchange();

  void PostHaloReceives(const RunContext& run, GridView grid);
  void PostHaloSends(const RunContext& run, GridView grid);
  // Adds the request of another nonblocking call (a reduction) that the wait completes
  // with the strips, so that both take one wait.
  void AddRequest(MPI_Request request) { requests_.push_back(request); }
  void WaitHaloRequests();
  std::size_t pending() const { return requests_.size(); }

 private:
  std::vector<MPI_Request> requests_;
};

}  // namespace tolvo
