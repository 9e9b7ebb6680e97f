#pragma once
// Correction of radiation and temperature by slope, aspect and terrain shading (section
// "[radiation_correction]").
//
// Every computed step is split into sub-steps; for each, the sun's position gives the
// clear-sky direct radiation, process 0 finds the terrain's shade over the whole grid
// (methods 1 and 2) and hands each process its strip, and every cell adds what its
// sloped surface receives (slope_radiation.h). At the end of the step:
// - "radiation_correction": the cell's sum divided by that of a horizontal, unshaded
//   surface (dimensionless, 0 when the step had no direct radiation);
// - "Ieff_max": the cell's sum (Wh/m² per step);
// - "Shadow": 1 shaded, 0 lit, of the last sub-step;
// - "corr_temperature" (methods 2 and 4, with a temperature grid): the temperature
//   corrected for exposure (°C).
// "temperature_night" is a copy of the temperature taken every step when the step is
// longer than 720 minutes, also with the module off.
//
// Setting 9 computes only every n-th step. On the steps in between the factors keep
// their values and the corrected temperature follows the current temperature with the
// correction term of the last computed step, so that it never lags behind the
// temperature nor corrects a corrected value again.

#include <string>
#include <vector>

#include "framework/matrix.h"
#include "framework/solar_geometry.h"
#include "framework/teilmodellklasse.h"
#include "meteo/slope_radiation.h"

namespace tolvo {

enum class RadiationCorrectionMethod {
  kShading = 1,                   // terrain shading, no temperature correction
  kShadingAndTemperature = 2,     // terrain shading and temperature correction
  kExposure = 3,                  // slope and aspect only
  kExposureAndTemperature = 4,    // slope and aspect, temperature correction
};

struct RadiationCorrectionSettings {
  RadiationCorrectionMethod method = RadiationCorrectionMethod::kShadingAndTemperature;
  std::string temperature_file;
  int temperature_write_code = 0;
  double temperature_scaling = 0;  // K per unit of ln(factor) at full sunshine
  std::string factor_file;
  int factor_write_code = 0;
  std::string shadow_file;
  int shadow_write_code = 0;
  int steps_between = 1;  // steps from one computation to the next
  int sub_steps = 1;      // sub-steps of a computed step

  bool shades() const {
    return method == RadiationCorrectionMethod::kShading || method == RadiationCorrectionMethod::kShadingAndTemperature;
  }
  bool corrects_temperature() const {
    return method == RadiationCorrectionMethod::kShadingAndTemperature ||
           method == RadiationCorrectionMethod::kExposureAndTemperature;
  }
};

class expokorrklasse : public teilmodellklasse {
 public:
  // Reads the section, takes the grids it needs and registers its own; throws the
  // ErrorCode of a failure after its FATAL entry.
  expokorrklasse(DiagnosticsLog& log, StatisticsRegistry& registry, const ModelSettings& settings);

  // One step; collective (shade distribution, barrier and grid outputs).
  void RunStep(long long hour, long long day, long long month, long long year);
  // The grid of radiation correction factors when the module switch is 1, else none.
  ConstGridView CorrectedRadiation() const;
  void DeleteModule() override;

  const RadiationCorrectionSettings& section_settings() const { return settings_; }

 private:
  // A grid this object registers: its values and its grid-table entry.
  struct OwnGrid {
    Grid values;
    int index = 0;
  };

  void ReadSection();
  void BindGrids();
  void FindTemperature();
  // Registers `grid` over `rows` under the identifier, filled with 0 in zone cells and
  // nodata elsewhere.
  void Register(OwnGrid& grid, RowRange rows, const std::string& file, const std::string& identifier,
                int write_code);

  bool IsActiveCell(int r, int c) const;
  ColumnRange ColumnsOf(int r) const;
  void CopyNightTemperature();
  void FollowTemperature();
  void ComputeStep(long long hour, int day, int month);
  // A step without a date (no meteorological input): no correction, factor 1.
  void NeutralStep();
  void PrepareCells();
  void ResetShade();
  void ShadeAndDistribute(const SubStepSun& sun);
  void AccumulateSubStep(const SubStepSun& sun);
  void FinishStep(double horizontal_sum);

  RadiationCorrectionSettings settings_;
  int step_counter_ = 0;
  bool whole_shadow_ = false;  // process 0 holds the shade of every row
  bool undated_step_noted_ = false;

  ConstGridView zone_;
  ConstGridView elevation_;
  ConstGridView aspect_;
  ConstGridView slope_;
  ConstGridView regions_;
  ConstGridView hru_masters_;
  ConstGridView sunshine_;
  ConstGridView temperature_;

  OwnGrid factor_;
  OwnGrid shadow_;
  OwnGrid ieff_max_;
  OwnGrid corr_temperature_;
  OwnGrid temperature_night_;
  Grid temperature_term_;  // corrected minus current temperature of the last computed step
  Stack normals_;          // per cell its surface normal (east, north, up)
  std::vector<double> walk_heights_;  // work space of the shading (process 0)
};

}  // namespace tolvo
