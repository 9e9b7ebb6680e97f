#include "framework/timeseries_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "framework/error_code.h"
#include "support/test_support.h"

namespace tolvo {
namespace {

class TimeseriesFileTest : public test::LogFixture {
 protected:
  std::string Write(const std::string& text) {
    const std::string path = dir_.file("series.txt");
    test::WriteFile(path, text);
    return path;
  }

  // Every record a reader loop sees: the hour and the first value of each.
  static std::vector<std::pair<int, double>> Walk(timeseries_file& table) {
    std::vector<std::pair<int, double>> seen;
    while (table.state() == kTimeseriesMoreBlocks || table.state() == kTimeseriesLastBlock) {
      int year, month, day, hour;
      table.GetDate(year, month, day, hour);
      seen.emplace_back(hour, table.GetValue(0));
      table.NextRecord();
    }
    return seen;
  }
};

TEST_F(TimeseriesFileTest, HeaderLinesAreSkippedAndTheFirstDataLineFixesTheColumns) {
  timeseries_file table(log_, Write("observed discharge\ngauge\tA\tB\n2000 1 1 24 1.5 2.5\n2000 1 2 24 3.5 4.5\n"),
                        100000);
  EXPECT_EQ(table.header_lines(), 2);
  EXPECT_EQ(table.value_count(), 2);
  EXPECT_EQ(table.file_name(), dir_.file("series.txt"));
  int year, month, day, hour;
  table.GetDate(year, month, day, hour);
  EXPECT_EQ((std::vector<int>{year, month, day, hour}), (std::vector<int>{2000, 1, 1, 24}));
  EXPECT_EQ(table.GetValue(0), 1.5);
  EXPECT_EQ(table.GetValue(1), 2.5);
  EXPECT_EQ(table.GetValue(2), -9999);
  EXPECT_EQ(table.GetValue(-1), -9999);
  table.NextRecord();
  EXPECT_EQ(table.record_index(), 1);
  EXPECT_EQ(table.GetValue(1), 4.5);
  EXPECT_EQ(table.state(), kTimeseriesLastBlock);
  table.NextRecord();
  EXPECT_EQ(table.state(), kTimeseriesEnd);
}

TEST_F(TimeseriesFileTest, LongFileIsReadInBlocksWithinTheBudget) {
  std::string text = "YY MM DD HH Q1 Q2\n";
  for (int k = 0; k < 7000; ++k) text += "2000 1 1 " + std::to_string(k) + " " + std::to_string(k) + " 0.5\n";
  timeseries_file table(log_, Write(text), 100000);  // 100000 div (8 * 2 + 16) = 3125 records
  std::vector<long long> blocks{table.records_in_block()};
  long long hour_expected = 0;
  bool in_order = true;
  while (table.state() != kTimeseriesEnd) {
    int year, month, day, hour;
    table.GetDate(year, month, day, hour);
    in_order = in_order && hour == hour_expected && table.GetValue(0) == hour_expected;
    ++hour_expected;
    const long long index = table.record_index();
    table.NextRecord();
    if (table.state() != kTimeseriesEnd && table.record_index() == 0 && index > 0)
      blocks.push_back(table.records_in_block());
    ASSERT_NE(table.state(), kTimeseriesReadFailed);
  }
  EXPECT_TRUE(in_order);
  EXPECT_EQ(hour_expected, 7000);
  EXPECT_EQ(blocks, (std::vector<long long>{3125, 3125, 750}));
}

TEST_F(TimeseriesFileTest, RecordsMayWrapAndTrailingBlanksEndTheDataCleanly) {
  struct Case {
    const char* label;
    std::string text;
    std::uint64_t budget;
    std::vector<std::pair<int, double>> records;
  };
  const std::vector<std::pair<int, double>> three = {{1, 10}, {2, 20}, {3, 30}};
  const std::vector<Case> cases = {
      {"wrapped records", "2000 1 1 1 10 11\n2000 1 1\n2 20\n21 2000 1 1 3\n30\n31\n", 100000, three},
      {"a few trailing blanks", "2000 1 1 1 10 11\n2000 1 1 2 20 21\n2000 1 1 3 30 31\n  \n", 100000, three},
      // More trailing white space than the 10-byte rule alone would pass over.
      {"many trailing blank lines", "2000 1 1 1 10 11\n2000 1 1 2 20 21\n2000 1 1 3 30 31" + std::string(40, '\n'),
       100000, three},
      {"CR LF line ends", "head\r\n2000 1 1 1 10 11\r\n2000 1 1 2 20 21\r\n2000 1 1 3 30 31\r\n", 100000, three},
      // Budget of one record per block: every record is its own block.
      {"one record per block", "2000 1 1 1 10 11\n2000 1 1 2 20 21\n2000 1 1 3 30 31\n", 32, three},
      // Blocks of exactly three records: the empty block after them yields no record.
      {"records fill the last block exactly", "2000 1 1 1 10 11\n2000 1 1 2 20 21\n2000 1 1 3 30 31\n", 96, three},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    timeseries_file table(log_, Write(c.text), c.budget);
    EXPECT_EQ(table.value_count(), 2);
    EXPECT_EQ(Walk(table), c.records);
    EXPECT_EQ(table.state(), kTimeseriesEnd);
  }
}

TEST_F(TimeseriesFileTest, MissingEmptyHeaderOnlyAndBrokenFilesReportTheirState) {
  struct Case {
    const char* label;
    const char* text;  // nullptr: no file
    int state;
  };
  const Case cases[] = {
      {"missing file", nullptr, kTimeseriesOpenFailed},
      {"empty file", "", kTimeseriesReadFailed},
      {"header lines only", "YY MM DD HH Q\n-- -- -- -- 1.0\n", kTimeseriesReadFailed},
      {"header without line end", "YY MM DD HH Q", kTimeseriesReadFailed},
      {"first data line without its date", "2000 1\n", kTimeseriesReadFailed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const std::string path = c.text ? Write(c.text) : dir_.file("none.txt");
    timeseries_file table(log_, path, 100000);
    EXPECT_EQ(table.state(), c.state);
    EXPECT_EQ(table.GetValue(0), -9999);
    // Walking on does not hide the failure as a plain end of the data.
    table.NextRecord();
    EXPECT_EQ(table.state(), c.state);
  }
}

TEST_F(TimeseriesFileTest, RecordsBeforeABrokenRecordStayUsableAndTheFailureStays) {
  timeseries_file table(log_, Write("2000 1 1 1 10\n2000 1 1 2 20\n2000 1 1 3 x\n2000 1 1 4 40\n"), 100000);
  EXPECT_EQ(table.state(), kTimeseriesReadFailed);
  EXPECT_EQ(table.records_in_block(), 2);
  EXPECT_EQ(table.GetValue(0), 10);
  table.NextRecord();
  EXPECT_EQ(table.GetValue(0), 20);
  table.NextRecord();
  EXPECT_EQ(table.state(), kTimeseriesReadFailed);
  EXPECT_EQ(table.record_index(), 1);
}

TEST_F(TimeseriesFileTest, CursorMovesWithinTheBlockAndItsEdgesHoldNoValues) {
  timeseries_file table(log_, Write("2000 1 1 1 10\n2000 1 1 2 20\n2000 1 1 3 30\n"), 100000);
  struct Step {
    const char* label;
    bool set;  // SetRecord, else MoveRecord
    long long argument;
    long long index;
    double value;
  };
  const Step steps[] = {
      {"set before the first record", true, -1, -1, -9999},
      {"set past the range: unchanged", true, -2, -1, -9999},
      {"move onto the first record", false, 1, 0, 10},
      {"move to the last record", false, 2, 2, 30},
      {"move after the last record", false, 1, 3, -9999},
      {"move past the range: unchanged", false, 1, 3, -9999},
      {"set on the middle record", true, 1, 1, 20},
      {"set past the range: unchanged", true, 4, 1, 20},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.label);
    if (s.set) {
      table.SetRecord(s.argument);
    } else {
      table.MoveRecord(s.argument);
    }
    EXPECT_EQ(table.record_index(), s.index);
    EXPECT_EQ(table.GetValue(0), s.value);
    int year, month, day, hour;
    table.GetDate(year, month, day, hour);
    EXPECT_EQ(year, s.value == -9999 ? -9999 : 2000);
  }
}

TEST_F(TimeseriesFileTest, BudgetBelowOneRecordIsRefused) {
  // Two values need 8 * 2 + 16 = 32 bytes per record.
  timeseries_file table(log_);
  EXPECT_EQ(test::CodeOf([&] { table.Open(Write("2000 1 1 1 10 11\n2000 1 1 2 20 21\n"), 31); }),
            kTimeseriesBudgetTooSmall);
  EXPECT_TRUE(Logged("the byte budget of 31 bytes for " + dir_.file("series.txt") +
                     " holds no record of 2 values (32 bytes needed)"));
  EXPECT_EQ(table.state(), kTimeseriesOpenFailed);
  table.NextRecord();
  EXPECT_EQ(table.state(), kTimeseriesOpenFailed);
}

TEST_F(TimeseriesFileTest, ReleasedTableHoldsNoRecordAndOpensAgain) {
  timeseries_file table(log_, Write("2000 1 1 1 10\n2000 1 1 2 20\n"), 100000);
  table.Release();
  EXPECT_EQ(table.state(), kTimeseriesNotOpened);
  EXPECT_EQ(table.GetValue(0), -9999);
  table.Open(dir_.file("series.txt"), 100000);
  EXPECT_EQ(Walk(table), (std::vector<std::pair<int, double>>{{1, 10}, {2, 20}}));
}

}  // namespace
}  // namespace tolvo
