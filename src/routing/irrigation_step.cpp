// The irrigation step on process 0: the rules of every cell, the service of the
// surface-water demand by reservoirs and rivers along the network, the reallocation when
// the rivers cannot serve it, and the mixing into the precipitation.
#include <algorithm>

#include "framework/tracer_settings_record.h"
#include "routing/irrigationclass.h"

namespace tolvo {

int irrigationclass::ZoneIndex(int r, int c) const {
  const int code = static_cast<int>(zone_grid_(r, c));
  const std::span<const int> index = settings().zones.code_index;
  return code >= 0 && static_cast<std::size_t>(code) < index.size() ? index[static_cast<std::size_t>(code)] : 0;
}

const IrrigationRecord* irrigationclass::RuleOf(int r, int c) const {
  if (table_ == nullptr || table_->empty()) return nullptr;
  const int e = static_cast<int>(codes_(r, c));
  const int count = (*table_)[0].code;
  if (e < 1 || e > count || static_cast<std::size_t>(e) >= table_->size()) return nullptr;
  const IrrigationRecord& rule = (*table_)[static_cast<std::size_t>(e)];
  return static_cast<int>(rule.method) < 1 ? nullptr : &rule;
}

double irrigationclass::CellWeight(int r, int c) const {
  return !weights_.empty() && weights_(r, c) > -9998 ? weights_(r, c) : 1.0;
}

void irrigationclass::AddToStatistics(int r, int c, int z, double groundwater, double surface) {
  statistics_[0]->AddValue(r, c, z, groundwater, 1);
  statistics_[1]->AddValue(r, c, z, surface, 1);
  const double w = CellWeight(r, c);
  surface_sum_[static_cast<std::size_t>(z)] += surface * w;
  weight_sum_[static_cast<std::size_t>(z)] += w;
}

double irrigationclass::RuleAmount(const IrrigationRecord& rule, int r, int c, int month, int day) const {
  const double dt = TimeStep;
  const double current = running_(r, c);
  // Filling the root zone from its moisture to the upper threshold, spread over a day.
  const double fill = (sb_high_(r, c) - sb_(r, c)) * root_depth_(r, c) * 1000 * dt / 1440;
  const bool stop = dt >= 1440 || sb_(r, c) >= sb_high_(r, c);
  switch (rule.method) {
    case IrrigationMethod::DemandByEtRatio:
      if (etr_ratio_(r, c) < rule.minETRbyETP) return current == 0 ? fill : current;
      return stop ? 0.0 : current;
    case IrrigationMethod::DemandBySuction:
      if (sb_(r, c) < sb_low_(r, c)) return current == 0 ? fill : current;
      return stop ? 0.0 : current;
    case IrrigationMethod::FixedTable:
    case IrrigationMethod::ScheduleRules:
      for (int k = 1; k <= rule.tabcnt; ++k) {
        const auto sk = static_cast<std::size_t>(k);
        if (rule.month[sk] == month && rule.day[sk] == day) return rule.amount[sk] * dt / 1440;
      }
      return 0.0;
  }
  return 0.0;
}

void irrigationclass::EvaluateRules(int month, int day) {
  const GridGeometry& g = geometry();
  std::fill(surface_sum_.begin(), surface_sum_.end(), 0.0);
  std::fill(weight_sum_.begin(), weight_sum_.end(), 0.0);
  for (int r = 1; r <= g.nrows; ++r) {
    for (int c = 1; c <= g.ncols; ++c) {
      if (zone_grid_(r, c) <= g.nodata_value) {
        running_(r, c) = g.nodata_value;
        continue;
      }
      const int z = ZoneIndex(r, c);
      const IrrigationRecord* rule = RuleOf(r, c);
      if (rule == nullptr) {
        running_(r, c) = 0;
        AddToStatistics(r, c, z, 0, 0);
        continue;
      }
      double amount = RuleAmount(*rule, r, c, month, day);
      if (rule->origin == 1) {
        amount = std::min(amount, max_pumping_(r, c));
        AddToStatistics(r, c, z, amount, 0);
      } else if (rule->origin == 2) {
        AddToStatistics(r, c, z, 0, amount);
      }
      running_(r, c) = amount;
    }
  }
}

void irrigationclass::ServeFromRiversAndReservoirs() {
  const double dt = TimeStep;
  const std::span<const ZoneRecord> zones = settings().zones.zones;
  shortage_ = false;
  for (int s = 1; s <= n_zones_; ++s) {
    const auto k = static_cast<std::size_t>(s);
    // A sub-basin without irrigated weight has no demand.
    demand_[k] = weight_sum_[k] > 0 ? surface_sum_[k] / weight_sum_[k] : 0.0;
    const double stored = from_reservoirs_ != nullptr ? (*from_reservoirs_)[0][k] : 0.0;
    reservoir_share_[k] = stored > 0 ? std::min(demand_[k], stored) : 0.0;
    river_water_[k] = maxirrig_ != nullptr ? (*maxirrig_)[0][k] : 0.0;
  }
  // River water serves the demand left, upstream sub-basins first; what they take is
  // missing in every sub-basin downstream.
  const double basin_area = zones[0].rel;
  if (routing_target_ != nullptr) {
    for (int p = 1; p <= n_zones_; ++p) {
      const int g = routing_target_->tributaries[static_cast<std::size_t>(p)];
      if (g <= 0) continue;
      const auto sg = static_cast<std::size_t>(g);
      const double u = std::max(0.0, std::min(river_water_[sg], demand_[sg] - reservoir_share_[sg]));
      const double rel_g = zones[sg].rel;
      const auto reduce_record = [&](int t) {
        if (river_records_.empty() || static_cast<std::size_t>(t) >= river_records_.size()) return;
        RiverflowRecord& record = river_records_[static_cast<std::size_t>(t)];
        if (record.routing_object == 0) return;
        record.flowm3s -= basin_area * u * rel_g / (dt * 0.06);
        record.flow_mm[0] = record.area_km2 > 0 ? dt * (record.flowm3s / record.area_km2) * 0.06 : 0.0;
        if (record.flow_mm[0] < 0) record.flow_mm[0] = record.flowm3s = 0;
      };
      reduce_record(g);
      for (int t = routing_target_->target[sg]; t > 0; t = routing_target_->target[static_cast<std::size_t>(t)]) {
        const auto st = static_cast<std::size_t>(t);
        const double rel_t = zones[st].rel;
        if (rel_t > 0) river_water_[st] = std::max(0.0, river_water_[st] - rel_g * u / rel_t);
        reduce_record(t);
      }
    }
  }
  for (int s = 1; s <= n_zones_; ++s) {
    const auto k = static_cast<std::size_t>(s);
    const double left = demand_[k] - reservoir_share_[k];
    fraction_[k] = 1;
    if (surface_sum_[k] > 0 && left > 1e-8) {
      fraction_[k] = river_water_[k] / left;
      if (fraction_[k] >= 1) {
        fraction_[k] = 1;
      } else {
        shortage_ = true;
      }
    }
    const double stored = from_reservoirs_ != nullptr ? (*from_reservoirs_)[0][k] : 0.0;
    if (demand_[k] > stored) shortage_ = true;
  }
}

void irrigationclass::Reallocate() {
  const GridGeometry& g = geometry();
  std::fill(surface_sum_.begin(), surface_sum_.end(), 0.0);
  std::fill(weight_sum_.begin(), weight_sum_.end(), 0.0);
  for (int r = 1; r <= g.nrows; ++r) {
    for (int c = 1; c <= g.ncols; ++c) {
      if (!(zone_grid_(r, c) > 0)) continue;
      const int z = ZoneIndex(r, c);
      const auto k = static_cast<std::size_t>(z);
      const IrrigationRecord* rule = RuleOf(r, c);
      const double w_cell = CellWeight(r, c);
      weight_sum_[k] += w_cell;
      if (rule == nullptr || rule->origin != 2) continue;
      // The reservoir serves its share w of the demand, the rivers their fraction f of the
      // rest: every surface-water cell receives w + f (1 - w) of its amount, so that the
      // sub-basin's cells receive the reservoir share plus the river water delivered.
      const double w = demand_[k] > 0 ? reservoir_share_[k] / demand_[k] : 0.0;
      const double amount = running_(r, c) * (w + fraction_[k] * (1 - w));
      running_(r, c) = amount;
      surface_sum_[k] += amount * w_cell;
    }
  }
}

void irrigationclass::MixAndAddToPrecipitation() {
  const GridGeometry& g = geometry();
  const int n_t = TracerCount;
  for (int r = 1; r <= g.nrows; ++r) {
    for (int c = 1; c <= g.ncols; ++c) {
      const double irrigation = running_(r, c);
      amounts_(r, c) = irrigation;
      if (!(zone_grid_(r, c) > 0)) continue;
      const IrrigationRecord* rule = RuleOf(r, c);
      const int e = static_cast<int>(codes_(r, c));
      if (rule == nullptr && e != 0) continue;
      const double P = precipitation_(r, c);
      const double I = std::max(irrigation, 0.0);
      const int z = ZoneIndex(r, c);
      for (int t = 1; t <= n_t; ++t) {
        const auto st = static_cast<std::size_t>(t);
        GridView conc = tracer_copies_[st].whole();
        const double c_input = input_concentration_[st](r, c);
        if (I > 0 && rule != nullptr && (rule->origin == 1 || rule->origin == 2)) {
          const double c_irrigation = rule->origin == 1 ? soil_concentration_[st](r, c)
                                                        : (maxirrig_ != nullptr ? (*maxirrig_)[st][static_cast<std::size_t>(z)] : 0.0);
          conc(r, c) = WeightedMean(c_input, c_irrigation, P, I);
        } else if (I <= 0) {
          conc(r, c) = P > 0 ? c_input : 0.0;
        }
        TracerRecords[st].statistic->AddValue(r, c, z, conc(r, c), P + I);
      }
      precipitation_(r, c) = P + I;
    }
  }
}

}  // namespace tolvo
