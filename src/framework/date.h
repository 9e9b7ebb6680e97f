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

}  // namespace tolvo
