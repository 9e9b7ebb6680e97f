#pragma once
// Grids and stacks as netCDF files.
//
// The writer turns grids into netCDF-4 files with the dimensions "x" (ncols), "y" (nrows)
// and an unlimited "t"; each write of a grid adds one time step of its variable, and the
// levels of a stack become the time steps 0..L of a new variable. "x" and "y" hold the
// lower-left corners of the columns and rows, "y" falling from the northern row; data
// variables are stored on ("t", "x", "y") with deflate level 9 and the model nodata as
// "missing_value", so that one time step is a grid in column order.
//
// Column order: the value of row r and column c (1-based, row 1 the northern row) of a
// grid of nrows rows is element (c - 1) * nrows + (r - 1).
//
// The reader takes a name "file<variable>step" (steps count from 0) and returns
// one time step of the variable in column order, northern row first, whatever the order
// of the file's dimensions and the direction of its "y" values. Cells holding the
// variable's missing or fill value become the model nodata value; the other cells get
// the variable's "scale_factor" and "add_offset". Files stay open for later reads until
// the reader is released; at most 200 different files are held open.
//
// Every failure of the library ends in a "FATAL: " entry and the error code 26; a bad
// name ends in 50, a 201st open file in 1100. Both objects serve process 0 of a
// run and are not safe for concurrent use.

#include <cstddef>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "framework/diagnostics_log.h"
#include "framework/matrix.h"

namespace netCDF {
class NcFile;
}

namespace tolvo {

// Declared in modelobject.h, which may hold these objects.
struct GridGeometry;

inline constexpr std::size_t kMaxOpenNetCDFFiles = 200;

// The netCDF file of an output path: the path with ".nc" appended.
std::string NetCDFFileName(std::string_view path);
// The variable of an output path: its last component (after the last "/" and the last
// "\\"), cut before its first "." and then before its first "_".
std::string NetCDFVariableName(std::string_view path);

// The rows 1..nrows and columns 1..ncols of a grid in column order, as doubles or floats;
// rows the view does not hold give nodata.
template <typename T>
std::vector<T> ColumnOrder(ConstGridView grid, int nrows, int ncols, double nodata);
// Level `level` of a stack in column order, as for grids.
template <typename T>
std::vector<T> ColumnOrder(ConstStackView stack, int level, int nrows, int ncols, double nodata);

class NetCDFGridWriter {
 public:
  // Latitude and longitude grids to be stored with a new file as "lat" and "lon"; an
  // empty view stands for none.
  struct CoordinateGrids {
    ConstGridView latitude;
    ConstGridView longitude;
  };

  explicit NetCDFGridWriter(DiagnosticsLog& log) : log_(&log) {}

  // Lower-left corner of the grid and cell size; 0, 0 and 1 until set.
  void SetGeoreference(double x_origin, double y_origin, double cellsize);
  // Arrays in column order stored as "lat" and "lon" when the next write creates its file.
  // The caller keeps the array alive until that write; every write detaches both, so the
  // caller attaches them again before each write.
  void AttachLatitude(std::span<const double> column_order);
  void AttachLongitude(std::span<const double> column_order);

  // Writes one time step of `variable` in `file` from nrows x ncols values in column
  // order; the variable is stored as doubles or floats as the values are. The first
  // write of a file creates it (replacing any file of that name); a further write of
  // the same variable appends the next time step, a new variable starts at step 0.
  // Failures of the library log their entry and raise 26.
  void Write(std::span<const double> values, const std::string& file, const std::string& variable,
             double nodata, int nrows, int ncols);
  void Write(std::span<const float> values, const std::string& file, const std::string& variable,
             double nodata, int nrows, int ncols);

  // A whole grid under an output path: georeference from the geometry, file and variable
  // named by NetCDFFileName and NetCDFVariableName, values as doubles or floats.
  void WriteGrid(ConstGridView grid, const GridGeometry& geometry, bool doubles, std::string_view path,
                 const CoordinateGrids& coordinates = {});
  // Levels 0..highest_level of a stack as successive time steps of one variable.
  void WriteStack(ConstStackView stack, int highest_level, const GridGeometry& geometry, bool doubles,
                  std::string_view path, const CoordinateGrids& coordinates = {});

  // Whether this writer has created the file (its next write of it appends).
  bool HasCreated(std::string_view file) const;

 private:
  struct Georeference {
    double x_origin = 0;
    double y_origin = 0;
    double cellsize = 1.0;
  };
  struct WrittenVariable {
    std::string file;
    std::string variable;
  };

  template <typename T>
  void WriteValues(std::span<const T> values, const std::string& file, const std::string& variable,
                   double nodata, int nrows, int ncols);
  template <typename T>
  void CreateFile(std::span<const T> values, const std::string& file, const std::string& variable,
                  double nodata, int nrows, int ncols) const;
  template <typename T>
  void AppendStep(std::span<const T> values, const std::string& file, const std::string& variable, int nrows,
                  int ncols) const;
  template <typename T>
  void AddVariable(std::span<const T> values, const std::string& file, const std::string& variable,
                   double nodata, int nrows, int ncols) const;
  template <typename T>
  void WriteLevels(ConstStackView stack, int highest_level, const GridGeometry& geometry, std::string_view path,
                   const CoordinateGrids& coordinates);
  void PrepareCoordinates(const CoordinateGrids& coordinates, const GridGeometry& geometry,
                          const std::string& file, std::vector<double>& latitude, std::vector<double>& longitude);
  bool HasWritten(const std::string& file, const std::string& variable) const;

  Georeference georeference_;
  DiagnosticsLog* log_;
  std::span<const double> latitude_;
  std::span<const double> longitude_;
  bool latitude_attached_ = false;
  bool longitude_attached_ = false;
  std::vector<std::string> files_created_;
  std::vector<WrittenVariable> variables_written_;
};

// One time step of a variable: values in column order, northern row first.
struct NetCDFGrid {
  std::vector<double> values;
  int nrows = 0;
  int ncols = 0;
  double at(int r, int c) const {
    return values[static_cast<std::size_t>(c - 1) * static_cast<std::size_t>(nrows) + static_cast<std::size_t>(r - 1)];
  }
};

class NetCDFGridReader {
 public:
  explicit NetCDFGridReader(DiagnosticsLog& log);
  ~NetCDFGridReader();
  NetCDFGridReader(const NetCDFGridReader&) = delete;
  NetCDFGridReader& operator=(const NetCDFGridReader&) = delete;

  // Reads one time step as "file<variable>step" says; the name is cut in place
  // to its file name. Raises 50 for a name without "<" (after the first
  // character) or ">", 1100 for a 201st open file and 26 for every other failure.
  NetCDFGrid Read(std::string& netcdf_name);

  // Closes every open file.
  void CloseAll();
  std::size_t open_file_count() const { return open_files_.size(); }

 private:
  netCDF::NcFile& OpenFile(const std::string& file);
  [[noreturn]] void Fail(const std::string& file, std::string_view reason);

  std::map<std::string, std::unique_ptr<netCDF::NcFile>> open_files_;
  DiagnosticsLog* log_;
};

}  // namespace tolvo
