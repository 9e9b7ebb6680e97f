#include "subsurface/soil_column_step.h"

#include "subsurface/soil_layered_snow.h"
#include "subsurface/soil_river_exchange.h"

#include <algorithm>
#include <cassert>
#include <cmath>

namespace tolvo {

namespace {

constexpr double kSaturated = 0.9995;           // share of θs from which a layer counts as saturated
constexpr double kSnowForDirectRunoff = 10;     // [mm] of solid snow

// Water of positions first..last [mm].
double column_water_mm(const ColumnArrays& a, int first, int last) {
  double w = 0;
  for (int j = first; j <= last; ++j) w += a.theta[j] * a.d[j];
  return w * 1000;
}

int clay_layer_of(const ColumnArrays& a, int n, double clay_depth) {
  if (!(clay_depth > 0)) return -9999;
  double depth = 0;
  for (int j = 1; j <= n; ++j) {
    depth += a.d[j];
    if (depth >= clay_depth) return j;
  }
  return -9999;
}

// Water of amount `water` [mm] covers the potential transpiration of the present land-use
// layers in order; what it covers becomes real transpiration.
void cover_transpiration(double& water, std::span<const LanduseLayerInput> landuse, std::span<double> pot,
                         std::span<double> real) {
  for (std::size_t l = 1; l < landuse.size() && water > 0; ++l) {
    if (!landuse[l].present) continue;
    if (water <= pot[l]) {
      real[l] += water;
      pot[l] -= water;
      water = 0;
    } else {
      real[l] += pot[l];
      water -= pot[l];
      pot[l] = 0;
    }
  }
}

}  // namespace

double baseflow_from_water_table(double max_baseflow_mm, double distance, double inverse_recession,
                                 double sub_steps, double F, double nW) {
  const double exponent = distance == 0 ? 0.0 : distance * inverse_recession;
  return max_baseflow_mm * std::exp(exponent) / (sub_steps * F * nW);
}

double water_table_height(const ColumnArrays& a, std::span<const double> theta_fc, int G, double theta_G) {
  if (G == 1 && a.theta[1] > kSaturated * a.theta_s[1]) return a.z[0];
  const double top = a.z[G - 1];
  if (a.theta_s[G] - theta_G <= 0.0001) return top;
  const double fc = theta_fc[G];
  double Z = a.z[G];
  if (theta_G > fc) Z += (theta_G - fc) * a.d[G] / (a.theta_s[G] - fc);
  return G > 1 ? std::min(Z, top) : Z;
}

double baseflow_and_saturated_zone(const ColumnArrays& a, const ColumnStepArrays& s, int n, double B, double dt,
                                   int& G, double& theta_in_level) {
  const auto saturated = [&](int i) { return a.theta[i] > kSaturated * a.theta_s[i]; };
  if (B < 0) {
    int i = n;
    while (i >= 1 && saturated(i)) --i;
    for (; i >= 1 && B < 0; --i) {
      const double capacity = (a.theta_s[i] - a.theta[i]) * a.d[i] / dt;
      if (capacity <= -B) {
        a.theta[i] = a.theta_s[i];
        s.ret[i] = capacity;
        B += capacity;
      } else {
        a.theta[i] += -B * dt / a.d[i];
        s.ret[i] = -B;
        B = 0;
      }
    }
    if (B < 0) {
      s.ret[0] = -B;
      B = 0;
    }
  }
  int i = n;
  while (i >= 1 && saturated(i)) --i;
  G = std::max(i, 1);
  theta_in_level = a.theta[G];
  // Below the water table the layers drain to field capacity; a walk that leaves the
  // column keeps the content of the last layer as the water-table content.
  const auto below = [&](int j) { return a.theta[std::min(j + 1, n)]; };
  for (int j = G; j <= n; ++j) {
    const double fc = s.theta_fc[j];
    if (a.theta[j] <= fc) {
      ++G;
      theta_in_level = below(j);
      continue;
    }
    const double next = a.theta[j] - B * dt / a.d[j];
    if (next < fc) {
      const double drawn = (a.theta[j] - fc) * a.d[j] / dt;
      s.extraction[j] = drawn;
      B -= drawn;
      a.theta[j] = fc;
      theta_in_level = below(j);
      ++G;
      continue;
    }
    a.theta[j] = next;
    theta_in_level = next;
    s.extraction[j] = B;
    B = 0;
    break;
  }
  G = std::min(G, n);
  return B;
}

EvapotranspirationTaken take_evapotranspiration(const ColumnArrays& a, const ColumnStepArrays& s, int R, int G,
                                                double groundwater_level, double dt) {
  for (int u = 1; u <= R; ++u) s.moved[u] = 0;
  for (int u = 1; u <= R; ++u) {
    if (u <= groundwater_level) {
      a.theta[u] -= s.transp[u] * dt / a.d[u];
      if (a.theta[u] < 0) {
        if (u == 1) {
          s.transp[1] -= -a.theta[1] * a.d[1] / dt;
          a.theta[1] = 0;
        } else {
          s.transp[u] -= (a.theta_r[u] - a.theta[u]) * a.d[u] / dt;
          a.theta[u] = a.theta_r[u];
        }
      }
      continue;
    }
    // Roots below the water table draw from the water-table layer downward, each layer to
    // its field capacity; demand no layer can meet is not transpired.
    double demand = s.transp[u] * dt / a.d[G];
    for (int i = G; i <= R && demand > 0; ++i) {
      const double fc = s.theta_fc[i];
      if (a.theta[i] <= fc) break;
      if (a.theta[i] - demand >= fc) {
        a.theta[i] -= demand;
        s.moved[i] += a.d[i] * demand / dt;
        demand = 0;
        break;
      }
      const double available = a.theta[i] - fc;
      a.theta[i] = fc;
      s.moved[i] += a.d[i] * available / dt;
      if (i + 1 > R || !(a.d[i + 1] > 0)) break;
      demand = (demand - available) * a.d[i] / a.d[i + 1];
    }
    s.transp[u] = 0;
  }
  EvapotranspirationTaken taken;
  for (int u = 1; u <= R; ++u) {
    s.transp[u] += s.moved[u];
    taken.transpiration += s.transp[u];
  }
  for (int u = 1; u <= R && s.evap[u] > 0; ++u) {
    a.theta[u] -= s.evap[u] * dt / a.d[u];
    taken.evaporation += s.evap[u];
  }
  return taken;
}

void column_sub_step(const SoilColumnKernels& k, const ColumnStepSettings& settings, ColumnParameters& p,
                     const ColumnArrays& a, const ColumnStepArrays& s, const ColumnStepInput& in,
                     ColumnCellState& state, ColumnStepOutput& out) {
  const SoilRecord& soil = *p.soil;
  const int n = p.n;
  const int L = static_cast<int>(in.landuse.size()) - 1;
  assert(static_cast<int>(s.pot_t.size()) > L && static_cast<int>(out.real_transpiration.size()) > L);
  for (int j = 1; j <= n; ++j) s.theta_fc[j] = soil.FieldCapacity(j);
  p.clay_layer = clay_layer_of(a, n, in.clay_depth);
  int G = std::clamp(static_cast<int>(state.groundwater_level), 1, n);
  if (settings.heat != nullptr) settings.heat->load_snow_water(p, a, true);

  double dt_min = settings.dt_sub;
  if (settings.method == SoilMethod::DynamicStep) {
    dt_min = dynamic_step_limit(p, a, G, in.water_input_mm != 0, settings.dt_sub);
  }
  const double heat_steps = settings.heat != nullptr ? settings.heat->initial_heat_steps(a) : 0;
  const TimeSteps steps =
      choose_time_steps(settings.method, settings.dt_sub, dt_min, settings.min_dynamic_s, heat_steps);
  const double dt = steps.dt;
  const double F = steps.F;
  const double nW = steps.nW;
  const double N = in.sub_steps;
  p.dt = dt;
  out.water_iterations = nW;
  int last_present = 0;
  double root_depth = 0;
  for (int l = 1; l <= L; ++l) {
    if (!in.landuse[static_cast<std::size_t>(l)].present) continue;
    last_present = l;
    root_depth = std::max(root_depth, in.landuse[static_cast<std::size_t>(l)].root_depth);
  }
  const bool ponding = in.max_ponding_mm > 0;
  bool table_fell = false;
  if (in.tracers != nullptr) in.tracers->begin_sub_step();
  double last_properties = 0;
  double last_input_rate = 0;

  for (int iteration = 1; iteration <= static_cast<int>(nW); ++iteration) {
    if (in.dump != nullptr) take_dump_snapshot(*in.dump, p, a, last_properties, last_input_rate);
    // Water offered to the surface.
    for (int l = 0; l <= L; ++l) {
      s.pot_t[l] = l == 0 ? 0 : in.landuse[static_cast<std::size_t>(l)].pot_transpiration_mm / N / nW;
      s.real_t[l] = 0;
    }
    double I = in.water_input_mm / N / nW;
    double S = in.silting == SiltingWater::kNone ? 0 : in.silting_mm / N / nW;
    for (int j = 0; j <= n; ++j) {
      s.ret[j] = s.et[j] = s.transp[j] = s.evap[j] = s.extraction[j] = 0;
      s.macro_in[j] = s.macro_cap[j] = 0;
    }
    for (int j = -p.n_snow; j <= n; ++j) a.q[j] = a.I[j] = a.R[j] = a.X[j] = 0;
    double P = 0;
    if (in.snow_solid_mm > kSnowForDirectRunoff && I > 0) {
      P = in.snow_runoff_fraction * I;
      I -= P;
    }
    if (in.tracers != nullptr) in.tracers->begin_iteration(a.theta, G, nW, I + P, S, ponding, state.ponding_mm);
    if (!ponding) {
      if (in.silting == SiltingWater::kSurfaceStorage) {
        cover_transpiration(S, in.landuse, s.pot_t, s.real_t);
        I += S;
        S = 0;
      }
    } else {
      double pond = state.ponding_mm + S + P;
      cover_transpiration(pond, in.landuse, s.pot_t, s.real_t);
      I += pond;
      P = 0;
      S = 0;
      state.ponding_mm = I;
    }
    double r_P = P / F;
    double r_I = I / F;

    // Macropores take the input above their threshold rate directly into the layers.
    const bool snow_covered = settings.heat != nullptr && settings.heat->snow_cover();
    const double M = in.macropores && !snow_covered
                         ? k.macroporeInfiltration(r_I, soil, n, a.d, s.macro_cap, a.theta_s, a.theta, s.macro_in, F)
                         : 0.0;

    // Evapotranspiration of every present land-use layer.
    int deepest = 1;
    double soil_evaporation_mm = 0;
    for (int l = 1; l <= L; ++l) {
      const LanduseLayerInput& lu = in.landuse[static_cast<std::size_t>(l)];
      if (!lu.present) continue;
      for (int j = 0; j <= n; ++j) s.transp[j] = s.evap[j] = s.weight[j] = s.fraction[j] = 0;
      RootZoneInput rz;
      rz.potential_transpiration = s.pot_t[l] / F;
      rz.potential_evaporation = l == last_present ? in.pot_evaporation_mm / N / nW / F : 0;
      rz.vegetation_cover = lu.vegetation_cover;
      rz.dt = dt;
      rz.evap_max_depth = soil.EvapMaxDepth;
      rz.G = G;
      double rd = lu.root_depth;
      k.rootDistribution(soil, n, lu.roots, rz, rd,
                         {a.d, a.theta_s, a.theta_r, a.theta, a.z, s.fraction, s.transp, s.evap, s.et, s.weight});
      int R = 0;
      for (int j = 1; j <= n; ++j) {
        if (s.fraction[j] > 0) R = j;
      }
      const EvapotranspirationTaken taken = take_evapotranspiration(a, s, R, G, state.groundwater_level, dt);
      s.real_t[l] += taken.transpiration * F;
      soil_evaporation_mm += taken.evaporation * F;
      deepest = std::max(deepest, R);
    }
    for (int l = 1; l <= L; ++l) {
      if (in.landuse[static_cast<std::size_t>(l)].present) s.real_t[0] += s.real_t[l];
    }
    s.real_t[0] += soil_evaporation_mm;
    p.L = deepest;

    // Baseflow and the saturated zone.
    const int G_start = G;
    const double Z_start = state.groundwater_distance + a.z[0];
    const double B0 = in.baseflow_given
                          ? in.baseflow_rate
                          : baseflow_from_water_table(in.max_baseflow_mm, state.groundwater_distance,
                                                      in.inverse_recession, N, F, nW);
    const double B_left = baseflow_and_saturated_zone(a, s, n, B0, dt, G, state.theta_in_level);
    const double drawn = B0 - B_left;
    state.groundwater_level = G;

    // Melt water of the snow pack fills the pore space of soil layers 1 and 2; what does not
    // fit leaves the cell as direct runoff and infiltration excess.
    double snow_excess = 0;
    if (settings.heat != nullptr) {
      const double melt = settings.heat->snow_release();
      if (melt > 0) snow_excess = melt_into_top_layers(melt, a.theta, a.theta_s, a.d);
      settings.heat->load_snow_water(p, a, false);
    }

    // Richards iteration from the contents after the inputs and withdrawals, over the snow
    // layers holding snow and the soil: the input enters the top of the first active
    // position, the pack's water reaches the soil through the flux at position 0.
    const int first = p.first;
    for (int j = first - 1; j <= n; ++j) a.theta0[j] = a.theta_m[j] = a.theta_n[j] = a.theta[j];
    p.G = G;
    p.W = Z_start;
    const double water_richards = column_water_mm(a, first, n);
    RiverTotals river;
    const RichardsOutcome run = richards_iteration(k, settings.tuning, p, a, r_I, river);
    last_properties = run.properties;
    last_input_rate = r_I;
    out.richards_iterations += run.iterations;
    const double pack_water = column_water_mm(a, first, 0);
    // The snow layers' interflow runs off along the pack.
    double snow_outflow = 0;
    for (int j = first; j <= 0; ++j) snow_outflow += a.I[j];
    if (settings.heat != nullptr) {
      settings.heat->heat_sub_steps(steps.h, steps.dtH, a, s.macro_in);
      snow_excess += settings.heat->snow_release();
      settings.heat->load_snow_water(p, a, false);
    }
    if (in.dump != nullptr) check_and_dump(*in.dump, p, a, iteration, nW, dt);
    if (run.iterations > out.slowest_iterations) {
      out.slowest_iterations = run.iterations;
      out.slowest_error = run.error;
    }
    double lateral = snow_outflow;
    for (int j = 1; j <= n; ++j) lateral += a.I[j];
    const RiverExchange river_flows = settle_river_flows(p, a);
    lateral += river_flows.exfiltration - river_flows.infiltration;
    out.river_infiltration += river_flows.infiltration * F;
    out.river_exfiltration += river_flows.exfiltration * F;
    out.limit_mm += pack_water + column_water_mm(a, 1, n) - water_richards - (a.q[n] - a.q[first - 1] - lateral) * F;

    // Interflow, water table and recharge.
    double interflow_rate = 0;
    for (int u = 1; u <= static_cast<int>(state.groundwater_level) - 1; ++u) interflow_rate += a.I[u];
    const double level = state.groundwater_level;
    if (level != std::floor(level)) {
      state.theta_in_level = s.theta_fc[G];
    } else {
      const double net = a.q[G - 1] + s.transp[G] + s.evap[G] + a.I[G];
      if (net > 0) state.theta_in_level = std::max(state.theta_in_level - net * dt / a.d[G], s.theta_fc[G]);
    }
    const double Z = water_table_height(a, s.theta_fc, G, state.theta_in_level);
    table_fell = Z < Z_start;
    state.groundwater_distance = Z - a.z[0];
    WaterTableMove move;
    move.old_layer = G_start;
    move.new_layer = G;
    move.old_height = Z_start;
    move.new_height = Z;
    move.dt = dt;
    move.F = F;
    move.baseflow = drawn;
    move.external_table = in.external_table;
    const double recharge = k.groundwaterLevelChange(move, {a.z, a.theta, a.theta_s, a.theta0, s.ret, a.d, a.q}, 0, 0);
    const double irrigation = in.irrigation_from_groundwater && B_left <= 0 ? -B_left * F : 0;

    // Surface runoff, infiltration excess and ponding. Water leaving the column through its
    // top (q > 0) joins the surface runoff like the input the column did not take; under
    // snow that is the top of the pack, and the soil takes −q0 from the pack.
    const double q0 = a.q[0];
    const double q_top = a.q[first - 1];
    if (!ponding) r_P += snow_outflow;
    double excess = (r_I + q_top + r_P) * F;
    const double infiltration = q0 < 0 ? -q0 * F : 0;
    if (ponding) excess -= state.ponding_mm - M;
    if (excess < 0) {
      if (!ponding) out.limit_mm += excess;
      excess = 0;
    }
    double Q = excess / F + s.ret[0];
    if (in.silting == SiltingWater::kDirectRunoff) Q += S / F;
    if (ponding) {
      // The pond holds what the soil did not take; beyond its capacity it overflows. A lake
      // cell keeps its water: the lake's level already stands for the whole lake, and its
      // reservoir releases what lies above the outlet, so an overflow here would send the
      // lake's water round into its own inflow.
      const double pond = (s.ret[0] + r_I + q_top + snow_outflow) * F;
      if (pond > in.max_ponding_mm && !in.lake) {
        Q = (pond - in.max_ponding_mm) / F;
        state.ponding_mm = in.max_ponding_mm;
        excess = 0;
      } else {
        state.ponding_mm = pond;
        Q = 0;
      }
    }

    if (in.tracers != nullptr) {
      const double pond_rate = ponding ? state.ponding_mm / F : 0.0;
      in.tracers->transport({.n = n, .G = static_cast<int>(state.groundwater_level), .q = a.q, .theta0 = {},
                             .theta = a.theta, .theta_s = a.theta_s, .d = a.d, .z = a.z, .I = a.I,
                             .B = s.extraction, .X = a.X, .R = a.R, .U = s.ret, .dt = dt, .F = F, .Q = Q,
                             .surface_water = Q - q0 + pond_rate});
      in.tracers->surface_runoff(Q, F, ponding, Q + pond_rate, in.silting == SiltingWater::kDirectRunoff ? S : 0.0);
    }

    // Diagnostics and the sums of the sub-step.
    const double nodata = -9999;
    out.sb1 = root_depth <= 0 ? a.theta[1]
                              : k.meanThetaInDepthRange(n, a.d, a.theta, a.theta_s, 1, 0, root_depth, nodata) /
                                    root_depth;
    out.mean_theta_root =
        soil.SuctionForTheta(1, root_depth <= 0 ? a.theta[1]
                                                : k.meanThetaInDepthRange(n, a.d, a.theta, a.theta_s, 0, 0,
                                                                          root_depth, nodata));
    out.sb2 = k.meanThetaInDepthRange(n, a.d, a.theta, a.theta_s, 1, 0, 9999, nodata) * 1000;
    out.root_mm = root_depth * 1000;
    // The drains are part of the interflow of their layer, as far as the update left it.
    if (p.drainage_level >= 1 && p.drainage_level < static_cast<int>(state.groundwater_level)) {
      out.drainage += std::min(run.drain, a.I[p.drainage_level]) * F;
    }
    out.directflow += Q * F;
    out.interflow += interflow_rate * F;
    out.macropore += M;
    for (int l = 0; l <= L; ++l) out.real_transpiration[l] += s.real_t[l];
    out.recharge += recharge;
    out.percolation += std::max(recharge, 0.0);
    out.uprise += std::min(recharge, 0.0);
    out.real_evaporation += soil_evaporation_mm;
    out.irrigation += irrigation;
    out.infiltration_excess += excess + snow_excess;
    out.directflow += snow_excess;
    out.total_infiltration += infiltration;
    out.baseflow += drawn * F;
    out.surface_infiltration_mm = -q0 * F;
    out.F = F;
    out.river_infiltration_rate += river.infiltration;
  }
  const int g = std::clamp(static_cast<int>(state.groundwater_level), 1, n);
  out.storage_coefficient = std::max(0.01, a.theta_s[g] - (table_fell ? s.theta_fc[g] : a.theta[g]));
}

}  // namespace tolvo
