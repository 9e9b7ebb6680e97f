#pragma once
// The descriptions of the decomposition that the communication code walks, derived from
// "MPIRegions" once every process holds its rows of it:
// - the strip grid "MPIHelper": per row the runs of cells of one process (the scatter and
//   gather of grids walk it). On process 0, every row holds pairs (owner, length) from
//   columns 1 and 2 on, the owner being a rank or nodata for cells outside the domain; a
//   leading run outside the domain is not a pair, its length stands in column 0. On any
//   other process, each row of its band holds pairs (first column, length) of its own
//   runs. The pairs end at the first length of 0.
// - the halo grid "MPIHalo": nodata, except at the cells of other processes that touch
//   (across an edge or a corner) a cell of this process, which hold their owner's rank.
// - the receive and send lists of the halo exchange (framework/halo_exchange.h).

#include <span>
#include <vector>

#include "framework/halo_exchange.h"
#include "framework/matrix.h"

namespace tolvo {

struct RunContext;

// Fills the strip grid of process `rank` over `rows` (process 0: every row; others: their
// band). A row whose runs do not fit fails with 120 after its FATAL entry when several
// processes share the grid; with one process (whose strip grid nobody walks) the row keeps
// the pairs that fit. The grid must be zeroed. Geometry and log come from the run.
void BuildStripGrid(const RunContext& run, int rank, int process_count, ConstGridView regions, GridView helper,
                    RowRange rows);

// Marks in the halo grid (nodata on entry) the neighbours of the cells of process `rank`
// in `rows` that another process computes.
void BuildHaloGrid(const RunContext& run, int rank, ConstGridView regions, GridView halo, RowRange rows);

// The receive list over rows `held` of the halo grid: runs of halo cells of one peer, left
// to right; a run of one peer in one row spans the gaps of non-halo cells between its
// cells and ends at a halo cell of another peer or at the end of the row.
std::vector<StripRecord> BuildReceiveList(ConstGridView halo, RowRange held);

// Collective, every process: tells every peer which runs this process needs of it and
// learns which runs each peer needs, in two rounds of non-blocking messages (tag 0). The
// result is the send list: grouped by asking peer in ascending rank, each group in the
// order of that peer's receive list. Relies on the neighbourhood being symmetric.
std::vector<StripRecord> HaloHandshake(std::span<const StripRecord> receive_list, int rank, int process_count);

}  // namespace tolvo
