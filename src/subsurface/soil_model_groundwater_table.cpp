// The soil model's operations on whole columns between its steps: the groundwater table an
// external model imposes ("GWTableExtern" → "Balance") and the pumpable groundwater
// ("Max_Pumping") irrigation may draw.

#include <algorithm>
#include <vector>

#include "framework/grid_table.h"
#include "subsurface/soil_external_groundwater.h"
#include "subsurface/unsatzonmodellklasse.h"

namespace tolvo {

void unsatzonmodellklasse::applyExternalGroundwaterTable(int /*external_time_step_min*/) {
  if (ModuleSwitch == 0) return;
  external_table_ = true;
  const double nodata = geometry().nodata_value;
  const GridView table = gw_table_extern_.view();
  const GridView balance = balance_.view();
  const GridView baseflow = baseflow_.view();
  const GridView distance = groundwater_distance_.view();
  const GridView level = groundwater_level_.view();
  const StackView heads = geodetic_heads_.stack_view();
  const StackView theta = theta_.stack_view();
  std::vector<double> fc(static_cast<std::size_t>(n_layers_) + 1, 0.0);
  for (int r = strip().first; r <= strip().last; ++r) {
    for (int c = 1; c <= geometry().ncols; ++c) {
      if (zone_(r, c) == nodata) {
        balance(r, c) = nodata;
        baseflow(r, c) = nodata;
        distance(r, c) = nodata;
        continue;
      }
      if (!IsOwnCell(r, c)) continue;
      if (table(r, c) == nodata) {
        balance(r, c) = 0;
        continue;
      }
      const SoilRecord& soil = SoilOf(r, c);
      const int L = std::min(n_layers_, soil.layerCount);
      for (int k = 1; k <= L; ++k) fc[static_cast<std::size_t>(k)] = soil.ThetaForSuction(k, kDrainedSuctionM);
      const std::span<const double> g = heads.levels(r, c);
      const ExternalTableColumn column{.g = g,
                                       .theta = theta.levels(r, c),
                                       .d = soil.thickness,
                                       .theta_s = soil.theta_sat,
                                       .theta_fc = fc,
                                       .L = L};
      const int from = std::clamp(static_cast<int>(level(r, c)), 1, L);
      const ExternalTableMove move = move_to_external_table(column, from, g[0] + distance(r, c), table(r, c));
      table(r, c) = move.table_m;
      balance(r, c) = move.balance_mm;
      level(r, c) = move.level;
      baseflow(r, c) = 0;
      distance(r, c) = move.table_m - g[0];
    }
  }
}

void unsatzonmodellklasse::updateMaxPumping() {
  if (ModuleSwitch == 0 || settings().irrigation == nullptr || max_pumping_.grid.empty()) return;
  const GridView pumping = max_pumping_.view();
  const GridView level = groundwater_level_.view();
  for (int r = strip().first; r <= strip().last; ++r) {
    const ColumnRange range = subbasins_.column_ranges[static_cast<std::size_t>(r)];
    for (int c = range.first; c <= range.last; ++c) {
      pumping(r, c) = IsOwnCell(r, c) ? max_pumping_mm(SoilOf(r, c), static_cast<int>(level(r, c)))
                                      : geometry().nodata_value;
    }
  }
}

}  // namespace tolvo
