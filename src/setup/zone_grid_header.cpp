#include "setup/zone_grid_header.h"

#include <mpi.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "framework/error_code.h"
#include "framework/file_handle.h"
#include "framework/grid_file_format.h"
#include "framework/grid_table.h"
#include "framework/signals.h"

namespace tolvo {

namespace {

[[noreturn]] void Fail(DiagnosticsLog& log, const char* text, const std::string& path, int code) {
  log << text << path << "[end-entry]";
  RaiseError(code);
}

void ReadAsciiHead(DiagnosticsLog& log, std::FILE* file, const std::string& path, GridFileHeader& header) {
  AsciiScanner scanner(file, 4096);
  for (std::size_t j = 0; j < 6; ++j) {
    const std::optional<double> value = scanner.SkipWord() ? scanner.Number() : std::nullopt;
    if (!value) Fail(log, "FATAL: error reading ", path, kGridReadError);
    header.values[j] = *value;
  }
}

// A binary head of doubles when its sixth value is -9999 (the sixth value must have been
// read: a short file is not judged by what the header held before).
bool ReadDoubleHead(DiagnosticsLog& log, std::FILE* file, const std::string& path, GridFileHeader& header) {
  std::array<double, kGridHeaderCount> head{};
  const std::size_t got = std::fread(head.data(), sizeof(double), head.size(), file);
  if (got < 6 || head[5] != kBinaryFileNodata) return false;
  if (got < head.size()) {
    std::copy_n(head.begin(), got, header.values.begin());
    Fail(log, "FATAL: error reading double value from the header of ", path, kGridReadError);
  }
  header.values = head;
  return true;
}

// A binary head of floats when its sixth value is -9999; read value by value.
bool ReadFloatHead(DiagnosticsLog& log, std::FILE* file, const std::string& path, GridFileHeader& header) {
  std::array<float, 6> probe{};
  if (std::fread(probe.data(), sizeof(float), probe.size(), file) != probe.size() ||
      probe[5] != static_cast<float>(kBinaryFileNodata)) {
    return false;
  }
  std::rewind(file);
  for (int j = 1; j <= kGridHeaderCount; ++j) {
    float value = 0;
    if (std::fread(&value, sizeof value, 1, file) != 1) {
      log << "FATAL: error reading double value #" << j << " from the header of " << path << "[end-entry]";
      RaiseError(kGridReadError);
    }
    header.values[static_cast<std::size_t>(j - 1)] = value;
  }
  return true;
}

// The whole number below a header count; nothing unless it is a usable grid size.
std::optional<int> GridCount(double value) {
  const double whole = std::floor(value);
  if (!(whole >= 1 && whole <= INT_MAX)) return std::nullopt;
  return static_cast<int>(whole);
}

// Every later grid is placed and compared by these values: a corner, cell size or nodata
// value that is no finite number (or a cell size of 0 or below) would turn every
// geometry check and every cell area into nonsense.
void CheckPlacement(DiagnosticsLog& log, const std::string& path, const GridFileHeader& header) {
  const auto refuse = [&](const char* what, double value, const char* expected) {
    log << "FATAL: error reading " << path << ": the header's " << what << " " << value << " is no " << expected
        << "[end-entry]";
    RaiseError(kGridReadError);
  };
  if (!std::isfinite(header.xllcorner())) refuse("xllcorner", header.xllcorner(), "finite number");
  if (!std::isfinite(header.yllcorner())) refuse("yllcorner", header.yllcorner(), "finite number");
  if (!(std::isfinite(header.cellsize()) && header.cellsize() > 0)) {
    refuse("cellsize", header.cellsize(), "finite number above 0");
  }
  if (!std::isfinite(header.nodata_value())) refuse("nodata_value", header.nodata_value(), "finite number");
}

}  // namespace

GridGeometry ReadGridHeader(modelobject& reader) {
  IgnoreCtrlC();
  DiagnosticsLog& log = reader.log();
  const grid_entry& zone = reader.grids()->zone_grid();
  const std::string path = PrefixPath(reader.input_directory(), zone.file_name.value_or(""));
  FilePtr file{std::fopen(path.c_str(), "rb")};
  if (!file) Fail(log, "FATAL: error opening ", path, kGridOpenError);

  GridFileHeader& header = reader.grid_file_header();
  std::array<char, 4> marker{};
  const bool ascii = std::fread(marker.data(), 1, marker.size(), file.get()) == marker.size() &&
                     std::memcmp(marker.data(), "ncol", marker.size()) == 0;
  std::rewind(file.get());
  if (ascii) {
    ReadAsciiHead(log, file.get(), path, header);
  } else if (!ReadDoubleHead(log, file.get(), path, header)) {
    std::rewind(file.get());
    if (!ReadFloatHead(log, file.get(), path, header)) {
      Fail(log, "FATAL: could not recognise file format (ascii, binary double or binary float) for ", path,
           kGridReadError);
    }
  }

  // The numbers of columns and rows size every matrix of the run: a head that gives none
  // (not a number, below one, beyond an int) is as unreadable as a missing one.
  const std::optional<int> ncols = GridCount(header.ncols());
  const std::optional<int> nrows = GridCount(header.nrows());
  if (!ncols || !nrows) Fail(log, "FATAL: error reading ", path, kGridReadError);
  CheckPlacement(log, path, header);
  const GridGeometry geometry{.ncols = *ncols,
                              .nrows = *nrows,
                              .xllcorner = header.xllcorner(),
                              .yllcorner = header.yllcorner(),
                              .cellsize = header.cellsize(),
                              .nodata_value = header.nodata_value()};

  if (std::fclose(file.release()) != 0) Fail(log, "FATAL: error closing grid ", path, kGridCloseError);
  ArmCtrlCHandler();
  return geometry;
}

GridGeometry ReadZoneGridGeometry(modelobject& reader) {
  GridGeometry geometry;
  int status = 0;
  if (reader.rank() == 0) {
    try {
      geometry = ReadGridHeader(reader);
    } catch (const ErrorCode& error) {
      status = error.code;
    }
  }
  if (reader.process_count() > 1) {
    MPI_Bcast(&status, 1, MPI_INT, 0, MPI_COMM_WORLD);
    if (status == 0) {
      MPI_Bcast(&geometry.ncols, 1, MPI_INT, 0, MPI_COMM_WORLD);
      MPI_Bcast(&geometry.nrows, 1, MPI_INT, 0, MPI_COMM_WORLD);
      MPI_Bcast(&geometry.xllcorner, 1, MPI_DOUBLE, 0, MPI_COMM_WORLD);
      MPI_Bcast(&geometry.yllcorner, 1, MPI_DOUBLE, 0, MPI_COMM_WORLD);
      MPI_Bcast(&geometry.cellsize, 1, MPI_DOUBLE, 0, MPI_COMM_WORLD);
      MPI_Bcast(&geometry.nodata_value, 1, MPI_DOUBLE, 0, MPI_COMM_WORLD);
    }
  }
  if (status != 0) RaiseError(status);
  return geometry;
}

}  // namespace tolvo
