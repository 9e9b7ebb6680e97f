// Zone-record reduction and statistics tables over 1, 2 and 3 processes: the results must
// equal those of one process.

#include <gtest/gtest.h>

#include <sstream>
#include <vector>

#include "framework/zonal_statistic.h"
#include "framework/zone_record.h"
#include "support/row_bands.h"
#include "support/test_support.h"

namespace tolvo {
namespace {

using test::WorldRank;
using test::WorldSize;

// Records 0..2 of a process: n = rank + 1, sx = 10 (rank + 1), RelCellSum = 100 (rank + 1),
// zonenwert and rel marking the process.
std::vector<ZoneRecord> RecordsOfThisProcess() {
  const double r = WorldRank() + 1;
  std::vector<ZoneRecord> records(3);
  for (std::size_t i = 0; i < records.size(); ++i) {
    records[i] = {r + i, 10 * r, 1000 * r + i, -r, 100 * r};
  }
  return records;
}

TEST(ZoneRecordMpi, ReduceSumsOnProcessZeroAndLeavesOthersUnchanged) {
  const int p = WorldSize();
  // Sum over ranks of (rank + 1): p (p + 1) / 2.
  const double s = p * (p + 1) / 2.0;
  for (const bool sum_rel_cell_sum : {true, false}) {
    SCOPED_TRACE(sum_rel_cell_sum);
    std::vector<ZoneRecord> records = RecordsOfThisProcess();
    const std::vector<ZoneRecord> before = records;
    ReduceZoneRecords(records, 2, sum_rel_cell_sum);
    for (std::size_t i = 0; i < records.size(); ++i) {
      if (WorldRank() == 0) {
        EXPECT_EQ(records[i].n, s + p * static_cast<double>(i));
        EXPECT_EQ(records[i].sx, 10 * s);
        EXPECT_EQ(records[i].RelCellSum, sum_rel_cell_sum ? 100 * s : 100.0);
        EXPECT_EQ(records[i].zonenwert, before[i].zonenwert);
        EXPECT_EQ(records[i].rel, before[i].rel);
      } else {
        EXPECT_EQ(records[i].n, before[i].n);
        EXPECT_EQ(records[i].sx, before[i].sx);
        EXPECT_EQ(records[i].RelCellSum, before[i].RelCellSum);
      }
    }
  }
}

TEST(ZoneRecordMpi, BroadcastCopiesTheSumsButKeepsEachProcessCodesAndShares) {
  std::vector<ZoneRecord> records = RecordsOfThisProcess();
  const std::vector<ZoneRecord> before = records;
  BroadcastZoneRecords(records, 2);
  for (std::size_t i = 0; i < records.size(); ++i) {
    EXPECT_EQ(records[i].n, 1.0 + static_cast<double>(i));
    EXPECT_EQ(records[i].sx, 10.0);
    EXPECT_EQ(records[i].RelCellSum, 100.0);
    EXPECT_EQ(records[i].zonenwert, before[i].zonenwert);
    EXPECT_EQ(records[i].rel, before[i].rel);
  }
}

// Zones 10, 20 and 30, one cell each with the values 1, 2 and 3, dealt out over the
// processes (cell i on process i mod p): the table must be the one-process table.
TEST(ZonalStatisticMpi, TableIsTheSameWhateverTheNumberOfProcesses) {
  test::TempDir dir;
  std::ostringstream console;
  DiagnosticsLog log(dir.file("d.xml"), 4, console);
  std::vector<ZoneRecord> zones(4);
  for (int i = 1; i <= 3; ++i) {
    zones[static_cast<std::size_t>(i)].zonenwert = 10.0 * i;
    zones[static_cast<std::size_t>(i)].rel = 1.0 / 3.0;
  }
  std::string file_name = "table.txt";
  int status = -1;
  zonalstatistic table(status, log, {}, 1, 3, zones, 3, 2001, 2, file_name, dir.path().string() + "/", {});
  ASSERT_EQ(status, 0);
  StatisticsRegistry registry;
  const int index = table.WriteHeader("runoff", "(default)", registry, StatisticsRegistry::kCapacity);
  EXPECT_EQ(index, WorldRank() == 0 ? 0 : -1);
  for (long long hour = 1; hour <= 2; ++hour) {
    table.BeginStep();
    for (int cell = 1; cell <= 3; ++cell) {
      if ((cell - 1) % WorldSize() == WorldRank()) table.AddValue(1, cell, cell, cell * static_cast<double>(hour), 1.0);
    }
    table.EndStep(2001, 6, 30, hour, 1);
  }
  table.Release();
  if (WorldRank() == 0) {
    EXPECT_EQ(test::ReadFile(dir.file("table.txt")),
              "YY\tMM\tDD\tHH\t\"10\"\t\"20\"\t\"30\"\ttot_average\n"
              "runoff_submodel:(default)\n"
              "--\t--\t--\t--\t0.3333333\t0.3333333\t0.3333333\t1.0000\n"
              "2001\t 6\t30\t 1\t1.00\t2.00\t3.00\t2.00\n"
              "2001\t 6\t30\t 2\t2.00\t4.00\t6.00\t4.00\n");
  }
}

}  // namespace
}  // namespace tolvo
