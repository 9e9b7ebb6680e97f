#pragma once
// A routing sub-basin object: one per block of the routing description, owned by the
// discharge routing sub-model and living on process 0 only. Once per model step it routes
// the runoff of its own sub-basin and the water arriving from upstream to the outlet of
// its sub-basin. For that it holds its channels (one per tributary, per group of
// tributaries sharing one channel, and per inflow), each with its waterlevel-discharge
// table and routing state, and borrows the sub-model's shared arrays (routing_arrays.h).
//
// Channels are numbered m = 1..OL+ST+ZL: first the single tributaries ("OL"), then the
// groups of tributaries ("SUMTRIB"), then the inflows ("ZL"); channel 0 stands for the
// object's own sub-basin. Channel weights (entries 0..OL+ST) are the drainage-area shares
// of the own sub-basin and of every tributary channel; they add up to the scale factor.
//
// Discharges are held in routing millimetres (routing_units.h); the object's own
// conversions use its area A divided by its scale factor.

#include <span>
#include <string>
#include <vector>

#include "framework/modelobject.h"
#include "framework/run_context.h"
#include "framework/zone_record.h"
#include "routing/channel.h"
#include "routing/routing_arrays.h"

namespace tolvo {

class grid_table;
struct ColumnRange;
struct TracerSettingsRecord;

// Keyword counts of one block of the routing description.
struct BlockCounts {
  int ol = 0;         // single tributaries
  int sumtrib = 0;    // groups of tributaries sharing one channel
  int ampersand = 0;  // further members of those groups
  int zl = 0;         // inflows
  int al = 0;         // abstractions
  int sp = 0;         // reservoirs and lakes
};

// What a routing object is built with: its block's values and what it borrows from the
// discharge routing sub-model.
struct RoutingObjectSetup {
  std::string control_file;
  int n_subbasins = 0;
  double dt_min = 0;
  double area_km2 = 0;  // A: drainage area of the whole sub-basin at its outlet
  double scale_factor = 1;
  BlockCounts counts;
  int own_code = 0;
  AreaShares* abfrel = nullptr;     // shared; updated by InitAreaShares
  std::span<const int> code_index;  // sub-basin code -> index 1..n (0: none)
  int n_tracers = 0;
  std::span<TracerSettingsRecord> tracers;
  grid_table* grids = nullptr;
  std::span<const ZoneRecord> zones;
  std::span<const ColumnRange> column_ranges;
  int largest_code = 0;
  GridGeometry geometry;
  RowRange strip;
  int lake_model = 0;
  int readgrids = 0;
  std::string input_directory;
  std::string output_directory;
};

class routingclass : public modelobject {
 public:
  // Fails with 1 when the channel records cannot be allocated.
  routingclass(DiagnosticsLog& log, const RoutingObjectSetup& setup);

  // Builds channel m (1..OL+ST+ZL, in order) from its source, its ten values and the
  // table range: its waterlevel-discharge table, sub-channels and translation elements.
  // `code_list` counts only for a group channel; `scaled` is set for tributary channels,
  // whose table discharges are divided by the scale factor. The range must have qmin > 0,
  // qmax > qmin and at least one interval. Fails with 1 when memory cannot be had.
  void InitChannel(int m, int source_code, std::span<const int> code_list, int n_sub_intervals,
                   int observed_substitution, const ChannelValues& values, const WQRange& range, bool scaled);
  // Table row (1..R) of channel m for a discharge in routing millimetres.
  int RowIndex(int m, double q_mm) const;
  // Writes the table file of every channel into the working directory; a file that
  // cannot be opened is logged as FATAL and skipped without ending the run.
  void WriteWQTables();

  // Weighs the own sub-basin and the tributary channels by their drainage areas, enters
  // the object's whole drainage share and scale factor into abfrel, and replaces the area
  // A by the zone-grid area when they differ by more than 0.001 km2 (with an INFO entry).
  // Runs once per object, in routing order, after the whole description is read.
  void InitAreaShares();

  // Links the shared flow arrays (the ring may be absent; gauge_columns by sub-basin
  // index), puts the inflows' start values into RoutedDischarge and fills the translation
  // cascades of every channel with its source's current discharge. Fails with 1 when the
  // cascades cannot be allocated.
  void SetFlowArrays(TracerRows& routed_discharge, SubIntervalFlows& sub_interval_flow,
                     TranslationCascades& translation_cascade, const ObservedRing* observed_ring,
                     std::span<const int> gauge_columns);
  // Links the water available for irrigation from rivers and from reservoirs.
  void SetMaxIrrig(TracerRows& maxirrig, TracerRows& maxirrig_from_reservoirs);

  // The largest of a, 0 and the cascade length of every channel.
  int MaxCascadeLength(int a) const;
  // The largest of values[1..K]; values[1] when K <= 1.
  double MaxOverSubIntervals(std::span<const double> values) const;

  // Releases the channels, the cascades of their sources and the object's arrays, logging
  // what it frees.
  void DeleteModule() override;

  int own_code() const { return setup_.own_code; }
  double area_km2() const { return setup_.area_km2; }
  double scale_factor() const { return setup_.scale_factor; }
  const BlockCounts& counts() const { return setup_.counts; }
  int channel_count() const { return static_cast<int>(channels_.size()) - 1; }
  const Channel& channel(int m) const { return channels_[static_cast<std::size_t>(m)]; }
  double channel_weight(int m) const { return channel_weights_[static_cast<std::size_t>(m)]; }
  int sub_interval_count() const { return n_sub_intervals_; }
  // Inflow j (1..ZL): its slot (= its inflow code) and its value per tracer at the start.
  int& inflow_slot(int j) { return inflow_slots_[static_cast<std::size_t>(j)]; }
  double& inflow_value(int t, int j) { return inflow_values_[t][static_cast<std::size_t>(j)]; }

 private:
  int SubbasinIndex(int code) const;
  bool IsTributaryChannel(int m) const { return m <= setup_.counts.ol + setup_.counts.sumtrib; }
  bool IsGroupChannel(int m) const { return m > setup_.counts.ol && IsTributaryChannel(m); }
  void AllocateRows(Channel& channel);
  void AllocateState(Channel& channel);
  std::string TableTitle(int m) const;
  void FillCascade(int f, int length, bool observed_water);

  RoutingObjectSetup setup_;
  std::vector<Channel> channels_;        // 0..OL+ST+ZL
  std::vector<double> channel_weights_;  // 0..OL+ST+&+ZL
  std::vector<int> inflow_slots_;        // 1..ZL
  std::vector<int> inflow_kinds_;        // 1..ZL: 1 constant, 3 internal, 4 external file
  TracerRows inflow_values_;             // [tracer][inflow]
  int n_sub_intervals_ = 0;              // K
  int observed_substitution_ = 0;
  TracerRows subbasin_outflow_;  // [tracer][sub-interval]
  TracerRows channel_inflow_;    // [tracer][sub-interval]

  TracerRows* routed_discharge_ = nullptr;
  SubIntervalFlows* sub_interval_flow_ = nullptr;
  TranslationCascades* translation_cascade_ = nullptr;
  const ObservedRing* observed_ring_ = nullptr;
  std::span<const int> gauge_columns_;
  TracerRows* maxirrig_ = nullptr;
  TracerRows* maxirrig_from_reservoirs_ = nullptr;
};

}  // namespace tolvo
