#include "subsurface/soil_heat_column.h"

#include <algorithm>
#include <cmath>

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

SoilHeatColumns::Column::Column(int max_layers) {
  const auto n = static_cast<std::size_t>(max_layers) + 1;
  for (std::vector<double>* v : {&T, &Tn, &dT, &F, &fL, &dfL, &lambda, &Cv, &s, &b, &u, &r, &x, &zero}) {
    v->assign(n, 0.0);
  }
}

SoilHeatColumns::SoilHeatColumns(int max_layers) : max_layers_(max_layers) {
  columns_.reserve(static_cast<std::size_t>(row_thread_count()));
  for (int t = 0; t < row_thread_count(); ++t) columns_.emplace_back(max_layers);
}

void SoilHeatColumns::prepare(const SoilHeatKernels& kernels, const SoilHeatRunSettings& settings,
                              const SoilHeatGrids& grids, std::span<const SoilRecord> soils,
                              const LanduseTable* landuse) {
  kernels_ = &kernels;
  settings_ = settings;
  grids_ = grids;
  landuse_ = landuse;
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
      for (int l = 0; l <= s.layerCount; ++l) {
        const auto k = static_cast<std::size_t>(l);
        horizons_[j].push_back(make_conductivity_horizon(s.theta_sat[k], s.DryThermalConduct[k],
                                                         settings.step.lam_water));
      }
    }
  }
  while (static_cast<int>(columns_.size()) < row_thread_count()) columns_.emplace_back(max_layers_);
  for (Column& c : columns_) c.owner = this;
}

ColumnHeatHook* SoilHeatColumns::begin_cell(int r, int c, int type, int thread) {
  // A river cell computed in the spare row has no temperatures here.
  if (!grids_.temperature.rows().contains(r)) return nullptr;
  Column& col = columns_[static_cast<std::size_t>(thread)];
  const SoilRecord& soil = soils_[static_cast<std::size_t>(type)];
  const int N = soil.layerCount;
  const std::span<const double> levels = grids_.temperature.levels(r, c);
  for (int j = 0; j <= N; ++j) col.T[static_cast<std::size_t>(j)] = levels[static_cast<std::size_t>(j)];
  col.cell = HeatColumnCell{};
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
  col.cell.T_lower = grids_.lower_boundary.empty() ? 0 : grids_.lower_boundary(r, c);
  col.cell.flux_boundary = !grids_.heat_flux.empty();
  col.cell.H = col.cell.flux_boundary ? grids_.heat_flux(r, c) : 0;
  const bool snow = !grids_.snow_solid.empty() && grids_.snow_solid(r, c) > 0;
  col.cell.Tm = macropore_water_temperature(col.cell.T_air, snow);
  return &col;
}

HeatColumnArrays SoilHeatColumns::Column::arrays(const ColumnArrays& a, std::span<const double> macropore_inflow) {
  return {.T = {T, 0},
          .Tn = {Tn, 0},
          .dT = {dT, 0},
          .F = {F, 0},
          .fL = {fL, 0},
          .dfL = {dfL, 0},
          .lambda = {lambda, 0},
          .Cv = {Cv, 0},
          .s = {s, 0},
          .b = {b, 0},
          .u = {u, 0},
          .r = {r, 0},
          .x = {x, 0},
          .theta = {a.theta, 0},
          .theta_r = {a.theta_r, 0},
          .dz = {a.d, 0},
          .q = {a.q, 0},
          .mI = {macropore_inflow.empty() ? std::span<const double>(zero) : macropore_inflow, 0},
          .horizons = horizons};
}

double SoilHeatColumns::Column::initial_heat_steps(const ColumnArrays& a) {
  const SoilHeatRunSettings& st = owner->settings_;
  const HeatColumnArrays c = arrays(a, {});
  const int N = cell.N;
  std::copy(T.begin(), T.end(), Tn.begin());
  cell.soil->LiquidFractions(0, fL, dfL, T, a.theta);
  const SoilHeatKernels& k = *owner->kernels_;
  k.thermalConductivity(0, 1, N, c.lambda, c.horizons, 0, c.fL, c.theta, st.step.lam_water, st.step.lam_ice);
  k.latentHeatTerm(0, N, c.theta, c.theta_r, c.dfL, st.step.latent_heat, st.step.rho_water);
  cell.soil->HeatCapacities(0, T, Cv, fL, dfL, a.theta, st.step.rho_water, st.step.c_water, st.step.c_ice0,
                            st.step.c_ice20);
  k.heatFluxes(0, N, c.F, c.lambda, c.dz, c.Tn, cell.T_lower, cell.T_air, cell.nf, cell.Ts);
  k.temperatureChange(0, N, c.dT, c.F, c.dz, c.Cv, static_cast<int>(st.model_dt_s));
  return heat_sub_step_count(cell.T_air, T[1], dT[1], st.model_dt_s, st.shortest_s, st.longest_s);
}

void SoilHeatColumns::Column::heat_sub_steps(int h, double dtH, const ColumnArrays& a,
                                             std::span<const double> macropore_inflow) {
  const HeatColumnArrays c = arrays(a, macropore_inflow);
  for (int k = 0; k < h; ++k) column_heat_sub_step(*owner->kernels_, owner->settings_.step, cell, c, dtH);
}

void SoilHeatColumns::end_cell(int r, int c, const ColumnArrays& a, int thread) {
  Column& col = columns_[static_cast<std::size_t>(thread)];
  const int N = col.cell.N;
  const std::span<double> levels = grids_.temperature.levels(r, c);
  for (int j = 1; j <= N; ++j) levels[static_cast<std::size_t>(j)] = col.T[static_cast<std::size_t>(j)];
  if (grids_.thaw_depth.empty()) return;
  grids_.thaw_depth(r, c) = thaw_depth(col.T, freezing_T_[static_cast<std::size_t>(col.type)], a.z, N,
                                       col.cell.T_lower);
}

}  // namespace tolvo

// --- the soil model's heat part ---------------------------------------------------------

namespace tolvo {

void unsatzonmodellklasse::PrepareHeatColumns(const ModelDate& d) {
  if (!heat_columns_) heat_columns_ = std::make_unique<SoilHeatColumns>(n_layers_);
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
  WidenHeatGridsToSpareRow(g);  // linked river cells computed in the spare row carry heat too
  heat_columns_->prepare(*this, rs, g, *settings().soils, settings().landuse);
  loop_settings_.heat = heat_columns_.get();
}

}  // namespace tolvo
