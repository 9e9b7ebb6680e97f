#pragma once
// An ESRI ASCII grid as the generator reads and writes it: a header (columns, rows, lower
// left corner and cell size in m, nodata value) and the values row by row, row 1 the
// northern one.

#include <string>
#include <vector>

namespace basin_generator {

struct AsciiGrid {
  int ncols = 0;
  int nrows = 0;
  double xllcorner = 0;
  double yllcorner = 0;
  double cellsize = 1;
  double nodata = -9999;
  std::vector<double> values;  // nrows * ncols, row-major, row 1 first

  double& at(int r, int c) { return values[static_cast<std::size_t>((r - 1) * ncols + (c - 1))]; }
  double at(int r, int c) const { return values[static_cast<std::size_t>((r - 1) * ncols + (c - 1))]; }
  bool valid(int r, int c) const { return at(r, c) != nodata; }
};

// A grid of the given size with the geometry of `like` (corner, cell size, nodata) and
// every value `fill`.
AsciiGrid SameGeometry(const AsciiGrid& like, int nrows, int ncols, double fill);

// Reads a grid file; throws std::runtime_error naming the file on a malformed header or a
// short value list.
AsciiGrid ReadAsciiGrid(const std::string& path);

// Writes the grid with up to `digits` significant digits; throws on a write error.
void WriteAsciiGrid(const AsciiGrid& grid, const std::string& path, int digits = 7);

// The grid stretched onto nrows x ncols cells by nearest neighbour: cell (r, c) takes the
// value of the source cell that covers the same relative position. The corner and cell
// size stay those of the source, so the stretched grid covers a larger area.
AsciiGrid Stretch(const AsciiGrid& source, int nrows, int ncols);

}  // namespace basin_generator
