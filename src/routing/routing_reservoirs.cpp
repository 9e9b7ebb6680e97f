// The reservoirs and lakes of a routing sub-basin object: their set-up from the routing
// description and their place at the outlet in every routing step.
#include <string>

#include "framework/grid_table.h"
#include "routing/routing_units.h"
#include "routing/routingclass.h"

namespace tolvo {

void routingclass::BindLakeGrids(SP_class& reservoir) {
  grid_table& table = *grids();
  const auto values = [&](int index) { return table[index].values; };
  const auto optional = [&](std::string_view identifier) -> ConstGridView {
    const int index = FindGrid(identifier, true);
    return index > 0 ? ConstGridView(values(index)) : ConstGridView();
  };
  LakeGrids lake;
  lake.lake_codes = values(RequireGrid("lake_codes"));
  // A soil model with a layered surface store keeps the lake water in its top layer.
  const int ponding = FindGrid("ponding_storage", true);
  lake.ponding = values(ponding > 0 ? ponding : RequireGrid("ponding_storage_top"));
  lake.max_ponding = values(RequireGrid("max_ponding_storage"));
  lake.zones = values(RequireGrid("zonegrid_soilmodel"));
  lake.elevation = values(RequireGrid("[elevation_model]"));
  lake.transpiration = values(RequireGrid("real_transpiration0"));
  lake.q_downext = optional("q_downext");
  lake.baseflow = optional("baseflow");
  lake.prec_on_lakes = values(RequireGrid("PrecOnLakes"));
  lake.tracer_concentrations.resize(static_cast<std::size_t>(setup_.n_tracers) + 1);
  for (int k = 1; k <= setup_.n_tracers; ++k) {
    lake.tracer_concentrations[static_cast<std::size_t>(k)] =
        values(RequireGrid("concstor_tracer_" + std::to_string(k) + "_unsatzon_model"));
  }
  reservoir.BindLakeGrids(std::move(lake));
}

void routingclass::SetSpeicherParams(int number, std::string_view block, std::size_t at, std::size_t end,
                                     int n_sub_intervals) {
  const BlockCounts& n = setup_.counts;
  if (n.ol + n.sumtrib + n.zl == 0 && subbasin_outflow_.empty()) {
    n_sub_intervals_ = n_sub_intervals;
    subbasin_outflow_ = TracerRows(setup_.n_tracers, n_sub_intervals);
  }
  const int k = number - n.ol - n.sumtrib - n.zl - n.al;
  SP_class& reservoir = reservoirs_[static_cast<std::size_t>(k)];
  reservoir.ReadParameters(block, at, end);
  reservoir.BuildLevelVolumeTable();
  reservoir.CreateOutputFile();
  if (setup_.readgrids != 0) reservoir.InitContentFromCells();
  reservoir.SetLevelFromVolume(reservoir.content()[0]);
}

void routingclass::ReadReservoirRules(ControlFileStream& file) {
  for (int k = 1; k <= reservoir_count(); ++k) reservoirs_[static_cast<std::size_t>(k)].ReadRules(file);
}

void routingclass::ReadAbstractionRules(ControlFileStream& file) {
  for (int k = 1; k <= abstraction_count(); ++k) abstractions_[static_cast<std::size_t>(k)].ReadRules(file);
}

void routingclass::RegisterReservoirs(ReservoirMap& map) {
  for (int k = 1; k <= reservoir_count(); ++k) reservoirs_[static_cast<std::size_t>(k)].RegisterReservoir(map);
}

void routingclass::RegisterHydraulicConnection(HydraulicConnectionSet& set) {
  connections_ = &set;
  if (reservoir_count() >= 1) reservoirs_.back().RegisterSubbasin(set);
}

void routingclass::InitReservoirOutflow() {
  for (int k = 1; k <= reservoir_count(); ++k) {
    SP_class& reservoir = reservoirs_[static_cast<std::size_t>(k)];
    reservoir.CheckConnection();
    double outflow = reservoir.ComputeOutflow({}, 0.0, setup_.dt_min);
    if (outflow * setup_.dt_min * 60 > reservoir.content()[0]) outflow = reservoir.content()[0] / 60 / setup_.dt_min;
    reservoir.set_outflow(outflow);
  }
}

void routingclass::FlushOutputs() {
  for (int k = 1; k <= abstraction_count(); ++k) abstractions_[static_cast<std::size_t>(k)].FlushOutput(1);
  for (int k = 1; k <= reservoir_count(); ++k) reservoirs_[static_cast<std::size_t>(k)].FlushOutput(1);
}

double routingclass::OwnCubicMetres(double q_mm) const {
  return ToCubicMetresPerSecond(q_mm, setup_.area_km2 / setup_.scale_factor, setup_.dt_min);
}

double routingclass::OwnMillimetres(double q_m3s) const {
  return ToRoutingMillimetres(q_m3s, setup_.area_km2 / setup_.scale_factor, setup_.dt_min);
}

bool routingclass::Bypassed(int m) const {
  if (connections_ == nullptr || !IsTributaryChannel(m)) return false;
  const auto found = connections_->find(channels_[static_cast<std::size_t>(m)].source_code);
  return found != connections_->end() && found->second;
}

void routingclass::FeedInflowSlot(int z, double q_m3s, int own) {
  SubIntervalFlows& flow = *sub_interval_flow_;
  TracerRows& routed = *routed_discharge_;
  // The receiving inflow channel turns m3/s into routing millimetres over its own area.
  for (int s = 1; s <= n_sub_intervals_; ++s) {
    flow(0, s, z) = q_m3s;
    for (int t = 1; t <= setup_.n_tracers; ++t) flow(t, s, z) = routed[t][static_cast<std::size_t>(own)];
  }
  routed[0][static_cast<std::size_t>(z)] = q_m3s;
}

double routingclass::TakeAbstractions(int own, const StepDate& date, bool irrigation) {
  const bool real_step = date.month >= 1;
  const int T = setup_.n_tracers;
  const std::size_t so = static_cast<std::size_t>(own);
  TracerRows& routed = *routed_discharge_;
  SubIntervalFlows& flow = *sub_interval_flow_;
  double available = routed[0][so];
  const SP_class* outlet = reservoir_count() > 0 ? &reservoirs_.back() : nullptr;
  if (outlet != nullptr) {
    // The content the outlet reservoir kept from the previous step, less what irrigation draws.
    const double irrigation_m3 =
        irrigation ? 60 * setup_.dt_min * OwnCubicMetres((*maxirrig_from_reservoirs_)[0][so]) : 0.0;
    available = OwnMillimetres((outlet->content()[0] - irrigation_m3) / setup_.dt_min / 60);
  }
  double abstracted = 0;
  for (int k = 1; k <= abstraction_count(); ++k) {
    AL_class& abstraction = abstractions_[static_cast<std::size_t>(k)];
    if (abstraction.mode() == AbstractionMode::kInternFromReservoir) continue;
    const double a = abstraction.ComputeAbstraction(routed, abstracted, available, date);
    abstraction_values_[0] = OwnCubicMetres(a);
    for (int t = 1; t <= T; ++t) {
      abstraction_values_[static_cast<std::size_t>(t)] =
          outlet != nullptr ? outlet->content()[static_cast<std::size_t>(t)] : routed[t][so];
    }
    if (real_step) abstraction.AppendOutputRow(date, abstraction_values_);
    if (outlet == nullptr) {
      routed[0][so] -= a;
      for (int s = 1; s <= n_sub_intervals_; ++s) flow(0, s, own) -= a;
    }
    if (abstraction.mode() == AbstractionMode::kIntern || abstraction.mode() == AbstractionMode::kInternWithRule) {
      FeedInflowSlot(setup_.n_subbasins + abstraction.code(), abstraction_values_[0], own);
    }
  }
  return abstracted;
}

void routingclass::RouteReservoirs(int own, const StepDate& date, bool irrigation, double abstracted_mm) {
  const bool real_step = date.month >= 1;
  const int T = setup_.n_tracers;
  const std::size_t so = static_cast<std::size_t>(own);
  TracerRows& routed = *routed_discharge_;
  SubIntervalFlows& flow = *sub_interval_flow_;
  // Abstractions drawn from a reservoir take their water from the outlet reservoir alone,
  // so that none is drawn twice.
  reservoir_draws_.Bind(abstractions_, translation_cascade_);
  ReservoirDraws* draws = reservoir_draws_.any() ? &reservoir_draws_ : nullptr;
  for (int k = 1; k <= reservoir_count(); ++k) {
    SP_class& reservoir = reservoirs_[static_cast<std::size_t>(k)];
    const bool last = k == reservoir_count();
    const double irrigation_m3 =
        irrigation && last ? 60 * setup_.dt_min * OwnCubicMetres((*maxirrig_from_reservoirs_)[0][so]) : 0.0;
    for (int t = 1; t <= T; ++t) reservoir_inflow_[static_cast<std::size_t>(t)] = routed[t][so];
    reservoir.ReservoirStep({.inflow_m3s = OwnCubicMetres(routed[0][so]),
                             .routed = reservoir_inflow_,
                             .dt_min = setup_.dt_min,
                             .irrigation_m3 = irrigation_m3,
                             .abstraction_m3 = last && real_step ? 60 * setup_.dt_min * OwnCubicMetres(abstracted_mm) : 0.0,
                             .draws = last ? draws : nullptr},
                            date);
    // The fields received the irrigation planned with the reservoir's offer at the start of
    // the step; what the store could not give of it is owed, and the river pays it in the
    // next steps, so that the fields get no water from nowhere.
    const double short_m3 = irrigation_m3 - reservoir.balance(BalanceTerm::kIrrig).volume_m3;
    if (short_m3 > 0) irrigation_debt_mm_ += OwnMillimetres(short_m3 / 60 / setup_.dt_min);
    // The outflow of a reservoir is constant over the sub-intervals of the step.
    routed[0][so] = OwnMillimetres(reservoir.outflow());
    for (int t = 1; t <= T; ++t) routed[t][so] = reservoir.content()[static_cast<std::size_t>(t)];
    for (int s = 1; s <= n_sub_intervals_; ++s) {
      for (int t = 0; t <= T; ++t) flow(t, s, own) = routed[t][so];
    }
    if (!real_step) continue;
    if (last && maxirrig_from_reservoirs_ != nullptr) {
      TracerRows& available = *maxirrig_from_reservoirs_;
      available[0][so] = OwnMillimetres(reservoir.content()[0] / 60 / setup_.dt_min);
      for (int t = 1; t <= T; ++t) available[t][so] = reservoir.content()[static_cast<std::size_t>(t)];
    }
    reservoir.AppendOutputRow(date.year, date.month, date.day, date.hour);
  }
  if (draws == nullptr) return;
  // What was drawn from the outlet reservoir enters the internal inflow of the same code,
  // with the reservoir's concentrations.
  for (int k = 1; k <= abstraction_count(); ++k) {
    AL_class& abstraction = abstractions_[static_cast<std::size_t>(k)];
    if (abstraction.mode() != AbstractionMode::kInternFromReservoir) continue;
    const std::span<double> current = abstraction.current();
    for (int t = 1; t <= T; ++t) current[static_cast<std::size_t>(t)] = routed[t][so];
    FeedInflowSlot(setup_.n_subbasins + abstraction.code(), current[0], own);
  }
}

}  // namespace tolvo
