#pragma once
// The statistics table of the routed discharge: a zonal statistics table (one column per
// sub-basin) that process 0 alone fills, so no sums are reduced over the processes; it
// has no total column, and at the end of the run it receives the goodness of fit of the
// simulated against the observed discharge for the time shifts -10 .. +10 steps.
//
// Besides the table's own registry entry it registers a second one for the observed
// discharge, whose latest values the discharge routing fills each step (observed_values),
// so that the external coupling can read both.
//
// Each step the owner calls BeginStep, adds into the zone records' n, sx and RelCellSum
// (directly, or through AddValue), and calls EndStep. A column's value is the zone's
// sx / RelCellSum over the interval, or 0 for a zone without additions.

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "framework/goodness_of_fit.h"
#include "framework/zonal_statistic.h"

namespace tolvo {

class routstatistic : public zonalstatistic {
 public:
  // As zonalstatistic; header_values: the value of each sub-basin (indices 0 .. n_zones)
  // printed on the third header line, not owned.
  routstatistic(DiagnosticsLog& log, ConstGridView weights, int nrows, int ncols, std::span<ZoneRecord> zone_records,
                std::span<const double> header_values, int n_zones, int statcode, int precision,
                std::string& file_name, std::string_view directory, std::span<const int> output_list);

  // Closes the step on this process; buffers a row at the end of an interval.
  void EndStep(long long year, long long month, long long day, long long hour);
  // The same; the table has nothing to reduce, so `reduce` is ignored.
  void EndStep(long long year, long long month, long long day, long long hour, int reduce) override;
  // Creates the file with its header and registers the table and, in the entry right
  // after it, the observed discharge. The index of the observed entry, or 0 when it
  // finds no room (or the table is disabled). A full registry is fatal as for every table.
  int WriteHeader(std::string_view quantity, std::string_view submodel, StatisticsRegistry& registry,
                  int capacity) override;
  // Appends the buffered rows and then the four goodness-of-fit blocks (R-square and
  // variance coefficient, linear and logarithmic; one line per shift, one value per
  // column). Zone record i of every column afterwards holds n = 1 and sx = its linear
  // variance coefficient of shift 0. The tables must cover every sub-basin.
  void WriteGoodnessOfFit(const FitSumTable& linear, const FitSumTable& logarithmic);

  // The observed values of the latest step, 1-based (index 1 .. observed column count).
  std::span<double> observed_values() { return observed_values_; }

 private:
  std::span<const double> header_values_;
  RowDate observed_date_{0, 0, 0, 0};
  long long observed_columns_ = 0;
  std::vector<double> observed_values_;
  std::vector<double> observed_accumulator_;
  std::vector<double> observed_header_;
  std::string observed_caption_;
  std::vector<long long> observed_codes_;
};

}  // namespace tolvo
