#pragma once
// Model dates and the date key by which dates are compared.

namespace tolvo {

// Hours run 1..24: hour 24 is the end of a day.
struct ModelDate {
  long long year = 0;
  long long month = 0;
  long long day = 0;
  long long hour = 0;
};

inline constexpr long long kKeyYear = 93000;
inline constexpr long long kKeyMonth = 7750;
inline constexpr long long kKeyDay = 250;
inline constexpr long long kKeyHour = 1;

// year*93000 + month*7750 + day*250 + hour; keys of valid dates order like the dates.
constexpr long long DateKey(long long year, long long month, long long day, long long hour) {
  return year * kKeyYear + month * kKeyMonth + day * kKeyDay + hour * kKeyHour;
}
constexpr long long DateKey(const ModelDate& d) { return DateKey(d.year, d.month, d.day, d.hour); }

// Gregorian calendar.
constexpr bool IsLeapYear(long long year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

// Days of a month (1..12) in the given year; 0 for a month outside 1..12.
constexpr int DaysInMonth(long long year, long long month) {
  constexpr int kDays[13] = {0, 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month];
}

// Weekday of a Gregorian date, 1 (Monday) .. 7 (Sunday), for months 1..12. A day outside
// its month rolls over as in a calendar count (day 0 is the last day of the month before).
constexpr int DayOfWeek(long long year, long long month, long long day) {
  // Days since 1970-01-01 (a Thursday), counted in years that start on 1 March.
  const long long y = month <= 2 ? year - 1 : year;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const long long year_of_era = y - era * 400;
  const long long m = month > 2 ? month - 3 : month + 9;
  const long long day_of_year = (153 * m + 2) / 5 + day - 1;
  const long long day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  const long long days = era * 146097 + day_of_era - 719468;
  const long long monday_based = ((days + 3) % 7 + 7) % 7;  // 1970-01-01 -> 3 (Thursday)
  return static_cast<int>(monday_based) + 1;
}

// Day of the year 1..365 in a calendar whose February always has 28 days; months
// outside 1..12 count no days before them.
constexpr int DayOfYearWithoutLeapDays(long long month, long long day) {
  constexpr int kBefore[13] = {0, 0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
  return static_cast<int>(day) + (month >= 1 && month <= 12 ? kBefore[month] : 0);
}

}  // namespace tolvo
