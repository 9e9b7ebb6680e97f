#pragma once
// Irrigation from groundwater and surface water (section "[irrigation]"). Its computations
// are not part of this build yet: it reads its switch and time step and keeps the date of
// each step.

#include "framework/teilmodellklasse.h"

namespace tolvo {

class irrigationclass : public teilmodellklasse {
 public:
  irrigationclass(DiagnosticsLog& log, StatisticsRegistry& registry, const ModelSettings& settings);
  void LinkSoilTracerGrids() {}
  void FlushStatistics() {}
};

}  // namespace tolvo
