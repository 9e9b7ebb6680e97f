#pragma once
// Water exchange between a soil column and the river that runs through its cell.
// Groundwater standing above the river bed drains into the river (exfiltration, a base
// flow), taken from the layers between the water table and the bed; when the water table
// lies at or below the bed, river water seeps into the layers above the water table
// (re-infiltration), at most what the river of the cell's link still carries. Leakance
// after McDonald & Harbaugh (1988): K · head difference · river width, per cell length.
//
// Units: depths, widths, heads [m], kolmation K [1/s], flows [m/s] over the cell area,
// table values [m³/s].

#include <span>

#include "framework/riverflow_record.h"
#include "subsurface/soil_column_hydraulics.h"
#include "tables/soil_table.h"

namespace tolvo {

struct RiverCellInput {
  int interaction = 0;        // surface water interaction of the soil model (P)
  int lake_control = 0;       // lake flow control (F)
  bool full_lake_cell = false;  // a lake cell whose ponding storage is 1 or more
  double depth = 0;           // river bed below the soil surface (D)
  double width = 0;           // river width (W)
  double kolmation = 0;       // leakage coefficient of the bed (K)
  double groundwater_distance = 0;  // water table above the surface, negative below
  double cellsize = 0;
  RiverflowRecord* river = nullptr;  // river of the cell's link; none: no re-infiltration
  // The cell's current take from that river [m³/s], held in the river's re-infiltration
  // sum; a later call of the same water iteration replaces it.
  double* reservation = nullptr;
};

struct RiverColumn {
  const SoilRecord* soil = nullptr;
  int n = 0;          // soil layers
  int k = 0;          // layer of the water table
  double dt = 0;      // length of the water iteration [s]
  std::span<const double> theta_s, theta_a, theta_b;  // per layer; the mean of a and b counts
  std::span<const double> z;  // geodetic heads: level 0 the surface, level j the bottom of layer j
  std::span<const double> H;  // hydraulic heads
  std::span<const double> d;  // thickness
};

struct RiverExchange {
  double infiltration = 0;  // from the river into the column
  double exfiltration = 0;  // from the column into the river
};

// The first layer whose bottom lies at least `depth` below the surface; n when none does.
int river_bed_layer(std::span<const double> d, int n, double depth);

// The exchange of one cell in one solver iteration; fills the per-layer flows (1..n) and
// returns the totals. With interaction 0 nothing is written. The cap by the river and the
// reservation of the take form one critical section, so cells computed at once never
// share a remainder.
RiverExchange river_exchange(const RiverCellInput& in, const RiverColumn& col, std::span<double> infiltration,
                             std::span<double> exfiltration);

// A cell's river in the column solver: its settings, its reservation and the exchange of
// the last iteration.
struct RiverCell {
  RiverCellInput in;
  double reservation = 0;  // [m³/s]
  RiverExchange last;
};

// The exchange of the column of one iteration: the water table from p.W, the layer of the
// water table p.G, the mean of the start and iteration contents; fills R and X.
void exchange_with_river(const ColumnParameters& p, const ColumnArrays& c);

// After a water iteration: the river's take becomes what the layers received (the update
// may have given back a part) [m/s], and stays in the river's sum; the next water iteration
// makes a new reservation.
void settle_river_take(RiverCell& cell, double infiltration);

// The river flows of the column after its Richards iteration, as the update left them in
// R and X [m/s]; settles the cell's take. Zero without a river.
RiverExchange settle_river_flows(const ColumnParameters& p, const ColumnArrays& c);

}  // namespace tolvo
