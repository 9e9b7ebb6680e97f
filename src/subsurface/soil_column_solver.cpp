#include "subsurface/soil_column_solver.h"

#include "subsurface/soil_river_exchange.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <exception>
#include <optional>

#include "framework/error_code.h"
#include "framework/parallel.h"
#include "subsurface/soil_column_step.h"
#include "subsurface/soil_heat_column.h"

namespace tolvo {

double dynamic_step_limit(const ColumnParameters& p, const ColumnArrays& a, int G, bool has_input, double dt_sub) {
  double dt_min = dt_sub;
  for (int i = p.first; i < G && i <= p.soil->layerCount; ++i) {
    const ColumnHorizon h = horizon_of(p, i);
    double k = h.record->GetKsat()[static_cast<std::size_t>(h.layer)];
    if (!has_input) {
      const double f = a.liquid_fraction.empty() ? 1.0 : std::max(0.5, a.liquid_fraction[i]);
      const double kr = h.record->RelativeConductivity(h.layer, a.theta[i], f);
      if (!(kr > 0)) continue;
      k *= kr;
    }
    if (k > 0) dt_min = std::min(dt_min, a.d[i] / k);
  }
  return dt_min;
}

TimeSteps choose_time_steps(SoilMethod method, double dt_sub, double dt_min, double min_dynamic_s,
                            double heat_steps) {
  TimeSteps t;
  switch (method) {
    case SoilMethod::FixedStep:
      t.nW = 1;
      break;
    case SoilMethod::DynamicStep:
      t.nW = std::ceil(dt_sub / std::max(dt_min, min_dynamic_s));
      break;
  }
  t.nW = std::max(t.nW, 1.0);
  if (heat_steps <= 0) {
    t.nH = t.nW;
    t.h = 1;
  } else if (heat_steps <= 2 * t.nW) {
    if (heat_steps <= t.nW) {
      t.nH = t.nW;
    } else {
      t.nH = heat_steps;
      t.nW = heat_steps;
    }
    t.h = 1;
  } else {
    const long long whole_h = static_cast<long long>(std::floor(heat_steps));
    const long long whole_w = static_cast<long long>(std::floor(t.nW));
    t.nH = static_cast<double>((whole_h / whole_w + 1) * whole_w);
    t.h = static_cast<int>(t.nH / t.nW);
  }
  t.dt = dt_sub / t.nW;
  t.dtH = dt_sub / t.nH;
  t.F = t.dt * 1000;
  return t;
}

RichardsOutcome richards_iteration(const SoilColumnKernels& k, const RichardsTuning& tuning,
                                   const ColumnParameters& p, const ColumnArrays& c, double input_rate,
                                   RiverTotals& river) {
  constexpr int kUpdatePasses = 10;
  double limit = tuning.max_error;
  int i = 0;
  int count = 0;
  double err = 0;
  double drain = 0;
  double properties = k.layerHydraulicProperties(p, c, 0);
  for (;;) {
    ++i;
    drain = k.columnFluxes(p, c, input_rate);
    k.updateTheta(p, c, kUpdatePasses, river);
    if (i == 21) limit = 5 * tuning.max_error;
    err = k.iterationError(p, c, i, count);
    if (err <= limit || std::isnan(err) || i >= tuning.max_iterations) break;
    properties = k.layerHydraulicProperties(p, c, i);
  }
  return {.iterations = i, .error = err, .drain = drain, .properties = properties};
}

std::string solver_log_line(int day, int month, int hour, int row, int col, int iterations, double error) {
  char line[200];
  std::snprintf(line, sizeof line, "%2d.%2d., %2d h r=%3d, c=%3d : ziter=%3d, max_err = %lg \n", day, month, hour,
                row, col, iterations, error);
  return line;
}

CellAction select_cell(const CellSelection& s) {
  if (s.zone_nodata) return CellAction::kSkip;
  const bool here = s.in_spare_row ? s.river_cell_moved : s.own_rank && !s.river_cell_moved;
  if (!here) return CellAction::kSkip;
  if (s.hru_run && s.hru_master_nodata) return CellAction::kSkip;
  if (std::clamp(s.glacier_fraction, 0.0, 1.0) >= 1) return CellAction::kGlacier;
  return CellAction::kCompute;
}

namespace {

constexpr int kColumnArrayCount = 19;
constexpr int kStepArrayCount = 11;

}  // namespace

ColumnScratch::ColumnScratch(int n, int landuse_layers, int n_snow)
    : storage_(static_cast<std::size_t>(n + n_snow + 1) * kColumnArrayCount +
                   static_cast<std::size_t>(n + 1) * kStepArrayCount + 2 * static_cast<std::size_t>(landuse_layers + 1),
               0.0),
      brackets_(static_cast<std::size_t>(n + n_snow + 1), 1),
      n_(n),
      n_snow_(n_snow),
      landuse_layers_(landuse_layers) {
  const std::size_t m = static_cast<std::size_t>(n + n_snow) + 1;
  std::span<double> all(storage_);
  int k = 0;
  const auto next = [&] { return ColumnArray(all.subspan(m * static_cast<std::size_t>(k++), m), -n_snow); };
  arrays_.d = next();
  arrays_.theta_s = next();
  arrays_.theta_r = next();
  arrays_.theta0 = next();
  arrays_.theta_m = next();
  arrays_.theta_n = next();
  arrays_.theta = next();
  arrays_.z = next();
  arrays_.H = next();
  arrays_.psi0 = next();
  arrays_.q = next();
  arrays_.I = next();
  arrays_.R = next();
  arrays_.X = next();
  arrays_.Ks = next();
  arrays_.kr = next();
  arrays_.psi_theta = next();
  arrays_.psi = next();
  arrays_.suction_bracket = BasicColumnArray<int>(brackets_, -n_snow);
  theta_start_ = next().soil();
}

ColumnStepArrays ColumnScratch::step_arrays() const {
  const std::size_t m = static_cast<std::size_t>(n_) + 1;
  std::span<double> all(const_cast<std::vector<double>&>(storage_));
  std::size_t offset = (m + static_cast<std::size_t>(n_snow_)) * kColumnArrayCount;
  const auto next = [&] {
    const std::span<double> s = all.subspan(offset, m);
    offset += m;
    return s;
  };
  ColumnStepArrays s;
  s.et = next();
  s.transp = next();
  s.evap = next();
  s.weight = next();
  s.fraction = next();
  s.ret = next();
  s.macro_cap = next();
  s.macro_in = next();
  s.extraction = next();
  s.moved = next();
  s.theta_fc = next();
  const std::size_t l = static_cast<std::size_t>(landuse_layers_) + 1;
  s.pot_t = all.subspan(offset, l);
  s.real_t = all.subspan(offset + l, l);
  return s;
}

void ColumnScratch::clear() { std::fill(storage_.begin(), storage_.end(), 0.0); }

namespace {

double value_or(ConstGridView g, int r, int c, double otherwise) { return g.empty() ? otherwise : g(r, c); }

template <class View>
double layer_value_or(const std::vector<View>& grids, std::size_t l, int r, int c, double otherwise) {
  return l < grids.size() && !grids[l].empty() ? grids[l](r, c) : otherwise;
}

// Copies the column of cell (r, c) into the work arrays and sets its parameters.
void load_column(const SoilColumnLoopSettings& s, const SoilColumnGrids& g, const SoilRecord& soil, int r, int c,
                 int subbasin, const ColumnArrays& a, ColumnParameters& p) {
  const int n = soil.layerCount;
  for (int j = 0; j <= n; ++j) {
    const auto k = static_cast<std::size_t>(j);
    a.d[j] = soil.thickness[k];
    a.theta_s[j] = soil.theta_sat[k];
    a.theta_r[j] = soil.theta_res[k];
  }
  const std::span<const double> theta = g.theta.levels(r, c);
  const std::span<const double> heads = g.hydraulic_heads.levels(r, c);
  const std::span<const double> z = g.geodetic_heads.levels(r, c);
  const std::span<const double> q = g.q_down.levels(r, c);
  for (int j = 0; j <= n; ++j) {
    const auto k = static_cast<std::size_t>(j);
    a.theta[j] = theta[k];
    a.H[j] = heads[k];
    a.z[j] = z[k];
    a.q[j] = q[k];
  }
  p.soil = &soil;
  p.n = n;
  p.G = static_cast<int>(g.groundwater_level(r, c));
  p.W = g.groundwater_distance(r, c) + a.z[0];
  p.L = 1;
  p.clay_ksat = s.clay_ksat;
  p.cellsize = s.cellsize;
  const std::span<const double> density = s.subbasins.channel_density;
  p.drainage_density = !g.drainage_density.empty() ? g.drainage_density(r, c)
                       : subbasin >= 1 && subbasin < static_cast<int>(density.size())
                           ? density[static_cast<std::size_t>(subbasin)]
                           : 0;
  p.slope_factor = std::min(1.0, value_or(g.tangens_beta, r, c, 0));
  const double drains = value_or(g.drainage_level, r, c, s.nodata);
  p.drainage_level = drains != s.nodata && drains >= 1 ? static_cast<int>(drains) : -1;
  p.drain_distance = value_or(g.drainage_distance, r, c, 0);
  if (!(p.drain_distance > 0)) p.drainage_level = -1;
}

void store_column(const SoilColumnGrids& g, int r, int c, const ColumnArrays& a, int n) {
  const std::span<double> theta = g.theta.levels(r, c);
  const std::span<double> heads = g.hydraulic_heads.levels(r, c);
  const std::span<double> q = g.q_down.levels(r, c);
  for (int j = 1; j <= n; ++j) {
    const auto k = static_cast<std::size_t>(j);
    theta[k] = a.theta[j];
    heads[k] = a.H[j];
    q[k] = a.q[j];
  }
  q[0] = a.q[0];
}

void set_if(GridView g, int r, int c, double v) {
  if (!g.empty()) g(r, c) = v;
}

void add_if(GridView g, int r, int c, double v) {
  if (!g.empty()) g(r, c) += v;
}

// The land-use layers of cell (r, c): present where the land-use grid holds an entry of the
// table.
void load_landuse(const SoilColumnLoopSettings& s, const SoilColumnGrids& g, int r, int c,
                  std::span<LanduseLayerInput> layers) {
  for (std::size_t l = 1; l < layers.size(); ++l) {
    LanduseLayerInput& lu = layers[l];
    lu = LanduseLayerInput{};
    if (l >= g.landuse.size() || g.landuse[l].empty()) continue;
    const double code = g.landuse[l](r, c);
    if (!(code > s.nodata)) continue;
    const int index = static_cast<int>(code);
    lu.present = true;
    if (s.landuse != nullptr && index >= 1 && index <= s.landuse->size()) {
      const LanduseRecord& rec = (*s.landuse)[index];
      lu.roots = {rec.GetRootDist(), rec.GetHReduDry(), rec.GetTReduWet(), rec.GetLimitReduWet()};
    }
    lu.pot_transpiration_mm = layer_value_or(g.pot_transpiration, l, r, c, 0);
    lu.vegetation_cover = layer_value_or(g.vegetation_cover, l, r, c, 0);
    lu.root_depth = layer_value_or(g.root_depth, l, r, c, 0);
  }
}

[[noreturn]] void river_link_failure(int link) {
  const std::string v = std::to_string(link);
  throw ColumnFailure{kRiverLinkError,
                      "FATAL: \n\n -------- error! ---------------------------------------------\n\nThere is a river "
                      "link \"" + v + "\" from the river link grid\nwhich is not valid for the current routing "
                      "structure -> there is no routing \ndescription for a river with code " + v +
                          "\nPlease check your River link grid if there are cells defined as routing link " + v +
                          " and replace those values by nodata (-9999).\n" + std::string(61, '-') + "\n\n"};
}

}  // namespace

int reinfiltration_subbasin(double link, std::span<const int> code_index) {
  const int k = static_cast<int>(link);
  const int largest = static_cast<int>(code_index.size()) - 1;
  if (k >= 1 && k <= largest) {
    const int j = code_index[static_cast<std::size_t>(k)];
    if (j >= 1 && j <= largest) return j;
  }
  river_link_failure(k);
}

namespace {
// The water input of a sub-step under the layered snow pack [mm per model step, spread over
// the step's sub-steps]: the rain, plus what other sub-models added to the input after the
// snow model (`others`, less what they took), plus the water the snow model released at the
// pack's level 0. The released water leaves level 0 with this sub-step, so it enters whole
// here: it counts sub_steps times. When the others took more than the rain gives, the rest is
// taken from the released water of the sub-step that carries it, and the input stays at 0
// or more.
double layered_snow_water_input(SoilHeatColumns::SnowWater snow, double others, double sub_steps) {
  const double rest = snow.rain + others;
  return rest >= 0 ? snow.released * sub_steps + rest : std::max(snow.released + rest, 0.0) * sub_steps;
}

// The river of cell (r, c): bed, width and leakage from the grids, and with a link > 0 the
// record of the linked sub-basin's river (199 for a link without one).
RiverCellInput river_cell_input(const SoilColumnLoopSettings& s, const SoilColumnGrids& g, int r, int c,
                                std::span<const int> code_index) {
  RiverCellInput in;
  in.interaction = s.surface_water_interaction;
  in.depth = g.river_depth(r, c);
  in.width = g.river_width.empty() ? 0 : g.river_width(r, c);
  in.kolmation = g.kolmation.empty() ? 0 : g.kolmation(r, c);
  in.cellsize = s.cellsize;
  if (in.depth == s.nodata || in.width == s.nodata || in.kolmation == s.nodata) in.depth = 0;
  const double link = g.river_links.empty() ? s.nodata : g.river_links(r, c);
  if (link != s.nodata && link > 0 && !s.rivers.empty()) {
    const int j = reinfiltration_subbasin(link, code_index);
    if (static_cast<std::size_t>(j) < s.rivers.size()) in.river = &s.rivers[static_cast<std::size_t>(j)];
  }
  return in;
}

// Lakes close the macropores: every cell's under a lake switch other than 0 and 1, a
// lake cell's holding a pond of 1 mm or more under switch 1.
bool macropores_open(const SoilColumnLoopSettings& s, const SoilColumnGrids& g, int r, int c) {
  if (s.lake_switch == 0) return true;
  if (s.lake_switch != 1) return false;
  const bool lake = !g.lake_codes.empty() && g.lake_codes.rows().contains(r) && g.lake_codes(r, c) != s.nodata;
  return !(lake && !g.ponding.empty() && g.ponding.rows().contains(r) && g.ponding(r, c) >= 1);
}

// One sub-step of a computed cell; returns the number of water iterations.
double advance_column(const SoilColumnKernels& kernels, const SoilColumnLoopSettings& s, const SoilColumnGrids& g,
                      int r, int c, SoilColumnWorkspace::PerThread& own, ControlCellRecord* control) {
  const int type = static_cast<int>(g.soil_types(r, c));
  if (type < 1 || type >= static_cast<int>(s.soils.size())) {
    throw ColumnFailure{kSoilCodeError, "FATAL: soil type " + std::to_string(type) + " of cell (" +
                                            std::to_string(r) + ", " + std::to_string(c) +
                                            ") is not in the soil table"};
  }
  const SoilRecord& soil = s.soils[static_cast<std::size_t>(type)];
  ColumnScratch& scratch = own.scratch;
  scratch.clear();
  ColumnArrays a = scratch.arrays();
  const ColumnStepArrays sa = scratch.step_arrays();
  const int code = static_cast<int>(g.zone(r, c));
  const std::span<const int> code_index = s.subbasins.code_index;
  const int subbasin = code >= 0 && code < static_cast<int>(code_index.size())
                           ? code_index[static_cast<std::size_t>(code)]
                           : 0;
  ColumnParameters p;
  load_column(s, g, soil, r, c, subbasin, a, p);
  RiverCell river;
  if (s.baseflow_given && !g.river_depth.empty()) {
    river.in = river_cell_input(s, g, r, c, code_index);
    p.river = &river;
  }
  load_landuse(s, g, r, c, own.landuse);

  const auto per_subbasin = [&](std::span<const double> v) {
    return subbasin >= 1 && subbasin < static_cast<int>(v.size()) ? v[static_cast<std::size_t>(subbasin)] : 0.0;
  };
  ColumnStepInput in;
  in.water_input_mm = value_or(g.input, r, c, 0);
  in.silting = s.silting == 1   ? SiltingWater::kDirectRunoff
               : s.silting == 2 ? SiltingWater::kSurfaceStorage
                                : SiltingWater::kNone;
  in.silting_mm = value_or(g.silting, r, c, 0) * (s.silting_each_sub_step ? s.sub_steps : 1);
  in.snow_solid_mm = value_or(g.snow_solid, r, c, -1);
  in.snow_runoff_fraction = per_subbasin(s.subbasins.snow_runoff_fraction);
  in.max_ponding_mm = value_or(g.max_ponding, r, c, 0);
  in.lake = s.lake_switch != 0 && value_or(g.lake_codes, r, c, -1) >= 0;
  in.macropores = s.macropores && macropores_open(s, g, r, c);
  in.landuse = own.landuse;
  in.pot_evaporation_mm = value_or(g.pot_evaporation, r, c, 0);
  in.baseflow_given = s.baseflow_given || s.external_table;
  in.baseflow_rate = in.baseflow_given ? value_or(g.baseflow, r, c, 0) : 0;
  in.external_table = s.external_table;
  in.max_baseflow_mm = per_subbasin(s.subbasins.max_baseflow);
  in.inverse_recession = per_subbasin(s.subbasins.inverse_recession);
  in.sub_steps = s.sub_steps;
  in.clay_depth = value_or(g.clay_depth, r, c, 0);
  const double irrigation_code = value_or(g.irrigation_codes, r, c, s.nodata);
  if (irrigation_code != s.nodata) {
    const int k = static_cast<int>(irrigation_code);
    in.irrigation_from_groundwater = k >= 1 && k < static_cast<int>(s.irrigation_origin.size()) &&
                                     s.irrigation_origin[static_cast<std::size_t>(k)] == 1;
  }

  ColumnCellState state;
  state.groundwater_level = g.groundwater_level(r, c);
  state.groundwater_distance = g.groundwater_distance(r, c);
  state.theta_in_level = g.theta_in_level.empty() ? 0 : g.theta_in_level(r, c);
  state.ponding_mm = g.ponding.empty() ? 0 : g.ponding(r, c);
  if (state.ponding_mm == s.nodata) state.ponding_mm = 0;

  std::optional<ColumnTracerStep> tracers;
  if (g.tracers != nullptr && !g.tracers->tracers.empty()) {
    in.tracers = &tracers.emplace(*g.tracers, own.tracer_scratch, r, c, p.n, a.d);
    if (p.river != nullptr) tracers->set_river(p.river->in.river);
  }
  CellDump dump;
  if (s.dumps != nullptr) {
    dump = {.run = s.dumps, .thread = &own.dump, .row = r, .col = c, .soil_type = type,
            .landuse_layers = static_cast<int>(own.landuse.size()) - 1,
            .baseflow = g.baseflow.empty() ? nullptr : &g.baseflow(r, c)};
    for (std::size_t l = 0; l < own.dump.landuse.size(); ++l) {
      own.dump.real_transpiration[l] = layer_value_or(g.real_transpiration, l, r, c, 0);
      own.dump.landuse[l] = l == 0 ? 0 : layer_value_or(g.landuse, l, r, c, s.nodata);
    }
    in.dump = &dump;
  }

  ColumnStepOutput out;
  std::fill(own.real_transpiration.begin(), own.real_transpiration.end(), 0.0);
  out.real_transpiration = own.real_transpiration;
  ColumnStepSettings cs{s.method, s.dt_sub, s.min_dynamic_s, s.tuning, nullptr};
  const int thread = omp_get_thread_num();
  if (s.heat != nullptr) cs.heat = s.heat->begin_cell(r, c, type, thread);
  if (cs.heat != nullptr) dump.heat = cs.heat->dump_source();
  if (cs.heat != nullptr && s.heat->layered_snow() && s.snow_type != nullptr) {
    // The snow pack holds the snow: the column takes the rain and the water the snow model
    // released from the pack at its top in place of the snow model's outflow, and its snow
    // positions join the Richards iteration. What other sub-models added to the water input
    // after the snow model (or took from it) stays with the input.
    in.water_input_mm = layered_snow_water_input(s.heat->snow_water_input(r, c),
                                                 in.water_input_mm - value_or(g.snow_outflow, r, c, 0), s.sub_steps);
    in.snow_solid_mm = -1;
    p.snow = s.snow_type;
    p.n_snow = s.n_snow;
    p.snow_ice_effectiveness = s.snow_ice_effectiveness;
    p.ice_effectiveness = s.soil_ice_effectiveness;
    p.snow_drainage_density = s.snow_drainage_density;
    a.liquid_fraction = cs.heat->liquid_fraction();
  }
  column_sub_step(kernels, cs, p, a, sa, in, state, out);
  store_column(g, r, c, a, p.n);
  g.groundwater_level(r, c) = state.groundwater_level;
  if (cs.heat != nullptr) s.heat->end_cell(r, c, a, thread);
  g.groundwater_distance(r, c) = state.groundwater_distance;
  set_if(g.theta_in_level, r, c, state.theta_in_level);
  if (!g.ponding.empty() && in.max_ponding_mm > 0) g.ponding(r, c) = state.ponding_mm;
  set_if(g.baseflow, r, c, out.baseflow);
  set_if(g.river_infiltration, r, c, out.river_infiltration);
  set_if(g.river_exfiltration, r, c, out.river_exfiltration);
  set_if(g.directflow, r, c, out.directflow);
  set_if(g.interflow, r, c, out.interflow);
  set_if(g.macropore, r, c, out.macropore);
  set_if(g.recharge, r, c, out.recharge);
  set_if(g.percolation, r, c, out.percolation);
  set_if(g.uprise, r, c, out.uprise);
  set_if(g.infiltration_excess, r, c, out.infiltration_excess);
  set_if(g.total_infiltration, r, c, out.total_infiltration);
  set_if(g.drainage_flow, r, c, out.drainage);
  set_if(g.irrigation_amounts, r, c, out.irrigation);
  add_if(g.real_evaporation, r, c, out.real_evaporation);
  for (std::size_t l = 0; l < g.real_transpiration.size() && l < out.real_transpiration.size(); ++l) {
    add_if(g.real_transpiration[l], r, c, out.real_transpiration[l]);
  }
  set_if(g.sb1, r, c, out.sb1);
  set_if(g.sb2, r, c, out.sb2);
  set_if(g.root, r, c, out.root_mm);
  set_if(g.mean_theta_root, r, c, out.mean_theta_root);
  set_if(g.substeps, r, c, out.water_iterations);
  set_if(g.storage_coefficient, r, c, out.storage_coefficient);
  own.limit_mm += out.limit_mm;
  own.iterations += out.richards_iterations;
  if (out.slowest_iterations > 100 && s.rank == 0) {
    own.slow.push_back({r, c, out.slowest_iterations, out.slowest_error});
  }
  if (s.reinfiltration && !g.river_links.empty() && g.river_links(r, c) != s.nodata && g.river_links(r, c) > 0) {
    const int j = reinfiltration_subbasin(g.river_links(r, c), code_index);
    if (static_cast<std::size_t>(j) < s.reinfiltration_m3s.size()) {
      const double inflow = out.river_infiltration_rate * s.cellsize * s.cellsize;
#pragma omp critical
      s.reinfiltration_m3s[static_cast<std::size_t>(j)] += inflow;
    }
  }
  if (control != nullptr) {
    control->filled = true;
    control->et.assign(static_cast<std::size_t>(p.n) + 1, 0.0);
    control->interflow.assign(static_cast<std::size_t>(p.n) + 1, 0.0);
    for (int j = 0; j <= p.n; ++j) {
      control->et[static_cast<std::size_t>(j)] = sa.et[j] * out.F;
      if (j > 0) control->interflow[static_cast<std::size_t>(j)] = a.I[j] * out.F;
    }
    control->surface_infiltration = out.surface_infiltration_mm;
  }
  return out.water_iterations;
}

}  // namespace

SoilColumnWorkspace::SoilColumnWorkspace(int max_layers, int landuse_layers, int n_snow)
    : max_layers_(max_layers), landuse_layers_(landuse_layers), n_snow_(n_snow) {
  ensure_threads(row_thread_count());
}

void SoilColumnWorkspace::ensure_threads(int n) {
  threads_.reserve(static_cast<std::size_t>(n));
  while (static_cast<int>(threads_.size()) < n) threads_.emplace_back(max_layers_, landuse_layers_, n_snow_);
}

SoilColumnLoopReport soil_column_loop(const SoilColumnKernels& kernels, const SoilColumnLoopSettings& s,
                                      const SoilColumnGrids& g, SoilColumnWorkspace& work) {
  std::atomic<bool> failed{false};
  work.ensure_threads(row_thread_count());
  work.control_.filled = false;
  for (SoilColumnWorkspace::PerThread& t : work.threads_) {
    t.cells = 0;
    t.sub_steps = 0;
    t.limit_mm = 0;
    t.iterations = 0;
    t.failure.code = 0;
    t.slow.clear();
    t.dump.clear_reports();
    t.tracer_scratch.fpe().reset();
  }
  const RowRange rows{s.spare_columns > 0 ? s.rows.first - 1 : s.rows.first, s.rows.last};
  for_each_row_by_thread(rows, [&](int r, int t) {
    SoilColumnWorkspace::PerThread& own = work.threads_[static_cast<std::size_t>(t)];
    if (!own.tracer_scratch.fpe().started()) own.tracer_scratch.fpe().begin_loop();
    // The spare row holds cells only where the cell exchange gave the grids that row.
    if (!g.zone.rows().contains(r) || !g.theta.rows().contains(r)) return;
    if (!g.river_links.empty() && !g.river_links.rows().contains(r)) return;
    const int last_col = r == s.rows.first - 1 ? s.spare_columns : s.ncols;
    for (int c = 1; c <= last_col; ++c) {
      if (failed.load(std::memory_order_relaxed)) return;
      CellSelection sel;
      sel.zone_nodata = g.zone(r, c) == s.nodata;
      sel.own_rank = g.regions.empty() || (g.regions.rows().contains(r) && static_cast<int>(g.regions(r, c)) == s.rank);
      sel.in_spare_row = r == s.rows.first - 1;
      sel.river_cell_moved = s.links_built && !g.river_links.empty() && g.river_links(r, c) != s.nodata &&
                             g.river_links(r, c) > 0;
      sel.hru_run = s.hru_run;
      sel.hru_master_nodata = !g.hru_master.empty() && g.hru_master(r, c) == s.nodata;
      sel.glacier_fraction = value_or(g.glacier, r, c, 0);
      try {
        const CellAction action = select_cell(sel);
        if (action == CellAction::kGlacier) {
          for (const GridView& z : g.zeroed_on_glacier) z(r, c) = 0;
        }
        if (action == CellAction::kCompute) {
          const bool control_cell = r == s.control_row && c == s.control_col;
          own.sub_steps += advance_column(kernels, s, g, r, c, own, control_cell ? &work.control_ : nullptr);
          ++own.cells;
        }
        if (!g.q_downext.empty() && g.q_downext.rows().contains(r) && r >= s.rows.first) {
          g.q_downext(r, c) = g.q_down(r, c, 0);
        }
      } catch (ColumnFailure& f) {
        own.failure = {f.code, std::move(f.entry)};
        failed.store(true);
        return;
      } catch (const ErrorCode& e) {
        own.failure = {e.code, {}};
        failed.store(true);
        return;
      } catch (const std::exception& e) {
        own.failure = {kOtherExceptionCode,
                       std::string("FATAL: unexpected exception caught in the soil column solver: ") + e.what()};
        failed.store(true);
        return;
      } catch (...) {
        own.failure = {kOtherExceptionCode, "FATAL: unexpected exception caught in the soil column solver: unknown exception"};
        failed.store(true);
        return;
      }
    }
  });

  SoilColumnLoopReport report;
  for (const SoilColumnWorkspace::PerThread& t : work.threads_) {
    report.limit_mm += t.limit_mm;
    report.richards_iterations += t.iterations;
    report.computed_cells += t.cells;
    report.column_sub_steps += static_cast<long long>(t.sub_steps);
    report.dump_repair_messages += t.dump.repair_messages;
    report.dump_last_repair_message = report.dump_last_repair_message || t.dump.last_repair_message;
    report.unopened_dumps.insert(report.unopened_dumps.end(), t.dump.unopened.begin(), t.dump.unopened.end());
    report.fpe.add(t.tracer_scratch.fpe());
    if (report.code == 0 && t.failure.code != 0) {
      report.code = t.failure.code;
      report.entry = t.failure.entry;
    }
  }
  std::vector<SoilColumnWorkspace::SlowIteration> lines;
  for (const SoilColumnWorkspace::PerThread& t : work.threads_) lines.insert(lines.end(), t.slow.begin(), t.slow.end());
  if (report.code == 0 && !lines.empty() && !s.solver_log_file.empty()) {
    std::sort(lines.begin(), lines.end(), [](const auto& a, const auto& b) {
      return a.row != b.row ? a.row < b.row : a.col < b.col;
    });
    std::FILE* f = std::fopen(s.solver_log_file.c_str(), "a");
    if (f == nullptr) {
      report.code = kModelLogOpenError;
      report.entry = "FATAL: error opening log-file " + s.solver_log_file;
      return report;
    }
    for (const auto& l : lines) {
      std::fputs(solver_log_line(s.day, s.month, s.hour, l.row, l.col, l.iterations, l.error).c_str(), f);
    }
    std::fclose(f);
  }
  return report;
}

void raise_column_failure(DiagnosticsLog& log, const SoilColumnLoopReport& report) {
  if (report.code == 0) return;
  if (!report.entry.empty()) log << report.entry << "[end-entry]";
  RaiseError(report.code);
}

}  // namespace tolvo
