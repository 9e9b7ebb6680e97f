// The real fluxes of the evapotranspiration model: the evaporation of the snow cover
// drawn from the snow store before the snow step, the opening of the real fluxes' step,
// and at the end of the step the total real evapotranspiration of each cell
//   real_transpiration0 = snow_evaporation + interception_evaporation0 + real_evaporation
//                         + sum of real_transpiration<k>
// with the statistics and outputs of the real fluxes. The real transpiration and soil
// evaporation are written by the soil model during its sub-steps, the interception
// evaporation by the interception model.

#include <omp.h>

#include <algorithm>
#include <iomanip>

#include "framework/grid_table.h"
#include "framework/model_settings.h"
#include "setup/spin_up.h"
#include "surface/snow_evaporation.h"
#include "surface/verdunstungsmodellklasse.h"

namespace tolvo {
namespace {

// Snow methods whose energy balance computes the sublimation itself.
bool EnergyBalanceSnowMethod(int method) { return method == 5 || method == 6 || method == 7 || method == 11; }

}  // namespace

bool verdunstungsmodellklasse::LogLineDue(long long hour) const {
  const int interval = GetLogInterval();
  return interval == 1 || (interval > 1 && (static_cast<long long>(GetHourShift()) + hour) % interval == 0);
}

bool verdunstungsmodellklasse::ResponseUnitFollower(int r, int c) const {
  return !hru_masters_.empty() && hru_masters_(r, c) == geometry().nodata_value;
}

double verdunstungsmodellklasse::GlacierShare(int r, int c) const {
  return glacier_.empty() ? 0.0 : std::clamp(glacier_(r, c), 0.0, 1.0);
}

void verdunstungsmodellklasse::SnowEvaporation(const ModelDate& d) {
  if (ModuleSwitch == 0 || snow_storage_.empty()) return;
  current_date() = d;
  if (LogLineDue(d.hour)) {
    log() << std::setw(20) << "snow_evaporation" << " " << d.day << "." << d.month << "." << d.year << " " << d.hour
          << ". h " << "(time of meteo data)" << "[end-entry]";
  }
  if (!glacier_snow_checked_) {
    glacier_snow_checked_ = true;
    if (FindGrid("SnowEvaporation_onGlacier", false) > 0 && FindGrid("TotalSnowStorage_onGlacier", false) > 0) {
      evaporation_on_glacier_ = (*grids())[RequireGrid("SnowEvaporation_onGlacier")].values;
      solid_on_glacier_ = (*grids())[RequireGrid("SolidSnowStorage_onGlacier")].values;
    }
  }
  snow_evaporation_.statistic->BeginStep();
  const GridGeometry& g = geometry();
  const RowRange rows = strip();
  const bool energy = EnergyBalanceSnowMethod(snow_method_);
  const bool glacier_snow = !evaporation_on_glacier_.empty();
  GridView snow = snow_evaporation_.values.view();
  GridView pot_evaporation = potential_evaporation_.values.view();
  for (int r = rows.first; r <= rows.last; ++r) {
    for (int c = 1; c <= g.ncols; ++c) {
      if (!OwnCell(r, c) || ResponseUnitFollower(r, c)) continue;
      const double S0 = snow_storage_(r, c);
      if (energy) {
        if (S0 > 0) {
          for (int k = 1; k <= n_layers_; ++k) {
            Layer& layer = layers_[static_cast<std::size_t>(k)];
            if (layer.landuse(r, c) != g.nodata_value) layer.pot_transpiration.values(r, c) = 0;
          }
          pot_evaporation(r, c) = 0;
        }
        continue;
      }
      snow(r, c) = 0;
      if (glacier_snow) evaporation_on_glacier_(r, c) = 0;
      const double share = GlacierShare(r, c);
      if (share < 1 && S0 > 0) {
        double S = S0;
        double E = 0;
        for (int k = 1; k <= n_layers_; ++k) {
          Layer& layer = layers_[static_cast<std::size_t>(k)];
          if (layer.landuse(r, c) != g.nodata_value) E += DrawFromSnow(S, layer.pot_transpiration.values(r, c));
        }
        E += DrawFromSnow(S, pot_evaporation(r, c));
        snow(r, c) = E;
        snow_storage_(r, c) = S;
      }
      if (share > 0 && glacier_snow) {
        // The snow on the glacier meets what is left of the demands, which it does not lower.
        double Sg = solid_on_glacier_(r, c);
        double Eg = 0;
        for (int k = 1; k <= n_layers_; ++k) {
          Layer& layer = layers_[static_cast<std::size_t>(k)];
          if (layer.landuse(r, c) == g.nodata_value) continue;
          double demand = layer.pot_transpiration.values(r, c);
          Eg += DrawFromSnow(Sg, demand);
        }
        double demand = pot_evaporation(r, c);
        Eg += DrawFromSnow(Sg, demand);
        evaporation_on_glacier_(r, c) += Eg;
        solid_on_glacier_(r, c) = Sg;
      }
    }
  }
  const std::vector<HruRecord>* units = settings().hrus;
  const ConstGridView zone = (*grids()).zone_grid().values;
  const ZoneTableView& zones = settings().zones;
  for (int r = rows.first; r <= rows.last; ++r) {
    for (int c = 1; c <= g.ncols; ++c) {
      if (!OwnCell(r, c)) continue;
      if (ResponseUnitFollower(r, c) && units != nullptr) {
        const double unit = hru_units_(r, c);
        if (unit >= 1 && unit < static_cast<double>(units->size())) {
          const HruRecord& master = (*units)[static_cast<std::size_t>(unit)];
          if (rows.contains(master.master_row)) {
            const auto copy = [&](GridView grid) {
              if (!grid.empty()) grid(r, c) = grid(master.master_row, master.master_col);
            };
            for (Layer& layer : layers_) {
              copy(layer.pot_transpiration.values.view());
              copy(layer.interception.values.view());
            }
            copy(pot_evaporation);
            copy(snow);
            copy(evaporation_on_glacier_);
            copy(snow_storage_);
            copy(solid_on_glacier_);
          }
        }
      }
      const int index = zones.code_index[static_cast<std::size_t>(zone(r, c))];
      snow_evaporation_.statistic->AddValue(r, c, index, snow(r, c), 1);
    }
  }
  snow_evaporation_.statistic->EndStep(d.year, d.month, d.day, d.hour, 1);
  WriteGridOutputs(snow_evaporation_.index, true, false);
}

void verdunstungsmodellklasse::BeginRealEvapotranspiration(const ModelDate& d) {
  if (ModuleSwitch == 0) return;
  current_date() = d;
  if (!omp_in_parallel() && LogLineDue(d.hour)) {
    log() << std::setw(20) << "real evapotranspir." << " " << d.day << "." << d.month << "." << d.year << " "
          << d.hour << ". h " << "(time of meteo data)" << "[end-entry]";
  }
  if (interception_evaporation_.empty()) {
    if (const int i = FindGrid("interception_evaporation0", false); i > 0) {
      interception_evaporation_ = (*grids())[i].values;
    }
  }
  for (Layer& layer : layers_) layer.real_transpiration.statistic->BeginStep();
  real_evaporation_.statistic->BeginStep();
}

void verdunstungsmodellklasse::EndOfStepTotals(const ModelDate& d) {
  if (ModuleSwitch == 0) return;
  const GridGeometry& g = geometry();
  const RowRange rows = strip();
  const ConstGridView zone = (*grids()).zone_grid().values;
  const ZoneTableView& zones = settings().zones;
  const bool glacier_snow = !evaporation_on_glacier_.empty();
  GridView total = layers_[0].real_transpiration.values.view();
  for (int r = rows.first; r <= rows.last; ++r) {
    for (int c = 1; c <= g.ncols; ++c) {
      if (!OwnCell(r, c)) continue;
      const int index = zones.code_index[static_cast<std::size_t>(zone(r, c))];
      const double share = GlacierShare(r, c);
      const double w = 1 - share;
      double transpiration = 0;
      for (int k = 1; k <= n_layers_; ++k) {
        Layer& layer = layers_[static_cast<std::size_t>(k)];
        const double value = layer.landuse(r, c) != g.nodata_value ? layer.real_transpiration.values(r, c) : 0.0;
        layer.real_transpiration.statistic->AddValue(r, c, index, value, w);
        layer.real_transpiration.statistic->AddValue(r, c, index, 0, share);
        transpiration += layer.real_transpiration.values(r, c);
      }
      const double snow = snow_evaporation_.values(r, c);
      if (!interception_evaporation_.empty()) {
        total(r, c) = snow + interception_evaporation_(r, c) + real_evaporation_.values(r, c) + transpiration;
      } else {
        total(r, c) += snow;
      }
      const double glacier_part = glacier_snow ? evaporation_on_glacier_(r, c) : snow;
      layers_[0].real_transpiration.statistic->AddValue(r, c, index, share * glacier_part + w * total(r, c), 1);
      real_evaporation_.statistic->AddValue(r, c, index, real_evaporation_.values(r, c), w);
      real_evaporation_.statistic->AddValue(r, c, index, 0, share);
    }
  }
  for (Layer& layer : layers_) step_ends_.Add(layer.real_transpiration.statistic.get(), 1);
  step_ends_.Add(real_evaporation_.statistic.get(), 1);
  step_ends_.EndSteps(d.year, d.month, d.day, d.hour);
  for (Layer& layer : layers_) WriteGridOutputs(layer.real_transpiration.index, true, false);
  WriteGridOutputs(real_evaporation_.index, true, false);
}

}  // namespace tolvo
