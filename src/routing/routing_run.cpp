// The discharge routing's start-up and its step: runoff in, every routing object in the
// order of the routing description, irrigation water handed downstream, the comparison
// with observed discharge and the routed-discharge table.
#include <cmath>
#include <vector>

#include "framework/error_code.h"
#include "routing/abflussmodellklasse.h"
#include "routing/routing_network.h"

namespace tolvo {

void abflussmodellklasse::NoRunoffError() {
  log() << "FATAL: No valid discharges for discharge routing!\nYou have to run the model including at least "
           "precipitation interpolation and soil model\nif discharges are wished."
        << "[end-entry]";
  RaiseError(kNoRoutingRunoff);
}

void abflussmodellklasse::SetRunoffInput(std::span<const std::vector<double>> runoff) {
  if (ModuleSwitch == 0) return;
  const std::size_t n = static_cast<std::size_t>(subbasins_.zone_count);
  // Every tracer row must hold every sub-basin.
  bool usable = runoff.size() > static_cast<std::size_t>(n_tracers_);
  for (std::size_t t = 0; usable && t <= static_cast<std::size_t>(n_tracers_); ++t) usable = runoff[t].size() > n;
  if (!usable) NoRunoffError();
  runoff_input_ = runoff;
  routed_discharge_ = TracerRows(n_tracers_, subbasins_.zone_count + counts_.zl + counts_.al + 3);
}

void abflussmodellklasse::SetIrrigationDemand(std::span<ZoneRecord> demand) {
  if (ModuleSwitch == 0) return;
  demand_ = demand;
  for (const std::unique_ptr<routingclass>& object : routing_objects_) object->SetIrrigationDemand(demand);
}

void abflussmodellklasse::SetRiverCellRecords(std::span<RiverflowRecord> table) {
  if (ModuleSwitch == 0) return;
  river_records_ = table;
  int k = 0;
  for (const std::unique_ptr<routingclass>& object : routing_objects_) object->SetRiverCellRecords(table, ++k);
}

int abflussmodellklasse::SetDischargeUnit(int unit) {
  if (ModuleSwitch != 0) {
    discharge_unit_ = unit;
    for (const std::unique_ptr<routingclass>& object : routing_objects_) object->SetObservedInCubicMetres(unit == 1);
  }
  return ModuleSwitch;
}

void abflussmodellklasse::FillSubIntervalFlow() {
  const int last = subbasins_.zone_count + counts_.zl;
  for (int t = 0; t <= n_tracers_; ++t) {
    std::span<const double> routed = routed_discharge_[t];
    for (int s = 1; s <= n_sub_intervals_; ++s) {
      std::span<double> row = sub_interval_flow_.row(t, s);
      std::copy(routed.begin() + 1, routed.begin() + last + 1, row.begin() + 1);
    }
  }
}

void abflussmodellklasse::InitRouting(int /*module_switch*/) {
  if (ModuleSwitch == 0) return;
  if (runoff_input_.empty()) NoRunoffError();
  const std::size_t n = static_cast<std::size_t>(subbasins_.zone_count);
  for (int t = 0; t <= n_tracers_; ++t) {
    std::span<double> routed = routed_discharge_[t];
    std::copy(runoff_input_[static_cast<std::size_t>(t)].begin() + 1,
              runoff_input_[static_cast<std::size_t>(t)].begin() + static_cast<std::ptrdiff_t>(n) + 1,
              routed.begin() + 1);
    std::fill(routed.begin() + static_cast<std::ptrdiff_t>(n) + 1,
              routed.begin() + static_cast<std::ptrdiff_t>(n) + counts_.zl + 1, 0.0);
  }
  for (const std::unique_ptr<routingclass>& object : routing_objects_) {
    object->SetObservedInCubicMetres(discharge_unit_ == 1);
    object->SetFlowArrays(routed_discharge_, sub_interval_flow_, translation_cascade_, observed_ring_.get(),
                          gauge_columns_);
  }
  FillSubIntervalFlow();
  log() << "checking connection of internal inflows and abstractions"
        << "[end-entry]";
  ConnectInternalInflows();
  for (const std::unique_ptr<routingclass>& object : routing_objects_) object->FillChannels();
  if (readgrids_ != 0) return;
  StartUpRoutings();
}

void abflussmodellklasse::ConnectInternalInflows() {
  constexpr const char* kFirstLine = "FATAL: \n ---> Error in connecting internal abstractions with internal inflows:\n";
  const int n_objects = static_cast<int>(routing_objects_.size());
  std::vector<std::vector<bool>> connected(static_cast<std::size_t>(n_objects) + 1);
  for (int e = 1; e <= n_objects; ++e) {
    connected[static_cast<std::size_t>(e)].assign(
        static_cast<std::size_t>(routing_objects_[static_cast<std::size_t>(e - 1)]->abstraction_count()) + 1, false);
  }
  for (int n = 1; n <= n_objects; ++n) {
    routingclass& receiver = *routing_objects_[static_cast<std::size_t>(n - 1)];
    for (int j = 1; j <= receiver.counts().zl; ++j) {
      if (receiver.inflow_kind(j) != static_cast<int>(InflowKind::kInternal)) continue;
      const int slot = receiver.inflow_slot(j);
      bool found = false;
      for (int e = 1; e <= n_objects; ++e) {
        routingclass& giver = *routing_objects_[static_cast<std::size_t>(e - 1)];
        for (int k = 1; k <= giver.abstraction_count(); ++k) {
          const AL_class& abstraction = giver.abstraction(k);
          if (!abstraction.internal() || abstraction.code() != slot) continue;
          if (found) {
            log() << kFirstLine << "in routing description " << e << " for TG " << giver.own_code() << ":\n"
                  << "Inflow " << slot << " is already connected to an internal abstraction.\n"
                  << "Each abstaction (AL-element) must be conencted to exactly one internal inflow(ZL-element)\n"
                  << "[end-entry]";
            RaiseError(kInflowAlreadyConnected);
          }
          if (e == n) {
            log() << kFirstLine << "Abstraction AL " << abstraction.code() << " from routing description " << e
                  << " and inflow ZL " << slot << " are both defined for the same routing-subbasin TG "
                  << giver.own_code() << ".\n"
                  << "this is not allowed\n"
                  << "[end-entry]";
            RaiseError(kInflowSameSubbasin);
          }
          found = true;
          connected[static_cast<std::size_t>(e)][static_cast<std::size_t>(k)] = true;
          giver.abstraction(k).SetRuleTarget(receiver.own_index(), receiver.first_source_index(),
                                             receiver.area_km2(), receiver.scale_factor(), receiver.area_km2());
        }
      }
      if (!found) {
        log() << kFirstLine << "in routing description " << n << " for TG " << receiver.own_code() << ":\n"
              << "Internal Inflow ZL " << slot << " has no conenction to an internal abstraction.\n"
              << "this is not allowed\n"
              << "[end-entry]";
        RaiseError(kInflowNotConnected);
      }
    }
  }
  for (int w = 1; w <= n_objects; ++w) {
    routingclass& giver = *routing_objects_[static_cast<std::size_t>(w - 1)];
    for (int k = 1; k <= giver.abstraction_count(); ++k) {
      const AL_class& abstraction = giver.abstraction(k);
      if (!abstraction.internal() || connected[static_cast<std::size_t>(w)][static_cast<std::size_t>(k)]) continue;
      log() << kFirstLine << "in routing description " << w << " for TG " << giver.own_code() << ":\n"
            << "Internal abstraction AL " << abstraction.code() << " is not connected to any internal inflow.\n"
            << "[end-entry]";
      RaiseError(kAbstractionNotConnected);
    }
  }
}

void abflussmodellklasse::StartUpRoutings() {
  double hours = 0;
  for (const std::unique_ptr<routingclass>& object : routing_objects_) {
    double slowest = 0;
    for (int m = 1; m <= object->channel_count(); ++m) {
      slowest = std::max(slowest, std::trunc(object->channel(m).table.t[1]));
    }
    hours += slowest;
  }
  const int n_routings = std::max(1, static_cast<int>(std::ceil(hours / TimeStep * 60)));
  log() << "routing the initialization discharges (" << n_routings << " times)";
  const int n = subbasins_.zone_count;
  TracerRows saved(n_tracers_, n);
  for (int t = 0; t <= n_tracers_; ++t) {
    std::copy(routed_discharge_[t].begin(), routed_discharge_[t].begin() + n + 1, saved[t].begin());
  }
  for (int k = 0; k < n_routings; ++k) {
    FillSubIntervalFlow();
    for (const std::unique_ptr<routingclass>& object : routing_objects_) object->RouteTimeStep(0, 0, 0, 0);
    log() << ".";
    for (int t = 0; t <= n_tracers_; ++t) {
      std::copy(saved[t].begin() + 1, saved[t].end(), routed_discharge_[t].begin() + 1);
    }
  }
  log() << "[end-entry]";
}

void abflussmodellklasse::PrepareIrrigationDemand() {
  for (int i = 1; i <= subbasins_.zone_count; ++i) {
    const std::size_t si = static_cast<std::size_t>(i);
    for (int t = 0; t <= n_tracers_; ++t) maxirrig_[t][si] = 0;
    ZoneRecord& record = demand_[si];
    const double mean = record.RelCellSum > 0 ? record.sx / record.RelCellSum : 0.0;
    // The outlet reservoir gives the irrigation what it serves of the demand, not its
    // whole content; after the step its content is the availability again.
    const double stored = maxirrig_from_reservoirs_[0][si];
    const double drawn = stored > 0 ? std::min(mean, stored) : 0.0;
    maxirrig_from_reservoirs_[0][si] = drawn;
    record.sx = std::max(0.0, mean - drawn);
  }
}

void abflussmodellklasse::HandIrrigationAlong() {
  const int n = subbasins_.zone_count;
  const std::vector<int>& downstream = routing_target_.target;
  for (int p = 1; p <= n; ++p) {
    const int m = routing_target_.tributaries[static_cast<std::size_t>(p)];
    if (m <= 0) continue;
    const std::size_t sm = static_cast<std::size_t>(m);
    const double rel_m = demand_[sm].rel;
    // A sub-basin without area share hands no demand downstream.
    if (rel_m == 0) continue;
    const double amount = routing_target_.object_number[sm] != 0
                              ? std::max(0.0, demand_[sm].sx)
                              : std::max(0.0, -routed_discharge_[0][sm] * abfrel_.relative_area[sm] / rel_m);
    for (int t = downstream[sm]; t > 0; t = downstream[static_cast<std::size_t>(t)]) {
      const double rel_t = demand_[static_cast<std::size_t>(t)].rel;
      if (rel_t != 0) maxirrig_[0][static_cast<std::size_t>(t)] += rel_m * amount / rel_t;
    }
  }
}

void abflussmodellklasse::RunStep(long long hour, long long day, long long month, long long year) {
  date_ = {year, month, day, hour};
  if (lake_grids_bound_) GatherLakeCells();
  if (rank() != 0) {
    if (lake_grids_bound_) ScatterLakePonding();
    return;
  }
  if (ModuleSwitch == 0) return;
  teilmodellklasse::RunStep(hour, day, month, year);
  if (!demand_.empty()) PrepareIrrigationDemand();
  const std::size_t n = static_cast<std::size_t>(subbasins_.zone_count);
  for (int t = 0; t <= n_tracers_; ++t) {
    const std::vector<double>& runoff = runoff_input_[static_cast<std::size_t>(t)];
    std::copy(runoff.begin() + 1, runoff.begin() + static_cast<std::ptrdiff_t>(n) + 1, routed_discharge_[t].begin() + 1);
  }
  const int y = static_cast<int>(year), mo = static_cast<int>(month), d = static_cast<int>(day),
            h = static_cast<int>(hour);
  for (const std::unique_ptr<routingclass>& object : routing_objects_) {
    object->ReadInflowRows({.year = y, .month = mo, .day = d, .hour = h});
  }
  FillSubIntervalFlow();
  for (const std::unique_ptr<routingclass>& object : routing_objects_) {
    object->RouteTimeStep(y, mo, d, h);
    if (!river_records_.empty()) object->UpdateRiverCellRecords();
  }
  if (!demand_.empty()) HandIrrigationAlong();
  if (lake_grids_bound_) ScatterLakePonding();
  CompareWithObserved();
  WriteStatisticsRow(year, month, day, hour);
}

void abflussmodellklasse::FlushStatistics() {
  if (ModuleSwitch == 0) return;
  if (qstat_ != nullptr) qstat_->FlushRows();
  for (std::size_t t = 1; t < TracerRecords.size(); ++t) {
    if (TracerRecords[t].statistic) TracerRecords[t].statistic->FlushRows();
  }
  for (const std::unique_ptr<routingclass>& object : routing_objects_) object->FlushOutputs();
}

}  // namespace tolvo
