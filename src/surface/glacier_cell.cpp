#include "surface/glacier_cell.h"

#include <algorithm>

namespace tolvo {

namespace {

bool Dynamic(const GlacierCellParameters& p) { return p.method > 10; }
bool RadiationMelt(const GlacierCellParameters& p) { return p.method == 2 || p.method >= 12; }

double Radiation(const GlacierCellGrids& g, int r, int c) { return g.radiation.empty() ? 0 : g.radiation(r, c); }

// Debris cover scales the ice melt: the cell's factor where one is given, times the
// global factor.
double DebrisFactor(const GlacierCellParameters& p, const GlacierCellGrids& g, int r, int c) {
  double d = 1;
  if (!g.debris.empty() && g.debris(r, c) > p.nodata + 1) d = g.debris(r, c);
  return d * p.debris_scaling;
}

// Melt of snow on the glacier in the step (0 at or below the melt threshold).
double SnowMeltRate(const GlacierCellParameters& p, const GlacierCellGrids& g, int r, int c, double T) {
  if (T <= p.T0) return 0;
  const double dT = T - p.T0;
  return RadiationMelt(p) ? dT * (p.MF / p.steps_per_day + p.Asnow * Radiation(g, r, c))
                          : dT * p.DDFsnow / p.steps_per_day;
}

double FirnMeltRate(const GlacierCellParameters& p, const GlacierCellGrids& g, int r, int c, double T) {
  const double dT = T - p.T0;
  return RadiationMelt(p) ? dT * (Radiation(g, r, c) * p.Asnow + p.MF / p.steps_per_day)
                          : dT * p.DDFfirn / p.steps_per_day;
}

double IceMeltRate(const GlacierCellParameters& p, const GlacierCellGrids& g, int r, int c, double T) {
  const double dT = T - p.T0;
  const double d = DebrisFactor(p, g, r, c);
  return RadiationMelt(p) ? dT * d * (p.Aice * Radiation(g, r, c) + p.MF / p.steps_per_day)
                          : dT * d * p.DDFice / p.steps_per_day;
}

// Liquid water above the holding capacity CWH * solid leaves the store.
double Drain(double& liquid, double solid, double CWH) {
  const double capacity = CWH * solid;
  if (liquid <= capacity) return 0;
  const double out = liquid - capacity;
  liquid = capacity;
  return out;
}

double MeltOf(double rate, double solid) { return std::max(0.0, std::min(rate, solid)); }

bool HasGlacierStore(const GlacierCellGrids& g) {
  return !g.solid_on_glacier.empty() && !g.liquid_on_glacier.empty() && !g.total_on_glacier.empty() &&
         !g.melt_on_glacier.empty();
}

// Firn and ice of a snow-free glacier; y is the snow melt of the glacier's snow in the
// step, which used that much of the melt energy already.
void MeltFirnAndIce(const GlacierCellParameters& p, const GlacierCellGrids& g, int r, int c, double T, double y,
                    GlacierCellResult& result) {
  if (T <= p.T0) return;
  if (!Dynamic(p)) {
    const double code = g.glacier.empty() ? 0 : g.glacier(r, c);
    if (code == 1) {
      result.ice_melt = std::max(0.0, IceMeltRate(p, g, r, c, T) - y);
    } else if (code == 2) {
      result.firn_melt = std::max(0.0, FirnMeltRate(p, g, r, c, T) - y);
    }
  } else if (!g.firn_total.empty() && g.firn_total(r, c) > 0) {
    const double phi = std::max(0.0, FirnMeltRate(p, g, r, c, T) - y);
    result.firn_melt = TakeFirn(g.firn_stack, g.firn_total, r, c, phi, p.nodata);
    result.ice_melt = phi - result.firn_melt;  // firn the levels could not supply melts from the ice
  } else {
    result.ice_melt = std::max(0.0, IceMeltRate(p, g, r, c, T) - y);
  }
  g.firn_melt(r, c) += result.firn_melt;
  g.ice_melt(r, c) += result.ice_melt;
}

}  // namespace

double TakeFirn(StackView firn, GridView firn_total, int r, int c, double amount, double nodata) {
  const int levels = firn.empty() ? 0 : firn.level_count();
  double rest = std::max(0.0, amount);
  double sum = 0;
  for (int k = 1; k <= levels; ++k) {
    double v = firn(r, c, k);
    if (rest > 0) {
      const double held = v == nodata ? 0 : std::max(0.0, v);
      if (held >= rest) {
        v = held - rest;
        rest = 0;
      } else {
        rest -= held;
        v = 0;
      }
      firn(r, c, k) = v;
    }
    if (v != nodata) sum += v;
  }
  if (levels > 0) firn(r, c, 0) = sum;
  if (!firn_total.empty()) firn_total(r, c) = sum;
  return std::max(0.0, amount) - rest;
}

GlacierCellResult ComputeGlacierCell(const GlacierCellParameters& p, const GlacierCellGrids& g, int r, int c, double T,
                                     double P, const LayeredSnow* layered) {
  GlacierCellResult result;
  const double f = SnowFractionAt(T, p.T0R, p.transzone);
  const double snowfall = f * P;
  const double rain = (1 - f) * P;
  g.snow_fraction(r, c) = snowfall;
  g.rain_fraction(r, c) = rain;
  const double m = SnowMeltRate(p, g, r, c, T);

  // Ordinary store: only snow that lay there before the step melts.
  const double previous_total = g.total(r, c);
  double solid = g.solid(r, c) + snowfall;
  double liquid = g.liquid(r, c) + rain;
  if (layered != nullptr && snowfall > 0) ChangeLayeredSnow(*layered, r, c, 1, snowfall, T);
  const double x = previous_total > 0 ? MeltOf(m, solid) : 0;
  solid -= x;
  liquid += x;
  const double out = Drain(liquid, solid, p.CWH);
  g.outflow(r, c) = out;
  g.melt_only(r, c) = x > 0 ? out : 0;
  if (layered != nullptr && x > 0) {
    ChangeLayeredSnow(*layered, r, c, 1, -x, T);
    layered->liquid(r, c, 0) += x;
  }
  g.solid(r, c) = solid;
  g.liquid(r, c) = liquid;
  g.total(r, c) = solid + liquid;
  result.snow_melt = x;

  if (!HasGlacierStore(g)) {
    // Static glaciers: the ordinary store is the snow on the glacier.
    result.glacier_snow_melt = x;
    if (solid <= 0) MeltFirnAndIce(p, g, r, c, T, x, result);
    return result;
  }
  const double previous_glacier_total = g.total_on_glacier(r, c);
  double gs = g.solid_on_glacier(r, c) + snowfall;
  double gl = g.liquid_on_glacier(r, c) + rain;
  const double y = previous_glacier_total > 0 ? MeltOf(m, gs) : 0;
  gs -= y;
  gl += y;
  g.melt_on_glacier(r, c) = Drain(gl, gs, p.CWH);
  g.solid_on_glacier(r, c) = gs;
  g.liquid_on_glacier(r, c) = gl;
  g.total_on_glacier(r, c) = gs + gl;
  result.glacier_snow_melt = y;
  if (gs <= 0) MeltFirnAndIce(p, g, r, c, T, y, result);
  return result;
}

GlacierCellResult ComputeGlacierCellWithSnowMethod(const GlacierCellParameters& p, const SnowCellParameters& sp,
                                                   const SnowCellGrids& sg, const GlacierCellGrids& g,
                                                   const GlacierStoreEnergyGrids& e, int r, int c,
                                                   std::span<const SnowCallPart> parts, double P) {
  GlacierCellResult result;
  if (parts.empty() || !HasGlacierStore(g)) return result;
  SnowStore s;
  s.solid = g.solid_on_glacier(r, c);
  s.liquid = g.liquid_on_glacier(r, c);
  s.total = s.solid + s.liquid;
  if (!e.snow_temperature.empty()) s.pack_temperature = e.snow_temperature(r, c);
  if (!e.surface_temperature.empty()) s.surface_temperature = e.surface_temperature(r, c);
  if (!e.energy_balance.empty()) s.energy_balance = e.energy_balance(r, c);
  double M = 0;
  double evaporation = 0;
  for (const SnowCallPart& part : parts) {
    M += ComputeSnowCell(sp, sg, r, c, part.T, part.w, SnowStorePart::kGlacierPart, P, s, nullptr).melt;
    evaporation += s.evaporation;
  }
  const double y = MeltOf(M, s.solid);
  s.solid -= y;
  s.liquid += y;
  g.melt_on_glacier(r, c) = Drain(s.liquid, s.solid, p.CWH);
  g.solid_on_glacier(r, c) = s.solid;
  g.liquid_on_glacier(r, c) = s.liquid;
  g.total_on_glacier(r, c) = s.solid + s.liquid;
  if (!e.snow_temperature.empty()) e.snow_temperature(r, c) = s.pack_temperature;
  if (!e.surface_temperature.empty()) e.surface_temperature(r, c) = s.surface_temperature;
  if (!e.evaporation.empty()) e.evaporation(r, c) = evaporation;
  if (!e.energy_balance.empty()) e.energy_balance(r, c) = s.energy_balance;
  result.glacier_snow_melt = y;
  if (s.solid <= 0) MeltFirnAndIce(p, g, r, c, parts.back().T, y, result);
  return result;
}

}  // namespace tolvo
