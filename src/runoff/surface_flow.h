#pragma once
// Overland flow of one cell: the formulas with which surface water leaves a cell of the
// raster towards its eight neighbours.
//
// Directions are numbered clockwise from north, rows growing southward and columns
// eastward: 1 north (row - 1), 2 north-east, 3 east (column + 1), 4 south-east, 5 south,
// 6 south-west, 7 west, 8 north-west; the opposite of d is d + 4 (mod 8) and the aspect of
// d is (d - 1) * 45 degrees. The per-cell stacks hold the eight directions in levels 1..8:
//   weights   level 0 the number of directions whose weight changed by at most 0.01,
//             levels 1..8 the share of the outflow towards d (sum 1, or all 0);
//   velocity  level 0 the main flow direction (0: none), 1..8 the velocity towards d
//             [m/s], 9 the water surface DEM + storage / 1000 [m];
//   fluxes    level 0 the flux in the main direction, 1..8 the flux towards d [m3/s].
// Units: elevations, depths and cell sizes in metres, time steps in seconds, surface
// storage in millimetres over the cell.
//
// Velocities follow Manning-Strickler, v = k * y^(2/3) * sqrt(I), with a Strickler
// coefficient k that depends on the land use: tabulated for conserving cultivation, from
// the drag of plant stems (Lindner's resistance of rigid vegetation, with the wake length
// and width of the stems) for non-conserving cultivation, and the land use's k_St
// otherwise.
//
// The functions are kernels: they read the neighbours' values and write only the levels
// and grid values of their own cell, so cells of one row can run on different threads.

#include <array>
#include <span>

#include "framework/matrix.h"

