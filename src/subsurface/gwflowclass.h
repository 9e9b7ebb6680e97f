#pragma once
// Two-dimensional groundwater flow (section "[groundwater_flow]"). Its computations are
// not part of this build yet: it reads its switch and time step, keeps the date of each
// step and otherwise does nothing.

#include "framework/teilmodellklasse.h"

namespace tolvo {

class gwflowclass : public teilmodellklasse {
 public:
  gwflowclass(DiagnosticsLog& log, StatisticsRegistry& registry, const ModelSettings& settings, int sub_steps);
  void BeginStep(const ModelDate& d) { RunStep(d.hour, d.day, d.month, d.year); }
  void SubStep(const ModelDate&) {}
  void EndStep(const ModelDate&) {}
  void FlushStatistics() {}
};

}  // namespace tolvo
