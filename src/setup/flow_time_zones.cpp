#include "setup/flow_time_zones.h"

#include <mpi.h>

#include <algorithm>
#include <cmath>

namespace tolvo {

int FlowTimeZoneOf(double t, double nodata) {
  if (!std::isfinite(t) || t == nodata || t < 0) return 0;
  // Flow times beyond the int range cannot be queued; the set-up refuses them as unusable.
  if (t >= 1e9) return 0;
  return std::max(1, static_cast<int>(t));
}

FlowTimeZoneLayout RankFlowTimeZones(int n_subbasins, std::span<const FlowTimeZoneCell> cells, double nodata) {
  const auto n = static_cast<std::size_t>(n_subbasins) + 1;
  FlowTimeZoneLayout layout;
  std::vector<int> longest(n, 0);
  int unusable = 0;
  for (const FlowTimeZoneCell& cell : cells) {
    if (cell.subbasin < 1 || cell.subbasin > n_subbasins) continue;
    const int zone = FlowTimeZoneOf(cell.flow_time, nodata);
    if (zone == 0) unusable = 1;
    longest[static_cast<std::size_t>(cell.subbasin)] = std::max(longest[static_cast<std::size_t>(cell.subbasin)], zone);
  }
  layout.zones.assign(n, 0);
  MPI_Allreduce(longest.data(), layout.zones.data(), n_subbasins + 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD);

  std::vector<std::size_t> offset(n + 1, 0);
  for (std::size_t s = 0; s < n; ++s) offset[s + 1] = offset[s] + static_cast<std::size_t>(layout.zones[s]) + 1;
  std::vector<double> mine(offset[n], 0.0);
  for (const FlowTimeZoneCell& cell : cells) {
    if (cell.subbasin < 1 || cell.subbasin > n_subbasins) continue;
    const auto s = static_cast<std::size_t>(cell.subbasin);
    if (layout.zones[s] == 0) continue;
    const int zone = std::max(FlowTimeZoneOf(cell.flow_time, nodata), 1);
    mine[offset[s] + static_cast<std::size_t>(zone)] += cell.weight;
  }
  std::vector<double> all(mine.size(), 0.0);
  MPI_Allreduce(mine.data(), all.data(), static_cast<int>(all.size()), MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
  layout.weight.resize(n);
  for (std::size_t s = 0; s < n; ++s) {
    layout.weight[s].assign(all.begin() + static_cast<std::ptrdiff_t>(offset[s]),
                            all.begin() + static_cast<std::ptrdiff_t>(offset[s + 1]));
  }
  int any = 0;
  MPI_Allreduce(&unusable, &any, 1, MPI_INT, MPI_LOR, MPI_COMM_WORLD);
  layout.unusable_cells = any != 0;
  return layout;
}

}  // namespace tolvo
