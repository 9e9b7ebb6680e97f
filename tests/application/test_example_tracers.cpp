// The example basin with a conservative and a radioactive tracer (basin_tracers.ctl) runs
// eight days, into the cold spell, under 1 and 3 processes with the same files, the tracer
// tables (the concentrations of the sub-basins' total runoff, the chloride of the snow
// pack) among them, and no NaN or infinity in any of them.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/example_basin.h"
#include "support/output_compare.h"
#include "support/test_support.h"

namespace tolvo {
namespace {

namespace fs = std::filesystem;

void RunTracerExample(int processes, const test::TempDir& dir) {
  fs::copy(test::ExampleBasinSource(), dir.path(), fs::copy_options::recursive);
  fs::create_directories(dir.path() / "out");
  test::WriteFile(dir.file("basin_tracers.ctl"),
                  test::WithRunEnd(test::ReadFile(dir.file("basin_tracers.ctl")), 8, 1, 2020));
  const test::ProgramRun run = test::RunProgram({"basin_tracers.ctl"}, dir.path(), processes);
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_NE(run.output.find("exitcode 0"), std::string::npos);
  for (const char* name : {"out/chlunsat.sta", "out/radunsat.sta", "out/chlsnow_.sta"}) {
    EXPECT_TRUE(fs::exists(dir.path() / name)) << name;
  }
}

TEST(ExampleBasinTracers, RunsWithTheSameFilesOnOneAndThreeProcesses) {
  test::TempDir one_dir;
  test::TempDir three_dir;
  RunTracerExample(1, one_dir);
  RunTracerExample(3, three_dir);
  const std::string rad = test::ReadFile(one_dir.file("out/radunsat.sta"));
  EXPECT_NE(rad.find("tracer concentration for tracer 2 (rad)"), std::string::npos) << rad;
  const std::vector<test::ExcludedFiles> excluded = test::PerProcessAndInputFiles(test::ExampleBasinSource());
  EXPECT_EQ(test::FirstOutputDifference(one_dir.path(), three_dir.path(), excluded), "");
  EXPECT_EQ(test::NonFiniteValues(one_dir.path(), test::InputFilesOf(test::ExampleBasinSource())), "");
}

}  // namespace
}  // namespace tolvo
