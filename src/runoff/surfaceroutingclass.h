#pragma once
// Two-dimensional surface routing (section "[SurfaceRoutingModel]"): the direct runoff of
// every soil sub-step is routed over the raster towards the river cells in adaptive sub
// time steps that all processes agree on, and the water that reaches a river cell is
// handed back in "directflow" and to the sub-basin's flow-time zone. The surface water
// left on a cell is published as "SurfStorSiltingUp" [mm].
//
// The object reads its section into SurfaceRoutingSettings, registers its grids and
// stacks, owns five statistics per sub-basin (direct runoff, interflow, baseflow, total
// runoff, surface storage) and runs the cell passes of surface_passes.h. Every cell feeds
// flow-time zone 1 of its sub-basin.

#include <cstdint>
#include <cstdio>
#include <span>
#include <memory>
#include <string>
#include <vector>

#include "framework/dump_options.h"
#include "framework/exact_sum.h"
#include "framework/teilmodellklasse.h"
#include "framework/zone_record.h"
#include "runoff/head_driven_flow.h"
#include "runoff/surface_flow.h"
#include "runoff/surface_passes.h"
#include "setup/flow_time_zones.h"

namespace tolvo {

class StatisticsRegistry;

// What the section gives, in its order after the switch and time step.
struct SurfaceRoutingSettings {
  SurfaceRoutingMethod method = SurfaceRoutingMethod::kElevationSpread;
  struct Statistic {
    std::string file;
    int code = 0;
  };
  Statistic direct_runoff;    // QDSR
  Statistic interflow;        // QISR
  Statistic baseflow;         // QBSR
  Statistic total_runoff;     // QGSR
  std::string velocity_stack;
  int velocity_write_code = 0;
  std::string flux_stack;
  int flux_write_code = 0;
  double wake_tolerance = 0;  // [m]
  int wake_steps = 0;
  double velocity_tolerance = 0;  // [m/s]
  int velocity_steps = 0;
  double dt_min = 0;  // [s], an integer fraction of the soil sub-step
  double dt_max = 0;
  double crop_depth = 0;  // [m]
  double concentration_factor = 1;
  int storage_read_code = 0;
  Statistic surface_storage;
};

class surfaceroutingclass : public teilmodellklasse, private NonFiniteHeadHandler {
 public:
  // Throws the ErrorCode of a failure (the application passes it on).
  surfaceroutingclass(DiagnosticsLog& log, StatisticsRegistry& registry, const ModelSettings& settings,
                      int sub_steps);
  ~surfaceroutingclass() override;

  void SetDumpOptions(const DumpOptions& options) { dump_options_ = options; }
  // Base tracer set-up, the flow-time zones, the tracer hand-over grids and the runoff
  // arrays; nothing when the module is off.
  void InitTracers(int n_tracers, std::span<TracerSettingsRecord> tracers, StatisticsRegistry& registry,
                   int capacity) override;
  void ReleaseTracers() override;
  // Reads the zone queues and storages of the storage content file `file` (relative to
  // the input directory; empty: none) unless the read code is 0, 2 or 4; keeps the name
  // for WriteStorageContent. A file or section that is missing gives a WARNING and a cold
  // start; a section that does not fit the set-up fails with 71.
  void ReadStorageContent(const std::string& file, int read_code);
  // Writes the section into the kept file in the output directory, appended or new.
  void WriteStorageContent(bool append);

  // Hand-overs of the soil model: baseflow [tracer][sub-basin], recession constants of
  // direct runoff and interflow [sub-basin] in minutes; stored only when active. The
  // soil model owns them for the whole run; empty: none.
  void SetBaseflowInput(std::span<const std::vector<double>> baseflow);
  void SetDirectRunoffRecession(std::span<const double> kelsqd);
  void SetInterflowRecession(std::span<const double> kelsqi);
  // Total runoff per sub-basin [tracer][sub-basin] for the discharge routing; null when
  // the module is off. Fails with 57 before InitTracers.
  std::vector<std::vector<double>>* GetQg();

  // Per model step: BeginStep before the soil sub-steps, RunStep after each soil
  // sub-step, EndStep after them.
  void BeginStep(const ModelDate& d);
  void RunStep(long long hour, long long day, long long month, long long year);
  void SubStep(const ModelDate& d) { RunStep(d.hour, d.day, d.month, d.year); }
  void EndStep(const ModelDate& d);
  void FlushStatistics();
  // Releases the statistics, grids and tracers at the end of the run.
  void FinishModel(bool append);

