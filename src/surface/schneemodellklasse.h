#pragma once
// Snow accumulation and melt with glaciers, firn, redistribution and permafrost (section
// "[snow_model]"). Its computations are not part of this build yet: it reads its switch
// and time step, keeps the date of each step and otherwise does nothing.

#include <string>
#include <string_view>

#include "framework/dump_options.h"
#include "framework/teilmodellklasse.h"

namespace tolvo {

class schneemodellklasse : public teilmodellklasse {
 public:
  schneemodellklasse(DiagnosticsLog& log, StatisticsRegistry& registry, const ModelSettings& settings);
  void SetCorrectedRadiation(ConstGridView grid) { corrected_radiation_ = grid; }
  ConstGridView GetSolidSnowStorage() const { return {}; }
  int GetMethod() const { return ModuleSwitch != 0 ? ModuleMethod : 0; }
  void SetWaterInput(bool interception_first) { interception_first_ = interception_first; }
  void ReadLakeModel(std::string_view /*section*/) {}
  void SetLayeredSnowFlag(bool on) { layered_snow_ = on; }
  void SetDumpOptions(const DumpOptions& options) { dump_options_ = options; }
  void ReadStorageContent(const std::string& /*file*/, int /*read_code*/) {}
  void SnowTimeStep(const ModelDate& d) { RunStep(d.hour, d.day, d.month, d.year); }
  void SnowLateralStep(const ModelDate&) {}
  void FlushStatistics() {}
  void ReleaseTracers() override {
    if (ModuleSwitch != 0) teilmodellklasse::ReleaseTracers();
  }

 private:
  ConstGridView corrected_radiation_;
  bool interception_first_ = false;
  bool layered_snow_ = false;
  DumpOptions dump_options_;
};

}  // namespace tolvo
