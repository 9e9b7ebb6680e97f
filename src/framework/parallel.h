#pragma once
// The one place that holds the OpenMP pragma for loops over a process's rows. The body
// gets the row index and declares its variables inside; it does no I/O, logging,
// allocation or throwing (record a per-row status and raise after the loop).
//
// A loop over rows opens a team of threads only when every thread gets at least
// kMinRowsPerThread rows: waking a thread costs more than a few rows of most loops, and a
// process with a narrow strip of rows would otherwise spend its step waking threads. The
// rows are independent, so the team size does not change any result.

#include <algorithm>

#include <omp.h>

#include "framework/matrix.h"

namespace tolvo {

inline constexpr int kMinRowsPerThread = 2;

// The number of threads a loop over rows may use: the bound of the thread numbers that
// for_each_row_by_thread hands to its body.
inline int row_thread_count() { return omp_get_max_threads(); }

// The number of threads a loop over `rows` runs on (1: the calling thread alone).
inline int row_team_size(RowRange rows) {
  return std::clamp(rows.count() / kMinRowsPerThread, 1, row_thread_count());
}

template <typename Body>
void for_each_row(RowRange rows, Body&& body) {
  const int team = row_team_size(rows);
#pragma omp parallel for schedule(runtime) num_threads(team) if (team > 1)
  for (int r = rows.first; r <= rows.last; ++r) body(r);
}

// As for_each_row, with the number (0 .. row_thread_count() - 1) of the thread that runs
// the row, for bodies that add into per-thread sums.
template <typename Body>
void for_each_row_by_thread(RowRange rows, Body&& body) {
  const int team = row_team_size(rows);
#pragma omp parallel for schedule(runtime) num_threads(team) if (team > 1)
  for (int r = rows.first; r <= rows.last; ++r) body(r, omp_get_thread_num());
}

}  // namespace tolvo
