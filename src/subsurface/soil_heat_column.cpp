#include "subsurface/soil_heat_column.h"

#include <algorithm>
#include <cmath>

#include "framework/grid_table.h"
#include "framework/parallel.h"
#include "tables/landuse_table.h"
#include "tables/soil_table.h"
#include "subsurface/unsatzonmodellklasse.h"

namespace tolvo {

double layer_freezing_temperature(const SoilRecord& soil, int l, double se) {
  const std::span<const double> table = soil.liquidFractionTable[l];
  const int c = soil.freezingSteps;
  int j = c;
  for (int k = 1; k <= c && k < static_cast<int>(table.size()); ++k) {
    if (table[static_cast<std::size_t>(k)] <= se) {
      j = k;
      break;
    }
  }
  return soil.freezingTmin * j / c;
}

double thaw_depth(std::span<const double> T, std::span<const double> Tf, std::span<const double> h, int n,
                  double T_lower) {
  const auto at = [](std::span<const double> v, int i) { return v[static_cast<std::size_t>(i)]; };
  double depth = 0;
  for (int i = 1; i < n; ++i) {
    if (at(T, i + 1) <= at(Tf, i) && at(Tf, i) < at(T, i)) {
      const double z_i = (at(h, i - 1) + at(h, i)) / 2;
      const double z_next = (at(h, i) + at(h, i + 1)) / 2;
      const double slope = (at(T, i + 1) - at(T, i)) / (z_next - z_i);
      depth = (at(Tf, i) - (at(T, i) - z_i * slope)) / slope - at(h, 0);
    }
  }
  if (at(Tf, n) < at(T, n) && T_lower <= at(Tf, n)) depth = at(h, n) - at(h, 0);
  return depth;
}

namespace {
constexpr double kAbsent = -9999;
bool absent(double v) { return v <= kAbsent; }
}  // namespace

double frozen_below_water_table(std::span<const double> T, std::span<const double> Tf, std::span<const double> h,
                                int n, double thaw, double G) {
  const auto at = [](std::span<const double> v, int i) { return v[static_cast<std::size_t>(i)]; };
  double frozen = 0;
  for (int i = 1; i <= n; ++i) {
    if (-thaw < at(h, 0) - at(h, i - 1) && at(T, i) <= at(Tf, i) && G <= i) frozen += at(h, i - 1) - at(h, i);
  }
  return frozen;
}

SoilHeatColumns::Column::Column(int max_layers, int n_snow) {
  const auto n = static_cast<std::size_t>(max_layers + n_snow) + 1;
  for (std::vector<double>* v : {&T, &Tn, &dT, &F, &fL, &dfL, &lambda, &Cv, &s, &b, &u, &r, &x, &theta, &theta_s,
                                 &theta_r, &dz, &q, &mI}) {
    v->assign(n, 0.0);
  }
}

SoilHeatColumns::SoilHeatColumns(int max_layers, int n_snow) : max_layers_(max_layers), n_snow_(n_snow) {
  columns_.reserve(static_cast<std::size_t>(row_thread_count()));
  for (int t = 0; t < row_thread_count(); ++t) columns_.emplace_back(max_layers, n_snow);
}

void SoilHeatColumns::prepare(const SoilHeatKernels& kernels, const SoilHeatRunSettings& settings,
                              const SoilHeatGrids& grids, std::span<const SoilRecord> soils,
                              const LanduseTable* landuse) {
  kernels_ = &kernels;
  settings_ = settings;
  grids_ = grids;
  landuse_ = landuse;
  const int S = layered_snow() ? n_snow_ : 0;
  if (const SoilRecord* snow = settings.snow_type; S > 0) {
    snow_type_values_ = {.thickness_ref = snow->thickness, .dry_density = snow->DryDensity, .par_m = snow->Par_m,
                         .par_n = snow->Par_n, .alpha = snow->alpha, .freezing = snow};
  }
  if (soils_.data() != soils.data() || horizons_.size() != soils.size()) {
    soils_ = soils;
    horizons_.assign(soils.size(), {});
    freezing_T_.assign(soils.size(), {});
    for (std::size_t j = 1; j < soils.size(); ++j) {
      const SoilRecord& s = soils[j];
      freezing_T_[j].assign(static_cast<std::size_t>(s.layerCount) + 1, 0.0);
      for (int l = 1; l <= s.layerCount; ++l) {
        freezing_T_[j][static_cast<std::size_t>(l)] = layer_freezing_temperature(s, l, settings.se_for_stat);
      }
      freezing_T_[j][0] = s.layerCount >= 1 ? freezing_T_[j][1] : 0.0;
      // Positions −S..0 take the snow type's horizons 0..S, the soil positions the soil's.
      for (int l = 0; l <= S && S > 0; ++l) {
        const auto k = static_cast<std::size_t>(l);
        const SoilRecord& snow = *settings.snow_type;
        horizons_[j].push_back(make_conductivity_horizon(snow.theta_sat[k], snow.DryThermalConduct[k],
                                                         settings.step.lam_water));
      }
      for (int l = S > 0 ? 1 : 0; l <= s.layerCount; ++l) {
        const auto k = static_cast<std::size_t>(l);
        horizons_[j].push_back(make_conductivity_horizon(s.theta_sat[k], s.DryThermalConduct[k],
                                                         settings.step.lam_water));
      }
    }
  }
  while (static_cast<int>(columns_.size()) < row_thread_count()) columns_.emplace_back(max_layers_, n_snow_);
  for (Column& c : columns_) c.owner = this;
}

ColumnHeatHook* SoilHeatColumns::begin_cell(int r, int c, int type, int thread) {
  // A river cell computed in the spare row has no temperatures here.
  if (!grids_.temperature.rows().contains(r)) return nullptr;
  Column& col = columns_[static_cast<std::size_t>(thread)];
  const SoilRecord& soil = soils_[static_cast<std::size_t>(type)];
  const int N = soil.layerCount;
  col.cell = HeatColumnCell{};
  col.cell.n_snow = layered_snow() ? n_snow_ : 0;
  col.row = r;
  col.col = c;
  const PositionArray T = col.at(col.T);
  const std::span<const double> levels = grids_.temperature.levels(r, c);
  for (int j = col.cell.n_snow > 0 ? 1 : 0; j <= N; ++j) T[j] = levels[static_cast<std::size_t>(j)];
  col.type = type;
  col.horizons = horizons_[static_cast<std::size_t>(type)];
  col.cell.soil = &soil;
  col.cell.N = N;
  col.cell.T_air = grids_.air(r, c);
  double table_nf = -99999, freezing = -99999, thawing = -99999;
  const int u = grids_.landuse1.empty() ? 0 : static_cast<int>(grids_.landuse1(r, c));
  if (landuse_ != nullptr && u >= 1 && u <= landuse_->size()) {
    const LanduseRecord& rec = (*landuse_)[u];
    const LanduseValue v = rec.NFactorAt(settings_.day, settings_.month, settings_.year);
    if (v.ok()) table_nf = v.value;
    freezing = rec.GetNFactorFreezing();
    thawing = rec.GetNFactorThawing();
  }
  col.cell.nf = n_factor(table_nf, col.cell.T_air, freezing, thawing, settings_.nf_freezing, settings_.nf_thawing);
  col.cell.Ts = col.cell.T_air;
  col.nf_bare = col.cell.nf;
  col.cell.T_lower = grids_.lower_boundary.empty() ? 0 : grids_.lower_boundary(r, c);
  col.cell.flux_boundary = !grids_.heat_flux.empty();
  col.cell.H = col.cell.flux_boundary ? grids_.heat_flux(r, c) : 0;
  const bool snow = !grids_.snow_solid.empty() && grids_.snow_solid(r, c) > 0;
  col.cell.Tm = macropore_water_temperature(col.cell.T_air, snow);
  if (col.cell.n_snow > 0) col.load_snow(r, c);
  return &col;
}

void SoilHeatColumns::Column::load_snow(int row, int col) {
  const LayeredSnowGrids& g = owner->grids_.snow;
  const SoilRecord& snow = *owner->snow_type();
  const int S = cell.n_snow;
  cell.snow = &snow;
  pack = {g.solid.levels(row, col), g.liquid.levels(row, col), g.density.levels(row, col)};
  const std::span<double> thickness = g.thickness.levels(row, col);
  const std::span<const double> theta_levels = g.theta.levels(row, col);
  const std::span<const double> T_levels =
      g.temperature.empty() ? std::span<const double>() : g.temperature.levels(row, col);
  const PositionArray Tp = at(T), th = at(theta), ths = at(theta_s), thr = at(theta_r), d = at(dz);
  for (int j = 0; j <= S; ++j) {
    const auto k = static_cast<std::size_t>(j);
    const int p = j - S;
    ths[p] = snow.theta_sat[k];
    thr[p] = snow.theta_res[k];
    d[p] = snow.thickness[k];
    th[p] = theta_levels[k];
    Tp[p] = T_levels.empty() ? 0 : T_levels[k];
  }
  bool holding = true;
  for (int j = S; j >= 1; --j) {
    const auto k = static_cast<std::size_t>(j);
    const int p = j - S;
    holding = holding && pack.solid[k] > 0;
    if (!holding) {
      // Liquid water left in a level without snow is released to the soil with the rest.
      if (pack.liquid[k] > 0) pack.liquid[0] = std::max(pack.liquid[0], 0.0) + pack.liquid[k];
      pack.liquid[k] = 0;
      pack.density[k] = thickness[k] = d[p] = th[p] = Tp[p] = kAbsent;
      continue;
    }
    const double liquid = absent(pack.liquid[k]) ? 0.0 : pack.liquid[k];
    pack.liquid[k] = liquid;
    if (absent(pack.density[k])) pack.density[k] = snow.DryDensity[k] / 1000;
    if (absent(thickness[k])) thickness[k] = (pack.solid[k] + liquid) / pack.density[k] / 1000;
    d[p] = thickness[k];
    th[p] = (liquid + pack.solid[k]) / (thickness[k] * 1000);
    if (absent(Tp[p])) Tp[p] = Tp[p + 1] <= 0 ? Tp[p + 1] : 0.0;
  }
  cell.a = snow_top();
}

int SoilHeatColumns::Column::snow_top() const {
  int top = 0;
  for (int j = cell.n_snow; j >= 1 && pack.solid[static_cast<std::size_t>(j)] > 0; --j) top = j - cell.n_snow - 1;
  return top;
}

void SoilHeatColumns::Column::load_snow_water(ColumnParameters& p, const ColumnArrays& a, bool initial) {
  const int S = cell.n_snow;
  if (S == 0) return;
  const LayeredSnowGrids& g = owner->grids_.snow;
  const SoilRecord& snow = *cell.snow;
  const PositionArray th = at(theta), ths = at(theta_s), thr = at(theta_r), d = at(dz);
  for (int j = -S; j <= 0; ++j) {
    a.theta[j] = th[j];
    a.theta_s[j] = ths[j];
    a.theta_r[j] = thr[j];
    a.d[j] = d[j];
    if (initial) a.H[j] = g.heads(row, col, j + S);
  }
  // Heights of the layer bottoms from the soil surface up; an absent layer counts with its
  // reference thickness.
  for (int j = 0; j > -S; --j) a.z[j - 1] = a.z[j] + (d[j] > 0 ? d[j] : snow.thickness[static_cast<std::size_t>(j + S)]);
  p.first = cell.a + 1;
}

ConstColumnArray SoilHeatColumns::Column::liquid_fraction() const {
  if (cell.n_snow == 0) return {};
  return {std::span<const double>(fL).first(static_cast<std::size_t>(cell.n_snow + cell.N) + 1), -cell.n_snow};
}

SoilHeatColumns::SnowWater SoilHeatColumns::snow_water_input(int r, int c) const {
  const LayeredSnowGrids& g = grids_.snow;
  const double released = g.liquid(r, c, 0);
  const double rain = g.rain.empty() ? 0.0 : g.rain(r, c);
  return {.released = std::max(released, 0.0), .rain = std::max(rain, 0.0)};
}

double SoilHeatColumns::Column::snow_release() {
  const int S = cell.n_snow;
  if (S == 0) return 0;
  const SoilHeatRunSettings& st = owner->settings_;
  cell.snow->LiquidFractions(0, fL, dfL, T, theta);
  const double released = layered_snow_step(S, st.snow, owner->snow_type_values_, pack,
                                            {at(theta), at(theta_s), at(dz), at(fL), at(T)});
  pack.solid[0] = pack.liquid[0] = 0;
  cell.a = snow_top();
  return released;
}

HeatColumnArrays SoilHeatColumns::Column::arrays(const ColumnArrays& a, std::span<const double> macropore_inflow) {
  const int S = cell.n_snow;
  const PositionArray th = at(theta), thr = at(theta_r), d = at(dz), qq = at(q), m = at(mI);
  // The snow positions' water comes from the water column too, where the Richards iteration
  // moved it.
  for (int j = -S; j <= cell.N; ++j) {
    th[j] = a.theta[j];
    thr[j] = a.theta_r[j];
    d[j] = a.d[j];
  }
  for (int j = -S; j <= cell.N; ++j) {
    qq[j] = a.q[j];
    m[j] = j >= 0 && !macropore_inflow.empty() ? macropore_inflow[static_cast<std::size_t>(j)] : 0.0;
  }
  return {.T = at(T),
          .Tn = at(Tn),
          .dT = at(dT),
          .F = at(F),
          .fL = at(fL),
          .dfL = at(dfL),
          .lambda = at(lambda),
          .Cv = at(Cv),
          .s = at(s),
          .b = at(b),
          .u = at(u),
          .r = at(r),
          .x = at(x),
          .theta = at(theta),
          .theta_r = at(theta_r),
          .dz = at(dz),
          .q = at(q),
          .mI = at(mI),
          .horizons = horizons};
}

double SoilHeatColumns::Column::initial_heat_steps(const ColumnArrays& a) {
  const SoilHeatRunSettings& st = owner->settings_;
  const HeatColumnArrays c = arrays(a, {});
  const int N = cell.N;
  const int S = cell.n_snow;
  const int top = cell.a;
  std::copy(T.begin(), T.end(), Tn.begin());
  cell.soil->LiquidFractions(S, fL, dfL, T, theta);
  if (S > 0) cell.snow->LiquidFractions(0, fL, dfL, T, theta);
  const SoilHeatKernels& k = *owner->kernels_;
  k.thermalConductivity(top, 1 - S, N, c.lambda, c.horizons, -S, c.fL, c.theta, st.step.lam_water, st.step.lam_ice);
  k.latentHeatTerm(top, N, c.theta, c.theta_r, c.dfL, st.step.latent_heat, st.step.rho_water);
  cell.soil->HeatCapacities(S, T, Cv, fL, dfL, theta, st.step.rho_water, st.step.c_water, st.step.c_ice0,
                            st.step.c_ice20);
  if (S > 0) {
    cell.snow->HeatCapacities(0, T, Cv, fL, dfL, theta, st.step.rho_water, st.step.c_water, st.step.c_ice0,
                              st.step.c_ice20);
  }
  k.heatFluxes(top, N, c.F, c.lambda, c.dz, c.Tn, cell.T_lower, cell.T_air, cell.nf, cell.Ts);
  k.temperatureChange(top, N, c.dT, c.F, c.dz, c.Cv, static_cast<int>(st.model_dt_s));
  return heat_sub_step_count(cell.T_air, c.T[top + 1], c.dT[top + 1], st.model_dt_s, st.shortest_s, st.longest_s);
}

HeatDumpColumn SoilHeatColumns::Column::heat_dump() {
  const std::size_t m = static_cast<std::size_t>(cell.n_snow + cell.N) + 1;
  HeatDumpColumn d{.ns = cell.n_snow, .N = cell.N, .a = cell.a, .T = std::span<double>(T).first(m),
                   .fL = std::span<const double>(fL).first(m), .lambda = std::span<const double>(lambda).first(m),
                   .dfL = std::span<const double>(dfL).first(m), .Cv = std::span<const double>(Cv).first(m),
                   .F = std::span<const double>(F).first(m), .Tn = std::span<const double>(Tn).first(m),
                   .theta = std::span<const double>(theta).first(m),
                   .theta_s = std::span<const double>(theta_s).first(m), .dz = std::span<const double>(dz).first(m),
                   .dtH = dtH_last, .h = h_last, .T_air = cell.T_air, .Ts = cell.Ts, .nf = cell.nf,
                   .T_lower = cell.T_lower, .solid = {}, .liquid = {}, .density = {}};
  if (cell.n_snow > 0) {
    const auto levels = static_cast<std::size_t>(cell.n_snow) + 1;
    d.solid = pack.solid.first(levels);
    d.liquid = pack.liquid.first(levels);
    d.density = pack.density.first(levels);
    const LayeredSnowGrids& g = owner->grids_.snow;
    const auto value = [&](ConstGridView v) { return v.empty() ? 0.0 : v(row, col); };
    d.upper_index = value(g.upper_index);
    d.storage_solid = value(g.storage_solid);
    d.storage_liquid = value(g.storage_liquid);
    d.storage_total = value(g.storage_total);
  }
  return d;
}

void SoilHeatColumns::Column::heat_sub_steps(int h, double dtH, const ColumnArrays& a,
                                             std::span<const double> macropore_inflow) {
  h_last = h;
  dtH_last = dtH;
  const HeatColumnArrays c = arrays(a, macropore_inflow);
  for (int k = 0; k < h; ++k) {
    surface_boundary();
    column_heat_sub_step(*owner->kernels_, owner->settings_.step, cell, c, dtH);
  }
}

void SoilHeatColumns::Column::surface_boundary() {
  const LayeredSnowGrids& g = owner->grids_.snow;
  if (g.energy_balance.empty() || cell.a >= 0) {
    cell.Ts = cell.T_air;
    cell.nf = nf_bare;
    return;
  }
  // The conductivities are those of the last heat sub-step (or of the initial heat pass).
  const SoilHeatRunSettings& st = owner->settings_;
  const SnowSurfaceInput in{.T_air = cell.T_air, .nf = nf_bare, .eb = g.energy_balance(row, col),
                            .surftemp_K = g.surftemp.empty() ? -9999.0 : g.surftemp(row, col),
                            .n_factor_freezing = st.nf_freezing, .n_factor_thawing = st.nf_thawing,
                            .c_ice0 = st.step.c_ice0, .c_water = st.step.c_water,
                            .time_step_min = st.model_dt_s / 60, .fa = cell.a + 1, .top = cell.a, .dz = at(dz),
                            .theta = at(theta), .fL = at(fL), .T = at(T), .lambda = at(lambda)};
  const SurfaceBoundary b = surface_temperature_under_snow(in);
  cell.Ts = b.Ts;
  cell.nf = b.nf;
  g.energy_balance(row, col) = b.eb;
}

void SoilHeatColumns::end_cell(int r, int c, const ColumnArrays& a, int thread) {
  Column& col = columns_[static_cast<std::size_t>(thread)];
  const int N = col.cell.N;
  const int S = col.cell.n_snow;
  const PositionArray T = col.at(col.T);
  const std::span<double> levels = grids_.temperature.levels(r, c);
  for (int j = 1; j <= N; ++j) levels[static_cast<std::size_t>(j)] = T[j];
  if (S > 0) end_snow(r, c, col, a);
  // The thaw depth reads the soil profile, positions 0..N.
  const std::span<const double> soil_T(col.T.data() + S, static_cast<std::size_t>(N) + 1);
  const std::span<const double> Tf = freezing_T_[static_cast<std::size_t>(col.type)];
  const double thaw = thaw_depth(soil_T, Tf, a.z, N, col.cell.T_lower);
  if (!grids_.thaw_depth.empty()) grids_.thaw_depth(r, c) = thaw;
  if (!grids_.frozen_in_groundwater.empty() && !grids_.groundwater_level.empty()) {
    grids_.frozen_in_groundwater(r, c) = frozen_below_water_table(soil_T, Tf, a.z, N, thaw, grids_.groundwater_level(r, c));
  }
  // The leakage of aquifer layer 1 follows the lowest soil layer, frozen or thawed.
  const ConstGridView leakage = T[N] <= Tf[static_cast<std::size_t>(N)] ? grids_.colmation_frozen
                                                                           : grids_.colmation_unfrozen;
  if (!grids_.colmation.empty() && !leakage.empty()) grids_.colmation(r, c) = leakage(r, c);
}

void SoilHeatColumns::end_snow(int r, int c, Column& col, const ColumnArrays& a) const {
  const LayeredSnowGrids& g = grids_.snow;
  const int S = col.cell.n_snow;
  const PositionArray T = col.at(col.T), th = col.at(col.theta), d = col.at(col.dz);
  for (int j = 1; j <= S; ++j) {
    const int p = j - S;
    g.theta(r, c, j) = th[p];
    g.thickness(r, c, j) = d[p];
    g.heads(r, c, j) = a.H[p];
    g.heights(r, c, j) = a.z[p];
    g.q_down(r, c, j) = a.q[p];
    if (j == 1) g.heights(r, c, 0) = a.z[p - 1];  // the top of the pack
    if (!g.temperature.empty()) g.temperature(r, c, j) = T[p];
  }
  // Level 0 holds the pack's solid water; the liquid the snow model released there has
  // entered the soil with this sub-step, so none is left to release.
  double solid = 0, liquid = 0;
  int upper = S + 1;
  for (int j = S; j >= 1; --j) {
    const auto k = static_cast<std::size_t>(j);
    solid += col.pack.solid[k];
    liquid += col.pack.liquid[k];
    if (col.pack.solid[k] > 0) upper = j;
  }
  col.pack.solid[0] = solid;
  col.pack.liquid[0] = 0;
  g.upper_index(r, c) = upper;
  if (!g.melt.empty() && !g.storage_total.empty()) {
    g.melt(r, c) = std::max(g.storage_total(r, c) - solid - liquid, 0.0);
  }
  if (!g.storage_solid.empty()) g.storage_solid(r, c) = solid;
  if (!g.storage_liquid.empty()) g.storage_liquid(r, c) = liquid;
  if (!g.storage_total.empty()) g.storage_total(r, c) = solid + liquid;
}

}  // namespace tolvo

