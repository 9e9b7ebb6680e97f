#pragma once
// The exchange of grids and statistics with a coupled external program.
//
// At the start of a coupling period (after the command file has arrived) the external
// grids are read into their internal grids and the external files are renamed, deleted
// or kept; the command file is deleted. During the period the written grids and
// statistics with a "Sum", "Mean" or "SumTotal" code are accumulated step by step, and at
// the end of the period they are written: grids as grid files (SumTotal grids also under
// dated names at the end of a day, month or year), statistics as small text files.
//
// Grids: every process accumulates the cells it computes; writing gathers them on process
// 0, which writes the files. Statistics: the tables live on process 0, which alone reads,
// accumulates and writes them. Every operation is collective: all processes call it in the
// same step.

#include <string>
#include <vector>

#include "framework/date.h"
#include "framework/matrix.h"
#include "setup/coupling_settings.h"

namespace tolvo {

class modelobject;
class StatisticsRegistry;
struct StatisticsRegistryEntry;

// Whether the step that ends a coupling period also ends a calendar day, month or year.
struct CalendarEnds {
  bool day = false;
  bool month = false;
  bool year = false;
};

class ExternalExchange {
 public:
  // `zone_grid`: the reader's zone grid on this process (the cells that take part).
  ExternalExchange(CouplingSettings settings, ConstGridView zone_grid);

  const CouplingSettings& settings() const { return settings_; }
  // Steps accumulated since the last period end.
  int step_count() const { return step_count_; }

  // Finds the internal grids of the read and write lists (1003, 1004 when one is not in
  // the grid table) and, on process 0, the statistics tables whose caption (blanks read as
  // '_') contains each statistic's name (1005 when none does). The first matching table
  // is taken; the registry itself is left as it is.
  void ResolveCouplingNames(modelobject& reader, StatisticsRegistry& registry, int capacity);
  // Reads every external grid into its internal grid, renames (rename code 1, dated with
  // `date` and the processor clock), deletes (0) or keeps the file, then deletes the wait
  // file. 0 on process 0, the rank on the others.
  int ReadExternalGrids(modelobject& reader, const ModelDate& date);
  // Adds the current values of the accumulated grids and statistics (a step that does not
  // end a period).
  void AccumulateExternalOutputs(modelobject& reader);
  // Adds this step and writes every grid and statistic (a step that ends a period); the
  // statistics files carry `date`.
  void WriteExternalStatistics(modelobject& reader, const ModelDate& date, CalendarEnds ends);

 private:
  void AccumulateGrid(modelobject& reader, int i);
  void WriteGrid(modelobject& reader, int i, const ModelDate& date, CalendarEnds ends);
  void WriteMatrix(modelobject& reader, const std::string& name, ConstGridView values);
  void WriteStatistic(modelobject& reader, int j, const ModelDate& date);
  template <typename CellFn>
  void ForEachRangeCell(const modelobject& reader, int index, const Grid& accumulator, CellFn&& cell) const;

  CouplingSettings settings_;
  ConstGridView zone_grid_;
  std::vector<int> read_indices_;   // grid-table entries of the read grids
  std::vector<Grid> read_buffers_;  // the rows of each read grid's entry, for the grid reader
  std::vector<int> write_indices_;  // grid-table entries of the write grids
  // Process 0: the registry entry of each written statistic.
  std::vector<StatisticsRegistryEntry*> statistics_;
  int step_count_ = 0;
};

}  // namespace tolvo
