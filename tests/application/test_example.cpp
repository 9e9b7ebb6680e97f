// The example basin runs to its end under 1 and 3 processes, with the same results.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <algorithm>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/example_basin.h"
#include "support/output_compare.h"
#include "support/test_support.h"

namespace tolvo {
namespace {

namespace fs = std::filesystem;

// The values of an ASCII grid, after its six header lines.
std::vector<std::string> GridValues(const std::string& text) {
  std::istringstream in(text);
  std::string line;
  for (int i = 0; i < 6; ++i) std::getline(in, line);
  std::vector<std::string> values;
  for (std::string value; in >> value;) values.push_back(value);
  return values;
}

// The example runs from 1 January to the end of March 2020; the environment variable
// TOLVO_EXAMPLE_END_MONTH (1 or 2) ends it earlier, at the end of January or February
// (the sanitizer build runs January).
int EndMonth() {
  const char* month = std::getenv("TOLVO_EXAMPLE_END_MONTH");
  return month != nullptr && (std::string(month) == "1" || std::string(month) == "2") ? std::stoi(month) : 3;
}

// The hourly steps of the run and its last day.
int Steps() { return 24 * (EndMonth() == 1 ? 31 : EndMonth() == 2 ? 60 : 91); }
std::string LastDay() { return EndMonth() == 1 ? "2020-01-31" : EndMonth() == 2 ? "2020-02-29" : "2020-03-31"; }

// Every result file of a run of the example basin, by name.
std::map<std::string, std::string> RunExample(int processes, const test::TempDir& dir) {
  fs::copy(test::ExampleBasinSource(), dir.path(), fs::copy_options::recursive);
  fs::create_directories(dir.path() / "out");
  if (EndMonth() != 3) {
    std::string text = test::ReadFile(dir.file("basin.ctl"));
    const std::string end_month = "3     end month";
    const std::size_t at = text.find(end_month);
    EXPECT_NE(at, std::string::npos);
    if (at != std::string::npos) text.replace(at, end_month.size(), std::to_string(EndMonth()) + "     end month");
    test::WriteFile(dir.file("basin.ctl"), text);
  }
  const test::ProgramRun run = test::RunProgram({"basin.ctl"}, dir.path(), processes);
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_NE(run.output.find("reached end of simulation sucessfully"), std::string::npos);
  EXPECT_NE(run.output.find("exitcode 0"), std::string::npos);
  // A run that succeeds has nothing to report at the FATAL level (an optional section that
  // is absent is no error).
  EXPECT_EQ(test::ReadFile(dir.file("Tolvo_Diag_0.xml")).find("level=\"0\""), std::string::npos);
  // Surface routing drains its storages with the soil model's recession constants.
  EXPECT_EQ(test::ReadFile(dir.file("Tolvo_Diag_0.xml")).find("surface routing has no recession constants"),
            std::string::npos);
  // The routing description: sub-basin 1 flows into the routing object of sub-basin 2.
  EXPECT_NE(run.output.find("number inbetween areas (routings)    : 1"), std::string::npos);
  EXPECT_NE(run.output.find(" - flowing into another at the end   : 1"), std::string::npos);
  std::map<std::string, std::string> files;
  for (const fs::directory_entry& entry : fs::directory_iterator(dir.path() / "out")) {
    const std::string name = entry.path().filename().string();
    // Every process writes its own storage content file with a soil section (after the
    // routing's section on process 0); the flow-time sums are held on process 0, so its
    // file is compared whole.
    if (name.starts_with("storage.ste_")) {
      const std::string text = test::ReadFile(entry.path().string());
      EXPECT_TRUE(text.starts_with("[unsatzon_model]\n") || text.find("\n[unsatzon_model]\n") != std::string::npos)
          << name;
      if (name != "storage.ste_0") continue;
    }
    files[name] = test::ReadFile(entry.path().string());
  }
  // The model logs of all processes: which process writes a line depends on who owns the
  // cell, so their lines are compared as one sorted list.
  std::vector<std::string> lines;
  for (const fs::directory_entry& entry : fs::directory_iterator(dir.path())) {
    if (entry.path().filename().string().starts_with("modell_")) {
      std::istringstream in(test::ReadFile(entry.path().string()));
      for (std::string line; std::getline(in, line);) {
        // The control cell's end line names the process that owns the cell.
        if (line.starts_with("(mpi_rank ")) line.erase(0, line.find(')') + 2);
        lines.push_back(line);
      }
    }
  }
  std::sort(lines.begin(), lines.end());
  std::string joined;
  for (const std::string& line : lines) joined += line + "\n";
  files["model logs"] = joined;
  // The waterlevel-discharge tables of the channels go into the working directory.
  for (const fs::directory_entry& entry : fs::directory_iterator(dir.path())) {
    const std::string name = entry.path().filename().string();
    if (name.starts_with("wq_ta")) files[name] = test::ReadFile(entry.path().string());
  }
  return files;
}

// The sum over all steps of one sub-basin's column (1 = the first sub-basin) of a statistics
// table with three header lines.
double ColumnSum(const std::string& table, int subbasin) {
  std::istringstream in(table);
  std::string line;
  for (int i = 0; i < 3; ++i) std::getline(in, line);
  double sum = 0;
  while (std::getline(in, line)) {
    std::istringstream row(line);
    std::vector<std::string> values;
    for (std::string value; row >> value;) values.push_back(value);
    sum += std::stod(values.at(static_cast<std::size_t>(3 + subbasin)));
  }
  return sum;
}

// The rows of a statistics table with three header lines, as numbers: year, month, day,
// hour, then the table's columns.
std::vector<std::vector<double>> TableRows(const std::string& table) {
  std::istringstream in(table);
  std::string line;
  for (int i = 0; i < 3; ++i) std::getline(in, line);
  std::vector<std::vector<double>> rows;
  while (std::getline(in, line)) {
    std::istringstream row(line);
    rows.emplace_back();
    for (double x; row >> x;) rows.back().push_back(x);
  }
  return rows;
}

// The sum of one column of the rows of a day (day 0: of the whole month).
double Sum(const std::vector<std::vector<double>>& rows, std::size_t column, int month, int day = 0) {
  double sum = 0;
  for (const std::vector<double>& row : rows) {
    if (row.at(1) == month && (day == 0 || row.at(2) == day)) sum += row.at(column);
  }
  return sum;
}

TEST(ExampleBasin, RunsWithTheSameResultsOnOneAndThreeProcesses) {
  test::TempDir one_dir;
  test::TempDir three_dir;
  std::map<std::string, std::string> one = RunExample(1, one_dir);
  std::map<std::string, std::string> three = RunExample(3, three_dir);

  // The decomposition grid says which process computes each cell: all 0 with one process.
  ASSERT_TRUE(one.contains("MPIRegions_0"));
  const std::vector<std::string> regions = GridValues(one["MPIRegions_0"]);
  EXPECT_EQ(regions.size(), 80u);
  EXPECT_EQ(std::count(regions.begin(), regions.end(), "0"), 74);
  ASSERT_TRUE(three.contains("MPIRegions_0"));
  const std::vector<std::string> shared = GridValues(three["MPIRegions_0"]);
  for (const char* rank : {"0", "1", "2"}) EXPECT_GT(std::count(shared.begin(), shared.end(), rank), 0) << rank;
  // The two point files of the special output, written by process 0 from every process's cells.
  for (const char* name : {"points_surface.txt", "points_soil.txt"}) EXPECT_TRUE(three.contains(name)) << name;
  // The soil model's start lines: the control point's water and the three means, then the
  // flow-time distributions of the soil model and of the surface routing (a heading and a
  // line per sub-basin each); at the end the control point's water and the means again.
  EXPECT_EQ(std::count(one["model logs"].begin(), one["model logs"].end(), '\n'), 14) << one["model logs"];
  EXPECT_NE(one["model logs"].find("soil water content (control point r=4 c=5) at model-end: "), std::string::npos);
  EXPECT_NE(one["model logs"].find("mean soil water content for all cells at model-end: "), std::string::npos);
  EXPECT_NE(one["model logs"].find("TG\t   2\t(  1\tZonen):\t1.000\n"), std::string::npos);
  // The soil model's runoff per sub-basin: direct flow, interflow, base flow and their sum.
  for (const char* name : {"qd.stat", "qi.stat", "qb.stat", "qg.stat"}) EXPECT_TRUE(three.contains(name)) << name;
  EXPECT_NE(one["model logs"].find("soil water content (for control point r=4 c=5) at model-start:"),
            std::string::npos);
  EXPECT_NE(one["model logs"].find("partly or completely glacierized cells at model-start: 0.000000 m^3/m^2"),
            std::string::npos);
  // The discharge routing writes the table of its channel and the routed-discharge table.
  for (const char* name : {"wq_table.001", "Qstat.txt"}) EXPECT_TRUE(three.contains(name)) << name;
  // The reservoir at the outlet of sub-basin 2 writes its file with its header lines.
  ASSERT_TRUE(three.contains("reservoir_2.txt"));
  EXPECT_TRUE(one["reservoir_2.txt"].starts_with("YY\tMM\tDD\tHH\tW[m]\tA[m2]\tV[m3]\t"));
  EXPECT_NE(one["reservoir_2.txt"].find("\nreservoir_2\n"), std::string::npos);
  // The lake cell at the outlet of sub-basin 2 is the lake of that reservoir: its water
  // leaves only through the reservoir, never as direct runoff back into the reservoir's
  // own inflow. So the reservoir's volume follows its balance from V0 = 20000 m3 on (every
  // row: the change of volume is dV + Err), and sub-basin 2 makes less than twice its
  // precipitation as direct runoff (the lake's water going round gave ten times; the
  // aquifer draining the wet start through the surface gives about 1.3 times). Err is the water the lake cell's soil column and its aquifer
  // exchange with the pond between two routing steps, so it has no fixed sign.
  {
    std::istringstream in(one["reservoir_2.txt"]);
    std::string line;
    for (int i = 0; i < 3; ++i) std::getline(in, line);
    double previous = 20000;
    int rows = 0;
    while (std::getline(in, line)) {
      std::istringstream row(line);
      std::vector<double> v;
      for (double x; row >> x;) v.push_back(x);
      ASSERT_EQ(v.size(), 34u) << line;
      const double volume = v[6], dV = v[25], err = v[31];
      EXPECT_NEAR(volume - previous, dV + err, 0.1) << line;
      previous = volume;
      ++rows;
    }
    EXPECT_EQ(rows, Steps());
  }
  EXPECT_LT(ColumnSum(one["qd.stat"], 2), 2 * ColumnSum(one["precipitation_stat.txt"], 2));
  // The abstraction from it writes the water it takes in every step, at most 0.01 m3/s;
  // with the constant inflow the reservoir holds enough for it to take some.
  ASSERT_TRUE(three.contains("abstraction_1.txt"));
  EXPECT_TRUE(one["abstraction_1.txt"].starts_with("YY\tMM\tDD\tHH\tm^3/s"));
  EXPECT_NE(one["abstraction_1.txt"].find("\nabstraction_1\n"), std::string::npos);
  {
    std::istringstream in(one["abstraction_1.txt"]);
    std::string line;
    for (int i = 0; i < 3; ++i) std::getline(in, line);
    int rows = 0;
    double largest = 0;
    for (double y, m, d, h, q; in >> y >> m >> d >> h >> q; ++rows) largest = std::max(largest, q);
    EXPECT_EQ(rows, Steps());
    EXPECT_GT(largest, 0);
    EXPECT_LE(largest, 0.01 + 1e-9);
  }
  // Irrigation puts 4.8 mm a day on the 19 field cells of sub-basin 1 (of its 37 cells)
  // every second day from 10 January, ten times, from its river, which always holds enough:
  // 0.2 mm an hour, 0.1027 mm over the sub-basin. Nothing comes from groundwater.
  for (const char* name : {"irrigation_surface_water.stat", "irrigation_groundwater.stat"}) {
    ASSERT_TRUE(three.contains(name)) << name;
  }
  EXPECT_NE(one["irrigation_surface_water.stat"].find("irrigation water amount from  surface water [mm]"),
            std::string::npos);
  {
    const auto irrigated_rows = [](const std::string& table, int column) {
      std::istringstream in(table);
      std::string line;
      for (int i = 0; i < 3; ++i) std::getline(in, line);
      int irrigated = 0;
      for (double y, m, d, h, v1, v2, total; in >> y >> m >> d >> h >> v1 >> v2 >> total;) {
        if ((column == 1 ? v1 : v2) != 0) ++irrigated;
        if (column == 1 && v1 != 0) {
          EXPECT_NEAR(v1, 0.2 * 19 / 37, 1e-4) << d << " " << h;
        }
      }
      return irrigated;
    };
    EXPECT_EQ(irrigated_rows(one["irrigation_surface_water.stat"], 1), 10 * 24);
    EXPECT_EQ(irrigated_rows(one["irrigation_surface_water.stat"], 2), 0);
    EXPECT_EQ(irrigated_rows(one["irrigation_groundwater.stat"], 1), 0);
  }
  EXPECT_NE(one["Qstat.txt"].find("routed discharge [mm per subbasin] _submodel:routing_model"), std::string::npos);
  // The groundwater model writes the heads of its two layers in every step.
  for (const char* name : {"gw_heads1.asc", "gw_heads2.asc"}) EXPECT_TRUE(three.contains(name)) << name;
  // Surface routing writes its surface-storage table and its velocity stack.
  for (const char* name : {"surface_storage.txt", "surface_velocity.stack"}) EXPECT_TRUE(three.contains(name)) << name;
  // Over the three months the chain follows the weather. February's snowy cold spell
  // builds a pack that its mild spell melts, and none is left at the end of March. The
  // real evapotranspiration of March (warmer, longer and sunnier days) is well above
  // January's. On the day after each of March's two days of heavy rain (10 and 24 March)
  // the outlet (sub-basin 2) carries more than 1.5 times the discharge of the day before
  // the rain.
  if (EndMonth() >= 2) {
    const auto snow = TableRows(one["snowstorage.stat"]);
    ASSERT_FALSE(snow.empty());
    double february_most = 0;
    for (const std::vector<double>& row : snow) {
      if (row.at(1) == 2) february_most = std::max(february_most, row.back());
    }
    EXPECT_GT(february_most, 20);
    if (EndMonth() == 3) {
      EXPECT_LT(snow.back().back(), 0.001);
      const auto etr = TableRows(one["real_transpiration.txt"]);  // the total, basin in column 6
      EXPECT_GT(Sum(etr, 6, 3), 1.5 * Sum(etr, 6, 1));
      const auto discharge = TableRows(one["Qstat.txt"]);
      for (int day : {10, 24}) {
        EXPECT_GT(Sum(discharge, 5, 3, day + 1), 1.5 * Sum(discharge, 5, 3, day - 1)) << day << " March";
      }
    }
  }
  // The summary of the run lists every day at the outlet and takes the real
  // evapotranspiration from the model's total (real_transpiration.txt), whose parts
  // (transpiration, interception, soil and snow evaporation) it only names.
  {
    // Written beside the run, not into it: the run folders are compared file by file below.
    const test::TempDir summary_dir;
    const std::string summary_file = summary_dir.file("summary.txt");
    const std::string command = std::string(TOLVO_SOURCE_DIR) + "/scripts/example-summary " +
                                one_dir.path().string() + " > " + summary_file;
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    const std::string summary = test::ReadFile(summary_file);
    for (const std::string& day : {std::string("2020-01-01"), LastDay()}) {
      EXPECT_NE(summary.find("\n  " + day + " "), std::string::npos) << day << summary;
    }
    const std::string label = "  real evapotranspiration ";
    const std::size_t at = summary.find(label);
    ASSERT_NE(at, std::string::npos) << summary;
    EXPECT_NEAR(std::stod(summary.substr(at + label.size())), ColumnSum(one["real_transpiration.txt"], 3), 0.006)
        << summary;
  }
  // Every file either run wrote, value for value (the per-process files apart), and the
  // model logs' lines as one list.
  const std::vector<test::ExcludedFiles> excluded = test::PerProcessAndInputFiles(test::ExampleBasinSource());
  EXPECT_EQ(test::FirstOutputDifference(one_dir.path(), three_dir.path(), excluded), "");
  EXPECT_EQ(one["model logs"], three["model logs"]);
  EXPECT_EQ(test::NonFiniteValues(one_dir.path(), test::InputFilesOf(test::ExampleBasinSource())), "");
}

}  // namespace
}  // namespace tolvo
