#include "framework/grid_writer.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cmath>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "framework/error_code.h"
#include "framework/grid_distribution.h"
#include "framework/grid_table.h"
#include "framework/modelobject.h"
#include "framework/netcdf_grid.h"
#include "framework/signals.h"
#include "support/test_support.h"

namespace tolvo {
namespace {

namespace fs = std::filesystem;
using test::CodeOf;
using test::ReadFile;
using test::TempDir;

constexpr double N = kNodata;

// The ASCII header of the model grid of the tests.
const std::string kAsciiHeader =
    "ncols\t3\nnrows\t2\nxllcorner\t100.5\nyllcorner\t200\ncellsize\t25\nnodata_value\t-9999\n";

template <typename T>
std::vector<T> Numbers(const std::string& bytes) {
  std::vector<T> numbers(bytes.size() / sizeof(T));
  std::memcpy(numbers.data(), bytes.data(), numbers.size() * sizeof(T));
  return numbers;
}

// A 3-column, 2-row model grid; outputs go to the temporary folder.
class GridWriterTest : public ::testing::Test {
 protected:
  GridWriterTest() {
    object_.set_name("writer");
    object_.set_geometry({3, 2, 100.5, 200, 25, N});
    object_.set_strip({1, 2});
  }

  // A grid of rows first..last whose rows hold the given values.
  static Grid MakeGrid(const std::vector<std::vector<double>>& rows, int first = 1) {
    Grid grid(first, first + static_cast<int>(rows.size()) - 1, 3, 2);
    for (std::size_t i = 0; i < rows.size(); ++i) {
      for (int c = 1; c <= 3; ++c) grid(first + static_cast<int>(i), c) = rows[i][static_cast<std::size_t>(c - 1)];
    }
    return grid;
  }

  // Zone-column ranges of rows 1 and 2 (as the zone ranking gives them).
  void SetColumnRanges(ColumnRange row1, ColumnRange row2) {
    ranges_ = {ColumnRange{}, row1, row2};
    layout_.column_ranges = ranges_;
    object_.set_domain_layout(&layout_);
  }

  int Write(const std::string& name, const Grid& grid, bool ascii, bool doubles, bool netcdf) {
    return CodeOf([&] { object_.WriteGridFile(name, grid.view(), ascii, doubles, netcdf); });
  }

