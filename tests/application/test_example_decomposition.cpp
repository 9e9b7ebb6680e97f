// The example basin writes the same files, value for value, whether one process computes
// its cells, two processes share them, or one process computes them with four threads;
// none of its files holds NaN or infinity. The runs are five days long, whatever the
// example's own length: enough for every sub-model to write its tables, grids and stacks
// and for the routing to carry water through the reservoir. Grids and stacks are written
// in 64-bit values, so that a sum taken in another order shows in the last bit.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/example_basin.h"
#include "support/output_compare.h"
#include "support/test_support.h"

namespace tolvo {
namespace {

namespace fs = std::filesystem;

void RunExample(const test::TempDir& dir, int processes, int threads) {
  fs::copy(test::ExampleBasinSource(), dir.path(), fs::copy_options::recursive);
  fs::create_directories(dir.path() / "out");
  std::string control = test::WithRunEnd(test::ReadFile(dir.file("basin.ctl")), 5, 1, 2020);
  const std::string ascii = "WriteAsciiGrids = 1";
  const std::size_t at = control.find(ascii);
  ASSERT_NE(at, std::string::npos);
  control.replace(at, ascii.size(), "WriteAsciiGrids = 0\nWriteDoubleGrids = 1");
  test::WriteFile(dir.file("basin.ctl"), control);
  const test::ProgramRun run = test::RunProgram({"basin.ctl"}, dir.path(), processes, "", 0, threads);
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_NE(run.output.find("reached end of simulation sucessfully"), std::string::npos) << run.output;
}

TEST(ExampleBasin, WritesTheSameFilesOnOneAndTwoProcessesAndOnFourThreads) {
  const std::vector<test::ExcludedFiles> excluded = test::PerProcessAndInputFiles(test::ExampleBasinSource());

  test::TempDir one;
  RunExample(one, 1, 1);
  // The run wrote its five days, up to the rain and snow of the 5th: the routed discharge has
  // a row per hour, and the groundwater heads are a grid of 64-bit values.
  const std::string discharge = test::ReadFile(one.file("out/Qstat.txt"));
  EXPECT_NE(discharge.find("\n2020\t 1\t 5\t24"), std::string::npos) << discharge;
  EXPECT_EQ(fs::file_size(one.path() / "out/gw_heads1.asc"), (12 + 8 * 10) * sizeof(double));
  EXPECT_EQ(test::NonFiniteValues(one.path(), test::InputFilesOf(test::ExampleBasinSource())), "");

  test::TempDir two;
  RunExample(two, 2, 1);
  EXPECT_EQ(test::FirstOutputDifference(one.path(), two.path(), excluded), "") << "1 and 2 processes";

  test::TempDir threads;
  RunExample(threads, 1, 4);
  EXPECT_EQ(test::FirstOutputDifference(one.path(), threads.path(), excluded), "") << "1 and 4 threads";
}

}  // namespace
}  // namespace tolvo
