// The example basin with a conservative and a radioactive tracer (basin_tracers.ctl) runs
// to its end under 1 and 3 processes with the same tracer tables: the concentrations of the
// sub-basins' total runoff and the chloride of the snow pack.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/example_basin.h"
#include "support/test_support.h"

namespace tolvo {
namespace {

namespace fs = std::filesystem;

// The tracer tables of an eight-day run of the basin, into the cold spell.
std::string RunTracerExample(int processes, const test::TempDir& dir) {
  fs::copy(test::ExampleBasinSource(), dir.path(), fs::copy_options::recursive);
  fs::create_directories(dir.path() / "out");
  std::string text = test::ReadFile(dir.file("basin_tracers.ctl"));
  const std::string end_date = "31    end day\n3     end month";
  const std::size_t at = text.find(end_date);
  EXPECT_NE(at, std::string::npos);
  if (at != std::string::npos) text.replace(at, end_date.size(), "8     end day\n1     end month");  // into the cold spell
  test::WriteFile(dir.file("basin_tracers.ctl"), text);
  const test::ProgramRun run = test::RunProgram({"basin_tracers.ctl"}, dir.path(), processes);
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_NE(run.output.find("exitcode 0"), std::string::npos);
  std::string tables;
  for (const char* name : {"out/chlunsat.sta", "out/radunsat.sta", "out/chlsnow_.sta"}) {
    EXPECT_TRUE(fs::exists(dir.path() / name)) << name;
    tables += test::ReadFile(dir.file(name));
  }
  return tables;
}

TEST(ExampleBasinTracers, RunsWithTheSameTracerTablesOnOneAndThreeProcesses) {
  test::TempDir one_dir;
  test::TempDir three_dir;
  const std::string one = RunTracerExample(1, one_dir);
  const std::string three = RunTracerExample(3, three_dir);
  EXPECT_NE(one.find("tracer concentration for tracer 2 (rad)"), std::string::npos) << one;
  EXPECT_EQ(one, three);
}

}  // namespace
}  // namespace tolvo
