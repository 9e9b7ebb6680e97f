#include "routing/routingclass.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstdio>
#include <new>
#include <stdexcept>

#include "framework/error_code.h"
#include "routing/routing_units.h"
#include "routing/wq_table_file.h"

namespace tolvo {
namespace {

// Zero-filled storage for a channel; when memory cannot be had, logs the numbered
// allocation error and fails with 1.
template <typename T>
std::vector<T> ChannelArray(DiagnosticsLog& log, std::size_t n, int number) {
  try {
    return std::vector<T>(n);
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  log << "FATAL: memory allocation error " << number << " "
      << "[end-entry]";
  RaiseError(kGeneralError);
}

}  // namespace

routingclass::routingclass(DiagnosticsLog& log, const RoutingObjectSetup& setup)
    : modelobject(log, setup.control_file, {}, setup.input_directory, setup.output_directory), setup_(setup) {
  assert(setup.abfrel != nullptr);
  set_name("routingmodel");
  set_grid_table(setup.grids);
  set_geometry(setup.geometry);
  set_strip(setup.strip);
  const BlockCounts& n = setup.counts;
  try {
    channels_.resize(static_cast<std::size_t>(n.ol + n.sumtrib + n.zl) + 1);
    channel_weights_.assign(static_cast<std::size_t>(n.ol + n.sumtrib + n.ampersand + n.zl) + 1, 0.0);
  } catch (const std::bad_alloc&) {
    log << "FATAL: routing: memory allocation error 16 "
        << "[end-entry]";
    RaiseError(kGeneralError);
  }
  decay_.assign(static_cast<std::size_t>(setup.n_tracers) + 1, 1.0);
  channels_[0].source_code = setup.own_code;
  channel_weights_[0] = setup.abfrel->relative_area[static_cast<std::size_t>(SubbasinIndex(setup.own_code))];
  if (n.zl > 0) {
    inflow_slots_.assign(static_cast<std::size_t>(n.zl) + 1, 0);
    inflow_kinds_.assign(static_cast<std::size_t>(n.zl) + 1, 0);
    inflow_values_ = TracerRows(setup.n_tracers, n.zl);
  }
  if (n.al > 0) {
    abstractions_ = std::vector<AL_class>(static_cast<std::size_t>(n.al) + 1);
    abstraction_values_.assign(static_cast<std::size_t>(setup.n_tracers) + 1, 0.0);
    const AbstractionSetup abstraction_setup{.log = &log,
                                             .tracers = setup.tracers,
                                             .n_tracers = setup.n_tracers,
                                             .owner_code = setup.own_code,
                                             .area_km2 = setup.area_km2,
                                             .scale_factor = setup.scale_factor,
                                             .dt_min = setup.dt_min,
                                             .output_directory = setup.output_directory};
    for (int k = 1; k <= n.al; ++k) abstractions_[static_cast<std::size_t>(k)].SetUp(abstraction_setup);
  }
  if (n.sp > 0) {
    reservoirs_ = std::vector<SP_class>(static_cast<std::size_t>(n.sp) + 1);
    reservoir_inflow_.assign(static_cast<std::size_t>(setup.n_tracers) + 1, 0.0);
    const ReservoirSetup reservoir_setup{.n_tracers = setup.n_tracers,
                                         .tracers = setup.tracers,
                                         .subbasin_code = setup.own_code,
                                         .code_index = setup.code_index,
                                         .column_ranges = setup.column_ranges,
                                         .geometry = setup.geometry,
                                         .lake_flow_control = setup.lake_model,
                                         .output_directory = setup.output_directory};
    for (int k = 1; k <= n.sp; ++k) {
      SP_class& reservoir = reservoirs_[static_cast<std::size_t>(k)];
      reservoir.SetUp(log, reservoir_setup);
      if (setup.lake_model != 0) BindLakeGrids(reservoir);
    }
  }
}

int routingclass::SubbasinIndex(int code) const {
  assert(code >= 0 && static_cast<std::size_t>(code) < setup_.code_index.size());
  return setup_.code_index[static_cast<std::size_t>(code)];
}

void routingclass::AllocateRows(Channel& channel) {
  const std::size_t n = static_cast<std::size_t>(channel.range.row_count()) + 1;
  WQTable& table = channel.table;
  table.q = ChannelArray<double>(log(), n, 1017);
  table.q_step = ChannelArray<double>(log(), n, 1018);
  table.Q = ChannelArray<double>(log(), n, 1019);
  table.v = ChannelArray<double>(log(), n, 1020);
  table.vm = ChannelArray<double>(log(), n, 1021);
  table.vf = ChannelArray<double>(log(), n, 1022);
  table.t = ChannelArray<double>(log(), n, 1023);
  table.Rm = ChannelArray<double>(log(), n, 1024);
  table.Rf = ChannelArray<double>(log(), n, 1025);
  table.dm = ChannelArray<double>(log(), n, 1026);
  table.df = ChannelArray<double>(log(), n, 1027);
  table.element_count = ChannelArray<int>(log(), n, 1028);
  table.flood_plain_share = ChannelArray<double>(log(), n, 1029);
}

void routingclass::AllocateState(Channel& channel) {
  const std::size_t reaches = static_cast<std::size_t>(channel.table.reach_count) + 2;
  channel.qaus_width = static_cast<std::size_t>(n_sub_intervals_) + 2;
  const double qaus_size = static_cast<double>(reaches) * static_cast<double>(channel.qaus_width);
  channel.qaus = ChannelArray<double>(log(), qaus_size < 1e18 ? reaches * channel.qaus_width : SIZE_MAX, 1030);
  channel.qvzuq = ChannelArray<double>(log(), reaches, 1031);
  channel.fill_position = ChannelArray<int>(log(), reaches, 1032);
  try {
    channel.overlap_store = TracerRows(setup_.n_tracers, static_cast<int>(reaches) - 1);
  } catch (const std::bad_alloc&) {
    log() << "FATAL: memory allocation error " << 1033 << " "
          << "[end-entry]";
    RaiseError(kGeneralError);
  }
}

void routingclass::InitChannel(int m, int source_code, std::span<const int> code_list, int n_sub_intervals,
                               int observed_substitution, const ChannelValues& values, const WQRange& range,
                               bool scaled) {
  assert(m >= 1 && m <= channel_count());
  assert(range.qmin > 0 && range.qmax > range.qmin && range.intervals >= 1 && n_sub_intervals >= 1);
  Channel& channel = channels_[static_cast<std::size_t>(m)];
  channel.source_code = source_code;
  channel.code_list.clear();
  if (IsGroupChannel(m)) channel.code_list.assign(code_list.begin(), code_list.end());
  channel.parameters = WithDefaults(values);
  channel.range = range;
  n_sub_intervals_ = n_sub_intervals;
  observed_substitution_ = observed_substitution;
  if (m == 1) {
    subbasin_outflow_ = TracerRows(setup_.n_tracers, n_sub_intervals);
    channel_inflow_ = TracerRows(setup_.n_tracers, n_sub_intervals);
  }
  AllocateRows(channel);

  channel.log_step = range.log_step();
  FillWQRows(channel.table, channel.parameters, range, setup_.dt_min, scaled ? setup_.scale_factor : 1.0);
  const int n_rows = range.row_count();
  channel.table.reach_count =
      ReachCount(channel.table.t[1], channel.table.t[static_cast<std::size_t>(n_rows)], setup_.dt_min);
  AllocateState(channel);
  channel.parameters.kh_h = std::exp(-1 / channel.parameters.kh_h);
  channel.parameters.kv_h = std::exp(-1 / channel.parameters.kv_h);
  // A cascade whose length an int cannot count could never be allocated either.
  if (!CountElements(channel.table, n_sub_intervals, setup_.dt_min)) {
    log() << "FATAL: memory allocation error " << 1030 << " "
          << "[end-entry]";
    RaiseError(kGeneralError);
  }
}

int routingclass::RowIndex(int m, double q_mm) const {
  return tolvo::RowIndex(q_mm, setup_.dt_min, channels_[static_cast<std::size_t>(m)].range);
}

std::string routingclass::TableTitle(int m) const {
  const Channel& channel = channels_[static_cast<std::size_t>(m)];
  const std::string outlet = " to the outlet of subbasin " + std::to_string(setup_.own_code);
  const std::string head = "waterlevel-discharge-table for the channel of ";
  if (!IsTributaryChannel(m)) return head + "inflow " + std::to_string(channel.source_code) + outlet;
  if (!IsGroupChannel(m)) return head + "subbasin " + std::to_string(channel.source_code) + outlet;
  std::string title = head + "subbasins " + std::to_string(channel.source_code);
  const std::vector<int>& list = channel.code_list;
  for (std::size_t i = 0; i + 1 < list.size(); ++i) title += ", " + std::to_string(list[i]);
  if (!list.empty()) title += " and " + std::to_string(list.back());
  return title + outlet;
}

void routingclass::WriteWQTables() {
  for (int m = 1; m <= channel_count(); ++m) {
    const Channel& channel = channels_[static_cast<std::size_t>(m)];
    char buffer[64];
    if (IsTributaryChannel(m)) {
      std::snprintf(buffer, sizeof buffer, "wq_table.%.3d", SubbasinIndex(channel.source_code));
    } else {
      std::snprintf(buffer, sizeof buffer, "wq_tabZL.%.3d", channel.source_code);
    }
    const std::string file_name = buffer;
    if (!WriteWQTableFile(file_name, TableTitle(m), channel, n_sub_intervals_)) {
      log() << "FATAL: error opening file " << file_name << " (check user rights or disk space)"
            << "[end-entry]";
    }
  }
}

void routingclass::InitAreaShares() {
  AreaShares& abfrel = *setup_.abfrel;
  std::vector<double>& share = abfrel.relative_area;
  const auto share_of = [&](int code) { return share[static_cast<std::size_t>(SubbasinIndex(code))]; };
  const int own = SubbasinIndex(setup_.own_code);
  const int n_tributary_channels = setup_.counts.ol + setup_.counts.sumtrib;

  channel_weights_[0] = share[static_cast<std::size_t>(own)];
  double sum = channel_weights_[0];
  for (int m = 1; m <= n_tributary_channels; ++m) {
    const Channel& channel = channels_[static_cast<std::size_t>(m)];
    double weight = share_of(channel.source_code);
    for (int code : channel.code_list) weight += share_of(code);
    channel_weights_[static_cast<std::size_t>(m)] = weight;
    sum += weight;
  }
  for (int m = 0; m <= n_tributary_channels; ++m) {
    channel_weights_[static_cast<std::size_t>(m)] =
        channel_weights_[static_cast<std::size_t>(m)] / sum * setup_.scale_factor;
  }
  share[static_cast<std::size_t>(own)] = sum;
  abfrel.scale[static_cast<std::size_t>(own)] = setup_.scale_factor;

  const double basin_km2 = share[0];
  if (basin_km2 <= 0) return;
  const double zone_km2 = sum * basin_km2;
  if (setup_.area_km2 < zone_km2 - 0.001 || setup_.area_km2 > zone_km2 + 0.001) {
    log() << "INFO: Basin " << setup_.own_code << ": area in contr.file: " << setup_.area_km2 << " <-> zone-grid "
          << zone_km2 << " (adjusted to the latter)"
          << "[end-entry]";
    for (int k = 1; k <= abstraction_count(); ++k) abstractions_[static_cast<std::size_t>(k)].RescaleArea(zone_km2);
    setup_.area_km2 = zone_km2;
  }
}

void routingclass::FillCascade(int f, int length, bool observed_water) {
  TranslationCascades& cascades = *translation_cascade_;
  for (int t = 0; t <= setup_.n_tracers; ++t) {
    double value = (*routed_discharge_)[t][static_cast<std::size_t>(f)];
    if (t == 0 && observed_water) {
      // An observation replaces the simulated discharge only where the gauge has a value.
      const double observed = observed_ring_->current(gauge_columns_[static_cast<std::size_t>(f)]);
      if (observed > setup_.geometry.nodata_value) value = ObservedInRoutingUnits(f, observed);
    }
    std::vector<double>& cascade = cascades(t, f);
    cascade.assign(static_cast<std::size_t>(length) + 1, value);
    cascade[0] = 0;
  }
}

void routingclass::SetFlowArrays(TracerRows& routed_discharge, SubIntervalFlows& sub_interval_flow,
                                 TranslationCascades& translation_cascade, const ObservedRing* observed_ring,
                                 std::span<const int> gauge_columns) {
  routed_discharge_ = &routed_discharge;
  sub_interval_flow_ = &sub_interval_flow;
  translation_cascade_ = &translation_cascade;
  observed_ring_ = observed_ring;
  gauge_columns_ = gauge_columns;
  const int n = setup_.n_subbasins;
  const int n_tributary_channels = setup_.counts.ol + setup_.counts.sumtrib;
  for (int j = 1; j <= setup_.counts.zl; ++j) {
    const int f = n + inflow_slots_[static_cast<std::size_t>(j)];
    routed_discharge[0][static_cast<std::size_t>(f)] =
        ToRoutingMillimetres(inflow_values_[0][static_cast<std::size_t>(j)],
                             channel(n_tributary_channels + j).parameters.catchment_km2, setup_.dt_min);
  }
  try {
    for (int m = 1; m <= n_tributary_channels; ++m) {
      const Channel& channel = channels_[static_cast<std::size_t>(m)];
      const int length = n_sub_intervals_ + channel.table.cascade_length;
      std::vector<int> members(channel.code_list);
      members.push_back(channel.source_code);
      for (int code : members) {
        const int f = SubbasinIndex(code);
        const bool observed = observed_substitution_ == 1 && observed_ring_ != nullptr &&
                              gauge_columns_[static_cast<std::size_t>(f)] != 0;
        FillCascade(f, length, observed);
      }
    }
    for (int j = 1; j <= setup_.counts.zl; ++j) {
      const int f = n + inflow_slots_[static_cast<std::size_t>(j)];
      FillCascade(f, n_sub_intervals_ + channel(n_tributary_channels + j).table.cascade_length, false);
    }
  } catch (const std::bad_alloc&) {
    log() << "FATAL: error allocating memory for flow-arrays"
          << "[end-entry]";
    RaiseError(kGeneralError);
  }
}

void routingclass::SetMaxIrrig(TracerRows& maxirrig, TracerRows& maxirrig_from_reservoirs) {
  maxirrig_ = &maxirrig;
  maxirrig_from_reservoirs_ = &maxirrig_from_reservoirs;
}

int routingclass::MaxCascadeLength(int a) const {
  int largest = std::max(a, 0);
  for (int m = 1; m <= channel_count(); ++m) {
    largest = std::max(largest, channels_[static_cast<std::size_t>(m)].table.cascade_length);
  }
  return largest;
}

double routingclass::MaxOverSubIntervals(std::span<const double> values) const {
  double largest = values[1];
  for (int s = 2; s <= n_sub_intervals_; ++s) largest = std::max(largest, values[static_cast<std::size_t>(s)]);
  return largest;
}

void routingclass::DeleteModule() {
  log() << " free memory TG " << setup_.own_code;
  for (int m = 1; m <= channel_count(); ++m) {
    Channel& channel = channels_[static_cast<std::size_t>(m)];
    if (IsTributaryChannel(m)) {
      if (translation_cascade_ != nullptr) {
        for (int t = 0; t <= setup_.n_tracers; ++t) {
          for (int code : channel.code_list) (*translation_cascade_)(t, SubbasinIndex(code)) = {};
          (*translation_cascade_)(t, SubbasinIndex(channel.source_code)) = {};
        }
      }
      log() << ", OL " << m << " (Subb. " << channel.source_code;
      for (int code : channel.code_list) log() << ", " << code;
      log() << ")";
    } else {
      if (translation_cascade_ != nullptr) {
        const int inflow = m - setup_.counts.ol - setup_.counts.sumtrib;
        const int f = setup_.n_subbasins + inflow_slots_[static_cast<std::size_t>(inflow)];
        for (int t = 0; t <= setup_.n_tracers; ++t) (*translation_cascade_)(t, f) = {};
      }
      log() << ", (only ZL's)";
    }
    if (m == 1) {
      channel_inflow_ = TracerRows();
      subbasin_outflow_ = TracerRows();
    }
    channel = Channel();
  }
  if (setup_.counts.zl > 0) {
    log() << ", --> ZLs...";
    for (int j = 1; j <= setup_.counts.zl; ++j) log() << " " << inflow_slots_[static_cast<std::size_t>(j)] << ",";
    inflow_slots_.clear();
    inflow_kinds_.clear();
    inflow_values_ = TracerRows();
    inflow_readers_.clear();
  }
  for (int k = 1; k <= abstraction_count(); ++k) abstractions_[static_cast<std::size_t>(k)].FlushOutput(1);
  abstractions_.clear();
  if (!reservoirs_.empty()) {
    log() << ", --> SPs...";
    for (int k = 1; k <= reservoir_count(); ++k) {
      reservoirs_[static_cast<std::size_t>(k)].FlushOutput(1);
      log() << " " << k << " ";
    }
    reservoirs_.clear();
  }
  log() << " Rest...";
  channels_.clear();
  channel_weights_.clear();
  modelobject::DeleteModule();
  log() << " ok"
        << "[end-entry]";
}

}  // namespace tolvo
