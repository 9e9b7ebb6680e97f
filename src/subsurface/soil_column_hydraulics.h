#pragma once
// Water movement in one soil column after the Richards equation, solved by a Picard-type
// iteration of layer heads, Darcy fluxes between layers and a mass-conserving update of
// the water contents (Richards 1931; van Genuchten 1980 and Mualem 1976 for the
// retention curve and the relative conductivity, looked up in the soil type's tables).
//
// Column layout: positions −S..n, soil layer 1 at the top. Without a layered snow pack
// (S = 0) position 0 is the soil surface (its height is the surface elevation, its flux
// the flux through the surface). With a pack of S layers, snow layer i (1 = top) sits at
// position i − S, so position 0 is the lowest snow layer, on the soil surface; z[0] is
// still the height of the soil surface and q[0] the flux from the pack into the soil. The
// kernels compute from the first active position (the highest snow layer holding snow,
// else soil layer 1) down; the input enters through the top of that position. Every array
// of ColumnArrays is indexed by position.
// Units: thickness d [m], heights z and heads H [m], suction [m], fluxes q, interflow I,
// river infiltration R and exfiltration X [m/s]; q is positive upward, q[p] is the flux
// through the lower boundary of position p (q[0] through the surface). Water contents
// θ [m³/m³].
// Invariant: the water contents written by iteration_error are θ0 + (q[j] − q[j−1] − I[j]
// − X[j] + R[j]) · dt / d[j], so the column's water changes by exactly its boundary
// fluxes, interflow and river terms (up to the limit of a content to [0, 1]).
//
// The kernels hold no state between calls, allocate nothing and write only the arrays of
// their arguments; the conductivity array and the values column_fluxes looks up once per
// iteration live in the caller's ColumnArrays.

#include <cassert>
#include <span>
#include <type_traits>

#include "tables/soil_table.h"

namespace tolvo {

// One array of the column over positions first..first + size − 1 (first = −S ≤ 0). As a
// span it is the part from position 0 on (the soil surface and the soil layers), which is
// what the steps outside the Richards iteration work on.
template <class T>
struct BasicColumnArray {
  std::span<T> values;
  int first = 0;
  BasicColumnArray() = default;
  BasicColumnArray(std::span<T> v, int first_position = 0) : values(v), first(first_position) {}
  template <class U>
  BasicColumnArray(const BasicColumnArray<U>& o) : values(o.values), first(o.first) {}
  T& operator[](int p) const {
    assert(p >= first && p - first < static_cast<int>(values.size()));
    return values[static_cast<std::size_t>(p - first)];
  }
  bool empty() const { return values.empty(); }
  // The values from position p on.
  std::span<T> from(int p) const { return values.subspan(static_cast<std::size_t>(p - first)); }
  std::span<T> soil() const { return values.empty() ? values : from(0); }
  operator std::span<T>() const { return soil(); }
  operator std::span<const T>() const
    requires(!std::is_const_v<T>)
  {
    return soil();
  }
  auto begin() const { return soil().begin(); }
  auto end() const { return soil().end(); }
  std::size_t size() const { return soil().size(); }
  T* data() const { return soil().data(); }
};
using ColumnArray = BasicColumnArray<double>;
using ConstColumnArray = BasicColumnArray<const double>;

// The per-position arrays of one column (owned by the caller).
struct ColumnArrays {
  ColumnArray d;        // thickness
  ColumnArray theta_s;  // saturated water content
  ColumnArray theta_r;  // residual water content
  ColumnArray theta0;   // content at the start of the water iteration
  ColumnArray theta_m;  // the iteration's mean content
  ColumnArray theta_n;  // unclamped new content (update_theta)
  ColumnArray theta;    // content written by iteration_error
  ColumnArray z;        // height of the lower boundary; z[0] the soil surface
  ColumnArray H;        // hydraulic head
  ColumnArray psi0;     // suction at the start of the water iteration
  ColumnArray q;        // flux through the lower boundary, positive upward
  ColumnArray I;        // interflow (lateral outflow, drainage included)
  ColumnArray R;        // river infiltration into the layer
  ColumnArray X;        // exfiltration of the layer into the river
  ColumnArray Ks;       // saturated conductivity of the position (column_fluxes)
  // Looked up once per position and iteration by column_fluxes: the relative conductivity
  // at the iteration's mean content, and the suction psi of the last ice-weighted content
  // psi_theta asked for while the fluxes are limited (the lower layer's content of one
  // boundary is mostly the upper layer's of the next).
  ColumnArray kr;
  ColumnArray psi_theta;
  ColumnArray psi;
  ConstColumnArray liquid_fraction;  // liquid fraction of the water; empty without heat transfer
  // Per position the bracket (1..29) of its retention row that held the content of its last
  // suction look-up, where the next search starts; empty: every search starts afresh.
  BasicColumnArray<int> suction_bracket;
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
  // The layered snow pack: its snow type (positions −S..0 use horizons 0..S of it), S, the
  // first active position (1 without snow on the cell), the weight of ice in the ice factor
  // of a snow position and the drainage density of the snow layers [1/m].
  const SoilRecord* snow = nullptr;
  int n_snow = 0;
  int first = 1;
  double snow_ice_effectiveness = 0;
  double snow_drainage_density = 0;
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

// The table record and horizon that describe position j: a soil position its soil
// type's horizon j, a snow position horizon S + j of the snow type.
struct ColumnHorizon {
  const SoilRecord* record;
  int layer;
};
inline ColumnHorizon horizon_of(const ColumnParameters& p, int j) {
  return j >= 1 || p.snow == nullptr ? ColumnHorizon{p.soil, j} : ColumnHorizon{p.snow, p.n_snow + j};
}

// Weight of ice in the ice factor of position j.
inline double ice_effectiveness_of(const ColumnParameters& p, int j) {
  return j <= 0 && p.snow != nullptr ? p.snow_ice_effectiveness : p.ice_effectiveness;
}

// Ice factor of a position: the share of its water that enters suction and conductivity.
inline double ice_factor(const ColumnParameters& p, const ColumnArrays& c, int j) {
  return c.liquid_fraction.empty() ? 1.0 : 1.0 - (1.0 - c.liquid_fraction[j]) * ice_effectiveness_of(p, j);
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
