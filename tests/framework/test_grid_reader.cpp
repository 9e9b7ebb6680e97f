#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <sstream>
#include <vector>

#include "framework/error_code.h"
#include "framework/gif_test_image.h"
#include "framework/grid_reader.h"
#include "framework/grid_table.h"
#include "framework/modelobject.h"
#include "framework/netcdf_grid.h"
#include "support/test_support.h"

namespace tolvo {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

constexpr double N = kNodata;

// The values of the fixtures grid_reader_4x3.{asc,flt,dbl}: every value exact in binary32.
const std::vector<std::vector<double>> kFixtureValues{
    {1.5, 2.25, N, 4}, {5, 6.5, 7.75, 8}, {-1.25, 0, 10, 12.5}};

std::string Fixture(const std::string& extension) {
  return std::string(TOLVO_TEST_DATA) + "/framework/data/grid_reader_4x3." + extension;
}

std::string AsciiGrid(const std::string& header, const std::vector<std::vector<double>>& rows) {
  std::ostringstream text;
  text << header;
  for (const auto& row : rows) {
    for (double value : row) text << value << "\t";
    text << "\n";
  }
  return text.str();
}

const std::string kHeader4x3 =
    "ncols\t4\nnrows\t3\nxllcorner\t1000.5\nyllcorner\t2000.25\ncellsize\t100\nnodata_value\t-9999\n";

template <typename T>
std::string BinaryGrid(std::vector<double> header, const std::vector<std::vector<double>>& rows) {
  header.resize(kGridHeaderCount, 0.0);
  std::vector<T> numbers(header.begin(), header.end());
  for (const auto& row : rows) numbers.insert(numbers.end(), row.begin(), row.end());
  return std::string(reinterpret_cast<const char*>(numbers.data()), numbers.size() * sizeof(T));
}

std::vector<std::vector<double>> Values(const Grid& grid, RowRange rows) {
  std::vector<std::vector<double>> values;
  for (int r = rows.first; r <= rows.last; ++r) {
    values.emplace_back();
    for (int c = 1; c <= grid.ncols(); ++c) values.back().push_back(grid(r, c));
  }
  return values;
}

// Runs the test's body in a folder of its own, for the model log "modell_0.log".
class InFolder {
 public:
  explicit InFolder(const fs::path& folder) : previous_(fs::current_path()) { fs::current_path(folder); }
  ~InFolder() { fs::current_path(previous_); }

 private:
  fs::path previous_;
};

class GridReaderTest : public ::testing::Test {
 protected:
  GridReaderTest() {
    object_.set_name("test_model");
    SetGeometry({4, 3, 1000.5, 2000.25, 100, N});
  }

  // A model grid of the geometry whose zone grid (entry 1) holds every cell.
  void SetGeometry(const GridGeometry& geometry) {
    object_.set_geometry(geometry);
    object_.set_strip({1, geometry.nrows});
    zone_ = Grid(1, geometry.nrows, geometry.ncols, geometry.nrows);
    zone_.fill(1.0);
    table_.zone_grid().values = zone_.view();
    table_.zone_grid().file_name = "zone.asc";
    object_.set_grid_table(&table_);
  }

  // The error code of the read, 0 when it succeeds.
  int Read(const std::string& name, Grid& target, const GridReadOptions& options) {
    try {
      ReadGrid(object_.grid_input(), name, target, options);
    } catch (const ErrorCode& error) {
      return error.code;
    }
    return 0;
  }

  std::string Write(const std::string& name, const std::string& content) {
    WriteFile(dir_.file(name), content);
    return dir_.file(name);
  }

  std::string Console() const { return console_.str(); }

