#pragma once
// One meteorological input: its station files or grid list, interpolated onto the grid
// every step and published as a named grid.
//
// The interpolation methods are not part of this build yet: constructing an input logs a
// FATAL entry and fails, so that a control file with meteorological inputs is refused
// instead of being run without them.

#include <string>

#include "framework/meteo_input.h"
#include "framework/model_settings.h"
#include "framework/modelobject.h"

namespace tolvo {

class meteointerpol : public modelobject, public MeteoInput {
 public:
  meteointerpol(DiagnosticsLog& log, const std::string& input_name, const ModelSettings& settings,
                int result_grid_index, int position);

  const std::string& input_name() const override { return input_name_; }
  int method() const override { return 0; }
  void SetSearchRadiusWarning(int on) override { search_radius_warning_ = on; }
  void SetHourShift(double hours) override { hour_shift_ = hours; }
  ModelDate GetDate() const override { return current_date(); }
  void ComputeElevationRegression(int) override {}
  void Interpolate(const ModelDate&) override {}
  void WriteResultGrid() override {}
  void ReadNextRecord() override {}
  bool EndOfData() const override { return true; }
  void SetEndDateToCurrent() override {}
  void FlushStatistics() override {}
  void RewindInput() override {}
  void DeleteModule() override { modelobject::DeleteModule(); }

 private:
  std::string input_name_;
  int search_radius_warning_ = 0;
  double hour_shift_ = 0;
};

}  // namespace tolvo
