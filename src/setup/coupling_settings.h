#pragma once
// Settings of the coupling with an external program ("[ExternalCoupling]").
//
// When coupling is on, the model and the external program wait for each other through
// small command files: before a step that begins a coupling period the model waits for the
// wait file, after a step that ends one it writes the inform file. Grids are read from the
// external program into internal grids at the start of a period, and internal grids and
// statistics tables are written for it at the end. The period is one model step, or the
// steps of one calendar hour, day, month or year.
//
// Without the section coupling is off, with a wait interval of 100 ms and period 'I'.

#include <string>
#include <vector>

#include "framework/matrix.h"

namespace tolvo {

class modelobject;

// Longest name in the lists of the section, and longest write code.
inline constexpr std::size_t kMaxCouplingNameLength = 1200;
inline constexpr std::size_t kMaxCouplingWriteCodeLength = 49;

// The calendar unit of the exchange: every step ('I'), or the first step of a new hour
// ('H'), day ('D'), month ('M') or year ('Y').
enum class CouplingPeriod { Step, Hour, Day, Month, Year };
char PeriodLetter(CouplingPeriod period);

// What a written grid or statistic holds, from its write code: "Sum" and "Mean" (exactly)
// over the steps of the coupling period, "SumTotal..." over the whole run, any other text
// the current values.
enum class ExchangeKind { Current, Sum, Mean, SumTotal };

struct WriteCode {
  std::string text;
  ExchangeKind kind = ExchangeKind::Current;
  // SumTotal only: also written under dated names at the end of a day, month or year.
  bool day_file = false;
  bool month_file = false;
  bool year_file = false;

  bool accumulates() const { return kind != ExchangeKind::Current; }
};
WriteCode ParseWriteCode(const std::string& text);

// A grid the external program writes and the model reads into an internal grid.
struct ExternalReadGrid {
  std::string file_name;
  std::string identifier;  // internal grid
  int fill_code = 0;       // fill mode of the grid read
  int rename_code = 0;     // 1 rename the file after reading (dated), 0 delete it, other keep it
};

// An internal grid written for the external program.
struct ExternalWriteGrid {
  std::string file_name;
  std::string identifier;
  WriteCode code;
  // Sum, Mean and SumTotal: the sums over this process's held rows (empty otherwise);
  // 0 at the zone cells of the process's own rows, nodata elsewhere.
  Grid accumulator;
};

// A statistics table written for the external program.
struct ExternalStatistic {
  std::string file_name;
  std::string name;  // found in the table captions (blanks read as '_')
  WriteCode code;
};

struct CouplingSettings {
  int mode = 0;  // 1 on; 0 and every other value off
  std::string wait_file;
  long long wait_interval_ms = 100;
  CouplingPeriod period = CouplingPeriod::Step;
  int external_time_step_min = 0;
  std::vector<ExternalReadGrid> read_grids;
  std::vector<ExternalWriteGrid> write_grids;
  std::vector<ExternalStatistic> statistics;
  std::string inform_file;
  std::string inform_text;

  bool on() const { return mode == 1; }
  // Whether an external grid is read into the internal grid "GWTableExtern".
  bool HasExternalGroundwaterTable() const;
};

// Reads "[ExternalCoupling]" from the compiled control file, which it opens and leaves
// open. The accumulators are made over the rows of `zone_grid` (the reader's zone grid on
// this process). Fails with 14 when the file cannot be opened, 17 when a single value does
// not scan and 10 when the period letter or a list entry is wrong.
CouplingSettings GetCouplingParameters(modelobject& reader, const std::string& compiled_control_file,
                                       ConstGridView zone_grid);

}  // namespace tolvo
