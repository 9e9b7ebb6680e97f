// The example basin with a small dynamic glacier (basin_glacier.ctl) runs January, across
// the end of its glacier year on 20 January, under 1 and 3 processes with the same files,
// none of which holds NaN or infinity.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>

#include "support/example_basin.h"
#include "support/output_compare.h"
#include "support/test_support.h"

namespace tolvo {
namespace {

namespace fs = std::filesystem;

struct GlacierRun {
  std::string output;                        // what the program wrote to the console
  std::map<std::string, std::string> files;  // the result files by name
};

GlacierRun RunGlacierExample(int processes, const test::TempDir& dir) {
  fs::copy(test::ExampleBasinSource(), dir.path(), fs::copy_options::recursive);
  fs::create_directories(dir.path() / "out");
  std::string text = test::ReadFile(dir.file("basin_glacier.ctl"));
  const std::string end_month = "3     end month";
  const std::size_t at = text.find(end_month);
  EXPECT_NE(at, std::string::npos);
  if (at != std::string::npos) text.replace(at, end_month.size(), "1     end month");
  test::WriteFile(dir.file("basin_glacier.ctl"), text);
  const test::ProgramRun run = test::RunProgram({"basin_glacier.ctl"}, dir.path(), processes);
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_NE(run.output.find("exitcode 0"), std::string::npos);
  EXPECT_EQ(test::ReadFile(dir.file("Tolvo_Diag_0.xml")).find("level=\"0\""), std::string::npos);
  GlacierRun result{.output = run.output, .files = {}};
  for (const fs::directory_entry& entry : fs::directory_iterator(dir.path() / "out")) {
    result.files[entry.path().filename().string()] = test::ReadFile(entry.path().string());
  }
  return result;
}

TEST(ExampleBasinGlacier, RunsAcrossTheGlacierYearWithTheSameResultsOnOneAndThreeProcesses) {
  test::TempDir one_dir;
  test::TempDir three_dir;
  const GlacierRun one = RunGlacierExample(1, one_dir);
  const GlacierRun three = RunGlacierExample(3, three_dir);
  // The glacier tables, the glacier storages in the storage content file, and the area
  // change at the end of 20 January: the glacier lost mass and area.
  for (const char* name : {"qice.stat", "qfirn.stat", "qsnowglac.stat", "qglac.stat", "firn.stat", "massbalance.stat",
                           "massbalance_glacier.stat", "qg.stat"}) {
    EXPECT_TRUE(one.files.contains(name)) << name;
  }
  ASSERT_TRUE(one.files.contains("storage.ste_0"));
  EXPECT_NE(one.files.at("storage.ste_0").find("\n[snow_model]\n2 (number of subasins)\n1\t"), std::string::npos);
  for (const GlacierRun* run : {&one, &three}) {
    EXPECT_NE(run->output.find("Old Area:\t0.064\nNew Area:\t0.0631"), std::string::npos) << run->output;
    EXPECT_NE(run->output.find("glaciers changed, updating glaicerlist now..."), std::string::npos);
  }
  EXPECT_EQ(test::FirstOutputDifference(one_dir.path(), three_dir.path(),
                                        test::PerProcessAndInputFiles(test::ExampleBasinSource())),
            "");
  EXPECT_EQ(test::NonFiniteValues(one_dir.path(), test::InputFilesOf(test::ExampleBasinSource())), "");
}

}  // namespace
}  // namespace tolvo
