#pragma once
// The file formats of grids and stacks, and how a reader tells them apart.
//
// A grid file is an ASCII grid (six "keyword value" header lines, then nrows x ncols
// numbers separated by any white space), a binary grid (the twelve-number
// GridFileHeader, then nrows x ncols values, row 1 (the northern row) first, column 1
// first within a row), a GIF image or a netCDF file. A stack file is an ASCII stack
// (twelve header lines beginning with "stack_ncols", then one value a line) or a binary
// stack (the header with numlevels as value 12, then levels 0..numlevels of each cell
// together, cells in row order). All numbers of one binary file have one type, binary32
// ("float" file) or binary64 ("double" file), in the byte order of the machine.
//
// Binary files carry no magic number: they are recognised by their nodata value, which
// therefore is exactly -9999 in every binary file.

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "framework/run_context.h"

namespace tolvo {

inline constexpr int kGridHeaderCount = 12;
// The nodata value by which binary grid and stack files are recognised.
inline constexpr double kBinaryFileNodata = -9999.0;

// The twelve numbers that head every binary grid and stack file. Readers use values 1 to
// 6 of a grid header and values 1 to 6 and 12 of a stack header; for a binary grid values
// 7 to 12 are the statistics the writer gathered (count, min, max, sum, average, standard
// deviation), for a stack values 7 to 11 are 0 and value 12 is numlevels.
struct GridFileHeader {
  std::array<double, kGridHeaderCount> values{};

  double& ncols() { return values[0]; }
  double& nrows() { return values[1]; }
  double& xllcorner() { return values[2]; }
  double& yllcorner() { return values[3]; }
  double& cellsize() { return values[4]; }
  double& nodata_value() { return values[5]; }
  double& numlevels() { return values[11]; }
  double ncols() const { return values[0]; }
  double nrows() const { return values[1]; }
  double xllcorner() const { return values[2]; }
  double yllcorner() const { return values[3]; }
  double cellsize() const { return values[4]; }
  double nodata_value() const { return values[5]; }
  double numlevels() const { return values[11]; }
};

// Grid file formats, in the order in which a reader tests for them.
enum class GridFileFormat : int { NetCdf = 1, Ascii = 2, DoubleBinary = 3, FloatBinary = 4, Gif = 5 };
enum class StackFileFormat : int { Ascii = 1, DoubleBinary = 2, FloatBinary = 3 };

// Bytes a reader needs from the start of a file to recognise any format: the sixth
// binary64 number ends at byte 48.
inline constexpr std::size_t kRecognitionBytes = 6 * sizeof(double);

// The format of a grid file from its first bytes (fewer when the file is shorter), tested
// in this order: netCDF ("CDF" at offset 0 or "HDF" at offset 1 of the text that the four
// first bytes form up to a zero byte), ASCII (exactly "ncol" or "NCOL"), double binary
// (sixth binary64 number -9999), float binary (sixth binary32 number -9999), GIF
// (exactly "GIF8"). Nothing when none holds. A binary test needs the bytes of its sixth
// number to be present.
std::optional<GridFileFormat> RecogniseGridFile(std::span<const std::byte> head);

// The format of a stack file: "stack" as the first five bytes (ASCII), else a sixth
// binary64 number of -9999 (double), else a sixth binary32 number of -9999 (float).
std::optional<StackFileFormat> RecogniseStackFile(std::span<const std::byte> head);

// Size in bytes of one number of a binary file.
constexpr std::size_t BinaryValueBytes(GridFileFormat format) {
  return format == GridFileFormat::FloatBinary ? sizeof(float) : sizeof(double);
}

// Byte offset of the first value of row r (1-based) of a binary grid of ncols columns
// whose numbers take value_bytes bytes each.
constexpr long long GridRowOffset(int row, int ncols, std::size_t value_bytes) {
  return (kGridHeaderCount + (static_cast<long long>(row) - 1) * ncols) * static_cast<long long>(value_bytes);
}

// Byte offset of the first value of row r of a binary stack with levels 0..numlevels.
constexpr long long StackRowOffset(int row, int ncols, int numlevels, std::size_t value_bytes) {
  return (kGridHeaderCount + (static_cast<long long>(row) - 1) * ncols * (static_cast<long long>(numlevels) + 1)) *
         static_cast<long long>(value_bytes);
}

// Largest magnitude of a usable grid value: the largest binary32 number, since every grid
// may be written to a float grid file, where a larger value would become an infinity.
inline constexpr double kLargestGridValue = std::numeric_limits<float>::max();

// Whether a value read from a grid or stack file can be used: a finite number of
// magnitude at most kLargestGridValue, or the file's own nodata value. NaN never is.
inline bool UsableFileValue(double value, double file_nodata) {
  return std::fabs(value) <= kLargestGridValue || value == file_nodata;
}

// The size a file must have to hold `count` numbers after its header: an ASCII file at
// least two bytes a number (a digit and a separator; none after the last), a binary file
// exactly its twelve header numbers and `count` numbers of `value_bytes` bytes. `count`
// is a double so that no product of header sizes overflows; the sizes compared stay far
// below 2^53 bytes, where doubles count exactly.
struct RequiredFileBytes {
  double bytes;
  bool exact;
  bool HeldBy(long long file_bytes) const {
    const auto have = static_cast<double>(file_bytes);
    return exact ? have == bytes : have >= bytes;
  }
};
RequiredFileBytes RequiredAsciiBytes(double count);
RequiredFileBytes RequiredBinaryBytes(double count, std::size_t value_bytes);

// The size of an open file when it is a regular file; nothing for pipes and devices,
// whose size says nothing about what can be read from them.
std::optional<long long> RegularFileBytes(std::FILE* file);

// The text that refuses a file too small (or, binary, of another size) for what its header
// declares: "the header declares <what>, which take at least (exactly) <n> bytes, but the
// file has <m> bytes".
std::string FileSizeMismatch(const std::string& declared, RequiredFileBytes need, long long file_bytes);

// Reads the white-space separated words and numbers of an ASCII grid or stack from an
// open file, through a large buffer and without formatted stream I/O. Numbers are read
// as "%lf" reads them: white space is skipped, the longest prefix that forms a number is
// taken (an optional sign, digits, fraction, exponent, "inf" or "nan"), and the rest of
// the word is left for the next read.
class AsciiScanner {
 public:
  explicit AsciiScanner(std::FILE* file, std::size_t buffer_bytes = std::size_t{1} << 20);

