#pragma once
// Writing result grids to files: netCDF, ASCII, or binary with 32-bit or 64-bit values.
//
// A grid is written by the process that holds it (process 0 after a gather); rows the
// view does not hold are written as nodata. Binary files carry in values 7 to 12 of their
// header the count, minimum, maximum, sum, mean and standard deviation of the values,
// gathered with the model object's running statistic while the rows are written:
// - in a row with zone cells, the columns between its first and last zone column count,
//   each with its "RelCellArea" weight when the object has that grid, else with weight 1;
// - in a row without zone cells (or when no zone ranking is known) every column counts
//   with weight 1;
// - only values above nodata + 1 count.
//
// Every failure writes its "FATAL: " entry and raises: 26 the file cannot be created (or
// the netCDF library fails), 18 a write falls short (`WriteError`), 27 the file cannot be
// closed. No failed write ever returns as if the file were complete.
//
// The file and buffered-text helpers below are shared with the stack writer.

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

#include "framework/file_handle.h"
#include "framework/matrix.h"
#include "framework/netcdf_grid.h"

namespace tolvo {

class modelobject;
struct OutputFormats;
struct RunContext;

// The form of an output file, chosen from the object's switches: netCDF decides alone,
// else ASCII, else binary with 64-bit values when doubles is set, else 32-bit.
// (The netCDF form stores doubles or floats as the doubles switch says.)
enum class OutputForm { NetCdf, Ascii, DoubleBinary, FloatBinary };
OutputForm ChooseOutputForm(const OutputFormats& switches);

// The work of modelobject::WriteGridFile and WriteGridFileInRange. `name` is relative to
// the object's output directory unless it begins with "/" or "~". The in-range variant
// sets the cells outside each row's zone-column range to nodata in `grid` before the
// ASCII or binary form writes them; its netCDF form writes the grid as it is.
void WriteGridFile(modelobject& object, std::string_view name, ConstGridView grid, const OutputFormats& switches);
void WriteGridFileInRange(modelobject& object, std::string_view name, GridView grid, const OutputFormats& switches);

// The latitude and longitude grids of the grid table ("latitude", "longitude") that a new
// netCDF file stores; empty views where the table has none.
NetCDFGridWriter::CoordinateGrids CoordinateGridsOf(const RunContext& run);

// The system's text for an errno value ("No space left on device"); "reason unknown" for 0.
std::string SystemReason(int error);

// A value as printf's "%g" prints it.
std::size_t FormatG(double value, char* out);
inline constexpr std::size_t kFormatGMaxChars = 32;

// An output file of the writers: every write, flush and close is checked. Text is
// gathered in a buffer and written in large pieces. A file that cannot be created names
// the system's reason (26). A short write (a full disk) logs "FATAL: cannot write <path>:
// <reason>", removes the incomplete file and ends in `WriteError` (18); a failed close in
// "FATAL: error closing <path>" (27).
class OutputFile {
 public:
  // Opens `path` with the fopen mode; on failure logs "FATAL: " + failure_text and raises 26.
  OutputFile(modelobject& object, std::string path, const char* mode, const std::string& failure_text);
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  void Write(const void* data, std::size_t size, std::size_t count);
  void Seek(long offset);
  // Buffered text.
  void Text(std::string_view text);
  void Char(char c) {
    if (text_.size() + 1 > kTextFlushBytes) FlushText();
    text_.push_back(c);
  }
  void NumberG(double value);
  // Writes pending text, flushes and closes the file.
  void Close();
  const std::string& path() const { return path_; }

 private:
  static constexpr std::size_t kTextFlushBytes = std::size_t{1} << 20;
  void FlushText();
  [[noreturn]] void WriteFailed();

  modelobject* object_;
  std::string path_;
  FilePtr file_;
  std::string text_;
};

}  // namespace tolvo
