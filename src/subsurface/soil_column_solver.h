#pragma once
// The soil column solver: for one soil sub-step it advances every soil column of the
// process, rows shared among the OpenMP threads. Per cell it copies the column from the
// stacks into the thread's work arrays, chooses the number of water iterations (fixed, or
// from the shortest travel time d / K of the unsaturated layers), runs the Picard-type
// Richards iteration of the hydraulic kernels (soil_column_hydraulics.h) to its tolerance
// and writes the column back.
//
// Units: sub-step and iteration lengths [s]; fluxes [m/s]; F = dt · 1000 turns a rate
// into mm per iteration.
// Invariants: the work arrays are made once per thread before the loop, nothing is
// allocated per row, cell or kernel call; a cell is computed by one process, once; a
// failure in a thread stops the loop in order and is raised after it.

#include <atomic>
#include <span>
#include <string>
#include <vector>

#include "framework/diagnostics_log.h"
#include "framework/matrix.h"
#include "framework/riverflow_record.h"
#include "subsurface/root_zone_kernels.h"
#include "subsurface/soil_cell_dumps.h"
#include "subsurface/soil_column_hydraulics.h"
#include "subsurface/soil_column_tracers.h"
#include "subsurface/soil_settings.h"
#include "tables/landuse_table.h"

namespace tolvo {

// --- time-step control -----------------------------------------------------------------

// Number of water iterations nW and heat sub-steps nH of a sub-step, heat sub-steps per
// iteration h, iteration length dt [s], heat sub-step length dtH [s], F = dt · 1000.
struct TimeSteps {
  double nW = 1;
  double nH = 1;
  int h = 1;
  double dt = 0;
  double dtH = 0;
  double F = 0;
};

// Shortest travel time d / K [s] (at most dt_sub) of the positions from the first active
// one (p.first, a snow layer of the pack when snow lies on the cell) to G − 1: with a water
// input K is ksat, without it ksat times the relative conductivity of the position's
// content at an ice factor of at least 0.5 (positions that do not conduct set no limit).
double dynamic_step_limit(const ColumnParameters& p, const ColumnArrays& a, int G, bool has_input, double dt_sub);

// The steps of a sub-step of dt_sub [s]: method 2 one iteration, method 3
// ceil(dt_sub / max(dt_min, min_dynamic_s)). heat_steps > 0 is nH of the initial heat pass,
// merged with nW so that every iteration runs a whole number of heat sub-steps.
TimeSteps choose_time_steps(SoilMethod method, double dt_sub, double dt_min, double min_dynamic_s,
                            double heat_steps);

// --- Richards iteration ------------------------------------------------------------------

struct RichardsTuning {
  double max_error = 1e-5;
  double max_iterations = 100;
};

struct RichardsOutcome {
  int iterations = 0;
  double error = 0;
  double drain = 0;  // drain flux of the last iteration [m/s]
  double properties = 0;  // scalar of the last head pass (layerHydraulicProperties)
};

// The kernels of the column, replaceable by a derived solver. The default ones are the
// free functions of soil_column_hydraulics.h and root_zone_kernels.h.
class SoilColumnKernels {
 public:
  virtual ~SoilColumnKernels() = default;
  virtual double layerHydraulicProperties(const ColumnParameters& p, const ColumnArrays& c, int iteration) const {
    return layer_hydraulic_properties(p, c, iteration);
  }
  virtual double columnFluxes(const ColumnParameters& p, const ColumnArrays& c, double r) const {
    return column_fluxes(p, c, r);
  }
  virtual int updateTheta(const ColumnParameters& p, const ColumnArrays& c, int passes, RiverTotals& river) const {
    return update_theta(p, c, passes, river);
  }
  virtual double iterationError(const ColumnParameters& p, const ColumnArrays& c, int i, int& count) const {
    return iteration_error(p, c, i, count);
  }
  virtual void rootDistribution(const SoilRecord& soil, int n, const RootParameters& rp, const RootZoneInput& in,
                                double& root_depth, const RootZoneArrays& a) const {
    root_distribution(soil, n, rp, in, root_depth, a);
  }
  virtual double macroporeInfiltration(double& r, const SoilRecord& soil, int n, std::span<const double> d,
                                       std::span<double> capacity, std::span<const double> theta_s,
                                       std::span<double> theta, std::span<double> inflow, double F) const {
    return macropore_infiltration(r, soil, n, d, capacity, theta_s, theta, inflow, F);
  }
  virtual double meanThetaInDepthRange(int n, std::span<const double> d, std::span<const double> theta,
                                       std::span<const double> theta_s, int mode, double top, double bottom,
                                       double nodata) const {
    return mean_theta_in_depth_range(n, d, theta, theta_s, mode, top, bottom, nodata);
  }
  virtual double groundwaterLevelChange(const WaterTableMove& m, const SaturatedZoneArrays& a,
                                        double river_infiltration, double river_exfiltration) const {
    return groundwater_level_change(m, a, river_infiltration, river_exfiltration);
  }
};

// One Richards iteration of a water iteration: heads, then fluxes, update and error until
// the error falls to the limit (5 · max_error from iteration 21 on), is NaN, or
// max_iterations is reached (which is no error: the results stand).
RichardsOutcome richards_iteration(const SoilColumnKernels& k, const RichardsTuning& tuning,
                                   const ColumnParameters& p, const ColumnArrays& c, double input_rate,
                                   RiverTotals& river);

// The solver log line of an iteration that needed more than 100 iterations.
std::string solver_log_line(int day, int month, int hour, int row, int col, int iterations, double error);

// --- cells computed -------------------------------------------------------------------

enum class CellAction { kSkip, kCompute, kGlacier };

struct CellSelection {
  bool zone_nodata = false;
  bool own_rank = true;        // "MPIRegions" equals the rank (or no regions grid)
  bool in_spare_row = false;   // the row before the first own row
  bool river_cell_moved = false;  // river link > 0 and the cell exchange links built
  bool hru_run = false;
  bool hru_master_nodata = false;
  double glacier_fraction = 0;
};

// Whether and how a cell is computed: a river cell that the cell exchange moves is
// computed in the spare row only; every other cell once, in its own row, by its process.
CellAction select_cell(const CellSelection& s);

// --- the column loop -------------------------------------------------------------------


// Per-position arrays of the water balance steps (n + 1 values each).
struct ColumnStepArrays {
  std::span<double> et;          // evapotranspiration per layer; et[0] soil evaporation
  std::span<double> transp;      // transpiration of the current land-use layer
  std::span<double> evap;        // evaporation of the current land-use layer
  std::span<double> weight;      // root weights
  std::span<double> fraction;    // root-zone share of each layer
  std::span<double> ret;         // return flow from below; ret[0] at the surface
  std::span<double> macro_cap;   // macropore capacity
  std::span<double> macro_in;    // macropore inflow
  std::span<double> extraction;  // baseflow drawn per layer
  std::span<double> moved;       // transpiration taken below the water table per layer
  std::span<double> theta_fc;    // field capacity per layer
  std::span<double> pot_t;       // potential transpiration per land-use layer [mm] (0..L)
  std::span<double> real_t;      // real transpiration per land-use layer [mm] (0..L)
};

// One land-use layer of a cell.
struct LanduseLayerInput {
  bool present = false;
  double pot_transpiration_mm = 0;  // of the sub-step
  double vegetation_cover = 0;      // 0..1
  double root_depth = 0;            // [m]
  RootParameters roots;
};

// One thread's work arrays for columns of up to n layers below n_snow snow layers and L
// land-use layers, made once. The column arrays run over positions −n_snow..n, the arrays
// of the steps around the Richards iteration over 0..n.
class ColumnScratch {
 public:
  explicit ColumnScratch(int n, int landuse_layers = 1, int n_snow = 0);
  ColumnArrays arrays() const { return arrays_; }
  std::span<double> theta_start() const { return theta_start_; }
  // The arrays of the water balance steps around the Richards iteration.
  ColumnStepArrays step_arrays() const;
  void clear();

