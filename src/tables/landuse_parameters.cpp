// Land-use parameters by date: the day of year, the altitude shift of the fixpoint days,
// interpolation between fixpoints (or between the per-cell fixpoint days of dynamic
// phenology), the monthly form of one-line entries, the vegetation-period tests and the
// n-factor. Every operation is const and keeps its working values on the stack; none
// logs or throws, so that parallel loops may call them, and a failure comes back in the
// result for the caller to report once the loop is over.

#include <algorithm>
#include <array>
#include <cmath>

#include "framework/date.h"
#include "framework/error_code.h"
#include "tables/landuse_record.h"

namespace tolvo {

namespace {

// y at x on the line through (x0, y0) and (x1, y1); y0 when x0 equals x1.
double Interpolate(double x0, double y0, double x1, double y1, double x) {
  if (x1 == x0) return y0;
  return y0 * (x1 - x) / (x1 - x0) + y1 * (x - x0) / (x1 - x0);
}

// Days of the months of a year: position 0 is December of the previous year.
std::array<int, 13> MonthLengths(int year) {
  std::array<int, 13> lengths{};
  lengths[0] = 31;
  for (int m = 1; m <= 12; ++m) lengths[m] = DaysInMonth(year, m);
  return lengths;
}

// A shift in days from a real number, truncated toward zero; values no day can reach
// (including not-a-number) become a shift that fails every range check.
long long TruncatedDays(double x) {
  constexpr double kFar = 1.0e6;
  if (!(std::fabs(x) < kFar)) return static_cast<long long>(kFar);
  return static_cast<long long>(std::trunc(x));
}

bool HasDynamicStart(LanduseMethod method) {
  return method == LanduseMethod::DynamicPhenology_1 || method == LanduseMethod::DynamicPhenology_2 ||
         method == LanduseMethod::DynamicPhenology_4;
}

bool HasCellFixpointDays(LanduseMethod method) {
  return method == LanduseMethod::DynamicPhenology_3 || method == LanduseMethod::DynamicPhenology_4;
}

// The upper index u of a cell's fixpoint days q[0..] for day d: 1 before the first
// reached fixpoint, else the first u >= 2 with d < q[u], u = last, or q[u] unreached.
int CellUpperIndex(std::span<const double> q, int last, double d) {
  if (d < q[1] || last <= 1 || q[1] <= 0) return 1;
  int u = 2;
  while (!(d < q[u] || u == last || q[u] <= 0)) ++u;
  return u;
}

// The entry of a failed date operation; only a fixpoint day out of range has one.
void LogFailure(DiagnosticsLog& log, const LanduseValue& failed) {
  if (failed.code != kFixpointDayRange) return;
  log << "FATAL: \n---ERROR--\naltitude correction resulted in a Julian day of " << failed.day << " for fix point "
      << failed.fixpoint << " (JD should be between 1 and 366)" << "[end-entry]";
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Day of year and fixpoint search

LanduseValue LanduseRecord::DayOfYear(int day, int month, int year) {
  if (month < 1 || month > 12) return {.code = kJulianDayOverflow};
  long long jd = day;
  for (int m = 1; m < month; ++m) jd += DaysInMonth(year, m);
  if (jd > 366 || jd < 0) return {.code = kJulianDayOverflow};
  return {.value = static_cast<double>(jd)};
}

int LanduseRecord::JulianDay(int day, int month, int year) {
  const LanduseValue jd = DayOfYear(day, month, year);
  if (!jd.ok()) RaiseError(jd.code);
  return static_cast<int>(jd.value);
}

bool LanduseRecord::DynamicStart() const { return HasDynamicStart(method) && startFixpoint >= 1; }

int LanduseRecord::CorrectedFixpointDay(int k, int start_day, double altitude) const {
  if (k == 0) return JulDays[static_cast<std::size_t>(count)] - 366;
  if (DynamicStart()) {
    if (k == startFixpoint) return start_day;
    if (k == startFixpoint + 1) return start_day + JulDays[static_cast<std::size_t>(k)];
  }
  const long long day = JulDays[static_cast<std::size_t>(k)] +
                        TruncatedDays(AltDep[static_cast<std::size_t>(k)] * (altitude - kFixpointReferenceAltitude));
  return static_cast<int>(std::clamp<long long>(day, -1000000, 1000000));
}

LanduseValue LanduseRecord::CheckFixpointDays(int start_day, double altitude) const {
  for (int k = 1; k <= count; ++k) {
    const int day = CorrectedFixpointDay(k, start_day, altitude);
    if (day < -1 || day > 366) return {.code = kFixpointDayRange, .day = day, .fixpoint = k};
  }
  return {};
}

int LanduseRecord::CorrectedFixpointInterval(int jd, int start_day, double altitude) const {
  for (int k = 1; k <= count; ++k) {
    const int day = CorrectedFixpointDay(k, start_day, altitude);
    if (day >= jd || day < 0) return k;
  }
  return count + 1;
}

void RaiseLanduseFailure(DiagnosticsLog& log, const LanduseValue& failed) {
  LogFailure(log, failed);
  RaiseError(failed.code);
}

void LanduseRecord::RaiseRootDepthFailure(DiagnosticsLog& log, const LanduseValue& failed, int jd, int layer, int r,
                                          int c, double altitude) const {
  LogFailure(log, failed);
  log << "FATAL: Coordinates: i=" << r << ", j=" << c << "\nLayer=" << layer << "\nAltitude=" << altitude
      << "m\nJulday=" << jd << "\nLanduse Code=" << GetCode() << "\nTStart=" << fallbackStartDay << "[end-entry]";
  RaiseError(failed.code);
}

bool LanduseRecord::UsesCellFixpointDays(int layer) const {
  return HasCellFixpointDays(method) && layer >= 0 && static_cast<std::size_t>(layer) < cellFixpointDays.size() &&
         !cellFixpointDays[static_cast<std::size_t>(layer)].empty();
}

int LanduseRecord::StartDayOf(int layer, int r, int c) const {
  if (!HasDynamicStart(method) || layer < 0 || static_cast<std::size_t>(layer) >= cellPhenoStart.size() ||
      cellPhenoStart[static_cast<std::size_t>(layer)].empty()) {
    return -1;
  }
  const long long start = TruncatedDays(cellPhenoStart[static_cast<std::size_t>(layer)](r, c));
  return static_cast<int>(std::clamp<long long>(start, -1000000, 1000000));
}

// ---------------------------------------------------------------------------------------
// Values

LanduseValue LanduseRecord::ValueAtJulianDay(std::span<const double> table, int jd, int layer, int r, int c,
                                             double altitude) const {
  // Header and unread entries hold no fixpoints; neither do absent tables.
  if (count < 1 || table.size() < static_cast<std::size_t>(count) + 1) return {.value = kNotGiven};
  if (UsesCellFixpointDays(layer)) return {.value = ValueFromCellDays(table, jd, layer, r, c)};
  const int start_day = StartDayOf(layer, r, c);
  if (const LanduseValue check = CheckFixpointDays(start_day, altitude); !check.ok()) return check;
  int g = CorrectedFixpointInterval(jd, start_day, altitude);
  double d = jd;
  if (g > count) {  // after the last fixpoint: towards the first one of the next year
    g = 1;
    d = jd - 366;
  }
  // Until the phenology starts, the value stays at the fixpoint before the placeholder.
  if (HasDynamicStart(method) && g == startFixpoint) return {.value = table[static_cast<std::size_t>(g) - 1]};
  return {.value = Interpolate(CorrectedFixpointDay(g - 1, start_day, altitude), table[static_cast<std::size_t>(g) - 1],
                               CorrectedFixpointDay(g, start_day, altitude), table[static_cast<std::size_t>(g)], d)};
}

double LanduseRecord::ValueFromCellDays(std::span<const double> table, int jd, int layer, int r, int c) const {
  const std::span<const double> q = cellFixpointDays[static_cast<std::size_t>(layer)].levels(r, c);
  const int last = std::min(count, static_cast<int>(q.size()) - 1);
  if (last < 1) return kNotGiven;
  const double d = jd;
  const int u = CellUpperIndex(q, last, d);
  const double below = table[static_cast<std::size_t>(u) - 1];
  const double above = table[static_cast<std::size_t>(u)];
  if (method == LanduseMethod::DynamicPhenology_3 && ForcingThreshold[static_cast<std::size_t>(u)] > 0 &&
      static_cast<std::size_t>(layer) < cellForcingSum.size() &&
      !cellForcingSum[static_cast<std::size_t>(layer)].empty()) {
    // The value follows the cell's forcing sum from the threshold reached last.
    const double forcing = cellForcingSum[static_cast<std::size_t>(layer)](r, c);
    return Interpolate(q[0], below, ForcingThreshold[static_cast<std::size_t>(u)], above, forcing);
  }
  // A fixpoint the cell has not reached yet has no day: the value holds at the last
  // reached fixpoint instead of running away from it on a line through a day <= 0.
  if (q[static_cast<std::size_t>(u)] <= 0) return below;
  return Interpolate(q[static_cast<std::size_t>(u) - 1], below, q[static_cast<std::size_t>(u)], above, d);
}

LanduseValue LanduseRecord::MonthlyValue(std::span<const double> table, int day, int month, int year) const {
  if (month - 1 < 0 || month - 1 > 11) return {.code = kMonthRange};
  if (table.size() < 14) return {.value = kNotGiven};
  const std::array<int, 13> lengths = MonthLengths(year);
  // Each monthly value stands on day 15 of its month.
  int m = month;
  int d = day;
  if (day <= 14) {
    m = month - 1;
    d = day - 1 + lengths[static_cast<std::size_t>(month) - 1];
  }
  const int length = lengths[static_cast<std::size_t>(month)];
  const double here = table[static_cast<std::size_t>(m)];
  if (length == 0) return {.value = here};
  return {.value = here * (length + 15 - d) / length + table[static_cast<std::size_t>(m) + 1] * (d - 15) / length};
}

LanduseValue LanduseRecord::ValueAtDate(std::span<const double> table, int day, int month, int year, int layer,
                                        double altitude, int r, int c) const {
  const LanduseValue jd = DayOfYear(day, month, year);
  if (!jd.ok()) return jd;
  return ValueAtJulianDay(table, static_cast<int>(jd.value), layer, r, c, altitude);
}

LanduseValue LanduseRecord::ResistanceAt(std::span<const double> table, int day, int month, int year, int layer,
                                         double altitude, int r, int c) const {
  if (method == LanduseMethod::MonthlyValues) return MonthlyValue(table, day, month, year);
  return ValueAtDate(table, day, month, year, layer, altitude, r, c);
}

LanduseValue LanduseRecord::CanopyResistanceAt(int day, int month, int year, int layer, double altitude, int r,
                                        int c) const {
  return ResistanceAt(rsc, day, month, year, layer, altitude, r, c);
}
LanduseValue LanduseRecord::InterceptionResistanceAt(int day, int month, int year, int layer, double altitude, int r,
                                        int c) const {
  return ResistanceAt(rs_interception, day, month, year, layer, altitude, r, c);
}
LanduseValue LanduseRecord::EvaporationResistanceAt(int day, int month, int year, int layer, double altitude, int r,
                                        int c) const {
  return ResistanceAt(rs_evaporation, day, month, year, layer, altitude, r, c);
}
LanduseValue LanduseRecord::RoughnessLengthAt(int day, int month, int year, int layer, double altitude, int r,
                                        int c) const {
  return ValueAtDate(Z0, day, month, year, layer, altitude, r, c);
}
LanduseValue LanduseRecord::LeafAreaIndexAt(int day, int month, int year, int layer, double altitude, int r,
                                        int c) const {
  return ValueAtDate(LAI, day, month, year, layer, altitude, r, c);
}
LanduseValue LanduseRecord::VegetationCoverAt(int day, int month, int year, int layer, double altitude, int r,
                                        int c) const {
  return ValueAtDate(VCF, day, month, year, layer, altitude, r, c);
}
LanduseValue LanduseRecord::RootDepthAt(int day, int month, int year, int layer, double altitude, int r,
                                        int c) const {
  return ValueAtDate(RootDepth, day, month, year, layer, altitude, r, c);
}
LanduseValue LanduseRecord::AlbedoAt(int day, int month, int year, int layer, double altitude, int r,
                                        int c) const {
  return ValueAtDate(Albedo, day, month, year, layer, altitude, r, c);
}
LanduseValue LanduseRecord::StemDiameterAt(int day, int month, int year, int layer, double altitude, int r,
                                        int c) const {
  return ValueAtDate(SR_StemDiameter, day, month, year, layer, altitude, r, c);
}
LanduseValue LanduseRecord::ResidueCoverAt(int day, int month, int year, int layer, double altitude, int r,
                                        int c) const {
  return ValueAtDate(SR_ResidCovrg, day, month, year, layer, altitude, r, c);
}

LanduseValue LanduseRecord::CanopyResistanceAtJulianDay(int jd, int layer, int r, int c, double altitude) const {
  return ValueAtJulianDay(rsc, jd, layer, r, c, altitude);
}
LanduseValue LanduseRecord::InterceptionResistanceAtJulianDay(int jd, int layer, int r, int c, double altitude) const {
  return ValueAtJulianDay(rs_interception, jd, layer, r, c, altitude);
}
LanduseValue LanduseRecord::EvaporationResistanceAtJulianDay(int jd, int layer, int r, int c, double altitude) const {
  return ValueAtJulianDay(rs_evaporation, jd, layer, r, c, altitude);
}
LanduseValue LanduseRecord::RoughnessLengthAtJulianDay(int jd, int layer, int r, int c, double altitude) const {
  return ValueAtJulianDay(Z0, jd, layer, r, c, altitude);
}
LanduseValue LanduseRecord::LeafAreaIndexAtJulianDay(int jd, int layer, int r, int c, double altitude) const {
  return ValueAtJulianDay(LAI, jd, layer, r, c, altitude);
}
LanduseValue LanduseRecord::VegetationCoverAtJulianDay(int jd, int layer, int r, int c, double altitude) const {
  return ValueAtJulianDay(VCF, jd, layer, r, c, altitude);
}
LanduseValue LanduseRecord::RootDepthAtJulianDay(int jd, int layer, int r, int c, double altitude) const {
  return ValueAtJulianDay(RootDepth, jd, layer, r, c, altitude);
}
LanduseValue LanduseRecord::AlbedoAtJulianDay(int jd, int layer, int r, int c, double altitude) const {
  return ValueAtJulianDay(Albedo, jd, layer, r, c, altitude);
}
LanduseValue LanduseRecord::StemDiameterAtJulianDay(int jd, int layer, int r, int c, double altitude) const {
  return ValueAtJulianDay(SR_StemDiameter, jd, layer, r, c, altitude);
}
LanduseValue LanduseRecord::ResidueCoverAtJulianDay(int jd, int layer, int r, int c, double altitude) const {
  return ValueAtJulianDay(SR_ResidCovrg, jd, layer, r, c, altitude);
}

// ---------------------------------------------------------------------------------------
// Vegetation period of the balance

LanduseValue LanduseRecord::VegetationStartAt(int day, int month, int year, int layer, double altitude, int r,
                                              int c) const {
  const LanduseValue jd = DayOfYear(day, month, year);
  return jd.ok() ? VegetationStartAtJulianDay(static_cast<int>(jd.value), layer, r, c, altitude) : jd;
}

LanduseValue LanduseRecord::VegetationStopAt(int day, int month, int year, int layer, double altitude, int r,
                                             int c) const {
  const LanduseValue jd = DayOfYear(day, month, year);
  return jd.ok() ? VegetationStopAtJulianDay(static_cast<int>(jd.value), layer, r, c, altitude) : jd;
}

LanduseValue LanduseRecord::VegetationStartAtJulianDay(int jd, int layer, int r, int c, double altitude) const {
  const int start = StartVegetationPeriodForBalance;
  const int stop = StopVegetationPeriodForBalance;
  if (start == 0) return {.value = 0};
  if (count < 1) return {.value = -1};
  const double d = jd;
  const auto in_period = [start, stop](int k) { return k >= start && (k < stop || stop < start); };
  if (UsesCellFixpointDays(layer)) {
    const std::span<const double> q = cellFixpointDays[static_cast<std::size_t>(layer)].levels(r, c);
    const int last = std::min(count, static_cast<int>(q.size()) - 1);
    if (last < 1) return {.value = -1};
    const int lower = CellUpperIndex(q, last, d) - 1;
    return {.value = in_period(lower) && d >= q[static_cast<std::size_t>(lower)] ? d : -1};
  }
  const int start_day = StartDayOf(layer, r, c);
  if (const LanduseValue check = CheckFixpointDays(start_day, altitude); !check.ok()) return check;
  int g = CorrectedFixpointInterval(jd, start_day, altitude);
  double x = d;
  if (g > count) {
    g = 1;
    x = d - 366;
  }
  const int fixpoint_day = CorrectedFixpointDay(g, start_day, altitude);
  return {.value = in_period(g) && fixpoint_day <= x && fixpoint_day > 0 ? d : -1};
}

LanduseValue LanduseRecord::VegetationStopAtJulianDay(int jd, int layer, int r, int c, double altitude) const {
  const int stop = StopVegetationPeriodForBalance;
  if (stop == 0) return {.value = 0};
  if (count < 1) return {.value = -1};
  const double d = jd;
  if (UsesCellFixpointDays(layer)) {
    const std::span<const double> q = cellFixpointDays[static_cast<std::size_t>(layer)].levels(r, c);
    const int last = std::min(count, static_cast<int>(q.size()) - 1);
    if (last < 1 || d < q[1] || last <= 1 || q[1] <= 0) return {.value = -1};
    int lower = 1;
    while (lower + 1 < last && d >= q[static_cast<std::size_t>(lower) + 1] && q[static_cast<std::size_t>(lower) + 1] > 0) {
      ++lower;
    }
    return {.value = lower == stop && d == q[static_cast<std::size_t>(stop)] ? d : -1};
  }
  const int start_day = StartDayOf(layer, r, c);
  if (const LanduseValue check = CheckFixpointDays(start_day, altitude); !check.ok()) return check;
  int g = CorrectedFixpointInterval(jd, start_day, altitude);
  double x = d;
  if (g > count) {
    g = 1;
    x = d - 366;
  }
  return {.value = g == stop && x == CorrectedFixpointDay(stop, start_day, altitude) ? d : -1};
}

// ---------------------------------------------------------------------------------------
// n-factor and phenology start

LanduseValue LanduseRecord::NFactorAt(int day, int month, int year) const {
  const LanduseValue jd = DayOfYear(day, month, year);
  return jd.ok() ? NFactorAtJulianDay(static_cast<int>(jd.value)) : jd;
}

LanduseValue LanduseRecord::NFactorAtJulianDay(int jd) const {
  if (count < 1 || nFactor.size() < static_cast<std::size_t>(count) + 1) return {.value = kNotGiven};
  const auto day = [this](int k) { return static_cast<double>(JulDays[static_cast<std::size_t>(k)]); };
  const auto value = [this](int k) { return nFactor[static_cast<std::size_t>(k)]; };
  const double d = jd;
  if (d <= day(1) || day(1) < 0) return {.value = Interpolate(day(0), value(0), day(1), value(1), d)};
  for (int k = 2; k <= count; ++k) {
    if (day(k) >= d || day(k) < 0) return {.value = Interpolate(day(k - 1), value(k - 1), day(k), value(k), d)};
  }
  return {.value = Interpolate(day(0), value(0), day(1), value(1), d - 366)};
}

void LanduseRecord::InitPhenologyStart(int day, int month, int year) {
  if (!HasDynamicStart(method)) return;
  phenologyFlag = true;
  const int jd = JulianDay(day, month, year);
  if (jd > phenology.maxStartJDforDP1 && count >= 1) {
    const int after_start = std::clamp(startFixpoint + 1, 0, count);
    fallbackStartDay = phenology.maxStartJDforDP1 - JulDays[static_cast<std::size_t>(after_start)];
  }
}

}  // namespace tolvo
