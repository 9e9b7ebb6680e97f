#include "meteo/regression_file.h"

#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>

#include "framework/error_code.h"

namespace tolvo {
namespace {

struct RegressionRecord {
  ModelDate date;
  bool end_of_data = false;
  RegressionParameters parameters{};
};

[[noreturn]] void RaiseRecordError(DiagnosticsLog& log, const RegressionFileState& file, const std::string& where,
                                   const std::string& what) {
  RaiseInputError(log, "error reading regression file " + file.file_name + ", " + where + ": " + what,
                  kMeteoInputFileError);
}

// The date of a record from its four fields: the end mark, the year rule and the year's
// range; month, day and hour within the range of int.
ModelDate RecordDate(DiagnosticsLog& log, const RegressionFileState& file, const std::string& where,
                     const long long (&fields)[4], bool& end_of_data) {
  for (int k = 1; k < 4; ++k) {
    if (fields[k] < std::numeric_limits<int>::min() || fields[k] > std::numeric_limits<int>::max()) {
      RaiseRecordError(log, file, where, "the date field " + std::to_string(fields[k]) + " is out of range");
    }
  }
  end_of_data = fields[0] == 0 && fields[1] == 0 && fields[2] == 0;
  const ModelDate date{end_of_data ? 0 : RegressionYear(fields[0]), fields[1], fields[2], fields[3]};
  if (date.year < 0 || date.year > kLastFileYear) {
    RaiseRecordError(log, file, where,
                     "the year " + std::to_string(fields[0]) + " lies outside 0 to " + std::to_string(kLastFileYear));
  }
  return date;
}

RegressionRecord ParseTextRecord(DiagnosticsLog& log, const RegressionFileState& file, const std::string& line,
                                 long long line_number) {
  const std::string where = "line " + std::to_string(line_number);
  const std::vector<std::string_view> words = SplitWords(line);
  if (words.size() < 4) RaiseRecordError(log, file, where, "the line holds no date");
  long long fields[4];
  for (std::size_t k = 0; k < 4; ++k) {
    const std::optional<long long> value = WholeInteger(words[k]);
    if (!value) RaiseRecordError(log, file, where, "the date field " + std::string(words[k]) + " is no integer");
    fields[k] = *value;
  }
  RegressionRecord record;
  record.date = RecordDate(log, file, where, fields, record.end_of_data);
  if (record.end_of_data) return record;
  if (words.size() < 4 + record.parameters.size()) {
    RaiseRecordError(log, file, where,
                     "the line holds " + std::to_string(words.size() - 4) + " of the 11 regression parameters");
  }
  for (std::size_t k = 0; k < record.parameters.size(); ++k) {
    const std::optional<double> value = WholeDouble(words[4 + k]);
    if (!value) {
      RaiseRecordError(
          log, file, where,
          "regression parameter " + std::to_string(k + 1) + " (" + std::string(words[4 + k]) + ") is no number");
    }
    record.parameters[k] = *value;
  }
  return record;
}

RegressionRecord DecodeBinaryRecord(DiagnosticsLog& log, const RegressionFileState& file,
                                    const unsigned char (&bytes)[kRegressionRecordBytes], long long number) {
  long long fields[4];
  for (std::size_t k = 0; k < 4; ++k) {
    std::int64_t value = 0;
    std::memcpy(&value, bytes + 8 * k, sizeof value);
    fields[k] = value;
  }
  RegressionRecord record;
  record.date = RecordDate(log, file, "record " + std::to_string(number), fields, record.end_of_data);
  std::memcpy(record.parameters.data(), bytes + 32, sizeof record.parameters);
  return record;
}

// The next record of the open file; nothing at its end (a partial binary record at the
// end of the file is no record).
std::optional<RegressionRecord> ReadRecord(DiagnosticsLog& log, const RegressionFileState& file, MeteoTextFile& input) {
  if (file.text) {
    for (;;) {
      const std::optional<std::string> line = input.ReadLine();
      if (!line) return std::nullopt;
      if (SplitWords(*line).empty()) continue;
      return ParseTextRecord(log, file, *line, input.line_number());
    }
  }
  unsigned char bytes[kRegressionRecordBytes];
  const long offset = input.position().offset;
  if (!input.ReadBytes(bytes, sizeof bytes)) return std::nullopt;
  return DecodeBinaryRecord(log, file, bytes, offset / static_cast<long>(kRegressionRecordBytes) + 1);
}

}  // namespace

void OpenRegressionFile(const MeteoFileContext& context, RegressionFileState& file) {
  DiagnosticsLog& log = context.log;
  const ModelDate& start = context.start;
  const std::string date_text =
      std::to_string(start.day) + "." + std::to_string(start.month) + "." + std::to_string(start.year);
  log << "looking for starting date " << date_text << " for " << std::string(context.input_name) << " in "
      << file.file_name << "[end-entry]";
  MeteoTextFile input;
  if (!input.Open(file.file_name)) {
    RaiseInputError(log, "\nerror opening file " + file.file_name, kMeteoInputFileError);
  }
  unsigned char head[5] = {0, 0, 0, 0, 0};
  const bool has_head = input.ReadBytes(head, sizeof head);
  file.text = has_head && head[0] == 'j' && head[1] == 'r' && head[3] == 'm' && head[4] == 'o';
  if (file.text) {
    input.ReadLine();
  } else {
    input.SeekTo({0, 1});
  }
  file.date = {0, 0, 0, 0};
  std::string progress;
  for (;;) {
    const LinePosition record_start = input.position();
    const std::optional<RegressionRecord> record = ReadRecord(log, file, input);
    if (!record) {
      log << progress << "[end-entry]";
      RaiseInputError(log,
                      "\nEOF reached: " + file.file_name + ", date " + date_text + ", " + std::to_string(start.hour) +
                          ". h not found!",
                      kMeteoStartDateMissing);
    }
    file.date = record->date;
    file.parameters = record->parameters;
    file.start_row = record_start;
    if (file.date.day == 1 && (file.date.hour == 0 || file.date.hour > 23)) progress += ".";
    if (!record->end_of_data && file.date.year == start.year && file.date.month == start.month &&
        file.date.day == start.day && file.date.hour == start.hour) {
      break;
    }
  }
  log << progress << "[end-entry]";
  file.next_block = input.position();
  if (!input.Close()) RaiseInputError(log, "error closing " + file.file_name, kMeteoFileCloseError);
}

void SizeRegressionBlock(RegressionFileState& file) {
  file.capacity = kRegressionBlockRecords;
  file.record_dates.assign(static_cast<std::size_t>(file.capacity), ModelDate{});
  file.record_ends.assign(static_cast<std::size_t>(file.capacity), 0);
  file.record_parameters.assign(static_cast<std::size_t>(file.capacity), RegressionParameters{});
  file.loaded = 0;
  file.index = 1;
}

bool LoadRegressionBlock(const MeteoFileContext& context, RegressionFileState& file) {
  DiagnosticsLog& log = context.log;
  MeteoTextFile input;
  if (!input.Open(file.file_name) || !input.SeekTo(file.next_block)) {
    RaiseInputError(log,
                    file.text ? "\nerror opening file " + file.file_name
                              : "error opening regression file " + file.file_name + " in binary mode",
                    kMeteoInputFileError);
  }
  int loaded = 0;
  while (loaded < file.capacity) {
    const std::optional<RegressionRecord> record = ReadRecord(log, file, input);
    if (!record) break;
    const std::size_t k = static_cast<std::size_t>(loaded);
    file.record_dates[k] = record->date;
    file.record_ends[k] = record->end_of_data ? 1 : 0;
    file.record_parameters[k] = record->parameters;
    ++loaded;
    if (record->end_of_data) break;
  }
  // The block keeps its capacity when the file ends (see LoadStationBlock).
  file.loaded = loaded;
  file.index = loaded > 0 ? 1 : 0;
  file.next_block = input.position();
  if (!input.Close()) RaiseInputError(log, "error closing " + file.file_name, kMeteoFileCloseError);
  return loaded > 0;
}

void NextRegressionRecord(const MeteoFileContext& context, RegressionFileState& file, long long end_key,
                          bool check_end_key, bool& end_of_data) {
  if (check_end_key && DateKey(file.date) >= end_key) {
    end_of_data = true;
    return;
  }
  if (file.index < 1 || file.index > file.loaded) {
    if (!LoadRegressionBlock(context, file)) end_of_data = true;
    if (end_of_data) return;
  }
  const std::size_t k = static_cast<std::size_t>(file.index) - 1;
  if (file.record_ends[k] != 0) {
    end_of_data = true;
    return;
  }
  file.date = file.record_dates[k];
  file.parameters = file.record_parameters[k];
  if (!end_of_data) ++file.index;
}

void RewindRegressionFile(RegressionFileState& file, const ModelDate& start) {
  file.next_block = file.saved_start_row;
  file.index = file.loaded + 1;
  file.date = start;
}

}  // namespace tolvo
