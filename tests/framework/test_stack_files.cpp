// Stack files with one process: the layouts written, reading them back, and the failures.
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "framework/error_code.h"
#include "framework/grid_file_format.h"
#include "framework/modelobject.h"
#include "framework/netcdf_grid.h"
#include "framework/stack_reader.h"
#include "framework/stack_writer.h"
#include "support/test_support.h"

namespace tolvo {
namespace {

namespace fs = std::filesystem;
using test::CodeOf;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

constexpr double N = kNodata;

template <typename T>
std::vector<T> Numbers(const std::string& bytes) {
  std::vector<T> numbers(bytes.size() / sizeof(T));
  std::memcpy(numbers.data(), bytes.data(), numbers.size() * sizeof(T));
  return numbers;
}

template <typename T>
std::string Bytes(const std::vector<double>& values) {
  const std::vector<T> numbers(values.begin(), values.end());
  return std::string(reinterpret_cast<const char*>(numbers.data()), numbers.size() * sizeof(T));
}

// v(r, c, l) = 10 r + c + l / 4: exact in binary32 and printed exactly by "%g".
double Value(int r, int c, int l) { return 10.0 * r + c + 0.25 * l; }

// A model grid of 3 columns and 2 rows; files go to and come from the temporary folder.
class StackFileTest : public ::testing::Test {
 protected:
  StackFileTest() {
    object_.set_name("stacks");
    object_.set_geometry({3, 2, 100.5, 200, 25, N});
    object_.set_strip({1, 2});
  }

  static Stack MakeStack(int levels) {
    Stack stack(1, 2, 3, levels, 2);
    for (int r = 1; r <= 2; ++r) {
      for (int c = 1; c <= 3; ++c) {
        for (int l = 0; l <= levels; ++l) stack(r, c, l) = Value(r, c, l);
      }
    }
    return stack;
  }

  int Write(const std::string& name, const Stack& stack, int levels, bool ascii, bool doubles, bool netcdf = false) {
    return CodeOf([&] { object_.WriteStackFile(name, stack.view(), levels, ascii, doubles, netcdf); });
  }
  int Read(const std::string& name, Stack& target, int& levels, bool whole = false) {
    return CodeOf([&] { levels = ReadStack(object_.grid_input(), name, target, {.whole_on_process0 = whole}); });
  }

  // The header of a binary stack of the model grid with the given numlevels and nodata.
  static std::vector<double> Header(double numlevels, double xll = 100.5, double nodata = N) {
    return {3, 2, xll, 200, 25, nodata, 0, 0, 0, 0, 0, numlevels};
  }

