#include "meteo/station_mesh.h"

#include <deque>

#include "meteo/regression_kernels.h"

namespace tolvo {

std::optional<StationMesh> BuildStationMesh(std::span<const double> x, std::span<const double> y,
                                            const StationSpacing& spacing) {
  const int n = x.empty() ? 0 : static_cast<int>(x.size()) - 1;
  const double t = kMeshWindowTolerance;
  const double h = spacing.horizontal;
  const double v = spacing.vertical;
  const Window below{-t * h, t * h, -(1 + t) * v, -(1 - t) * v};
  const Window above{-t * h, t * h, (1 - t) * v, (1 + t) * v};
  std::vector<int> available(static_cast<std::size_t>(n) + 1, 1);
  available[0] = 0;
  std::vector<std::deque<int>> columns;
  while (AnyFlagSet(available, n) != 0) {
    int start = 0;
    for (int k = 1; k <= n; ++k) {
      const auto i = static_cast<std::size_t>(k);
      if (available[i] != 0 && (start == 0 || x[i] < x[static_cast<std::size_t>(start)])) start = k;
    }
    std::deque<int>& column = columns.emplace_back(1, start);
    available[static_cast<std::size_t>(start)] = 0;
    for (int k = start;;) {
      const int next = FindStationInWindow(x, y, x[static_cast<std::size_t>(k)], y[static_cast<std::size_t>(k)], below);
      if (next == 0 || available[static_cast<std::size_t>(next)] == 0) break;
      column.push_back(next);
      available[static_cast<std::size_t>(next)] = 0;
      k = next;
    }
    for (int k = start;;) {
      const int next = FindStationInWindow(x, y, x[static_cast<std::size_t>(k)], y[static_cast<std::size_t>(k)], above);
      if (next == 0 || available[static_cast<std::size_t>(next)] == 0) break;
      column.push_front(next);
      available[static_cast<std::size_t>(next)] = 0;
      k = next;
    }
  }
  StationMesh mesh;
  if (columns.empty()) return mesh;
  mesh.n_cols = static_cast<int>(columns.size());
  mesh.n_rows = static_cast<int>(columns.front().size());
  for (const std::deque<int>& column : columns) {
    if (static_cast<int>(column.size()) != mesh.n_rows) return std::nullopt;
  }
  const std::size_t nodes = static_cast<std::size_t>(mesh.n_rows) * static_cast<std::size_t>(mesh.n_cols);
  mesh.station.resize(nodes);
  mesh.x.resize(nodes);
  mesh.y.resize(nodes);
  for (int j = 1; j <= mesh.n_cols; ++j) {
    for (int i = 1; i <= mesh.n_rows; ++i) {
      const int k = columns[static_cast<std::size_t>(j - 1)][static_cast<std::size_t>(i - 1)];
      const std::size_t node = mesh.node(i, j);
      mesh.station[node] = k;
      mesh.x[node] = x[static_cast<std::size_t>(k)];
      mesh.y[node] = y[static_cast<std::size_t>(k)];
    }
  }
  return mesh;
}

}  // namespace tolvo
