#pragma once
// Sealing of a tilled soil surface by rain: the kinetic energy of the rain that reaches
// the bare soil accumulates after each tillage, and the infiltration capacity of the
// surface decays with it from its start value towards a final value that depends on the
// grain sizes of the soil. Water beyond the capacity leaves the cell as direct runoff.
//
// Units: rain intensity I in mm/h, step length dt in minutes, energies in J/m², energy
// factor in J/(m²·mm), infiltration rates in mm/h, mean grain diameter in µm, grain-size
// fractions in 0..1, times in days. Every function is pure.

#include <span>

namespace tolvo {

// Rain intensities at or below this carry no erosive energy and let the rain pause grow.
inline constexpr double kErosiveIntensity = 0.05;  // mm/h
// Above this intensity the energy per millimetre of rain no longer grows.
inline constexpr double kMaximumEnergyIntensity = 76.2;  // mm/h

// Parameters of the built-in infiltration formulas (the defaults are those of the model).
struct SiltingUpParameters {
  double a = 65;      // I_0: start infiltration rate of freshly tilled soil, mm/h
  double b = 12.2;    // I_inf = b * Dg^c * (100 sand)^d, mm/h
  double c = 0.52;
  double d = -0.64;
  double e = 0.013;   // disposition = e * (100 sand)^f * Dg^g * t^h, m²/J
  double f = -1.03;
  double g = 0.7;
  double h = -0.19;
};

// The grain-size distribution of a soil: sand, silt, clay and the four stone classes.
struct GrainSizes {
  double sand = 0;
  double silt = 0;
  double clay = 0;
  double stones[4] = {0, 0, 0, 0};
};

// Kinetic energy of rain per millimetre after the USLE relation (Wischmeier & Smith
// 1978, in SI units): 11.89 + 8.73 log10(I) for kErosiveIntensity < I < 76.2 mm/h, 28.33
// from 76.2 mm/h on, 0 at or below kErosiveIntensity.
double RainEnergyFactor(double intensity_mm_h);

// Geometric mean grain diameter (µm): 10 to the half of the fraction-weighted sum of the
// log10 class limits of sand, silt, clay and the stone classes.
double MeanGrainDiameter(const GrainSizes& g);

// Final infiltration rate of the sealed surface, mm/h.
double FinalInfiltrationRate(const SiltingUpParameters& p, double diameter_um, double sand);

// Disposition of the surface to seal (m²/J) after `days` since tillage; 0 when days <= 0.
double SiltingUpDisposition(const SiltingUpParameters& p, double diameter_um, double sand, double days);

// Infiltration capacity of one step (mm): the rate decays exponentially with the
// accumulated energy from `start_rate` to `final_rate` (mm/h).
double StepInfiltrationCapacity(double energy_j_m2, double disposition, double start_rate, double final_rate,
                                double dt_min);

// Kinetic energy of the rain that reaches the soil in one step (J/m²): the part not
// covered by vegetation or residue (cover 0..1) of I * e * dt.
double StepRainEnergy(double cover, double intensity_mm_h, double energy_factor, double dt_min);

// Days since the last tillage on day of year `day`. `days` holds the tillage days of the
// land use as d[0..k]: d[1..k] ascending days of the year, d[0] = d[k] - 366 (the last
// tillage of the previous year). 0 without tillage (no days); a result of 0 or less
// (the day of a tillage) is 0.3. `previous` is kept in the case the list cannot place.
double DaysSinceTillage(int day, std::span<const int> days, double previous);

// The rain pause (days) after a step of intensity I: reset by erosive rain, else grown
// by the step.
double NextRainPause(double pause_days, double intensity_mm_h, double dt_min);

// The direct runoff of a step (mm) from the water available at the surface and the
// step's infiltration capacity; none where the soil is not tilled.
double SiltingUpDirectRunoff(double water_mm, double capacity_mm, bool tilled);

}  // namespace tolvo
