#pragma once
// The quantity text of an input's zone statistics table: what was interpolated, how and
// from which files, the zone grid and the control file.

#include <string>

#include "meteo/meteo_section.h"

namespace tolvo {

// The maximum distance is shown as read (its square root when the section squared it).
std::string StatisticsDescription(InterpolationMethod method, const MeteoSection& section,
                                  const std::string& input_name, const std::string& zone_file,
                                  const std::string& control_file);

}  // namespace tolvo
