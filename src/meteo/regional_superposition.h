#pragma once
// Regional superposition of input grids (section "[RegionalSuperposition]"): weighted sums
// of grids per region. Its computations are not part of this build yet: with the module
// switched on it takes its time step and otherwise does nothing.

#include "framework/teilmodellklasse.h"

namespace tolvo {

class RegionalSuperposition : public teilmodellklasse {
 public:
  RegionalSuperposition(DiagnosticsLog& log, StatisticsRegistry& registry, const ModelSettings& settings);
  void WriteSuperpositionOutputs() {}
  void FlushStatistics() {}
};

}  // namespace tolvo
