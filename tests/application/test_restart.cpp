// A run continued from the state it left behind: two days of the example basin in one run
// write the same files for the second day as a run of the first day followed by a run of
// the second day that starts from the first run's storage content file and state grids
// (64-bit binary grids).
#include <gtest/gtest.h>

#include <filesystem>
#include <algorithm>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "support/example_basin.h"
#include "support/test_support.h"

namespace tolvo {
namespace {

namespace fs = std::filesystem;

using Edits = std::vector<std::pair<std::string, std::string>>;

std::string Edited(std::string text, const Edits& edits) {
  for (const auto& [from, to] : edits) {
    const std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) text.replace(at, from.size(), to);
  }
  return text;
}

// The example basin with its state grids written in binary doubles at the end of the run.
// The groundwater model writes its heads every step; the lake's volume is kept in the
// storage content file.
Edits StateWritten() {
  Edits edits = {{"WriteAsciiGrids = 1", "WriteAsciiGrids = 0\nWriteDoubleGrids = 1"}};
  for (const char* grid : {"theta.asc  name of the Theta_stacks in\n", "hh.asc  name of the hh-stacks in\n",
                           "hgeo.asc  name of the hgeo-stacks in\n", "gwst.asc  name of the GWSTAND-Grids in\n",
                           "gwth.asc  name of the GWtheta-Grids in\n", "gwlevel.asc  name of the GWLEVEL-Grids in\n",
                           "qu.asc  name of the q_unten-stacks in\n", "pond.asc  name of the POND-Grids in\n",
                           "snowsolid.asc name of the solid snow storage grid\n",
                           "snowliquid.asc  name of the liquid snow storage grid\n",
                           "snowtotal.asc name of the total snow storage grid\n",
                           "snowdays.asc  name of the snow-cover days grid\n",
                           "snowage.asc   name of the snow age grid\n",
                           "interception_storage.asc       name interception storage grid\n"}) {
    edits.emplace_back(std::string(grid) + "0", std::string(grid) + "3");
  }
  // The example writes the hand-back of the groundwater model summed over the run as well.
  edits.emplace_back("qb.asc  name of the DELTAGW-Grids in\n13", "qb.asc  name of the DELTAGW-Grids in\n3 ");
  // The water the surface routing left on the cells, which the silting-up model adds to the
  // water input of the next step.
  edits.emplace_back("SurfStorSiltingUp 0 readcode = 0 defaultValue = 0",
                     "SurfStorSiltingUp 0 readcode = 0 defaultValue = 0 writecode = 3");
  // The soil model's layered snow pack.
  for (const char* stack : {"snow_swes.stk", "snow_swel.stk", "snow_temperature.stk", "snow_theta.stk", "snow_heads.stk",
                            "snow_heights.stk", "snow_qdown.stk", "snow_thickness.stk", "snow_density.stk",
                            "snow_upper.asc"}) {
    edits.emplace_back(std::string(stack) + "\n0     write code", std::string(stack) + "\n3     write code");
  }
  return edits;
}

// Every sub-model that keeps state reads it back.
Edits StateRead() {
  Edits edits;
  for (const char* code : {"0     read control parameter for storage grids: compute the start state",
                           "0     read code of the snow storage grids", "0                              readgrid: start",
                           "0     storage grids are not read", "0                              the state grids start at 0",
                           "0     heads start from the soil model's groundwater table"}) {
    edits.emplace_back(code, std::string("1") + (code + 1));
  }
  edits.emplace_back("SurfStorSiltingUp 0 readcode = 0", "SurfStorSiltingUp 0 readcode = 1");
  return edits;
}

// The files a run wrote into its output folder, by name.
using Outputs = std::map<std::string, std::string>;

// Runs the basin with the edits in `dir` and returns its output files.
Outputs Run(const fs::path& dir, const Edits& edits, int processes, const fs::path& state_from = {}) {
  fs::copy(test::ExampleBasinSource(), dir, fs::copy_options::recursive);
  fs::create_directories(dir / "out");
  const std::string control = test::ReadFile((dir / "basin.ctl").string());
  test::WriteFile((dir / "basin.ctl").string(), Edited(control, edits));
  if (!state_from.empty()) {
    for (const fs::directory_entry& entry : fs::directory_iterator(state_from)) {
      fs::copy_file(entry.path(), dir / entry.path().filename(), fs::copy_options::skip_existing);
    }
  }
  const test::ProgramRun run = test::RunProgram({"basin.ctl"}, dir, processes);
  EXPECT_EQ(run.status, 0) << run.output;
  Outputs out;
  for (const fs::directory_entry& entry : fs::directory_iterator(dir / "out")) {
    out[entry.path().filename().string()] = test::ReadFile(entry.path().string());
  }
  return out;
}

// A row of a table: a line that begins with the year.
bool IsRow(std::string_view line) {
  const auto digit = [](char ch) { return ch >= '0' && ch <= '9'; };
  return line.size() > 5 && std::all_of(line.begin(), line.begin() + 4, digit) && (line[4] == '\t' || line[4] == ' ');
}

std::vector<std::string> Rows(const std::string& text) {
  std::vector<std::string> rows;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (IsRow(line)) rows.push_back(line);
  }
  return rows;
}

bool IsText(const std::string& bytes) { return bytes.find('\0') == std::string::npos; }