 private:
  std::vector<double> storage_;
  std::vector<int> brackets_;
  ColumnArrays arrays_;
  std::span<double> theta_start_;
  int n_ = 0;
  int n_snow_ = 0;
  int landuse_layers_ = 1;
};

// The grids and stacks the loop reads and writes (views over the model's storage; an
// empty view is a grid the run does not have).
struct SoilColumnGrids {
  ConstGridView zone;           // "zonegrid_soilmodel"
  ConstGridView regions;        // "MPIRegions" (or none)
  ConstGridView soil_types;     // index into the soil table
  ConstGridView river_links;    // "river_links" (or none)
  ConstGridView river_depth, river_width, kolmation;  // river bed [m], width [m], leakage [1/s] (or none)
  ConstGridView glacier;        // "GlacierizedCells" (or none)
  ConstGridView hru_master;     // "MasterHydrologicResponseUnits" (or none)
  ConstGridView input;          // water input [mm per model step] (or none)
  // The snow model's outflow "snowcover_outflow" [mm per model step] (or none): what the
  // water input holds beyond it is the water other sub-models added or took after the snow
  // model (interception, the surface water the silting-up model hands back, its direct
  // runoff). When the input is this grid itself, their changes cannot be told apart.
  ConstGridView snow_outflow;
  ConstGridView silting;        // silting-up water [mm per model step] (or none)
  ConstGridView snow_solid;     // "snowstorage_solid" [mm] (or none)
  ConstGridView drainage_density;  // per cell [1/m] (or none: the sub-basin's channel density)
  ConstGridView tangens_beta;   // (or none: 0)
  ConstGridView clay_depth;     // [m] (or none)
  ConstGridView drainage_level;     // layer of the drains (or none)
  ConstGridView drainage_distance;  // [m] (or none)
  ConstGridView max_ponding;    // [mm] (or none)
  ConstGridView lake_codes;     // "lake_codes": a lake cell at 0 or more (or none)
  ConstGridView irrigation_codes;   // (or none)
  ConstGridView pot_evaporation;    // [mm per model step] (or none)
  // Per land-use layer 1..L (entry 0 unused): land use (table index), vegetation cover,
  // root depth [m]; potential and real transpiration 0..L [mm per model step].
  std::vector<ConstGridView> landuse, vegetation_cover, root_depth, pot_transpiration;
  std::vector<GridView> real_transpiration;
  GridView real_evaporation;
  GridView groundwater_level;   // layer of the water table
  GridView groundwater_distance;  // [m], negative below the surface
  GridView theta_in_level;      // "Theta_in_GWLEVEL" (or none)
  GridView ponding;             // "ponding_storage" [mm] (or none)
  GridView baseflow;            // "baseflow": in a rate [m/s] when given, out [mm per sub-step] (or none)
  StackView theta, hydraulic_heads, geodetic_heads, q_down;
  GridView q_downext;
  // Amounts of the sub-step [mm] (each optional), reset at the start of a cell's sub-step.
  GridView directflow, interflow, macropore, recharge, percolation, uprise, infiltration_excess,
      total_infiltration, drainage_flow, irrigation_amounts, river_infiltration, river_exfiltration;
  // Diagnostics (each optional).
  GridView sb1, sb2, root, mean_theta_root, substeps, storage_coefficient;
  std::vector<GridView> zeroed_on_glacier;  // output grids a fully glacierized cell zeroes
  const SoilColumnTracerSet* tracers = nullptr;  // (none without tracers)
};

// The per-sub-basin parameters the column needs, indices 0..number of sub-basins.
struct SoilColumnSubbasins {
  std::span<const int> code_index;           // zone code -> sub-basin index
  std::span<const double> channel_density;   // [1/m]
  std::span<const double> inverse_recession; // [1/m]
  std::span<const double> max_baseflow;      // [mm per model step]
  std::span<const double> snow_runoff_fraction;
};

class SoilHeatColumns;  // soil temperatures of the columns (soil_heat_column.h)

struct SoilColumnLoopSettings {
  SoilMethod method = SoilMethod::FixedStep;
  double dt_sub = 3600;  // [s]
  double sub_steps = 1;  // soil sub-steps per model step
  double min_dynamic_s = 0;
  RichardsTuning tuning;
  double clay_ksat = 0;
  double cellsize = 0;
  double nodata = -9999;
  int rank = 0;
  RowRange rows;          // own rows; the spare row is rows.first − 1
  int ncols = 0;
  bool links_built = false;  // the cell exchange of river cells is active
  int spare_columns = 0;      // columns of the spare row while it holds linked cells (else 0)
  bool hru_run = false;
  std::span<const SoilRecord> soils;  // entry 0 is the header
  const LanduseTable* landuse = nullptr;  // stress parameters of the land uses (or none)
  std::span<const int> irrigation_origin;       // per irrigation code (entry 0 unused)
  SoilColumnSubbasins subbasins;
  int silting = 0;               // 0 none, 1 direct runoff, 2 surface storage
  // The surface storage is the water that surface routing left on the cell in the last
  // sub-step: the whole of it is offered again in every sub-step, not a share of a step's.
  bool silting_each_sub_step = false;
  bool baseflow_given = false;   // the groundwater model gives "baseflow"
  bool external_table = false;   // an external groundwater table has been imposed
  const CellDumpRun* dumps = nullptr;  // dump mode: snapshots, checks and dump files
  bool macropores = true;
  // The "[lake_model]" switch: 1 closes the macropores of a lake cell holding a pond of
  // 1 mm or more, any other value but 0 those of every cell.
  int lake_switch = 0;
  // River re-infiltration: with the groundwater model and a surface-water interaction of 2
  // or more, every cell with a river link > 0 adds its river infiltration to the sub-basin
  // of the link's code (largest code: the size of subbasins.code_index − 1).
  bool reinfiltration = false;
  std::span<double> reinfiltration_m3s;  // per sub-basin index (or none)
  // The exchange with the river of a cell: with the groundwater model and the river grids,
  // the surface water interaction and the rivers per sub-basin index (or none).
  int surface_water_interaction = 0;
  std::span<RiverflowRecord> rivers;
  // Control cell (row 0: none): the per-layer values of its last water iteration.
  int control_row = 0, control_col = 0;
  // Date of the sub-step for the solver log, and the log's file ("modell_0.log" in the
  // run's folder); rank 0 appends a line for every iteration over 100 iterations.
  int day = 0, month = 0, hour = 0;
  std::string solver_log_file;
  // With heat transfer: the heat part of every computed column (or none).
  SoilHeatColumns* heat = nullptr;
  // With the layered snow pack (none without it): its snow type, S, the weight of ice in
  // the ice factor of snow and of soil positions, and the drainage density of the snow
  // layers [1/m].
  const SoilRecord* snow_type = nullptr;
  int n_snow = 0;
  double snow_ice_effectiveness = 0;
  double soil_ice_effectiveness = 0;
  double snow_drainage_density = 0;
};

// The control cell's values of its last water iteration [mm]: soil evaporation (0) and
// evapotranspiration per layer, interflow per layer, infiltration through the surface.
struct ControlCellRecord {
  bool filled = false;
  std::vector<double> et;         // 0..n
  std::vector<double> interflow;  // 0..n (0 unused)
  double surface_infiltration = 0;
};

// What the loop reports back: the first failure (code 0: none) with its entry and counts.
struct SoilColumnLoopReport {
  int code = 0;
  std::string entry;
  long long computed_cells = 0;
  long long column_sub_steps = 0;  // water iterations summed over the cells
  long long richards_iterations = 0;  // Richards iterations summed over the cells
  double limit_mm = 0;  // water made (+) or lost (−) by content limits, summed over the cells
  // Dump mode: repair messages to log, whether the last one before the limit is among them,
  // and the dump files that could not be written.
  long long dump_repair_messages = 0;
  bool dump_last_repair_message = false;
  std::vector<std::string> unopened_dumps;
  // The floating-point report calls of the tracer transport, in row order.
  FpeLoopRecord fpe;
};

// Error thrown by a kernel: its code and its FATAL entry.
struct ColumnFailure {
  int code;
  std::string entry;
};

// A failure met by one thread: the kernel's code and entry.
struct ColumnFailureSlot {
  int code = 0;
  std::string entry;
};

// The work arrays and per-thread records of the column loop, made once for the run (one
// set per thread of row_thread_count()) and reused by every sub-step.
class SoilColumnWorkspace {
 public:
  explicit SoilColumnWorkspace(int max_layers, int landuse_layers = 1, int n_snow = 0);
  int max_layers() const { return max_layers_; }
  // The control cell's record of the last loop (filled only by the process computing it).
  const ControlCellRecord& control() const { return control_; }

