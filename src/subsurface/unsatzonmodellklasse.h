#pragma once
// Soil water and heat in the unsaturated zone after the Richards equation (section
// "[unsatzon_model]"). Its computations are not part of this build yet: it reads its
// switch and time step, keeps the date of each step and otherwise does nothing.

#include <string>

#include "framework/teilmodellklasse.h"
#include "framework/dump_options.h"

namespace tolvo {

class unsatzonmodellklasse : public teilmodellklasse {
 public:
  unsatzonmodellklasse(DiagnosticsLog& log, StatisticsRegistry& registry, const ModelSettings& settings,
                       int sub_steps);
  void updateMaxPumping() {}
  void selectInfiltrationInput(bool interception_first) { interception_first_ = interception_first; }
  void setDumpOptions(const DumpOptions& options) { dump_options_ = options; }
  bool isHeatTransferActive() const { return false; }
  bool isLayeredSnowActive() const { return false; }
  void setSurfaceRoutingActive(int on) { surface_routing_active_ = on; }
  // Path of the storage content file when the module is on, else empty.
  std::string getStorageFileName() const { return {}; }
  int storage_read_code() const { return StorageGridsReadCode; }
  void prepareMPIReinfiltration() {}
  void prepareTimeStep(const ModelDate& d) { RunStep(d.hour, d.day, d.month, d.year); }
  void SubStep(const ModelDate&) {}
  void concentrateSubbasinRunoff(const ModelDate&) {}
  void accumulatePreSpinUp(const ModelDate&) {}
  void finishPreSpinUp() {}
  // External coupling: takes over the groundwater table read from "GWTableExtern".
  void applyExternalGroundwaterTable(int /*external_time_step_min*/) {}
  void FlushStatistics() {}
  // Writes the soil-water section of the storage content file when its storage writing
  // is on (appending when asked), then releases the model; whether it wrote the section.
  bool finishModel(bool append);

  int groundwater_coupling = 0;

 private:
  bool interception_first_ = false;
  int surface_routing_active_ = 0;
  DumpOptions dump_options_;
};

}  // namespace tolvo
