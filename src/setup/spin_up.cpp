#include "setup/spin_up.h"

#include <mpi.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <limits>
#include <map>
#include <optional>
#include <tuple>
#include <unordered_map>

#include "framework/error_code.h"
#include "framework/grid_distribution.h"
#include "framework/grid_table.h"
#include "framework/modelobject.h"

namespace tolvo {

namespace {

constexpr const char* kUnitsIdentifier = "HydrologicResponseUnits";
constexpr const char* kMastersIdentifier = "MasterHydrologicResponseUnits";
constexpr const char* kMadeUnitsFile = "All_HydrologicResponseUnits";
constexpr const char* kMadeMastersFile = "Master_HydrologicResponseUnits";

int TakeFreeEntry(modelobject& reader, int start, const char* what) {
  return reader.grids()->TakeFreeEntries(1, {.first = start}, reader.log(),
                                         "when trying to create " + std::string(what) +
                                             " grid: no free grid found in memory (max position " +
                                             std::to_string(kLastGridIndex + 1) + ")");
}

// Calls f(r, c) for the cells of rows `rows` within each row's zone-column range, rows top
// to bottom and columns left to right.
template <typename F>
void ScanCells(const modelobject& reader, RowRange rows, F&& f) {
  const int ncols = reader.geometry().ncols;
  std::span<const ColumnRange> ranges;
  if (const DomainLayout* layout = reader.domain_layout()) ranges = layout->column_ranges;
  for (int r = rows.first; r <= rows.last; ++r) {
    ColumnRange range{1, ncols};
    if (!ranges.empty()) {
      range = static_cast<std::size_t>(r) < ranges.size() ? ranges[static_cast<std::size_t>(r)] : ColumnRange{};
    }
    for (int c = std::max(range.first, 1); c <= std::min(range.last, ncols); ++c) f(r, c);
  }
}

// The units this process meets, in the order of their first cells.
class LocalUnits {
 public:
  struct Unit {
    std::string key;
    int row;
    int col;
  };
  // The local number (1-based) of the unit with the key; a new key starts a unit at (r, c).
  int Number(const std::string& key, int r, int c) {
    const auto [it, added] = numbers_.try_emplace(key, static_cast<int>(units_.size()) + 1);
    if (added) units_.push_back({key, r, c});
    return it->second;
  }
  const std::vector<Unit>& units() const { return units_; }

