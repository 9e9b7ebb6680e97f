#pragma once
// Snow, firn and ice melt of one glacierised cell (glacier methods 1, 2, 11, 12 and 13).
//
// A glacierised cell keeps two snow stores: the ordinary one (the snow of the whole cell
// as the non-glacier cells have it) and, for the dynamic glacier methods, the snow lying
// on the glacierised part of the cell (mm over that part). Snow melts by degree-day
// factors (methods 1 and 11) or by a degree-day factor with a radiation term (methods 2
// and 12; Hock 1999); method 13 melts the glacier store by the snow model's own method.
// Once the glacier is free of snow, firn and ice melt by the part of the step's melt
// energy that the snow did not use. Firn is taken from the firn levels from level 1
// (newest) downwards; what the levels cannot supply melts from the ice beneath.
//
// Static glacier methods 1 and 2 have no glacier store: the ordinary store is the snow on
// the glacier, so firn and ice melt once that store is free of snow, less its melt.
//
// Units: temperature in deg C, storages and melt in mm of water per step, degree-day
// factors in mm/(deg C day), radiation in the radiation grid's unit per step.
//
// The kernels allocate nothing and touch only the cell they are given; the snow step
// loops over rows. Every call closes the balance of each store over its own area:
//   ordinary store:  P = "snowcover_outflow" + change of solid + liquid
//   glacier store:   P = "SnowMelt_onGlacier" + change of its solid + liquid
//   firn levels:     loss = "melt_from_firn" of the call

#include <span>

#include "framework/matrix.h"
#include "surface/layered_snow.h"
#include "surface/snow_cell.h"

namespace tolvo {

struct GlacierCellParameters {
  int method = 1;  // glacier method 1, 2, 11, 12 or 13
  double T0R = 0, transzone = 0, T0 = 0, CWH = 0;
  double DDFice = 0, DDFfirn = 0, DDFsnow = 0, MF = 0;  // mm/(deg C day)
  double debris_scaling = 1;                            // global factor on the ice melt
  double Aice = 0, Asnow = 0;                           // seasonal radiation factors of the step
  double steps_per_day = 24;                            // 1440 / time step
  double nodata = -9999;
};

// Grids of a glacierised cell; the glacier store, the firn grids and the optional inputs
// are empty views where the method does not have them.
struct GlacierCellGrids {
  ConstGridView glacier;    // static methods: "ice_firn" code (1 ice, 2 firn)
  ConstGridView debris;     // "debris_on_glaciers": factor on the ice melt
  ConstGridView radiation;  // "global_radiation" or "Ieff_max"
  GridView snow_fraction, rain_fraction;
  GridView solid, liquid, total;  // ordinary store; total: the previous step's
  GridView outflow, melt_only;    // "snowcover_outflow", "melt_from_snowcover"
  GridView solid_on_glacier, liquid_on_glacier, total_on_glacier, melt_on_glacier;
  GridView firn_melt, ice_melt;  // "melt_from_firn", "melt_from_ice"
  GridView firn_total;           // the grid of "firn_WE_stack"
  StackView firn_stack;          // levels 1..L, level 0 the total
};

struct GlacierCellResult {
  double snow_melt = 0;          // melt of the ordinary store
  double glacier_snow_melt = 0;  // melt of the glacier store (methods 1 and 2: of the ordinary store)
  double firn_melt = 0;          // taken from the firn of the cell
  double ice_melt = 0;           // taken from the ice, with the firn melt the levels could not supply
};

// Methods 1, 2, 11 and 12: the snowfall and rain of the water input P in both stores, the
// snow melt of each store, then firn and ice. T is the cell's air temperature. `layered`
// is null unless the soil model's layered snow is linked.
GlacierCellResult ComputeGlacierCell(const GlacierCellParameters& p, const GlacierCellGrids& g, int r, int c, double T,
                                     double P, const LayeredSnow* layered);

// One call of the snow model's melt method on the glacier store (method 13): the air
// temperature and weight of the call (the night and the day part of a long step).
struct SnowCallPart {
  double T = 0;
  double w = 1;
};

// Energy-balance values of the glacier store handed to the snow model's kernel and back;
// empty views for methods without energy balance.
struct GlacierStoreEnergyGrids {
  GridView snow_temperature, surface_temperature, evaporation, energy_balance;
};

// Method 13, after the snow step has computed the ordinary store as for a cell without
// glacier: the snow model's kernel on the glacier store (it takes the snowfall and rain
// the ordinary call left in the grids), its melt and outflow, then firn and ice.
GlacierCellResult ComputeGlacierCellWithSnowMethod(const GlacierCellParameters& p, const SnowCellParameters& sp,
                                                   const SnowCellGrids& sg, const GlacierCellGrids& g,
                                                   const GlacierStoreEnergyGrids& e, int r, int c,
                                                   std::span<const SnowCallPart> parts, double P);

// Takes up to `amount` mm from the firn levels 1..L of cell (r, c), emptying level 1
// first (nodata levels count as empty), and sets level 0 and the total grid to the sum of
// the levels. Returns what the levels gave.
double TakeFirn(StackView firn, GridView firn_total, int r, int c, double amount, double nodata);

}  // namespace tolvo
