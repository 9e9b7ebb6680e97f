#include "subsurface/soil_pre_spin_up.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "framework/error_code.h"
#include "framework/grid_distribution.h"
#include "framework/grid_table.h"
#include "framework/parallel.h"
#include "subsurface/unsatzonmodellklasse.h"

namespace tolvo {

void accumulate_degree_days(const DegreeDayCell& cell, double T_air, bool day_ends, int steps_of_day) {
  cell.daily += T_air;
  cell.annual += T_air;
  if (!day_ends) return;
  const double mean = cell.daily / steps_of_day;
  if (mean >= 0) {
    cell.thawing += mean;
  } else {
    cell.freezing -= mean;
  }
  cell.daily = 0;
}

int reference_depth_layer(std::span<const double> dz, int N) {
  double depth = 0;
  for (int i = 1; i <= N; ++i) {
    depth += dz[static_cast<std::size_t>(i)];
    if (depth >= 1) return i;
  }
  return N;
}

ThawedFrozenConductivity pre_spin_up_conductivity(double theta, double theta_s, double lambda_dry,
                                                  double lambda_water, double lambda_ice) {
  const double g = theta + (1 - theta_s);
  const double air = 0.0262 * (theta_s - theta);
  const double solid = g * std::pow(lambda_dry, (1 - theta_s) / g);
  return {solid * std::pow(lambda_water, theta / g) + air, solid * std::pow(lambda_ice, theta / g) + air};
}

double ttop_temperature(double nt, double lambda_thawed, double TDD, double nf, double lambda_frozen, double FDD,
                        double years) {
  return (nt * lambda_thawed * TDD - nf * lambda_frozen * FDD) / (lambda_frozen * years * 365);
}

void pre_spin_up_profile(double X, double T_annual, double G, int k, std::span<const double> dz,
                         std::span<const double> h, std::span<const ThawedFrozenConductivity> lambda,
                         std::span<double> T) {
  const int N = static_cast<int>(T.size()) - 1;
  const auto at = [](auto s, int i) -> decltype(auto) { return s[static_cast<std::size_t>(i)]; };
  if (X < 0) {
    at(T, k) = X;
    for (int m = k + 1; m <= N; ++m) {
      const double l = at(T, m - 1) > 0 ? at(lambda, m).thawed : at(lambda, m).frozen;
      at(T, m) = at(T, m - 1) + at(dz, m) * G / l;
    }
    for (int m = k - 1; m >= 0; --m) {
      at(T, m) = modelobject::LinearInterpolation(at(h, k), X, at(h, 0), T_annual, at(h, m));
    }
    return;
  }
  at(T, 1) = T_annual;
  for (int m = 2; m <= N; ++m) at(T, m) = at(T, m - 1) + at(dz, m) * G / at(lambda, m).thawed;
}

// --- the soil model's pre-spin-up --------------------------------------------------------

namespace {
constexpr const char* kPreSpinUpNames[] = {"FreezingDegreeDays", "thawingDegreeDays", "DailyTemperature",
                                           "AnnualTemperature"};
}  // namespace

void unsatzonmodellklasse::CreatePreSpinUpGrids() {
  PreSpinUpGrids& p = pre_spin_up_;
  const RowRange own = strip();
  const std::string message = "no more free grids in memory, (max. " + std::to_string(kLastGridIndex + 1) + ")!";
  for (int k = 0; k < 4; ++k) {
    PreSpinUpGrids::Accumulator& a = p.grids[static_cast<std::size_t>(k)];
    if (k == 0) {
      // A freezing-degree-day grid already in the table is taken as it is; the other three
      // are made all the same.
      if (const int found = FindGrid(kPreSpinUpNames[0], true); found > 0) {
        a.index = found;
        a.owned = false;
        a.values = (*grids())[found].values;
        continue;
      }
    }
    a.grid = Grid(own.first, own.last, geometry().ncols, geometry().nrows);
    a.grid.fill(geometry().nodata_value);
    a.values = a.grid.view();
    a.owned = true;
    a.index = grids()->TakeFreeEntries(1, {.taken_by = grid_table::TakenBy::kIdentifier}, log(), message);
    RegisterGrid(a.index, kPreSpinUpNames[k], a.values, {}, 0, kPreSpinUpNames[k], 0, own.first, own.last);
    for (int r = own.first; r <= own.last; ++r) {
      for (int c = 1; c <= geometry().ncols; ++c) {
        if (IsOwnCell(r, c)) a.values(r, c) = 0;
      }
    }
  }
  p.active = true;
}

void unsatzonmodellklasse::accumulatePreSpinUp(const ModelDate& d) {
  const int t_index = FindGrid("temperature", true);
  if (t_index == 0 || !isHeatTransferActive()) {
    log() << "FATAL: heat transfer model not active in unsatzon_model. This is required for pre-SpinUp!"
          << "[end-entry]";
    RaiseError(kPreSpinUpWithoutHeat);
  }
  PreSpinUpGrids& p = pre_spin_up_;
  if (!p.active) CreatePreSpinUpGrids();
  ++p.steps_of_day;
  ++p.steps_total;
  const bool day_ends = d.hour + static_cast<long long>(GetHourShift()) == 24;
  const ConstGridView Ta = (*grids())[t_index].values;
  const int steps = p.steps_of_day;
  for_each_row(strip(), [&](int r) {
    for (int c = 1; c <= geometry().ncols; ++c) {
      if (!IsOwnCell(r, c)) continue;
      accumulate_degree_days({p.grids[0].values(r, c), p.grids[1].values(r, c), p.grids[2].values(r, c),
                              p.grids[3].values(r, c)},
                             Ta(r, c), day_ends, steps);
    }
  });
  if (day_ends) p.steps_of_day = 0;
}

void unsatzonmodellklasse::finishPreSpinUp() {
  PreSpinUpGrids& p = pre_spin_up_;
  if (!p.active) return;
  const double years = static_cast<double>(p.steps_total) * TimeStep / 525600;
  const LanduseTable* landuse = settings().landuse;
  const HeatTransferSettings& heat = settings_.heat;
  const ConstGridView heat_flux = lower_boundary_flux_given_ ? BindIfPresent("HeatFlux_Lower_Boundary_Condition")
                                                             : ConstGridView();
  const StackView T = soil_temperature_.stack.view();
  const ConstStackView theta = theta_.stack.view();
  const ConstStackView h = geodetic_heads_.stack.view();
  const double steps_total = static_cast<double>(p.steps_total);
  std::vector<std::vector<ThawedFrozenConductivity>> per_thread(
      static_cast<std::size_t>(row_thread_count()),
      std::vector<ThawedFrozenConductivity>(static_cast<std::size_t>(n_layers_) + 1));
  for_each_row_by_thread(strip(), [&](int r, int t) {
    const std::span<ThawedFrozenConductivity> lambda(per_thread[static_cast<std::size_t>(t)]);
    for (int c = 1; c <= geometry().ncols; ++c) {
      if (!IsOwnCell(r, c)) continue;
      double& annual = p.grids[3].values(r, c);
      annual /= steps_total;
      const SoilRecord& soil = SoilOf(r, c);
      const int N = std::min(soil.layerCount, n_layers_);
      const std::span<const double> dz(soil.thickness);
      const std::span<const double> th = theta.levels(r, c);
      for (int j = 1; j <= N; ++j) {
        const auto k = static_cast<std::size_t>(j);
        lambda[k] = pre_spin_up_conductivity(th[k], soil.theta_sat[k], soil.DryThermalConduct[k], heat.lam_water,
                                             heat.lam_ice);
      }
      double nf = -99999, nt = -99999;
      const int u = landuse1_.empty() ? 0 : static_cast<int>(landuse1_(r, c));
      if (landuse != nullptr && u >= 1 && u <= landuse->size()) {
        nf = (*landuse)[u].GetNFactorFreezing();
        nt = (*landuse)[u].GetNFactorThawing();
      }
      if (nf < -9999) nf = heat.n_factor_freezing;
      if (nt < -9999) nt = heat.n_factor_thawing;
      const int k = reference_depth_layer(dz, N);
      const ThawedFrozenConductivity& l0 = lambda[static_cast<std::size_t>(ttop_reference_layer(k))];
      const double X = ttop_temperature(nt, l0.thawed, p.grids[1].values(r, c), nf, l0.frozen,
                                        p.grids[0].values(r, c), years);
      const double G = heat_flux.empty() ? kGeothermalHeatFlux : heat_flux(r, c);
      const std::span<double> Tc = T.levels(r, c).subspan(0, static_cast<std::size_t>(N) + 1);
      pre_spin_up_profile(X, annual, G, k, dz, h.levels(r, c), lambda.subspan(0, static_cast<std::size_t>(N) + 1),
                          Tc);
    }
  });
  const OutputFormats& f = output_formats();
  for (const int k : {0, 1, 3}) {
    const ConstGridView values = p.grids[static_cast<std::size_t>(k)].values;
    if (process_count() > 1) {
      const Grid whole = GatherGridCopy(context(), values);
      if (rank() == 0) WriteGridFile(kPreSpinUpNames[k], whole.view(), f.ascii, f.doubles, f.netcdf);
    } else {
      WriteGridFile(kPreSpinUpNames[k], values, f.ascii, f.doubles, f.netcdf);
    }
  }
  WriteStackFile("Soil_Temperature_Stack", T, n_layers_, f.ascii, f.doubles, f.netcdf);
  for (PreSpinUpGrids::Accumulator& a : p.grids) {
    if (a.owned) FreeGridEntry(a.index);
    a = PreSpinUpGrids::Accumulator{};
  }
  p.active = false;
  p.steps_of_day = 0;
  p.steps_total = 0;
  // The profile stands: the step preparation does not set the soil temperatures again.
  soil_temperatures_initialised_ = false;
}

}  // namespace tolvo
