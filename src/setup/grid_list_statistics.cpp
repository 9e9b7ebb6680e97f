#include "setup/grid_list_statistics.h"

#include <algorithm>
#include <memory>

#include "framework/error_code.h"
#include "framework/grid_distribution.h"
#include "framework/grid_table.h"
#include "framework/modelobject.h"
#include "framework/parallel.h"
#include "framework/zonal_statistic.h"

namespace tolvo {

namespace {

inline constexpr int kStatisticsPrecision = 5;

}  // namespace

void GridListStatistics::InitGridStatistics(modelobject& reader, int grid_count, const ZoneRanking& ranking,
                                            StatisticsRegistry& registry, int capacity,
                                            std::span<const int> output_list) {
  grid_table& table = *reader.grids();
  const GridGeometry& geometry = reader.geometry();
  positions_.clear();
  const int last = std::min(grid_count + 2, kLastGridIndex);
  for (int position = 2; position <= last; ++position) {
    grid_entry& entry = table[position];
    if (entry.statfile.empty()) continue;
    entry.zone_grid = table.zone_grid().values;
    entry.zone_index_map = ranking.code_index;
    if (ranking.zones.empty()) reader.MemoryError(1);
    entry.zone_records.assign(ranking.zones.size(), ZoneRecord{});
    for (std::size_t i = 0; i < ranking.zones.size(); ++i) {
      entry.zone_records[i].zonenwert = ranking.zones[i].zonenwert;
      entry.zone_records[i].rel = ranking.zones[i].rel;
      entry.zone_records[i].RelCellSum = ranking.zones[i].RelCellSum;
    }
    entry.statistic = std::make_unique<zonalstatistic>(
        reader.log(), reader.rel_cell_area(), geometry.nrows, geometry.ncols, entry.zone_records, ranking.zone_count,
        entry.statcode, kStatisticsPrecision, entry.statfile, reader.output_directory(), output_list);
    entry.statistic->WriteHeader(entry.identifier.value_or(""), "(default)", registry, capacity);
    positions_.push_back(position);
  }
}

void GridListStatistics::ResetGridStatistics(modelobject& reader) {
  grid_table& table = *reader.grids();
  for (const int position : positions_) table[position].statistic->BeginStep();
}

void GridListStatistics::AccumulateGridStatistics(modelobject& reader) {
  grid_table& table = *reader.grids();
  const GridGeometry& geometry = reader.geometry();
  const double nodata = geometry.nodata_value;
  const DomainLayout* layout = reader.domain_layout();
  const RowRange own = reader.strip();
  // The rows are shared out over the threads; each thread adds into its own sums of the
  // table, which are exact, so the table does not depend on who added which cell.
  const int n_threads = row_thread_count();
  for (const int position : positions_) {
    grid_entry& entry = table[position];
    zonalstatistic& statistic = *entry.statistic;
    statistic.PrepareThreads(n_threads);
    const ConstGridView zone = entry.zone_grid;
    const ConstGridView values = entry.values;
    const std::span<const int> zone_index_map = entry.zone_index_map;
    for_each_row_by_thread(own, [&](int r, int thread) {
      const ColumnRange columns = layout != nullptr && !layout->column_ranges.empty()
                                      ? layout->column_ranges[static_cast<std::size_t>(r)]
                                      : ColumnRange{1, geometry.ncols};
      const std::span<const double> zone_row = zone.row(r);
      const std::span<const double> value_row = values.row(r);
      for (int c = std::max(columns.first, 1); c <= columns.last; ++c) {
        if (zone_row[c] == nodata || value_row[c] == nodata) continue;
        if (layout != nullptr && !layout->regions.empty() && layout->regions(r, c) != reader.rank()) continue;
        const int zone_index = zone_index_map[static_cast<std::size_t>(static_cast<int>(zone_row[c]))];
        statistic.AddValue(r, c, zone_index, value_row[c], 1.0, thread);
      }
    });
  }
}

void GridListStatistics::FinishGridStatistics(modelobject& reader, const ModelDate& date) {
  grid_table& table = *reader.grids();
  for (const int position : positions_) step_ends_.Add(table[position].statistic.get(), 1);
  step_ends_.EndSteps(date.year, date.month, date.day, date.hour);
}

void GridListStatistics::FlushGridStatistics(modelobject& reader) {
  grid_table& table = *reader.grids();
  for (const int position : positions_) table[position].statistic->FlushRows();
}

void GridListStatistics::ReleaseGridStatistics(modelobject& reader) {
  grid_table& table = *reader.grids();
  for (const int position : positions_) {
    grid_entry& entry = table[position];
    entry.statistic->Release();
    entry.statistic.reset();
  }
  positions_.clear();
}

}  // namespace tolvo
