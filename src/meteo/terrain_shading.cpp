#include "meteo/terrain_shading.h"

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

}  // namespace

void ShadeTerrain(ConstGridView elevation, ConstGridView zone, double nodata, double cellsize, ShadingSun sun,
                  GridView shadow) {
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
  const int col_step = eastern ? 1 : -1;
  const int far_col = eastern ? 1 : ncols;
  for (int c = far_col;; c += col_step) {
    Walk(g, line, sun_row, c);
    if (c == sun_col) break;
  }
}

}  // namespace tolvo
