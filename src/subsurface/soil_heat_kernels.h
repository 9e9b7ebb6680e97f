#pragma once
// Heat conduction and the heat carried by water in one soil column with the snow layers on
// top of it, one heat sub-step at a time.
//
// Positions: snow layers 1 − S..0 (S snow layers of the layered snow pack, 0 without it),
// soil layers 1..N, 1 at the top. Every kernel computes the positions a + 1..N; a is the
// position above the first computed one (0 without snow on the cell, negative with snow).
// Arrays are PositionArray views, indexed by position.
//
// Units: temperatures T [°C]; thermal conductivity λ [W/(m·K)]; volumetric heat capacity
// Cv [J/(m³·K)]; thickness dz [m]; heat flux F [W/m²] through the lower face of a position,
// positive upward (F[a] is the flux through the top of the first computed position);
// water flux q [m/s] through the lower face, positive upward; macropore inflow mI [m/s] ≥ 0;
// time steps [s].
//
// Methods:
// - Conductivity after Johansen (1975): a geometric mean of solid, water and ice weighted
//   by their volume fractions, plus a linear air term 0.0262 · air-filled pore volume.
// - Explicit scheme: fluxes at the start temperatures, forward Euler change, an optional
//   limiter that keeps each new temperature within the range its neighbours' start
//   temperatures allow.
// - Implicit scheme: backward Euler over a tridiagonal system (Thomas algorithm); method 12
//   adds upwind advection of the water's heat (volumetric heat capacity of water
//   4 187 000 J/(m³·K)): water entering a position brings the temperature of where it comes
//   from, macropore water the temperature of the surface water Tm.

#include <cassert>
#include <span>
#include <vector>

namespace tolvo {

class SoilRecord;

// A column array indexed by position p, first ≤ p < first + size.
template <class T>
struct BasicPositionArray {
  std::span<T> values;
  int first = 0;
  // A read-only view of a writable array.
  operator BasicPositionArray<const T>() const { return {values, first}; }
  T& operator[](int p) const {
    assert(p >= first && p - first < static_cast<int>(values.size()));
    return values[static_cast<std::size_t>(p - first)];
  }
};
using PositionArray = BasicPositionArray<double>;
using ConstPositionArray = BasicPositionArray<const double>;

// The volumetric heat capacity of liquid water carried by a water flux [J/(m³·K)].
inline constexpr double kWaterHeatCapacityVolumetric = 4187000.0;
// The conductivity of the air in the pores [W/(m·K)] as the mixing rule uses it.
inline constexpr double kAirConductivityTerm = 0.0262;

// Conductivity values of one horizon: porosity θs, dry conductivity λd and the two powers
// of the saturated rule, λd^(1−θs) and λw^θs, which depend on the horizon alone.
struct ConductivityHorizon {
  double theta_s = 0;
  double lambda_dry = 0;
  double saturated_dry_power = 0;    // λd^(1 − θs)
  double saturated_water_power = 0;  // λw^θs
};

ConductivityHorizon make_conductivity_horizon(double theta_s, double lambda_dry, double lambda_water);

// λ of positions a + 1..N from water content θ and liquid fraction fL; positions a down to
// `top` get −9999.
void thermal_conductivity(int a, int top, int N, PositionArray lambda, std::span<const ConductivityHorizon> horizon,
                          int horizon_first, ConstPositionArray fL, ConstPositionArray theta, double lambda_water,
                          double lambda_ice);

// Turns the slope of the liquid fraction dfL [1/K] of positions a + 1..N into the apparent
// heat capacity of freezing and thawing, L · ρw · (θ − θr) · dfL [J/(m³·K)] (0 at or below
// the residual water content).
void latent_heat_term(int a, int N, ConstPositionArray theta, ConstPositionArray theta_r, PositionArray dfL,
                      double latent_heat, double rho_water);

// Explicit heat fluxes F[a..N] at temperatures T. The surface lies half a position above
// the centre of position a + 1 at Ts, or at nf · Tair when Ts is missing (−9999); the lower
// boundary half a position below position N at T_lower. Each interface conducts with the
// conductivity of its upper position.
void heat_fluxes(int a, int N, PositionArray F, ConstPositionArray lambda, ConstPositionArray dz, ConstPositionArray T,
                 double T_lower, double T_air, double nf, double Ts);

// ΔT[p] = Δt / (dz · Cv) · (F[p] − F[p−1]) for p = a + 1..N with Δt in whole seconds.
void temperature_change(int a, int N, PositionArray dT, ConstPositionArray F, ConstPositionArray dz,
                        ConstPositionArray Cv, int dt_seconds);

// T_new += ΔT for p = N..a + 1. With the limiter, the new temperature is kept within what
// the directions of the two face fluxes allow given the neighbours' start temperatures
// (below: T[p+1] or T_lower; above: T[p−1], or Ts at the top, Tair when Ts is missing).
void update_temperatures(int a, int N, PositionArray T_new, ConstPositionArray T, ConstPositionArray dT,
                         ConstPositionArray F, double T_lower, double T_air, double Ts, bool limiter);

enum class HeatMethod { kExplicit, kConduction, kConductionAdvection };

// Heat method number of "[heat_transfer]": up to 10 explicit, 11 implicit conduction, 12
// and above implicit conduction with the heat of the water.
HeatMethod heat_method_of(int number);

struct ImplicitHeatInput {
  ConstPositionArray lambda, Cv, dz, T;
  ConstPositionArray q;   // water flux through the lower face [m/s], positive upward
  ConstPositionArray mI;  // macropore inflow [m/s]
  double dt = 0;          // [s]
  double nf = 1;
  double Ts = 0;          // surface temperature [°C]
  double T_lower = 0;     // lower-boundary temperature [°C]
  double Tm = 0;          // temperature of the macropore water [°C]
  bool advection = false; // method 12 and above
};

// Work arrays of the tridiagonal system: sub-diagonal, diagonal, super-diagonal,
// right-hand side and solution.
struct ImplicitHeatWork {
  PositionArray s, b, u, r, x;
};

// One implicit heat sub-step; the new temperatures are x[a + 1..N].
void solve_heat_implicit(int a, int N, const ImplicitHeatInput& in, const ImplicitHeatWork& w);

// Lower-boundary temperature of the implicit scheme: the given temperature, or with the
// flux lower boundary the temperature that makes heat flux H [W/m², upward] pass the
// lower half of position N: H · dz / (2λ) + T_N.
double lower_boundary_temperature(bool flux_boundary, double T_given, double H, double dz_N, double lambda_N,
                                  double T_N);

// Temperature of macropore water: the air temperature, 0 °C when the cell holds solid snow.
inline double macropore_water_temperature(double T_air, bool solid_snow) { return solid_snow ? 0.0 : T_air; }

// Number of heat sub-steps of a model step of dt_s from the initial heat pass: from 1 up
// while the change of the first position in one step exceeds a quarter of its distance to
// the air temperature times n (and the step stays above the shortest), or the step is
// above the longest.
int heat_sub_step_count(double T_air, double T_first, double dT_first, double dt_s, double shortest_s,
                        double longest_s);

// n-factor of a heat step: the land use's table value for the day when it has one (above
// −9999), else its freezing (air below 0 °C) or thawing factor, else the run's defaults.
double n_factor(double table_value, double T_air, double landuse_freezing, double landuse_thawing,
                double default_freezing, double default_thawing);

// Surface temperature and n-factor under a layered snow pack with the snow model's energy
// balance eb [W/m²] and surface temperature [K] (see surface_temperature_under_snow).
struct SnowSurfaceInput {
  double T_air = 0;
  double nf = 1;              // n-factor without snow
  double eb = 0;              // "EnergyBalance"
  double surftemp_K = -9999;  // "surftemp", or −9999 when the grid is missing
  double n_factor_freezing = 1;
  double n_factor_thawing = 1;
  double c_ice0 = 2090;       // J/(kg·K)
  double c_water = 4187;      // J/(kg·K)
  double time_step_min = 60;
  int fa = 0;                 // first active position (a snow position)
  int top = -1;               // position above fa
  ConstPositionArray dz, theta, fL, T, lambda;
};

struct SurfaceBoundary {
  double Ts = 0;
  double nf = 1;
  double eb = 0;  // the energy balance, capped by what the bottom snow layer can take
};

// With snow on the cell and the snow model's energy balance: eb = 0 with a surface below
// 273.16 K gives that surface temperature (not below air − 13 °C) and the freezing
// n-factor; eb ≤ 0 otherwise the first layer's temperature and n-factor 1; eb > 0 the
// heat-capacity-weighted temperature of the upper snow layers raised by eb over half their
// thickness, within 0..air + 13 °C, and the thawing n-factor. A single snow layer caps eb
// by the energy of the step that its water and ice can take.
SurfaceBoundary surface_temperature_under_snow(const SnowSurfaceInput& in);

// The surface temperature without the snow energy balance: the air temperature.
inline SurfaceBoundary surface_temperature_plain(double T_air, double nf) { return {T_air, nf, 0}; }

}  // namespace tolvo

