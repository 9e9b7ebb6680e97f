#include "framework/zonal_statistic.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "framework/error_code.h"
#include "support/test_support.h"

namespace tolvo {
namespace {

using test::ReadFile;

// Three zones with the codes 10, 20 and 30 and the area shares 0.2, 0.3 and 0.5.
class ZonalStatisticTest : public test::LogFixture {
 protected:
  ZonalStatisticTest() : zones_(4) {
    const double codes[] = {0, 10, 20, 30};
    const double shares[] = {0, 0.2, 0.3, 0.5};
    for (int i = 0; i <= 3; ++i) {
      zones_[static_cast<std::size_t>(i)].zonenwert = codes[i];
      zones_[static_cast<std::size_t>(i)].rel = shares[i];
    }
  }

  std::unique_ptr<zonalstatistic> Make(int statcode, int precision = 2, std::vector<int> list = {},
                                       ConstGridView weights = {}) {
    list_ = std::move(list);
    file_name_ = "table.txt";
    return std::make_unique<zonalstatistic>(log_, weights, 3, 3, zones_, 3, statcode, precision, file_name_,
                                            dir_.path().string() + "/", list_);
  }

  // One step: zone i gets one cell with values[i - 1], weight 1.
  void Step(zonalstatistic& table, std::vector<double> values, long long hour = 3) {
    table.BeginStep();
    for (int i = 1; i <= static_cast<int>(values.size()); ++i) table.AddValue(1, i, i, values[i - 1], 1.0);
    table.EndStep(2000, 1, 2, hour, 1);
  }

  std::string Table() const { return ReadFile(dir_.file("table.txt")); }

