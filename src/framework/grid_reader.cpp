#include "framework/grid_reader.h"

#include <mpi.h>

#include <algorithm>
#include <array>
#include <cassert>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <thread>
#include <utility>
#include <vector>

#include "framework/error_code.h"
#include "framework/file_handle.h"
#include "framework/gif_grid.h"
#include "framework/grid_distribution.h"
#include "framework/grid_table.h"
#include "framework/halo_exchange.h"
#include "framework/memory_handling.h"
#include "framework/netcdf_grid.h"
#include "framework/signals.h"

namespace tolvo {
namespace {

// What process 0 learns about the file and hands to the others.
struct OpenedGrid {
  FilePtr file;
  std::string path;  // the file as opened; the whole "file<variable>step" name for netCDF
  GridFileFormat format = GridFileFormat::Ascii;
  bool parallel = false;  // every process reads its own rows
};

// Runs a step of the reading process and gives every process of a shared read its
// outcome: a failure on process 0 is raised with the same code on every process, so that
// none is left waiting in a collective call that process 0 no longer makes.
template <typename Step>
void OnReaderAgreed(bool reader, bool local, Step&& step) {
  if (local) {
    step();
    return;
  }
  int status = 0;
  if (reader) {
    try {
      step();
    } catch (const ErrorCode& error) {
      status = error.code;
    }
  }
  MPI_Bcast(&status, 1, MPI_INT, 0, MPI_COMM_WORLD);
  if (status != 0) RaiseError(status);
}

// Runs a step on every process of a shared read; a failure on any process is raised on
// all of them. Process 0, which alone writes the log, names the process that failed when
// the failure was not its own.
template <typename Step>
void OnEveryProcessAgreed(DiagnosticsLog& log, const std::string& path, bool local, Step&& step) {
  if (local) {
    step();
    return;
  }
  int rank = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  struct {
    int code;
    int rank;
  } mine{0, rank}, worst{0, 0};
  try {
    step();
  } catch (const ErrorCode& error) {
    mine.code = error.code;
  }
  MPI_Allreduce(&mine, &worst, 1, MPI_2INT, MPI_MAXLOC, MPI_COMM_WORLD);
  if (worst.code == 0) return;
  if (mine.code == 0) {
    log << "FATAL: error reading grid " << path << ": process " << worst.rank << " failed with code " << worst.code
        << "[end-entry]";
  }
  RaiseError(worst.code);
}

// A matrix for rows of the grid read from `path`. Failing, it names the grid and the
// bytes it asked for, and raises the memory error.
Grid AllocateGridRows(const GridInput& input, RowRange rows, const std::string& path) {
  const GridGeometry& model = input.run.geometry;
  try {
    return Grid(rows.first, rows.last, model.ncols, model.nrows);
  } catch (const MatrixAllocationFailure&) {
    const double bytes = static_cast<double>(std::max(rows.count(), 0)) * (static_cast<double>(model.ncols) + 1) *
                         static_cast<double>(sizeof(double));
    char text[64];
    std::snprintf(text, sizeof text, "%.0f", bytes);
    input.run.log() << "FATAL: memory allocation error in " << input.reader_name << " (" << text
                    << " bytes asked for rows " << rows.first << " to " << rows.last << " of " << model.ncols
                    << " columns of grid " << path << ")" << "[end-entry]";
    RaiseError(kMemoryErrorCode);
  }
}

// --- values that no grid may hold ------------------------------------------------------

struct UnusableCell {
  int row;
  int col;
  double value;
};

// The first cell of the rows, in row order, whose value is neither a usable number nor
// the file's nodata value.
std::optional<UnusableCell> FirstUnusableCell(ConstGridView grid, RowRange rows, double file_nodata) {
  for (int r = rows.first; r <= rows.last; ++r) {
    const std::span<const double> row = grid.row(r);
    for (int c = 1; c <= grid.ncols(); ++c) {
      const double value = row[static_cast<std::size_t>(c)];
      if (!UsableFileValue(value, file_nodata)) return UnusableCell{r, c, value};
    }
  }
  return std::nullopt;
}

[[noreturn]] void UnusableValueError(DiagnosticsLog& log, const std::string& path, const UnusableCell& cell,
                                     double file_nodata) {
  log << "FATAL: error reading grid " << path << " in row " << cell.row << ", col " << cell.col << ": " << cell.value
      << " is no usable value (expected a finite number of magnitude at most " << kLargestGridValue
      << ", or the nodata value " << file_nodata << " of the file)" << "[end-entry]";
  RaiseError(kGridReadError);
}

// After a parallel read every process checks the rows it read; all of them fail with the
// first unusable cell of the grid, whichever process read it.
void CheckValuesParallel(const RunContext& run, const std::string& path, ConstGridView grid, RowRange rows,
                         double file_nodata) {
  const int ncols = grid.ncols();
  const std::optional<UnusableCell> cell = FirstUnusableCell(grid, rows, file_nodata);
  long long mine = LLONG_MAX;
  double value = 0;
  if (cell) {
    mine = (static_cast<long long>(cell->row) - 1) * ncols + (cell->col - 1);
    value = cell->value;
  }
  long long first = LLONG_MAX;
  MPI_Allreduce(&mine, &first, 1, MPI_LONG_LONG, MPI_MIN, MPI_COMM_WORLD);
  if (first == LLONG_MAX) return;
  const int holder = mine == first ? run.rank : -1;
  int source = 0;
  MPI_Allreduce(&holder, &source, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD);
  MPI_Bcast(&value, 1, MPI_DOUBLE, source, MPI_COMM_WORLD);
  UnusableValueError(run.log(), path,
                     {static_cast<int>(first / ncols) + 1, static_cast<int>(first % ncols) + 1, value}, file_nodata);
}

// The values of the zone grid (grid-table entry 1), which mark the model domain.
GridView ZoneValuesOf(const RunContext& run) {
  const grid_table* table = run.grids;
  if (table == nullptr) return {};
  return table->zone_grid().values;
}

// --- opening, recognising, checking (the reading process) ---------------------------

FilePtr OpenWithRetries(DiagnosticsLog& log, const std::string& path) {
  for (int retries_left = kGridOpenTries - 1;; --retries_left) {
    if (FilePtr file{std::fopen(path.c_str(), "rb")}) return file;
    if (retries_left == 0) break;
    log << "FATAL: error opening " << path << ". Will try again in " << kGridRetryPauseMs
        << " ms... (retriesleft = " << retries_left << ")" << "[end-entry]";
    std::this_thread::sleep_for(std::chrono::milliseconds(kGridRetryPauseMs));
  }
  log << "FATAL: still error opening " << path << " - no retry." << "[end-entry]";
  RaiseError(kGridOpenError);
}

GridFileFormat Recognise(DiagnosticsLog& log, std::FILE* file, const std::string& path) {
  std::array<std::byte, kRecognitionBytes> head{};
  const std::size_t got = std::fread(head.data(), 1, head.size(), file);
  const std::optional<GridFileFormat> format = RecogniseGridFile(std::span(head).first(got));
  if (!format) {
    log << "FATAL: could not recognise file format (neither ascii, nor single, double, or GIF) for " << path
        << "[end-entry]";
    RaiseError(kGridReadError);
  }
  std::rewind(file);
  return *format;
}

void ReadHeader(DiagnosticsLog& log, std::FILE* file, GridFileFormat format, const std::string& path,
                const GridGeometry& model, GridFileHeader& header) {
  switch (format) {
    case GridFileFormat::Ascii: {
      AsciiScanner scanner(file, 4096);
      for (int j = 1; j <= 6; ++j) {
        const std::optional<double> value = scanner.SkipWord() ? scanner.Number() : std::nullopt;
        if (!value) {
          log << "FATAL: error reading ascii value #" << j << " from " << path << "[end-entry]";
          RaiseError(kGridReadError);
        }
        header.values[static_cast<std::size_t>(j - 1)] = *value;
      }
      break;
    }
    case GridFileFormat::DoubleBinary:
      if (std::fread(header.values.data(), sizeof(double), kGridHeaderCount, file) !=
          static_cast<std::size_t>(kGridHeaderCount)) {
        log << "FATAL: error reading double value from the header of " << path << "[end-entry]";
        RaiseError(kGridReadError);
      }
      break;
    case GridFileFormat::FloatBinary:
      for (int j = 1; j <= kGridHeaderCount; ++j) {
        float value = 0;
        if (std::fread(&value, sizeof value, 1, file) != 1) {
          log << "FATAL: error reading double value #" << j << " from the header of " << path << "[end-entry]";
          RaiseError(kGridReadError);
        }
        header.values[static_cast<std::size_t>(j - 1)] = value;
      }
      break;
    case GridFileFormat::Gif:
    case GridFileFormat::NetCdf:
      header.ncols() = model.ncols;
      header.nrows() = model.nrows;
      header.xllcorner() = model.xllcorner;
      header.yllcorner() = model.yllcorner;
      header.cellsize() = model.cellsize;
      header.nodata_value() = model.nodata_value;
      break;
  }
  header.xllcorner() = std::floor(header.xllcorner());
  header.yllcorner() = std::floor(header.yllcorner());
}

bool GeometryMatches(const GridFileHeader& header, const GridGeometry& model) {
  return std::floor(header.ncols()) == model.ncols && std::floor(header.nrows()) == model.nrows &&
         std::floor(model.xllcorner) == header.xllcorner() && std::floor(model.yllcorner) == header.yllcorner() &&
         header.cellsize() == model.cellsize && header.nodata_value() <= model.nodata_value;
}

void CloseChecked(DiagnosticsLog& log, FilePtr& file, const std::string& path) {
  if (!file) return;
  if (std::fclose(file.release()) != 0) {
    log << "FATAL: error closing grid " << path << "[end-entry]";
    RaiseError(kGridCloseError);
  }
}

[[noreturn]] void GeometryError(const GridInput& input, FilePtr& file, const std::string& path,
                                const GridFileHeader& header) {
  input.run.log() << "FATAL: " << path << " has not the specified grid measures (in " << input.reader_name << ")!\n";
  LogGeometryComparison(input.run, path, header);
  input.run.log() << "[end-entry]";
  CloseChecked(input.run.log(), file, path);
  RaiseError(kGridGeometryError);
}

// A header that declares more cells than the file can hold is refused before memory is
// taken for them: a damaged or foreign header must not make the run ask for gigabytes.
void CheckFileSize(const RunContext& run, const OpenedGrid& opened) {
  const bool ascii = opened.format == GridFileFormat::Ascii;
  if (!ascii && opened.format != GridFileFormat::DoubleBinary && opened.format != GridFileFormat::FloatBinary) return;
  const std::optional<long long> file_bytes = RegularFileBytes(opened.file.get());
  if (!file_bytes) return;
  const GridGeometry& model = run.geometry;
  const double cells = static_cast<double>(model.ncols) * static_cast<double>(model.nrows);
  const RequiredFileBytes need = ascii ? RequiredAsciiBytes(cells) : RequiredBinaryBytes(cells, BinaryValueBytes(opened.format));
  if (need.HeldBy(*file_bytes)) return;
  const std::string declared = std::to_string(model.ncols) + " x " + std::to_string(model.nrows) + " cells" +
                               (ascii ? std::string(" as ASCII numbers")
                                      : opened.format == GridFileFormat::FloatBinary ? std::string(" of 4 bytes")
                                                                                      : std::string(" of 8 bytes"));
  // A binary grid that is too short is refused with the entry of a short row.
  run.log() << (ascii ? "FATAL: error reading ascii grid " : "FATAL: error reading double grid ") << opened.path
            << ": " << FileSizeMismatch(declared, need, *file_bytes) << "[end-entry]";
  RaiseError(kGridReadError);
}

// Steps of process 0 before anything is shared: open, recognise, read and check the header.
OpenedGrid OpenAndCheck(const GridInput& input, std::string_view name, const GridReadOptions& options) {
  GridFileHeader& header = input.header;
  // A netCDF grid is named "file<variable>step": the file proper is opened here, the
  // whole name goes to the netCDF reader.
  const std::size_t angle = name.find('<', 1);
  const std::string_view file_name = angle == std::string_view::npos ? name : name.substr(0, angle);
  OpenedGrid opened;
  opened.path = PrefixPath(input.input_directory, file_name);
  opened.file = OpenWithRetries(input.run.log(), opened.path);
  opened.format = Recognise(input.run.log(), opened.file.get(), opened.path);
  if (options.log) {
    input.run.log() << "reading " << opened.path << " for " << input.reader_name << "..." << "[end-entry]";
  }
  ReadHeader(input.run.log(), opened.file.get(), opened.format, opened.path, input.run.geometry, header);
  if (!GeometryMatches(header, input.run.geometry)) GeometryError(input, opened.file, opened.path, header);
  CheckFileSize(input.run, opened);
  if (angle != std::string_view::npos) opened.path = std::string(name);
  const bool binary = opened.format == GridFileFormat::DoubleBinary || opened.format == GridFileFormat::FloatBinary;
  opened.parallel = binary && options.fill_mode == kNoFill && !options.whole_on_process0 && !options.local;
  return opened;
}

// Process 0's findings to every process: the path, the format, the reading mode and
// header values 1 to 6. The reading mode is decided once, on process 0, so that every
// process takes the same branch even when a caller passes "whole on process 0" on
// process 0 only.
void ShareOpened(OpenedGrid& opened, GridFileHeader& header, int rank) {
  std::array<int, 3> facts{static_cast<int>(opened.format), opened.parallel ? 1 : 0,
                           static_cast<int>(opened.path.size())};
  MPI_Bcast(facts.data(), static_cast<int>(facts.size()), MPI_INT, 0, MPI_COMM_WORLD);
  MPI_Bcast(header.values.data(), 6, MPI_DOUBLE, 0, MPI_COMM_WORLD);
  if (rank != 0) {
    opened.format = static_cast<GridFileFormat>(facts[0]);
    opened.parallel = facts[1] != 0;
    opened.path.resize(static_cast<std::size_t>(facts[2]));
  }
  MPI_Bcast(opened.path.data(), facts[2], MPI_CHAR, 0, MPI_COMM_WORLD);
}

// --- reading the values -----------------------------------------------------------------

[[noreturn]] void ShortBinaryGrid(DiagnosticsLog& log, const std::string& path) {
  log << "FATAL: error reading double grid " << path << "[end-entry]";
  RaiseError(kGridReadError);
}

void ReadAsciiValues(DiagnosticsLog& log, std::FILE* file, const std::string& path, GridView grid) {
  // The header was read through a scanner of its own, which read ahead.
  std::rewind(file);
  AsciiScanner scanner(file);
  for (int i = 0; i < 6; ++i) {
    scanner.SkipWord();
    scanner.Number();
  }
  const int ncols = grid.ncols();
  for (int r = 1; r <= grid.rows().last; ++r) {
    const std::size_t got = scanner.Numbers(grid.row(r).subspan(1));
    if (got < static_cast<std::size_t>(ncols)) {
      log << "FATAL: error reading ascii grid " << path << " in ASCII-Format in row " << r << ", col "
          << static_cast<int>(got) + 1 << "[end-entry]";
      RaiseError(kGridReadError);
    }
  }
}

template <typename T>
void ReadBinaryValues(DiagnosticsLog& log, std::FILE* file, const std::string& path, GridView grid) {
  const auto ncols = static_cast<std::size_t>(grid.ncols());
  std::vector<T> buffer(std::is_same_v<T, double> ? 0 : ncols);
  if (std::fseek(file, GridRowOffset(1, grid.ncols(), sizeof(T)), SEEK_SET) != 0) ShortBinaryGrid(log, path);
  for (int r = 1; r <= grid.rows().last; ++r) {
    std::span<double> row = grid.row(r).subspan(1);
    if constexpr (std::is_same_v<T, double>) {
      if (std::fread(row.data(), sizeof(double), ncols, file) != ncols) ShortBinaryGrid(log, path);
    } else {
      if (std::fread(buffer.data(), sizeof(T), ncols, file) != ncols) ShortBinaryGrid(log, path);
      std::copy(buffer.begin(), buffer.end(), row.begin());
    }
  }
}

[[noreturn]] void GifError(DiagnosticsLog& log, const std::string& path, const std::string& text) {
  log << "FATAL: error reading GIF " << path << " (" << text << ")"
      << "[end-entry]";
  RaiseError(kGridReadError);
}

// A GIF image: its palette indices are decoded into a source raster of the image's
// screen, placed by the object's georeference, resampled onto the model grid and turned
// into values by the object's class mapping. An image without a georeference cannot be
// placed and is refused.
void ReadGifGrid(const GridInput& input, const std::string& path, GridView grid) {
  DiagnosticsLog& log = input.run.log();
  const GifGeoreference& georeference = input.gif.georeference;
  if (georeference.none()) {
    GifError(log, path, "no georeference is set for " + input.reader_name + ": the image cannot be placed");
  }
  if (const std::string fault = GeoreferenceFault(georeference); !fault.empty()) GifError(log, path, fault);
  const GifGridReader reader(path);
  Grid source;
  try {
    const GifScreenSize screen = reader.ReadScreenSize();
    source = AllocateGrid(log, 1, screen.height, screen.width, screen.height);
    source.fill(kNodata);
    reader.Decode(source.view());
  } catch (const GifDecodeError& error) {
    GifError(log, path, error.text);
  }
  GifGridReader::Resample(std::as_const(source).view(), georeference, input.run.geometry, grid);
  GifGridReader::MapPixelClasses(grid, input.gif.mapping);
}

// A netCDF grid: one time step of one variable. Without a georeference it must match the
// model grid cell for cell; with one it is resampled from its own raster, whose origin is
// the centre of its lower-left cell.
void ReadNetCdfGrid(const GridInput& input, const std::string& netcdf_name, GridView grid) {
  const RunContext& run = input.run;
  const GridGeometry& model = run.geometry;
  const GifGeoreference& georeference = input.gif.georeference;
  NetCDFGridReader reader(run.log());
  std::string cut = netcdf_name;
  const NetCDFGrid values = reader.Read(cut);
  if (!georeference.none()) {
    if (const std::string fault = GeoreferenceFault(georeference); !fault.empty()) {
      run.log() << "FATAL: error reading grid " << netcdf_name << " (" << fault << ")"
                << "[end-entry]";
      RaiseError(kGridReadError);
    }
    if (values.nrows < 1 || values.ncols < 1) {
      run.log() << "FATAL: error reading grid " << netcdf_name << " (the variable holds " << values.ncols
                << " columns and " << values.nrows << " rows: no cell to resample from)"
                << "[end-entry]";
      RaiseError(kGridReadError);
    }
    Grid source = AllocateGrid(run.log(), 1, values.nrows, values.ncols, values.nrows);
    for (int r = 1; r <= values.nrows; ++r) {
      for (int c = 1; c <= values.ncols; ++c) source(r, c) = values.at(r, c);
    }
    GifGeoreference corner = georeference;
    corner.x_origin -= georeference.cell_size / 2;
    corner.y_origin -= georeference.cell_size / 2;
    GifGridReader::Resample(std::as_const(source).view(), corner, model, grid);
    return;
  }
  if (values.nrows != model.nrows || values.ncols != model.ncols) {
    run.log() << "FATAL: error assigning cell values from a netCDF file to Tolvo grids from file " << netcdf_name
              << ". number of columns (" << values.ncols << ") and/or rows (" << values.nrows
              << ") in nc-file not matching those in Tolvo (" << model.ncols << " and " << model.nrows
              << " resp.).\n"
              << " If the error occurs in interpolation method 9, please define xllcorner, yllcorner and "
                    "cellsize in the x-, y- and z header rows of the input file for interpolation"
                 << "[end-entry]";
    RaiseError(kGridReadError);
  }
  const ConstGridView mask = georeference.mask;
  for (int r = 1; r <= model.nrows; ++r) {
    std::span<double> row = grid.row(r);
    const bool masked_row = !mask.empty() && mask.rows().contains(r);
    for (int c = 1; c <= model.ncols; ++c) {
      const bool masked = masked_row && c <= mask.ncols() && mask(r, c) == model.nodata_value;
      row[static_cast<std::size_t>(c)] = masked ? model.nodata_value : values.at(r, c);
    }
  }
}

void ReadWhole(const GridInput& input, OpenedGrid& opened, GridView grid) {
  DiagnosticsLog& log = input.run.log();
  switch (opened.format) {
    case GridFileFormat::Ascii:
      ReadAsciiValues(log, opened.file.get(), opened.path, grid);
      break;
    case GridFileFormat::DoubleBinary:
      ReadBinaryValues<double>(log, opened.file.get(), opened.path, grid);
      break;
    case GridFileFormat::FloatBinary:
      ReadBinaryValues<float>(log, opened.file.get(), opened.path, grid);
      break;
    case GridFileFormat::Gif: ReadGifGrid(input, opened.path, grid); break;
    case GridFileFormat::NetCdf: ReadNetCdfGrid(input, opened.path, grid); break;
  }
}

// Every process reads its own rows of a binary grid through MPI file access. A process
// that receives less than its rows fails, and so do all the others with it, so that no
// process goes on with values the file did not hold.
void ReadRowsParallel(DiagnosticsLog& log, const std::string& path, GridFileFormat format, RowRange rows,
                      GridView grid) {
  MPI_File file;
  int failed = MPI_File_open(MPI_COMM_WORLD, path.c_str(), MPI_MODE_RDONLY, MPI_INFO_NULL, &file) != MPI_SUCCESS;
  int any_failed = 0;
  MPI_Allreduce(&failed, &any_failed, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD);
  if (any_failed) {
    // The open is collective: a process that opened the file cannot close it alone.
    log << "FATAL: still error opening " << path << " - no retry." << "[end-entry]";
    RaiseError(kGridOpenError);
  }
  const int ncols = grid.ncols();
  const bool doubles = format == GridFileFormat::DoubleBinary;
  const std::size_t value_bytes = BinaryValueBytes(format);
  std::vector<float> buffer(doubles ? 0 : static_cast<std::size_t>(ncols));
  int short_read = 0;
  for (int r = rows.first; r <= rows.last && !short_read; ++r) {
    std::span<double> row = grid.row(r).subspan(1);
    MPI_Status status;
    int count = 0;
    const MPI_Offset offset = GridRowOffset(r, ncols, value_bytes);
    const int result = doubles ? MPI_File_read_at(file, offset, row.data(), ncols, MPI_DOUBLE, &status)
                               : MPI_File_read_at(file, offset, buffer.data(), ncols, MPI_FLOAT, &status);
    if (result == MPI_SUCCESS) MPI_Get_count(&status, doubles ? MPI_DOUBLE : MPI_FLOAT, &count);
    if (result != MPI_SUCCESS || count != ncols) {
      short_read = 1;
    } else if (!doubles) {
      std::copy(buffer.begin(), buffer.end(), row.begin());
    }
  }
  MPI_File_close(&file);
  int any_short = 0;
  MPI_Allreduce(&short_read, &any_short, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD);
  if (any_short) ShortBinaryGrid(log, path);
}

// --- filling holes (process 0, on the whole grid) -------------------------------------

struct ModelLog {
  FilePtr file;
  std::string name;
};

ModelLog OpenModelLog(DiagnosticsLog& log) {
  ModelLog model_log{nullptr, "modell_" + std::to_string(0) + ".log"};
  model_log.file.reset(std::fopen(model_log.name.c_str(), "a"));
  if (!model_log.file) {
    log << "FATAL: error opening log file " << model_log.name << "[end-entry]";
    RaiseError(kModelLogOpenError);
  }
  return model_log;
}

void FillHoles(const RunContext& run, const std::string& path, Grid& whole, double file_nodata,
               const GridReadOptions& options) {
  const GridView grid = whole.view();
  const ConstGridView source = std::as_const(whole).view();
  DiagnosticsLog& log = run.log();
  const GridGeometry& model = run.geometry;
  const double nodata = model.nodata_value;
  const int nrows = model.nrows;
  const int ncols = model.ncols;
  if (options.log) log << "... " << path << " checking nodata values and replace" << "[end-entry]";
  ModelLog model_log = OpenModelLog(log);

  Grid copy = AllocateGrid(run.log(), 1, nrows, ncols, nrows);
  for (int r = 1; r <= nrows; ++r) {
    std::span<double> row = grid.row(r);
    for (int c = 1; c <= ncols; ++c) {
      if (row[static_cast<std::size_t>(c)] == file_nodata) row[static_cast<std::size_t>(c)] = nodata;
    }
    std::ranges::copy(row, copy.view().row(r).begin());
  }

  const GridView zone = ZoneValuesOf(run);
  const bool ring_search = options.fill_mode == kFillFromNeighbours && options.strict_fill;
  long holes = 0;
  for (int r = 1; r <= nrows; ++r) {
    for (int c = 1; c <= ncols; ++c) {
      const bool in_domain = !zone.empty() && zone.rows().contains(r) && zone(r, c) != nodata;
      const double value = grid(r, c);
      if (value != nodata && !in_domain) {
        copy(r, c) = nodata;
        continue;
      }
      if (value != nodata || !in_domain) continue;
      ++holes;
      if (!ring_search) {
        copy(r, c) = options.default_value;
        continue;
      }
      const std::optional<RingValue> found = RingSearch(source, r, c, nrows, ncols, nodata);
      if (!found) {
        log << "FATAL: In " << path << " is a too big hole at x/y = " << c << "/" << r << "!" << "[end-entry]";
        std::fprintf(model_log.file.get(), "In %s is a too big hole at x/y = %d/%d\n!\n", path.c_str(), c, r);
        RaiseError(kGridHoleError);
      }
      copy(r, c) = found->value;
      log << "DEBUG: " << "y: " << r << " x: " << c << "in " << path << ": " << value << " replaced by "
          << found->value << "[end-entry]";
      std::fprintf(model_log.file.get(), "y: %d x: %d  in %s %lf replaced by %lf!\n", r, c, path.c_str(), value,
                   found->value);
    }
  }
  if (holes > 0) {
    log << "DEBUG: In " << path << ": " << holes << " nodata values replaced!" << "[end-entry]";
    std::fprintf(model_log.file.get(), "in %s: %ld nodata values replaced!\n\n", path.c_str(), holes);
    for (int r = 1; r <= nrows; ++r) std::ranges::copy(copy.view().row(r), grid.row(r).begin());
  }
}

// --- rows and targets -------------------------------------------------------------------

// The process's own rows, with one more row on each side where the grid has one.
RowRange OwnRows(const RunContext& run, bool halo_rows) {
  return halo_rows ? run.strip_with_halo() : run.strip;
}

bool Covers(const Grid& grid, RowRange rows, int ncols) {
  return !grid.empty() && grid.ncols() >= ncols && grid.rows().first <= rows.first && grid.rows().last >= rows.last;
}

void CopyRows(ConstGridView from, GridView to, RowRange rows) {
  for (int r = rows.first; r <= rows.last; ++r) std::ranges::copy(from.row(r), to.row(r).begin());
}

void PrepareTarget(const GridInput& input, Grid& target, RowRange rows, const std::string& path,
                   const GridReadOptions& options) {
  const GridGeometry& model = input.run.geometry;
  if (options.allocate) {
    target = AllocateGridRows(input, rows, path);
    target.fill(model.nodata_value);
  } else if (target.empty()) {
    input.run.log() << "FATAL: error reading grid " << path
                    << " no memory allocated (pointer given to function is NULL)" << "[end-entry]";
    RaiseError(kGridReadError);
  }
}

// The whole read on the reading process, up to the filling of holes: the grid is read
// into the target when the target holds every row, else into `work`. A target that the
// call did not allocate is never replaced, since the caller may have published it in the
// grid table.
Grid& ReadWholeOnReader(const GridInput& input, OpenedGrid& opened, Grid& target, Grid& work, double file_nodata,
                        const GridReadOptions& options) {
  const RunContext& run = input.run;
  const GridGeometry& model = run.geometry;
  const RowRange all{1, model.nrows};
  const bool into_target = Covers(target, all, model.ncols);
  if (!into_target) {
    work = AllocateGridRows(input, all, opened.path);
    work.fill(model.nodata_value);
  }
  Grid& whole = into_target ? target : work;
  ReadWhole(input, opened, whole.view());
  CloseChecked(run.log(), opened.file, opened.path);
  // A GIF grid's values come from its class mapping, whose parameters may overflow.
  if (opened.format != GridFileFormat::NetCdf) {
    if (const std::optional<UnusableCell> cell = FirstUnusableCell(std::as_const(whole).view(), all, file_nodata)) {
      UnusableValueError(run.log(), opened.path, *cell, file_nodata);
    }
  }
  if (options.fill_mode == kFillFromNeighbours || options.fill_mode == kFillWithDefault) {
    FillHoles(run, opened.path, whole, file_nodata, options);
  }
  return whole;
}

// After the whole read: every other process receives its rows, and the reading process
// keeps what the options ask for.
void DistributeWhole(const RunContext& run, Grid& whole, Grid& target, const GridReadOptions& options) {
  const GridGeometry& model = run.geometry;
  if (!options.local) ScatterGrid(run, whole.view());
  const RowRange own = OwnRows(run, options.halo_rows);
  if (&whole != &target) {
    const RowRange held{std::max(1, target.rows().first), std::min(model.nrows, target.rows().last)};
    CopyRows(std::as_const(whole).view(), target.view(), held);
  } else if (!options.whole_on_process0 && options.allocate && own.count() > 0) {
    Grid own_grid = AllocateGrid(run.log(), own.first, own.last, model.ncols, model.nrows);
    CopyRows(std::as_const(whole).view(), own_grid.view(), own);
    target = std::move(own_grid);
  }
}

}  // namespace

std::optional<RingValue> RingSearch(ConstGridView grid, int row, int col, int nrows, int ncols, double nodata) {
  for (int k = 1; k <= kRingSearchRadius; ++k) {
    for (int m = 0; m <= 2 * k; ++m) {
      const int r = row - k + m;
      if (r < 1 || r > nrows) continue;
      const std::span<const double> values = grid.row(r);
      for (int c = std::max(1, col - m); c <= std::min(ncols, col + m); ++c) {
        const double value = values[static_cast<std::size_t>(c)];
        if (value != nodata) return RingValue{value, k};
      }
    }
  }
  return std::nullopt;
}

void ReadGrid(const GridInput& input, std::string_view name, Grid& target, const GridReadOptions& options) {
  const RunContext& run = input.run;
  IgnoreCtrlC();
  const GridGeometry& model = run.geometry;
  const bool reader = options.local || run.rank == 0;
  GridFileHeader& header = input.header;
  OpenedGrid opened;
  OnReaderAgreed(reader, options.local, [&] { opened = OpenAndCheck(input, name, options); });
  if (!options.local) {
    ShareOpened(opened, header, run.rank);
    MPI_Barrier(MPI_COMM_WORLD);
  }

  const RowRange own = OwnRows(run, options.halo_rows);
  const RowRange rows = reader && !opened.parallel ? RowRange{1, model.nrows} : own;
  if (!options.local) MPI_Barrier(MPI_COMM_WORLD);
  OnEveryProcessAgreed(run.log(), opened.path, options.local,
                       [&] { PrepareTarget(input, target, rows, opened.path, options); });

  if (opened.parallel) {
    CloseChecked(run.log(), opened.file, opened.path);
    assert(Covers(target, own, model.ncols));
    ReadRowsParallel(run.log(), opened.path, opened.format, own, target.view());
    CheckValuesParallel(run, opened.path, std::as_const(target).view(), own, header.nodata_value());
  } else {
    Grid work;
    Grid* whole = &target;
    OnReaderAgreed(reader, options.local, [&] {
      whole = &ReadWholeOnReader(input, opened, target, work, header.nodata_value(), options);
    });
    if (reader) {
      DistributeWhole(run, *whole, target, options);
    } else {
      assert(Covers(target, run.strip, model.ncols));
      ScatterGrid(run, target.view());
    }
  }
  if (options.halo_rows && !options.local) ExchangeHalo(run, target.view());
  DisarmCtrlCHandler();
}

}  // namespace tolvo
