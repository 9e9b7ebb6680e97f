// The grids the soil model takes from the grid table: land-use parameters per land-use
// layer, evapotranspiration per layer, the column inputs and the optional inputs of
// ponding, tile drainage, the clay layer, heat transfer, irrigation and silting-up.

#include "framework/error_code.h"
#include "framework/grid_distribution.h"
#include "framework/grid_table.h"
#include "subsurface/unsatzonmodellklasse.h"

namespace tolvo {
namespace {

constexpr std::string_view kNoFlowTimesInfo =
    "INFO: \n------------------------------------------------------------------------\n\nWarning! There was no flow "
    "travel time grid for surface runoff read in\nAll surface runoof will be routed immediately to the outlet of "
    "the sub-basin\n(except the effects of a linear reservoir).\nA flow travel time grid may be created by Brolim, "
    "writing the\nflow travel times for each grid cell to the sub basins outlet in secounds\nwhich are reclassified "
    "into model time steps in Tolvo.\n\n------------------------------------------------------------------------\n";

std::string Layer(std::string_view prefix, int k) { return std::string(prefix) + std::to_string(k); }

}  // namespace

ConstGridView unsatzonmodellklasse::Bind(const std::string& identifier) {
  return (*grids())[RequireGrid(identifier)].values;
}

ConstGridView unsatzonmodellklasse::BindIfPresent(const std::string& identifier) {
  const int index = FindGrid(identifier, true);
  return index > 0 ? ConstGridView((*grids())[index].values) : ConstGridView();
}

void unsatzonmodellklasse::BindInputGrids() {
  grid_table& table = *grids();
  zone_ = table[RequireGrid("zonegrid_soilmodel")].values;
  elevation_ = table[2].values;
  rel_cell_area_ = BindIfPresent("RelCellArea");
  root_depth_.assign(static_cast<std::size_t>(n_landuse_layers_) + 1, ConstGridView());
  for (int k = 1; k <= n_landuse_layers_; ++k) {
    const ConstGridView landuse = Bind(Layer("landuse", k));
    if (k == 1) landuse1_ = landuse;
    root_depth_[static_cast<std::size_t>(k)] = Bind(Layer("root_depth", k));
    for (const char* prefix : {"vegetation_coverage_degree", "leaf_area_index", "SurfaceCanopyResistance",
                               "SurfaceIntercepResistance", "RoughnessLength"}) {
      Bind(Layer(prefix, k));
    }
  }
  for (int k = 0; k <= n_landuse_layers_; ++k) {
    Bind(Layer("pot_transpiration", k));
    Bind(Layer("real_transpiration", k));
  }
  for (const char* id : {"SurfaceEvaporationResistance", "albedo", "potential_evaporation", "real_evaporation"}) {
    Bind(id);
  }
  slope_angle_ = Bind("slope_angle");
  soil_types_ = Bind("soil_types");
  BindIfPresent("gw_storage_coeff_1");
  gw_k_x_ = BindIfPresent("gw_k_x_1");
  gw_k_y_ = BindIfPresent("gw_k_y_1");
  if (settings_.drainage == 1) {
    drainage_depth_ = Bind("drainage_depth");
    drainage_distance_ = Bind("drainage_distance");
  }
  if (settings_.clay == 1) clay_depth_ = Bind("clay_depth");
  BindIfPresent("snowstorage_solid");
  flow_times_ = BindIfPresent("flow_times");
  if (flow_times_.empty()) log() << std::string(kNoFlowTimesInfo) << "[end-entry]";
  if (isHeatTransferActive()) {
    Bind("temperature");
    BindIfPresent("T_Lower_Boundary_Condition");
    lower_boundary_flux_given_ = !BindIfPresent("HeatFlux_Lower_Boundary_Condition").empty();
    if (!gw_k_x_.empty() && !gw_k_y_.empty()) {
      BindIfPresent("gw_1_colmation_frozen");
      BindIfPresent("gw_1_colmation_unfrozen");
      Bind("gw_kolmation_1");
    }
  }
  if (settings().irrigation != nullptr) irrigation_codes_ = Bind("irrigation_codes");
  if (!BindIfPresent("DirectRunoffSiltingUp").empty()) {
    silting_up_from_storage_ = false;
  } else if (!BindIfPresent("SurfStorSiltingUp").empty()) {
    silting_up_from_storage_ = true;
  }
}

void unsatzonmodellklasse::PreparePondingCapacity() {
  if (settings_.pond != 1) return;
  max_ponding_ = (*grids())[RequireGrid("max_ponding_storage")].values;
  // The capacity is given in m and used in mm; process 0 holds the grid whole and
  // converts it before the owners receive their cells.
  if (rank() == 0) {
    const double nodata = geometry().nodata_value;
    for (int r = 1; r <= geometry().nrows; ++r) {
      if (!max_ponding_.rows().contains(r) || !zone_.rows().contains(r)) continue;
      const ColumnRange range = subbasins_.column_ranges[static_cast<std::size_t>(r)];
      for (int c = range.first; c <= range.last; ++c) {
        if (zone_(r, c) != nodata) max_ponding_(r, c) *= 1000;
      }
    }
  }
  ScatterGrid(context(), max_ponding_);
}

}  // namespace tolvo
