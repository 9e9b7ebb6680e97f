#include "meteo/elevation_regression.h"

#include <array>
#include <cmath>

#include "meteo/regression_kernels.h"

namespace tolvo {
namespace {

// Least-squares sums of one group of stations (value against altitude).
struct Group {
  int n = 0;
  double sum_z = 0;
  double sum_v = 0;
  double sum_zv = 0;
  double sum_zz = 0;
  double z_min = 0;
  double z_max = 0;

  void Add(double z, double v) {
    if (n == 0) {
      z_min = z;
      z_max = z;
    } else if (z < z_min) {
      z_min = z;
    } else if (z > z_max) {
      z_max = z;
    }
    ++n;
    sum_z += z;
    sum_v += v;
    sum_zv += z * v;
    sum_zz += z * z;
  }
  // Stations closer in altitude than the cluster range stand as one point, their mean.
  void Collapse(bool lower) {
    const double z = sum_z / n;
    const double v = sum_v / n;
    sum_z = z;
    sum_v = v;
    sum_zz = z * z;
    sum_zv = v * z;
    n = 1;
    (lower ? z_min : z_max) = z;
  }
};

struct Line {
  double a = 0;
  double b = 0;
  bool valid = false;
  double At(double z) const { return a + b * z; }
};

Line Fit(const Group& g) {
  if (g.n <= 1) return {};
  const double d = g.sum_zz - g.sum_z * g.sum_z / g.n;
  if (d == 0 || !std::isfinite(d)) return {};
  const double b = (g.sum_zv - g.sum_v * g.sum_z / g.n) / d;
  return {(g.sum_v - g.sum_z * b) / g.n, b, true};
}

// The line through the single point (z, v) and `line`'s value at altitude l; missing when
// `line` is missing or the point lies at l itself (then `line` stands alone).
Line JoinAt(const Line& line, double l, double z, double v) {
  if (!line.valid) return {};
  if (z == l) return line;
  const double b = (line.At(l) - v) / (l - z);
  return {(line.b - b) * l + line.a, b, true};
}

bool Counts(double v, double nodata) { return v > -nodata; }

void FitPlane(RegressionParameters& p, const StationPoints& s, std::span<const double> altitude, double nodata) {
  const double missing = -nodata - 1;
  p[kC0] = p[kCx] = p[kCy] = missing;
  if (p[kA1] < -nodata) return;
  double n = 0, sx = 0, sy = 0, sxx = 0, syy = 0, sxy = 0, sr = 0, sxr = 0, syr = 0;
  for (int k = 1; k <= s.count(); ++k) {
    const auto i = static_cast<std::size_t>(k);
    const double v = s.values[i];
    if (!Counts(v, nodata)) continue;
    const double z = altitude[i];
    const double band = z < p[kL1] ? p[kA1] + p[kB1] * z : z <= p[kL2] ? p[kA2] + p[kB2] * z : p[kA3] + p[kB3] * z;
    const double r = v - band + p[kA1];
    const double x = s.x[i];
    const double y = s.y[i];
    n += 1;
    sx += x;
    sy += y;
    sxx += x * x;
    syy += y * y;
    sxy += x * y;
    sr += r;
    sxr += x * r;
    syr += y * r;
  }
  if (n <= 3) return;
  // Normal equations of r = c0 + cx x + cy y, solved by Cramer's rule.
  const std::array<double, 4> row1{0, n, sx, sy};
  const std::array<double, 4> row2{0, sx, sxx, sxy};
  const std::array<double, 4> row3{0, sy, sxy, syy};
  const double det = Determinant3(row1, row2, row3);
  // Stations on one straight line of the map leave the plane undetermined: no plane.
  if (det == 0 || !std::isfinite(det)) return;
  const std::array<double, 4> cx_row1{0, n, sr, sy};
  const std::array<double, 4> cx_row2{0, sx, sxr, sxy};
  const std::array<double, 4> cx_row3{0, sy, syr, syy};
  const std::array<double, 4> cy_row1{0, n, sx, sr};
  const std::array<double, 4> cy_row2{0, sx, sxx, sxr};
  const std::array<double, 4> cy_row3{0, sy, sxy, syr};
  const double cx = Determinant3(cx_row1, cx_row2, cx_row3) / det;
  const double cy = Determinant3(cy_row1, cy_row2, cy_row3) / det;
  const double c0 = (sr - sx * cx - sy * cy) / n;
  if (!std::isfinite(cx) || !std::isfinite(cy) || !std::isfinite(c0)) return;
  p[kC0] = c0;
  p[kCx] = cx;
  p[kCy] = cy;
}

}  // namespace

RegressionParameters FitElevationRegression(const StationPoints& s, std::span<const double> altitude,
                                            const ElevationRegressionSettings& settings, double nodata) {
  const double missing = -nodata - 1;
  const double lower = settings.lower_inversion;
  const int n = s.count();
  const auto z_of = [&](int k) { return altitude[static_cast<std::size_t>(k)]; };
  const auto v_of = [&](int k) { return s.values[static_cast<std::size_t>(k)]; };

  Group g1;
  Group g2;
  for (int k = 1; k <= n; ++k) {
    if (!Counts(v_of(k), nodata)) continue;
    (z_of(k) <= lower ? g1 : g2).Add(z_of(k), v_of(k));
  }
  // The stations next to the inversion on either side, counting or not.
  double z_below = -1e8;
  double z_above = 1e9;
  for (int k = 1; k <= n; ++k) {
    const double z = z_of(k);
    if (z < lower && z > z_below) z_below = z;
    if (z > lower && z < z_above) z_above = z;
  }
  for (int k = 1; k <= n; ++k) {
    if (!Counts(v_of(k), nodata)) continue;
    if (z_of(k) == z_below && (settings.overlap > 0 || g2.n == 1)) g2.Add(z_of(k), v_of(k));
    if (z_of(k) == z_above && (settings.overlap > 0 || g1.n == 1)) g1.Add(z_of(k), v_of(k));
  }
  if (g1.n > 1 && g1.z_max - g1.z_min < settings.cluster_range) g1.Collapse(true);
  if (g2.n > 1 && g2.z_max - g2.z_min < settings.cluster_range) g2.Collapse(false);
  if (g1.n == 1 && g2.n == 1) {
    if (g2.z_max - g1.z_min < settings.cluster_range) {
      g2 = Group{};
    } else {
      Group both = g1;
      both.n = 2;
      both.sum_z += g2.sum_z;
      both.sum_v += g2.sum_v;
      both.sum_zv += g2.sum_zv;
      both.sum_zz += g2.sum_zz;
      g1 = both;
      g2 = both;
    }
  }

  RegressionParameters p{};
  Line low;
  Line up;
  if (g1.n > 0 || g2.n > 0) {
    low = Fit(g1);
    up = Fit(g2);
    if (g1.n == 0 && g2.n > 1) {
      low = up;
    } else if (g1.n == 0 && g2.n == 1) {
      low = up = Line{g2.sum_v, 0, true};
    } else if (g1.n == 1 && g2.n == 0) {
      low = up = Line{g1.sum_v, 0, true};
    } else if (g1.n == 1 && g2.n > 1) {
      low = JoinAt(up, lower, g1.sum_z, g1.sum_v);
    } else if (g1.n > 1 && g2.n == 0) {
      up = low;
    } else if (g1.n > 1 && g2.n == 1) {
      up = JoinAt(low, lower, g2.sum_z, g2.sum_v);
    }
    // A line that could not be fitted gives way to the other, as an empty group does.
    if (!low.valid) low = up;
    if (!up.valid) up = low;
  }

  if (!low.valid) {
    p[kA1] = p[kB1] = p[kA2] = p[kB2] = p[kL1] = p[kL2] = missing;
  } else {
    p[kA1] = low.a;
    p[kB1] = low.b;
    p[kA2] = up.a;
    p[kB2] = up.b;
    p[kL2] = up.b != low.b ? (up.a - low.a) / (low.b - up.b) : lower;
    p[kL1] = 0;
    if (p[kL2] < lower - settings.tolerance || p[kL2] > settings.upper_inversion + settings.tolerance) {
      p[kL2] = settings.upper_inversion;
      p[kL1] = lower;
    }
  }

  p[kA3] = p[kA2];
  p[kB3] = p[kB2];
  if (p[kL1] <= 0 || p[kL2] == p[kL1]) {
    // The lower line holds from altitude 0 up to L2 (below 0 the constant a1); with the
    // inversion heights equal there is no middle band to join the lines.
    p[kA2] = p[kA1];
    p[kB2] = p[kB1];
    if (p[kL1] <= 0) p[kB1] = 0;
  } else {
    p[kB2] = (p[kB3] * p[kL2] + p[kA3] - p[kA1] - p[kB1] * p[kL1]) / (p[kL2] - p[kL1]);
    p[kA2] = (p[kB1] - p[kB2]) * p[kL1] + p[kA1];
  }
  if (settings.lapse_rate_above > -9998 && low.valid) {
    p[kA3] = p[kB3] * p[kL2] + p[kA3] - settings.lapse_rate_above * p[kL2];
    p[kB3] = settings.lapse_rate_above;
  }
  FitPlane(p, s, altitude, nodata);
  return p;
}

}  // namespace tolvo
