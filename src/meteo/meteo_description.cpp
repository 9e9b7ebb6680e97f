#include "meteo/meteo_description.h"

#include <cmath>
#include <cstdio>

namespace tolvo {
namespace {

template <typename... Args>
std::string Format(const char* format, Args... args) {
  const int length = std::snprintf(nullptr, 0, format, args...);
  if (length <= 0) return {};
  std::string text(static_cast<std::size_t>(length) + 1, '\0');
  std::snprintf(text.data(), text.size(), format, args...);
  text.pop_back();
  return text;
}

}  // namespace

std::string StatisticsDescription(InterpolationMethod method, const MeteoSection& s, const std::string& input_name,
                                  const std::string& zone_file, const std::string& control_file) {
  const char* name = input_name.c_str();
  const char* zones = zone_file.c_str();
  const char* control = control_file.c_str();
  const StationFileLine empty;
  const StationFileLine& first = s.station_files.empty() ? empty : s.station_files[0];
  const StationFileLine& second = s.station_files.size() > 1 ? s.station_files[1] : empty;
  const char* file1 = first.file_name.c_str();
  const char* file2 = second.file_name.c_str();
  const int columns1 = first.additional_columns;
  const int columns2 = second.additional_columns;
  const double distance = s.squared_distance() ? std::sqrt(s.max_distance) : s.max_distance;
  using enum InterpolationMethod;
  switch (method) {
    case kInverseDistance:
      return Format(
          "%s interpolated with idw from %s, zones from %s, weighting = %4.1f,  maxentf = %8.0f, control "
          "file %s, additional columns: %d",
          name, file1, zones, s.idw_weight, distance, control, columns1);
    case kRegression: {
      const std::string text = Format("%s interpolated with regression from ", name) + " " + s.regression_file + ",";
      return Format("%s zones from %s, control file: %s", text.c_str(), zones, control);
    }
    case kInverseDistanceRegression:
      return Format(
          "%s interpolated with idw+regression from %s, zones from %s,weighting = %4.1f, fraction "
          "distance: = %4.1f max distance = %8.0f, control file %s, additional columns: %d",
          name, file1, zones, s.idw_weight, s.idw_fraction, distance, control, columns1);
    case kThiessen:
      return Format("%s interpolated with Thiessen from %s, zones from %s, control file %s, additional columns: %d",
                    name, file1, zones, control, columns1);
    case kBilinear:
      return Format(
          "%s interpolated with bilinear interpolation from %s, zones from %s, control file %s, additional "
          "columns: %d",
          name, file1, zones, control, columns1);
    case kBilinearResiduals:
      return Format(
          "%s interpolated with bilinear interpolation of gradients (%s, add. col.: %d) and residuals (%s, "
          "add. col.: %d), linearly combined, zones from %s, control file %s",
          name, file2, columns2, file1, columns1, zones, control);
    case kBicubicSpline:
      return Format(
          "%s interpolated with bicubic spline interpolation (%s, add. col.: %d), zones from %s, control "
          "file %s",
          name, file1, columns1, zones, control);
    case kSplineResiduals:
      return Format(
          "%s interpolated with bicubic spline interpolation of gradients (%s, add. col.: %d) and "
          "residuals (%s, add. col.: %d), linearly combined, zones from %s, control file %s",
          name, file2, columns2, file1, columns1, zones, control);
    case kReadGrids:
      return Format(
          "%s read in from grids containing already interpolated data (%s, add. col.: %d) zones from %s, "
          "control file %s",
          name, file1, columns1, zones, control);
    case kElevationRegression:
      return Format("%s interpolated with elevation dependent regression for values taken from %s, control file %s",
                    name, file1, control);
    case kInverseDistanceElevation:
      return Format(
          "%s interpolated with elevation dependent regression + idw, all values taken from %s, control "
          "file %s",
          name, file1, control);
    case kThiessenLapseRate:
      return Format(
          "%s interpolated with Thiessen plus elevation lapserate, all values taken from %s, control file "
          "%s",
          name, file1, control);
  }
  return {};
}

}  // namespace tolvo