 private:
  std::unordered_map<std::string, int> numbers_;
  std::vector<Unit> units_;
};

// Collective: the unit list of the whole grid from the units every process met. A key met
// on several processes is one unit whose master cell is the first of its cells in the scan
// order of the whole grid; units are numbered in the order of their master cells.
std::vector<HruRecord> AgreeOnUnits(const std::vector<LocalUnits::Unit>& local) {
  int rank = 0;
  int size = 1;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  MPI_Comm_size(MPI_COMM_WORLD, &size);

  std::vector<int> cells;  // row, column, key length per unit
  std::string keys;
  for (const LocalUnits::Unit& unit : local) {
    cells.insert(cells.end(), {unit.row, unit.col, static_cast<int>(unit.key.size())});
    keys += unit.key;
  }
  const std::array<int, 2> counts = {static_cast<int>(cells.size()), static_cast<int>(keys.size())};
  std::vector<int> all_counts(2 * static_cast<std::size_t>(size));
  MPI_Gather(counts.data(), 2, MPI_INT, all_counts.data(), 2, MPI_INT, 0, MPI_COMM_WORLD);

  std::vector<int> cell_counts(static_cast<std::size_t>(size));
  std::vector<int> key_counts(static_cast<std::size_t>(size));
  std::vector<int> cell_offsets(static_cast<std::size_t>(size));
  std::vector<int> key_offsets(static_cast<std::size_t>(size));
  int total_cells = 0;
  int total_keys = 0;
  for (std::size_t p = 0; p < cell_counts.size(); ++p) {
    cell_counts[p] = all_counts[2 * p];
    key_counts[p] = all_counts[2 * p + 1];
    cell_offsets[p] = total_cells;
    key_offsets[p] = total_keys;
    total_cells += cell_counts[p];
    total_keys += key_counts[p];
  }
  std::vector<int> all_cells(static_cast<std::size_t>(std::max(total_cells, 1)));
  std::string all_keys(static_cast<std::size_t>(std::max(total_keys, 1)), '\0');
  MPI_Gatherv(cells.data(), counts[0], MPI_INT, all_cells.data(), cell_counts.data(), cell_offsets.data(), MPI_INT, 0,
              MPI_COMM_WORLD);
  MPI_Gatherv(keys.data(), counts[1], MPI_CHAR, all_keys.data(), key_counts.data(), key_offsets.data(), MPI_CHAR, 0,
              MPI_COMM_WORLD);

  // Process 0: the first cell of every key, then the keys in the order of those cells.
  std::vector<int> merged_cells;
  std::string merged_keys;
  if (rank == 0) {
    std::map<std::string, std::pair<int, int>> first_cell;
    std::size_t at = 0;
    for (std::size_t i = 0; i < static_cast<std::size_t>(total_cells); i += 3) {
      const std::pair<int, int> cell{all_cells[i], all_cells[i + 1]};
      const auto length = static_cast<std::size_t>(all_cells[i + 2]);
      std::string key = all_keys.substr(at, length);
      at += length;
      const auto [it, added] = first_cell.try_emplace(std::move(key), cell);
      if (!added) it->second = std::min(it->second, cell);
    }
    std::vector<std::tuple<int, int, const std::string*>> order;
    for (const auto& [key, cell] : first_cell) order.emplace_back(cell.first, cell.second, &key);
    std::sort(order.begin(), order.end());
    for (const auto& [row, col, key] : order) {
      merged_cells.insert(merged_cells.end(), {row, col, static_cast<int>(key->size())});
      merged_keys += *key;
    }
  }

  std::array<int, 2> merged_counts = {static_cast<int>(merged_cells.size()), static_cast<int>(merged_keys.size())};
  MPI_Bcast(merged_counts.data(), 2, MPI_INT, 0, MPI_COMM_WORLD);
  merged_cells.resize(static_cast<std::size_t>(merged_counts[0]));
  merged_keys.resize(static_cast<std::size_t>(merged_counts[1]));
  MPI_Bcast(merged_cells.data(), merged_counts[0], MPI_INT, 0, MPI_COMM_WORLD);
  MPI_Bcast(merged_keys.data(), merged_counts[1], MPI_CHAR, 0, MPI_COMM_WORLD);

  std::vector<HruRecord> list{HruRecord{}};
  std::size_t at = 0;
  for (std::size_t i = 0; i < merged_cells.size(); i += 3) {
    const auto length = static_cast<std::size_t>(merged_cells[i + 2]);
    list.push_back({static_cast<long long>(list.size()), merged_keys.substr(at, length), merged_cells[i],
                    merged_cells[i + 1], 0});
    at += length;
  }
  return list;
}

// A class above the limit: the first such cell of the process in its scan.
struct ClassFailure {
  bool failed = false;
  int row = 0;
  int col = 0;
  int grid = 0;  // position in the section, 0-based
  double hru_class = 0;
};

// Collective: when any process met a class above the limit, every process logs the first
// such cell of the whole grid (by its scan order) and fails with 1031, so the entry is
// the same whatever the number of processes and none waits for a failed one.
void AgreeOnClassFailure(modelobject& reader, const ClassFailure& local, const std::vector<HruClassGrid>& grids) {
  struct {
    double cell;
    int rank;
  } mine{std::numeric_limits<double>::infinity(), reader.rank()}, first{};
  if (local.failed) {
    mine.cell = (static_cast<double>(local.row) - 1) * reader.geometry().ncols + local.col;
  }
  MPI_Allreduce(&mine, &first, 1, MPI_DOUBLE_INT, MPI_MINLOC, MPI_COMM_WORLD);
  if (first.cell == std::numeric_limits<double>::infinity()) return;
  std::array<double, 4> detail = {static_cast<double>(local.row), static_cast<double>(local.col),
                                  static_cast<double>(local.grid), local.hru_class};
  MPI_Bcast(detail.data(), 4, MPI_DOUBLE, first.rank, MPI_COMM_WORLD);
  reader.log() << "FATAL: Creating HRUs resulted in a re-classify result of " << detail[3] << " for grid "
               << grids[static_cast<std::size_t>(detail[2])].identifier << " at row=" << static_cast<int>(detail[0])
               << " and col=" << static_cast<int>(detail[1])
               << ". Only 10'000 Classes are allowed for each grid. Choose a larger class width or use lg2 spacing "
                  "to reduce the amount of HRUs."
               << "[end-entry]";
  RaiseError(kHruClassTooLarge);
}

std::string FileForRank(const std::string& file, int rank) {
  char suffix[16];
  std::snprintf(suffix, sizeof suffix, "_%03d", rank);
  return file + suffix;
}

// Gives every scanned cell its unit's number and every master cell of this process the
// number in the master grid. `cell_units` holds the local unit of each scanned cell in
// scan order (0: no unit).
void NumberCells(const modelobject& reader, RowRange rows, const std::vector<int>& cell_units,
                 const LocalUnits& local, const std::vector<HruRecord>& list, GridView units, GridView masters) {
  std::unordered_map<std::string_view, long long> ids;
  for (std::size_t k = 1; k < list.size(); ++k) ids.emplace(list[k].key, list[k].id);
  std::vector<long long> id_of_local(local.units().size() + 1, 0);
  for (std::size_t u = 0; u < local.units().size(); ++u) {
    const LocalUnits::Unit& unit = local.units()[u];
    const long long id = ids.at(unit.key);
    id_of_local[u + 1] = id;
    const HruRecord& record = list[static_cast<std::size_t>(id)];
    if (record.master_row == unit.row && record.master_col == unit.col) {
      masters(unit.row, unit.col) = static_cast<double>(id);
    }
  }
  std::size_t n = 0;
  ScanCells(reader, rows, [&](int r, int c) {
    const int u = cell_units[n++];
    if (u > 0) units(r, c) = static_cast<double>(id_of_local[static_cast<std::size_t>(u)]);
  });
}

}  // namespace

double HruClass(double value, const HruClassGrid& grid) {
  const double v = grid.sqrt_spacing ? std::sqrt(std::fabs(value)) : value;
  // Adding 0 turns a class of -0 into 0, so that both give the same key.
  return std::floor(v / grid.class_width) + 0.0;
}

std::string HruKeyPart(double hru_class) {
  char text[64];
  std::snprintf(text, sizeof text, "%04.0f'", hru_class);
  return text;
}

SpinUpSection ReadSpinUpSection(modelobject& reader) {
  SpinUpSection section;
  if (reader.FindSection("[SpinUp]", false) == 0) return section;
  ControlFileStream& file = reader.control_file();
  const auto read_int = [&](const char* description, bool skip_rest) {
    const std::optional<std::string> token = file.ReadToken();
    const std::optional<int> value = token ? ParseIntPrefix(*token) : std::nullopt;
    if (!value) reader.ControlFileItemError(description, "");
    if (skip_rest) file.SkipLine();
    return *value;
  };
  const int spin_up = read_int("SpinUp-switch not found", true);
  if (spin_up == 0) return section;
  section.settings.spin_up = spin_up;
  section.settings.do_temperature_pre_spin_up = read_int("doTemperaturePreSpinUp not found", false);
  section.settings.repeat_count = read_int("repeatCnt not found", true);
  const int grid_count = read_int("numGrids not found", true);
  section.classify = grid_count != 0;
  for (int g = 1; g <= grid_count; ++g) {
    const std::string identifier = file.ReadToken().value_or("");
    const std::optional<std::string> width_token = identifier.empty() ? std::nullopt : file.ReadToken();
    const double width = (width_token ? ParseDoublePrefix(*width_token) : std::nullopt).value_or(0.0);
    const std::string spacing = width_token ? file.ReadToken().value_or("") : std::string();
    // A class width of 0 (or one that does not scan) or one that is not finite would class
    // every value alike or not at all.
    if (spacing.empty() || width == 0 || !std::isfinite(width)) {
      reader.ControlFileItemError(" error reading HRU defintions ", "");
    }
    file.SkipLine();
    section.grids.push_back({identifier, width, spacing.find("sqrt") != std::string::npos});
  }
  return section;
}

SpinUpSettings HydrologicResponseUnits::InitSpinUp(modelobject& reader,
                                                   const std::function<void()>& count_registered_grid) {
  reader.log() << "DEBUG: Creating HRUs" << "[end-entry]";
  list_.assign(1, HruRecord{});
  const std::string name = reader.control_file_name();
  if (!reader.OpenControlFile(name)) {
    reader.log() << "FATAL: Error opening " << name << "[end-entry]";
    RaiseError(kControlFileOpenError);
  }
  const SpinUpSection section = ReadSpinUpSection(reader);
  reader.CloseControlFile();
  if (section.settings.spin_up == 0) return {};
  if (section.classify) {
    ClassifyFromGrids(reader, section.grids, count_registered_grid);
  } else {
    NumberFromGrid(reader, count_registered_grid);
  }
  return section.settings;
}

void HydrologicResponseUnits::ClassifyFromGrids(modelobject& reader, const std::vector<HruClassGrid>& grids,
                                                const std::function<void()>& count_registered_grid) {
  grid_table& table = *reader.grids();
  std::vector<ConstGridView> values;
  for (const HruClassGrid& grid : grids) {
    const int index = reader.RequireOneOf3Grids(grid.identifier, "[" + grid.identifier + "]", grid.identifier);
    values.push_back(table[index].values);
  }

  const GridGeometry& g = reader.geometry();
  const RowRange held = reader.held_rows();
  const int units_index = TakeFreeEntry(reader, 1, "HRU");
  units_ = reader.matrix(held.first, held.last, 1, g.ncols, g.nrows);
  reader.RegisterGrid(units_index, kMadeUnitsFile, units_.view(), {}, 0, kUnitsIdentifier, 0, held.first, held.last);
  count_registered_grid();
  // The next entry without a file name, so that no grid of the table is replaced.
  const int masters_index = TakeFreeEntry(reader, units_index + 1, "HRU");
  masters_ = reader.matrix(held.first, held.last, 1, g.ncols, g.nrows);
  reader.RegisterGrid(masters_index, kMadeMastersFile, masters_.view(), {}, 0, kMastersIdentifier, 0, held.first,
                      held.last);
  count_registered_grid();

  const double nodata = g.nodata_value;
  const ConstGridView zone = table.zone_grid().values;
  const DomainLayout* layout = reader.domain_layout();
  const ConstGridView regions = layout != nullptr ? layout->regions : ConstGridView();
  const GridView units = units_.view();
  const GridView masters = masters_.view();

  LocalUnits local;
  std::vector<int> cell_units;
  ClassFailure failure;
  std::string key;
  ScanCells(reader, held, [&](int r, int c) {
    units(r, c) = nodata;
    masters(r, c) = nodata;
    int unit = 0;
    const bool classified = !values.empty() && values[0](r, c) != nodata && zone(r, c) > nodata &&
                            (regions.empty() || regions(r, c) == reader.rank());
    if (classified && !failure.failed) {
      key.clear();
      for (std::size_t k = 0; k < values.size(); ++k) {
        const double v = values[k](r, c);
        // The first further grid without a value ends the key.
        if (k > 0 && v == nodata) break;
        const double hru_class = HruClass(v, grids[k]);
        if (hru_class > kLargestHruClass) {
          failure = {true, r, c, static_cast<int>(k), hru_class};
          break;
        }
        key += HruKeyPart(hru_class);
      }
      if (!failure.failed) unit = local.Number(key, r, c);
    }
    cell_units.push_back(unit);
  });
  AgreeOnClassFailure(reader, failure, grids);

  list_ = AgreeOnUnits(local.units());
  NumberCells(reader, held, cell_units, local, list_, units, masters);
  WriteUnitGrids(reader, units, kMadeUnitsFile, masters, kMadeMastersFile);
}

void HydrologicResponseUnits::NumberFromGrid(modelobject& reader, const std::function<void()>& count_registered_grid) {
  const int units_index = reader.FindGrid(kUnitsIdentifier, true);
  if (units_index == 0) {
    reader.log() << "FATAL: standard grid with identifier " << kUnitsIdentifier
                 << " not found (Hydrologic Respond Units, HRU; used for SpinUp mode)" << "[end-entry]";
    RaiseError(kHruGridMissing);
  }
  grid_table& table = *reader.grids();
  const GridGeometry& g = reader.geometry();
  const RowRange held = reader.held_rows();
  const int masters_index = TakeFreeEntry(reader, 1, "HRUMaster");
  masters_ = reader.matrix(held.first, held.last, 1, g.ncols, g.nrows);
  reader.RegisterGrid(masters_index, kMastersIdentifier, masters_.view(), {}, 0, kMastersIdentifier, 0, held.first,
                      held.last);
  count_registered_grid();

  // Process 0 numbers every row, so that the whole grid it writes holds the same numbers
  // outside the zone as with one process; the others number their own rows.
  const RowRange rows = reader.rank() == 0 ? RowRange{1, g.nrows} : reader.strip();
  const GridView units = table[units_index].values;
  const GridView masters = masters_.view();
  LocalUnits local;
  std::vector<int> cell_units;
  ScanCells(reader, rows, [&](int r, int c) {
    masters(r, c) = g.nodata_value;
    char key[512];
    std::snprintf(key, sizeof key, "%0.lf", units(r, c));
    cell_units.push_back(local.Number(key, r, c));
  });
  list_ = AgreeOnUnits(local.units());
  NumberCells(reader, rows, cell_units, local, list_, units, masters);
  WriteUnitGrids(reader, units, table[units_index].file_name.value_or(""), masters, kMastersIdentifier);
}

void HydrologicResponseUnits::WriteUnitGrids(modelobject& reader, GridView units, const std::string& units_file,
                                             GridView masters, const std::string& masters_file) {
  const OutputFormats& f = reader.output_formats();
  reader.WriteGridFile(FileForRank(units_file, reader.rank()), units, f.ascii, f.doubles, f.netcdf);
  reader.WriteGridFile(FileForRank(masters_file, reader.rank()), masters, f.ascii, f.doubles, f.netcdf);
  GatherGrid(reader.context(), units);
  GatherGrid(reader.context(), masters);
  if (reader.rank() == 0) {
    reader.WriteGridFile(units_file, units, f.ascii, f.doubles, f.netcdf);
    reader.WriteGridFile(masters_file, masters, f.ascii, f.doubles, f.netcdf);
  }
}

}  // namespace tolvo
