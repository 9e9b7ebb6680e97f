#include "framework/teilmodellklasse.h"

#include <mpi.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <numeric>

#include "framework/error_code.h"
#include "framework/grid_reader.h"
#include "framework/grid_table.h"
#include "framework/statistics_registry.h"
#include "framework/tracer_settings_record.h"

namespace tolvo {
namespace {

constexpr int kMaxSubbasins = 10000;

// "%s%.3s%.5s.%.3s": path, tracer name, section name and extension, each cut.
std::string TracerFileName(const TracerSettingsRecord& tracer, const std::string& section, const std::string& ext) {
  return tracer.path + tracer.name.substr(0, 3) + section.substr(0, 5) + "." + ext.substr(0, 3);
}

}  // namespace

teilmodellklasse::teilmodellklasse(DiagnosticsLog& log, const std::string& section, const ModelSettings& settings,
                                   int sub_steps, bool section_required)
    : modelobject(log, settings.compiled_control_file, settings.formats, settings.input_directory,
                  settings.output_directory),
      SubSteps(sub_steps),
      settings_(&settings),
      section_(section) {
  AdoptRunSettings(settings);
  set_name(section.substr(0, kMaxNameLength));

  log << "DEBUG: initializing module " << section << "[end-entry]";
  if (!OpenControlFile(settings.compiled_control_file)) {
    log << "FATAL: error opening " << settings.compiled_control_file << "[end-entry]";
    RaiseError(kControlFileOpenError);
  }
  // A module whose section may be left out is switched off without it; that is no error.
  if (FindSection("[" + section + "]", section_required) == 0) {
    log << "INFO: section [" << section << "] not found in control file; module " << section << " is switched off"
        << "[end-entry]";
    ModuleSwitch = 0;
    CloseControlFile();
    return;
  }
  ReadItem(ModuleSwitch, "flow control parameter for " + section);
  ReadItem(TimeStep, "time interval for " + section);
  CheckTimeStep();
  CheckSubSteps();
  StepsPerDay = TimeStep > 0 ? 1440.0 / TimeStep : 0.0;
  if (ModuleSwitch == 0) CloseControlFile();
}

void teilmodellklasse::CheckTimeStep() {
  // A module that computes needs a time step of at least one minute, since the step is
  // counted in whole minutes (GetTimeStep), and one that a count of minutes can hold; one
  // that is off may leave it 0.
  if (ModuleSwitch != 0 && !(TimeStep >= 1 && TimeStep <= std::numeric_limits<int>::max())) {
    ControlFileValueError("[" + section_ + "]", "time interval for " + section_, TimeStep,
                          "a time step from 1 to " + std::to_string(std::numeric_limits<int>::max()) +
                              " minutes (second value of the section)");
  }
  if (GetHourShift() <= TimeStep / 60 + 0.00001) return;
  log() << "FATAL: \n-------- error --------\n\nthe time step " << TimeStep
        << " minutes as given in the section for the module " << section_
        << " \nis shorter than the parameter min_to_int_end with " << min_to_int_end()
        << "\nThe fourth parameter in [output_interval] gives the shift in minutes from the hour\n"
           "written in the meteorological data to the end of the time step:\n"
           "0 when the hour of the meteorological data marks the end of the step,\n"
           "1440 (or the symbol $time) when it marks its start.\n"
           "The shift must not exceed the time step of any module.\n"
           "Please check the fourth value in [output_interval]\n"
           "and the time steps of all modules.\n"
           "\n"
           "-------- error --------"
        << "[end-entry]";
  RaiseError(kTimeStepTooShort);
}

void teilmodellklasse::CheckSubSteps() {
  // A sub-step of a module that computes lasts at least one minute: more sub-steps than the
  // step has minutes would make it shorter than the step's own unit.
  if (ModuleSwitch == 0 || SubSteps <= 1 || SubSteps <= TimeStep) return;
  ControlFileValueError("[soil_surface_groundwater_substeps]", "sub step counter", SubSteps,
                        "at most " + std::to_string(static_cast<long long>(TimeStep)) + ", the time step of " +
                            section_ + " in minutes, so that a sub-step lasts at least one minute");
}

void teilmodellklasse::ReportFPE(int i1, int i2, int i3, int i4, double a1, double a2, double a3, double a4,
                                 double a5) {
  if (FpeReportState == 1) {
    WriteFpeEntry({.i1 = i1, .i2 = i2, .i3 = i3, .i4 = i4, .a1 = a1, .a2 = a2, .a3 = a3, .a4 = a4, .a5 = a5});
    FpeReportState = 2;
  } else {
    FpeReportState = 0;
  }
}

void teilmodellklasse::ReportFPE(const FpeLoopRecord& loop, int state_at_start) {
  if (loop.calls == 0) return;
  // Only the handler writes the state during the loop, and only from 0 to 1.
  const std::optional<FpeCellCall>& reported = state_at_start == 1 ? loop.first : loop.signalled;
  if (FpeReportState == 1 && reported) {
    WriteFpeEntry(reported->call);
    FpeReportState = 2;
    // The next call after a report clears it.
    if (state_at_start == 1 ? loop.calls > 1 : loop.calls_after_signalled) FpeReportState = 0;
  } else if (FpeReportState == 2) {
    FpeReportState = 0;
  }
}

void teilmodellklasse::WriteFpeEntry(const FpeReportCall& c) {
  log() << "INFO: fpe in i1: " << c.i1 << ", i2: " << c.i2 << ", i3: " << c.i3 << ", i4: " << c.i4 << "\na1: " << c.a1
        << " a2: " << c.a2 << " a3: " << c.a3 << " a4: " << c.a4 << " a5: " << c.a5 << " " << "[end-entry]";
}

void teilmodellklasse::RunStep(long long hour, long long day, long long month, long long year) {
  if (ModuleSwitch == 0) return;
  current_date() = {year, month, day, hour};
  const int interval = GetLogInterval();
  if (interval <= 0) return;
  const long long shifted = static_cast<long long>(static_cast<double>(hour) + GetHourShift());
  if (interval == 1 || shifted % interval == 0) {
    log() << std::setw(20) << section_ << " " << day << "." << month << "." << year << " " << hour << ". h "
          << "(time of meteo data)" << "[end-entry]";
  }
}

DayNightSplit teilmodellklasse::DayFraction() const {
  const ModelDate& d = current_date();
  return tolvo::DayFraction(static_cast<int>(d.day), static_cast<int>(d.month), static_cast<double>(d.hour),
                            GetHourShift(), TimeStep, settings_->site);
}

SunDirection teilmodellklasse::SunPositionAt(int day, int month, double hour) const {
  return SunPosition(day, month, settings_->site, hour);
}

void teilmodellklasse::InitTracers(int n_tracers, std::span<TracerSettingsRecord> tracers, StatisticsRegistry& registry,
                                   int capacity) {
  TracerCount = n_tracers;
  if (n_tracers <= 0) return;
  TracerSettings = tracers;
  TracerRecords.clear();
  TracerRecords.resize(static_cast<std::size_t>(n_tracers) + 1);
  grid_table& table = *grids();
  const GridGeometry& g = geometry();
  const int relcell = FindGrid("RelCellArea", false);
  const ConstGridView weights = relcell > 0 ? ConstGridView(table[relcell].values) : ConstGridView();
  const ConstGridView zone_grid = table.zone_grid().values;
  for (int i = 1; i <= n_tracers; ++i) {
    TracerSettingsRecord& s = tracers[static_cast<std::size_t>(i)];
    TracerRecord& t = TracerRecords[static_cast<std::size_t>(i)];
    if (s.radioactive == 1) s.decay_factor = std::exp(-(TimeStep / 60 / 24) / (1.442695041111 * s.half_time));

    const ZoneTableView& zones = settings_->zones;
    t.zones.assign(zones.zones.begin(), zones.zones.end());
    ClearZoneSums(t.zones, zones.zone_count);

    t.statistic_file = TracerFileName(s, section_, s.statext);
    t.statistic = std::make_unique<zonalstatistic>(log(), weights, g.nrows, g.ncols, t.zones, zones.zone_count,
                                                   s.statcode, 99, t.statistic_file, output_directory(),
                                                   settings_->output_list);
    char quantity[300];
    std::snprintf(quantity, sizeof quantity, "tracer concentration for tracer %d (%s) ", i, s.name.c_str());
    t.statistic->WriteHeader(quantity, section_, registry, capacity);

    // The storage grid and the flux grid take two consecutive entries.
    const int free_entry = table.TakeFreeEntries(
        2, {.taken_by = grid_table::TakenBy::kIdentifier}, log(),
        "no free grid left. Please contact the author to set the number of available grids to a larger value 1000");
    const std::string storage_id = "concstor_tracer_" + std::to_string(i) + "_" + section_;
    t.grid_file = TracerFileName(s, section_, s.gridext);
    if (StorageGridsReadCode == 1) {
      ReadGrid(grid_input(), t.grid_file, t.storage, {.allocate = true, .log = true, .halo_rows = true});
    } else {
      // The halo rows, as a grid read from its file has them: cell passes that carry
      // tracers between neighbours read the neighbours' concentrations.
      const RowRange rows = strip_with_halo();
      t.storage = matrix(rows.first, rows.last, 1, g.ncols, g.nrows);
      GridView storage = t.storage.view();
      for (int r = rows.first; r <= rows.last; ++r) {
        for (int c = 1; c <= g.ncols; ++c) {
          storage(r, c) = zone_grid.empty() || zone_grid(r, c) == g.nodata_value ? g.nodata_value : 0.0;
        }
      }
    }
    RegisterGrid(free_entry, t.grid_file, t.storage.view(), {}, 0, storage_id, s.gridcode, t.storage.rows().first,
                 t.storage.rows().last);
    t.storage_index = free_entry;

    t.flux = matrix(strip().first, strip().last, 1, g.ncols, g.nrows);
    t.flux_index = free_entry + 1;
    RegisterGrid(t.flux_index, t.grid_file, t.flux.view(), {}, 0,
                 "concflux_tracer_" + std::to_string(i) + "_" + section_, 0, strip().first, strip().last);
  }
}

void teilmodellklasse::ReleaseTracers() {
  for (int i = 1; i < static_cast<int>(TracerRecords.size()); ++i) {
    TracerRecord& t = TracerRecords[static_cast<std::size_t>(i)];
    if (t.storage_index > 0) FreeGridEntry(t.storage_index);
    t.storage = Grid();
    if (t.flux_index > 0) FreeGridEntry(t.flux_index);
    t.flux = Grid();
    if (t.statistic) t.statistic->Release();
    t.statistic.reset();
  }
  TracerRecords.clear();
}

RankedZones teilmodellklasse::RankZones() {
  const int index = RequireGrid("zonegrid_soilmodel");
  const grid_entry& entry = (*grids())[index];
  const std::string file = entry.file_name.value_or("zonegrid_soilmodel");
  const GridGeometry& g = geometry();
  const int relcell = FindGrid("RelCellArea", false);
  const ConstGridView weights = relcell > 0 ? ConstGridView((*grids())[relcell].values) : ConstGridView();
  const ZoneRankingMessages messages{
      .ranking = "ranking zones from " + file + " for " + section_,
      .invalid_code = "wrong zone index in " + file + "!\n Zones have to range from 0 to " +
                      std::to_string(kLargestZoneCode) + "!",
      .too_many_zones = "too much zones in " + file + ", (max. " + std::to_string(kMaxZones) + "!)",
      .no_zone_cell = "all cells in " + file + " are NODATA!"};
  // The sub-model's zones come from every row of its zone grid, whatever the column
  // ranges of the run's zone grid.
  RankedZones ranked = RankZoneGrid(*this, entry.values, file, weights, {1, g.nrows}, messages);
  // Every process holds the same count, so all fail together.
  if (ranked.zone_count > kMaxSubbasins) {
    if (rank() == 0) {
      log() << "FATAL: too much subbasins (" << ranked.zone_count << ") in " << section_ << " (max. " << kMaxSubbasins
            << "). Ende!" << "[end-entry]";
    }
    RaiseError(kTooManyZones);
  }
  // Record 0 of a sub-model's table carries zone code 1.
  ranked.zones[0].zonenwert = 1;
  return ranked;
}

void teilmodellklasse::ReleaseStatisticGrid(StatisticGrid& grid) {
  if (grid.statistic) grid.statistic->Release();
  grid.statistic.reset();
  grid.zones.clear();
  if (grid.index > 0) FreeGridEntry(grid.index);
  grid.index = 0;
  grid.values = Grid();
}

void teilmodellklasse::DeleteModule() {
  TracerRecords.clear();
  modelobject::DeleteModule();
}

}  // namespace tolvo
