#include "routing/reservoir_rules.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string_view>

#include "framework/control_file_stream.h"
#include "framework/date.h"
#include "framework/diagnostics_log.h"
#include "framework/error_code.h"

namespace tolvo {
namespace {

constexpr std::string_view kRealCharacters = "0123456789.eE+-";
constexpr std::string_view kWeekdayCharacters = "1234567";
constexpr std::string_view kHourCharacters = "1234567890";

// The numbers at the start of `text`, one after another: each is read from the start of
// the remaining text, then the run of number characters that wrote it is cut off.
std::vector<double> LeadingNumbers(std::string_view text, std::string_view number_characters,
                                   std::size_t at_most = std::string_view::npos) {
  std::vector<double> numbers;
  std::string rest(text);
  while (numbers.size() < at_most) {
    const std::size_t start = rest.find_first_not_of(" \t\r\n");
    if (start == std::string::npos) break;
    const char* begin = rest.c_str() + start;
    char* end = nullptr;
    const double value = std::strtod(begin, &end);
    if (end == begin) break;
    numbers.push_back(value);
    std::size_t cut = rest.find_first_not_of(" \t", start);
    while (cut < rest.size() && number_characters.find(rest[cut]) != std::string_view::npos) ++cut;
    // A number written with characters outside the run (as "1e5" read as weekdays)
    // still moves on past what was read.
    cut = std::max(cut, static_cast<std::size_t>(end - rest.c_str()));
    rest.erase(0, cut);
  }
  return numbers;
}

std::string SectionName(int code) { return "[abstraction_rule_reservoir_" + std::to_string(code) + "]"; }

[[noreturn]] void RuleError(DiagnosticsLog& log, const std::string& section, const std::string& owner,
                            const std::string& what, int error) {
  log << "FATAL: " << section << " of " << owner << ": " << what << "[end-entry]";
  RaiseError(error);
}

[[noreturn]] void RuleError(DiagnosticsLog& log, int code, const std::string& what, int error) {
  RuleError(log, SectionName(code), "reservoir " + std::to_string(code), what, error);
}

HydraulicConnection ReadConnection(ControlFileStream& file, std::string text, int code, DiagnosticsLog& log) {
  text += "\n";
  while (text.find('}') == std::string::npos) {
    bool had_line_end = false;
    std::optional<std::string> line = file.ReadLine(had_line_end);
    if (!line) {
      log << "FATAL: the HydraulicConnection block of reservoir " << code << " has no closing \"}\""
          << "[end-entry]";
      RaiseError(kOtherExceptionCode);
    }
    text += *line + "\n";
  }
  const auto value = [&](std::string_view key) -> std::optional<double> {
    const std::size_t at = text.find(key);
    if (at == std::string::npos) return std::nullopt;
    const std::size_t equals = text.find('=', at);
    if (equals == std::string::npos) return std::nullopt;
    const std::size_t end = text.find_first_of(";\n", equals + 1);
    const std::vector<double> numbers =
        LeadingNumbers(std::string_view(text).substr(equals + 1, end - equals - 1), kRealCharacters, 1);
    if (numbers.empty()) return std::nullopt;
    return numbers[0];
  };
  const std::optional<double> target = value("TargetReservoir");
  const std::optional<double> width = value("ChannelWidth");
  const std::optional<double> bottom = value("ChannelBottom");
  const std::optional<double> length = value("ChannelLength");
  const std::optional<double> strickler = value("RoughnessCoeff");
  if (!target || !width || !bottom || !length || !strickler) {
    log << "FATAL: reading HydraulicConnection parameters for SP " << code << ": some values could not be read\n"
        << text << "[end-entry]";
    RaiseError(kReservoirConnectionError);
  }
  return {.target_reservoir = static_cast<int>(*target),
          .width_m = *width,
          .bottom_m = *bottom,
          .length_m = *length,
          .strickler = *strickler};
}

template <typename T>
void ReadKeywordValues(const std::string& line, std::string_view characters, std::vector<T>& target, int nc) {
  const std::size_t equals = line.find('=');
  if (equals == std::string::npos) return;
  const std::vector<double> numbers =
      LeadingNumbers(std::string_view(line).substr(equals + 1), characters, static_cast<std::size_t>(nc));
  for (std::size_t j = 0; j < numbers.size(); ++j) target[j + 1] = static_cast<T>(numbers[j]);
}

void ReadKeywordLines(ControlFileStream& file, RuleTable& table) {
  for (;;) {
    bool had_line_end = false;
    std::optional<std::string> line = file.ReadLine(had_line_end);
    if (!line || line->empty() || line->find('[') != std::string::npos) return;
    if (line->find("TargetCap") != std::string::npos) {
      ReadKeywordValues(*line, kRealCharacters, table.target_cap, table.nc);
    } else if (line->find("WeekDays") != std::string::npos) {
      ReadKeywordValues(*line, kWeekdayCharacters, table.week_days, table.nc);
    } else if (line->find("start_hour") != std::string::npos) {
      ReadKeywordValues(*line, kHourCharacters, table.start_hour, table.nc);
    } else if (line->find("stop_hour") != std::string::npos) {
      ReadKeywordValues(*line, kHourCharacters, table.stop_hour, table.nc);
    } else if (line->find("TableIndex") != std::string::npos) {
      const std::size_t equals = line->find('=');
      table.flow_index = equals != std::string::npos && line->find("Flow", equals) != std::string::npos;
    }
  }
}

RuleTable ReadTable(ControlFileStream& file, const std::vector<double>& first_line, const std::string& section,
                    const std::string& owner, DiagnosticsLog& log) {
  RuleTable table;
  table.m = static_cast<int>(first_line[0]);
  table.nc = std::max(static_cast<int>(first_line.size()) - 1, 1);
  const std::size_t columns = static_cast<std::size_t>(table.nc) + 1;
  const std::size_t rows = static_cast<std::size_t>(table.m) + 1;
  table.day.assign(columns, 1);
  if (table.nc > 1) {
    for (int j = 1; j <= table.nc; ++j) table.day[static_cast<std::size_t>(j)] = static_cast<int>(first_line[static_cast<std::size_t>(j)]);
  }
  table.index.assign(rows, 0.0);
  table.value.assign(columns, std::vector<double>(rows, 0.0));
  table.slope.assign(columns, std::vector<double>(rows, 0.0));
  for (int i = 1; i <= table.m; ++i) {
    bool had_line_end = false;
    std::optional<std::string> line = file.ReadLine(had_line_end);
    const std::vector<double> numbers =
        line ? LeadingNumbers(*line, kRealCharacters, columns) : std::vector<double>{};
    if (numbers.size() < columns) {
      RuleError(log, section, owner,
                "row " + std::to_string(i) + " of the rule table holds " + std::to_string(numbers.size()) +
                    " numbers; expected the index value and " + std::to_string(table.nc) + " column values",
                kReservoirRuleSectionError);
    }
    table.index[static_cast<std::size_t>(i)] = numbers[0];
    for (std::size_t j = 1; j < columns; ++j) table.value[j][static_cast<std::size_t>(i)] = numbers[j];
  }
  table.target_cap.assign(columns, -1.0);
  table.week_days.assign(columns, -1);
  table.start_hour.assign(columns, -1);
  table.stop_hour.assign(columns, -1);
  ReadKeywordLines(file, table);
  for (std::size_t j = 1; j < columns; ++j) {
    for (std::size_t i = 1; i < static_cast<std::size_t>(table.m); ++i) {
      const double d_index = table.index[i + 1] - table.index[i];
      const double d_value = table.value[j][i + 1] - table.value[j][i];
      const double numerator = table.flow_index ? d_index : d_value;
      const double denominator = table.flow_index ? d_value : d_index;
      table.slope[j][i] = denominator == 0 ? 0.0 : numerator / denominator;
    }
  }
  return table;
}

// A quantity of column j blended at the columns of `blend`.
template <typename F>
double Blended(const ColumnBlend& blend, F&& of_column) {
  if (blend.g == 1) return of_column(1);
  return of_column(blend.g) * blend.w + of_column(blend.g - 1) * (1 - blend.w);
}

}  // namespace

ReservoirRules ReadReservoirRules(ControlFileStream& file, int code, DiagnosticsLog& log) {
  bool had_line_end = false;
  std::optional<std::string> first = file.ReadLine(had_line_end);
  const std::vector<double> numbers = first ? LeadingNumbers(*first, kRealCharacters) : std::vector<double>{};
  ReservoirRules rules;
  if (!numbers.empty() && numbers[0] >= 1) {
    rules.table = ReadTable(file, numbers, SectionName(code), "reservoir " + std::to_string(code), log);
    return rules;
  }
  std::optional<std::string> second = file.ReadLine(had_line_end);
  if (!second || second->find("HydraulicConnection") == std::string::npos) {
    RuleError(log, code, "neither a rule table (rows >= 1) nor a HydraulicConnection", kReservoirRuleSectionError);
  }
  rules.connection = ReadConnection(file, *second, code, log);
  return rules;
}

void SeekRuleSection(ControlFileStream& file, const std::string& header, DiagnosticsLog& log) {
  file.Rewind();
  for (;;) {
    bool had_line_end = false;
    std::optional<std::string> line = file.ReadLine(had_line_end);
    // A header without a line end closes the file: there is no section after it.
    if (!line || !had_line_end) break;
    const std::size_t first = line->find_first_not_of(" \t");
    if (first == std::string::npos) continue;
    const std::size_t last = line->find_first_of(" \t\r", first);
    if (line->substr(first, last == std::string::npos ? std::string::npos : last - first) == header) return;
  }
  log << "FATAL: section " << header << " not found in control file"
      << "[end-entry]";
  RaiseError(kReservoirRuleSectionError);
}

RuleTable ReadAbstractionRuleTable(ControlFileStream& file, int code, DiagnosticsLog& log) {
  const std::string section = "[abstraction_rule_abstraction_" + std::to_string(code) + "]";
  SeekRuleSection(file, section, log);
  bool had_line_end = false;
  std::optional<std::string> first = file.ReadLine(had_line_end);
  const std::vector<double> numbers = first ? LeadingNumbers(*first, kRealCharacters) : std::vector<double>{};
  if (numbers.empty() || numbers[0] < 1) {
    RuleError(log, section, "abstraction " + std::to_string(code), "the first line gives no row count of at least 1",
              kReservoirRuleSectionError);
  }
  return ReadTable(file, numbers, section, "abstraction " + std::to_string(code), log);
}

double RuleTableLookup(const RuleTable& table, const ColumnBlend& blend, double x) {
  const std::size_t sm = static_cast<std::size_t>(table.m);
  if (!table.flow_index && x > table.index[sm]) return table.value[static_cast<std::size_t>(blend.g)][sm];
  for (int i = table.m - 1; i >= 1; --i) {
    const std::size_t si = static_cast<std::size_t>(i);
    if (!table.flow_index) {
      if (x > table.index[si]) {
        return Blended(blend, [&](int j) {
          const std::size_t sj = static_cast<std::size_t>(j);
          return table.value[sj][si] + table.slope[sj][si] * (x - table.index[si]);
        });
      }
    } else {
      const double v = Blended(blend, [&](int j) { return table.value[static_cast<std::size_t>(j)][si]; });
      if (x > v) {
        return table.index[si] +
               (x - v) * Blended(blend, [&](int j) { return table.slope[static_cast<std::size_t>(j)][si]; });
      }
    }
  }
  return 0;
}

ColumnBlend BlendAt(const RuleTable& table, int day_of_year) {
  if (table.nc < 2 || day_of_year <= table.day[1]) return {};
  int g = table.nc;
  for (int j = 2; j <= table.nc; ++j) {
    if (day_of_year <= table.day[static_cast<std::size_t>(j)]) {
      g = j;
      break;
    }
  }
  const double from = table.day[static_cast<std::size_t>(g) - 1];
  const double to = table.day[static_cast<std::size_t>(g)];
  return {.g = g, .w = to == from ? 1.0 : (day_of_year - from) / (to - from)};
}

bool WeekDayListed(long week_days, const StepDate& date) {
  // The hour that ends at `hour` began the hour before: hour 0 belongs to the day before.
  const int weekday = DayOfWeek(date.year, date.month, date.hour >= 1 ? date.day : date.day - 1);
  bool listed = false;
  for (long rest = week_days; rest > 0 && !listed; rest /= 10) listed = rest % 10 == weekday;
  return listed;
}

bool ColumnActive(const RuleTable& table, int g, const StepDate& date) {
  if (date.month < 1) return false;
  const long days = table.week_days[static_cast<std::size_t>(g)];
  if (days == -1) return true;
  return WeekDayListed(days, date) && table.start_hour[static_cast<std::size_t>(g)] <= date.hour &&
         date.hour <= table.stop_hour[static_cast<std::size_t>(g)];
}

double RuleTableOutflow(const RuleTable& table, const OutflowStep& step, const StepDate& date,
                        const LevelVolumeTable* lake, ReservoirDraws* draws) {
  const double T = 60 * step.dt_min;
  const int n_sub = static_cast<int>(std::floor(T / step.dtmin_s));
  if (n_sub <= 0) return 0;
  const ColumnBlend blend = BlendAt(table, DayOfYearWithoutLeapDays(date.month, date.day));
  const bool active = ColumnActive(table, blend.g, date);
  const int m = table.m;
  const std::size_t sm = static_cast<std::size_t>(m);
  const double cap = Blended(blend, [&](int j) { return table.target_cap[static_cast<std::size_t>(j)]; });
  const double Q = step.inflow_m3s;
  const double dt = step.dtmin_s;
  double V = step.volume_m3;
  double mean = 0;
  for (int s = 0; s < n_sub; ++s) {
    const double v = V + Q * dt;
    double u = 0;
    if (!table.flow_index && v > table.index[sm]) {
      u = Blended(blend, [&](int j) {
        const std::size_t sj = static_cast<std::size_t>(j);
        return table.slope[sj][sm - 1] * (v - table.index[sm]) + table.value[sj][sm];
      });
      if (lake == nullptr) {
        u = Q;
      } else if (lake->count() > 0) {
        const std::size_t position = std::min(sm, static_cast<std::size_t>(lake->count()) - 1);
        if (LevelFromVolume(*lake, v) > lake->levels[position] + 0.5) u = std::max(Q, u);
      }
    } else if (active) {
      for (int i = m - 1; i >= 1; --i) {
        const std::size_t si = static_cast<std::size_t>(i);
        if (!table.flow_index) {
          if (v > table.index[si]) {
            u = Blended(blend, [&](int j) {
              const std::size_t sj = static_cast<std::size_t>(j);
              return table.slope[sj][si] * (v - table.index[si]) + table.value[sj][si];
            });
            break;
          }
        } else {
          const double x = Blended(blend, [&](int j) { return table.value[static_cast<std::size_t>(j)][si]; });
          if (v > x) {
            u = Blended(blend, [&](int j) { return table.slope[static_cast<std::size_t>(j)][si]; }) * (v - x) +
                table.index[si];
            break;
          }
        }
      }
    }
    if (cap > 0 && u > cap) u = cap;
    V = v - u * dt;
    if (V < 0) {
      u += V / dt;
      V = 0;
    }
    mean += std::max(u, 0.0) / n_sub;
    if (draws != nullptr) V = draws->DrawSubStep(V, dt);
  }
  return mean;
}

double ConnectionOutflow(const HydraulicConnection& connection, const OutflowStep& step, double level_m,
                         double area_m2, double target_level_m, ReservoirDraws* draws) {
  const double T = 60 * step.dt_min;
  const int n_sub = static_cast<int>(std::floor(T / step.dtmin_s));
  if (n_sub <= 0) return 0;
  const double Q = step.inflow_m3s;
  const double dt = step.dtmin_s;
  const double b = connection.width_m;
  const double z = connection.bottom_m;
  double W = level_m;
  double V = step.volume_m3;
  double mean = 0;
  for (int s = 0; s < n_sub; ++s) {
    double q = 0;
    if (area_m2 > 0) {
      W += Q * dt / area_m2;
      const double d = W - z;
      const double I = (W - target_level_m) / connection.length_m;
      if (d > 0 && I != 0) {
        const double F = b * d;
        const double R = F / (b + 2 * d);
        q = std::copysign(connection.strickler * F * std::pow(R, 2.0 / 3.0) * std::sqrt(std::fabs(I)), I);
      }
      W -= q * dt / area_m2;
      // An outflow stops at the channel bottom; a level already below it draws nothing in.
      if (q > 0 && W < z) {
        q = std::max(0.0, q - area_m2 * (z - W) / dt);
        W = z;
      }
    }
    V += Q * dt - q * dt;
    if (V < 0) {
      q += V / dt;
      V = 0;
    }
    mean += q / n_sub;
    if (draws != nullptr) V = draws->DrawSubStep(V, dt);
  }
  return mean;
}

}  // namespace tolvo
