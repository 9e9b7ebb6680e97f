#include "meteo/station_file.h"

#include <algorithm>
#include <cstdlib>
#include <limits>

#include "framework/error_code.h"

namespace tolvo {
namespace {

// Words before the values of a header or data row: four date captions or date fields and
// the additional columns.
std::size_t LeadingWords(int additional_columns) { return 4 + static_cast<std::size_t>(additional_columns); }

// A header word as a number: its leading number, as a C conversion reads it; nothing
// when it does not begin with one.
std::optional<double> LeadingNumber(std::string_view word) {
  const std::string text(word);
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (end == text.c_str()) return std::nullopt;
  return value;
}

std::string Location(std::string_view file_name, long long line_number) {
  return std::string(file_name) + ", line " + std::to_string(line_number);
}

[[noreturn]] void RaiseRowError(DiagnosticsLog& log, std::string_view file_name, long long line_number,
                                const std::string& what) {
  RaiseInputError(log, "error reading " + Location(file_name, line_number) + ": " + what, kMeteoInputFileError);
}

void OpenOrRaise(DiagnosticsLog& log, MeteoTextFile& text, const std::string& file_name, const std::string& message) {
  if (!text.Open(file_name)) RaiseInputError(log, message + file_name, kMeteoInputFileError);
}

void CloseOrRaise(DiagnosticsLog& log, MeteoTextFile& text, const std::string& file_name) {
  if (!text.Close()) RaiseInputError(log, "error closing " + file_name, kMeteoFileCloseError);
}

std::string DateText(const ModelDate& d) {
  return std::to_string(d.day) + "." + std::to_string(d.month) + "." + std::to_string(d.year);
}

bool SameDate(const ModelDate& a, const ModelDate& b) {
  return a.year == b.year && a.month == b.month && a.day == b.day && a.hour == b.hour;
}

// The n station values after the date of a row, by the value rule.
void ParseStationValues(DiagnosticsLog& log, const DataRowDate& row, const StationFileState& file, double nodata,
                        long long line_number, std::span<double> target) {
  const int n = file.n_stations;
  if (row.rest.size() < static_cast<std::size_t>(n)) {
    RaiseRowError(
        log, file.file_name, line_number,
        "the row holds " + std::to_string(row.rest.size()) + " values for " + std::to_string(n) + " stations");
  }
  for (int i = 0; i < n; ++i) {
    const std::string_view word = row.rest[static_cast<std::size_t>(i)];
    const std::optional<double> value = WholeDouble(word);
    if (!value) {
      RaiseRowError(log, file.file_name, line_number,
                    "the value of station " + std::to_string(i + 1) + " (" + std::string(word) + ") is no number");
    }
    target[static_cast<std::size_t>(i)] = PresentOrMissing(*value, nodata);
  }
}

bool IsBlank(std::string_view line) { return SplitWords(line).empty(); }

}  // namespace

bool AllPresentEqual(std::span<const double> values, double nodata) {
  bool any = false;
  double low = 0;
  double high = 0;
  for (std::size_t i = 1; i < values.size(); ++i) {
    const double v = values[i];
    if (!(v >= -nodata)) continue;
    if (!any) {
      low = high = v;
      any = true;
    } else {
      low = std::min(low, v);
      high = std::max(high, v);
    }
  }
  return !any || low == high;
}

DataRowDate ParseDataRowDate(DiagnosticsLog& log, std::string_view line, int additional_columns,
                             std::string_view file_name, long long line_number) {
  DataRowDate row;
  std::vector<std::string_view> words = SplitWords(line);
  if (words.size() < LeadingWords(additional_columns)) {
    RaiseRowError(log, file_name, line_number,
                  "the row holds " + std::to_string(words.size()) + " words, fewer than the 4 of its date and the " +
                      std::to_string(additional_columns) + " additional columns");
  }
  long long fields[4] = {0, 0, 0, 0};
  const char* names[4] = {"year", "month", "day", "hour"};
  for (int k = 0; k < 4; ++k) {
    const std::optional<long long> value = WholeInteger(words[static_cast<std::size_t>(k)]);
    // Month, day and hour within the range of int keep every date key far from overflow.
    const bool in_range =
        value && (k == 0 || (*value >= std::numeric_limits<int>::min() && *value <= std::numeric_limits<int>::max()));
    if (!in_range) {
      RaiseRowError(
          log, file_name, line_number,
          std::string("the ") + names[k] + " (" + std::string(words[static_cast<std::size_t>(k)]) + ") is no integer");
    }
    fields[k] = *value;
  }
  row.end_of_data = fields[0] == 0 && fields[1] == 0 && fields[2] == 0;
  row.date = {row.end_of_data ? 0 : StationYear(fields[0]), fields[1], fields[2], fields[3]};
  if (row.date.year < 0 || row.date.year > kLastFileYear) {
    RaiseRowError(log, file_name, line_number,
                  "the year " + std::string(words[0]) + " lies outside 0 to " + std::to_string(kLastFileYear));
  }
  row.rest.assign(words.begin() + static_cast<std::ptrdiff_t>(LeadingWords(additional_columns)), words.end());
  return row;
}

void ReadStationHeader(const MeteoFileContext& context, StationFileState& file) {
  DiagnosticsLog& log = context.log;
  log << "reading station description for " << std::string(context.input_name) << " from " << file.file_name << " ..."
      << "[end-entry]";
  MeteoTextFile text;
  OpenOrRaise(log, text, file.file_name, "\nerror opening ");
  const std::size_t lead = LeadingWords(file.additional_columns);
  const auto missing_line = [&](int line_number) {
    RaiseInputError(log,
                    "station data file " + file.file_name + " ends before line " + std::to_string(line_number) +
                        " (lines 2, 3 and 4 give the altitudes and the x and y coordinates of the stations)",
                    kMeteoInputFileError);
  };
  text.ReadLine();
  const std::optional<std::string> altitudes = text.ReadLine();
  if (!altitudes) missing_line(2);
  const std::vector<std::string_view> words = SplitWords(*altitudes);
  int n = 0;
  for (std::size_t w = lead; w < words.size() && LeadingNumber(words[w]); ++w) ++n;
  file.n_stations = n;
  const std::size_t size = static_cast<std::size_t>(n) + 1;
  file.altitude.assign(size, 0.0);
  file.x.assign(size, 0.0);
  file.y.assign(size, 0.0);
  file.values.assign(size, -context.nodata - 1);
  log << " (" << n << ") Stationen "
      << "[end-entry]";
  CloseOrRaise(log, text, file.file_name);

  OpenOrRaise(log, text, file.file_name, "error opening file ");
  text.ReadLine();
  for (std::vector<double>* target : {&file.altitude, &file.x, &file.y}) {
    const std::optional<std::string> line = text.ReadLine();
    if (!line) missing_line(static_cast<int>(text.line_number()) + 1);
    const std::vector<std::string_view> row = SplitWords(*line);
    if (row.size() < lead + static_cast<std::size_t>(n)) {
      RaiseInputError(log,
                      "error reading " + Location(file.file_name, text.line_number()) + ": the line holds " +
                          std::to_string(row.size() < lead ? 0 : row.size() - lead) + " values after its " +
                          std::to_string(lead) + " leading words for " + std::to_string(n) + " stations",
                      kMeteoInputFileError);
    }
    for (int i = 1; i <= n; ++i) {
      (*target)[static_cast<std::size_t>(i)] = LeadingNumber(row[lead + static_cast<std::size_t>(i) - 1]).value_or(0);
    }
  }
  CloseOrRaise(log, text, file.file_name);
}

void SeekStationStart(const MeteoFileContext& context, StationFileState& file) {
  DiagnosticsLog& log = context.log;
  const ModelDate& start = context.start;
  log << "looking for starting date " << DateText(start) << " for " << std::string(context.input_name) << " in "
      << file.file_name << "[end-entry]";
  MeteoTextFile text;
  OpenOrRaise(log, text, file.file_name, "\nerror opening file ");
  for (int k = 0; k < 5; ++k) text.ReadLine();
  std::fill(file.values.begin(), file.values.end(), -context.nodata - 1);
  std::string progress;
  for (;;) {
    const LinePosition row_start = text.position();
    const std::optional<std::string> line = text.ReadLine();
    if (!line) {
      log << progress << "[end-entry]";
      RaiseInputError(log,
                      "\nfile " + file.file_name + " dosnt contain date " + DateText(start) + ", hour " +
                          std::to_string(start.hour) + "(feof)!",
                      kMeteoStartDateMissing);
    }
    if (IsBlank(*line)) continue;
    const DataRowDate row = ParseDataRowDate(log, *line, file.additional_columns, file.file_name, text.line_number());
    if (row.date.day == 1 && (row.date.hour == 0 || row.date.hour > 23)) progress += ".";
    if (row.end_of_data || !SameDate(row.date, start)) continue;
    ParseStationValues(log, row, file, context.nodata, text.line_number(), std::span<double>(file.values).subspan(1));
    file.date = row.date;
    file.start_row = row_start;
    file.next_block = text.position();
    break;
  }
  log << progress << "[end-entry]";
  file.all_equal = false;
  CloseOrRaise(log, text, file.file_name);
}

void SizeStationBlock(StationFileState& file) {
  const long long record_bytes = (static_cast<long long>(file.n_stations) + 1) * 8 + 32;
  file.capacity = static_cast<int>(std::max(1LL, kStationBlockBytes / record_bytes));
  file.record_dates.assign(static_cast<std::size_t>(file.capacity), ModelDate{});
  file.record_ends.assign(static_cast<std::size_t>(file.capacity), 0);
  file.record_values.assign(static_cast<std::size_t>(file.capacity) * static_cast<std::size_t>(file.n_stations), 0.0);
  file.loaded = 0;
  file.index = 1;
}

bool LoadStationBlock(const MeteoFileContext& context, StationFileState& file) {
  DiagnosticsLog& log = context.log;
  MeteoTextFile text;
  OpenOrRaise(log, text, file.file_name, "\nerror opening file ");
  if (!text.SeekTo(file.next_block)) {
    RaiseInputError(log, "\nerror opening file " + file.file_name, kMeteoInputFileError);
  }
  const std::size_t n = static_cast<std::size_t>(file.n_stations);
  int loaded = 0;
  while (loaded < file.capacity) {
    const std::optional<std::string> line = text.ReadLine();
    if (!line) break;
    if (IsBlank(*line)) continue;
    const DataRowDate row = ParseDataRowDate(log, *line, file.additional_columns, file.file_name, text.line_number());
    const std::size_t k = static_cast<std::size_t>(loaded);
    std::span<double> values = std::span<double>(file.record_values).subspan(k * n, n);
    file.record_dates[k] = row.date;
    file.record_ends[k] = row.end_of_data ? 1 : 0;
    ++loaded;
    // The data end with this row: what follows it is not read.
    if (row.end_of_data) break;
    ParseStationValues(log, row, file, context.nodata, text.line_number(), values);
  }
  // The block keeps its capacity when the file ends: a later block (after a rewind) can
  // fill it again.
  file.loaded = loaded;
  file.index = loaded > 0 ? 1 : 0;
  file.next_block = text.position();
  CloseOrRaise(log, text, file.file_name);
  return loaded > 0;
}

void NextStationRecord(const MeteoFileContext& context, StationFileState& file, long long end_key, bool& end_of_data) {
  if (DateKey(file.date) >= end_key) {
    end_of_data = true;
    return;
  }
  if (file.index < 1 || file.index > file.loaded) {
    if (!LoadStationBlock(context, file)) end_of_data = true;
    if (end_of_data) return;
  }
  const std::size_t k = static_cast<std::size_t>(file.index) - 1;
  if (file.record_ends[k] != 0) {
    end_of_data = true;
    return;
  }
  file.date = file.record_dates[k];
  const std::size_t n = static_cast<std::size_t>(file.n_stations);
  std::copy_n(file.record_values.begin() + static_cast<std::ptrdiff_t>(k * n), n, file.values.begin() + 1);
  file.all_equal = AllPresentEqual(file.values, context.nodata);
  if (!end_of_data) ++file.index;
}

void RewindStationFile(StationFileState& file, const ModelDate& start) {
  file.next_block = file.saved_start_row;
  file.index = file.loaded + 1;
  file.date = start;
}

}  // namespace tolvo