  // --- what the tests and the time loop look at ---------------------------------------
  const SurfaceRoutingSettings& routing_settings() const { return settings_; }
  double sub_time_step() const { return SubTimeStep; }
  int sub_step_count() const { return sub_steps_run_; }
  // Method 6: the sweeps of the head iteration in the last call, over all its sub-steps.
  long long head_sweep_count() const { return head_sweeps_run_; }
  const ZoneRanking& subbasins() const { return subbasins_; }
  std::span<const ZoneRecord> storage_start() const { return StorageStart; }
  std::span<const ZoneRecord> storage_end() const { return StorageEnd; }
  std::span<const double> storage_loss() const { return StorageLoss; }
  std::span<const double> flow_time_zone_counts() const { return maxzeit; }
  const std::vector<std::vector<std::vector<ZoneRecord>>>& direct_runoff_zones() const { return zoneFZT_QD; }
  const std::vector<std::vector<std::vector<ZoneRecord>>>& interflow_zones() const { return zoneFZT_QI; }
  const std::vector<std::vector<double>>& direct_runoff_outflow() const { return QDd; }
  const std::vector<std::vector<double>>& interflow_outflow() const { return QIi; }
  long long dump_count() const { return DumpCount; }

 protected:
  // The process's largest stable sub time step [s]; a virtual hook so that the time step
  // can be driven on its own.
  virtual double CourantTimeStep();
  // Method 6 (head_driven_flow.h): the face conductances from the heads at the start of
  // the sub-step, one sweep of the head iteration j with sub time step dt [s] returning
  // the process's largest head change [m], and the face fluxes and velocities.
  virtual void ComputeFaceConductances();
  virtual double IterateHeads(int j, double dt);
  virtual void ComputeFluxesAndVelocities();

 private:
  void ReadSection();
  void AdjustSubStepBounds();
  ZoneRanking RankSoilModelSubbasins();
  void TakeInputGrids();
  void RegisterOwnGrids();
  void MakeStatistics(StatisticsRegistry& registry);
  void BindPassViews();
  void ExchangeRoutingHalos();
  void AddStorageSums(std::vector<ZoneRecord>& records, std::span<ExactSum> sums, bool clamp_at_zero,
                      bool river_inflow, double dt);
  void ReduceStorageSums();
  // The soil model's baseflow of a tracer (0: water) and sub-basin; 0 without hand-over.
  double Baseflow(std::size_t tracer, std::size_t subbasin) const;
  std::span<ExactSum> StorageSums(int which) {
    const std::size_t n = storage_sums_.size() / 3;
    return std::span<ExactSum>(storage_sums_).subspan(static_cast<std::size_t>(which) * n, n);
  }
  void HandOverStep();
  void RouteHeads(double dt);
  void ShareStorageLossWithRivers();
  bool OnNonFiniteHead(const HeadUpdate& update) override;
  void InitFlowTimeZones();
  void WriteFlowTimeDistribution(const FlowTimeZoneLayout& layout);
  int FlowTimeZoneOfCell(int r, int c, int s) const;
  void ConcentrateRunoff();
  void PrepareZoneSlots();
  void GatherZoneInflows();
  std::size_t CellIndex(int r, int c) const {
    return static_cast<std::size_t>(r - strip().first) * static_cast<std::size_t>(geometry().ncols) +
           static_cast<std::size_t>(c - 1);
  }
  std::size_t ValuesPerSlot() const { return (static_cast<std::size_t>(TracerCount) + 1) * 6; }
  // Index in a slot of field f (0 n, 1 sx, 2 RelCellSum) of tracer t, storage kind k
  // (0 direct runoff, 1 interflow).
  static std::size_t ZoneValue(int t, int k, int f) { return static_cast<std::size_t>(t * 6 + k * 3 + f); }
  void ReadStoredZones(std::FILE* file, const std::string& path);
  [[noreturn]] void StorageMismatch(const std::string& label, double current, double stored);
  void AgreeOnVegetation(const VegetationFailure& failure);
  int SubbasinOf(int r, int c) const;
  double SoilSubStepSeconds() const { return TimeStep * 60 / SubSteps; }

  SurfaceRoutingSettings settings_;
  DumpOptions dump_options_;
  ZoneRanking subbasins_;
  ConstGridView subbasin_codes_;  // "zonegrid_soilmodel"
  int n_layers_ = 1;

  // Grids of other models (not owned).
  ConstGridView zone_;
  ConstGridView dem_;
  ConstGridView regions_;
  ConstGridView rel_cell_area_;
  ConstGridView cell_size_x_;
  ConstGridView cell_size_y_;
  GridView storage_;      // "SurfStorSiltingUp"
  GridView directflow_;
  GridView interflow_;
  ConstGridView river_depth_;
  ConstGridView river_width_;
  ConstGridView flow_times_;

