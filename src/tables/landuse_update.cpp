// The per-step update of the land-use parameter grids and the per-cell evaluation that
// it shares with their set-up.

#include "tables/landuse_update.h"

#include <algorithm>
#include <cmath>
#include <iomanip>
#include <utility>

#include "framework/error_code.h"
#include "framework/grid_distribution.h"
#include "framework/grid_table.h"
#include "framework/modelobject.h"
#include "framework/parallel.h"

namespace tolvo {

namespace {

// The columns of row r that hold basin cells; every column without a decomposition.
ColumnRange ColumnsOf(const modelobject& reader, int r) {
  const DomainLayout* layout = reader.domain_layout();
  if (layout != nullptr && static_cast<std::size_t>(r) < layout->column_ranges.size()) {
    return layout->column_ranges[static_cast<std::size_t>(r)];
  }
  return {1, reader.geometry().ncols};
}

// A phenology start day as the date operations read it: truncated toward zero, values no
// day can reach (not-a-number included) far outside the year.
int StartDayOf(double value) {
  constexpr double kFar = 1.0e6;
  if (!(std::fabs(value) < kFar)) return static_cast<int>(kFar);
  return static_cast<int>(std::trunc(value));
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Per-cell evaluation

ParameterDate MakeParameterDate(int day, int month, int year) {
  return {day, month, year, LanduseRecord::JulianDay(day, month, year)};
}

void SeasonalLayerParameters(DiagnosticsLog& log, const LanduseRecord& e, const ParameterDate& date, int k, int r,
                             int c, double z, const LanduseLayerGrids& g) {
  const int jd = date.day_of_year;
  if (e.TestParameterFlag(kFlagRootDepth)) g.root_depth(r, c) = e.RootDepthAtJulianDay(log, jd, k, r, c, z);
  if (e.TestParameterFlag(kFlagLAI)) g.leaf_area_index(r, c) = e.LeafAreaIndexAtJulianDay(log, jd, k, r, c, z);
  if (e.TestParameterFlag(kFlagVCF)) g.vegetation_cover(r, c) = e.VegetationCoverAtJulianDay(log, jd, k, r, c, z);
  if (e.TestParameterFlag(kFlagCanopyResistance)) {
    g.canopy_resistance(r, c) = e.CanopyResistanceAt(log, date.day, date.month, date.year, k, z, r, c);
  }
  if (e.TestParameterFlag(kFlagInterceptionResistance)) {
    g.interception_resistance(r, c) = e.InterceptionResistanceAt(log, date.day, date.month, date.year, k, z, r, c);
  }
  if (e.TestParameterFlag(kFlagZ0)) g.roughness_length(r, c) = e.RoughnessLengthAtJulianDay(log, jd, k, r, c, z);
}

void SurfaceParameters(DiagnosticsLog& log, const LanduseRecord& e, const ParameterDate& date, int r, int c, double z,
                       GridView albedo, GridView evaporation_resistance) {
  if (e.TestParameterFlag(kFlagAlbedo)) albedo(r, c) = e.AlbedoAtJulianDay(log, date.day_of_year, 1, r, c, z);
  if (e.TestParameterFlag(kFlagEvaporationResistance)) {
    evaporation_resistance(r, c) = e.EvaporationResistanceAt(log, date.day, date.month, date.year, 1, z, r, c);
  }
}

void LimitLayerParameters(const LanduseLayerGrids& g, int r, int c, RoughnessLimit roughness,
                          GridView evaporation_resistance) {
  double& root_depth = g.root_depth(r, c);
  if (root_depth < 0.01) root_depth = 0.01;
  double& cover = g.vegetation_cover(r, c);
  cover = std::clamp(cover, 0.0, 1.0);
  for (const GridView& grid : {g.leaf_area_index, g.canopy_resistance, g.interception_resistance}) {
    if (grid(r, c) < 0) grid(r, c) = 0;
  }
  double& z0 = g.roughness_length(r, c);
  if (roughness == RoughnessLimit::BelowMinimum ? z0 < 0.01 : z0 <= 0) z0 = 0.01;
  if (!evaporation_resistance.empty() && evaporation_resistance(r, c) < 0) evaporation_resistance(r, c) = 0;
}

bool FixpointDaysInRange(const LanduseRecord& e, const PhenologyLayerGrids& phenology, int r, int c, double z) {
  const LanduseMethod method = e.GetMethod();
  const bool own_days = (method == LanduseMethod::DynamicPhenology_3 || method == LanduseMethod::DynamicPhenology_4) &&
                        !phenology.fixpoint_days.empty();
  if (own_days || e.GetCount() < 1) return true;
  const bool dynamic_start = method == LanduseMethod::DynamicPhenology_1 ||
                             method == LanduseMethod::DynamicPhenology_2 || method == LanduseMethod::DynamicPhenology_4;
  const int start = dynamic_start && !phenology.start_day.empty() ? StartDayOf(phenology.start_day(r, c)) : -1;
  for (int k = 1; k <= e.GetCount(); ++k) {
    const int day = e.CorrectedFixpointDay(k, start, z);
    if (day < -1 || day > 366) return false;
  }
  return true;
}

// ---------------------------------------------------------------------------------------
// The update

void LanduseParameterGrids::UpdateLanduseParameters(modelobject& reader, LanduseTable& table,
                                                    std::span<const ConstGridView> layer_codes, int hour, int day,
                                                    int month, int year, double step_minutes) {
  if (dynamic_phenology_) {
    if (temperature_.empty()) ResolveWeatherGrids(reader);
    AccumulateTemperature(reader, step_minutes);
  }
  const bool has_layers = generated_ && !layer_codes.empty();
  if (has_layers) CheckLayerCodes(reader, layer_codes);
  const double hour_shift = reader.GetHourShift();
  if (hour + hour_shift == 24.0) {
    LogDayEnd(reader, hour, day, month, year);
    if (dynamic_phenology_) MovingMean(reader);
    if (has_layers) {
      reader.current_date() = ModelDate{year, month, day, hour};
      const ParameterDate date = MakeParameterDate(day, month, year);
      if (dynamic_phenology_) UpdateDynamicPhenology(table, PhenologyInputs(reader, layer_codes), date.day_of_year);
      UpdateParameters(reader, table, layer_codes, date);
      if (dynamic_phenology_) ClearTemperature(reader);
      MarkBalanceGrids(reader, table, date.day_of_year);
    } else if (dynamic_phenology_) {
      ClearTemperature(reader);
    }
  }
  if (has_layers) CountBalanceSteps(reader);
}

void LanduseParameterGrids::LogDayEnd(modelobject& reader, int hour, int day, int month, int year) const {
  DiagnosticsLog& log = reader.log();
  const int interval = reader.GetLogInterval();
  if (interval == 1) {
    log << "INFO: " << std::setw(20) << "actual parameters" << " " << day << "." << month << "." << year << " "
        << hour << ". h" << "[end-entry]";
    return;
  }
  const long long hour_of_data = static_cast<long long>(reader.GetHourShift()) + reader.current_date().hour;
  if (interval > 1 && hour_of_data % interval == 0) {
    log << "INFO: " << std::setw(20) << "actual parameters" << " " << day << "." << month << "." << year << " "
        << hour << ". h " << "(time of meteo data)" << "[end-entry]";
  }
}

void LanduseParameterGrids::ResolveWeatherGrids(modelobject& reader) {
  const int temperature = reader.FindGrid("temperature", true);
  if (temperature == 0) {
    reader.log() << "FATAL: could not find grid with label \"" << "temperature" << "\". \nThis grid must be present "
                 << "(either by interpolating " << "or by reading or as standard grid) for using dynamic phenology"
                 << "[end-entry]";
    RaiseError(kMissingGrid);
  }
  const grid_table& grids = *reader.grids();
  RequireRows(reader, grids[temperature].values, "temperature", reader.strip());
  temperature_ = grids[temperature].values;
  if (const int theta = reader.FindGrid("MeanThetaInRootZone", true); theta > 0) {
    RequireRows(reader, grids[theta].values, "MeanThetaInRootZone", reader.strip());
    mean_theta_ = grids[theta].values;
  }
}

void LanduseParameterGrids::CheckLayerCodes(modelobject& reader, std::span<const ConstGridView> layer_codes) {
  if (layer_codes.size() != layers_.size()) {
    reader.log() << "FATAL: " << static_cast<int>(layer_codes.size()) << " land-use layer grids given for "
                 << static_cast<int>(layers_.size()) << " land-use layers" << "[end-entry]";
    RaiseError(kGridEntryError);
  }
  for (std::size_t k = 0; k < layer_codes.size(); ++k) {
    RequireRows(reader, layer_codes[k], "landuse" + std::to_string(k + 1), reader.strip());
  }
}

// Calls body(r, c) for every own cell of the process's rows: a basin cell that this
// process computes.
template <typename Body>
void LanduseParameterGrids::ForOwnCells(const modelobject& reader, Body&& body) const {
  const int rank = reader.rank();
  for_each_row(reader.strip(), [&](int r) {
    const ColumnRange columns = ColumnsOf(reader, r);
    for (int c = columns.first; c <= columns.last; ++c) {
      if (zone_(r, c) > kNodata && (regions_.empty() || regions_(r, c) == rank)) body(r, c);
    }
  });
}

void LanduseParameterGrids::AccumulateTemperature(const modelobject& reader, double step_minutes) {
  const double weight = step_minutes / 1440.0;
  ForOwnCells(reader, [&](int r, int c) { temperature_avg_(r, c) += weight * temperature_(r, c); });
}

void LanduseParameterGrids::MovingMean(modelobject& reader) {
  mean_day_count_ = std::min(mean_day_count_ + 1, 7);
  const double days = mean_day_count_;
  ForOwnCells(reader, [&](int r, int c) {
    const std::span<double> levels = movavg7_stack_.levels(r, c);
    std::copy_backward(levels.begin() + 1, levels.begin() + 7, levels.begin() + 8);
    levels[1] = temperature_avg_(r, c);
    double sum = 0;
    for (int l = 1; l <= 7; ++l) sum += levels[static_cast<std::size_t>(l)];
    movavg7_(r, c) = sum / days;
  });
  reader.WriteGridOutputs(movavg7_index_, true, false);
}

void LanduseParameterGrids::ClearTemperature(const modelobject& reader) {
  ForOwnCells(reader, [&](int r, int c) { temperature_avg_(r, c) = 0; });
}

PhenologyGrids LanduseParameterGrids::PhenologyInputs(const modelobject& reader,
                                                      std::span<const ConstGridView> layer_codes) const {
  std::span<const ColumnRange> ranges;
  if (const DomainLayout* layout = reader.domain_layout(); layout != nullptr) ranges = layout->column_ranges;
  return {reader.strip(),     ranges,           reader.geometry().ncols, zone_,  layer_codes, phenology_layers_,
          temperature_avg_,   mean_theta_,      movavg7_,                movavg7_stack_,       leaf_fall_start_};
}

// The parameters of one own cell in every layer for the date. The cell's layer codes
// are table indices or nodata (the caller has made sure).
void LanduseParameterGrids::UpdateCell(DiagnosticsLog& log, const LanduseTable& table,
                                       std::span<const ConstGridView> layer_codes, const ParameterDate& date, int r,
                                       int c) const {
  const double z = elevation_(r, c);
  const int n_entries = table.size();
  for (std::size_t l = 0; l < layers_.size(); ++l) {
    const int k = static_cast<int>(l) + 1;
    const LanduseLayerGrids& g = layers_[l];
    const double code = layer_codes[l](r, c);
    if (code == kNodata) {
      for (const GridView& grid : {g.root_depth, g.leaf_area_index, g.vegetation_cover, g.interception_resistance,
                                   g.canopy_resistance, g.roughness_length, g.vegetation_start, g.vegetation_stop}) {
        grid(r, c) = kNodata;
      }
      if (k == 1) {
        albedo_(r, c) = kNodata;
        evaporation_resistance_(r, c) = kNodata;
      }
      continue;
    }
    const int index = LanduseTableIndex(code, n_entries);
    if (index == 0) continue;
    const LanduseRecord& e = table[index];
    if (k == 1) SurfaceParameters(log, e, date, r, c, z, albedo_, evaporation_resistance_);
    SeasonalLayerParameters(log, e, date, k, r, c, z, g);
    // The balance period starts again on the entry's reset day.
    const int d = date.day_of_year;
    double& start = g.vegetation_start(r, c);
    double& stop = g.vegetation_stop(r, c);
    if (d == e.GetJDVegetationResetForBalance()) {
      start = -1;
      stop = -1;
      g.vegetation_duration(r, c) = 0;
    }
    if (start <= 0) start = e.VegetationStartAtJulianDay(log, d, k, r, c, z);
    if (stop < 0) stop = e.VegetationStopAtJulianDay(log, d, k, r, c, z);
    LimitLayerParameters(g, r, c, RoughnessLimit::ZeroOrBelow, k == 1 ? evaporation_resistance_ : GridView{});
  }
}

// Whether the cell can be updated inside the parallel loop: every layer code is a table
// index or nodata, and no date operation of the cell can fail.
bool LanduseParameterGrids::CellReady(const LanduseTable& table, std::span<const ConstGridView> layer_codes, int r,
                                      int c) const {
  const double z = elevation_(r, c);
  for (std::size_t l = 0; l < layers_.size(); ++l) {
    const double code = layer_codes[l](r, c);
    if (code == kNodata) continue;
    const int index = LanduseTableIndex(code, table.size());
    if (index == 0 || !FixpointDaysInRange(table[index], layers_[l].phenology, r, c, z)) return false;
  }
  return true;
}

void LanduseParameterGrids::UpdateParameters(modelobject& reader, const LanduseTable& table,
                                             std::span<const ConstGridView> layer_codes, const ParameterDate& date) {
  DiagnosticsLog& log = reader.log();
  const RowRange strip = reader.strip();
  std::fill(deferred_column_.begin(), deferred_column_.end(), 0);
  const int rank = reader.rank();
  // Cells whose evaluation could write to the log wait, with the rest of their row, for
  // the serial pass below; the parallel loop neither logs nor throws.
  for_each_row(strip, [&](int r) {
    const ColumnRange columns = ColumnsOf(reader, r);
    for (int c = columns.first; c <= columns.last; ++c) {
      if (!(zone_(r, c) > kNodata && (regions_.empty() || regions_(r, c) == rank))) continue;
      if (!CellReady(table, layer_codes, r, c)) {
        deferred_column_[static_cast<std::size_t>(r - strip.first)] = c;
        return;
      }
      UpdateCell(log, table, layer_codes, date, r, c);
    }
  });
  for (int r = strip.first; r <= strip.last; ++r) {
    const int first = deferred_column_[static_cast<std::size_t>(r - strip.first)];
    if (first == 0) continue;
    const ColumnRange columns = ColumnsOf(reader, r);
    for (int c = first; c <= columns.last; ++c) {
      if (!(zone_(r, c) > kNodata && (regions_.empty() || regions_(r, c) == rank))) continue;
      for (std::size_t l = 0; l < layers_.size(); ++l) {
        const double code = layer_codes[l](r, c);
        if (code != kNodata && LanduseTableIndex(code, table.size()) == 0) {
          BadLanduseIndex(reader, code, static_cast<int>(l) + 1, r, c, table.size());
        }
      }
      UpdateCell(log, table, layer_codes, date, r, c);
    }
  }
}

// On the reset day of the balance every grid's vegetation-period accumulation starts
// again; on the write day it is written.
void LanduseParameterGrids::MarkBalanceGrids(modelobject& reader, const LanduseTable& table, int day_of_year) {
  const bool reset = day_of_year == table[0].GetJDVegetationResetForBalance();
  const bool write = day_of_year == table[0].GetJDVegetationWriteForBalance();
  if (!reset && !write) return;
  grid_table& grids = *reader.grids();
  for (int i = 1; i <= kLastGridIndex && grids[i].identifier; ++i) {
    if (reset) grids[i].vegetation_reset = 1;
    if (write) grids[i].vegetation_write = 1;
  }
}

void LanduseParameterGrids::CountBalanceSteps(const modelobject& reader) {
  const int rank = reader.rank();
  for_each_row(reader.strip(), [&](int r) {
    const ColumnRange columns = ColumnsOf(reader, r);
    for (int c = columns.first; c <= columns.last; ++c) {
      if (!regions_.empty() && regions_(r, c) != rank) continue;
      const bool basin = zone_(r, c) > kNodata;
      for (const LanduseLayerGrids& g : layers_) {
        if (!basin) {
          g.vegetation_duration(r, c) = kNodata;
        } else if (g.vegetation_start(r, c) >= 0 && g.vegetation_stop(r, c) <= 0) {
          g.vegetation_duration(r, c) += 1;
        }
      }
    }
  });
}

}  // namespace tolvo
