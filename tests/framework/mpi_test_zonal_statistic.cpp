// Zone-record reduction and statistics tables over 1, 2 and 3 processes: the results must
// equal those of one process.

#include <gtest/gtest.h>
#include <omp.h>

#include <array>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "framework/parallel.h"
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
  zonalstatistic table(log, {}, 1, 3, zones, 3, 2001, 2, file_name, dir.path().string() + "/", {});
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

// A 9 x 10 grid of three zones (codes 10, 20, 30 by diagonal stripes) whose cells are
// dealt out one by one over the processes, so that every row is split between them.
// Values and relative cell areas are not whole numbers and do not add exactly: a plain
// running sum would depend on which process and which thread added which cell.
class NonIntegerZoneSums {
 public:
  static constexpr int kRows = 9;
  static constexpr int kCols = 10;

  NonIntegerZoneSums() : areas_(1, kRows, kCols, kRows) {
    for (int r = 1; r <= kRows; ++r) {
      for (int c = 1; c <= kCols; ++c) areas_(r, c) = 0.5 + 0.01 * c + 0.003 * r;
    }
  }
  static int Zone(int r, int c) { return 1 + (r + c) % 3; }
  static double Value(int r, int c, long long step) { return 0.1 * c + 1e-3 * r + 0.37 * static_cast<double>(step); }
  static bool Mine(int r, int c) { return (r * kCols + c) % WorldSize() == WorldRank(); }
  ConstGridView areas() const { return areas_.view(); }

  // A table with code 2002 (zone means over two steps, 17 decimals) written in four steps:
  // every process adds its own cells with `threads` threads and the sums are reduced, or,
  // with all_cells_serially, one thread adds every cell in row order and nothing is reduced.
  std::string Table(const std::string& directory, const std::string& name, bool all_cells_serially) const {
    std::ostringstream console;
    DiagnosticsLog log(directory + "/" + name + ".xml", 4, console);
    std::vector<ZoneRecord> zones(4);
    for (int i = 1; i <= 3; ++i) zones[static_cast<std::size_t>(i)].zonenwert = 10.0 * i;
    std::string file_name = name;
    zonalstatistic table(log, areas(), kRows, kCols, zones, 3, 2002, 17, file_name, directory + "/", {});
    StatisticsRegistry registry;
    table.WriteHeader("runoff", "(default)", registry, StatisticsRegistry::kCapacity);
    table.PrepareThreads(row_thread_count());
    for (long long step = 1; step <= 4; ++step) {
      table.BeginStep();
      if (all_cells_serially) {
        for (int r = 1; r <= kRows; ++r) {
          for (int c = 1; c <= kCols; ++c) table.AddValue(r, c, Zone(r, c), Value(r, c, step), 1.0);
        }
      } else {
        for_each_row_by_thread({1, kRows}, [&](int r, int thread) {
          for (int c = 1; c <= kCols; ++c) {
            if (Mine(r, c)) table.AddValue(r, c, Zone(r, c), Value(r, c, step), 1.0, thread);
          }
        });
      }
      table.EndStep(2001, 6, 30, step, all_cells_serially ? 0 : 1);
    }
    table.Release();
    return WorldRank() == 0 ? test::ReadFile(file_name) : std::string();
  }

 private:
  Grid areas_;
};

TEST(ZonalStatisticMpi, NonIntegerTablesAreTheSameWhateverTheProcessesAndThreads) {
  const NonIntegerZoneSums fixture;
  // The fixture has teeth: for some zone and step, the weighted values summed in row order
  // differ from the sum of two partial sums over alternate cells, as two processes add.
  int order_sensitive = 0;
  for (long long step = 1; step <= 4; ++step) {
    for (int zone = 1; zone <= 3; ++zone) {
      double in_row_order = 0;
      std::array<double, 2> alternate{0, 0};
      for (int r = 1; r <= NonIntegerZoneSums::kRows; ++r) {
        for (int c = 1; c <= NonIntegerZoneSums::kCols; ++c) {
          if (NonIntegerZoneSums::Zone(r, c) != zone) continue;
          const double x = NonIntegerZoneSums::Value(r, c, step) * fixture.areas()(r, c);
          in_row_order += x;
          alternate[static_cast<std::size_t>((r * NonIntegerZoneSums::kCols + c) % 2)] += x;
        }
      }
      if (in_row_order != alternate[0] + alternate[1]) ++order_sensitive;
    }
  }
  ASSERT_GT(order_sensitive, 0);

  test::TempDir dir;
  const std::string directory = dir.path().string();
  const int threads_before = omp_get_max_threads();
  std::string reference;
  if (WorldRank() == 0) reference = fixture.Table(directory, "reference.txt", true);
  for (const int threads : {1, 4}) {
    SCOPED_TRACE(threads);
    omp_set_num_threads(threads);
    const std::string table = fixture.Table(directory, "table" + std::to_string(threads) + ".txt", false);
    if (WorldRank() == 0) {
      EXPECT_NE(reference.find("2001\t 6\t30\t 4\t"), std::string::npos) << reference;
      EXPECT_EQ(table, reference);
    }
  }
  omp_set_num_threads(threads_before);
}

