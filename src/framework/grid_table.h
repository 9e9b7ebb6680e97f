#pragma once
// The shared registry of named grids of a run.
//
// One table of 1001 entries is made by the application and shared by every model object.
// Entry 0 holds no grid (every lookup starts at entry 1); entry 1 is the zone grid, entry
// 2 the elevation model, then the standard, variable and registered grids. Lookups scan
// entries 1..999 and index 1000 is never registered, so at most 999 grids are held.
// Entries are never moved: an index stays valid for the whole run.
//
// Used entries form an unbroken prefix: entries 1..k hold a grid (a file name and an
// identifier), entries k+1..999 hold none. FindGrid relies on it, for it ends its scan at
// the first entry without a file name. New entries are therefore only handed out by
// TakeFreeEntries, which takes them right after the prefix; only the release of the
// sub-models' tracer grids at the end of a run frees entries inside it.
//
// An entry refers to its owner's current values and stack (views; the owner keeps the
// storage) and owns the accumulation matrices that its write code asks for. The write
// code has four decimal digits: ones the output of the current values, tens sums or means
// over a period, hundreds minimum (1), maximum (2) or both (3), thousands sums or means
// over the vegetation period.

#include <array>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "framework/matrix.h"
#include "framework/zone_record.h"

namespace tolvo {

class DiagnosticsLog;
class zonalstatistic;

inline constexpr int kGridTableSize = 1001;
// Entry of the zone grid.
inline constexpr int kZoneGridIndex = 1;
// Highest index a grid can be registered or found at.
inline constexpr int kLastGridIndex = 999;
// Longest grid identifier.
inline constexpr std::size_t kMaxGridIdentifierLength = 100;

struct grid_entry {
  grid_entry();
  ~grid_entry();
  grid_entry(grid_entry&&) noexcept;
  grid_entry& operator=(grid_entry&&) noexcept;

  // Current values over the entry's rows (the owner's matrix) and the stack, if any.
  GridView values;
  StackView stack;
  int levels = 0;  // highest level index of the stack

  // Accumulations kept for the outputs, present as the write code asks.
  Grid sum;
  Grid minimum;
  Grid maximum;
  Grid vegetation_period;

  // Name of the file the grid comes from or goes to; none until the set-up or the
  // registration gives one. The accumulation output names are copies of it.
  std::optional<std::string> file_name;
  std::string sum_name;
  std::string minimum_name;
  std::string maximum_name;
  std::string vegetation_period_name;
  // The name under which the grid is found; none for an unused entry.
  std::optional<std::string> identifier;

  // Digits of the write code.
  int ones = 0;
  int tens = 0;
  int minimum_flag = 0;
  int maximum_flag = 0;
  int thousands = 0;
  int min_max_started = 0;
  int fillcode = 0;
  int no_stack_copy = 0;
  double step_count = 0;  // output calls since the last sum or mean output
  int vegetation_write = 0;
  int vegetation_reset = 0;
  ConstGridView vegetation_start;
  ConstGridView vegetation_stop;
  ConstGridView vegetation_duration;

  // Periodic re-reading of an input grid (filled by the grid-list reader; all zero
  // until then, like every field of a new entry).
  int periodicity = 0;
  int period_end_counter = 0;
  int periodicity_step = 0;
  int calendar_rise_counter = 0;
  int last_calendar_value = 0;
  std::string periodicity_unit;
  std::string dated_periodic_name;
  bool persistent = false;
  bool restore_pending = false;
  Grid saved_values;
  int persistence_steps = 0;
  int steps_since_reread = 0;
  double defaultValue = 0.0;

  // Name of the current-value outputs; defaults to the file name at registration.
  std::optional<std::string> outname;
  // 1 when the registration created outname itself (FreeGridEntry then drops it).
  int outname_owned = 0;

  // Zonal statistics of the grid.
  int statcode = 0;
  std::string statfile;
  std::vector<ZoneRecord> zone_records;
  std::unique_ptr<zonalstatistic> statistic;
  ConstGridView zone_grid;
  std::span<const int> zone_index_map;
  int readcode = 0;

  // Dated outputs.
  long long repeat_counter = 0;
  std::array<long long, 4> last_dated_output{};  // year, month, day, hour

  // Rows of the entry held by this process.
  long long first_row = 0;
  long long last_row = 0;

  bool has_values() const { return !values.empty(); }
};

class grid_table {
 public:
  grid_table() : entries_(kGridTableSize) {}
  grid_entry& operator[](int index) { return entries_[static_cast<std::size_t>(index)]; }
  const grid_entry& operator[](int index) const { return entries_[static_cast<std::size_t>(index)]; }
  static constexpr int size() { return kGridTableSize; }

  // The zone grid of the run.
  grid_entry& zone_grid() { return entries_[kZoneGridIndex]; }
  const grid_entry& zone_grid() const { return entries_[kZoneGridIndex]; }

  // What marks an entry as taken: the set-up places its grids by file name, so there an
  // entry is free when it has none; the sub-models register grids under an identifier,
  // so there an entry is free when it has no identifier.
  enum class TakenBy { kFileName, kIdentifier };
  // Where a search for free entries runs: from `first` (at least 1) to `last` (at most
  // 1000; 1000 itself can be handed out but never registered, see RegisterGrid).
  struct EntryBounds {
    TakenBy taken_by = TakenBy::kFileName;
    int first = 1;
    int last = kLastGridIndex;
  };
  // Hands out `n` (at least 1) consecutive free entries within `bounds` and returns the
  // first of them: the entries right after the used prefix. When they do not fit, writes
  // "FATAL: " + `message` to `log` and throws ErrorCode 12 (kGridEntryError). The entries
  // stay free until their grids are registered there.
  int TakeFreeEntries(int n, EntryBounds bounds, DiagnosticsLog& log, std::string_view message) const;

  // Table-wide fields set by the standard-grid reader and read by the netCDF writer.
  bool latitude_present = false;
  bool longitude_present = false;
  int latitude_index = 0;
  int longitude_index = 0;

 private:
  // Debug check of the prefix rule above.
  bool UsedEntriesFormPrefix() const;

  std::vector<grid_entry> entries_;
};

}  // namespace tolvo
