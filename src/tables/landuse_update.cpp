// The per-step update of the land-use parameter grids and the per-cell evaluation that
// it shares with their set-up.

#include "tables/landuse_update.h"

#include <algorithm>
#include <cmath>
#include <iomanip>
#include <utility>

#include "framework/date.h"
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

}  // namespace

// ---------------------------------------------------------------------------------------
// Per-cell evaluation

ParameterDate MakeParameterDate(int day, int month, int year) {
  return {day, month, year, LanduseRecord::JulianDay(day, month, year)};
}

ParameterDate NextParameterDate(int day, int month, int year) {
  if (day < DaysInMonth(year, month)) return MakeParameterDate(day + 1, month, year);
  if (month < 12) return MakeParameterDate(1, month + 1, year);
  return MakeParameterDate(1, 1, year + 1);
}

CellFailure OperationFailure(const LanduseRecord& e, const LanduseValue& failed, const ParameterDate& date, int k,
                             int r, int c, double z, bool root_depth) {
  return {.code = failed.code,
          .r = r,
          .c = c,
          .k = k,
          .entry = &e,
          .failed = failed,
          .root_depth = root_depth,
          .day_of_year = date.day_of_year,
          .altitude = z};
}

CellFailure SeasonalLayerParameters(const LanduseRecord& e, const ParameterDate& date, int k, int r, int c, double z,
                                    const LanduseLayerGrids& g) {
  const int jd = date.day_of_year;
  const auto store = [&](const GridView& grid, const LanduseValue& v, bool root_depth = false) {
    if (!v.ok()) return OperationFailure(e, v, date, k, r, c, z, root_depth);
    grid(r, c) = v.value;
    return CellFailure{};
  };
  if (e.TestParameterFlag(kFlagRootDepth)) {
    if (CellFailure f = store(g.root_depth, e.RootDepthAtJulianDay(jd, k, r, c, z), true)) return f;
  }
  if (e.TestParameterFlag(kFlagLAI)) {
    if (CellFailure f = store(g.leaf_area_index, e.LeafAreaIndexAtJulianDay(jd, k, r, c, z))) return f;
  }
  if (e.TestParameterFlag(kFlagVCF)) {
    if (CellFailure f = store(g.vegetation_cover, e.VegetationCoverAtJulianDay(jd, k, r, c, z))) return f;
  }
  if (e.TestParameterFlag(kFlagCanopyResistance)) {
    const LanduseValue v = e.CanopyResistanceAt(date.day, date.month, date.year, k, z, r, c);
    if (CellFailure f = store(g.canopy_resistance, v)) return f;
  }
  if (e.TestParameterFlag(kFlagInterceptionResistance)) {
    const LanduseValue v = e.InterceptionResistanceAt(date.day, date.month, date.year, k, z, r, c);
    if (CellFailure f = store(g.interception_resistance, v)) return f;
  }
  if (e.TestParameterFlag(kFlagZ0)) {
    if (CellFailure f = store(g.roughness_length, e.RoughnessLengthAtJulianDay(jd, k, r, c, z))) return f;
  }
  return {};
}

