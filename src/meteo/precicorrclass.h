#pragma once
// Precipitation correction (section "[precipitation_correction]"): the catch deficit of
// the gauges, corrected by a factor that grows with the wind speed, one for rain and one
// for snow (precipitation_correction.h).
//
// Station mode: each step before the interpolation, the precipitation values of the
// stations of the precipitation input are corrected with the temperature and wind speed
// interpolated at each station, and for the regression methods 2, 3, 10 and 11 the
// regression bands of the step are refitted to corrected values.
// Grid mode: each step after the interpolation, every cell of the grid "precipitation" is
// corrected with the cell's temperature and wind speed. Grid mode is taken when the
// precipitation, temperature or wind speed come as ready grids (method 9, or grids not
// made by an input), or when the regional superposition runs.
//
// The correction never compounds: a precipitation cell that was not renewed since the
// last step is corrected again from its uncorrected value.

#include <span>
#include <vector>

#include "framework/matrix.h"
#include "framework/meteo_input.h"
#include "framework/model_settings.h"
#include "framework/modelobject.h"
#include "meteo/precipitation_correction.h"

namespace tolvo {

class precicorrclass : public modelobject {
 public:
  // Reads the section and chooses the mode; throws the ErrorCode of a failure after its
  // FATAL entry (28, 17, 11; 33 for a missing "precipitation" grid).
  precicorrclass(DiagnosticsLog& log, std::span<MeteoInput* const> inputs, const ModelSettings& settings);

  // The domain-wide highest elevation (m), the top of the upper regression band.
  void SetMaxElevation(double metres) { max_elevation_ = metres; }
  double max_elevation() const { return max_elevation_; }
  // Whether the correction works on the interpolated grid rather than on station values.
  bool CorrectsGrid() const { return settings_.do_it != 0 && grid_mode_; }
  // Station mode, once per step before the inputs interpolate.
  void CorrectStationData();
  // Grid mode (or with the regional superposition), once per step after it.
  void CorrectPrecipitationGrid();
  void DeleteModule() override;

  const PrecipitationCorrectionSettings& section_settings() const { return settings_; }

 private:
  void ReadSection(const ModelSettings& settings);
  // The input named exactly `name`, or none.
  MeteoInput* InputNamed(std::string_view name) const;
  // The values of the grid that an input of that name makes, or that is registered under
  // the name; none when there is neither. A grid without input sets grid mode.
  GridView BindVariable(std::string_view name, MeteoInput*& input);
  double FactorAtPoint(double x, double y, double z);
  void CorrectStations();
  void CorrectRegression();

  PrecipitationCorrectionSettings settings_;
  std::span<MeteoInput* const> inputs_;
  MeteoInput* precipitation_ = nullptr;
  MeteoInput* temperature_input_ = nullptr;
  MeteoInput* wind_input_ = nullptr;
  bool grid_mode_ = false;
  double max_elevation_ = 0;

  ConstGridView zone_;
  std::span<const ColumnRange> column_ranges_;
  GridView precipitation_grid_;
  ConstGridView temperature_grid_;
  ConstGridView wind_grid_;
  ConstGridView regions_;
  bool regions_found_ = false;
  // Per cell of the strip: the last uncorrected and corrected precipitation.
  Grid uncorrected_;
  Grid corrected_;
  // Work array of the point values of the inputs.
  std::vector<double> scratch_;
};

}  // namespace tolvo
