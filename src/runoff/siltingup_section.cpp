// Reading of the section [SiltingUpModel] after its module switch and time step: the
// method, the two statistics, the names and write codes of the own grids, the minimum
// rain pause per sub-basin, the storage read code, and the parameters of method 2 or the
// formula block of method 3.

#include <string>

#include "framework/control_file_stream.h"
#include "framework/error_code.h"
#include "runoff/siltingupclass.h"

namespace tolvo {
namespace {

constexpr const char* kRainPauseHelp =
    "\npossible error by using the same parameters\nfor groups of subbasins:\nat least the first AND the last "
    "subbasin code have\nto be specified with all their parameters like this:\n(if the smallest code is 1 and the "
    "largest code is 8)\n1\t8\n3\t3\n8\t8\n14\t14\n0.4\t0.4\n0.01\t0.01\n0.1\t0.1\n..\t..\nThen, to all "
    "subcatchments with zone-codes ranging from 1 to 7 the \nparameters of subbasin 1 will be assigned!";

constexpr std::string_view kExpressionKeyword = "SiltingUpExpressions";

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string WithoutBlanks(std::string_view text) {
  std::string kept;
  for (const char c : text) {
    if (!IsBlank(c)) kept += c;
  }
  return kept;
}

SiltingUpMethod MethodOf(int number) {
  switch (number) {
    case 2: return SiltingUpMethod::kOwnParameters;
    case 3: return SiltingUpMethod::kExpressions;
    default: return SiltingUpMethod::kDefaultParameters;  // any other number works as method 1
  }
}

}  // namespace

void siltingupclass::ReadSection() {
  ReadMethodAndStatistics();
  static constexpr const char* kGridItems[kSiltingUpGridCount][2] = {
      {"name of the silting-up-disposition-grid, ", "Writegrid for silting-up-disposition-grid, "},
      {"name of the RAINPAUSE-grid, ", "Writegrid for RAINPAUSE-grid, "},
      {"name of the EKIN-grid, ", "Writegrid for EKIN-grid, "},
      {"name of the TSBB-grid, ", "Writegrid for TSBB-grid, "},
      {"name of the QDSU-grid, ", "Writegrid for QDSU-grid, "}};
  for (int g = 0; g < kSiltingUpGridCount; ++g) {
    ReadItem(settings_.grid_files[static_cast<std::size_t>(g)], kGridItems[g][0]);
    ReadItem(settings_.write_codes[static_cast<std::size_t>(g)], kGridItems[g][1]);
  }
  ReadMinimumRainPause();
  ReadItem(StorageGridsReadCode, "read control parameter for storage grids for ");
  settings_.storage_read_code = StorageGridsReadCode;

  switch (settings_.method) {
    case SiltingUpMethod::kDefaultParameters:
      break;
    case SiltingUpMethod::kOwnParameters: {
      SiltingUpParameters& p = settings_.parameters;
      ReadItem(p.a, "parameter A for method 2 (I_0) ");
      ReadItem(p.b, "parameter B for method 2 (I_inf) ");
      ReadItem(p.c, "parameter C for method 2 (I_inf) ");
      ReadItem(p.d, "parameter D for method 2 (I_inf) ");
      ReadItem(p.e, "parameter E for method 2 (C_v) ");
      ReadItem(p.f, "parameter F for method 2 (C_v) ");
      ReadItem(p.g, "parameter G for method 2 (C_v) ");
      ReadItem(p.h, "parameter H for method 2 (C_v) ");
      break;
    }
    case SiltingUpMethod::kExpressions:
      ReadExpressionBlock();
      break;
  }
}

void siltingupclass::ReadMethodAndStatistics() {
  // The method line may be left out: a first line that does not begin with a number
  // already names the disposition statistic.
  const std::optional<std::string> first = control_file().PeekToken();
  const std::optional<int> method = first ? ParseIntPrefix(*first) : std::nullopt;
  if (method) {
    control_file().ReadToken();
    control_file().SkipLine();
  }
  settings_.method = MethodOf(method.value_or(1));
  ModuleMethod = static_cast<int>(settings_.method);
  ReadStatisticPair(settings_.disposition_statistic, settings_.disposition_statistic_code,
                    "name of the statistics for silting disposition SDISP ");
  ReadStatisticPair(settings_.runoff_statistic, settings_.runoff_statistic_code,
                    "name of the statistics for direct runoff from silting up model (QDSU) ");
}

void siltingupclass::ReadStatisticPair(std::string& file, int& code, const char* description) {
  const std::optional<std::string> a = control_file().ReadToken();
  const std::optional<std::string> b = a ? control_file().ReadToken() : std::nullopt;
  const std::optional<int> number = b ? ParseIntPrefix(*b) : std::nullopt;
  if (!number || a->size() > kMaxLineLength) ControlFileItemError(description, name());
  file = *a;
  code = *number;
  control_file().SkipLine();
}

void siltingupclass::RainPauseError(const std::string& what) {
  log() << "FATAL: \n-----------------error------------\n" << what << kRainPauseHelp << "[end-entry]";
  RaiseError(kRainPauseBlockError);
}

void siltingupclass::ReadMinimumRainPause() {
  const ZoneTableView& zones = settings().zones;
  const int n = zones.zone_count;
  const int largest = zones.largest_code;
  const auto index_of = [&](int code) { return zones.code_index[static_cast<std::size_t>(code)]; };
  // own[i]: index i reads a value of its own; the others copy the index before them.
  std::vector<char> own(static_cast<std::size_t>(n) + 1, 0);
  settings_.subbasin_code.assign(static_cast<std::size_t>(n) + 1, -1);
  int last_code = 0;
  int last_index = 0;
  for (;;) {
    const std::optional<std::string> token = control_file().ReadToken();
    const std::optional<int> code = token ? ParseIntPrefix(*token) : std::nullopt;
    if (!code) RainPauseError("error reading code[" + std::to_string(last_code) + "] for " + name());
    if (*code <= 0 || *code > largest || index_of(*code) <= 0) {
      RainPauseError("error! there is no code " + std::to_string(*code) + " (from " + control_file_name() +
                     ") for a subbasin in " + name());
    }
    const int index = index_of(*code);
    // The values go to the sub-basins in ascending order of their codes, so the codes
    // must ascend as well.
    if (last_index > 0 && index <= last_index) {
      RainPauseError("error! the sub-basin codes of the minimum rain pause must ascend: code " +
                     std::to_string(*code) + " follows code " + std::to_string(last_code) + " in " + name());
    }
    if (last_index == 0 && index != 1) {
      // The smallest sub-basin always has a value of its own.
      own[1] = 1;
      for (int c = 1; c <= largest; ++c) {
        if (index_of(c) == 1) settings_.subbasin_code[1] = c;
      }
    }
    own[static_cast<std::size_t>(index)] = 1;
    settings_.subbasin_code[static_cast<std::size_t>(index)] = *code;
    last_code = *code;
    last_index = index;
    if (*code >= largest) break;
  }
  control_file().SkipLine();

  settings_.minimum_rain_pause.assign(static_cast<std::size_t>(n) + 1, 0.0);
  for (std::size_t i = 1; i <= static_cast<std::size_t>(n); ++i) {
    if (!own[i]) {
      settings_.minimum_rain_pause[i] = settings_.minimum_rain_pause[i - 1];
      continue;
    }
    const std::optional<std::string> token = control_file().ReadToken();
    const std::optional<double> value = token ? ParseDoublePrefix(*token) : std::nullopt;
    if (!value) {
      RainPauseError("error reading RainPause[" + std::to_string(settings_.subbasin_code[i]) + "] for " + name() +
                     " (minimum rainpause)");
    }
    settings_.minimum_rain_pause[i] = *value;
  }
  control_file().SkipLine();
}

void siltingupclass::ReadExpressionBlock() {
  const std::string quoted_path = "\"" + control_file_name() + "\"";
  const auto bracket_error = [&](const char* which, const char* bracket, int code) {
    log() << "FATAL: error looking for " << which << " bracket \"" << bracket << "\" after \""
          << std::string(kExpressionKeyword) << "\" in control file " << quoted_path << "[end-entry]";
    RaiseError(code);
  };
  bool had_line_end = false;
  std::string rest;
  for (;;) {
    const std::optional<std::string> line = control_file().ReadLine(had_line_end);
    if (!line || line->empty()) {
      log() << "FATAL: no SiltingUpExpressios found (at least X, Y and Z must be initialized) in control file "
            << quoted_path << "[end-entry]";
      RaiseError(kNoSiltingUpExpressions);
    }
    if (line->starts_with(kExpressionKeyword)) {
      rest = line->substr(kExpressionKeyword.size());
      break;
    }
  }
  // The block opens with "{" after nothing but blanks, on this line or a later one.
  std::size_t open = 0;
  for (;;) {
    while (open < rest.size() && IsBlank(rest[open])) ++open;
    if (open < rest.size()) break;
    const std::optional<std::string> line = control_file().ReadLine(had_line_end);
    if (!line) bracket_error("opening", "{", kExpressionOpeningBracket);
    rest = *line;
    open = 0;
  }
  if (rest[open] != '{') bracket_error("opening", "{", kExpressionOpeningBracket);
  std::string body = rest.substr(open + 1);
  while (body.find('}') == std::string::npos) {
    const std::optional<std::string> line = control_file().ReadLine(had_line_end);
    if (!line) bracket_error("closing", "}", kExpressionClosingBracket);
    body += "\n" + *line;
  }
  body.resize(body.find('}'));

  std::size_t start = 0;
  for (std::size_t end = body.find(';'); end != std::string::npos; end = body.find(';', start)) {
    settings_.expressions.push_back(WithoutBlanks(std::string_view(body).substr(start, end - start)));
    start = end + 1;
  }
  const std::string unclosed = WithoutBlanks(std::string_view(body).substr(start));
  if (!unclosed.empty()) {
    log() << "WARNING: the expression " << unclosed << " in " << name()
          << " is not closed by \";\" and is not evaluated" << "[end-entry]";
  }
}

}  // namespace tolvo
