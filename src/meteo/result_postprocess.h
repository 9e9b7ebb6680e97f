#pragma once
// What every interpolated value of a meteorological input goes through before it is
// published: the scaling factor, the limits with their replacements, and the scenario
// value of a climate-change scenario (added or multiplied), taken from the monthly values
// of the scenario point nearest to the cell, interpolated to the day of the month.
//
// Values are in the input's units; coordinates in m. The functions read only their
// arguments and are safe to call from many threads at once.

#include <span>

#include "framework/date.h"
#include "meteo/meteo_section.h"

namespace tolvo {

// v scaled by the section's factor, then replaced when below the lower limit or (else)
// above the upper limit.
inline double ScaleAndLimit(double v, const MeteoSection& s) {
  v *= s.scaling;
  if (v < s.lower_limit) return s.lower_replacement;
  if (v > s.upper_limit) return s.upper_replacement;
  return v;
}

// The scenario value of a day from a row's twelve monthly values (columns 3..14), taken as
// the values of the middles of the months: day m <= 15 lies between the previous month's
// middle and this one's, day m > 15 between this one's and the next month's; month lengths
// follow the Gregorian calendar of `year`.
double ScenarioDayValue(const ScenarioRow& row, long long year, long long month, long long day);
// Brings the working value (column 15) of every row to the day of `date`.
void UpdateScenarioDay(std::span<ScenarioRow> table, const ModelDate& date);
// The working value of the row nearest to map point (x, y) (of equally near rows the
// later one); 0 for an empty table.
double NearestScenarioValue(std::span<const ScenarioRow> table, double x, double y);
// SzenMeth 1 and 6 add the scenario value, every other method multiplies by it.
inline double ApplyScenario(double v, double s, int szen_meth) {
  return szen_meth == 1 || szen_meth == 6 ? v + s : v * s;
}

}  // namespace tolvo
