#pragma once
// Precipitation correction of the station data or of the interpolated precipitation grid
// (section "[precipitation_correction]"). Its computations are not part of this build yet:
// the correction does nothing.

#include <memory>
#include <vector>

#include "framework/meteo_input.h"
#include "framework/model_settings.h"
#include "framework/modelobject.h"

namespace tolvo {

class precicorrclass : public modelobject {
 public:
  precicorrclass(DiagnosticsLog& log, std::span<MeteoInput* const> inputs, const ModelSettings& settings);
  void SetMaxElevation(double metres) { max_elevation_ = metres; }
  double max_elevation() const { return max_elevation_; }
  // Whether the correction works on the interpolated grid rather than on station values.
  bool CorrectsGrid() const { return false; }
  void CorrectStationData() {}
  void CorrectPrecipitationGrid() {}

 private:
  double max_elevation_ = 0;
};

}  // namespace tolvo
