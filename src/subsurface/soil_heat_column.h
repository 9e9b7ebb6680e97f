#pragma once
// Soil temperatures in the column loop: for every computed cell the temperatures of its
// soil layers ("Soil_Temperature_Stack" levels 1..N) are loaded, an initial heat pass over
// the model time step sets the number of heat sub-steps, the heat sub-steps follow every
// water iteration with its fluxes, and at the end of the sub-step the temperatures go back
// to the stack and the thaw depth is found where the profile crosses the freezing
// temperature of its layers.
//
// The surface temperature is the air temperature with the land use's n-factor; the
// layered snow pack does not enter the column here.

#include <span>
#include <vector>

#include "framework/matrix.h"
#include "subsurface/soil_column_step.h"
#include "subsurface/soil_heat_step.h"

namespace tolvo {

class LanduseTable;
class SoilRecord;

// The grids the heat part reads and writes.
struct SoilHeatGrids {
  ConstGridView air;             // "temperature" [°C]
  ConstGridView lower_boundary;  // "T_Lower_Boundary_Condition" [°C]
  ConstGridView heat_flux;       // "HeatFlux_Lower_Boundary_Condition" [W/m²] (or none)
  ConstGridView snow_solid;      // "snowstorage_solid" [mm] (or none)
  ConstGridView landuse1;        // land use of layer 1 (or none)
  StackView temperature;         // "Soil_Temperature_Stack" [°C]
  GridView thaw_depth;           // "ThawDepthTMod" [m below the surface, negative] (or none)
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
};

// Freezing temperature of layer l [°C]: the temperature of the first entry from 1 on of its
// freezing table whose liquid fraction is at most `se` (the table's end when none).
double layer_freezing_temperature(const SoilRecord& soil, int l, double se);

// Thaw depth [m, negative below the surface] of a profile T (layers 1..n) with freezing
// temperatures Tf (1..n), geodetic heights h (0..n: 0 the surface, i the lower boundary
// of layer i) and lower-boundary temperature T_lower; 0 without a crossing.
double thaw_depth(std::span<const double> T, std::span<const double> Tf, std::span<const double> h, int n,
                  double T_lower);

// The heat columns of the loop: one set of work arrays per thread, made once.
class SoilHeatColumns {
 public:
  explicit SoilHeatColumns(int max_layers);
  // Before a loop: the settings, grids and tables of the sub-step.
  void prepare(const SoilHeatKernels& kernels, const SoilHeatRunSettings& settings, const SoilHeatGrids& grids,
               std::span<const SoilRecord> soils, const LanduseTable* landuse);
  // Loads cell (r, c) of soil type `type` into the calling thread's column; its hook for
  // the column's sub-step (none for a row without temperatures).
  ColumnHeatHook* begin_cell(int r, int c, int type, int thread);
  // Stores the calling thread's column back into the stack and the thaw depth.
  void end_cell(int r, int c, const ColumnArrays& a, int thread);

 private:
  class Column : public ColumnHeatHook {
   public:
    explicit Column(int max_layers);
    double initial_heat_steps(const ColumnArrays& a) override;
    void heat_sub_steps(int h, double dtH, const ColumnArrays& a, std::span<const double> macropore_inflow) override;
    HeatColumnArrays arrays(const ColumnArrays& a, std::span<const double> macropore_inflow);
    const SoilHeatColumns* owner = nullptr;
    HeatColumnCell cell;
    int type = 0;
    std::span<const ConductivityHorizon> horizons;
    std::vector<double> T, Tn, dT, F, fL, dfL, lambda, Cv, s, b, u, r, x, zero;
  };
  const SoilHeatKernels* kernels_ = nullptr;
  SoilHeatRunSettings settings_;
  SoilHeatGrids grids_;
  std::span<const SoilRecord> soils_;
  const LanduseTable* landuse_ = nullptr;
  std::vector<std::vector<ConductivityHorizon>> horizons_;  // per soil type
  std::vector<std::vector<double>> freezing_T_;             // per soil type and layer [°C]
  int max_layers_;
  std::vector<Column> columns_;
};

}  // namespace tolvo
