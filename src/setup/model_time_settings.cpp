#include "setup/model_time_settings.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>

#include "framework/error_code.h"

namespace tolvo {
namespace {

constexpr std::size_t kMaxMeteoNameLength = 200;

void OpenOrFail(modelobject& reader, const std::string& control_file) {
  if (!reader.OpenControlFile(control_file)) {
    reader.log() << "FATAL: Error opening " << control_file << "[end-entry]";
    RaiseError(kControlFileOpenError);
  }
}

// Switches and directories of the keyword lines after the fourth output value; the list
// ends at the end of the file, at an empty line or at a line without line end.
void ReadOutputKeywords(modelobject& reader, OutputSettings& settings) {
  static constexpr std::array<const char*, 5> kKeywords = {"WriteAsciiGrids", "WriteDoubleGrids",
                                                           "WriteNetcdfGrids", "InitialStateDirectory",
                                                           "DefaultOutputDirectory"};
  ControlFileStream& file = reader.control_file();
  bool had_line_end = false;
  while (std::optional<std::string> line = file.ReadLine(had_line_end)) {
    const std::size_t start = line->find_first_not_of(" \t");
    if (!had_line_end || start == std::string::npos) break;
    const std::string_view text = std::string_view(*line).substr(start);
    const auto keyword = std::find_if(kKeywords.begin(), kKeywords.end(),
                                      [&](const char* k) { return text.find(k) != std::string_view::npos; });
    if (keyword == kKeywords.end()) continue;
    const std::size_t equals = text.find('=');
    std::string value;
    if (equals != std::string_view::npos) {
      const std::string_view rest = text.substr(equals + 1);
      const std::size_t begin = rest.find_first_not_of(" \t");
      if (begin != std::string_view::npos) {
        const std::size_t end = rest.find_first_of(" \t", begin);
        value = std::string(rest.substr(begin, end == std::string_view::npos ? end : end - begin));
      }
    }
    const int index = static_cast<int>(keyword - kKeywords.begin());
    if (index >= 3) {
      if (value.empty() || value.size() > kMaxLineLength) reader.ControlFileItemError(*keyword, "");
      (index == 3 ? settings.initial_state_directory : settings.output_directory) = value;
      continue;
    }
    const std::optional<int> flag = ParseIntPrefix(value);
    if (!flag || (*flag != 0 && *flag != 1)) reader.ControlFileItemError(*keyword, "");
    bool& target = index == 0 ? settings.formats.ascii : index == 1 ? settings.formats.doubles : settings.formats.netcdf;
    target = *flag == 1;
  }
}

void ReadOutputInterval(modelobject& reader, OutputSettings& settings) {
  reader.FindSection("[output_interval]", true);
  ControlFileStream& file = reader.control_file();
  const std::optional<std::string> token = file.ReadToken();
  const std::optional<int> interval = token ? ParseIntPrefix(*token) : std::nullopt;
  if (!interval) reader.ControlFileItemError("output control", "");
  settings.log_interval_hours = *interval;
  file.SkipLine();
  reader.ReadItem(settings.search_radius_warning, "search radius warning switch in [output_interval]");
  if (settings.search_radius_warning != 0) settings.search_radius_warning = 1;
  reader.ReadItem(settings.third_switch, "third output switch in [output_interval]");
  if (settings.third_switch != 1) settings.third_switch = 0;
  reader.ReadItem(settings.min_to_int_end, "min_to_int_end in [output_interval]");
  if (!std::isfinite(settings.min_to_int_end)) {
    reader.ControlFileValueError("[output_interval]", "min_to_int_end (fourth value)", settings.min_to_int_end,
                                 "minutes from the hour of the meteorological data to the end of the step, 0 or more");
  }
  if (settings.min_to_int_end < 0) {
    reader.log() << "WARNING: min_to_int_end (fourth value of [output_interval]) " << settings.min_to_int_end
                 << " is negative; 0 is used" << "[end-entry]";
    settings.min_to_int_end = 0;
  }
  ReadOutputKeywords(reader, settings);
}

void ReadOutputList(modelobject& reader, OutputSettings& settings) {
  reader.FindSection("[output_list]", true);
  int count = 0;
  reader.ReadItemKeepLine(count, "number of subbasins in output list");
  for (int i = 1; i <= count; ++i) {
    int code = 0;
    reader.ReadItem(code, "codes in output-list");
    settings.output_list.push_back(code);
  }
  if (std::adjacent_find(settings.output_list.begin(), settings.output_list.end(), std::greater_equal<int>()) !=
      settings.output_list.end()) {
    reader.log() << "FATAL: \nError in control file: order of subbasin codes in output_list!\nif output should be "
                    "written for a specified set of subbasins,\n(specified by a statcode of 5 for averaging in time "
                    "or 6 for summing in time)\nthan the codes has to be arranged in ascendend order\n.look in "
                    "[output_list]\n"
                 << "[end-entry]";
    RaiseError(kOutputListOrder);
  }
}

void ReadCoordinatesAndInputs(modelobject& reader, OutputSettings& settings) {
  reader.FindSection("[coordinates]", true);
  reader.ReadItem(settings.latitude, "geographic latitude");
  reader.ReadItem(settings.longitude, "geographic longitude");
  reader.ReadItem(settings.reference_meridian, "reference meridian");
  reader.ReadItem(settings.time_shift, "time shift of data time to local time");
  if (!std::isfinite(settings.latitude) || std::abs(settings.latitude) > 90) {
    reader.ControlFileValueError("[coordinates]", "geographic latitude (first value)", settings.latitude,
                                 "degrees from -90 to 90");
  }
  const struct {
    double value;
    const char* item;
  } others[] = {{settings.longitude, "geographic longitude (second value)"},
                {settings.reference_meridian, "reference meridian (third value)"},
                {settings.time_shift, "time shift of data time to local time (fourth value)"}};
  for (const auto& other : others) {
    if (!std::isfinite(other.value)) reader.ControlFileValueError("[coordinates]", other.item, other.value, "a number");
  }

  reader.FindSection("[meteo_data_count]", true);
  int count = 0;
  reader.ReadItem(count, "number of meteorological variables");
  reader.FindSection("[meteo_names]", true);
  for (int i = 1; i <= count; ++i) {
    std::string name;
    reader.ReadItem(name, "name of meteorological variable", kMaxMeteoNameLength);
    settings.meteo_names.push_back(std::move(name));
  }
}

}  // namespace

OutputSettings ReadOutputSettings(modelobject& reader, const std::string& control_file) {
  OpenOrFail(reader, control_file);
  OutputSettings settings;
  ReadOutputInterval(reader, settings);
  ReadOutputList(reader, settings);
  ReadCoordinatesAndInputs(reader, settings);
  reader.CloseControlFile();
  return settings;
}

ModelDate ClampModelDate(ModelDate date) {
  if (date.year <= 999) date.year += 1900;
  date.month = std::clamp<long long>(date.month, 1, 12);
  date.day = std::clamp<long long>(date.day, 1, DaysInMonth(date.year, date.month));
  return date;
}

namespace {

// The date as the model time states it: day.month.year hour h.
std::string DateText(const ModelDate& d) {
  return std::to_string(d.day) + "." + std::to_string(d.month) + "." + std::to_string(d.year) + " " +
         std::to_string(d.hour) + " h";
}

// Hours run from 0 to 24 (24 ends a day); years from 0 to 9999, so that every date key
// (year * 93000 + ...) and every calendar sum stays far inside a 64-bit integer.
void CheckModelDate(modelobject& reader, const ModelDate& date, const char* which) {
  if (date.hour < 0 || date.hour > 24) {
    reader.ControlFileValueError("[model_time]", std::string(which) + " hour", std::to_string(date.hour),
                                 "an hour from 0 to 24");
  }
  if (date.year < 0 || date.year > kLastModelYear) {
    reader.ControlFileValueError("[model_time]", std::string(which) + " year", std::to_string(date.year),
                                 "a year from 0 to " + std::to_string(kLastModelYear) +
                                     " (years up to 999 are taken as 1900 + year)");
  }
}

}  // namespace

ModelTime ReadModelTime(modelobject& reader) {
  reader.FindSection("[model_time]", true);
  ModelTime time;
  reader.ReadItem(time.start.hour, "starting hour in [model_time]");
  reader.ReadItem(time.start.day, "starting day in [model_time]");
  reader.ReadItem(time.start.month, "starting month in [model_time]");
  reader.ReadItem(time.start.year, "starting year in [model_time]");
  reader.ReadItem(time.end.hour, "end hour in [model_time]");
  reader.ReadItem(time.end.day, "end day in [model_time]");
  reader.ReadItem(time.end.month, "end month in [model_time]");
  reader.ReadItem(time.end.year, "end year in [model_time]");
  CheckModelDate(reader, time.start, "start");
  CheckModelDate(reader, time.end, "end");
  time.start = ClampModelDate(time.start);
  time.end = ClampModelDate(time.end);
  if (DateKey(time.end) < DateKey(time.start)) {
    reader.ControlFileValueError("[model_time]", "end date", DateText(time.end),
                                 "a date not before the start date " + DateText(time.start));
  }
  return time;
}

int ReadSubsteps(modelobject& reader, const std::string& control_file) {
  OpenOrFail(reader, control_file);
  int count = 1;
  if (reader.FindSection("[soil_surface_groundwater_substeps]", false) != 0) {
    const std::optional<std::string> token = reader.control_file().ReadToken();
    const std::optional<int> value = token ? ParseIntPrefix(*token) : std::nullopt;
    if (!value) {
      reader.ControlFileItemError("sub step counter from [soil_surface_groundwater_substeps] not found", "");
    }
    count = value.value_or(1);
    if (count < 1) {
      reader.ControlFileValueError("[soil_surface_groundwater_substeps]", "sub step counter", std::to_string(count),
                                   "a count of 1 or more");
    }
  }
  reader.CloseControlFile();
  return count;
}

}  // namespace tolvo
