#include "meteo/lookup_stations.h"

#include <cmath>

namespace tolvo {
namespace {

constexpr double kT = kMeshWindowTolerance;

struct Searcher {
  std::span<const double> x;
  std::span<const double> y;
  StationSpacing s;

  // The station one mesh step from station k in the direction (dx, dy) (each -1, 0, 1);
  // 0 when k is 0 or no station lies in the window.
  int Step(int k, int dx, int dy) const {
    if (k == 0) return 0;
    const double h = s.horizontal;
    const double v = s.vertical;
    Window w;
    w.left = dx > 0 ? (1 - kT) * h : dx < 0 ? -(1 + kT) * h : -kT * h;
    w.right = dx > 0 ? (1 + kT) * h : dx < 0 ? -(1 - kT) * h : kT * h;
    w.bottom = dy > 0 ? (1 - kT) * v : dy < 0 ? -(1 + kT) * v : -kT * v;
    w.top = dy > 0 ? (1 + kT) * v : dy < 0 ? -(1 - kT) * v : kT * v;
    return FindStationInWindow(x, y, x[static_cast<std::size_t>(k)], y[static_cast<std::size_t>(k)], w);
  }
};

}  // namespace

CornerStations CornersAround(std::span<const double> x, std::span<const double> y, double px, double py,
                             const StationSpacing& spacing) {
  const int n = x.empty() ? 0 : static_cast<int>(x.size()) - 1;
  int p = 0;
  double best = 1e30;
  for (int k = 1; k <= n; ++k) {
    const double dx = x[static_cast<std::size_t>(k)] - px;
    const double dy = y[static_cast<std::size_t>(k)] - py;
    const double d = std::sqrt(dx * dx + dy * dy);
    if (d < best) {
      best = d;
      p = k;
    }
  }
  CornerStations c;
  if (p == 0) return c;
  const Searcher find{x, y, spacing};
  const double dx = x[static_cast<std::size_t>(p)] - px;
  const double dy = y[static_cast<std::size_t>(p)] - py;
  if (dx <= 0 && dy > 0) {
    c.upper_left = p;
    c.lower_left = find.Step(p, 0, -1);
    c.lower_right = find.Step(c.lower_left, 1, 0);
    c.upper_right = find.Step(p, 1, 0);
  } else if (dx <= 0) {
    c.lower_left = p;
    c.upper_left = find.Step(p, 0, 1);
    c.upper_right = find.Step(c.upper_left, 1, 0);
    c.lower_right = find.Step(p, 1, 0);
  } else if (dy <= 0) {
    c.lower_right = p;
    c.lower_left = find.Step(p, -1, 0);
    c.upper_left = find.Step(c.lower_left, 0, 1);
    c.upper_right = find.Step(p, 0, 1);
  } else {
    c.upper_right = p;
    c.upper_left = find.Step(p, -1, 0);
    c.lower_left = find.Step(c.upper_left, 0, -1);
    c.lower_right = find.Step(p, 0, -1);
  }
  return c;
}

}  // namespace tolvo
