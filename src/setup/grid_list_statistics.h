#pragma once
// The zonal statistics tables of the grid lists: every standard grid whose line names a
// "statfile" gets a table of its zone means (or sums) over the zones of the zone grid,
// written at the intervals of its "statcode". The tables live from the end of the set-up
// to the end of the run.
//
// Each step the time loop calls, after the grid lists are written, Reset, Accumulate and
// Finish in this order. Every process adds its own cells (its rows, within each row's
// zone columns, the cells "MPIRegions" gives to it); Finish sums the zone records of all
// processes on process 0 (exact sums, so that the tables do not depend on the number of
// processes or threads), which alone writes the tables. A cell whose value is nodata is
// left out, so that it never enters a zone mean. Every operation is collective through
// the reduction and runs on every process in the same order.

#include <span>
#include <vector>

#include "framework/date.h"
#include "framework/statistics_registry.h"
#include "framework/zonal_statistic.h"
#include "framework/zone_ranking.h"

namespace tolvo {

class modelobject;

class GridListStatistics {
 public:
  // After the staged set-up: a table for every grid-table entry from 2 to grid_count + 2
  // that names a statistics file, over the zones of `ranking` (which must outlive the
  // tables), weighted by the reader's relative cell areas, in the reader's output
  // directory, with the zone output list (ascending codes); each table takes the next free
  // entry of the registry. A table that cannot be made raises its status as the error
  // code; without a zone table the memory error (81) is raised.
  void InitGridStatistics(modelobject& reader, int grid_count, const ZoneRanking& ranking,
                          StatisticsRegistry& registry, int capacity, std::span<const int> output_list);

  void ResetGridStatistics(modelobject& reader);
  void AccumulateGridStatistics(modelobject& reader);
  void FinishGridStatistics(modelobject& reader, const ModelDate& date);
  // Writes the buffered rows of every table.
  void FlushGridStatistics(modelobject& reader);
  // End of the run: flushes and releases every table.
  void ReleaseGridStatistics(modelobject& reader);

  // Grid-table positions of the grids with a table, in ascending order.
  const std::vector<int>& positions() const { return positions_; }

 private:
  std::vector<int> positions_;
  // The tables of the step, closed with one exchange of their sums.
  StatisticsStepEnds step_ends_;
};

}  // namespace tolvo
