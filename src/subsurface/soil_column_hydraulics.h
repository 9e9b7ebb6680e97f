#pragma once
// Water movement in one soil column after the Richards equation, solved by a Picard-type
// iteration of layer heads, Darcy fluxes between layers and a mass-conserving update of
// the water contents (Richards 1931; van Genuchten 1980 and Mualem 1976 for the
// retention curve and the relative conductivity, looked up in the soil type's tables).
//
// Column layout: positions 0..n, soil layer 1 at the top, position 0 the soil surface
// (its height is the surface elevation, its flux the flux through the surface). Every
// array of ColumnArrays is indexed by position and holds n + 1 values.
// Units: thickness d [m], heights z and heads H [m], suction [m], fluxes q, interflow I,
// river infiltration R and exfiltration X [m/s]; q is positive upward, q[p] is the flux
// through the lower boundary of position p (q[0] through the surface). Water contents
// θ [m³/m³].
// Invariant: the water contents written by iteration_error are θ0 + (q[j] − q[j−1] − I[j]
// − X[j] + R[j]) · dt / d[j], so the column's water changes by exactly its boundary
// fluxes, interflow and river terms (up to the limit of a content to [0, 1]).
//
// The kernels hold no state between calls, allocate nothing and write only the arrays of
// their arguments; the conductivity array lives in the caller's ColumnArrays.

#include <span>

#include "tables/soil_table.h"

namespace tolvo {

// The per-position arrays of one column (all spans of n + 1 values, owned by the caller).
struct ColumnArrays {
  std::span<double> d;        // thickness
  std::span<double> theta_s;  // saturated water content
  std::span<double> theta_r;  // residual water content
  std::span<double> theta0;   // content at the start of the water iteration
  std::span<double> theta_m;  // the iteration's mean content
  std::span<double> theta_n;  // unclamped new content (update_theta)
  std::span<double> theta;    // content written by iteration_error
  std::span<double> z;        // height of the lower boundary; z[0] the soil surface
  std::span<double> H;        // hydraulic head
  std::span<double> psi0;     // suction at the start of the water iteration
  std::span<double> q;        // flux through the lower boundary, positive upward
  std::span<double> I;        // interflow (lateral outflow, drainage included)
  std::span<double> R;        // river infiltration into the layer
  std::span<double> X;        // exfiltration of the layer into the river
  std::span<double> Ks;       // saturated conductivity of the position (column_fluxes)
  std::span<const double> liquid_fraction;  // liquid fraction of the water; empty without heat transfer
};

// The values of one cell that the hydraulic kernels read.
struct ColumnParameters {
  const SoilRecord* soil = nullptr;
  int n = 0;             // soil layers
  int G = 0;             // layer that contains the water table
  double W = 0;          // height of the water table [m]
  int L = 1;             // deepest layer reached by evapotranspiration (at least 1)
  int clay_layer = -9999;
  double dt = 0;         // length of the water iteration [s]
  double clay_ksat = 0;  // conductivity of the clay layer [m/s]
  double ice_effectiveness = 0;  // weight of ice in the ice factor of a soil position
  // Frozen ground: layers whose bottom lies deeper than the thaw depth [m] conduct only
  // reduced_ksat [m/s]. Negative depth: no thaw depth for this cell.
  double thaw_depth = -1;
  double reduced_ksat = 1e-9;
  double drainage_density = 0;  // of the cell's sub-basin [1/m]
  double slope_factor = 0;      // min(1, tan beta) of the cell
  int drainage_level = -1;      // layer of the drains; negative without drains
  double drain_distance = 0;    // [m]
  double cellsize = 0;          // [m]
  bool river_inflow = false;    // groundwater model with river infiltration
  bool river_outflow = false;   // groundwater model with exfiltration
  // The cell's river (soil_river_exchange.h), exchanged with in every iteration; none
  // without the groundwater model or a river in the cell.
  struct RiverCell* river = nullptr;
};

// Totals of river infiltration and exfiltration of the cell [m/s].
struct RiverTotals {
  double infiltration = 0;
  double exfiltration = 0;
};

// Positions a kernel computes: first..last (empty when last < first).
struct PositionRange {
  int first = 1;
  int last = 0;
};

// Which kernel asks for its active range.
enum class ColumnKernel { kHeads, kFluxes, kUpdate, kError };

// The positions a kernel computes: from 1 to a little below the larger of the water table
// layer, the deepest evapotranspiration layer and the deepest layer with river exchange.
PositionRange active_range(ColumnKernel kernel, const ColumnParameters& p, const ColumnArrays& c);

// Darcy flux [m/s] between an upper layer (head H1 [m], thickness d1 [m]) and the layer
// below (H2, d2) at conductivity K [m/s]; positive upward.
inline double darcy_flux(double K, double H1, double H2, double d1, double d2) {
  return K * (H1 - H2) / (-(d1 + d2) / 2);
}

// Ice factor of a position: the share of its water that enters suction and conductivity.
inline double ice_factor(const ColumnParameters& p, const ColumnArrays& c, int j) {
  return c.liquid_fraction.empty() ? 1.0 : 1.0 - (1.0 - c.liquid_fraction[j]) * p.ice_effectiveness;
}

// Heads of the active layers; the suction at the start (psi0) is computed when iteration is
// 0. Returns the mean suction of the last layer computed [m] (0 when none).
double layer_hydraulic_properties(const ColumnParameters& p, const ColumnArrays& c, int iteration);

// Conductivity [m/s] at the boundary between layers j and j + 1: the clay conductivity next
// to the clay layer, saturated below the water-table layer, the larger of the two layer
// conductivities two or more layers above it, their thickness-weighted harmonic mean
// nearer; the ratio of the relative conductivities is limited to maxratio.
double layer_boundary_conductivity(const ColumnParameters& p, const ColumnArrays& c, int j);

// Interflow I[j] of layer j (drain flux included, limited to the drainable water above
// field capacity); returns the drain flux [m/s].
double layer_interflow(const ColumnParameters& p, const ColumnArrays& c, int j);

// Fluxes, interflow and drainage of one iteration with the surface input r [m/s, positive
// downward]. Returns the drain flux [m/s] of the drainage layer (0 without drains).
double column_fluxes(const ColumnParameters& p, const ColumnArrays& c, double r);

// The flux through the bottom of layer j after the saturation limit and the bisection that
// keeps the flux from reversing the heads of the two layers; may reduce I[j].
double limit_layer_flux(const ColumnParameters& p, const ColumnArrays& c, int j);

// New contents with saturation excess and deficit removed by adjusting the fluxes,
// interflow and river terms; at most max_passes passes. Returns the passes made.
int update_theta(const ColumnParameters& p, const ColumnArrays& c, int max_passes, RiverTotals& river);

// Final contents of iteration i (1, 2, ...) and the iteration error: the largest change of
// a layer's content. `count` receives i − 3 after the third iteration.
double iteration_error(const ColumnParameters& p, const ColumnArrays& c, int i, int& count);

}  // namespace tolvo