  // Own grids; an index is negative for a grid found rather than registered.
  Stack velocity_;
  Grid velocity_grid_;
  Stack fluxes_;
  Grid flux_grid_;
  Stack weights_;
  Grid weights_grid_;
  Grid head_;
  Grid head_old_;
  Grid roughness_x_;
  Grid roughness_y_;
  Grid manning_;
  Grid curvature_;
  Grid q_in_;
  Grid q_out_;
  Grid critical_shear_;
  Grid residue_cover_;
  Grid stem_diameter_;
  std::vector<int> grid_indices_;  // in registration order
  int velocity_index_ = 0;
  int flux_index_ = 0;
  int head_index_ = 0;
  int head_old_index_ = 0;
  int curvature_index_ = 0;
  int q_in_index_ = 0;
  int q_out_index_ = 0;
  int critical_shear_index_ = 0;

  // Statistics: records per sub-basin, tables in the order QDSR, QISR, QBSR, QGSR, storage.
  static constexpr int kStatistics = 5;
  std::vector<ZoneRecord> statistic_records_[kStatistics];
  std::unique_ptr<zonalstatistic> statistics_[kStatistics];

  // Per-sub-basin balance of a sub-step.
  std::vector<ZoneRecord> StorageStart;
  std::vector<ZoneRecord> StorageEnd;
  std::vector<ZoneRecord> RiverInflow;
  std::vector<double> StorageLoss;
  double SubTimeStep = 0;
  int sub_steps_run_ = 0;
  // The silting-up model takes the surface water left at the end of a step into the next
  // step's water input, and the soil model then reads its direct runoff instead of the
  // surface storage: the water left by a soil sub-step other than the last must stay on
  // the surface, or it would leave the basin unbooked.
  bool storage_taken_between_steps_only_ = false;
  int soil_sub_step_ = 0;  // soil sub-steps run in the current model step

  // Runoff per sub-basin [tracer 0..T][sub-basin 0..N] and flow-time zones
  // [tracer][sub-basin][zone 0..maxzeit].
  std::vector<std::vector<double>> QD, QI, QDd, QIi, Qg;
  std::span<const std::vector<double>> QBb;
  std::span<const double> kelsqd;
  std::span<const double> kelsqi;
  std::vector<std::vector<std::vector<ZoneRecord>>> zoneFZT_QD, zoneFZT_QI;
  std::vector<double> maxzeit;  // [sub-basin 0..N]: the number of flow-time zones
  bool runoff_allocated_ = false;
  bool recession_warned_ = false;
  std::string storage_file_;  // relative name of the storage content file
  long long DumpCount = 0;

  // Zone sums of a step per own row and zone (slot), gathered to process 0 at its end.
  struct GatheredRow {
    int row;
    int rank;
    int first_slot;
    int count;
    std::size_t value_offset;
  };
  std::vector<int> cell_slot_;           // per own cell: its slot, -1 for none
  std::vector<double> slot_values_;      // per slot: ValuesPerSlot() sums
  std::vector<int> value_counts_, value_displs_;
  std::vector<double> gathered_values_;  // process 0
  std::vector<GatheredRow> gathered_rows_;  // process 0, in row order
  std::vector<std::pair<int, int>> gathered_slots_;  // process 0: (sub-basin, zone)

  // Tracer hand-over: per tracer the soil model's concentration grids and the silting-up
  // model's surface concentration grid (own when that model has none).
  std::vector<GridView> conc_qd_;
  std::vector<GridView> conc_qi_;
  std::vector<Grid> own_handover_;
  bool handover_from_silting_up_ = true;

  // Views and scratch of the passes, bound once the grids stand.
  SurfaceGrids pass_grids_;
  SurfaceParameters pass_parameters_;
  SurfaceLanduse landuse_;
  SurfaceTracerGrids tracer_grids_;
  std::vector<double> row_minimum_;
  std::vector<VegetationFailure> row_status_;

  // Method 6.
  HeadGrids head_grids_;
  HeadParameters head_parameters_;
  Grid subbasin_index_;              // sub-basin index of every own cell
  std::vector<double> river_per_flux_;  // [sub-basin]: see RiverHandOver
  std::vector<double> river_per_cell_;
  std::vector<double> row_change_;
  // The sub-step's sums of StorageStart, StorageEnd and RiverInflow ([record][sub-basin]),
  // exact, so that the river hand-over does not depend on how the rows are shared.
  std::vector<ExactSum> storage_sums_;
  // The cell counts n and RelCellSum of the same records ([record][sub-basin][2]), whole
  // numbers, which travel with the sums.
  std::vector<ExactSum> storage_counts_;
  // The step's statistics tables, closed with one exchange of their sums.
  StatisticsStepEnds step_ends_;
  std::vector<std::int64_t> exact_scratch_;
  bool dump_stop_ = false;
  long long head_sweeps_run_ = 0;
};

}  // namespace tolvo
