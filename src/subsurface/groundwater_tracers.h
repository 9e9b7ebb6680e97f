#pragma once
// Dissolved substances (tracers) in an aquifer layer: a concentration per cell that decays
// by a factor per sub-step and is mixed with the water of the sub-step's balance. The
// mixing is upwind: what flows through a face carries the concentration of the cell it
// leaves; the cell's new concentration is its mass (c · stored volume plus the inflows'
// masses less the outflows') over its new volume (stored volume plus net inflow), 0 when
// that volume or that mass is not above 0.
// Units: concentrations as the tracer defines them; volumes [m³] (LayerCellVolumes).
// Balance: a face's volume enters one cell and leaves its neighbour with the same
// concentration, so Σ c · V over the basin changes only by what crosses its edges.

#include <span>

#include "framework/matrix.h"
#include "subsurface/groundwater_kernels.h"

namespace tolvo {

// Storage concentrations of the layers above, at and below the mixed one (halo rows;
// `above` and `below` empty for the top and lowest layer).
struct TracerLayerConcentrations {
  ConstGridView above, here, below;
};

// The new concentration of a cell from its volumes and the upwind concentrations.
double UpwindMixedConcentration(const CellVolumes& v, double c, double c_east, double c_west, double c_south,
                                double c_north, double c_above, double c_below);

// Multiplies the concentration of every active cell of the rows by the decay factor.
void DecayTracerLayer(const AquiferDomain& d, GridView concentration, double factor, RowRange rows);

// The largest share of its stored water a cell of layer n sends out over the sub-step
// (outflow volume / stored volume; a cell without stored water sets no share).
double LargestOutflowShare(const AquiferDomain& d, std::span<const AquiferLayer> layers, int n, double dt_s,
                           RowRange rows);

// Mixes layer n's tracer over part `part` (1..parts) of the sub-step: every flow carries
// 1/parts of its sub-step volume and the stored water has grown by the earlier parts' net
// inflow. With parts ≥ the largest outflow share no cell sends out more water than it
// holds, so concentrations stay within those they are mixed from. The new concentration
// of every active cell goes into `mixed`; the storage concentrations are read only.
void MixTracerLayer(const AquiferDomain& d, std::span<const AquiferLayer> layers, int n, double dt_s,
                    const TracerLayerConcentrations& c, GridView mixed, RowRange rows, int parts = 1, int part = 1);

}  // namespace tolvo
