// Observed discharge at the gauges, the goodness-of-fit sums and the routed-discharge
// statistics table.
#include <cmath>
#include <iostream>

#include "framework/error_code.h"
#include "framework/statistics_registry.h"
#include "routing/abflussmodellklasse.h"
#include "routing/routing_units.h"

namespace tolvo {
namespace {

long long FullYear(long long year) { return year < 1000 ? year + 1900 : year; }

ModelDate DateOf(const timeseries_file& reader) {
  int year = 0, month = 0, day = 0, hour = 0;
  reader.GetDate(year, month, day, hour);
  return {FullYear(year), month, day, hour};
}

bool SameDate(const ModelDate& a, const ModelDate& b) {
  return a.year == b.year && a.month == b.month && a.day == b.day && a.hour == b.hour;
}

}  // namespace

void abflussmodellklasse::SetUpStatisticsTable() {
  const int n = subbasins_.zone_count;
  qstat_zones_ = subbasins_.zones;
  qstat_ = std::make_unique<routstatistic>(log(), ConstGridView{}, 1, 1, qstat_zones_, abfrel_.relative_area, n,
                                           qstat_code_, 5, qstat_file_, output_directory(), settings().output_list);
  FindSection("[output_interval]", true);
  control_file().SkipLine();
  control_file().SkipLine();
  ReadItem(discharge_unit_, "unit of the routed discharge in [output_interval]");
  const char* quantity = discharge_unit_ == 0   ? "routed discharge [mm per subbasin] "
                         : discharge_unit_ == 1 ? "routed discharge [ m3 per sec ] "
                                                : "routed discharge (unknown measure)";
  qstat_registry_index_ = qstat_->WriteHeader(quantity, "routing_model", *registry_, StatisticsRegistry::kCapacity);
}

void abflussmodellklasse::ReadObservedRow(int r) {
  std::span<double> row = observed_ring_->row(r);
  for (int k = 0; k < observed_ring_->column_count(); ++k) {
    row[static_cast<std::size_t>(k) + 1] = observed_reader_->GetValue(k);
  }
}

void abflussmodellklasse::OpenObservedDischarge() {
  observed_reader_ = std::make_unique<timeseries_file>(log(), observed_file_, 1000000);
  timeseries_file& reader = *observed_reader_;
  if (reader.state() == kTimeseriesOpenFailed) {
    log() << "INFO: error opening " << observed_file_
          << "\nRouting will be done without comparison to observed discharge data!"
          << "[end-entry]";
    ObservedPastEnd = 10;
    observed_ring_.reset();
    observed_reader_.reset();
    ObservedSubstitution = 0;
    return;
  }
  if (reader.state() != kTimeseriesMoreBlocks && reader.state() != kTimeseriesLastBlock) {
    log() << "FATAL: error analysing or reading " << observed_file_ << " at row "
          << reader.header_lines() + reader.records_in_block()
          << " or before \n(e.g. due to wrong formatting or wrong number of columns or start date not found)"
          << "[end-entry]";
    RaiseError(kObservedDischargeError);
  }
  log() << "INFO: looking for starting date in " << observed_file_;
  const int c = static_cast<int>(reader.value_count());
  for (int& column : gauge_columns_) {
    if (column > c) column = 0;
  }
  observed_ring_ = std::make_unique<ObservedRing>(c);
  ObservedPastEnd = 0;
  observed_date_ = {};
  reader.SetRecord(-1);
  const ModelDate& start = settings().start_date;
  long long previous_day = 0;
  while (!SameDate(observed_date_, start)) {
    reader.NextRecord();
    if (reader.state() == kTimeseriesEnd) {
      ++ObservedPastEnd;
      break;
    }
    observed_date_ = DateOf(reader);
    if (observed_date_.day < previous_day) {
      log() << ".";
      std::cout.flush();
    }
    previous_day = observed_date_.day;
  }
  log() << "[end-entry]";
  for (int r = ObservedRing::kCurrentRow; r < ObservedRing::kRows; ++r) {
    ReadObservedRow(r);
    if (reader.state() == kTimeseriesEnd) ++ObservedPastEnd;
    reader.NextRecord();
  }
  for (int r = 0; r < ObservedRing::kCurrentRow; ++r) {
    std::span<double> row = observed_ring_->row(r);
    std::span<const double> current = observed_ring_->row(ObservedRing::kCurrentRow);
    std::copy(current.begin(), current.end(), row.begin());
  }
}

double abflussmodellklasse::DischargeInUnit(int i) const {
  const std::size_t si = static_cast<std::size_t>(i);
  const double q = routed_discharge_[0][si];
  if (discharge_unit_ != 1) return q;
  return q * abfrel_.relative_area[si] * abfrel_.relative_area[0] * 16.6666667 / TimeStep / abfrel_.scale[si];
}

void abflussmodellklasse::CompareWithObserved() {
  if (observed_ring_ == nullptr) return;
  ObservedRing& ring = *observed_ring_;
  if (ObservedPastEnd >= 10) {
    log() << "INFO: observed runoff: actual date " << date_.day << "." << date_.month << "." << date_.year << " "
          << date_.hour << "h not found (end of discharge file at " << observed_date_.day << "."
          << observed_date_.month << "." << observed_date_.year << ", " << observed_date_.hour << "h)"
          << "[end-entry]";
    ring.Shift();
    std::span<double> newest = ring.row(ObservedRing::kRows - 1);
    std::fill(newest.begin() + 1, newest.end(), 0.0);
    return;
  }
  ++step_counter_;
  const int n = subbasins_.zone_count;
  const StatisticsMode mode = qstat_->mode();
  const bool all_zones = mode == StatisticsMode::ZoneMeans || mode == StatisticsMode::ZoneSums;
  const bool listed = mode == StatisticsMode::ListedMeans || mode == StatisticsMode::ListedSums;
  std::span<double> observed_entry = qstat_->observed_values();
  const std::vector<int>& output_list = settings().output_list;
  for (int i = 1; i <= n; ++i) {
    const std::size_t si = static_cast<std::size_t>(i);
    const int column = gauge_columns_[si];
    const bool registered =
        all_zones || (listed && !output_list.empty() && subbasins_.zones[si].zonenwert == output_list.front());
    // This step's observation: the table stamps the entry with this step's date.
    if (registered && si < observed_entry.size()) {
      observed_entry[si] = column > 0 ? ring.current(column) : 0.0;
    }
    if (column <= 0 || step_counter_ <= rsquare_offset_) continue;
    const double simulated = DischargeInUnit(i);
    for (int j = 0; j < ObservedRing::kRows; ++j) {
      const double observed = ring.row(j)[static_cast<std::size_t>(column)];
      if (observed <= 0) continue;
      const int shift = j - ObservedRing::kCurrentRow;
      linear_sums_->at(shift, i).Add(simulated, observed);
      if (simulated > 0) log_sums_->at(shift, i).Add(std::log(simulated), std::log(observed));
    }
  }
  ring.Shift();
  ReadObservedRow(ObservedRing::kRows - 1);
  observed_reader_->NextRecord();
  if (observed_reader_->state() == kTimeseriesEnd) {
    log() << "INFO: end of discharge file reached!"
          << "[end-entry]";
    ++ObservedPastEnd;
  } else {
    observed_date_ = DateOf(*observed_reader_);
  }
}

void abflussmodellklasse::WriteStatisticsRow(long long year, long long month, long long day, long long hour) {
  qstat_->BeginStep();
  for (int i = 1; i <= subbasins_.zone_count; ++i) {
    ZoneRecord& zone = qstat_zones_[static_cast<std::size_t>(i)];
    zone.n += 1;
    zone.RelCellSum += 1;
    zone.sx += DischargeInUnit(i);
  }
  qstat_->EndStep(year, month, day, hour);
  // The routed concentration of every tracer per sub-basin, on this process alone.
  for (int t = 1; t < static_cast<int>(TracerRecords.size()); ++t) {
    TracerRecord& record = TracerRecords[static_cast<std::size_t>(t)];
    record.statistic->BeginStep();
    for (int i = 1; i <= subbasins_.zone_count; ++i) {
      ZoneRecord& zone = record.zones[static_cast<std::size_t>(i)];
      zone.n += 1;
      zone.RelCellSum += 1;
      zone.sx += routed_discharge_[t][static_cast<std::size_t>(i)];
    }
    record.statistic->EndStep(year, month, day, hour, 0);
  }
}

}  // namespace tolvo
