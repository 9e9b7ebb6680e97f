#pragma once
// Point time series of chosen grid cells (section "[special_output]", which may be
// missing: the output is then switched off). Sampling and files are not part of this
// build yet: the output reads its switch and time step and otherwise does nothing.

#include "framework/teilmodellklasse.h"

namespace tolvo {

class SpecialOutputClass : public teilmodellklasse {
 public:
  SpecialOutputClass(DiagnosticsLog& log, StatisticsRegistry& registry, const ModelSettings& settings,
                     int sub_steps);
  // Samples the cells: in a soil sub-step (in_substep 1, sub-step k) or at the step end (0, 0).
  void CollectAll(const ModelDate& /*date*/, int /*in_substep*/, int /*substep*/) {}
  void FlushAll() {}

 private:
  int soil_sub_steps_;
};

}  // namespace tolvo
