#include "runoff/silting_up_physics.h"

#include <algorithm>
#include <cmath>

namespace tolvo {
namespace {

// log10 of the class limits (µm) weighted per fraction: sand, silt, clay, stones 1..4.
constexpr double kSandLog = 5.100385157531412;
constexpr double kSiltLog = 2.1003620619491743;
constexpr double kClayLog = -1.0969100130080562;
constexpr double kStoneLogs[4] = {7.100370545117563, 8.100370545117563, 9.100370545117563, 10.100370545117563};

// Below this the first tillage day of the year cannot stand (d[0] of a land use without
// tillage is far below it).
constexpr int kNoTillage = -9997;

}  // namespace

double RainEnergyFactor(double intensity_mm_h) {
  if (intensity_mm_h <= kErosiveIntensity) return 0;
  if (intensity_mm_h < kMaximumEnergyIntensity) return 11.89 + 8.73 * std::log10(intensity_mm_h);
  return 28.33;
}

double MeanGrainDiameter(const GrainSizes& g) {
  double sum = kSandLog * g.sand + kSiltLog * g.silt + kClayLog * g.clay;
  for (int i = 0; i < 4; ++i) sum += kStoneLogs[i] * g.stones[i];
  return std::pow(10.0, 0.5 * sum);
}

double FinalInfiltrationRate(const SiltingUpParameters& p, double diameter_um, double sand) {
  return p.b * std::pow(diameter_um, p.c) * std::pow(100 * sand, p.d);
}

double SiltingUpDisposition(const SiltingUpParameters& p, double diameter_um, double sand, double days) {
  if (days <= 0) return 0;
  return p.e * std::pow(100 * sand, p.f) * std::pow(diameter_um, p.g) * std::pow(days, p.h);
}

double StepInfiltrationCapacity(double energy_j_m2, double disposition, double start_rate, double final_rate,
                                double dt_min) {
  return (std::exp(-energy_j_m2 * disposition) * (start_rate - final_rate) + final_rate) * dt_min / 60;
}

double StepRainEnergy(double cover, double intensity_mm_h, double energy_factor, double dt_min) {
  return (1 - cover) * intensity_mm_h * energy_factor * dt_min / 60;
}

double DaysSinceTillage(int day, std::span<const int> days, double previous) {
  if (days.empty() || days[0] < kNoTillage) return 0;
  const std::size_t k = days.size() - 1;
  double t = previous;
  if (day >= days[k]) {
    t = day - days[k];
  } else if (k >= 1 && day < days[1]) {
    t = day - days[0];
  } else {
    for (std::size_t i = 2; i <= k; ++i) {
      if (day < days[i]) {
        t = day - days[i - 1];
        break;
      }
    }
  }
  return t <= 0 ? 0.3 : t;
}

double NextRainPause(double pause_days, double intensity_mm_h, double dt_min) {
  return intensity_mm_h > kErosiveIntensity ? 0 : pause_days + dt_min / 1440;
}

double SiltingUpDirectRunoff(double water_mm, double capacity_mm, bool tilled) {
  return tilled ? water_mm - std::min(water_mm, capacity_mm) : 0;
}

}  // namespace tolvo