namespace tolvo {

// The six heat kernels as operations a derived soil model may replace; the default ones
// are the free functions above.
class SoilHeatKernels {
 public:
  virtual ~SoilHeatKernels() = default;
  virtual void thermalConductivity(int a, int top, int N, PositionArray lambda,
                                   std::span<const ConductivityHorizon> horizon, int horizon_first,
                                   ConstPositionArray fL, ConstPositionArray theta, double lambda_water,
                                   double lambda_ice) const {
    thermal_conductivity(a, top, N, lambda, horizon, horizon_first, fL, theta, lambda_water, lambda_ice);
  }
  virtual void latentHeatTerm(int a, int N, ConstPositionArray theta, ConstPositionArray theta_r, PositionArray dfL,
                              double latent_heat, double rho_water) const {
    latent_heat_term(a, N, theta, theta_r, dfL, latent_heat, rho_water);
  }
  virtual void heatFluxes(int a, int N, PositionArray F, ConstPositionArray lambda, ConstPositionArray dz,
                          ConstPositionArray T, double T_lower, double T_air, double nf, double Ts) const {
    heat_fluxes(a, N, F, lambda, dz, T, T_lower, T_air, nf, Ts);
  }
  virtual void temperatureChange(int a, int N, PositionArray dT, ConstPositionArray F, ConstPositionArray dz,
                                 ConstPositionArray Cv, int dt_seconds) const {
    temperature_change(a, N, dT, F, dz, Cv, dt_seconds);
  }
  virtual void updateTemperatures(int a, int N, PositionArray T_new, ConstPositionArray T, ConstPositionArray dT,
                                  ConstPositionArray F, double T_lower, double T_air, double Ts, bool limiter) const {
    update_temperatures(a, N, T_new, T, dT, F, T_lower, T_air, Ts, limiter);
  }
  virtual void solveHeatImplicit(int a, int N, const ImplicitHeatInput& in, const ImplicitHeatWork& w) const {
    solve_heat_implicit(a, N, in, w);
  }
};

}  // namespace tolvo
