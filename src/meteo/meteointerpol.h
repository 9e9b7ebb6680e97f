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
// Construction also prepares the geometry of the station-data methods: the orientation of
// a station mesh (methods 5 to 8), the cell coordinates turned into the frame of the
// anisotropy ellipse ("CoordXRot_<name>", "CoordYRot_<name>", registered when the ratio
// is below 1), the rotated station coordinates, the mean station spacing and the corner
// stations of every own cell (methods 5 and 6). Methods 10 and 11 fit their elevation
// regression to the current record when the time loop asks (ComputeElevationRegression).
//
// Methods 7 and 8 sort the stations into a station mesh at construction and evaluate its
// cubic splines every step.
//
// Each step Interpolate computes the value of every own cell by the input's method, scales
// and limits it, applies the scenario and the scaling grid, copies it to the cells of
// hydrologic response units and adds it to the zone statistics. A step that has nothing
// to interpolate (no regression intercept, no present station value) publishes the
// input's own values of the previous step again, and so does a cell without any usable
// station (the grid nodata value until it has had one; one WARNING per run): what later
// sub-models change in the published grid never carries over into the next step.

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "framework/meteo_input.h"
#include "framework/model_settings.h"
#include "framework/modelobject.h"
#include "framework/statistics_registry.h"
#include "framework/zonal_statistic.h"
#include "meteo/cubic_splines.h"
#include "meteo/grid_list_file.h"
#include "meteo/inverse_distance.h"
#include "meteo/lookup_stations.h"
#include "meteo/meteo_section.h"
#include "meteo/regression_file.h"
#include "meteo/station_file.h"
#include "meteo/station_mesh.h"
#include "setup/spin_up.h"

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
  // Methods 10 and 11: fits parameter set `file` + 1 to the current values of station file
  // `file`; these methods read one station file, so only file 0 (what the time loop
  // passes) has anything to fit. Any other method or file does nothing.
  void ComputeElevationRegression(int file) override;
  // Computes the result grid of the current record; `date` must be the input's date
  // (else 52). Collective: every process calls it for every input in the same order.
  void Interpolate(const ModelDate& date) override;
  void WriteResultGrid() override;
  // Advances every file of the input by one record; see the failures of the advance.
  void ReadNextRecord() override;
  bool EndOfData() const override { return end_of_data_; }
  // The input's end date becomes its current date: the next advance ends the data.
  void EndAtCurrentDate() override;
  void FlushStatistics() override;
  // Back to the start date; the next ReadNextRecord makes the start record current.
  void RewindInput() override;
  void DeleteModule() override;
  double nodata_value() const override { return section_.nodata; }
  int PointScratchSize() const override;
  // Methods 5 to 8 use the stations alone at a point: 5 the bilinear value between the
  // corner stations around the point, 6 that of the first file plus z times that of the
  // second, 7 the nearest present station, 8 the nearest residual plus z times the nearest
  // gradient. Method 9 has no value at a point (its grid is not held whole by every
  // process), and neither has a scenario of monthly grids.
  double InterpolateAtPoint(std::span<double> scratch, double x, double y, double z) override;
  double GetRegressionParameters(int set, RegressionBands& bands) const override;

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
  // The stations of a file with map coordinates, and with the coordinates of the
  // anisotropy frame (the map ones when the ratio is 1).
  StationPoints stations(int slot) const;
  StationPoints rotated_stations(int slot) const;
  const IdwSettings& idw_settings() const { return idw_; }
  const StationSpacing& station_spacing() const { return spacing_; }
  // The coordinates the kernels interpolate at: the rotated grids when the ratio is
  // below 1, else "CoordX" and "CoordY".
  ConstGridView interpolation_x() const { return interp_x_; }
  ConstGridView interpolation_y() const { return interp_y_; }
  // Corner stations of the own cells (methods 5 and 6; empty otherwise).
  const LookupStations& lookup_stations(int slot) const { return lookup_[static_cast<std::size_t>(slot)]; }
  // Method 8: the spline of the second file's gradients over the own rows.
  ConstGridView gradient_spline_grid() const { return gradient_spline_.view(); }
  const std::optional<StationMesh>& station_mesh() const { return mesh_; }
  // Parameter set 1: fitted by ComputeElevationRegression (methods 10 and 11), or the
  // regression file's current record (methods 2 and 3).
  const RegressionParameters& regression_parameters() const { return regression_.parameters; }

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
  // Inverse distance weighting of the first station file at interpolation point (x, y).
  double InverseDistanceAt(std::span<double> scratch, double x, double y) const;

  // Section items read by ReadSection.
  void ReadStationFileLine(int slot);
  void ReadMethodLine();
  void ReadStatisticsItem();
  void ReadScenario();
  void ReadScenarioMonthFiles();
  void ReadScenarioTable();

  // The geometric set-up of the station-data methods: the orientation of the station
  // mesh (methods 5 to 8, replaces the section's slope and ratio), the rotated cell
  // coordinates, the weight mode and the rotated station coordinates (code 54 for a slope
  // or ratio out of range), the mean station spacing, the look-up stations (methods 5 and
  // 6) and the spline mesh (methods 7 and 8, not part of this build).
  void EstimateMeshOrientation();
  void RotateCoordinateGrids();
  void PrepareAnisotropy();
  void MeanStationSpacing();
  void ChooseLookupStations(int n_files);
  void BuildStationMesh();
  void EvaluateSplines(int slot, GridView out);

  // The per-step driver and the per-cell pass.
  enum class StepKind { kCompute, kKeep };
  void PrepareStepData(const ModelSettings& settings);
  void CheckStepDate(const ModelDate& date);
  void LogStepLine(const ModelDate& date);
  void PrepareScenarioDay(const ModelDate& date);
  void ReadReadyGrid();
  StepKind PrepareStationValues();
  void InterpolateCells();
  // Whether some cell of the row had no usable station.
  bool InterpolateRow(int r, std::span<double> scratch);
  double CellValue(int r, int c, std::span<double> scratch);
  double PostProcess(double v, int r, int c) const;
  void WarnSearchRadius(const char* prefix, int r, int c);
  void PublishKeptValues();
  void CopyResponseUnitMasters();
  void AddStatistics();
  RotationFrame rotation_frame() const;
  void FreeRotatedGrids();

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
  IdwSettings idw_;
  StationSpacing spacing_;
  ConstGridView interp_x_;
  ConstGridView interp_y_;
  Grid rotated_x_;
  Grid rotated_y_;
  int rotated_index_ = 0;  // entry of "CoordXRot_<name>" (the y grid follows), 0: none
  std::array<LookupStations, 2> lookup_;
  int search_radius_warning_ = 0;
  double hour_shift_ = 0;

  // Methods 7 and 8.
  std::optional<StationMesh> mesh_;
  std::unique_ptr<TSplines> splines_;
  std::vector<double> mesh_values_;
  Grid gradient_spline_;

  // The per-step pass.
  ZoneTableView zone_table_;
  const std::vector<HruRecord>* hrus_ = nullptr;
  ConstGridView regions_;
  Grid published_;  // the values the input published last, own rows
  std::vector<std::vector<double>> cell_scratch_;  // per thread
  std::vector<unsigned char> row_without_station_;
  bool without_station_warned_ = false;
  bool all_equal_step_ = false;  // station 1 stands for every station this step
  std::string last_valid_grid_;
};

}  // namespace tolvo
