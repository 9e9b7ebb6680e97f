// Tracers of the groundwater flow model: a storage concentration per tracer, aquifer layer
// and cell ("concstor_tracer_<t>_layer_<n>_groundwater_flow"), decayed at the start of every
// sub-step, mixed upwind with the water of the sub-step's balance and summarised per
// sub-basin and layer; and the model's check of the lake settings.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "framework/error_code.h"
#include "framework/grid_reader.h"
#include "framework/grid_table.h"
#include "framework/halo_exchange.h"
#include "framework/parallel.h"
#include "framework/tracer_settings_record.h"
#include "framework/zone_record.h"
#include "subsurface/groundwater_tracers.h"
#include "subsurface/lake_section_texts.h"
#include "subsurface/gwflowclass.h"
#include "subsurface/soil_tracer_transport.h"

namespace tolvo {

namespace {

// Beyond this many parts a sub-step's mixing would stall the run; such flows are far
// outside any sensible set-up.
constexpr int kMaxMixingParts = 10000;

}  // namespace

void gwflowclass::InitTracers(int n_tracers, std::span<TracerSettingsRecord> tracers, StatisticsRegistry& registry,
                              int capacity) {
  if (ModuleSwitch == 0) return;
  TracerCount = std::max(n_tracers, 0);
  if (TracerCount == 0) return;
  TracerSettings = tracers;
  const int N = settings_.n_layers;
  const GridGeometry& g = geometry();
  grid_table& table = *grids();
  const int relcell = FindGrid("RelCellArea", false);
  const ConstGridView weights = relcell > 0 ? ConstGridView(table[relcell].values) : ConstGridView();
  const ZoneTableView& zones = settings().zones;
  aquifer_tracers_.clear();
  aquifer_tracers_.resize(static_cast<std::size_t>(TracerCount) + 1);
  for (int t = 1; t <= TracerCount; ++t) {
    TracerSettingsRecord& s = tracers[static_cast<std::size_t>(t)];
    AquiferTracer& tracer = aquifer_tracers_[static_cast<std::size_t>(t)];
    if (s.radioactive == 1) {
      tracer.decay = decay_factor_per_substep(s.half_time, TimeStep / SubSteps);
      s.decay_factor = tracer.decay;
    }
    tracer.layers.resize(static_cast<std::size_t>(N) + 1);
    const int first = table.TakeFreeEntries(N + 1, {.taken_by = grid_table::TakenBy::kIdentifier}, log(),
                                            "no free grid left 1000");
    const std::string name3 = s.name.substr(0, 3);
    const std::string module4 = section().substr(0, 4);
    for (int n = 1; n <= N; ++n) {
      AquiferTracerLayer& layer = tracer.layers[static_cast<std::size_t>(n)];
      layer.zones.assign(zones.zones.begin(), zones.zones.end());
      ClearZoneSums(layer.zones, zones.zone_count);
      layer.statistic_file = s.path + name3 + module4 + std::to_string(n % 10) + "." + s.statext;
      layer.statistic = std::make_unique<zonalstatistic>(log(), weights, g.nrows, g.ncols, layer.zones,
                                                         zones.zone_count, s.statcode, 99, layer.statistic_file,
                                                         output_directory(), settings().output_list);
      char quantity[300];
      std::snprintf(quantity, sizeof quantity, "tracer concentration for tracer %d in layer %d (%s) ", t, n,
                    s.name.c_str());
      layer.statistic->WriteHeader(quantity, section(), registry, capacity);

      layer.index = first + n - 1;
      layer.grid_file = s.path + name3 + std::to_string(n % 10) + module4 + "." + s.gridext;
      if (settings_.grid_read_code == 1) {
        ReadGrid(grid_input(), layer.grid_file, layer.storage, {.allocate = true, .log = true, .halo_rows = true});
      } else {
        // Every value is a concentration, so that layers and cells of one unit mix.
        layer.storage = Grid(halo_rows_.first, halo_rows_.last, g.ncols, g.nrows);
        layer.storage.fill(kNodata);
        for (int r = strip().first; r <= strip().last; ++r) {
          for (int c = 1; c <= g.ncols; ++c) {
            if (IsOwnZoneCell(r, c)) layer.storage(r, c) = s.gwini;
          }
        }
        Exchange(layer.storage.view());
      }
      RegisterGrid(layer.index, layer.grid_file, layer.storage.view(), {}, 0,
                   "concstor_tracer_" + std::to_string(t) + "_layer_" + std::to_string(n) + "_" + section(),
                   s.gridcode, layer.storage.rows().first, layer.storage.rows().last);
      layer.mixed = Grid(strip().first, strip().last, g.ncols, g.nrows);
      layer.mixed.fill(kNodata);
    }
    tracer.flux_index = first + N;
    tracer.flux = Grid(halo_rows_.first, halo_rows_.last, g.ncols, g.nrows);
    tracer.flux.fill(kNodata);
    const std::string flux_id = "concflux_tracer_" + std::to_string(t) + "_" + section();
    RegisterGrid(tracer.flux_index, flux_id, tracer.flux.view(), {}, 0, flux_id, 0, tracer.flux.rows().first,
                 tracer.flux.rows().last);
  }
}

void gwflowclass::DecayTracers(int n) {
  for (std::size_t t = 1; t < aquifer_tracers_.size(); ++t) {
    AquiferTracer& tracer = aquifer_tracers_[t];
    if (tracer.decay == 1) continue;
    DecayTracerLayer(domain_, tracer.layers[static_cast<std::size_t>(n)].storage.view(), tracer.decay, strip());
  }
}

void gwflowclass::MixTracers() {
  if (aquifer_tracers_.size() < 2) return;
  const int N = settings_.n_layers;
  const ConstGridView zone = domain_.zone;
  const std::span<const int> code_index = settings().zones.code_index;
  // The mixing is split into as many parts as it takes for no cell of any layer to send out
  // more water than it holds (the same count on every process).
  double share = 0;
  for (int n = 1; n <= N; ++n) share = std::max(share, LargestOutflowShare(domain_, layer_views_, n, dt_s(), strip()));
  share = ReduceMax(share);
  const int parts = static_cast<int>(std::clamp(std::ceil(share), 1.0, static_cast<double>(kMaxMixingParts)));
  for (std::size_t t = 1; t < aquifer_tracers_.size(); ++t) {
    AquiferTracer& tracer = aquifer_tracers_[t];
    for (int part = 1; part <= parts; ++part) {
      for (int n = 1; n <= N; ++n) Exchange(tracer.layers[static_cast<std::size_t>(n)].storage.view());
      // Every layer mixes from the concentrations at the start of the part, so the water
      // moving between layers carries the same concentration out of one and into the other.
      for (int n = 1; n <= N; ++n) {
        const auto conc = [&](int k) {
          return k >= 1 && k <= N ? ConstGridView(tracer.layers[static_cast<std::size_t>(k)].storage.view())
                                  : ConstGridView();
        };
        MixTracerLayer(domain_, layer_views_, n, dt_s(), {conc(n - 1), conc(n), conc(n + 1)},
                       tracer.layers[static_cast<std::size_t>(n)].mixed.view(), strip(), parts, part);
      }
      for (int n = 1; n <= N; ++n) {
        const GridView storage = tracer.layers[static_cast<std::size_t>(n)].storage.view();
        const GridView mixed = tracer.layers[static_cast<std::size_t>(n)].mixed.view();
        for_each_row(strip(), [&](int r) {
          for (int c = 1; c <= domain_.ncols; ++c) {
            if (domain_.active(r, c)) storage(r, c) = mixed(r, c);
          }
        });
      }
    }
    for (int n = 1; n <= N; ++n) {
      AquiferTracerLayer& layer = tracer.layers[static_cast<std::size_t>(n)];
      layer.statistic->BeginStep();
      layer.statistic->PrepareThreads(row_thread_count());
      const GridView storage = layer.storage.view();
      const GridView flux = tracer.flux.view();
      zonalstatistic& statistic = *layer.statistic;
      for_each_row_by_thread(strip(), [&](int r, int thread) {
        for (int c = 1; c <= domain_.ncols; ++c) {
          if (!domain_.active(r, c)) continue;
          if (n == 1) flux(r, c) = storage(r, c);
          const int code = static_cast<int>(zone(r, c));
          const int s = code >= 0 && code < static_cast<int>(code_index.size())
                            ? code_index[static_cast<std::size_t>(code)]
                            : 0;
          statistic.AddValue(r, c, s, storage(r, c), 1.0, thread);
        }
      });
    }
  }
}

void gwflowclass::EndStepTracers(const ModelDate& d) {
  for (std::size_t t = 1; t < aquifer_tracers_.size(); ++t) {
    for (std::size_t n = 1; n < aquifer_tracers_[t].layers.size(); ++n) {
      AquiferTracerLayer& layer = aquifer_tracers_[t].layers[n];
      WriteGridOutputs(layer.index, true, false);
      // Every process's cells count in the sub-basin values.
      layer.statistic->EndStep(d.year, d.month, d.day, d.hour, 1);
    }
  }
}

void gwflowclass::FlushTracerStatistics() {
  for (std::size_t t = 1; t < aquifer_tracers_.size(); ++t) {
    for (std::size_t n = 1; n < aquifer_tracers_[t].layers.size(); ++n) aquifer_tracers_[t].layers[n].statistic->FlushRows();
  }
}

void gwflowclass::ReleaseTracers() {
  if (ModuleSwitch == 0) return;
  for (std::size_t t = 1; t < aquifer_tracers_.size(); ++t) {
    AquiferTracer& tracer = aquifer_tracers_[t];
    for (std::size_t n = 1; n < tracer.layers.size(); ++n) {
      AquiferTracerLayer& layer = tracer.layers[n];
      if (layer.index > 0) FreeGridEntry(layer.index);
      if (layer.statistic) layer.statistic->Release();
    }
    if (tracer.flux_index > 0) FreeGridEntry(tracer.flux_index);
  }
  aquifer_tracers_.clear();
}

void gwflowclass::ReadLakeModel(const std::string& section_name) {
  if (FindGrid("lake_codes", false) == 0) {
    log() << "INFO: no LAKE-grid was found in " << section() << "\n"
          << "Lake modelling is switched off for " << section() << ".\n"
          << "[end-entry]";
    return;
  }
  if (!OpenControlFile(control_file_name())) {
    log() << "FATAL: error opening " << control_file_name() << "[end-entry]";
    RaiseError(kControlFileOpenError);
  }
  FindSection(section_name, true);
  ReadItem(lake_switch_, "flow control parameter for " + section_name);
  if (settings().hrus != nullptr) lake_switch_ = 0;
  if (lake_switch_ == 0) {
    CloseControlFile();
    return;
  }
  if (settings_.use_pond_flag != 1) {
    log() << "FATAL: \n=======================================\n" << PondUseRequiredText(section_name, section())
          << "[end-entry]";
    CloseControlFile();
    RaiseError(kGroundwaterLakeSettings);
  }
  ReadItem(lake_initialization_, "initialization method for " + section_name);
  CloseControlFile();
  lake_codes_ = (*grids())[RequireGrid("lake_codes")].values;
  const int pond = FindGrid("ponding_storage", false);
  if (pond == 0) {
    log() << "FATAL: \n=======================================\n"
          << "!!!! ERROR !!!! \n\n"
          << "\nLAKE-grid was found, but no POND-Grid. For using lakes,"
          << "\nboth grids must be present."
          << "\n\n=======================================\n"
          << "[end-entry]";
    RaiseError(kControlFileOpenError);
  }
  if (lake_initialization_ != 1 && lake_initialization_ != 2) {
    log() << "FATAL: \n=======================================\n"
          << LakeMethodInvalidText(section_name, lake_initialization_) << "[end-entry]";
    RaiseError(kGroundwaterLakeSettings);
  }
}

}  // namespace tolvo
