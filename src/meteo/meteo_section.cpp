#include "meteo/meteo_section.h"

#include <climits>
#include <cstdio>
#include <cstdlib>

#include "framework/control_file_stream.h"
#include "framework/error_code.h"
#include "meteo/meteo_text_file.h"
#include "meteo/meteointerpol.h"

namespace tolvo {
namespace {

constexpr const char* kMethodText =
    "1 [idw], 2 [regress], [3] [idw+regr], 4 [thiessen] 5 [bilinear] 6 [BIGRES] 7 [bicubic spline] 8 [SPLINERES] "
    "9 [ReadGrid] 10 [EDR from station data] 11 [IDW + EDR from station data] 12 [Thiessen combines with elevation "
    "gradient] for ";
constexpr int kScenarioColumns = 14;  // x, y and months 1 to 12

}  // namespace

StationFileLine ParseStationFileLine(const std::string& line) {
  StationFileLine result;
  result.line = line;
  const std::vector<std::string_view> words = SplitWords(line);
  if (!words.empty()) result.file_name = std::string(words.front());
  constexpr std::string_view kKey = "AdditionalColumns=";
  const std::size_t key = line.find(kKey);
  if (key != std::string::npos) {
    // A count beyond int is as unusable as a negative one.
    const long long count = std::strtoll(line.c_str() + key + kKey.size(), nullptr, 10);
    result.additional_columns = count >= 0 && count <= INT_MAX ? static_cast<int>(count) : -1;
  }
  return result;
}

std::optional<ElevationRegressionSettings> ParseElevationRegressionLine(const std::string& line) {
  ElevationRegressionSettings s;
  const int n = std::sscanf(line.c_str(), "%lf %lf %lf %d %lf %lf", &s.lower_inversion, &s.upper_inversion,
                            &s.tolerance, &s.overlap, &s.cluster_range, &s.lapse_rate_above);
  if (n < 5) return std::nullopt;
  if (n == 5) s.lapse_rate_above = -9999;
  return s;
}

std::optional<LapseRateSettings> ParseLapseRateLine(const std::string& line) {
  LapseRateSettings s;
  std::string word(line.size() + 1, '\0');
  const int n =
      std::sscanf(line.c_str(), "%lf %lf %lf %s", &s.lapse_rate, &s.inversion_height, &s.upper_lapse_rate, word.data());
  if (n < 1 || n == 2) return std::nullopt;
  if (n == 1) {
    s.inversion_height = -9999;
    s.upper_lapse_rate = -9999;
  }
  s.precipitation_type = n == 4 && std::string(word.c_str()).find("P-type") != std::string::npos;
  return s;
}

std::optional<GifMappingParameters> ParseGifMappingLine(const std::string& line) {
  GifMappingParameters p;
  if (std::sscanf(line.c_str(), "%lf %lf %d %lf %lf", &p.f1, &p.x1, &p.threshold, &p.f2, &p.x2) < 5) {
    return std::nullopt;
  }
  return p;
}

void meteointerpol::ReadSection() {
  const std::string& file = control_file_name();
  if (!OpenControlFile(file)) {
    log() << "FATAL: error opening " << file << "[end-entry]";
    RaiseError(kControlFileOpenError);
  }
  FindSection("[" + input_name_ + "]", true);
  MeteoSection& s = section_;
  ReadItem(s.method, kMethodText + input_name_);
  s.station_files.clear();
  ReadStationFileLine(0);
  if (StationFileCount(s.method) == 2) ReadStationFileLine(1);
  ReadMethodLine();
  ReadItem(s.result_file, "name of the result grid in " + input_name_);
  ReadItem(s.write_code, "grid write code for result grid in " + input_name_);
  ReadItem(s.scaling, "scaling factor for " + input_name_);
  ReadStatisticsItem();
  ReadItem(s.nodata, "nodata value in " + input_name_);
  ReadItem(s.idw_weight, "idw-weight in " + input_name_);
  ReadItem(s.idw_fraction, "fraction of idw on weighted interpolation (method 3)");
  ReadItem(s.max_distance, "maximum distance in " + input_name_);
  // With inverse squared distances the search compares squared distances.
  if (s.squared_distance()) s.max_distance *= s.max_distance;
  ReadItem(s.anisotropy_slope, "slope of the main axis of the anisotropy ellipse in " + input_name_);
  ReadItem(s.anisotropy_ratio, "anisotropy b/a in " + input_name_);
  ReadItem(s.lower_limit, "lower limit of results in " + input_name_);
  ReadItem(s.lower_replacement, "lower replacement for limit-exceeding results in " + input_name_);
  ReadItem(s.upper_limit, "upper limit of results in " + input_name_);
  ReadItem(s.upper_replacement, "upper replacement for limit-exceeding results in " + input_name_);
  ReadItem(s.szen_use, "SzenUse in " + input_name_);
  if (s.szen_use == 1) ReadScenario();
  CloseControlFile();
}

void meteointerpol::ReadStationFileLine(int slot) {
  bool had_line_end = false;
  const std::optional<std::string> line = control_file().ReadLine(had_line_end);
  if (!line) {
    log() << "FATAL: error reading station data file name nr. " << slot << " for interpolation of " << input_name_
          << "[end-entry]";
    RaiseError(kMeteoInputFileError);
  }
  StationFileLine parsed = ParseStationFileLine(*line);
  // A negative count would take words from the values of the stations.
  if (parsed.additional_columns < 0) {
    ControlFileValueError("[" + input_name_ + "]", "AdditionalColumns of station data file nr. " + std::to_string(slot),
                          parsed.line, "a count from 0 to " + std::to_string(INT_MAX) + " after AdditionalColumns=");
  }
  section_.station_files.push_back(std::move(parsed));
}

void meteointerpol::ReadMethodLine() {
  MeteoSection& s = section_;
  const int m = s.method;
  if (m < 9 || m > 12) {
    ReadItem(s.regression_file, "name of the regression file in " + input_name_);
    return;
  }
  bool had_line_end = false;
  const std::string line = control_file().ReadLine(had_line_end).value_or("");
  if (m == 9) {
    const std::optional<GifMappingParameters> gif = ParseGifMappingLine(line);
    if (!gif) {
      log() << "FATAL: error reading the required 5 GIF-Mapping parameters f1 (default=8.916787e-5), x1 "
               "(0.0767528404), threshold (127), f2 (default=6.00e-006), x2 (0.098) for interpolation of "
            << input_name_ << "[end-entry]";
      RaiseError(kMeteoInputFileError);
    }
    s.gif_mapping = *gif;
    gif_mapping_parameters() = *gif;
  } else if (m == 12) {
    const std::optional<LapseRateSettings> lapse = ParseLapseRateLine(line);
    if (!lapse) {
      log() << "FATAL: error reading the required parameter \"lapse rate\" and/or optional parameters "
               "inversion_hight and fix upper lapse rate for interpolation of "
            << input_name_ << "[end-entry]";
      RaiseError(kMeteoInputFileError);
    }
    s.lapse_rate = *lapse;
  } else {
    const std::optional<ElevationRegressionSettings> regression = ParseElevationRegressionLine(line);
    if (!regression) {
      log() << "FATAL: error reading the required 5 or 6 regression parameters <lower inversion> <upper inversion> "
               "<tolerance> <overlap> <clusterrange> [<lapse rate above upper inversion>] for interpolation of "
            << input_name_ << "[end-entry]";
      RaiseError(kMeteoInputFileError);
    }
    s.elevation_regression = *regression;
  }
}

void meteointerpol::ReadStatisticsItem() {
  const std::string text = "name of the statistic result file in " + input_name_;
  const std::optional<std::string> file = control_file().ReadToken();
  const std::optional<std::string> code_token = file ? control_file().ReadToken() : std::nullopt;
  const std::optional<int> code = code_token ? ParseIntPrefix(*code_token) : std::nullopt;
  if (!code || file->size() > kMaxLineLength) ControlFileItemError(text, name());
  section_.statistics_file = *file;
  section_.statistics_code = *code;
  control_file().SkipLine();
}

void meteointerpol::ReadScenario() {
  ReadItem(section_.szen_meth, "SzenMeth in " + input_name_);
  if (section_.szen_meth == 5 || section_.szen_meth == 6) {
    ReadScenarioMonthFiles();
  } else {
    ReadScenarioTable();
  }
}

void meteointerpol::ReadScenarioMonthFiles() {
  for (int m = 1; m <= 12; ++m) {
    const std::optional<std::string> word = control_file().ReadToken();
    // The next section's header is no file name: the list is short.
    if (!word || word->starts_with("[")) {
      log() << "FATAL: error in control file: scenario grid for month " << m << " in " << input_name_
            << " not found!\nThere have to be exactly 12 filenames after the sceario application mode\nreferring to "
               "each of the 12 months if using scenario method 5.\nHowever, if methods 0..4 are used, NO FILENAMES "
               "are allowed there\n (for backwards compatibility reasons)"
            << "[end-entry]";
      RaiseError(kMissingControlItem);
    }
    section_.month_files[static_cast<std::size_t>(m)] = *word;
    control_file().SkipLine();
  }
}

void meteointerpol::ReadScenarioTable() {
  MeteoSection& s = section_;
  ReadItem(s.szen_num, "SzenNum in " + input_name_);
  if (s.szen_num < 0) {
    log() << "FATAL: error! scenario table of " << input_name_ << ": SzenNum " << s.szen_num
          << " is negative; it counts the rows of the table"
          << "[end-entry]";
    RaiseError(kScenarioTableError);
  }
  // Every scenario method but 1 multiplies the results by the value of the nearest row: with
  // no row every result would become 0.
  if (s.szen_num == 0 && s.szen_meth != 1) {
    log() << "FATAL: error! scenario table of " << input_name_ << " holds no rows (SzenNum 0), but SzenMeth "
          << s.szen_meth << " multiplies every result by its scenario value, which would make every result 0"
          << "[end-entry]";
    RaiseError(kScenarioTableError);
  }
  s.scenario_table.clear();
  for (int row = 1; row <= s.szen_num; ++row) {
    ScenarioRow values{};
    for (int column = 1; column <= kScenarioColumns; ++column) {
      const std::optional<std::string> word = control_file().ReadToken();
      const std::optional<double> value = word ? WholeDouble(*word) : std::nullopt;
      if (!value) {
        log() << "FATAL: error! scenario-data row " << row << ", column " << column << " in " << input_name_
              << ": read error!"
              << "[end-entry]";
        RaiseError(kScenarioTableError);
      }
      // With SzenMeth 3 the monthly values are percentages of change.
      values[static_cast<std::size_t>(column)] = s.szen_meth == 3 && column > 2 ? *value / 100 + 1 : *value;
    }
    control_file().SkipLine();
    s.scenario_table.push_back(values);
  }
}

}  // namespace tolvo
