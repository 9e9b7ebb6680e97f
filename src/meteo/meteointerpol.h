#pragma once
// One meteorological input: the variable named by an entry of [meteo_names] (temperature,
// precipitation, ...), made from station data files, a regression file or a list of ready
// grids, and published every step as the grid registered under the input's name.
//
// Construction reads the input's section, registers the result grid (nodata until the
// first step), the scenario grid of the start month when scenarios come from monthly
// grids, and the zone statistics table, then opens every file of the input and positions
// it on the run's start date: afterwards the start record is current. Each step the time
// loop takes the current record and then advances (ReadNextRecord); the input ends when
// its files end or the end date is reached, and can be rewound to its start record.
//
// Every process reads the input's files itself; construction and advancing exchange
// nothing between processes.
//
// The interpolation methods are not part of this build yet: Interpolate logs a FATAL entry
// and fails with 103, so that a run with meteorological inputs stops at its first step
// instead of running without them. The geometric set-up of the station-data methods
// (mesh orientation, rotated coordinates, anisotropy, station spacing, look-up stations,
// spline mesh) comes with the interpolation and is called here as empty operations.

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "framework/meteo_input.h"
#include "framework/model_settings.h"
#include "framework/modelobject.h"
#include "framework/statistics_registry.h"
#include "framework/zonal_statistic.h"
#include "meteo/grid_list_file.h"
#include "meteo/meteo_section.h"
#include "meteo/regression_file.h"
#include "meteo/station_file.h"

namespace tolvo {

class meteointerpol : public modelobject, public MeteoInput {
 public:
  // Builds the input `input_name` with its result grid at grid-table entry
  // `result_grid_index`; throws the ErrorCode of a failure after its FATAL entry.
  meteointerpol(DiagnosticsLog& log, StatisticsRegistry& registry, int registry_capacity, const std::string& input_name,
                const ModelSettings& settings, int result_grid_index);
  ~meteointerpol() override;

  // --- what the time loop uses ---------------------------------------------------------
  const std::string& input_name() const override { return input_name_; }
  int method() const override { return section_.method; }
  void SetSearchRadiusWarning(int on) override { search_radius_warning_ = on; }
  void SetHourShift(double hours) override { hour_shift_ = hours; }
  ModelDate GetDate() const override { return current_date(); }
  void ComputeElevationRegression(int) override {}
  // Not part of this build: logs a FATAL entry and fails with 103.
  void Interpolate(const ModelDate& date) override;
  void WriteResultGrid() override {}
  // Advances every file of the input by one record; see the failures of the advance.
  void ReadNextRecord() override;
  bool EndOfData() const override { return end_of_data_; }
  // The input's end date becomes its current date: the next advance ends the data.
  void EndAtCurrentDate() override;
  void FlushStatistics() override;
  // Back to the start date; the next ReadNextRecord makes the start record current.
  void RewindInput() override;
  void DeleteModule() override;

  // --- section and files -----------------------------------------------------------------
  void ReadSection();
  void ReadStationHeader(int slot);
  void SeekStationStart(int slot);
  void SeekGridListStart();
  void OpenRegressionFile();
  void LoadStationBlock(int slot);
  void LoadRegressionBlock();
  void NextStationRecord(int slot);
  void NextGridListRecord();
  void NextRegressionRecord();

  // --- state for the interpolation and the tests ---------------------------------------
  const MeteoSection& section() const { return section_; }
  const StationFileState& station_file(int slot) const { return station_files_[static_cast<std::size_t>(slot)]; }
  const RegressionFileState& regression_file() const { return regression_; }
  const GridListState& grid_list() const { return grid_list_; }
  const std::string& statistics_description() const { return description_; }
  int result_grid_index() const { return result_index_; }
  ConstGridView result_grid() const { return result_.view(); }
  // The values of "ScalingGrid_<input name>", or an empty view for none.
  ConstGridView scaling_grid() const { return scaling_grid_; }
  // The month the scenario grid holds (0: none).
  int scenario_month() const { return scenario_month_; }
  int search_radius_warning() const { return search_radius_warning_; }
  double hour_shift() const { return hour_shift_; }
  double anisotropy_slope_radians() const { return anisotropy_slope_; }

 private:
  void Construct(const ModelSettings& settings, StatisticsRegistry& registry, int registry_capacity);
  void LookUpCellGrids(const ModelSettings& settings);
  void RegisterResultGrid();
  void ReadStartMonthScenarioGrid();
  void CheckMethod();
  void BuildStatisticsDescription();
  void CreateStatisticsTable(const ModelSettings& settings, StatisticsRegistry& registry, int registry_capacity);
  void OpenStationFiles();
  void CheckSecondStationFile();
  void PrepareStationGeometry();
  void OpenGridList();
  void CheckStationDates();
  void CheckRegressionDate();
  MeteoFileContext file_context();

  // Section items read by ReadSection.
  void ReadStationFileLine(int slot);
  void ReadMethodLine();
  void ReadStatisticsItem();
  void ReadScenario();
  void ReadScenarioMonthFiles();
  void ReadScenarioTable();

  // The geometric set-up of the station-data methods, done by the interpolation: the
  // orientation of the station mesh, the rotated cell coordinates, the anisotropy of the
  // distances, the mean station spacing, the look-up stations (methods 5 and 6) and the
  // spline mesh (methods 7 and 8). Nothing to prepare in this build.
  void EstimateMeshOrientation() {}
  void RotateCoordinateGrids() {}
  void PrepareAnisotropy() {}
  void MeanStationSpacing() {}
  void ChooseLookupStations(int /*n_files*/) {}
  void BuildStationMesh() {}

  std::string input_name_;
  MeteoSection section_;
  InterpolationMethod method_ = InterpolationMethod::kInverseDistance;  // section_.method once checked
  int result_index_ = 0;
  bool result_registered_ = false;
  Grid result_;
  ConstGridView zone_grid_;
  ConstGridView elevation_;
  ConstGridView rel_cell_area_;
  ConstGridView coord_x_;
  ConstGridView coord_y_;
  ConstGridView hru_grid_;
  ConstGridView master_hru_grid_;
  ConstGridView scaling_grid_;

  std::array<StationFileState, 2> station_files_;
  RegressionFileState regression_;
  GridListState grid_list_;

  int scenario_index_ = 0;
  int scenario_month_ = 0;
  Grid scenario_grid_;

  std::vector<ZoneRecord> zones_;
  std::unique_ptr<zonalstatistic> statistic_;
  std::string description_;

  bool end_of_data_ = false;
  double anisotropy_slope_ = 0;  // radians
  int search_radius_warning_ = 0;
  double hour_shift_ = 0;
};

}  // namespace tolvo
