#include "meteo/grid_list_file.h"

#include "framework/error_code.h"

namespace tolvo {
namespace {

struct GridListRow {
  DataRowDate row;
  std::string grid_name;
};

GridListRow ParseGridListRow(DiagnosticsLog& log, const std::string& line, const StationFileState& header,
                             long long line_number) {
  GridListRow result{ParseDataRowDate(log, line, header.additional_columns, header.file_name, line_number), {}};
  if (result.row.end_of_data) return result;
  if (result.row.rest.empty()) {
    RaiseInputError(log,
                    "error reading " + header.file_name + ", line " + std::to_string(line_number) +
                        ": the row names no grid file (or -9999)",
                    kMeteoInputFileError);
  }
  result.grid_name = std::string(result.row.rest.front());
  return result;
}

bool IsBlank(const std::string& line) { return SplitWords(line).empty(); }

}  // namespace

void SeekGridListStart(const MeteoFileContext& context, const StationFileState& header, GridListState& list) {
  DiagnosticsLog& log = context.log;
  const ModelDate& start = context.start;
  const std::string date_text =
      std::to_string(start.day) + "." + std::to_string(start.month) + "." + std::to_string(start.year);
  log << "looking for starting date " << date_text << " for " << std::string(context.input_name) << " in "
      << header.file_name << "[end-entry]";
  MeteoTextFile text;
  if (!text.Open(header.file_name)) {
    RaiseInputError(log, "\nerror opening file " + header.file_name, kMeteoInputFileError);
  }
  for (int k = 0; k < 5; ++k) text.ReadLine();
  std::string progress;
  for (;;) {
    const LinePosition row_start = text.position();
    const std::optional<std::string> line = text.ReadLine();
    if (!line) {
      log << progress << "[end-entry]";
      RaiseInputError(log,
                      "\nfile " + header.file_name + " dosnt contain date " + date_text + ", hour " +
                          std::to_string(start.hour) + "(feof)!",
                      kMeteoStartDateMissing);
    }
    if (IsBlank(*line)) continue;
    const GridListRow row = ParseGridListRow(log, *line, header, text.line_number());
    const ModelDate& d = row.row.date;
    if (d.day == 1 && (d.hour == 0 || d.hour > 23)) progress += ".";
    if (row.row.end_of_data || d.year != start.year || d.month != start.month || d.day != start.day ||
        d.hour != start.hour) {
      continue;
    }
    list.grid_name = row.grid_name;
    list.date = d;
    list.start_row = row_start;
    list.position = text.position();
    break;
  }
  log << progress << "[end-entry]";
  if (!text.Close()) RaiseInputError(log, "error closing " + header.file_name, kMeteoFileCloseError);
}

void NextGridListRecord(const MeteoFileContext& context, const StationFileState& header, GridListState& list,
                        long long end_key, bool& end_of_data) {
  DiagnosticsLog& log = context.log;
  const auto close = [&] {
    if (!list.list.Close()) RaiseInputError(log, "error closing " + header.file_name, kMeteoFileCloseError);
  };
  if (DateKey(list.date) >= end_key) {
    end_of_data = true;
    close();
    return;
  }
  if (end_of_data) return;
  if (!list.list.is_open()) {
    if (!list.list.Open(header.file_name) || !list.list.SeekTo(list.position)) {
      list.list.Close();
      RaiseInputError(log, "\nerror opening file " + header.file_name, kMeteoInputFileError);
    }
  }
  for (;;) {
    const std::optional<std::string> line = list.list.ReadLine();
    if (!line) break;
    if (IsBlank(*line)) continue;
    const GridListRow row = ParseGridListRow(log, *line, header, list.list.line_number());
    if (row.row.end_of_data) break;
    list.date = row.row.date;
    list.grid_name = row.grid_name;
    list.position = list.list.position();
    return;
  }
  end_of_data = true;
  close();
}

void RewindGridList(GridListState& list, const ModelDate& start) {
  list.list.Close();
  list.position = list.saved_start_row;
  list.date = start;
}

}  // namespace tolvo
