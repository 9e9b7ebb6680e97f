// The soil model's side of the exchange with rivers: with the groundwater model, the river
// grids it reads, the two grids of the water exchanged per sub-step and the river records
// per sub-basin; bound into the column loop with the other grids.

#include "framework/grid_table.h"
#include "subsurface/unsatzonmodellklasse.h"

namespace tolvo {

void unsatzonmodellklasse::SetUpRiverExchange(StatisticsRegistry& registry) {
  if (groundwater_coupling == 0) return;
  riverflow_table_.assign(static_cast<std::size_t>(subbasins_.zone_count) + 1, RiverflowRecord{});
  if (settings_.surface_water_interaction != 0) {
    river_depth_ = Bind("river_depth");
    river_width_ = Bind("river_width");
    river_links_ = Bind("river_links");
    kolmation_ = Bind("kolmation");
  }
  if (!tables_[static_cast<std::size_t>(Table::GwIn)].table) {
    CreateStatisticsTable(Table::GwIn, settings_.statistic(SoilStatistic::GwIn),
                          "re-infiltration from rivers [mm per Zone]", 7, registry);
    CreateStatisticsTable(Table::GwEx, settings_.statistic(SoilStatistic::GwEx),
                          "base flow (exfiltration into rivers, only with gw-module active) [mm per Zone]", 7, registry);
  }
  const RowRange own = strip();
  if (river_infiltration_.index == 0) {
    RegisterNew(river_infiltration_, own, "river_infiltration", settings_.output(SoilOutput::GwIn));
    RegisterNew(river_exfiltration_, own, "river_exfiltration", settings_.output(SoilOutput::GwEx));
  }
  for (OwnedGrid* g : {&river_infiltration_, &river_exfiltration_}) {
    for (int r = own.first; r <= own.last; ++r) {
      for (int c = 1; c <= geometry().ncols; ++c) {
        if (IsOwnCell(r, c)) g->grid(r, c) = 0;
      }
    }
  }
}

void unsatzonmodellklasse::BindRiverGrids() {
  SoilColumnGrids& g = column_grids_;
  g.river_links = river_links_;
  g.river_depth = river_depth_;
  g.river_width = river_width_;
  g.kolmation = kolmation_;
  if (!river_infiltration_.grid.empty()) {
    g.river_infiltration = river_infiltration_.view();
    g.river_exfiltration = river_exfiltration_.view();
  }
  loop_settings_.surface_water_interaction = settings_.surface_water_interaction;
  loop_settings_.rivers = riverflow_table_;
}

}  // namespace tolvo
