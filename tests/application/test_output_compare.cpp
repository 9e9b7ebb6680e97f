// The comparison of two runs' files and the scan for NaN and infinity that the whole-basin
// tests rely on: they find a difference or a non-finite value in every form the program
// writes, and say where it is.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "support/output_compare.h"
#include "support/test_support.h"

namespace tolvo {
namespace {

namespace fs = std::filesystem;

// A binary grid (levels 0) or stack (levels > 0) of 2 x 2 cells with the given cell values
// after the twelve header values, as the program writes it in 64-bit or 32-bit values.
template <typename T>
std::string BinaryFile(const std::vector<double>& cells, int highest_level) {
  std::vector<T> values = {2, 2, 0, 0, 100, -9999, 4, 0, 1, 2, 0.5, static_cast<T>(highest_level)};
  for (double v : cells) values.push_back(static_cast<T>(v));
  std::string bytes(values.size() * sizeof(T), '\0');
  std::memcpy(bytes.data(), values.data(), bytes.size());
  return bytes;
}

constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(OutputComparison, FindsTheFirstDifferenceOfEachFormAndSaysWhereItIs) {
  const std::string grid_header = "ncols\t3\nnrows\t2\nxllcorner\t0\nyllcorner\t0\ncellsize\t100\nnodata_value\t-9999\n";
  const std::string stack_header =
      "stack_ncols\t2\nnrows\t2\nxll\t0\nyll\t0\ncs\t100\nnodata\t-9999\ncnt\t4\nmin\t0\nmax\t1\nsum\t2\naverage\t0.5\n"
      "numlevels\t1\n";
  struct Case {
    const char* what;
    std::string a;
    std::string b;
    std::string expected;  // "" for files that hold the same results
  };
  const Case cases[] = {
      {.what = "a table whose numbers agree to round-off",
       .a = "YY\tq\n2020\t0.30000000000000004\n",
       .b = "YY\tq\n2020\t0.3\n",
       .expected = ""},
      {.what = "a table with a number that differs",
       .a = "YY\tMM\tq\n2020\t1\t1.000000001\n",
       .b = "YY\tMM\tq\n2020\t1\t1\n",
       .expected = "line 2, word 3: 1.000000001 against 1"},
      {.what = "a word that is no number",
       .a = "reservoir_2\n",
       .b = "reservoir_3\n",
       .expected = "line 1, word 1: reservoir_2 against reservoir_3"},
      {.what = "a table that is cut short",
       .a = "q\n1\n2\n",
       .b = "q\n1\n",
       .expected = "the files have 3 and 2 lines"},
      {.what = "an ASCII grid",
       .a = grid_header + "1\t2\t3\n4\t5\t6\n",
       .b = grid_header + "1\t2\t3\n4\t5\t6.5\n",
       .expected = "line 8, word 3 (row 2, column 3): 6 against 6.5"},
      {.what = "an ASCII stack with levels 0 and 1",
       .a = stack_header + "0\n0\n0\n1\n0\n0\n0\n0\n",
       .b = stack_header + "0\n0\n0\n2\n0\n0\n0\n0\n",
       .expected = "line 16, word 1 (row 1, column 2, level 1): 1 against 2"},
      {.what = "a binary grid of doubles",
       .a = BinaryFile<double>({1, 2, 0.5, 4}, 0),
       .b = BinaryFile<double>({1, 2, 0.25, 4}, 0),
       .expected = "row 2, column 1: 0.5 against 0.25"},
      {.what = "a binary grid of doubles that agree to round-off",
       .a = BinaryFile<double>({1, 2, 0.1 + 0.2, 4}, 0),
       .b = BinaryFile<double>({1, 2, 0.3, 4}, 0),
       .expected = ""},
      {.what = "a binary stack of floats",
       .a = BinaryFile<float>({0, 0, 0, 1, 0, 0, 0, 0}, 1),
       .b = BinaryFile<float>({0, 0, 0, 3, 0, 0, 0, 0}, 1),
       .expected = "row 1, column 2, level 1: 1 against 3"},
      {.what = "binary files of other sizes",
       .a = std::string("\x01\x02\x03", 3),
       .b = std::string("\x01\x02\x04\x05", 4),
       .expected = "byte 2 differs (sizes 3 and 4 bytes)"},
  };
  test::TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::WriteFile(dir.file("a"), c.a);
    test::WriteFile(dir.file("b"), c.b);
    EXPECT_EQ(test::FirstFileDifference(dir.file("a"), dir.file("b")), c.expected);
  }
}

TEST(OutputComparison, ComparesTheFilesOfTwoFoldersLeavingOutTheExcludedOnes) {
  test::TempDir a;
  test::TempDir b;
  for (const test::TempDir* dir : {&a, &b}) {
    fs::create_directories(dir->path() / "out");
    test::WriteFile(dir->file("out/qg.stat"), "q\n1\n");
    test::WriteFile(dir->file("out/rain.stat"), "r\n2\n");
  }
  const std::vector<test::ExcludedFiles> excluded = test::PerProcessFiles();
  // Files that differ with the decomposition or from run to run are left out.
  test::WriteFile(a.file("out/MPIRegions_0"), "0\n");
  test::WriteFile(b.file("out/MPIRegions_0"), "1\n");
  test::WriteFile(b.file("out/storage.ste_1"), "[unsatzon_model]\n");
  test::WriteFile(a.file("Tolvo_Diag_0.xml"), "<time>08:00</time>\n");
  test::WriteFile(b.file("Tolvo_Diag_0.xml"), "<time>09:00</time>\n");
  test::WriteFile(b.file("modell_1.log"), "cell line\n");
  EXPECT_EQ(test::FirstOutputDifference(a.path(), b.path(), excluded), "");

  // The first difference in path order is named with the file.
  test::WriteFile(b.file("out/rain.stat"), "r\n3\n");
  test::WriteFile(b.file("out/snow.stat"), "s\n");
  EXPECT_EQ(test::FirstOutputDifference(a.path(), b.path(), excluded), "out/rain.stat, line 2, word 1: 2 against 3");
  test::WriteFile(b.file("out/rain.stat"), "r\n2\n");
  EXPECT_EQ(test::FirstOutputDifference(a.path(), b.path(), excluded), "out/snow.stat: only in " + b.path().string());
  // A storage content file of process 0 is compared like any other.
  fs::remove(b.path() / "out/snow.stat");
  test::WriteFile(b.file("out/storage.ste_0"), "[unsatzon_model]\n");
  EXPECT_EQ(test::FirstOutputDifference(a.path(), b.path(), excluded),
            "out/storage.ste_0: only in " + b.path().string());
}

TEST(OutputComparison, FindsNaNAndInfinityInEveryFileThatHoldsThem) {
  test::TempDir dir;
  fs::create_directories(dir.path() / "out");
  test::WriteFile(dir.file("out/clean.stat"), "information on nano-scale infinite values\n1\t2\n");
  test::WriteFile(dir.file("out/clean.bin"), BinaryFile<double>({1, 2, 3, 4}, 0));
  test::WriteFile(dir.file("out/input.asc"), "nan\n");
  test::WriteFile(dir.file("out/qg.stat"), "YY\tq\n2020\t1.5\n2020\t-nan\n");
  test::WriteFile(dir.file("out/flags.txt"), "volume=INF, level=(Infinity)\n");
  test::WriteFile(dir.file("out/heads.asc"),
                  "ncols\t3\nnrows\t2\nxllcorner\t0\nyllcorner\t0\ncellsize\t100\nnodata_value\t-9999\n"
                  "1\t2\t3\n4\t-inf\t6\n");
  test::WriteFile(dir.file("out/theta.bin"), BinaryFile<float>({0, 0, 0, 0, 0, std::nan(""), 0, 0}, 1));
  test::WriteFile(dir.file("out/heads.bin"), BinaryFile<double>({1, 2, 3, kInf}, 0));
  EXPECT_EQ(test::NonFiniteValues(dir.path(), {{.pattern = "out/input\\.asc", .reason = "an input"}}),
            "out/flags.txt, line 1, word 2: INF\n"
            "out/heads.asc, line 8, word 2 (row 2, column 2): -inf\n"
            "out/heads.bin, row 2, column 2: inf\n"
            "out/qg.stat, line 3, word 2: -nan\n"
            "out/theta.bin, row 2, column 1, level 1: nan\n");
}

}  // namespace
}  // namespace tolvo
