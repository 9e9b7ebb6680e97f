#pragma once
// What a free function of the framework needs to know about the run it works in: the
// diagnostics log, the model grid, the rows this process computes and holds, its rank
// among the processes, the shared grid table and the decomposition of the domain.
//
// A plain record of non-owning pointers and values. Every model object keeps one; free
// functions take it by const reference instead of the whole object, so that they can be
// called (and tested) without one.

#include "framework/diagnostics_log.h"
#include "framework/matrix.h"

namespace tolvo {

class grid_table;     // grid table: framework/grid_table.h
struct DomainLayout;  // domain decomposition: framework/grid_distribution.h

inline constexpr double kNodata = -9999.0;

// The model grid: taken from the zone grid.
struct GridGeometry {
  int ncols = 0;
  int nrows = 0;
  double xllcorner = 0;
  double yllcorner = 0;
  double cellsize = 0;
  double nodata_value = kNodata;
};

struct RunContext {
  DiagnosticsLog* diagnostics = nullptr;      // the process's log; never null in a model object
  GridGeometry geometry;
  RowRange strip;                             // the rows this process computes
  int rank = 0;
  int process_count = 1;
  grid_table* grids = nullptr;                // the run's shared grid table (not owned)
  const DomainLayout* domain_layout = nullptr; // none until the set-up has decomposed the domain

  DiagnosticsLog& log() const { return *diagnostics; }

  // The own strip with one halo row on each side where the grid has one; a process
  // without rows of its own keeps its empty strip.
  RowRange strip_with_halo() const { return strip.count() > 0 ? WithHaloRows(strip, geometry.nrows) : strip; }
  // Rows of a whole grid this process holds: every row on process 0 (which reads and
  // writes the files), elsewhere the strip widened by its halo rows.
  RowRange held_rows() const { return rank == 0 ? RowRange{1, geometry.nrows} : WithHaloRows(strip, geometry.nrows); }
  // The same, except that a process without rows of its own holds none.
  RowRange held_rows_or_none() const { return rank == 0 ? RowRange{1, geometry.nrows} : strip_with_halo(); }
};

}  // namespace tolvo
