#include "subsurface/groundwater_kernels.h"

#include <algorithm>
#include <optional>
#include <cmath>

#include "framework/parallel.h"

namespace tolvo {

double AquiferDomain::ice(int r, int c) const {
  if (glacier.empty()) return 0;
  return std::clamp(glacier(r, c), 0.0, 1.0);
}

namespace {

bool has_value(ConstGridView g, int r, int c) { return !g.empty() && g(r, c) > kNodata; }

// Conducting thickness of a top-layer cell narrowed by frozen ground.
double unfrozen(const FrozenGround& f, int r, int c, double b) {
  if (!f.frozen_depth.empty()) {
    return has_value(f.frozen_depth, r, c) ? std::max(0.0, b - f.frozen_depth(r, c) * f.frozen_scaling) : b;
  }
  if (!f.thaw_depth.empty() && has_value(f.thaw_depth, r, c)) return std::min(b, -f.thaw_depth(r, c));
  return b;
}

// Saturated thickness of a cell: the conducting thickness reduced by the unsaturated part
// above the head, the whole thickness where the layer is full.
double saturated(const AquiferLayer& l, int r, int c, double b) {
  return l.h(r, c) <= l.top(r, c) + 0.01 ? b + (l.h(r, c) - l.top(r, c)) : l.thickness(r, c);
}

// Transmissivity of the face between (r, c) and its neighbour (rn, cn) in the direction
// whose conductivity grid is k.
double FaceTransmissivity(const AquiferDomain& d, const AquiferLayer& l, const FrozenGround& f, bool top_layer,
                          ConstGridView k, int r, int c, int rn, int cn) {
  const bool exists = d.exists(rn, cn);
  double b = l.thickness(r, c);
  double bn = exists && d.ice(rn, cn) < 1 ? l.thickness(rn, cn) : 0.0;
  if (top_layer) {
    b = unfrozen(f, r, c, b);
    if (exists) bn = unfrozen(f, rn, cn, bn);
  }
  double tc = d.ice(r, c) == 0 ? saturated(l, r, c, b) * k(r, c) : 0.0;
  const bool linked = exists && d.has_zone(rn, cn) && !d.closed(r, c, rn, cn);
  double tn = linked && d.ice(rn, cn) == 0 ? saturated(l, rn, cn, bn) * k(rn, cn) : 0.0;
  if (tc <= 0) tc = tn > 0 && l.h(rn, cn) > l.h(r, c) && k(r, c) > 0 && d.ice(r, c) == 0 ? tn : 0.0;
  if (linked && tn <= 0) tn = tc > 0 && l.h(r, c) > l.h(rn, cn) && k(rn, cn) > 0 && d.ice(rn, cn) == 0 ? tc : 0.0;
  return tc + tn > 0 ? 2 * tc * tn / (tc + tn) : 0.0;
}

}  // namespace

void ComputeLayerTransmissivities(const AquiferDomain& d, const AquiferLayer& layer, const FrozenGround& frozen,
                                  RowRange rows) {
  const bool top_layer = !frozen.frozen_depth.empty() || !frozen.thaw_depth.empty();
  for_each_row(rows, [&](int r) {
    for (int c = 1; c <= d.ncols; ++c) {
      if (!d.active(r, c)) {
        layer.tx(r, c) = 0;
        layer.ty(r, c) = 0;
        continue;
      }
      layer.tx(r, c) = FaceTransmissivity(d, layer, frozen, top_layer, layer.kx, r, c, r, c + 1);
      layer.ty(r, c) = FaceTransmissivity(d, layer, frozen, top_layer, layer.ky, r, c, r + 1, c);
    }
  });
}

void ComputeLayerLeakage(const AquiferDomain& d, const AquiferLayer& upper, const AquiferLayer& lower, RowRange rows) {
  for_each_row(rows, [&](int r) {
    for (int c = 1; c <= d.ncols; ++c) {
      if (!d.own(r, c)) continue;
      if (!d.active(r, c)) {
        upper.leakage(r, c) = 0;
        continue;
      }
      const double hl = lower.h(r, c);
      const double hn = upper.h(r, c);
      const double tl = lower.top(r, c);
      const double delta = hl <= hn && hl < tl ? std::min(tl - hn, 0.0) : hl - hn;
      upper.leakage(r, c) = std::clamp(delta, -1.0, 1.0) * upper.kolmation(r, c);
    }
  });
}

void ApplyFixedHeads(const AquiferDomain& d, const AquiferLayer& layer, RowRange rows) {
  for_each_row(rows, [&](int r) {
    for (int c = 1; c <= d.ncols; ++c) {
      if (!d.active(r, c) || !has_value(layer.fixed_head, r, c)) continue;
      const double fixed = layer.fixed_head(r, c);
      layer.h(r, c) = fixed;
      layer.h_old(r, c) = fixed;
      layer.h_prev(r, c) = fixed;
    }
  });
}

void SorHalfSweep(const AquiferDomain& d, const AquiferLayer& l, ConstGridView storage_top, ConstGridView leakage_above,
                  const SorParameters& p, int colour, RowRange rows, RowSweeps per_row) {
  const double a = p.alpha;
  for_each_row(rows, [&](int r) {
    SweepResult out;
    for (int c = 1 + (r + 1 + colour) % 2; c <= d.ncols; c += 2) {
      if (!d.active(r, c)) continue;
      if (has_value(l.fixed_head, r, c)) {
        const double fixed = l.fixed_head(r, c);
        l.h(r, c) = fixed;
        l.h_old(r, c) = fixed;
        l.h_prev(r, c) = fixed;
        continue;
      }
      const double dx = d.width(r, c);
      const double dy = d.height(r, c);
      const double h = l.h(r, c);
      const double h0 = l.h_old(r, c);
      const auto weighted = [&](int rn, int cn) {
        return d.exists(rn, cn) ? a * l.h(rn, cn) + (1 - a) * l.h_old(rn, cn) : h;
      };
      const double ce = dy / dx * l.tx(r, c);
      const double cw = c > 1 ? dy / dx * l.tx(r, c - 1) : 0.0;
      const double cs = dx / dy * l.ty(r, c);
      const double cn = r > 1 ? dx / dy * l.ty(r - 1, c) : 0.0;
      const double sum_c = ce + cw + cs + cn;
      const bool full = h0 >= l.top(r, c);
      const double s = full ? l.storage(r, c) : storage_top(r, c);
      double w = s / p.dt_s * h0 + l.leakage(r, c);
      if (!leakage_above.empty()) w -= leakage_above(r, c);
      if (has_value(l.fixed_flux, r, c)) w += l.fixed_flux(r, c);
      const double denominator = s * dx * dy / p.dt_s + a * sum_c;
      // A cell that neither stores nor conducts water has no head of its own to solve.
      if (!(denominator > 0)) continue;
      const double numerator = w * dx * dy + ce * weighted(r, c + 1) + cw * weighted(r, c - 1) +
                               cs * weighted(r + 1, c) + cn * weighted(r - 1, c) - (1 - a) * sum_c * h0;
      const double target = numerator / denominator;
      double change = std::abs(target - h);
      if (full) change /= 5;
      out.max_change = std::max(out.max_change, change);
      if (p.adaptive) {
        const double previous = l.iterate(r, c);
        double omega = 1;
        if (previous != h) {
          omega = 1 + (target - h) / (h - previous);
          if (omega <= 0) omega = 1;
        }
        omega = std::min(omega, 2.0);
        l.h(r, c) = h + omega * (target - h);
        l.iterate(r, c) = h;
        out.omega_sum += omega;
        out.omega_count += 1;
      } else {
        l.h(r, c) = p.relaxation != 1 ? h + (target - h) * p.relaxation : target;
      }
    }
    per_row[static_cast<std::size_t>(r)] = out;
  });
}

RowSolverWorkspace::RowSolverWorkspace(int n_threads, int ncols)
    : n_threads_(std::max(1, n_threads)),
      width_(static_cast<std::size_t>(ncols) + 2),
      values_(static_cast<std::size_t>(n_threads_) * 5 * width_, 0.0) {}

std::span<double> RowSolverWorkspace::part(int t, int k) {
  return std::span<double>(values_).subspan((static_cast<std::size_t>(t) * 5 + static_cast<std::size_t>(k)) * width_,
                                            width_);
}

double ExplicitFlowRatio(const AquiferDomain& d, const AquiferLayer& l, double dt_s, RowRange rows) {
  double largest = 0;
  const int team = row_team_size(rows);
#pragma omp parallel for schedule(runtime) num_threads(team) if (team > 1) reduction(max : largest)
  for (int r = rows.first; r <= rows.last; ++r) {
    for (int c = 1; c <= d.ncols; ++c) {
      if (!d.active(r, c) || has_value(l.fixed_head, r, c)) continue;
      const double s = l.storage(r, c);
      if (!(s > 0)) continue;
      const double dy = d.height(r, c);
      if (r > 1) largest = std::max(largest, l.ty(r - 1, c) * dt_s / (s * dy * d.height(r - 1, c)));
      if (r < d.nrows) largest = std::max(largest, l.ty(r, c) * dt_s / (s * dy * d.height(r + 1, c)));
    }
  }
  return largest;
}

namespace {

bool conducts(const AquiferLayer& l, int r, int c) {
  return l.tx(r, c) > 0 || l.ty(r, c) > 0 || (c > 1 && l.tx(r, c - 1) > 0) || (r > 1 && l.ty(r - 1, c) > 0);
}

// Whether the neighbour (rn, cn) of (r, c) exchanges water across their face.
bool exchanges(const AquiferDomain& d, int r, int c, int rn, int cn) {
  return d.exists(rn, cn) && d.has_zone(rn, cn) && d.ice(rn, cn) < 1 && !d.closed(r, c, rn, cn);
}

// Solves the segment of row r from column first to last; returns its largest change.
double SolveSegment(const AquiferDomain& d, const AquiferLayer& l, ConstGridView start, double dt_s, int r, int first,
                    int last, RowSolverWorkspace& work, int t) {
  const std::span<double> lo = work.lower(t);
  const std::span<double> di = work.diagonal(t);
  const std::span<double> up = work.upper(t);
  const std::span<double> rhs = work.rhs(t);
  const std::span<double> x = work.solution(t);
  for (int c = first; c <= last; ++c) {
    const double dx = d.width(r, c);
    const double dy = d.height(r, c);
    const double s = l.storage(r, c);
    const double aw = exchanges(d, r, c, r, c - 1) ? l.tx(r, c - 1) / d.width(r, c - 1) : 0.0;
    const double ae = exchanges(d, r, c, r, c + 1) ? l.tx(r, c) / d.width(r, c + 1) : 0.0;
    const double fn =
        exchanges(d, r, c, r - 1, c) ? (start(r - 1, c) - start(r, c)) * l.ty(r - 1, c) / dy / d.height(r - 1, c) : 0.0;
    const double fs =
        exchanges(d, r, c, r + 1, c) ? (start(r + 1, c) - start(r, c)) * l.ty(r, c) / dy / d.height(r + 1, c) : 0.0;
    const double q = has_value(l.fixed_flux, r, c) ? l.fixed_flux(r, c) : 0.0;
    const std::size_t i = static_cast<std::size_t>(c);
    di[i] = -dx * s / dt_s - aw - ae;
    lo[i] = aw;
    up[i] = ae;
    rhs[i] = dx * (-s * l.h(r, c) / dt_s - fn - fs - q);
  }
  // Neighbours beyond the ends of the segment that still conduct (a fixed head or a cell
  // of another process) enter with their known heads.
  const std::size_t f = static_cast<std::size_t>(first);
  const std::size_t e = static_cast<std::size_t>(last);
  if (lo[f] != 0) rhs[f] -= lo[f] * l.h(r, first - 1);
  if (up[e] != 0) rhs[e] -= up[e] * l.h(r, last + 1);
  lo[f] = 0;
  up[e] = 0;
  // Forward elimination and back substitution.
  for (std::size_t i = f + 1; i <= e; ++i) {
    const double m = lo[i] / di[i - 1];
    di[i] -= m * up[i - 1];
    rhs[i] -= m * rhs[i - 1];
  }
  x[e] = rhs[e] / di[e];
  for (std::size_t i = e; i > f; --i) x[i - 1] = (rhs[i - 1] - up[i - 1] * x[i]) / di[i - 1];
  double largest = 0;
  for (int c = first; c <= last; ++c) {
    const double value = x[static_cast<std::size_t>(c)];
    largest = std::max(largest, std::abs(value - l.h(r, c)));
    l.h(r, c) = value;
  }
  return largest;
}

}  // namespace

double SolveRowsImplicitLayer(const AquiferDomain& d, const AquiferLayer& l, ConstGridView start, double dt_s,
                              RowRange rows, RowSolverWorkspace& work, std::span<double> per_row_max) {
  const auto in_segment = [&](int r, int c) {
    return d.active(r, c) && !has_value(l.fixed_head, r, c) && conducts(l, r, c);
  };
  for_each_row_by_thread(rows, [&](int r, int t) {
    double largest = 0;
    int c = 1;
    while (c <= d.ncols) {
      if (!d.active(r, c)) {
        ++c;
        continue;
      }
      if (has_value(l.fixed_head, r, c)) {
        l.h(r, c) = l.fixed_head(r, c);
        ++c;
        continue;
      }
      if (!conducts(l, r, c)) {
        if (has_value(l.fixed_flux, r, c) && l.storage(r, c) > 0) {
          const double rise = l.fixed_flux(r, c) * dt_s / l.storage(r, c);
          l.h(r, c) += rise;
          largest = std::max(largest, std::abs(rise));
        }
        ++c;
        continue;
      }
      const int first = c;
      int last = c;
      while (last + 1 <= d.ncols && in_segment(r, last + 1) && !d.closed(r, first, r, last + 1)) ++last;
      largest = std::max(largest, SolveSegment(d, l, start, dt_s, r, first, last, work, t));
      c = last + 1;
    }
    per_row_max[static_cast<std::size_t>(r)] = largest;
  });
  double largest = 0;
  for (int r = rows.first; r <= rows.last; ++r) largest = std::max(largest, per_row_max[static_cast<std::size_t>(r)]);
  return largest;
}

void ComputeLayerFlows(const AquiferDomain& d, const AquiferLayer& l, RowRange rows) {
  const auto flux = [&](int r, int c, int rn, int cn, ConstGridView k, double length) {
    if (!d.exists(rn, cn) || d.ice(rn, cn) >= 1) return 0.0;
    if (!d.has_zone(rn, cn)) return kNodata;
    return (l.h(r, c) - l.h(rn, cn)) * k(r, c) / length;
  };
  for_each_row(rows, [&](int r) {
    for (int c = 1; c <= d.ncols; ++c) {
      if (!d.own(r, c)) continue;
      if (!d.has_zone(r, c) || d.ice(r, c) >= 1) {
        l.qx(r, c) = 0;
        l.qy(r, c) = 0;
        continue;
      }
      l.qx(r, c) = flux(r, c, r, c + 1, l.kx, d.width(r, c));
      l.qy(r, c) = flux(r, c, r + 1, c, l.ky, d.height(r, c));
    }
  });
}

CellVolumes LayerCellVolumes(const AquiferDomain& d, std::span<const AquiferLayer> layers, int n, double dt_s, int r,
                             int c, double alpha) {
  const AquiferLayer& l = layers[static_cast<std::size_t>(n)];
  const int n_layers = static_cast<int>(layers.size()) - 1;
  const AquiferLayer& top_layer = layers[1];
  CellVolumes v;
  const double dx = d.width(r, c);
  const double dy = d.height(r, c);
  const auto weighted = [&](int rw, int cw) { return alpha * l.h(rw, cw) + (1 - alpha) * l.h_old(rw, cw); };
  const double h = weighted(r, c);
  const double h0 = l.h_old(r, c);
  const double b = l.thickness(r, c);
  const double sat = std::max(0.0, h0 < l.top(r, c) ? b + (h0 - l.top(r, c)) : b);
  v.stored = top_layer.storage(r, c) * dx * dy * sat;
  const auto lateral = [&](int rn, int cn, double t, double q, double length, double across) -> std::optional<double> {
    if (!d.exists(rn, cn) || !d.has_zone(rn, cn) || q == kNodata) return std::nullopt;
    return (weighted(rn, cn) - h) / length * t * across * dt_s;
  };
  v.east = lateral(r, c + 1, l.tx(r, c), l.qx(r, c), dx, dy);
  if (c > 1) v.west = lateral(r, c - 1, l.tx(r, c - 1), l.qx(r, c - 1), dx, dy);
  v.south = lateral(r + 1, c, l.ty(r, c), l.qy(r, c), dy, dx);
  if (r > 1) v.north = lateral(r - 1, c, l.ty(r - 1, c), l.qy(r - 1, c), dy, dx);
  if (n > 1) v.above = -layers[static_cast<std::size_t>(n - 1)].leakage(r, c) * dx * dy * dt_s;
  if (n < n_layers) v.below = l.leakage(r, c) * dx * dy * dt_s;
  return v;
}

double CellVolumes::inflow() const {
  double sum = 0;
  for (const std::optional<double>& f : {east, west, south, north, above, below}) sum += f.value_or(0.0);
  return sum;
}

void ComputeLayerBalance(const AquiferDomain& d, std::span<const AquiferLayer> layers, int n, double dt_s,
                         ConstGridView unconfined_storage, RowRange rows, double alpha) {
  const AquiferLayer& l = layers[static_cast<std::size_t>(n)];
  for_each_row(rows, [&](int r) {
    for (int c = 1; c <= d.ncols; ++c) {
      if (!d.own(r, c) || !d.has_zone(r, c)) continue;
      if (d.ice(r, c) >= 1) {
        l.balance(r, c) = 0;
        continue;
      }
      const double area = d.width(r, c) * d.height(r, c);
      const CellVolumes v = LayerCellVolumes(d, layers, n, dt_s, r, c, alpha);
      const bool unconfined = !unconfined_storage.empty() && l.h_old(r, c) < l.top(r, c);
      const double s = unconfined ? unconfined_storage(r, c) : l.storage(r, c);
      l.balance(r, c) = ((l.h(r, c) - l.h_old(r, c)) * s - v.inflow() / area) * 1000;
    }
  });
}

void CloseLayerBalanceThroughLeakage(const AquiferDomain& d, std::span<const AquiferLayer> layers, int n, double dt_s,
                                     double alpha, ConstGridView unconfined_storage, RowRange rows) {
  const AquiferLayer& l = layers[static_cast<std::size_t>(n)];
  const AquiferLayer& above = layers[static_cast<std::size_t>(n - 1)];
  for_each_row(rows, [&](int r) {
    for (int c = 1; c <= d.ncols; ++c) {
      if (!d.active(r, c) || has_value(l.fixed_head, r, c)) continue;
      const double area = d.width(r, c) * d.height(r, c);
      const CellVolumes v = LayerCellVolumes(d, layers, n, dt_s, r, c, alpha);
      const bool unconfined = !unconfined_storage.empty() && l.h_old(r, c) < l.top(r, c);
      const double s = unconfined ? unconfined_storage(r, c) : l.storage(r, c);
      const double q = has_value(l.fixed_flux, r, c) ? l.fixed_flux(r, c) : 0.0;
      const double received = (v.inflow() - v.above.value_or(0.0)) / (area * dt_s) + q;
      above.leakage(r, c) = received - s * (l.h(r, c) - l.h_old(r, c)) / dt_s;
    }
  });
}

Oscillations CountLayerOscillations(const AquiferDomain& d, const AquiferLayer& l, double limit, RowRange rows,
                                    std::span<Oscillations> per_row) {
  for_each_row(rows, [&](int r) {
    Oscillations o;
    for (int c = 1; c <= d.ncols; ++c) {
      if (!d.own(r, c) || !d.has_zone(r, c)) continue;
      const double before = l.h_old(r, c) - l.h_prev(r, c);
      const double now = l.h(r, c) - l.h_old(r, c);
      if ((before > limit && now < -limit) || (before < -limit && now > limit)) {
        o.count += 1;
        o.sum += std::abs(now);
        o.largest = std::max(o.largest, std::abs(now));
      }
    }
    per_row[static_cast<std::size_t>(r)] = o;
  });
  Oscillations total;
  for (int r = rows.first; r <= rows.last; ++r) {
    const Oscillations& o = per_row[static_cast<std::size_t>(r)];
    total.count += o.count;
    total.sum += o.sum;
    total.largest = std::max(total.largest, o.largest);
  }
  return total;
}

}  // namespace tolvo
