// A basin made by the basin generator (examples/generator) runs every sub-model of the
// example on a larger grid: it ends normally under 1 and 3 processes and on 4 threads with
// the same results, writes no NaN or infinity, and its summary (scripts/example-summary)
// reads its outlet and basin totals.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "support/output_compare.h"
#include "support/test_support.h"

namespace tolvo {
namespace {

namespace fs = std::filesystem;

constexpr int kCells = 40;  // per side: 1480 basin cells in 2 sub-basins
constexpr int kHours = 6;

int RunShell(const std::string& command) { return std::system(command.c_str()); }

// Generates the basin into the folder and runs it.
void RunGeneratedBasin(int processes, int threads, const test::TempDir& dir) {
  const std::string generate = std::string(TOLVO_GENERATOR) + " " + std::to_string(kCells) + " " +
                               dir.path().string() + " --hours " + std::to_string(kHours) + " > /dev/null";
  EXPECT_EQ(RunShell(generate), 0) << generate;
  fs::create_directories(dir.path() / "out");
  const test::ProgramRun run = test::RunProgram({"basin.ctl"}, dir.path(), processes, "", 0, threads);
  EXPECT_EQ(run.status, 0) << run.output.substr(run.output.size() > 4000 ? run.output.size() - 4000 : 0);
  EXPECT_NE(run.output.find("reached end of simulation sucessfully"), std::string::npos);
}

TEST(GeneratedBasin, RunsWithTheSameResultsOnOneAndThreeProcessesAndOnFourThreads) {
  test::TempDir one_dir;
  test::TempDir three_dir;
  test::TempDir threads_dir;
  RunGeneratedBasin(1, 1, one_dir);
  RunGeneratedBasin(3, 1, three_dir);
  // Four threads share the 40 rows of one process.
  RunGeneratedBasin(1, 4, threads_dir);
  // The chain's main results are there.
  for (const char* name : {"Qstat.txt", "qg.stat", "snowstorage.stat", "interception_storage.txt",
                           "surface_storage.txt", "real_transpiration.txt", "reservoir_2.txt", "storage.ste_0"}) {
    EXPECT_TRUE(fs::exists(one_dir.path() / "out" / name)) << name;
  }
  // The generated inputs are the same in both folders and compared with the results.
  EXPECT_EQ(test::FirstOutputDifference(one_dir.path(), three_dir.path(), test::PerProcessFiles()), "")
      << "1 and 3 processes";
  EXPECT_EQ(test::FirstOutputDifference(one_dir.path(), threads_dir.path(), test::PerProcessFiles()), "")
      << "1 and 4 threads";

  // The summary names the outlet (sub-basin 2 with the whole basin as catchment: 1480
  // cells of 100 m) and a row for each day of the run.
  const std::string summary_file = one_dir.file("summary.txt");
  ASSERT_EQ(RunShell(std::string(TOLVO_SOURCE_DIR) + "/scripts/example-summary " + one_dir.path().string() + " > " +
                     summary_file),
            0);
  const std::string summary = test::ReadFile(summary_file);
  EXPECT_NE(summary.find("Discharge at the outlet (sub-basin 2, 14.800 km2)"), std::string::npos) << summary;
  EXPECT_NE(summary.find("\n  2020-01-01 "), std::string::npos) << summary;
  for (const char* line : {"precipitation", "real evapotranspiration", "discharge at the outlet", "abstractions",
                           "storage change", "soil water", "remainder"}) {
    EXPECT_NE(summary.find("  " + std::string(line) + " "), std::string::npos) << line << "\n" << summary;
  }
  // Neither the run's files nor the summary hold NaN or infinity.
  EXPECT_EQ(test::NonFiniteValues(one_dir.path(), {}), "");
}

}  // namespace
}  // namespace tolvo
