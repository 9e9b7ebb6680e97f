// Cell dumps of the soil column solver: the checks and their file names, the repairs, the
// file limit under threads, the repair messages, -closeAfterDump and unwritable files.
#include <gtest/gtest.h>
#include <omp.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "framework/error_code.h"
#include "subsurface/column_grid_fixture.h"
#include "subsurface/soil_cell_dumps.h"
#include "support/test_support.h"

namespace tolvo {
namespace {

using test::ColumnGridSet;

TEST(CellDumpChecks, AnomaliesNameTheFileAndOnlySoilLayersAreRepaired) {
  const struct {
    const char* label;
    double baseflow;
    int ns;
    std::vector<double> theta;  // positions −ns..3
    const char* stem;           // "" when there is no anomaly
    std::vector<double> repaired;
    double repaired_baseflow;
  } cases[] = {
      {"a baseflow of exactly 10 is no anomaly", 10, 0, {0, 0.3, 0.3, 0.3}, "", {0, 0.3, 0.3, 0.3}, 10},
      {"baseflow above 10", 10.5, 0, {0, 0.3, 0.3, 0.3}, "MPI_2_dgw_dump_row_4_col_7_substep_3_1998060506",
       {0, 0.3, 0.3, 0.3}, 10},
      {"baseflow below -10", -12, 0, {0, 0.3, 0.3, 0.3}, "MPI_2_dgw_dump_row_4_col_7_substep_3_1998060506",
       {0, 0.3, 0.3, 0.3}, -10},
      {"theta above saturation within the tolerance", 0, 0, {0, 0.3, 0.4309, 0.3}, "", {0, 0.3, 0.4309, 0.3}, 0},
      {"theta above saturation and baseflow", 11, 0, {0, 0.3, 0.432, -0.01},
       "MPI_2_theta(2)_dgw_dump_row_4_col_7_substep_3_1998060506", {0, 0.3, 0.43, 0}, 10},
      {"a nodata content is no anomaly", 0, 0, {0, 0.3, -9999, 0.3}, "", {0, 0.3, -9999, 0.3}, 0},
      {"a negative content in a snow layer", 0, 2, {0, -0.01, 0.2, 0.3, 0.3, 0.5},
       "MPI_2_theta(-1)_dump_row_4_col_7_substep_3_1998060506", {0, -0.01, 0.2, 0.3, 0.3, 0.43}, 0},
      {"a dry snow layer under a wet one", 0, 2, {0, 0.1, -9999, 0.3, 0.3, 0.3},
       "MPI_2_thetasnow(0)_dump_row_4_col_7_substep_3_1998060506", {0, 0.1, -9999, 0.3, 0.3, 0.3}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    std::vector<double> theta = c.theta;
    ASSERT_EQ(theta.size(), static_cast<std::size_t>(3 + c.ns + 1));
    const std::vector<double> theta_s(theta.size(), 0.43);
    const DumpColumn col{.n = 3, .ns = c.ns, .theta = theta, .theta_s = theta_s};
    const DumpFlags f = check_cell(c.baseflow, col);
    EXPECT_EQ(f.any(), *c.stem != '\0');
    if (f.any()) {
      EXPECT_EQ(dump_file_stem(2, f, 4, 7, 3, 1998, 6, 5, 6), c.stem);
    }
    double baseflow = c.baseflow;
    repair_cell(f, baseflow, col);
    EXPECT_EQ(theta, c.repaired);
    EXPECT_EQ(baseflow, c.repaired_baseflow);
  }
}

class CellDumpLoopTest : public test::LogFixture {
 protected:
  static constexpr int kRows = 8;
  static constexpr int kCols = 5;
  static constexpr int kLayers = 10;

  CellDumpLoopTest() : set_(log_, kRows, kCols, kLayers, 6), baseflow_(1, kRows, kCols, kRows) {
    baseflow_.fill(0);
    // Six cells in six rows with a baseflow out of range.
    for (int r = 2; r <= 7; ++r) baseflow_(r, 1 + r % kCols) = 20;
    run_.counter = &counter_;
    run_.rank = 0;
    run_.year = 1998;
    run_.month = 6;
    run_.day = 5;
    run_.hour = 6;
    set_.settings.dumps = &run_;
  }

  // One sub-step of every cell with the working directory in the test's folder.
  SoilColumnLoopReport Run(int threads) {
    SoilColumnGrids g = set_.Views();
    g.baseflow = baseflow_.view();
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(dir_.path());
    omp_set_num_threads(threads);
    SoilColumnLoopReport report = soil_column_loop(SoilColumnKernels(), set_.settings, g, set_.work);
    omp_set_num_threads(2);
    std::filesystem::current_path(previous);
    return report;
  }

  std::set<std::string> DumpFiles() const {
    std::set<std::string> files;
    for (const auto& e : std::filesystem::directory_iterator(dir_.path())) {
      const std::string name = e.path().filename().string();
      if (name.find("dump_row") != std::string::npos) files.insert(name);
    }
    return files;
  }

  int LoggedCount(const std::string& text) const {
    const std::string s = console_.str();
    int n = 0;
    for (auto at = s.find(text); at != std::string::npos; at = s.find(text, at + 1)) ++n;
    return n;
  }

  ColumnGridSet set_;
  Grid baseflow_;
  std::atomic<long long> counter_{0};
  CellDumpRun run_;
};

TEST_F(CellDumpLoopTest, ThreeFilesUnderFourThreadsAndTheirRepairMessages) {
  run_.options = {.dump_mode = true, .close_after_dump = false, .repair_after_dump = true, .max_dump_files = 3};
  SoilColumnLoopReport report = Run(4);
  ASSERT_EQ(report.code, 0) << report.entry;
  EXPECT_EQ(counter_.load(), 6);
  const std::set<std::string> files = DumpFiles();
  ASSERT_EQ(files.size(), 3u);
  for (const std::string& f : files) {
    EXPECT_EQ(f.substr(0, 10), "MPI_0_dgw_");
    EXPECT_EQ(f.substr(f.size() - 25), "_substep_1_1998060506.dmp");
  }
  // Layout: root layers (int32), three doubles, real transpiration 0..1, fourteen arrays of
  // positions 0..10, soil type (int32), land use 1, hour, day, month, year (int32), nW, dt,
  // the position above the first active layer (int32).
  const std::size_t expected = 4 + 3 * 8 + 2 * 8 + 14 * 11 * 8 + 4 + 8 + 4 * 4 + 2 * 8 + 4;
  const std::string path = dir_.file(*files.begin());
  EXPECT_EQ(std::filesystem::file_size(path), expected);
  std::ifstream in(path, std::ios::binary);
  const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_EQ(bytes.size(), expected);
  double baseflow = 0;
  std::memcpy(&baseflow, bytes.data() + 4 + 2 * 8, 8);
  EXPECT_EQ(baseflow, 20);
  std::int32_t date[4] = {};
  std::memcpy(date, bytes.data() + expected - 4 - 2 * 8 - 4 * 4, sizeof date);
  EXPECT_EQ(date[0], 6);
  EXPECT_EQ(date[3], 1998);
  double dt = 0;
  std::memcpy(&dt, bytes.data() + expected - 4 - 8, 8);
  EXPECT_EQ(dt, 3600);

  // Every anomalous baseflow is repaired (and then replaced by the sub-step's own).
  EXPECT_EQ(report.dump_repair_messages, 2);
  EXPECT_TRUE(report.dump_last_repair_message);
  finish_cell_dumps(log_, report, true);
  EXPECT_EQ(LoggedCount("setting the misbehaving parameter back to what is expected of it :-)"), 3);
  EXPECT_EQ(LoggedCount("continuing from now on without that message..."), 1);

  // Further anomalies: no file and no message.
  for (int r = 2; r <= 7; ++r) baseflow_(r, 1 + r % kCols) = -20;
  report = Run(4);
  EXPECT_EQ(counter_.load(), 12);
  EXPECT_EQ(DumpFiles().size(), 3u);
  EXPECT_EQ(report.dump_repair_messages, 0);
  EXPECT_FALSE(report.dump_last_repair_message);
}

TEST_F(CellDumpLoopTest, WithoutALimitEveryAnomalyWritesAndRepairsSilently) {
  run_.options = {.dump_mode = true, .close_after_dump = false, .repair_after_dump = true, .max_dump_files = 0};
  // A folder in the way of one dump file: the file is skipped with a warning, the anomaly counts.
  std::filesystem::create_directory(dir_.file("MPI_0_dgw_dump_row_2_col_3_substep_1_1998060506.dmp"));
  SoilColumnLoopReport report = Run(4);
  ASSERT_EQ(report.code, 0);
  EXPECT_EQ(counter_.load(), 6);
  EXPECT_EQ(DumpFiles().size(), 6u);  // five files and the folder
  EXPECT_EQ(report.dump_repair_messages, 0);
  ASSERT_EQ(report.unopened_dumps.size(), 1u);
  finish_cell_dumps(log_, report, true);
  EXPECT_TRUE(Logged("the dump file MPI_0_dgw_dump_row_2_col_3_substep_1_1998060506.dmp cannot be opened"))
      << console_.str();
  EXPECT_EQ(LoggedCount("setting the misbehaving parameter"), 0);
}

TEST_F(CellDumpLoopTest, CloseAfterDumpStopsTheRunWith199) {
  run_.options = {.dump_mode = true, .close_after_dump = true, .repair_after_dump = true, .max_dump_files = 0};
  SoilColumnLoopReport report = Run(2);
  EXPECT_EQ(report.code, kSoilDumpAbort);
  EXPECT_GE(DumpFiles().size(), 1u);
  finish_cell_dumps(log_, report, true);
  EXPECT_EQ(test::CodeOf([&] { raise_column_failure(log_, report); }), 199);
  EXPECT_TRUE(Logged("\n\n -------- command line option -closeAfterDump active! "
                     "---------------------------------------------\n\n a dumpfile has been written and Tolvo "
                     "aborts now.\n" + std::string(61, '-') + "\n\n"))
      << console_.str();
}

TEST_F(CellDumpLoopTest, OutsideDumpModeNothingIsCheckedOrWritten) {
  set_.settings.dumps = nullptr;
  const SoilColumnLoopReport report = Run(2);
  EXPECT_EQ(report.code, 0);
  EXPECT_EQ(counter_.load(), 0);
  EXPECT_TRUE(DumpFiles().empty());
}

}  // namespace
}  // namespace tolvo