  // Skips white space and one word; false at the end of the file.
  bool SkipWord();
  // The next number; nothing at the end of the file or when no number starts here (the
  // input is then left where it stands).
  std::optional<double> Number();
  // Fills `values` with the next numbers; the count read, which is short only at the end
  // of the file or before something that is not a number.
  std::size_t Numbers(std::span<double> values);

 private:
  // Skips white space; leaves at least kLookahead bytes (or the rest of the file) in
  // the buffer. False when nothing but white space is left.
  bool SkipSpace();
  void Refill();

  static constexpr std::size_t kLookahead = 512;
  std::FILE* file_;
  std::vector<char> buffer_;
  std::size_t pos_ = 0;
  std::size_t end_ = 0;
  bool at_eof_ = false;
};

// Writes to the run's log the body of the entry of a grid or stack file whose geometry
// is not the model's: the last 35 characters of the zone grid's file name and of `path`,
// then the model's and the file's ncols, nrows, xllcorner, yllcorner, cellsize and nodata
// value, one pair a line. The caller opens the entry before and closes it after.
void LogGeometryComparison(const RunContext& run, const std::string& path, const GridFileHeader& header);

// The path rule: the directory is put before the name as they stand, unless the name
// begins with "/" or "~" or there is no directory. A directory must end with "/".
std::string PrefixPath(std::string_view directory, std::string_view name);

struct GifGridSettings;

// What reading a grid or stack file takes from the reading object besides the run: the
// directory that relative names are found in, the object's name for the progress and
// error entries, its header record, which receives the header of the file read, and the
// georeference and class mapping by which GIF images (and netCDF grids of another raster)
// are placed on the model grid.
struct GridInput {
  const RunContext& run;
  const std::string& input_directory;
  const std::string& reader_name;
  GridFileHeader& header;
  const GifGridSettings& gif;
};

}  // namespace tolvo
