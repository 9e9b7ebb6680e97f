// Calendar helpers: the Gregorian weekday and the day of the year without leap days.
#include <gtest/gtest.h>

#include "framework/date.h"

namespace tolvo {
namespace {

TEST(Calendar, WeekdaysRunFromMondayToSundayAcrossCenturiesAndLeapDays) {
  const struct {
    long long year, month, day;
    int weekday;
  } cases[] = {
      {1970, 1, 1, 4},  {2000, 2, 29, 2}, {2000, 3, 1, 3},  {1900, 3, 1, 4}, {2024, 3, 4, 1},
      {2024, 3, 10, 7}, {2023, 12, 31, 7}, {1600, 1, 1, 6}, {2100, 2, 28, 7},
      // Day 0 is the last day of the month before.
      {2024, 1, 0, 7},  {2024, 3, 0, 4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.year << "-" << c.month << "-" << c.day);
    EXPECT_EQ(DayOfWeek(c.year, c.month, c.day), c.weekday);
  }
}

TEST(Calendar, TheYearWithoutLeapDaysGivesFebruary28Days) {
  EXPECT_EQ(DayOfYearWithoutLeapDays(1, 1), 1);
  EXPECT_EQ(DayOfYearWithoutLeapDays(2, 28), 59);
  EXPECT_EQ(DayOfYearWithoutLeapDays(3, 1), 60);
  EXPECT_EQ(DayOfYearWithoutLeapDays(12, 31), 365);
  EXPECT_EQ(DayOfYearWithoutLeapDays(0, 0), 0);
}

}  // namespace
}  // namespace tolvo
