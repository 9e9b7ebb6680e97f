#pragma once
// Station data files of a meteorological input.
//
// Layout: line 1 is a title; lines 2, 3 and 4 hold four caption words (for example
// YY MM DD HH), the words of the additional columns and then one number per station: its
// altitude (m), its x and its y map coordinate; line 5 is free text (station names). From
// line 6 on each row is one date: year, month, day and hour, the additional columns'
// words and one value per station. Years below 100 are 1900 + year; a row whose year,
// month and day are all 0 ends the data. The hour is the hour of the data.
//
// Values follow the input's nodata value N (> 0): a value v is present when
// -N <= v <= N; any other value is stored as -N - 1.
//
// A file is read in blocks of records of about 2 MiB and is open only while a block is
// read. Every row read is checked: a date that is no number or whose year lies outside
// 0..9999, fewer values than stations, or a value that is no number stops the run with an
// entry naming the file and the line. The rest of a row after its values is skipped,
// whatever its length.

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "framework/date.h"
#include "framework/diagnostics_log.h"
#include "meteo/meteo_text_file.h"

namespace tolvo {

// What the file readers know of the input they read for.
struct MeteoFileContext {
  DiagnosticsLog& log;
  std::string_view input_name;
  double nodata = 0;  // N of the input's section
  ModelDate start;    // the run's start date
};

// The stored form of a value: itself when present, else -N - 1.
inline double PresentOrMissing(double value, double nodata) {
  return value >= -nodata && value <= nodata ? value : -nodata - 1;
}
// Years below 100 of a station file or grid list are 1900 + year.
inline long long StationYear(long long year) { return year < 100 ? 1900 + year : year; }
// 1 when all present values (v >= -N) of values[1..] are equal or none is present.
bool AllPresentEqual(std::span<const double> values, double nodata);

// Largest year a data row may carry after the year rule.
inline constexpr long long kLastFileYear = 9999;
// Bytes a block of station records may take: records of (n + 1) * 8 + 32 bytes.
inline constexpr long long kStationBlockBytes = 2097152;

// One station data file of an input and its reading state.
struct StationFileState {
  std::string file_name;
  std::string section_line;  // the whole line of the input's section that names the file
  int additional_columns = 0;
  int n_stations = 0;
  // Per station, 1-based (index 0 unused): altitude (m), map coordinates and the current
  // values.
  std::vector<double> altitude;
  std::vector<double> x;
  std::vector<double> y;
  std::vector<double> values;
  // The map coordinates turned into the frame of the anisotropy ellipse; empty when the
  // ratio is 1 (the map coordinates serve).
  std::vector<double> x_rotated;
  std::vector<double> y_rotated;
  ModelDate date;          // of the current record
  bool all_equal = false;  // see AllPresentEqual

  // Record block: records 1..loaded of `capacity`; `index` is the next record to take
  // (past `loaded`: the next block is loaded first).
  int capacity = 0;
  int loaded = 0;
  int index = 0;
  std::vector<ModelDate> record_dates;     // record k at k - 1
  std::vector<unsigned char> record_ends;  // 1: the row of year, month and day 0
  std::vector<double> record_values;       // record k's station i at (k - 1) * n + i - 1
  LinePosition next_block;                 // where the next block begins
  LinePosition start_row;                  // the row of the start date
  LinePosition saved_start_row;            // where a rewind begins
};

// Reads lines 1 to 4: the station count and the stations' altitudes and coordinates; the
// current values all missing. Failures: 49 (file cannot be opened, a line missing or
// shorter than the station count), 50 (cannot be closed).
void ReadStationHeader(const MeteoFileContext& context, StationFileState& file);
// Positions the file on the start date and reads the start row's values. Failures: 49
// (cannot be opened, a row that cannot be read), 50, 51 (no row of the start date).
void SeekStationStart(const MeteoFileContext& context, StationFileState& file);
// Sizes the record block from the station count and marks it as used up.
void SizeStationBlock(StationFileState& file);
// Loads the next block; false when no complete row was left. Failures: 49, 50.
bool LoadStationBlock(const MeteoFileContext& context, StationFileState& file);
// Makes the next record current; sets end_of_data when the file's date has reached
// end_key, the rows ended or the end row was met (the date then stays).
void NextStationRecord(const MeteoFileContext& context, StationFileState& file, long long end_key, bool& end_of_data);
// Back to the start row: the next advance loads a block from it.
void RewindStationFile(StationFileState& file, const ModelDate& start);

// The date of a data row, its end mark, and the words after the date and additional
// columns; used by the station files and the grid lists. Failures (49) name the file and
// the line.
struct DataRowDate {
  ModelDate date;
  bool end_of_data = false;  // year, month and day 0
  std::vector<std::string_view> rest;
};
DataRowDate ParseDataRowDate(DiagnosticsLog& log, std::string_view line, int additional_columns,
                             std::string_view file_name, long long line_number);

}  // namespace tolvo
