#pragma once
// Soil temperatures in the column loop: for every computed cell the temperatures of its
// soil layers ("Soil_Temperature_Stack" levels 1..N) are loaded, an initial heat pass over
// the model time step sets the number of heat sub-steps, the heat sub-steps follow every
// water iteration with its fluxes, and at the end of the sub-step the temperatures go back
// to the stack and the thaw depth is found where the profile crosses the freezing
// temperature of its layers.
//
// With the layered snow pack the column carries its S snow layers above the soil: snow
// layer i (1 = top) at position i − S, the heat of the pack conducted with the soil's. The
// pack's layers are loaded from their stacks and kept consistent by layered_snow_step
// before and after every water iteration; in between their water flows with the soil's
// through the Richards iteration (the water column's snow positions). They are written
// back with the pack's totals at the end of the sub-step. The surface temperature is the air
// temperature with the land use's n-factor.

#include <span>
#include <vector>

#include "framework/matrix.h"
#include "subsurface/soil_column_step.h"
#include "subsurface/soil_heat_step.h"
#include "subsurface/soil_layered_snow.h"

namespace tolvo {

class LanduseTable;
class SoilRecord;

// The stacks and grids of the layered snow pack (levels 0..S; level i is snow layer i).
struct LayeredSnowGrids {
  StackView solid, liquid, density, thickness;  // [mm], [mm], relative, [m]
  StackView theta, heads, heights, q_down, temperature;
  GridView upper_index;  // highest layer holding snow; S + 1 without snow
  ConstGridView rain;    // "rain_fraction" [mm] (or none)
  // The snow model's totals of the cell (each optional): solid, liquid, total [mm] and
  // the melt of the step [mm].
  GridView storage_solid, storage_liquid, storage_total, melt;
  // The snow model's energy balance [W/m²] and surface temperature [K] (or none): with
  // them the snow-covered surface takes its temperature from the pack's energy balance.
  GridView energy_balance;
  ConstGridView surftemp;
};

// The grids the heat part reads and writes.
struct SoilHeatGrids {
  ConstGridView air;             // "temperature" [°C]
  ConstGridView lower_boundary;  // "T_Lower_Boundary_Condition" [°C]
  ConstGridView heat_flux;       // "HeatFlux_Lower_Boundary_Condition" [W/m²] (or none)
  ConstGridView snow_solid;      // "snowstorage_solid" [mm] (or none)
  ConstGridView landuse1;        // land use of layer 1 (or none)
  StackView temperature;         // "Soil_Temperature_Stack" [°C]
  GridView thaw_depth;           // "ThawDepthTMod" [m below the surface, negative] (or none)
  LayeredSnowGrids snow;         // the layered snow pack (none without it)
  // With the groundwater model (each or none): the frozen soil below the water table [m],
  // the water-table layer, and the leakage of aquifer layer 1 that follows the frozen or
  // thawed lowest soil layer.
  GridView frozen_in_groundwater;
  ConstGridView groundwater_level, colmation_frozen, colmation_unfrozen;
  GridView colmation;
};

struct SoilHeatRunSettings {
  HeatStepParameters step;
  double factor = 1.22;           // suction per kelvin below 0 °C
  double shortest_s = 60;
  double longest_s = 1800;
  double se_for_stat = 0.5;       // liquid fraction that marks frozen ground
  double nf_freezing = 1;
  double nf_thawing = 1;
  double model_dt_s = 3600;       // model time step [s]
  int day = 1, month = 1, year = 2000;
  // The layered snow pack: snow type 1 of "[LayeredSnowProperties]" (none without a pack)
  // and the constants of its step.
  const SoilRecord* snow_type = nullptr;
  LayeredSnowParameters snow;
};

// Freezing temperature of layer l [°C]: the temperature of the first entry from 1 on of its
// freezing table whose liquid fraction is at most `se` (the table's end when none).
double layer_freezing_temperature(const SoilRecord& soil, int l, double se);

// Thickness [m] of the frozen layers (T ≤ Tf) below the thaw depth (m, negative) from the
// water-table layer G down; T, Tf and h as for thaw_depth.
double frozen_below_water_table(std::span<const double> T, std::span<const double> Tf, std::span<const double> h,
                                int n, double thaw, double G);

// Thaw depth [m, negative below the surface] of a profile T (layers 1..n) with freezing
// temperatures Tf (1..n), geodetic heights h (0..n: 0 the surface, i the lower boundary
// of layer i) and lower-boundary temperature T_lower; 0 without a crossing.
double thaw_depth(std::span<const double> T, std::span<const double> Tf, std::span<const double> h, int n,
                  double T_lower);

// The heat columns of the loop: one set of work arrays per thread, made once.
class SoilHeatColumns {
 public:
  // Columns of up to max_layers soil layers below n_snow snow layers.
  explicit SoilHeatColumns(int max_layers, int n_snow = 0);
  // Before a loop: the settings, grids and tables of the sub-step.
  void prepare(const SoilHeatKernels& kernels, const SoilHeatRunSettings& settings, const SoilHeatGrids& grids,
               std::span<const SoilRecord> soils, const LanduseTable* landuse);
  // Loads cell (r, c) of soil type `type` into the calling thread's column; its hook for
  // the column's sub-step (none for a row without temperatures).
  ColumnHeatHook* begin_cell(int r, int c, int type, int thread);
  // Stores the calling thread's column back into the stack and the thaw depth, and the
  // snow pack into its stacks and the snow model's totals.
  void end_cell(int r, int c, const ColumnArrays& a, int thread);
  bool layered_snow() const { return n_snow_ > 0 && settings_.snow_type != nullptr; }
  // The water the layered snow pack gives the soil of cell (r, c) [mm]: the liquid water
  // the snow model released from the pack ("SnowWaterEquivalentLiquid" level 0), which
  // leaves level 0 with the sub-step that takes it, and the rain of the model step.
  struct SnowWater {
    double released = 0, rain = 0;
  };
  SnowWater snow_water_input(int r, int c) const;

