#include "framework/netcdf_grid.h"

#include <gtest/gtest.h>
#include <netcdf.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <netcdf>
#include <optional>
#include <sstream>

#include "framework/error_code.h"
#include "framework/modelobject.h"
#include "support/test_support.h"

namespace tolvo {
namespace {

namespace nc = netCDF;
using test::CodeOf;
using test::TempDir;

// Standard output of a shell command.
std::string CommandOutput(const std::string& command) {
  std::string output;
  if (std::FILE* pipe = ::popen(command.c_str(), "r")) {
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
    ::pclose(pipe);
  }
  return output;
}

// "<stem><k>.nc" (built by appending: GCC 12 warns falsely on "literal" + std::string).
std::string NumberedFile(std::string stem, int k) {
  stem += std::to_string(k);
  stem += ".nc";
  return stem;
}

std::vector<double> ReadWholeVariable(const std::string& file, const std::string& name) {
  const nc::NcFile in(file, nc::NcFile::read);
  const nc::NcVar var = in.getVar(name);
  std::size_t n = 1;
  for (const nc::NcDim& dim : var.getDims()) n *= dim.getSize();
  std::vector<double> values(n);
  var.getVar(values.data());
  return values;
}

class NetCDFGridTest : public ::testing::Test {
 protected:
  NetCDFGridTest() : log_(dir_.file("diag.xml"), 4, console_) { std::filesystem::create_directories(dir_.path() / "out"); }

  // Whether the console shows the entry (the console drops the "FATAL: " prefix).
  bool Logged(std::string_view entry) const {
    constexpr std::string_view kFatal = "FATAL: ";
    EXPECT_TRUE(entry.starts_with(kFatal));
    entry.remove_prefix(kFatal.size());
    return console_.str().find(entry) != std::string::npos;
  }

  // A 2 x 3 model grid with its lower-left corner at (100, 200) and cells of 10 m.
  static GridGeometry SmallGeometry() { return {3, 2, 100.0, 200.0, 10.0, kNodata}; }

