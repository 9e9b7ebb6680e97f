#include "subsurface/soil_external_groundwater.h"

#include <algorithm>

namespace tolvo {
namespace {

// Drains layer k over the height h [m] from saturation to field capacity; the water lost [m].
double Drain(const ExternalTableColumn& col, int k, double h) {
  const double lost = (col.theta_s[k] - col.theta_fc[k]) * h;
  col.theta[k] -= lost / col.d[k];
  return lost;
}

// Saturates layer k; the water gained [m].
double Saturate(const ExternalTableColumn& col, int k) {
  const double gained = (col.theta_s[k] - col.theta[k]) * col.d[k];
  col.theta[k] = col.theta_s[k];
  return gained;
}

// Fills layer k by `wanted` [m] of water, at most to saturation; the water gained [m].
double Fill(const ExternalTableColumn& col, int k, double wanted) {
  if (col.theta[k] + wanted / col.d[k] > col.theta_s[k]) return Saturate(col, k);
  col.theta[k] += wanted / col.d[k];
  return wanted;
}

}  // namespace

ExternalTableMove move_to_external_table(const ExternalTableColumn& col, int r, double H, double D) {
  const std::span<const double> g = col.g;
  ExternalTableMove move{.balance_mm = 0, .level = r, .table_m = D};
  if (H > D) {
    int n = r;
    while (n <= col.L && g[n] > D) ++n;
    if (n > col.L) {
      D = g[col.L];
      n = col.L;
    }
    double out = 0;
    if (n == r) {
      out = Drain(col, r, H - D);
    } else {
      out = Drain(col, r, H - g[r]);
      for (int k = r + 1; k < n; ++k) out += Drain(col, k, col.d[k]);
      out += Drain(col, n, g[n - 1] - D);
    }
    move = {.balance_mm = -1000 * out, .level = n, .table_m = D};
    return move;
  }
  double in = 0;
  if (r > 1 && D > g[r - 1]) {
    int w = r - 1;
    while (w > 1 && D > g[w - 1]) --w;
    in = Saturate(col, r);
    for (int k = w + 1; k < r; ++k) in += Saturate(col, k);
    in += Fill(col, w, (D - g[w]) * (col.theta_s[w] - col.theta[w]));
    move.level = w;
  } else {
    in = Fill(col, r, (D - H) * (col.theta_s[r] - col.theta[r]));
  }
  move.balance_mm = 1000 * in;
  return move;
}

double max_pumping_mm(const SoilRecord& soil, int r) {
  double sum = 0;
  for (int k = std::max(r, 1); k < soil.layerCount; ++k) {
    const auto j = static_cast<std::size_t>(k);
    sum += 1000 * soil.thickness[j] * (soil.theta_sat[j] - soil.ThetaForSuction(k, kDrainedSuctionM));
  }
  return sum;
}

}  // namespace tolvo
