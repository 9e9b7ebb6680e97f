#pragma once
// Distribution of grids over the processes.
//
// The grid "MPIRegions" names for every cell the rank of the process that computes it;
// each process keeps only its band of rows (plus a halo row on each side), while process
// 0 holds every row of every grid because it reads inputs and writes outputs. Scatter
// sends the cells of a grid held by process 0 to the processes that compute them;
// gather brings them back (in place or into a copy); the masked-cell transfers move the
// values of a selected set of cells (for example lake cells) to process 0 and back.
//
// A run is a maximal sequence of consecutive cells of one row that one process computes.
// All runs of one process travel as one message between it and process 0, packed in the
// order of the walks below; process 0 exchanges these messages in ascending rank through
// one buffer as large as the largest of them, so no process allocates a whole-grid buffer
// it does not need. The buffer is the layout's kept message, reused by every transfer. The runs are found in the strip grid "MPIHelper":
// - on process 0, row r holds pairs (owner, length) from columns 1 and 2 on, describing
//   the row from its first domain column to its end; a length below 1 ends the list;
//   runs of owner 0 or below (process 0's own cells, cells outside the domain) are not
//   transferred but advance the column;
// - on every other process, row r of its band holds pairs (first column, length) of its
//   own runs; a first column below 1 ends the list.
// Process 0's walk and process k's walk visit k's runs in the same order (row, then
// column), which is the order in which they are packed and unpacked.
//
// Every operation is collective: all processes call it at the same point of their work,
// with the same arguments, on the main thread. With one process, or when the run
// has no decomposition, every operation does nothing (the copying gathers return empty).

#include <span>
#include <string_view>
#include <vector>

#include "framework/halo_exchange.h"
#include "framework/matrix.h"

namespace tolvo {

struct RunContext;

// First and last column of a row that hold a zone cell; {0, -1} for a row without any.
struct ColumnRange {
  int first = 0;
  int last = -1;
  friend bool operator==(const ColumnRange&, const ColumnRange&) = default;
};
static_assert(sizeof(ColumnRange) == 2 * sizeof(int), "ColumnRange travels as two ints");

// What the transfers of this process rely on: non-owning views of the decomposition's
// grids and lists, and the transfers' kept message buffer. The set-up fills it (the column ranges once the zones are ranked) and
// hands it to every model object; it must outlive them.
struct DomainLayout {
  RowRange own_rows;                              // the process's band
  ConstGridView regions;                          // "MPIRegions": the rank computing each cell
  ConstGridView helper;                           // "MPIHelper": the run lists described above
  std::span<const ColumnRange> column_ranges;     // per row (index 0 unused), from the zone ranking
  std::span<const StripRecord> receive_list;      // halo runs this process receives
  std::span<const StripRecord> send_list;         // halo runs this process sends
  std::span<const long long> cell_counts;         // zone cells per rank (entries 0..size-1)
  // Kept between transfers, which reuse them on the main thread: the packed message of
  // the gathers and scatters and, on process 0, the cells each other process moves. Once
  // grown to the largest message, a transfer allocates nothing.
  mutable std::vector<double> message;
  mutable std::vector<std::size_t> cells_of_others;
};

// Sends, from process 0, every run of another owner to that owner; the others receive
// their runs into `grid`, whose rows must include their band.
void ScatterGrid(const RunContext& run, GridView grid);
// Receives on process 0 every run of another owner into `grid` (which holds every row
// there); the others send their runs.
void GatherGrid(const RunContext& run, GridView grid);
// On process 0: a new grid of all rows in which the cells of process 0 hold the source's
// values, the other owners' runs are received, and every other cell is nodata. The other
// processes send their runs and get an empty grid back.
Grid GatherGridCopy(const RunContext& run, ConstGridView source);

// Stacks: as the grid operations, each cell moving its levels 0..levels as one block.
// `identifier` names the stack in the progress entries ("re-distributing stack ",
// "synchronising stack "); the scatter writes its entry only when it is given.
void MPIScatterStack(const RunContext& run, StackView stack, std::string_view identifier = {});
void GatherStack(const RunContext& run, StackView stack, std::string_view identifier);
Stack GatherStackCopy(const RunContext& run, ConstStackView source, std::string_view identifier);

// Masked cells: the cells whose mask value is above nodata, walked row by row and, within
// a row, from its first to its last zone column. counts[q] (q >= 1) is the number of such
// cells that process q computes; all processes must pass the same counts.
// GatherMaskedCells: every process q > 0 sends the values of its masked cells to process
// 0, which puts them into `target` (when given, copying the values grid at every other
// masked cell) or back into `values` (leaving process 0's own cells as they are).
void GatherMaskedCells(const RunContext& run, GridView values, ConstGridView mask,
                       std::span<const long long> counts, GridView target = {});
// ScatterMaskedCells: process 0 sends to every q > 0 the values of q's masked cells,
// which q puts into its cells of `values`.
void ScatterMaskedCells(const RunContext& run, GridView values, ConstGridView mask,
                        std::span<const long long> counts);

}  // namespace tolvo