  TempDir dir_;
  std::ostringstream console_;
  DiagnosticsLog log_;
};

TEST(NetCDFNames, FileAndVariableNamesFollowThePath) {
  const struct {
    const char* path;
    const char* variable;
  } cases[] = {{"out/temp.asc", "temp"},       {"out/temp_max.asc", "temp"},  {"out/soil.moist_2.asc", "soil"},
               {"/data/run/snow.asc", "snow"}, {"C:\\run\\rain.asc", "rain"}, {"a_b/c\\d/evap", "evap"},
               {"plain", "plain"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(NetCDFVariableName(c.path), c.variable);
    EXPECT_EQ(NetCDFFileName(c.path), std::string(c.path) + ".nc");
  }
}

// Three writes of one grid give one variable with three time steps, laid out so that
// ncdump shows the dimensions, coordinates and attributes, and each step reads back.
TEST_F(NetCDFGridTest, RepeatedWritesAppendTimeStepsThatReadBack) {
  const GridGeometry g = SmallGeometry();
  const std::string path = dir_.file("out/temp.asc");
  NetCDFGridWriter writer(log_);
  Grid grid(1, 2, 3, 2);
  for (int step = 0; step < 3; ++step) {
    for (int r = 1; r <= 2; ++r) {
      for (int c = 1; c <= 3; ++c) grid(r, c) = 10 * r + c + 100 * step;
    }
    grid(2, 3) = kNodata;
    writer.WriteGrid(grid.view(), g, true, path);
  }
  const std::string file = path + ".nc";
  ASSERT_TRUE(std::filesystem::exists(file));
  EXPECT_TRUE(writer.HasCreated(file));

  const std::string header = CommandOutput("ncdump -hs " + file);
  for (const char* expected :
       {"\tx = 3 ;", "\ty = 2 ;", "\tt = UNLIMITED ; // (3 currently)", "\tdouble x(x) ;",
        "\t\tx:units = \"m East of reference point\" ;", "\tdouble y(y) ;",
        "\t\ty:units = \"m North of reference point\" ;", "\tdouble t(t) ;", "\tdouble temp(t, x, y) ;",
        "\t\ttemp:missing_value = -9999. ;", "\t\tx:_DeflateLevel = 9 ;", "\t\ty:_DeflateLevel = 9 ;",
        "\t\ttemp:_DeflateLevel = 9 ;", ":_Format = \"netCDF-4\" ;"}) {
    EXPECT_NE(header.find(expected), std::string::npos) << expected << "\n" << header;
  }
  EXPECT_EQ(header.find("t:_DeflateLevel"), std::string::npos) << "t is stored uncompressed";
  EXPECT_EQ(header.find("_Shuffle"), std::string::npos) << "no shuffle filter";

  // Column corners: x origin + i * cell size; rows from the north: 200 + (2 - 1 - i) * 10.
  EXPECT_EQ(ReadWholeVariable(file, "x"), (std::vector<double>{100, 110, 120}));
  EXPECT_EQ(ReadWholeVariable(file, "y"), (std::vector<double>{210, 200}));
  EXPECT_EQ(ReadWholeVariable(file, "t"), (std::vector<double>{0, 1, 2}));

  NetCDFGridReader reader(log_);
  for (int step = 0; step < 3; ++step) {
    SCOPED_TRACE(step);
    std::string netcdf_name = file + "<temp>" + std::to_string(step);
    const NetCDFGrid read = reader.Read(netcdf_name);
    EXPECT_EQ(netcdf_name, file);
    ASSERT_EQ(read.nrows, 2);
    ASSERT_EQ(read.ncols, 3);
    // Column order, northern row first: r1c1, r2c1, r1c2, r2c2, r1c3, r2c3.
    const double s = 100.0 * step;
    EXPECT_EQ(read.values, (std::vector<double>{11 + s, 21 + s, 12 + s, 22 + s, 13 + s, kNodata}));
  }
  std::string without_step = file + "<temp>";
  EXPECT_EQ(reader.Read(without_step).at(1, 1), 11.0);
  EXPECT_EQ(reader.open_file_count(), 1u);
}

// Levels 0..3 of a float stack become four time steps; a second write adds four more.
TEST_F(NetCDFGridTest, StackLevelsBecomeTimeSteps) {
  const GridGeometry g = SmallGeometry();
  const std::string path = dir_.file("out/soil.moist_2.stack");
  Stack stack(1, 2, 3, 3, 2);
  for (int r = 1; r <= 2; ++r) {
    for (int c = 1; c <= 3; ++c) {
      for (int l = 0; l <= 3; ++l) stack(r, c, l) = r + 0.25 * c + 10 * l;
    }
  }
  NetCDFGridWriter writer(log_);
  writer.WriteStack(stack.view(), 3, g, false, path);
  const std::string file = path + ".nc";
  std::string header = CommandOutput("ncdump -h " + file);
  EXPECT_NE(header.find("\tfloat soil(t, x, y) ;"), std::string::npos) << header;
  EXPECT_NE(header.find("(4 currently)"), std::string::npos) << header;

  NetCDFGridReader reader(log_);
  std::string netcdf_name = file + "<soil>2";
  const NetCDFGrid level2 = reader.Read(netcdf_name);
  for (int r = 1; r <= 2; ++r) {
    for (int c = 1; c <= 3; ++c) EXPECT_EQ(level2.at(r, c), r + 0.25 * c + 20) << r << "," << c;
  }
  // The library cannot open for writing a file that is held open for reading.
  reader.CloseAll();

  writer.WriteStack(stack.view(), 3, g, false, path);
  header = CommandOutput("ncdump -h " + file);
  EXPECT_NE(header.find("(8 currently)"), std::string::npos) << header;
  EXPECT_EQ(ReadWholeVariable(file, "t"), (std::vector<double>{0, 1, 2, 3, 4, 5, 6, 7}));
}

// Rows the caller does not hold are written as nodata; a file left by an earlier run is
// replaced by the first write.
TEST_F(NetCDFGridTest, MissingRowsBecomeNodataAndOldFilesAreReplaced) {
  const GridGeometry g{2, 3, 0.0, 0.0, 1.0, kNodata};
  const std::string path = dir_.file("out/runoff.asc");
  test::WriteFile(path + ".nc", "left over from an earlier run");
  Grid strip(2, 2, 2, 3);
  strip(2, 1) = 5;
  strip(2, 2) = 6;
  NetCDFGridWriter writer(log_);
  writer.WriteGrid(strip.view(), g, true, path);
  EXPECT_EQ(ReadWholeVariable(path + ".nc", "runoff"), (std::vector<double>{kNodata, 5, kNodata, kNodata, 6, kNodata}));
  EXPECT_EQ(ReadWholeVariable(path + ".nc", "t"), (std::vector<double>{0}));
}

// Latitude and longitude are stored once, with a new file, as (x, y) grids; the low-level
// attachment lasts for one write only.
TEST_F(NetCDFGridTest, LatitudeAndLongitudeAreStoredWithANewFile) {
  const GridGeometry g = SmallGeometry();
  Grid lat(1, 2, 3, 2);
  Grid lon(1, 2, 3, 2);
  for (int r = 1; r <= 2; ++r) {
    for (int c = 1; c <= 3; ++c) {
      lat(r, c) = 48 - 0.5 * r;
      lon(r, c) = 8 + 0.25 * c;
    }
  }
  Grid values(1, 2, 3, 2);
  NetCDFGridWriter writer(log_);
  const std::string path = dir_.file("out/snow.asc");
  writer.WriteGrid(values.view(), g, true, path, {lat.view(), lon.view()});
  writer.WriteGrid(values.view(), g, true, path, {lat.view(), lon.view()});
  const std::string header = CommandOutput("ncdump -h " + path + ".nc");
  for (const char* expected : {"\tdouble lat(x, y) ;", "\t\tlat:units = \"degrees north\" ;", "\tdouble lon(x, y) ;",
                               "\t\tlon:units = \"degrees east\" ;"}) {
    EXPECT_NE(header.find(expected), std::string::npos) << expected << "\n" << header;
  }
  EXPECT_EQ(ReadWholeVariable(path + ".nc", "lat"), (std::vector<double>{47.5, 47, 47.5, 47, 47.5, 47}));
  EXPECT_EQ(ReadWholeVariable(path + ".nc", "lon"), (std::vector<double>{8.25, 8.25, 8.5, 8.5, 8.75, 8.75}));

  const std::vector<double> column_order(6, 1.0);
  writer.AttachLatitude(column_order);
  writer.Write(std::span<const double>(column_order), dir_.file("out/a.nc"), "a", kNodata, 2, 3);
  writer.Write(std::span<const double>(column_order), dir_.file("out/b.nc"), "b", kNodata, 2, 3);
  EXPECT_NE(CommandOutput("ncdump -h " + dir_.file("out/a.nc")).find("double lat(x, y)"), std::string::npos);
  EXPECT_EQ(CommandOutput("ncdump -h " + dir_.file("out/b.nc")).find("lat"), std::string::npos);
}

// A second variable in a file this writer created starts at time step 0.
TEST_F(NetCDFGridTest, NewVariableInACreatedFileStartsAtStepZero) {
  const std::vector<double> first{1, 2, 3, 4, 5, 6};
  const std::vector<float> second{7, 8, 9, 10, 11, 12};
  const std::string file = dir_.file("out/two.nc");
  NetCDFGridWriter writer(log_);
  writer.Write(std::span<const double>(first), file, "one", kNodata, 2, 3);
  writer.Write(std::span<const float>(second), file, "two", kNodata, 2, 3);
  NetCDFGridReader reader(log_);
  std::string netcdf_name = file + "<two>0";
  EXPECT_EQ(reader.Read(netcdf_name).values, (std::vector<double>{7, 8, 9, 10, 11, 12}));
  EXPECT_NE(CommandOutput("ncdump -h " + file).find("\tfloat two(t, x, y) ;"), std::string::npos);
}

// Every failure of a write ends in the entry and code 26 and is not taken for a file to
// append to.
TEST_F(NetCDFGridTest, FailedWritesEndIn26) {
  const GridGeometry g = SmallGeometry();
  Grid grid(1, 2, 3, 2);
  const struct {
    const char* name;
    const char* path;
    std::function<void(const std::string& file)> before_second_write;
  } cases[] = {
      {"directory missing", "nowhere/temp.asc", nullptr},
      {"variable named like a coordinate", "out/x.asc", nullptr},
      {"file removed between writes", "out/gone.asc",
       [](const std::string& file) { std::filesystem::remove(file); }},
      {"file overwritten between writes", "out/spoilt.asc",
       [](const std::string& file) { test::WriteFile(file, "not netCDF"); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    NetCDFGridWriter writer(log_);
    const std::string path = dir_.file(c.path);
    const std::string file = path + ".nc";
    if (c.before_second_write) {
      writer.WriteGrid(grid.view(), g, true, path);
      c.before_second_write(file);
    }
    console_.str("");
    EXPECT_EQ(CodeOf([&] { writer.WriteGrid(grid.view(), g, true, path); }), 26);
    EXPECT_TRUE(Logged("FATAL: error creating " + file + " for writing in netCDF: ")) << console_.str();
    if (!c.before_second_write) {
      EXPECT_FALSE(writer.HasCreated(file));
    }
  }
}

TEST_F(NetCDFGridTest, BadSpecificationsAndMissingDataAreRefused) {
  const std::string file = dir_.file("out/temp.asc.nc");
  NetCDFGridWriter writer(log_);
  const std::vector<double> values(6, 1.0);
  writer.Write(std::span<const double>(values), file, "temp", kNodata, 2, 3);
  writer.AttachLatitude(values);
  writer.Write(std::span<const double>(values), dir_.file("out/lat.nc"), "v", kNodata, 2, 3);

  const struct {
    std::string netcdf_name;
    int code;
    std::string entry;
  } cases[] = {
      {file, 50, "FATAL: Give netcdf input files as filename<varname>timestep."},
      {"<temp>1", 50, "FATAL: Give netcdf input files as filename<varname>timestep."},
      {file + "<temp", 50, "FATAL: Give netcdf input files as filename<varname>timestep."},
      {file + ">temp<1", 50, "FATAL: Give netcdf input files as filename<varname>timestep."},
      {file + "<>0", 26, "FATAL: No variable name given for reading from netCDF."},
      {file + "<rain>0", 26, "FATAL: cannot find variable rain in file " + file + " for reading from netCDF."},
      {file + "<temp>1", 26, "FATAL: exception occured when reading from netCDF file " + file + ". Internal message is: "},
      {file + "<temp>-1", 26, "FATAL: exception occured when reading from netCDF file " + file + "."},
      {dir_.file("out/lat.nc") + "<lat>0", 26, "FATAL: exception occured when reading from netCDF file "},
      {dir_.file("none.nc") + "<temp>0", 26,
       "FATAL: exception occured when reading from netCDF file " + dir_.file("none.nc") + ". Internal message is: "},
  };
  NetCDFGridReader reader(log_);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.netcdf_name);
    console_.str("");
    std::string netcdf_name = c.netcdf_name;
    EXPECT_EQ(CodeOf([&] { reader.Read(netcdf_name); }), c.code);
    EXPECT_TRUE(Logged(c.entry)) << console_.str();
  }
}

// A hand-made file with the given dimension names and sizes and one variable "v".
struct HandMadeFile {
  std::vector<std::pair<std::string, std::size_t>> dims;  // file dimensions
  std::vector<std::string> var_dims;                      // dimensions of "v"
  std::optional<std::vector<double>> y;                   // values of the variable "y"
  std::vector<double> stored;                             // one time step of "v"
};

void Make(const std::string& path, const HandMadeFile& spec, const nc::NcType& type = nc::ncDouble,
          const std::function<void(const nc::NcVar&)>& attributes = nullptr) {
  nc::NcFile out(path, nc::NcFile::replace, nc::NcFile::nc4);
  for (const auto& [name, size] : spec.dims) {
    if (size == 0) {
      out.addDim(name);
    } else {
      out.addDim(name, size);
    }
  }
  if (spec.y) out.addVar("y", nc::ncDouble, out.getDim("y")).putVar(spec.y->data());
  std::vector<nc::NcDim> var_dims;
  for (const std::string& name : spec.var_dims) var_dims.push_back(out.getDim(name));
  const nc::NcVar v = out.addVar("v", type, var_dims);
  if (attributes) attributes(v);
  std::vector<std::size_t> count{1};
  for (std::size_t d = 1; d < spec.var_dims.size(); ++d) count.push_back(out.getDim(spec.var_dims[d]).getSize());
  v.putVar({0, 0, 0}, count, spec.stored.data());
  out.close();
}

// The grid of 3 rows and 2 columns with value 10 r + c (row 1 north), in column order.
const std::vector<double> kExpected{11, 21, 31, 12, 22, 32};

// The reader brings every dimension order and "y" direction into column order, north first.
TEST_F(NetCDFGridTest, RowsAndColumnsComeOutNorthFirstInColumnOrder) {
  const std::vector<std::pair<std::string, std::size_t>> dims{{"t", 0}, {"x", 2}, {"y", 3}};
  const struct {
    const char* name;
    std::vector<std::string> var_dims;
    std::optional<std::vector<double>> y;
    std::vector<double> stored;
  } cases[] = {
      {"(t,y,x), y rising: transpose and reverse", {"t", "y", "x"}, std::vector<double>{0, 1, 2},
       {31, 32, 21, 22, 11, 12}},
      {"(t,y,x), y falling: transpose", {"t", "y", "x"}, std::vector<double>{2, 1, 0}, {11, 12, 21, 22, 31, 32}},
      {"(t,y,x), y falling within one unit", {"t", "y", "x"}, std::vector<double>{0.75, 0.5, 0.25},
       {11, 12, 21, 22, 31, 32}},
      {"(t,x,y), y rising: reverse the columns", {"t", "x", "y"}, std::vector<double>{0, 1, 2},
       {31, 21, 11, 32, 22, 12}},
      {"(t,x,y), y falling: as stored", {"t", "x", "y"}, std::vector<double>{2, 1, 0}, {11, 21, 31, 12, 22, 32}},
      {"(t,x,y), no y: taken as rising", {"t", "x", "y"}, std::nullopt, {31, 21, 11, 32, 22, 12}},
  };
  NetCDFGridReader reader(log_);
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string file = dir_.file(NumberedFile("case", n++));
    Make(file, {dims, c.var_dims, c.y, c.stored});
    std::string netcdf_name = file + "<v>0";
    const NetCDFGrid grid = reader.Read(netcdf_name);
    EXPECT_EQ(grid.nrows, 3);
    EXPECT_EQ(grid.ncols, 2);
    EXPECT_EQ(grid.values, kExpected);
  }

  // A single row has no second "y" value to compare and nothing to reverse.
  const std::string single = dir_.file("single.nc");
  Make(single, {{{"t", 0}, {"x", 2}, {"y", 1}}, {"t", "y", "x"}, std::vector<double>{5}, {1, 2}});
  std::string netcdf_name = single + "<v>0";
  const NetCDFGrid row = reader.Read(netcdf_name);
  EXPECT_EQ(row.nrows, 1);
  EXPECT_EQ(row.values, (std::vector<double>{1, 2}));
}

// Dimensions that give no numbers of rows and columns, or a variable whose shape differs
// from them, are refused rather than read as a wrong grid.
TEST_F(NetCDFGridTest, FilesWithoutGridSizesAreRefused) {
  const struct {
    const char* name;
    HandMadeFile file;
  } cases[] = {
      {"time, lat, lon", {{{"time", 0}, {"lat", 3}, {"lon", 2}}, {"time", "lat", "lon"}, std::nullopt, kExpected}},
      {"variable on other dimensions", {{{"t", 0}, {"x", 2}, {"y", 3}, {"z", 6}}, {"t", "y", "z"}, std::nullopt,
                                        std::vector<double>(18, 1.0)}},
  };
  NetCDFGridReader reader(log_);
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string file = dir_.file(NumberedFile("nosize", n++));
    Make(file, c.file);
    console_.str("");
    std::string netcdf_name = file + "<v>0";
    EXPECT_EQ(CodeOf([&] { reader.Read(netcdf_name); }), 26);
    EXPECT_TRUE(Logged("FATAL: exception occured when reading from netCDF file " + file + ". Internal message is: "))
        << console_.str();
  }
}

// Scale and offset unpack real data only; missing and fill values become the model nodata.
TEST_F(NetCDFGridTest, ScaleAndOffsetApplyToRealDataOnly) {
  const struct {
    const char* name;
    const nc::NcType* type;
    double fill;  // fill value stored in the third cell
    bool fill_attribute;
  } cases[] = {
      {"double, default fill", &nc::ncDouble, NC_FILL_DOUBLE, false},
      {"float, default fill", &nc::ncFloat, static_cast<double>(NC_FILL_FLOAT), false},
      {"short, _FillValue", &nc::ncShort, -32000, true},
  };
  NetCDFGridReader reader(log_);
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string file = dir_.file(NumberedFile("packed", n++));
    // 3 rows x 1 column stored as (t, x, y), "y" falling from the north: 100, missing, fill.
    Make(file, {{{"t", 0}, {"x", 1}, {"y", 3}}, {"t", "x", "y"}, std::vector<double>{3, 2, 1}, {100, -9999, c.fill}},
         *c.type, [&](const nc::NcVar& v) {
           v.putAtt("scale_factor", nc::ncDouble, 0.1);
           v.putAtt("add_offset", nc::ncDouble, 273.15);
           v.putAtt("missing_value", *c.type, -9999.0);
           if (c.fill_attribute) v.putAtt("_FillValue", *c.type, c.fill);
         });
    std::string netcdf_name = file + "<v>0";
    const NetCDFGrid grid = reader.Read(netcdf_name);
    ASSERT_EQ(grid.values.size(), 3u);
    EXPECT_NEAR(grid.values[0], 283.15, 1e-9);  // 100 * 0.1 + 273.15
    EXPECT_EQ(grid.values[1], kNodata);
    EXPECT_EQ(grid.values[2], kNodata);
  }
}

