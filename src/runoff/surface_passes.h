#pragma once
// The cell passes of surface routing: parallel loops over a process's own rows that carry
// water between the soil model's grids and the surface and close the balance of every
// cell after each sub time step.
//
// - LoadDirectRunoff: the direct runoff of the soil sub-step [mm] becomes surface water
//   (storage S [mm], depth h = S / 1000 [m]; under method 6 the head DEM + S / 1000, also
//   the head at the start of the sub-step) and "directflow" is emptied. Where the
//   surface water left by the previous sub-step of the same model step reaches no other
//   sub-model, it stays and the direct runoff joins it.
// - RouteFlowPaths: slope and aspect, flow-path weights and directional fluxes of every
//   cell (methods 1 to 5).
// - LimitOutflows: no cell sends more water in a sub-step than it holds at its start.
// - SettleCellBalances: S += inflow - outflow over the sub-step; water on a river cell
//   leaves the surface into "directflow", so that per cell and sub-step
//   S_end + directflow gain = S_start + inflow - outflow.
// - CourantTimeStep: the smallest cellsize / velocity of the process's cells.
//
// Every cell writes only its own values; the neighbours' fluxes are read after a halo
// exchange. Nothing here calls MPI, logs or allocates.

#include <span>
#include <utility>
#include <vector>

#include "framework/matrix.h"
#include "runoff/surface_flow.h"
#include "tables/landuse_record.h"

namespace tolvo {

class LanduseTable;

// Where a pass runs: the process's own rows and its rank (own cells are those of the zone
// grid whose region value is the rank).
struct SurfaceCells {
  RowRange rows;
  int rank = 0;
};

// Per tracer t (element t - 1) the grids of the passes.
struct SurfaceTracerGrids {
  std::vector<GridView> storage_conc;      // surface concentration of this sub-model
  std::vector<ConstGridView> storage_conc_read;  // the same, read-only (inflow masses)
  std::vector<GridView> inflow_mass;       // inflow mass of the sub-step
  std::vector<GridView> runoff_conc;       // soil model's direct-runoff concentration
  std::vector<GridView> handover;          // silting-up hand-over grid
  std::vector<double> load_factor;         // decay applied when the surface takes the runoff
  std::size_t size() const { return storage_conc.size(); }
};

// The land use of the cells: the land-use code grids of layers 1..L (table indices, -9999
// where a layer has none) and, per call, the residue cover and stem diameter of the date.
struct SurfaceLanduse {
  const LanduseTable* table = nullptr;
  std::vector<ConstGridView> layers;   // element k - 1 = layer k
  GridView residue_cover;              // own rows, filled by PrepareVegetation
  GridView stem_diameter;
};

// The land-use record of the highest layer that has one at the cell, with its layer
// number; null when no layer has one.
const LanduseRecord* CellLanduseRecord(const SurfaceLanduse& landuse, int r, int c, int& layer);
// What the roughness of the cell needs; defaults for a cell without a land-use record.
CellVegetation VegetationAt(const SurfaceLanduse& landuse, int r, int c);

// The first failure of a land-use date operation met by PrepareVegetation, if any.
struct VegetationFailure {
  LanduseValue value;
  bool failed = false;
};

// Fills the residue cover and stem diameter of every own cell for the date. row_status
// (entries for rows of `cells`) receives per row the first failure.
VegetationFailure PrepareVegetation(const SurfaceGrids& g, const SurfaceLanduse& landuse, const SurfaceCells& cells,
                                    double nodata, int day, int month, int year,
                                    std::span<VegetationFailure> row_status);

// keep_storage: the surface water S the cells hold stays, and its tracer concentrations
// (in the hand-over grids since the end of the last sub-step) mix with the runoff's.
void LoadDirectRunoff(const SurfaceGrids& g, const SurfaceParameters& p, const SurfaceCells& cells,
                      const SurfaceTracerGrids& tracers, bool keep_storage);
void RouteFlowPaths(const SurfaceGrids& g, const SurfaceParameters& p, const SurfaceLanduse& landuse,
                    const SurfaceCells& cells, int i, int refresh);
void LimitOutflows(const SurfaceGrids& g, const SurfaceParameters& p, const SurfaceCells& cells, double dt);
// row_minimum: one entry per grid row (index = row), scratch for the per-row results.
double CourantTimeStep(const SurfaceGrids& g, const SurfaceParameters& p, const SurfaceCells& cells,
                       std::span<double> row_minimum);
// Methods 1 to 5, with the sub time step dt [s] in force.
void SettleCellBalances(const SurfaceGrids& g, const SurfaceParameters& p, const SurfaceCells& cells, double dt,
                        const SurfaceTracerGrids& tracers);

// Plan curvature of the process's rows (serial): nodata where the 3 x 3 block leaves the
// grid or holds nodata.
void PlanCurvature(GridView curvature, ConstGridView dem, const SurfaceParameters& p, const SurfaceCells& cells);
// After the halo exchange of the curvature: an own cell left nodata gets the mean of its
// neighbours that have a value. `fills` is scratch.
void FillCurvatureGaps(GridView curvature, ConstGridView dem, const SurfaceGrids& g, const SurfaceParameters& p,
                       const SurfaceCells& cells, std::vector<std::pair<int, double>>& fills);

}  // namespace tolvo
