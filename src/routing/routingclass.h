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

#include <cstdio>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "framework/date.h"
#include "framework/modelobject.h"
#include "framework/riverflow_record.h"
#include "framework/run_context.h"
#include "framework/zone_record.h"
#include "routing/al_class.h"
#include "routing/channel.h"
#include "routing/reservoir_abstractions.h"
#include "routing/routing_arrays.h"
#include "routing/sp_class.h"

namespace tolvo {

class ControlFileStream;
class grid_table;
struct ColumnRange;
struct InflowEntry;
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
  std::string control_file{};
  int n_subbasins = 0;
  double dt_min = 0;
  double area_km2 = 0;  // A: drainage area of the whole sub-basin at its outlet
  double scale_factor = 1;
  BlockCounts counts{};
  int own_code = 0;
  AreaShares* abfrel = nullptr;     // shared; updated by InitAreaShares
  std::span<const int> code_index{};  // sub-basin code -> index 1..n (0: none)
  int n_tracers = 0;
  std::span<TracerSettingsRecord> tracers{};
  grid_table* grids = nullptr;
  std::span<const ZoneRecord> zones{};
  std::span<const ColumnRange> column_ranges{};
  int largest_code = 0;
  GridGeometry geometry{};
  RowRange strip{};
  int lake_model = 0;
  int readgrids = 0;
  std::string input_directory{};
  std::string output_directory{};
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
  // Whether observations are in m3/s (the routed-discharge unit 1); they then become
  // routing millimetres over the gauge's drainage area before they replace a discharge.
  void SetObservedInCubicMetres(bool on) { observed_in_m3s_ = on; }
  // Links the water available for irrigation from rivers and from reservoirs.
  void SetMaxIrrig(TracerRows& maxirrig, TracerRows& maxirrig_from_reservoirs);

  // Inflow channel m takes the inflow of its "ZL" entry: its slot (the inflow code), its
  // kind and, for a constant inflow, its value [m3/s]. An inflow file is opened and placed
  // on the row of the start date, searched from the entry's start row on; its start values
  // are that row's. Fails with 37 (file not opened) or 38 (no start row, no start date,
  // too few value columns).
  void SetInflow(int m, const InflowEntry& inflow, const ModelDate& start);
  // Once per step before the routing: every inflow file gives its row of the step's date,
  // the discharge in routing millimetres and the tracer values, and moves on. Fails with 39
  // when the file has no row left and 36 when the row's date is not the step's.
  void ReadInflowRows(const StepDate& date);
  // The routing's sub-interval count K, also for an object without any entry, whose outlet
  // then carries its own runoff alone.
  void SetSubIntervalCount(int n_sub_intervals);
  // Entry `number` of the block, an abstraction ("AL") whose keyword stands at `at` of the
  // block text: its mode, values and output file (al_class.h). K is the routing's
  // sub-interval count (for an object without channels).
  void SetAblaufModus(int number, std::string_view block, std::size_t at, int n_sub_intervals,
                      const ModelDate& start);
  // Entry `number` of the block, a reservoir or lake ("SP") whose keyword stands at `at`
  // of the block text and whose values end before `end` (the next entry): its parameters,
  // its level-volume table, its output file, its start content and level. K is the
  // routing's sub-interval count (for an object without channels).
  void SetSpeicherParams(int number, std::string_view block, std::size_t at, std::size_t end, int n_sub_intervals);
  // After every block is read: the rules of every reservoir, then the two registries
  // shared by all routing objects (the map takes every reservoir, the set the flag of the
  // outlet reservoir), then the start outflow of every reservoir, limited to its content.
  void ReadReservoirRules(ControlFileStream& file);
  void RegisterReservoirs(ReservoirMap& map);
  void ReadAbstractionRules(ControlFileStream& file);
  void RegisterHydraulicConnection(HydraulicConnectionSet& set);
  void InitReservoirOutflow();
  // Writes the buffered output rows of every abstraction and reservoir.
  void FlushOutputs();