namespace tolvo {

// The flow-path method of the section ("method for flowpath-calculation").
enum class SurfaceRoutingMethod {
  kElevationSpread = 1,      // terrain level; aspect sector spread on concave cells, else by drops
  kElevationSteepest = 2,    // terrain level; aspect sector, else the steepest drop alone
  kWaterLevelSpread = 3,     // terrain + water depth; as 1
  kWaterLevelSteepest = 4,   // terrain + water depth; aspect sector alone or steepest drop alone
  kFixedStrickler = 5,       // as 4, velocity with Strickler 10 and a cap
  kHeadDriven = 6,           // implicit water-surface heads
};

enum class CellKind { kNone = 0, kRiver = 1, kInner = 2, kOther = 3 };

inline constexpr int kDirections = 8;
inline constexpr int kVelocityLevelSurface = 9;
inline constexpr double kNoFlowTimeStep = 1e36;
inline constexpr double kDegreesPerRadian = 57.29577951307855;

// Row and column offsets of direction d (index 0 unused).
inline constexpr std::array<int, 9> kRowOffset = {0, -1, -1, 0, 1, 1, 1, 0, -1};
inline constexpr std::array<int, 9> kColOffset = {0, 0, 1, 1, 1, 0, -1, -1, -1};
constexpr int Opposite(int d) { return (d + 3) % kDirections + 1; }
constexpr bool IsDiagonal(int d) { return d % 2 == 0; }

// The grids the formulas read and write (non-owning views; rows as each grid holds them).
struct SurfaceGrids {
  ConstGridView zone;          // the zone grid: nodata outside the basin
  ConstGridView regions;       // "MPIRegions": the process computing a cell; empty: all own
  ConstGridView dem;           // terrain elevation [m]
  ConstGridView river_depth;   // > 0 together with river_width on river cells
  ConstGridView river_width;
  ConstGridView curvature;     // plan curvature [1/m]
  ConstGridView critical_shear;  // critical shear stress [N/m2]
  GridView head;               // water depth [m]; water-surface elevation [m] under method 6
  GridView head_old;           // method 6: the head at the start of the sub-step
  GridView storage;            // surface storage [mm]
  GridView directflow;         // direct runoff [mm]
  GridView q_in;               // inflow of the sub-step (volume, then mm)
  GridView q_out;              // outflow of the sub-step (volume, then mm)
  StackView weights;
  StackView velocity;
  GridView main_direction;     // the 2-D values of the velocity stack
  StackView fluxes;
  GridView main_flux;          // the 2-D values of the flux stack
};

// Model-wide values of the formulas.
struct SurfaceParameters {
  SurfaceRoutingMethod method = SurfaceRoutingMethod::kElevationSpread;
  int nrows = 0;
  int ncols = 0;
  double cellsize = 0;          // [m]
  double nodata = -9999;
  double dt_min = 1;            // shortest sub time step [s]
  double dt_max = 1;            // longest sub time step [s]
  double wake_tolerance = 0.01; // A_NL iteration error [m]
  int wake_steps = 0;           // A_NL iteration limit
  double velocity_tolerance = 0.001;  // [m/s]
  int velocity_steps = 0;
  double crop_depth = 0;        // least flow depth at which crop roughness counts [m]
  double concentration_factor = 1;
};

// The land use of a cell as the roughness needs it. A cell without a land-use record has
// the defaults: Strickler 10, cultivation 3 ("other").
struct CellVegetation {
  int cultivation = 3;         // 1 conserving, 2 non-conserving, 3 other
  double k_st = 10.0;          // Strickler coefficient [m^(1/3)/s]
  double crop_dist_x = 0.3;    // plant distances [m]
  double crop_dist_y = 0.3;
  double c_wr = 1.5;           // drag coefficient at high stem Reynolds numbers
  std::array<double, 3> rough1{0.0198, 0.712, 0.142};  // a, b, c below Re 20000
  std::array<double, 3> rough2{0.0198, 0.712, 0.142};  // a, b, c from Re 20000 on
  double residue_cover = 0.5;  // fraction
  double stem_diameter = 0;    // [m]
};

struct SlopeAspect {
  double slope = 0;    // largest gradient [m/m] (degrees on edge cells with tied gradients)
  double aspect = 0;   // degrees from north, clockwise
  CellKind kind = CellKind::kNone;
};

bool IsRiverCell(const SurfaceGrids& g, int r, int c);
// Whether the cell is computed by this process: in the basin and of its region.
bool IsOwnCell(const SurfaceGrids& g, double nodata, int rank, int r, int c);

// Plan curvature of the terrain at an inner cell from its 3 x 3 block (z[0..8] row by
// row from north-west); nodata when any value is nodata.
double PlanCurvatureOfBlock(std::span<const double, 9> z, double cellsize, double nodata);
// Direction and slope of the surface and the kind of the cell.
SlopeAspect SurfaceSlopeAspect(const SurfaceGrids& g, const SurfaceParameters& p, int r, int c);

// Sets the flow-path weights of the cell (levels 1..8 of the weight stack), its main
// direction and its water surface (velocity level 9); `kind` becomes kOther when the
// aspect sector leads uphill. Nothing for river cells. `i` is the sub-step index.
void FlowPathWeights(const SurfaceGrids& g, const SurfaceParameters& p, int r, int c, CellKind& kind, int i,
                     const SlopeAspect& surface);

// Effective Strickler coefficient [m^(1/3)/s] at velocity v [m/s], flow depth y [m] and
// s = sqrt(gradient). A result that is not a positive finite number falls back to k_St.
double VegetationRoughness(const CellVegetation& veg, const SurfaceParameters& p, double v, double y, double s);
// Drag coefficient of a plant stem at the stem Reynolds number.
double StemDragCoefficient(double reynolds, double c_wr);

// Velocities and fluxes towards the weighted directions (levels 1..8), the main flux
// (level 0 and the flux grid). `refresh` is the sub-step at which stable weights are
// computed anew.
void CellDirectionalFluxes(const SurfaceGrids& g, const SurfaceParameters& p, const CellVegetation& veg, int r,
                           int c, int i, int refresh, CellKind kind);

// Scales the cell's outgoing fluxes so that in a sub-step of dt seconds they carry at most
// the water the cell holds (its storage [mm] over cellsize^2).
void LimitOutflowToStorage(const SurfaceGrids& g, const SurfaceParameters& p, int r, int c, double dt);

// Largest stable sub time step [s] of one cell: cellsize / velocity over the directions
// that carry water; kNoFlowTimeStep when none does.
double CellCourantTimeStep(const SurfaceGrids& g, const SurfaceParameters& p, int r, int c);

// Inflow and outflow volumes [m3] of the cell over dt seconds into q_in and q_out.
// Tracer inflow masses: for every tracer t, flux[t] gets 1000 * dt * sum of the inflows
// times the sending neighbour's storage concentration conc[t].
void CellInflowOutflow(const SurfaceGrids& g, const SurfaceParameters& p, int r, int c, double dt,
                       std::span<const ConstGridView> conc, std::span<const GridView> flux);

}  // namespace tolvo
