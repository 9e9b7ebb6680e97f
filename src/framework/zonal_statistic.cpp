#include "framework/zonal_statistic.h"

#include <mpi.h>

#include <algorithm>
#include <cassert>
#include <new>

#include "framework/error_code.h"
#include "framework/modelobject.h"
#include "framework/signals.h"

namespace tolvo {

namespace {

// Rows of a total-only table per buffer.
inline constexpr unsigned long long kTotalOnlyCapacity = 43690;

}  // namespace

StatisticsCode DecodeStatisticsCode(int code) {
  if (code <= 1000) return {StatisticsMode::Disabled, 0};
  const int interval = code % 1000;
  switch (code / 1000) {
    case 1: return {StatisticsMode::TotalMean, interval};
    case 2: return {StatisticsMode::ZoneMeans, interval};
    case 3: return {StatisticsMode::TotalSum, interval};
    case 4: return {StatisticsMode::ZoneSums, interval};
    case 5: return {StatisticsMode::ListedMeans, interval};
    case 6: return {StatisticsMode::ListedSums, interval};
    default: return {StatisticsMode::OtherTotalSum, interval};
  }
}

zonalstatistic::zonalstatistic(DiagnosticsLog& log, ConstGridView weights, int nrows, int ncols,
                               std::span<ZoneRecord> zone_records, int n_zones, int statcode, int precision,
                               std::string& file_name, std::string_view directory,
                               std::span<const int> output_list)
    : log_(log), zones_(zone_records), n_zones_(n_zones) {
  int initialised = 0;
  MPI_Initialized(&initialised);
  if (initialised) MPI_Comm_rank(MPI_COMM_WORLD, &rank_);
  code_ = DecodeStatisticsCode(statcode);
  if (!enabled()) {
    constructed_ = 1;
    return;
  }
  try {
    Construct(weights, nrows, ncols, statcode, precision, file_name, directory, output_list);
  } catch (const std::bad_alloc&) {
    log_ << "FATAL: no free memory in zonalstatistik::zonalstatistik " << "[end-entry]";
    RaiseError(kGeneralError);
  }
  constructed_ = 1;
}

zonalstatistic::~zonalstatistic() = default;

bool zonalstatistic::mean_mode() const {
  switch (code_.mode) {
    case StatisticsMode::TotalMean:
    case StatisticsMode::ZoneMeans:
    case StatisticsMode::ListedMeans: return true;
    case StatisticsMode::Disabled:
    case StatisticsMode::TotalSum:
    case StatisticsMode::ZoneSums:
    case StatisticsMode::ListedSums:
    case StatisticsMode::OtherTotalSum: return false;
  }
  return false;
}

bool zonalstatistic::zone_columns() const {
  return code_.mode == StatisticsMode::ZoneMeans || code_.mode == StatisticsMode::ZoneSums;
}

bool zonalstatistic::listed_columns() const {
  return code_.mode == StatisticsMode::ListedMeans || code_.mode == StatisticsMode::ListedSums;
}

int zonalstatistic::zone_column_count() const {
  if (zone_columns()) return n_zones_;
  if (listed_columns()) return static_cast<int>(output_list_.size());
  return 0;
}

bool zonalstatistic::IsListedZone(int zone, int list_position) const {
  return list_position < static_cast<int>(output_list_.size()) &&
         output_list_[static_cast<std::size_t>(list_position)] ==
             static_cast<int>(zones_[static_cast<std::size_t>(zone)].zonenwert);
}

void zonalstatistic::Construct(ConstGridView weights, int nrows, int ncols, int /*statcode*/, int precision,
                               std::string& file_name, std::string_view directory,
                               std::span<const int> output_list) {
  assert(n_zones_ >= 0 && zones_.size() >= static_cast<std::size_t>(n_zones_) + 1);
  weights_ = weights;
  nrows_ = nrows;
  ncols_ = ncols;
  precision_ = precision;
  const std::size_t list_length = std::min(static_cast<std::size_t>(n_zones_), output_list.size());
  output_list_.assign(output_list.begin(), output_list.begin() + static_cast<std::ptrdiff_t>(list_length));

  file_name = PrefixPath(directory, file_name);
  path_ = file_name;

  // The list must name zones in ascending order of their codes: the search for each list
  // position goes on after the zone of the position before.
  list_to_zone_.assign(list_length, 0);
  int previous = 0;
  for (std::size_t j = 1; j <= list_length; ++j) {
    const int code = output_list_[j - 1];
    int found = 0;
    for (int i = std::max(static_cast<int>(j), previous + 1); i <= n_zones_ && found == 0; ++i) {
      if (static_cast<int>(zones_[static_cast<std::size_t>(i)].zonenwert) == code) found = i;
    }
    if (found == 0) {
      log_ << "\n\n ------ error ------\n\n there is a code in the output list which no zone exists for (" << code
           << ")" << "[end-entry]";
      RaiseError(kGeneralError);
    }
    list_to_zone_[j - 1] = found;
    previous = found;
  }

  const long long zone_count = zone_columns() ? n_zones_ : static_cast<long long>(list_length);
  switch (code_.mode) {
    case StatisticsMode::TotalMean:
    case StatisticsMode::TotalSum:
      capacity_ = kTotalOnlyCapacity;
      row_length_ = 2;
      break;
    case StatisticsMode::ZoneMeans:
    case StatisticsMode::ZoneSums:
    case StatisticsMode::ListedMeans:
    case StatisticsMode::ListedSums:
    case StatisticsMode::OtherTotalSum:
      capacity_ = std::max(1ULL, static_cast<unsigned long long>(kStatisticsBufferBytes / ((zone_count + 1) * 8 + 32)));
      row_length_ = zone_count + 1;
      break;
    case StatisticsMode::Disabled: return;
  }
  values_per_row_ = static_cast<unsigned long long>(zone_column_count()) + 1;
  const auto block_size = static_cast<std::size_t>(row_length_) + 1;
  last_values_.assign(block_size, 0.0);
  accumulator_.assign(block_size, 0.0);
  area_shares_.assign(block_size, 0.0);
  zone_codes_.assign(block_size, 0);
  caption_.reserve(1200);

  ClearZoneSums(zones_, n_zones_);
  PrepareThreads(1);
  if (code_.interval > 1) {
    carry_n_.assign(static_cast<std::size_t>(n_zones_) + 1, 0.0);
    carry_sx_.assign(static_cast<std::size_t>(n_zones_) + 1, 0.0);
    carry_rel_.assign(static_cast<std::size_t>(n_zones_) + 1, 0.0);
  }
}

void zonalstatistic::OpenTable(const char* mode) {
  file_.reset(std::fopen(path_.c_str(), mode));
  if (!file_) {
    log_ << "FATAL: error opening \n" << path_ << "[end-entry]";
    RaiseError(kStatisticsOpenError);
  }
}

void zonalstatistic::CloseTable() {
  if (!file_) return;
  std::FILE* file = file_.release();
  // A row that could not be written counts as a failed close: the table is incomplete.
  const bool write_failed = std::ferror(file) != 0;
  if (std::fclose(file) != 0 || write_failed) {
    log_ << "FATAL: cannot close " << path_ << "[end-entry]";
    RaiseError(kStatisticsCloseError);
  }
}

void zonalstatistic::WriteValue(std::FILE* file, double value) const {
  if (precision_ > 98) {
    std::fprintf(file, "\t%.6g", value);
  } else {
    std::fprintf(file, "\t%.*f", precision_, value);
  }
}

void zonalstatistic::FlushRows() {
  if (!enabled() || rows_in_use_ == 0) return;
  IgnoreCtrlC();
  log_ << "write " << path_ << "(" << static_cast<long long>(rows_in_use_ * 8 * (values_in_row_ + 4)) << " of "
       << kStatisticsBufferBytes << " buffer-bytes)" << "[end-entry]";
  OpenTable("a+");
  std::FILE* file = file_.get();
  for (unsigned long long r = 0; r < rows_in_use_; ++r) {
    const RowDate& date = row_dates_[r];
    std::fprintf(file, "%2lld\t%2lld\t%2lld\t%2lld", date.year, date.month, date.day, date.hour);
    const double* values = row_values_.data() + r * values_per_row_;
    for (unsigned long long k = 0; k < values_per_row_; ++k) WriteValue(file, values[k]);
    std::fputc('\n', file);
  }
  CloseTable();
  ArmCtrlCHandler();
  rows_in_use_ = 0;
  values_in_row_ = 0;
}

void zonalstatistic::PrepareThreads(int n_threads) {
  if (!enabled() || n_threads <= n_threads_) return;
  sums_.resize(SumIndex(n_threads, 0));
  n_threads_ = n_threads;
}

void zonalstatistic::BeginStep() {
  if (!enabled()) return;
  ++steps_in_interval_;
  ClearZoneSums(zones_, n_zones_);
  for (ExactSum& sum : sums_) sum.Clear();
}

void zonalstatistic::SetZoneSums(int zone_index, double n, double sx, double rel_cell_sum) {
  if (!enabled() || zone_index < 0 || zone_index > n_zones_) return;
  for (int t = 0; t < std::max(n_threads_, 1); ++t) {
    const std::size_t i = SumIndex(t, zone_index);
    if (i + kSumsPerZone > sums_.size()) break;
    for (std::size_t k = 0; k < kSumsPerZone; ++k) sums_[i + k].Clear();
  }
  const std::size_t i = SumIndex(0, zone_index);
  sums_[i + kSumN].Add(n);
  sums_[i + kSumSx].Add(sx);
  sums_[i + kSumRel].Add(rel_cell_sum);
}

void zonalstatistic::GrowRowBuffer() {
  if (row_dates_.size() >= rows_in_use_) return;
  row_dates_.resize(rows_in_use_);
  row_values_.resize(rows_in_use_ * values_per_row_);
}

void zonalstatistic::PushValue(double value) {
  ++values_in_row_;
  row_values_[(rows_in_use_ - 1) * values_per_row_ + values_in_row_ - 1] = value;
  last_values_[values_in_row_] = value;
}

void zonalstatistic::EndStep(long long year, long long month, long long day, long long hour, int reduce) {
  if (!enabled()) return;
  MergeThreadSums();
  if (reduce > 0) ReduceExactSums(StepSums(), reduce_buffer_);
  FinishStep(year, month, day, hour);
}

void zonalstatistic::FinishStep(long long year, long long month, long long day, long long hour) {
  const std::size_t zone_records = static_cast<std::size_t>(n_zones_) + 1;
  const std::span<ExactSum> step = StepSums();
  for (std::size_t i = 0; i < zone_records; ++i) {
    zones_[i].n = step[i * kSumsPerZone + kSumN].Value();
    zones_[i].sx = step[i * kSumsPerZone + kSumSx].Value();
    zones_[i].RelCellSum = step[i * kSumsPerZone + kSumRel].Value();
  }
  if (rank_ != 0) return;

  const bool carry = code_.interval > 1;
  if (carry) AddCarry(0);

  const bool interval_end = steps_in_interval_ == code_.interval;
  if (interval_end) {
    values_in_row_ = 0;
    ++rows_in_use_;
    GrowRowBuffer();
    last_row_date_ = {year, month, day, hour};
    row_dates_[rows_in_use_ - 1] = last_row_date_;
  }

  double sum_sx = 0;
  double sum_rel = 0;
  int list_position = 0;
  for (int i = 1; i <= n_zones_; ++i) {
    const ZoneRecord& zone = zones_[static_cast<std::size_t>(i)];
    // A zone without cells has mean 0; so has one whose cells all have zero area.
    const double mean = (zone.n > 0 && zone.RelCellSum != 0) ? zone.sx / zone.RelCellSum : 0.0;
    sum_sx += zone.sx;
    sum_rel += zone.RelCellSum;
    if (!interval_end) continue;
    if (zone_columns()) {
      PushValue(mean);
    } else if (listed_columns() && IsListedZone(i, list_position)) {
      PushValue(mean);
      ++list_position;
    }
  }
  const double total = sum_rel > 0 ? sum_sx / sum_rel : 0.0;

  if (carry) SaveCarry();

  if (interval_end) {
    PushValue(total);
    if (carry) ClearCarry();
    steps_in_interval_ = 0;
    if (rows_in_use_ >= capacity_) FlushRows();
  }
}

void StatisticsStepEnds::Add(zonalstatistic* table, int reduce) {
  // Whether a table is enabled is read from the control file, so every process lists the
  // same tables and all take part in the exchange or none does.
  if (table != nullptr && table->enabled()) ends_.push_back({table, reduce});
}

void StatisticsStepEnds::EndSteps(long long year, long long month, long long day, long long hour) {
  groups_.clear();
  for (const StepEnd& end : ends_) {
    if (end.reduce <= 0) continue;
    end.table->MergeThreadSums();
    groups_.push_back(end.table->StepSums());
  }
  if (!groups_.empty()) ReduceExactSums(groups_, packed_);
  for (const StepEnd& end : ends_) {
    if (end.reduce > 0) {
      end.table->FinishStep(year, month, day, hour);
    } else {
      end.table->EndStep(year, month, day, hour, end.reduce);
    }
  }
  ends_.clear();
}

void zonalstatistic::MergeThreadSums() {
  const std::size_t step_sums = (static_cast<std::size_t>(n_zones_) + 1) * kSumsPerZone;
  for (int t = 1; t < n_threads_; ++t) {
    const ExactSum* thread_sums = &sums_[SumIndex(t, 0)];
    for (std::size_t k = 0; k < step_sums; ++k) sums_[k].Merge(thread_sums[k]);
  }
}

void zonalstatistic::AddCarry(std::size_t first_zone) {
  for (std::size_t i = first_zone; i <= static_cast<std::size_t>(n_zones_); ++i) {
    if (mean_mode()) {
      zones_[i].n += carry_n_[i];
      zones_[i].RelCellSum += carry_rel_[i];
    }
    zones_[i].sx += carry_sx_[i];
  }
}

void zonalstatistic::SaveCarry() {
  for (std::size_t i = 0; i <= static_cast<std::size_t>(n_zones_); ++i) {
    carry_n_[i] = zones_[i].n;
    carry_sx_[i] = zones_[i].sx;
    carry_rel_[i] = zones_[i].RelCellSum;
  }
}

void zonalstatistic::ClearCarry() {
  std::fill(carry_n_.begin(), carry_n_.end(), 0.0);
  std::fill(carry_sx_.begin(), carry_sx_.end(), 0.0);
  std::fill(carry_rel_.begin(), carry_rel_.end(), 0.0);
}

StatisticsRegistryEntry zonalstatistic::RegistryEntry(const RowDate& date, long long row_length,
                                                      std::vector<double>& last_values,
                                                      std::vector<double>& accumulator,
                                                      std::vector<double>& area_shares, const std::string& caption,
                                                      std::vector<long long>& zone_codes) {
  StatisticsRegistryEntry block;
  block.year = date.year;
  block.month = date.month;
  block.day = date.day;
  block.hour = date.hour;
  block.row_length = row_length;
  block.last_values = last_values;
  block.accumulator = accumulator;
  block.area_shares = area_shares;
  block.caption = &caption;
  block.zone_codes = zone_codes;
  return block;
}

int zonalstatistic::RegisterBlock(StatisticsRegistry& registry, int capacity) {
  const StatisticsRegistryEntry block = RegistryEntry(last_row_date_, row_length_, last_values_, accumulator_,
                                                      area_shares_, caption_, zone_codes_);
  const int index = registry.Register(block, capacity);
  if (index < 0) {
    log_ << "FATAL: no free entry left in the statistics registry (" << std::min(capacity, StatisticsRegistry::kEntries)
         << " entries) for " << path_ << "[end-entry]";
    file_.reset();
    DisarmCtrlCHandler();
    RaiseError(kGridEntryError);
  }
  return index;
}

std::vector<int> zonalstatistic::ColumnZones() const {
  std::vector<int> column_zones;
  if (zone_columns()) {
    for (int i = 1; i <= n_zones_; ++i) column_zones.push_back(i);
  } else if (listed_columns()) {
    column_zones = list_to_zone_;
  }
  return column_zones;
}

int zonalstatistic::WriteHeader(std::string_view quantity, std::string_view submodel, StatisticsRegistry& registry,
                                int capacity) {
  if (!enabled() || rank_ != 0) return -1;
  IgnoreCtrlC();
  OpenTable("wt");

  const int index = RegisterBlock(registry, capacity);
  const std::vector<int> column_zones = ColumnZones();

  std::FILE* file = file_.get();
  std::fputs("YY\tMM\tDD\tHH", file);
  for (const int zone : column_zones) std::fprintf(file, "\t\"%.0lf\"", zones_[static_cast<std::size_t>(zone)].zonenwert);
  std::fputs("\ttot_average\n", file);
  caption_.assign(quantity);
  caption_ += "_submodel:";
  caption_ += submodel;
  std::fprintf(file, "%s\n", caption_.c_str());
  std::fputs("--\t--\t--\t--", file);
  for (const int zone : column_zones) std::fprintf(file, "\t%.7lf", zones_[static_cast<std::size_t>(zone)].rel);
  std::fputs("\t1.0000\n", file);

  std::size_t j = 1;
  for (const int zone : column_zones) {
    const ZoneRecord& record = zones_[static_cast<std::size_t>(zone)];
    accumulator_[j] = 0;
    last_values_[j] = 0;
    zone_codes_[j] = static_cast<long long>(record.zonenwert);
    area_shares_[j] = record.rel;
    ++j;
  }
  accumulator_[j] = 0;
  last_values_[j] = 0;
  zone_codes_[j] = 0;
  area_shares_[j] = 1.0;

  CloseTable();
  DisarmCtrlCHandler();
  return index;
}

void zonalstatistic::Release() {
  if (!enabled()) return;
  if (rows_in_use_ > 0 && constructed_ == 1) FlushRows();
  // The registry arrays stay until the table is destroyed: the registry may still refer
  // to them.
  row_dates_ = {};
  row_values_ = {};
  rows_in_use_ = 0;
  capacity_ = 0;
  carry_n_ = {};
  carry_sx_ = {};
  carry_rel_ = {};
  list_to_zone_ = {};
  sums_ = {};
  n_threads_ = 0;
  reduce_buffer_ = {};
  // A released table takes no further steps.
  code_.mode = StatisticsMode::Disabled;
}

}  // namespace tolvo