  // The river records of the sub-basins whose water runs through this object's tributary
  // channels (an empty table: none). SetRiverCellRecords links the table and writes each
  // record's channel, catchment area and object number k, then refreshes it;
  // UpdateRiverCellRecords refreshes them after each step: the routed discharge, its
  // m3/s, the flow speed of its table row, and the re-infiltration taken cleared.
  void SetRiverCellRecords(std::span<RiverflowRecord> table, int k);
  void UpdateRiverCellRecords();
  // The irrigation demand records per sub-basin (0..n): sx the demand [mm], rel the area
  // share. Empty: no irrigation.
  void SetIrrigationDemand(std::span<const ZoneRecord> demand) { demand_ = demand; }

  // Sets every sub-channel of every channel to the steady state of its source's current
  // discharge: its outflow in every sub-interval, no flood-plain share, and its cascade
  // filled up to the travel time of that discharge.
  void FillChannels();
  // Routes one step: the own runoff and the upstream water through the channels to the
  // outlet, published under the own sub-basin in SubIntervalFlow and RoutedDischarge. A
  // month below 1 marks a start-up routing: no irrigation withdrawal.
  void RouteTimeStep(int year, int month, int day, int hour);

  // The largest of a, 0 and the cascade length of every channel.
  int MaxCascadeLength(int a) const;
  // The largest of values[1..K]; values[1] when K <= 1.
  double MaxOverSubIntervals(std::span<const double> values) const;

  // One block of the routing section of the storage content file, at the file's current
  // position (routing_state.cpp). Reading fails with 71 when the block does not fit the
  // object or a value does not read.
  void WriteStorageContent(std::FILE* file);
  void ReadStorageContent(std::FILE* file, const std::string& name);

  // Releases the channels, the cascades of their sources and the object's arrays, logging
  // what it frees.
  void DeleteModule() override;

  int own_code() const { return setup_.own_code; }
  int own_index() const { return SubbasinIndex(setup_.own_code); }
  // Flow index of the source of the first tributary channel; 0 without one.
  int first_source_index() const { return setup_.counts.ol > 0 ? FlowIndex(1) : 0; }
  double area_km2() const { return setup_.area_km2; }
  double scale_factor() const { return setup_.scale_factor; }
  const BlockCounts& counts() const { return setup_.counts; }
  int channel_count() const { return static_cast<int>(channels_.size()) - 1; }
  const Channel& channel(int m) const { return channels_[static_cast<std::size_t>(m)]; }
  double channel_weight(int m) const { return channel_weights_[static_cast<std::size_t>(m)]; }
  int sub_interval_count() const { return n_sub_intervals_; }
  // The surface-water irrigation of the own sub-basin its outlet's river still owes [routing mm].
  double irrigation_debt_mm() const { return irrigation_debt_mm_; }
  int reservoir_count() const { return reservoirs_.empty() ? 0 : static_cast<int>(reservoirs_.size()) - 1; }
  SP_class& reservoir(int k) { return reservoirs_[static_cast<std::size_t>(k)]; }
  int abstraction_count() const { return abstractions_.empty() ? 0 : static_cast<int>(abstractions_.size()) - 1; }
  AL_class& abstraction(int k) { return abstractions_[static_cast<std::size_t>(k)]; }
  // Inflow j (1..ZL): its slot (= its inflow code) and its value per tracer at the start.
  int& inflow_slot(int j) { return inflow_slots_[static_cast<std::size_t>(j)]; }
  int inflow_kind(int j) const { return inflow_kinds_[static_cast<std::size_t>(j)]; }
  double& inflow_value(int t, int j) { return inflow_values_[t][static_cast<std::size_t>(j)]; }

