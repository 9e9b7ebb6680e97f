#include "setup/grid_lists.h"

#include <mpi.h>

#include <algorithm>
#include <cassert>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "framework/error_code.h"
#include "framework/grid_distribution.h"
#include "framework/grid_reader.h"
#include "framework/grid_table.h"
#include "framework/halo_exchange.h"
#include "framework/modelobject.h"
#include "framework/parallel.h"
#include "tables/code_grids.h"
#include "tables/multilayer_landuse.h"

namespace tolvo {

namespace {

// Reads the values of a line item by item as a C scanf would: white space is skipped, a
// number is the longest leading part that forms one, a token runs to the next blank.
// After the first value that cannot be read every later one fails as well.
class LineScanner {
 public:
  explicit LineScanner(const std::string& text, std::size_t position = 0) : text_(&text), pos_(position) {}

  std::optional<std::string> Token() {
    if (!SkipSpace()) return Fail<std::string>();
    const std::size_t start = pos_;
    while (pos_ < text_->size() && !IsSpace((*text_)[pos_])) ++pos_;
    return text_->substr(start, pos_ - start);
  }

  std::optional<int> Int() {
    if (!SkipSpace()) return Fail<int>();
    const char* begin = text_->c_str() + pos_;
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(begin, &end, 10);
    if (end == begin || errno == ERANGE || value < INT_MIN || value > INT_MAX) return Fail<int>();
    pos_ += static_cast<std::size_t>(end - begin);
    return static_cast<int>(value);
  }

  std::optional<double> Real() {
    if (!SkipSpace()) return Fail<double>();
    const char* begin = text_->c_str() + pos_;
    char* end = nullptr;
    const double value = std::strtod(begin, &end);
    if (end == begin) return Fail<double>();
    pos_ += static_cast<std::size_t>(end - begin);
    return value;
  }

  // What follows the values read so far.
  std::string Rest() const { return text_->substr(std::min(pos_, text_->size())); }

 private:
  static bool IsSpace(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }
  bool SkipSpace() {
    if (failed_) return false;
    while (pos_ < text_->size() && IsSpace((*text_)[pos_])) ++pos_;
    return pos_ < text_->size();
  }
  template <typename T>
  std::optional<T> Fail() {
    failed_ = true;
    return std::nullopt;
  }

