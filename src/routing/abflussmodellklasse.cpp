#include "routing/abflussmodellklasse.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "framework/error_code.h"
#include "framework/tracer_settings_record.h"

namespace tolvo {

abflussmodellklasse::abflussmodellklasse(DiagnosticsLog& log, StatisticsRegistry& registry,
                                         const ModelSettings& settings, int storage_read_code, int n_tracers,
                                         std::span<TracerSettingsRecord> tracers)
    : teilmodellklasse(log, "routing_model", settings, 1),
      n_tracers_(n_tracers),
      tracers_(tracers),
      registry_(&registry),
      readgrids_(storage_read_code) {
  // Every process reads the same switch, so all of them take part in the ranking.
  if (ModuleSwitch != 0) TakeSoilSubbasinTable();
  if (rank() != 0) {
    SwitchAsRead = ModuleSwitch;
    ModuleSwitch = 0;
    CloseControlFile();
    return;
  }
  SwitchAsRead = 1;
  if (ModuleSwitch == 0) return;
  log << "file "
      << "abfluss"
      << ", compiled at " << __DATE__ << ", " << __TIME__ << "[end-entry]";
  ObservedSubstitution = ModuleSwitch == 2 ? 1 : 0;
  AllocateSubbasinArrays();
  ReadTableRange();
  ReadStatisticsSettings();
  counts_ = CountDescriptionKeywords(control_file(), log);
  LogDescriptionSummary(log, counts_);

  const int n = subbasins_.zone_count;
  maxirrig_ = TracerRows(n_tracers_, n);
  maxirrig_from_reservoirs_ = TracerRows(n_tracers_, n);
  linear_sums_.emplace(n);
  log_sums_.emplace(n);
  routing_objects_.reserve(static_cast<std::size_t>(counts_.tg));
  ReadLakeModel("[lake_model]");
  RegisterPrecOnLakes();
  BuildRoutingObjects();
  SetUpReservoirs();
  for (const std::unique_ptr<routingclass>& object : routing_objects_) {
    object->InitAreaShares();
    object->WriteWQTables();
    object->SetMaxIrrig(maxirrig_, maxirrig_from_reservoirs_);
  }
  SetUpStatisticsTable();
  InitTracers(n_tracers_, tracers_, registry, StatisticsRegistry::kCapacity);
  translation_cascade_ = TranslationCascades(n_tracers_, n + counts_.zl);
  sub_interval_flow_ = SubIntervalFlows(n_tracers_, n_sub_intervals_, n + counts_.zl);
  OpenObservedDischarge();
  CloseControlFile();
}

void abflussmodellklasse::SetUpReservoirs() {
  for (const std::unique_ptr<routingclass>& object : routing_objects_) {
    object->ReadReservoirRules(control_file());
    object->RegisterReservoirs(reservoir_map_);
    object->RegisterHydraulicConnection(hydraulic_connections_);
  }
  for (const std::unique_ptr<routingclass>& object : routing_objects_) {
    object->InitReservoirOutflow();
    object->ReadAbstractionRules(control_file());
  }
}

void abflussmodellklasse::TakeSoilSubbasinTable() { subbasins_ = RankZones(); }

void abflussmodellklasse::AllocateSubbasinArrays() {
  const std::size_t n = static_cast<std::size_t>(subbasins_.zone_count);
  abfrel_.relative_area.resize(n + 1);
  for (std::size_t i = 0; i <= n; ++i) abfrel_.relative_area[i] = subbasins_.zones[i].rel;
  abfrel_.scale.assign(n + 1, 1.0);
  routing_target_.tributaries.assign(2 * n + 1, 0);
  routing_target_.target.assign(n + 1, 0);
  routing_target_.object_number.assign(n + 1, 0);
  gauge_columns_.assign(n + 1, 0);
}

void abflussmodellklasse::RegisterPrecOnLakes() {
  const GridGeometry& g = geometry();
  const int index = grids()->TakeFreeEntries(1, {.taken_by = grid_table::TakenBy::kIdentifier}, log(),
                                             "no more free grids in memory, (max. 1000)!");
  prec_on_lakes_ = matrix(1, g.nrows, 1, g.ncols, g.nrows);
  RegisterGrid(index, "PrecOnLakes", prec_on_lakes_.view(), {}, 0, "PrecOnLakes", 0, 1, g.nrows);
  prec_on_lakes_index_ = index;
}

void abflussmodellklasse::InitTracers(int n_tracers, std::span<TracerSettingsRecord> tracers,
                                      StatisticsRegistry& registry, int capacity) {
  if (ModuleSwitch == 0) return;
  TracerCount = n_tracers;
  if (n_tracers <= 0) return;
  TracerSettings = tracers;
  TracerRecords.clear();
  TracerRecords.resize(static_cast<std::size_t>(n_tracers) + 1);
  const double dt_days = TimeStep / 60 / 24;
  const int K = std::max(n_sub_intervals_, 1);
  for (int k = 1; k <= n_tracers; ++k) {
    TracerSettingsRecord& s = tracers[static_cast<std::size_t>(k)];
    TracerRecord& t = TracerRecords[static_cast<std::size_t>(k)];
    if (s.radioactive == 1) {
      const bool decays = s.half_time > 0;
      s.decay_factor = decays ? std::exp(-dt_days / (s.half_time * 1.442695041111)) : 0.0;
      s.substep_decay_factor = decays ? std::exp(-(dt_days / K) / (s.half_time * 1.442695041111)) : 0.0;
    }
    t.zones = subbasins_.zones;
    ClearZoneSums(t.zones, subbasins_.zone_count);
    t.statistic_file = s.path + s.name.substr(0, 3) + section().substr(0, 5) + "." + s.statext.substr(0, 3);
    t.statistic = std::make_unique<zonalstatistic>(log(), ConstGridView{}, 1, 1, t.zones, subbasins_.zone_count,
                                                   s.statcode, 99, t.statistic_file, output_directory(),
                                                   settings().output_list);
    char quantity[300];
    std::snprintf(quantity, sizeof quantity, "tracer concentration for tracer %d (%s) ", k, s.name.c_str());
    t.statistic->WriteHeader(quantity, section(), registry, capacity);
  }
}

void abflussmodellklasse::ReleaseTracers() {
  if (ModuleSwitch == 0 || TracerCount <= 0) return;
  teilmodellklasse::ReleaseTracers();
}

void abflussmodellklasse::DeleteModule() {
  if (ModuleSwitch != 0) {
    if (initialised() != 0) WriteStorageContent();
    ReleaseTracers();
    // The goodness of fit of a run that compared its discharge with observations.
    if (initialised() != 0 && observed_ring_ != nullptr && qstat_ != nullptr) {
      qstat_->WriteGoodnessOfFit(*linear_sums_, *log_sums_);
    }
    observed_reader_.reset();
    observed_ring_.reset();
    if (qstat_ != nullptr) qstat_->Release();
    qstat_.reset();
  }
  for (const std::unique_ptr<routingclass>& object : routing_objects_) object->DeleteModule();
  routing_objects_.clear();
  if (prec_on_lakes_index_ > 0) {
    FreeGridEntry(prec_on_lakes_index_);
    prec_on_lakes_index_ = 0;
    prec_on_lakes_ = Grid();
  }
  teilmodellklasse::DeleteModule();
}

}  // namespace tolvo