  // Makes sets for threads the run added since (none in a steady run).
  void ensure_threads(int n);

  struct SlowIteration {
    int row, col, iterations;
    double error;
  };
  struct PerThread {
    PerThread(int n, int landuse_layers, int n_snow)
        : scratch(n, landuse_layers, n_snow),
          landuse(static_cast<std::size_t>(landuse_layers) + 1),
          real_transpiration(static_cast<std::size_t>(landuse_layers) + 1),
          tracer_scratch(n),
          dump(n, landuse_layers) {
      slow.reserve(64);
    }
    ColumnScratch scratch;
    std::vector<LanduseLayerInput> landuse;
    std::vector<double> real_transpiration;  // of the cell's sub-step, 0..L
    SoilTracerScratch tracer_scratch;
    long long cells = 0;
    double sub_steps = 0;
    double limit_mm = 0;
    long long iterations = 0;
    ColumnFailureSlot failure;
    std::vector<SlowIteration> slow;
    CellDumpThread dump;
  };

 private:
  friend SoilColumnLoopReport soil_column_loop(const SoilColumnKernels&, const SoilColumnLoopSettings&,
                                               const SoilColumnGrids&, SoilColumnWorkspace&);
  int max_layers_;
  int landuse_layers_;
  int n_snow_ = 0;
  std::vector<PerThread> threads_;
  ControlCellRecord control_;
};

// Advances every selected column by one sub-step. Rows run in parallel; a failure stops
// the other threads at their next cell. The caller raises a failure after the region
// (see raise_column_failure).
SoilColumnLoopReport soil_column_loop(const SoilColumnKernels& kernels, const SoilColumnLoopSettings& s,
                                      const SoilColumnGrids& g, SoilColumnWorkspace& work);

// The sub-basin index of a river link's code; a link without a sub-basin is a
// ColumnFailure with the river-link entry (199).
int reinfiltration_subbasin(double link, std::span<const int> code_index);

// Logs the entry of a failed loop and throws its code; nothing when the loop succeeded.
void raise_column_failure(DiagnosticsLog& log, const SoilColumnLoopReport& report);

}  // namespace tolvo