  const std::string* text_;
  std::size_t pos_;
  bool failed_ = false;
};

// The value text of a keyword: the keyword text from the keyword's first occurrence on,
// cut after its first "="; none when the keyword does not occur.
std::optional<std::string> KeywordValues(const std::string& keywords, std::string_view keyword) {
  const std::size_t at = keywords.find(keyword);
  if (at == std::string::npos) return std::nullopt;
  std::string text = keywords.substr(at);
  if (const std::size_t equals = text.find('='); equals != std::string::npos) text.erase(0, equals + 1);
  return text;
}

void ReadKeywords(const std::string& keywords, StandardGridLine& line) {
  const auto integer = [&](std::string_view keyword, auto&& store) {
    if (const std::optional<std::string> text = KeywordValues(keywords, keyword)) {
      store(LineScanner(*text).Int().value_or(0));
    }
  };
  integer("fillcode", [&](int v) { line.fill_code = v; });
  integer("readcode", [&](int v) { line.read_code = v; });
  if (const std::optional<std::string> text = KeywordValues(keywords, "defaultValue")) {
    line.default_value = LineScanner(*text).Real().value_or(0.0);
  }
  integer("writecode", [&](int v) { line.write_code = v; });
  if (const std::optional<std::string> text = KeywordValues(keywords, "outname")) {
    line.outname = LineScanner(*text).Token().value_or("");
  }
  if (const std::optional<std::string> text = KeywordValues(keywords, "statfile")) {
    line.statfile = LineScanner(*text).Token().value_or("");
  }
  integer("statcode", [&](int v) { line.statcode = v; });
  if (const std::optional<std::string> text = KeywordValues(keywords, "periodicity")) {
    LineScanner values(*text);
    Periodicity& periodicity = line.periodicity.emplace();
    periodicity.count = values.Int().value_or(0);
    periodicity.unit = values.Token().value_or("");
    periodicity.step = values.Int().value_or(0);
    if (const std::optional<std::string> persistence = KeywordValues(keywords, "persistent")) {
      LineScanner flags(*persistence);
      periodicity.persistent = flags.Int().value_or(0) != 0;
      periodicity.persistence_steps = flags.Int().value_or(0);
    }
  }
}

// The next line that holds more than white space; none at the end of the file.
std::optional<std::string> NextLine(ControlFileStream& stream) {
  bool had_line_end = false;
  while (std::optional<std::string> line = stream.ReadLine(had_line_end)) {
    if (std::any_of(line->begin(), line->end(), [](char c) { return !std::isspace(static_cast<unsigned char>(c)); })) {
      return line;
    }
  }
  return std::nullopt;
}

// First and last column of the process's own cells in row r.
ColumnRange OwnColumns(const RunContext& run, int r) {
  const DomainLayout* layout = run.domain_layout;
  if (layout == nullptr || layout->column_ranges.empty()) return {1, run.geometry.ncols};
  return layout->column_ranges[static_cast<std::size_t>(r)];
}

// Whether the process computes the domain cell (r, c).
bool ComputesCell(const RunContext& run, int r, int c) {
  const DomainLayout* layout = run.domain_layout;
  return layout == nullptr || layout->regions.empty() || layout->regions(r, c) == run.rank;
}

std::string NoFreeGridEntryMessage() {
  return "no free grid found in memory (an Position " + std::to_string(kLastGridIndex + 1) + ")\n";
}

[[noreturn]] void NoFreeGridEntry(modelobject& reader) {
  reader.log() << "FATAL: " << NoFreeGridEntryMessage() << "[end-entry]";
  RaiseError(kGridEntryError);
}

// Closes the reader's control-file stream when the reading ends, also by a failure.
class ControlFileCloser {
 public:
  explicit ControlFileCloser(modelobject& reader) : reader_(reader) {}
  ~ControlFileCloser() { reader_.CloseControlFile(); }
  ControlFileCloser(const ControlFileCloser&) = delete;
  ControlFileCloser& operator=(const ControlFileCloser&) = delete;