// Three tables over shared zone records (zone means over two steps, zone sums of every
// step, and one that keeps each process's own sums), closed together by
// StatisticsStepEnds or one by one: the same files, and the same zone records on every
// process after each step.
TEST(ZonalStatisticMpi, TablesClosedTogetherEqualTablesClosedOneByOne) {
  const NonIntegerZoneSums fixture;
  test::TempDir dir;
  const std::string directory = dir.path().string();
  struct Outcome {
    std::vector<std::string> files;
    std::vector<double> records;  // n, sx and RelCellSum of zones 0..3 after every step
  };
  const auto run = [&](bool together) {
    std::ostringstream console;
    const std::string prefix = together ? "together" : "alone";
    DiagnosticsLog log(directory + "/" + prefix + ".xml", 4, console);
    std::vector<ZoneRecord> zones(4);
    for (int i = 1; i <= 3; ++i) zones[static_cast<std::size_t>(i)].zonenwert = 10.0 * i;
    const std::array<int, 3> codes = {2002, 4001, 2001};
    const std::array<int, 3> reduce = {1, 1, 0};
    std::vector<std::string> names;
    std::vector<std::unique_ptr<zonalstatistic>> tables;
    StatisticsRegistry registry;
    for (std::size_t k = 0; k < codes.size(); ++k) {
      names.push_back(prefix + std::to_string(k) + ".txt");
      tables.push_back(std::make_unique<zonalstatistic>(log, fixture.areas(), NonIntegerZoneSums::kRows,
                                                        NonIntegerZoneSums::kCols, zones, 3, codes[k], 17,
                                                        names.back(), directory + "/", std::span<const int>()));
      tables.back()->WriteHeader("runoff", "(default)", registry, StatisticsRegistry::kCapacity);
    }
    Outcome outcome;
    StatisticsStepEnds ends;
    for (long long step = 1; step <= 4; ++step) {
      for (std::size_t k = 0; k < tables.size(); ++k) {
        tables[k]->BeginStep();
        for (int r = 1; r <= NonIntegerZoneSums::kRows; ++r) {
          for (int c = 1; c <= NonIntegerZoneSums::kCols; ++c) {
            const double value = NonIntegerZoneSums::Value(r, c, step) * static_cast<double>(k + 1);
            if (NonIntegerZoneSums::Mine(r, c)) tables[k]->AddValue(r, c, NonIntegerZoneSums::Zone(r, c), value, 1.0);
          }
        }
      }
      for (std::size_t k = 0; k < tables.size(); ++k) {
        if (together) {
          ends.Add(tables[k].get(), reduce[k]);
        } else {
          tables[k]->EndStep(2001, 6, 30, step, reduce[k]);
        }
      }
      if (together) ends.EndSteps(2001, 6, 30, step);
      for (const ZoneRecord& zone : zones) outcome.records.insert(outcome.records.end(), {zone.n, zone.sx, zone.RelCellSum});
    }
    for (std::size_t k = 0; k < tables.size(); ++k) {
      tables[k]->Release();
      outcome.files.push_back(WorldRank() == 0 ? test::ReadFile(names[k]) : std::string());
    }
    return outcome;
  };
  const Outcome alone = run(false);
  const Outcome together = run(true);
  EXPECT_EQ(together.records, alone.records);
  for (std::size_t k = 0; k < alone.files.size(); ++k) {
    SCOPED_TRACE(k);
    if (WorldRank() == 0) {
      EXPECT_NE(alone.files[k].find("2001\t 6\t30\t 4\t"), std::string::npos) << alone.files[k];
    }
    EXPECT_EQ(together.files[k], alone.files[k]);
  }
}

}  // namespace
}  // namespace tolvo