  TempDir dir_;
  std::ostringstream console_;
  DiagnosticsLog log_{dir_.file("diag.xml"), 4, console_};
  modelobject object_{log_, "control.txt", {}, dir_.path().string() + "/", dir_.path().string() + "/"};
};

TEST_F(StackFileTest, BinaryStackHoldsTheLevelsOfACellTogether) {
  // 2 x 3 cells with levels 0 and 1: (12 + 12) values; row 2, column 1, level 1 stands at
  // value index 12 + 3 x 2 + 1 = 19.
  const Stack stack = MakeStack(1);
  ASSERT_EQ(Write("s.dbl", stack, 1, false, true), 0);
  const std::string bytes = ReadFile(dir_.file("s.dbl"));
  ASSERT_EQ(bytes.size(), 192u);
  const std::vector<double> numbers = Numbers<double>(bytes);
  EXPECT_EQ(std::vector<double>(numbers.begin(), numbers.begin() + 12), Header(1));
  EXPECT_EQ(numbers[19], Value(2, 1, 1));
  EXPECT_EQ(numbers[12], Value(1, 1, 0));
  EXPECT_EQ(numbers[23], Value(2, 3, 1));

  ASSERT_EQ(Write("s.flt", stack, 1, false, false), 0);
  const std::vector<float> floats = Numbers<float>(ReadFile(dir_.file("s.flt")));
  ASSERT_EQ(floats.size(), 24u);
  EXPECT_EQ(floats[11], 1.0f);
  EXPECT_EQ(floats[19], static_cast<float>(Value(2, 1, 1)));
}

TEST_F(StackFileTest, AsciiStackHasTwelveHeaderLinesAndOneValueALine) {
  // Level 0 only: the numlevels line holds 0. A row this process does not hold is nodata.
  Stack row1(1, 1, 3, 0, 2);
  for (int c = 1; c <= 3; ++c) row1(1, c, 0) = Value(1, c, 0);
  ASSERT_EQ(Write("a.stk", row1, 0, true, true), 0);
  EXPECT_EQ(ReadFile(dir_.file("a.stk")),
            "stack_ncols\t3\nnrows\t2\nxll\t100.5\nyll\t200\ncs\t25\nnodata\t-9999\ncnt\t0\nmin\t0\nmax\t0\nsum\t0\n"
            "average\t0\nnumlevels\t0\n11\n12\n13\n-9999\n-9999\n-9999\n");
}

TEST_F(StackFileTest, EveryFormReadsBackWhatWasWritten) {
  struct Case {
    const char* name;
    bool ascii, doubles;
  };
  for (const Case& c : {Case{"r.stk", true, false}, Case{"r.dbl", false, true}, Case{"r.flt", false, false}}) {
    for (const bool whole : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (whole ? " whole" : ""));
      ASSERT_EQ(Write(c.name, MakeStack(2), 2, c.ascii, c.doubles), 0);
      Stack back;
      int levels = -1;
      ASSERT_EQ(Read(c.name, back, levels, whole), 0);
      EXPECT_EQ(levels, 2);
      ASSERT_EQ(back.rows().first, 1);
      ASSERT_EQ(back.rows().last, 2);
      ASSERT_EQ(back.levels(), 2);
      for (int r = 1; r <= 2; ++r) {
        for (int col = 1; col <= 3; ++col) {
          for (int l = 0; l <= 2; ++l) EXPECT_EQ(back(r, col, l), Value(r, col, l));
        }
      }
      EXPECT_EQ(object_.grid_file_header().numlevels(), 2);
    }
  }
  // Readers leave SIGINT at its default action.
  struct sigaction action {};
  sigaction(SIGINT, nullptr, &action);
  EXPECT_EQ(action.sa_handler, SIG_DFL);
}

TEST_F(StackFileTest, SmallFloatStackIsRead) {
  // 12 header values and 6 cells of level 0: 72 bytes, less than twelve binary64 numbers.
  std::vector<double> numbers = Header(0);
  for (int r = 1; r <= 2; ++r) {
    for (int c = 1; c <= 3; ++c) numbers.push_back(Value(r, c, 0));
  }
  WriteFile(dir_.file("small.flt"), Bytes<float>(numbers));
  Stack back;
  int levels = -1;
  ASSERT_EQ(Read("small.flt", back, levels), 0);
  EXPECT_EQ(levels, 0);
  EXPECT_EQ(back(2, 3, 0), Value(2, 3, 0));
}

TEST_F(StackFileTest, BadFilesFailWithTheirEntryAndCode) {
  const std::string ascii_header = "stack_ncols\t3\nnrows\t2\nxll\t100.5\nyll\t200\ncs\t25\nnodata\t-9999\ncnt\t0\n"
                                   "min\t0\nmax\t0\nsum\t0\naverage\t0\nnumlevels\t1\n";
  std::vector<double> short_row = Header(1);
  short_row.resize(12 + 6 + 5, 1.0);  // row 2 lacks its last value
  std::vector<double> foreign_nodata = Header(0, 100.5, -99999);
  foreign_nodata.resize(18, 1.0);
  std::vector<double> negative_levels = Header(-1);
  negative_levels.resize(18, 1.0);
  std::vector<double> billion_levels = Header(1e9);  // would ask for 48 GB
  billion_levels.resize(18, 1.0);
  struct Case {
    const char* what;
    std::string name;
    std::string content;  // none: no file
    int code;
    std::string entry;    // as the console shows it, without the level prefix
  };
  const std::string dir = dir_.path().string() + "/";
  const std::vector<Case> cases{
      {"missing file, no retry", "none.stk", "", 21, "error opening " + dir + "none.stk"},
      {"corner off by 0.5", "xll.stk",
       "stack_ncols\t3\nnrows\t2\nxll\t101\nyll\t200\ncs\t25\nnodata\t-9999\ncnt\t0\nmin\t0\nmax\t0\nsum\t0\n"
       "average\t0\nnumlevels\t0\n1 2 3 4 5 6\n",
       24, dir + "xll.stk has not the specified grid measures (in stacks)\n"},
      {"ASCII nodata -99999", "nodata.stk",
       "stack_ncols\t3\nnrows\t2\nxll\t100.5\nyll\t200\ncs\t25\nnodata\t-99999\ncnt\t0\nmin\t0\nmax\t0\nsum\t0\n"
       "average\t0\nnumlevels\t0\n1 2 3 4 5 6\n",
       24, "has not the specified grid measures"},
      {"binary nodata -99999 is not recognised", "nodata.dbl", Bytes<double>(foreign_nodata), 22,
       "could not recognise file format (ascii, single float or double float) for stack " + dir + "nodata.dbl"},
      {"short double row", "short.dbl", Bytes<double>(short_row), 22,
       "error reading double stack " + dir + "short.dblat row 2"},
      {"ASCII number missing", "short.stk", ascii_header + "1 2 3 4 5 6 7 8 9 10 11\n", 22,
       "error reading ascii stack " + dir + "short.stkat row 2, column 3, level 1"},
      {"ASCII header cut short", "head.stk", "stack_ncols\t3\nnrows\t2\n", 22, "error reading ascii value #3"},
      {"numlevels beyond the file, refused before allocating", "billion.dbl", Bytes<double>(billion_levels), 22,
       "error reading double stack " + dir + "billion.dblat row 1: the header declares 3 x 2 cells of 1000000001 "
       "levels of 8 bytes, which take exactly 48000000144 bytes, but the file has 144 bytes"},
      {"negative numlevels", "levels.dbl", Bytes<double>(negative_levels), 22, "error reading from " + dir + "levels.dbl"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (!c.content.empty()) WriteFile(dir_.file(c.name), c.content);
    console_.str("");
    Stack target;
    int levels = -1;
    EXPECT_EQ(Read(c.name, target, levels), c.code);
    EXPECT_NE(console_.str().find(c.entry), std::string::npos) << console_.str();
  }
}

TEST_F(StackFileTest, NetCdfStackBecomesTimeStepsOfOneVariable) {
  // Levels 0..2 are time steps 0..2; writing again under the same name adds 3..5.
  ASSERT_EQ(Write("soil.stk", MakeStack(2), 2, false, true, true), 0);
  ASSERT_EQ(Write("soil.stk", MakeStack(2), 2, false, true, true), 0);
  NetCDFGridReader reader(log_);
  std::string step4 = dir_.file("soil.stk.nc") + "<soil>4";
  const NetCDFGrid level1 = reader.Read(step4);
  EXPECT_EQ(level1.at(2, 3), Value(2, 3, 1));
  std::string step6 = dir_.file("soil.stk.nc") + "<soil>6";
  EXPECT_EQ(CodeOf([&] { reader.Read(step6); }), 26);
}

TEST_F(StackFileTest, WriteFailuresEndInTheirEntryAndCode) {
  const std::string missing = dir_.path().string() + "/missing/";
  struct Case {
    const char* what;
    std::string name;
    bool ascii, doubles;
    int code;
    std::string entry;
  };
  const std::vector<Case> cases{
      {"ASCII file cannot be opened", missing + "x.stk", true, false, 26, "error opening " + missing + "x.stk"},
      {"binary file cannot be opened", missing + "x.dbl", false, true, 26, "error opening " + missing + "x.dbl"},
      {"ASCII values on a full device", "/dev/full", true, false, 18, "write error /dev/full ! (18)"},
      {"binary values on a full device", "/dev/full", false, true, 18, "write error /dev/full ! (18)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    console_.str("");
    EXPECT_EQ(Write(c.name, MakeStack(1), 1, c.ascii, c.doubles), c.code);
    EXPECT_NE(console_.str().find(c.entry), std::string::npos) << console_.str();
  }
}

TEST(StackCells, EachProcessWritesFromItsFirstCellToTheNextProcesssCell) {
  // Two processes on a 3 x 3 grid: process 1 computes cells 2..4 (row-major, 1-based),
  // process 0 cells 6..8; cells 1, 5 and 9 lie outside the domain.
  Grid regions(1, 3, 3, 3);
  const std::vector<double> owners{N, 1, 1, 1, N, 0, 0, 0, N};
  for (int i = 0; i < 9; ++i) regions(i / 3 + 1, i % 3 + 1) = owners[static_cast<std::size_t>(i)];
  const ConstGridView view = std::as_const(regions).view();
  // Process 1 (highest rank) from the first cell of the grid to cell 5; process 0 from
  // cell 6 to the end.
  const std::vector<CellStretch> one = StackCellsOfProcess(view, {1, 3}, {1, 2}, 3, 1, true, N);
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0].first_cell, 0);
  EXPECT_EQ(one[0].cell_count, 5);
  const std::vector<CellStretch> zero = StackCellsOfProcess(view, {1, 3}, {2, 3}, 3, 0, false, N);
  ASSERT_EQ(zero.size(), 1u);
  EXPECT_EQ(zero[0].first_cell, 5);
  EXPECT_EQ(zero[0].cell_count, 4);
  // A row the process does not hold is written whole while the flag is set, skipped
  // otherwise.
  const std::vector<CellStretch> missing_row = StackCellsOfProcess(view, {2, 3}, {1, 2}, 3, 1, true, N);
  ASSERT_EQ(missing_row.size(), 1u);
  EXPECT_EQ(missing_row[0].cell_count, 5);
  EXPECT_TRUE(StackCellsOfProcess(view, {2, 3}, {1, 1}, 3, 0, false, N).empty());
}

}  // namespace
}  // namespace tolvo
