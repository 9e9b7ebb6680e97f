#pragma once
// Interception (section "[interception_model]"): per cell and vegetation layer (1 = top),
// the water held on the leaves. Every step a layer's covered part (vegetation cover VCF)
// catches its input, the storage above its capacity (IntercepCap·LAI from the land-use
// table, else LAI·h_max) and the uncovered part pass down as throughfall, and the storage
// evaporates at a potential rate that lowers the potential transpiration by as much.
// Layer 0 holds the cell totals: the throughfall reaching the ground, the summed storage
// and evaporation. Per cell and step:  input = TF0 + E0 + change of S0  (mm).
//
// Methods 1 and 2 take the snow-cover outflow after the snow step, 11 and 12 the
// precipitation before it; 1 and 11 evaporate at the potential transpiration, 2 and 12 at
// the potential interception evaporation.

#include <memory>
#include <span>
#include <string>
#include <vector>

#include "framework/teilmodellklasse.h"

namespace tolvo {

class StatisticsRegistry;

struct InterceptionSettings {
  int method = 0;
  std::string throughfall_file, evaporation_file, storage_file;  // layer-0 grid names
  int throughfall_write = 0, evaporation_write = 0, storage_write = 0;
  std::string throughfall_statistic, evaporation_statistic, storage_statistic;
  int throughfall_code = 0, evaporation_code = 0, storage_code = 0;
  double h_max = 0;  // mm of water per unit of leaf area index
  int read_grids = 0;
};

class interzeptionsmodellklasse : public teilmodellklasse {
 public:
  // Throws the ErrorCode of a failure after its FATAL entry.
  interzeptionsmodellklasse(DiagnosticsLog& log, StatisticsRegistry& registry, const ModelSettings& settings);
  ~interzeptionsmodellklasse() override;
  // The method when the module is on, else 0; above 10 the interception runs before the snow.
  int GetMethod() const { return ModuleSwitch > 0 ? settings_.method : 0; }
  // One step of every own cell; collective (statistics, grid outputs).
  void RunStep(long long hour, long long day, long long month, long long year);
  // The base set-up of the tracers, then each tracer's input concentration: the first of
  // the snow model's, the irrigation's and the input's outflow concentration grids.
  void InitTracers(int n_tracers, std::span<TracerSettingsRecord> tracers, StatisticsRegistry& registry,
                   int capacity) override;
  void FlushStatistics();
  void ReleaseTracers() override {
    if (ModuleSwitch != 0) teilmodellklasse::ReleaseTracers();
  }
  void DeleteModule() override;

  const InterceptionSettings& section_settings() const { return settings_; }
  int layer_count() const { return n_layers_; }

 private:
  // One registered grid with its statistics.
  using OwnGrid = StatisticGrid;
  struct Layer {
    ConstGridView landuse, lai, vcf, potential_interception;
    GridView pot_transpiration;
    OwnGrid storage, evaporation, throughfall;
  };
  // The water of one layer in one cell, mm.
  struct LayerWater {
    double input = 0, storage = 0, throughfall = 0, evaporation = 0;
  };

  void ReadSection();
  void BindInputs();
  void RegisterLayerGrids(StatisticsRegistry& registry);
  void RegisterOwnGrid(OwnGrid& grid, const std::string& file, int write_code, const std::string& identifier,
                       bool read);
  void MakeStatistic(OwnGrid& grid, const std::string& file, int code, const std::string& quantity,
                     StatisticsRegistry& registry);
  double Capacity(int k, int r, int c) const;
  // Fills, overflows and evaporates layer k of the cell; returns the amount by which the
  // layer's potential transpiration was lowered.
  double LayerBalance(int k, int r, int c, LayerWater& w) const;
  void Cell(int r, int c, int zone_index);
  // Tracers of a single vegetation layer: mixing of the new water (covered input vcf_input,
  // storage before it), the share leaving with the overflow, and the outflow concentration.
  void MixTracers(int r, int c, double storage_before, double vcf_input, double throughfall);
  void TracerOverflow(int r, int c, double storage, double excess, double throughfall);
  void TracerOutflowConcentration(int r, int c, double throughfall);
  void AddTracerStatistics(int r, int c, int zone, double storage);
  bool OwnCell(int r, int c) const;

  InterceptionSettings settings_;
  int n_layers_ = 1;
  ConstGridView water_input_, glacier_, regions_, zone_grid_, elevation_;
  std::vector<Layer> layers_;  // 0..n
  std::vector<ConstGridView> tracer_input_;  // per tracer 1..n
  // The step's statistics tables, closed with one exchange of their sums.
  StatisticsStepEnds step_ends_;
};

}  // namespace tolvo
