#pragma once
// Flow-time zones of the sub-basins: the runoff of a cell reaches the outlet of its
// sub-basin after the number of model steps of its flow time ("flow_times"). Zone z of a
// sub-basin holds the cells whose runoff arrives z steps after it was formed; the zones
// form a queue that moves one step towards the outlet every model step, and zone 1 is the
// inflow of the sub-basin's storages.
//
// One ranking serves every sub-model that concentrates runoff by flow times; each writes
// its own texts around it.

#include <span>
#include <vector>

namespace tolvo {

// Zone of a flow time t [steps]: max(1, int t) for a finite t >= 0, so that water of
// cells nearer than one step still reaches the outlet; 0 (none) for a negative or not a
// finite t, or the nodata value.
int FlowTimeZoneOf(double t, double nodata);

// A cell of the process: its sub-basin index (1..N; others are skipped), its flow time
// and its weight.
struct FlowTimeZoneCell {
  int subbasin = 0;
  double flow_time = 0;
  double weight = 1;
};

struct FlowTimeZoneLayout {
  // [sub-basin 0..N]: the number of zones, 0 for a sub-basin without any cell of a usable
  // flow time.
  std::vector<int> zones;
  // [sub-basin 0..N][zone 0..zones]: the weight of the zone's cells over all processes
  // (zone 0 unused).
  std::vector<std::vector<double>> weight;
  // Some cell of some process had a negative or nodata flow time: it was counted in zone 1.
  bool unusable_cells = false;
};

// Collective over all processes (same calls on each, in this order: a maximum over N
// values, a sum over the flattened zone weights, a logical or).
FlowTimeZoneLayout RankFlowTimeZones(int n_subbasins, std::span<const FlowTimeZoneCell> cells, double nodata);

}  // namespace tolvo
