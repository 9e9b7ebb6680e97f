#pragma once
// The layout of a synthetic basin of n x n cells: the example basin stretched onto the
// larger grid (its outline, land use, soils and every other grid), with a terrain of its
// own. The valley runs from north (row 1) to south along the two middle columns and falls
// towards the outlet in the southern row; the hillsides rise from it towards both edges
// and are cut by side valleys every few hundred metres. Sub-basins are bands across the
// valley, numbered from 1 in the north to n_zones at the outlet; each drains into the
// next one downstream. One lake cell at the outlet, in the valley's eastern column, is
// the lake of the outlet reservoir.

#include <vector>

#include "ascii_grid.h"

namespace basin_generator {

struct BasinLayout {
  int n = 0;        // cells per side
  int n_zones = 0;  // sub-basins
  AsciiGrid mask;   // the example's zone grid stretched: nodata outside the basin
  AsciiGrid dem;    // elevation (m)
  AsciiGrid zones;  // sub-basin codes 1..n_zones
  AsciiGrid river_depth;  // m: the valley's two columns, nodata outside the basin
  AsciiGrid river_width;  // m
  AsciiGrid lake_codes;   // the outlet lake cell (code n_zones), nodata elsewhere
  AsciiGrid max_ponding;  // m: 1 m on the lake cell, 0 elsewhere in the basin
  int lake_row = 0;
  int lake_col = 0;
  std::vector<long long> zone_cells;  // cells per sub-basin, entry k for code k (entry 0 unused)
};

// Sub-basins of an n x n basin: one per 50 rows, at least 2.
int ZoneCount(int n);

// The valley's two columns: n / 2 and n / 2 + 1 (the example's fifth and sixth of ten).
inline int ValleyWest(int n) { return (n + 1) / 2; }
inline int ValleyEast(int n) { return (n + 1) / 2 + 1; }

// Lays out the basin from the example's zone grid and river width grid (their geometry
// is kept; only their size changes).
BasinLayout LayOutBasin(int n, const AsciiGrid& example_zones, const AsciiGrid& example_river_width);

}  // namespace basin_generator
