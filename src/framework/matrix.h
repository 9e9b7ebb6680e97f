#pragma once
// 1-based matrices of doubles: grids (row, column) and stacks (row, column, level).
//
// A process holds only the rows of its strip, but the row table spans every row of the
// grid (rows outside the strip are null). Each row has columns 0..ncols; column 0 is
// storage nobody reads. Grid rows lie in a few large contiguous blocks sized by the
// block rule below, so two rows are not necessarily adjacent in memory. A stack row is one
// block of (last column + 1) x (levels + 1) values with the levels of a cell together.
// Every value starts at 0.0. Kernels reach matrices through GridView and StackView.

#include <cassert>
#include <cstddef>
#include <cstdlib>
#include <memory>
#include <span>
#include <type_traits>
#include <vector>

namespace tolvo {

// Rows first..last of a process's strip (inclusive, 1-based).
struct RowRange {
  int first = 1;
  int last = 0;
  int count() const { return last - first + 1; }
  bool contains(int r) const { return r >= first && r <= last; }
};

// A band of rows 1..nrows widened by one halo row on each side where the grid has one.
// An empty band is widened as well; callers that must keep it empty check first.
inline RowRange WithHaloRows(RowRange band, int nrows) {
  return {band.first > 1 ? band.first - 1 : band.first, band.last < nrows ? band.last + 1 : band.last};
}

// Largest block, in bytes, that the block rule hands out.
inline constexpr long long kMaxMatrixBlockBytes = 2147480000LL;

// Thrown by the matrix constructors when memory cannot be had; `stage` says which
// allocation failed (1 row table, 2 block/column table, 3 stack value block) and
// `too_long_rows` that a single row exceeds the largest block.
struct MatrixAllocationFailure {
  int stage;
  bool too_long_rows;
};

// ceil(log2(x)): 0 for x <= 1, else the smallest n with 2^n >= x.
double Log2Ceil(double x);

// The rows of each block of a grid with rows first..last and ncols columns, as the
// block rule cuts them: the first row of every block in order.
std::vector<int> MatrixBlockHeads(int first_row, int last_row, int ncols);

// Whether a row of ncols columns fits one block.
bool MatrixRowFits(long long ncols);

template <typename T>
class BasicGridView {
 public:
  BasicGridView() = default;
  BasicGridView(T* const* rows, RowRange range, int ncols) : rows_(rows), range_(range), ncols_(ncols) {}
  // A view of mutable values is also a view of constant ones.
  template <typename U>
    requires(std::is_same_v<const U, T> && !std::is_same_v<U, T>)
  BasicGridView(const BasicGridView<U>& other) : rows_(other.row_table()), range_(other.rows()), ncols_(other.ncols()) {}
  T& operator()(int r, int c) const {
    assert(range_.contains(r) && c >= 0 && c <= ncols_);
    return rows_[r][c];
  }
  // Columns 0..ncols of row r: row(r)[c] is column c.
  std::span<T> row(int r) const {
    assert(range_.contains(r));
    return {rows_[r], static_cast<std::size_t>(ncols_) + 1};
  }
  RowRange rows() const { return range_; }
  int ncols() const { return ncols_; }
  bool empty() const { return rows_ == nullptr; }
  T* const* row_table() const { return rows_; }

