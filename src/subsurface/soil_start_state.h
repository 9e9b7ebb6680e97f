#pragma once
// The start state of one soil column: layer-bottom heights, the water content of each
// layer and the hydraulic heads, with the groundwater surface the profile implies.
//
// Column layout: soil layers k = 1..L from the top; index 0 is the soil surface. Spans
// passed here hold indices 0..L.
// - g[k] geodetic height of the bottom of layer k [m]; g[0] the surface elevation.
// - theta[k] volumetric water content [-]; theta[0] the top layer's saturated content.
// - h[k] hydraulic head [m] (elevation of the layer middle minus its suction).
// The profile is in hydrostatic equilibrium above the groundwater: the unsaturated layers
// 1..n hold the water content of their suction above the middle of the first saturated
// layer (van Genuchten retention of the soil type), the layers below n are saturated.
//
// Kernels: no logging, no allocation; the soil record's look-up tables give the
// retention (suction in m, the unit of 1/alpha).

#include <span>

namespace tolvo {

class SoilRecord;
struct HeatTransferSettings;

// g[0] = elevation; g[k] = g[k-1] - thickness of layer k (thickness indices 1..L).
void ComputeGeodeticHeads(double elevation_m, std::span<const double> thickness_m, std::span<double> g);

// Number of unsaturated layers from the start divisor: floor((L - 1) / divisor) + 1,
// kept within 1..L (divisor > 0).
int UnsaturatedLayersFromDivisor(int n_layers, double divisor);

// Number of unsaturated layers above a groundwater surface `depth_m` below the soil
// surface: 0 when it lies within the first layer, else the layers whose bottom is less
// deep than it (at most L).
int UnsaturatedLayersAboveDepth(std::span<const double> g, double depth_m);

// Water contents of the profile with n (0..L) unsaturated layers: theta[0] = saturated
// content of layer 1, layers 1..n at the suction of their middle above the middle of
// layer n+1 (above the column bottom when n = L), layers below n saturated.
void ComputeStartWaterContent(const SoilRecord& soil, std::span<const double> g, int n, std::span<double> theta);

// h[0] = g[0]; h[k] = middle of layer k minus the suction of its water content.
void ComputeHydraulicHeads(const SoilRecord& soil, std::span<const double> g, std::span<const double> theta,
                           std::span<double> h);

// The groundwater surface of a profile: the layer that holds it (0 = none in 1..L-1),
// the water content of the layer above it, and its height minus the surface [m].
struct GroundwaterSurface {
  int level = 0;
  double theta_above = 0;
  double distance_m = 0;
};

// Scans the layers L-1 up to 1: the level climbs through the saturated layers (water
// content above 0.9995 of saturation) lying on the bottom layer and stops at the first
// unsaturated one above them. Starts from level 0, theta[1] and the column bottom
// (g[L] - g[0]).
GroundwaterSurface FindGroundwaterSurface(std::span<const double> theta, std::span<const double> theta_sat,
                                          std::span<const double> g);

// Layer of the drain tubes: with D = drainage depth - 0.01 m, 0 when D <= 0, else the
// first layer whose bottom is at least D deep; below the column the bottom layer.
int DrainageLayer(std::span<const double> g, double drainage_depth_m);

// Water held between the surface and `depth_m` (at most the column bottom) [m]: the sum
// of theta times the part of each layer inside the range.
double WaterInDepthRange(std::span<const double> g, std::span<const double> theta, double depth_m);

// Heat transfer: the dry-soil heat capacity, density and thermal conductivity and the
// smallest conductivity of frozen soil that the soil type does not give (negative values)
// take the defaults of the heat settings; then the freezing tables of every layer are
// built with the suction increase per kelvin below 0 °C.
void PrepareSoilForHeat(SoilRecord& soil, const HeatTransferSettings& heat);

}  // namespace tolvo
