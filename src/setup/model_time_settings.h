#pragma once
// The model-wide settings of the control file: the model time, the output interval and
// output switches, the output list of sub-basins, the site coordinates, the names of the
// meteorological inputs and the number of soil, surface and groundwater sub-steps.

#include <string>
#include <vector>

#include "framework/date.h"
#include "framework/modelobject.h"

namespace tolvo {

struct OutputSettings {
  int log_interval_hours = 0;     // interval of the progress lines
  int search_radius_warning = 0;  // 0 or 1: interpolations warn when no station is in reach
  int third_switch = 0;           // 0 or 1: read and not used
  double min_to_int_end = 0;      // minutes from the hour of the meteorological data to the step end
  OutputFormats formats;
  std::string initial_state_directory;
  std::string output_directory;
  std::vector<int> output_list;  // sub-basin codes, rising strictly
  double latitude = 0;           // degrees
  double longitude = 0;          // degrees
  double reference_meridian = 0;  // degrees
  double time_shift = 0;          // hours from data time to local time
  std::vector<std::string> meteo_names;
};

struct ModelTime {
  ModelDate start;
  ModelDate end;
};

// Reads "[output_interval]", "[output_list]", "[coordinates]", "[meteo_data_count]" and
// "[meteo_names]" from the named control file, which the reader opens and closes itself.
OutputSettings ReadOutputSettings(modelobject& reader, const std::string& control_file);

// The last year a model time may name.
inline constexpr long long kLastModelYear = 9999;

// Reads "[model_time]" from the reader's open control file. Two-digit years are taken as
// 19xx, months are clamped to 1..12 and days to the days of their own month and year.
// Hours outside 0..24, years outside 0..9999 and an end date before the start date are
// refused with 17.
ModelTime ReadModelTime(modelobject& reader);

// The number of soil, surface and groundwater sub-steps: 1 without the section
// "[soil_surface_groundwater_substeps]"; a count below 1 is refused. (Each sub-model that
// computes sub-steps refuses more sub-steps than its step has minutes.)
int ReadSubsteps(modelobject& reader, const std::string& control_file);

// Clamps a date as the model time does: year <= 999 gets 1900 added, month to 1..12, day
// to 1..days of that month in that year.
ModelDate ClampModelDate(ModelDate date);

}  // namespace tolvo