  std::vector<ZoneRecord> zones_;
  std::vector<int> list_;
  std::string file_name_;
  StatisticsRegistry registry_;
};

constexpr const char* kAllZonesHeader =
    "YY\tMM\tDD\tHH\t\"10\"\t\"20\"\t\"30\"\ttot_average\n"
    "throughfall_submodel:(default)\n"
    "--\t--\t--\t--\t0.2000000\t0.3000000\t0.5000000\t1.0000\n";

TEST_F(ZonalStatisticTest, ZoneMeansOfOneStepGiveTheHeaderAndOneRow) {
  auto table = Make(2001);
  EXPECT_EQ(file_name_, dir_.path().string() + "/table.txt");
  EXPECT_EQ(table->WriteHeader("throughfall", "(default)", registry_, StatisticsRegistry::kCapacity), 0);
  Step(*table, {1, 2, 3});
  table->Release();
  // Zone means 1, 2, 3; total (1 + 2 + 3) / 3 cells = 2.
  EXPECT_EQ(Table(), std::string(kAllZonesHeader) + "2000\t 1\t 2\t 3\t1.00\t2.00\t3.00\t2.00\n");

  const StatisticsRegistryEntry& entry = registry_[0];
  EXPECT_EQ(entry.row_length, 4);
  EXPECT_EQ(*entry.caption, "throughfall_submodel:(default)");
  EXPECT_EQ(std::vector<double>(entry.last_values.begin() + 1, entry.last_values.end()),
            (std::vector<double>{1, 2, 3, 2}));
  EXPECT_EQ(std::vector<long long>(entry.zone_codes.begin() + 1, entry.zone_codes.end()),
            (std::vector<long long>{10, 20, 30, 0}));
  EXPECT_EQ(std::vector<double>(entry.area_shares.begin() + 1, entry.area_shares.end()),
            (std::vector<double>{0.2, 0.3, 0.5, 1.0}));
  EXPECT_TRUE(registry_[1].free());
}

TEST_F(ZonalStatisticTest, CodesUpTo1000DisableTheTable) {
  for (const int code : {1000, 500, 0, -3}) {
    SCOPED_TRACE(code);
    auto table = Make(code);
    EXPECT_EQ(table->constructed(), 1);
    EXPECT_EQ(table->WriteHeader("q", "m", registry_, StatisticsRegistry::kCapacity), -1);
    Step(*table, {1, 2, 3});
    table->FlushRows();
    table->Release();
    EXPECT_FALSE(std::filesystem::exists(dir_.file("table.txt")));
    EXPECT_TRUE(registry_[0].free());
  }
}

struct IntervalCase {
  const char* label;
  int statcode;
  std::string expected_rows;
};

TEST_F(ZonalStatisticTest, IntervalsCombineTheirStepsAsMeansOrSums) {
  // Step 1 values 1, 2, 3; step 2 values 3, 4, 5; one cell per zone and step.
  const std::vector<IntervalCase> cases = {
      // Means over both steps: (1+3)/2, (2+4)/2, (3+5)/2; total 18/6.
      {"mean, every second step", 2002, "2000\t 1\t 2\t 4\t2.00\t3.00\t4.00\t3.00\n"},
      // Sums of both steps' means: 4, 6, 8; total 18 / 3 (the last step's area).
      {"sum, every second step", 4002, "2000\t 1\t 2\t 4\t4.00\t6.00\t8.00\t6.00\n"},
      {"total only, mean", 1002, "2000\t 1\t 2\t 4\t3.00\n"},
      {"total only, sum", 3002, "2000\t 1\t 2\t 4\t6.00\n"},
      {"other modes: total only, sum", 7002, "2000\t 1\t 2\t 4\t6.00\n"},
      {"every step", 2001, "2000\t 1\t 2\t 3\t1.00\t2.00\t3.00\t2.00\n2000\t 1\t 2\t 4\t3.00\t4.00\t5.00\t4.00\n"},
      {"interval 0: header only", 2000, ""},
  };
  for (const IntervalCase& c : cases) {
    SCOPED_TRACE(c.label);
    auto table = Make(c.statcode);
    table->WriteHeader("throughfall", "(default)", registry_, StatisticsRegistry::kCapacity);
    Step(*table, {1, 2, 3}, 3);
    Step(*table, {3, 4, 5}, 4);
    table->Release();
    const std::string table_text = Table();
    const std::size_t header_end = table_text.find("1.0000\n") + 7;
    EXPECT_EQ(table_text.substr(header_end), c.expected_rows);
  }
}

TEST_F(ZonalStatisticTest, ListedZonesGetTheirOwnColumnsInListOrder) {
  auto table = Make(5001, 2, {20, 30});
  table->WriteHeader("q", "m", registry_, StatisticsRegistry::kCapacity);
  Step(*table, {1, 2, 3});
  table->Release();
  EXPECT_EQ(Table(),
            "YY\tMM\tDD\tHH\t\"20\"\t\"30\"\ttot_average\n"
            "q_submodel:m\n"
            "--\t--\t--\t--\t0.3000000\t0.5000000\t1.0000\n"
            "2000\t 1\t 2\t 3\t2.00\t3.00\t2.00\n");
}

TEST_F(ZonalStatisticTest, OutputListOutOfOrderOrNamingAMissingZoneFailsConstruction) {
  for (const std::vector<int>& list : {std::vector<int>{30, 20}, std::vector<int>{10, 25}}) {
    try {
      Make(5001, 2, list);
      ADD_FAILURE() << "no error";
    } catch (const ErrorCode& error) {
      EXPECT_EQ(error.code, 1);
    }
  }
  EXPECT_NE(console_.str().find("there is a code in the output list which no zone exists for (20)"),
            std::string::npos);
  EXPECT_NE(console_.str().find("there is a code in the output list which no zone exists for (25)"),
            std::string::npos);
}

TEST_F(ZonalStatisticTest, WeightsZonesWithoutCellsAndHighPrecision) {
  // Relative cell areas: zone 1 has cells of area 0.25 and 0.75 with values 1 and 3,
  // so its mean is (0.25 + 2.25) / 1 = 2.5; a nodata area counts as weight 1.
  Grid weights(1, 3, 3, 3);
  weights(1, 1) = 0.25;
  weights(1, 2) = 0.75;
  weights(2, 1) = -9999;
  auto table = Make(2001, 99, {}, std::as_const(weights).view());
  table->WriteHeader("q", "m", registry_, StatisticsRegistry::kCapacity);
  table->BeginStep();
  table->AddValue(1, 1, 1, 1.0, 1.0);
  table->AddValue(1, 2, 1, 3.0, 1.0);
  table->AddValue(2, 1, 2, 1.0 / 3.0, 1.0);
  table->EndStep(2000, 1, 2, 3, 1);
  table->Release();
  // Zone 3 has no cell: mean 0. Total (2.5 + 1/3) / (1 + 1).
  const std::string rows = Table().substr(Table().find("1.0000\n") + 7);
  EXPECT_EQ(rows, "2000\t 1\t 2\t 3\t2.5\t0.333333\t0\t1.41667\n");
}

TEST_F(ZonalStatisticTest, FlushAppendsBufferedRowsInOrder) {
  auto table = Make(1001);
  table->WriteHeader("q", "m", registry_, StatisticsRegistry::kCapacity);
  Step(*table, {1, 1, 1}, 1);
  table->FlushRows();
  Step(*table, {2, 2, 2}, 2);
  table->FlushRows();
  table->Release();
  const std::string rows = Table().substr(Table().find("1.0000\n") + 7);
  EXPECT_EQ(rows, "2000\t 1\t 2\t 1\t1.00\n2000\t 1\t 2\t 2\t2.00\n");
  EXPECT_NE(console_.str().find("write " + dir_.file("table.txt") + "(40 of 2097152 buffer-bytes)"),
            std::string::npos);
}

// The row buffer grows with its rows: a table running past its capacity (43690 rows of
// a total-only table) is written when full and again at the end, every row once, in order.
TEST_F(ZonalStatisticTest, ATableRunningPastItsCapacityWritesEveryRowOnceInOrder) {
  constexpr int kSteps = 43690 + 3;
  auto table = Make(1001, 0);
  table->WriteHeader("q", "m", registry_, StatisticsRegistry::kCapacity);
  for (int step = 1; step <= kSteps; ++step) {
    const double v = step;
    Step(*table, {v, v, v}, step % 24);
  }
  const std::string full_write = "write " + dir_.file("table.txt") + "(";
  std::size_t writes = 0;
  for (std::size_t at = console_.str().find(full_write); at != std::string::npos;
       at = console_.str().find(full_write, at + 1)) {
    ++writes;
  }
  EXPECT_EQ(writes, 1u);
  table->Release();
  std::istringstream rows(Table().substr(Table().find("1.0000\n") + 7));
  std::string line;
  int count = 0;
  bool in_order = true;
  while (std::getline(rows, line)) {
    ++count;
    const std::string expected_end = "\t" + std::to_string(count);
    in_order = in_order && line.size() > expected_end.size() &&
               line.compare(line.size() - expected_end.size(), expected_end.size(), expected_end) == 0;
  }
  EXPECT_EQ(count, kSteps);
  EXPECT_TRUE(in_order);
}

TEST_F(ZonalStatisticTest, UnwritableFileFailsWith15AndAFullRegistryWith12) {
  struct Case {
    const char* label;
    std::string file_name;
    int capacity;
    int code;
    std::string entry;
  };
  const std::vector<Case> cases = {
      {"unwritable file", "missing/table.txt", StatisticsRegistry::kCapacity, 15,
       "error opening \n" + dir_.file("missing/table.txt")},
      {"full registry", "table.txt", 0, 12,
       "no free entry left in the statistics registry (0 entries) for " + dir_.file("table.txt")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    file_name_ = c.file_name;
    zonalstatistic table(log_, {}, 3, 3, zones_, 3, 2001, 2, file_name_, dir_.path().string() + "/", {});
    try {
      table.WriteHeader("q", "m", registry_, c.capacity);
      ADD_FAILURE() << "no error";
    } catch (const ErrorCode& error) {
      EXPECT_EQ(error.code, c.code);
    }
    EXPECT_NE(console_.str().find(c.entry), std::string::npos) << console_.str();
  }
  EXPECT_TRUE(registry_[0].free());
}

}  // namespace
}  // namespace tolvo
