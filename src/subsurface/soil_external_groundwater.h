#pragma once
// A groundwater table imposed on a soil column from outside (an external groundwater model
// delivers the height of the table) and the groundwater a well could pump from a column.
//
// The column: layers 1..L with thickness d_k [m], saturated content θs_k, field capacity
// FC_k (θ at 3.45 m suction) and content θ_k; geodetic heights g_0 (the surface) ..g_L
// (the bottom) [m]; the table lies in layer k when g_k ≤ table < g_(k−1).
// A falling table drains each layer it leaves, or the part of a layer it passes, from
// saturation to field capacity; a rising table fills the layers it passes to saturation.
// Balance: the water moved [mm] (positive into the soil) is exactly 1000 · Σ Δθ_k · d_k of
// the column.

#include <span>

#include "tables/soil_table.h"

namespace tolvo {

// Suction of field capacity [m]: the water a layer keeps when it drains.
inline constexpr double kDrainedSuctionM = 3.45;

struct ExternalTableColumn {
  std::span<const double> g;         // geodetic heights 0..L [m]
  std::span<double> theta;           // contents 0..L (entry 0 unused)
  std::span<const double> d;         // thicknesses 0..L [m] (entry 0 unused)
  std::span<const double> theta_s;   // saturated contents 0..L
  std::span<const double> theta_fc;  // field capacities 0..L
  int L = 0;                         // lowest layer
};

struct ExternalTableMove {
  double balance_mm = 0;  // water brought into (+) or taken out of (−) the column
  int level = 1;          // layer of the new table
  double table_m = 0;     // the new table height; below g_L it is held at g_L
};

// Moves the table of a column from height H in layer r to the delivered height D [m].
ExternalTableMove move_to_external_table(const ExternalTableColumn& col, int r, double H, double D);

// Pumpable groundwater [mm]: Σ over layers k = r..L_s − 1 of 1000 · d_k · (θs_k − FC_k) of
// the soil's own horizons (the last horizon never counts); 0 when r ≥ L_s.
double max_pumping_mm(const SoilRecord& soil, int r);

}  // namespace tolvo
