// The river records that the routing shares with the soil model: the discharge and speed of
// the channel that carries each sub-basin's water, and the re-infiltration taken from it.
#include "routing/routing_units.h"
#include "routing/routingclass.h"

namespace tolvo {

void routingclass::RefreshRiverRecord(int m, int i) {
  RiverflowRecord& record = river_records_[static_cast<std::size_t>(i)];
  const TracerRows& routed = *routed_discharge_;
  const std::size_t si = static_cast<std::size_t>(i);
  for (int t = 0; t <= setup_.n_tracers; ++t) record.flow_mm[static_cast<std::size_t>(t)] = routed[t][si];
  record.reinfiltration = 0;
  record.reserved = 0;
  const Channel& channel = channels_[static_cast<std::size_t>(m)];
  const double q = routed[0][si];
  record.flowm3s = ToCubicMetresPerSecond(q, channel.parameters.catchment_km2, setup_.dt_min);
  record.speed = channel.table.v[static_cast<std::size_t>(RowIndex(m, q))];
}

void routingclass::SetRiverCellRecords(std::span<RiverflowRecord> table, int k) {
  river_records_ = table;
  if (table.empty()) return;
  ForEachTributary([&](int m, int i) {
    RiverflowRecord& record = river_records_[static_cast<std::size_t>(i)];
    record.channel = m;
    record.area_km2 = channels_[static_cast<std::size_t>(m)].parameters.catchment_km2;
    record.routing_object = k;
    RefreshRiverRecord(m, i);
  });
}

void routingclass::UpdateRiverCellRecords() {
  if (river_records_.empty()) return;
  ForEachTributary([&](int m, int i) { RefreshRiverRecord(m, i); });
}

void routingclass::WithdrawReinfiltration(int m) {
  SubIntervalFlows& flow = *sub_interval_flow_;
  const Channel& channel = channels_[static_cast<std::size_t>(m)];
  const auto withdraw = [&](int i) {
    RiverflowRecord& record = river_records_[static_cast<std::size_t>(i)];
    record.reinfiltration = ToRoutingMillimetres(record.reinfiltration, record.area_km2, setup_.dt_min);
    for (int s = 1; s <= n_sub_intervals_; ++s) flow(0, s, i) -= record.reinfiltration;
  };
  for (int code : channel.code_list) withdraw(SubbasinIndex(code));
  withdraw(SubbasinIndex(channel.source_code));
}

}  // namespace tolvo
