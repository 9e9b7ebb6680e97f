// An abstraction's definition, its amount per step and its buffered output file.
#include "routing/al_class.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "framework/diagnostics_log.h"
#include "framework/error_code.h"
#include "framework/file_handle.h"
#include "framework/grid_file_format.h"
#include "framework/signals.h"
#include "framework/tracer_settings_record.h"
#include "routing/routing_units.h"

namespace tolvo {
namespace {

// Values at or below this count as missing in time-series files.
constexpr double kMissingLimit = -9998;

// A whitespace-delimited reader over the text of a routing description block.
class WordCursor {
 public:
  WordCursor(std::string_view text, std::size_t at) : text_(text), at_(std::min(at, text.size())) {}
  // Moves just past the next occurrence of `what`; false when there is none.
  bool SkipPast(std::string_view what) {
    const std::size_t found = text_.find(what, at_);
    if (found == std::string_view::npos) return false;
    at_ = found + what.size();
    return true;
  }
  std::string Word() {
    while (at_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[at_]))) ++at_;
    const std::size_t begin = at_;
    while (at_ < text_.size() && !std::isspace(static_cast<unsigned char>(text_[at_]))) ++at_;
    return std::string(text_.substr(begin, at_ - begin));
  }
  // The next word as a number; 0 when it does not read as one.
  double Number() { return std::strtod(Word().c_str(), nullptr); }

 private:
  std::string_view text_;
  std::size_t at_;
};

// A word or name ends at its first ")".
std::string CutAtParenthesis(std::string word) {
  const std::size_t p = word.find(')');
  if (p != std::string::npos) word.erase(p);
  return word;
}

bool IsCubicMetresUnit(std::string_view unit) {
  return unit.find("m^3/s") != std::string_view::npos || unit.find("m3/s") != std::string_view::npos ||
         unit.find("m3s") != std::string_view::npos;
}

}  // namespace

void AL_class::SetUp(const AbstractionSetup& setup) {
  setup_ = setup;
  current_.assign(static_cast<std::size_t>(setup.n_tracers) + 1, 0.0);
}

void AL_class::ReadDefinition(std::string_view block, std::size_t at, const ModelDate& start) {
  DiagnosticsLog& log = *setup_.log;
  WordCursor cursor(block, at);
  cursor.SkipPast("AL");
  code_ = static_cast<int>(cursor.Number());
  cursor.SkipPast("=");
  const std::string word = CutAtParenthesis(cursor.Word());
  if (word == "intern") {
    mode_ = AbstractionMode::kIntern;
  } else if (word == "extern") {
    mode_ = AbstractionMode::kExtern;
    output_file_ = cursor.Word();
  } else if (word == "from_file") {
    mode_ = AbstractionMode::kFromFile;
    cursor.SkipPast("input_file");
    cursor.SkipPast("=");
    input_file_ = CutAtParenthesis(cursor.Word());
    cursor.SkipPast("=");
    input_column_ = static_cast<int>(cursor.Number());
    cursor.SkipPast("=");
    output_file_ = cursor.Word();
  } else if (word == "intern_with_rule") {
    mode_ = AbstractionMode::kInternWithRule;
  } else if (word == "extern_with_rule") {
    mode_ = AbstractionMode::kExternWithRule;
    output_file_ = cursor.Word();
  } else if (word == "intern_with_rule_from_reservoir") {
    mode_ = AbstractionMode::kInternFromReservoir;
  } else {
    log << "FATAL: the modus \"" << word << "\" is not supported for abstraction " << code_ << "[end-entry]";
    RaiseError(kAbstractionModeError);
  }
  output_file_ = CutAtParenthesis(output_file_);

  if (mode_ == AbstractionMode::kIntern || mode_ == AbstractionMode::kExtern) {
    minimum_flow_ = cursor.Number();
    share_ = cursor.Number();
    maximum_ = cursor.Number();
    if (IsCubicMetresUnit(CutAtParenthesis(cursor.Word()))) {
      minimum_flow_ = ToRoutingMillimetres(minimum_flow_, ReferenceArea(), setup_.dt_min);
      maximum_ = ToRoutingMillimetres(maximum_, ReferenceArea(), setup_.dt_min);
    }
  }
  if (mode_ == AbstractionMode::kFromFile) OpenInput(start);
  if (has_output()) CreateOutputFile();
}

