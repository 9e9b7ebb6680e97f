#pragma once
// The release rules of a reservoir, read from its section
// "[abstraction_rule_reservoir_<code>]", and the outflow they give over one routing step.
//
// A rule table gives the outflow [m3/s] as a function of the stored volume [m3] (or, with
// "TableIndex = Flow", the volume as a function of the outflow), piecewise linear between
// its m rows, with one column per day of the year; between two column days the columns
// are blended linearly. Per column an outflow cap and weekday and hour windows may be
// given; outside its window a column releases nothing. The year of the rules has no leap
// day and its weekdays run 1 (Monday) .. 7 (Sunday).
//
// A hydraulic connection instead lets water flow between the reservoir and another one
// through a rectangular channel by the Gauckler-Manning-Strickler formula
// q = k F R^(2/3) sqrt|I| (Chow 1959, Open-Channel Hydraulics, ch. 5), driven by the
// difference of the two water levels; negative flows run into the reservoir.
//
// Both are evaluated in sub-steps of dTmin seconds: the inflow of a sub-step enters the
// store, the sub-step's outflow leaves it, never below an empty store (nor, for a
// connection, below the channel bottom). The result is the mean outflow of the step.

#include <optional>
#include <string>
#include <vector>

#include "routing/level_volume_table.h"

namespace tolvo {

class ControlFileStream;
class DiagnosticsLog;

struct RuleTable {
  int m = 0;                                // rows
  int nc = 0;                               // columns
  std::vector<int> day;                     // 1..nc: day of the year of column j
  std::vector<double> index;                // 1..m: volume [m3], or outflow [m3/s] with flow_index
  std::vector<std::vector<double>> value;   // [j][i]: outflow [m3/s], or volume [m3] with flow_index
  std::vector<std::vector<double>> slope;   // [j][i]: slope of rows i..i+1; 0 for row m (and row 0)
  std::vector<double> target_cap;           // 1..nc: largest outflow [m3/s]; <= 0: none
  std::vector<long> week_days;              // 1..nc: active weekdays as digits 1..7; -1: every day
  std::vector<int> start_hour, stop_hour;   // 1..nc: active hours; -1 by default
  bool flow_index = false;
};

struct HydraulicConnection {
  int target_reservoir = 0;  // code of the connected reservoir
  double width_m = 0;        // channel width b
  double bottom_m = 0;       // channel bottom z [m a.s.l.]
  double length_m = 0;       // channel length L
  double strickler = 0;      // k [m^(1/3)/s]
};

// What the section holds: a table, a connection, or (m < 1 without a connection) nothing.
struct ReservoirRules {
  std::optional<RuleTable> table;
  std::optional<HydraulicConnection> connection;
};

// Reads the rules of reservoir `code` from the control file, positioned at the line after
// the section header. A connection key that is missing fails with 29, a connection block
// without "}" with 103, a table without rows (m < 1 and no connection) or with a row of
// too few numbers with 34; each with a FATAL entry naming the reservoir.
ReservoirRules ReadReservoirRules(ControlFileStream& file, int code, DiagnosticsLog& log);

// Moves the control file to the line after the section header; a missing section fails
// with 34.
void SeekRuleSection(ControlFileStream& file, const std::string& header, DiagnosticsLog& log);

// The rule table of abstraction `code` from its section "[abstraction_rule_abstraction_<code>]":
// a first line with the row count and the columns' start days, the rows, then the keyword
// lines. A missing section, a row count below 1 or a short row fail with 34.
RuleTable ReadAbstractionRuleTable(ControlFileStream& file, int code, DiagnosticsLog& log);

// The date of a step: year, month (0: a start-up routing), day, hour 1..24.
struct StepDate {
  int year = 0;
  int month = 0;
  int day = 0;
  int hour = 0;
};

// The column blend of the table at day of year `day`: column g with weight w and column
// g - 1 with weight 1 - w (g = 1: weight 1 alone).
struct ColumnBlend {
  int g = 1;
  double w = 1;
};
ColumnBlend BlendAt(const RuleTable& table, int day_of_year);

// The table's value at x in the blended columns: linear between rows, 0 at or below the
// first row; above the last row column g alone (index is volume) or the last slope
// continued (index is flow).
double RuleTableLookup(const RuleTable& table, const ColumnBlend& blend, double x);

// Whether the week day of the date (1 Monday .. 7 Sunday; hour 0 counts for the day
// before) is one of the decimal digits of week_days.
bool WeekDayListed(long week_days, const StepDate& date);

// Whether column g of the table releases at the date; the weekday of hour 0 is that of
// the day before. A start-up routing (month < 1) releases nothing by rule.
bool ColumnActive(const RuleTable& table, int g, const StepDate& date);

// What one step of a reservoir starts from.
struct OutflowStep {
  double volume_m3 = 0;   // stored volume at the start of the step
  double inflow_m3s = 0;  // mean inflow of the step
  double dt_min = 0;      // step length [min]
  double dtmin_s = 60;    // sub-step length [s]
};

// Abstractions that draw from the store in every sub-step, after the sub-step's outflow.
// The reservoir step begins them, the outflow rules draw them sub-step by sub-step, and
// the end of the step hands every abstraction its mean rate.
class ReservoirDraws {
 public:
  virtual ~ReservoirDraws() = default;
  virtual void BeginStep(const StepDate& date) = 0;
  // Takes this sub-step's abstractions [m3] (sub-step of dt_s seconds) from the running
  // volume [m3], never more than it holds; returns the volume left.
  virtual double DrawSubStep(double volume_m3, double dt_s) = 0;
  // Hands every abstraction its mean rate over the step of T seconds; returns the volume
  // drawn in the step [m3].
  virtual double EndStep(double T_s) = 0;
};

// Mean outflow [m3/s] of the step by the rule table. `lake` is the lake's level-volume
// table, or null for a plain reservoir: above the table's last row a plain reservoir
// passes its inflow on; a lake releases at least its inflow once its level stands 0.5 m
// above the level-volume table's level at position m (its last entry when the table is
// shorter).
double RuleTableOutflow(const RuleTable& table, const OutflowStep& step, const StepDate& date,
                        const LevelVolumeTable* lake, ReservoirDraws* draws = nullptr);

// Mean outflow [m3/s] of the step through the connection from a reservoir at level_m
// [m a.s.l.] with water surface area_m2 [m2] towards a reservoir at target_level_m. A
// sub-step without water surface moves nothing.
double ConnectionOutflow(const HydraulicConnection& connection, const OutflowStep& step, double level_m,
                         double area_m2, double target_level_m, ReservoirDraws* draws = nullptr);

}  // namespace tolvo