  TempDir dir_;
  std::ostringstream console_;
  DiagnosticsLog log_{dir_.file("diag.xml"), 4, console_};
  modelobject object_{log_, "control.txt", {}, "", dir_.path().string() + "/"};
  std::vector<ColumnRange> ranges_;
  DomainLayout layout_;
};

TEST_F(GridWriterTest, DoubleGridCarriesGeometryAndStatisticsInItsHeader) {
  const Grid grid = MakeGrid({{1, N, 2}, {3, N, N}});
  ASSERT_EQ(Write("g.dbl", grid, false, true, false), 0);
  const std::string bytes = ReadFile(dir_.file("g.dbl"));
  ASSERT_EQ(bytes.size(), 18u * 8u);  // 12 header values and 3 x 2 cells
  const std::vector<double> numbers = Numbers<double>(bytes);
  // Valid values 1, 2, 3: count 3, min 1, max 3, sum 6, mean 2, sd sqrt(((1-2)^2 + 0 + (3-2)^2) / 2) = 1.
  const std::vector<double> header{3, 2, 100.5, 200, 25, N, 3, 1, 3, 6, 2, 1};
  EXPECT_EQ(std::vector<double>(numbers.begin(), numbers.begin() + 12), header);
  EXPECT_EQ(std::vector<double>(numbers.begin() + 12, numbers.end()), (std::vector<double>{1, N, 2, 3, N, N}));
  EXPECT_EQ(std::vector<double>(object_.grid_file_header().values.begin(), object_.grid_file_header().values.end()),
            header);
}

TEST_F(GridWriterTest, HeaderStatisticsCountOnlyValuesAboveNodataPlusOne) {
  struct Case {
    const char* what;
    std::vector<std::vector<double>> rows;
    std::vector<double> statistics;  // count, min, max, sum, mean, sd
  };
  const std::vector<Case> cases{
      {"two values: no standard deviation", {{5, 7, N}, {N, N, N}}, {2, 5, 7, 12, 6, N}},
      {"no value: mean nodata, min and max 0", {{N, N, N}, {N, N, N}}, {0, 0, 0, 0, N, N}},
      {"-9998.5 is not counted, -9997 is", {{-9998.5, -9997, N}, {N, N, N}}, {1, -9997, -9997, -9997, -9997, N}},
      {"constant values: deviation 0", {{2, 2, 2}, {N, N, N}}, {3, 2, 2, 6, 2, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(Write("s.dbl", MakeGrid(c.rows), false, true, false), 0);
    const std::vector<double> numbers = Numbers<double>(ReadFile(dir_.file("s.dbl")));
    EXPECT_EQ(std::vector<double>(numbers.begin() + 6, numbers.begin() + 12), c.statistics);
  }
}

TEST_F(GridWriterTest, ZoneColumnsAreWeightedByRelativeCellArea) {
  // Row 1 lies in the domain (columns 1..3, weight 0.5 each), row 2 outside (counted in
  // full with weight 1). Weights 1.5 + 3 = 4.5, sum 0.5 * 6 + 15 = 18, mean 4; sum of
  // squares 0.5 * 14 + 77 = 84, variance (84 - 18^2 / 4.5) / 3.5 = 12 / 3.5.
  SetColumnRanges({1, 3}, {0, -1});
  Grid weights = MakeGrid({{0.5, 0.5, 0.5}, {0.5, 0.5, 0.5}});
  object_.set_rel_cell_area(std::as_const(weights).view());
  ASSERT_EQ(Write("w.dbl", MakeGrid({{1, 2, 3}, {4, 5, 6}}), false, true, false), 0);
  const std::vector<double> numbers = Numbers<double>(ReadFile(dir_.file("w.dbl")));
  EXPECT_DOUBLE_EQ(numbers[6], 4.5);
  EXPECT_DOUBLE_EQ(numbers[7], 1);
  EXPECT_DOUBLE_EQ(numbers[8], 6);
  EXPECT_DOUBLE_EQ(numbers[9], 18);
  EXPECT_DOUBLE_EQ(numbers[10], 4);
  EXPECT_NEAR(numbers[11], std::sqrt(12 / 3.5), 1e-12);
}

TEST_F(GridWriterTest, FloatGridWritesMissingRowsAsNodataAndStatisticsAtByte24) {
  const Grid row1 = MakeGrid({{1.5, 2.5, N}});  // this process holds row 1 only
  ASSERT_EQ(Write("f.flt", row1, false, false, false), 0);
  const std::string bytes = ReadFile(dir_.file("f.flt"));
  ASSERT_EQ(bytes.size(), 18u * 4u);
  const std::vector<float> numbers = Numbers<float>(bytes);
  EXPECT_EQ(std::vector<float>(numbers.begin(), numbers.begin() + 12),
            (std::vector<float>{3, 2, 100.5f, 200, 25, -9999, 2, 1.5f, 2.5f, 4, 2, -9999}));
  EXPECT_EQ(std::vector<float>(numbers.begin() + 12, numbers.end()),
            (std::vector<float>{1.5f, 2.5f, -9999, -9999, -9999, -9999}));
}

TEST_F(GridWriterTest, AsciiGridHasTheExactHeaderAndTabSeparatedRows) {
  const Grid row1 = MakeGrid({{1, 0.1, N}});
  ASSERT_EQ(Write("a.asc", row1, true, true, false), 0);
  EXPECT_EQ(ReadFile(dir_.file("a.asc")), kAsciiHeader + "1\t0.1\t-9999\n-9999\t-9999\t-9999\n");
  const Grid both = MakeGrid({{1e6, 2.5e-5, -0.125}, {1234567, 123456.7, 12.34567891}});
  ASSERT_EQ(Write("b.asc", both, true, false, false), 0);
  // "%g": six significant digits, exponent with at least two digits.
  EXPECT_EQ(ReadFile(dir_.file("b.asc")).substr(kAsciiHeader.size()), "1e+06\t2.5e-05\t-0.125\n1.23457e+06\t123457\t12.3457\n");
}

TEST_F(GridWriterTest, InRangeWritingSetsCellsOutsideTheZoneColumnsToNodata) {
  SetColumnRanges({2, 3}, {0, -1});
  for (const bool ascii : {false, true}) {
    SCOPED_TRACE(ascii ? "ascii" : "double");
    Grid grid = MakeGrid({{1, 2, 3}, {4, 5, 6}});
    ASSERT_EQ(CodeOf([&] { object_.WriteGridFileInRange("r.out", grid.view(), ascii, true, false); }), 0);
    // The caller's matrix is changed: left of the first zone column and the row without
    // zone cells become nodata.
    EXPECT_EQ(grid(1, 1), N);
    EXPECT_EQ(grid(1, 2), 2);
    EXPECT_EQ(grid(2, 1), N);
    EXPECT_EQ(grid(2, 3), N);
    const std::string bytes = ReadFile(dir_.file("r.out"));
    if (ascii) {
      EXPECT_EQ(bytes.substr(kAsciiHeader.size()), "-9999\t2\t3\n-9999\t-9999\t-9999\n");
    } else {
      const std::vector<double> numbers = Numbers<double>(bytes);
      EXPECT_EQ(std::vector<double>(numbers.begin() + 6, numbers.begin() + 11), (std::vector<double>{2, 2, 3, 5, 2.5}));
      EXPECT_EQ(std::vector<double>(numbers.begin() + 12, numbers.end()), (std::vector<double>{N, 2, 3, N, N, N}));
    }
  }
  // WriteGridFile writes the cell left of the zone columns as it is, but counts only the
  // zone columns of row 1 and all of row 2, which has no zone cells.
  ASSERT_EQ(Write("p.dbl", MakeGrid({{1, 2, 3}, {4, 5, 6}}), false, true, false), 0);
  const std::vector<double> numbers = Numbers<double>(ReadFile(dir_.file("p.dbl")));
  EXPECT_EQ(numbers[12], 1);
  EXPECT_EQ(numbers[6], 5);   // 2, 3, 4, 5, 6
  EXPECT_EQ(numbers[9], 20);
}

TEST_F(GridWriterTest, SwitchesChooseTheFormAndNamesFollowThePathRule) {
  struct Case {
    bool ascii, doubles, netcdf;
    const char* name;      // the name written
    const char* file;      // the file that appears
    std::size_t size;      // its size (binary forms)
  };
  const std::vector<Case> cases{
      {true, true, true, "n1.asc", "n1.asc.nc", 0},  // netCDF wins over both
      {true, true, false, "n2.asc", "n2.asc", 0},    // ASCII wins over double
      {false, true, false, "n3.asc", "n3.asc", 144},
      {false, false, false, "n4.asc", "n4.asc", 72},
  };
  const Grid grid = MakeGrid({{1, 2, 3}, {4, 5, 6}});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    const std::string name = c.name;
    ASSERT_EQ(Write(name, grid, c.ascii, c.doubles, c.netcdf), 0);
    ASSERT_TRUE(fs::exists(dir_.file(c.file)));
    if (c.netcdf) {
      EXPECT_FALSE(fs::exists(dir_.file(name)));
    } else if (c.ascii) {
      EXPECT_EQ(ReadFile(dir_.file(c.file)).substr(0, 6), "ncols\t");
    } else {
      EXPECT_EQ(fs::file_size(dir_.file(c.file)), c.size);
    }
  }
  // A name beginning with "/" is written where it says.
  TempDir elsewhere;
  ASSERT_EQ(Write(elsewhere.file("abs.asc"), grid, true, false, false), 0);
  EXPECT_TRUE(fs::exists(elsewhere.file("abs.asc")));
  EXPECT_FALSE(fs::exists(dir_.file(elsewhere.file("abs.asc").substr(1))));
}

TEST_F(GridWriterTest, WritersRearmTheCtrlCHandler) {
  IgnoreCtrlC();
  ASSERT_EQ(Write("h.asc", MakeGrid({{1, 2, 3}, {4, 5, 6}}), true, false, false), 0);
  struct sigaction action {};
  sigaction(SIGINT, nullptr, &action);
  EXPECT_EQ(action.sa_handler, &OnCtrlC);
  DisarmCtrlCHandler();
}

TEST_F(GridWriterTest, FailuresEndInTheirEntryAndCode) {
  const Grid grid = MakeGrid({{1, 2, 3}, {4, 5, 6}});
  const std::string missing = dir_.path().string() + "/missing/";
  struct Case {
    const char* what;
    std::string name;
    bool ascii, doubles;
    int code;
    std::string entry;  // as the console shows it, without the level prefix
  };
  const std::vector<Case> cases{
      {"binary file cannot be created", missing + "x.dbl", false, true, 26,
       "error creating " + missing + "x.dbl for writing in binary mode."},
      {"text file cannot be created", missing + "x.asc", true, false, 26,
       "error creating " + missing + "x.asc for writing in text mode."},
      // A full device takes the bytes into the stream's buffer and refuses them when it
      // is flushed: the statistics rewrite or the final flush reports the write error.
      {"double values on a full device", "/dev/full", false, true, 18, "write error /dev/full ! (18)"},
      {"float values on a full device", "/dev/full", false, false, 18, "write error /dev/full ! (18)"},
      {"text on a full device", "/dev/full", true, false, 18, "write error /dev/full ! (18)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    console_.str("");
    EXPECT_EQ(Write(c.name, grid, c.ascii, c.doubles, false), c.code);
    EXPECT_NE(console_.str().find(c.entry), std::string::npos) << console_.str();
  }
}

TEST_F(GridWriterTest, FailuresNameTheSystemsReason) {
  const Grid grid = MakeGrid({{1, 2, 3}, {4, 5, 6}});
  const std::string dir = dir_.path().string() + "/";
  test::WriteFile(dir + "plain", "a file where a folder is expected");
  struct Case {
    const char* what;
    std::string name;
    int code;
    std::string entry;
  };
  // (A read-only folder cannot be shown here: the tests may run as root, who writes anyway.)
  const std::vector<Case> cases{
      {"missing folder", dir + "missing/x.asc", 26,
       "error creating " + dir + "missing/x.asc for writing in text mode. (No such file or directory)"},
      {"folder that is a file", dir + "plain/x.asc", 26,
       "error creating " + dir + "plain/x.asc for writing in text mode. (Not a directory)"},
      {"full device", "/dev/full", 18, "cannot write /dev/full: No space left on device"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    console_.str("");
    EXPECT_EQ(Write(c.name, grid, true, false, false), c.code);
    EXPECT_NE(console_.str().find(c.entry), std::string::npos) << console_.str();
  }
  // The device is no regular file: it is not removed.
  EXPECT_TRUE(std::filesystem::exists("/dev/full"));
}

TEST_F(GridWriterTest, FileCutShortByAFullDiskIsRemoved) {
  // A file size limit stands in for a full disk: the write beyond it fails (EFBIG).
  const Grid grid = MakeGrid({{1, 2, 3}, {4, 5, 6}});
  const std::string path = dir_.file("cut.asc");
  rlimit previous{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &previous), 0);
  const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit limit = previous;
  limit.rlim_cur = 40;  // less than the header
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
  const int code = Write(path, grid, true, false, false);
  setrlimit(RLIMIT_FSIZE, &previous);
  std::signal(SIGXFSZ, old_handler);
  EXPECT_EQ(code, 18);
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_NE(console_.str().find("cannot write " + path + ": File too large; the incomplete file was removed"),
            std::string::npos)
      << console_.str();
  EXPECT_NE(console_.str().find("write error " + path + " ! (18)"), std::string::npos);
}

TEST_F(GridWriterTest, NetCdfWritesAppendTimeStepsToOneFileOfTheRun) {
  fs::create_directory(dir_.file("out"));
  for (int step = 0; step < 3; ++step) {
    const Grid grid = MakeGrid({{1.0 + step, 2, 3}, {4, 5, N}});
    ASSERT_EQ(Write("out/temp.asc", grid, false, true, true), 0);
  }
  ASSERT_TRUE(fs::exists(dir_.file("out/temp.asc.nc")));
  EXPECT_FALSE(fs::exists(dir_.file("out/temp.asc")));
  NetCDFGridReader reader(log_);
  std::string step2 = dir_.file("out/temp.asc.nc") + "<temp>2";
  const NetCDFGrid read = reader.Read(step2);
  ASSERT_EQ(read.nrows, 2);
  ASSERT_EQ(read.ncols, 3);
  EXPECT_EQ(read.at(1, 1), 3);
  EXPECT_EQ(read.at(2, 2), 5);
  EXPECT_EQ(read.at(2, 3), N);
  std::string step3 = dir_.file("out/temp.asc.nc") + "<temp>3";
  EXPECT_EQ(CodeOf([&] { reader.Read(step3); }), 26);  // only three time steps
}

}  // namespace
}  // namespace tolvo