void AL_class::OpenInput(const ModelDate& start) {
  DiagnosticsLog& log = *setup_.log;
  input_ = std::make_unique<timeseries_file>(log);
  input_->Open(input_file_, 1000000);
  if (input_->state() == kTimeseriesOpenFailed) {
    log << "FATAL: error opening " << input_file_ << " for abstraction " << code_ << "[end-entry]";
    RaiseError(kAbstractionFileError);
  }
  // A column outside the file would be read as the nodata value on every step.
  if (input_column_ < 0 || input_column_ >= input_->value_count()) {
    log << "FATAL: input column " << input_column_ << " of abstraction " << code_ << " is not a value column of "
        << input_file_ << " (it has the value columns 0.." << input_->value_count() - 1 << ")"
        << "[end-entry]";
    RaiseError(kTimeSeriesSearchError);
  }
  while (input_->state() == kTimeseriesMoreBlocks || input_->state() == kTimeseriesLastBlock) {
    int year = 0, month = 0, day = 0, hour = 0;
    input_->GetDate(year, month, day, hour);
    if (year <= 999) year += 1900;
    if (year == start.year && month == start.month && day == start.day && hour == start.hour) return;
    input_->NextRecord();
  }
  log << "FATAL: starting date " << start.day << "." << start.month << "." << start.year << ", " << start.hour
      << ". h in " << input_file_ << " not found."
      << "[end-entry]";
  RaiseError(kTimeSeriesSearchError);
}

void AL_class::CreateOutputFile() {
  DiagnosticsLog& log = *setup_.log;
  output_file_ = PrefixPath(setup_.output_directory, output_file_);
  std::string header = "YY\tMM\tDD\tHH\tm^3/s";
  for (int k = 1; k <= setup_.n_tracers; ++k) header += "\t" + setup_.tracers[static_cast<std::size_t>(k)].name;
  header += "\n";
  const std::string text = header + "abstraction_" + std::to_string(code_) + "\n" + header;
  FilePtr file(std::fopen(output_file_.c_str(), "w"));
  const bool written = file && std::fputs(text.c_str(), file.get()) >= 0;
  if (!written || std::fclose(file.release()) != 0) {
    log << "FATAL: error opening " << output_file_ << " for abstraction " << code_ << "[end-entry]";
    RaiseError(kAbstractionFileError);
  }
  const std::uint64_t row_bytes = (static_cast<std::uint64_t>(setup_.n_tracers) + 1) * 8 + 32;
  capacity_ = std::max<std::uint64_t>(1, kBufferBytes / row_bytes);
  rows_.assign(capacity_ * (static_cast<std::size_t>(setup_.n_tracers) + 5), 0.0);
  rows_used_ = 0;
  values_per_row_ = 0;
}

void AL_class::ReadRules(ControlFileStream& file) {
  if (mode_ != AbstractionMode::kInternWithRule && mode_ != AbstractionMode::kExternWithRule &&
      mode_ != AbstractionMode::kInternFromReservoir) {
    return;
  }
  rules_ = ReadAbstractionRuleTable(file, code_, *setup_.log);
  if (mode_ != AbstractionMode::kInternFromReservoir) return;
  for (int j = 1; j <= rules_->nc; ++j) {
    const std::size_t sj = static_cast<std::size_t>(j);
    if (rules_->start_hour[sj] < 0 || rules_->stop_hour[sj] < 0) {
      *setup_.log << "WARNING: column " << j << " of [abstraction_rule_abstraction_" << code_
                  << "] gives no start_hour and stop_hour: abstraction " << code_
                  << " takes nothing from the reservoir in its season"
                  << "[end-entry]";
    }
  }
}

void AL_class::SetRuleTarget(int target, int source, double target_area_km2, double target_scale,
                             double conversion_km2) {
  target_ = target;
  source_ = source;
  target_area_km2_ = target_area_km2;
  target_scale_ = target_scale;
  conversion_km2_ = conversion_km2;
  if (!rules_ || target_ <= 0 || source_ <= 0) return;
  for (int j = 1; j <= rules_->nc; ++j) {
    if (rules_->target_cap[static_cast<std::size_t>(j)] < 0) {
      *setup_.log << "WARNING: column " << j << " of [abstraction_rule_abstraction_" << code_
                  << "] gives no TargetCap while the receiving sub-basin has a tributary: abstraction " << code_
                  << " takes nothing in its season"
                  << "[end-entry]";
    }
  }
}

double AL_class::EvaluateRule(const TracerRows& routed, const StepDate& date, double x_m3s) {
  step_date_ = date;
  if (!rules_) return 0;
  const ColumnBlend blend = BlendAt(*rules_, DayOfYearWithoutLeapDays(date.month, date.day));
  double result = RuleTableLookup(*rules_, blend, x_m3s);
  if (target_ > 0 && source_ > 0) {
    // The receiving sub-basin takes no more than its cap together with its own flow.
    const double o = ToCubicMetresPerSecond(routed[0][static_cast<std::size_t>(source_)], conversion_km2_, setup_.dt_min);
    const double cap = rules_->target_cap[static_cast<std::size_t>(blend.g)];
    if (result + o > cap) result = std::max(0.0, cap - o);
  }
  return ToRoutingMillimetres(result, ReferenceArea(), setup_.dt_min);
}

