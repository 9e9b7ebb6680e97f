#include "subsurface/soil_heat_step.h"

#include "tables/soil_table.h"

namespace tolvo {

void column_heat_sub_step(const SoilHeatKernels& k, const HeatStepParameters& p, const HeatColumnCell& cell,
                          const HeatColumnArrays& c, double dt_s) {
  const int S = cell.n_snow;
  const int a = cell.a;
  const int N = cell.N;
  // Index 0 of the arrays is position −S: soil layer i sits at index S + i, snow layer i
  // at index i.
  cell.soil->LiquidFractions(S, c.fL.values, c.dfL.values, c.T.values, c.theta.values);
  if (cell.snow != nullptr && S > 0) cell.snow->LiquidFractions(0, c.fL.values, c.dfL.values, c.T.values, c.theta.values);
  k.thermalConductivity(a, 1 - S, N, c.lambda, c.horizons, -S, c.fL, c.theta, p.lam_water, p.lam_ice);
  k.latentHeatTerm(a, N, c.theta, c.theta_r, c.dfL, p.latent_heat, p.rho_water);
  cell.soil->HeatCapacities(S, c.T.values, c.Cv.values, c.fL.values, c.dfL.values, c.theta.values, p.rho_water,
                            p.c_water, p.c_ice0, p.c_ice20);
  if (cell.snow != nullptr && S > 0) {
    cell.snow->HeatCapacities(0, c.T.values, c.Cv.values, c.fL.values, c.dfL.values, c.theta.values, p.rho_water,
                              p.c_water, p.c_ice0, p.c_ice20);
  }
  switch (p.method) {
    case HeatMethod::kExplicit: {
      k.heatFluxes(a, N, c.F, c.lambda, c.dz, c.T, cell.T_lower, cell.T_air, cell.nf, cell.Ts);
      k.temperatureChange(a, N, c.dT, c.F, c.dz, c.Cv, static_cast<int>(dt_s));
      for (int j = a + 1; j <= N; ++j) c.Tn[j] = c.T[j];
      k.updateTemperatures(a, N, c.Tn, c.T, c.dT, c.F, cell.T_lower, cell.T_air, cell.Ts, true);
      for (int j = a + 1; j <= N; ++j) c.T[j] = c.Tn[j];
      return;
    }
    case HeatMethod::kConduction:
    case HeatMethod::kConductionAdvection: {
      const ImplicitHeatInput in{.lambda = c.lambda, .Cv = c.Cv, .dz = c.dz, .T = c.T, .q = c.q, .mI = c.mI,
                                 .dt = dt_s, .nf = cell.nf, .Ts = cell.Ts,
                                 .T_lower = lower_boundary_temperature(cell.flux_boundary, cell.T_lower, cell.H,
                                                                       c.dz[N], c.lambda[N], c.T[N]),
                                 .Tm = cell.Tm,
                                 .advection = p.method == HeatMethod::kConductionAdvection};
      k.solveHeatImplicit(a, N, in, {c.s, c.b, c.u, c.r, c.x});
      for (int j = a + 1; j <= N; ++j) c.T[j] = c.x[j];
      return;
    }
  }
}

}  // namespace tolvo
