#pragma once
// The one place that holds the OpenMP pragma for loops over a process's rows. The body
// gets the row index and declares its variables inside; it does no I/O, logging,
// allocation or throwing (record a per-row status and raise after the loop).

#include <omp.h>

#include "framework/matrix.h"

namespace tolvo {

template <typename Body>
void for_each_row(RowRange rows, Body&& body) {
#pragma omp parallel for schedule(runtime)
  for (int r = rows.first; r <= rows.last; ++r) body(r);
}

// The number of threads a loop over rows may use: the bound of the thread numbers that
// for_each_row_by_thread hands to its body.
inline int row_thread_count() { return omp_get_max_threads(); }

// As for_each_row, with the number (0 .. row_thread_count() - 1) of the thread that runs
// the row, for bodies that add into per-thread sums.
template <typename Body>
void for_each_row_by_thread(RowRange rows, Body&& body) {
#pragma omp parallel for schedule(runtime)
  for (int r = rows.first; r <= rows.last; ++r) body(r, omp_get_thread_num());
}

}  // namespace tolvo
