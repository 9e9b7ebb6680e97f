#pragma once
// The control file of a generated basin, made from the example's control file: the same
// sections and switches, with what depends on the size of the basin changed.
//  - the routing description: a chain of sub-basins, each with the example's channel
//    leading into the next, the outlet with the example's inflow, abstraction and
//    reservoir;
//  - the soil and silting-up models' parameters per sub-basin: the first sub-basin's values
//    for all;
//  - the soil model's control cell: a hillside cell half way down the valley;
//  - coordinates of the point output and search radii stretched like the grids;
//  - grids the example writes every step are not written (on a large basin they would
//    take most of the run time); statistics tables stay as they are;
//  - the model time: the given number of hourly steps from the example's start;
//  - optionally, the number of layers of every soil column.

#include <string>

#include "basin_layout.h"

namespace basin_generator {

struct ControlSettings {
  int hours = 0;            // steps of one hour; 0 keeps the example's model time
  int soil_layers = 0;      // layers of every soil column; 0 keeps the example's
  bool keep_grid_writes = false;
  double stretch_x = 1;     // factor of the basin's extent over the example's, west to east
  double stretch_y = 1;     // south to north
  double x_origin = 0;      // lower left corner (m), fixed point of the stretch
  double y_origin = 0;
  double cellsize = 1;      // m
};

// The control file text for the basin; throws std::runtime_error naming what it could not
// find in the example's text.
std::string GeneratedControlFile(const std::string& example_text, const BasinLayout& basin,
                                 const ControlSettings& settings);

}  // namespace basin_generator
