// A basin made by the basin generator (examples/generator) runs every sub-model of the
// example on a larger grid: it ends normally under 1 and 3 processes with the same
// results, writes no NaN or infinity, and its summary (scripts/example-summary) reads its
// outlet and basin totals.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>
#include <string>

#include "support/test_support.h"

namespace tolvo {
namespace {

namespace fs = std::filesystem;

constexpr int kCells = 40;  // per side: 1480 basin cells in 2 sub-basins
constexpr int kHours = 6;

int RunShell(const std::string& command) { return std::system(command.c_str()); }

// Generates the basin into the folder and runs it; returns its output files by name (the
// storage content files of processes other than 0 hold only their own cells and are left
// out).
std::map<std::string, std::string> RunGeneratedBasin(int processes, const test::TempDir& dir) {
  const std::string generate = std::string(TOLVO_GENERATOR) + " " + std::to_string(kCells) + " " +
                               dir.path().string() + " --hours " + std::to_string(kHours) + " > /dev/null";
  EXPECT_EQ(RunShell(generate), 0) << generate;
  fs::create_directories(dir.path() / "out");
  const test::ProgramRun run = test::RunProgram({"basin.ctl"}, dir.path(), processes);
  EXPECT_EQ(run.status, 0) << run.output.substr(run.output.size() > 4000 ? run.output.size() - 4000 : 0);
  EXPECT_NE(run.output.find("reached end of simulation sucessfully"), std::string::npos);
  std::map<std::string, std::string> files;
  for (const fs::directory_entry& entry : fs::directory_iterator(dir.path() / "out")) {
    const std::string name = entry.path().filename().string();
    if (name.starts_with("storage.ste_") && name != "storage.ste_0") continue;
    if (name.starts_with("MPIRegions")) continue;  // the decomposition itself
    files[name] = test::ReadFile(entry.path().string());
  }
  return files;
}

TEST(GeneratedBasin, RunsWithTheSameResultsOnOneAndThreeProcesses) {
  test::TempDir one_dir;
  test::TempDir three_dir;
  const std::map<std::string, std::string> one = RunGeneratedBasin(1, one_dir);
  const std::map<std::string, std::string> three = RunGeneratedBasin(3, three_dir);
  ASSERT_FALSE(one.empty());
  // The chain's main results are there.
  for (const char* name : {"Qstat.txt", "qg.stat", "snowstorage.stat", "interception_storage.txt",
                           "surface_storage.txt", "real_transpiration.txt", "reservoir_2.txt", "storage.ste_0"}) {
    EXPECT_EQ(one.count(name), 1u) << name;
  }
  const std::regex not_finite(R"((^|[\s,;])[-+]?(nan|inf)(inity)?($|[\s,;]))", std::regex::icase);
  for (const auto& [name, text] : one) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(std::regex_search(text, not_finite));
    const auto other = three.find(name);
    ASSERT_NE(other, three.end());
    EXPECT_EQ(test::FirstDifferentLine(text, other->second), "") << "differs between 1 and 3 processes";
  }
  EXPECT_EQ(one.size(), three.size());

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
  EXPECT_FALSE(std::regex_search(summary, not_finite)) << summary;
}

}  // namespace
}  // namespace tolvo
