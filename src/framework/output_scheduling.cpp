// Output scheduling of the model object: the write codes of the grid-table entries carried
// out call by call (accumulation, period ends, names, gathers to process 0).

#include "framework/output_scheduling.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <span>
#include <string>

#include "framework/error_code.h"
#include "framework/grid_distribution.h"
#include "framework/grid_table.h"
#include "framework/modelobject.h"
#include "framework/parallel.h"

namespace tolvo {

// --- calendar -----------------------------------------------------------------------------

bool IsDayEnd(const ModelDate& date, double hour_shift) {
  return date.hour + static_cast<long long>(hour_shift) == 24;
}

bool IsMonthEnd(const ModelDate& date, double hour_shift) {
  return IsDayEnd(date, hour_shift) && date.day == DaysInMonth(date.year, date.month);
}

bool IsYearEnd(const ModelDate& date, double hour_shift) {
  return IsDayEnd(date, hour_shift) && date.day == 31 && date.month == 12;
}

// --- names --------------------------------------------------------------------------------

OutputNameParts SplitOutputName(std::string_view path, std::size_t max_stem) {
  const std::size_t slash = path.rfind('/');
  const std::string_view directory = slash == std::string_view::npos ? std::string_view{} : path.substr(0, slash + 1);
  const std::string_view base = slash == std::string_view::npos ? path : path.substr(slash + 1);
  std::string_view stem = base.substr(0, base.find('.'));
  if (stem.size() > max_stem) stem = stem.substr(0, max_stem);
  return {directory, stem};
}

std::string OutputName(std::string_view path, std::string_view suffix, std::size_t max_stem) {
  const OutputNameParts parts = SplitOutputName(path, max_stem);
  std::string name;
  name.reserve(parts.directory.size() + parts.stem.size() + suffix.size());
  name.append(parts.directory).append(parts.stem).append(suffix);
  return name;
}

namespace {

template <typename... Args>
std::string Printf(const char* format, Args... args) {
  std::array<char, 96> buffer;
  const int length = std::snprintf(buffer.data(), buffer.size(), format, args...);
  return {buffer.data(), static_cast<std::size_t>(std::clamp(length, 0, static_cast<int>(buffer.size()) - 1))};
}

}  // namespace

std::string DatedOutputName(std::string_view path, const ModelDate& date, long long repeat, std::size_t max_stem) {
  std::string suffix = Printf("_%04lld%02lld%02lld.%03lld", date.year, date.month, date.day, date.hour);
  if (repeat > 0) suffix += Printf("_%03lld", repeat);
  return OutputName(path, suffix, max_stem);
}

namespace {

// --- cells that count -----------------------------------------------------------------------

// The valid own cells of an output: inside the row's zone-column range, inside the zone
// grid and, when the output is distributed, computed by this process ("MPIRegions").
class OwnCells {
 public:
  OwnCells(const modelobject& object, bool distributed)
      : rank_(object.rank()), ncols_(object.geometry().ncols), nodata_(object.geometry().nodata_value) {
    if (const grid_table* table = object.grids()) zone_ = table->zone_grid().values;
    if (const DomainLayout* layout = object.domain_layout()) {
      ranges_ = layout->column_ranges;
      if (distributed) regions_ = layout->regions;
    }
  }

  // The zone-column range of row r; every column when no zone ranking is known.
  ColumnRange Range(int r) const {
    if (ranges_.empty()) return {1, ncols_};
    if (r < 0 || static_cast<std::size_t>(r) >= ranges_.size()) return {};
    const ColumnRange range = ranges_[static_cast<std::size_t>(r)];
    return {std::max(range.first, 1), std::min(range.last, ncols_)};
  }

  // Whether cell (r, c) of a column inside Range(r) counts.
  bool Valid(int r, int c) const {
    if (!zone_.empty() && !(zone_.rows().contains(r) && zone_(r, c) > nodata_)) return false;
    return regions_.empty() || (regions_.rows().contains(r) && regions_(r, c) == rank_);
  }

  double nodata() const { return nodata_; }

