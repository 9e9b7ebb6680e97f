// The snow model's hand-overs: water input, lakes, the soil model's layered snow and
// runoff array, and the copy of master-cell values within hydrologic response units.

#include <algorithm>
#include <cassert>

#include "framework/date.h"
#include "framework/error_code.h"
#include "framework/grid_table.h"
#include "framework/model_settings.h"
#include "framework/parallel.h"
#include "setup/spin_up.h"
#include "surface/schneemodellklasse.h"

namespace tolvo {

void schneemodellklasse::SetWaterInput(bool interception_first) {
  if (ModuleSwitch == 0) return;
  interception_first_ = interception_first;
  if (!water_input_.empty()) return;
  const int index = interception_first ? RequireOneOf3Grids("throughfall0", "precipitation", "ungueltiger_Name")
                                       : RequireGrid("precipitation");
  water_input_ = (*grids())[index].values;
}

void schneemodellklasse::ReadLakeModel(std::string_view section) {
  if (ModuleSwitch == 0) return;
  if (FindGrid("lake_codes", false) == 0) {
    log() << "INFO: no LAKE-grid was found in " << name() << "\n"
          << "Lake modelling is switched off for " << name() << "."
          << "[end-entry]";
    return;
  }
  if (!OpenControlFile(control_file_name())) {
    log() << "FATAL: error opening " << control_file_name() << "[end-entry]";
    RaiseError(kControlFileOpenError);
  }
  FindSection(section, true);
  ReadItem(lake_switch_, "flow control parameter for ");
  if (settings().spin_up != 0 && settings().hrus != nullptr) {
    lake_switch_ = 0;  // response units share their master's values; lakes are not modelled then
  } else if (lake_switch_ != 0) {
    lake_codes_ = Require("lake_codes");
    ponding_ = Find("ponding_storage");
    if (ponding_.empty()) ponding_ = Find("ponding_storage_top");
    if (ponding_.empty()) {
      log() << "FATAL: \n\n=======================================\n"
            << "!!!! ERROR !!!! \n\n"
            << "\nLAKE-grid was found, but no POND-Grid. For using lakes,"
            << "\nboth grids as well as the MAXPOND grid must be present."
            << "\n\n=======================================\n"
            << "[end-entry]";
      RaiseError(kControlFileOpenError);
    }
  }
  CloseControlFile();
}

void schneemodellklasse::LinkLayeredSnow(bool linked, const LayeredSnowProperties& properties,
                                         double fresh_snow_offset_K) {
  layered_linked_ = linked;
  if (!linked || ModuleSwitch == 0) return;
  assert(properties.n >= 1 && properties.thickness.size() > static_cast<std::size_t>(properties.n) &&
         properties.dry_density.size() > static_cast<std::size_t>(properties.n));
  layered_properties_ = properties;
  grid_table& table = *grids();
  layered_.solid = table[RequireGrid("SnowWaterEquivalentSolid")].stack;
  layered_.liquid = table[RequireGrid("SnowWaterEquivalentLiquid")].stack;
  layered_.thickness = table[RequireGrid("SnowLayerThickness")].stack;
  layered_.density = table[RequireGrid("SnowDensity")].stack;
  layered_.upper_index = table[RequireGrid("upperIndexSnow")].values;
  layered_.temperature = heat_transfer_ ? table[RequireGrid("Temperature_Stack_Snow")].stack : StackView();
  layered_.n = layered_properties_.n;
  layered_.max_thickness = layered_properties_.thickness;
  layered_.dry_density = layered_properties_.dry_density;
  layered_.fresh_snow_offset_K = fresh_snow_offset_K;
}

void schneemodellklasse::ChangeLayeredSnowOfCell(int r, int c, bool glacier_part, double w, double amount,
                                                 double T_air) const {
  if (glacier_part || !layered_linked_) return;
  ChangeLayeredSnow(layered_, r, c, w, amount, T_air);
}

double schneemodellklasse::SeasonalMeltFactor(int day, int month) const {
  return settings_.melt_factor.At(day, month, DaysInMonth(current_date().year, month));
}

double schneemodellklasse::SeasonalIceFactor(int day, int month) const {
  return ice_.Aice.At(day, month, DaysInMonth(current_date().year, month));
}

double schneemodellklasse::SeasonalSnowOnGlacierFactor(int day, int month) const {
  return ice_.Asnow.At(day, month, DaysInMonth(current_date().year, month));
}

void schneemodellklasse::SetSubbasinRunoffArray(std::span<std::vector<double>> runoff) {
  if (ModuleSwitch == 0) return;
  subbasin_runoff_ = runoff;
  SetInitialised(1);
}

void schneemodellklasse::CopySnowHruMasterValues() {
  if (ModuleSwitch == 0 || hru_units_.empty() || settings().hrus == nullptr) return;
  std::vector<GridView> copied = {total_,         solid_,         liquid_,  days_snow_, snow_age_,
                                  snow_fraction_, rain_fraction_, outflow_, melt_only_};
  const int albedo = FindGrid("albedo", false);
  if (albedo > 0) copied.insert(copied.begin() + 7, (*grids())[albedo].values);
  if (settings_.traits.energy_balance) copied.insert(copied.end(), {snow_temperature_, surface_temperature_state_});
  if (settings_.traits.slides) copied.insert(copied.end(), {input_mass_, mobile_mass_, deposition_});
  if (has_glaciers()) {
    copied.insert(copied.end(), {firn_melt_, ice_melt_});
    if (ice_.dynamic()) {
      copied.insert(copied.end(), {mass_balance_, old_mass_balance_, solid_on_glacier_, liquid_on_glacier_,
                                   total_on_glacier_, melt_on_glacier_});
      if (settings_.traits.energy_balance) {
        copied.insert(copied.end(), {surface_temperature_on_glacier_, snow_temperature_on_glacier_});
      }
      copied.push_back(evaporation_on_glacier_);
    }
  }
  // The snow pack's tracers and the concentration of its outflow.
  for (const SnowTracer& t : snow_tracers_) copied.insert(copied.end(), {t.storage, t.outflow_concentration});
  const std::vector<HruRecord>& units = *settings().hrus;
  const double nodata = geometry().nodata_value;
  const RowRange rows = strip();
  std::vector<int> bad_row(static_cast<std::size_t>(std::max(rows.count(), 0)), 0);
  const StackView firn = ice_.dynamic() ? firn_stack_.view() : StackView();
  for_each_row(rows, [&](int r) {
    for (int c = 1; c <= geometry().ncols; ++c) {
      if (zone_grid_(r, c) == nodata || hru_masters_(r, c) != nodata) continue;
      if (!regions_.empty() && regions_(r, c) != rank()) continue;
      const double unit = hru_units_(r, c);
      if (unit == nodata) continue;
      const auto u = static_cast<long long>(unit);
      if (u < 1 || u >= static_cast<long long>(units.size())) {
        bad_row[static_cast<std::size_t>(r - rows.first)] = c;
        continue;
      }
      const HruRecord& master = units[static_cast<std::size_t>(u)];
      const int mr = master.master_row;
      const int mc = master.master_col;
      for (const GridView& grid : copied) {
        if (!grid.empty() && grid.rows().contains(mr)) grid(r, c) = grid(mr, mc);
      }
      if (!firn.empty() && firn.rows().contains(mr)) {
        for (int l = 1; l <= firn.level_count(); ++l) firn(r, c, l) = firn(mr, mc, l);
      }
    }
  });
  for (std::size_t i = 0; i < bad_row.size(); ++i) {
    if (bad_row[i] == 0) continue;
    log() << "FATAL: the response unit of cell row " << rows.first + static_cast<int>(i) << ", col " << bad_row[i]
          << " is not in the table of hydrologic response units"
          << "[end-entry]";
    RaiseError(kHruClassTooLarge);
  }
}

}  // namespace tolvo
