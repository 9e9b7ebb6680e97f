#include "routing/irrigationclass.h"

#include <algorithm>

#include "framework/diagnostics_log.h"
#include "framework/error_code.h"
#include "framework/grid_distribution.h"
#include "framework/grid_table.h"
#include "framework/statistics_registry.h"
#include "framework/tracer_settings_record.h"

namespace tolvo {

irrigationclass::irrigationclass(DiagnosticsLog& log, StatisticsRegistry& registry, const ModelSettings& settings)
    : teilmodellklasse(log, "irrigation", settings, 1) {
  hru_ = settings.spin_up != 0 && settings.hrus != nullptr;
  if (inert()) {
    CloseControlFile();
    return;
  }
  log << "file "
      << "irrigate"
      << ", compiled at " << __DATE__ << ", " << __TIME__ << "[end-entry]";
  table_ = settings.irrigation;
  ReadItemPair(file_[0], code_[0], "Name des GWSTANDstatfiles fuer ");
  ReadItemPair(file_[1], code_[1], "Name des GWSTANDstatfiles fuer ");
  CloseControlFile();

  grid_table& table = *grids();
  const auto bind = [&](std::string_view identifier) { return table[RequireGrid(identifier)].values; };
  const GridGeometry& geo = geometry();
  precipitation_copy_ = WholeGridCopy(bind("precipitation"), rank(), geo.nrows, geo.ncols);
  precipitation_ = precipitation_copy_.whole();
  input_copies_.reserve(7 + 2 * kMaxTracers);  // never moved: the views point into the copies
  codes_ = Copy(bind("irrigation_codes")).whole();
  max_pumping_ = Copy(bind("Max_Pumping")).whole();
  amounts_index_ = RequireGrid("irrigation_amounts");
  amounts_copy_ = WholeGridCopy(table[amounts_index_].values, rank(), geo.nrows, geo.ncols);
  amounts_ = amounts_copy_.whole();
  sb_ = Copy(bind("SB_1_grid")).whole();
  sb_low_ = Copy(bind("SBLOW_grid")).whole();
  sb_high_ = Copy(bind("SBHIGH_grid")).whole();
  etr_ratio_ = Copy(bind("ETR2ETP")).whole();
  root_depth_ = Copy(bind("root_depth1")).whole();
  zone_grid_ = table.zone_grid().values;

  const ZoneTableView& zones = settings.zones;
  n_zones_ = zones.zone_count;
  const int relcell = FindGrid("RelCellArea", false);
  weights_ = relcell > 0 ? ConstGridView(table[relcell].values) : ConstGridView();
  const ConstGridView weights = weights_;
  const GridGeometry& g = geometry();
  const char* headers[2] = {"irrigation water amount from groundwater [mm]",
                            "irrigation water amount from  surface water [mm]"};
  for (int k = 0; k < 2; ++k) {
    zones_[k].assign(zones.zones.begin(), zones.zones.end());
    ClearZoneSums(zones_[k], n_zones_);
    statistics_[k] = std::make_unique<zonalstatistic>(log, weights, g.nrows, g.ncols, zones_[k], n_zones_, code_[k],
                                                      4, file_[k], output_directory(), settings.output_list);
    statistics_[k]->WriteHeader(headers[k], section(), registry, StatisticsRegistry::kCapacity);
  }
  const std::size_t n = static_cast<std::size_t>(n_zones_) + 1;
  for (std::vector<double>* v : {&demand_, &reservoir_share_, &river_water_, &fraction_, &surface_sum_, &weight_sum_}) {
    v->assign(n, 0.0);
  }
  if (rank() == 0) running_ = Grid(1, g.nrows, g.ncols, g.nrows);
}

WholeGridCopy& irrigationclass::Copy(GridView source) {
  const GridGeometry& g = geometry();
  return input_copies_.emplace_back(source, rank(), g.nrows, g.ncols);
}

void irrigationclass::SetRunoffInput(std::span<const std::vector<double>> runoff) {
  if (!inert()) runoff_ = runoff;
}

std::span<ZoneRecord> irrigationclass::GetSurfaceWaterDemand() {
  if (inert()) return {};
  return zones_[1];
}

void irrigationclass::SetRiverCellRecords(std::span<RiverflowRecord> table) {
  if (!inert()) river_records_ = table;
}

void irrigationclass::SetMaxIrrigation(const TracerRows* maxirrig, const TracerRows* from_reservoirs) {
  if (inert()) return;
  maxirrig_ = maxirrig;
  from_reservoirs_ = from_reservoirs;
  if (rank() == 0 && (maxirrig == nullptr || from_reservoirs == nullptr)) {
    log() << "FATAL: if irrigation is modelled, also routing has to be modelled!"
          << (maxirrig == nullptr ? "\n(Adress of array maxirrig[] is NULL\n"
                                  : "\n(Adress of array maxirrigFromReservoirs[] is NULL\n")
          << "[end-entry]";
    RaiseError(kIrrigationWithoutRouting);
  }
}

void irrigationclass::SetRoutingTarget(const RoutingTarget* target) {
  if (inert()) return;
  routing_target_ = target;
  if (rank() == 0 && target == nullptr) {
    log() << "FATAL: if irrigation is modelled, also routing has to be modelled! "
          << "\n(Adress of array routing-target is NULL)\n"
          << "[end-entry]";
    RaiseError(kIrrigationWithoutRouting);
  }
}

void irrigationclass::SetAbfrel(const AreaShares* abfrel) {
  if (inert()) return;
  abfrel_ = abfrel;
  if (rank() == 0 && abfrel == nullptr) {
    log() << "FATAL: if irrigation is modelled, also routing has to be modelled!"
          << " \n(Adress of array abfrel is NULL)\n"
          << "[end-entry]";
    RaiseError(kIrrigationWithoutRouting);
  }
}

void irrigationclass::InitTracers(int n_tracers, std::span<TracerSettingsRecord> tracers, StatisticsRegistry& registry,
                                  int capacity) {
  if (inert()) return;
  teilmodellklasse::InitTracers(n_tracers, tracers, registry, capacity);
  const GridGeometry& g = geometry();
  input_concentration_.assign(static_cast<std::size_t>(std::max(n_tracers, 0)) + 1, GridView());
  tracer_copies_.clear();
  tracer_copies_.resize(static_cast<std::size_t>(std::max(n_tracers, 0)) + 1);
  for (int i = 1; i <= n_tracers; ++i) {
    const auto k = static_cast<std::size_t>(i);
    input_concentration_[k] = Copy((*grids())[RequireGrid("concflux_tracer_" + std::to_string(i) + "_input")].values).whole();
    tracer_copies_[k] = WholeGridCopy(TracerRecords[k].storage.view(), rank(), g.nrows, g.ncols);
  }
}

void irrigationclass::LinkSoilTracerGrids() {
  if (inert()) return;
  soil_concentration_.assign(static_cast<std::size_t>(std::max(TracerCount, 0)) + 1, GridView());
  for (int i = 1; i <= TracerCount; ++i) {
    soil_concentration_[static_cast<std::size_t>(i)] =
        Copy((*grids())[RequireGrid("concstor_tracer_" + std::to_string(i) + "_unsatzon_model")].values).whole();
  }
}

void irrigationclass::FlushStatistics() {
  if (inert()) return;
  for (const std::unique_ptr<zonalstatistic>& statistic : statistics_) statistic->FlushRows();
  for (std::size_t t = 1; t < TracerRecords.size(); ++t) {
    if (TracerRecords[t].statistic) TracerRecords[t].statistic->FlushRows();
  }
}

void irrigationclass::ReleaseTracers() {
  if (inert()) return;
  teilmodellklasse::ReleaseTracers();
  soil_concentration_.clear();
}

void irrigationclass::DeleteModule() {
  if (hru_) return;
  if (ModuleSwitch != 0) {
    for (std::unique_ptr<zonalstatistic>& statistic : statistics_) {
      if (statistic) statistic->Release();
      statistic.reset();
    }
    for (std::vector<ZoneRecord>& zones : zones_) zones.clear();
  }
  teilmodellklasse::DeleteModule();
}

void irrigationclass::RunStep(long long hour, long long day, long long month, long long year) {
  if (inert()) return;
  teilmodellklasse::RunStep(hour, day, month, year);
  for (const std::unique_ptr<zonalstatistic>& statistic : statistics_) statistic->BeginStep();
  for (std::size_t t = 1; t < TracerRecords.size(); ++t) TracerRecords[t].statistic->BeginStep();
  // Process 0 decides for every cell: it gathers the precipitation and the concentrations
  // it changes, and every input of the rules, so that no rule reads a stale value.
  const RunContext& run = context();
  precipitation_copy_.Gather(run);
  for (std::size_t t = 1; t < tracer_copies_.size(); ++t) tracer_copies_[t].Gather(run);
  for (WholeGridCopy& input : input_copies_) input.Gather(run);
  if (rank() == 0) {
    EvaluateRules(static_cast<int>(month), static_cast<int>(day));
    ServeFromRiversAndReservoirs();
    if (shortage_) Reallocate();
    MixAndAddToPrecipitation();
  }
  precipitation_copy_.Scatter(run);
  amounts_copy_.Scatter(run);
  for (std::size_t t = 1; t < tracer_copies_.size(); ++t) tracer_copies_[t].Scatter(run);
  WriteGridOutputs(amounts_index_, true, false);
  for (int k = 0; k < 2; ++k) step_ends_.Add(statistics_[k].get(), 1);
  step_ends_.EndSteps(year, month, day, hour);
  // The routing withdraws the surface-water demand of the step, whatever the table shows.
  if (rank() == 0) {
    for (int s = 1; s <= n_zones_; ++s) {
      ZoneRecord& record = zones_[1][static_cast<std::size_t>(s)];
      record.n = weight_sum_[static_cast<std::size_t>(s)];
      record.RelCellSum = weight_sum_[static_cast<std::size_t>(s)];
      record.sx = surface_sum_[static_cast<std::size_t>(s)];
    }
  }
  for (std::size_t t = 1; t < TracerRecords.size(); ++t) {
    TracerRecords[t].statistic->EndStep(year, month, day, hour, 1);
    WriteGridOutputs(TracerRecords[t].storage_index, true, false);
  }
}

}  // namespace tolvo
