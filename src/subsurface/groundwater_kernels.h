#pragma once
// Kernels of the two-dimensional groundwater flow of stacked aquifer layers: the face
// transmissivities, the leakage between layers, the head solution of one layer (point
// iteration with over-relaxation in red-black order, or row-wise implicit solution with
// explicit north-south flow), the Darcy fluxes, the cell balance and the count of
// oscillating cells. The flow equation is the finite-difference form of
//   S dh/dt = d/dx(T dh/dx) + d/dy(T dh/dy) + L + Q
// on cells of dx by dy metres (rows grow southwards).
//
// Units: heads, thicknesses, elevations and cell sizes m; conductivities m/s;
// transmissivities m^2/s; fluxes, leakage and the fixed flux Q m/s (positive into the
// aquifer); leakage coefficients 1/s; storage coefficients -; time steps s; balances mm.
//
// Every kernel works on the rows it is given, one OpenMP loop over them, and writes only
// cells of those rows; it reads the neighbours' values in the halo rows. A cell takes part
// when it is active: a zone-grid value, computed by this process and a glacier fraction
// below 1.

#include <optional>
#include <span>
#include <vector>

#include "framework/matrix.h"
#include "framework/run_context.h"

namespace tolvo {

// Where the aquifer is and how it is cut into cells.
struct AquiferDomain {
  ConstGridView zone{};     // zone grid: nodata outside the basin
  ConstGridView regions{};  // "MPIRegions" (empty: every cell is this process's)
  ConstGridView glacier{};  // glacier fraction (empty: none)
  ConstGridView dx{};       // "CellSizeX" (empty: cellsize)
  ConstGridView dy{};       // "CellSizeY" (empty: cellsize)
  double cellsize = 0;
  int nrows = 0;
  int ncols = 0;
  int rank = 0;
  bool close_zone_borders = false;  // no lateral flow between cells of different zones

  bool exists(int r, int c) const { return r >= 1 && r <= nrows && c >= 1 && c <= ncols; }
  bool has_zone(int r, int c) const { return zone(r, c) > kNodata; }
  bool own(int r, int c) const { return regions.empty() || static_cast<int>(regions(r, c)) == rank; }
  // Glacier fraction limited to 0..1.
  double ice(int r, int c) const;
  bool active(int r, int c) const { return has_zone(r, c) && own(r, c) && ice(r, c) < 1; }
  bool closed(int r1, int c1, int r2, int c2) const { return close_zone_borders && zone(r1, c1) != zone(r2, c2); }
  double width(int r, int c) const { return dx.empty() ? cellsize : dx(r, c); }
  double height(int r, int c) const { return dy.empty() ? cellsize : dy(r, c); }
};

// The grids of one aquifer layer.
struct AquiferLayer {
  GridView h;        // head
  GridView h_old;    // head at the start of the sub-step
  GridView h_prev;   // head at the start of the previous sub-step
  GridView iterate;  // previous iterate of the adaptive relaxation (own rows)
  GridView tx;       // transmissivity of the face towards the east neighbour
  GridView ty;       // transmissivity of the face towards the south neighbour
  GridView qx;       // Darcy flux towards the east neighbour
  GridView qy;       // Darcy flux towards the south neighbour
  GridView balance;  // mm (own rows)
  GridView leakage;  // from the layer below into this one (own rows)
  GridView top;      // top elevation of the layer
  ConstGridView thickness;
  ConstGridView kx;
  ConstGridView ky;
  ConstGridView storage;
  ConstGridView fixed_head;  // nodata: no fixed head
  ConstGridView fixed_flux;  // nodata: none
  ConstGridView kolmation;   // towards the layer below (empty for the lowest layer)
};

// Frozen ground that narrows the conducting thickness of the top layer: a frozen depth
// (scaled) taken off the thickness, else a thaw depth (negative, m) that bounds it.
struct FrozenGround {
  ConstGridView frozen_depth;
  double frozen_scaling = 1.0;
  ConstGridView thaw_depth;
};

// Transmissivities Tx, Ty of a layer: harmonic means of the saturated thickness times the
// conductivity of the two cells of a face; a dry cell takes its wetter neighbour's value
// when the water flows towards it.
void ComputeLayerTransmissivities(const AquiferDomain& d, const AquiferLayer& layer, const FrozenGround& frozen,
                                  RowRange rows);

// Leakage of layer `upper` from layer `lower` below it: the head difference, limited to
// +-1 m (and to the lower layer's top where that layer is not full), times the leakage
// coefficient. Positive: water rising into the upper layer.
void ComputeLayerLeakage(const AquiferDomain& d, const AquiferLayer& upper, const AquiferLayer& lower, RowRange rows);

// Before the first solution of a sub-step every fixed-head cell holds its head H in h, h0
// and h-, so that each of its neighbours reads H whichever cell is visited first.
void ApplyFixedHeads(const AquiferDomain& d, const AquiferLayer& layer, RowRange rows);

struct SorParameters {
  double dt_s = 0;
  double alpha = 1;       // time weighting of the neighbour heads
  double relaxation = 1;  // fixed relaxation factor
  bool adaptive = false;  // relaxation factor from the last two iterates
};

// Outcome of (part of) a sweep over a layer.
struct SweepResult {
  double max_change = 0;  // m, a fifth of it where the layer is full
  double omega_sum = 0;   // relaxation factors of the adaptive relaxation
  double omega_count = 0;
};

// Per-row partial results, combined in row order by the caller.
using RowSweeps = std::span<SweepResult>;

// Half a sweep of the point iteration with successive over-relaxation: updates the active
// cells whose global row + column has the parity `colour` and reads only heads of the
// other colour among the neighbours, so the result depends neither on the order of the
// rows nor on the threads. The caller exchanges the head halo between the two halves.
// `storage_top` is the storage coefficient of the top layer (used where the layer is not
// full), `leakage_above` the leakage of the layer above (empty for the top layer).
// Writes per row into `per_row` (indexed by row).
void SorHalfSweep(const AquiferDomain& d, const AquiferLayer& layer, ConstGridView storage_top,
                  ConstGridView leakage_above, const SorParameters& p, int colour, RowRange rows, RowSweeps per_row);

// Work space of the row-wise solution: one set of five arrays per thread.
class RowSolverWorkspace {
 public:
  RowSolverWorkspace(int n_threads, int ncols);
  std::span<double> lower(int t) { return part(t, 0); }
  std::span<double> diagonal(int t) { return part(t, 1); }
  std::span<double> upper(int t) { return part(t, 2); }
  std::span<double> rhs(int t) { return part(t, 3); }
  std::span<double> solution(int t) { return part(t, 4); }
  int threads() const { return n_threads_; }

