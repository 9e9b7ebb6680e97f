#pragma once
// Silting-up of the soil surface (section "[SiltingUpModel]"). Its computations are not
// part of this build yet: it reads its switch and time step and keeps the date of each step.

#include "framework/teilmodellklasse.h"

namespace tolvo {

class siltingupclass : public teilmodellklasse {
 public:
  siltingupclass(DiagnosticsLog& log, StatisticsRegistry& registry, const ModelSettings& settings);
  void SelectWaterInput(bool interception_first) { interception_first_ = interception_first; }
  void FlushStatistics() {}

 private:
  bool interception_first_ = false;
};

}  // namespace tolvo
