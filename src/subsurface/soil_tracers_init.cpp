// Tracers of the soil model: per tracer its concentration statistic, the concentration of
// the water input, the control-point file, the storage stack (surface store and layers)
// with its values grid "concstor_tracer_<t>_unsatzon_model", and the direct-runoff and
// interflow grids "_CONC_QD_<t>_" and "_CONC_QI_<t>_"; the first concentrations; the
// column solver's view of them; the release at the end of the run.
#include <algorithm>
#include <cstdio>

#include "framework/error_code.h"
#include "framework/file_handle.h"
#include "framework/grid_table.h"
#include "framework/stack_reader.h"
#include "framework/tracer_settings_record.h"
#include "framework/zone_record.h"
#include "subsurface/unsatzonmodellklasse.h"

namespace tolvo {

namespace {

constexpr const char* kModule = "unsatzon_model";

std::string SoilTracerFile(const TracerSettingsRecord& s, const std::string& part, const std::string& ext) {
  return s.path + s.name.substr(0, 3) + part.substr(0, 5) + "." + ext;
}

}  // namespace

void unsatzonmodellklasse::SetUpTracers(int n_tracers, std::span<TracerSettingsRecord> tracers,
                                        StatisticsRegistry& registry, int capacity) {
  TracerCount = std::max(n_tracers, 0);
  soil_tracers_.clear();
  if (TracerCount == 0) return;
  TracerSettings = tracers;
  soil_tracers_.resize(static_cast<std::size_t>(TracerCount) + 1);
  const GridGeometry& g = geometry();
  grid_table& table = *grids();
  const int L = n_layers_;
  const int N = subbasins_.zone_count;
  for (int t = 1; t <= TracerCount; ++t) {
    TracerSettingsRecord& s = tracers[static_cast<std::size_t>(t)];
    SoilTracerGrids& tr = soil_tracers_[static_cast<std::size_t>(t)];
    // The model keeps its own factor per soil sub-step; other models write theirs into the
    // shared table.
    if (s.radioactive == 1) {
      tr.decay = decay_factor_per_substep(s.half_time, TimeStep / SubSteps);
      s.decay_factor = tr.decay;
    }
    tr.zones.assign(subbasins_.zones.begin(), subbasins_.zones.end());
    ClearZoneSums(tr.zones, N);
    tr.statistic_file = SoilTracerFile(s, kModule, s.statext);
    tr.statistic = std::make_unique<zonalstatistic>(log(), rel_cell_area_, g.nrows, g.ncols, tr.zones, N, s.statcode,
                                                    99, tr.statistic_file, output_directory(), settings().output_list);
    char title[300];
    std::snprintf(title, sizeof title, "tracer concentration for tracer %d (%s) ", t, s.name.c_str());
    tr.statistic->WriteHeader(title, kModule, registry, capacity);

    const std::string k = std::to_string(t);
    const int input = RequireOneOf4Grids("concflux_tracer_" + k + "_interception_model",
                                         "concflux_tracer_" + k + "_snow_model", "concflux_tracer_" + k + "_irrigation",
                                         "concflux_tracer_" + k + "_input");
    tr.input = table[input].values;

    if (settings_.control_row > 0 && IsOwnCell(settings_.control_row, settings_.control_col)) {
      tr.point_file = SoilTracerFile(s, "point", s.statext);
      FilePtr file(std::fopen(tr.point_file.c_str(), "wt"));
      if (!file) {
        log() << "FATAL: error opening tracer concentration file " << tr.point_file << "[end-entry]";
        RaiseError(kPointFileAppendError);
      }
      std::fprintf(file.get(), "YY\tMM\tDD\tHH\t%s[%d][%d]", title, settings_.control_row, settings_.control_col);
      for (int l = 1; l <= L; ++l) std::fprintf(file.get(), "[%d]\t", l);
      std::fprintf(file.get(), "\n");
      tr.points = PointSeries(tr.point_file, L + 1);
    }

    // Storage, "_CONC_QD_" and "_CONC_QI_" take three consecutive entries.
    tr.index = table.TakeFreeEntries(
        3, {.taken_by = grid_table::TakenBy::kIdentifier}, log(),
        "no free grid left. please contact the author to set the number of grids to a larger value 1000");
    tr.storage_file = SoilTracerFile(s, kModule, s.gridext);
    if (StorageGridsReadCode == 1) {
      const int levels = ReadStack(grid_input(), tr.storage_file, tr.storage);
      if (levels != L) {
        log() << "FATAL: wrong number of levels in stack " << tr.storage_file << " (there are " << levels
              << " levels, it must be " << L << "[end-entry]";
        RaiseError(kStackLevelError);
      }
    } else {
      tr.storage = Stack(strip().first, strip().last, g.ncols, L, g.nrows);
      tr.storage.fill(g.nodata_value);
      for (int r = strip().first; r <= strip().last; ++r) {
        for (int c = 1; c <= g.ncols; ++c) {
          if (!IsOwnCell(r, c)) continue;
          const SoilRecord& soil = SoilOf(r, c);
          const int G = static_cast<int>(groundwater_level_.view()(r, c));
          tr.storage(r, c, 0) = 0;
          for (int l = 1; l <= L; ++l) {
            const double start = l < G ? s.soilini : s.gwini;
            const double d = l < static_cast<int>(soil.thickness.size()) ? soil.thickness[static_cast<std::size_t>(l)] : 0.0;
            tr.storage(r, c, l) = s.evaporating == 1 ? start : 1000 * theta_.stack(r, c, l) * d * start;
          }
        }
      }
    }
    tr.values = Grid(strip().first, strip().last, g.ncols, g.nrows);
    tr.values.fill(g.nodata_value);
    RegisterGrid(tr.index, tr.storage_file, tr.values.view(), tr.storage.view(), L, "concstor_tracer_" + k + "_" + kModule,
                 s.gridcode, strip().first, strip().last);
    table[tr.index].no_stack_copy = 1;

    const int silt = FindGrid("concflux_tracer_" + k + "_SiltingUpModel", true);
    tr.silting = silt > 0 ? ConstGridView(table[silt].values) : ConstGridView();

    for (Grid* grid : {&tr.qd, &tr.qi, &tr.base_flow}) {
      *grid = Grid(strip().first, strip().last, g.ncols, g.nrows);
      for (int r = strip().first; r <= strip().last; ++r) {
        for (int c = 1; c <= g.ncols; ++c) (*grid)(r, c) = IsOwnCell(r, c) ? 0.0 : g.nodata_value;
      }
    }
    const std::string qd = "_CONC_QD_" + k + "_";
    const std::string qi = "_CONC_QI_" + k + "_";
    RegisterGrid(tr.index + 1, qd, tr.qd.view(), {}, 0, qd, 0, strip().first, strip().last);
    RegisterGrid(tr.index + 2, qi, tr.qi.view(), {}, 0, qi, 0, strip().first, strip().last);

    if (groundwater_coupling != 0) {
      tr.groundwater = table[RequireGrid("concstor_tracer_" + k + "_layer_1_groundwater_flow")].values;
    }
  }
  if (groundwater_coupling != 0) {
    aquifer_thickness_ = table[RequireGrid("aquifer_thickness_1")].values;
    gw_storage_coeff_ = table[RequireGrid("gw_storage_coeff_1")].values;
  }
}

double unsatzonmodellklasse::TracerConcentrationAt(int t, int r, int c) {
  const TracerSettingsRecord& s = TracerSettings[static_cast<std::size_t>(t)];
  // A cell without a water-table layer takes layer 1.
  const int G = std::clamp(static_cast<int>(groundwater_level_.view()(r, c)), 1, n_layers_);
  const double value = soil_tracers_[static_cast<std::size_t>(t)].storage(r, c, G);
  if (s.evaporating == 1) return value;
  const SoilRecord& soil = SoilOf(r, c);
  const double d = G < static_cast<int>(soil.thickness.size()) ? soil.thickness[static_cast<std::size_t>(G)] : 0.0;
  const double water = theta_.stack(r, c, G) * 1000 * d;
  return water > 0 ? value / water : 0.0;
}

void unsatzonmodellklasse::FirstTracerConcentrations() {
  for (int t = 1; t <= TracerCount; ++t) {
    const TracerSettingsRecord& s = TracerSettings[static_cast<std::size_t>(t)];
    SoilTracerGrids& tr = soil_tracers_[static_cast<std::size_t>(t)];
    for (int r = strip().first; r <= strip().last; ++r) {
      for (int c = 1; c <= geometry().ncols; ++c) {
        if (!IsOwnCell(r, c)) continue;
        double conc = TracerConcentrationAt(t, r, c);
        if (s.evaporating != 1 && s.max_conc > 0 && conc > s.max_conc) conc = s.max_conc;
        tr.values(r, c) = conc;
        if (!tr.groundwater.empty()) tr.groundwater(r, c) = conc;
      }
    }
  }
}

void unsatzonmodellklasse::BindColumnTracers() {
  column_tracers_ = SoilColumnTracerSet{};
  if (TracerCount <= 0) return;
  for (int t = 1; t <= TracerCount; ++t) {
    const TracerSettingsRecord& s = TracerSettings[static_cast<std::size_t>(t)];
    SoilTracerGrids& tr = soil_tracers_[static_cast<std::size_t>(t)];
    column_tracers_.tracers.push_back(
        {.tracer = {.evaporating = s.evaporating == 1, .max_conc = s.max_conc, .decay = tr.decay},
         .storage = tr.storage.view(),
         .direct_runoff = tr.qd.view(),
         .interflow = tr.qi.view(),
         .input = tr.input,
         .silting = tr.silting,
         .groundwater = tr.groundwater,
         .other_exports = {},
         .base_flow = tr.base_flow.view()});
  }
  column_tracers_.aquifer_thickness = aquifer_thickness_;
  column_tracers_.groundwater = groundwater_coupling != 0;
  column_tracers_.silting_to_surface = silting_up_from_storage_;
  column_tracers_.silting_direct = !silting_up_from_storage_;
  column_grids_.tracers = &column_tracers_;
}

void unsatzonmodellklasse::UpdateTracerValues() {
  for (int t = 1; t <= TracerCount; ++t) {
    SoilTracerGrids& tr = soil_tracers_[static_cast<std::size_t>(t)];
    for (int r = strip().first; r <= strip().last; ++r) {
      for (int c = 1; c <= geometry().ncols; ++c) {
        if (!IsOwnCell(r, c)) continue;
        tr.values(r, c) = TracerConcentrationAt(t, r, c);
      }
    }
  }
}

int unsatzonmodellklasse::SubbasinOfCell(int r, int c) const {
  const int code = static_cast<int>(zone_(r, c));
  return code >= 0 && code < static_cast<int>(subbasins_.code_index.size())
             ? subbasins_.code_index[static_cast<std::size_t>(code)]
             : 0;
}

void unsatzonmodellklasse::AddTracersToZones(int r, int c, int s, int z, double weight) {
  const double direct = directflow_.view()(r, c);
  const double inter = interflow_.view()(r, c);
  for (int t = 1; t <= TracerCount; ++t) {
    const SoilTracerGrids& tr = soil_tracers_[static_cast<std::size_t>(t)];
    const bool evaporating = TracerSettings[static_cast<std::size_t>(t)].evaporating == 1;
    // An evaporating tracer's grids hold concentrations, any other tracer's the amounts
    // [c · mm] of the sub-step.
    const double qd = evaporating ? tr.qd(r, c) * direct : tr.qd(r, c);
    const double qi = evaporating ? tr.qi(r, c) * inter : tr.qi(r, c);
    AddToZone(0, static_cast<std::size_t>(t), s, z, direct * weight, qd * weight, direct * weight);
    AddToZone(1, static_cast<std::size_t>(t), s, z, inter * weight, qi * weight, inter * weight);
  }
}

void unsatzonmodellklasse::AddTracersToBaseFlow(int r, int c, int s, double base_mm, double weight) {
  const std::size_t block = 2 * (static_cast<std::size_t>(subbasins_.zone_count) + 1);
  for (int t = 1; t <= TracerCount; ++t) {
    const std::size_t i = static_cast<std::size_t>(t) * block + 2 * static_cast<std::size_t>(s);
    qb_sums_[i].Add(soil_tracers_[static_cast<std::size_t>(t)].base_flow(r, c) * weight);
    qb_sums_[i + 1].Add(base_mm * weight);
  }
}

void unsatzonmodellklasse::EndStepTracers(const ModelDate& d) {
  const int N = subbasins_.zone_count;
  const std::size_t block = 2 * (static_cast<std::size_t>(N) + 1);
  for (int t = 1; t <= TracerCount; ++t) {
    const auto ti = static_cast<std::size_t>(t);
    SoilTracerGrids& tr = soil_tracers_[ti];
    WriteGridOutputs(tr.index, true, false);
    if (rank() == 0) {
      for (int s = 1; s <= N; ++s) {
        const auto si = static_cast<std::size_t>(s);
        const double load = qb_values_[ti * block + 2 * si];
        const double water = qb_values_[ti * block + 2 * si + 1];
        qbb_[ti][si] = water > 0 ? load / water : 0.0;
        // The total runoff's concentration mixes its three parts by their flows; the
        // glacier outflow carries no tracer.
        const double S = qbb_[0][si] + qii_[0][si] + qdd_[0][si];
        total_runoff_[ti][si] =
            S > 0 ? (qbb_[0][si] * qbb_[ti][si] + qii_[0][si] * qii_[ti][si] + qdd_[0][si] * qdd_[ti][si]) / S : 0.0;
        tr.statistic->SetZoneSums(s, 1, total_runoff_[ti][si], 1);
      }
    }
    tr.statistic->EndStep(d.year, d.month, d.day, d.hour, 0);
    tr.statistic->BeginStep();
  }
}

void unsatzonmodellklasse::AppendTracerPointRecords(const std::array<long long, 4>& date) {
  const int r = settings_.control_row;
  const int c = settings_.control_col;
  for (int t = 1; t <= TracerCount; ++t) {
    SoilTracerGrids& tr = soil_tracers_[static_cast<std::size_t>(t)];
    if (tr.point_file.empty()) continue;
    const bool evaporating = TracerSettings[static_cast<std::size_t>(t)].evaporating == 1;
    const SoilRecord& soil = SoilOf(r, c);
    const std::span<double> v = tr.points.append(date);
    for (int l = 1; l <= n_layers_; ++l) {
      const auto k = static_cast<std::size_t>(l);
      const double value = tr.storage(r, c, l);
      const double theta = theta_.stack(r, c, l);
      const double d = k < soil.thickness.size() ? soil.thickness[k] : 0.0;
      v[k] = evaporating ? value : (theta > 1e-5 && d > 0 ? value / (theta * d * 1000) : 1e9);
    }
    if (tr.points.count() >= tr.points.capacity()) WritePointSeries(tr.points, 1, n_layers_);
  }
}

void unsatzonmodellklasse::WriteOutTracerPointSeries() {
  for (std::size_t t = 1; t < soil_tracers_.size(); ++t) {
    if (!soil_tracers_[t].point_file.empty()) WritePointSeries(soil_tracers_[t].points, 1, n_layers_);
  }
}

void unsatzonmodellklasse::ReleaseTracers() {
  if (ModuleSwitch == 0) return;
  if (initialised() != 0) WriteOutTracerPointSeries();
  for (std::size_t t = 1; t < soil_tracers_.size(); ++t) {
    SoilTracerGrids& tr = soil_tracers_[t];
    for (int index : {tr.index, tr.index + 1, tr.index + 2}) {
      if (tr.index > 0) FreeGridEntry(index);
    }
    if (tr.statistic) tr.statistic->Release();
  }
  column_grids_.tracers = nullptr;
  column_tracers_ = SoilColumnTracerSet{};
  soil_tracers_.clear();
}

}  // namespace tolvo
