#include "framework/rout_statistic.h"

#include <algorithm>
#include <cassert>
#include <cstdio>

#include "framework/signals.h"

namespace tolvo {

namespace {

constexpr const char* kFitRule = "----------------------\n";

}  // namespace

routstatistic::routstatistic(DiagnosticsLog& log, ConstGridView weights, int nrows, int ncols,
                             std::span<ZoneRecord> zone_records, std::span<const double> header_values, int n_zones,
                             int statcode, int precision, std::string& file_name, std::string_view directory,
                             std::span<const int> output_list)
    : zonalstatistic(log, weights, nrows, ncols, zone_records, n_zones, statcode, precision, file_name, directory,
                     output_list),
      header_values_(header_values) {
  if (!enabled()) return;
  assert(header_values_.size() >= static_cast<std::size_t>(n_zones) + 1);
  // No total column: the rows hold the sub-basin columns only.
  const long long columns = zone_column_count();
  values_per_row_ = static_cast<unsigned long long>(columns);
  row_length_ = std::max(columns, 1LL);
  const auto block_size = static_cast<std::size_t>(row_length_) + 1;
  last_values_.assign(block_size, 0.0);
  accumulator_.assign(block_size, 0.0);
  area_shares_.assign(block_size, 0.0);
  zone_codes_.assign(block_size, 0);

  observed_columns_ = std::max(columns, 1LL);
  const auto observed_size = static_cast<std::size_t>(observed_columns_) + 2;
  observed_values_.assign(observed_size, 0.0);
  observed_accumulator_.assign(observed_size, 0.0);
  observed_header_.assign(observed_size, 0.0);
  observed_codes_.assign(observed_size, 0);
  observed_caption_.reserve(500);
  observed_caption_ = "observed Runoff";
}

void routstatistic::EndStep(long long year, long long month, long long day, long long hour, int /*reduce*/) {
  EndStep(year, month, day, hour);
}

void routstatistic::EndStep(long long year, long long month, long long day, long long hour) {
  if (!enabled()) return;
  const std::size_t zone_records = static_cast<std::size_t>(n_zones_) + 1;
  // What was added through AddValue joins what the owner added directly.
  MergeThreadSums();
  for (std::size_t i = 0; i < zone_records; ++i) {
    zones_[i].n += sums_[i * kSumsPerZone + kSumN].Value();
    zones_[i].sx += sums_[i * kSumsPerZone + kSumSx].Value();
    zones_[i].RelCellSum += sums_[i * kSumsPerZone + kSumRel].Value();
  }

  const bool carry = code_.interval > 1;
  if (carry) AddCarry(1);

  if (steps_in_interval_ != code_.interval) {
    if (carry) SaveCarry();
    return;
  }

  values_in_row_ = 0;
  ++rows_in_use_;
  GrowRowBuffer();
  last_row_date_ = {year, month, day, hour};
  observed_date_ = last_row_date_;
  row_dates_[rows_in_use_ - 1] = last_row_date_;

  int list_position = 0;
  for (int i = 1; i <= n_zones_; ++i) {
    const ZoneRecord& zone = zones_[static_cast<std::size_t>(i)];
    // A sub-basin without additions, or whose additions carry no weight, has value 0.
    const double value = (zone.n > 0 && zone.RelCellSum != 0) ? (zone.sx / zone.n) * (zone.n / zone.RelCellSum) : 0.0;
    if (zone_columns()) {
      PushValue(value);
    } else if (listed_columns() && IsListedZone(i, list_position)) {
      PushValue(value);
      ++list_position;
    }
  }

  if (carry) ClearCarry();
  steps_in_interval_ = 0;
  if (rows_in_use_ >= capacity_) FlushRows();
}

int routstatistic::WriteHeader(std::string_view quantity, std::string_view submodel, StatisticsRegistry& registry,
                               int capacity) {
  if (!enabled()) return 0;
  IgnoreCtrlC();
  OpenTable("wt");

  const int simulated = RegisterBlock(registry, capacity);
  int observed = 0;
  const int usable = std::min(capacity, StatisticsRegistry::kEntries);
  if (simulated + 1 < usable && registry[simulated + 1].free()) {
    registry[simulated + 1] = RegistryEntry(observed_date_, observed_columns_, observed_values_,
                                            observed_accumulator_, observed_header_, observed_caption_,
                                            observed_codes_);
    observed = simulated + 1;
  }

  const std::vector<int> column_zones = ColumnZones();
  std::FILE* file = file_.get();
  std::fputs("YY\tMM\tDD\tHH", file);
  for (const int zone : column_zones) std::fprintf(file, "\t\"%.0lf\"", zones_[static_cast<std::size_t>(zone)].zonenwert);
  std::fputs("\n", file);
  caption_.assign(quantity);
  caption_ += "_submodel:";
  caption_ += submodel;
  std::fprintf(file, "%s\n", caption_.c_str());
  std::fputs("--\t--\t--\t--", file);
  for (const int zone : column_zones) std::fprintf(file, "\t%.7lf", header_values_[static_cast<std::size_t>(zone)]);
  std::fputs("\n", file);

  std::size_t j = 1;
  for (const int zone : column_zones) {
    const auto code = static_cast<long long>(zones_[static_cast<std::size_t>(zone)].zonenwert);
    const double header = header_values_[static_cast<std::size_t>(zone)];
    last_values_[j] = 0;
    observed_values_[j] = 0;
    zone_codes_[j] = code;
    observed_codes_[j] = code;
    area_shares_[j] = header;
    observed_header_[j] = header;
    ++j;
  }

  CloseTable();
  DisarmCtrlCHandler();
  return observed;
}

void routstatistic::WriteGoodnessOfFit(const FitSumTable& linear, const FitSumTable& logarithmic) {
  if (!enabled()) return;
  assert(linear.n_zones() >= n_zones_ && logarithmic.n_zones() >= n_zones_);
  FlushRows();
  IgnoreCtrlC();
  OpenTable("a+");

  struct Block {
    const char* label;
    const char* shift0_label;
    const FitSumTable& sums;
    double (*measure)(const FitSums&);
    bool store_shift0;  // the linear variance coefficient of shift 0 goes into the zone records
  };
  const Block blocks[] = {
      {"lin. R-square", "LIN. R-SQUARE", linear, RSquare, false},
      {"log. R-square", "LOG. R-SQUARE", logarithmic, RSquare, false},
      {"coeff.var.lin", "COEFF.VAR.LIN", linear, VarianceCoefficient, true},
      {"coeff.var.log", "COEFF.VAR.LOG", logarithmic, VarianceCoefficient, false},
  };
  const std::vector<int> column_zones = ColumnZones();
  std::FILE* file = file_.get();
  std::fputs(kFitRule, file);
  for (const Block& block : blocks) {
    for (int shift = -kMaxFitShift; shift <= kMaxFitShift; ++shift) {
      std::fprintf(file, "%s\t%d", shift == 0 ? block.shift0_label : block.label, shift);
      for (const int zone : column_zones) {
        const double value = block.measure(block.sums.at(shift, zone));
        std::fprintf(file, "\t%.*lf", precision_ - 1, value);
        if (block.store_shift0 && shift == 0) {
          zones_[static_cast<std::size_t>(zone)].sx = value;
          zones_[static_cast<std::size_t>(zone)].n = 1;
        }
      }
      std::fputs("\n", file);
    }
    std::fputs(kFitRule, file);
  }

  CloseTable();
  DisarmCtrlCHandler();
}

}  // namespace tolvo
