#include "tables/soil_hydraulics.h"

#include <cmath>

#include "tables/soil_table.h"

namespace tolvo {

namespace {

// The shift of the freezing point at the temperature a where the slope curve reaches
// its target, relative to T_max, the temperature of the largest slope: 0 down to T_max,
// then falling with half the slope of a down to 1.3 T_max, then a - 1.15 T_max. The
// constants derive from 1.15 in double arithmetic, so the pieces meet exactly.
double ShiftFromTemperature(double a, double t_max) {
  constexpr double kFactor = 1.15;
  constexpr double kExcess = kFactor - 1.0;   // 0.15
  constexpr double kBreak = kFactor + kExcess;  // 1.3
  constexpr double kWidth = kBreak - 1.0;     // 0.3
  if (a >= t_max) return 0;
  if (a < kBreak * t_max) return a - kFactor * t_max;
  return a - t_max * (1 + kExcess * (a - t_max) / (kWidth * t_max));
}

}  // namespace

// --- kernels -----------------------------------------------------------------------------

void FillHydraulicTables(const VanGenuchtenParameters& p, std::span<double> suction_steps,
                         std::span<double> retention, std::span<double> theta, std::span<double> conductivity) {
  assert(suction_steps.size() == kHydraulicTableSize && retention.size() == kHydraulicTableSize &&
         theta.size() == kHydraulicTableSize && conductivity.size() == kHydraulicTableSize);
  for (int i = 0; i < kHydraulicTableSize; ++i) suction_steps[i] = kSuctionSteps[i];
  for (int i = 1; i < kSuctionStepCount; ++i) {
    const double h = suction_steps[i];
    const double se = std::pow(1 / (1 + std::pow(p.alpha * h, p.n)), p.m);
    retention[i] = theta[i] = p.theta_res + (p.theta_sat - p.theta_res) * se;
    const double k = 1 - std::pow(1 - std::pow(se, 1 / p.m), p.m);
    conductivity[i] = std::pow(se, p.tau) * k * k;
  }
  retention[0] = theta[0] = p.theta_sat;
  retention[kSuctionStepCount] = theta[kSuctionStepCount] = p.theta_res;
  conductivity[0] = 0;
  conductivity[kSuctionStepCount] = 0;
}

void FillFreezingTables(const VanGenuchtenParameters& p, double factor, double t_min, std::span<double> fraction,
                        std::span<double> slope, std::span<double> shift) {
  const int n_steps = static_cast<int>(fraction.size()) - 1;
  assert(n_steps >= 1 && slope.size() == fraction.size() && shift.size() == fraction.size());
  const double dt = t_min / n_steps;
  fraction[0] = 1;
  slope[0] = 0;
  double slope_max = 0;
  double t_max = 0;
  for (int i = 1; i <= n_steps; ++i) {
    const double t = i * dt;
    const double s = std::fabs(t * factor * p.alpha);
    const double s_n = std::pow(s, p.n);
    fraction[i] = std::pow(1 / (1 + s_n), p.m);
    slope[i] = std::pow(s, p.n - 1) * std::pow(s_n + 1, -p.m - 1) * p.n * p.m * p.alpha * factor;
    if (i == 1 || slope[i] > slope_max) {
      slope_max = slope[i];
      t_max = t;
    }
  }
  // For every target slope g (rising with k) the temperature a where the slope curve,
  // searched from the cold end, first reaches g. That step j can only move towards
  // warmer temperatures as g rises, so one pointer walks the table once.
  int j = n_steps - 1;
  for (int k = 0; k <= n_steps; ++k) {
    const double g = k * (1.0 / n_steps) * slope_max;
    double a;
    if (slope[n_steps] >= g) {
      a = n_steps * dt;
    } else {
      while (j >= 1 && slope[j] < g) --j;
      const int lower = j >= 1 ? j : 0;
      const double span = slope[lower] - slope[lower + 1];
      const double w = span != 0 ? (g - slope[lower + 1]) / span : 1.0;
      a = w * lower * dt + (1 - w) * (lower + 1) * dt;
    }
    shift[k] = ShiftFromTemperature(a, t_max);
  }
}

double FreezingShiftAt(std::span<const double> shift, double r) {
  const int n_steps = static_cast<int>(shift.size()) - 1;
  const double k = std::trunc(r);
  if (k < 0) return std::fabs(shift[0]);
  if (!(k < n_steps)) return std::fabs(shift[n_steps]);  // also a relative saturation that is not a number
  const int i = static_cast<int>(k);
  const double q = r - k;
  return std::fabs(q * shift[i + 1] + (1 - q) * shift[i]);
}

LiquidWater LiquidWaterAt(std::span<const double> fraction, std::span<const double> slope, double t_min, double t) {
  if (!(t < 0)) return {1, 0};
  const int n_steps = static_cast<int>(fraction.size()) - 1;
  const double u = t * n_steps / t_min;
  if (!(u < n_steps)) return {fraction[n_steps], slope[n_steps]};
  const int f = static_cast<int>(u);
  const double q = u - f;
  return {q * fraction[f + 1] + (1 - q) * fraction[f], q * slope[f + 1] + (1 - q) * slope[f]};
}

// --- SoilRecord operations -------------------------------------------------------------

namespace {

VanGenuchtenParameters LayerParameters(const SoilRecord& soil, int l) {
  return {soil.theta_sat[l], soil.theta_res[l], soil.alpha[l], soil.Par_n[l], soil.Par_m[l], soil.Par_tau[l]};
}

// Liquid fraction and slope of layer i at temperature t and water content theta.
LiquidWater LayerLiquidWater(const SoilRecord& soil, int i, double t, double theta) {
  if (t > 0 || t <= soil.freezingTmin) return {t > 0 ? 1.0 : 0.0, 0};
  const double r =
      (theta - soil.theta_res[i]) / (soil.theta_sat[i] - soil.theta_res[i]) * soil.freezingSteps;
  const double shifted = t + FreezingShiftAt(soil.freezingShiftTable[i], r);
  return LiquidWaterAt(soil.liquidFractionTable[i], soil.liquidFractionSlopeTable[i], soil.freezingTmin, shifted);
}

}  // namespace

void SoilRecord::BuildHydraulicTables(int l) {
  if (thetaTable.empty()) {
    thetaTable = LayerTables(layerCount, kHydraulicTableSize);
    conductivityTable = LayerTables(layerCount, kHydraulicTableSize);
    retentionTable = LayerTables(layerCount, kHydraulicTableSize);
    suctionSteps = LayerTables(layerCount, kHydraulicTableSize);
    fieldCapacity.assign(static_cast<std::size_t>(layerCount) + 1, 0.0);
  }
  FillHydraulicTables(LayerParameters(*this, l), suctionSteps[l], retentionTable[l], thetaTable[l],
                      conductivityTable[l]);
  fieldCapacity[static_cast<std::size_t>(l)] =
      WaterContentAtSuction(retentionTable[l], suctionSteps[l], kFieldCapacitySuction);
}

void SoilRecord::BuildFreezingTables(int l, double factor) {
  assert(!liquidFractionTable.empty());
  FillFreezingTables(LayerParameters(*this, l), factor, freezingTmin, liquidFractionTable[l],
                     liquidFractionSlopeTable[l], freezingShiftTable[l]);
}

void SoilRecord::LiquidFractions(int offset, std::span<double> fractions, std::span<double> slopes,
                                 std::span<const double> temperatures,
                                 std::span<const double> water_contents) const {
  if (temperatures.empty()) return;
  for (int i = 1; i <= layerCount; ++i) {
    const auto k = static_cast<std::size_t>(offset + i);
    const LiquidWater w = LayerLiquidWater(*this, i, temperatures[k], water_contents[k]);
    fractions[k] = w.fraction;
    slopes[k] = w.slope;
  }
}

double SoilRecord::LiquidFractionAt(int l, double t, double theta) const {
  return LayerLiquidWater(*this, l, t, theta).fraction;
}

void SoilRecord::HeatCapacities(int offset, std::span<const double> temperatures, std::span<double> heat_capacities,
                                std::span<const double> liquid_fractions, std::span<const double> additional_terms,
                                std::span<const double> water_contents, double b, double c, double d,
                                double e) const {
  for (int i = 1; i <= layerCount; ++i) {
    const auto k = static_cast<std::size_t>(offset + i);
    const double t = temperatures[k];
    const double ice = t < -20 ? e : (t >= 0 ? d : d * (1 + t / 20) + e * (-t / 20));
    const double liquid = liquid_fractions[k];
    heat_capacities[k] = ((1 - liquid) * ice + liquid * c) * (water_contents[k] * b) +
                         DryDensity[i] * DryHeatCapacity[i] + additional_terms[k];
  }
}

void SoilRecord::LiquidFractionValues(std::span<double> fractions, std::span<const double> temperatures,
                                      std::span<const double> water_contents) const {
  for (int i = 1; i <= layerCount; ++i) {
    fractions[i] = LayerLiquidWater(*this, i, temperatures[i], water_contents[i]).fraction;
  }
}

void SoilRecord::LiquidFractionSlopes(std::span<double> slopes, std::span<const double> temperatures,
                                      std::span<const double> water_contents) const {
  for (int i = 1; i <= layerCount; ++i) {
    const double t = temperatures[i];
    if (t > 0 || t < freezingTmin) {
      slopes[i] = 0;
      continue;
    }
    // At freezingTmin itself the slope table is read at its last step.
    const double r = (water_contents[i] - theta_res[i]) / (theta_sat[i] - theta_res[i]) * freezingSteps;
    const double shifted = t + FreezingShiftAt(freezingShiftTable[i], r);
    slopes[i] = LiquidWaterAt(liquidFractionTable[i], liquidFractionSlopeTable[i], freezingTmin, shifted).slope;
  }
}

double SoilRecord::FreezingShift(int l, double s) const {
  return FreezingShiftAt(freezingShiftTable[l], s * freezingSteps);
}

void SoilRecord::FrozenConductivities(std::span<double> conductivities, std::span<const double> liquid_fractions,
                                      std::span<const double> water_contents,
                                      std::span<const double> reference_water_contents) const {
  for (int i = 1; i <= layerCount; ++i) {
    if (liquid_fractions.empty()) {
      conductivities[i] = ksat[i];
      continue;
    }
    const double theta = water_contents[i];
    double k = ksat[i] * RelativeConductivity(i, theta, 1.0);
    if (k <= 0) k = 1e-23;
    double r = theta / reference_water_contents[i];
    if (r > 1) r = 1;
    if (r <= 0) r = 0.001;
    const double frozen = (1 - liquid_fractions[i]) * r;
    conductivities[i] = std::exp(std::log(k) * (1 - frozen) + frozen * logKMinFrozenSoil);
  }
}

}  // namespace tolvo
