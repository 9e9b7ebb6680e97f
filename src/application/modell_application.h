#pragma once
// The application of one control file: it builds the run (the grid table, the statistics
// registry, the control-file reader and one object of every sub-model, linked to each
// other), steps the sub-models through the time loop with its interrupt menu, and ends the
// run by flushing, writing the storage content and releasing everything in a fixed order.

#include <csignal>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "framework/grid_table.h"
#include "framework/memory_handling.h"
#include "framework/meteo_input.h"
#include "framework/signals.h"
#include "framework/statistics_registry.h"
#include "setup/defaultini.h"
#include "surface/schneemodellklasse.h"

namespace tolvo {

class meteointerpol;
class precicorrclass;
class RegionalSuperposition;
class expokorrklasse;
class verdunstungsmodellklasse;
class schneemodellklasse;
class interzeptionsmodellklasse;
class siltingupclass;
class unsatzonmodellklasse;
class surfaceroutingclass;
class irrigationclass;
class gwflowclass;
class abflussmodellklasse;
class SpecialOutputClass;
class tracer_ini_class;
struct TracerSettingsRecord;

inline constexpr int kFinishHandled = 99;

// Options of the soil, snow and surface-routing dumps, from the command line.
DumpOptions ReadDumpOptions(DiagnosticsLog& log, int argc, char** argv);

class ModellApplication : public memory_handling {
 public:
  // Makes one meteorological input: (log, input name, settings, result grid index, position).
  using MeteoInputFactory = std::function<std::unique_ptr<MeteoInput>(
      DiagnosticsLog&, const std::string&, const ModelSettings&, int, int)>;
  // Told the name of every sub-model operation the time loop calls, in order.
  using CallTrace = std::function<void(std::string_view)>;

  ModellApplication(DiagnosticsLog& log, int argc, char** argv, int position, MeteoInputFactory make_input = {},
                    CallTrace trace = {});
  ~ModellApplication() override;

  // Runs the time loop; 0 after a normal end, 99 after a finish request.
  virtual int run();
  // Flushes, writes the storage content, releases every sub-model.
  virtual void ClearMemory();
  // --- external synchronisation (synchronisation.cpp) -----------------------------------
  // Spins until the processor clock has advanced by `ticks`; the last clock reading.
  virtual long BusyWait(long ticks);
  // Process 0: waits for the external program's command file and takes its command into
  // InterruptState; returns 1.
  virtual int WaitForFile(const std::string& path, long long interval_ms);
  // The coupling unit of the current step and the date of the last wait.
  char SyncMode = 'I';
  ModelDate LastSyncDate{-1, -1, -1, -1};
  // --- end of external synchronisation --------------------------------------------------

  const SignalTargets& signal_targets() const { return signal_targets_; }
  volatile std::sig_atomic_t InterruptState = 0;

 private:
  void init(int argc, char** argv, int position);
  void BuildSubmodels(int argc, char** argv);
  void LinkSubmodels(int sub_steps);
  int RunSteps();
  void RunOneStep();
  void RunTemperaturePreSpinUp();
  // External synchronisation at the start of a step (waits, reads the external grids) and
  // at its end (writes the exchange and the command file; the finish command when run_ends).
  void SynchroniseAtStepStart(const ModelDate& date);
  void SynchroniseAtStepEnd(bool run_ends);
  // Agrees on the interrupt state over all processes and shows the menu on process 0.
  void AgreeOnInterrupt();
  // Acts on the agreed state; false when the run is to go on normally.
  void ActOnInterrupt();
  void SetEndDateEverywhere(const ModelDate& date);
  void FlushAll();
  ModelDate DateOfStep() const;
  void Trace(std::string_view call) const {
    if (trace_) trace_(call);
  }

  MeteoInputFactory make_input_;
  CallTrace trace_;
  std::string control_file_;
  grid_table grids_;
  StatisticsRegistry registry_;
  std::unique_ptr<defaultini> reader_;
  ModelSettings settings_;
  SpinUpSettings spin_up_;
  DumpOptions dump_options_;
  bool interception_first_ = false;
  int interception_method_ = 0;
  bool end_of_input_ = false;
  int n_tracers_ = 0;
  std::span<TracerSettingsRecord> tracers_;

  std::vector<std::unique_ptr<MeteoInput>> inputs_;
  std::unique_ptr<tracer_ini_class> tracer_settings_;
  std::unique_ptr<RegionalSuperposition> superposition_;
  std::unique_ptr<precicorrclass> precipitation_correction_;
  std::unique_ptr<expokorrklasse> radiation_correction_;
  std::unique_ptr<verdunstungsmodellklasse> evapotranspiration_;
  std::unique_ptr<schneemodellklasse> snow_;
  std::unique_ptr<interzeptionsmodellklasse> interception_;
  std::unique_ptr<siltingupclass> silting_up_;
  std::unique_ptr<unsatzonmodellklasse> soil_;
  std::unique_ptr<surfaceroutingclass> surface_routing_;
  std::unique_ptr<irrigationclass> irrigation_;
  std::unique_ptr<gwflowclass> groundwater_;
  std::unique_ptr<abflussmodellklasse> routing_;
  std::unique_ptr<SpecialOutputClass> special_output_;
  SignalTargets signal_targets_;
};

}  // namespace tolvo
