#pragma once
// The exchange of linked river cells between processes. Cells that may take water from
// one river are computed by one process, the computing process of the river's link, so
// that the river's remaining flow is shared out in one memory and in one order. Before a
// soil sub-step each holder sends the state of its linked cells (one value of every grid,
// every level of every stack of the exchange list) to the computing process, which keeps
// them in a spare row of every such grid and stack. During the sub-step the spare row
// stands in the row table at row (first own row − 1), so the column solver computes the
// spare cells as one more row; afterwards the row table is restored and the results go
// back to their holders.
//
// Spare cell j (0-based) is the j-th cell met when walking the river links in order,
// taking only the links this process computes, each with all its cells in order; it lies
// in column j + 1 of the spare row. The spare rows and message buffers are made once and
// reused every sub-step.

#include <mpi.h>

#include <string>
#include <vector>

#include "framework/matrix.h"
#include "setup/river_links.h"

namespace tolvo {

// The spare row of one exchanged grid: `values` holds columns 0..spare columns; `saved` the
// grid's own row while the spare row stands in for it.
struct SpareGridRow {
  GridView grid;
  std::vector<double> values;
  double* saved = nullptr;
};

// The spare row of one exchanged stack, laid out as a stack row: levels of a cell together.
struct SpareStackRow {
  StackView stack;
  std::vector<double> values;
  double* saved = nullptr;
  int stride = 0;  // levels + 1
};

struct RiverCellExchange {
  bool active = false;       // surface water interaction 2 or more
  bool links = false;        // the run has river links: linked cells are computed in spare rows
  int cell_count = 0;        // spare cells of this process
  int cell_value_count = 0;  // doubles per exchanged cell (process 0's count)
  int spare_row = 0;         // first own row − 1
  int spare_columns = 0;     // columns of the spare row (at least the grid's)
  bool swapped = false;      // the spare rows stand in the row tables
  std::vector<SpareGridRow> grids;
  std::vector<SpareStackRow> stacks;
  const std::vector<RiverLink>* river_links = nullptr;
  const LinkCellLists* lists = nullptr;
  // Per holder rank: the cells it sends here; per computing rank: the cells sent there.
  std::vector<std::vector<double>> receive_buffers;
  std::vector<std::vector<double>> send_buffers;
  std::vector<long> positions;  // per holder rank
  std::vector<MPI_Request> requests;
};

}  // namespace tolvo
