#pragma once
// Head-driven overland flow: the surface water moves as a diffusion wave over the four
// faces of every cell. Per sub time step dt the water-surface elevation (head) h [m] of
// every cell solves the implicit finite-volume balance
//   dx dy (h - h_old) / dt = sum over the faces X of k_X (h_X - h)
// (backward Euler), found by in-place Gauss-Seidel sweeps in red-black order. The face conductance [m2/s] is
// the harmonic mean of the two cells' transfer coefficients, depth times the land use's
// flow coefficient M (M alone on a river cell); k_X scales it by the cell's face width
// over its length. A face flux [m3/s] is k_X times the head difference, so that what one
// cell sends over a face its neighbour receives: per cell and sub-step the storage change
// equals the net face flux, and over a closed domain the face fluxes sum to zero.
//
// Effective neighbour heads keep water from flowing uphill out of a dry cell: a neighbour
// whose ground lies above the cell's water surface contributes its depth, one whose water
// lies below the cell's ground is seen at the cell's ground, and a river cell is a free
// outfall at the cell's ground. River cells keep their head at ground level, so water
// reaching them leaves the surface.
//
// Units: elevations, heads, depths and cell sizes in metres, dt in seconds, fluxes in
// m3/s, velocities in m/s. Stack levels as in surface_flow.h; this method fills levels 1,
// 3, 5, 7 (signed: positive to the south on 1 and 5, to the east on 3 and 7) and level 0
// (magnitude).

#include <array>
#include <span>

#include "framework/matrix.h"

namespace tolvo {

// The grids of the method (non-owning views).
struct HeadGrids {
  ConstGridView zone;          // nodata outside the basin; the sub-basin code
  ConstGridView regions;       // "MPIRegions"; empty: all own
  ConstGridView dem;           // ground [m]
  ConstGridView river_depth;   // > 0 with river_width on river cells; not nodata on river-grid cells
  ConstGridView river_width;
  ConstGridView manning;       // flow coefficient M
  ConstGridView cell_size_x;   // [m]; empty: the model cell size
  ConstGridView cell_size_y;
  GridView head;               // water-surface elevation [m]
  GridView head_old;           // head at the start of the sub-step
  GridView roughness_x;        // conductance of the east face [m2/s]
  GridView roughness_y;        // conductance of the south face [m2/s]
  StackView fluxes;
  GridView main_flux;
  StackView velocity;
  GridView main_velocity;
};

struct HeadParameters {
  int nrows = 0;
  int ncols = 0;
  double cellsize = 0;   // [m]
  double nodata = -9999;
  int rank = 0;
  bool closed_subbasins = false;  // no water crosses a border between two zone codes
};

// Everything of one cell's head update, for the dump of a cell whose new head is not
// finite. Neighbour blocks hold the cell and its north, east, south and west neighbours
// (nodata outside the grid).
struct HeadUpdate {
  int r = 0;
  int c = 0;
  int iteration = 0;
  double dt = 0;
  std::array<double, 5> dem{}, roughness_x{}, roughness_y{}, river_depth{}, river_width{}, head{};
  double new_head = 0;
  std::array<double, 4> effective{}, k{}, k_times_head{};  // N, E, S, W
  double dx = 0, dy = 0, old_head = 0, sum_k = 0, sum_kh = 0, q = 0;
};

// The 472-byte dump record of an update (native doubles).
std::array<double, 59> HeadDumpRecord(const HeadUpdate& u);

// Called, one at a time, for a new head that is NaN or infinite; returns true to stop the
// sweep.
class NonFiniteHeadHandler {
 public:
  virtual ~NonFiniteHeadHandler() = default;
  virtual bool OnNonFiniteHead(const HeadUpdate& update) = 0;
};

// Face conductances of the process's own cells (0 on cells outside the basin).
void ComputeFaceConductances(const HeadGrids& g, const HeadParameters& p, RowRange rows);

// One in-place half-sweep of iteration j with sub time step dt [s]: it updates the cells
// whose global row + column has the parity `colour` (0 or 1) and reads only heads of the
// other colour, so its result depends neither on the order of the rows nor on how they
// are shared between threads and processes. A sweep is the half-sweep of colour 0, a halo
// exchange of the heads, and the half-sweep of colour 1. Returns the largest absolute
// head change [m] of the half-sweep (non-finite changes are not counted). A handler, when
// given, sees every non-finite new head; when it asks to stop, no further cell is handled
// and `stopped` is set. row_change: scratch, one entry per grid row.
double IterateHeads(const HeadGrids& g, const HeadParameters& p, RowRange rows, int colour, int j, double dt,
                    std::span<double> row_change, NonFiniteHeadHandler* handler, bool& stopped);

// Face fluxes and velocities of the cells that are not river-grid cells.
void FaceFluxes(const HeadGrids& g, const HeadParameters& p, RowRange rows);
// After the halo exchange of both stacks: a river-grid cell takes over each face's flux
// and velocity as its neighbour computed them.
void RiverFaceFluxes(const HeadGrids& g, const HeadParameters& p, RowRange rows);

// The head of every cell that is not a river-grid cell becomes h_old + dt (net face
// flux) / (dx dy), with the fluxes of FaceFluxes. The sweeps stop at a tolerance, so the
// heads they leave balance the fluxes only to that tolerance; after this step every
// cell's storage change is exactly its net face flux and no water is made or lost
// between cells, whatever the number of sweeps.
void ConserveHeads(const HeadGrids& g, const HeadParameters& p, RowRange rows, double dt);

// What the river cells of each sub-basin s receive of the surface water lost in a
// sub-step: per_flux[s] times their inflow [mm over the cell] plus per_cell[s] [mm].
struct RiverHandOver {
  std::span<const double> per_flux;
  std::span<const double> per_cell;
  ConstGridView subbasin;  // sub-basin index of every own cell
};

// The end of a sub-step of dt [s]: river cells take their share of the lost surface
// water into "directflow" [mm], other cells' directflow is 0; a head below the ground is
// raised to it; the storage [mm] becomes the depth and the head the start of the next
// sub-step.
void SettleHeadBalances(const HeadGrids& g, const HeadParameters& p, RowRange rows, double dt, GridView directflow,
                        GridView storage, const RiverHandOver& hand_over);

}  // namespace tolvo
