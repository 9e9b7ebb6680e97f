#pragma once
// Two-dimensional groundwater flow in N stacked aquifer layers (section
// "[groundwater_flow]"). Layer 1 is the top layer: at the start of every sub-step its head
// is set from the soil model's groundwater table ("groundwater_distance" below the DEM),
// all layers are solved over the sub-step, and the rate at which the top layer lost
// (positive) or gained water goes back to the soil model through "baseflow" [m/s].
//
// Per layer n the model registers, in this order over all layers: "gw_head_n" and
// "gw_head_old_n" of every layer, then "gw_head_old_old_n" (twice: the head of the
// previous sub-step and the previous iterate), "gw_transmissivity_x_n",
// "gw_transmissivity_y_n", "gw_flow_x_n", "gw_flow_y_n", "gw_balance<n>", "gw_leakage_n"
// and "aquifer_upper_limit<n>". Grids read by stencils hold the own rows with one halo
// row on each side, the others the own rows only.
//
// The point iteration sweeps in red-black order (by the parity of global row + column)
// with a halo exchange between the halves, so heads do not depend on the number of
// threads or processes.

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "framework/halo_exchange.h"
#include "framework/teilmodellklasse.h"
#include "subsurface/groundwater_kernels.h"
#include "subsurface/groundwater_settings.h"

namespace tolvo {

class StatisticsRegistry;

// One buffered record of the control point: the date and 6 values per layer.
struct ControlPointRecord {
  std::int64_t year = 0;
  std::int64_t month = 0;
  std::int64_t day = 0;
  std::int64_t hour = 0;
  std::vector<double> values;  // entries 1..6N
};

class gwflowclass : public teilmodellklasse {
 public:
  // Bytes of control point records buffered before they are appended to the file.
  static constexpr long long kControlPointBufferBytes = 2097152;

  // Throws the ErrorCode of a failure; any other exception becomes 103.
  gwflowclass(DiagnosticsLog& log, StatisticsRegistry& registry, const ModelSettings& settings, int sub_steps);
  ~gwflowclass() override;
  gwflowclass(const gwflowclass&) = delete;
  gwflowclass& operator=(const gwflowclass&) = delete;

  // The application's step protocol: BeginStep before the sub-step loop, SubStep in every
  // sub-step after the soil model, EndStep after the loop.
  void BeginStep(const ModelDate& d);
  void SubStep(const ModelDate&) { RunSubStep(); }
  void EndStep(const ModelDate& d);
  void FlushStatistics();
  void DeleteModule() override;
  // Checks the lake settings of the section (lakes enter the heads through
  // "ponding_storage"): with "lake_codes" and the lake switch on, the pond flag must be 1
  // (214), "ponding_storage" must exist (28) and the initialization method be 1 or 2 (214).
  void ReadLakeModel(const std::string& section_name);
  // Per tracer and layer a storage concentration ("gwini" at the start, or read with grid
  // read code 1), a statistics table per layer and the tracer's flux-concentration grid.
  void InitTracers(int n_tracers, std::span<TracerSettingsRecord> tracers, StatisticsRegistry& registry,
                   int capacity) override;
  void ReleaseTracers() override;
  // Storage concentration of tracer t in layer n (empty without it).
  ConstGridView tracer_concentration(int t, int n) const {
    return t >= 1 && t < static_cast<int>(aquifer_tracers_.size())
               ? ConstGridView(aquifer_tracers_[static_cast<std::size_t>(t)].layers[static_cast<std::size_t>(n)].storage.view())
               : ConstGridView();
  }

  const GroundwaterSettings& groundwater_settings() const { return settings_; }
  int layer_count() const { return settings_.n_layers; }
  // Iterations of layer n in the last sub-step (equal on every process).
  int iterations(int n) const { return iterations_[static_cast<std::size_t>(n)]; }
  // Parts into which the row-wise solution of layer n split the last sub-step.
  int row_solver_parts(int n) const { return row_parts_[static_cast<std::size_t>(n)]; }
  // Records buffered for the control point file (on its owner only).
  std::size_t buffered_records() const { return record_count_; }
  std::size_t record_capacity() const { return records_.empty() ? 0 : records_.size() - 1; }

