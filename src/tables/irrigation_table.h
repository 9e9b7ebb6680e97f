#pragma once
// The irrigation types of the control file: "[irrigation]" switches irrigation on with
// its first value, and "[irrigation_table]" lists the types. Each type has a code, a
// name, the origin of its water and a method that says when and how much is irrigated:
//
//  1 a fixed table of dates (month, day) and amounts (mm);
//  2 a schedule written as rule text on the rest of the entry's line, one or more rules
//    "starting from MM DD with XX mm to MM DD with YY mm every ZZ day" (amounts
//    interpolated from XX to YY by entry number) or
//    "starting from MM DD with XX mm AA times every ZZ days" (AA entries of XX);
//  3 demand control by soil suction (irrigation starts at psi_dry, ends at psi_wet);
//  4 demand control by the ratio of real to potential evapotranspiration.
//
// The IrrigationTable is 1-based: entry 0 holds the number of types in its code.

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "framework/diagnostics_log.h"

namespace tolvo {

class modelobject;

// Longest name of an irrigation type.
inline constexpr std::size_t kMaxIrrigationNameLength = 50;

// The method number of the control file; a number other than 1..4 is kept as it was
// read (it reads the two suctions and nothing else).
enum class IrrigationMethod : int {
  FixedTable = 1,
  ScheduleRules = 2,
  DemandBySuction = 3,
  DemandByEtRatio = 4,
};

struct IrrigationRecord {
  int code = 0;
  std::string name;
  IrrigationMethod method{};
  int origin = 0;           // origin of the water, kept for the irrigation model
  double psi_dry = 0;       // suction at which irrigation starts (method 4: 20)
  double psi_wet = 0;       // suction at which irrigation ends (method 4: 3.45)
  double minETRbyETP = 0;   // method 4: the ratio ETR/ETP below which irrigation starts
  int tabcnt = 0;           // schedule entries (methods 1 and 2)
  std::vector<long> month;  // entries 1..tabcnt
  std::vector<long> day;    // entries 1..tabcnt, day of month
  std::vector<double> amount;  // entries 1..tabcnt, mm
};

// Entry 0 holds the number of types in its code; entries 1..N are the types.
using IrrigationTable = std::vector<IrrigationRecord>;

struct IrrigationSettings {
  int flag = 0;                          // the first value of "[irrigation]"; 0: off
  std::optional<IrrigationTable> table;  // only when the flag is not 0
};

// Reads "[irrigation]" and, when its first value is not 0, "[irrigation_table]" from the
// reader's open control file. Both sections are required (17); a first value that is
// not a number switches irrigation off. `month_lengths` are the days of January to
// December of the model time; rule dates are limited to them. Called by the
// control-file reader in its stage 5 when its set-up mode is above 1.
IrrigationSettings ReadIrrigationTable(modelobject& reader, std::span<const int, 12> month_lengths);

// Parses the rule text of a method-2 type (entry number `entry`) into its schedule
// (appending to the record's arrays and setting tabcnt). A text that does not follow
// the rules ends in IrrigationRuleError.
void ParseIrrigationRules(DiagnosticsLog& log, int entry, std::string_view text,
                          std::span<const int, 12> month_lengths, IrrigationRecord& record);

// Logs the entry that the rule text of irrigation type `entry` is wrong, with the
// description of the four methods, and raises 29.
[[noreturn]] void IrrigationRuleError(DiagnosticsLog& log, int entry);

}  // namespace tolvo
