#include "meteo/precicorrclass.h"

#include <algorithm>
#include <limits>
#include <string>

#include "framework/error_code.h"
#include "framework/grid_table.h"
#include "framework/parallel.h"
#include "meteo/meteointerpol.h"
#include "meteo/regression_kernels.h"

namespace tolvo {
namespace {

constexpr int kReadGridsMethod = 9;

bool IsRegressionMethod(int method) { return method == 2 || method == 3 || method == 10 || method == 11; }
// Methods whose stations carry no precipitation values of their own: the regression
// file (2) and the elevation regression without residual interpolation (10).
bool HasNoStationValues(int method) { return method == 2 || method == 10; }

// The station values and the regression parameters of the step, which the station mode
// corrects in place before the input interpolates them; the next record brings
// uncorrected values again.
std::span<double> CurrentStationValues(meteointerpol& input) {
  auto& file = const_cast<StationFileState&>(input.station_file(0));
  return file.values;
}

void StoreRegressionBands(meteointerpol& input, const RegressionBands& bands) {
  auto& p = const_cast<RegressionParameters&>(input.regression_parameters());
  p[kA1] = bands.intercepts[1];
  p[kA2] = bands.intercepts[2];
  p[kA3] = bands.intercepts[3];
  p[kB1] = bands.gradients[1];
  p[kB2] = bands.gradients[2];
  p[kB3] = bands.gradients[3];
  p[kL2] = bands.upper_limit;
}

}  // namespace

precicorrclass::precicorrclass(DiagnosticsLog& log, std::span<MeteoInput* const> inputs,
                               const ModelSettings& settings)
    : modelobject(log, settings.compiled_control_file, settings.formats, settings.input_directory,
                  settings.output_directory),
      inputs_(inputs) {
  set_name("precipitation_correction");
  AdoptRunSettings(settings);
  column_ranges_ = settings.zones.column_ranges;
  ReadSection(settings);
  if (settings_.do_it == 0) return;

  precipitation_ = InputNamed("precipitation");
  if (precipitation_ == nullptr) grid_mode_ = true;
  zone_ = grids()->zone_grid().values;
  precipitation_grid_ = (*grids())[RequireGrid("precipitation")].values;
  temperature_grid_ = BindVariable("temperature", temperature_input_);
  wind_grid_ = BindVariable("wind_speed", wind_input_);
  for (const MeteoInput* input : {precipitation_, temperature_input_, wind_input_}) {
    if (input != nullptr && input->method() == kReadGridsMethod) grid_mode_ = true;
  }
  // Station values can only be corrected in an input that keeps them.
  if (!grid_mode_ && dynamic_cast<meteointerpol*>(precipitation_) == nullptr) grid_mode_ = true;

  if (grid_mode_) {
    const RowRange rows = strip();
    uncorrected_ = matrix(rows.first, rows.last, 1, geometry().ncols, geometry().nrows);
    corrected_ = matrix(rows.first, rows.last, 1, geometry().ncols, geometry().nrows);
    // Nothing equals NaN: on the first step every cell counts as renewed.
    corrected_.fill(std::numeric_limits<double>::quiet_NaN());
    return;
  }
  int scratch = 0;
  for (const MeteoInput* input : {precipitation_, temperature_input_, wind_input_}) {
    if (input != nullptr) scratch = std::max(scratch, input->PointScratchSize());
  }
  scratch_.assign(static_cast<std::size_t>(scratch) + 1, 0.0);
}

void precicorrclass::ReadSection(const ModelSettings& settings) {
  if (!OpenControlFile(settings.compiled_control_file)) {
    log() << "FATAL: error opening " << settings.compiled_control_file << "[end-entry]";
    RaiseError(kControlFileOpenError);
  }
  FindSection("[precipitation_correction]", true);
  ReadItem(settings_.do_it, "do_it fuer ");
  ReadItem(settings_.threshold, "Grenztemperatur fuer ");
  ReadItem(settings_.rain_constant, "Konstante Regen fuer ");
  ReadItem(settings_.rain_slope, "Anstieg Regen fuer ");
  ReadItem(settings_.snow_constant, "Konstante Schnee fuer ");
  ReadItem(settings_.snow_slope, "Anstieg Schnee fuer ");
  CloseControlFile();
}

MeteoInput* precicorrclass::InputNamed(std::string_view name) const {
  for (MeteoInput* input : inputs_) {
    if (input != nullptr && input->input_name() == name) return input;
  }
  return nullptr;
}

GridView precicorrclass::BindVariable(std::string_view name, MeteoInput*& input) {
  input = InputNamed(name);
  if (input != nullptr) return (*grids())[RequireGrid(name)].values;
  const int index = FindGrid(name, false);
  if (index <= 0) return {};
  grid_mode_ = true;
  return (*grids())[index].values;
}

double precicorrclass::FactorAtPoint(double x, double y, double z) {
  double t = 0;
  if (temperature_input_ != nullptr) {
    t = temperature_input_->InterpolateAtPoint(scratch_, x, y, z);
    if (t < -temperature_input_->nodata_value()) t = settings_.threshold + 1;
  }
  double w = 0;
  if (wind_input_ != nullptr) {
    w = wind_input_->InterpolateAtPoint(scratch_, x, y, z);
    if (w < -wind_input_->nodata_value()) w = 0;
  }
  return PrecipitationFactor(settings_, temperature_input_ != nullptr, t, w);
}

void precicorrclass::CorrectStationData() {
  if (settings_.do_it == 0 || grid_mode_) return;
  if (!HasNoStationValues(precipitation_->method())) CorrectStations();
  if (IsRegressionMethod(precipitation_->method())) CorrectRegression();
}

void precicorrclass::CorrectStations() {
  auto& input = dynamic_cast<meteointerpol&>(*precipitation_);
  const StationFileState& file = input.station_file(0);
  const std::span<double> values = CurrentStationValues(input);
  const double n = precipitation_->nodata_value();
  for (int j = 1; j <= file.n_stations; ++j) {
    const std::size_t i = static_cast<std::size_t>(j);
    const double factor = FactorAtPoint(file.x[i], file.y[i], file.altitude[i]);
    if (values[i] >= -n) values[i] *= factor;
  }
}

void precicorrclass::CorrectRegression() {
  RegressionBands bands;
  precipitation_->GetRegressionParameters(1, bands);
  const double nodata = geometry().nodata_value;
  CorrectRegressionLines(bands, max_elevation_, -precipitation_->nodata_value(),
                         [&](double elevation) { return FactorAtPoint(nodata, nodata, elevation); });
  StoreRegressionBands(dynamic_cast<meteointerpol&>(*precipitation_), bands);
}

void precicorrclass::CorrectPrecipitationGrid() {
  if (settings_.do_it == 0) return;
  if (!regions_found_) {
    if (const int index = FindGrid("MPIRegions", false); index > 0) {
      regions_ = (*grids())[index].values;
      regions_found_ = true;
    }
  }
  if (uncorrected_.empty()) {
    // The superposition runs although station mode was chosen: the grid is corrected too.
    const RowRange rows = strip();
    uncorrected_ = matrix(rows.first, rows.last, 1, geometry().ncols, geometry().nrows);
    corrected_ = matrix(rows.first, rows.last, 1, geometry().ncols, geometry().nrows);
    corrected_.fill(std::numeric_limits<double>::quiet_NaN());
  }
  // Without a precipitation input, a value is present when it is above the grid's nodata.
  const double grid_nodata = geometry().nodata_value;
  const double n = precipitation_ != nullptr ? precipitation_->nodata_value() : 0.0;
  const auto present = [&](double p) { return precipitation_ != nullptr ? p >= -n : p > grid_nodata; };
  const bool has_temperature = !temperature_grid_.empty();
  const bool has_wind = !wind_grid_.empty();
  GridView precipitation = precipitation_grid_;
  GridView raw = uncorrected_.view();
  GridView done = corrected_.view();
  const int ncols = geometry().ncols;
  for_each_row(strip(), [&](int r) {
    const ColumnRange columns = column_ranges_.empty() ? ColumnRange{1, ncols}
                                                       : column_ranges_[static_cast<std::size_t>(r)];
    for (int c = columns.first; c <= columns.last; ++c) {
      // Cells outside the basin keep their nodata, whatever the input's N.
      if (zone_(r, c) == grid_nodata || (!regions_.empty() && regions_(r, c) != rank())) continue;
      const double p = precipitation(r, c);
      // A cell that still holds what the last step made of it was not renewed.
      const double measured = p == done(r, c) ? raw(r, c) : p;
      double value = measured;
      if (present(measured)) {
        const double t = has_temperature ? temperature_grid_(r, c) : 0.0;
        const double w = has_wind ? wind_grid_(r, c) : 0.0;
        value = measured * PrecipitationFactor(settings_, has_temperature, t, w);
      }
      precipitation(r, c) = value;
      raw(r, c) = measured;
      done(r, c) = value;
    }
  });
}

void precicorrclass::DeleteModule() {
  uncorrected_ = Grid();
  corrected_ = Grid();
  scratch_.clear();
  modelobject::DeleteModule();
}

}  // namespace tolvo