  TempDir dir_;
  std::ostringstream console_;
  DiagnosticsLog log_{dir_.file("diag.xml"), 4, console_};
  modelobject object_{log_, "control.txt"};
  grid_table table_;
  Grid zone_;
};

TEST_F(GridReaderTest, AsciiFloatAndDoubleFixturesGiveTheSameValues) {
  struct Case {
    const char* extension;
    GridReadOptions options;
  };
  const std::vector<Case> cases{
      {"asc", {.allocate = true, .whole_on_process0 = true}},
      {"dbl", {.allocate = true, .whole_on_process0 = true}},
      {"flt", {.allocate = true, .whole_on_process0 = true}},
      // Fill mode 0 and not whole on process 0: every process reads its own rows.
      {"dbl", {.allocate = true}},
      {"flt", {.allocate = true}},
      // A fill mode other than 0, 1, 2 fills nothing and reads the grid whole.
      {"flt", {.fill_mode = 7, .allocate = true}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.extension);
    Grid grid;
    ASSERT_EQ(Read(Fixture(c.extension), grid, c.options), 0) << Console();
    EXPECT_EQ(Values(grid, {1, 3}), kFixtureValues);
    // The header keeps the corner coordinates cut to their whole numbers.
    const GridFileHeader& header = object_.grid_file_header();
    EXPECT_EQ((std::vector<double>(header.values.begin(), header.values.begin() + 6)),
              (std::vector<double>{4, 3, 1000, 2000, 100, -9999}));
    struct sigaction action {};
    sigaction(SIGINT, nullptr, &action);
    EXPECT_EQ(action.sa_handler, SIG_DFL);
  }
}

TEST_F(GridReaderTest, RecognitionAndHeaderFaults) {
  const std::string other_nodata = BinaryGrid<double>({4, 3, 1000.5, 2000.25, 100, -9998}, kFixtureValues);
  std::string short_double = BinaryGrid<double>({4, 3, 1000.5, 2000.25, 100, N}, kFixtureValues);
  short_double.resize(short_double.size() - sizeof(double));
  const std::string short_float_header =
      BinaryGrid<float>({4, 3, 1000.5, 2000.25, 100, N}, {}).substr(0, 10 * sizeof(float));
  const std::string short_double_header =
      BinaryGrid<double>({4, 3, 1000.5, 2000.25, 100, N}, {}).substr(0, 8 * sizeof(double));

  struct Case {
    const char* label;
    std::string content;
    GridReadOptions options;
    int code;
    std::string entry;  // as the console shows it, the path written as <path>
  };
  const GridReadOptions whole{.allocate = true, .whole_on_process0 = true};
  const GridReadOptions parallel{.allocate = true};
  const std::vector<Case> cases{
      {"capital keywords", AsciiGrid("NCOLS 4\nNROWS 3\nXLLCORNER 1000.5\nYLLCORNER 2000.25\nCELLSIZE 100\n"
                                     "NODATA_VALUE -9999\n", kFixtureValues),
       whole, 0, ""},
      {"mixed-case keyword", AsciiGrid("Ncols 4\nnrows 3\nxllcorner 1000.5\nyllcorner 2000.25\ncellsize 100\n"
                                       "nodata_value -9999\n", kFixtureValues),
       whole, kGridReadError,
       "could not recognise file format (neither ascii, nor single, double, or GIF) for <path>"},
      {"binary nodata -9998", other_nodata, whole, kGridReadError, "could not recognise file format"},
      {"ascii header value missing",
       "ncols 4\nnrows 3\nxllcorner 1000.5\nyllcorner south\ncellsize 100\nnodata_value -9999\n", whole,
       kGridReadError, "error reading ascii value #4 from <path>"},
      {"ascii value missing", AsciiGrid(kHeader4x3, {{1, 2, 3, 4}, {5, 6, 7, 8}, {9, 10, 11}}), whole,
       kGridReadError, "error reading ascii grid <path> in ASCII-Format in row 3, col 4"},
      {"ascii value not a number", kHeader4x3 + "1 2 3 4 5 6 x 8 9 10 11 12", whole, kGridReadError,
       "in ASCII-Format in row 2, col 3"},
      {"double grid one value short, whole", short_double, whole, kGridReadError, "error reading double grid <path>"},
      {"double grid one value short, own rows", short_double, parallel, kGridReadError,
       "error reading double grid <path>"},
      {"double header short", short_double_header, whole, kGridReadError,
       "error reading double value from the header of <path>"},
      {"float header short", short_float_header, whole, kGridReadError,
       "error reading double value #11 from the header of <path>"},
      {"GIF image", "GIF89a\x04\x00\x03\x00", whole, kGridReadError, "error reading GIF <path> ("},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    console_.str("");
    const std::string path = Write("grid.in", c.content);
    Grid grid;
    EXPECT_EQ(Read(path, grid, c.options), c.code) << Console();
    std::string entry = c.entry;
    if (const std::size_t at = entry.find("<path>"); at != std::string::npos) entry.replace(at, 6, path);
    EXPECT_NE(Console().find(entry), std::string::npos) << Console();
  }
}

TEST_F(GridReaderTest, CellsThatHoldNoUsableNumberAreRefused) {
  const GridReadOptions whole{.allocate = true, .whole_on_process0 = true};
  const GridReadOptions parallel{.allocate = true};
  std::vector<std::vector<double>> nan_cell = kFixtureValues;
  nan_cell[1][2] = std::nan("");
  std::vector<std::vector<double>> infinite_cell = kFixtureValues;
  infinite_cell[2][0] = -HUGE_VAL;
  struct Case {
    const char* label;
    std::string content;
    GridReadOptions options;
    std::string entry;  // the path written as <path>
  };
  const std::vector<Case> cases{
      {"ascii nan", kHeader4x3 + "1 2 3 4\n5 6 nan 8\n9 10 11 12\n", whole, "<path> in row 2, col 3: nan is no usable"},
      {"ascii infinity", kHeader4x3 + "1 2 3 4\n5 6 7 8\n9 inf 11 12\n", whole, "<path> in row 3, col 2: inf is no"},
      {"ascii 1e300", kHeader4x3 + "1e300 2 3 4\n5 6 7 8\n9 10 11 12\n", whole, "<path> in row 1, col 1: 1e+300 is no"},
      {"double NaN, whole", BinaryGrid<double>({4, 3, 1000.5, 2000.25, 100, N}, nan_cell), whole,
       "<path> in row 2, col 3: nan"},
      {"double NaN, own rows", BinaryGrid<double>({4, 3, 1000.5, 2000.25, 100, N}, nan_cell), parallel,
       "<path> in row 2, col 3: nan"},
      {"float infinity, own rows", BinaryGrid<float>({4, 3, 1000.5, 2000.25, 100, N}, infinite_cell), parallel,
       "<path> in row 3, col 1: -inf"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    console_.str("");
    const std::string path = Write("grid.in", c.content);
    Grid grid;
    EXPECT_EQ(Read(path, grid, c.options), kGridReadError);
    std::string entry = "error reading grid " + c.entry;
    entry.replace(entry.find("<path>"), 6, path);
    EXPECT_NE(Console().find(entry), std::string::npos) << Console();
  }
  // The file's own nodata value stays acceptable, however large.
  console_.str("");
  const std::string path = Write("nodata.asc", "ncols 4\nnrows 3\nxllcorner 1000.5\nyllcorner 2000.25\ncellsize 100\n"
                                               "nodata_value -1e300\n1 2 3 4\n5 -1e300 7 8\n9 10 11 12\n");
  Grid grid;
  EXPECT_EQ(Read(path, grid, whole), 0) << Console();
  EXPECT_EQ(grid(2, 2), -1e300);
}

TEST_F(GridReaderTest, HeaderIsCheckedAgainstTheFileSizeBeforeMemoryIsTaken) {
  // A model of 60000 x 60000 cells: the grid's matrix would take about 29 GB.
  SetGeometry({4, 3, 1000.5, 2000.25, 100, N});
  object_.set_geometry({60000, 60000, 1000.5, 2000.25, 100, N});
  const std::string big_header =
      "ncols 60000\nnrows 60000\nxllcorner 1000.5\nyllcorner 2000.25\ncellsize 100\nnodata_value -9999\n";
  std::string ascii = big_header;
  while (ascii.size() < 1024) ascii += "1 ";
  ascii.resize(1024);
  struct Case {
    const char* label;
    std::string content;
    std::string entry;
  };
  const std::vector<Case> cases{
      {"ascii", ascii,
       "error reading ascii grid <path>: the header declares 60000 x 60000 cells as ASCII numbers, which take "
       "at least 7199999999 bytes, but the file has 1024 bytes"},
      {"float", BinaryGrid<float>({60000, 60000, 1000.5, 2000.25, 100, N}, {{1, 2, 3}}),
       "error reading double grid <path>: the header declares 60000 x 60000 cells of 4 bytes, which take "
       "exactly 14400000048 bytes, but the file has 60 bytes"},
  };
  for (const Case& c : cases) {
    for (const GridReadOptions& options : {GridReadOptions{.allocate = true, .whole_on_process0 = true},
                                           GridReadOptions{.allocate = true}}) {
      SCOPED_TRACE(c.label);
      console_.str("");
      const std::string path = Write("big.in", c.content);
      Grid grid;
      EXPECT_EQ(Read(path, grid, options), kGridReadError);
      EXPECT_TRUE(grid.empty());
      std::string entry = c.entry;
      entry.replace(entry.find("<path>"), 6, path);
      EXPECT_NE(Console().find(entry), std::string::npos) << Console();
    }
  }
  // A binary grid longer than its header declares is refused as well.
  SetGeometry({4, 3, 1000.5, 2000.25, 100, N});
  console_.str("");
  const std::string path = Write("long.dbl", BinaryGrid<double>({4, 3, 1000.5, 2000.25, 100, N}, kFixtureValues) +
                                                 std::string(8, '\0'));
  Grid grid;
  EXPECT_EQ(Read(path, grid, {.allocate = true}), kGridReadError);
  EXPECT_NE(Console().find("which take exactly 192 bytes, but the file has 200 bytes"), std::string::npos);
}

TEST_F(GridReaderTest, GeometryCheck) {
  struct Case {
    const char* label;
    const char* header;
    int code;
  };
  const std::vector<Case> cases{
      {"same", "ncols 4\nnrows 3\nxllcorner 1000.5\nyllcorner 2000.25\ncellsize 100\nnodata_value -9999\n", 0},
      {"other fraction of the corner", "ncols 4.7\nnrows 3\nxllcorner 1000.99\nyllcorner 2000\ncellsize 100\n"
                                       "nodata_value -9999\n", 0},
      {"nodata below the model's", "ncols 4\nnrows 3\nxllcorner 1000\nyllcorner 2000\ncellsize 100\n"
                                   "nodata_value -99999\n", 0},
      {"cell size off in the last digit", "ncols 4\nnrows 3\nxllcorner 1000\nyllcorner 2000\n"
                                          "cellsize 100.00000000000001\nnodata_value -9999\n", kGridGeometryError},
      {"nodata above the model's", "ncols 4\nnrows 3\nxllcorner 1000\nyllcorner 2000\ncellsize 100\n"
                                   "nodata_value -9998\n", kGridGeometryError},
      {"other corner", "ncols 4\nnrows 3\nxllcorner 1001\nyllcorner 2000\ncellsize 100\nnodata_value -9999\n",
       kGridGeometryError},
      {"other row count", "ncols 4\nnrows 4\nxllcorner 1000\nyllcorner 2000\ncellsize 100\nnodata_value -9999\n",
       kGridGeometryError},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Grid grid;
    EXPECT_EQ(Read(Write("g.asc", AsciiGrid(c.header, kFixtureValues)), grid,
                   {.allocate = true, .whole_on_process0 = true}),
              c.code)
        << Console();
  }
}

TEST_F(GridReaderTest, GeometryEntryNamesBothFilesAndEveryValue) {
  const std::string zone_file = "/a/long/folder/name/for/the/zone/grid/zones.asc";
  table_.zone_grid().file_name = zone_file;
  const std::string path = Write("a_grid_file_with_a_rather_long_name.asc",
                                 AsciiGrid("ncols 4\nnrows 3\nxllcorner 1000.5\nyllcorner 2000.25\n"
                                           "cellsize 50\nnodata_value -9999\n",
                                           kFixtureValues));
  Grid grid;
  EXPECT_EQ(Read(path, grid, {.allocate = true}), kGridGeometryError);
  const std::string expected = path + " has not the specified grid measures (in test_model)!\n" +
                               zone_file.substr(zone_file.size() - 35) + " " + path.substr(path.size() - 35) + "\n" +
                               "4 4\n3 3\n1000.5 1000\n2000.25 2000\n100 50\n-9999 -9999\n";
  EXPECT_NE(Console().find(expected), std::string::npos) << Console();
}

TEST_F(GridReaderTest, MissingFileIsTriedSixTimesThenFails) {
  const std::string path = dir_.file("missing.asc");
  Grid grid;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Read(path, grid, {.allocate = true}), kGridOpenError);
  const auto waited = std::chrono::steady_clock::now() - start;
  std::string expected;
  for (int n = 5; n >= 1; --n) {
    expected += "error opening " + path + ". Will try again in 200 ms... (retriesleft = " + std::to_string(n) +
                ")\n(mpi-rank  0) ";
  }
  expected += "still error opening " + path + " - no retry.\n";
  EXPECT_NE(Console().find(expected), std::string::npos) << Console();
  // Five pauses of 200 ms between the six tries.
  EXPECT_GE(waited, std::chrono::milliseconds(5 * kGridRetryPauseMs));
  EXPECT_NE(ReadFile(dir_.file("diag_0.xml")).find("level=\"0\" description= \"still error opening"),
            std::string::npos);
}

TEST_F(GridReaderTest, NodataOfTheFileBecomesModelNodataOnlyWhenFilling) {
  const std::string path = Write("g.asc", AsciiGrid("ncols 4\nnrows 3\nxllcorner 1000\nyllcorner 2000\n"
                                                    "cellsize 100\nnodata_value -99999\n",
                                                    {{1, 2, -99999, 4}, {5, 6, 7, 8}, {9, 10, 11, 12}}));
  InFolder folder(dir_.path());
  Grid grid;
  ASSERT_EQ(Read(path, grid, {.allocate = true, .whole_on_process0 = true}), 0);
  EXPECT_EQ(grid(1, 3), -99999);
  // In fill mode 2 the cell is a hole of the domain and takes the default value.
  ASSERT_EQ(Read(path, grid, {.fill_mode = kFillWithDefault, .allocate = true, .default_value = 42,
                              .whole_on_process0 = true}),
            0);
  EXPECT_EQ(grid(1, 3), 42);
  // Outside the domain it stays nodata, now the model's.
  zone_(1, 3) = N;
  ASSERT_EQ(Read(path, grid, {.fill_mode = kFillWithDefault, .allocate = true, .whole_on_process0 = true}), 0);
  EXPECT_EQ(grid(1, 3), N);
}

TEST(RingSearch, WindowWidensDownwardsFromTheHole) {
  // A 7 x 7 grid of nodata with one valid cell at (4 + dr, 4 + dc); the hole is (4, 4).
  // The window of radius k covers, in its m-th row (row 4 - k + m), columns 4 - m .. 4 + m.
  struct Case {
    int dr;
    int dc;
    int radius;
  };
  const std::vector<Case> cases{
      {-1, 0, 1},  // straight above: the single column of the top row
      {-1, 1, 2},  // above right: only in the second row of radius 2
      {0, -1, 1},  // left: the middle row of radius 1 spans 3..5
      {1, 2, 1},   // below, two right: the bottom row of radius 1 spans 2..6
      {1, 3, 2},   // below, three right: row 5 is the fourth row of radius 2, spanning 1..7
      {-2, -1, 3}, // two above, one left: the second row of radius 3
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.dr << "/" << c.dc);
    Grid grid(1, 7, 7, 7);
    grid.fill(N);
    grid(4 + c.dr, 4 + c.dc) = 3.5;
    const std::optional<RingValue> found = RingSearch(std::as_const(grid).view(), 4, 4, 7, 7, N);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->value, 3.5);
    EXPECT_EQ(found->radius, c.radius);
  }
  // Two cells of one radius: the upper row is scanned first.
  Grid grid(1, 7, 7, 7);
  grid.fill(N);
  grid(5, 4) = 8;
  grid(4, 3) = 7;
  EXPECT_EQ(RingSearch(std::as_const(grid).view(), 4, 4, 7, 7, N)->value, 7);
}

