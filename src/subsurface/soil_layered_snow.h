#pragma once
// The layered snow pack on top of a soil column. Up to nSnow snow layers lie on the soil
// surface and belong to the column the soil-water solver computes: snow layer i (1 = top,
// nSnow = bottom, on the soil) sits at column position i − nSnow. The water of a layer is
// held by the column as its water content θ and thickness d; the pack splits it into
// solid S and liquid L water [mm] by the liquid fraction of the layer's temperature.
//
// Between water iterations layered_snow_step keeps the layers consistent: it caps the
// liquid water at the holding capacity K · S and at the pore space, shrinks a layer as it
// melts, lets a layer settle to the target density of its snow type, merges a thin settled
// layer with the one above and removes a layer that has lost its solid water. What leaves
// the pack is returned as released water [mm].
//
// Invariants: present layers are the lowest ones (θ ≥ 0 from some layer down to nSnow); an
// absent layer has θ, d, T and density −9999 and S = L = 0. The water of the pack before a
// step equals the water after it plus the released water: Σ θ · 1000 · d = Σ (S + L) + R.
// Units: thickness [m], water [mm], density relative to water, temperature [°C].

#include <span>

#include "subsurface/soil_heat_kernels.h"

namespace tolvo {

class SoilRecord;

// Per-layer values of snow type 1, indexed by layer 1..nSnow (index 0 unused).
struct LayeredSnowType {
  std::span<const double> thickness_ref;  // reference thickness of a new layer [m]
  std::span<const double> dry_density;    // target density of a settled layer [kg/m³]
  std::span<const double> par_m, par_n, alpha;  // retention parameters of the freezing relation
  // The snow type's freezing tables, as the heat step reads the liquid fraction from them.
  // With them a drained layer takes the temperature at which these tables give its new
  // liquid fraction, so that the next step finds the same liquid water; without them the
  // closed freezing relation of the retention parameters.
  const SoilRecord* freezing = nullptr;
};

struct LayeredSnowParameters {
  double holding_capacity = 0.1;  // K: liquid water a layer holds per unit of solid water
  double factor = 1.22;           // suction per kelvin below 0 °C
  double c_ice0 = 2090;           // J/(kg·K)
  double c_water = 4187;          // J/(kg·K)
};

// The per-layer stacks of a cell (levels 0..nSnow; level i is layer i).
struct LayeredSnowLayers {
  std::span<double> solid, liquid, density;
};

// The column arrays of the snow positions 1 − nSnow..0.
struct LayeredSnowColumn {
  PositionArray theta, theta_s, d, fL, T;
};

// One step of the snow layers of a cell; returns the water released from the pack [mm].
double layered_snow_step(int n_snow, const LayeredSnowParameters& p, const LayeredSnowType& type,
                         const LayeredSnowLayers& layers, const LayeredSnowColumn& column);

// Melt water m [mm] released onto the soil fills the free pore space of soil layer 1, then
// of layer 2; returns what does not fit [mm], which leaves the cell as direct runoff and
// infiltration excess. θ and θs of layers 1 and 2, thickness [m].
double melt_into_top_layers(double m, std::span<double> theta, std::span<const double> theta_s,
                            std::span<const double> d);

}  // namespace tolvo