// --- the soil model's heat part ---------------------------------------------------------

namespace tolvo {

void unsatzonmodellklasse::PrepareHeatColumns(const ModelDate& d) {
  const bool snow = isLayeredSnowActive() && n_snow_ > 0 && snow_table_.size() > 1;
  if (!heat_columns_) heat_columns_ = std::make_unique<SoilHeatColumns>(n_layers_, snow ? n_snow_ : 0);
  const HeatTransferSettings& h = settings_.heat;
  SoilHeatRunSettings rs;
  rs.step = {.method = heat_method_of(h.method), .lam_water = h.lam_water, .lam_ice = h.lam_ice,
             .latent_heat = h.latent_heat, .rho_water = h.rho_water, .c_water = h.c_water, .c_ice0 = h.c_ice0,
             .c_ice20 = h.c_ice20};
  rs.factor = h.factor;
  rs.shortest_s = h.shortest_step;
  rs.longest_s = h.longest_step;
  rs.se_for_stat = h.se_for_stat;
  rs.nf_freezing = h.n_factor_freezing;
  rs.nf_thawing = h.n_factor_thawing;
  rs.model_dt_s = TimeStep * 60;
  rs.day = static_cast<int>(d.day);
  rs.month = static_cast<int>(d.month);
  rs.year = static_cast<int>(d.year);
  SoilHeatGrids g;
  g.air = Bind("temperature");
  g.lower_boundary = BindIfPresent("T_Lower_Boundary_Condition");
  if (lower_boundary_flux_given_) g.heat_flux = BindIfPresent("HeatFlux_Lower_Boundary_Condition");
  g.snow_solid = BindIfPresent("snowstorage_solid");
  g.landuse1 = landuse1_;
  g.temperature = soil_temperature_.stack.view();
  if (!thaw_depth_.grid.empty()) g.thaw_depth = thaw_depth_.grid.view();
  if (!frozen_in_groundwater_.grid.empty()) {
    g.frozen_in_groundwater = frozen_in_groundwater_.grid.view();
    g.groundwater_level = groundwater_level_.grid.view();
    g.colmation_frozen = BindIfPresent("gw_1_colmation_frozen");
    g.colmation_unfrozen = BindIfPresent("gw_1_colmation_unfrozen");
    const int index = FindGrid("gw_kolmation_1", true);
    if (index > 0) g.colmation = (*grids())[index].values;
  }
  if (snow) {
    rs.snow_type = &snow_table_[1];
    rs.snow = {.holding_capacity = layered_snow_.holding_capacity, .factor = h.factor, .c_ice0 = h.c_ice0,
               .c_water = h.c_water};
    const auto writable = [&](const char* identifier) {
      const int index = FindGrid(identifier, true);
      return index > 0 ? (*grids())[index].values : GridView();
    };
    g.snow = {.solid = solid_snow_.stack.view(), .liquid = liquid_snow_.stack.view(),
              .density = density_snow_.stack.view(), .thickness = thickness_snow_.stack.view(),
              .theta = theta_snow_.stack.view(), .heads = hydraulic_snow_.stack.view(),
              .heights = geodetic_snow_.stack.view(), .q_down = q_down_snow_.stack.view(),
              .temperature = temperature_snow_.stack.view(), .upper_index = upper_index_snow_.grid.view(),
              .rain = BindIfPresent("rain_fraction"), .storage_solid = writable("snowstorage_solid"),
              .storage_liquid = writable("snowstorage_liquid"), .storage_total = writable("snow_storage_total"),
              .melt = writable("melt_from_snowcover"), .energy_balance = writable("EnergyBalance"),
              .surftemp = BindIfPresent("surftemp")};
  }
  if (snow) {
    loop_settings_.snow_type = &snow_table_[1];
    loop_settings_.n_snow = n_snow_;
    loop_settings_.snow_ice_effectiveness = layered_snow_.se_effectiveness;
    loop_settings_.soil_ice_effectiveness = layered_snow_.se_effectiveness_soil;
    loop_settings_.snow_drainage_density = layered_snow_.drainage_density_snow;
  }
  WidenHeatGridsToSpareRow(g);  // linked river cells computed in the spare row carry heat too
  heat_columns_->prepare(*this, rs, g, *settings().soils, settings().landuse);
  loop_settings_.heat = heat_columns_.get();
}

}  // namespace tolvo
