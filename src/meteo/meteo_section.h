#pragma once
// The control-file section of one meteorological input, named after the input: the
// interpolation method, the station data file(s), the method's own line, the result grid,
// the value rule, the inverse-distance and anisotropy settings, the limits of the
// results, and the scenario values.

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "framework/gif_grid.h"

namespace tolvo {

// Interpolation methods, the first item of the section.
enum class InterpolationMethod {
  kInverseDistance = 1,            // idw of the station values
  kRegression = 2,                 // regression parameters per step (regression file)
  kInverseDistanceRegression = 3,  // weighted combination of 1 and 2
  kThiessen = 4,                   // nearest station
  kBilinear = 5,                   // bilinear between stations
  kBilinearResiduals = 6,          // bilinear of residuals + gradients * elevation (two files)
  kBicubicSpline = 7,              // bicubic spline of the station values
  kSplineResiduals = 8,            // splines of residuals + gradients * elevation (two files)
  kReadGrids = 9,                  // ready grids of a grid list
  kElevationRegression = 10,       // elevation-dependent regression fitted every step
  kInverseDistanceElevation = 11,  // idw combined with the regression of 10
  kThiessenLapseRate = 12,         // nearest station corrected by a lapse rate
};

inline constexpr int kFirstMethod = 1;
inline constexpr int kLastMethod = 12;
// Bit k set: method k interpolates station data files (1, 3 to 8, 10 to 12).
inline constexpr int kStationDataMethods = 7674;
inline bool IsStationDataMethod(int method) {
  return method >= kFirstMethod && method <= kLastMethod && ((kStationDataMethods >> method) & 1) != 0;
}
// Methods 6 and 8 read residuals and gradients from two station files.
inline int StationFileCount(int method) { return method == 6 || method == 8 ? 2 : 1; }

// A line that names a station data file: its first word, and the count after
// "AdditionalColumns=" (0 when absent, -1 when negative or beyond int).
struct StationFileLine {
  std::string file_name;
  std::string line;
  int additional_columns = 0;
};
StationFileLine ParseStationFileLine(const std::string& line);

// Methods 10 and 11: inversion heights (m), tolerance, overlap, cluster range and the lapse
// rate above the upper inversion (-9999: none given).
struct ElevationRegressionSettings {
  double lower_inversion = 0;
  double upper_inversion = 0;
  double tolerance = 0;
  int overlap = 0;
  double cluster_range = 0;
  double lapse_rate_above = -9999;
};
// 5 or 6 values; nothing for fewer.
std::optional<ElevationRegressionSettings> ParseElevationRegressionLine(const std::string& line);

// Method 12: the lapse rate, optionally the inversion height and a fixed upper lapse rate
// (-9999: none), and the precipitation-type switch (a word containing "P-type" after the
// three numbers: a station value of exactly 0 stays 0).
struct LapseRateSettings {
  double lapse_rate = 0;
  double inversion_height = -9999;
  double upper_lapse_rate = -9999;
  bool precipitation_type = false;
};
// 1, 3 or 4 values; nothing for none or exactly 2.
std::optional<LapseRateSettings> ParseLapseRateLine(const std::string& line);
// Method 9: the five GIF mapping values; nothing for fewer.
std::optional<GifMappingParameters> ParseGifMappingLine(const std::string& line);

// One row of a scenario table; columns 1..15: x, y, the values of months 1 to 12, the
// working value of the current day (column 0 unused).
using ScenarioRow = std::array<double, 16>;

struct MeteoSection {
  int method = 0;                              // as read; checked at construction
  std::vector<StationFileLine> station_files;  // 1, or 2 for methods 6 and 8
  std::string regression_file;
  GifMappingParameters gif_mapping;
  ElevationRegressionSettings elevation_regression;
  LapseRateSettings lapse_rate;
  std::string result_file;
  int write_code = 0;
  double scaling = 1;
  std::string statistics_file;
  int statistics_code = 0;
  double nodata = 0;            // N: v is present when -N <= v <= N
  double idw_weight = 0;        // distance exponent
  double idw_fraction = 0;      // share of idw in methods 3 and 11
  double max_distance = 0;      // search radius (m; squared when the weight is 2.0)
  double anisotropy_slope = 0;  // degrees as read
  double anisotropy_ratio = 0;  // b/a
  double lower_limit = 0;
  double lower_replacement = 0;
  double upper_limit = 0;
  double upper_replacement = 0;
  int szen_use = 0;                         // 1: scenario values apply
  int szen_meth = 0;                        // how: 1 and 6 add, any other multiplies; 5 and 6 from monthly grids
  int szen_num = 0;                         // rows of the scenario table
  std::array<std::string, 13> month_files;  // months 1..12 (SzenMeth 5 and 6)
  std::vector<ScenarioRow> scenario_table;  // rows 1..SzenNum at 0..SzenNum - 1

  bool squared_distance() const { return idw_weight == 2.0; }
  bool monthly_scenario_grids() const { return szen_use == 1 && (szen_meth == 5 || szen_meth == 6); }
};

}  // namespace tolvo