 private:
  ConstGridView zone_;
  ConstGridView regions_;
  std::span<const ColumnRange> ranges_;
  int rank_;
  int ncols_;
  double nodata_;
};

// Rows of the entry that its values hold.
RowRange EntryRows(const grid_entry& entry) {
  const RowRange held = entry.values.rows();
  return {std::max(static_cast<int>(entry.first_row), held.first), std::min(static_cast<int>(entry.last_row), held.last)};
}

// Applies op(value&) to every valid own cell of `grid` in the entry's rows.
template <typename Op>
void ForEachOwnCell(const OwnCells& own, RowRange rows, GridView grid, Op op) {
  for_each_row(rows, [&](int r) {
    const ColumnRange range = own.Range(r);
    const std::span<double> row = grid.row(r);
    for (int c = range.first; c <= range.last; ++c) {
      if (own.Valid(r, c)) op(r, c, row[static_cast<std::size_t>(c)]);
    }
  });
}

// Every cell of the zone-column ranges: the value of init(r, c) for a valid own cell, nodata
// for any other.
template <typename Init>
void StartAccumulator(const OwnCells& own, RowRange rows, GridView grid, Init init) {
  for_each_row(rows, [&](int r) {
    const ColumnRange range = own.Range(r);
    const std::span<double> row = grid.row(r);
    for (int c = range.first; c <= range.last; ++c) {
      row[static_cast<std::size_t>(c)] = own.Valid(r, c) ? init(r, c) : own.nodata();
    }
  });
}

// --- collecting for process 0 -------------------------------------------------------------

// A copy of rows 1..nrows holding the source at the valid own cells and nodata elsewhere.
Grid MaskedCopy(modelobject& object, ConstGridView source, const OwnCells& own) {
  const GridGeometry& g = object.geometry();
  Grid copy = object.matrix(1, g.nrows, 1, g.ncols, g.nrows);
  copy.fill(g.nodata_value);
  const RowRange held = source.rows();
  for_each_row({std::max(1, held.first), std::min(g.nrows, held.last)}, [&](int r) {
    const ColumnRange range = own.Range(r);
    const std::span<const double> from = source.row(r);
    const std::span<double> to = copy.view().row(r);
    for (int c = range.first; c <= range.last; ++c) {
      if (own.Valid(r, c)) to[static_cast<std::size_t>(c)] = from[static_cast<std::size_t>(c)];
    }
  });
  return copy;
}

// The whole grid of a distributed output on process 0 (empty elsewhere). With several
// processes every process takes part in the gather. With one process the cells outside
// the domain become nodata as well, so that the file does not depend on the number of
// processes.
Grid CollectOnProcess0(modelobject& object, ConstGridView source, const OwnCells& own) {
  Grid copy;
  if (object.process_count() > 1) copy = GatherGridCopy(object.context(), source);
  if (object.rank() != 0 || !copy.empty()) return copy;
  return MaskedCopy(object, source, own);
}

void WriteGrid(modelobject& object, const std::string& name, ConstGridView grid) {
  const OutputFormats& f = object.output_formats();
  object.WriteGridFile(name, grid, f.ascii, f.doubles, f.netcdf);
}

// Writes an accumulation: process 0 writes its own matrix without distribution, else the
// collected copy; cells outside the zone-column ranges go out as nodata.
void WriteAccumulation(modelobject& object, const std::string& name, GridView accumulator, bool distributed,
                       const OwnCells& own) {
  const OutputFormats& f = object.output_formats();
  if (!distributed) {
    if (object.rank() == 0) object.WriteGridFileInRange(name, accumulator, f.ascii, f.doubles, f.netcdf);
    return;
  }
  Grid copy = CollectOnProcess0(object, accumulator, own);
  if (object.rank() == 0) object.WriteGridFileInRange(name, copy.view(), f.ascii, f.doubles, f.netcdf);
}

// --- the parts of WriteGridOutputs --------------------------------------------------------

struct CallDate {
  ModelDate date;
  bool at_end = false;
  bool day_end = false;
  bool month_end = false;
  bool year_end = false;
};

CallDate DateOfCall(const modelobject& object) {
  const ModelDate& d = object.current_date();
  const double shift = object.GetHourShift();
  return {d, DateKey(d) >= object.end_date_key(), IsDayEnd(d, shift), IsMonthEnd(d, shift), IsYearEnd(d, shift)};
}

// The dated name of the entry for this call, with its repeat counter.
std::string NextDatedName(grid_entry& entry, std::string_view path, const ModelDate& date, std::size_t max_stem) {
  const std::array<long long, 4> now{date.year, date.month, date.day, date.hour};
  entry.repeat_counter = entry.last_dated_output == now ? entry.repeat_counter + 1 : 0;
  entry.last_dated_output = now;
  return DatedOutputName(path, date, entry.repeat_counter, max_stem);
}

// The identifier of the entry's land-use layer: the text after "_Layer_" in its output
// name up to the first ".", or "1".
std::string LayerOfEntry(const grid_entry& entry) {
  const std::string_view name = entry.outname ? std::string_view(*entry.outname) : std::string_view{};
  constexpr std::string_view kLayerMark = "_Layer_";
  const std::size_t mark = name.find(kLayerMark);
  if (mark == std::string_view::npos) return "1";
  const std::string_view rest = name.substr(mark + kLayerMark.size());
  return std::string(rest.substr(0, rest.find('.')));
}

// Current values (ones digit): whether this call writes them, and under which names.
struct CurrentOutput {
  bool due = false;
  bool dated = false;  // a dated or ".filled" file, followed by the plain one at the end
};

CurrentOutput CurrentOutputDue(int ones, const CallDate& call) {
  switch (ones) {
    case 1: return {true, false};
    case 2: return {true, true};
    case 3: return {call.at_end, false};
    case 4: return {call.day_end, false};
    case 5: return {call.day_end, true};
    case 6: return {call.month_end, true};
    case 7: return {call.year_end, true};
    case 8: return {true, true};
    default: return {};
  }
}

// Sums and means (tens digit): whether the period ends with this call, and the file name.
struct PeriodOutput {
  bool due = false;
  bool mean = false;
  std::string name;
};

PeriodOutput PeriodOutputDue(const grid_entry& entry, const CallDate& call) {
  const int tens = entry.tens;
  if (tens < 1 || tens > 8) return {};
  const bool mean = tens >= 5;
  const int period = mean ? tens - 4 : tens;
  const ModelDate& d = call.date;
  const long long yy = d.year % 100;
  const char* kind = mean ? ".mit" : ".sum";
  switch (period) {
    case 1: return {call.at_end, mean, call.at_end ? OutputName(entry.sum_name, kind) : std::string{}};
    case 2: return {call.year_end, mean, OutputName(entry.sum_name, Printf("_%02lld00%s", yy, kind))};
    case 3: return {call.month_end, mean, OutputName(entry.sum_name, Printf("_%02lld%02lld%s", yy, d.month, kind))};
    default:
      return {call.day_end, mean,
              OutputName(entry.sum_name, Printf("_%02lld%02lld.%02lld%c", yy, d.month, d.day, mean ? 'm' : 's'))};
  }
}

// Vegetation period (thousands digit): sums the values of the days inside the period of
// the entry's land-use layer; writes them when the land-use update raises the write mark,
// and at the end of the run at the latest, so that no period's sums are lost; resets them
// when it raises the reset mark.
void VegetationPeriod(modelobject& object, grid_entry& entry, const OwnCells& own, RowRange rows,
                      const CallDate& call, bool distributed) {
  if (entry.vegetation_start.empty()) {
    const std::string layer = LayerOfEntry(entry);
    grid_table& table = *object.grids();
    entry.vegetation_start = table[object.RequireGrid("VegetationStart" + layer)].values;
    entry.vegetation_stop = table[object.RequireGrid("VegetationStop" + layer)].values;
    entry.vegetation_duration = table[object.RequireGrid("VegetationDuration" + layer)].values;
  }
  const ConstGridView start = entry.vegetation_start;
  const ConstGridView stop = entry.vegetation_stop;
  const ConstGridView duration = entry.vegetation_duration;
  const ConstGridView values = entry.values;
  const double nodata = own.nodata();
  const GridView sum = entry.vegetation_period.view();
  ForEachOwnCell(own, rows, sum, [&](int r, int c, double& s) {
    const double v = values(r, c);
    if (start.rows().contains(r) && stop.rows().contains(r) && start(r, c) >= 0 && stop(r, c) <= 0 && v != nodata) {
      s += v;
    }
  });

  const char* kind = entry.thousands == 2 ? "_vegper.mit" : "_vegper.sum";
  const std::string name = OutputName(entry.vegetation_period_name, Printf("_%04lld%s", call.date.year % 100, kind));
  // The mean of a cell is its sum over the steps it spent in the period; a cell that spent
  // none has no mean.
  const auto to_mean = [&](int r, int c, double& s) {
    const double steps = duration.rows().contains(r) ? duration(r, c) : 0.0;
    s = steps > 0 ? s / steps : nodata;
  };
  if (entry.vegetation_write != 0) {
    entry.vegetation_write = 0;
    if (entry.thousands == 2) ForEachOwnCell(own, rows, sum, to_mean);
    WriteAccumulation(object, name, sum, distributed, own);
  } else if (call.at_end) {
    // The sums so far are written from a copy, so that the period may go on should the
    // run be repeated (spin-up).
    const GridGeometry& g = object.geometry();
    const RowRange held = sum.rows();
    Grid copy = object.matrix(held.first, held.last, 1, g.ncols, g.nrows);
    for_each_row(held, [&](int r) { std::ranges::copy(sum.row(r), copy.view().row(r).begin()); });
    if (entry.thousands == 2) ForEachOwnCell(own, rows, copy.view(), to_mean);
    WriteAccumulation(object, name, copy.view(), distributed, own);
  }
  if (entry.vegetation_reset != 0) {
    StartAccumulator(own, rows, sum, [](int, int) { return 0.0; });
    entry.vegetation_reset = 0;
  }
}

}  // namespace

// --- WriteGridOutputs ---------------------------------------------------------------------

void modelobject::WriteGridOutputs(int index, bool distributed, bool skip_accumulation_outputs) {
  if (index < 1 || index >= grid_table::size() || grids() == nullptr) return;
  grid_entry& entry = (*grids())[index];
  if (entry.ones == 0 && entry.tens == 0 && entry.minimum_flag == 0 && entry.maximum_flag == 0 &&
      entry.thousands == 0) {
    return;
  }
  if (!entry.has_values()) return;

  const OwnCells own(*this, distributed);
  const RowRange rows = EntryRows(entry);
  const CallDate call = DateOfCall(*this);
  const double nodata = geometry().nodata_value;
  const GridView values = entry.values;
  entry.step_count += 1;

  // A grid that mirrors level 1 of its stack takes the stack's values before accumulating.
  if (!entry.stack.empty() && entry.no_stack_copy == 0 &&
      (entry.tens > 0 || entry.minimum_flag > 0 || entry.maximum_flag > 0)) {
    const StackView stack = entry.stack;
    ForEachOwnCell(own, rows, values, [&](int r, int c, double& v) { v = stack(r, c, 1); });
  }

  if (entry.tens != 0) {
    const GridView sum = entry.sum.view();
    for_each_row(rows, [&](int r) {
      const ColumnRange range = own.Range(r);
      const std::span<double> s = sum.row(r);
      const std::span<const double> v = values.row(r);
      for (int c = range.first; c <= range.last; ++c) {
        const auto i = static_cast<std::size_t>(c);
        s[i] = own.Valid(r, c) ? s[i] + v[i] : nodata;
      }
    });
  }

  const auto value_at = [&](int r, int c) { return values(r, c); };
  if (entry.min_max_started == 0) {
    if (entry.minimum_flag == 1) StartAccumulator(own, rows, entry.minimum.view(), value_at);
    if (entry.maximum_flag == 1) StartAccumulator(own, rows, entry.maximum.view(), value_at);
    entry.min_max_started = 1;
  } else {
    if (entry.minimum_flag == 1) {
      ForEachOwnCell(own, rows, entry.minimum.view(), [&](int r, int c, double& m) { m = std::min(m, values(r, c)); });
    }
    if (entry.maximum_flag == 1) {
      ForEachOwnCell(own, rows, entry.maximum.view(), [&](int r, int c, double& m) { m = std::max(m, values(r, c)); });
    }
  }

  if (entry.thousands != 0) VegetationPeriod(*this, entry, own, rows, call, distributed);

  // Current values.
  const CurrentOutput current = CurrentOutputDue(entry.ones, call);
  if (current.due && entry.outname) {
    const std::string& plain = *entry.outname;
    std::string name = plain;
    if (entry.ones == 8) {
      name += ".filled";
    } else if (current.dated) {
      name = NextDatedName(entry, plain, call.date, std::string_view::npos);
    }
    Grid gathered;
    if (distributed) gathered = CollectOnProcess0(*this, values, own);
    if (rank() == 0) {
      const ConstGridView out = distributed ? ConstGridView(gathered.view()) : ConstGridView(values);
      WriteGrid(*this, name, out);
      if (current.dated && call.at_end) WriteGrid(*this, plain, out);
    }
  }

  if (!skip_accumulation_outputs && call.at_end) {
    if (entry.minimum_flag == 1) {
      WriteAccumulation(*this, OutputName(entry.minimum_name, ".min"), entry.minimum.view(), distributed, own);
    }
    if (entry.maximum_flag == 1) {
      WriteAccumulation(*this, OutputName(entry.maximum_name, ".max"), entry.maximum.view(), distributed, own);
    }
  }

  if (skip_accumulation_outputs) return;
  const PeriodOutput period = PeriodOutputDue(entry, call);
  if (!period.due) return;
  const GridView sum = entry.sum.view();
  if (period.mean) {
    const double count = entry.step_count;
    ForEachOwnCell(own, rows, sum, [&](int, int, double& s) { s /= count; });
  }
  WriteAccumulation(*this, period.name, sum, distributed, own);
  entry.step_count = 0;
  ForEachOwnCell(own, rows, sum, [&](int, int, double& s) { s = 0; });
}

// --- stacks -------------------------------------------------------------------------------

namespace {

bool HasDatedStackOutput(const grid_entry& entry) {
  return !entry.stack.empty() && entry.file_name && (entry.ones == 2 || entry.ones == 5);
}

// directory + the stem's first four characters: what tells dated stack files apart.
std::string DatedStackKey(const grid_entry& entry) { return OutputName(*entry.file_name, "", kStackStemLength); }

// Refuses another stack with dated outputs under the same names as entry `index`.
void CheckDatedStackOutputName(modelobject& object, int index) {
  const grid_table& table = *object.grids();
  const grid_entry& entry = table[index];
  const std::string key = DatedStackKey(entry);
  for (int other = 1; other <= kLastGridIndex; ++other) {
    const grid_entry& clash = table[other];
    if (other == index || !HasDatedStackOutput(clash) || DatedStackKey(clash) != key) continue;
    const auto identifier = [](const grid_entry& e) { return e.identifier.value_or(std::string{}); };
    object.log() << "FATAL: the stacks " << identifier(entry) << " (file " << *entry.file_name << ") and "
                 << identifier(clash) << " (file " << *clash.file_name
                 << ") would be written to the same dated files " << key
                 << "_YYYYMMDD.HHH,\nsince dated stack files keep only the first " << static_cast<int>(kStackStemLength)
                 << " characters of the file name. Please give one of them another name." << "[end-entry]";
    RaiseError(kDatedStackNameClash);
  }
}

}  // namespace

void CheckDatedStackOutputNames(modelobject& object) {
  if (object.grids() == nullptr) return;
  for (int index = 1; index <= kLastGridIndex; ++index) {
    if (HasDatedStackOutput((*object.grids())[index])) CheckDatedStackOutputName(object, index);
  }
}

void modelobject::WriteStackOutputs(int index) {
  if (index < 1 || index >= grid_table::size() || grids() == nullptr) return;
  grid_entry& entry = (*grids())[index];
  if (entry.ones == 0 && entry.tens == 0) return;
  if (entry.stack.empty() || !entry.file_name) return;
  const CallDate call = DateOfCall(*this);
  switch (entry.ones) {
    case 1:
    case 2: break;
    case 3:
      if (!call.at_end) return;
      break;
    case 4:
    case 5:
      if (!call.day_end) return;
      break;
    default: return;
  }
  const std::string& file = *entry.file_name;
  const bool dated = entry.ones == 2 || entry.ones == 5;
  std::string name = file;
  if (dated) {
    CheckDatedStackOutputName(*this, index);
    name = NextDatedName(entry, file, call.date, kStackStemLength);
  }

  const OutputFormats& f = output_formats();
  // Binary stacks are written by every process from its own cells; the other forms by
  // process 0 from the whole stack.
  Stack gathered;
  if (process_count() > 1 && (f.ascii || f.netcdf)) {
    gathered = GatherStackCopy(context(), entry.stack, entry.identifier.value_or(std::string{}));
  }
  const ConstStackView out = gathered.empty() ? ConstStackView(entry.stack) : ConstStackView(gathered.view());
  WriteStackFile(name, out, entry.levels, f.ascii, f.doubles, f.netcdf);
  if (dated && call.at_end) WriteStackFile(file, out, entry.levels, f.ascii, f.doubles, f.netcdf);
}

}  // namespace tolvo