// Where the continued run's file differs from the unbroken run's, or "" where it does not:
// a table's rows must be the last rows of the unbroken run's table (its header, and
// blocks written at the end of a run over the whole run, may differ); any other file
// (grids and stacks of doubles, the storage content files with their sections) must be
// the same byte for byte.
std::string Difference(const std::string& unbroken, const std::string& continued) {
  if (unbroken == continued) return "";
  if (IsText(continued) && IsText(unbroken)) {
    const std::vector<std::string> all = Rows(unbroken);
    const std::vector<std::string> rows = Rows(continued);
    const bool sections = continued.starts_with('[') || continued.find("\n[") != std::string::npos;
    if (rows.empty() || sections) return test::FirstDifferentLine(unbroken, continued);
    if (rows.size() > all.size()) return "more rows than the unbroken run's table";
    const std::size_t skip = all.size() - rows.size();
    for (std::size_t i = 0; i < rows.size(); ++i) {
      if (rows[i] != all[skip + i]) return "row " + std::to_string(i + 1) + ":\n  " + all[skip + i] + "\n  " + rows[i];
    }
    return "";
  }
  if (unbroken.size() != continued.size()) {
    return "size " + std::to_string(unbroken.size()) + " against " + std::to_string(continued.size());
  }
  // The file's doubles after its header (the header's length is a whole number of
  // doubles, and any text before it is shorter than one).
  const std::size_t first = continued.size() % sizeof(double);
  for (std::size_t at = first; at + sizeof(double) <= continued.size(); at += sizeof(double)) {
    if (std::memcmp(unbroken.data() + at, continued.data() + at, sizeof(double)) == 0) continue;
    double a = 0;
    double b = 0;
    std::memcpy(&a, unbroken.data() + at, sizeof a);
    std::memcpy(&b, continued.data() + at, sizeof b);
    std::ostringstream text;
    text.precision(17);
    text << "value " << (at - first) / sizeof(double) << " (counting the header's): " << a << " against " << b;
    return text.str();
  }
  return "the bytes before the first value";
}

// With `lake_from_cells` every run starts the lake's reservoir from its cells' ponding.
void ExpectRestartIsExact(int processes, bool lake_from_cells = false) {
  test::TempDir whole;
  test::TempDir first;
  test::TempDir second;
  // 11 and 12 January: snow lies on the basin, and the fields of sub-basin 1 are irrigated
  // on the 12th with the river water the routing offered at the end of the 11th.
  Edits both = StateWritten();
  both.emplace_back("1     start day", "11    start day");
  both.emplace_back("31    end day\n3     end month", "12    end day\n1     end month");
  Edits day1 = StateWritten();
  day1.emplace_back("1     start day", "11    start day");
  day1.emplace_back("31    end day\n3     end month", "11    end day\n1     end month");
  Edits day2 = StateWritten();
  day2.emplace_back("1     start day", "12    start day");
  day2.emplace_back("31    end day\n3     end month", "12    end day\n1     end month");
  for (auto& edit : StateRead()) day2.push_back(edit);
  if (lake_from_cells) {
    for (Edits* edits : {&both, &day1, &day2}) edits->emplace_back("0     readgrids:", "1     readgrids:");
  }

  const Outputs two_days = Run(whole.path(), both, processes);
  Run(first.path(), day1, processes);
  const Outputs continued = Run(second.path(), day2, processes, first.path() / "out");

  // Every file the second day wrote, byte for byte where it is not a table: the grids and
  // stacks of the end of the run (the snow, the interception, the silting-up, the surface
  // water the surface routing left, the ponding with the lake, the soil water of the
  // columns and their temperatures, the groundwater heads of both layers), the grids of
  // every step and every day, and the whole storage content file of every process. Sums
  // and means over the whole run (".sum", ".mit", ".min", ".max") cover two days in the
  // unbroken run and are left out.
  for (const auto& [name, text] : continued) {
    SCOPED_TRACE(name);
    if (name.ends_with(".sum") || name.ends_with(".mit") || name.ends_with(".min") || name.ends_with(".max")) continue;
    ASSERT_TRUE(two_days.contains(name)) << "the unbroken run did not write " << name;
    const std::string difference = Difference(two_days.at(name), text);
    EXPECT_EQ(difference, "") << "first difference of " << name;
  }
  // The routed discharge, the reservoir, the soil model's runoff, the snow, the
  // interception, the silting-up and the surface routing all keep tables of the second day.
  for (const char* name : {"Qstat.txt", "reservoir_2.txt", "qd.stat", "qi.stat", "qb.stat", "snowstorage.stat",
                           "interception_storage.txt", "silting_disposition.txt", "surface_storage.txt",
                           "irrigation_surface_water.stat"}) {
    ASSERT_TRUE(continued.contains(name)) << name;
    EXPECT_EQ(Rows(continued.at(name)).size(), 24u) << name;
  }
  for (const char* name : {"snowsolid.asc", "interception_storage.asc", "rain_pause.asc", "pond.asc", "gwlevel.asc",
                           "theta.asc", "hh.asc", "gwst.asc", "gwth.asc", "qb.asc", "qu.asc", "soil_temperature.stk",
                           "gw_heads1.asc", "gw_heads2.asc", "SurfStorSiltingUp.asc", "storage.ste_0"}) {
    EXPECT_TRUE(continued.contains(name)) << name;
  }
}

TEST(ExampleBasinRestart, SecondDayContinuedFromTheStorageEqualsTheTwoDayRun) { ExpectRestartIsExact(1); }

TEST(ExampleBasinRestart, SecondDayContinuedFromTheStorageEqualsTheTwoDayRunOnThreeProcesses) {
  ExpectRestartIsExact(3);
}

// The lake's reservoir takes its start content from the ponding of its cells ("readgrids"
// 1), which on three processes are gathered from their owners; the continued run reads
// the stored lake all the same.
TEST(ExampleBasinRestart, ALakeStartedFromItsCellsContinuesExactlyOnThreeProcesses) {
  ExpectRestartIsExact(3, true);
}

}  // namespace
}  // namespace tolvo
