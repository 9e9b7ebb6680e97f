#pragma once
// Interpolation of the values of a station mesh (meteo/station_mesh.h) by one-dimensional
// natural cubic splines (Press et al., Numerical Recipes, 2nd ed., section 3.3): first
// along every mesh column, at the rows of a work raster, then along each work row through
// the columns' values. The work raster has the model's cell size and spans the mesh; a
// model cell takes the value of the work cell its interpolation coordinates fall in, and
// only the work cells that some cell of the process falls in are evaluated.
//
// Values are in the input's units, coordinates in m in the frame of the mesh. A value is
// present when it is at least `present_from`; absent mesh values split a spline into runs
// of present values, and the spline has no value across a gap, before its first node or
// from its last node on. Cells without a spline value get the grid nodata value.

#include <span>
#include <vector>

#include "framework/run_context.h"
#include "framework/matrix.h"
#include "meteo/station_mesh.h"

namespace tolvo {

// Second derivatives y2 of the natural cubic spline through (x[i], y[i]), x strictly
// ascending; u is scratch of the same length. One node gets 0.
void NaturalSecondDerivatives(std::span<const double> x, std::span<const double> y, std::span<double> y2,
                              std::span<double> u);

// The value at xv of the spline piece between nodes lo and hi = lo + 1 (x[lo] < x[hi]).
inline double SplinePiece(double x_lo, double x_hi, double y_lo, double y_hi, double y2_lo, double y2_hi, double xv) {
  const double h = x_hi - x_lo;
  const double a = (x_hi - xv) / h;
  const double b = (xv - x_lo) / h;
  return a * y_lo + b * y_hi + ((a * a * a - a) * y2_lo + (b * b * b - b) * y2_hi) * (h * h) / 6.0;
}

// Two nodes of one spline at the same abscissa: the spline cannot be built.
struct SplineFault {
  bool failed = false;
  double x_low = 0;
  double x_high = 0;
  int low = 0;  // 1-based node numbers
  int high = 0;
};

class TSplines {
 public:
  // `x`, `y`: the interpolation coordinates of the model cells, over the process's rows
  // `rows`; `zone`: the zone grid (cells with nodata take no part).
  TSplines(const StationMesh& mesh, ConstGridView x, ConstGridView y, ConstGridView zone, RowRange rows,
           const GridGeometry& geometry, double present_from, int n_threads);

  // Second derivatives of the column splines for the mesh values `values` (per node, as
  // the mesh's station order). A fault names two nodes of a column at the same y.
  SplineFault PrepareColumns(std::span<const double> values);
  // The spline values of the prepared values at the process's cells into `out`. A fault
  // names two columns at the same x at a work row.
  SplineFault Evaluate(GridView out);

  int work_rows() const { return work_rows_; }
  int work_cols() const { return work_cols_; }

 private:
  struct RowScratch {
    std::vector<double> x, v, y2, u;
  };
  void MapCells(ConstGridView x, ConstGridView y, ConstGridView zone);
  SplineFault EvaluateRow(int wr, RowScratch& s);
  bool present(double v) const { return v >= present_from_; }
  // Natural second derivatives of every run of present values of (x, v); absent values
  // get nodata. A fault when two nodes of a run share their abscissa.
  SplineFault PrepareRuns(std::span<const double> x, std::span<const double> v, std::span<double> y2,
                          std::span<double> u) const;
  // The spline value at xv, or nodata.
  double ValueAt(std::span<const double> x, std::span<const double> v, std::span<const double> y2, double xv) const;

  // Mesh nodes per column from the bottom: node (j, i) at j * n_rows + i.
  int n_rows_ = 0;
  int n_cols_ = 0;
  std::vector<double> node_x_, node_y_, node_v_, node_y2_, node_u_;
  std::vector<std::size_t> node_of_station_order_;  // column-ascending node -> mesh node
  RowRange rows_;
  int ncols_ = 0;
  double nodata_ = 0;
  double present_from_ = 0;
  double xmin_ = 0, ymin_ = 0, cs_ = 1;
  int work_rows_ = 0, work_cols_ = 0;
  int win_row0_ = 1, win_row1_ = 0, win_col0_ = 1, win_col1_ = 0;
  // Per model cell of the process (row-major), its window cell, or -1.
  std::vector<long long> cell_window_;
  // Needed window cells and their values (row-major over the window).
  std::vector<unsigned char> needed_;
  std::vector<double> window_values_;
  std::vector<SplineFault> row_faults_;
  std::vector<RowScratch> scratch_;  // per thread
};

}  // namespace tolvo
