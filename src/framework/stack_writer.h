#pragma once
// Writing stacks (grids with levels 0..L in every cell, such as soil or snow layers).
//
// - netCDF (process 0, from a whole stack): level l becomes time step l of one variable;
//   writing the same stack again under the same name appends further steps.
// - ASCII stack (process 0, from a whole stack): twelve header lines, then one value a
//   line, cell after cell in row order, levels 0..L of a cell together.
// - binary stack (every process together, through MPI file access): the twelve-number
//   header (value 12 = L), then the values in the order of the ASCII form. Each process
//   writes its own cells straight into the shared file, so the stack is never gathered:
//   the decomposition gives every process one contiguous run of domain cells in row-major
//   order (the highest rank the first), and each process writes the cells from its first
//   own cell up to the first cell of another process, the cells outside the domain in
//   that stretch included; the highest rank starts at the first cell of the grid, process
//   0 goes on to the last. Without a decomposition, process 0 writes every cell.
//
// Every process calls WriteStackFile with the same name and switches. Failures write
// their "FATAL: " entry and raise on every process alike: 26 the file cannot be opened
// (or the netCDF library fails), 18 a write or the sizing of the file fails, 27 the file
// cannot be closed.

#include <cstdint>
#include <string_view>
#include <vector>

#include "framework/matrix.h"

namespace tolvo {

class modelobject;
struct OutputFormats;

// The work of modelobject::WriteStackFile; `name` is relative to the output directory
// unless it begins with "/" or "~".
void WriteStackFile(modelobject& object, std::string_view name, ConstStackView stack, int highest_level,
                    const OutputFormats& switches);

// A stretch of consecutive cells of the file that one process writes: the index of its
// first cell in row-major order (0 for row 1, column 1) and its number of cells.
struct CellStretch {
  long long first_cell = 0;
  long long cell_count = 0;
};

// The cells a process writes into a binary stack, in file order. Rows `rows` are scanned
// column by column. In a row of `held` (the rows whose values and region values the
// process holds) a cell whose region value is `rank` is written and sets the flag, a cell
// outside the domain (region value nodata) is written while the flag is set, and a cell
// of another process clears the flag and is skipped; with an empty region grid every cell
// is the process's own. A row outside `held` is missing: all of it is written (as nodata)
// while the flag is set, and it leaves the flag as it is. The flag starts set on the
// process of the highest rank.
std::vector<CellStretch> StackCellsOfProcess(ConstGridView regions, RowRange held, RowRange rows, int ncols, int rank,
                                             bool highest_rank, double nodata);

}  // namespace tolvo
