#include "basin_layout.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace basin_generator {
namespace {

constexpr double kOutletElevation = 420;   // m, the valley station's altitude
constexpr double kValleySlope = 0.004;     // fall of the valley floor per m
constexpr double kRidgeHeight = 250;       // m above the valley floor at the edges
constexpr double kSideValleyDepth = 15;    // m, depth of the side valleys
constexpr double kSideValleySpacing = 800; // m between side valleys
constexpr double kIncision = 2;            // m the river is cut into the valley floor

double Elevation(int n, int r, int c, double cellsize) {
  const double kPi = 3.14159265358979323846;
  const double downstream = (n - r + 0.5) * cellsize;  // distance from the outlet along the valley
  const double floor = kOutletElevation + kValleySlope * downstream;
  const bool valley = c == ValleyWest(n) || c == ValleyEast(n);
  if (valley) return floor - kIncision;
  const int from_valley = c < ValleyWest(n) ? ValleyWest(n) - c : c - ValleyEast(n);
  const int half_width = std::max(1, ValleyWest(n) - 1);
  const double share = static_cast<double>(from_valley) / half_width;  // 0 at the valley, 1 at the edge
  // Concave hillsides that steepen towards the valley, with side valleys that deepen
  // away from it, so that every cell has a lower neighbour on its way to the river.
  const double side = kRidgeHeight * std::sqrt(share) + 0.5 * cellsize * kValleySlope * from_valley;
  const double side_valley = kSideValleyDepth * share * std::pow(std::cos(kPi * downstream / kSideValleySpacing), 2);
  return floor + side - side_valley;
}

}  // namespace

int ZoneCount(int n) { return std::max(2, n / 50); }

BasinLayout LayOutBasin(int n, const AsciiGrid& example_zones, const AsciiGrid& example_river_width) {
  if (n < 10) throw std::runtime_error("a generated basin needs at least 10 x 10 cells");
  BasinLayout basin;
  basin.n = n;
  basin.n_zones = ZoneCount(n);
  basin.mask = Stretch(example_zones, n, n);
  const double nodata = basin.mask.nodata;
  basin.dem = SameGeometry(basin.mask, n, n, nodata);
  basin.zones = SameGeometry(basin.mask, n, n, nodata);
  basin.river_depth = SameGeometry(basin.mask, n, n, nodata);
  basin.river_width = SameGeometry(basin.mask, n, n, nodata);
  basin.lake_codes = SameGeometry(basin.mask, n, n, nodata);
  basin.max_ponding = SameGeometry(basin.mask, n, n, nodata);
  basin.zone_cells.assign(static_cast<std::size_t>(basin.n_zones) + 1, 0);

  double width = 0;
  for (double w : example_river_width.values) width = std::max(width, w);

  for (int r = 1; r <= n; ++r) {
    const int zone = std::min(basin.n_zones, (r - 1) * basin.n_zones / n + 1);
    for (int c = 1; c <= n; ++c) {
      if (!basin.mask.valid(r, c)) continue;
      const bool valley = c == ValleyWest(n) || c == ValleyEast(n);
      basin.dem.at(r, c) = Elevation(n, r, c, basin.mask.cellsize);
      basin.zones.at(r, c) = zone;
      basin.river_depth.at(r, c) = valley ? 1 : 0;
      basin.river_width.at(r, c) = valley ? width : 0;
      basin.max_ponding.at(r, c) = 0;
      ++basin.zone_cells[static_cast<std::size_t>(zone)];
    }
  }

  basin.lake_row = n;
  basin.lake_col = ValleyEast(n);
  if (!basin.mask.valid(basin.lake_row, basin.lake_col)) {
    throw std::runtime_error("the outlet cell lies outside the stretched outline of the example");
  }
  basin.lake_codes.at(basin.lake_row, basin.lake_col) = basin.n_zones;
  basin.max_ponding.at(basin.lake_row, basin.lake_col) = 1;
  return basin;
}

}  // namespace basin_generator
