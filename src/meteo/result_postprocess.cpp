#include "meteo/result_postprocess.h"

#include <limits>

namespace tolvo {
namespace {

constexpr std::size_t kDayColumn = 15;

double MonthValue(const ScenarioRow& row, long long month) { return row[static_cast<std::size_t>(month) + 2]; }

}  // namespace

double ScenarioDayValue(const ScenarioRow& row, long long year, long long month, long long day) {
  const long long prev = month == 1 ? 12 : month - 1;
  const long long next = month == 12 ? 1 : month + 1;
  const double v = MonthValue(row, month);
  if (day <= 15) {
    const double d_prev = DaysInMonth(year, prev);
    return ((static_cast<double>(day) + d_prev - 16) * v + (16 - static_cast<double>(day)) * MonthValue(row, prev)) /
           d_prev;
  }
  const double d_month = DaysInMonth(year, month);
  return ((d_month - static_cast<double>(day) + 15) * v + (static_cast<double>(day) - 15) * MonthValue(row, next)) /
         d_month;
}

void UpdateScenarioDay(std::span<ScenarioRow> table, const ModelDate& date) {
  const long long month = (date.month - 1) % 12 + 1;
  for (ScenarioRow& row : table) row[kDayColumn] = ScenarioDayValue(row, date.year, month, date.day);
}

double NearestScenarioValue(std::span<const ScenarioRow> table, double x, double y) {
  // Every distance counts: a far scenario point is still the nearest one, and a cap would
  // turn a multiplied value into 0.
  double best = std::numeric_limits<double>::infinity();
  double value = 0;
  for (const ScenarioRow& row : table) {
    const double dx = row[1] - x;
    const double dy = row[2] - y;
    const double d2 = dx * dx + dy * dy;
    if (d2 <= best) {
      best = d2;
      value = row[kDayColumn];
    }
  }
  return value;
}

}  // namespace tolvo
