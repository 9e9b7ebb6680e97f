// Exfiltration into and re-infiltration from the river of a cell.

#include "subsurface/soil_river_exchange.h"

#include <algorithm>

namespace tolvo {
namespace {

// Replaces the cell's reservation in its river by a take of at most `wanted` [m³/s] and
// returns the take: what the river still carries beyond the other cells' takes.
double reserve(const RiverCellInput& in, double wanted) {
  if (in.river == nullptr || in.reservation == nullptr) return 0;
  double take = 0;
#pragma omp critical
  {
    RiverflowRecord& river = *in.river;
    river.reinfiltration -= *in.reservation;
    const double left = std::max(0.0, river.flowm3s - river.reinfiltration);
    take = std::clamp(wanted, 0.0, left);
    river.reinfiltration += take;
    *in.reservation = take;
  }
  return take;
}

}  // namespace

int river_bed_layer(std::span<const double> d, int n, double depth) {
  double bottom = 0;
  for (int j = 1; j <= n; ++j) {
    bottom += d[static_cast<std::size_t>(j)];
    if (bottom >= depth) return j;
  }
  return n;
}

RiverExchange river_exchange(const RiverCellInput& in, const RiverColumn& col, std::span<double> infiltration,
                             std::span<double> exfiltration) {
  RiverExchange out;
  if (in.interaction <= 0) return out;
  const int n = col.n;
  for (int j = 1; j <= n; ++j) infiltration[static_cast<std::size_t>(j)] = exfiltration[static_cast<std::size_t>(j)] = 0;
  const auto release = [&] {
    if (in.reservation != nullptr && *in.reservation != 0) reserve(in, 0);
  };
  if ((in.lake_control == 1 && in.full_lake_cell) || (in.lake_control != 0 && in.lake_control != 1) ||
      !(in.depth > 0) || !(in.width > 0)) {
    release();
    return out;
  }
  const auto at = [](std::span<const double> v, int j) { return v[static_cast<std::size_t>(j)]; };
  const int b = river_bed_layer(col.d, n, in.depth);
  const int k = std::clamp(col.k, 1, n);
  const double s0 = at(col.z, 0);
  const double hg = s0 + in.groundwater_distance;
  const double hb = s0 - in.depth;
  const double K = in.kolmation;
  const double c = in.cellsize;
  const double dt = col.dt;
  const auto mean_theta = [&](int j) { return (at(col.theta_a, j) + at(col.theta_b, j)) / 2; };

  if (hg > hb) {
    release();
    const double drainable = mean_theta(k) - col.soil->FieldCapacity(k);
    const double E = K > 0 ? K * (hg - hb) * in.width / c : 0.0;
    double R = E;
    const auto take = [&](int j, double height) {
      const double v = std::min(R, std::max(0.0, height * drainable / dt));
      exfiltration[static_cast<std::size_t>(j)] = v;
      R -= v;
    };
    if (b > k) {
      take(k, hg - at(col.z, k));
      for (int j = k + 1; j <= b - 1; ++j) take(j, at(col.d, j));
      take(b, at(col.z, b - 1) - hb);
    } else {
      take(b, hg - hb);
    }
    out.exfiltration = R > 0 ? E - R : E;
    return out;
  }

  // Re-infiltration: only from the river of the cell's link.
  if (in.interaction == 1 || in.river == nullptr) return out;
  const RiverflowRecord& river = *in.river;
  const double hr = river.speed > 0 ? river.flowm3s / river.speed / in.width : 0.0;
  const double hs = b <= k ? at(col.H, b) : hg;
  const double potential = K > 0 ? std::max(0.0, K * ((hb + hr) - hs) * in.width * c) : 0.0;
  // Water-surface layer s: the layers above it stay dry.
  const double e = in.depth - hr;
  int s = 1;
  if (n > 0 && e > 0) {
    s = n + 1;
    double above = 0;
    for (int m = 2; m <= n + 1; ++m) {
      above += at(col.d, m - 1);
      if (above >= e) {
        s = m;
        break;
      }
    }
  }
  // Room of the layers that can take river water, filled from the bed layer down to the
  // water table, then upward to the water surface; a layer never gives water here.
  const auto room = [&](int j) { return std::max(0.0, (at(col.theta_s, j) - mean_theta(j)) * at(col.d, j) / dt); };
  double capacity = 0;
  if (b <= k) {
    for (int j = b; j <= k; ++j) capacity += room(j);
  }
  for (int j = b - 1; j > s; --j) capacity += room(j);
  const double I = reserve(in, std::min(potential, capacity * c * c)) / (c * c);
  out.infiltration = I;
  double R = I;
  const auto fill = [&](int j) {
    const double v = std::min(R, room(j));
    infiltration[static_cast<std::size_t>(j)] = v;
    R -= v;
  };
  if (b <= k) {
    for (int j = b; j <= k && R > 0; ++j) fill(j);
  }
  for (int j = b - 1; j > s && R > 0; --j) fill(j);
  return out;
}

void exchange_with_river(const ColumnParameters& p, const ColumnArrays& c) {
  RiverCell& cell = *p.river;
  cell.in.groundwater_distance = p.W - c.z[0];
  cell.in.reservation = &cell.reservation;
  const RiverColumn column{.soil = p.soil, .n = p.n, .k = p.G, .dt = p.dt, .theta_s = c.theta_s,
                           .theta_a = c.theta0, .theta_b = c.theta_m, .z = c.z, .H = c.H, .d = c.d};
  cell.last = river_exchange(cell.in, column, c.R, c.X);
}

void settle_river_take(RiverCell& cell, double infiltration) {
  if (cell.in.river != nullptr && cell.reservation != 0) {
    const double take = std::max(0.0, infiltration) * cell.in.cellsize * cell.in.cellsize;
#pragma omp critical
    cell.in.river->reinfiltration += take - cell.reservation;
  }
  cell.reservation = 0;
}

RiverExchange settle_river_flows(const ColumnParameters& p, const ColumnArrays& c) {
  RiverExchange sums;
  if (p.river == nullptr) return sums;
  for (int j = 1; j <= p.n; ++j) {
    sums.infiltration += c.R[j];
    sums.exfiltration += c.X[j];
  }
  settle_river_take(*p.river, sums.infiltration);
  return sums;
}

}  // namespace tolvo
