#pragma once
// Interception storage, throughfall and interception evaporation (section
// "[interception_model]"); its module method is the interception method (above 10:
// interception runs before snow). Its computations are not part of this build yet.

#include "framework/teilmodellklasse.h"

namespace tolvo {

class interzeptionsmodellklasse : public teilmodellklasse {
 public:
  interzeptionsmodellklasse(DiagnosticsLog& log, StatisticsRegistry& registry, const ModelSettings& settings);
  int method() const { return ModuleMethod; }
  void FlushStatistics() {}
  void ReleaseTracers() override {
    if (ModuleSwitch != 0) teilmodellklasse::ReleaseTracers();
  }
};

}  // namespace tolvo