 private:
  T* const* rows_ = nullptr;
  RowRange range_{};
  int ncols_ = 0;
};
using GridView = BasicGridView<double>;
using ConstGridView = BasicGridView<const double>;

template <typename T>
class BasicStackView {
 public:
  BasicStackView() = default;
  BasicStackView(T* const* rows, RowRange range, int last_col, int levels)
      : rows_(rows), range_(range), last_col_(last_col), levels_(levels) {}
  template <typename U>
    requires(std::is_same_v<const U, T> && !std::is_same_v<U, T>)
  BasicStackView(const BasicStackView<U>& other)
      : rows_(other.row_table()), range_(other.rows()), last_col_(other.last_col()), levels_(other.level_count()) {}
  T& operator()(int r, int c, int l) const {
    assert(range_.contains(r) && c >= 0 && c <= last_col_ && l >= 0 && l <= levels_);
    return rows_[r][static_cast<std::size_t>(c) * stride() + l];
  }
  // Levels 0..levels of cell (r, c): levels(r, c)[l] is level l.
  std::span<T> levels(int r, int c) const {
    assert(range_.contains(r) && c >= 0 && c <= last_col_);
    return {rows_[r] + static_cast<std::size_t>(c) * stride(), stride()};
  }
  RowRange rows() const { return range_; }
  int last_col() const { return last_col_; }
  int level_count() const { return levels_; }
  bool empty() const { return rows_ == nullptr; }
  T* const* row_table() const { return rows_; }

 private:
  std::size_t stride() const { return static_cast<std::size_t>(levels_) + 1; }
  T* const* rows_ = nullptr;
  RowRange range_{};
  int last_col_ = 0;
  int levels_ = 0;
};
using StackView = BasicStackView<double>;
using ConstStackView = BasicStackView<const double>;

// One block of matrix storage, zero-filled by calloc: memory fresh from the system is
// zero already and is not touched until the model uses it.
struct MatrixBlockFree {
  void operator()(double* block) const noexcept { std::free(block); }
};
using MatrixBlock = std::unique_ptr<double[], MatrixBlockFree>;

// Owning 1-based grid. Move-only; an empty grid holds nothing.
class Grid {
 public:
  Grid() = default;
  // Rows first..last of a grid of total_rows rows (when total_rows is not positive the
  // row table ends at the last row). Throws MatrixAllocationFailure.
  Grid(int first_row, int last_row, int ncols, int total_rows);
  Grid(Grid&&) noexcept = default;
  Grid& operator=(Grid&&) noexcept = default;

  double* operator[](int r) { return rows_[static_cast<std::size_t>(r)]; }
  const double* operator[](int r) const { return rows_[static_cast<std::size_t>(r)]; }
  double& operator()(int r, int c) { return view()(r, c); }
  double operator()(int r, int c) const { return view()(r, c); }
  GridView view() { return {rows_.data(), range_, ncols_}; }
  ConstGridView view() const { return {rows_.data(), range_, ncols_}; }

  bool empty() const { return rows_.empty(); }
  RowRange rows() const { return range_; }
  int ncols() const { return ncols_; }
  // Number of entries of the row table minus one (the highest row index it can hold).
  int table_rows() const { return static_cast<int>(rows_.size()) - 1; }
  std::size_t block_count() const { return blocks_.size(); }
  void fill(double value);

 private:
  std::vector<double*> rows_;
  std::vector<MatrixBlock> blocks_;
  RowRange range_{};
  int ncols_ = 0;
};

// Owning 1-based stack: [row][column][level], level 0..levels. Move-only.
class Stack {
 public:
  Stack() = default;
  Stack(int first_row, int last_row, int last_col, int levels, int total_rows);
  Stack(Stack&&) noexcept = default;
  Stack& operator=(Stack&&) noexcept = default;

  double& operator()(int r, int c, int l) { return view()(r, c, l); }
  double operator()(int r, int c, int l) const { return view()(r, c, l); }
  StackView view() { return {rows_.data(), range_, last_col_, levels_}; }
  ConstStackView view() const { return {rows_.data(), range_, last_col_, levels_}; }

  bool empty() const { return rows_.empty(); }
  RowRange rows() const { return range_; }
  int last_col() const { return last_col_; }
  int levels() const { return levels_; }
  void fill(double value);

 private:
  std::vector<double*> rows_;
  std::vector<MatrixBlock> blocks_;
  RowRange range_{};
  int last_col_ = 0;
  int levels_ = 0;
};

}  // namespace tolvo