 private:
  int SubbasinIndex(int code) const;
  bool IsTributaryChannel(int m) const { return m <= setup_.counts.ol + setup_.counts.sumtrib; }
  bool IsGroupChannel(int m) const { return m > setup_.counts.ol && IsTributaryChannel(m); }
  void AllocateRows(Channel& channel);
  void AllocateState(Channel& channel);
  std::string TableTitle(int m) const;
  void FillCascade(int f, int length, bool observed_water);
  // Flow index of the source of channel m.
  int FlowIndex(int m) const;
  // The observation of the current step that replaces the simulated discharge of flow
  // index f, if substitution is on and the gauge of f has a value.
  std::optional<double> Observed(int f) const;
  // An observation of sub-basin f in routing millimetres.
  double ObservedInRoutingUnits(int f, double value) const;
  void WithdrawUpstreamIrrigation();
  // Prepares the channel's inflow in SubIntervalFlow; the weight sum of a group channel.
  double PrepareInflow(int m, int f);
  void RouteSubChannel(int m, int f, int S, int block_length);
  void AddToOutlet(int m, double group_weight);
  void PublishOutlet(int own);
  // Takes the step's surface-water irrigation of the own sub-basin, and what the river
  // still owes of earlier steps, out of the outlet's discharge, at most what it carries.
  void WithdrawOutletIrrigation(int own);
  void BindLakeGrids(SP_class& reservoir);
  // Takes the abstractions out at the outlet (the reservoirs' content when there are any)
  // and hands internal ones to their inflow slots; returns their total [routing mm].
  double TakeAbstractions(int own, const StepDate& date, bool irrigation);
  // Puts an internal abstraction's water [m3/s] into its inflow slot z.
  void FeedInflowSlot(int z, double q_m3s, int own);
  void RouteReservoirs(int own, const StepDate& date, bool irrigation, double abstracted_mm);
  // Discharges of the own sub-basin: routing millimetres <-> m3/s over A / scale factor.
  double OwnCubicMetres(double q_mm) const;
  double OwnMillimetres(double q_m3s) const;
  // Whether the channel's source is hydraulically connected to this object's outlet.
  bool Bypassed(int m) const;
  // Runs f(m, i) over the tributary sub-basins i of every tributary channel m: the codes of
  // its list, then its source.
  template <typename F>
  void ForEachTributary(F&& f) const {
    for (int m = 1; m <= setup_.counts.ol + setup_.counts.sumtrib; ++m) {
      const Channel& channel = channels_[static_cast<std::size_t>(m)];
      for (int code : channel.code_list) f(m, SubbasinIndex(code));
      f(m, SubbasinIndex(channel.source_code));
    }
  }
  void RefreshRiverRecord(int m, int i);
  void WriteSubChannels(std::FILE* file, int m);
  // Takes the river water that re-infiltrated since the last step out of channel m's inflow.
  void WithdrawReinfiltration(int m);

  RoutingObjectSetup setup_;
  std::vector<Channel> channels_;        // 0..OL+ST+ZL
  std::vector<double> channel_weights_;  // 0..OL+ST+&+ZL
  std::vector<int> inflow_slots_;        // 1..ZL
  std::vector<int> inflow_kinds_;        // 1..ZL: 1 constant, 3 internal, 4 external file
  TracerRows inflow_values_;             // [tracer][inflow]
  std::vector<std::unique_ptr<timeseries_file>> inflow_readers_;  // 1..ZL; external files only
  int n_sub_intervals_ = 0;              // K
  int observed_substitution_ = 0;
  bool observed_in_m3s_ = false;
  TracerRows subbasin_outflow_;  // [tracer][sub-interval]
  TracerRows channel_inflow_;    // [tracer][sub-interval]

  TracerRows* routed_discharge_ = nullptr;
  SubIntervalFlows* sub_interval_flow_ = nullptr;
  TranslationCascades* translation_cascade_ = nullptr;
  const ObservedRing* observed_ring_ = nullptr;
  std::span<const int> gauge_columns_;
  std::span<const ZoneRecord> demand_;
  std::vector<double> decay_;  // per tracer: decay over the sub-channel being routed
  TracerRows* maxirrig_ = nullptr;
  TracerRows* maxirrig_from_reservoirs_ = nullptr;
  double irrigation_debt_mm_ = 0;  // irrigation the outlet's river could not give yet [routing mm]
  std::vector<AL_class> abstractions_;  // 1..AL
  ReservoirAbstractions reservoir_draws_;  // those of abstractions_ drawn from the outlet reservoir
  std::vector<double> abstraction_values_;  // per tracer: the record of one abstraction
  std::vector<SP_class> reservoirs_;  // 1..SP; never resized once built (the map points into them)
  std::vector<double> reservoir_inflow_;  // per tracer: concentrations of the inflow of a reservoir
  const HydraulicConnectionSet* connections_ = nullptr;
  std::span<RiverflowRecord> river_records_;
};

}  // namespace tolvo