TEST_F(NetCDFGridTest, AtMost200FilesAreHeldOpen) {
  const std::string first = dir_.file("f0.nc");
  NetCDFGridWriter writer(log_);
  writer.Write(std::span<const double>(kExpected), first, "v", kNodata, 3, 2);
  for (int k = 1; k <= 200; ++k) std::filesystem::copy_file(first, dir_.file(NumberedFile("f", k)));

  NetCDFGridReader reader(log_);
  const auto read = [&](int k) {
    std::string netcdf_name = dir_.file(NumberedFile("f", k)) + "<v>0";
    return reader.Read(netcdf_name);
  };
  for (int k = 0; k < 200; ++k) read(k);
  EXPECT_EQ(reader.open_file_count(), 200u);
  EXPECT_EQ(read(0).values, kExpected) << "an open file is read again";
  EXPECT_EQ(CodeOf([&] { read(200); }), 1100);
  EXPECT_TRUE(Logged("FATAL: more than 200 different netCDF files can not be hold open at the same time. If you read "
                     "time series of input grids from netCDF, please put all the single nc files into one large file "
                     "or into some groups of files"));
  reader.CloseAll();
  EXPECT_EQ(reader.open_file_count(), 0u);
  EXPECT_EQ(read(200).values, kExpected);
}

}  // namespace
}  // namespace tolvo