TEST_F(GridReaderTest, StrictFillTakesTheFirstCellOfTheRingAndLogsIt) {
  InFolder folder(dir_.path());
  Grid grid;
  const std::string path = Fixture("asc");
  ASSERT_EQ(Read(path, grid, {.fill_mode = kFillFromNeighbours, .allocate = true, .log = true,
                              .strict_fill = true, .whole_on_process0 = true}),
            0)
      << Console();
  // The hole (1, 3): radius 1 scans (row 1, columns 2..4) first, and (1, 2) holds 2.25.
  std::vector<std::vector<double>> expected = kFixtureValues;
  expected[0][2] = 2.25;
  EXPECT_EQ(Values(grid, {1, 3}), expected);
  EXPECT_NE(Console().find("... " + path + " checking nodata values and replace"), std::string::npos);
  EXPECT_NE(Console().find("y: 1 x: 3in " + path + ": -9999 replaced by 2.25"), std::string::npos) << Console();
  EXPECT_NE(Console().find("In " + path + ": 1 nodata values replaced!"), std::string::npos);
  EXPECT_EQ(ReadFile(dir_.file("modell_0.log")),
            "y: 1 x: 3  in " + path + " -9999.000000 replaced by 2.250000!\n" + "in " + path +
                ": 1 nodata values replaced!\n\n");
}

