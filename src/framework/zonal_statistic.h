#pragma once
// A zonal statistics table: a text file with one row per output interval and one column
// per zone (sub-basin) plus the area-weighted total, holding the zone means of a quantity
// over the interval, or their sums.
//
// Each step the owner clears the zone sums (BeginStep), adds the value of each of its
// cells (AddValue) and closes the step (EndStep). EndStep sums the zone records of all
// processes on process 0, which buffers a row at the end of each interval and appends
// buffered rows to the file in bursts of about 2 MiB. The statistics code selects the
// table: code div 1000 is the mode, code mod 1000 the steps per row (0: header only);
// a code of 1000 or less disables the table, and every operation then does nothing.
//
// Tables of one owner usually share the owner's zone records; since BeginStep clears the
// shared sums, each table runs its Begin/Add/End sequence to its end before the next one
// begins (the interval sums live in each table's own carry arrays).

#include <cstdio>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "framework/diagnostics_log.h"
#include "framework/file_handle.h"
#include "framework/matrix.h"
#include "framework/statistics_registry.h"
#include "framework/zone_record.h"

namespace tolvo {

// The columns of a table and how its rows combine the steps of an interval.
enum class StatisticsMode {
  Disabled,       // code <= 1000
  TotalMean,      // 1: total only, mean
  ZoneMeans,      // 2: every zone, then the total, mean
  TotalSum,       // 3: total only, sum
  ZoneSums,       // 4: every zone, then the total, sum
  ListedMeans,    // 5: the zones of the output list, then the total, mean
  ListedSums,     // 6: the zones of the output list, then the total, sum
  OtherTotalSum,  // any other mode: total only, summed as in mode 3
};

// Mode and steps per row of a statistics code.
struct StatisticsCode {
  StatisticsMode mode = StatisticsMode::Disabled;
  int interval = 0;
};
StatisticsCode DecodeStatisticsCode(int code);

inline constexpr long long kStatisticsBufferBytes = 2097152;

class zonalstatistic {
 public:
  // status := 0 on success, 1 on any failure (never throws). weights: the relative cell
  // areas, or an empty view for none. zone_records: indices 0..n_zones, not owned; the
  // table adds into their n, sx and RelCellSum. file_name is completed in place with the
  // directory (unless it begins with "/" or "~"). output_list: the zone codes of the
  // output list in ascending order (its first min(n_zones, size) codes are used).
  zonalstatistic(int& status, DiagnosticsLog& log, ConstGridView weights, int nrows, int ncols,
                 std::span<ZoneRecord> zone_records, int n_zones, int statcode, int precision,
                 std::string& file_name, std::string_view directory, std::span<const int> output_list);
  virtual ~zonalstatistic();
  zonalstatistic(const zonalstatistic&) = delete;
  zonalstatistic& operator=(const zonalstatistic&) = delete;

  // Opens the table file with the stdio mode; failure logs and raises 15.
  virtual void OpenTable(const char* mode);
  // Closes it; failure (including a failed write) logs and raises 16.
  virtual void CloseTable();
  // Appends the buffered rows to the file (process 0).
  virtual void FlushRows();
  // Adds one cell's value to zone zone_index with the weight.
  virtual void AddValue(int row, int column, int zone_index, double value, double weight);
  // Clears the zone sums for a new step.
  virtual void BeginStep();
  // Closes the step; with reduce > 0 a collective call. Buffers a row at an interval end.
  virtual void EndStep(long long year, long long month, long long day, long long hour, int reduce);
  // Creates the file with its header on process 0 and registers the table; the registry
  // index, or -1 (disabled table, other process or a full registry).
  virtual int WriteHeader(std::string_view quantity, std::string_view submodel, StatisticsRegistry& registry,
                          int capacity);
  // Flushes the buffered rows and frees the row buffer.
  virtual void Release();

  bool enabled() const { return code_.mode != StatisticsMode::Disabled; }
  int constructed() const { return constructed_; }
  StatisticsMode mode() const { return code_.mode; }
  int interval() const { return code_.interval; }
  const std::string& path() const { return path_; }
  // Values of the latest row, 1-based (index 1 .. row length).
  std::span<const double> last_values() const { return last_values_; }

 protected:
  struct RowDate {
    long long year, month, day, hour;
  };

  bool mean_mode() const;
  bool zone_columns() const;
  bool listed_columns() const;
  int zone_column_count() const;
  // Whether zone i (1-based) is the listed zone at list position list_position (0-based).
  bool IsListedZone(int zone, int list_position) const;
  void Construct(ConstGridView weights, int nrows, int ncols, int statcode, int precision, std::string& file_name,
                 std::string_view directory, std::span<const int> output_list);
  void PushValue(double value);
  void WriteValue(std::FILE* file, double value) const;

  int constructed_ = 0;
  DiagnosticsLog& log_;
  std::span<ZoneRecord> zones_;
  int rank_ = 0;

  // Row buffer: capacity rows of values_per_row_ values each.
  std::vector<RowDate> row_dates_;
  std::vector<double> row_values_;
  unsigned long long capacity_ = 0;
  unsigned long long rows_in_use_ = 0;
  unsigned long long values_in_row_ = 0;
  unsigned long long values_per_row_ = 0;

  // Registry block: the arrays are 1-based (index 1 .. row length).
  RowDate last_row_date_{0, 0, 0, 0};
  long long row_length_ = 0;
  std::vector<double> last_values_;
  std::vector<double> accumulator_;
  std::vector<double> area_shares_;
  std::string caption_;
  std::vector<long long> zone_codes_;

  ConstGridView weights_;
  int nrows_ = 0;
  int ncols_ = 0;
  static constexpr double kNodataWeight = -9999.0;
  int n_zones_ = 0;
  int precision_ = 0;
  StatisticsCode code_;
  std::vector<int> output_list_;  // the codes used (0-based)

  std::string path_;
  FilePtr file_;
  int steps_in_interval_ = 0;

  // Interval carry (interval above 1): the sums of the earlier steps of the interval.
  std::vector<double> carry_n_;
  std::vector<double> carry_sx_;
  std::vector<double> carry_rel_;
  // For output-list position j (0-based) the index of the zone with that code.
  std::vector<int> list_to_zone_;
};

}  // namespace tolvo
