#pragma once
// A zonal statistics table: a text file with one row per output interval and one column
// per zone (sub-basin) plus the area-weighted total, holding the zone means of a quantity
// over the interval, or their sums.
//
// Each step the owner clears the zone sums (BeginStep), adds the value of each of its
// cells (AddValue) and closes the step (EndStep). EndStep sums the zone sums of all
// processes on process 0, which buffers a row at the end of each interval and appends
// buffered rows to the file in bursts of about 2 MiB. The statistics code selects the
// table: code div 1000 is the mode, code mod 1000 the steps per row (0: header only);
// a code of 1000 or less disables the table, and every operation then does nothing.
//
// The zone sums of a step (cell weights, weighted values, relative cell areas) are exact
// sums rounded once on process 0 (ExactSum), so a table is the same byte for byte
// whatever the number of processes, the cells each computes, or the number of threads
// that add them: each thread adds into its own sums (AddValue's thread argument, after
// PrepareThreads) and EndStep merges them.
//
// Tables of one owner usually share the owner's zone records; since BeginStep clears the
// shared sums, each table runs its Begin/Add/End sequence to its end before the next one
// begins (the interval sums live in each table's own carry arrays). EndStep leaves in the
// records the step's sums: the totals on process 0, each process's own sums elsewhere.