 private:
  std::span<double> part(int t, int k);
  int n_threads_;
  std::size_t width_;
  std::vector<double> values_;
};

// Largest ratio Ty dt / (S dy dy') over the active cells of the rows: the explicit
// north-south part of the row-wise solution is stable while it is at most 1/2.
double ExplicitFlowRatio(const AquiferDomain& d, const AquiferLayer& layer, double dt_s, RowRange rows);

// The row-wise implicit solution of one layer over dt: each run of conducting cells of a
// row is solved as a tridiagonal system (east-west implicit), with north-south flow from
// the heads `start` (h0 for the first part of a sub-step). Returns the largest change.
double SolveRowsImplicitLayer(const AquiferDomain& d, const AquiferLayer& layer, ConstGridView start, double dt_s,
                              RowRange rows, RowSolverWorkspace& work, std::span<double> per_row_max);

// Darcy fluxes qx, qy towards the east and south neighbours.
void ComputeLayerFlows(const AquiferDomain& d, const AquiferLayer& layer, RowRange rows);

// The water of a cell of layer n over a sub-step of dt_s [m³]: the stored volume at the
// start (storage coefficient · area · saturated thickness) and the inflow through each face
// (negative: outflow); a face without a neighbour in the basin or without a flux has none.
// The faces' flows take the heads a·h + (1 − a)·h0 of the point iteration's time weighting
// `alpha` (1: the final heads).
struct CellVolumes {
  double stored = 0;
  std::optional<double> east, west, south, north, above, below;
  double inflow() const;
};
CellVolumes LayerCellVolumes(const AquiferDomain& d, std::span<const AquiferLayer> layers, int n, double dt_s, int r,
                             int c, double alpha = 1);

// Cell balance of layer n (1-based) of `layers` (entry 0 unused) over dt: storage change
// minus net inflow per area, in mm. The storage change uses the coefficient the head
// solution used: `unconfined_storage` where the layer was not full at the start of the
// sub-step (the point iteration passes the top layer's coefficient), else, and where the
// view is empty (the row-wise solution), the layer's own. The inflow takes the heads of the
// solution's time weighting `alpha` (LayerCellVolumes).
void ComputeLayerBalance(const AquiferDomain& d, std::span<const AquiferLayer> layers, int n, double dt_s,
                         ConstGridView unconfined_storage, RowRange rows, double alpha = 1);

// Leakage that closes the balance of layer n (2..N) of the point iteration through the
// face to the layer above. The iteration may stop at its limits before the heads balance the
// flows; the storage change S'·(h − h0) of a cell would then differ from its net inflow at
// the final heads, and the difference would be water made or lost. Each active cell without
// a fixed head therefore passes to the layer above what its storage change leaves of its
// inflow through its faces, from the layer below and through its fixed flux, all at the
// final heads (time-weighted by `alpha` as in the iteration): L(n−1) = lateral + L(n) + Q −
// S'·(h − h0)/dt. Once converged this is the leakage of the start of the sub-step; the heads
// stay the solution's. Call it for n = N down to 2, so each layer passes on what its lower
// neighbour passed to it, and before the top layer's hand-back. `unconfined_storage` as for
// ComputeLayerBalance.
void CloseLayerBalanceThroughLeakage(const AquiferDomain& d, std::span<const AquiferLayer> layers, int n, double dt_s,
                                     double alpha, ConstGridView unconfined_storage, RowRange rows);

struct Oscillations {
  long count = 0;
  double sum = 0;
  double largest = 0;
};
// Cells whose head turned by more than `limit` between the last two sub-steps.
Oscillations CountLayerOscillations(const AquiferDomain& d, const AquiferLayer& layer, double limit, RowRange rows,
                                    std::span<Oscillations> per_row);

}  // namespace tolvo