double AL_class::EvaluateRuleAtTime(TranslationCascades* cascade, const StepDate& date, double volume_m3) {
  step_date_ = date;
  if (!rules_ || date.month <= 0) return 0;
  const ColumnBlend blend = BlendAt(*rules_, DayOfYearWithoutLeapDays(date.month, date.day));
  const auto g = static_cast<std::size_t>(blend.g);
  const long days = rules_->week_days[g];
  if (days != -1 && !WeekDayListed(days, date)) return 0;
  if (!(rules_->start_hour[g] <= date.hour && date.hour <= rules_->stop_hour[g])) return 0;
  double result = RuleTableLookup(*rules_, blend, volume_m3);
  if (target_ > 0 && source_ > 0) {
    const std::vector<double>* entering = cascade != nullptr ? &(*cascade)(0, source_) : nullptr;
    const double source_mm = entering != nullptr && entering->size() > 1 ? (*entering)[1] : 0.0;
    const double o = ToCubicMetresPerSecond(source_mm, conversion_km2_, setup_.dt_min);
    const double cap = rules_->target_cap[g];
    if (result + o > cap) result = std::max(0.0, cap - o);
  }
  return result;
}

double AL_class::ComputeAbstraction(const TracerRows& routed, double& abstracted, double available,
                                    const StepDate& date) {
  step_date_ = date;
  const double remaining = available - abstracted;
  double a = 0;
  switch (mode_) {
    case AbstractionMode::kIntern:
    case AbstractionMode::kExtern: {
      double t = 0;
      if (remaining >= minimum_flow_) {
        // The minimum flow stays in the channel; the share applies to the flow above it.
        const double x = (available - minimum_flow_) * share_;
        t = remaining - x < minimum_flow_ ? std::max(0.0, remaining - minimum_flow_) : std::max(0.0, x);
      }
      a = std::min(maximum_, t);
      break;
    }
    case AbstractionMode::kFromFile: {
      double v = input_->GetValue(input_column_);
      if (v <= kMissingLimit) v = 0;
      a = std::min(remaining, ToRoutingMillimetres(v, ReferenceArea(), setup_.dt_min));
      // Start-up routings repeat the first step's record.
      if (date.month > 0) input_->NextRecord();
      break;
    }
    case AbstractionMode::kInternWithRule:
    case AbstractionMode::kExternWithRule:
      a = std::min(remaining, EvaluateRule(routed, date, ToCubicMetresPerSecond(available, ReferenceArea(), setup_.dt_min)));
      break;
    case AbstractionMode::kInternFromReservoir:
    case AbstractionMode::kUndefined:
      break;
  }
  abstracted += a;
  return a;
}

void AL_class::AppendOutputRow(const StepDate& date, std::span<const double> values) {
  if (!has_output()) return;
  if (rows_used_ >= capacity_) FlushOutput(1);
  const std::size_t width = static_cast<std::size_t>(setup_.n_tracers) + 5;
  double* row = rows_.data() + rows_used_ * width;
  row[0] = date.year;
  row[1] = date.month;
  row[2] = date.day;
  row[3] = date.hour;
  for (int t = 0; t <= setup_.n_tracers; ++t) row[4 + t] = values[static_cast<std::size_t>(t)];
  ++rows_used_;
  values_per_row_ = static_cast<std::uint64_t>(setup_.n_tracers) + 1;
}

void AL_class::FlushOutput(int force) {
  if (has_output() && force > 0 && rows_used_ > 0) WriteBufferedRows();
}

void AL_class::WriteBufferedRows() {
  DiagnosticsLog& log = *setup_.log;
  IgnoreCtrlC();
  log << "flushing to disk: " << output_file_ << " (" << kBufferBytes << " buffersize)"
      << "[end-entry]";
  FilePtr file(std::fopen(output_file_.c_str(), "a+"));
  if (!file) {
    ArmCtrlCHandler();
    log << "FATAL: error opening reservoir file " << output_file_ << "[end-entry]";
    RaiseError(kAbstractionAppendError);
  }
  const std::size_t width = static_cast<std::size_t>(setup_.n_tracers) + 5;
  for (std::uint64_t j = 0; j < rows_used_; ++j) {
    const double* row = rows_.data() + j * width;
    std::fprintf(file.get(), "%2.0lf\t%2.0lf\t%2.0lf\t%2.0lf", row[0], row[1], row[2], row[3]);
    for (std::uint64_t v = 0; v < values_per_row_; ++v) std::fprintf(file.get(), "\t%lg", row[4 + v]);
    std::fputc('\n', file.get());
  }
  file.reset();
  rows_used_ = 0;
  values_per_row_ = 0;
  ArmCtrlCHandler();
}

void AL_class::RescaleArea(double zone_area_km2) {
  const double factor = setup_.area_km2 / zone_area_km2;
  minimum_flow_ *= factor;
  maximum_ *= factor;
  setup_.area_km2 = zone_area_km2;
}

}  // namespace tolvo
