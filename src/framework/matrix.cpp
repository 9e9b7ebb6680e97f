#include "framework/matrix.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <new>

namespace tolvo {
namespace {

constexpr long long kBlockOverhead = 24;  // bytes the allocator keeps beside a block

long long RowBytes(long long ncols) { return (ncols + 1) * static_cast<long long>(sizeof(double)); }

std::vector<double*> MakeRowTable(int last_row, int total_rows) {
  const int table_rows = total_rows > 0 ? total_rows : last_row;
  try {
    return std::vector<double*>(static_cast<std::size_t>(std::max(table_rows, 0)) + 1, nullptr);
  } catch (const std::bad_alloc&) {
    throw MatrixAllocationFailure{1, false};
  }
}

MatrixBlock MakeBlock(std::size_t count, int stage) {
  void* block = std::calloc(std::max<std::size_t>(count, 1), sizeof(double));  // all 0.0
  if (block == nullptr) throw MatrixAllocationFailure{stage, false};
  return MatrixBlock(static_cast<double*>(block));
}

}  // namespace

double Log2Ceil(double x) {
  double n = 0;
  while (x > 1) {
    x /= 2;
    n += 1;
  }
  return n;
}

bool MatrixRowFits(long long ncols) { return RowBytes(ncols) + kBlockOverhead <= kMaxMatrixBlockBytes; }

// The block rule: the first pass sizes for one spare row; each block takes whole rows up to
// half the power of two at or above the remaining bytes (less the allocator overhead), and a
// remainder of at most a tenth of the matrix is taken in one block.
std::vector<int> MatrixBlockHeads(int first_row, int last_row, int ncols) {
  std::vector<int> heads;
  if (last_row < first_row) return heads;
  const long long rowbytes = RowBytes(ncols);
  const long long total = static_cast<long long>(last_row - first_row + 2) * rowbytes;
  const long long small = static_cast<long long>(0.1 * static_cast<double>(total));
  int index = first_row;
  long long remaining = total;
  while (remaining > 0) {
    heads.push_back(index);
    const int n = static_cast<int>(std::ceil(Log2Ceil(static_cast<double>(remaining + kBlockOverhead))));
    const double pow_n = std::ldexp(1.0, n);
    const double half = std::ldexp(1.0, n - 1);
    if ((remaining <= small && pow_n < kMaxMatrixBlockBytes) || half < rowbytes + kBlockOverhead) break;
    const long long k = static_cast<long long>(
        std::min(half - kBlockOverhead, static_cast<double>(kMaxMatrixBlockBytes)) / rowbytes);
    remaining = (last_row - index + 1 - k) * rowbytes;
    index += static_cast<int>(k);
  }
  return heads;
}

Grid::Grid(int first_row, int last_row, int ncols, int total_rows) : range_{first_row, last_row}, ncols_(ncols) {
  if (!MatrixRowFits(ncols)) throw MatrixAllocationFailure{1, true};
  rows_ = MakeRowTable(last_row, total_rows);
  const std::vector<int> heads = MatrixBlockHeads(first_row, last_row, ncols);
  const std::size_t stride = static_cast<std::size_t>(ncols) + 1;
  for (std::size_t b = 0; b < heads.size(); ++b) {
    const int head = heads[b];
    const int end = b + 1 < heads.size() ? heads[b + 1] : last_row + 1;
    blocks_.push_back(MakeBlock(static_cast<std::size_t>(end - head) * stride, 2));
    double* block = blocks_.back().get();
    for (int r = head; r < end; ++r) rows_[static_cast<std::size_t>(r)] = block + (r - head) * stride;
  }
}

void Grid::fill(double value) {
  for (int r = range_.first; r <= range_.last; ++r) std::fill_n(rows_[r], ncols_ + 1, value);
}

Stack::Stack(int first_row, int last_row, int last_col, int levels, int total_rows)
    : range_{first_row, last_row}, last_col_(last_col), levels_(levels) {
  rows_ = MakeRowTable(last_row, total_rows);
  const std::size_t row_size = (static_cast<std::size_t>(last_col) + 1) * (static_cast<std::size_t>(levels) + 1);
  try {
    blocks_.reserve(static_cast<std::size_t>(std::max(last_row - first_row + 1, 0)));
  } catch (const std::bad_alloc&) {
    throw MatrixAllocationFailure{2, false};
  }
  for (int r = first_row; r <= last_row; ++r) {
    blocks_.push_back(MakeBlock(row_size, 3));
    rows_[static_cast<std::size_t>(r)] = blocks_.back().get();
  }
}

void Stack::fill(double value) {
  const std::size_t row_size = (static_cast<std::size_t>(last_col_) + 1) * (static_cast<std::size_t>(levels_) + 1);
  for (int r = range_.first; r <= range_.last; ++r) std::fill_n(rows_[r], row_size, value);
}

}  // namespace tolvo