TEST_F(GridReaderTest, DefaultFillAndCellsOutsideTheDomain) {
  InFolder folder(dir_.path());
  struct Case {
    const char* label;
    GridReadOptions options;
    bool hole_in_domain;
    std::vector<std::vector<double>> expected;
  };
  // (3, 1) lies outside the domain; (1, 3) is nodata in the file.
  const std::vector<Case> cases{
      {"mode 2", {.fill_mode = 2, .allocate = true, .default_value = 42, .whole_on_process0 = true}, true,
       {{1.5, 2.25, 42, 4}, {5, 6.5, 7.75, 8}, {N, 0, 10, 12.5}}},
      {"mode 1 without strict fill",
       {.fill_mode = 1, .allocate = true, .default_value = 42, .whole_on_process0 = true}, true,
       {{1.5, 2.25, 42, 4}, {5, 6.5, 7.75, 8}, {N, 0, 10, 12.5}}},
      // Without a hole the grid keeps its values, also outside the domain.
      {"no hole", {.fill_mode = 2, .allocate = true, .default_value = 42, .whole_on_process0 = true}, false,
       kFixtureValues},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    zone_.fill(1.0);
    zone_(3, 1) = N;
    if (!c.hole_in_domain) zone_(1, 3) = N;
    Grid grid;
    ASSERT_EQ(Read(Fixture("asc"), grid, c.options), 0) << Console();
    EXPECT_EQ(Values(grid, {1, 3}), c.expected);
  }
}

