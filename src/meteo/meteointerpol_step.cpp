// The per-step work of a meteorological input: the result grid of the current record,
// cell by cell, with its post-processing, response-unit copies and zone statistics.

#include <algorithm>
#include <cmath>
#include <iomanip>
#include <iostream>

#include "framework/error_code.h"
#include "framework/grid_reader.h"
#include "framework/grid_table.h"
#include "framework/parallel.h"
#include "meteo/meteointerpol.h"
#include "meteo/regression_kernels.h"
#include "meteo/result_postprocess.h"

namespace tolvo {
namespace {

std::string DateText(const ModelDate& d) {
  return std::to_string(d.day) + "." + std::to_string(d.month) + "." + std::to_string(d.year) + " " +
         std::to_string(d.hour);
}

}  // namespace

void meteointerpol::PrepareStepData(const ModelSettings& settings) {
  zone_table_ = settings.zones;
  hrus_ = settings.hrus;
  const GridGeometry& g = geometry();
  const RowRange rows = strip();
  published_ = Grid(rows.first, rows.last, g.ncols, g.nrows);
  const GridView published = published_.view();
  for (int r = rows.first; r <= rows.last; ++r) {
    for (int c = 1; c <= g.ncols; ++c) published(r, c) = g.nodata_value;
  }
  const std::size_t scratch = static_cast<std::size_t>(PointScratchSize());
  cell_scratch_.assign(static_cast<std::size_t>(row_thread_count()), std::vector<double>(scratch, 0.0));
  row_without_station_.assign(static_cast<std::size_t>(std::max(rows.count(), 0)), 0);
}

void meteointerpol::BuildStationMesh() {
  const StationPoints s = rotated_stations(0);
  std::optional<StationMesh> mesh = tolvo::BuildStationMesh(s.x, s.y, spacing_);
  if (!mesh) {
    log() << "FATAL: Error converting the station coordinates into a grid:\nThe actual version of Tolvo-Ulx accepts "
             "only station meshs\nwith an equal number of more or less equally spaced stations\nin each column, "
             "whereas the total number of both, rows \nand columns, are each virtually unlimited\n"
          << "[end-entry]";
    RaiseError(kStationMeshError);
  }
  mesh_ = std::move(mesh);
  mesh_values_.assign(mesh_->station.size(), 0.0);
  const RowRange rows = strip();
  splines_ = std::make_unique<TSplines>(*mesh_, interp_x_, interp_y_, zone_grid_, rows, geometry(), -section_.nodata,
                                        row_thread_count());
  if (section_.method == 8) {
    const GridGeometry& g = geometry();
    gradient_spline_ = Grid(rows.first, rows.last, g.ncols, g.nrows);
  }
}

void meteointerpol::EvaluateSplines(int slot, GridView out) {
  const std::vector<double>& values = station_files_[static_cast<std::size_t>(slot)].values;
  for (std::size_t k = 0; k < mesh_values_.size(); ++k) {
    mesh_values_[k] = values[static_cast<std::size_t>(mesh_->station[k])];
  }
  SplineFault fault = splines_->PrepareColumns(mesh_values_);
  if (!fault.failed) fault = splines_->Evaluate(out);
  if (!fault.failed) return;
  std::cout << "The two input coordinates " << fault.x_low << " (index " << fault.low << ") \n"
            << "and " << fault.x_high << " (index " << fault.high
            << ") for the 1-D-Splineevaluation are the same!" << std::endl;
  RaiseError(kSplineAbscissaError);
}

void meteointerpol::WriteResultGrid() { WriteGridOutputs(result_index_, true, false); }

void meteointerpol::Interpolate(const ModelDate& date) {
  CheckStepDate(date);
  if (regions_.empty()) {
    const int index = FindGrid("MPIRegions", false);
    if (index > 0) regions_ = (*grids())[index].values;
  }
  LogStepLine(date);
  if (section_.szen_use == 1) PrepareScenarioDay(date);
  if (method_ == InterpolationMethod::kBicubicSpline || method_ == InterpolationMethod::kSplineResiduals) {
    EvaluateSplines(0, result_.view());
    if (method_ == InterpolationMethod::kSplineResiduals) EvaluateSplines(1, gradient_spline_.view());
  }
  if (method_ == InterpolationMethod::kReadGrids) ReadReadyGrid();
  if (statistic_) statistic_->BeginStep();
  InterpolateCells();
  CopyResponseUnitMasters();
  AddStatistics();
  if (statistic_) statistic_->EndStep(date.year, date.month, date.day, date.hour, 1);
}

void meteointerpol::CheckStepDate(const ModelDate& date) {
  const ModelDate& own = current_date();
  if (own.hour == date.hour && own.day == date.day && own.month == date.month && own.year == date.year) return;
  const std::string rule(77, '-');
  log() << "FATAL: " << rule << "\nerror in date columns of " << input_name_
        << "\n\nfirst Meteo data set (this is the set from which data is get:\n"
        << DateText(date) << ". h\n\nbut in " << input_name_ << ":\n"
        << DateText(own) << ". h\n\n"
        << rule << "\n"
        << "[end-entry]";
  RaiseError(kMeteoStepDateError);
}

void meteointerpol::LogStepLine(const ModelDate& date) {
  const int interval = GetLogInterval();
  if (interval <= 0) return;
  const long long shift = static_cast<long long>(std::trunc(hour_shift_));
  if (interval != 1 && (date.hour + shift) % interval != 0) return;
  log() << std::setw(20) << input_name_ << " " << DateText(date) << ". h "
        << (section_.szen_use == 1 ? "using scenarios!" : "") << "[end-entry]";
}

void meteointerpol::PrepareScenarioDay(const ModelDate& date) {
  if (!section_.monthly_scenario_grids()) {
    UpdateScenarioDay(section_.scenario_table, date);
    return;
  }
  const int month = static_cast<int>((date.month - 1) % 12 + 1);
  if (month == scenario_month_) return;
  FreeGridEntry(scenario_index_);
  scenario_grid_ = Grid();
  const std::string& file = section_.month_files[static_cast<std::size_t>(month)];
  ReadGrid(grid_input(), file, scenario_grid_,
           {.fill_mode = kFillFromNeighbours,
            .allocate = true,
            .log = true,
            .strict_fill = true,
            .whole_on_process0 = true});
  RegisterGrid(scenario_index_, file, scenario_grid_.view(), {}, 0, "scenariogrid_" + input_name_, 0,
               scenario_grid_.rows().first, scenario_grid_.rows().last);
  scenario_month_ = month;
}

void meteointerpol::ReadReadyGrid() {
  const std::string& name = grid_list_.grid_name;
  if (name == "-9999") {
    if (last_valid_grid_.empty()) {
      log() << "FATAL: interpolation method 9 (read from grid) no valid grid name was found (-9999 as input) and no "
               "last valid grid name present (i.e., simulation starts, when input list file contains -9999 only)"
            << "[end-entry]";
      RaiseError(kNoReadyGrid);
    }
  } else {
    last_valid_grid_ = name;
  }
  ReadGrid(grid_input(), last_valid_grid_, result_,
           {.fill_mode = kFillFromNeighbours, .whole_on_process0 = true});
}

meteointerpol::StepKind meteointerpol::PrepareStationValues() {
  const double n = section_.nodata;
  all_equal_step_ = false;
  switch (method_) {
    case InterpolationMethod::kRegression:
    case InterpolationMethod::kElevationRegression:
      return regression_.parameters[kA1] >= -n ? StepKind::kCompute : StepKind::kKeep;
    case InterpolationMethod::kReadGrids:
      return StepKind::kCompute;
    default:
      break;
  }
  StationFileState& file = station_files_[0];
  if (!file.all_equal) return StepKind::kCompute;
  std::vector<double>& v = file.values;
  if (file.n_stations >= 1 && v[1] < -n) {
    for (int k = 2; k <= file.n_stations; ++k) {
      if (v[static_cast<std::size_t>(k)] >= -n) {
        v[1] = v[static_cast<std::size_t>(k)];
        break;
      }
    }
  }
  if (file.n_stations < 1 || v[1] < -n) return StepKind::kKeep;
  all_equal_step_ = method_ != InterpolationMethod::kThiessenLapseRate;
  return StepKind::kCompute;
}

void meteointerpol::PublishKeptValues() {
  const int ncols = geometry().ncols;
  const ConstGridView published = published_.view();
  const GridView result = result_.view();
  for_each_row(strip(), [&](int r) {
    for (int c = 1; c <= ncols; ++c) result(r, c) = published(r, c);
  });
}

void meteointerpol::InterpolateCells() {
  if (PrepareStationValues() == StepKind::kKeep) {
    PublishKeptValues();
    return;
  }
  // Scratch per thread, made again only when a run raises its number of threads.
  if (cell_scratch_.size() < static_cast<std::size_t>(row_thread_count())) {
    cell_scratch_.resize(static_cast<std::size_t>(row_thread_count()), cell_scratch_.front());
  }
  const RowRange rows = strip();
  for_each_row_by_thread(rows, [&](int r, int thread) {
    row_without_station_[static_cast<std::size_t>(r - rows.first)] =
        InterpolateRow(r, cell_scratch_[static_cast<std::size_t>(thread)]) ? 1 : 0;
  });
  if (without_station_warned_) return;
  for (const unsigned char without : row_without_station_) {
    if (without == 0) continue;
    log() << "WARNING: " << input_name_ << ": cells without any station value in reach keep their previous value "
          << "(the nodata value before they have one); this is reported once per run"
          << "[end-entry]";
    without_station_warned_ = true;
    break;
  }
}

bool meteointerpol::InterpolateRow(int r, std::span<double> scratch) {
  const GridGeometry& g = geometry();
  const double n = section_.nodata;
  const ColumnRange columns = zone_table_.column_ranges.empty()
                                  ? ColumnRange{1, g.ncols}
                                  : zone_table_.column_ranges[static_cast<std::size_t>(r)];
  const GridView result = result_.view();
  const ConstGridView published = published_.view();
  bool without_station = false;
  for (int c = columns.first; c <= columns.last; ++c) {
    if (zone_grid_(r, c) == g.nodata_value || (!regions_.empty() && regions_(r, c) != rank()) ||
        (!master_hru_grid_.empty() && master_hru_grid_(r, c) == g.nodata_value)) {
      result(r, c) = g.nodata_value;
      continue;
    }
    const double v = CellValue(r, c, scratch);
    if (v < -n && method_ != InterpolationMethod::kReadGrids) {
      result(r, c) = published(r, c);
      without_station = true;
      continue;
    }
    result(r, c) = PostProcess(v, r, c);
  }
  // What this step publishes, kept for the steps and cells that have nothing to interpolate.
  const std::span<const double> computed = result.row(r);
  std::copy(computed.begin() + 1, computed.end(), published_.view().row(r).begin() + 1);
  return without_station;
}

double meteointerpol::CellValue(int r, int c, std::span<double> scratch) {
  const double n = section_.nodata;
  const double missing = -n - 1;
  const double grid_nodata = geometry().nodata_value;
  const double x = coord_x_(r, c);
  const double y = coord_y_(r, c);
  const double xi = interp_x_(r, c);
  const double yi = interp_y_(r, c);
  const double z = elevation_(r, c);
  const RegressionParameters& regression = regression_.parameters;
  const bool warn = search_radius_warning_ != 0;

  if (all_equal_step_) {
    const double equal = station_files_[0].values[1];
    if (method_ == InterpolationMethod::kBilinearResiduals) {
      const double g = BilinearAt(rotated_stations(1), lookup_[1].at(r, c), scratch, xi, yi, idw_);
      return g < -n ? missing : equal + g * z;
    }
    if (method_ == InterpolationMethod::kSplineResiduals) {
      double g = gradient_spline_.view()(r, c);
      if (g == grid_nodata) {
        const StationPoints s = rotated_stations(1);
        g = idw_.ratio < 1 ? InverseDistanceAnisotropic(s, scratch, xi, yi, idw_) : InverseDistance(s, scratch, xi, yi, idw_);
      }
      return g < -n ? missing : equal + g * z;
    }
    return equal;
  }

  switch (method_) {
    case InterpolationMethod::kInverseDistance: {
      const double w = InverseDistanceAt(scratch, xi, yi);
      if (warn && w < -n) WarnSearchRadius("WARNING:  at x=", r, c);
      return w;
    }
    case InterpolationMethod::kRegression:
    case InterpolationMethod::kElevationRegression:
      return RegressionAt(regression, n, grid_nodata, x, y, z);
    case InterpolationMethod::kInverseDistanceRegression:
    case InterpolationMethod::kInverseDistanceElevation: {
      const double w = InverseDistanceAt(scratch, xi, yi);
      if (warn && w < -n) WarnSearchRadius("WARNING: at x=", r, c);
      if (regression[kA1] < -n) return w;
      const double rv = RegressionAt(regression, n, grid_nodata, x, y, z);
      const double f = section_.idw_fraction;
      return w >= -n ? f * w + (1 - f) * rv : rv;
    }
    case InterpolationMethod::kThiessen:
      return ThiessenAt(stations(0), scratch, x, y, n);
    case InterpolationMethod::kBilinear:
      return BilinearAt(rotated_stations(0), lookup_[0].at(r, c), scratch, xi, yi, idw_);
    case InterpolationMethod::kBilinearResiduals: {
      const double residual = BilinearAt(rotated_stations(0), lookup_[0].at(r, c), scratch, xi, yi, idw_);
      const double gradient = BilinearAt(rotated_stations(1), lookup_[1].at(r, c), scratch, xi, yi, idw_);
      return residual < -n || gradient < -n ? missing : residual + gradient * z;
    }
    case InterpolationMethod::kBicubicSpline: {
      const double s = result_.view()(r, c);
      return s == grid_nodata ? InverseDistanceAt(scratch, xi, yi) : s;
    }
    case InterpolationMethod::kSplineResiduals: {
      const double s = result_.view()(r, c);
      const double g = gradient_spline_.view()(r, c);
      return s == grid_nodata || g == grid_nodata ? InverseDistanceAt(scratch, xi, yi) : s + g * z;
    }
    case InterpolationMethod::kReadGrids:
      return result_.view()(r, c);
    case InterpolationMethod::kThiessenLapseRate: {
      const LapseRateSettings& l = section_.lapse_rate;
      return ThiessenLapseRateAt(stations(0), station_files_[0].altitude, x, y, z,
                                 {l.lapse_rate, l.inversion_height, l.upper_lapse_rate, l.precipitation_type}, n);
    }
  }
  return missing;
}

void meteointerpol::WarnSearchRadius(const char* prefix, int r, int c) {
  DiagnosticsLog& entry = log();
#pragma omp critical
  {
    entry << prefix << interp_x_(r, c) << ", y=" << interp_y_(r, c) << " "
          << "no station within the specified search radius!"
          << "[end-entry]";
  }
}

double meteointerpol::PostProcess(double v, int r, int c) const {
  v = ScaleAndLimit(v, section_);
  if (section_.szen_use == 1) {
    const double s = section_.monthly_scenario_grids()
                         ? scenario_grid_.view()(r, c)
                         : NearestScenarioValue(section_.scenario_table, coord_x_(r, c), coord_y_(r, c));
    v = ApplyScenario(v, s, section_.szen_meth);
  }
  if (!scaling_grid_.empty()) v *= scaling_grid_(r, c);
  return v;
}

void meteointerpol::CopyResponseUnitMasters() {
  if (master_hru_grid_.empty() || hrus_ == nullptr) return;
  const GridGeometry& g = geometry();
  const RowRange rows = strip();
  const GridView result = result_.view();
  const std::vector<HruRecord>& units = *hrus_;
  for (int r = rows.first; r <= rows.last; ++r) {
    for (int c = 1; c <= g.ncols; ++c) {
      if (zone_grid_(r, c) == g.nodata_value || (!regions_.empty() && regions_(r, c) != rank())) continue;
      if (master_hru_grid_(r, c) != g.nodata_value) continue;
      const double unit = hru_grid_(r, c);
      if (!(unit >= 1 && unit < static_cast<double>(units.size()))) {
        log() << "FATAL: " << input_name_ << ": the cell in row " << r << ", column " << c
              << " belongs to the hydrologic response unit " << unit << ", which is not in the list of "
              << units.size() - 1 << " units"
              << "[end-entry]";
        RaiseError(kHruClassTooLarge);
      }
      const HruRecord& master = units[static_cast<std::size_t>(unit)];
      if (rows.contains(master.master_row)) result(r, c) = result(master.master_row, master.master_col);
    }
  }
}

void meteointerpol::AddStatistics() {
  if (!statistic_ || !statistic_->enabled()) return;
  const GridGeometry& g = geometry();
  const RowRange rows = strip();
  const ConstGridView result = result_.view();
  for (int r = rows.first; r <= rows.last; ++r) {
    const ColumnRange columns = zone_table_.column_ranges.empty()
                                    ? ColumnRange{1, g.ncols}
                                    : zone_table_.column_ranges[static_cast<std::size_t>(r)];
    for (int c = columns.first; c <= columns.last; ++c) {
      const double zone = zone_grid_(r, c);
      if (zone == g.nodata_value || (!regions_.empty() && regions_(r, c) != rank())) continue;
      const auto code = static_cast<std::size_t>(zone);
      const int index = code < zone_table_.code_index.size() ? zone_table_.code_index[code] : 1;
      statistic_->AddValue(r, c, index, result(r, c), 1);
    }
  }
}

}  // namespace tolvo
