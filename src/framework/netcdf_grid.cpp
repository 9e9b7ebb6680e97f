#include "framework/netcdf_grid.h"

#include <netcdf.h>

#include <algorithm>
#include <cassert>
#include <cfloat>
#include <climits>
#include <cmath>
#include <netcdf>
#include <optional>
#include <stdexcept>

#include "framework/control_file_stream.h"
#include "framework/error_code.h"
#include "framework/modelobject.h"

namespace tolvo {

namespace nc = netCDF;

namespace {

std::size_t CellCount(int nrows, int ncols) {
  return static_cast<std::size_t>(nrows) * static_cast<std::size_t>(ncols);
}

// Deflate level 9 without the shuffle filter: the compression of every stored variable
// except "t".
void Compress(const nc::NcVar& var) { var.setCompression(false, true, 9); }

template <typename T>
const nc::NcType& StoredType() {
  if constexpr (std::is_same_v<T, double>) {
    return nc::ncDouble;
  } else {
    return nc::ncFloat;
  }
}

nc::NcDim RequireDim(const nc::NcFile& file, const std::string& name) {
  nc::NcDim dim = file.getDim(name);
  if (dim.isNull()) throw std::runtime_error("dimension " + name + " missing");
  return dim;
}

nc::NcVar RequireVar(const nc::NcFile& file, const std::string& name) {
  nc::NcVar var = file.getVar(name);
  if (var.isNull()) throw std::runtime_error("variable " + name + " missing");
  return var;
}

// A data variable on ("t", "x", "y") with the model nodata as its missing value.
nc::NcVar AddDataVariable(const nc::NcFile& file, const std::string& name, const nc::NcType& type,
                          const std::vector<nc::NcDim>& dims, double nodata) {
  nc::NcVar var = file.addVar(name, type, dims);
  Compress(var);
  var.putAtt("missing_value", nc::ncDouble, nodata);
  return var;
}

// The file's grid must be the one being written: a smaller one would take part of the
// values silently.
void CheckGridDims(const nc::NcDim& x, const nc::NcDim& y, int nrows, int ncols) {
  if (x.getSize() != static_cast<std::size_t>(ncols) || y.getSize() != static_cast<std::size_t>(nrows)) {
    throw std::runtime_error("the file holds a grid of " + std::to_string(x.getSize()) + " columns and " +
                             std::to_string(y.getSize()) + " rows, not " + std::to_string(ncols) + " and " +
                             std::to_string(nrows));
  }
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Names

std::string NetCDFFileName(std::string_view path) { return std::string(path) + ".nc"; }

std::string NetCDFVariableName(std::string_view path) {
  const std::size_t separator = path.find_last_of("/\\");
  std::string_view name = separator == std::string_view::npos ? path : path.substr(separator + 1);
  name = name.substr(0, name.find('.'));
  name = name.substr(0, name.find('_'));
  return std::string(name);
}

// ---------------------------------------------------------------------------------------
// Column order

template <typename T>
std::vector<T> ColumnOrder(ConstGridView grid, int nrows, int ncols, double nodata) {
  std::vector<T> values(CellCount(nrows, ncols), static_cast<T>(nodata));
  if (grid.empty()) return values;
  assert(grid.ncols() >= ncols);
  const int first = std::max(1, grid.rows().first);
  const int last = std::min(nrows, grid.rows().last);
  for (int r = first; r <= last; ++r) {
    const std::span<const double> row = grid.row(r);
    for (int c = 1; c <= ncols; ++c) {
      values[static_cast<std::size_t>(c - 1) * static_cast<std::size_t>(nrows) + static_cast<std::size_t>(r - 1)] =
          static_cast<T>(row[static_cast<std::size_t>(c)]);
    }
  }
  return values;
}

template <typename T>
std::vector<T> ColumnOrder(ConstStackView stack, int level, int nrows, int ncols, double nodata) {
  std::vector<T> values(CellCount(nrows, ncols), static_cast<T>(nodata));
  if (stack.empty()) return values;
  assert(stack.last_col() >= ncols && level >= 0 && level <= stack.level_count());
  const int first = std::max(1, stack.rows().first);
  const int last = std::min(nrows, stack.rows().last);
  for (int r = first; r <= last; ++r) {
    for (int c = 1; c <= ncols; ++c) {
      values[static_cast<std::size_t>(c - 1) * static_cast<std::size_t>(nrows) + static_cast<std::size_t>(r - 1)] =
          static_cast<T>(stack(r, c, level));
    }
  }
  return values;
}

template std::vector<double> ColumnOrder<double>(ConstGridView, int, int, double);
template std::vector<float> ColumnOrder<float>(ConstGridView, int, int, double);
template std::vector<double> ColumnOrder<double>(ConstStackView, int, int, int, double);
template std::vector<float> ColumnOrder<float>(ConstStackView, int, int, int, double);

// ---------------------------------------------------------------------------------------
// Writer

void NetCDFGridWriter::SetGeoreference(double x_origin, double y_origin, double cellsize) {
  georeference_ = {x_origin, y_origin, cellsize};
}

void NetCDFGridWriter::AttachLatitude(std::span<const double> column_order) {
  latitude_ = column_order;
  latitude_attached_ = true;
}

void NetCDFGridWriter::AttachLongitude(std::span<const double> column_order) {
  longitude_ = column_order;
  longitude_attached_ = true;
}

bool NetCDFGridWriter::HasCreated(std::string_view file) const {
  return std::find(files_created_.begin(), files_created_.end(), file) != files_created_.end();
}

bool NetCDFGridWriter::HasWritten(const std::string& file, const std::string& variable) const {
  return std::any_of(variables_written_.begin(), variables_written_.end(),
                     [&](const WrittenVariable& w) { return w.file == file && w.variable == variable; });
}

void NetCDFGridWriter::Write(std::span<const double> values, const std::string& file, const std::string& variable,
                             double nodata, int nrows, int ncols) {
  WriteValues(values, file, variable, nodata, nrows, ncols);
}

void NetCDFGridWriter::Write(std::span<const float> values, const std::string& file, const std::string& variable,
                             double nodata, int nrows, int ncols) {
  WriteValues(values, file, variable, nodata, nrows, ncols);
}

template <typename T>
void NetCDFGridWriter::WriteValues(std::span<const T> values, const std::string& file, const std::string& variable,
                                   double nodata, int nrows, int ncols) {
  assert(nrows > 0 && ncols > 0 && values.size() == CellCount(nrows, ncols));
  // The lists record a file or variable only once it is completely written, so that a
  // failed write is never taken for a file to append to.
  try {
    if (!HasCreated(file)) {
      CreateFile(values, file, variable, nodata, nrows, ncols);
      files_created_.push_back(file);
      variables_written_.push_back({file, variable});
    } else if (HasWritten(file, variable)) {
      AppendStep(values, file, variable, nrows, ncols);
    } else {
      AddVariable(values, file, variable, nodata, nrows, ncols);
      variables_written_.push_back({file, variable});
    }
  } catch (const std::exception& e) {
    latitude_attached_ = longitude_attached_ = false;
    *log_ << "FATAL: error creating " << file << " for writing in netCDF: " << e.what() << "[end-entry]";
    RaiseError(kOutputOrNetCDFError);
  }
  latitude_attached_ = longitude_attached_ = false;
}

template <typename T>
void NetCDFGridWriter::CreateFile(std::span<const T> values, const std::string& file, const std::string& variable,
                                  double nodata, int nrows, int ncols) const {
  nc::NcFile out(file, nc::NcFile::replace, nc::NcFile::nc4);
  const nc::NcDim x = out.addDim("x", static_cast<std::size_t>(ncols));
  const nc::NcDim y = out.addDim("y", static_cast<std::size_t>(nrows));
  const nc::NcDim t = out.addDim("t");

  std::vector<double> xs(static_cast<std::size_t>(ncols));
  for (int i = 0; i < ncols; ++i) xs[static_cast<std::size_t>(i)] = georeference_.x_origin + i * georeference_.cellsize;
  const nc::NcVar x_var = out.addVar("x", nc::ncDouble, x);
  Compress(x_var);
  x_var.putAtt("units", "m East of reference point");
  x_var.putVar(xs.data());

  // The northern row comes first.
  std::vector<double> ys(static_cast<std::size_t>(nrows));
  for (int i = 0; i < nrows; ++i) {
    ys[static_cast<std::size_t>(i)] = georeference_.y_origin + (nrows - 1 - i) * georeference_.cellsize;
  }
  const nc::NcVar y_var = out.addVar("y", nc::ncDouble, y);
  Compress(y_var);
  y_var.putAtt("units", "m North of reference point");
  y_var.putVar(ys.data());

  const nc::NcVar t_var = out.addVar("t", nc::ncDouble, t);
  t_var.putVar({0}, 0.0);

  const std::vector<std::size_t> grid_start{0, 0};
  const std::vector<std::size_t> grid_count{static_cast<std::size_t>(ncols), static_cast<std::size_t>(nrows)};
  const auto put_coordinate = [&](const char* name, const char* units, std::span<const double> column_order) {
    assert(column_order.size() == CellCount(nrows, ncols));
    const nc::NcVar var = out.addVar(name, nc::ncDouble, {x, y});
    Compress(var);
    var.putAtt("units", units);
    var.putVar(grid_start, grid_count, column_order.data());
  };
  if (latitude_attached_) put_coordinate("lat", "degrees north", latitude_);
  if (longitude_attached_) put_coordinate("lon", "degrees east", longitude_);

  const nc::NcVar data = AddDataVariable(out, variable, StoredType<T>(), {t, x, y}, nodata);
  data.putVar({0, 0, 0}, {1, static_cast<std::size_t>(ncols), static_cast<std::size_t>(nrows)}, values.data());
  out.close();
}

template <typename T>
void NetCDFGridWriter::AppendStep(std::span<const T> values, const std::string& file, const std::string& variable,
                                  int nrows, int ncols) const {
  nc::NcFile out(file, nc::NcFile::write);
  const std::size_t n = RequireDim(out, "t").getSize();
  const nc::NcVar data = RequireVar(out, variable);
  if (data.getDimCount() != 3) throw std::runtime_error("variable " + variable + " is not on (t, x, y)");
  CheckGridDims(data.getDim(1), data.getDim(2), nrows, ncols);
  RequireVar(out, "t").putVar({n}, static_cast<int>(n));
  data.putVar({n, 0, 0}, {1, static_cast<std::size_t>(ncols), static_cast<std::size_t>(nrows)}, values.data());
  out.close();
}

template <typename T>
void NetCDFGridWriter::AddVariable(std::span<const T> values, const std::string& file, const std::string& variable,
                                   double nodata, int nrows, int ncols) const {
  nc::NcFile out(file, nc::NcFile::write);
  const nc::NcDim t = RequireDim(out, "t");
  const nc::NcDim x = RequireDim(out, "x");
  const nc::NcDim y = RequireDim(out, "y");
  CheckGridDims(x, y, nrows, ncols);
  const nc::NcVar data = AddDataVariable(out, variable, StoredType<T>(), {t, x, y}, nodata);
  data.putVar({0, 0, 0}, {1, static_cast<std::size_t>(ncols), static_cast<std::size_t>(nrows)}, values.data());
  out.close();
}

void NetCDFGridWriter::PrepareCoordinates(const CoordinateGrids& coordinates, const GridGeometry& geometry,
                                          const std::string& file, std::vector<double>& latitude,
                                          std::vector<double>& longitude) {
  // Latitude and longitude are stored only when a file is created.
  if (HasCreated(file)) return;
  if (!coordinates.latitude.empty()) {
    latitude = ColumnOrder<double>(coordinates.latitude, geometry.nrows, geometry.ncols, geometry.nodata_value);
    AttachLatitude(latitude);
  }
  if (!coordinates.longitude.empty()) {
    longitude = ColumnOrder<double>(coordinates.longitude, geometry.nrows, geometry.ncols, geometry.nodata_value);
    AttachLongitude(longitude);
  }
}

void NetCDFGridWriter::WriteGrid(ConstGridView grid, const GridGeometry& geometry, bool doubles,
                                 std::string_view path, const CoordinateGrids& coordinates) {
  SetGeoreference(geometry.xllcorner, geometry.yllcorner, geometry.cellsize);
  const std::string file = NetCDFFileName(path);
  const std::string variable = NetCDFVariableName(path);
  std::vector<double> latitude;
  std::vector<double> longitude;
  PrepareCoordinates(coordinates, geometry, file, latitude, longitude);
  const GridGeometry& g = geometry;
  if (doubles) {
    Write(std::span<const double>(ColumnOrder<double>(grid, g.nrows, g.ncols, g.nodata_value)), file, variable,
          g.nodata_value, g.nrows, g.ncols);
  } else {
    Write(std::span<const float>(ColumnOrder<float>(grid, g.nrows, g.ncols, g.nodata_value)), file, variable,
          g.nodata_value, g.nrows, g.ncols);
  }
}

template <typename T>
void NetCDFGridWriter::WriteLevels(ConstStackView stack, int highest_level, const GridGeometry& geometry,
                                   std::string_view path, const CoordinateGrids& coordinates) {
  const std::string file = NetCDFFileName(path);
  const std::string variable = NetCDFVariableName(path);
  const GridGeometry& g = geometry;
  for (int l = 0; l <= highest_level; ++l) {
    std::vector<double> latitude;
    std::vector<double> longitude;
    PrepareCoordinates(coordinates, geometry, file, latitude, longitude);
    const std::vector<T> values = ColumnOrder<T>(stack, l, g.nrows, g.ncols, g.nodata_value);
    Write(std::span<const T>(values), file, variable, g.nodata_value, g.nrows, g.ncols);
  }
}

void NetCDFGridWriter::WriteStack(ConstStackView stack, int highest_level, const GridGeometry& geometry,
                                  bool doubles, std::string_view path, const CoordinateGrids& coordinates) {
  SetGeoreference(geometry.xllcorner, geometry.yllcorner, geometry.cellsize);
  if (doubles) {
    WriteLevels<double>(stack, highest_level, geometry, path, coordinates);
  } else {
    WriteLevels<float>(stack, highest_level, geometry, path, coordinates);
  }
}

// ---------------------------------------------------------------------------------------
// Reader

namespace {

// The netCDF default fill value of a type, as a double.
double DefaultFillValue(const nc::NcType& type) {
  switch (type.getId()) {
    case NC_BYTE: return NC_FILL_BYTE;
    case NC_SHORT: return NC_FILL_SHORT;
    case NC_INT: return NC_FILL_INT;
    case NC_FLOAT: return static_cast<double>(NC_FILL_FLOAT);
    case NC_DOUBLE: return NC_FILL_DOUBLE;
    case NC_UBYTE: return NC_FILL_UBYTE;
    case NC_USHORT: return NC_FILL_USHORT;
    case NC_UINT: return NC_FILL_UINT;
    case NC_INT64: return static_cast<double>(NC_FILL_INT64);
    case NC_UINT64: return static_cast<double>(NC_FILL_UINT64);
    default: return NC_FILL_DOUBLE;
  }
}

std::vector<double> AttributeValues(const nc::NcVarAtt& att) {
  std::vector<double> values(att.getAttLength());
  if (!values.empty()) att.getValues(values.data());
  return values;
}

// How stored values become model values: the variable's missing and fill values mark
// cells without data, which become the model nodata unscaled; every other value is
// unpacked with scale and offset.
struct Unpacking {
  std::vector<double> markers;
  double scale = 1.0;
  double offset = 0.0;

  static bool Matches(double value, double marker) {
    return value == marker || (std::isnan(marker) && std::isnan(value));
  }
  static bool Matches(float value, double marker) {
    // A marker given as a double for a float variable stands for its nearest float.
    if (Matches(static_cast<double>(value), marker)) return true;
    return std::abs(marker) <= FLT_MAX && value == static_cast<float>(marker);
  }
  template <typename T>
  double operator()(T stored) const {
    for (const double marker : markers) {
      if (Matches(stored, marker)) return kNodata;
    }
    return static_cast<double>(stored) * scale + offset;
  }
};

Unpacking UnpackingOf(const nc::NcVar& var) {
  Unpacking unpacking;
  bool has_fill_attribute = false;
  for (const auto& [name, att] : var.getAtts()) {
    if (name.find("scale_factor") != std::string::npos) {
      const std::vector<double> values = AttributeValues(att);
      if (!values.empty()) unpacking.scale = values.front();
    } else if (name.find("add_offset") != std::string::npos) {
      const std::vector<double> values = AttributeValues(att);
      if (!values.empty()) unpacking.offset = values.front();
    }
    // A text marker (not a number of the variable's kind) marks no cell.
    const int att_type = att.getType().getId();
    if ((name == "missing_value" || name == "_FillValue") && att_type != NC_CHAR && att_type != NC_STRING) {
      const std::vector<double> values = AttributeValues(att);
      unpacking.markers.insert(unpacking.markers.end(), values.begin(), values.end());
      has_fill_attribute = has_fill_attribute || name == "_FillValue";
    }
  }
  if (!has_fill_attribute) unpacking.markers.push_back(DefaultFillValue(var.getType()));
  return unpacking;
}

// The numbers of columns and rows: a dimension whose name contains "x" gives the columns,
// otherwise one whose name contains "y" gives the rows; the last in name order wins.
struct FileSizes {
  std::optional<std::size_t> ncols;
  std::optional<std::size_t> nrows;
};

FileSizes SizesOf(const nc::NcFile& file) {
  FileSizes sizes;
  for (const auto& [name, dim] : file.getDims()) {
    if (name.find('x') != std::string::npos) {
      sizes.ncols = dim.getSize();
    } else if (name.find('y') != std::string::npos) {
      sizes.nrows = dim.getSize();
    }
  }
  return sizes;
}

// Whether the rows of the file run from south to north: the first two values of "y"
// compared as reals. Without "y" the rows are taken to run northward; a "y" with fewer
// than two values (a single row) gives nothing to compare and nothing to reverse.
bool RowsRunNorthward(const nc::NcFile& file) {
  const nc::NcVar y = file.getVar("y");
  if (y.isNull()) return true;
  if (y.getDimCount() != 1 || y.getDim(0).getSize() < 2) return false;
  double first_two[2] = {0, 0};
  y.getVar({0}, {2}, first_two);
  return first_two[1] >= first_two[0];
}

// The stored values of one time step brought into column order, northern row first.
template <typename T>
void Arrange(std::span<const T> stored, const Unpacking& unpack, bool x_second, bool x_third, bool northward,
             NetCDFGrid& grid) {
  const auto nrows = static_cast<std::size_t>(grid.nrows);
  const auto ncols = static_cast<std::size_t>(grid.ncols);
  std::vector<double>& out = grid.values;
  if (x_third) {
    // Row after row: transpose.
    for (std::size_t i = 0; i < nrows; ++i) {
      const std::size_t r = northward ? nrows - 1 - i : i;
      for (std::size_t c = 0; c < ncols; ++c) out[c * nrows + r] = unpack(stored[i * ncols + c]);
    }
  } else if (x_second && northward) {
    // Column after column, south first: reverse every column.
    for (std::size_t c = 0; c < ncols; ++c) {
      for (std::size_t i = 0; i < nrows; ++i) out[c * nrows + (nrows - 1 - i)] = unpack(stored[c * nrows + i]);
    }
  } else {
    for (std::size_t k = 0; k < stored.size(); ++k) out[k] = unpack(stored[k]);
  }
}

}  // namespace

NetCDFGridReader::NetCDFGridReader(DiagnosticsLog& log) : log_(&log) {}

NetCDFGridReader::~NetCDFGridReader() = default;

void NetCDFGridReader::CloseAll() { open_files_.clear(); }

void NetCDFGridReader::Fail(const std::string& file, std::string_view reason) {
  *log_ << "FATAL: exception occured when reading from netCDF file " << file << ". Internal message is: "
        << std::string(reason) << "[end-entry]";
  RaiseError(kOutputOrNetCDFError);
}

nc::NcFile& NetCDFGridReader::OpenFile(const std::string& file) {
  if (const auto found = open_files_.find(file); found != open_files_.end()) return *found->second;
  if (open_files_.size() >= kMaxOpenNetCDFFiles) {
    *log_ << "FATAL: more than 200 different netCDF files can not be hold open at the same time. If you read time "
             "series of input grids from netCDF, please put all the single nc files into one large file or into "
             "some groups of files"
          << "[end-entry]";
    RaiseError(kNetCDFTooManyFiles);
  }
  try {
    auto opened = std::make_unique<nc::NcFile>(file, nc::NcFile::read);
    return *open_files_.emplace(file, std::move(opened)).first->second;
  } catch (const std::exception& e) {
    Fail(file, e.what());
  }
}

NetCDFGrid NetCDFGridReader::Read(std::string& netcdf_name) {
  // A "<" at the very start leaves no file name; a ">" before the "<" no variable.
  const std::size_t open_bracket = netcdf_name.find('<');
  const std::size_t close_bracket = netcdf_name.find('>');
  if (open_bracket == std::string::npos || open_bracket == 0 || close_bracket == std::string::npos ||
      close_bracket < open_bracket) {
    *log_ << "FATAL: Give netcdf input files as filename<varname>timestep." << "[end-entry]";
    RaiseError(kNetCDFSpecificationError);
  }
  const std::string variable = netcdf_name.substr(open_bracket + 1, close_bracket - open_bracket - 1);
  const long long step = ParseLongPrefix(netcdf_name.substr(close_bracket + 1, 10)).value_or(0);
  netcdf_name.resize(open_bracket);
  const std::string& file = netcdf_name;

  const nc::NcFile& source = OpenFile(file);
  try {
    const FileSizes sizes = SizesOf(source);
    if (variable.empty()) {
      *log_ << "FATAL: No variable name given for reading from netCDF." << "[end-entry]";
      RaiseError(kOutputOrNetCDFError);
    }
    const nc::NcVar var = source.getVar(variable);
    if (var.isNull()) {
      *log_ << "FATAL: cannot find variable " << variable << " in file " << file << " for reading from netCDF."
            << "[end-entry]";
      RaiseError(kOutputOrNetCDFError);
    }
    if (!sizes.ncols || !sizes.nrows || *sizes.ncols == 0 || *sizes.nrows == 0 || *sizes.ncols > INT_MAX ||
        *sizes.nrows > INT_MAX) {
      Fail(file, "no dimensions named with x and y give the numbers of columns and rows");
    }
    const Unpacking unpack = UnpackingOf(var);
    const bool northward = RowsRunNorthward(source);

    const std::vector<nc::NcDim> dims = var.getDims();
    if (dims.size() != 3) {
      Fail(file, "variable " + variable + " has " + std::to_string(dims.size()) + " dimensions instead of 3");
    }
    const bool x_second = dims[1].getName() == "x";
    const bool x_third = dims[2].getName() == "x";
    const std::size_t ncols = *sizes.ncols;
    const std::size_t nrows = *sizes.nrows;
    const std::vector<std::size_t> count = x_second ? std::vector<std::size_t>{1, ncols, nrows}
                                                    : std::vector<std::size_t>{1, nrows, ncols};
    if (dims[1].getSize() != count[1] || dims[2].getSize() != count[2]) {
      Fail(file, "variable " + variable + " is not a grid of " + std::to_string(ncols) + " columns and " +
                     std::to_string(nrows) + " rows");
    }
    if (step < 0 || static_cast<unsigned long long>(step) >= dims[0].getSize()) {
      Fail(file, "time step " + std::to_string(step) + " of variable " + variable + " is not in the file (" +
                     std::to_string(dims[0].getSize()) + " steps)");
    }
    const std::vector<std::size_t> start{static_cast<std::size_t>(step), 0, 0};

    NetCDFGrid grid{std::vector<double>(nrows * ncols), static_cast<int>(nrows), static_cast<int>(ncols)};
    if (var.getType().getId() == NC_DOUBLE) {
      std::vector<double> stored(nrows * ncols);
      var.getVar(start, count, stored.data());
      Arrange<double>(stored, unpack, x_second, x_third, northward, grid);
    } else {
      std::vector<float> stored(nrows * ncols);
      var.getVar(start, count, stored.data());
      Arrange<float>(stored, unpack, x_second, x_third, northward, grid);
    }
    return grid;
  } catch (const std::exception& e) {
    Fail(file, e.what());
  }
}

}  // namespace tolvo
