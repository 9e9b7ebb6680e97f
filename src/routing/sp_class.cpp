// A reservoir's entry, rules, registration and step.
#include "routing/sp_class.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>

#include "framework/control_file_stream.h"
#include "framework/diagnostics_log.h"
#include "framework/error_code.h"
#include "framework/tracer_settings_record.h"

namespace tolvo {
namespace {

// Output rows are collected in about this many bytes per reservoir.
constexpr int kOutputBufferBytes = 2097152;

std::size_t SkipBlanks(std::string_view text, std::size_t at) {
  while (at < text.size() && (text[at] == ' ' || text[at] == '\t' || text[at] == '\r' || text[at] == '\n')) ++at;
  return at;
}

// Reads a number at `at` of the text; moves `at` behind it. Nothing when none stands there.
std::optional<double> NumberAt(std::string_view text, std::size_t& at, std::size_t end) {
  at = SkipBlanks(text, at);
  if (at >= end) return std::nullopt;
  const std::string rest(text.substr(at, end - at));
  char* stop = nullptr;
  const double value = std::strtod(rest.c_str(), &stop);
  if (stop == rest.c_str()) return std::nullopt;
  at += static_cast<std::size_t>(stop - rest.c_str());
  return value;
}

}  // namespace

void SP_class::SetUp(DiagnosticsLog& log, const ReservoirSetup& setup) {
  log_ = &log;
  setup_ = setup;
  const std::size_t n = static_cast<std::size_t>(setup.n_tracers) + 1;
  content_.assign(n, 0.0);
  previous_content_.assign(n, 0.0);
  cell_content_.assign(n, 0.0);
}

std::string SP_class::PrefixPath(std::string_view directory, std::string_view name) {
  if (directory.empty() || (!name.empty() && (name[0] == '/' || name[0] == '~'))) return std::string(name);
  return std::string(directory) + std::string(name);
}

void SP_class::ReadParameters(std::string_view block, std::size_t at, std::size_t end) {
  end = std::min(end, block.size());
  std::size_t pos = block.find("SP", at);
  pos = pos == std::string_view::npos ? end : pos + 2;
  const std::optional<double> code = NumberAt(block, pos, end);
  code_ = code ? static_cast<int>(*code) : 0;
  const auto missing = [&](const char* key) {
    *log_ << "FATAL: for reservoir " << code_ << ": no \"" << key << " =\" found!"
          << "[end-entry]";
    RaiseError(kReservoirEntryError);
  };
  // Moves the read position behind the "=" that follows the key.
  const auto seek = [&](std::string_view key) {
    const std::size_t k = block.find(key, pos);
    if (k >= end) return false;
    const std::size_t equals = block.find('=', k);
    if (equals >= end) return false;
    pos = equals + 1;
    return true;
  };
  if (!seek("file")) missing("file");
  pos = SkipBlanks(block, pos);
  std::size_t word_end = pos;
  while (word_end < end && block[word_end] != ' ' && block[word_end] != '\t' && block[word_end] != '\r' &&
         block[word_end] != '\n') {
    ++word_end;
  }
  if (word_end == pos) missing("file");
  file_name_ = PrefixPath(setup_.output_directory, block.substr(pos, word_end - pos));
  pos = word_end;

  if (!seek("V0")) missing("V0");
  const std::optional<double> v0 = NumberAt(block, pos, end);
  if (!v0) missing("V0");

  if (!seek("C0")) missing("C0");
  std::vector<double> c0;
  while (c0.size() < static_cast<std::size_t>(kMaxTracers)) {
    const std::optional<double> value = NumberAt(block, pos, end);
    if (!value) break;
    c0.push_back(*value);
  }
  if (c0.size() < static_cast<std::size_t>(setup_.n_tracers)) {
    *log_ << "FATAL: for reservoir " << code_ << ": \"C0 =\" holds " << c0.size()
          << " initial concentrations, expected one for each of the " << setup_.n_tracers << " tracers"
          << "[end-entry]";
    RaiseError(kReservoirEntryError);
  }
  dtmin_s_ = 60;
  if (seek("dTmin")) {
    if (const std::optional<double> value = NumberAt(block, pos, end)) dtmin_s_ = *value;
  }

  content_[0] = *v0;
  for (int k = 1; k <= setup_.n_tracers; ++k) content_[static_cast<std::size_t>(k)] = c0[static_cast<std::size_t>(k) - 1];
  const int n = setup_.n_tracers;
  capacity_ = std::max(kOutputBufferBytes / ((n + 35) * 8), 1);
  rows_.assign(static_cast<std::size_t>(capacity_) * static_cast<std::size_t>(n + 34), 0.0);
  rows_used_ = 0;
  values_per_row_ = 0;
}

void SP_class::SeekSection(ControlFileStream& file, const std::string& header) {
  SeekRuleSection(file, header, *log_);
}

void SP_class::ReadRules(ControlFileStream& file) {
  SeekSection(file, "[abstraction_rule_reservoir_" + std::to_string(code_) + "]");
  rules_ = ReadReservoirRules(file, code_, *log_);
  if (rules_.connection && !is_lake()) {
    *log_ << "FATAL: reservoir " << code_ << " has a HydraulicConnection, but lake modelling is off: a connection "
          << "needs the water levels and surfaces of lakes"
          << "[end-entry]";
    RaiseError(kReservoirConnectionError);
  }
}

void SP_class::CheckConnection() const {
  if (!rules_.connection) return;
  const int target = rules_.connection->target_reservoir;
  if (reservoir_map_ == nullptr || !reservoir_map_->contains(target)) {
    *log_ << "FATAL: the HydraulicConnection of reservoir " << code_ << " leads to reservoir " << target
          << ", which no routing description holds"
          << "[end-entry]";
    RaiseError(kReservoirConnectionError);
  }
}

void SP_class::RegisterReservoir(ReservoirMap& map) {
  reservoir_map_ = &map;
  map.try_emplace(code_, ReservoirLink{.level = &level_,
                                       .dv_rate = &balance_[static_cast<std::size_t>(BalanceTerm::kDv)].rate_m3s,
                                       .area = &area_});
}

void SP_class::RegisterSubbasin(HydraulicConnectionSet& set) const { set.try_emplace(setup_.subbasin_code, connected()); }

double SP_class::MixConcentration(double c1, double c2, double v1, double v2) {
  const double volume = std::fabs(v1) + std::fabs(v2);
  return volume == 0 ? 0.0 : (std::fabs(v1) * c1 + std::fabs(v2) * c2) / volume;
}

double SP_class::ComputeOutflow(const StepDate& date, double inflow_m3s, double dt_min, ReservoirDraws* draws) {
  const OutflowStep step{.volume_m3 = content_[0], .inflow_m3s = inflow_m3s, .dt_min = dt_min, .dtmin_s = dtmin_s_};
  if (rules_.connection) {
    CheckConnection();
    target_level_ = *reservoir_map_->at(rules_.connection->target_reservoir).level;
    return ConnectionOutflow(*rules_.connection, step, level_, area_, target_level_, draws);
  }
  date_ = date;
  if (!rules_.table) return 0;
  return RuleTableOutflow(*rules_.table, step, date, is_lake() ? &table_ : nullptr, draws);
}

double SP_class::ReservoirStep(const ReservoirInflow& inflow, const StepDate& date) {
  const double T = 60 * inflow.dt_min;
  const int n = setup_.n_tracers;
  balance_ = {};
  area_ = 0;
  term(BalanceTerm::kQin).volume_m3 = inflow.inflow_m3s * T;
  if (is_lake()) {
    GatherLakeBalance(T);
    CollectLakeContent(cell_content_);
    SetLevelFromVolume(cell_content_[0]);
    const double cell_area = setup_.geometry.cellsize * setup_.geometry.cellsize;
    ForEachLakeCell([&](int r, int c) {
      if (lake_.ponding(r, c) > 0) area_ += cell_area;
    });
    previous_content_ = content_;
    content_ = cell_content_;
  }
  // Irrigation draws first, then the abstraction; the balance books what the store could give.
  const double irrigated = std::min(inflow.irrigation_m3, std::max(content_[0], 0.0));
  const double abstracted = std::min(inflow.abstraction_m3, std::max(content_[0] - irrigated, 0.0));
  term(BalanceTerm::kIrrig).volume_m3 = irrigated;
  term(BalanceTerm::kAbstr).volume_m3 = abstracted;
  content_[0] = std::max(0.0, content_[0] - irrigated - abstracted);
  date_ = date;

  double added = 0;
  if (date.year >= 1) {
    added = inflow.inflow_m3s * T;
    for (int k = 1; k <= n; ++k) {
      const std::size_t sk = static_cast<std::size_t>(k);
      if (setup_.tracers[sk].radioactive == 1) content_[sk] *= setup_.tracers[sk].decay_factor;
      content_[sk] = MixConcentration(content_[sk], inflow.routed[sk], content_[0], added);
    }
  }
  if (inflow.draws != nullptr) inflow.draws->BeginStep(date);
  outflow_ = ComputeOutflow(date, inflow.inflow_m3s, inflow.dt_min, inflow.draws);
  const double drawn = inflow.draws != nullptr ? inflow.draws->EndStep(T) : 0.0;
  if (date.year < 1) {
    if (content_[0] < outflow_ * T) outflow_ = content_[0] / T;
  } else {
    // The abstractions drawn in the sub-steps leave the reservoir with the outflow.
    term(BalanceTerm::kAbstr).volume_m3 += drawn;
    double V = content_[0] - drawn + added;
    if (V < outflow_ * T) outflow_ = std::max(V, 0.0) / T;
    V -= outflow_ * T;
    content_[0] = V;
    SetLevelFromVolume(V);
  }

  term(BalanceTerm::kQout).volume_m3 = outflow_ * T;
  if (is_lake()) {
    const auto v = [&](BalanceTerm t) { return term(t).volume_m3; };
    term(BalanceTerm::kDv).volume_m3 = v(BalanceTerm::kQin) + v(BalanceTerm::kQgw) + v(BalanceTerm::kPrec) -
                                       v(BalanceTerm::kEtr) - v(BalanceTerm::kIrrig) - v(BalanceTerm::kAbstr) -
                                       v(BalanceTerm::kQout);
    term(BalanceTerm::kErr).volume_m3 = content_[0] - previous_content_[0] - v(BalanceTerm::kDv);
  }
  for (BalanceValue& value : balance_) {
    value.rate_m3s = value.volume_m3 / T;
    value.depth_mm = area_ > 0 ? value.volume_m3 / area_ * 1000 : 0.0;
  }
  term(BalanceTerm::kQout).rate_m3s = outflow_;
  term(BalanceTerm::kQin).rate_m3s = inflow.inflow_m3s;
  return term(BalanceTerm::kQgw).rate_m3s;
}

}  // namespace tolvo
