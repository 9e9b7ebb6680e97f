#pragma once
// Initial soil temperatures from a temperature-only pre-spin-up: the freezing and thawing
// degree days and the mean air temperature of every cell give the temperature at the top
// of permafrost after the TTOP model (Smith & Riseborough 1996) at about 1 m depth; above
// it the profile runs linearly to the mean air temperature at the surface, below it the
// temperature rises with the geothermal heat flux.
//
// Units: temperatures [°C], degree days [°C·d], thickness and heights [m], conductivity
// [W/(m·K)], heat flux [W/m²].

#include <array>
#include <span>

#include "framework/matrix.h"

namespace tolvo {

// Geothermal heat flux when no flux lower boundary is given [W/m²].
inline constexpr double kGeothermalHeatFlux = 0.06;

// The four accumulators of a cell while the pre-spin-up lasts.
struct DegreeDayCell {
  double& freezing;  // FDD, sum of the negated negative daily means
  double& thawing;   // TDD, sum of the non-negative daily means
  double& daily;     // sum of the air temperatures of the current day
  double& annual;    // sum of all air temperatures
};

// Adds a step's air temperature; at the end of a day (steps_of_day steps so far) the
// day's mean goes to the thawing (≥ 0) or the freezing (< 0) degree days.
void accumulate_degree_days(const DegreeDayCell& cell, double T_air, bool day_ends, int steps_of_day);

// The layer k at whose lower boundary the thickness from the surface reaches 1 m, or N;
// dz holds layers 1..N at indices 1..N.
int reference_depth_layer(std::span<const double> dz, int N);

// The layer whose conductivities set the TTOP temperature: k / 3, at least 1.
inline int ttop_reference_layer(int k) { return k / 3 < 1 ? 1 : k / 3; }

struct ThawedFrozenConductivity {
  double thawed = 0;
  double frozen = 0;
};

// Conductivities of a layer of water content θ, porosity θs and dry conductivity λd with
// all its water liquid or all frozen.
ThawedFrozenConductivity pre_spin_up_conductivity(double theta, double theta_s, double lambda_dry,
                                                  double lambda_water, double lambda_ice);

// TTOP: (nt · λt · TDD − nf · λf · FDD) / (λf · years · 365).
double ttop_temperature(double nt, double lambda_thawed, double TDD, double nf, double lambda_frozen, double FDD,
                        double years);

// The profile of one cell into T levels 0..N: X < 0 puts X at layer k, a straight line
// from T_annual at the surface (geodetic height h[0]) to X at the lower boundary of layer
// k (h[k]) above it and the geothermal gradient G / λ below it (λ thawed above 0 °C, frozen
// otherwise); X ≥ 0 puts T_annual in layer 1 and the thawed gradient below, level 0
// unchanged. dz, conductivities: indices 1..N.
void pre_spin_up_profile(double X, double T_annual, double G, int k, std::span<const double> dz,
                         std::span<const double> h, std::span<const ThawedFrozenConductivity> lambda,
                         std::span<double> T);

// The accumulator grids of the pre-spin-up over the process's rows, in the order
// "FreezingDegreeDays", "thawingDegreeDays", "DailyTemperature", "AnnualTemperature", with
// their grid-table entries, and the step counters.
struct PreSpinUpGrids {
  struct Accumulator {
    Grid grid;  // empty when the grid was found in the table
    GridView values;
    int index = 0;
    bool owned = false;
  };
  std::array<Accumulator, 4> grids;
  int steps_of_day = 0;
  long long steps_total = 0;
  bool active = false;
};

}  // namespace tolvo
