#include "meteo/cubic_splines.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "framework/parallel.h"

namespace tolvo {

void NaturalSecondDerivatives(std::span<const double> x, std::span<const double> y, std::span<double> y2,
                              std::span<double> u) {
  const std::size_t n = x.size();
  if (n == 0) return;
  y2[0] = 0;
  u[0] = 0;
  for (std::size_t i = 1; i + 1 < n; ++i) {
    const double sig = (x[i] - x[i - 1]) / (x[i + 1] - x[i - 1]);
    const double p = sig * y2[i - 1] + 2;
    y2[i] = (sig - 1) / p;
    const double d = (y[i + 1] - y[i]) / (x[i + 1] - x[i]) - (y[i] - y[i - 1]) / (x[i] - x[i - 1]);
    u[i] = (6 * d / (x[i + 1] - x[i - 1]) - sig * u[i - 1]) / p;
  }
  y2[n - 1] = 0;
  for (std::size_t k = n - 1; k-- > 0;) y2[k] = y2[k] * y2[k + 1] + u[k];
}

namespace {

// Work raster row or column of a coordinate, kept within int.
int WorkIndex(double v) {
  return static_cast<int>(std::clamp(std::trunc(v), -1e9, 1e9));
}

}  // namespace

TSplines::TSplines(const StationMesh& mesh, ConstGridView x, ConstGridView y, ConstGridView zone, RowRange rows,
                   const GridGeometry& geometry, double present_from, int n_threads)
    : n_rows_(mesh.n_rows),
      n_cols_(mesh.n_cols),
      rows_(rows),
      ncols_(geometry.ncols),
      nodata_(geometry.nodata_value),
      present_from_(present_from) {
  const std::size_t nodes = static_cast<std::size_t>(n_rows_) * static_cast<std::size_t>(n_cols_);
  node_x_.resize(nodes);
  node_y_.resize(nodes);
  node_v_.resize(nodes);
  node_y2_.resize(nodes);
  node_u_.resize(nodes);
  node_of_station_order_.resize(nodes);
  // Columns from the bottom, so that y ascends along each column.
  for (int j = 1; j <= n_cols_; ++j) {
    for (int i = n_rows_; i >= 1; --i) {
      const std::size_t k = static_cast<std::size_t>(j - 1) * static_cast<std::size_t>(n_rows_) +
                            static_cast<std::size_t>(n_rows_ - i);
      node_of_station_order_[k] = mesh.node(i, j);
      node_x_[k] = mesh.x[mesh.node(i, j)];
      node_y_[k] = mesh.y[mesh.node(i, j)];
    }
  }
  if (nodes == 0) return;
  xmin_ = mesh.x[mesh.node(n_rows_, 1)];
  ymin_ = mesh.y[mesh.node(n_rows_, 1)];
  double xmax = xmin_;
  double ymax = ymin_;
  for (int i = 1; i <= n_rows_; ++i) {
    xmin_ = std::min(xmin_, mesh.x[mesh.node(i, 1)]);
    xmax = std::max(xmax, mesh.x[mesh.node(i, n_cols_)]);
  }
  for (int j = 1; j <= n_cols_; ++j) {
    ymin_ = std::min(ymin_, mesh.y[mesh.node(n_rows_, j)]);
    ymax = std::max(ymax, mesh.y[mesh.node(1, j)]);
  }
  cs_ = geometry.cellsize / 1.0;
  work_rows_ = WorkIndex((ymax - ymin_) / cs_ + 0.49999) + 1;
  work_cols_ = WorkIndex((xmax - xmin_) / cs_ + 0.49999) + 1;
  scratch_.resize(static_cast<std::size_t>(std::max(n_threads, 1)));
  for (RowScratch& s : scratch_) {
    for (std::vector<double>* v : {&s.x, &s.v, &s.y2, &s.u}) v->resize(static_cast<std::size_t>(n_cols_));
  }
  MapCells(x, y, zone);
}

void TSplines::MapCells(ConstGridView x, ConstGridView y, ConstGridView zone) {
  const double limit = nodata_ + 0.01;
  const std::size_t n_cells = static_cast<std::size_t>(std::max(rows_.count(), 0)) * static_cast<std::size_t>(ncols_);
  std::vector<long long> work(n_cells, -1);  // work row * (C_w + 1) + work column
  win_row0_ = work_rows_;
  win_row1_ = 1;
  win_col0_ = work_cols_;
  win_col1_ = 1;
  const long long stride = static_cast<long long>(work_cols_) + 1;
  std::size_t cell = 0;
  for (int r = rows_.first; r <= rows_.last; ++r) {
    for (int c = 1; c <= ncols_; ++c, ++cell) {
      if (!(zone(r, c) > limit && x(r, c) > limit && y(r, c) > limit)) continue;
      const int wr = work_rows_ - WorkIndex((y(r, c) - ymin_) / cs_ + 0.4999);
      const int wc = WorkIndex((x(r, c) - xmin_) / cs_) + 1;
      if (wr < 1 || wr > work_rows_ || wc < 1 || wc > work_cols_) continue;
      work[cell] = wr * stride + wc;
      win_row0_ = std::min(win_row0_, wr);
      win_row1_ = std::max(win_row1_, wr);
      win_col0_ = std::min(win_col0_, wc);
      win_col1_ = std::max(win_col1_, wc);
    }
  }
  if (win_row0_ > 1) --win_row0_;
  if (win_row1_ < work_rows_) ++win_row1_;
  if (win_col0_ > 1) --win_col0_;
  if (win_col1_ < work_cols_) ++win_col1_;
  const long long win_cols = std::max(win_col1_ - win_col0_ + 1, 0);
  const long long win_rows = std::max(win_row1_ - win_row0_ + 1, 0);
  needed_.assign(static_cast<std::size_t>(win_rows * win_cols), 0);
  window_values_.assign(needed_.size(), nodata_);
  row_faults_.assign(static_cast<std::size_t>(win_rows), SplineFault{});
  cell_window_.assign(n_cells, -1);
  for (std::size_t k = 0; k < n_cells; ++k) {
    if (work[k] < 0) continue;
    const long long wr = work[k] / stride;
    const long long wc = work[k] % stride;
    const long long index = (wr - win_row0_) * win_cols + (wc - win_col0_);
    cell_window_[k] = index;
    needed_[static_cast<std::size_t>(index)] = 1;
  }
}

SplineFault TSplines::PrepareRuns(std::span<const double> x, std::span<const double> v, std::span<double> y2,
                                  std::span<double> u) const {
  const std::size_t n = x.size();
  for (std::size_t a = 0; a < n;) {
    if (!present(v[a])) {
      y2[a++] = nodata_;
      continue;
    }
    std::size_t b = a;
    while (b + 1 < n && present(v[b + 1])) ++b;
    for (std::size_t k = a; k < b; ++k) {
      if (x[k + 1] == x[k]) return {true, x[k], x[k + 1], static_cast<int>(k) + 1, static_cast<int>(k) + 2};
    }
    const std::size_t len = b - a + 1;
    NaturalSecondDerivatives(x.subspan(a, len), v.subspan(a, len), y2.subspan(a, len), u.subspan(a, len));
    a = b + 1;
  }
  return {};
}

double TSplines::ValueAt(std::span<const double> x, std::span<const double> v, std::span<const double> y2,
                         double xv) const {
  const std::size_t n = x.size();
  if (n < 2 || !(xv >= x[0]) || !(xv < x[n - 1])) return nodata_;
  const std::size_t hi = static_cast<std::size_t>(std::upper_bound(x.begin(), x.end(), xv) - x.begin());
  if (hi == 0 || hi >= n) return nodata_;
  const std::size_t lo = hi - 1;
  if (!present(v[lo]) || !present(v[hi])) return nodata_;
  return SplinePiece(x[lo], x[hi], v[lo], v[hi], y2[lo], y2[hi], xv);
}

SplineFault TSplines::PrepareColumns(std::span<const double> values) {
  for (std::size_t k = 0; k < node_v_.size(); ++k) node_v_[k] = values[node_of_station_order_[k]];
  const std::size_t len = static_cast<std::size_t>(n_rows_);
  for (int j = 0; j < n_cols_; ++j) {
    const std::size_t first = static_cast<std::size_t>(j) * len;
    const SplineFault fault =
        PrepareRuns(std::span<const double>(node_y_).subspan(first, len), std::span<const double>(node_v_).subspan(first, len),
                    std::span<double>(node_y2_).subspan(first, len), std::span<double>(node_u_).subspan(first, len));
    if (fault.failed) return fault;
  }
  return {};
}

SplineFault TSplines::EvaluateRow(int wr, RowScratch& s) {
  const double yr = ymin_ + static_cast<double>(work_rows_ - wr) * cs_;
  const std::size_t len = static_cast<std::size_t>(n_rows_);
  for (int j = 0; j < n_cols_; ++j) {
    const std::size_t first = static_cast<std::size_t>(j) * len;
    const std::span<const double> ny = std::span<const double>(node_y_).subspan(first, len);
    const std::span<const double> nx = std::span<const double>(node_x_).subspan(first, len);
    double x = nx[0];
    if (len >= 2) {
      std::size_t k = static_cast<std::size_t>(std::upper_bound(ny.begin(), ny.end(), yr) - ny.begin());
      k = std::clamp<std::size_t>(k, 1, len - 1) - 1;
      const double dy = ny[k + 1] - ny[k];
      x = dy != 0 ? nx[k] + (nx[k + 1] - nx[k]) * (yr - ny[k]) / dy : nx[k];
    }
    const auto sj = static_cast<std::size_t>(j);
    s.x[sj] = x;
    s.v[sj] = ValueAt(ny, std::span<const double>(node_v_).subspan(first, len),
                      std::span<const double>(node_y2_).subspan(first, len), yr);
  }
  const SplineFault fault = PrepareRuns(s.x, s.v, s.y2, s.u);
  if (fault.failed) return fault;
  const std::size_t win_cols = static_cast<std::size_t>(win_col1_ - win_col0_ + 1);
  const std::size_t base = static_cast<std::size_t>(wr - win_row0_) * win_cols;
  for (std::size_t k = 0; k < win_cols; ++k) {
    if (needed_[base + k] == 0) continue;
    const double xv = xmin_ + static_cast<double>(static_cast<std::size_t>(win_col0_) + k - 1) * cs_;
    window_values_[base + k] = ValueAt(s.x, s.v, s.y2, xv);
  }
  return {};
}

SplineFault TSplines::Evaluate(GridView out) {
  if (scratch_.size() < static_cast<std::size_t>(row_thread_count())) {
    scratch_.resize(static_cast<std::size_t>(row_thread_count()), scratch_.front());
  }
  if (win_row1_ >= win_row0_ && win_col1_ >= win_col0_ && n_cols_ > 0) {
    for_each_row_by_thread(RowRange{win_row0_, win_row1_}, [&](int wr, int thread) {
      row_faults_[static_cast<std::size_t>(wr - win_row0_)] = EvaluateRow(wr, scratch_[static_cast<std::size_t>(thread)]);
    });
    for (const SplineFault& fault : row_faults_) {
      if (fault.failed) return fault;
    }
  }
  for_each_row(rows_, [&](int r) {
    const std::size_t base = static_cast<std::size_t>(r - rows_.first) * static_cast<std::size_t>(ncols_);
    const std::span<double> row = out.row(r);
    for (int c = 1; c <= ncols_; ++c) {
      const long long index = cell_window_[base + static_cast<std::size_t>(c - 1)];
      row[static_cast<std::size_t>(c)] = index >= 0 ? window_values_[static_cast<std::size_t>(index)] : nodata_;
    }
  });
  return {};
}

}  // namespace tolvo
