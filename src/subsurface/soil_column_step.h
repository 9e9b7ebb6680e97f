#pragma once
// The water balance of one soil column over one soil sub-step: per water iteration the
// water offered to the surface (snow direct runoff, silting-up water, ponding), macropore
// infiltration, evapotranspiration of every land-use layer taken from the rooted layers,
// baseflow and the saturated zone, the Richards iteration (soil_column_solver.h), then
// interflow, the water table, recharge, surface runoff and infiltration excess, ponding
// overflow and the moisture diagnostics.
//
// Units: amounts [mm] per sub-step unless named otherwise, rates [m/s], F = dt · 1000 turns
// a rate into mm per iteration; depths and heights [m]; contents θ [m³/m³].
// Balance: per sub-step, water input + silting-up water = direct runoff + interflow (the
// drains included) + base flow drawn + evapotranspiration + change of the column's water
// (with the layered snow pack: of the pack's too) + change of the ponding storage; the
// content limits of the Richards update (θ kept to 0..1) are the only terms outside it and
// are reported as `limit_mm`.
// Nothing here allocates: every array lives in the caller's ColumnScratch.

#include <span>

#include "subsurface/soil_column_solver.h"
#include "subsurface/soil_column_tracers.h"

namespace tolvo {

// Where the silting-up water of a cell goes.
enum class SiltingWater { kNone, kDirectRunoff, kSurfaceStorage };

// The cell's values of the sub-step besides its column.
struct ColumnStepInput {
  double water_input_mm = 0;
  double silting_mm = 0;
  SiltingWater silting = SiltingWater::kNone;
  double snow_solid_mm = -1;  // below 0: no snow storage grid
  double snow_runoff_fraction = 0;
  double max_ponding_mm = 0;  // 0 or less: no ponding at the cell
  // A lake cell: its pond is the lake's water, which the lake releases through its reservoir
  // in the discharge routing; the pond does not overflow into direct runoff.
  bool lake = false;
  bool macropores = true;
  std::span<const LanduseLayerInput> landuse;  // layers 1..L (entry 0 unused)
  double pot_evaporation_mm = 0;
  // The groundwater model or an external table gives the baseflow rate [m/s]; otherwise it
  // follows the water table: max_baseflow [mm per model step] · exp(distance · inverse
  // recession [1/m]).
  bool baseflow_given = false;
  double baseflow_rate = 0;
  double max_baseflow_mm = 0;
  double inverse_recession = 0;
  double sub_steps = 1;
  CellDump* dump = nullptr;     // dump mode: the cell's snapshot, checks and repairs
  bool external_table = false;  // the water table is imposed from outside: recharge is the flux into it
  bool irrigation_from_groundwater = false;
  double clay_depth = 0;  // [m]; 0 or less: no clay layer
  ColumnTracerStep* tracers = nullptr;  // the cell's tracers (none without tracers)
};

// The cell's state carried from sub-step to sub-step besides its column.
struct ColumnCellState {
  double groundwater_level = 1;     // layer index of the water table (a double)
  double groundwater_distance = 0;  // water table − surface [m], negative below
  double theta_in_level = 0;        // content of the water-table layer
  double ponding_mm = 0;
};

// Results of the sub-step: sums over its water iterations [mm] unless named otherwise.
struct ColumnStepOutput {
  double directflow = 0, interflow = 0, macropore = 0, drainage = 0;
  double real_evaporation = 0, recharge = 0, percolation = 0, uprise = 0;
  double irrigation = 0, infiltration_excess = 0, total_infiltration = 0;
  double baseflow = 0;  // drawn (negative: water entering from below)
  std::span<double> real_transpiration;  // 0..L, added to; entry 0 the cell's total ET
  double sb1 = 0, sb2 = 0, root_mm = 0, mean_theta_root = 0;
  double storage_coefficient = 0.01;
  double water_iterations = 1;
  double limit_mm = 0;  // water made (+) or lost (−) by the content limits of the update
  double surface_infiltration_mm = 0;  // of the last iteration
  double F = 0;                        // of the last iteration
  double river_infiltration_rate = 0;  // summed over the iterations [m/s]
  double river_infiltration = 0, river_exfiltration = 0;  // [mm]
  int slowest_iterations = 0;
  long long richards_iterations = 0;  // summed over the water iterations
  double slowest_error = 0;
};

// The heat part of a column's sub-step (soil_heat_column.h), none without heat transfer.
class ColumnHeatHook {
 public:
  virtual ~ColumnHeatHook() = default;
  // The number of heat sub-steps nH the initial heat pass asks for.
  virtual double initial_heat_steps(const ColumnArrays& a) = 0;
  // h heat sub-steps of dtH [s] after a water iteration, with its water fluxes and its
  // macropore inflow [m/s].
  virtual void heat_sub_steps(int h, double dtH, const ColumnArrays& a, std::span<const double> macropore_inflow) = 0;
  // With the layered snow pack: keeps its layers consistent at their temperatures and
  // returns the water they released [mm]; 0 without a pack.
  virtual double snow_release() { return 0; }
  // Whether snow lies on the cell (its macropores then take no water).
  virtual bool snow_cover() const { return false; }
  // With the layered snow pack: puts the pack's layers into the snow positions of the water
  // column (contents, thickness, heights; with `initial` also the heads of the stack) and
  // sets the first active position p.first; nothing without a pack.
  virtual void load_snow_water(ColumnParameters& /*p*/, const ColumnArrays& /*a*/, bool /*initial*/) {}
  // The liquid fraction of the water over the column's positions, for the ice factor of
  // the hydraulic kernels (empty when the hook gives none).
  virtual ConstColumnArray liquid_fraction() const { return {}; }
  // The heat part as a cell dump reads it (none when the hook gives none).
  virtual HeatDumpSource* dump_source() { return nullptr; }
};

struct ColumnStepSettings {
  SoilMethod method = SoilMethod::FixedStep;
  double dt_sub = 3600;  // [s]
  double min_dynamic_s = 0;
  RichardsTuning tuning;
  ColumnHeatHook* heat = nullptr;
};

// Baseflow rate [m/s] from the water table: max_baseflow_mm / (sub_steps · F · nW) ·
// exp(distance · inverse_recession). An exponent 0 · ∞ (an inverse recession stored as
// 1/0 at the water table at the surface) counts as 0.
double baseflow_from_water_table(double max_baseflow_mm, double distance, double inverse_recession,
                                 double sub_steps, double F, double nW);

// Height [m] of the water table in layer G of content theta_G: the surface when layer 1 is
// saturated and G is 1, the top of G when G is saturated, else between the bottom of G at
// field capacity and its top at saturation.
double water_table_height(const ColumnArrays& a, std::span<const double> theta_fc, int G, double theta_G);

// Baseflow and the saturated zone of one iteration: fills from below with B < 0, finds the
// water-table layer, drains the layers below it with B ≥ 0 down to field capacity.
// Returns the rate drawn [m/s]; updates G, the water-table content and the layers.
double baseflow_and_saturated_zone(const ColumnArrays& a, const ColumnStepArrays& s, int n, double B, double dt,
                                   int& G, double& theta_in_level);

// Takes the transpiration T and evaporation E of one land-use layer out of layers 1..R:
// layers at or above the water table down to 0 (layer 1) or θr, deeper demand from the
// water-table layer downward to field capacity. Returns (transpiration, evaporation) taken
// [m/s].
struct EvapotranspirationTaken {
  double transpiration = 0;
  double evaporation = 0;
};
EvapotranspirationTaken take_evapotranspiration(const ColumnArrays& a, const ColumnStepArrays& s, int R, int G,
                                                double groundwater_level, double dt);

// Advances the column in `a` (soil positions 0..n loaded from the stacks; with the layered
// snow pack the heat hook fills the snow positions) by one sub-step.
void column_sub_step(const SoilColumnKernels& k, const ColumnStepSettings& settings, ColumnParameters& p,
                     const ColumnArrays& a, const ColumnStepArrays& s, const ColumnStepInput& in,
                     ColumnCellState& state, ColumnStepOutput& out);

}  // namespace tolvo
