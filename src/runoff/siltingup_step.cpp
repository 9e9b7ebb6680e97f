// The step of the silting-up model: one parallel pass over the process's cells, then, in
// order, the failures of the pass, the copy of response-unit masters, the statistics and
// the grid outputs.

#include <algorithm>
#include <string>

#include "framework/error_code.h"
#include "framework/grid_table.h"
#include "framework/parallel.h"
#include "framework/tracer_settings_record.h"
#include "runoff/siltingupclass.h"
#include "setup/spin_up.h"
#include "tables/landuse_table.h"
#include "tables/soil_table.h"

namespace tolvo {
namespace {

// Variables that hand a cell to the formulas, A..R in this order.
constexpr std::array<const char*, 18> kInputNames = {"A", "B", "C", "D", "E", "F", "G", "H", "I",
                                                     "J", "K", "L", "M", "N", "O", "P", "Q", "R"};

}  // namespace

void siltingupclass::BindFormulas() {
  Formulas& f = formulas_;
  for (std::size_t i = 0; i < kInputNames.size(); ++i) f.inputs[i] = f.slots.Bind(kInputNames[i]);
  for (const ExpressionProgram& program : f.programs) f.bindings.push_back(program.Bind(f.slots));
  f.q = f.slots.Bind("Q");
  f.v = f.slots.Bind("V");
  f.w = f.slots.Bind("W");
  f.x = f.slots.Bind("X");
  f.y = f.slots.Bind("Y");
  f.z = f.slots.Bind("Z");
  f.ans = f.slots.Bind("Ans");
}

void siltingupclass::RunStep(long long hour, long long day, long long month, long long year) {
  teilmodellklasse::RunStep(hour, day, month, year);
  if (ModuleSwitch == 0) return;
  if (!presence_checked_) {
    // The surface routing's weights are a stack: the search goes on past the stacks and the
    // grids without values, or it would never see them, and the water the surface routing
    // left on the cells would be lost instead of reaching the soil.
    surface_routing_present_ = FindGrid("SurfaceRoutingWeights", true) > 0;
    presence_checked_ = true;
  }
  disposition_statistic_->BeginStep();
  runoff_statistic_->BeginStep();
  for (std::size_t t = 1; t < TracerRecords.size(); ++t) TracerRecords[t].statistic->BeginStep();

  const int day_of_year = DayOfYearOfStep(day, month, year);
  const bool formulas = settings_.method == SiltingUpMethod::kExpressions;
  if (formulas) {
    while (static_cast<int>(workspaces_.size()) < row_thread_count()) {
      workspaces_.push_back(std::make_unique<Workspace>(formulas_.slots.size()));
    }
  }
  const RowRange rows = strip();
  for_each_row_by_thread(rows, [&](int r, int thread) {
    Workspace* workspace = formulas ? workspaces_[static_cast<std::size_t>(thread)].get() : nullptr;
    row_status_[static_cast<std::size_t>(r - rows.first)] = RunRow(r, day_of_year, workspace);
  });

  // The failure of the first failing row, whatever the threads did.
  bool missing_z = false;
  for (const RowStatus& status : row_status_) {
    if (status.code != 0) RaiseRowFailure(status);
    missing_z = missing_z || status.missing_z;
  }
  if (missing_z && !missing_z_warned_) {
    log() << "WARNING: the expressions of " << name()
          << " do not define Z; the silting-up disposition is set to 0 on the cells concerned" << "[end-entry]";
    missing_z_warned_ = true;
  }

  CopyResponseUnitMasters();
  AddStatistics();
  step_ends_.Add(disposition_statistic_.get(), 1);
  step_ends_.Add(runoff_statistic_.get(), 1);
  for (std::size_t t = 1; t < TracerRecords.size(); ++t) step_ends_.Add(TracerRecords[t].statistic.get(), 1);
  step_ends_.EndSteps(year, month, day, hour);
  for (const int index : grid_indices_) WriteGridOutputs(index, true, false);
  for (std::size_t t = 1; t < TracerRecords.size(); ++t) WriteGridOutputs(TracerRecords[t].flux_index, true, false);
}

int siltingupclass::DayOfYearOfStep(long long day, long long month, long long year) {
  // A run without meteorological input has no dates: its steps carry the nodata date.
  // The tillage calendar then counts from the model's start date.
  if (day == -9999 && month == -9999 && year == -9999) {
    if (!undated_step_noted_) {
      log() << "INFO: " << name() << ": the steps of this run carry no date (no meteorological input); the days "
            << "since tillage count from the start date of the model" << "[end-entry]";
      undated_step_noted_ = true;
    }
    day = start_date().day;
    month = start_date().month;
    year = start_date().year;
  }
  const LanduseValue jd =
      LanduseRecord::DayOfYear(static_cast<int>(day), static_cast<int>(month), static_cast<int>(year));
  if (!jd.ok()) {
    log() << "FATAL: " << name() << ": the date " << day << "." << month << "." << year
          << " of the step is no calendar date" << "[end-entry]";
    RaiseError(jd.code);
  }
  return static_cast<int>(jd.value);
}

bool siltingupclass::RunFormulas(std::size_t first, std::size_t last, Workspace& workspace, RowStatus& status) const {
  for (std::size_t i = first; i < last; ++i) {
    double value = 0;
    const ExpressionFailure outcome = formulas_.programs[i].Run(formulas_.bindings[i], workspace.values, value);
    if (!outcome.ok()) {
      status.code = kExpressionEvaluationError;
      status.formula = i;
      status.failure = outcome;
      return false;
    }
    workspace.values.Set(formulas_.ans, value);
  }
  return true;
}

siltingupclass::RowStatus siltingupclass::RunRow(int r, int day_of_year, Workspace* workspace) {
  RowStatus status;
  status.r = r;
  const GridGeometry& g = geometry();
  const double nodata = g.nodata_value;
  const double dt = TimeStep;
  const ZoneTableView& zones = settings().zones;
  // Without a table no cell has a record: no land use is tilled, no soil type is known.
  const LanduseTable* landuse = settings().landuse;
  const int n_landuses = landuse != nullptr ? landuse->size() : 0;
  const std::span<const SoilRecord> soils =
      settings().soils != nullptr ? std::span<const SoilRecord>(*settings().soils) : std::span<const SoilRecord>();
  const ConstGridView zone = (*grids()).zone_grid().values;
  GridView disposition = grids_[kDispositionGrid].view();
  GridView rain_pause = grids_[kRainPauseGrid].view();
  GridView kinetic_energy = grids_[kKineticEnergyGrid].view();
  GridView tillage_time = grids_[kTillageTimeGrid].view();
  GridView direct_runoff = grids_[kDirectRunoffGrid].view();
  const bool own_parameters = settings_.method != SiltingUpMethod::kExpressions;
  const SiltingUpParameters& p = settings_.parameters;

  const ColumnRange columns = zones.column_ranges.empty() ? ColumnRange{1, g.ncols}
                                                          : zones.column_ranges[static_cast<std::size_t>(r)];
  for (int c = columns.first; c <= columns.last; ++c) {
    if (workspace != nullptr) workspace->values.Clear();
    if (zone(r, c) == nodata || (!regions_.empty() && regions_(r, c) != rank())) continue;
    if (!hru_masters_.empty() && hru_masters_(r, c) == nodata) continue;

    const double surface = surface_routing_present_ ? surface_storage_(r, c) : 0.0;
    const double water = water_input_(r, c);
    const double intensity = water / (dt / 60);
    const int subbasin = zones.code_index[static_cast<std::size_t>(zone(r, c))];

    AddTracerInput(r, c, water, surface);

    // Land use: tillage and residue come from layer 1, the vegetation cover from the
    // highest layer present. A cell without a land-use record is not tilled.
    const double code = landuse_[1](r, c);
    const LanduseRecord* record =
        code != nodata && code >= 1 && code <= n_landuses ? &(*landuse)[static_cast<int>(code)] : nullptr;
    int top = 1;
    for (int n = landuse_layers_; n >= 1; --n) {
      if (landuse_[static_cast<std::size_t>(n)](r, c) != nodata) {
        top = n;
        break;
      }
    }
    double residue = 0;
    std::span<const int> tillage_days;
    if (record != nullptr) {
      const LanduseValue value = record->ResidueCoverAtJulianDay(day_of_year, 1, r, c, elevation_(r, c));
      if (!value.ok()) {
        status.code = value.code;
        status.c = c;
        status.landuse_failure = value;
        return status;
      }
      residue = value.value;
      int n_days = 0;
      record->GetTillageDays(n_days, tillage_days);
    }
    const bool tilled = !tillage_days.empty() && tillage_days[0] >= -9997;
    const double cover = std::min(1.0, residue + vegetation_cover_[static_cast<std::size_t>(top)](r, c));

    const double soil_index = soil_types_(r, c);
    if (!(soil_index >= 1 && soil_index < static_cast<double>(soils.size()))) {
      status.code = kSoilCodeError;
      status.c = c;
      return status;
    }
    const SoilRecord& soil = soils[static_cast<std::size_t>(soil_index)];
    const GrainSizes grains{soil.sand, soil.silt, soil.clay, {soil.stones1, soil.stones2, soil.stones3, soil.stones4}};
    const double diameter = MeanGrainDiameter(grains);

    const double days = DaysSinceTillage(day_of_year, tillage_days, tillage_time(r, c));
    tillage_time(r, c) = days;
    const double pause = NextRainPause(rain_pause(r, c), intensity, dt);
    rain_pause(r, c) = pause;

    double final_rate = 0;
    double start_rate = 0;
    double energy_factor = 0;
    if (own_parameters) {
      final_rate = FinalInfiltrationRate(p, diameter, soil.sand);
      energy_factor = RainEnergyFactor(intensity);
      disposition(r, c) = SiltingUpDisposition(p, diameter, soil.sand, days);
      start_rate = p.a;
    } else {
      ExpressionSlotValues& v = workspace->values;
      const double inputs[18] = {soil.SU_PAR01, soil.SU_PAR02, soil.SU_PAR03, soil.SU_PAR04, soil.SU_PAR05,
                                 soil.SU_PAR06, soil.SU_PAR07, soil.SU_PAR08, soil.SU_PAR09, soil.SU_PAR10,
                                 diameter,      soil.sand,     soil.clay,     soil.silt,     days,
                                 intensity,     kinetic_energy(r, c), dt};
      for (std::size_t i = 0; i < kInputNames.size(); ++i) v.Set(formulas_.inputs[i], inputs[i]);
      if (!RunFormulas(0, formulas_.capacity_first, *workspace, status)) {
        status.c = c;
        return status;
      }
      const double* z = v.Find(formulas_.z);
      if (z == nullptr) status.missing_z = true;
      disposition(r, c) = z != nullptr ? *z : 0.0;
      final_rate = v.ValueOr(formulas_.y, 0);
      start_rate = v.ValueOr(formulas_.x, 0);
      energy_factor = v.ValueOr(formulas_.w, 0);
    }

    double energy = 0;
    if (days > 0) {
      energy = StepRainEnergy(cover, intensity, energy_factor, dt);
      // Rain after a pause shorter than the sub-basin's minimum keeps sealing the surface.
      if (settings_.minimum_rain_pause[static_cast<std::size_t>(subbasin)] > pause) energy += kinetic_energy(r, c);
    }
    kinetic_energy(r, c) = energy;

    double capacity = 0;
    if (own_parameters) {
      capacity = StepInfiltrationCapacity(energy, disposition(r, c), start_rate, final_rate, dt);
    } else {
      ExpressionSlotValues& v = workspace->values;
      v.Set(formulas_.q, energy);
      if (!RunFormulas(formulas_.capacity_first, formulas_.programs.size(), *workspace, status)) {
        status.c = c;
        return status;
      }
      capacity = v.ValueOr(formulas_.v, 0);
    }

    const double available = water + surface;
    surface_storage_(r, c) = available;
    const double runoff = SiltingUpDirectRunoff(available, capacity, tilled);
    direct_runoff(r, c) = runoff;
    water_input_(r, c) = available - runoff;

    if (runoff > 0) MoveTracersToRunoff(r, c, runoff, available);
  }
  if (workspace != nullptr) workspace->values.Clear();
  return status;
}

void siltingupclass::AddTracerInput(int r, int c, double water, double surface) {
  for (int t = 1; t <= TracerCount; ++t) {
    const TracerSettingsRecord& tracer = TracerSettings[static_cast<std::size_t>(t)];
    double& stored = TracerRecords[static_cast<std::size_t>(t)].storage(r, c);
    if (tracer.radioactive == 1) stored *= tracer.decay_factor;
    if (water <= 0) continue;
    const double input = tracer_input_[static_cast<std::size_t>(t)](r, c);
    // An evaporating substance keeps its concentration in the mixed water; any other is
    // carried in as a load.
    stored = tracer.evaporating == 1 ? WeightedMean(stored, input, surface, water) : stored + water * input;
  }
}

void siltingupclass::MoveTracersToRunoff(int r, int c, double runoff, double surface) {
  for (int t = 1; t <= TracerCount; ++t) {
    const TracerSettingsRecord& tracer = TracerSettings[static_cast<std::size_t>(t)];
    TracerRecord& record = TracerRecords[static_cast<std::size_t>(t)];
    double& stored = record.storage(r, c);
    double& flux = record.flux(r, c);
    if (tracer.evaporating == 1) {
      flux = stored;
      continue;
    }
    double moved = runoff + surface > 0 ? surface * stored / (runoff + surface) : 0.0;
    moved = std::min(surface * tracer.max_conc, moved);
    stored -= moved;
    flux = moved / runoff;
  }
}

void siltingupclass::RaiseRowFailure(const RowStatus& status) {
  switch (status.code) {
    case kExpressionEvaluationError: {
      ExpressionEvaluator scratch(nullptr);
      log() << "FATAL: \n-----------------error------------\nin instance " << name() << "\nexpression "
            << settings_.expressions[status.formula] << " could not be parsed correctly. " << "Parser message: "
            << scratch.Describe(status.failure) << "[end-entry]";
      RaiseError(kExpressionEvaluationError);
    }
    case kSoilCodeError:
      log() << "FATAL: " << name() << ": the cell in row " << status.r << ", column " << status.c
            << " has no soil type of the soil table (grid soil_types)" << "[end-entry]";
      RaiseError(kSoilCodeError);
    default:
      RaiseLanduseFailure(log(), status.landuse_failure);
  }
}

void siltingupclass::CopyResponseUnitMasters() {
  if (hru_masters_.empty()) return;
  const GridGeometry& g = geometry();
  const RowRange rows = strip();
  const ConstGridView zone = (*grids()).zone_grid().values;
  const std::vector<HruRecord>& units = *settings().hrus;
  std::array<GridView, 7> copied = {surface_storage_,          grids_[kTillageTimeGrid].view(),
                                    grids_[kRainPauseGrid].view(), grids_[kKineticEnergyGrid].view(),
                                    grids_[kDispositionGrid].view(), water_input_,
                                    grids_[kDirectRunoffGrid].view()};
  for (int r = rows.first; r <= rows.last; ++r) {
    for (int c = 1; c <= g.ncols; ++c) {
      if (zone(r, c) == g.nodata_value || (!regions_.empty() && regions_(r, c) != rank())) continue;
      if (hru_masters_(r, c) != g.nodata_value) continue;
      const double unit = hru_units_(r, c);
      if (!(unit >= 1 && unit < static_cast<double>(units.size()))) continue;
      const HruRecord& master = units[static_cast<std::size_t>(unit)];
      if (!rows.contains(master.master_row)) continue;
      for (GridView& grid : copied) grid(r, c) = grid(master.master_row, master.master_col);
    }
  }
}

void siltingupclass::AddStatistics() {
  const GridGeometry& g = geometry();
  const RowRange rows = strip();
  const ZoneTableView& zones = settings().zones;
  const ConstGridView zone = (*grids()).zone_grid().values;
  const ConstGridView disposition = grids_[kDispositionGrid].view();
  const ConstGridView direct_runoff = grids_[kDirectRunoffGrid].view();
  for (int r = rows.first; r <= rows.last; ++r) {
    const ColumnRange columns = zones.column_ranges.empty() ? ColumnRange{1, g.ncols}
                                                            : zones.column_ranges[static_cast<std::size_t>(r)];
    for (int c = columns.first; c <= columns.last; ++c) {
      if (zone(r, c) == g.nodata_value || (!regions_.empty() && regions_(r, c) != rank())) continue;
      const int subbasin = zones.code_index[static_cast<std::size_t>(zone(r, c))];
      disposition_statistic_->AddValue(r, c, subbasin, disposition(r, c), 1);
      runoff_statistic_->AddValue(r, c, subbasin, direct_runoff(r, c), 1);
      for (std::size_t t = 1; t < TracerRecords.size(); ++t) {
        const double runoff = direct_runoff(r, c);
        TracerRecords[t].statistic->AddValue(r, c, subbasin, TracerRecords[t].flux(r, c), runoff);
      }
    }
  }
}

}  // namespace tolvo
