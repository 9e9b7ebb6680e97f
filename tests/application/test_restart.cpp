// A run continued from the state it left behind: two days of the example basin in one run
// give the same statistics rows for the second day as a run of the first day followed by a
// run of the second day that starts from the first run's storage content file and state
// grids (64-bit binary grids).
#include <gtest/gtest.h>

#include <filesystem>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
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
                           "qb.asc  name of the DELTAGW-Grids in\n",
                           "qu.asc  name of the q_unten-stacks in\n", "pond.asc  name of the POND-Grids in\n",
                           "snowsolid.asc name of the solid snow storage grid\n",
                           "snowliquid.asc  name of the liquid snow storage grid\n",
                           "snowtotal.asc name of the total snow storage grid\n",
                           "snowdays.asc  name of the snow-cover days grid\n",
                           "snowage.asc   name of the snow age grid\n",
                           "interception_storage.asc       name interception storage grid\n"}) {
    edits.emplace_back(std::string(grid) + "0", std::string(grid) + "3");
  }
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
  return edits;
}

struct Outputs {
  std::map<std::string, std::vector<std::string>> rows;  // statistics rows by table
  std::map<std::string, std::string> grids;               // the end-of-run grids, stacks and storage files
};

// Runs the basin with the edits in `dir` and returns the rows of its statistics tables
// (the lines that begin with the year) and its grid files by file name.
Outputs Run(const fs::path& dir, const Edits& edits, int processes,
                                                    const fs::path& state_from = {}) {
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
    const std::string name = entry.path().filename().string();
    const std::string text = test::ReadFile(entry.path().string());
    if (name.ends_with(".asc") || name.ends_with(".stk") || name.starts_with("storage.ste")) {
      out.grids[name] = text;
      continue;
    }
    std::istringstream in(text);
    std::vector<std::string>& table = out.rows[name];
    for (std::string line; std::getline(in, line);) {
      if (line.starts_with("2020\t")) table.push_back(line);
    }
  }
  return out;
}

// Two binary files of doubles of the same layout whose values agree to round-off (1e-12
// relative). The soil temperatures of a continued run differ from the unbroken run's in
// the last bit of a few values: the heat step keeps something of the previous sub-step
// that the state does not hold.
bool NearlySameDoubles(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t at = a.size() % sizeof(double); at + sizeof(double) <= a.size(); at += sizeof(double)) {
    double x = 0;
    double y = 0;
    std::memcpy(&x, a.data() + at, sizeof x);
    std::memcpy(&y, b.data() + at, sizeof y);
    if (std::abs(x - y) > 1e-12 * std::max(1.0, std::abs(x))) return false;
  }
  return true;
}

void ExpectRestartIsExact(int processes) {
  test::TempDir whole;
  test::TempDir first;
  test::TempDir second;
  Edits both = StateWritten();
  both.emplace_back("31    end day\n3     end month", "2     end day\n1     end month");
  Edits day1 = StateWritten();
  day1.emplace_back("31    end day\n3     end month", "1     end day\n1     end month");
  Edits day2 = StateWritten();
  day2.emplace_back("31    end day\n3     end month", "2     end day\n1     end month");
  day2.emplace_back("1     start day", "2     start day");
  for (auto& edit : StateRead()) day2.push_back(edit);

  const auto two_days = Run(whole.path(), both, processes);
  Run(first.path(), day1, processes);
  const auto continued = Run(second.path(), day2, processes, first.path() / "out");

  int tables = 0;
  for (const auto& [name, rows] : continued.rows) {
    if (rows.empty()) continue;
    ASSERT_TRUE(two_days.rows.contains(name)) << name;
    const std::vector<std::string>& all = two_days.rows.at(name);
    ASSERT_GE(all.size(), rows.size()) << name;
    EXPECT_EQ(std::vector<std::string>(all.end() - static_cast<std::ptrdiff_t>(rows.size()), all.end()), rows)
        << name;
    ++tables;
  }
  // The routed discharge, the reservoir, the soil model's runoff, the snow, the
  // interception, the silting-up and the surface routing all keep tables.
  for (const char* name : {"Qstat.txt", "reservoir_2.txt", "qd.stat", "qi.stat", "qb.stat", "snowstorage.stat",
                           "interception_storage.txt", "silting_disposition.txt", "surface_storage.txt"}) {
    EXPECT_EQ(continued.rows.at(name).size(), 24u) << name;
  }
  EXPECT_GT(tables, 10);
  // The state at the end, bit for bit: snow, interception, silting-up, ponding with the
  // lake, the soil
  // water of the columns (water contents, heads, water table, base flow, layer fluxes),
  // the soil temperatures, the groundwater heads of both layers and the whole storage
  // content file of every process.
  // The soil temperatures may differ in the last bit (see NearlySameDoubles).
  int grids = 0;
  for (const auto& [name, grid] : continued.grids) {
    ASSERT_TRUE(two_days.grids.contains(name)) << name;
    if (name == "soil_temperature.stk") {
      EXPECT_TRUE(NearlySameDoubles(two_days.grids.at(name), grid)) << name;
    } else {
      EXPECT_TRUE(two_days.grids.at(name) == grid) << name;
    }
    ++grids;
  }
  for (const char* name : {"snowsolid.asc", "interception_storage.asc", "rain_pause.asc", "pond.asc", "gwlevel.asc",
                           "theta.asc", "hh.asc", "gwst.asc", "gwth.asc", "qb.asc", "qu.asc", "soil_temperature.stk",
                           "gw_heads1.asc", "gw_heads2.asc", "storage.ste_0"}) {
    EXPECT_TRUE(continued.grids.contains(name)) << name;
  }
  EXPECT_GT(grids, 10);
}

TEST(ExampleBasinRestart, SecondDayContinuedFromTheStorageEqualsTheTwoDayRun) { ExpectRestartIsExact(1); }

TEST(ExampleBasinRestart, SecondDayContinuedFromTheStorageEqualsTheTwoDayRunOnThreeProcesses) {
  ExpectRestartIsExact(3);
}

}  // namespace
}  // namespace tolvo
