// The routing step of a routing sub-basin object: translation of every channel's inflow
// through a cascade of storage elements whose number follows the travel time of the
// discharge (the waterlevel-discharge table), then two parallel linear reservoirs for the
// main channel and the flood plain (outflow(j) = a*outflow(j-1) + (1-a)*inflow(j) with
// a = exp(-1/k), the discrete linear reservoir; Chow, Maidment & Mays 1988, Applied
// Hydrology, ch. 8), and the sum of the channels at the outlet. Where the travel time
// changes, the water the cascade gains or loses goes through each sub-channel's overlap
// store back to its outflow, so that the channels keep their water.
#include <algorithm>
#include <cmath>

#include "framework/error_code.h"
#include "routing/routing_network.h"
#include "framework/tracer_settings_record.h"
#include "routing/routing_units.h"
#include "routing/routingclass.h"

namespace tolvo {

namespace {

// Gives the water of sub-channel s's overlap store back to the translation's outflow of
// the step, positions first+1..first+K of flow index f's cascades, with its tracer mass.
// Water the store holds is shared equally among the K sub-intervals. Water it owes is
// taken from the sub-intervals that carry water, in proportion to it and at most all of
// it, so that no discharge turns negative; what they cannot give stays owed for the next
// steps. Store rows: water [routing mm, summed over elements], tracer mass (water times
// concentration). What is written equals what leaves the store, so channel and store
// together keep their water and tracer mass to round-off.
void ReturnOverlap(TranslationCascades& cascades, int f, int first, int K, TracerRows& store, std::size_t s) {
  const double owed = store[0][s];
  if (owed == 0) return;
  std::vector<double>& water = cascades(0, f);
  const auto position = [&](int j) { return static_cast<std::size_t>(first + j); };
  double available = 0;
  for (int j = 1; j <= K; ++j) available += std::max(0.0, water[position(j)]);
  // Share of each sub-interval's water taken (owed < 0) or water added to each (owed > 0).
  const double taken = owed < 0 ? (available > 0 ? std::min(1.0, -owed / available) : 0.0) : 0.0;
  if (owed < 0 && taken == 0) return;
  const auto change = [&](double u) { return owed > 0 ? owed / K : -taken * std::max(0.0, u); };
  for (int t = 1; t <= store.tracer_count(); ++t) {
    std::vector<double>& tracer = cascades(t, f);
    // The store's tracer travels with its water.
    const double concentration = store[t][s] / owed;
    for (int j = 1; j <= K; ++j) {
      const double u = water[position(j)];
      const double w = u + change(u);
      const double c = w != 0 ? (u * tracer[position(j)] + change(u) * concentration) / w : 0.0;
      store[t][s] -= w * c - u * tracer[position(j)];
      tracer[position(j)] = c;
    }
  }
  for (int j = 1; j <= K; ++j) {
    const double u = water[position(j)];
    water[position(j)] = u + change(u);
    store[0][s] -= water[position(j)] - u;
  }
}

}  // namespace

void routingclass::SetInflow(int m, const InflowEntry& inflow, const ModelDate& start) {
  const int j = m - setup_.counts.ol - setup_.counts.sumtrib;
  const std::size_t sj = static_cast<std::size_t>(j);
  inflow_slots_[sj] = inflow.code;
  inflow_kinds_[sj] = static_cast<int>(inflow.kind);
  if (inflow.kind != InflowKind::kExternal) {
    inflow_values_[0][sj] = inflow.kind == InflowKind::kConstant ? inflow.constant_m3s : 0.0;
    return;
  }
  const int T = setup_.n_tracers;
  if (inflow_readers_.size() <= sj) inflow_readers_.resize(static_cast<std::size_t>(setup_.counts.zl) + 1);
  inflow_readers_[sj] = std::make_unique<timeseries_file>(log());
  timeseries_file& reader = *inflow_readers_[sj];
  reader.Open(inflow.file, 100000);
  if (reader.state() == kTimeseriesOpenFailed) {
    log() << "FATAL: error opening " << inflow.file << " for inflow " << j << "[end-entry]";
    RaiseError(kAbstractionFileError);
  }
  const auto readable = [&] { return reader.state() == kTimeseriesMoreBlocks || reader.state() == kTimeseriesLastBlock; };
  // The start row counts the file's lines, header lines included.
  long long row = reader.header_lines();
  while (row < inflow.start_row - 1 && readable()) {
    reader.NextRecord();
    ++row;
  }
  if (!readable()) {
    log() << "FATAL: error searching in " << inflow.file << " for row " << inflow.start_row
          << "\nactual reached row: " << row << "[end-entry]";
    RaiseError(kTimeSeriesSearchError);
  }
  bool found = false;
  while (readable()) {
    int year = 0, month = 0, day = 0, hour = 0;
    reader.GetDate(year, month, day, hour);
    if (year < 1000) year += 1900;
    if (year == start.year && month == start.month && day == start.day && hour == start.hour) {
      found = true;
      break;
    }
    reader.NextRecord();
  }
  if (!found) {
    log() << "FATAL: starting date " << start.day << "." << start.month << "." << start.year << ", " << start.hour
          << ". h in " << inflow.file << " not found (search started at row " << inflow.start_row << ")"
          << "[end-entry]";
    RaiseError(kTimeSeriesSearchError);
  }
  if (inflow.first_column + T - 4 > reader.value_count()) {
    log() << "FATAL: there is not the required number of columns in " << inflow.file << " for reading ZL[" << j
          << "] and the follwoing " << T << " tracer values starting from column " << inflow.first_column
          << "[end-entry]";
    RaiseError(kTimeSeriesSearchError);
  }
  // The values are always those of the value columns 0..T; another first column only
  // widens the column check above.
  if (inflow.first_column != 5) {
    log() << "WARNING: inflow " << inflow.code << " names column " << inflow.first_column << " of " << inflow.file
          << " as its first value column; the inflow is read from column 5 (the first after the date) on"
          << "[end-entry]";
  }
  for (int t = 0; t <= T; ++t) {
    const double v = reader.GetValue(t);
    inflow_values_[t][sj] = v <= -9998 ? 0.0 : v;
  }
}

void routingclass::ReadInflowRows(const StepDate& date) {
  TracerRows& routed = *routed_discharge_;
  const int T = setup_.n_tracers;
  const auto value = [](double v) { return v <= -9998 ? 0.0 : v; };
  for (int j = 1; j <= setup_.counts.zl; ++j) {
    const std::size_t sj = static_cast<std::size_t>(j);
    if (inflow_kinds_[sj] != static_cast<int>(InflowKind::kExternal)) continue;
    timeseries_file& reader = *inflow_readers_[sj];
    const std::size_t f = static_cast<std::size_t>(setup_.n_subbasins + inflow_slots_[sj]);
    if (reader.state() != kTimeseriesMoreBlocks && reader.state() != kTimeseriesLastBlock) {
      log() << "FATAL: error reading from " << reader.file_name() << " (or from its buffer) for inflow "
            << inflow_slots_[sj] << "\nreached end of file!"
            << "[end-entry]";
      RaiseError(kInflowFileEnded);
    }
    int year = 0, month = 0, day = 0, hour = 0;
    reader.GetDate(year, month, day, hour);
    if (year < 1000) year += 1900;
    if (year != date.year || month != date.month || day != date.day || hour != date.hour) {
      log() << "FATAL: error comparing dates in " << reader.file_name() << ":\n     read: " << year << "." << month
            << "." << day << ", " << hour << ". h,\nshould be: " << date.year << "." << date.month << "." << date.day
            << ", " << date.hour << ". h.\n"
            << "[end-entry]";
      RaiseError(kInflowDateMismatch);
    }
    for (int t = 1; t <= T; ++t) routed[t][f] = value(reader.GetValue(t));
    const double area = channels_[static_cast<std::size_t>(setup_.counts.ol + setup_.counts.sumtrib + j)]
                            .parameters.catchment_km2;
    routed[0][f] = ToRoutingMillimetres(value(reader.GetValue(0)), area, setup_.dt_min);
    reader.NextRecord();
  }
}

void routingclass::SetSubIntervalCount(int n_sub_intervals) {
  n_sub_intervals_ = n_sub_intervals;
  if (subbasin_outflow_.empty()) subbasin_outflow_ = TracerRows(setup_.n_tracers, n_sub_intervals);
}

void routingclass::SetAblaufModus(int number, std::string_view block, std::size_t at, int n_sub_intervals,
                                  const ModelDate& start) {
  const BlockCounts& n = setup_.counts;
  n_sub_intervals_ = n_sub_intervals;
  if (n.ol + n.sumtrib + n.zl == 0 && subbasin_outflow_.empty()) {
    subbasin_outflow_ = TracerRows(setup_.n_tracers, n_sub_intervals);
  }
  const int k = number - n.ol - n.sumtrib - n.zl;
  abstractions_[static_cast<std::size_t>(k)].ReadDefinition(block, at, start);
}

int routingclass::FlowIndex(int m) const {
  if (IsTributaryChannel(m)) return SubbasinIndex(channels_[static_cast<std::size_t>(m)].source_code);
  const int j = m - setup_.counts.ol - setup_.counts.sumtrib;
  return setup_.n_subbasins + inflow_slots_[static_cast<std::size_t>(j)];
}

std::optional<double> routingclass::Observed(int f) const {
  if (observed_substitution_ == 0 || observed_ring_ == nullptr || f > setup_.n_subbasins) return std::nullopt;
  const int column = gauge_columns_[static_cast<std::size_t>(f)];
  if (column <= 0) return std::nullopt;
  const double value = observed_ring_->current(column);
  if (value > setup_.geometry.nodata_value) return ObservedInRoutingUnits(f, value);
  return std::nullopt;
}

double routingclass::ObservedInRoutingUnits(int f, double value) const {
  if (!observed_in_m3s_) return value;
  const AreaShares& abfrel = *setup_.abfrel;
  const std::size_t sf = static_cast<std::size_t>(f);
  const double area_km2 = abfrel.relative_area[sf] * abfrel.relative_area[0] / abfrel.scale[sf];
  return ToRoutingMillimetres(value, area_km2, setup_.dt_min);
}

void routingclass::FillChannels() {
  const int K = n_sub_intervals_;
  for (int m = 1; m <= channel_count(); ++m) {
    Channel& channel = channels_[static_cast<std::size_t>(m)];
    const double q = (*routed_discharge_)[0][static_cast<std::size_t>(FlowIndex(m))];
    const int r = RowIndex(m, q);
    const std::vector<int>& elements = channel.table.element_count;
    for (int s = 1; s <= channel.table.reach_count; ++s) {
      for (int j = 1; j <= K; ++j) channel.Qaus(s, j) = q;
      channel.qvzuq[static_cast<std::size_t>(s)] = 0;
      for (int t = 0; t <= setup_.n_tracers; ++t) channel.overlap_store[t][static_cast<std::size_t>(s)] = 0;
      channel.fill_position[static_cast<std::size_t>(s)] =
          K + (K + elements[1]) * (s - 1) + elements[static_cast<std::size_t>(r)];
    }
  }
}

void routingclass::WithdrawUpstreamIrrigation() {
  SubIntervalFlows& flow = *sub_interval_flow_;
  TracerRows& maxirrig = *maxirrig_;
  const auto withdraw = [&](int code) {
    const int i = SubbasinIndex(code);
    const std::size_t si = static_cast<std::size_t>(i);
    if (maxirrig[0][si] != 0) return;
    for (int t = 0; t <= setup_.n_tracers; ++t) maxirrig[t][si] = flow(t, 1, i);
    // Not bounded below: a demand above the flow leaves a deficit that travels on.
    for (int s = 1; s <= n_sub_intervals_; ++s) flow(0, s, i) -= demand_[si].sx;
  };
  for (int m = 1; m <= setup_.counts.ol + setup_.counts.sumtrib; ++m) {
    const Channel& channel = channels_[static_cast<std::size_t>(m)];
    for (int code : channel.code_list) withdraw(code);
    withdraw(channel.source_code);
  }
}

double routingclass::PrepareInflow(int m, int f) {
  SubIntervalFlows& flow = *sub_interval_flow_;
  const int K = n_sub_intervals_;
  if (!IsTributaryChannel(m)) {
    const int j = m - setup_.counts.ol - setup_.counts.sumtrib;
    if (inflow_kinds_[static_cast<std::size_t>(j)] != static_cast<int>(InflowKind::kInternal)) return 0;
    // The abstraction that feeds the slot left m3/s there.
    const double area = channels_[static_cast<std::size_t>(m)].parameters.catchment_km2;
    for (int s = 1; s <= K; ++s) flow(0, s, f) = ToRoutingMillimetres(flow(0, s, f), area, setup_.dt_min);
    for (int t = 0; t <= setup_.n_tracers; ++t) (*routed_discharge_)[t][static_cast<std::size_t>(f)] = flow(t, 1, f);
    return 0;
  }
  if (!IsGroupChannel(m)) return 0;
  const Channel& channel = channels_[static_cast<std::size_t>(m)];
  const AreaShares& abfrel = *setup_.abfrel;
  const auto weight = [&](int i) {
    return abfrel.relative_area[static_cast<std::size_t>(i)] / abfrel.scale[static_cast<std::size_t>(i)];
  };
  const auto value = [&](int i, int s) { return Observed(i).value_or(flow(0, s, i)); };
  const auto for_members = [&](auto&& visit) {
    for (int code : channel.code_list) visit(SubbasinIndex(code));
    visit(f);
  };
  double weight_sum = 0;
  for_members([&](int i) { weight_sum += weight(i); });
  for (int s = 1; s <= K; ++s) {
    double water = 0;
    for_members([&](int i) { water += weight(i) * value(i, s); });
    for (int t = 1; t <= setup_.n_tracers; ++t) {
      double load = 0;
      for_members([&](int i) { load += weight(i) * value(i, s) * flow(t, s, i); });
      // Without water the group carries no tracer.
      flow(t, s, f) = water == 0 ? 0.0 : load / water;
    }
    flow(0, s, f) = water / weight_sum;
  }
  return weight_sum;
}

void routingclass::RouteSubChannel(int m, int f, int S, int block_length) {
  Channel& channel = channels_[static_cast<std::size_t>(m)];
  const int K = n_sub_intervals_;
  const int T = setup_.n_tracers;
  TranslationCascades& cascades = *translation_cascade_;
  TracerRows& inflow = channel_inflow_;
  std::vector<double>& water = cascades(0, f);
  const auto at = [](std::vector<double>& v, int x) -> double& { return v[static_cast<std::size_t>(x)]; };
  const std::size_t sS = static_cast<std::size_t>(S);

  const int r1 = RowIndex(m, MaxOverSubIntervals(inflow[0]));
  const int E = channel.table.element_count[static_cast<std::size_t>(r1)];
  for (int k = 1; k <= T; ++k) {
    const TracerSettingsRecord& tracer = setup_.tracers[static_cast<std::size_t>(k)];
    double d = 1;
    if (tracer.radioactive == 1) {
      d = tracer.half_time > 0
              ? std::exp(-((E * setup_.dt_min / K) / 60 / 24) / (tracer.half_time * 1.442695041111))
              : 0.0;
    }
    decay_[static_cast<std::size_t>(k)] = d;
  }

  const int base = block_length * (S - 1);
  const int X = base + 1 + K + E;
  const int p = channel.fill_position[sS];
  TracerRows& store = channel.overlap_store;
  if (p + 1 < X) {
    // The travel time has grown: the gap takes the smaller of the last stored and the
    // first incoming value. That water did not flow in; the overlap store owes it.
    const bool incoming = inflow[0][1] <= at(water, p);
    const double v = incoming ? inflow[0][1] : at(water, p);
    const double borrowed = v * (X - p - 1);
    store[0][sS] -= borrowed;
    for (int t = 0; t <= T; ++t) {
      std::vector<double>& cascade = cascades(t, f);
      const double value = incoming ? inflow[t][1] : at(cascade, p);
      if (t > 0) store[t][sS] -= borrowed * value;
      for (int x = p + 1; x < X; ++x) at(cascade, x) = value;
    }
  }
  // The travel time has shrunk: the elements from X to p are overwritten by the inflow or
  // fall behind the new fill position; the overlap store keeps their water and tracer mass.
  for (int x = X; x <= p; ++x) {
    const double e = at(water, x);
    store[0][sS] += e;
    for (int t = 1; t <= T; ++t) store[t][sS] += e * at(cascades(t, f), x);
  }
  for (int j = 1; j <= K; ++j) {
    const int x = X + j - 1;
    for (int t = 0; t <= T; ++t) at(cascades(t, f), x) = inflow[t][static_cast<std::size_t>(j)];
  }
  for (int t = 0; t <= T; ++t) {
    std::vector<double>& cascade = cascades(t, f);
    const double d = t == 0 ? 1.0 : decay_[static_cast<std::size_t>(t)];
    for (int x = base + 1; x <= base + block_length; ++x) at(cascade, x) = at(cascade, x + K) * d;
  }
  channel.fill_position[sS] = X - 1;
  ReturnOverlap(cascades, f, base, K, store, sS);

  double largest = at(water, base + 1);
  for (int x = base + 2; x <= base + K; ++x) largest = std::max(largest, at(water, x));
  const int r2 = RowIndex(m, largest);
  const double sigma = channel.table.flood_plain_share[static_cast<std::size_t>(r2)];
  const double sigma_before = channel.qvzuq[sS];
  const double a_main = channel.parameters.kh_h;
  const double a_flood = channel.parameters.kv_h;
  for (int j = 1; j <= K; ++j) {
    const double u = at(water, base + j);
    const double y = channel.Qaus(S, j);
    const double out = a_flood * (sigma_before * y) + (1 - a_flood) * (sigma * u) +
                       a_main * ((1 - sigma_before) * y) + (1 - a_main) * ((1 - sigma) * u);
    inflow[0][static_cast<std::size_t>(j)] = out;
    channel.Qaus(S, j) = out;
  }
  channel.qvzuq[sS] = sigma;
}

void routingclass::AddToOutlet(int m, double group_weight) {
  const Channel& channel = channels_[static_cast<std::size_t>(m)];
  const AreaShares& abfrel = *setup_.abfrel;
  const int own = SubbasinIndex(setup_.own_code);
  double factor = 0;
  if (!IsTributaryChannel(m)) {
    factor = channel.parameters.catchment_km2 / setup_.area_km2 * setup_.scale_factor;
  } else if (IsGroupChannel(m)) {
    factor = setup_.scale_factor / abfrel.relative_area[static_cast<std::size_t>(own)] * group_weight;
  } else {
    factor = channel_weights_[static_cast<std::size_t>(m)] /
             abfrel.scale[static_cast<std::size_t>(SubbasinIndex(channel.source_code))];
  }
  for (int s = 1; s <= n_sub_intervals_; ++s) {
    const std::size_t ss = static_cast<std::size_t>(s);
    const double x = subbasin_outflow_[0][ss];
    const double c = channel_inflow_[0][ss] * factor;
    for (int t = 1; t <= setup_.n_tracers; ++t) {
      subbasin_outflow_[t][ss] = MixConcentration(subbasin_outflow_[t][ss], channel_inflow_[t][ss], x, c);
    }
    subbasin_outflow_[0][ss] = x + c;
  }
}

void routingclass::PublishOutlet(int own) {
  SubIntervalFlows& flow = *sub_interval_flow_;
  TracerRows& routed = *routed_discharge_;
  const int T = setup_.n_tracers;
  double total = 0;
  for (int t = 0; t <= T; ++t) subbasin_outflow_[t][0] = 0;
  for (int s = 1; s <= n_sub_intervals_; ++s) {
    for (int t = 0; t <= T; ++t) flow(t, s, own) = subbasin_outflow_[t][static_cast<std::size_t>(s)];
    total += subbasin_outflow_[0][static_cast<std::size_t>(s)];
  }
  if (total > 0) {
    for (int t = 1; t <= T; ++t) {
      double mean = 0;
      for (int s = 1; s <= n_sub_intervals_; ++s) {
        mean += subbasin_outflow_[0][static_cast<std::size_t>(s)] / total * subbasin_outflow_[t][static_cast<std::size_t>(s)];
      }
      subbasin_outflow_[t][0] = mean;
    }
  }
  routed[0][static_cast<std::size_t>(own)] = total / n_sub_intervals_;
  for (int t = 1; t <= T; ++t) routed[t][static_cast<std::size_t>(own)] = subbasin_outflow_[t][0];
}

void routingclass::WithdrawOutletIrrigation(int own) {
  TracerRows& maxirrig = *maxirrig_;
  TracerRows& routed = *routed_discharge_;
  const std::size_t so = static_cast<std::size_t>(own);
  if (maxirrig[0][so] != 0) return;
  const double rel = demand_[so].rel;
  // A sub-basin without area share has no demand to serve.
  if (rel == 0) return;
  const double share = setup_.abfrel->relative_area[so];
  // The irrigation of the next step plans with the discharge the river keeps after paying
  // what it owes.
  maxirrig[0][so] = share / rel * std::max(0.0, routed[0][so] - irrigation_debt_mm_) / setup_.scale_factor;
  for (int t = 1; t <= setup_.n_tracers; ++t) maxirrig[t][so] = routed[t][so];
  // The irrigation decided on the previous step's discharge: what a river that carries
  // less now cannot give stays owed and is taken in the next steps, so that the cells get
  // no water from nowhere.
  const double w = rel / share * demand_[so].sx * setup_.scale_factor + irrigation_debt_mm_;
  irrigation_debt_mm_ = std::max(0.0, w - routed[0][so]);
  SubIntervalFlows& flow = *sub_interval_flow_;
  for (int s = 1; s <= n_sub_intervals_; ++s) flow(0, s, own) = std::max(0.0, flow(0, s, own) - w);
  routed[0][so] = std::max(0.0, routed[0][so] - w);
}

void routingclass::RouteTimeStep(int year, int month, int day, int hour) {
  const bool real_step = month >= 1;
  const bool irrigation = real_step && !demand_.empty() && maxirrig_ != nullptr;
  const int K = n_sub_intervals_;
  const int T = setup_.n_tracers;
  const int own = SubbasinIndex(setup_.own_code);
  SubIntervalFlows& flow = *sub_interval_flow_;
  if (irrigation && setup_.counts.ol + setup_.counts.sumtrib > 0) WithdrawUpstreamIrrigation();

  for (int s = 1; s <= K; ++s) {
    const std::size_t ss = static_cast<std::size_t>(s);
    subbasin_outflow_[0][ss] = flow(0, s, own) * channel_weights_[0];
    for (int t = 1; t <= T; ++t) subbasin_outflow_[t][ss] = flow(t, s, own);
  }

  for (int m = 1; m <= channel_count(); ++m) {
    Channel& channel = channels_[static_cast<std::size_t>(m)];
    const int f = FlowIndex(m);
    if (real_step && !river_records_.empty() && IsTributaryChannel(m)) WithdrawReinfiltration(m);
    const double group_weight = PrepareInflow(m, f);
    const int block_length = K + channel.table.element_count[1];
    const std::optional<double> observed = IsGroupChannel(m) ? std::nullopt : Observed(f);
    for (int s = 1; s <= K; ++s) {
      const std::size_t ss = static_cast<std::size_t>(s);
      channel_inflow_[0][ss] = observed.value_or(flow(0, s, f));
      for (int t = 1; t <= T; ++t) channel_inflow_[t][ss] = flow(t, s, f);
    }
    if (Bypassed(m)) {
      // A source hydraulically connected to this object's lake passes its water unrouted.
      for (int t = 0; t <= T; ++t) {
        std::vector<double>& cascade = (*translation_cascade_)(t, f);
        for (int s = 1; s <= K; ++s) cascade[static_cast<std::size_t>(s)] = flow(t, s, f);
      }
    } else {
      for (int S = channel.table.reach_count; S >= 1; --S) RouteSubChannel(m, f, S, block_length);
    }
    AddToOutlet(m, group_weight);
  }
  PublishOutlet(own);
  if (irrigation) WithdrawOutletIrrigation(own);
  const StepDate date{.year = year, .month = month, .day = day, .hour = hour};
  const double abstracted = abstraction_count() > 0 ? TakeAbstractions(own, date, irrigation) : 0.0;
  if (reservoir_count() > 0) RouteReservoirs(own, date, irrigation, abstracted);
}

}  // namespace tolvo
