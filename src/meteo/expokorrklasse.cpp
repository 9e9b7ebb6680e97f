#include "meteo/expokorrklasse.h"

#include <cassert>
#include <string>

#include "framework/error_code.h"
#include "framework/grid_distribution.h"
#include "framework/grid_table.h"
#include "framework/parallel.h"
#include "meteo/terrain_shading.h"

namespace tolvo {
namespace {

// Steps longer than this many minutes keep a copy of the temperature for the night.
constexpr double kNightTemperatureStep = 720;

RadiationCorrectionMethod MethodOf(int number) {
  switch (number) {
    case 1: return RadiationCorrectionMethod::kShading;
    case 3: return RadiationCorrectionMethod::kExposure;
    case 4: return RadiationCorrectionMethod::kExposureAndTemperature;
    default: return RadiationCorrectionMethod::kShadingAndTemperature;  // any other number works as method 2
  }
}

}  // namespace

expokorrklasse::expokorrklasse(DiagnosticsLog& log, StatisticsRegistry& /*registry*/, const ModelSettings& settings)
    : teilmodellklasse(log, "radiation_correction", settings, 1) {
  grid_table& table = *grids();
  zone_ = table.zone_grid().values;
  if (const int regions = FindGrid("MPIRegions", false); regions > 0) regions_ = table[regions].values;
  if (ModuleSwitch != 0) {
    log << "file " << "expokorr" << ", compiled at " << __DATE__ << ", " << __TIME__ << "[end-entry]";
    ReadSection();
    CloseControlFile();
    BindGrids();
  }
  FindTemperature();
  if (ModuleSwitch != 0) {
    const RowRange own = strip();
    whole_shadow_ = rank() == 0 && settings_.shades();
    if (whole_shadow_) walk_heights_.assign(static_cast<std::size_t>(geometry().ncols) + 1, 0.0);
    Register(factor_, own, settings_.factor_file, "radiation_correction", settings_.factor_write_code);
    Register(shadow_, whole_shadow_ ? RowRange{1, geometry().nrows} : own, settings_.shadow_file, "Shadow",
             settings_.shadow_write_code);
    Register(ieff_max_, own, "Ieff_max", "Ieff_max", 0);
    if (settings_.corrects_temperature() && !temperature_.empty()) {
      Register(corr_temperature_, own, settings_.temperature_file, "corr_temperature",
               settings_.temperature_write_code);
      temperature_term_ = matrix(own.first, own.last, 1, geometry().ncols, geometry().nrows);
      temperature_term_.fill(0);
    }
    // The first step computes.
    step_counter_ = settings_.steps_between;
  }
  if (!temperature_.empty() && TimeStep > kNightTemperatureStep) {
    Register(temperature_night_, strip(), "$$temperature_night$$", "temperature_night", 0);
  }
}

void expokorrklasse::ReadSection() {
  int method = 2;
  ReadItem(method, "methode of correction for ");
  settings_.method = MethodOf(method);
  ReadItem(settings_.temperature_file, "name of the TKORR-Grid for");
  ReadItem(settings_.temperature_write_code, "Writegrid TKORR for ");
  ReadItem(settings_.temperature_scaling, "scaling factor for Tkorr for ");
  ReadItem(settings_.factor_file, "name of the EXKORR-Grids for");
  ReadItem(settings_.factor_write_code, "Writegrid EXKORR for ");
  ReadItem(settings_.shadow_file, "name of the SHAPE-Grid for");
  ReadItem(settings_.shadow_write_code, "Writegrid SHAPE for ");
  ReadItem(settings_.steps_between, "number if timesteps for ");
  ReadItem(settings_.sub_steps, "number of splittings for ");
  if (settings_.sub_steps < 1) {
    ControlFileValueError("[radiation_correction]", "number of splittings", settings_.sub_steps,
                          "at least 1 sub-step per step");
  }
}

void expokorrklasse::BindGrids() {
  grid_table& table = *grids();
  elevation_ = table[RequireGrid("[elevation_model]")].values;
  aspect_ = table[RequireGrid("slope_aspect")].values;
  slope_ = table[RequireGrid("slope_angle")].values;
  if (settings().spin_up != 0 && settings().hrus != nullptr) {
    RequireGrid("HydrologicResponseUnits");
    hru_masters_ = table[RequireGrid("MasterHydrologicResponseUnits")].values;
  }
  if (const int sunshine = FindGrid("sunshine_duration", false); sunshine > 0) sunshine_ = table[sunshine].values;
  // The surface normal of every cell, from its slope and aspect: level 0 east, 1 north, 2 up.
  const RowRange rows = strip();
  normals_ = three_d_matrix(rows.first, rows.last, 1, geometry().ncols, 2, geometry().nrows);
  const StackView normals = normals_.view();
  for_each_row(rows, [&](int r) {
    for (int c = 1; c <= geometry().ncols; ++c) {
      if (zone_(r, c) == geometry().nodata_value) continue;
      const UnitVector n = SurfaceNormal(aspect_(r, c), slope_(r, c));
      normals(r, c, 0) = n.east;
      normals(r, c, 1) = n.north;
      normals(r, c, 2) = n.up;
    }
  });
}

void expokorrklasse::FindTemperature() {
  int index = FindGrid("temperature", false);
  if (index <= 0) index = FindGrid("temperature_14", false);
  if (index > 0) temperature_ = (*grids())[index].values;
}

void expokorrklasse::Register(OwnGrid& grid, RowRange rows, const std::string& file, const std::string& identifier,
                              int write_code) {
  const GridGeometry& g = geometry();
  grid.index = grids()->TakeFreeEntries(1, {.taken_by = grid_table::TakenBy::kIdentifier}, log(),
                                        "no free grid left" + std::to_string(kLastGridIndex + 1));
  grid.values = matrix(rows.first, rows.last, 1, g.ncols, g.nrows);
  for (int r = rows.first; r <= rows.last; ++r) {
    const bool zone_row = !zone_.empty() && zone_.rows().contains(r);
    for (int c = 1; c <= g.ncols; ++c) {
      grid.values(r, c) = zone_row && zone_(r, c) != g.nodata_value ? 0.0 : g.nodata_value;
    }
  }
  RegisterGrid(grid.index, file, grid.values.view(), {}, 0, identifier, write_code, rows.first, rows.last);
}

ConstGridView expokorrklasse::CorrectedRadiation() const {
  if (ModuleSwitch != 1) return {};
  return factor_.values.view();
}

bool expokorrklasse::IsActiveCell(int r, int c) const {
  const double nodata = geometry().nodata_value;
  return zone_(r, c) != nodata && (regions_.empty() || regions_(r, c) == rank()) &&
         (hru_masters_.empty() || hru_masters_(r, c) != nodata);
}

ColumnRange expokorrklasse::ColumnsOf(int r) const {
  const auto& ranges = settings().zones.column_ranges;
  if (ranges.empty()) return {1, geometry().ncols};
  return static_cast<std::size_t>(r) < ranges.size() ? ranges[static_cast<std::size_t>(r)] : ColumnRange{};
}

void expokorrklasse::RunStep(long long hour, long long day, long long month, long long year) {
  if (!temperature_night_.values.empty()) CopyNightTemperature();
  if (ModuleSwitch == 0) return;
  if (step_counter_ < settings_.steps_between) {
    ++step_counter_;
    FollowTemperature();
    return;
  }
  step_counter_ = 1;
  teilmodellklasse::RunStep(hour, day, month, year);
  if (month < 1 || month > 12 || day < 1 || day > 31) {
    NeutralStep();
    return;
  }
  ComputeStep(hour, static_cast<int>(day), static_cast<int>(month));
}

void expokorrklasse::NeutralStep() {
  if (!undated_step_noted_) {
    log() << "INFO: " << section() << ": the steps of this run carry no date (no meteorological input); without "
          << "the sun's position the radiation is not corrected (factor 1)" << "[end-entry]";
    undated_step_noted_ = true;
  }
  PrepareCells();
  ResetShade();
  GridView factor = factor_.values.view();
  GridView term = temperature_term_.view();
  const bool temperature = !term.empty();
  for_each_row(strip(), [&](int r) {
    const ColumnRange columns = ColumnsOf(r);
    for (int c = columns.first; c <= columns.last; ++c) {
      if (!IsActiveCell(r, c)) continue;
      factor(r, c) = 1;
      if (temperature) term(r, c) = 0;
    }
  });
  WriteGridOutputs(shadow_.index, true, false);
  WriteGridOutputs(factor_.index, true, false);
  if (!corr_temperature_.values.empty()) WriteGridOutputs(corr_temperature_.index, true, false);
}

void expokorrklasse::CopyNightTemperature() {
  GridView night = temperature_night_.values.view();
  for_each_row(strip(), [&](int r) {
    const ColumnRange columns = ColumnsOf(r);
    for (int c = columns.first; c <= columns.last; ++c) {
      if (IsActiveCell(r, c)) night(r, c) = temperature_(r, c);
    }
  });
}

void expokorrklasse::FollowTemperature() {
  if (corr_temperature_.values.empty()) return;
  GridView corrected = corr_temperature_.values.view();
  const ConstGridView term = temperature_term_.view();
  for_each_row(strip(), [&](int r) {
    const ColumnRange columns = ColumnsOf(r);
    for (int c = columns.first; c <= columns.last; ++c) {
      if (IsActiveCell(r, c)) corrected(r, c) = temperature_(r, c) + term(r, c);
    }
  });
}

void expokorrklasse::ComputeStep(long long hour, int day, int month) {
  const SunTimes times = SunriseSunset(day, month, settings().site);
  PrepareCells();
  const double step_end = static_cast<double>(hour) + GetHourShift() + settings().time_shift;
  const SubStepClock clock = MakeSubStepClock(step_end, TimeStep, settings_.sub_steps);
  double horizontal_sum = 0;
  for (int i = 0; i < clock.count; ++i) {
    const double centre = clock.centre(i);
    const SubStepDaylight light =
        DaylightOfSubStep(times.sunrise, times.sunset, centre - clock.length / 2, centre + clock.length / 2);
    SubStepSun sun;
    if (!light.night) {
      // The sun in the middle of the sub-step's daylight.
      const double hour_of_sun = centre + light.night_before_sunrise - light.night_fraction * clock.length / 2;
      const SunDirection direction = SunPositionAt(day, month, hour_of_sun);
      sun = SunOfSubStep(light, clock.length, direction.azimuth, direction.elevation);
      horizontal_sum += sun.horizontal();
    }
    ResetShade();
    if (!sun.night && settings_.shades() && hru_masters_.empty()) ShadeAndDistribute(sun);
    AccumulateSubStep(sun);
    WriteGridOutputs(shadow_.index, true, i + 1 < clock.count);
  }
  FinishStep(horizontal_sum);
  WriteGridOutputs(factor_.index, true, false);
  if (!corr_temperature_.values.empty()) WriteGridOutputs(corr_temperature_.index, true, false);
}

void expokorrklasse::PrepareCells() {
  const double nodata = geometry().nodata_value;
  GridView factor = factor_.values.view();
  GridView ieff = ieff_max_.values.view();
  GridView corrected = corr_temperature_.values.view();
  const bool temperature = !corrected.empty();
  for_each_row(strip(), [&](int r) {
    const ColumnRange columns = ColumnsOf(r);
    for (int c = columns.first; c <= columns.last; ++c) {
      const bool active = IsActiveCell(r, c);
      if (temperature) corrected(r, c) = active ? temperature_(r, c) : nodata;
      if (active) {
        factor(r, c) = 0;
        ieff(r, c) = 0;
      }
    }
  });
}

void expokorrklasse::ResetShade() {
  GridView shadow = shadow_.values.view();
  if (!whole_shadow_) {
    for_each_row(strip(), [&](int r) {
      const ColumnRange columns = ColumnsOf(r);
      for (int c = columns.first; c <= columns.last; ++c) {
        if (IsActiveCell(r, c)) shadow(r, c) = 0;
      }
    });
    return;
  }
  // Process 0 clears the whole grid it shades, whichever process computes a cell.
  const double nodata = geometry().nodata_value;
  for_each_row({1, geometry().nrows}, [&](int r) {
    const ColumnRange columns = ColumnsOf(r);
    for (int c = columns.first; c <= columns.last; ++c) {
      if (zone_(r, c) != nodata && (hru_masters_.empty() || hru_masters_(r, c) != nodata)) shadow(r, c) = 0;
    }
  });
}

void expokorrklasse::ShadeAndDistribute(const SubStepSun& sun) {
  if (rank() == 0) {
    assert(elevation_.rows().first <= 1 && elevation_.rows().last >= geometry().nrows);
    ShadeTerrain(elevation_, zone_, geometry().nodata_value, geometry().cellsize,
                 {sun.azimuth, kSolarPi / 2 - sun.zenith}, shadow_.values.view(), walk_heights_);
  }
  ScatterGrid(context(), shadow_.values.view());
}

void expokorrklasse::AccumulateSubStep(const SubStepSun& sun) {
  if (sun.night || sun.direct <= 0) return;
  GridView factor = factor_.values.view();
  const ConstGridView shadow = shadow_.values.view();
  const ConstStackView normals = normals_.view();
  const bool sunshine_known = !sunshine_.empty();
  for_each_row(strip(), [&](int r) {
    const ColumnRange columns = ColumnsOf(r);
    for (int c = columns.first; c <= columns.last; ++c) {
      if (!IsActiveCell(r, c)) continue;
      const std::span<const double> n = normals.levels(r, c);
      factor(r, c) += DirectRadiationOnSlope(sun, {n[0], n[1], n[2]}, shadow(r, c), sunshine_known,
                                             sunshine_known ? sunshine_(r, c) : 0.0);
    }
  });
}

void expokorrklasse::FinishStep(double horizontal_sum) {
  GridView factor = factor_.values.view();
  GridView ieff = ieff_max_.values.view();
  GridView corrected = corr_temperature_.values.view();
  GridView term = temperature_term_.view();
  const bool temperature = !corrected.empty();
  const bool sunshine_known = !sunshine_.empty();
  const double scaling = settings_.temperature_scaling;
  for_each_row(strip(), [&](int r) {
    const ColumnRange columns = ColumnsOf(r);
    for (int c = columns.first; c <= columns.last; ++c) {
      if (!IsActiveCell(r, c)) continue;
      const double on_slope = factor(r, c);
      ieff(r, c) = on_slope;
      factor(r, c) = RadiationFactor(on_slope, horizontal_sum);
      if (!temperature) continue;
      const double t = temperature_(r, c);
      corrected(r, c) = ExposureCorrectedTemperature(t, factor(r, c), scaling,
                                                     sunshine_known ? sunshine_(r, c) : 0.5, horizontal_sum > 0);
      term(r, c) = corrected(r, c) - t;
    }
  });
}

void expokorrklasse::DeleteModule() {
  for (OwnGrid* grid : {&factor_, &shadow_, &ieff_max_, &corr_temperature_, &temperature_night_}) {
    if (grid->index > 0) FreeGridEntry(grid->index);
    grid->index = 0;
    grid->values = Grid();
  }
  temperature_term_ = Grid();
  normals_ = Stack();
  walk_heights_.clear();
  teilmodellklasse::DeleteModule();
}

}  // namespace tolvo
