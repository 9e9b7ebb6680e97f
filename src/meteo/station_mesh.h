#pragma once
// A station mesh: stations that lie on a (possibly rotated) regular mesh, such as the
// grid points of a coarser model, sorted into mesh columns of equal length. Columns are
// found from the west: the available station with the smallest rotated x starts a column,
// which grows downwards and then upwards one mean vertical spacing V at a time, a station
// being taken when it lies within +-t H across and (1 +- t) V along the column
// (t = kMeshWindowTolerance, H the mean horizontal spacing). Coordinates in m, rotated
// into the frame of the mesh.

#include <optional>
#include <span>
#include <vector>

#include "meteo/inverse_distance.h"

namespace tolvo {

struct StationMesh {
  int n_rows = 0;  // mesh rows, row 1 at the top
  int n_cols = 0;  // mesh columns, column 1 at the west
  // Per node, row-major from the top left: the 1-based station index and its rotated
  // coordinates.
  std::vector<int> station;
  std::vector<double> x;
  std::vector<double> y;
  std::size_t node(int i, int j) const {
    return static_cast<std::size_t>(i - 1) * static_cast<std::size_t>(n_cols) + static_cast<std::size_t>(j - 1);
  }
};

// The mesh of the stations at rotated coordinates x, y (1-based); nothing when the
// columns found hold different numbers of stations.
std::optional<StationMesh> BuildStationMesh(std::span<const double> x, std::span<const double> y,
                                            const StationSpacing& spacing);

}  // namespace tolvo
