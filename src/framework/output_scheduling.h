#pragma once
// Output scheduling: what the write code of a grid-table entry asks to be written, when,
// and under which name.
//
// The four digits of the write code (split at registration):
// - ones: the current values, every call (1, 2, 8), at the end of the run (3), at every
//   day end (4, 5), month end (6) or year end (7); 2, 5, 6 and 7 under dated names, 8
//   under the output name with ".filled";
// - tens: sums (1 to 4) or means (5 to 8) over the run, a year, a month or a day;
// - hundreds: minimum (1), maximum (2) or both (3) over the run, written at its end;
// - thousands: sum (1) or mean (2) over the vegetation period of the entry's land-use
//   layer, written when the land-use update raises the entry's write mark and at the
//   latest at the end of the run.
// Current values are named from the entry's output name, accumulations from its file
// name. The work itself is modelobject::WriteGridOutputs and WriteStackOutputs; this
// header holds the calendar and naming rules they follow.

#include <string>
#include <string_view>

#include "framework/date.h"

namespace tolvo {

class modelobject;

// Hours are 1..24 and the hour shift says how far the date of a step lies before its end;
// it counts in whole hours (cut towards zero) for the period ends.
bool IsDayEnd(const ModelDate& date, double hour_shift);
// A day end on the last day of the month, by the Gregorian calendar of the date's year.
bool IsMonthEnd(const ModelDate& date, double hour_shift);
// A day end on 31 December.
bool IsYearEnd(const ModelDate& date, double hour_shift);

// The stem of an output path: the part of its base name (after the last "/") before the
// first ".", cut to at most max_stem characters; and the directory part (up to and
// including the last "/").
struct OutputNameParts {
  std::string_view directory;
  std::string_view stem;
};
OutputNameParts SplitOutputName(std::string_view path, std::size_t max_stem = std::string_view::npos);

// directory + stem + suffix.
std::string OutputName(std::string_view path, std::string_view suffix,
                       std::size_t max_stem = std::string_view::npos);

// directory + stem + "_YYYYMMDD.HHH", and "_NNN" (the repeat counter, at least three
// digits) when repeat is above 0.
std::string DatedOutputName(std::string_view path, const ModelDate& date, long long repeat,
                            std::size_t max_stem = std::string_view::npos);

// The stem length kept by the dated names of stacks.
inline constexpr std::size_t kStackStemLength = 4;

// Refuses (FATAL entry, code 34) two stacks of the grid table with dated outputs (ones
// digit 2 or 5) whose names would be the same, since only the first four characters of
// the stem survive in them. Every process finds the same; call it once all stacks are
// registered. WriteStackOutputs runs it for the entry it writes under a dated name.
void CheckDatedStackOutputNames(modelobject& object);

}  // namespace tolvo
