#pragma once
// A time-series table file: observed discharges, inflows, abstractions and similar inputs,
// one record per date. Any lines at the start whose first character is not a digit are
// header lines; then each record is year, month, day and hour (integers) followed by n
// values, separated by white space. n is the number of values on the first data line;
// from the second record on, line ends count as white space, so records may wrap.
//
// The file is read in blocks whose memory stays within a byte budget: a block holds
// budget div (8 n + 16) records. The user walks a cursor over the records of the current
// block; NextRecord loads the next block when the cursor passes the last record. The file
// is open only while a block is read. The data end where, after white space, fewer than
// 10 bytes remain.
//
// A reader loop: open; while the state is 1 or 2, take the current record, NextRecord.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "framework/diagnostics_log.h"

namespace tolvo {

enum TimeseriesState : int {
  kTimeseriesNotOpened = 0,  // Open has not run yet
  kTimeseriesMoreBlocks = 1,  // more records may follow the current block
  kTimeseriesLastBlock = 2,   // the current block reached the end of the file
  kTimeseriesOpenFailed = 3,  // the file cannot be opened (nothing is loaded)
  kTimeseriesEnd = 4,         // the cursor passed the last record of the last block
  kTimeseriesReadFailed = 5,  // a header ran to the end of the file, or a record does not read
};

class timeseries_file {
 public:
  // An empty table in state 0.
  explicit timeseries_file(DiagnosticsLog& log);
  // Opens file_name at once (see Open).
  timeseries_file(DiagnosticsLog& log, std::string_view file_name, std::uint64_t byte_budget);
  ~timeseries_file();
  timeseries_file(const timeseries_file&) = delete;
  timeseries_file& operator=(const timeseries_file&) = delete;

  // Reads the header and the first block; only in state 0. A missing file gives state 3,
  // a file without records state 5. Raises 202 when the position of the first data line
  // cannot be taken, 201 when that line cannot be buffered, and 203 when the budget holds
  // not even one record (a FATAL entry each; the table is then left in state 3).
  void Open(std::string_view file_name, std::uint64_t byte_budget);
  // Advances the cursor, loading the next block when it passes the last record. Past the
  // last record of the last block the state becomes 4; a failed read (3, 5) stays visible.
  void NextRecord();
  // The current record's date; -9999 in all four when the cursor stands on no record.
  void GetDate(int& year, int& month, int& day, int& hour) const;
  // The current record's value of the 0-based column; -9999 for a column outside 0 .. n - 1
  // or when the cursor stands on no record.
  double GetValue(long long column) const;
  // cursor := index when -1 <= index <= records in the block.
  void SetRecord(long long index);
  // cursor := cursor + delta when the result lies in -1 .. records in the block.
  void MoveRecord(long long delta);
  // Frees the records; the table returns to state 0 and may be opened again.
  void Release();

  int state() const { return state_; }
  const std::string& file_name() const { return file_name_; }
  // Number of value columns n.
  long long value_count() const { return n_values_; }
  // Number of header lines Open skipped.
  long long header_lines() const { return header_lines_; }
  // Index of the current record in the block (-1: before the first record).
  long long record_index() const { return cursor_; }
  // Records in the current block.
  long long records_in_block() const { return records_in_block_; }

 private:
  struct RecordDate {
    long long year, month, day, hour;
  };
  void LoadBlock();
  bool on_record() const { return cursor_ >= 0 && cursor_ < records_in_block_; }

  DiagnosticsLog& log_;
  std::string file_name_;
  std::uint64_t byte_budget_ = 0;
  // Record k: dates_[k] and values_[k * n .. k * n + n - 1].
  std::vector<RecordDate> dates_;
  std::vector<double> values_;
  long long capacity_ = 0;
  long long cursor_ = -1;
  long long records_in_block_ = 0;
  long long n_values_ = 0;
  long long header_lines_ = 0;
  long long end_position_ = 0;
  long long saved_position_ = 0;
  int state_ = kTimeseriesNotOpened;
};

}  // namespace tolvo
