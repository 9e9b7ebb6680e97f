#include "runoff/head_driven_flow.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>

#include "framework/parallel.h"

namespace tolvo {
namespace {

enum Face { kN = 0, kE = 1, kS = 2, kW = 3 };
constexpr std::array<int, 4> kFaceRow = {-1, 0, 1, 0};
constexpr std::array<int, 4> kFaceCol = {0, 1, 0, -1};

bool Inside(const HeadParameters& p, int r, int c) { return r >= 1 && r <= p.nrows && c >= 1 && c <= p.ncols; }

bool IsOwn(const HeadGrids& g, const HeadParameters& p, int r, int c) {
  return g.zone(r, c) != p.nodata && (g.regions.empty() || g.regions(r, c) == p.rank);
}
bool IsRiver(const HeadGrids& g, int r, int c) { return g.river_depth(r, c) > 0 && g.river_width(r, c) > 0; }
bool IsRiverGrid(const HeadGrids& g, const HeadParameters& p, int r, int c) {
  return g.river_depth(r, c) != p.nodata && g.river_width(r, c) != p.nodata;
}

// A neighbour water may cross to: inside the grid and the basin and, with closed
// sub-basins, of the same zone code.
bool Admissible(const HeadGrids& g, const HeadParameters& p, int r, int c, int rr, int cc) {
  if (!Inside(p, rr, cc) || g.zone(rr, cc) == p.nodata) return false;
  return !p.closed_subbasins || g.zone(rr, cc) == g.zone(r, c);
}

struct Effective {
  double head;
  double depth;
};

// The neighbour's head as the cell (head h, ground d_ground) sees it.
Effective EffectiveHead(const HeadGrids& g, const HeadParameters& p, int rr, int cc, double h, double d_ground) {
  if (!Inside(p, rr, cc)) return {h, h - d_ground};
  if (IsRiver(g, rr, cc)) return {d_ground, 0};
  const double ground_x = g.dem(rr, cc);
  const double head_x = g.head(rr, cc);
  const double depth_x = head_x - ground_x;
  if (h < ground_x) return {h + depth_x, depth_x};
  if (head_x < d_ground) return {d_ground, 0};
  return {head_x, depth_x};
}

double CellDx(const HeadGrids& g, const HeadParameters& p, int r, int c) {
  return g.cell_size_x.empty() ? p.cellsize : g.cell_size_x(r, c);
}
double CellDy(const HeadGrids& g, const HeadParameters& p, int r, int c) {
  return g.cell_size_y.empty() ? p.cellsize : g.cell_size_y(r, c);
}

bool HasPositiveFace(const HeadGrids& g, const HeadParameters& p, int r, int c) {
  return (c >= 2 && g.roughness_x(r, c - 1) > 0) || (c < p.ncols && g.roughness_x(r, c) > 0) ||
         (r >= 2 && g.roughness_y(r - 1, c) > 0) || (r < p.nrows && g.roughness_y(r, c) > 0);
}

// Face coefficients k_N, k_E, k_S, k_W [m2/s]. The first row and column, which have no
// north or west face, damp the update with the conductance of the opposite face.
std::array<double, 4> FaceCoefficients(const HeadGrids& g, const HeadParameters& /*parameters*/, int r, int c, double dx,
                                       double dy) {
  return {r == 1 ? g.roughness_y(r, c) : dx / dy * g.roughness_y(r - 1, c), dy / dx * g.roughness_x(r, c),
          dx / dy * g.roughness_y(r, c), c == 1 ? g.roughness_x(r, c) : dy / dx * g.roughness_x(r, c - 1)};
}

double HarmonicMean(double a, double b) { return a + b > 0 ? 2 * a * b / (a + b) : 0; }

// The conductance of a face between the cell's coefficient a (head h) and its neighbour's
// b (effective head h_b, as the cell sees it): their
// harmonic mean, but never less than the coefficient of the cell whose water stands
// higher. Water running down a slope onto a barely wet cell would otherwise be choked by
// that cell's small depth (the mean of a and a tiny b is about 2b), and the wetting front
// would stall a cell or two below the rain, while onto a dry cell it flows with the full
// upstream coefficient.
double FaceConductance(double a, double h, double b, double h_b) {
  const double mean = HarmonicMean(a, b);
  const double upstream = h > h_b ? a : h_b > h ? b : 0.0;
  return std::max(mean, upstream);
}

}  // namespace

std::array<double, 59> HeadDumpRecord(const HeadUpdate& u) {
  std::array<double, 59> d{};
  d[0] = u.dt;
  for (int k = 0; k < 4; ++k) d[1 + k] = u.dem[k];
  for (int k = 0; k < 5; ++k) {
    d[5 + k] = u.dem[k];
    d[10 + k] = u.roughness_x[k];
    d[15 + k] = u.roughness_y[k];
    d[20 + k] = u.river_depth[k];
    d[25 + k] = u.river_width[k];
    d[30 + k] = u.head[k];
  }
  d[35] = u.new_head;
  for (int k = 0; k < 4; ++k) {
    d[37 + k] = u.effective[k];
    d[42 + k] = u.k[k];
    d[47 + k] = u.k_times_head[k];
  }
  d[51] = u.dx;
  d[52] = u.dy;
  d[53] = u.old_head;
  d[54] = u.sum_k;
  d[55] = u.sum_kh;
  d[56] = u.q;
  return d;
}

void ComputeFaceConductances(const HeadGrids& g, const HeadParameters& p, RowRange rows) {
  for_each_row(rows, [&](int r) {
    for (int c = 1; c <= p.ncols; ++c) {
      if (!IsOwn(g, p, r, c)) {
        g.roughness_x(r, c) = 0;
        g.roughness_y(r, c) = 0;
        continue;
      }
      const double m = g.manning(r, c);
      const double h = g.head(r, c);
      const double a = IsRiver(g, r, c) ? m : (h - g.dem(r, c)) * m;
      // The transfer coefficient of a neighbour that water may cross to, 0 otherwise.
      const auto neighbour = [&](int rr, int cc, bool& admissible, double& head_x, double& m_x) {
        admissible = Admissible(g, p, r, c, rr, cc);
        if (!admissible) return 0.0;
        m_x = g.manning(rr, cc);
        head_x = g.head(rr, cc);
        return IsRiver(g, rr, cc) ? m_x : (head_x - g.dem(rr, cc)) * m_x;
      };
      bool east_ok = false, south_ok = false;
      double h_e = 0, h_s = 0, m_e = 0, m_s = 0;
      double e = neighbour(r, c + 1, east_ok, h_e, m_e);
      double s = neighbour(r + 1, c, south_ok, h_s, m_s);
      // A dry cell takes the coefficient of a neighbour whose water stands higher, over
      // the face they share, so that water can flow into it from the east and the south.
      double a_x = a;
      double a_y = a;
      if (a <= 0) {
        a_x = e > 0 && h_e > h && m > 0 ? e : 0;
        a_y = s > 0 && h_s > h && m > 0 ? s : 0;
      }
      // A dry neighbour takes the cell's coefficient when the cell's water stands higher.
      if (e <= 0 && east_ok) e = a_x > 0 && h > h_e && m_e > 0 ? a_x : 0;
      if (s <= 0 && south_ok) s = a_y > 0 && h > h_s && m_s > 0 ? a_y : 0;
      const double ground = g.dem(r, c);
      g.roughness_x(r, c) =
          east_ok ? FaceConductance(a_x, h, e, EffectiveHead(g, p, r, c + 1, h, ground).head) : 0.0;
      g.roughness_y(r, c) =
          south_ok ? FaceConductance(a_y, h, s, EffectiveHead(g, p, r + 1, c, h, ground).head) : 0.0;
    }
  });
}

double IterateHeads(const HeadGrids& g, const HeadParameters& p, RowRange rows, int colour, int j, double dt,
                    std::span<double> row_change, NonFiniteHeadHandler* handler, bool& stopped) {
  std::atomic<bool> stop{false};
  for_each_row(rows, [&](int r) {
    double largest = 0;
    for (int c = 2 - (r + colour) % 2; c <= p.ncols; c += 2) {
      if (stop.load(std::memory_order_relaxed)) break;
      if (!IsOwn(g, p, r, c)) continue;
      const double ground = g.dem(r, c);
      if (IsRiverGrid(g, p, r, c)) {
        if (IsRiver(g, r, c)) {
          g.head(r, c) = ground;
          g.head_old(r, c) = ground;
        }
        continue;
      }
      if (!HasPositiveFace(g, p, r, c)) continue;
      const double dx = CellDx(g, p, r, c);
      const double dy = CellDy(g, p, r, c);
      const double h = g.head(r, c);
      const std::array<double, 4> k = FaceCoefficients(g, p, r, c, dx, dy);
      double sum_k = 0;
      double sum_kh = 0;
      std::array<double, 4> effective{};
      for (int f = 0; f < 4; ++f) {
        effective[f] = EffectiveHead(g, p, r + kFaceRow[f], c + kFaceCol[f], h, ground).head;
        sum_k += k[f];
        sum_kh += k[f] * effective[f];
      }
      const double area = dx * dy;
      const double q = area / dt + sum_k;
      const double updated = q == 0 ? ground : (area * g.head_old(r, c) / dt + sum_kh) / q;
      if (handler != nullptr && !std::isfinite(updated)) {
        HeadUpdate u{.r = r, .c = c, .iteration = j, .dt = dt};
        for (int n = 0; n < 5; ++n) {
          const int rr = n == 0 ? r : r + kFaceRow[n - 1];
          const int cc = n == 0 ? c : c + kFaceCol[n - 1];
          const bool in = Inside(p, rr, cc);
          u.dem[n] = in ? g.dem(rr, cc) : p.nodata;
          u.roughness_x[n] = in ? g.roughness_x(rr, cc) : p.nodata;
          u.roughness_y[n] = in ? g.roughness_y(rr, cc) : p.nodata;
          u.river_depth[n] = in ? g.river_depth(rr, cc) : p.nodata;
          u.river_width[n] = in ? g.river_width(rr, cc) : p.nodata;
          u.head[n] = n == 0 ? h : in ? g.head(rr, cc) : p.nodata;
        }
        u.new_head = updated;
        for (int f = 0; f < 4; ++f) {
          u.effective[f] = effective[f];
          u.k[f] = k[f];
          u.k_times_head[f] = k[f] * effective[f];
        }
        u.dx = dx;
        u.dy = dy;
        u.old_head = h;
        u.sum_k = sum_k;
        u.sum_kh = sum_kh;
        u.q = q;
        bool halt = false;
#pragma omp critical
        halt = handler->OnNonFiniteHead(u);
        if (halt) stop.store(true, std::memory_order_relaxed);
      }
      g.head(r, c) = updated;
      const double change = std::abs(updated - h);
      if (std::isfinite(change)) largest = std::max(largest, change);
    }
    row_change[static_cast<std::size_t>(r)] = largest;
  });
  double largest = 0;
  for (int r = rows.first; r <= rows.last; ++r) largest = std::max(largest, row_change[static_cast<std::size_t>(r)]);
  stopped = stop.load();
  return largest;
}

void FaceFluxes(const HeadGrids& g, const HeadParameters& p, RowRange rows) {
  for_each_row(rows, [&](int r) {
    for (int c = 1; c <= p.ncols; ++c) {
      if (!IsOwn(g, p, r, c) || IsRiverGrid(g, p, r, c)) continue;
      const std::span<double> flux = g.fluxes.levels(r, c);
      const std::span<double> vel = g.velocity.levels(r, c);
      for (int l = 0; l <= 8; ++l) flux[l] = vel[l] = 0;
      g.main_flux(r, c) = 0;
      g.main_velocity(r, c) = 0;
      if (!HasPositiveFace(g, p, r, c)) continue;
      const double dx = CellDx(g, p, r, c);
      const double dy = CellDy(g, p, r, c);
      const double h = g.head(r, c);
      const double ground = g.dem(r, c);
      const double d = h - ground;
      const std::array<double, 4> k = FaceCoefficients(g, p, r, c, dx, dy);
      // Flux over each face with the coefficients of the head update, so that the fluxes
      // balance the update; the sign points south or east.
      constexpr std::array<int, 4> kLevel = {1, 3, 5, 7};
      constexpr std::array<double, 4> kInward = {1, -1, -1, 1};
      const std::array<bool, 4> has_face = {r > 1, c < p.ncols, r < p.nrows, c > 1};
      for (int f = 0; f < 4; ++f) {
        if (!has_face[f]) continue;
        const Effective x = EffectiveHead(g, p, r + kFaceRow[f], c + kFaceCol[f], h, ground);
        const double q = kInward[f] * k[f] * (x.head - h);
        flux[kLevel[f]] = q;
        const double width = f == kN || f == kS ? dx : dy;
        const double mean_depth = 0.5 * (x.depth + d);
        vel[kLevel[f]] = k[f] != 0 && mean_depth != 0 ? q / (mean_depth * width) : 0;
      }
      const auto magnitude = [](std::span<const double> v) {
        const double ns = (std::abs(v[1]) + std::abs(v[5])) / 2;
        const double ew = (std::abs(v[3]) + std::abs(v[7])) / 2;
        const double sum = ns * ns + ew * ew;
        return sum > 0 ? std::sqrt(sum) : 0.0;
      };
      flux[0] = g.main_flux(r, c) = magnitude(flux);
      vel[0] = g.main_velocity(r, c) = magnitude(vel);
    }
  });
}

void RiverFaceFluxes(const HeadGrids& g, const HeadParameters& p, RowRange rows) {
  for_each_row(rows, [&](int r) {
    for (int c = 1; c <= p.ncols; ++c) {
      if (!IsOwn(g, p, r, c) || !IsRiverGrid(g, p, r, c)) continue;
      for (auto [stack, grid] : {std::pair{g.fluxes, g.main_flux}, std::pair{g.velocity, g.main_velocity}}) {
        const std::span<double> own = stack.levels(r, c);
        // Level l takes the neighbour's level of the same face, seen from its side.
        constexpr std::array<int, 4> kLevel = {1, 3, 5, 7};
        for (int f = 0; f < 4; ++f) {
          const int rr = r + kFaceRow[f];
          const int cc = c + kFaceCol[f];
          double v = 0;
          if (Admissible(g, p, r, c, rr, cc)) {
            v = stack(rr, cc, kLevel[(f + 2) % 4]);
            if (v == p.nodata) v = 0;
          }
          own[kLevel[f]] = v;
        }
        own[2] = own[4] = own[6] = own[8] = 0;
        const double ew = std::abs(own[7]) + std::abs(own[3]);
        const double ns = std::abs(own[1]) + std::abs(own[5]);
        const double sum = ew * ew + ns * ns;
        own[0] = grid(r, c) = sum > 0 ? std::sqrt(sum) : 0.0;
      }
    }
  });
}

void ConserveHeads(const HeadGrids& g, const HeadParameters& p, RowRange rows, double dt) {
  for_each_row(rows, [&](int r) {
    for (int c = 1; c <= p.ncols; ++c) {
      if (!IsOwn(g, p, r, c) || IsRiverGrid(g, p, r, c) || !HasPositiveFace(g, p, r, c)) continue;
      const std::span<const double> f = g.fluxes.levels(r, c);
      const double net = f[1] - f[5] + f[7] - f[3];
      g.head(r, c) = g.head_old(r, c) + dt * net / (CellDx(g, p, r, c) * CellDy(g, p, r, c));
    }
  });
}

void SettleHeadBalances(const HeadGrids& g, const HeadParameters& p, RowRange rows, double dt, GridView directflow,
                        GridView storage, const RiverHandOver& hand_over) {
  for_each_row(rows, [&](int r) {
    for (int c = 1; c <= p.ncols; ++c) {
      if (!IsOwn(g, p, r, c)) continue;
      if (IsRiver(g, r, c)) {
        const auto s = static_cast<std::size_t>(hand_over.subbasin(r, c));
        const double area = CellDx(g, p, r, c) * CellDy(g, p, r, c);
        directflow(r, c) += hand_over.per_flux[s] * std::abs(g.fluxes(r, c, 0)) * 1000 * dt / area +
                            hand_over.per_cell[s];
      } else {
        directflow(r, c) = 0;
      }
      const double ground = g.dem(r, c);
      if (g.head(r, c) < ground) g.head(r, c) = ground;
      storage(r, c) = std::max((g.head(r, c) - ground) * 1000, 0.0);
      g.head_old(r, c) = g.head(r, c);
    }
  });
}

}  // namespace tolvo
