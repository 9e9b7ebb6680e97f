#pragma once
// Grids the set-up derives from the zone grid and the elevation model, for the sub-models
// to find by identifier:
// - "CellSizeX", "CellSizeY" (m) and "RelCellArea" (cell area / cellsize^2, the weight of
//   a cell in the statistics): cells may differ in size; missing ones follow from the
//   others, and all three are nodata outside the zone grid;
// - "CoordX", "CoordY" (m): the lower-left corner of every cell, following the cell sizes;
// - the domain maximum of the elevation model (m);
// - "slope_angle" and "slope_aspect" (degrees): slope from the elevation model by central
//   differences; aspect clockwise from north, the compass direction the slope faces
//   (90 east, 180 south, 270 west; flat cells 0).
// A grid of these names given in the grid lists is used as it is; a missing one is made,
// registered in the grid table and written once, named after the zone grid (cell sizes,
// coordinates) or the elevation model (slope, aspect) with the suffixes ".$csx", ".$csy",
// ".$rca", ".$cx", ".$cy", ".$sl" and ".$ex".
//
// Every operation is collective: all processes call it at the same set-up stage. Process
// 0 holds every row of the zone grid, the elevation model and the grids of the lists; the
// coordinates, slope and aspect need cells of other processes, so process 0 computes them
// over all rows and hands every other process its rows, and the grids are the same for
// any number of processes.

#include <string>
#include <string_view>

#include "framework/matrix.h"

namespace tolvo {

class modelobject;
struct GridGeometry;

// The file name of a derived grid: the source's file name up to the last "." of its base
// name (the whole name when there is none), followed by the suffix.
std::string DerivedGridFileName(std::string_view source_file, std::string_view suffix);

// Slope (degrees from horizontal) and aspect (degrees clockwise from north, the direction
// the slope faces) of a cell from the elevations (m) of its four neighbours north, south,
// west and east and the cell size (m), by central differences.
struct SlopeAspect {
  double slope = 0;
  double aspect = 0;
};
SlopeAspect TerrainSlopeAspect(double z_north, double z_south, double z_west, double z_east, double cellsize);

// Sets cell (r, c) to the mean of those of its eight neighbours that lie inside the grid
// and are not nodata; leaves it alone when there is none.
void FillFromNeighbours(int r, int c, GridView grid, const GridGeometry& geometry);

// Collective: the largest value of the grid at `position` within the zone-column ranges
// of the rows, over all processes (nodata when there is none above nodata).
double GridMaximum(modelobject& reader, int position);

// The grids made here and where they stand in the grid table. The made grids are owned
// here and must outlive the grid table's use of them.
class DerivedGrids {
 public:
  // Stage 10: "CellSizeX", "CellSizeY", "RelCellArea". Afterwards the reader's
  // relative-cell-area grid is set. Fails with 12 (grid table full) or 66 (a given cell
  // size of 0, or a given "RelCellArea" that differs from the cell sizes).
  void MakeCellSizeGrids(modelobject& reader, int& grid_count);
  // Stage 11: "CoordX", "CoordY" over the process's own rows. Fails with 12.
  void MakeCoordinateGrids(modelobject& reader, int& grid_count);
  // Stage 12: the maximum of the elevation model (grid-table position 2).
  void FindMaxElevation(modelobject& reader) { max_elevation_ = GridMaximum(reader, 2); }
  double GetMaxElevation() const { return max_elevation_; }
  // Stage 18: "slope_angle" and "slope_aspect" unless both are given; nothing without an
  // elevation model. Fails with 12.
  void make_Slope_and_Aspect(modelobject& reader, int& grid_count);

  // A grid of the set: its values, grid-table position and whether it came from the
  // grid lists.
  struct Member {
    Grid made;  // storage of a grid made here
    GridView values;
    int position = 0;
    bool given = false;
  };
  const Member& cell_size_x() const { return cell_size_x_; }
  const Member& cell_size_y() const { return cell_size_y_; }
  const Member& rel_cell_area() const { return rel_cell_area_; }
  const Member& coord_x() const { return coord_x_; }
  const Member& coord_y() const { return coord_y_; }
  const Member& slope_angle() const { return slope_angle_; }
  const Member& slope_aspect() const { return slope_aspect_; }
  int elevation_position() const { return elevation_position_; }

 private:
  Member cell_size_x_;
  Member cell_size_y_;
  Member rel_cell_area_;
  Member coord_x_;
  Member coord_y_;
  Member slope_angle_;
  Member slope_aspect_;
  int elevation_position_ = 0;
  double max_elevation_ = -9999.0;
};

}  // namespace tolvo