TEST_F(GridReaderTest, HoleTooBigForTheRingSearchFails) {
  // Two columns, twelve rows; only row 12 holds values, 11 rows below the first hole.
  SetGeometry({2, 12, 0, 0, 10, N});
  std::vector<std::vector<double>> rows(12, {N, N});
  rows[11] = {1, 2};
  const std::string path =
      Write("g.asc", AsciiGrid("ncols 2\nnrows 12\nxllcorner 0\nyllcorner 0\ncellsize 10\nnodata_value -9999\n", rows));
  InFolder folder(dir_.path());
  Grid grid;
  EXPECT_EQ(Read(path, grid, {.fill_mode = 1, .allocate = true, .strict_fill = true, .whole_on_process0 = true}),
            kGridHoleError);
  EXPECT_NE(Console().find("In " + path + " is a too big hole at x/y = 1/1!"), std::string::npos) << Console();
  EXPECT_EQ(ReadFile(dir_.file("modell_0.log")), "In " + path + " is a too big hole at x/y = 1/1\n!\n");
  // One row nearer, the hole is filled at radius 10.
  rows[10] = {3, 4};
  WriteFile(path, AsciiGrid("ncols 2\nnrows 12\nxllcorner 0\nyllcorner 0\ncellsize 10\nnodata_value -9999\n", rows));
  EXPECT_EQ(Read(path, grid, {.fill_mode = 1, .allocate = true, .strict_fill = true, .whole_on_process0 = true}), 0);
  EXPECT_EQ(grid(1, 1), 3);
}