CellFailure SurfaceParameters(const LanduseRecord& e, const ParameterDate& date, int r, int c, double z,
                              GridView albedo, GridView evaporation_resistance) {
  if (e.TestParameterFlag(kFlagAlbedo)) {
    const LanduseValue v = e.AlbedoAtJulianDay(date.day_of_year, 1, r, c, z);
    if (!v.ok()) return OperationFailure(e, v, date, 1, r, c, z);
    albedo(r, c) = v.value;
  }
  if (e.TestParameterFlag(kFlagEvaporationResistance)) {
    const LanduseValue v = e.EvaporationResistanceAt(date.day, date.month, date.year, 1, z, r, c);
    if (!v.ok()) return OperationFailure(e, v, date, 1, r, c, z);
    evaporation_resistance(r, c) = v.value;
  }
  return {};
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

void RaiseCellFailure(modelobject& reader, const CellFailure& failure, int n_entries) {
  if (failure.code == kLanduseCodeError) {
    BadLanduseIndex(reader, failure.layer_code, failure.k, failure.r, failure.c, n_entries);
  }
  if (failure.root_depth) {
    failure.entry->RaiseRootDepthFailure(reader.log(), failure.failed, failure.day_of_year, failure.k, failure.r,
                                         failure.c, failure.altitude);
  }
  RaiseLanduseFailure(reader.log(), failure.failed);
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
      // The seasonal values set at the end of a day serve the steps of the next day: they
      // are those of the next day, as a run that starts on that day sets them up. The
      // balance period still follows the day that ends.
      UpdateParameters(reader, table, layer_codes, date, NextParameterDate(day, month, year));
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

// The parameters of one own cell in every layer for the date, up to the first failure.
// Every layer code is checked before any date operation, so that a code that is no table
// index is the failure reported for the cell.
CellFailure LanduseParameterGrids::UpdateCell(const LanduseTable& table, std::span<const ConstGridView> layer_codes,
                                              const ParameterDate& date, const ParameterDate& season, int r,
                                              int c) const {
  const double z = elevation_(r, c);
  const int n_entries = table.size();
  for (std::size_t l = 0; l < layers_.size(); ++l) {
    const double code = layer_codes[l](r, c);
    if (code != kNodata && LanduseTableIndex(code, n_entries) == 0) {
      return {.code = kLanduseCodeError, .r = r, .c = c, .k = static_cast<int>(l) + 1, .layer_code = code};
    }
  }
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
    const LanduseRecord& e = table[LanduseTableIndex(code, n_entries)];
    if (k == 1) {
      if (CellFailure f = SurfaceParameters(e, season, r, c, z, albedo_, evaporation_resistance_)) return f;
    }
    if (CellFailure f = SeasonalLayerParameters(e, season, k, r, c, z, g)) return f;
    // The balance period starts again on the entry's reset day.
    const int d = date.day_of_year;
    double& start = g.vegetation_start(r, c);
    double& stop = g.vegetation_stop(r, c);
    if (d == e.GetJDVegetationResetForBalance()) {
      start = -1;
      stop = -1;
      g.vegetation_duration(r, c) = 0;
    }
    if (start <= 0) {
      const LanduseValue v = e.VegetationStartAtJulianDay(d, k, r, c, z);
      if (!v.ok()) return OperationFailure(e, v, date, k, r, c, z);
      start = v.value;
    }
    if (stop < 0) {
      const LanduseValue v = e.VegetationStopAtJulianDay(d, k, r, c, z);
      if (!v.ok()) return OperationFailure(e, v, date, k, r, c, z);
      stop = v.value;
    }
    LimitLayerParameters(g, r, c, RoughnessLimit::ZeroOrBelow, k == 1 ? evaporation_resistance_ : GridView{});
  }
  return {};
}

void LanduseParameterGrids::UpdateParameters(modelobject& reader, const LanduseTable& table,
                                             std::span<const ConstGridView> layer_codes, const ParameterDate& date,
                                             const ParameterDate& season) {
  const RowRange strip = reader.strip();
  const int rank = reader.rank();
  // The parallel loop neither logs nor throws: a row stops at its first failing cell and
  // keeps the failure, and the rows report theirs in order after the loop.
  for_each_row(strip, [&](int r) {
    CellFailure& failure = row_failures_[static_cast<std::size_t>(r - strip.first)];
    failure = {};
    const ColumnRange columns = ColumnsOf(reader, r);
    for (int c = columns.first; c <= columns.last; ++c) {
      if (!(zone_(r, c) > kNodata && (regions_.empty() || regions_(r, c) == rank))) continue;
      failure = UpdateCell(table, layer_codes, date, season, r, c);
      if (failure) return;
    }
  });
  for (const CellFailure& failure : row_failures_) {
    if (failure) RaiseCellFailure(reader, failure, table.size());
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
