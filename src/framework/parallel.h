#pragma once
// The one place that holds the OpenMP pragma for loops over a process's rows. The body
// gets the row index and declares its variables inside; it does no I/O, logging,
// allocation or throwing (record a per-row status and raise after the loop).

#include "framework/matrix.h"

namespace tolvo {

template <typename Body>
void for_each_row(RowRange rows, Body&& body) {
#pragma omp parallel for schedule(runtime)
  for (int r = rows.first; r <= rows.last; ++r) body(r);
}

}  // namespace tolvo
