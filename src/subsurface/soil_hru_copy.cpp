// Hydrologic response units in the soil model: every own cell that is not the master of
// its unit takes the state and the sub-step's outputs of its unit's master cell, so that
// the column solver needs to compute only the master cells.

#include "framework/error_code.h"
#include "framework/grid_table.h"
#include "framework/parallel.h"
#include "setup/spin_up.h"
#include "subsurface/unsatzonmodellklasse.h"

namespace tolvo {

void unsatzonmodellklasse::BindHruCopy() {
  hru_grids_.clear();
  hru_stacks_.clear();
  if (!loop_settings_.hru_run || settings().hrus == nullptr) return;
  hru_units_ = Bind("HydrologicResponseUnits");
  grid_table& table = *grids();
  const auto grid = [&](const std::string& id) {
    const int index = FindGrid(id, true);
    if (index > 0 && !table[index].values.empty()) hru_grids_.push_back(table[index].values);
  };
  const auto stack = [&](const std::string& id) {
    const int index = FindGrid(id, true);
    if (index > 0 && !table[index].stack.empty()) hru_stacks_.push_back(table[index].stack);
  };
  for (const char* id : {"ponding_storage", "drainage_level", "irrigation_amounts", "PermafrostThawDepth",
                         "Max_Pumping", "ThawDepthTMod", "frozenSoilInGroundwater", "ETR2ETP"}) {
    grid(id);
  }
  if (input_index_ > 0) hru_grids_.push_back(table[input_index_].values);
  if (!column_grids_.real_evaporation.empty()) hru_grids_.push_back(column_grids_.real_evaporation);
  grid(silting_up_from_storage_ ? "SurfStorSiltingUp" : "DirectRunoffSiltingUp");
  for (const GridView& v : column_grids_.real_transpiration) {
    if (!v.empty()) hru_grids_.push_back(v);
  }
  for (const char* id : {"groundwater_distance", "groundwater_level", "baseflow", "drainage_flow"}) grid(id);
  if (groundwater_coupling != 0) {
    grid("river_exfiltration");
    grid("river_infiltration");
  }
  for (const char* id : {"directflow", "interflow", "macropore_infiltration", "groundwater_recharge", "Percolation",
                         "Capillar_Uprise", "infiltration_excess", "total_infiltration", "Theta_in_GWLEVEL",
                         "SB_1_grid", "SB_2_grid", "ROOTgrid", "number_of_substeps"}) {
    grid(id);
  }
  for (const char* id : {"Soil_Temperature_Stack", "theta", "geodetic_heads", "hydraulic_heads", "q_down"}) stack(id);

  // Every unit number must name an entry of the unit table before any cell is copied.
  const std::vector<HruRecord>& units = *settings().hrus;
  const double nodata = geometry().nodata_value;
  for (int r = strip().first; r <= strip().last; ++r) {
    for (int c = 1; c <= geometry().ncols; ++c) {
      if (!IsOwnCell(r, c) || column_grids_.hru_master(r, c) != nodata) continue;
      const double unit = hru_units_(r, c);
      const bool valid = unit != nodata && unit >= 0 && unit < static_cast<double>(units.size());
      if (!valid) {
        log() << "FATAL: the hydrologic response unit " << unit << " of cell row " << r << ", col " << c
              << " is not in the table of hydrologic response units" << "[end-entry]";
        RaiseError(kHruClassTooLarge);
      }
    }
  }
}

void unsatzonmodellklasse::copyHruMasterValues() {
  if (hru_grids_.empty() && hru_stacks_.empty()) return;
  const std::vector<HruRecord>& units = *settings().hrus;
  const double nodata = geometry().nodata_value;
  const ConstGridView masters = column_grids_.hru_master;
  for_each_row(strip(), [&](int r) {
    for (int c = 1; c <= geometry().ncols; ++c) {
      if (!IsOwnCell(r, c) || masters(r, c) != nodata) continue;
      const HruRecord& unit = units[static_cast<std::size_t>(hru_units_(r, c))];
      const int mr = unit.master_row;
      const int mc = unit.master_col;
      // A master on another process's rows is not held here; the cell keeps its values.
      for (const GridView& g : hru_grids_) {
        if (g.rows().contains(mr)) g(r, c) = g(mr, mc);
      }
      for (const StackView& s : hru_stacks_) {
        if (!s.rows().contains(mr)) continue;
        for (int l = 0; l <= s.level_count(); ++l) s(r, c, l) = s(mr, mc, l);
      }
    }
  });
}

}  // namespace tolvo
