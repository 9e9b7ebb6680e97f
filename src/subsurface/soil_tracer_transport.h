#pragma once
// Dissolved substances (tracers) in one soil column over one water iteration: after the
// vertical water flow of the iteration is known they move with it between the layers,
// leave with interflow, baseflow and river exfiltration, enter with river re-infiltration,
// mix over the saturated zone (and, with the groundwater model, with the top aquifer
// below the column) and decay.
//
// Values: level 0 is the surface store, levels 1..n the soil layers from the top. An
// evaporating tracer's values are concentrations [c]; any other tracer's values are
// amounts [c · mm] (concentration · water depth: c · θ · d · 1000 for a layer). Exported
// amounts are [c · mm] for both kinds.
// Units: fluxes [m/s], vertical ones positive upward; dt [s]; F = dt · 1000; d, z [m].
// Limits: a non-evaporating tracer carries at most flow · max_conc · F with any flow. A
// layer whose outflows exceed its water lets its own water go at its own concentration;
// the rest of each flow passes at the concentration of the layer above (the surface store
// for layer 1).
// Balance (non-evaporating tracer): the amounts of levels 0..n after the call plus the
// exports equal the amounts at entry plus the river input, times the decay factor.
// Nothing here allocates: work arrays come from the caller.

#include <span>

namespace tolvo {

// One tracer as the soil column sees it.
struct SoilTracer {
  bool evaporating = false;
  double max_conc = 0;  // largest concentration a flow carries (non-evaporating tracers)
  double decay = 1;     // factor per water iteration (1: the tracer does not decay)
};

// The water flows of one cell's water iteration (arrays over positions 0..n).
struct TracerColumnFlows {
  int n = 0;  // soil layers
  int G = 1;  // layer of the water table (1..n)
  std::span<const double> q;        // through the bottom of each position; q[0] the surface
  std::span<const double> theta0;   // content before the iteration's vertical flow and withdrawals
  std::span<const double> theta;    // content after the iteration
  std::span<const double> theta_s;  // saturated content
  std::span<const double> d;        // thickness [m]
  std::span<const double> z;        // height of the bottom of each layer; z[0] the surface [m]
  std::span<const double> I;        // interflow (drains included)
  std::span<const double> B;        // baseflow drawn per layer
  std::span<const double> X;        // exfiltration into the river per layer
  std::span<const double> R;        // re-infiltration from the river per layer
  std::span<const double> U;        // return flow from below the saturated zone per layer
  double dt = 0;
  double F = 0;
  double Q = 0;  // surface runoff rate of the iteration
  // Surface water the surface store's tracer is shared by [m/s]: runoff, infiltration and
  // the water left in the pond (as a rate over the iteration).
  double surface_water = 0;
};

// The top aquifer below the column, with the groundwater model.
struct TracerAquifer {
  double thickness = 0;  // of the aquifer below the soil column [m]
  double* c_gw = nullptr;  // its concentration; updated by the mixing
};

// The per-layer work arrays of the transport (n + 1 values each).
struct TracerWork {
  std::span<double> phi;  // share of each outflow the layer's own water can carry
  std::span<double> Ip, Bp, Xp, qp;  // limited interflow, baseflow, exfiltration, vertical flux
};

// What one tracer took out of the column in the iteration [c · mm].
struct TracerExports {
  double interflow = 0;
  double baseflow = 0;
  double exfiltration = 0;
  double bottom = 0;  // through the bottom of the column
  double river_input = 0;  // entered with river re-infiltration
};

// The deepest layer the transport reaches: n when G ≥ n − 1; else G + 1, extended over
// the layers below fed by return flow and over the layers with river exchange.
int deepest_transported_layer(const TracerColumnFlows& f);

// The limiting share φ and the limited flows of layers 1..N (the same for every tracer).
void limit_layer_outflows(const TracerColumnFlows& f, int N, const TracerWork& w);

// Moves one tracer of one cell through the iteration. A holds its values at levels
// 0..n and is updated; A0 receives the values at entry. c_river is the concentration of
// re-infiltrating river water. Returns what left the column; layers (when given, n + 1
// entries) receives what left and entered each transported layer 1..N.
TracerExports transport_tracer(const SoilTracer& t, const TracerColumnFlows& f, int N, const TracerWork& w,
                               std::span<double> A, std::span<double> A0, double c_river,
                               const TracerAquifer& aquifer, std::span<TracerExports> layers = {});

// Water input reaching the surface store in the iteration [mm] with concentration c_in.
// Without ponding an evaporating tracer's store takes the input's concentration; with
// ponding it becomes the volume-weighted mean of the pond's water (pond_mm) and the input.
// A non-evaporating tracer's store gains input · c_in.
void tracer_surface_input(const SoilTracer& t, double& store, double c_in, double input_mm, bool ponding,
                          double pond_mm);

// The tracer leaving with the surface runoff of rate Q (without ponding) into the direct
// runoff value [c · mm, or c for an evaporating tracer]; a non-evaporating tracer's
// amount min(store, Q · max_conc · F) leaves the store.
double tracer_direct_runoff(const SoilTracer& t, double& store, double Q, double F);

// The tracer leaving with the ponding overflow: of a pond of pond_rate [m/s] the share
// overflow / pond_rate overflows; none when nothing overflows.
double tracer_ponding_overflow(const SoilTracer& t, double& store, double overflow, double pond_rate, double F);

// Decay factor per soil sub-step of a tracer with half-life half_time [days] over a
// sub-step of dt_sub_min minutes: exp(−ln 2 · t / T½).
double decay_factor_per_substep(double half_time_days, double dt_sub_min);

}  // namespace tolvo