 private:
  class Column : public ColumnHeatHook, public HeatDumpSource {
   public:
    Column(int max_layers, int n_snow);
    double initial_heat_steps(const ColumnArrays& a) override;
    void heat_sub_steps(int h, double dtH, const ColumnArrays& a, std::span<const double> macropore_inflow) override;
    double snow_release() override;
    bool snow_cover() const override { return cell.a < 0; }
    void load_snow_water(ColumnParameters& p, const ColumnArrays& a, bool initial) override;
    ConstColumnArray liquid_fraction() const override;
    HeatDumpSource* dump_source() override { return this; }
    HeatDumpColumn heat_dump() override;
    int row = 0, col = 0;
    int h_last = 1;
    double nf_bare = 1;  // the n-factor without snow
    // Ts and nf of a heat sub-step: under snow from the snow model's energy balance, else
    // the air temperature with the land use's n-factor.
    void surface_boundary();
    double dtH_last = 0;
    // The soil positions of the column's water arrays copied behind the snow positions.
    HeatColumnArrays arrays(const ColumnArrays& a, std::span<const double> macropore_inflow);
    PositionArray at(std::vector<double>& v) { return {v, -cell.n_snow}; }
    void load_snow(int row, int col);
    // Position above the highest of the unbroken run of snow layers holding solid snow
    // from the soil up (0 without snow).
    int snow_top() const;
    const SoilHeatColumns* owner = nullptr;
    HeatColumnCell cell;
    int type = 0;
    std::span<const ConductivityHorizon> horizons;
    std::vector<double> T, Tn, dT, F, fL, dfL, lambda, Cv, s, b, u, r, x;
    std::vector<double> theta, theta_s, theta_r, dz, q, mI;
    LayeredSnowLayers pack;  // the cell's levels of the solid, liquid and density stacks
  };
  void end_snow(int r, int c, Column& col, const ColumnArrays& a) const;
  const SoilRecord* snow_type() const { return settings_.snow_type; }
  LayeredSnowType snow_type_values_;
  const SoilHeatKernels* kernels_ = nullptr;
  SoilHeatRunSettings settings_;
  SoilHeatGrids grids_;
  std::span<const SoilRecord> soils_;
  const LanduseTable* landuse_ = nullptr;
  std::vector<std::vector<ConductivityHorizon>> horizons_;  // per soil type
  std::vector<std::vector<double>> freezing_T_;             // per soil type and layer [°C]
  int max_layers_;
  int n_snow_ = 0;
  std::vector<Column> columns_;
};

}  // namespace tolvo