TEST_F(GridReaderTest, ModelLogThatCannotBeOpenedFailsTheFill) {
  fs::create_directory(dir_.file("modell_0.log"));
  InFolder folder(dir_.path());
  Grid grid;
  EXPECT_EQ(Read(Fixture("asc"), grid, {.fill_mode = 2, .allocate = true, .whole_on_process0 = true}),
            kModelLogOpenError);
  EXPECT_NE(Console().find("error opening log file modell_0.log"), std::string::npos);
}

TEST_F(GridReaderTest, RowsKeptByTheProcess) {
  object_.set_strip({2, 3});
  struct Case {
    const char* label;
    std::string extension;
    GridReadOptions options;
    RowRange rows;
  };
  const std::vector<Case> cases{
      {"whole read, own rows", "asc", {.allocate = true}, {2, 3}},
      {"whole read, halo row above", "asc", {.allocate = true, .halo_rows = true}, {1, 3}},
      {"whole read kept whole", "asc", {.allocate = true, .whole_on_process0 = true}, {1, 3}},
      {"own rows read directly", "flt", {.allocate = true}, {2, 3}},
      {"own rows read directly, halo row", "dbl", {.allocate = true, .halo_rows = true}, {1, 3}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Grid grid;
    ASSERT_EQ(Read(Fixture(c.extension), grid, c.options), 0) << Console();
    EXPECT_EQ(grid.rows().first, c.rows.first);
    EXPECT_EQ(grid.rows().last, c.rows.last);
    EXPECT_EQ(Values(grid, c.rows),
              (std::vector<std::vector<double>>(kFixtureValues.begin() + c.rows.first - 1, kFixtureValues.end())));
  }
}

TEST_F(GridReaderTest, MatrixGivenByTheCallerIsFilledInPlace) {
  object_.set_strip({2, 3});
  // A grid published with the rows of this process only: the whole read must not write
  // beyond them, nor replace the matrix that the grid table refers to.
  Grid grid(2, 3, 4, 3);
  grid.fill(0);
  table_[5].values = grid.view();
  const double* row2 = grid[2];
  ASSERT_EQ(Read(Fixture("asc"), grid, {.fill_mode = 2}), 0) << Console();
  EXPECT_EQ(grid[2], row2);
  EXPECT_EQ(Values(grid, {2, 3}), (std::vector<std::vector<double>>{kFixtureValues[1], kFixtureValues[2]}));

  Grid none;
  EXPECT_EQ(Read(Fixture("asc"), none, {}), kGridReadError);
  EXPECT_NE(Console().find("error reading grid " + Fixture("asc") +
                           " no memory allocated (pointer given to function is NULL)"),
            std::string::npos);
}

TEST_F(GridReaderTest, NetCdfGridIsReadByVariableAndTimeStep) {
  // Column order: all rows of column 1 from north to south, then column 2, ...
  std::vector<double> step0;
  std::vector<double> step1;
  for (int c = 1; c <= 4; ++c) {
    for (int r = 1; r <= 3; ++r) {
      step0.push_back(10 * r + c);
      step1.push_back(100 * r + c);
    }
  }
  const std::string file = dir_.file("temp.nc");
  NetCDFGridWriter writer(log_);
  writer.Write(std::span<const double>(step0), file, "temp", N, 3, 4);
  writer.Write(std::span<const double>(step1), file, "temp", N, 3, 4);

  Grid grid;
  ASSERT_EQ(Read(file + "<temp>1", grid, {.allocate = true, .whole_on_process0 = true}), 0) << Console();
  EXPECT_EQ(Values(grid, {1, 3}),
            (std::vector<std::vector<double>>{{101, 102, 103, 104}, {201, 202, 203, 204}, {301, 302, 303, 304}}));
  // A netCDF file named without variable and step is refused by the netCDF reader.
  EXPECT_EQ(Read(file, grid, {.allocate = true, .whole_on_process0 = true}), kNetCDFSpecificationError);
  // A file of another size than the model grid.
  writer.Write(std::span<const double>(step0), dir_.file("small.nc"), "temp", N, 4, 3);
  EXPECT_EQ(Read(dir_.file("small.nc") + "<temp>0", grid, {.allocate = true, .whole_on_process0 = true}),
            kGridReadError);
  EXPECT_NE(Console().find("number of columns (3) and/or rows (4) in nc-file not matching those in Tolvo (4 and 3 "
                           "resp.)."),
            std::string::npos)
      << Console();
}

// A 4 x 3 image of classes 127 (rows 1 and 2) and 128 (row 3), with no value in its
// top-left pixel.
std::string ClassImage(const std::string& before_image = "") {
  const test::GifImage image{
      .width = 4, .height = 3, .pixels = {255, 127, 127, 127, 127, 127, 127, 127, 128, 128, 128, 128}};
  return test::GifHeader(4, 3) + before_image + test::ImageBlock(image) + test::kGifTrailer;
}

TEST_F(GridReaderTest, GifImageIsResampledAndMappedOntoTheModelGrid) {
  // The image lies on the model raster, so every model corner falls between four pixel
  // centres (bilinear weights 0.5) or, in the bottom row and left column, beyond the
  // outer centres. Mapped with the default parameters: class 127 gives 8.916787e-5
  // exp(0.0767528404 * 127) = 1.52596, class 128 gives 6e-6 exp(0.098 * 128) = 1.68245 and
  // the mixed class 127.5 of row 2 gives 6e-6 exp(0.098 * 127.5) = 1.60199.
  zone_(2, 2) = N;
  object_.SetGifGeoreference(zone_.view(), 1000.5, 2000.25, 100);
  const std::string path = Write("classes.gif", ClassImage());
  Grid grid;
  ASSERT_EQ(Read(path, grid, {.allocate = true, .whole_on_process0 = true}), 0) << Console();
  const std::vector<std::vector<double>> expected{
      {N, N, 1.52596, 1.52596}, {1.60199, N, 1.60199, 1.60199}, {1.68245, 1.68245, 1.68245, 1.68245}};
  for (int r = 1; r <= 3; ++r) {
    for (int c = 1; c <= 4; ++c) {
      EXPECT_NEAR(grid(r, c), expected[r - 1][c - 1], 5e-6) << "row " << r << ", col " << c;
    }
  }
}

TEST_F(GridReaderTest, GifImagesThatCannotBeReadAreRefused) {
  struct Case {
    const char* label;
    std::string content;
    GifGeoreference georeference;
    double f2;
    std::string entry;  // the path written as <path>
  };
  const GifGeoreference placed{1000.5, 2000.25, 100, {}};
  const std::vector<Case> cases{
      {"extension label 0x02", ClassImage(test::Extension(0x02, {"x"})), placed, 6e-6,
       "error reading GIF <path> (invalid extension type ID \"0x2\" found)"},
      {"no georeference",
       ClassImage(),
       {},
       6e-6,
       "error reading GIF <path> (no georeference is set for test_model: the image cannot be placed)"},
      {"cell size 0",
       ClassImage(),
       {1000.5, 2000.25, 0, {}},
       6e-6,
       "error reading GIF <path> (georeference x origin 1000.5, y origin 2000.25, cell size 0 cannot place"},
      {"trailer missing", test::GifHeader(2, 1) + test::ImageBlock({.width = 2, .height = 1, .pixels = {1, 2}}), placed,
       6e-6, "error reading GIF <path> (the file ends after "},
      {"mapping that overflows", ClassImage(), placed, 1e306, "error reading grid <path> in row 2, col 1: inf"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    console_.str("");
    object_.SetGifGeoreference({}, c.georeference.x_origin, c.georeference.y_origin, c.georeference.cell_size);
    object_.gif_mapping_parameters().f2 = c.f2;
    const std::string path = Write("image.gif", c.content);
    Grid grid;
    EXPECT_EQ(Read(path, grid, {.allocate = true, .whole_on_process0 = true}), kGridReadError);
    std::string entry = c.entry;
    entry.replace(entry.find("<path>"), 6, path);
    EXPECT_NE(Console().find(entry), std::string::npos) << Console();
  }
}

TEST_F(GridReaderTest, NetCdfGridOfAnotherRasterIsPlacedByTheGeoreference) {
  // A 2 x 2 raster of 200 m cells {{1, 2}, {3, 4}} whose lower-left cell centre lies at
  // (1100.5, 2100.25): its lower-left corner is the model's.
  NetCDFGridWriter writer(log_);
  writer.Write(std::span<const double>(std::vector<double>{1, 3, 2, 4}), dir_.file("coarse.nc"), "p", N, 2, 2);
  zone_(3, 4) = N;
  object_.SetGifGeoreference(zone_.view(), 1100.5, 2100.25, 200);
  Grid grid;
  ASSERT_EQ(Read(dir_.file("coarse.nc") + "<p>0", grid, {.allocate = true, .whole_on_process0 = true}), 0) << Console();
  // By hand: corner (1000.5, 2000.25) lies beyond both outer centres: value 3; corner
  // (1000.5, 2200.25) halfway between the rows of column 1: (1 + 3) / 2; corner (1200.5,
  // 2100.25) halfway between the columns of row 2: (3 + 4) / 2; corner (1300.5, 2200.25)
  // beyond the east centres and halfway between the rows: (2 + 4) / 2; the masked cell nodata.
  EXPECT_EQ(grid(3, 1), 3);
  EXPECT_EQ(grid(1, 1), 2);
  EXPECT_EQ(grid(2, 3), 3.5);
  EXPECT_EQ(grid(1, 4), 3);
  EXPECT_EQ(grid(3, 4), N);

  // Without a georeference the grid must match the model's, and the mask still applies.
  std::vector<double> column_major;
  for (int c = 1; c <= 4; ++c) {
    for (int r = 1; r <= 3; ++r) column_major.push_back(10 * r + c);
  }
  writer.Write(std::span<const double>(column_major), dir_.file("same.nc"), "p", N, 3, 4);
  object_.SetGifGeoreference(zone_.view(), kNoGeoreference, kNoGeoreference, kNoGeoreference);
  ASSERT_EQ(Read(dir_.file("same.nc") + "<p>0", grid, {.allocate = true, .whole_on_process0 = true}), 0) << Console();
  EXPECT_EQ(Values(grid, {1, 3}),
            (std::vector<std::vector<double>>{{11, 12, 13, 14}, {21, 22, 23, 24}, {31, 32, 33, N}}));
}

}  // namespace
}  // namespace tolvo