 private:
  struct LayerGrids {
    Grid h, h_old, h_prev, iterate, tx, ty, qx, qy, balance, leakage, top;
    int h_index = 0, h_old_index = 0, h_prev_index = 0, iterate_index = 0, tx_index = 0, ty_index = 0;
    int qx_index = 0, qy_index = 0, balance_index = 0, leakage_index = 0, top_index = 0;
  };

  void Build();
  void ReadSettings();
  void BindInputGrids();
  void SetTopLayerThickness();
  void RegisterLayerGrids();
  void StartHeads(int n, int index);
  void FillLayerGrids(int n);
  void CreateControlPointFile();
  AquiferLayer Layer(int n);
  bool IsOwnZoneCell(int r, int c) const;
  double TopLayerHead(int r, int c) const;

  void RunSubStep();
  void StartSubStep(int n);
  void SolveLayer(int n);
  double IterateSOR(int n);
  double SolveRowsImplicit(int n);
  double ReduceMax(double value) const;
  void HandBackBaseflow();
  void RecordControlPoint();
  void AppendControlPointFluxes();
  // The largest of the processes' values, agreed while the heads h travel to the halos.
  double ReduceMaxWithHeads(double value, GridView h);
  void ExchangeLayerHeads();
  void Exchange(GridView grid) const;
  bool ProgressDue() const;

  double dt_s() const { return TimeStep * 60.0 / SubSteps; }

  // Tracers (gwflow_tracers.cpp).
  struct AquiferTracerLayer {
    std::vector<ZoneRecord> zones;
    std::unique_ptr<zonalstatistic> statistic;
    std::string statistic_file, grid_file;
    Grid storage;  // concentration, halo rows
    Grid mixed;    // concentration after the mixing of the sub-step, own rows
    int index = 0;
  };
  struct AquiferTracer {
    std::vector<AquiferTracerLayer> layers;  // entries 1..N
    Grid flux;  // mixed concentration of the top layer
    int flux_index = 0;
    double decay = 1;  // per sub-step
  };
  void DecayTracers(int n);
  void MixTracers();
  void EndStepTracers(const ModelDate& d);
  void FlushTracerStatistics();
  std::vector<AquiferTracer> aquifer_tracers_;  // entries 1..T
  int lake_switch_ = 0;
  int lake_initialization_ = 0;
  ConstGridView lake_codes_;

  GroundwaterSettings settings_;
  AquiferDomain domain_;
  FrozenGround frozen_;
  ConstGridView elevation_;
  GridView distance_;
  GridView baseflow_;
  int distance_index_ = 0;
  int baseflow_index_ = 0;
  ConstGridView soil_types_;
  ConstGridView ponding_;
  ConstGridView silting_storage_;
  bool pond_grid_used_ = false;
  int pond_index_ = 0;
  int thaw_index_ = 0;
  int frozen_index_ = 0;
  struct LayerInputs {
    GridView thickness;
    ConstGridView kx, ky, storage, fixed_head, fixed_flux, kolmation;
  };
  std::vector<LayerInputs> inputs_;        // entries 1..N
  std::vector<LayerGrids> layers_;         // entries 1..N
  std::vector<AquiferLayer> layer_views_;  // views of layers_, entries 1..N
  std::vector<int> iterations_;
  std::vector<int> row_parts_;
  Grid start_heads_;  // heads at the start of a part of a split row-wise sub-step
  std::vector<SweepResult> row_sweeps_;
  std::vector<double> row_max_;
  std::vector<Oscillations> row_oscillations_;
  std::unique_ptr<RowSolverWorkspace> workspace_;
  std::vector<GridView> halo_grids_;  // the grids of one exchange, kept to reuse its room
  HaloExchange halo_;                 // the heads' exchange that travels with the iteration's reduction

  std::vector<ControlPointRecord> records_;  // entries 1..K
  std::size_t record_count_ = 0;
  bool holds_control_cell_ = false;
  RowRange halo_rows_;
};

}  // namespace tolvo
