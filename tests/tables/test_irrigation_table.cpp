#include "tables/irrigation_table.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <utility>
#include <vector>

#include "framework/error_code.h"
#include "framework/modelobject.h"
#include "support/test_support.h"

namespace tolvo {
namespace {

using test::CodeOf;
using test::TempDir;
using test::WriteFile;

constexpr std::array<int, 12> kMonthLengths{31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

using Date = std::pair<long, long>;  // month, day

std::vector<Date> Dates(const IrrigationRecord& record) {
  std::vector<Date> dates;
  for (int j = 1; j <= record.tabcnt; ++j) dates.emplace_back(record.month[j], record.day[j]);
  return dates;
}

class IrrigationTableTest : public test::LogFixture {
 protected:
  modelobject& WithControlFile(const std::string& text) {
    WriteFile(dir_.file("control.txt"), text);
    EXPECT_TRUE(object_.OpenControlFile(dir_.file("control.txt")));
    return object_;
  }
  IrrigationRecord Rules(const std::string& text) {
    IrrigationRecord record;
    ParseIrrigationRules(log_, 2, text, kMonthLengths, record);
    return record;
  }
  // The console shows entries without their "FATAL: " prefix.

  modelobject object_{log_, "control.txt"};
};

TEST_F(IrrigationTableTest, RulesFromDateToDateInterpolateTheAmounts) {
  const IrrigationRecord potato = Rules(" starting from 04 15 with 10 mm to 06 30 with 30 mm every 5 day");
  ASSERT_EQ(potato.tabcnt, 16);
  const std::vector<Date> expected{{4, 15}, {4, 20}, {4, 25}, {4, 30}, {5, 5},  {5, 10}, {5, 15}, {5, 20},
                                   {5, 25}, {5, 30}, {6, 4},  {6, 9},  {6, 14}, {6, 19}, {6, 24}, {6, 29}};
  EXPECT_EQ(Dates(potato), expected);
  // By entry number from 10 (entry 1) to 30 (entry 16): 10 + 20 (j - 1) / 15.
  for (int j = 1; j <= 16; ++j) EXPECT_NEAR(potato.amount[j], 10 + 20.0 * (j - 1) / 15, 1e-12) << j;

  const IrrigationRecord short_end = Rules("starting from 04 15 with 10 mm to 06 02 with 30 mm every 5 day");
  ASSERT_EQ(short_end.tabcnt, 10);
  EXPECT_EQ(Dates(short_end).back(), Date(5, 30));  // 4.6. lies after the end date
  EXPECT_EQ(short_end.amount[10], 30);

  // One entry: its own amount, no division by zero.
  const IrrigationRecord single = Rules("starting from 06 01 with 10 mm to 06 03 with 20 mm every 5 day");
  ASSERT_EQ(single.tabcnt, 1);
  EXPECT_EQ(single.amount[1], 10);
  // A start after the end keeps its first entry.
  EXPECT_EQ(Rules("starting from 06 20 with 10 mm to 06 10 with 20 mm every 5 day").tabcnt, 1);
}

TEST_F(IrrigationTableTest, RepeatedRulesAndDateLimits) {
  struct Case {
    const char* text;
    std::vector<Date> dates;
  };
  const Case cases[] = {
      {"starting from 05 01 with 20 mm 3 times every 7 days", {{5, 1}, {5, 8}, {5, 15}}},
      {"starting from 12 20 with 5 mm 3 times every 10 days", {{12, 20}, {12, 30}, {1, 9}}},
      {"starting from 02 31 with 5 mm 1 times every 10 days", {{2, 28}}},  // the reader's February
      {"starting from 13 05 with 5 mm 1 times every 10 days", {{12, 5}}},
      {"starting from 00 00 with 5 mm 1 times every 10 days", {{1, 1}}},
      // A step longer than the next month moves on by as many months as needed.
      {"starting from 01 31 with 5 mm 2 times every 40 days", {{1, 31}, {3, 12}}},
      // Several rules of one form on a line continue the schedule.
      {"starting from 05 01 with 20 mm 2 times every 7 days; starting from 07 01 with 9 mm 1 times every 1 days",
       {{5, 1}, {5, 8}, {7, 1}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(Dates(Rules(c.text)), c.dates);
  }
  const IrrigationRecord mixed =
      Rules("starting from 05 01 with 20 mm 2 times every 7 days; starting from 07 01 with 9 mm 1 times every 1 days");
  EXPECT_EQ(mixed.amount, (std::vector<double>{0, 20, 20, 9}));
}

TEST_F(IrrigationTableTest, WrongRuleTextsEndInTheRuleError) {
  const char* texts[] = {
      "",                                                          // rules on the next line
      "every 5 days",                                              // no "starting from"
      "starting from 05 01 with 20 mm",                            // neither "to" nor "times"
      "starting from 05 01 with 20 mm 3 times every 0 days",       // a step of 0
      "starting from 05 01 with 20 mm 0 times every 7 days",       // no repeat
      "starting from 05 01 with 20 mm 3 times every",              // no step
      "starting from 04 15 with 10 mm to 06 30 with mm every 5 day",  // no last amount
      "starting from 04 15 with 10 mm to 06 30 with 30 mm every -5 day",
      "starting from 04 with 10 mm to 06 30 with 30 mm every 5 day",  // no start day
  };
  for (const char* text : texts) {
    SCOPED_TRACE(text);
    console_.str("");
    EXPECT_EQ(CodeOf([&] { Rules(text); }), 29);
    EXPECT_TRUE(Logged("irrigation description for irrigation type 2 is wrong there are 4 possible ways"));
    EXPECT_TRUE(Logged("must be provided\n"));
  }
  console_.str("");
  EXPECT_EQ(CodeOf([&] { Rules("starting from 05 01 times with 20 mm every 3 days"); }), 29);
  EXPECT_TRUE(Logged("none of the keywords \"to\" or \"times\" could be found!\n"));
}

TEST_F(IrrigationTableTest, ReadsTheTypesOfEveryMethod) {
  const IrrigationSettings off = ReadIrrigationTable(WithControlFile("[irrigation]\n0\n"), kMonthLengths);
  EXPECT_EQ(off.flag, 0);
  EXPECT_FALSE(off.table);

  const IrrigationSettings on = ReadIrrigationTable(
      WithControlFile("[irrigation]\n1 irrigation on\n[irrigation_table]\n5 types\n"
                      "1 maize 1 2 80 30\n3\n5 1 20\n6 1 30\n7 1 30\n"
                      "2 potato 2 1 80 30 starting from 04 15 with 10 mm to 06 30 with 30 mm every 5 day\n"
                      "4 rice 4 2 0.7\n"
                      "3 beet 3 1\n 70 5\n"
                      "9 other 7 1 50 10\n"),
      kMonthLengths);
  EXPECT_EQ(on.flag, 1);
  ASSERT_TRUE(on.table);
  const IrrigationTable& table = *on.table;
  ASSERT_EQ(table.size(), 6u);
  EXPECT_EQ(table[0].code, 5);

  EXPECT_EQ(table[1].code, 1);
  EXPECT_EQ(table[1].name, "maize");
  EXPECT_EQ(table[1].method, IrrigationMethod::FixedTable);
  EXPECT_EQ(table[1].origin, 2);
  EXPECT_EQ(table[1].psi_dry, 80);
  EXPECT_EQ(table[1].psi_wet, 30);
  EXPECT_EQ(Dates(table[1]), (std::vector<Date>{{5, 1}, {6, 1}, {7, 1}}));
  EXPECT_EQ(table[1].amount, (std::vector<double>{0, 20, 30, 30}));

  EXPECT_EQ(table[2].method, IrrigationMethod::ScheduleRules);
  EXPECT_EQ(table[2].tabcnt, 16);

  EXPECT_EQ(table[3].name, "rice");
  EXPECT_EQ(table[3].method, IrrigationMethod::DemandByEtRatio);
  EXPECT_EQ(table[3].minETRbyETP, 0.7);
  EXPECT_EQ(table[3].psi_dry, 20);
  EXPECT_EQ(table[3].psi_wet, 3.45);
  EXPECT_EQ(table[3].tabcnt, 0);

  EXPECT_EQ(table[4].method, IrrigationMethod::DemandBySuction);
  EXPECT_EQ(table[4].psi_dry, 70);  // values may run over lines
  EXPECT_EQ(table[4].psi_wet, 5);
  EXPECT_TRUE(table[4].month.empty());
  EXPECT_EQ(static_cast<int>(table[5].method), 7);
  EXPECT_EQ(table[5].tabcnt, 0);
}

TEST_F(IrrigationTableTest, BadEntriesEndInTheirEntriesAndCode29) {
  struct Case {
    std::string entries;
    int code;
    std::string entry;
  };
  const Case cases[] = {
      {"1 maize x 2 80 30\n", 29, "for irrigation code 1: code, name, method, or origin could not be read correctly\n"},
      {"1 maize 1\n", 29, "for irrigation code 1: code, name, method, or origin could not be read correctly\n"},
      {"1 " + std::string(51, 'm') + " 1 2 80 30\n", 29, "for irrigation code 1: the name \"mmm"},
      {"1 rice 4 2 high\n", 29, "for irrigation code 1: min(ETR/ETP) could not be read correctly\n"},
      {"1 maize 3 2 80\n", 29, "for irrigation code 1: psi_dry or psi_wet could not be read correctly\n"},
      {"1 maize 1 2 80 30\n-1\n", 29, "for irrigation code 1: tabcnt could not be read correctly\n"},
      {"1 maize 1 2 80 30\n3\n5 1 20\n6 1\n", 29, "for irrigation code 1 month[2] or day[2] or amount[2] could not be read\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.entries);
    console_.str("");
    EXPECT_EQ(CodeOf([&] {
                ReadIrrigationTable(WithControlFile("[irrigation]\n1\n[irrigation_table]\n1\n" + c.entries),
                                    kMonthLengths);
              }),
              c.code);
    EXPECT_TRUE(Logged(c.entry)) << console_.str();
  }
  EXPECT_EQ(CodeOf([&] {
              ReadIrrigationTable(WithControlFile("[irrigation]\n1\n[irrigation_table]\n-2\n"), kMonthLengths);
            }),
            29);
  EXPECT_EQ(CodeOf([&] { ReadIrrigationTable(WithControlFile("[irrigation]\n1\n"), kMonthLengths); }), 17);
  EXPECT_EQ(CodeOf([&] { ReadIrrigationTable(WithControlFile("[other]\n1\n"), kMonthLengths); }), 17);
}

}  // namespace
}  // namespace tolvo
