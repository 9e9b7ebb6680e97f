#pragma once
// One heat sub-step of a soil column with its snow layers: liquid fractions and apparent
// heat capacities from the freezing tables of the soil (and snow) table, conductivities,
// then the explicit or the implicit scheme of soil_heat_kernels.h. The column's arrays run
// over positions −S..N (S snow layers, 0 without snow); the temperatures of positions
// a + 1..N advance, a being the position above the first active one.

#include <span>

#include "subsurface/soil_heat_kernels.h"

namespace tolvo {

class SoilRecord;

// The constants of "[heat_transfer]" a heat sub-step needs.
struct HeatStepParameters {
  HeatMethod method = HeatMethod::kConduction;
  double lam_water = 0.5562;  // W/(m·K)
  double lam_ice = 2.33;      // W/(m·K)
  double latent_heat = 334000;  // J/kg
  double rho_water = 1000;    // kg/m³
  double c_water = 4187;      // J/(kg·K)
  double c_ice0 = 2090;       // J/(kg·K)
  double c_ice20 = 1940;      // J/(kg·K)
};

// The column arrays, all over positions −S..N (first = −S).
struct HeatColumnArrays {
  PositionArray T;       // temperature at the start of the sub-step; the new one after it
  PositionArray Tn;      // work: new temperature of the explicit scheme
  PositionArray dT, F;   // work: change and face fluxes
  PositionArray fL, dfL; // liquid fraction and its slope (then the apparent heat capacity)
  PositionArray lambda, Cv;
  PositionArray s, b, u, r, x;  // work of the implicit scheme
  ConstPositionArray theta, theta_r, dz;
  ConstPositionArray q, mI;  // water flux and macropore inflow [m/s]
  std::span<const ConductivityHorizon> horizons;  // positions −S..N
};

// The cell's column: its soil record (and the snow record with its S layers), the first
// computed position a + 1 and the boundary values of the sub-step.
struct HeatColumnCell {
  const SoilRecord* soil = nullptr;
  const SoilRecord* snow = nullptr;  // none without layered snow
  int n_snow = 0;
  int a = 0;
  int N = 0;
  double T_air = 0;
  double nf = 1;
  double Ts = 0;
  double T_lower = 0;
  double Tm = 0;  // temperature of macropore water
  // With the flux lower boundary the implicit scheme takes its boundary temperature from
  // the heat flux H [W/m², upward] instead of T_lower.
  bool flux_boundary = false;
  double H = 0;
};

// One heat sub-step of dt_s seconds (the explicit scheme counts whole seconds) with the
// kernels of `k`.
void column_heat_sub_step(const SoilHeatKernels& k, const HeatStepParameters& p, const HeatColumnCell& cell,
                          const HeatColumnArrays& c, double dt_s);

}  // namespace tolvo
