#pragma once
// Discharge routing through channels, lakes and reservoirs (section "[routing_model]").
// Its computations are not part of this build yet: it reads its switch and time step and
// keeps the date of each step.

#include <string>

#include "framework/teilmodellklasse.h"

namespace tolvo {

class abflussmodellklasse : public teilmodellklasse {
 public:
  abflussmodellklasse(DiagnosticsLog& log, StatisticsRegistry& registry, const ModelSettings& settings,
                      int storage_read_code);
  void LinkLakeGrids(bool interception_first) { interception_first_ = interception_first; }
  void InitRouting(int /*module_switch*/) {}
  void ReadStorageContent(const std::string& /*file*/, int /*read_code*/) {}
  void FlushStatistics() {}
  // Whether DeleteModule wrote the routing section of the storage content file.
  bool wrote_storage_content() const { return false; }

 private:
  bool interception_first_ = false;
};

}  // namespace tolvo
