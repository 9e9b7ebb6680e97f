#include "framework/grid_writer.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

#include "framework/error_code.h"
#include "framework/grid_file_format.h"
#include "framework/grid_distribution.h"
#include "framework/grid_table.h"
#include "framework/modelobject.h"
#include "framework/netcdf_grid.h"
#include "framework/signals.h"

namespace tolvo {

OutputForm ChooseOutputForm(const OutputFormats& switches) {
  if (switches.netcdf) return OutputForm::NetCdf;
  if (switches.ascii) return OutputForm::Ascii;
  return switches.doubles ? OutputForm::DoubleBinary : OutputForm::FloatBinary;
}

std::size_t FormatG(double value, char* out) {
  // to_chars with the general format and precision 6 is defined as printf's "%g".
  const std::to_chars_result result = std::to_chars(out, out + kFormatGMaxChars, value, std::chars_format::general, 6);
  return static_cast<std::size_t>(result.ptr - out);
}

NetCDFGridWriter::CoordinateGrids CoordinateGridsOf(const RunContext& run) {
  NetCDFGridWriter::CoordinateGrids coordinates;
  if (const grid_table* table = run.grids) {
    if (table->latitude_present) coordinates.latitude = (*table)[table->latitude_index].values;
    if (table->longitude_present) coordinates.longitude = (*table)[table->longitude_index].values;
  }
  return coordinates;
}

std::string SystemReason(int error) { return error != 0 ? std::strerror(error) : "reason unknown"; }

// --- OutputFile -------------------------------------------------------------------------

OutputFile::OutputFile(modelobject& object, std::string path, const char* mode, const std::string& failure_text)
    : object_(&object), path_(std::move(path)), file_(std::fopen(path_.c_str(), mode)) {
  if (!file_) {
    // The system's reason tells a missing or read-only folder from a folder that is a file.
    const std::string reason = SystemReason(errno);
    object.log() << "FATAL: " << failure_text << " (" << reason << ")" << "[end-entry]";
    RaiseError(kOutputOrNetCDFError);
  }
}

void OutputFile::WriteFailed() {
  const std::string reason = SystemReason(errno);
  // An incomplete output file must not pass for a result: a regular file is removed (a
  // device such as /dev/full is left alone).
  std::FILE* file = file_.release();
  const bool regular = RegularFileBytes(file).has_value();
  std::fclose(file);
  const bool removed = regular && std::remove(path_.c_str()) == 0;
  object_->log() << "FATAL: cannot write " << path_ << ": " << reason
                 << (removed ? "; the incomplete file was removed" : "") << "[end-entry]";
  object_->WriteError(path_, kWriteErrorCode);
  RaiseError(kWriteErrorCode);  // should an override of WriteError return
}

void OutputFile::Write(const void* data, std::size_t size, std::size_t count) {
  if (count > 0 && std::fwrite(data, size, count, file_.get()) != count) WriteFailed();
}

void OutputFile::Seek(long offset) {
  // Seeking flushes what the stream holds: a failure here is a failed write.
  if (std::fseek(file_.get(), offset, SEEK_SET) != 0) WriteFailed();
}

void OutputFile::Text(std::string_view text) {
  if (text_.size() + text.size() > kTextFlushBytes) FlushText();
  text_.append(text);
}

void OutputFile::NumberG(double value) {
  if (text_.size() + kFormatGMaxChars > kTextFlushBytes) FlushText();
  std::array<char, kFormatGMaxChars> digits;
  text_.append(digits.data(), FormatG(value, digits.data()));
}

void OutputFile::FlushText() {
  Write(text_.data(), 1, text_.size());
  text_.clear();
}

void OutputFile::Close() {
  FlushText();
  // A full disk shows at the latest when the stream's buffer is flushed: a write error.
  if (std::fflush(file_.get()) != 0) WriteFailed();
  if (std::fclose(file_.release()) != 0) {
    object_->log() << "FATAL: error closing " << path_ << "[end-entry]";
    RaiseError(kOutputCloseError);
  }
}

// --- grids ------------------------------------------------------------------------------

namespace {

// The zone-column range of row r, or none when the object knows no zone ranking.
std::optional<ColumnRange> ZoneColumns(const modelobject& object, int r) {
  const DomainLayout* layout = object.domain_layout();
  if (layout == nullptr || layout->column_ranges.empty()) return std::nullopt;
  if (static_cast<std::size_t>(r) >= layout->column_ranges.size()) return ColumnRange{};
  return layout->column_ranges[static_cast<std::size_t>(r)];
}

bool Holds(ConstGridView grid, int r) { return !grid.empty() && grid.rows().contains(r); }

// In-range writing: the cells of a held row outside its zone columns become nodata.
void CutToZoneColumns(const modelobject& object, GridView grid, int r) {
  const std::optional<ColumnRange> range = ZoneColumns(object, r);
  if (!range) return;
  const std::span<double> row = grid.row(r);
  const double nodata = object.geometry().nodata_value;
  for (int c = 1; c <= object.geometry().ncols; ++c) {
    if (c < range->first || c > range->last) row[static_cast<std::size_t>(c)] = nodata;
  }
}

// Counts the values of a held row into the object's running statistic.
void CountRow(modelobject& object, ConstGridView grid, int r) {
  const std::span<const double> row = grid.row(r);
  const std::optional<ColumnRange> range = ZoneColumns(object, r);
  if (!range || range->last < 1) {
    for (int c = 1; c <= object.geometry().ncols; ++c) object.AddToStatistics(row[static_cast<std::size_t>(c)], 1.0);
    return;
  }
  const ConstGridView weights = object.rel_cell_area();
  const bool weighted = Holds(weights, r);
  for (int c = range->first; c <= range->last; ++c) {
    object.AddToStatistics(row[static_cast<std::size_t>(c)], weighted ? weights(r, c) : 1.0);
  }
}

// What differs between WriteGridFile and WriteGridFileInRange.
struct GridWriteMode {
  bool in_range = false;
  GridView writable;  // the caller's matrix, changed by the in-range variant
};

std::string OutputPath(const modelobject& object, std::string_view name) {
  return PrefixPath(object.output_directory(), name);
}

void WriteNetCdfGrid(modelobject& object, const std::string& path, ConstGridView grid, bool doubles) {
  object.netcdf_writer().WriteGrid(grid, object.geometry(), doubles, path, CoordinateGridsOf(object.context()));
}

void WriteAsciiGrid(modelobject& object, const std::string& path, ConstGridView grid, const GridWriteMode& mode) {
  const GridGeometry& g = object.geometry();
  OutputFile file(object, path, "w", "error creating " + path + " for writing in text mode.");
  std::array<char, 512> header;
  const int length = std::snprintf(header.data(), header.size(),
                                   "ncols\t%d\nnrows\t%d\nxllcorner\t%g\nyllcorner\t%g\ncellsize\t%g\nnodata_value\t%g\n",
                                   g.ncols, g.nrows, g.xllcorner, g.yllcorner, g.cellsize, g.nodata_value);
  file.Text({header.data(), static_cast<std::size_t>(length)});
  for (int r = 1; r <= g.nrows; ++r) {
    if (!Holds(grid, r)) {
      // A row this process does not hold: nodata in every cell.
      for (int c = 1; c <= g.ncols; ++c) {
        if (c > 1) file.Char('\t');
        if (mode.in_range) {
          file.NumberG(g.nodata_value);
        } else {
          file.Text("-9999");
        }
      }
    } else {
      if (mode.in_range) CutToZoneColumns(object, mode.writable, r);
      const std::span<const double> row = grid.row(r);
      for (int c = 1; c <= g.ncols; ++c) {
        if (c > 1) file.Char('\t');
        file.NumberG(row[static_cast<std::size_t>(c)]);
      }
    }
    file.Char('\n');
  }
  file.Close();
}

template <typename T>
void WriteBinaryGrid(modelobject& object, const std::string& path, ConstGridView grid, const GridWriteMode& mode) {
  const GridGeometry& g = object.geometry();
  const auto ncols = static_cast<std::size_t>(g.ncols);
  OutputFile file(object, path, "wb", "error creating " + path + " for writing in binary mode.");

  GridFileHeader& header = object.grid_file_header();
  header.values = {static_cast<double>(g.ncols), static_cast<double>(g.nrows), g.xllcorner, g.yllcorner,
                   g.cellsize, g.nodata_value, 0, 0, 0, 0, 0, 0};
  std::array<T, kGridHeaderCount> numbers;
  std::copy(header.values.begin(), header.values.end(), numbers.begin());
  file.Write(numbers.data(), sizeof(T), numbers.size());

  object.ResetStatistics(g.nodata_value);
  std::vector<T> buffer(ncols);
  const std::vector<T> missing_row(ncols, static_cast<T>(g.nodata_value));
  for (int r = 1; r <= g.nrows; ++r) {
    if (!Holds(grid, r)) {
      file.Write(missing_row.data(), sizeof(T), ncols);
      continue;
    }
    if (mode.in_range) CutToZoneColumns(object, mode.writable, r);
    CountRow(object, grid, r);
    const std::span<const double> row = grid.row(r).subspan(1, ncols);
    if constexpr (std::is_same_v<T, double>) {
      file.Write(row.data(), sizeof(T), ncols);
    } else {
      std::copy(row.begin(), row.end(), buffer.begin());
      file.Write(buffer.data(), sizeof(T), ncols);
    }
  }

  const StatisticSummary s = object.GetStatistics();
  std::copy_n(std::array{s.weight_sum, s.minimum, s.maximum, s.sum, s.mean, s.standard_deviation}.begin(), 6,
              header.values.begin() + 6);
  std::array<T, 6> statistics;
  std::copy(header.values.begin() + 6, header.values.end(), statistics.begin());
  file.Seek(static_cast<long>(6 * sizeof(T)));
  file.Write(statistics.data(), sizeof(T), statistics.size());
  file.Close();
}

void WriteGrid(modelobject& object, std::string_view name, ConstGridView grid, const OutputFormats& switches,
               const GridWriteMode& mode) {
  IgnoreCtrlC();
  const std::string path = OutputPath(object, name);
  switch (ChooseOutputForm(switches)) {
    case OutputForm::NetCdf:
      WriteNetCdfGrid(object, path, grid, switches.doubles);
      break;
    case OutputForm::Ascii:
      WriteAsciiGrid(object, path, grid, mode);
      break;
    case OutputForm::DoubleBinary:
      WriteBinaryGrid<double>(object, path, grid, mode);
      break;
    case OutputForm::FloatBinary:
      WriteBinaryGrid<float>(object, path, grid, mode);
      break;
  }
  ArmCtrlCHandler();
}

}  // namespace

void WriteGridFile(modelobject& object, std::string_view name, ConstGridView grid, const OutputFormats& switches) {
  WriteGrid(object, name, grid, switches, {});
}

void WriteGridFileInRange(modelobject& object, std::string_view name, GridView grid, const OutputFormats& switches) {
  WriteGrid(object, name, grid, switches, {.in_range = true, .writable = grid});
}

void modelobject::WriteGridFile(std::string_view name, ConstGridView grid, bool ascii, bool doubles, bool netcdf) {
  tolvo::WriteGridFile(*this, name, grid, {.ascii = ascii, .doubles = doubles, .netcdf = netcdf});
}

void modelobject::WriteGridFileInRange(std::string_view name, GridView grid, bool ascii, bool doubles, bool netcdf) {
  tolvo::WriteGridFileInRange(*this, name, grid, {.ascii = ascii, .doubles = doubles, .netcdf = netcdf});
}

}  // namespace tolvo