 private:
  modelobject& reader_;
};

void CopyOwnCells(const RunContext& run, ConstGridView from, GridView to) {
  for_each_row(run.strip, [&run, from, to](int r) {
    const ColumnRange columns = OwnColumns(run, r);
    const std::span<const double> source = from.row(r);
    const std::span<double> target = to.row(r);
    for (int c = std::max(columns.first, 1); c <= columns.last; ++c) target[c] = source[c];
  });
}

}  // namespace

void RenewLanduseLayerGrid(const RunContext& run, GridView layer, int layer_number, ConstGridView landuse,
                           const MultilayerLanduseTable& multilayer) {
  const ConstGridView zone = run.grids->zone_grid().values;
  const double nodata = run.geometry.nodata_value;
  const std::span<const MultilayerLanduseRecord> records = multilayer.entries();
  for_each_row(run.strip, [&run, &multilayer, records, zone, landuse, layer, layer_number, nodata](int r) {
    const ColumnRange columns = OwnColumns(run, r);
    const std::span<const double> zone_row = zone.row(r);
    const std::span<const double> landuse_row = landuse.row(r);
    const std::span<double> row = layer.row(r);
    for (int c = std::max(columns.first, 1); c <= columns.last; ++c) {
      if (zone_row[c] > nodata && ComputesCell(run, r, c)) {
        // After the code check every domain cell holds the index of a multilayer record.
        const int index = static_cast<int>(landuse_row[c]);
        assert(index >= 1 && index <= multilayer.size() && layer_number <= multilayer.layers());
        const MultilayerLanduseRecord& record = records[static_cast<std::size_t>(index - 1)];
        row[c] = record.GetLayerCodes()[static_cast<std::size_t>(layer_number)];
      } else {
        row[c] = nodata;
      }
    }
  });
}

PeriodField WatchedField(std::string_view unit) {
  if (unit.find('H') != std::string_view::npos) return PeriodField::Hour;
  if (unit.find('D') != std::string_view::npos) return PeriodField::Hour;
  if (unit.find('M') != std::string_view::npos) return PeriodField::DayOfMonth;
  if (unit.find('Y') != std::string_view::npos) return PeriodField::Month;
  return PeriodField::None;
}

std::optional<StandardGridLine> ParseStandardGridLine(const std::string& line) {
  LineScanner scanner(line);
  std::optional<std::string> file_name = scanner.Token();
  std::optional<std::string> identifier = scanner.Token();
  if (!file_name || !identifier) return std::nullopt;
  StandardGridLine grid;
  grid.file_name = std::move(*file_name);
  grid.identifier = std::move(*identifier);
  LineScanner old_form = scanner;
  std::string keywords;
  if (const std::optional<int> fill_code = old_form.Int()) {
    grid.fill_code = fill_code;
    keywords = old_form.Rest();
  } else {
    keywords = scanner.Rest();
  }
  grid.outname = grid.file_name;
  ReadKeywords(keywords, grid);
  return grid;
}

// --- set-up -------------------------------------------------------------------------------

void GridLists::ReadStandardGrids(modelobject& reader) {
  grid_table& table = *reader.grids();
  const auto base_grid = [&](int position, const char* section) {
    reader.FindSection(section, true);
    std::string file_name;
    reader.ReadItem(file_name, " Name for ", kMaxLineLength);
    table[position].file_name = std::move(file_name);
    table[position].identifier = section;
  };
  base_grid(kZoneGridIndex, "[zone_grid]");
  base_grid(2, "[elevation_model]");

  reader.FindSection("[standard_grids]", true);
  int n = 0;
  reader.ReadItem(n, "couner/number of grids ");
  // A count below one names no grid.
  n = std::max(n, 0);
  if (n + 2 > kLastGridIndex) NoFreeGridEntry(reader);
  grid_count_ = n;
  standard_.clear();
  standard_.resize(static_cast<std::size_t>(n));
  for (int k = 1; k <= n; ++k) ReadStandardGridLine(reader, k);
}

void GridLists::ReadStandardGridLine(modelobject& reader, int k) {
  const std::optional<std::string> text = NextLine(reader.control_file());
  const std::optional<StandardGridLine> line = text ? ParseStandardGridLine(*text) : std::nullopt;
  const std::string number = std::to_string(k);
  if (!line) reader.ControlFileItemError("\nerror reading a grid name or identifier " + number + " in\n", reader.name());
  if (!line->fill_code) {
    // A file name with a blank in it splits into a name, an identifier and a rest that
    // holds no fill code: say what was read, so that the split shows.
    reader.ControlFileItemError("\nerror reading the fillcode for standard grid " + number +
                                    " (found neither in old nor in new style standard grid definition) in the line \"" +
                                    *text + "\": read the file name \"" + line->file_name + "\" and the identifier \"" +
                                    line->identifier + "\" (names cannot contain blanks) in\n",
                                reader.name());
  }
  const Periodicity periodicity = line->periodicity.value_or(Periodicity{});
  if (line->file_name.size() > kMaxLineLength || line->identifier.size() > kMaxGridIdentifierLength ||
      line->outname.size() > kMaxLineLength || line->statfile.value_or("").size() > kMaxLineLength ||
      periodicity.unit.size() > kMaxPeriodUnitLength) {
    reader.ControlFileItemError("\nfile name, identifier, output name, statistics file or period unit of standard grid " +
                                    number + " too long (at most 1200, 100, 1200, 1200 and 99 characters) in\n",
                                reader.name());
  }

  const int position = k + 2;
  grid_entry& entry = (*reader.grids())[position];
  entry.file_name = line->file_name;
  entry.identifier = line->identifier;
  entry.fillcode = *line->fill_code;
  entry.readcode = line->read_code;
  entry.defaultValue = line->default_value;
  entry.outname = line->outname;
  entry.outname_owned = 0;
  entry.statfile = line->statfile.value_or("");
  entry.statcode = line->statcode;
  entry.periodicity = periodicity.count;
  entry.periodicity_unit = periodicity.unit;
  entry.periodicity_step = periodicity.step;
  entry.persistent = periodicity.persistent;
  entry.persistence_steps = periodicity.persistence_steps;
  entry.dated_periodic_name.clear();
  entry.restore_pending = false;
  entry.steps_since_reread = 0;
  entry.period_end_counter = 0;
  entry.calendar_rise_counter = 0;
  entry.last_calendar_value = kNoWatchedValue;

  StandardGrid& grid = standard_[static_cast<std::size_t>(k - 1)];
  grid.write_code = line->write_code;
  grid.watched = WatchedField(periodicity.unit);

  grid_table& table = *reader.grids();
  if (line->identifier == "latitude") {
    reader.log() << "found latitude grid on position: " << k << "[end-entry]";
    table.latitude_present = true;
    table.latitude_index = position;
  }
  if (line->identifier == "longitude") {
    reader.log() << "found longitude grid on position: " << k << "[end-entry]";
    table.longitude_present = true;
    table.longitude_index = position;
  }
}

void GridLists::ReadStandardGridValues(modelobject& reader) {
  for (int k = 1; k <= standard_grid_count(); ++k) ReadStandardGridValue(reader, k);
  reader.log() << "before reading variable grids" << reader.rank() << "[end-entry]";
  MPI_Barrier(MPI_COMM_WORLD);
}

void GridLists::ReadStandardGridValue(modelobject& reader, int k) {
  const int position = k + 2;
  grid_entry& entry = (*reader.grids())[position];
  if (entry.has_values() || entry.identifier == "river_links") return;
  const GridGeometry& geometry = reader.geometry();
  const std::string& identifier = *entry.identifier;
  Grid& values = standard_[static_cast<std::size_t>(k - 1)].values;
  const int write_code = standard_[static_cast<std::size_t>(k - 1)].write_code;

  if (entry.readcode < 1) {
    const RowRange rows = reader.held_rows_or_none();
    values = reader.matrix(rows.first, rows.last, 1, geometry.ncols, geometry.nrows);
    const ConstGridView zone = reader.grids()->zone_grid().values;
    const double default_value = entry.defaultValue;
    const double nodata = geometry.nodata_value;
    const GridView target = values.view();
    for_each_row(rows, [zone, target, default_value, nodata](int r) {
      const std::span<const double> zone_row = zone.row(r);
      const std::span<double> row = target.row(r);
      for (std::size_t c = 1; c < row.size(); ++c) row[c] = zone_row[c] == nodata ? nodata : default_value;
    });
    reader.RegisterGrid(position, identifier, values.view(), {}, 0, identifier, write_code, rows.first, rows.last);
    ExchangeHalo(reader.context(), values.view());
  } else {
    ReadGrid(reader.grid_input(), *entry.file_name, values,
             {.fill_mode = entry.fillcode,
              .allocate = true,
              .log = true,
              .default_value = entry.defaultValue,
              .strict_fill = true,
              .whole_on_process0 = true,
              .halo_rows = true});
    reader.RegisterGrid(position, *entry.file_name, values.view(), {}, 0, identifier, write_code, values.rows().first,
                        values.rows().last);
  }

  if (!entry.persistent) {
    const RowRange rows = values.rows();
    entry.saved_values = reader.matrix(rows.first, rows.last, 1, geometry.ncols, geometry.nrows);
    for (int r = rows.first; r <= rows.last; ++r) {
      std::ranges::copy(std::as_const(values).view().row(r), entry.saved_values.view().row(r).begin());
    }
  }
}

int GridLists::ReadVariableGrids(modelobject& reader, const std::string& control_file) {
  if (!reader.OpenControlFile(control_file)) {
    reader.log() << "FATAL: error opening " << control_file << "[end-entry]";
    RaiseError(kControlFileOpenError);
  }
  const ControlFileCloser closer(reader);
  reader.FindSection("[variable_grids]", true);
  int m = 0;
  reader.ReadItem(m, " number of variable grids ");
  // A count below one names no grid.
  m = std::max(m, 0);
  variable_values_.clear();
  variable_read_codes_.clear();
  variable_grid_count_ = 0;
  first_variable_grid_ = 0;
  if (m > 0) {
    // The variable grids follow each other from the first free entry on.
    const int first = reader.grids()->TakeFreeEntries(m, {}, reader.log(), NoFreeGridEntryMessage());
    first_variable_grid_ = first;
    variable_read_codes_.assign(static_cast<std::size_t>(m) + 1, 0);
    variable_values_.resize(static_cast<std::size_t>(m));
    for (int f = 1; f <= m; ++f) ReadVariableGridLine(reader, f, first + f - 1);
  }
  variable_grid_count_ = m;
  grid_count_ += m;
  return m;
}

void GridLists::ReadVariableGridLine(modelobject& reader, int f, int position) {
  const std::optional<std::string> text = NextLine(reader.control_file());
  const std::string empty;
  LineScanner scanner(text ? *text : empty);
  const std::optional<std::string> file_name = scanner.Token();
  const std::optional<std::string> identifier = scanner.Token();
  const std::optional<int> fill_code = scanner.Int();
  const std::optional<double> default_value = scanner.Real();
  const std::string number = std::to_string(f);
  if (!default_value) {
    std::string read = "\nfile for vargrid " + number +
                       " or the identifier or the fillcode or the defaultvalue (which is new in version 7.7)";
    if (text) {
      read += " in the line \"" + *text + "\": read the file name \"" + file_name.value_or("") +
              "\" and the identifier \"" + identifier.value_or("") + "\" (names cannot contain blanks)";
    }
    reader.ControlFileItemError(read + " in ", reader.name());
  }
  if (file_name->size() > kMaxLineLength || identifier->size() > kMaxGridIdentifierLength) {
    reader.ControlFileItemError("\nfile name or identifier of vargrid " + number +
                                    " too long (at most 1200 and 100 characters) in ",
                                reader.name());
  }
  int write_code = 0;
  int read_code = 0;
  reader.ReadItem(write_code, "Writegrid for a variable grid ");
  reader.ReadItem(read_code, "Readgrid for a variable grid ");
  variable_read_codes_[static_cast<std::size_t>(f)] = read_code;

  const GridGeometry& geometry = reader.geometry();
  Grid& values = variable_values_[static_cast<std::size_t>(f - 1)];
  if (read_code == 1) {
    ReadGrid(reader.grid_input(), *file_name, values,
             {.fill_mode = *fill_code,
              .allocate = true,
              .log = true,
              .strict_fill = true,
              .whole_on_process0 = true,
              .halo_rows = true});
  } else {
    const RowRange rows = reader.held_rows_or_none();
    values = reader.matrix(rows.first, rows.last, 1, geometry.ncols, geometry.nrows);
    const ConstGridView zone = reader.grids()->zone_grid().values;
    const double fill = *default_value;
    const double nodata = geometry.nodata_value;
    const GridView target = values.view();
    for_each_row(rows, [zone, target, fill, nodata](int r) {
      const std::span<const double> zone_row = zone.row(r);
      const std::span<double> row = target.row(r);
      for (std::size_t c = 1; c < row.size(); ++c) row[c] = zone_row[c] > nodata ? fill : nodata;
    });
  }
  reader.RegisterGrid(position, *file_name, values.view(), {}, 0, *identifier, write_code, values.rows().first,
                      values.rows().last);
  grid_entry& entry = (*reader.grids())[position];
  entry.fillcode = *fill_code;
  entry.defaultValue = *default_value;
  entry.readcode = read_code;
}

// --- during the run --------------------------------------------------------------------

void GridLists::UpdatePeriodicGrids(modelobject& reader, const ModelDate& date, int /*step_minutes*/) {
  grid_table& table = *reader.grids();
  const int last = std::min(grid_count_ + 2, standard_grid_count() + 2);
  for (int position = 3; position <= last; ++position) {
    grid_entry& entry = table[position];
    if (entry.periodicity <= 0) continue;
    StandardGrid& grid = standard_[static_cast<std::size_t>(position - 3)];
    // A grid whose values another part of the set-up holds ("river_links") is not re-read.
    if (grid.values.empty()) continue;
    if (ReReadDue(entry, grid.watched, date)) {
      ReRead(reader, position, grid, date);
    } else if (entry.restore_pending) {
      ++entry.steps_since_reread;
      if (entry.steps_since_reread == entry.persistence_steps) RestoreSavedValues(reader, position);
    }
  }
}

bool GridLists::ReReadDue(grid_entry& entry, PeriodField watched, const ModelDate& date) {
  long long value = 0;
  switch (watched) {
    case PeriodField::None:
      return false;
    case PeriodField::Hour:
      value = date.hour;
      break;
    case PeriodField::DayOfMonth:
      value = date.day;
      break;
    case PeriodField::Month:
      value = date.month;
      break;
  }
  if (value > entry.last_calendar_value) ++entry.calendar_rise_counter;
  if (value < entry.last_calendar_value) {
    ++entry.period_end_counter;
    entry.calendar_rise_counter = 1;
    // The N-th period passed without its re-read (the run began late in it, or the field
    // never rose M times): this period end begins the count again.
    if (entry.period_end_counter > entry.periodicity) entry.period_end_counter = 1;
  }
  entry.last_calendar_value = static_cast<int>(value);
  return entry.period_end_counter == entry.periodicity && entry.calendar_rise_counter == entry.periodicity_step;
}

void GridLists::ReRead(modelobject& reader, int position, StandardGrid& grid, const ModelDate& date) {
  grid_entry& entry = (*reader.grids())[position];
  std::vector<char> name(entry.file_name->size() + 64);
  std::snprintf(name.data(), name.size(), "%s_%04lld%02lld%02lld%02lld", entry.file_name->c_str(), date.year,
                date.month, date.day, date.hour);
  entry.dated_periodic_name = name.data();
  ReadGrid(reader.grid_input(), entry.dated_periodic_name, grid.values,
           {.fill_mode = entry.fillcode,
            .log = true,
            .default_value = entry.defaultValue,
            .strict_fill = true,
            .whole_on_process0 = true,
            .halo_rows = true});
  if (position == landuse_.position) {
    // The sub-models and the layer grids read land-use values as table indices.
    if (landuse_.landuse != nullptr) {
      check_landuse_Codes(reader, CodeGrid{grid.values.view(), entry.dated_periodic_name, *entry.identifier},
                          reader.grids()->zone_grid().values, *landuse_.landuse, landuse_.multilayer);
    }
    RenewLanduseLayers(reader, std::as_const(grid.values).view());
  }
  ExchangeHalo(reader.context(), grid.values.view());
  entry.period_end_counter = 0;
  entry.calendar_rise_counter = 0;
  if (!entry.persistent) {
    entry.steps_since_reread = 0;
    entry.restore_pending = true;
  }
}

void GridLists::RenewLanduseLayers(modelobject& reader, ConstGridView landuse) {
  if (landuse_.multilayer == nullptr) return;
  for (std::size_t j = 0; j < landuse_.layers.size(); ++j) {
    RenewLanduseLayerGrid(reader.context(), landuse_.layers[j], static_cast<int>(j) + 1, landuse, *landuse_.multilayer);
    // Neighbouring processes read the layer grids in their halo rows, as after set-up.
    ExchangeHalo(reader.context(), landuse_.layers[j]);
  }
}

void GridLists::RestoreSavedValues(modelobject& reader, int position) {
  grid_entry& entry = (*reader.grids())[position];
  CopyOwnCells(reader.context(), std::as_const(entry.saved_values).view(), entry.values);
  ExchangeHalo(reader.context(), entry.values);
  entry.restore_pending = false;
}

void GridLists::WriteStandardGrids(modelobject& reader, const ModelDate& date) {
  reader.current_date() = date;
  // Every entry the set-up filled before the variable grids; only the standard grids
  // among them carry a write code.
  const int last = variable_grid_count_ > 0 ? first_variable_grid_ - 1 : grid_count_ + 2;
  for (int position = 2; position <= last; ++position) reader.WriteGridOutputs(position, true, false);
}

void GridLists::WriteVariableGrids(modelobject& reader, const ModelDate& date) {
  reader.current_date() = date;
  for (int i = 0; i < variable_grid_count_; ++i) reader.WriteGridOutputs(first_variable_grid_ + i, true, false);
}

}  // namespace tolvo
