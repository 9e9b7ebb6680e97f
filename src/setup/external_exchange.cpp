#include "setup/external_exchange.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <exception>
#include <sstream>
#include <utility>

#include "framework/error_code.h"
#include "framework/grid_distribution.h"
#include "framework/grid_reader.h"
#include "framework/grid_table.h"
#include "framework/modelobject.h"
#include "framework/parallel.h"
#include "framework/signals.h"
#include "framework/statistics_registry.h"

namespace tolvo {
namespace {

constexpr const char* kErrorHead = "FATAL: -----------------error------------\n";
constexpr std::size_t kMaxCaptionInFile = 150;
constexpr std::clock_t kDeleteRetryTicks = 100;

RowRange Intersect(RowRange a, RowRange b) { return {std::max(a.first, b.first), std::min(a.last, b.last)}; }

void CopyRows(ConstGridView from, GridView to, RowRange rows) {
  for (int r = rows.first; r <= rows.last; ++r) {
    const std::span<const double> source = from.row(r);
    const std::span<double> destination = to.row(r);
    std::copy_n(source.begin(), std::min(source.size(), destination.size()), destination.begin());
  }
}

// Spins until the processor clock has advanced by `ticks`.
void SpinClock(std::clock_t ticks) {
  const std::clock_t start = std::clock();
  while (std::clock() - start < ticks) {
  }
}

bool ContainsName(const std::string& caption, const std::string& name) {
  std::string joined = caption;
  std::ranges::replace(joined, ' ', '_');
  return joined.find(name) != std::string::npos;
}

// "dir/base" -> {"dir/", "base"}; a name without '/' has an empty directory.
std::pair<std::string, std::string> SplitPath(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {std::string(), path};
  return {path.substr(0, slash + 1), path.substr(slash + 1)};
}

std::string Formatted(const char* pattern, auto... values) {
  char buffer[kMaxCouplingNameLength + 200];
  std::snprintf(buffer, sizeof buffer, pattern, values...);
  return buffer;
}

// The statistics file of one exchange: the header lines, then the zone lines.
void WriteTextFile(modelobject& reader, const std::string& path, const std::string& text) {
  std::FILE* file = std::fopen(path.c_str(), "w");
  if (file == nullptr) reader.WriteError(path, kWriteErrorCode);
  const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  const bool closed = std::fclose(file) == 0;
  if (!written || !closed) reader.WriteError(path, kWriteErrorCode);
}

}  // namespace

ExternalExchange::ExternalExchange(CouplingSettings settings, ConstGridView zone_grid)
    : settings_(std::move(settings)), zone_grid_(zone_grid) {}

void ExternalExchange::ResolveCouplingNames(modelobject& reader, StatisticsRegistry& registry, int capacity) {
  grid_table& table = *reader.grids();
  const GridGeometry& g = reader.geometry();
  read_indices_.clear();
  read_buffers_.clear();
  for (const ExternalReadGrid& grid : settings_.read_grids) {
    const int index = reader.FindGrid(grid.identifier, false);
    if (index <= 0) {
      reader.log() << kErrorHead << "error looking for internal grid to read from " << grid.file_name
                   << ", with internal name \"" << grid.identifier
                   << "\"\npossible reason: internal name of the grid is wrong (case sensitive!)" << "[end-entry]";
      RaiseError(kUnknownReadGrid);
    }
    read_indices_.push_back(index);
    // The rows this process holds (halo rows included), which the grid reader fills.
    const RowRange rows = zone_grid_.empty() ? table[index].values.rows() : zone_grid_.rows();
    read_buffers_.push_back(reader.matrix(rows.first, rows.last, 1, g.ncols, g.nrows));
  }
  write_indices_.clear();
  for (const ExternalWriteGrid& grid : settings_.write_grids) {
    const int index = reader.FindGrid(grid.identifier, false);
    if (index <= 0) {
      reader.log() << kErrorHead << "error looking for internal grid to write to " << grid.file_name
                   << " with internal name \"" << grid.identifier
                   << "\"\npossible reason: internal name of the grid is wrong (case sensitive!)" << "[end-entry]";
      RaiseError(kUnknownWriteGrid);
    }
    write_indices_.push_back(index);
  }

  // The tables register on process 0 only.
  statistics_.clear();
  if (reader.rank() != 0) return;
  const int usable = std::min(capacity, StatisticsRegistry::kEntries);
  for (const ExternalStatistic& statistic : settings_.statistics) {
    StatisticsRegistryEntry* match = nullptr;
    for (int e = 0; e < usable && !registry[e].free() && match == nullptr; ++e) {
      if (registry[e].caption != nullptr && ContainsName(*registry[e].caption, statistic.name)) match = &registry[e];
    }
    if (match == nullptr) {
      reader.log() << kErrorHead << "error looking for zonal statistic with internal name \"" << statistic.name
                   << "\"\npossible reason: name of the statistic entity is wrong (case sensitive!)" << "[end-entry]";
      RaiseError(kUnknownStatistic);
    }
    statistics_.push_back(match);
  }
}

int ExternalExchange::ReadExternalGrids(modelobject& reader, const ModelDate& date) {
  grid_table& table = *reader.grids();
  for (std::size_t i = 0; i < settings_.read_grids.size(); ++i) {
    const ExternalReadGrid& grid = settings_.read_grids[i];
    Grid& buffer = read_buffers_[i];
    const GridView target = table[read_indices_[i]].values;
    const RowRange rows = Intersect(target.rows(), buffer.rows());
    // The read works on the buffer as it would on the grid itself: cells it does not set
    // keep their values.
    CopyRows(target, buffer.view(), rows);
    try {
      ReadGrid(reader.grid_input(), grid.file_name, buffer,
               {.fill_mode = grid.fill_code,
                .log = true,
                .strict_fill = true,
                .whole_on_process0 = true,
                .halo_rows = true});
    } catch (const std::exception&) {
      reader.log() << "FATAL: error reading external grid " << grid.file_name << "[end-entry]";
      RaiseError(kExternalReadError);
    }
    ArmCtrlCHandler();
    CopyRows(std::as_const(buffer).view(), target, rows);

    if (reader.rank() != 0) continue;
    // The file that was read: the name relative to the input directory.
    const std::string path = PrefixPath(reader.input_directory(), grid.file_name);
    if (grid.rename_code == 1) {
      const std::string renamed = Formatted("%s_%.4lld_%.2lld_%.2lld_%.2lld_%ld", path.c_str(), date.year, date.month,
                                            date.day, date.hour, static_cast<long>(std::clock()));
      if (std::rename(path.c_str(), renamed.c_str()) != 0) {
        reader.log() << "FATAL: error renaming external grid " << path << " nach " << renamed << "[end-entry]";
        RaiseError(kExternalFileError);
      }
    } else if (grid.rename_code == 0) {
      if (std::remove(path.c_str()) != 0) {
        reader.log() << "FATAL: error deleting external grid " << path << "[end-entry]";
        RaiseError(kExternalFileError);
      }
    }
  }

  if (reader.rank() != 0) return reader.rank();
  if (std::remove(settings_.wait_file.c_str()) != 0) {
    SpinClock(kDeleteRetryTicks);
    if (std::remove(settings_.wait_file.c_str()) != 0) {
      reader.log() << "FATAL: error deleting semaphore file " << settings_.wait_file << "[end-entry]";
      RaiseError(kExternalReadError);
    }
  }
  return 0;
}

// Calls cell(r, c, own) for every cell of the zone-column range of every row that the
// entry, the accumulator and the zone grid hold; `own` tells whether the cell is a zone
// cell that this process computes. Rows run in parallel: `cell` touches its cell only.
template <typename CellFn>
void ExternalExchange::ForEachRangeCell(const modelobject& reader, int index, const Grid& accumulator,
                                        CellFn&& cell) const {
  const grid_entry& entry = (*reader.grids())[index];
  const GridGeometry& g = reader.geometry();
  const DomainLayout* layout = reader.domain_layout();
  RowRange rows{static_cast<int>(entry.first_row), static_cast<int>(entry.last_row)};
  rows = Intersect(Intersect(rows, entry.values.rows()), accumulator.rows());
  if (!zone_grid_.empty()) rows = Intersect(rows, zone_grid_.rows());
  const int rank = reader.rank();
  for_each_row(rows, [&](int r) {
    ColumnRange range{1, g.ncols};
    if (layout != nullptr && static_cast<std::size_t>(r) < layout->column_ranges.size()) {
      range = layout->column_ranges[static_cast<std::size_t>(r)];
    }
    const bool regions_known = layout != nullptr && !layout->regions.empty() && layout->regions.rows().contains(r);
    for (int c = std::max(1, range.first); c <= std::min(g.ncols, range.last); ++c) {
      const bool zone_cell = zone_grid_.empty() || zone_grid_(r, c) != g.nodata_value;
      const bool own = zone_cell && (regions_known ? layout->regions(r, c) == rank : rank == 0);
      cell(r, c, own);
    }
  });
}

void ExternalExchange::AccumulateGrid(modelobject& reader, int i) {
  Grid& accumulator = settings_.write_grids[static_cast<std::size_t>(i)].accumulator;
  const int index = write_indices_[static_cast<std::size_t>(i)];
  const ConstGridView values = (*reader.grids())[index].values;
  const GridView sums = accumulator.view();
  const double nodata = reader.geometry().nodata_value;
  ForEachRangeCell(reader, index, accumulator, [&](int r, int c, bool own) {
    sums(r, c) = own ? sums(r, c) + values(r, c) : nodata;
  });
}

void ExternalExchange::AccumulateExternalOutputs(modelobject& reader) {
  for (std::size_t i = 0; i < settings_.write_grids.size(); ++i) {
    if (settings_.write_grids[i].code.accumulates()) AccumulateGrid(reader, static_cast<int>(i));
  }
  for (std::size_t j = 0; j < statistics_.size(); ++j) {
    if (!settings_.statistics[j].code.accumulates()) continue;
    StatisticsRegistryEntry& entry = *statistics_[j];
    for (long long k = 1; k < entry.row_length; ++k) {
      entry.accumulator[static_cast<std::size_t>(k)] += entry.last_values[static_cast<std::size_t>(k)];
    }
  }
  ++step_count_;
}

void ExternalExchange::WriteExternalStatistics(modelobject& reader, const ModelDate& date, CalendarEnds ends) {
  ++step_count_;
  for (std::size_t i = 0; i < settings_.write_grids.size(); ++i) WriteGrid(reader, static_cast<int>(i), date, ends);
  if (reader.rank() == 0) {
    for (std::size_t j = 0; j < statistics_.size(); ++j) WriteStatistic(reader, static_cast<int>(j), date);
  }
  step_count_ = 0;
}

void ExternalExchange::WriteGrid(modelobject& reader, int i, const ModelDate& date, CalendarEnds ends) {
  ExternalWriteGrid& grid = settings_.write_grids[static_cast<std::size_t>(i)];
  const int index = reader.RequireGrid(grid.identifier);
  const ConstGridView values = (*reader.grids())[index].values;
  const double nodata = reader.geometry().nodata_value;
  Grid& accumulator = grid.accumulator;
  const GridView sums = accumulator.view();
  switch (grid.code.kind) {
    case ExchangeKind::Sum:
    case ExchangeKind::SumTotal:
      AccumulateGrid(reader, i);
      WriteMatrix(reader, grid.file_name, ConstGridView(sums));
      break;
    case ExchangeKind::Mean: {
      const double steps = step_count_;
      ForEachRangeCell(reader, index, accumulator, [&](int r, int c, bool own) {
        sums(r, c) = own ? (sums(r, c) + values(r, c)) / steps : nodata;
      });
      WriteMatrix(reader, grid.file_name, ConstGridView(sums));
      break;
    }
    case ExchangeKind::Current:
      WriteMatrix(reader, grid.file_name, values);
      break;
  }

  if (grid.code.kind == ExchangeKind::SumTotal) {
    const auto [dir, base] = SplitPath(grid.file_name);
    if (ends.day && grid.code.day_file) {
      WriteMatrix(reader,
                  Formatted("%sSumTotal_EndOf_Day_%.04lld_%.02lld_%.02lld_%s", dir.c_str(), date.year, date.month,
                            date.day, base.c_str()),
                  ConstGridView(sums));
    }
    if (ends.month && grid.code.month_file) {
      WriteMatrix(reader,
                  Formatted("%sSumTotal_EndOf_Month_%.04lld_%.02lld_%s", dir.c_str(), date.year, date.month,
                            base.c_str()),
                  ConstGridView(sums));
    }
    if (ends.year && grid.code.year_file) {
      WriteMatrix(reader, Formatted("%sSumTotal_EndOf_Year_%.04lld_%s", dir.c_str(), date.year, base.c_str()),
                  ConstGridView(sums));
    }
  }

  if (grid.code.kind == ExchangeKind::Sum || grid.code.kind == ExchangeKind::Mean) {
    ForEachRangeCell(reader, index, accumulator, [&](int r, int c, bool own) { sums(r, c) = own ? 0.0 : nodata; });
  }
}

// Process 0 writes the grid with every process's cells and nodata outside the domain, so
// that the file is the same for any number of processes.
void ExternalExchange::WriteMatrix(modelobject& reader, const std::string& name, ConstGridView values) {
  const OutputFormats& formats = reader.output_formats();
  Grid collected;
  if (reader.process_count() > 1) {
    collected = GatherGridCopy(reader.context(), values);
  } else {
    const GridGeometry& g = reader.geometry();
    collected = reader.matrix(1, g.nrows, 1, g.ncols, g.nrows);
    collected.fill(g.nodata_value);
    const RowRange rows = zone_grid_.empty() ? values.rows() : Intersect(values.rows(), zone_grid_.rows());
    for (int r = rows.first; r <= rows.last; ++r) {
      for (int c = 1; c <= g.ncols; ++c) {
        if (zone_grid_.empty() || zone_grid_(r, c) != g.nodata_value) collected(r, c) = values(r, c);
      }
    }
  }
  if (reader.rank() == 0) {
    reader.WriteGridFile(name, std::as_const(collected).view(), formats.ascii, formats.doubles, formats.netcdf);
  }
}

void ExternalExchange::WriteStatistic(modelobject& reader, int j, const ModelDate& date) {
  const ExternalStatistic& statistic = settings_.statistics[static_cast<std::size_t>(j)];
  StatisticsRegistryEntry& entry = *statistics_[static_cast<std::size_t>(j)];
  std::string caption = entry.caption != nullptr ? *entry.caption : std::string();
  if (caption.size() > kMaxCaptionInFile) caption = caption.substr(0, kMaxCaptionInFile) + "...";

  std::ostringstream text;
  text << Formatted("date: %04lld-%02lld-%02lld\nhour: %02lldh\n", date.year, date.month, date.day, date.hour)
       << caption << "; " << entry.row_length - 1 << " zones" << '\n';
  double total = 0.0;
  for (long long k = 1; k < entry.row_length; ++k) {
    const auto at = static_cast<std::size_t>(k);
    double& sum = entry.accumulator[at];
    const double latest = entry.last_values[at];
    double value = latest;
    double weighted = latest;
    switch (statistic.code.kind) {
      case ExchangeKind::Sum:
        sum += latest;
        value = weighted = sum;
        sum = 0.0;
        break;
      case ExchangeKind::SumTotal:
        sum += latest;
        value = weighted = sum;
        break;
      case ExchangeKind::Mean:
        sum += latest;
        weighted = sum;
        value = sum / step_count_;
        sum = 0.0;
        break;
      case ExchangeKind::Current:
        break;
    }
    total += entry.area_shares[at] * weighted;
    text << entry.zone_codes[at] << '\t' << value << '\n';
  }
  if (statistic.code.kind == ExchangeKind::Mean) total /= step_count_;
  text << "average" << '\t' << total << '\n';
  WriteTextFile(reader, statistic.file_name, text.str());
}

}  // namespace tolvo
