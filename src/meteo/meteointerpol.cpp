#include "meteo/meteointerpol.h"

#include <algorithm>
#include <climits>
#include <cmath>

#include "framework/error_code.h"
#include "framework/grid_reader.h"
#include "framework/grid_table.h"
#include "meteo/elevation_regression.h"
#include "meteo/meteo_description.h"

namespace tolvo {
namespace {

std::string DateLine(const ModelDate& d) {
  return std::to_string(d.day) + "." + std::to_string(d.month) + "." + std::to_string(d.year) + " " +
         std::to_string(d.hour);
}

// -(int)N - 1 without overflow: the placeholder date of files not yet positioned.
long long PlaceholderDate(double nodata) {
  const double whole = std::isfinite(nodata) ? std::clamp(std::trunc(nodata), double{INT_MIN}, double{INT_MAX}) : 0;
  return -static_cast<long long>(whole) - 1;
}

}  // namespace

meteointerpol::meteointerpol(DiagnosticsLog& log, StatisticsRegistry& registry, int registry_capacity,
                             const std::string& input_name, const ModelSettings& settings, int result_grid_index)
    : modelobject(log, settings.compiled_control_file, settings.formats, settings.input_directory,
                  settings.output_directory),
      input_name_(input_name),
      result_index_(result_grid_index) {
  set_name(input_name.substr(0, kMaxNameLength));
  AdoptRunSettings(settings);
  log << "file "
      << "meteoint"
      << ", compiled at " << __DATE__ << ", " << __TIME__ << "[end-entry]";
  try {
    Construct(settings, registry, registry_capacity);
  } catch (...) {
    // The grid table must not keep views of this object's grids, whatever stopped it.
    FreeRotatedGrids();
    if (scenario_index_ > 0) FreeGridEntry(scenario_index_);
    if (result_registered_) FreeGridEntry(result_index_);
    throw;
  }
}

meteointerpol::~meteointerpol() = default;

MeteoFileContext meteointerpol::file_context() { return {log(), input_name_, section_.nodata, start_date()}; }

void meteointerpol::Construct(const ModelSettings& settings, StatisticsRegistry& registry, int registry_capacity) {
  log() << "DEBUG: initializing interpolator for " << input_name_ << "[end-entry]";
  LookUpCellGrids(settings);
  ReadSection();
  RegisterResultGrid();
  if (section_.monthly_scenario_grids()) ReadStartMonthScenarioGrid();

  const long long placeholder = PlaceholderDate(section_.nodata);
  for (StationFileState& file : station_files_) file.date = {placeholder, placeholder, placeholder, placeholder};
  current_date() = {placeholder, placeholder, placeholder, placeholder};
  end_of_data_ = false;

  CheckMethod();
  BuildStatisticsDescription();
  CreateStatisticsTable(settings, registry, registry_capacity);

  const int m = section_.method;
  if (IsStationDataMethod(m)) {
    OpenStationFiles();
    PrepareStationGeometry();
    current_date() = station_files_[0].date;
  }
  if (m == 2 || m == 3) {
    regression_.file_name = section_.regression_file;
    OpenRegressionFile();
    regression_.saved_start_row = regression_.start_row;
    SizeRegressionBlock(regression_);
    current_date() = regression_.date;
  }
  if (m == 9) OpenGridList();

  const int scaling = FindGrid("ScalingGrid_" + input_name_, false);
  if (scaling > 0) scaling_grid_ = (*grids())[scaling].values;
  PrepareStepData(settings);
}

void meteointerpol::LookUpCellGrids(const ModelSettings& settings) {
  grid_table& table = *grids();
  zone_grid_ = table[kZoneGridIndex].values;
  elevation_ = table[kZoneGridIndex + 1].values;
  if (settings.spin_up > 0) {
    hru_grid_ = table[RequireGrid("HydrologicResponseUnits")].values;
    master_hru_grid_ = table[RequireGrid("MasterHydrologicResponseUnits")].values;
  }
  const int relcell = FindGrid("RelCellArea", false);
  if (relcell <= 0) {
    log() << "FATAL: \n-----------------------------------------------------------\nTolvo-Ulx no longer works "
             "without a RelCellArea-Grid.\nIf this message appears, then something is wrong with the code,\nso "
             "please contact the author.\n-----------------------------------------------------------\n\n"
          << "[end-entry]";
    RaiseError(kRelCellAreaMissing);
  }
  rel_cell_area_ = table[relcell].values;
  coord_x_ = table[RequireGrid("CoordX")].values;
  coord_y_ = table[RequireGrid("CoordY")].values;
  interp_x_ = coord_x_;
  interp_y_ = coord_y_;
}

void meteointerpol::RegisterResultGrid() {
  const GridGeometry& g = geometry();
  // Ready grids are read whole on process 0.
  const RowRange rows = section_.method == 9 && rank() == 0 ? RowRange{1, g.nrows} : strip();
  result_ = matrix(rows.first, rows.last, 1, g.ncols, g.nrows);
  RegisterGrid(result_index_, section_.result_file, result_.view(), {}, 0, input_name_, section_.write_code, rows.first,
               rows.last);
  result_registered_ = true;
  const GridView result = result_.view();
  for (int r = strip().first; r <= strip().last; ++r) {
    for (int c = 1; c <= g.ncols; ++c) result(r, c) = g.nodata_value;
  }
}

void meteointerpol::ReadStartMonthScenarioGrid() {
  const int month = static_cast<int>(start_date().month);
  const std::string& file = section_.month_files[static_cast<std::size_t>(std::clamp(month, 1, 12))];
  ReadGrid(grid_input(), file, scenario_grid_,
           {.fill_mode = kFillFromNeighbours, .allocate = true, .whole_on_process0 = true});
  RegisterGrid(result_index_ + 1, file, scenario_grid_.view(), {}, 0, "scenariogrid_" + input_name_, 0,
               scenario_grid_.rows().first, scenario_grid_.rows().last);
  scenario_index_ = result_index_ + 1;
  scenario_month_ = month;
}

void meteointerpol::CheckMethod() {
  const int m = section_.method;
  if (m >= kFirstMethod && m <= kLastMethod) {
    method_ = static_cast<InterpolationMethod>(m);
    return;
  }
  log() << "FATAL: error! interpolation method has to range from 1..12 (here: " << m << ")\n"
        << "[end-entry]";
  RaiseError(kInterpolationMethodRange);
}

void meteointerpol::BuildStatisticsDescription() {
  const std::string zone_file = (*grids())[kZoneGridIndex].file_name.value_or("");
  description_ = StatisticsDescription(method_, section_, input_name_, zone_file, control_file_name());
}

void meteointerpol::CreateStatisticsTable(const ModelSettings& settings, StatisticsRegistry& registry,
                                          int registry_capacity) {
  const GridGeometry& g = geometry();
  zones_.assign(settings.zones.zones.begin(), settings.zones.zones.end());
  if (zones_.empty()) zones_.resize(1);
  statistic_ = std::make_unique<zonalstatistic>(log(), rel_cell_area_, g.nrows, g.ncols, zones_,
                                                settings.zones.zone_count, section_.statistics_code, 3,
                                                section_.statistics_file, output_directory(), settings.output_list);
  statistic_->WriteHeader(description_, "", registry, registry_capacity);
}

void meteointerpol::OpenStationFiles() {
  const int n_files = StationFileCount(section_.method);
  for (int slot = 0; slot < n_files; ++slot) {
    StationFileState& file = station_files_[static_cast<std::size_t>(slot)];
    const StationFileLine& line = section_.station_files[static_cast<std::size_t>(slot)];
    file.file_name = line.file_name;
    file.section_line = line.line;
    file.additional_columns = line.additional_columns;
    ReadStationHeader(slot);
    if (slot == 1) CheckSecondStationFile();
    SeekStationStart(slot);
    file.saved_start_row = file.start_row;
    SizeStationBlock(file);
  }
}

void meteointerpol::CheckSecondStationFile() {
  const StationFileState& first = station_files_[0];
  const StationFileState& second = station_files_[1];
  if (second.n_stations != first.n_stations) {
    log() << "FATAL: \n------- Error 73 in Interpolation input data ---------\n"
          << "meteorological station files " << second.file_name << " \nand " << first.file_name
          << " contain a different number of stations \n(" << second.n_stations << " and " << first.n_stations
          << ", resp.)\n"
          << "these data has to be identical in both files for interpolation method 6\n"
          << "------- Program terminated due to input data error ---------\n\n"
          << "[end-entry]";
    RaiseError(kStationFilesDisagree);
  }
  for (int i = 1; i <= first.n_stations; ++i) {
    const std::size_t k = static_cast<std::size_t>(i);
    if (second.altitude[k] == first.altitude[k] && second.x[k] == first.x[k] && second.y[k] == first.y[k]) continue;
    log() << "FATAL: \n------- Error 73 in Interpolation input data ---------\n"
          << "Altitude and/or coordinates of station " << i << " are different in\nmeteorological station files "
          << second.file_name << "\nH: " << second.altitude[k] << ",\tX: " << second.x[k] << "\tY: " << second.y[k]
          << "\nand\n"
          << first.file_name << "\nH: " << first.altitude[k] << ",\tX: " << first.x[k] << "\tY: " << first.y[k] << "\n"
          << "These data has to be identical in both files for interpolation method 6\n"
          << "------- Program terminated due to input data error ---------\n\n"
          << "[end-entry]";
    RaiseError(kStationFilesDisagree);
  }
}

void meteointerpol::PrepareStationGeometry() {
  const int m = section_.method;
  EstimateMeshOrientation();
  anisotropy_slope_ = section_.anisotropy_slope * kMeteoDegreesToRadians;
  RotateCoordinateGrids();
  PrepareAnisotropy();
  MeanStationSpacing();
  if (m == 5 || m == 6) ChooseLookupStations(StationFileCount(m));
  if (m == 7 || m == 8) BuildStationMesh();
}

StationPoints meteointerpol::stations(int slot) const {
  const StationFileState& file = station_files_[static_cast<std::size_t>(slot)];
  return {file.x, file.y, file.values};
}

StationPoints meteointerpol::rotated_stations(int slot) const {
  const StationFileState& file = station_files_[static_cast<std::size_t>(slot)];
  if (file.x_rotated.empty()) return {file.x, file.y, file.values};
  return {file.x_rotated, file.y_rotated, file.values};
}

RotationFrame meteointerpol::rotation_frame() const {
  return {anisotropy_slope_, geometry().xllcorner, geometry().yllcorner};
}

void meteointerpol::EstimateMeshOrientation() {
  const int m = section_.method;
  if (m < 5 || m > 8) return;
  const StationFileState& file = station_files_[0];
  const MeshOrientation orientation = tolvo::EstimateMeshOrientation(file.x, file.y);
  section_.anisotropy_slope = orientation.slope_degrees;
  section_.anisotropy_ratio = orientation.ratio;
}

void meteointerpol::RotateCoordinateGrids() {
  if (!(section_.anisotropy_ratio < 1) || !IsStationDataMethod(section_.method)) return;
  const int index = grids()->TakeFreeEntries(2, {.taken_by = grid_table::TakenBy::kIdentifier}, log(),
                                             "no more free grids in memeory, (max. 1000)!");
  const GridGeometry& g = geometry();
  const RowRange rows = strip();
  rotated_x_ = Grid(rows.first, rows.last, g.ncols, g.nrows);
  rotated_y_ = Grid(rows.first, rows.last, g.ncols, g.nrows);
  const std::string x_name = "CoordXRot_" + input_name_;
  const std::string y_name = "CoordYRot_" + input_name_;
  RegisterGrid(index, x_name, rotated_x_.view(), {}, 0, x_name, 0, rows.first, rows.last);
  rotated_index_ = index;
  RegisterGrid(index + 1, y_name, rotated_y_.view(), {}, 0, y_name, 0, rows.first, rows.last);
  const RotationFrame frame = rotation_frame();
  const GridView out_x = rotated_x_.view();
  const GridView out_y = rotated_y_.view();
  for (int r = rows.first; r <= rows.last; ++r) {
    for (int c = 1; c <= g.ncols; ++c) {
      if (coord_x_(r, c) == g.nodata_value) {
        out_x(r, c) = g.nodata_value;
        out_y(r, c) = g.nodata_value;
        continue;
      }
      const Point2 p = RotatePoint(frame, coord_x_(r, c), coord_y_(r, c));
      out_x(r, c) = p.x;
      out_y(r, c) = p.y;
    }
  }
  interp_x_ = rotated_x_.view();
  interp_y_ = rotated_y_.view();
}

void meteointerpol::FreeRotatedGrids() {
  if (rotated_index_ <= 0) return;
  FreeGridEntry(rotated_index_);
  if ((*grids())[rotated_index_ + 1].identifier) FreeGridEntry(rotated_index_ + 1);
  rotated_index_ = 0;
  interp_x_ = coord_x_;
  interp_y_ = coord_y_;
  rotated_x_ = Grid();
  rotated_y_ = Grid();
}

void meteointerpol::PrepareAnisotropy() {
  const double ratio = section_.anisotropy_ratio;
  idw_ = MakeIdwSettings(section_.idw_weight, section_.max_distance, ratio, section_.nodata);
  const int m = section_.method;
  if (!IsStationDataMethod(m)) return;
  if (!(anisotropy_slope_ >= -kMeteoHalfPi && anisotropy_slope_ <= kMeteoHalfPi)) {
    log() << "FATAL: anisotropy slope has to range from -90 to +90 degree \n"
          << "[end-entry]";
    RaiseError(kAnisotropyRange);
  }
  if (!(ratio > 0 && ratio <= 1)) {
    log() << "FATAL: ratio of anisotropy has to range from +1 to >0 liegen"
          << "[end-entry]";
    RaiseError(kAnisotropyRange);
  }
  const RotationFrame frame = rotation_frame();
  for (int slot = 0; slot < StationFileCount(m); ++slot) {
    StationFileState& file = station_files_[static_cast<std::size_t>(slot)];
    file.x_rotated.clear();
    file.y_rotated.clear();
    if (ratio == 1) continue;
    file.x_rotated.assign(file.x.size(), 0.0);
    file.y_rotated.assign(file.y.size(), 0.0);
    for (std::size_t k = 1; k < file.x.size(); ++k) {
      const Point2 p = RotatePoint(frame, file.x[k], file.y[k]);
      file.x_rotated[k] = p.x;
      file.y_rotated[k] = p.y;
    }
  }
}

void meteointerpol::MeanStationSpacing() {
  log() << "calculating average horizontal and vertical distance to the next station..."
        << "[end-entry]";
  const StationPoints s = rotated_stations(0);
  spacing_ = tolvo::MeanStationSpacing(s.x, s.y);
  log() << "avg. horizontal distance: " << spacing_.horizontal << " m"
        << "[end-entry]";
  log() << "avg. vertical   distance: " << spacing_.vertical << " m"
        << "[end-entry]";
}

void meteointerpol::ChooseLookupStations(int n_files) {
  const int m = section_.method;
  if (m != 5 && m != 6) return;
  const int regions_index = FindGrid("MPIRegions", false);
  const ConstGridView regions = regions_index > 0 ? ConstGridView((*grids())[regions_index].values) : ConstGridView();
  const GridGeometry& g = geometry();
  const RowRange rows = strip();
  for (int f = 0; f < n_files; ++f) lookup_[static_cast<std::size_t>(f)] = LookupStations(rows, g.ncols);
  for (int f = 0; f < n_files; ++f) {
    LookupStations& table = lookup_[static_cast<std::size_t>(f)];
    const StationPoints s = rotated_stations(f);
    log() << "choosing look-up-stations...";
    for (int r = rows.first; r <= rows.last; ++r) {
      for (int c = 1; c <= g.ncols; ++c) {
        if (zone_grid_(r, c) == g.nodata_value) continue;
        if (!regions.empty() && regions(r, c) != rank()) continue;
        table.at(r, c) = CornersAround(s.x, s.y, interp_x_(r, c), interp_y_(r, c), spacing_);
      }
      log() << ".";
    }
    log() << "[end-entry]";
  }
}

void meteointerpol::ComputeElevationRegression(int file) {
  const int m = section_.method;
  if ((m != 10 && m != 11) || file != 0) return;
  regression_.parameters =
      FitElevationRegression(stations(0), station_files_[0].altitude, section_.elevation_regression, section_.nodata);
}

void meteointerpol::OpenGridList() {
  StationFileState& header = station_files_[0];
  const StationFileLine& line = section_.station_files[0];
  header.file_name = line.file_name;
  header.section_line = line.line;
  header.additional_columns = line.additional_columns;
  ReadStationHeader(0);
  SeekGridListStart();
  grid_list_.saved_start_row = grid_list_.start_row;
  // The first column places GIF images; a list without columns gives none, and reading a
  // GIF image then fails as for any object without a georeference.
  if (header.n_stations >= 1) {
    SetGifGeoreference(zone_grid_, header.x[1], header.y[1], header.altitude[1]);
  } else {
    SetGifGeoreference(zone_grid_, kNoGeoreference, kNoGeoreference, kNoGeoreference);
  }
  header.all_equal = false;
  current_date() = grid_list_.date;
}

void meteointerpol::ReadStationHeader(int slot) {
  tolvo::ReadStationHeader(file_context(), station_files_[static_cast<std::size_t>(slot)]);
}

void meteointerpol::SeekStationStart(int slot) {
  tolvo::SeekStationStart(file_context(), station_files_[static_cast<std::size_t>(slot)]);
}

void meteointerpol::SeekGridListStart() { tolvo::SeekGridListStart(file_context(), station_files_[0], grid_list_); }

void meteointerpol::OpenRegressionFile() { tolvo::OpenRegressionFile(file_context(), regression_); }

void meteointerpol::LoadStationBlock(int slot) {
  if (!tolvo::LoadStationBlock(file_context(), station_files_[static_cast<std::size_t>(slot)])) end_of_data_ = true;
}

void meteointerpol::LoadRegressionBlock() {
  if (!tolvo::LoadRegressionBlock(file_context(), regression_)) end_of_data_ = true;
}

void meteointerpol::NextStationRecord(int slot) {
  tolvo::NextStationRecord(file_context(), station_files_[static_cast<std::size_t>(slot)], end_date_key(),
                           end_of_data_);
}

void meteointerpol::NextGridListRecord() {
  tolvo::NextGridListRecord(file_context(), station_files_[0], grid_list_, end_date_key(), end_of_data_);
}

void meteointerpol::NextRegressionRecord() {
  tolvo::NextRegressionRecord(file_context(), regression_, end_date_key(), section_.method != 3, end_of_data_);
}

void meteointerpol::ReadNextRecord() {
  const int m = section_.method;
  if (IsStationDataMethod(m)) {
    NextStationRecord(0);
    current_date() = station_files_[0].date;
    if (StationFileCount(m) == 2) NextStationRecord(1);
    CheckStationDates();
  }
  if (m == 2) {
    NextRegressionRecord();
    current_date() = regression_.date;
  } else if (m == 3 && !end_of_data_) {
    NextRegressionRecord();
    CheckRegressionDate();
  }
  if (m == 9) {
    NextGridListRecord();
    current_date() = grid_list_.date;
  }
}

void meteointerpol::CheckStationDates() {
  const int n_files = StationFileCount(section_.method);
  const ModelDate& d = current_date();
  bool same = true;
  for (int slot = 0; slot < n_files; ++slot) {
    const ModelDate& f = station_files_[static_cast<std::size_t>(slot)].date;
    same = same && f.year == d.year && f.month == d.month && f.day == d.day && f.hour == d.hour;
  }
  if (same) return;
  log() << "FATAL: error reading date from stationfiles:"
        << "[end-entry]";
  for (int slot = 0; slot < n_files; ++slot) {
    const StationFileState& file = station_files_[static_cast<std::size_t>(slot)];
    log() << "file " << file.file_name << ": YYYY=" << file.date.year << ", MM=" << file.date.month
          << ", DD=" << file.date.day << ", HH=" << file.date.hour << "[end-entry]";
  }
  log() << ""
        << "[end-entry]";
  RaiseError(kStationFilesDisagree);
}

void meteointerpol::CheckRegressionDate() {
  const ModelDate& station = current_date();
  const ModelDate& regression = regression_.date;
  if (station.year == regression.year && station.month == regression.month && station.day == regression.day &&
      station.hour == regression.hour) {
    return;
  }
  const std::string rule(77, '-');
  log() << "FATAL: " << rule << "\nerror in date column of " << input_name_
        << " for IDW*Regress \n\nDate from station/regress file " << station_files_[0].file_name << ":\n"
        << DateLine(station) << " h\n\nbut date from regres file " << regression_.file_name << ":\n"
        << DateLine(regression) << " h\n\n"
        << rule << "\n"
        << "[end-entry]";
  RaiseError(kMeteoRegressionDateError);
}

void meteointerpol::EndAtCurrentDate() {
  const ModelDate& d = current_date();
  SetEndDate(d.year, d.month, d.day, d.hour);
}

void meteointerpol::RewindInput() {
  end_of_data_ = false;
  const int m = section_.method;
  const ModelDate start = start_date();
  if (IsStationDataMethod(m)) {
    for (int slot = 0; slot < StationFileCount(m); ++slot) {
      RewindStationFile(station_files_[static_cast<std::size_t>(slot)], start);
    }
  }
  if (m == 2 || m == 3) RewindRegressionFile(regression_, start);
  if (m == 9) RewindGridList(grid_list_, start);
}

void meteointerpol::FlushStatistics() {
  if (statistic_) statistic_->FlushRows();
}

void meteointerpol::DeleteModule() {
  log() << "DEBUG: deleting interpolator for " << input_name_ << "[end-entry]";
  FreeRotatedGrids();
  for (LookupStations& table : lookup_) table = LookupStations{};
  splines_.reset();
  mesh_.reset();
  mesh_values_.clear();
  gradient_spline_ = Grid();
  published_ = Grid();
  cell_scratch_.clear();
  if (scenario_index_ > 0) FreeGridEntry(scenario_index_);
  scenario_grid_ = Grid();
  scenario_index_ = 0;
  if (result_registered_) FreeGridEntry(result_index_);
  result_registered_ = false;
  result_ = Grid();
  if (statistic_) statistic_->Release();
  statistic_.reset();
  grid_list_.list.Close();
  for (StationFileState& file : station_files_) file = StationFileState{};
  regression_ = RegressionFileState{};
  modelobject::DeleteModule();
}

}  // namespace tolvo
