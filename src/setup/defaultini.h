#pragma once
// The control-file reader and model set-up. It compiles the control file's symbols,
// reads the model-wide settings, the grid lists and the parameter tables, derives the
// grids that depend on them, decomposes the domain over the processes, and hands the
// model-wide settings to the application. The work is cut into 23 stages that the
// application runs one by one with InitializeStep; every process runs every stage in the
// same order (the set-up is collective).

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "framework/grid_distribution.h"
#include "framework/model_settings.h"
#include "framework/modelobject.h"
#include "framework/zone_ranking.h"
#include "setup/model_time_settings.h"
#include "setup/spin_up.h"  // SpinUpSettings, HruRecord

namespace tolvo {

class StatisticsRegistry;
class LanduseTable;
class MultilayerLanduseTable;
class SoilRecord;
struct IrrigationRecord;
struct SetupState;
class ExternalExchange;  // external coupling

class defaultini : public modelobject {
 public:
  static constexpr int kLastStage = 22;

  defaultini(DiagnosticsLog& log, const std::string& control_file_name, StatisticsRegistry& registry, int capacity,
             int mode, grid_table& grids);
  ~defaultini() override;

  // Runs the next stage; true once every stage has run (the control file is closed then).
  bool InitializeStep();
  // The statistics tables of the standard grids that name a statistics file.
  void InitGridStatistics();
  // The model-wide settings, valid for the reader's lifetime.
  const ModelSettings& GetSettings() const { return settings_; }
  const OutputSettings& output_settings() const { return output_; }
  int grid_count() const;
  int stage() const { return stage_; }

  SpinUpSettings InitSpinUp();
  int ReadSubsteps();
  double GetMaxElevation() const { return max_elevation_; }
  // --- external coupling (setup/coupling_settings.h, setup/external_exchange.h) ---------
  // "[ExternalCoupling]", read in the last stage; before it coupling is off.
  bool IsExternalCouplingOn() const;
  const std::string& GetWaitFileName() const;
  const std::string& GetInformFileName() const;
  const std::string& GetInformFileText() const;
  long long GetWaitInterval() const;
  char GetExternalGridMode() const;
  int GetExternalTimeStep() const;
  bool HasExternalGroundwaterTable() const;
  const ExternalExchange& coupling() const { return *coupling_; }
  void ResolveCouplingNames(StatisticsRegistry& registry, int capacity);
  int ReadExternalGrids(long long year, long long month, long long day, long long hour);
  void AccumulateExternalOutputs();
  void WriteExternalStatistics(long long hour, long long day, long long month, long long year, bool day_end,
                               bool month_end, bool year_end);
  // --- end of external coupling -------------------------------------------------------

  // Per-step work of the time loop.
  void UpdatePeriodicGrids(const ModelDate& date, int step_minutes);
  void UpdateLanduseParameters(const ModelDate& date, int step_minutes);
  void WriteStandardGrids(const ModelDate& date);
  void WriteVariableGrids(const ModelDate& date);
  void ResetGridStatistics();
  void AccumulateGridStatistics();
  void FinishGridStatistics(const ModelDate& date);
  void FlushGridStatistics();

  void DeleteModule() override;

 private:
  void Stage0();
  void Stage6();
  void Stage7();
  void Stage8();
  void Stage13();
  void Stage14();
  // Runs a maker of set-up grids and counts the grids it registered.
  void Register(const std::function<void(int&)>& make);
  std::span<const ConstGridView> CurrentLayerCodes();
  void ReadRadiationCorrectionSwitch();
  void FinishSettings();

  StatisticsRegistry* registry_;
  int capacity_;
  int mode_;
  int stage_ = 0;
  int radiation_correction_switch_ = 0;
  int irrigation_flag_ = 0;
  int landuse_layers_ = 0;
  double max_elevation_ = 0;
  std::string compiled_name_;
  OutputSettings output_;
  ModelTime model_time_;
  ModelSettings settings_;
  std::unique_ptr<SetupState> state_;
  std::unique_ptr<ExternalExchange> coupling_;  // external coupling
};

}  // namespace tolvo
