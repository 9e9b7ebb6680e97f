#pragma once
// Dump mode of the snow model: a cell whose layered snow looks inconsistent after the
// step (a solid layer above a layer without solid, or liquid water in a layer without
// solid) is written to a file of raw numbers for examination.

#include <string>

#include "framework/date.h"
#include "surface/layered_snow.h"

namespace tolvo {

// The first inconsistent layer k (1..n-1) of a cell, searched from the top; 0 = none.
struct SnowLayerFault {
  int solid_gap = 0;     // solid in layer k, none in layer k + 1
  int liquid_alone = 0;  // liquid in layer k without solid
  bool any() const { return solid_gap != 0 || liquid_alone != 0; }
};
SnowLayerFault FindSnowLayerFault(const LayeredSnow& snow, int r, int c);

// "MPI_<rank>_[swes(k)_][swel(k)_]dump_row_<r>_col_<c>_<yyyy><mm><dd><hh>.dmp".
std::string SnowDumpFileName(int rank, const SnowLayerFault& fault, int r, int c, const ModelDate& date);

}  // namespace tolvo