#include <cassert>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "framework/diagnostics_log.h"
#include "framework/exact_sum.h"
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
  // Throws ErrorCode 1 after its log entry when the table cannot be made (an output-list
  // code without a zone, no memory). weights: the relative cell areas, or an empty view
  // for none. zone_records: indices 0..n_zones, not owned; EndStep writes the step's sums
  // into their n, sx and RelCellSum. file_name is completed in place with the directory
  // (unless it begins with "/" or "~"). output_list: the zone codes of the output list in
  // ascending order (its first min(n_zones, size) codes are used).
  zonalstatistic(DiagnosticsLog& log, ConstGridView weights, int nrows, int ncols, std::span<ZoneRecord> zone_records,
                 int n_zones, int statcode, int precision, std::string& file_name, std::string_view directory,
                 std::span<const int> output_list);
  virtual ~zonalstatistic();
  zonalstatistic(const zonalstatistic&) = delete;
  zonalstatistic& operator=(const zonalstatistic&) = delete;

  // Opens the table file with the stdio mode; failure logs and raises 15.
  virtual void OpenTable(const char* mode);
  // Closes it; failure (including a failed write) logs and raises 16.
  virtual void CloseTable();
  // Appends the buffered rows to the file (process 0).
  virtual void FlushRows();
  // Makes room for the sums of threads 0 .. n_threads - 1 (allocates; call it outside
  // parallel regions, before the step's AddValue calls).
  void PrepareThreads(int n_threads);
  // Adds one cell's value to zone zone_index with the weight, into the sums of `thread`
  // (below the count given to PrepareThreads; distinct threads may add at the same time).
  void AddValue(int row, int column, int zone_index, double value, double weight, int thread = 0) {
    if (!enabled()) return;
    assert(zone_index >= 0 && zone_index <= n_zones_);
    assert(thread >= 0 && thread < n_threads_);
    ExactSum* zone = &sums_[SumIndex(thread, zone_index)];
    zone[kSumN].Add(weight);
    if (!weights_.empty() && row >= 1 && row <= nrows_ && column >= 1 && column <= ncols_ &&
        weights_.rows().contains(row) && weights_(row, column) > kNodataWeight) {
      const double area = weights_(row, column);
      zone[kSumRel].Add(area * weight);
      zone[kSumSx].Add(value * area * weight);
    } else {
      zone[kSumRel].Add(weight);
      zone[kSumSx].Add(value * weight);
    }
  }
  // Clears the zone sums for a new step.
  virtual void BeginStep();
  // Replaces this process's sums of a zone for the step by n, sx and rel_cell_sum, for a
  // table whose zone values are computed as a whole rather than added cell by cell.
  void SetZoneSums(int zone_index, double n, double sx, double rel_cell_sum);
  // Closes the step; with reduce > 0 a collective call. Buffers a row at an interval end.
  virtual void EndStep(long long year, long long month, long long day, long long hour, int reduce);
  // Creates the file with its header on process 0 and registers the table; the registry
  // index, or -1 (disabled table or other process). A full registry logs a FATAL entry and
  // raises kGridEntryError.
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
  // A zone's exact sums of one step, in this order: weights (n), weighted values (sx),
  // relative cell areas (RelCellSum).
  static constexpr std::size_t kSumN = 0;
  static constexpr std::size_t kSumSx = 1;
  static constexpr std::size_t kSumRel = 2;
  static constexpr std::size_t kSumsPerZone = 3;
  std::size_t SumIndex(int thread, int zone_index) const {
    return ((static_cast<std::size_t>(thread) * (static_cast<std::size_t>(n_zones_) + 1)) +
            static_cast<std::size_t>(zone_index)) * kSumsPerZone;
  }

  bool mean_mode() const;
  bool zone_columns() const;
  bool listed_columns() const;
  int zone_column_count() const;
  // Whether zone i (1-based) is the listed zone at list position list_position (0-based).
  bool IsListedZone(int zone, int list_position) const;
  void Construct(ConstGridView weights, int nrows, int ncols, int statcode, int precision, std::string& file_name,
                 std::string_view directory, std::span<const int> output_list);
  friend class StatisticsStepEnds;
  // Adds the sums of threads 1.. into those of thread 0.
  void MergeThreadSums();
  // The step's zone sums of thread 0 (after MergeThreadSums: those of the whole process).
  std::span<ExactSum> StepSums() {
    return {sums_.data(), (static_cast<std::size_t>(n_zones_) + 1) * kSumsPerZone};
  }
  // The rest of EndStep once the sums are merged and, where asked, reduced: the step's sums
  // go into the zone records, and process 0 buffers a row at an interval end.
  void FinishStep(long long year, long long month, long long day, long long hour);
  // Adds the carried sums of the interval's earlier steps to the zone records from
  // `first_zone` on (n and RelCellSum only in mean mode).
  void AddCarry(std::size_t first_zone);
  // Keeps the zone records' sums for the interval's next step, or forgets them.
  void SaveCarry();
  void ClearCarry();
  // A registry block over the given arrays (1-based, index 1 .. row length).
  static StatisticsRegistryEntry RegistryEntry(const RowDate& date, long long row_length,
                                               std::vector<double>& last_values, std::vector<double>& accumulator,
                                               std::vector<double>& area_shares, const std::string& caption,
                                               std::vector<long long>& zone_codes);
  // Registers the registry block in the first free entry among 0 .. capacity - 1 and
  // returns its index; a full registry logs a FATAL entry and raises kGridEntryError.
  int RegisterBlock(StatisticsRegistry& registry, int capacity);
  // The zone index of each zone column, in column order.
  std::vector<int> ColumnZones() const;
  // Makes room in the row buffer for the rows in use.
  void GrowRowBuffer();
  void PushValue(double value);
  void WriteValue(std::FILE* file, double value) const;

  int constructed_ = 0;
  DiagnosticsLog& log_;
  std::span<ZoneRecord> zones_;
  int rank_ = 0;

  // Row buffer: up to capacity rows of values_per_row_ values each, written out when full.
  // Only process 0 fills it; it grows with the rows in use instead of holding the whole
  // capacity from the start, which every process would pay for every table.
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

  // The step's sums: thread t's sums of zone i from SumIndex(t, i) on.
  std::vector<ExactSum> sums_;
  int n_threads_ = 0;
  std::vector<std::int64_t> reduce_buffer_;
};

// Closes the step of several tables of one owner with one exchange of their sums: Add
// lists the tables in the order in which their EndStep would be called, with EndStep's
// reduce argument, and EndSteps closes them in that order, leaving tables and zone records
// as those calls would. The sums of all listed tables with reduce > 0 travel together, in
// two collective calls instead of two per table. Tables with reduce > 0 are plain zone
// tables (their EndStep is not called); the buffers are kept between steps.
class StatisticsStepEnds {
 public:
  // Null and disabled tables are skipped.
  void Add(zonalstatistic* table, int reduce);
  // Collective when a listed table has reduce > 0; empties the list.
  void EndSteps(long long year, long long month, long long day, long long hour);

 private:
  struct StepEnd {
    zonalstatistic* table;
    int reduce;
  };
  std::vector<StepEnd> ends_;
  std::vector<std::span<ExactSum>> groups_;
  std::vector<std::int64_t> packed_;
};

}  // namespace tolvo
