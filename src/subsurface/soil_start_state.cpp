#include "subsurface/soil_start_state.h"

#include <algorithm>
#include <cassert>
#include <cmath>

#include "subsurface/soil_settings.h"
#include "tables/soil_table.h"

namespace tolvo {
namespace {

int LayerCount(std::span<const double> column) { return static_cast<int>(column.size()) - 1; }

}  // namespace

void ComputeGeodeticHeads(double elevation_m, std::span<const double> thickness_m, std::span<double> g) {
  assert(thickness_m.size() >= g.size());
  g[0] = elevation_m;
  for (std::size_t k = 1; k < g.size(); ++k) g[k] = g[k - 1] - thickness_m[k];
}

int UnsaturatedLayersFromDivisor(int n_layers, double divisor) {
  assert(divisor > 0);
  const double n = std::floor(static_cast<double>(n_layers - 1) / divisor) + 1;
  return static_cast<int>(std::clamp(n, 1.0, static_cast<double>(n_layers)));
}

int UnsaturatedLayersAboveDepth(std::span<const double> g, double depth_m) {
  const int n_layers = LayerCount(g);
  if (depth_m <= g[0] - g[1]) return 0;
  int n = 0;
  for (int k = 1; k <= n_layers; ++k) {
    if (g[0] - g[static_cast<std::size_t>(k)] < depth_m) ++n;
  }
  return std::min(n, n_layers);
}

void ComputeStartWaterContent(const SoilRecord& soil, std::span<const double> g, int n, std::span<double> theta) {
  const int n_layers = LayerCount(g);
  assert(n >= 0 && n <= n_layers);
  const auto& d = soil.thickness;
  theta[0] = soil.theta_sat[1];
  // The water table lies in the middle of the first saturated layer, or at the column
  // bottom when every layer is unsaturated.
  const double table_height = n < n_layers ? g[static_cast<std::size_t>(n + 1)] + d[static_cast<std::size_t>(n + 1)] / 2
                                           : g[static_cast<std::size_t>(n_layers)];
  for (int k = 1; k <= n_layers; ++k) {
    const auto i = static_cast<std::size_t>(k);
    theta[i] = k <= n ? soil.ThetaForSuction(k, (g[i] + d[i] / 2) - table_height) : soil.theta_sat[i];
  }
}

void ComputeHydraulicHeads(const SoilRecord& soil, std::span<const double> g, std::span<const double> theta,
                           std::span<double> h) {
  h[0] = g[0];
  for (std::size_t k = 1; k < g.size(); ++k) {
    h[k] = (g[k - 1] + g[k]) / 2 - soil.SuctionForTheta(static_cast<int>(k), theta[k]);
  }
}

GroundwaterSurface FindGroundwaterSurface(std::span<const double> theta, std::span<const double> theta_sat,
                                          std::span<const double> g) {
  const int n_layers = LayerCount(g);
  GroundwaterSurface s{0, theta[1], g[static_cast<std::size_t>(n_layers)] - g[0]};
  int state = 0;  // 0 below the first saturated layer, 1 in saturated layers, 2 above them
  for (int k = n_layers - 1; k >= 1; --k) {
    const auto i = static_cast<std::size_t>(k);
    if (theta[i] > 0.9995 * theta_sat[i] && state != 2) {
      s = {k, theta[i - 1], g[i - 1] - g[0]};
      state = 1;
    } else if (state == 1 || theta_sat[i] != theta[static_cast<std::size_t>(n_layers)]) {
      state = 2;
    }
  }
  return s;
}

int DrainageLayer(std::span<const double> g, double drainage_depth_m) {
  const int n_layers = LayerCount(g);
  const double depth = drainage_depth_m - 0.01;
  if (depth <= 0) return 0;
  for (int k = 1; k <= n_layers; ++k) {
    if (g[0] - g[static_cast<std::size_t>(k)] >= depth) return k;
  }
  return n_layers;
}

double WaterInDepthRange(std::span<const double> g, std::span<const double> theta, double depth_m) {
  const int n_layers = LayerCount(g);
  const double bottom = std::min(depth_m, g[0] - g[static_cast<std::size_t>(n_layers)]);
  double water = 0;
  for (int k = 1; k <= n_layers; ++k) {
    const auto i = static_cast<std::size_t>(k);
    const double top = g[0] - g[i - 1];
    const double part = std::min(g[0] - g[i], bottom) - top;
    if (part <= 0) break;
    water += part * theta[i];
  }
  return water;
}

void PrepareSoilForHeat(SoilRecord& soil, const HeatTransferSettings& heat) {
  const auto complete = [](std::vector<double>& values, double fallback) {
    for (double& v : values) {
      if (v < 0) v = fallback;
    }
  };
  complete(soil.DryDensity, heat.rho_dry_soil);
  complete(soil.DryHeatCapacity, heat.c_dry_soil);
  complete(soil.DryThermalConduct, heat.lam_dry_soil);
  if (soil.KMinFrozenSoil < 0) {
    soil.KMinFrozenSoil = heat.k_min;
    if (heat.k_min > 0) soil.logKMinFrozenSoil = std::log(heat.k_min);
  }
  for (int l = 0; l <= soil.layerCount; ++l) soil.BuildFreezingTables(l, heat.factor);
}

}  // namespace tolvo
