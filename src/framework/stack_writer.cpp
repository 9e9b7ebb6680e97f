#include "framework/stack_writer.h"

#include <mpi.h>

#include <algorithm>
#include <array>
#include <cassert>
#include <cstdio>
#include <new>
#include <span>
#include <string>

#include <sys/stat.h>

#include "framework/error_code.h"
#include "framework/grid_distribution.h"
#include "framework/grid_writer.h"
#include "framework/modelobject.h"
#include "framework/signals.h"

namespace tolvo {

std::vector<CellStretch> StackCellsOfProcess(ConstGridView regions, RowRange held, RowRange rows, int ncols, int rank,
                                             bool highest_rank, double nodata) {
  std::vector<CellStretch> stretches;
  const auto take = [&](int r, int c, long long count) {
    const long long first = (static_cast<long long>(r) - 1) * ncols + (c - 1);
    if (!stretches.empty() && stretches.back().first_cell + stretches.back().cell_count == first) {
      stretches.back().cell_count += count;
    } else {
      stretches.push_back({first, count});
    }
  };
  bool flag = highest_rank;
  for (int r = rows.first; r <= rows.last; ++r) {
    if (!held.contains(r)) {
      if (flag) take(r, 1, ncols);
      continue;
    }
    const std::span<const double> owners = regions.empty() ? std::span<const double>() : regions.row(r);
    for (int c = 1; c <= ncols; ++c) {
      const double owner = owners.empty() ? rank : owners[static_cast<std::size_t>(c)];
      if (owner == nodata) {
        if (flag) take(r, c, 1);
      } else if (static_cast<int>(owner) == rank) {
        flag = true;
        take(r, c, 1);
      } else {
        flag = false;
      }
    }
  }
  return stretches;
}

namespace {

template <typename T>
MPI_Datatype MpiType() {
  return std::is_same_v<T, double> ? MPI_DOUBLE : MPI_FLOAT;
}

// The MPI library's text for an error code, such as "MPI_ERR_NO_SUCH_FILE: no such file".
std::string MpiReason(int result) {
  std::array<char, MPI_MAX_ERROR_STRING> text{};
  int length = 0;
  MPI_Error_string(result, text.data(), &length);
  return std::string(text.data(), static_cast<std::size_t>(std::max(length, 0)));
}

// Whether any process has failed; every process learns the same answer.
bool AnyProcess(bool failed) {
  int mine = failed ? 1 : 0;
  int any = 0;
  MPI_Allreduce(&mine, &any, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD);
  return any != 0;
}

// Writes `count` values at a byte offset, in pieces whose counts an int can hold. False
// when a write fails or writes less than asked.
template <typename T>
bool WriteAt(MPI_File file, MPI_Offset offset, const T* values, std::size_t count) {
  constexpr std::size_t kPiece = std::size_t{1} << 28;
  while (count > 0) {
    const int n = static_cast<int>(std::min(count, kPiece));
    MPI_Status status;
    int written = 0;
    if (MPI_File_write_at(file, offset, values, n, MpiType<T>(), &status) != MPI_SUCCESS ||
        MPI_Get_count(&status, MpiType<T>(), &written) != MPI_SUCCESS || written != n) {
      return false;
    }
    offset += static_cast<MPI_Offset>(n) * static_cast<MPI_Offset>(sizeof(T));
    values += n;
    count -= static_cast<std::size_t>(n);
  }
  return true;
}

// The values of the cells of the stretches, levels 0..L of a cell together; cells of rows
// the stack does not hold are nodata.
template <typename T>
std::vector<T> PackStretches(std::span<const CellStretch> stretches, ConstStackView stack, RowRange held, int ncols,
                             int highest_level, double nodata) {
  const auto per_cell = static_cast<std::size_t>(highest_level) + 1;
  std::size_t cells = 0;
  for (const CellStretch& s : stretches) cells += static_cast<std::size_t>(s.cell_count);
  std::vector<T> values;
  values.reserve(cells * per_cell);
  for (const CellStretch& s : stretches) {
    int r = static_cast<int>(s.first_cell / ncols) + 1;
    int c = static_cast<int>(s.first_cell % ncols) + 1;
    for (long long k = 0; k < s.cell_count; ++k) {
      if (held.contains(r)) {
        const std::span<const double> levels = stack.levels(r, c).first(per_cell);
        values.insert(values.end(), levels.begin(), levels.end());
      } else {
        values.insert(values.end(), per_cell, static_cast<T>(nodata));
      }
      if (++c > ncols) {
        c = 1;
        ++r;
      }
    }
  }
  return values;
}

// The rows a process scans and the rows whose values and owners it knows.
struct StackScan {
  RowRange rows;
  RowRange held;
  ConstGridView regions;
  bool highest_rank = false;
};

StackScan ScanOf(const modelobject& object, ConstStackView stack) {
  const int nrows = object.geometry().nrows;
  const int rank = object.rank();
  const DomainLayout* layout = object.domain_layout();
  StackScan scan;
  if (layout == nullptr || layout->regions.empty()) {
    // No decomposition: process 0 writes every cell, the others nothing.
    scan.highest_rank = rank == 0;
    scan.rows = rank == 0 ? RowRange{1, nrows} : RowRange{1, 0};
  } else {
    scan.regions = layout->regions;
    scan.highest_rank = rank == object.process_count() - 1;
    scan.rows = object.strip();
    if (scan.highest_rank) scan.rows.first = 1;
    if (rank == 0) scan.rows.last = nrows;
  }
  scan.held = stack.empty() ? RowRange{1, 0} : stack.rows();
  if (!scan.regions.empty()) {
    scan.held.first = std::max(scan.held.first, scan.regions.rows().first);
    scan.held.last = std::min(scan.held.last, scan.regions.rows().last);
  }
  return scan;
}

template <typename T>
void WriteBinaryStack(modelobject& object, const std::string& path, ConstStackView stack, int highest_level) {
  const GridGeometry& g = object.geometry();
  const StackScan scan = ScanOf(object, stack);
  const std::vector<CellStretch> stretches = StackCellsOfProcess(scan.regions, scan.held, scan.rows, g.ncols,
                                                                 object.rank(), scan.highest_rank, g.nodata_value);
  // Everything that can fail alone is done before the collective open.
  std::vector<T> values;
  try {
    values = PackStretches<T>(stretches, stack, scan.held, g.ncols, highest_level, g.nodata_value);
  } catch (const std::bad_alloc&) {
    object.MemoryError(1);
  }

  MPI_File file;
  char* mpi_path = const_cast<char*>(path.c_str());
  const int open_result =
      MPI_File_open(MPI_COMM_WORLD, mpi_path, MPI_MODE_CREATE | MPI_MODE_WRONLY, MPI_INFO_NULL, &file);
  if (AnyProcess(open_result != MPI_SUCCESS)) {
    object.log() << "FATAL: error opening " << path << " ("
                 << (open_result != MPI_SUCCESS ? MpiReason(open_result) : std::string("failed on another process"))
                 << ")" << "[end-entry]";
    RaiseError(kOutputOrNetCDFError);
  }

  bool written = true;
  if (object.rank() == 0) {
    std::array<T, kGridHeaderCount> header;
    std::copy(object.grid_file_header().values.begin(), object.grid_file_header().values.end(), header.begin());
    written = WriteAt(file, 0, header.data(), header.size());
  }
  const auto per_cell = static_cast<long long>(highest_level) + 1;
  std::size_t begin = 0;
  for (const CellStretch& s : stretches) {
    if (!written) break;
    const auto count = static_cast<std::size_t>(s.cell_count * per_cell);
    const MPI_Offset offset = (kGridHeaderCount + s.first_cell * per_cell) * static_cast<MPI_Offset>(sizeof(T));
    written = WriteAt(file, offset, values.data() + begin, count);
    begin += count;
  }
  const MPI_Offset size =
      (kGridHeaderCount + static_cast<MPI_Offset>(g.ncols) * g.nrows * per_cell) * static_cast<MPI_Offset>(sizeof(T));
  const bool failed = AnyProcess(!written) || AnyProcess(MPI_File_set_size(file, size) != MPI_SUCCESS);
  const bool closed = MPI_File_close(&file) == MPI_SUCCESS;
  if (failed) {
    // An incomplete stack must not pass for a result; a device is left alone.
    struct stat status {};
    const bool removed = object.rank() == 0 && stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
                         std::remove(path.c_str()) == 0;
    object.log() << "FATAL: cannot write " << path << ": fewer values written than asked (disk full?)"
                 << (removed ? "; the incomplete file was removed" : "") << "[end-entry]";
    object.WriteError(path, kWriteErrorCode);
  }
  if (AnyProcess(!closed)) {
    object.log() << "FATAL: error closing " << path << "[end-entry]";
    RaiseError(kOutputCloseError);
  }
}

void WriteAsciiStack(modelobject& object, const std::string& path, ConstStackView stack, int highest_level) {
  const GridGeometry& g = object.geometry();
  OutputFile file(object, path, "w", "error opening " + path);
  static constexpr std::array<const char*, kGridHeaderCount> kKeywords{
      "stack_ncols", "nrows", "xll", "yll", "cs", "nodata", "cnt", "min", "max", "sum", "average", "numlevels"};
  const GridFileHeader& header = object.grid_file_header();
  for (std::size_t i = 0; i < kKeywords.size(); ++i) {
    file.Text(kKeywords[i]);
    file.Char('\t');
    file.NumberG(header.values[i]);
    file.Char('\n');
  }
  const auto per_cell = static_cast<std::size_t>(highest_level) + 1;
  for (int r = 1; r <= g.nrows; ++r) {
    const bool held = !stack.empty() && stack.rows().contains(r);
    for (int c = 1; c <= g.ncols; ++c) {
      for (std::size_t l = 0; l < per_cell; ++l) {
        file.NumberG(held ? stack.levels(r, c)[l] : g.nodata_value);
        file.Char('\n');
      }
    }
  }
  file.Close();
}

}  // namespace

void WriteStackFile(modelobject& object, std::string_view name, ConstStackView stack, int highest_level,
                    const OutputFormats& switches) {
  assert(highest_level >= 0 && (stack.empty() || stack.level_count() >= highest_level));
  IgnoreCtrlC();
  const std::string path = PrefixPath(object.output_directory(), name);
  const OutputForm form = ChooseOutputForm(switches);
  if (form == OutputForm::NetCdf) {
    if (object.rank() == 0) {
      object.netcdf_writer().WriteStack(stack, highest_level, object.geometry(), switches.doubles, path,
                                        CoordinateGridsOf(object.context()));
    }
    ArmCtrlCHandler();
    return;
  }
  const GridGeometry& g = object.geometry();
  object.grid_file_header().values = {static_cast<double>(g.ncols), static_cast<double>(g.nrows), g.xllcorner,
                                      g.yllcorner, g.cellsize, g.nodata_value, 0, 0, 0, 0, 0,
                                      static_cast<double>(highest_level)};
  switch (form) {
    case OutputForm::Ascii:
      if (object.rank() == 0) WriteAsciiStack(object, path, stack, highest_level);
      break;
    case OutputForm::DoubleBinary:
      WriteBinaryStack<double>(object, path, stack, highest_level);
      break;
    case OutputForm::FloatBinary:
      WriteBinaryStack<float>(object, path, stack, highest_level);
      break;
    case OutputForm::NetCdf:
      break;
  }
  ArmCtrlCHandler();
}

void modelobject::WriteStackFile(std::string_view name, ConstStackView stack, int highest_level, bool ascii,
                                 bool doubles, bool netcdf) {
  tolvo::WriteStackFile(*this, name, stack, highest_level, {.ascii = ascii, .doubles = doubles, .netcdf = netcdf});
}

}  // namespace tolvo
