#include "framework/grid_distribution.h"

#include <mpi.h>

#include <algorithm>
#include <limits>
#include <string>
#include <vector>

#include "framework/error_code.h"
#include "framework/memory_handling.h"
#include "framework/run_context.h"

namespace tolvo {

namespace {

// The two spellings of the entry for a row with more runs than it can describe: the
// grid operations write the first, the stack gathers the second.
enum class StripLimitEntry { Grid, Stack };

// The decomposition a transfer works on, or none when there is nothing to transfer.
const DomainLayout* ActiveLayout(const RunContext& run) {
  const DomainLayout* layout = run.domain_layout;
  if (run.process_count < 2 || layout == nullptr || layout->regions.empty() || layout->helper.empty()) {
    return nullptr;
  }
  return layout;
}

[[noreturn]] void TooManyStrips(const RunContext& run, int r, StripLimitEntry entry) {
  if (entry == StripLimitEntry::Grid) {
    run.log() << "FATAL: MPI-Regions: to much strips to be stored in a grid row in row " << r << "[end-entry]";
  } else {
    run.log() << "FATAL: MPI-Regions: to much strips to be stored in a grid row (in row " << r << ")"
              << "[end-entry]";
  }
  RaiseError(kTooManyStripsCode);
}

// Whether the strip grid can hold pair k of a row (columns 2k - 1 and 2k).
bool PairStored(int k, int ncols) { return 2 * k <= ncols; }

// After the k-th run of a row, the length of the next pair (column 2k + 2) must lie in
// the row; otherwise the row holds more runs than it can describe.
void CheckStripLimit(const RunContext& run, int r, int k, StripLimitEntry entry) {
  if (2 * k + 2 > run.geometry.ncols) TooManyStrips(run, r, entry);
}

// Process 0's walk: every run of another owner, row by row, left to right, as
// transfer(row, first column, length, owner). A row's pairs start at its first domain
// column, which follows the leading run outside the domain whose length column 0 keeps.
template <typename Transfer>
void WalkRunsOfOthers(const RunContext& run, const DomainLayout& layout, StripLimitEntry entry,
                      Transfer&& transfer) {
  const int ncols = run.geometry.ncols;
  for (int r = 1; r <= run.geometry.nrows; ++r) {
    const std::span<const double> pairs = layout.helper.row(r);
    int c = static_cast<int>(pairs[0]) + 1;
    for (int k = 1; PairStored(k, ncols); ++k) {
      const int owner = static_cast<int>(pairs[2 * k - 1]);
      const int length = static_cast<int>(pairs[2 * k]);
      if (length < 1) break;
      if (owner > 0) transfer(r, c, length, owner);
      c += length;
      CheckStripLimit(run, r, k, entry);
    }
  }
}

// Another process's walk: its own runs, row by row over its band, left to right, as
// transfer(row, first column, length).
template <typename Transfer>
void WalkOwnRuns(const RunContext& run, const DomainLayout& layout, StripLimitEntry entry, Transfer&& transfer) {
  const int ncols = run.geometry.ncols;
  for (int r = layout.own_rows.first; r <= layout.own_rows.last; ++r) {
    const std::span<const double> pairs = layout.helper.row(r);
    for (int k = 1; PairStored(k, ncols); ++k) {
      const int first_col = static_cast<int>(pairs[2 * k - 1]);
      if (first_col < 1) break;
      transfer(r, first_col, static_cast<int>(pairs[2 * k]));
      CheckStripLimit(run, r, k, entry);
    }
  }
}

// All runs of one process travel between it and process 0 as one message, packed in walk
// order; a process without runs sends nothing. The tag keeps these messages apart from
// the halo strips, which carry their row as tag.
constexpr int kRunsTag = 32767;

void SendDoubles(const double* values, int count, int peer, int tag) {
  MPI_Send(values, count, MPI_DOUBLE, peer, tag, MPI_COMM_WORLD);
}

void ReceiveDoubles(double* values, int count, int peer, int tag) {
  MPI_Recv(values, count, MPI_DOUBLE, peer, tag, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
}

// Sizes the kept message buffer for the runs of this process; false when it owns no cell.
bool SizeOwnRunsMessage(const RunContext& run, const DomainLayout& layout, int values_per_cell,
                        StripLimitEntry entry) {
  std::size_t total = 0;
  WalkOwnRuns(run, layout, entry, [&](int, int, int length) { total += static_cast<std::size_t>(length); });
  if (total == 0) return false;
  layout.message.resize(total * static_cast<std::size_t>(values_per_cell));
  return true;
}

// The packed message of a process other than 0: its runs in walk order. `cell(r, c)` gives
// the first value of cell (r, c), `values_per_cell` how many values a cell moves.
template <typename Cell>
void SendOwnRuns(const RunContext& run, const DomainLayout& layout, int values_per_cell, StripLimitEntry entry,
                 Cell&& cell) {
  if (!SizeOwnRunsMessage(run, layout, values_per_cell, entry)) return;
  std::vector<double>& buffer = layout.message;
  std::size_t position = 0;
  WalkOwnRuns(run, layout, entry, [&](int r, int c, int length) {
    const std::size_t count = static_cast<std::size_t>(length) * static_cast<std::size_t>(values_per_cell);
    std::copy_n(cell(r, c), count, buffer.begin() + static_cast<std::ptrdiff_t>(position));
    position += count;
  });
  SendDoubles(buffer.data(), static_cast<int>(buffer.size()), 0, kRunsTag);
}

template <typename Cell>
void ReceiveOwnRuns(const RunContext& run, const DomainLayout& layout, int values_per_cell, StripLimitEntry entry,
                    Cell&& cell) {
  if (!SizeOwnRunsMessage(run, layout, values_per_cell, entry)) return;
  std::vector<double>& buffer = layout.message;
  ReceiveDoubles(buffer.data(), static_cast<int>(buffer.size()), 0, kRunsTag);
  std::size_t position = 0;
  WalkOwnRuns(run, layout, entry, [&](int r, int c, int length) {
    const std::size_t count = static_cast<std::size_t>(length) * static_cast<std::size_t>(values_per_cell);
    std::copy_n(buffer.begin() + static_cast<std::ptrdiff_t>(position), count, cell(r, c));
    position += count;
  });
}

// Process 0's side: the number of cells each other process moves (index 0 unused), in
// the layout's kept list.
const std::vector<std::size_t>& CellsOfOthers(const RunContext& run, const DomainLayout& layout,
                                              StripLimitEntry entry) {
  std::vector<std::size_t>& cells = layout.cells_of_others;
  cells.assign(static_cast<std::size_t>(run.process_count), 0);
  WalkRunsOfOthers(run, layout, entry, [&](int, int, int length, int owner) {
    if (owner < run.process_count) cells[static_cast<std::size_t>(owner)] += static_cast<std::size_t>(length);
  });
  return cells;
}

// Process 0 exchanges one message with each other process in ascending rank, through one
// buffer as large as the largest message: a scatter packs the owner's runs into it before
// the send, a gather unpacks them after the receive, both in walk order.
template <typename Cell>
void MoveRunsOfOthers(const RunContext& run, const DomainLayout& layout, bool scatter, int values_per_cell,
                      StripLimitEntry entry, Cell&& cell) {
  const std::vector<std::size_t>& cells = CellsOfOthers(run, layout, entry);
  std::vector<double>& buffer = layout.message;
  buffer.resize(std::ranges::max(cells) * static_cast<std::size_t>(values_per_cell));
  for (int q = 1; q < run.process_count; ++q) {
    const std::size_t count = cells[static_cast<std::size_t>(q)] * static_cast<std::size_t>(values_per_cell);
    if (count == 0) continue;
    if (!scatter) ReceiveDoubles(buffer.data(), static_cast<int>(count), q, kRunsTag);
    std::size_t position = 0;
    WalkRunsOfOthers(run, layout, entry, [&](int r, int c, int length, int owner) {
      if (owner != q) return;
      const std::size_t run_values = static_cast<std::size_t>(length) * static_cast<std::size_t>(values_per_cell);
      const auto packed = buffer.begin() + static_cast<std::ptrdiff_t>(position);
      if (scatter) {
        std::copy_n(cell(r, c), run_values, packed);
      } else {
        std::copy_n(packed, run_values, cell(r, c));
      }
      position += run_values;
    });
    if (scatter) SendDoubles(buffer.data(), static_cast<int>(count), q, kRunsTag);
  }
}

// Scatter (from process 0) or gather (to process 0) of a grid's or stack's runs in place.
template <typename Cell>
void MoveRuns(const RunContext& run, const DomainLayout& layout, bool scatter, int values_per_cell,
              StripLimitEntry entry, Cell&& cell) {
  if (run.rank == 0) {
    MoveRunsOfOthers(run, layout, scatter, values_per_cell, entry, cell);
  } else if (scatter) {
    ReceiveOwnRuns(run, layout, values_per_cell, entry, cell);
  } else {
    SendOwnRuns(run, layout, values_per_cell, entry, cell);
  }
}

void LogStackProgress(const RunContext& run, const char* action, std::string_view identifier) {
  run.log() << action << std::string(identifier) << " for mpi-rank " << run.rank << "[end-entry]";
}

// The masked-cell walk: over the given rows, each from its first to its last zone column,
// visit(r, c) for every cell whose mask value is above nodata.
template <typename Visit>
void WalkMaskedCells(const RunContext& run, const DomainLayout& layout, RowRange rows, ConstGridView mask,
                     Visit&& visit) {
  const int ncols = run.geometry.ncols;
  const double nodata = run.geometry.nodata_value;
  for (int r = rows.first; r <= rows.last; ++r) {
    ColumnRange range{1, ncols};
    if (static_cast<std::size_t>(r) < layout.column_ranges.size()) range = layout.column_ranges[r];
    for (int c = std::max(range.first, 1); c <= std::min(range.last, ncols); ++c) {
      if (mask(r, c) > nodata) visit(r, c);
    }
  }
}

// The rows a process walks for masked cells: every row on process 0, its band elsewhere.
RowRange MaskedRows(const RunContext& run, const DomainLayout& layout) {
  return run.rank == 0 ? RowRange{1, run.geometry.nrows} : layout.own_rows;
}

int CountOf(std::span<const long long> counts, int q) {
  if (q < 0 || static_cast<std::size_t>(q) >= counts.size()) return 0;
  return static_cast<int>(std::clamp<long long>(counts[q], 0, std::numeric_limits<int>::max()));
}

// Process 0's masked-cell messages, one part per other process in ascending rank, in the
// layout's kept message (zero-filled); the layout's kept list holds per process the
// position of its next value (index q) and the end of its part (index size + q; the
// end at index size, before the first part, stays 0). A full
// or exhausted part takes or gives no more values, so counts that do not match the mask
// leave cells unfilled instead of writing or reading past the part.
class MessageParts {
 public:
  MessageParts(std::vector<double>& values, std::vector<std::size_t>& positions, int size)
      : values_(values), positions_(positions), size_(static_cast<std::size_t>(size)) {}
  // Where the part of process q (q >= 1) starts: where the part before it ends.
  std::size_t first(int q) const { return ends(q - 1); }
  bool next(int q, double& value) const {
    std::size_t& position = positions_[static_cast<std::size_t>(q)];
    if (position >= ends(q)) return false;
    value = values_[position++];
    return true;
  }
  void put(int q, double value) const {
    std::size_t& position = positions_[static_cast<std::size_t>(q)];
    if (position < ends(q)) values_[position++] = value;
  }

 private:
  std::size_t ends(int q) const { return positions_[size_ + static_cast<std::size_t>(q)]; }
  std::vector<double>& values_;
  std::vector<std::size_t>& positions_;
  std::size_t size_;
};

MessageParts PartMessage(const DomainLayout& layout, std::span<const long long> counts, int size) {
  std::vector<std::size_t>& positions = layout.cells_of_others;
  positions.assign(2 * static_cast<std::size_t>(size), 0);
  std::size_t end = 0;
  for (int q = 1; q < size; ++q) {
    positions[static_cast<std::size_t>(q)] = end;
    end += static_cast<std::size_t>(CountOf(counts, q));
    positions[static_cast<std::size_t>(size + q)] = end;
  }
  layout.message.assign(end, 0.0);
  return MessageParts(layout.message, positions, size);
}

// Values taken one after another from a received buffer; an exhausted buffer gives none,
// so counts that do not match the mask leave cells unfilled instead of reading past it.
class BufferCursor {
 public:
  explicit BufferCursor(std::span<const double> values) : values_(values) {}
  bool next(double& value) {
    if (position_ >= values_.size()) return false;
    value = values_[position_++];
    return true;
  }

 private:
  std::span<const double> values_;
  std::size_t position_ = 0;
};

}  // namespace

void ScatterGrid(const RunContext& run, GridView grid) {
  const DomainLayout* layout = ActiveLayout(run);
  if (layout == nullptr) return;
  MoveRuns(run, *layout, true, 1, StripLimitEntry::Grid, [&](int r, int c) { return &grid(r, c); });
}

void GatherGrid(const RunContext& run, GridView grid) {
  const DomainLayout* layout = ActiveLayout(run);
  if (layout == nullptr) return;
  MoveRuns(run, *layout, false, 1, StripLimitEntry::Grid, [&](int r, int c) { return &grid(r, c); });
}

Grid GatherGridCopy(const RunContext& run, ConstGridView source) {
  const DomainLayout* layout = ActiveLayout(run);
  if (layout == nullptr) return {};
  if (run.rank != 0) {
    SendOwnRuns(run, *layout, 1, StripLimitEntry::Grid, [&](int r, int c) { return &source(r, c); });
    return {};
  }
  const GridGeometry& geometry = run.geometry;
  Grid copy = AllocateGrid(run.log(), 1, geometry.nrows, geometry.ncols, geometry.nrows);
  for (int r = 1; r <= geometry.nrows; ++r) {
    for (int c = 1; c <= geometry.ncols; ++c) {
      copy(r, c) = layout->regions(r, c) == 0 ? source(r, c) : geometry.nodata_value;
    }
  }
  MoveRunsOfOthers(run, *layout, false, 1, StripLimitEntry::Grid, [&](int r, int c) { return &copy(r, c); });
  return copy;
}

void MPIScatterStack(const RunContext& run, StackView stack, std::string_view identifier) {
  const DomainLayout* layout = ActiveLayout(run);
  if (layout == nullptr) return;
  if (!identifier.empty()) LogStackProgress(run, "re-distributing stack ", identifier);
  MoveRuns(run, *layout, true, stack.level_count() + 1, StripLimitEntry::Grid,
           [&](int r, int c) { return stack.levels(r, c).data(); });
}

void GatherStack(const RunContext& run, StackView stack, std::string_view identifier) {
  const DomainLayout* layout = ActiveLayout(run);
  if (layout == nullptr) return;
  LogStackProgress(run, "synchronising stack ", identifier);
  MoveRuns(run, *layout, false, stack.level_count() + 1, StripLimitEntry::Stack,
           [&](int r, int c) { return stack.levels(r, c).data(); });
}

Stack GatherStackCopy(const RunContext& run, ConstStackView source, std::string_view identifier) {
  const DomainLayout* layout = ActiveLayout(run);
  if (layout == nullptr) return {};
  LogStackProgress(run, "synchronising stack ", identifier);
  const int values_per_cell = source.level_count() + 1;
  if (run.rank != 0) {
    SendOwnRuns(run, *layout, values_per_cell, StripLimitEntry::Stack,
                [&](int r, int c) { return source.levels(r, c).data(); });
    return {};
  }
  const GridGeometry& geometry = run.geometry;
  Stack copy =
      AllocateStack(run.log(), 1, geometry.nrows, geometry.ncols, source.level_count(), geometry.nrows);
  for (int r = 1; r <= geometry.nrows; ++r) {
    for (int c = 1; c <= geometry.ncols; ++c) {
      const std::span<double> target = copy.view().levels(r, c);
      if (layout->regions(r, c) == 0) {
        std::ranges::copy(source.levels(r, c), target.begin());
      } else {
        std::ranges::fill(target, geometry.nodata_value);
      }
    }
  }
  MoveRunsOfOthers(run, *layout, false, values_per_cell, StripLimitEntry::Stack,
                   [&](int r, int c) { return copy.view().levels(r, c).data(); });
  return copy;
}

void GatherMaskedCells(const RunContext& run, GridView values, ConstGridView mask,
                       std::span<const long long> counts, GridView target) {
  const DomainLayout* layout = ActiveLayout(run);
  if (layout == nullptr) return;
  const int rank = run.rank;
  const RowRange rows = MaskedRows(run, *layout);
  std::vector<double>& buffer = layout->message;
  if (rank != 0) {
    buffer.assign(static_cast<std::size_t>(CountOf(counts, rank)), 0.0);
    std::size_t packed = 0;
    WalkMaskedCells(run, *layout, rows, mask, [&](int r, int c) {
      if (static_cast<int>(layout->regions(r, c)) == rank && packed < buffer.size()) buffer[packed++] = values(r, c);
    });
    SendDoubles(buffer.data(), static_cast<int>(buffer.size()), 0, rank);
    return;
  }
  const int size = run.process_count;
  const MessageParts parts = PartMessage(*layout, counts, size);
  for (int q = 1; q < size; ++q) ReceiveDoubles(buffer.data() + parts.first(q), CountOf(counts, q), q, q);
  WalkMaskedCells(run, *layout, rows, mask, [&](int r, int c) {
    const int q = static_cast<int>(layout->regions(r, c));
    const bool remote = q > 0 && q < size;
    double value = 0;
    if (!target.empty()) {
      if (!remote) {
        target(r, c) = values(r, c);
      } else if (parts.next(q, value)) {
        target(r, c) = value;
      }
    } else if (remote && parts.next(q, value)) {
      values(r, c) = value;
    }
  });
}

void ScatterMaskedCells(const RunContext& run, GridView values, ConstGridView mask,
                        std::span<const long long> counts) {
  const DomainLayout* layout = ActiveLayout(run);
  if (layout == nullptr) return;
  const int rank = run.rank;
  const RowRange rows = MaskedRows(run, *layout);
  std::vector<double>& buffer = layout->message;
  if (rank != 0) {
    buffer.resize(static_cast<std::size_t>(CountOf(counts, rank)));
    ReceiveDoubles(buffer.data(), static_cast<int>(buffer.size()), 0, rank);
    BufferCursor cursor(buffer);
    WalkMaskedCells(run, *layout, rows, mask, [&](int r, int c) {
      double value = 0;
      if (static_cast<int>(layout->regions(r, c)) == rank && cursor.next(value)) values(r, c) = value;
    });
    return;
  }
  const int size = run.process_count;
  const MessageParts parts = PartMessage(*layout, counts, size);
  WalkMaskedCells(run, *layout, rows, mask, [&](int r, int c) {
    const int q = static_cast<int>(layout->regions(r, c));
    if (q > 0 && q < size) parts.put(q, values(r, c));
  });
  for (int q = 1; q < size; ++q) SendDoubles(buffer.data() + parts.first(q), CountOf(counts, q), q, q);
}

}  // namespace tolvo
