#pragma once
// Two-dimensional surface routing (section "[SurfaceRoutingModel]"). Its computations are
// not part of this build yet: it reads its switch and time step, keeps the date of each
// step and otherwise does nothing.

#include <string>

#include "framework/teilmodellklasse.h"
#include "framework/dump_options.h"

namespace tolvo {

class surfaceroutingclass : public teilmodellklasse {
 public:
  surfaceroutingclass(DiagnosticsLog& log, StatisticsRegistry& registry, const ModelSettings& settings,
                      int sub_steps);
  void SetDumpOptions(const DumpOptions& options) { dump_options_ = options; }
  void ReadStorageContent(const std::string& /*file*/, int /*read_code*/) {}
  void BeginStep(const ModelDate& d) { RunStep(d.hour, d.day, d.month, d.year); }
  void SubStep(const ModelDate&) {}
  void EndStep(const ModelDate&) {}
  void FlushStatistics() {}
  // Writes the surface-routing section of the storage content file when initialised
  // (appending when asked), then releases the model.
  void FinishModel(bool append);

 private:
  DumpOptions dump_options_;
};

}  // namespace tolvo
