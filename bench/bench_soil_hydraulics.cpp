// The soil look-ups of the soil model's innermost loop, per call: suction and relative
// conductivity by water content, water content by suction, and the liquid fractions of a
// frozen soil column; beside them the closed-form van Genuchten evaluation they replace.
#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "tables/soil_table.h"

namespace {

constexpr int kLayers = 20;
// Sandy loam (Carsel and Parrish 1988), alpha in 1/m.
constexpr double kThetaSat = 0.41;
constexpr double kThetaRes = 0.065;
constexpr double kAlpha = 7.5;
constexpr double kN = 1.89;

// A soil column of kLayers layers with built hydraulic and freezing tables.
tolvo::SoilRecord MakeSoil() {
  tolvo::SoilRecord soil;
  soil.layerCount = kLayers;
  const auto fill = [](std::vector<double>& values, double value) { values.assign(kLayers + 1, value); };
  fill(soil.theta_sat, kThetaSat);
  fill(soil.theta_res, kThetaRes);
  fill(soil.alpha, kAlpha);
  fill(soil.Par_n, kN);
  fill(soil.Par_m, 1 - 1 / kN);
  fill(soil.Par_tau, 0.5);
  fill(soil.ksat, 1e-5);
  for (int l = 0; l <= kLayers; ++l) soil.BuildHydraulicTables(l);
  soil.liquidFractionTable = tolvo::LayerTables(kLayers, soil.freezingSteps + 1);
  soil.liquidFractionSlopeTable = tolvo::LayerTables(kLayers, soil.freezingSteps + 1);
  soil.freezingShiftTable = tolvo::LayerTables(kLayers, soil.freezingSteps + 1);
  for (int l = 1; l <= kLayers; ++l) soil.BuildFreezingTables(l, 1.2);
  return soil;
}

// Water contents spread over the whole retention range, one per cell of a sweep.
std::vector<double> WaterContents(int n) {
  std::vector<double> theta(static_cast<std::size_t>(n));
  for (int k = 0; k < n; ++k) theta[static_cast<std::size_t>(k)] = kThetaRes + (kThetaSat - kThetaRes) * (k + 0.5) / n;
  return theta;
}

constexpr int kCells = 4096;

void BM_SuctionForTheta(benchmark::State& state) {
  const tolvo::SoilRecord soil = MakeSoil();
  const std::vector<double> theta = WaterContents(kCells);
  for (auto _ : state) {
    double sum = 0;
    for (int k = 0; k < kCells; ++k) sum += soil.SuctionForTheta(1 + k % kLayers, theta[static_cast<std::size_t>(k)]);
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * kCells);
}
BENCHMARK(BM_SuctionForTheta);

void BM_RelativeConductivity(benchmark::State& state) {
  const tolvo::SoilRecord soil = MakeSoil();
  const std::vector<double> theta = WaterContents(kCells);
  for (auto _ : state) {
    double sum = 0;
    for (int k = 0; k < kCells; ++k) {
      const double x = theta[static_cast<std::size_t>(k)];
      sum += soil.RelativeConductivity(1 + k % kLayers, x, x + 0.01);
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * kCells);
}
BENCHMARK(BM_RelativeConductivity);

void BM_ThetaForSuction(benchmark::State& state) {
  const tolvo::SoilRecord soil = MakeSoil();
  std::vector<double> suction(kCells);
  for (int k = 0; k < kCells; ++k) suction[static_cast<std::size_t>(k)] = std::pow(10.0, -3.5 + 6.0 * k / kCells);
  for (auto _ : state) {
    double sum = 0;
    for (int k = 0; k < kCells; ++k) sum += soil.ThetaForSuction(1 + k % kLayers, suction[static_cast<std::size_t>(k)]);
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * kCells);
}
BENCHMARK(BM_ThetaForSuction);

// The closed-form water content and Mualem conductivity the tables stand in for.
void BM_ClosedFormVanGenuchten(benchmark::State& state) {
  std::vector<double> suction(kCells);
  for (int k = 0; k < kCells; ++k) suction[static_cast<std::size_t>(k)] = std::pow(10.0, -3.5 + 6.0 * k / kCells);
  const double m = 1 - 1 / kN;
  for (auto _ : state) {
    double sum = 0;
    for (int k = 0; k < kCells; ++k) {
      const double se = std::pow(1 + std::pow(kAlpha * suction[static_cast<std::size_t>(k)], kN), -m);
      const double inner = 1 - std::pow(1 - std::pow(se, 1 / m), m);
      sum += kThetaRes + (kThetaSat - kThetaRes) * se + std::sqrt(se) * inner * inner;
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * kCells);
}
BENCHMARK(BM_ClosedFormVanGenuchten);

// One soil column (kLayers layers) per item, as the heat transfer calls it per cell.
void BM_LiquidFractionsOfAColumn(benchmark::State& state) {
  const tolvo::SoilRecord soil = MakeSoil();
  std::vector<double> temperature(kLayers + 1);
  std::vector<double> theta(kLayers + 1);
  for (int l = 1; l <= kLayers; ++l) {
    temperature[static_cast<std::size_t>(l)] = -0.05 - 0.4 * l;
    theta[static_cast<std::size_t>(l)] = kThetaRes + (kThetaSat - kThetaRes) * l / kLayers;
  }
  std::vector<double> fractions(kLayers + 1);
  std::vector<double> slopes(kLayers + 1);
  for (auto _ : state) {
    soil.LiquidFractions(0, fractions, slopes, temperature, theta);
    benchmark::DoNotOptimize(fractions.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kLayers);
}
BENCHMARK(BM_LiquidFractionsOfAColumn);

}  // namespace
