#include "framework/stack_reader.h"

#include <mpi.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "framework/error_code.h"
#include "framework/file_handle.h"
#include "framework/grid_distribution.h"
#include "framework/grid_file_format.h"
#include "framework/grid_table.h"
#include "framework/memory_handling.h"
#include "framework/signals.h"

namespace tolvo {
namespace {

// What process 0 learns about the file and hands to the others.
struct OpenedStack {
  FilePtr file;
  std::unique_ptr<AsciiScanner> scanner;  // an ASCII stack, positioned after its header
  std::string path;
  StackFileFormat format = StackFileFormat::Ascii;
  bool parallel = false;  // every process reads its own rows
  int levels = 0;         // n: levels 0..n
};

[[noreturn]] void Fail(DiagnosticsLog& log, const std::string& text, int code) {
  log << "FATAL: " << text << "[end-entry]";
  RaiseError(code);
}

// The format and the twelve header values. A binary header must be whole: twelve
// binary64 numbers for a double stack, twelve binary32 numbers for a float stack.
void RecogniseAndReadHeader(DiagnosticsLog& log, OpenedStack& opened, GridFileHeader& header) {
  std::array<std::byte, kGridHeaderCount * sizeof(double)> head{};
  const std::size_t got = std::fread(head.data(), 1, head.size(), opened.file.get());
  const std::optional<StackFileFormat> format = RecogniseStackFile(std::span(head).first(got));
  if (!format) {
    if (got < head.size()) Fail(log, "error reading from " + opened.path, kGridReadError);
    Fail(log, "could not recognise file format (ascii, single float or double float) for stack " + opened.path,
         kGridReadError);
  }
  opened.format = *format;
  switch (*format) {
    case StackFileFormat::Ascii: {
      std::rewind(opened.file.get());
      opened.scanner = std::make_unique<AsciiScanner>(opened.file.get());
      for (int j = 1; j <= kGridHeaderCount; ++j) {
        const std::optional<double> value = opened.scanner->SkipWord() ? opened.scanner->Number() : std::nullopt;
        if (!value) Fail(log, "error reading ascii value #" + std::to_string(j) + " from " + opened.path, kGridReadError);
        header.values[static_cast<std::size_t>(j - 1)] = *value;
      }
      break;
    }
    case StackFileFormat::DoubleBinary:
      if (got < kGridHeaderCount * sizeof(double)) Fail(log, "error reading from " + opened.path, kGridReadError);
      std::memcpy(header.values.data(), head.data(), kGridHeaderCount * sizeof(double));
      break;
    case StackFileFormat::FloatBinary: {
      if (got < kGridHeaderCount * sizeof(float)) Fail(log, "error reading from " + opened.path, kGridReadError);
      std::array<float, kGridHeaderCount> numbers;
      std::memcpy(numbers.data(), head.data(), sizeof numbers);
      std::copy(numbers.begin(), numbers.end(), header.values.begin());
      break;
    }
  }
}

bool GeometryMatches(const GridFileHeader& header, const GridGeometry& model) {
  return std::floor(header.ncols()) == model.ncols && std::floor(header.nrows()) == model.nrows &&
         header.xllcorner() == model.xllcorner && header.yllcorner() == model.yllcorner &&
         header.cellsize() == model.cellsize && header.nodata_value() == model.nodata_value;
}

[[noreturn]] void GeometryError(const GridInput& input, OpenedStack& opened, const GridFileHeader& header) {
  input.run.log() << "FATAL: " << opened.path << " has not the specified grid measures (in " << input.reader_name
                  << ")\n";
  LogGeometryComparison(input.run, opened.path, header);
  input.run.log() << "[end-entry]";
  opened.scanner.reset();
  if (std::fclose(opened.file.release()) != 0) {
    Fail(input.run.log(), "error closing stack (1) " + opened.path, kGridCloseError);
  }
  RaiseError(kGridGeometryError);
}

// A header that declares more values than the file holds (a level count of a billion,
// say) is refused before memory is taken for them.
void CheckFileSize(const RunContext& run, const OpenedStack& opened) {
  const std::optional<long long> file_bytes = RegularFileBytes(opened.file.get());
  if (!file_bytes) return;
  const GridGeometry& g = run.geometry;
  const double count = static_cast<double>(g.ncols) * static_cast<double>(g.nrows) * (opened.levels + 1.0);
  const bool ascii = opened.format == StackFileFormat::Ascii;
  const std::size_t value_bytes = opened.format == StackFileFormat::FloatBinary ? sizeof(float) : sizeof(double);
  const RequiredFileBytes need = ascii ? RequiredAsciiBytes(count) : RequiredBinaryBytes(count, value_bytes);
  if (need.HeldBy(*file_bytes)) return;
  const std::string declared = std::to_string(g.ncols) + " x " + std::to_string(g.nrows) + " cells of " +
                               std::to_string(opened.levels + 1LL) + " levels" +
                               (ascii ? " as ASCII numbers" : value_bytes == 8 ? " of 8 bytes" : " of 4 bytes");
  std::string entry = ascii ? "error reading ascii stack " + opened.path
                            : (value_bytes == 8 ? "error reading double stack " : "error reading float stack ") +
                                  opened.path;
  // A binary stack that is too short names its first incomplete row, as a short read does.
  const double values = static_cast<double>(*file_bytes / static_cast<long long>(value_bytes)) - kGridHeaderCount;
  if (!ascii && values < count) {
    const double per_row = static_cast<double>(g.ncols) * (opened.levels + 1.0);
    entry += "at row " + std::to_string(static_cast<long long>(std::max(values, 0.0) / per_row) + 1);
  }
  Fail(run.log(), entry + ": " + FileSizeMismatch(declared, need, *file_bytes), kGridReadError);
}

// Process 0: open, recognise, read and check the header.
OpenedStack OpenAndCheck(const GridInput& input, std::string_view name, bool whole_on_process0,
                         GridFileHeader& header) {
  OpenedStack opened;
  opened.path = PrefixPath(input.input_directory, name);
  opened.file.reset(std::fopen(opened.path.c_str(), "rb"));
  if (!opened.file) Fail(input.run.log(), "error opening " + opened.path, kGridOpenError);
  input.run.log() << "reading " << opened.path << " for " << input.reader_name << "..." << "[end-entry]";
  RecogniseAndReadHeader(input.run.log(), opened, header);
  if (!GeometryMatches(header, input.run.geometry)) GeometryError(input, opened, header);
  // Levels 0..n: a level index an int cannot hold, or a negative one, is no stack header.
  const double levels = std::floor(header.numlevels());
  if (!(levels >= 0 && levels < INT_MAX)) Fail(input.run.log(), "error reading from " + opened.path, kGridReadError);
  opened.levels = static_cast<int>(levels);
  CheckFileSize(input.run, opened);
  opened.parallel = opened.format != StackFileFormat::Ascii && !whole_on_process0;
  return opened;
}

// Process 0's findings to every process: the path, the format, the reading mode, the
// level count and header values 1 to 6.
void ShareOpened(OpenedStack& opened, GridFileHeader& header, int rank) {
  std::array<int, 4> facts{static_cast<int>(opened.format), opened.parallel ? 1 : 0, opened.levels,
                           static_cast<int>(opened.path.size())};
  MPI_Bcast(facts.data(), static_cast<int>(facts.size()), MPI_INT, 0, MPI_COMM_WORLD);
  MPI_Bcast(header.values.data(), 6, MPI_DOUBLE, 0, MPI_COMM_WORLD);
  if (rank != 0) {
    opened.format = static_cast<StackFileFormat>(facts[0]);
    opened.parallel = facts[1] != 0;
    opened.levels = facts[2];
    opened.path.resize(static_cast<std::size_t>(facts[3]));
    header.numlevels() = opened.levels;
  }
  MPI_Bcast(opened.path.data(), facts[3], MPI_CHAR, 0, MPI_COMM_WORLD);
}

// The values of row r of a stack: columns 1..ncols, levels 0..n of a cell together.
std::span<double> RowValues(StackView stack, int r, int ncols) {
  return {stack.levels(r, 1).data(), static_cast<std::size_t>(ncols) * (static_cast<std::size_t>(stack.level_count()) + 1)};
}

[[noreturn]] void ShortBinaryStack(DiagnosticsLog& log, StackFileFormat format, const std::string& path, int row) {
  log << (format == StackFileFormat::DoubleBinary ? "FATAL: error reading double stack " : "FATAL: error reading float stack ")
      << path << "at row " << row << "[end-entry]";
  RaiseError(kGridReadError);
}

template <typename T>
MPI_Datatype MpiType() {
  return std::is_same_v<T, double> ? MPI_DOUBLE : MPI_FLOAT;
}

// Every process reads its own rows of a binary stack in one read. A process that
// receives less than its rows fails, and every other process with it, naming the first
// row that any process missed.
template <typename T>
void ReadRowsParallel(const GridInput& input, const OpenedStack& opened, RowRange rows, StackView stack) {
  const int ncols = input.run.geometry.ncols;
  const std::size_t per_row = static_cast<std::size_t>(ncols) * (static_cast<std::size_t>(opened.levels) + 1);
  const std::size_t total = rows.count() > 0 ? per_row * static_cast<std::size_t>(rows.count()) : 0;
  std::vector<T> buffer;
  try {
    buffer.resize(total);
  } catch (const std::bad_alloc&) {
    RaiseMemoryError(input.run.log(), input.reader_name, 1);
  }
  MPI_File file;
  char* mpi_path = const_cast<char*>(opened.path.c_str());
  const int opened_here = MPI_File_open(MPI_COMM_WORLD, mpi_path, MPI_MODE_RDONLY, MPI_INFO_NULL, &file) == MPI_SUCCESS;
  int all_opened = 0;
  MPI_Allreduce(&opened_here, &all_opened, 1, MPI_INT, MPI_MIN, MPI_COMM_WORLD);
  if (!all_opened) Fail(input.run.log(), "error opening " + opened.path, kGridOpenError);

  std::size_t received = 0;
  MPI_Offset offset = total > 0 ? StackRowOffset(rows.first, ncols, opened.levels, sizeof(T)) : 0;
  constexpr std::size_t kPiece = std::size_t{1} << 28;
  while (received < total) {
    const int n = static_cast<int>(std::min(total - received, kPiece));
    MPI_Status status;
    int count = 0;
    if (MPI_File_read_at(file, offset, buffer.data() + received, n, MpiType<T>(), &status) != MPI_SUCCESS ||
        MPI_Get_count(&status, MpiType<T>(), &count) != MPI_SUCCESS || count < 0) {
      break;
    }
    received += static_cast<std::size_t>(count);
    offset += static_cast<MPI_Offset>(count) * static_cast<MPI_Offset>(sizeof(T));
    if (count < n) break;
  }
  MPI_File_close(&file);

  int first_missed = received < total ? rows.first + static_cast<int>(received / per_row) : INT_MAX;
  int any_missed = INT_MAX;
  MPI_Allreduce(&first_missed, &any_missed, 1, MPI_INT, MPI_MIN, MPI_COMM_WORLD);
  if (any_missed != INT_MAX) ShortBinaryStack(input.run.log(), opened.format, opened.path, any_missed);

  for (int r = rows.first; r <= rows.last; ++r) {
    const auto from = buffer.begin() + static_cast<std::ptrdiff_t>(per_row * static_cast<std::size_t>(r - rows.first));
    std::copy(from, from + static_cast<std::ptrdiff_t>(per_row), RowValues(stack, r, ncols).begin());
  }
}

// Process 0 reads every row.
template <typename T>
void ReadBinaryRows(DiagnosticsLog& log, const OpenedStack& opened, int nrows, int ncols, StackView stack) {
  std::FILE* file = opened.file.get();
  if (std::fseek(file, static_cast<long>(kGridHeaderCount * sizeof(T)), SEEK_SET) != 0) {
    ShortBinaryStack(log, opened.format, opened.path, 1);
  }
  std::vector<T> buffer;
  for (int r = 1; r <= nrows; ++r) {
    const std::span<double> row = RowValues(stack, r, ncols);
    if constexpr (std::is_same_v<T, double>) {
      if (std::fread(row.data(), sizeof(double), row.size(), file) != row.size()) {
        ShortBinaryStack(log, opened.format, opened.path, r);
      }
    } else {
      buffer.resize(row.size());
      if (std::fread(buffer.data(), sizeof(T), buffer.size(), file) != buffer.size()) {
        ShortBinaryStack(log, opened.format, opened.path, r);
      }
      std::copy(buffer.begin(), buffer.end(), row.begin());
    }
  }
}

void ReadAsciiRows(DiagnosticsLog& log, OpenedStack& opened, int nrows, int ncols, StackView stack) {
  const std::size_t per_cell = static_cast<std::size_t>(opened.levels) + 1;
  for (int r = 1; r <= nrows; ++r) {
    const std::span<double> row = RowValues(stack, r, ncols);
    const std::size_t got = opened.scanner->Numbers(row);
    if (got < row.size()) {
      log << "FATAL: error reading ascii stack " << opened.path << "at row " << r << ", column "
          << static_cast<int>(got / per_cell) + 1 << ", level " << static_cast<int>(got % per_cell) << "[end-entry]";
      RaiseError(kGridReadError);
    }
  }
}

void ReadWhole(const GridInput& input, OpenedStack& opened, StackView stack) {
  const GridGeometry& g = input.run.geometry;
  switch (opened.format) {
    case StackFileFormat::Ascii:
      ReadAsciiRows(input.run.log(), opened, g.nrows, g.ncols, stack);
      break;
    case StackFileFormat::DoubleBinary:
      ReadBinaryRows<double>(input.run.log(), opened, g.nrows, g.ncols, stack);
      break;
    case StackFileFormat::FloatBinary:
      ReadBinaryRows<float>(input.run.log(), opened, g.nrows, g.ncols, stack);
      break;
  }
  opened.scanner.reset();
  if (std::fclose(opened.file.release()) != 0) {
    Fail(input.run.log(), "error closing stack (2) " + opened.path, kGridCloseError);
  }
}

// After the distribution: the cells of this process's rows that another process computes
// hold nodata.
void ClearCellsOfOthers(const GridInput& input, StackView stack) {
  const DomainLayout* layout = input.run.domain_layout;
  if (layout == nullptr || layout->regions.empty() || stack.empty()) return;
  const double nodata = input.run.geometry.nodata_value;
  const RowRange rows{std::max(stack.rows().first, layout->regions.rows().first),
                      std::min(stack.rows().last, layout->regions.rows().last)};
  for (int r = rows.first; r <= rows.last; ++r) {
    const std::span<const double> owners = layout->regions.row(r);
    for (int c = 1; c <= input.run.geometry.ncols; ++c) {
      if (static_cast<int>(owners[static_cast<std::size_t>(c)]) != input.run.rank) {
        std::ranges::fill(stack.levels(r, c), nodata);
      }
    }
  }
}

}  // namespace

int ReadStack(const GridInput& input, std::string_view name, Stack& target, const StackReadOptions& options) {
  const bool whole_on_process0 = options.whole_on_process0;
  IgnoreCtrlC();
  const GridGeometry& g = input.run.geometry;
  const int rank = input.run.rank;
  GridFileHeader& header = input.header;
  OpenedStack opened;
  // A failure of process 0 is raised on every process, so that none waits for the header.
  int status = 0;
  if (rank == 0) {
    try {
      opened = OpenAndCheck(input, name, whole_on_process0, header);
    } catch (const ErrorCode& error) {
      status = error.code;
    }
  }
  MPI_Bcast(&status, 1, MPI_INT, 0, MPI_COMM_WORLD);
  if (status != 0) RaiseError(status);
  ShareOpened(opened, header, rank);

  const RowRange own = input.run.strip;
  const RowRange rows = rank == 0 && !opened.parallel ? RowRange{1, g.nrows} : own;
  MPI_Barrier(MPI_COMM_WORLD);
  target = AllocateStack(input.run.log(), rows.first, rows.last, g.ncols, opened.levels, g.nrows);

  if (opened.parallel) {
    if (rank == 0 && std::fclose(opened.file.release()) != 0) {
      Fail(input.run.log(), "error closing grid " + opened.path, kGridCloseError);
    }
    if (opened.format == StackFileFormat::DoubleBinary) {
      ReadRowsParallel<double>(input, opened, rows, target.view());
    } else {
      ReadRowsParallel<float>(input, opened, rows, target.view());
    }
  } else {
    if (rank == 0) ReadWhole(input, opened, target.view());
    MPIScatterStack(input.run, target.view());
    if (rank != 0) ClearCellsOfOthers(input, target.view());
    if (rank == 0 && !whole_on_process0 && own.count() > 0 && (own.first != 1 || own.last != g.nrows)) {
      Stack own_stack = AllocateStack(input.run.log(), own.first, own.last, g.ncols, opened.levels, g.nrows);
      for (int r = own.first; r <= own.last; ++r) {
        std::ranges::copy(RowValues(target.view(), r, g.ncols), RowValues(own_stack.view(), r, g.ncols).begin());
      }
      target = std::move(own_stack);
    }
  }
  DisarmCtrlCHandler();
  return opened.levels;
}

}  // namespace tolvo
