#include "meteo/terrain_shading.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace tolvo {
namespace {

// The value of pi the quadrant test of the walks has always used.
constexpr double kPi = 3.14159265359;

// One walk's direction and line: the axis it steps along each time, the error term of
// the other axis and how far the shadow sinks per step.
struct WalkLine {
  int dr = 0;  // +1 southwards, -1 northwards
  int dc = 0;  // +1 eastwards, -1 westwards
  bool columns_dominate = false;
  long long error_start = 0;
  long long error_step = 0;
  long long error_reset = 0;
  double sink = 0;  // metres per step
};

struct ShadeGrids {
  ConstGridView elevation;
  ConstGridView zone;
  GridView shadow;
  double nodata;
  int nrows;
  int ncols;
};

void Walk(const ShadeGrids& g, const WalkLine& line, int r, int c) {
  double height = g.elevation(r, c);
  long long error = line.error_start;
  for (;;) {
    if (!line.columns_dominate || height > g.nodata) height -= line.sink;
    error += line.error_step;
    if (line.columns_dominate) {
      c += line.dc;
      if (error >= 0) {
        r += line.dr;
        error -= line.error_reset;
      }
    } else {
      r += line.dr;
      if (error >= 0) {
        c += line.dc;
        error -= line.error_reset;
      }
    }
    if (r < 1 || r > g.nrows || c < 1 || c > g.ncols) return;
    if (g.zone(r, c) == g.nodata) continue;
    const double ground = g.elevation(r, c);
    if (height > ground) {
      g.shadow(r, c) = 1;
    } else {
      g.shadow(r, c) = 0;
      height = ground;
    }
  }
}

// The walks from every column of the sun-facing row when the rows dominate, all at once:
// they share one line, so at each step they stand side by side in one row, and they never
// meet in a cell (each row is reached at one step, each column there by one walk), so
// their order does not matter. heights[j]: the shadow height of the walk from column j.
void WalkSunRowTogether(const ShadeGrids& g, const WalkLine& line, int sun_row, std::span<double> heights) {
  for (int c = 1; c <= g.ncols; ++c) heights[static_cast<std::size_t>(c)] = g.elevation(sun_row, c);
  long long error = line.error_start;
  int r = sun_row;
  int offset = 0;  // columns moved so far
  for (;;) {
    error += line.error_step;
    r += line.dr;
    if (error >= 0) {
      offset += line.dc;
      error -= line.error_reset;
    }
    if (r < 1 || r > g.nrows) return;
    // The walks still inside the grid: the others left it for good.
    const int first = std::max(1, 1 - offset);
    const int last = std::min(g.ncols, g.ncols - offset);
    if (first > last) return;
    const std::span<const double> ground = g.elevation.row(r);
    const std::span<const double> zone = g.zone.row(r);
    const std::span<double> shadow = g.shadow.row(r);
    for (int j = first; j <= last; ++j) {
      const std::size_t c = static_cast<std::size_t>(j + offset);
      double height = heights[static_cast<std::size_t>(j)] - line.sink;
      if (zone[c] != g.nodata) {
        if (height > ground[c]) {
          shadow[c] = 1;
        } else {
          shadow[c] = 0;
          height = ground[c];
        }
      }
      heights[static_cast<std::size_t>(j)] = height;
    }
  }
}

}  // namespace

void ShadeTerrain(ConstGridView elevation, ConstGridView zone, double nodata, double cellsize, ShadingSun sun,
                  GridView shadow, std::span<double> heights) {
  const int nrows = elevation.rows().last;
  const int ncols = elevation.ncols();
  const ShadeGrids g{elevation, zone, shadow, nodata, nrows, ncols};
  const double a = sun.azimuth;
  const bool northern = a <= kPi / 2 || a > 3 * kPi / 2;
  const bool eastern = a <= kPi;
  const int sun_row = northern ? 1 : nrows;
  const int sun_col = eastern ? ncols : 1;

  WalkLine line;
  line.dr = northern ? 1 : -1;
  line.dc = eastern ? -1 : 1;
  const double sin_a = std::sin(a);
  const double cos_a = std::cos(a);
  const double tan_e = std::tan(sun.elevation);
  line.columns_dominate = std::fabs(cos_a) <= 0.707106781;
  if (line.columns_dominate) {
    line.error_start = -(ncols / 2);
    line.error_step = static_cast<long long>(std::floor(std::fabs(ncols * cos_a / sin_a)));
    line.error_reset = ncols;
    line.sink = tan_e * cellsize / std::fabs(sin_a);
  } else {
    line.error_start = -(nrows / 2);
    line.error_step = static_cast<long long>(std::floor(std::fabs(nrows * sin_a / cos_a)));
    line.error_reset = nrows;
    line.sink = tan_e * cellsize / std::fabs(cos_a);
  }

  // Rows from the edge away from the sun towards the sun-facing row, so that the walks
  // from the sun-facing row come last.
  const int row_step = northern ? -1 : 1;
  const int far_row = northern ? nrows : 1;
  for (int r = far_row; r != sun_row; r += row_step) Walk(g, line, r, sun_col);
  if (!line.columns_dominate) {
    WalkSunRowTogether(g, line, sun_row, heights);
    return;
  }
  const int col_step = eastern ? 1 : -1;
  const int far_col = eastern ? 1 : ncols;
  for (int c = far_col;; c += col_step) {
    Walk(g, line, sun_row, c);
    if (c == sun_col) break;
  }
}

}  // namespace tolvo
