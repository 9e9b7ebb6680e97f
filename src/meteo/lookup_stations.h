#pragma once
// Look-up stations of the bilinear methods: for every own cell, the four stations at the
// corners of the station mesh cell around it (upper right, upper left, lower left, lower
// right in the rotated frame; "upper" is the larger rotated y). The stations are assumed
// to form a (possibly rotated) regular mesh of mean spacing H across and V up; a corner is
// found in a window of +-t H and +-t V (t = kMeshWindowTolerance) around its expected
// place one mesh step away from a corner already known. Built once at construction from
// the station coordinates alone; a corner not found stays 0 (the bilinear kernel then
// falls back on inverse distance weighting).

#include <algorithm>
#include <cassert>
#include <span>
#include <vector>

#include "framework/matrix.h"
#include "meteo/inverse_distance.h"
#include "meteo/regression_kernels.h"

namespace tolvo {

// The corners of every cell of the rows `rows`, columns 1..ncols; all 0 at the start.
class LookupStations {
 public:
  LookupStations() = default;
  LookupStations(RowRange rows, int ncols)
      : rows_(rows), ncols_(ncols), cells_(static_cast<std::size_t>(std::max(rows.count(), 0)) * ncols) {}
  CornerStations& at(int r, int c) { return cells_[index(r, c)]; }
  const CornerStations& at(int r, int c) const { return cells_[index(r, c)]; }
  RowRange rows() const { return rows_; }
  int ncols() const { return ncols_; }
  bool empty() const { return cells_.empty(); }

 private:
  std::size_t index(int r, int c) const {
    assert(rows_.contains(r) && c >= 1 && c <= ncols_);
    return static_cast<std::size_t>(r - rows_.first) * static_cast<std::size_t>(ncols_) + static_cast<std::size_t>(c - 1);
  }
  RowRange rows_{};
  int ncols_ = 0;
  std::vector<CornerStations> cells_;
};

// The corners of the mesh cell around rotated point (x, y): the nearest station (of equally
// near ones the first) fixes the corner of its quadrant, the other three are searched in
// windows one mesh step away. `x`, `y`: rotated station coordinates (1-based).
CornerStations CornersAround(std::span<const double> x, std::span<const double> y, double px, double py,
                             const StationSpacing& spacing);

}  // namespace tolvo
