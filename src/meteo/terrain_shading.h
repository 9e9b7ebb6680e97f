#pragma once
// Shade cast by the terrain on the cells of a grid for one position of the sun.
//
// Straight lines are walked across the elevation model away from the sun, one cell of
// the dominant axis per step (a Bresenham line in the sun's azimuth). Each walk carries
// a shadow height that starts at the elevation of its first cell and sinks by
// tan(elevation) times the horizontal distance of a step; a cell below the shadow height
// is shaded (1), any other is lit (0) and lifts the shadow height to its own elevation.
// Row 1 is the northern row, column 1 the western column. Walks start on the edges that
// face the sun, so that every cell is reached; a later walk overwrites what an earlier
// one marked in the cells both visit.

#include <span>

#include "framework/matrix.h"

namespace tolvo {

struct ShadingSun {
  double azimuth = 0;    // radians, clockwise from north
  double elevation = 0;  // radians above the horizon
};

// Marks "shaded" (1) or "lit" (0) in `shadow` for every cell whose zone value is not
// `nodata`; other cells keep their value. elevation, zone and shadow hold every row
// 1..nrows; cellsize in the units of the elevations (metres). heights: work space of at
// least ncols + 1 values.
void ShadeTerrain(ConstGridView elevation, ConstGridView zone, double nodata, double cellsize, ShadingSun sun,
                  GridView shadow, std::span<double> heights);

}  // namespace tolvo
