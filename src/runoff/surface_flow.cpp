#include "runoff/surface_flow.h"

#include <algorithm>
#include <cmath>

namespace tolvo {
namespace {

constexpr double kSqrt2 = 1.4142135;
constexpr double kRadiansPerDegree = 0.017453;
constexpr double kGravity = 9.8159;
constexpr double kExponent23 = 0.66667;

bool Inside(const SurfaceParameters& p, int r, int c) { return r >= 1 && r <= p.nrows && c >= 1 && c <= p.ncols; }

bool UsesWaterLevel(SurfaceRoutingMethod m) {
  return m == SurfaceRoutingMethod::kWaterLevelSpread || m == SurfaceRoutingMethod::kWaterLevelSteepest ||
         m == SurfaceRoutingMethod::kFixedStrickler;
}

bool SpreadsWeights(SurfaceRoutingMethod m) {
  return m == SurfaceRoutingMethod::kElevationSpread || m == SurfaceRoutingMethod::kWaterLevelSpread;
}

// Surface level of a cell: its elevation, plus its water depth for the methods that route
// by water level; a neighbour's depth counts only inside the zones.
double Level(const SurfaceGrids& g, const SurfaceParameters& p, int r, int c, bool own) {
  double z = g.dem(r, c);
  if (UsesWaterLevel(p.method) && (own || g.zone(r, c) > 0)) z += g.head(r, c);
  return z;
}

// Flow distance towards direction d.
double Distance(const SurfaceParameters& p, int d) { return IsDiagonal(d) ? p.cellsize * kSqrt2 : p.cellsize; }

int WrapDirection(int d) { return (d + kDirections - 1) % kDirections + 1; }

}  // namespace

bool IsRiverCell(const SurfaceGrids& g, int r, int c) { return g.river_depth(r, c) > 0 && g.river_width(r, c) > 0; }

bool IsOwnCell(const SurfaceGrids& g, double nodata, int rank, int r, int c) {
  return g.zone(r, c) != nodata && (g.regions.empty() || g.regions(r, c) == rank);
}

double PlanCurvatureOfBlock(std::span<const double, 9> z, double cellsize, double nodata) {
  for (const double v : z) {
    if (v == nodata) return nodata;
  }
  const double nw = z[0], n = z[1], ne = z[2], w = z[3], zc = z[4], e = z[5], sw = z[6], s = z[7], se = z[8];
  const double cs2 = cellsize * cellsize;
  const double gy = (n - s) / (2 * cellsize);
  const double gx = (e - w) / (2 * cellsize);
  if (gx == 0 && gy == 0) return 0;
  return 2 *
         (((n + s) / 2 - zc) / cs2 * gx * gx + ((w + e) / 2 - zc) / cs2 * gy * gy -
          (ne + sw - nw - se) / (4 * cs2) * gx * gy) /
         (gx * gx + gy * gy);
}

SlopeAspect SurfaceSlopeAspect(const SurfaceGrids& g, const SurfaceParameters& p, int r, int c) {
  SlopeAspect out;
  if (IsRiverCell(g, r, c)) {
    out.kind = CellKind::kRiver;
    return out;
  }
  const double z0 = Level(g, p, r, c, true);
  bool inner = r > 1 && r < p.nrows && c > 1 && c < p.ncols;
  for (int d = 1; inner && d <= kDirections; ++d) inner = g.zone(r + kRowOffset[d], c + kColOffset[d]) > 0;
  out.kind = inner ? CellKind::kInner : CellKind::kOther;

  const auto usable = [&](int d) {
    const int rr = r + kRowOffset[d];
    const int cc = c + kColOffset[d];
    return inner || (Inside(p, rr, cc) && g.zone(rr, cc) > 0);
  };
  std::array<double, 9> gradient{};
  for (int d = 1; d <= kDirections; ++d) {
    const double distance = IsDiagonal(d) ? p.cellsize * 1.414 : p.cellsize;
    gradient[d] = usable(d) ? (z0 - Level(g, p, r + kRowOffset[d], c + kColOffset[d], false)) / distance : -9999;
  }
  int best = 1;
  for (int d = 2; d <= kDirections; ++d) {
    if (gradient[d] > gradient[best]) best = d;
  }
  out.slope = gradient[best];
  out.aspect = (best - 1) * 45.0;
  const auto ties = std::count(gradient.begin() + 1, gradient.end(), gradient[best]);
  if (ties < 2) return out;

  // Tied steepest directions: the aspect from central differences. On an edge cell a
  // missing neighbour is mirrored through the cell from its opposite one.
  const auto level_towards = [&](int d) {
    if (usable(d)) return Level(g, p, r + kRowOffset[d], c + kColOffset[d], false);
    const int o = Opposite(d);
    if (usable(o)) return 2 * z0 - g.dem(r + kRowOffset[o], c + kColOffset[o]);
    return z0;
  };
  const double gx = (level_towards(3) - level_towards(7)) / (2 * p.cellsize);
  const double gy = (level_towards(1) - level_towards(5)) / (2 * p.cellsize);
  if (gx == 0) {
    out.aspect = gy > 0 ? 180 : 0;
  } else {
    out.aspect = (gx / std::abs(gx)) * 90 + 180 - std::atan(gy / gx) * kDegreesPerRadian;
  }
  if (!inner) out.slope = (gx == 0 && gy == 0) ? 0 : std::atan(std::sqrt(gx * gx + gy * gy)) * kDegreesPerRadian;
  return out;
}

void FlowPathWeights(const SurfaceGrids& g, const SurfaceParameters& p, int r, int c, CellKind& kind, int i,
                     const SlopeAspect& surface) {
  if (kind == CellKind::kRiver) return;
  const std::span<double> w = g.weights.levels(r, c);
  const std::span<double> vel = g.velocity.levels(r, c);
  std::array<double, 9> old{};
  for (int d = 1; d <= kDirections; ++d) {
    old[d] = w[d];
    w[d] = 0;
  }
  const double z0 = Level(g, p, r, c, true);
  const auto neighbour_level = [&](int d) { return Level(g, p, r + kRowOffset[d], c + kColOffset[d], false); };

  bool sector = kind == CellKind::kInner && surface.slope != 0;
  if (sector) {
    double a = surface.aspect;
    if (a > 337.5) a -= 360;
    const int k = static_cast<int>(std::floor((a + 22.5) / 45));
    const int d = k + 1;
    w[d] = 1;
    vel[0] = d;
    g.main_direction(r, c) = d;
    if (SpreadsWeights(p.method)) {
      const double delta = a - 45.0 * k;
      double m = std::cos(delta * kRadiansPerDegree);
      double ps = std::abs(std::sin((45 - std::abs(delta)) * kRadiansPerDegree) * m);
      double qs = std::abs(std::cos((45 - std::abs(delta)) * kRadiansPerDegree) * m);
      if (m < 1e-4) m = 0;
      if (ps < 1e-4) ps = 0;
      if (qs < 1e-4) qs = 0;
      const double sum = m + ps + qs;
      w[d] = m / sum;
      if (g.curvature(r, c) <= 0) {
        // The side towards which the aspect deviates from the sector's centre gets p.
        const int toward = delta > 0 ? WrapDirection(d + 1) : WrapDirection(d - 1);
        const int away = delta > 0 ? WrapDirection(d - 1) : WrapDirection(d + 1);
        w[toward] = ps / sum;
        w[away] = qs / sum;
      }
    }
    double sum = 0;
    for (int n = 1; n <= kDirections; ++n) {
      if (w[n] > 0 && neighbour_level(n) > z0) w[n] = 0;
      sum += w[n];
    }
    if (sum > 0) {
      for (int n = 1; n <= kDirections; ++n) w[n] /= sum;
    } else {
      kind = CellKind::kOther;
      sector = false;
    }
  }
  if (!sector) {
    int main = 0;
    double sum = 0;
    for (int d = 1; d <= kDirections; ++d) {
      const int rr = r + kRowOffset[d];
      const int cc = c + kColOffset[d];
      if (!Inside(p, rr, cc) || g.zone(rr, cc) == p.nodata) continue;
      const double drop = z0 - neighbour_level(d);
      if (drop > 1e-5) w[d] = IsDiagonal(d) ? drop / kSqrt2 : drop;
      if (w[d] > 0 && (main == 0 || w[d] > w[main])) main = d;
      sum += w[d];
    }
    if (!SpreadsWeights(p.method)) {
      for (int d = 1; d <= kDirections; ++d) w[d] = d == main ? 1 : 0;
    } else if (sum > 0) {
      for (int d = 1; d <= kDirections; ++d) w[d] /= sum;
    }
    vel[0] = main;
    g.main_direction(r, c) = main;
  }
  vel[kVelocityLevelSurface] = g.dem(r, c) + g.storage(r, c) / 1000;
  w[0] = 0;
  if (i > 0) {
    int stable = 0;
    for (int d = 1; d <= kDirections; ++d) stable += std::abs(w[d] - old[d]) <= 0.01 ? 1 : 0;
    w[0] = stable;
  }
}

double StemDragCoefficient(double reynolds, double c_wr) {
  if (reynolds < 800) return 3.07 * std::pow(reynolds, -0.168);
  if (reynolds < 8000) return 1;
  if (reynolds < 10000) return 1.2;
  return c_wr;
}

namespace {

// Lindner's resistance of rigid stems: Strickler coefficient of a flow of depth y through
// stems of diameter dP standing ax by ay apart.
double StemRoughness(const CellVegetation& veg, const SurfaceParameters& p, double v, double y, double s) {
  const double dp = veg.stem_diameter;
  const double ax = veg.crop_dist_x;
  const double ay = veg.crop_dist_y;
  double lambda = 0;
  if (dp >= 0.001 && y >= p.crop_depth) {
    const double cw = StemDragCoefficient(dp * v * 1000000, veg.c_wr);
    const double rr = cw * s;
    const double slope = rr / (v * v) > 0.04 ? v * v / cw / 25 : s;
    double a_nl = 50 * dp;
    if (a_nl > p.wake_tolerance && p.wake_steps > 0) {
      double previous = 0;
      for (int step = 0; step < p.wake_steps && std::abs(a_nl - previous) > p.wake_tolerance; ++step) {
        previous = a_nl;
        a_nl = cw * 128.9 * dp * std::pow(a_nl * kGravity * slope / (0.5 * v * v) + 1, -2.14);
      }
    }
    const double a_nb = 0.24 * std::pow(a_nl, 0.59) * std::pow(cw * dp, 0.41);
    double froude = v / std::sqrt(kGravity * y);
    const double b = std::max(5 * dp, ay);
    const double gb = b / (b - dp);
    const double g3 = gb * gb * gb;
    if (g3 * froude > 0.666) froude = 2 / (3 * g3);
    const double fr = std::max(froude, 0.05);
    double e = 0.4;
    if (p.wake_steps >= 1) {
      double x = 0.6;
      double x_next = x;
      for (int step = 0; step < p.wake_steps; ++step) {
        x_next = (x - gb) * 2 * fr / (x * x - 1);
        const bool done = std::abs(x - x_next) <= 1e-4;
        x = x_next;
        if (done) break;
      }
      e = 1 - x_next;
    }
    const double froude_term = froude < 0.05 ? 799.9999999999999 : 2 / (fr * fr);
    lambda = 4 * y * dp / (b * ax) *
             (cw * 1.31 * (std::pow(a_nl / ax, -0.48) * 1.15 + std::pow(a_nb / ay, 1.1) * 0.5) + e * froude_term);
  }
  const double y3 = std::pow(y, 0.3333);
  const double radicand = 78.5272 / (y3 * (78.5272 / (veg.k_st * veg.k_st * y3) + lambda));
  return radicand > 0 ? std::sqrt(radicand) : 0.001;
}

}  // namespace

double VegetationRoughness(const CellVegetation& veg, const SurfaceParameters& p, double v, double y, double s) {
  double k = veg.k_st;
  if (veg.cultivation == 1) {
    const double re = 4000000 * y * v;
    const std::array<double, 3>& coeff = re < 20000 ? veg.rough1 : veg.rough2;
    k = std::pow(re, coeff[2]) / (coeff[0] * std::pow(100 * veg.residue_cover, coeff[1]));
  } else if (veg.cultivation == 2) {
    k = StemRoughness(veg, p, v, y, s);
  }
  // No residue cover, or no flow, gives no usable tabulated roughness.
  return std::isfinite(k) && k > 0 ? k : veg.k_st;
}

namespace {

// Velocity iteration at a flux of q_max [m3/s] through a face of width `distance`: the
// depth follows the mean of the last two velocities. Returns the velocity; y the depth.
double IterateVelocity(const CellVegetation& veg, const SurfaceParameters& p, double v, double q_max,
                       double distance, double s, double factor, double& y, double& k) {
  double v_old = v;
  double v_new = v;
  y = factor * q_max / v / distance;
  for (int pass = 0; pass < p.velocity_steps && (pass == 0 || std::abs(v_old - v_new) > p.velocity_tolerance);
       ++pass) {
    const double v_m = (v_old + v_new) / 2;
    if (!(v_m > 0)) {
      // The velocity has died away: nothing flows.
      y = 0;
      return 0;
    }
    y = factor * q_max / v_m / distance;
    k = VegetationRoughness(veg, p, v_m, y, s);
    v_old = v_new;
    v_new = k * std::pow(y, kExponent23) * s;
  }
  return v_new;
}

}  // namespace

void CellDirectionalFluxes(const SurfaceGrids& g, const SurfaceParameters& p, const CellVegetation& veg, int r,
                           int c, int i, int refresh, CellKind kind) {
  const std::span<double> w = g.weights.levels(r, c);
  const std::span<double> vel = g.velocity.levels(r, c);
  const std::span<double> flux = g.fluxes.levels(r, c);
  const bool fixed_strickler = p.method == SurfaceRoutingMethod::kFixedStrickler;
  if (!(w[0] >= kDirections && i != 0 && i != refresh && !fixed_strickler)) {
    g.main_flux(r, c) = 0;
    flux[0] = 0;
    const double h = g.head(r, c);
    const double z0 = Level(g, p, r, c, true);
    const double cs2 = p.cellsize * p.cellsize;
    double last_drop_term = 0;
    for (int n = 1; n <= kDirections; ++n) {
      if (!(w[n] > 0 && h > 0)) {
        vel[n] = 0;
        flux[n] = 0;
        continue;
      }
      double v = vel[n] > 0 ? vel[n] : 0.1;
      const int rn = r + kRowOffset[n];
      const int cn = c + kColOffset[n];
      const double distance = Distance(p, n);
      const double z_n = Level(g, p, rn, cn, false);
      const double drop = z0 - z_n;
      double gradient = drop / distance;
      if (kind == CellKind::kInner && z_n >= g.dem(r, c)) {
        const int o = Opposite(n);
        gradient = (Level(g, p, r + kRowOffset[o], c + kColOffset[o], false) - z_n) / (2 * distance);
      }
      const double s = gradient > 0 ? std::sqrt(gradient) : 0;
      const double drop_term = 2 * cs2 * w[n] * drop / p.dt_max;
      const double q_max = std::min(cs2 * w[n] * h / p.dt_max, drop_term);
      double y = h;
      double factor = 1;
      if (fixed_strickler) {
        v = std::min(distance / (20 * p.dt_min), 10 * std::pow(h, kExponent23) * s);
      } else {
        double k = veg.k_st;
        v = IterateVelocity(veg, p, v, q_max, distance, s, 1, y, k);
        factor = p.concentration_factor;
        const double shear = 9815 * y * s * s * std::pow(k / veg.k_st, 1.5);
        if (shear < g.critical_shear(r, c) || factor <= 1) {
          factor = 1;
        } else if (v > 0) {
          v = IterateVelocity(veg, p, v, q_max, distance, s, factor, y, k);
        }
        if (h < y / factor) {
          // Less water than the flux needs: the velocity at the cell's own depth.
          y = h * factor;
          for (int pass = 0; pass < p.velocity_steps; ++pass) {
            const double v_next = VegetationRoughness(veg, p, v, y, s) * std::pow(y, kExponent23) * s;
            const bool done = std::abs(v_next - v) <= p.velocity_tolerance;
            v = v_next;
            if (done) break;
          }
        }
      }
      if (!(y >= 1e-4) || !std::isfinite(v)) {
        v = 0;
        y = 0;
      }
      vel[n] = v;
      flux[n] = v * distance * y / factor;
      flux[0] += flux[n];
      if (flux[n] > 0) last_drop_term = drop_term;
    }
    g.main_flux(r, c) = flux[0];
    if (!fixed_strickler && flux[0] > 0) {
      const double ratio = std::min(cs2 * h / p.dt_max, last_drop_term) / flux[0];
      if (ratio < 1) {
        double sum = 0;
        for (int n = 1; n <= kDirections; ++n) {
          if (flux[n] > 0) flux[n] *= ratio;
          sum += flux[n];
        }
        flux[0] = sum;
        g.main_flux(r, c) = sum;
      }
    }
  }
  const int main = static_cast<int>(vel[0]);
  if (main >= 1 && main <= kDirections) {
    flux[0] = flux[main];
    g.main_flux(r, c) = flux[main];
  }
}

void LimitOutflowToStorage(const SurfaceGrids& g, const SurfaceParameters& p, int r, int c, double dt) {
  const std::span<double> flux = g.fluxes.levels(r, c);
  double out = 0;
  for (int n = 1; n <= kDirections; ++n) out += flux[n] > 0 ? flux[n] : 0;
  const double out_mm = dt * out * 1000 / (p.cellsize * p.cellsize);
  const double held_mm = std::max(g.storage(r, c), 0.0);
  if (!(out_mm > held_mm)) return;
  const double ratio = held_mm / out_mm;
  for (int n = 1; n <= kDirections; ++n) {
    if (flux[n] > 0) flux[n] *= ratio;
  }
  const int main = static_cast<int>(g.velocity(r, c, 0));
  flux[0] = main >= 1 && main <= kDirections ? flux[main] : flux[0] * ratio;
  g.main_flux(r, c) = flux[0];
}

double CellCourantTimeStep(const SurfaceGrids& g, const SurfaceParameters& p, int r, int c) {
  double step = kNoFlowTimeStep;
  const std::span<const double> w = g.weights.levels(r, c);
  const std::span<const double> vel = g.velocity.levels(r, c);
  for (int n = 1; n <= kDirections; ++n) {
    if (p.method == SurfaceRoutingMethod::kHeadDriven) {
      if (vel[n] != 0) step = std::min(step, std::abs(p.cellsize / vel[n]));
    } else if (w[n] > 1e-4 && vel[n] > 1e-5) {
      step = std::min(step, p.cellsize / vel[n]);
    }
  }
  return step;
}

void CellInflowOutflow(const SurfaceGrids& g, const SurfaceParameters& p, int r, int c, double dt,
                       std::span<const ConstGridView> conc, std::span<const GridView> flux) {
  double inflow = 0;
  for (const GridView& f : flux) f(r, c) = 0;
  for (int d = 1; d <= kDirections; ++d) {
    const int rr = r + kRowOffset[d];
    const int cc = c + kColOffset[d];
    if (!Inside(p, rr, cc) || g.zone(rr, cc) == p.nodata) continue;
    const double q = g.fluxes(rr, cc, Opposite(d));
    inflow += q;
    for (std::size_t t = 0; t < flux.size(); ++t) flux[t](r, c) += q * conc[t](rr, cc);
  }
  for (const GridView& f : flux) f(r, c) *= 1000 * dt;
  const std::span<const double> own = g.fluxes.levels(r, c);
  double out = 0;
  for (int n = 1; n <= kDirections; ++n) out += own[n] > 0 ? own[n] : 0;
  g.q_in(r, c) = inflow * dt;
  g.q_out(r, c) = out * dt;
}

}  // namespace tolvo
