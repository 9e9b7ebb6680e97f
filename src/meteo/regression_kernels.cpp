#include "meteo/regression_kernels.h"

#include <cassert>

namespace tolvo {

double RegressionAt(const RegressionParameters& p, double nodata, double grid_nodata, double x, double y, double z) {
  if (p[kA1] < -nodata) return -nodata - 1;
  if (p[kC0] >= -nodata && x != grid_nodata && y != grid_nodata) {
    const double t = x * p[kCx] + p[kC0] + y * p[kCy];
    if (z > p[kL2]) return p[kB3] * z + (t - p[kA1] + p[kA3]);
    if (z < p[kL1]) return p[kB1] * z + t;
    return p[kB2] * z + (t - p[kA1] + p[kA2]);
  }
  if (z > p[kL2]) return p[kA3] + p[kB3] * z;
  if (z < p[kL1]) return p[kA1] + p[kB1] * z;
  return p[kA2] + p[kB2] * z;
}

double ThiessenAt(const StationPoints& stations, std::span<double> scratch, double x, double y, double nodata) {
  const int n = stations.count();
  assert(static_cast<int>(scratch.size()) > n);
  double best = 1e20;
  double value = -nodata - 1;
  for (int k = 1; k <= n; ++k) {
    const auto i = static_cast<std::size_t>(k);
    const double v = stations.values[i];
    if (v < -nodata) continue;
    const double dx = stations.x[i] - x;
    const double dy = stations.y[i] - y;
    const double d2 = dx * dx + dy * dy;
    scratch[i] = d2;
    if (d2 <= best) {
      value = v;
      best = d2;
    }
  }
  return value;
}

namespace {

double CarryToElevation(double m, double r, double z, const LapseRates& rates) {
  if (rates.precipitation_type && m == 0) return 0;
  const double h = rates.inversion_height;
  if (h <= -9998) return m + rates.lapse_rate * (z - r);
  if (r <= h) {
    return z <= h ? m + rates.lapse_rate * (z - r) : m + rates.lapse_rate * (h - r) + rates.upper_lapse_rate * (z - h);
  }
  return z > h ? m + rates.upper_lapse_rate * (z - r) : m + rates.upper_lapse_rate * (h - r) + rates.lapse_rate * (z - h);
}

}  // namespace

double ThiessenLapseRateAt(const StationPoints& stations, std::span<const double> altitude, double x, double y,
                           double z, const LapseRates& rates, double nodata) {
  const int n = stations.count();
  double best = 1e20;
  double value = -nodata - 1;
  for (int k = 1; k <= n; ++k) {
    const auto i = static_cast<std::size_t>(k);
    const double m = stations.values[i];
    if (m < -nodata) continue;
    const double dx = stations.x[i] - x;
    const double dy = stations.y[i] - y;
    const double d2 = dx * dx + dy * dy;
    if (d2 < best) {
      best = d2;
      value = CarryToElevation(m, altitude[i], z, rates);
    }
  }
  return value;
}

double BilinearAt(const StationPoints& stations, const CornerStations& corners, std::span<double> scratch, double x,
                  double y, const IdwSettings& idw) {
  const auto present = [&](int k) { return k > 0 && stations.values[static_cast<std::size_t>(k)] >= -idw.nodata ? k : 0; };
  const int ur = present(corners.upper_right);
  const int ul = present(corners.upper_left);
  const int ll = present(corners.lower_left);
  const int lr = present(corners.lower_right);
  if (ur != 0 && ur == ul && ul == ll && ll == lr) return stations.values[static_cast<std::size_t>(ur)];
  if (ur == 0 || ul == 0 || ll == 0 || lr == 0) return InverseDistanceAnisotropic(stations, scratch, x, y, idw);
  const auto at = [](std::span<const double> a, int k) { return a[static_cast<std::size_t>(k)]; };
  const double dx = at(stations.x, ur) - at(stations.x, ul);
  const double dy = at(stations.y, ll) - at(stations.y, ul);
  if (dx == 0 || dy == 0) return InverseDistanceAnisotropic(stations, scratch, x, y, idw);
  const double u = (x - at(stations.x, ul)) / dx;
  const double w = (y - at(stations.y, ul)) / dy;
  return at(stations.values, ur) * u * (1 - w) + at(stations.values, ul) * (1 - u) * (1 - w) +
         at(stations.values, ll) * (1 - u) * w + at(stations.values, lr) * u * w;
}

double Determinant3(std::span<const double> a, std::span<const double> b, std::span<const double> c) {
  return a[1] * (b[2] * c[3] - b[3] * c[2]) - a[2] * (b[1] * c[3] - b[3] * c[1]) + a[3] * (b[1] * c[2] - b[2] * c[1]);
}

int AnyFlagSet(std::span<const int> flags, int n) {
  for (int k = 1; k <= n; ++k) {
    if (flags[static_cast<std::size_t>(k)] != 0) return 1;
  }
  return 0;
}

int FindStationInWindow(std::span<const double> x, std::span<const double> y, double x0, double y0,
                        const Window& window) {
  const int n = x.empty() ? 0 : static_cast<int>(x.size()) - 1;
  for (int k = 1; k <= n; ++k) {
    const double xk = x[static_cast<std::size_t>(k)];
    const double yk = y[static_cast<std::size_t>(k)];
    if (x0 + window.left < xk && xk < x0 + window.right && y0 + window.bottom < yk && yk < y0 + window.top) return k;
  }
  return 0;
}

}  // namespace tolvo
