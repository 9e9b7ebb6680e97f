#pragma once
// Reading an input grid file into a matrix on every process of the run.
//
// Process 0 opens the file (tried 6 times in all, 200 ms apart), recognises its format,
// checks its geometry against the model grid and, where asked, fills its holes (domain
// cells without a value). The grid then reaches every process in the rows it computes:
// either process 0 reads the whole grid and sends each process its part, or, for binary
// grids without hole filling, every process reads its own rows of the file directly
// through MPI file access. All of it is collective unless the read is local. A GIF image
// (and a netCDF grid of another raster) is placed on the model grid by the reading
// object's georeference and resampled (framework/gif_grid.h).
//
// Failures write their "FATAL: " entry and raise: 21 the file cannot be opened, 22 it
// cannot be recognised or read (a GIF image also when it is malformed or the object has no
// georeference to place it), 23 it cannot be closed, 24 its geometry differs from the
// model's, 25 a hole is too big to be filled from its neighbours, 5 the model log cannot
// be opened while holes are filled.

#include <optional>
#include <string>
#include <string_view>

#include "framework/grid_file_format.h"
#include "framework/matrix.h"

namespace tolvo {


// Tries to open a grid file, and the pause between tries.
inline constexpr int kGridOpenTries = 6;
inline constexpr int kGridRetryPauseMs = 200;
// Largest radius of the ring search that fills a hole from its neighbours.
inline constexpr int kRingSearchRadius = 10;

// How holes are filled (the "fill mode" of a read); other values read without filling
// and always read the grid whole on process 0.
inline constexpr int kNoFill = 0;
inline constexpr int kFillFromNeighbours = 1;  // ring search with strict fill, else default
inline constexpr int kFillWithDefault = 2;

struct GridReadOptions {
  int fill_mode = kNoFill;
  bool allocate = false;          // make the target (this process's rows) and set it to nodata
  bool log = false;               // write the progress entries
  double default_value = 0.0;     // value of holes not filled by the ring search
  bool strict_fill = false;       // fill mode 1: ring search, a hole too big is fatal
  bool whole_on_process0 = false; // process 0 keeps every row
  bool local = false;             // only the calling process takes part
  bool halo_rows = false;         // one more row above and below the own rows, exchanged
};

// Reads the grid file `name` into `target` for the reading object `input`, whose header
// record receives the file's header. `name` is relative to the reader's input directory
// unless it begins with "/" or "~"; a netCDF grid is named "file<variable>step". Unless
// local, every process calls it with the same arguments at the same point of its
// collective calls.
void ReadGrid(const GridInput& input, std::string_view name, Grid& target, const GridReadOptions& options);

// A value found by the ring search and the radius it was found at.
struct RingValue {
  double value;
  int radius;
};

// The ring search for the hole at (row, col) of a grid of rows 1..nrows and columns
// 1..ncols: for radius k = 1..10, rows row-k .. row+k from top to bottom, the m-th of
// them (m = 0 for the top row) scanned over the columns col-m .. col+m from left to
// right, cells outside the grid skipped. The window therefore widens downwards and is
// not symmetric about the hole. The first cell that is not `nodata` gives the value.
std::optional<RingValue> RingSearch(ConstGridView grid, int row, int col, int nrows, int ncols, double nodata);

}  // namespace tolvo
