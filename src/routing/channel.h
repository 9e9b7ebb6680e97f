#pragma once
// A channel of a routing sub-basin object: it carries the water of one source (a
// tributary sub-basin, a group of tributary sub-basins, or an inflow) to the outlet of the
// object's sub-basin, through its waterlevel-discharge table (wq_table.h) and the
// translation elements and linear storages of its sub-channels.

#include <cstddef>
#include <vector>

#include "routing/routing_arrays.h"
#include "routing/wq_table.h"

namespace tolvo {

struct Channel {
  // Code of the source: the tributary sub-basin code, or the inflow code.
  int source_code = 0;
  // Further sub-basin codes of a channel shared by several tributaries; empty otherwise.
  std::vector<int> code_list;
  // After the table is built, kh_h and kv_h hold the recession factors exp(-1/k) that the
  // routing step applies; WrittenRetentionConstant turns them back.
  ChannelParameters parameters;
  WQRange range;
  double log_step = 0;  // Δ of the table's rows
  WQTable table;

  // Routing state of every sub-channel 1..S (entries 0 and S + 1 are spare):
  std::vector<int> fill_position;  // FillPosition
  // OverlapStore [tracer][sub-channel]: the water the translation took out of the cascade
  // (positive) or put into it without inflow (negative) where the travel time changed,
  // not yet given back to the outflow [routing mm summed over elements], and in rows
  // 1..T its tracer mass (water times concentration).
  TracerRows overlap_store;
  std::vector<double> qvzuq;       // flood-plain share of the last step
  std::vector<double> qaus;        // Qaus: outflow per sub-channel (row) and sub-interval 0..K+1
  std::size_t qaus_width = 0;

  double& Qaus(int s, int j) { return qaus[static_cast<std::size_t>(s) * qaus_width + static_cast<std::size_t>(j)]; }
};

// The retention constant [h] of a stored recession factor f: -1 / ln f; 0 when f = 1 and
// -9999 when f <= 0.
double WrittenRetentionConstant(double factor);

}  // namespace tolvo
