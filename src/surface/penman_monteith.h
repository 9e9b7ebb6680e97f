#pragma once
// Potential evapotranspiration of a layered canopy after Penman-Monteith (Monteith 1965)
// for one cell, one vegetation layer and one part of the step (day or night).
//
// Layers are taken from the top (layer 1) down. The top layer receives the available
// energy H of the part; each layer absorbs Q = VCF·R·(1 − exp(−ke·LAI)) of what reaches
// it (Beer's law) and passes the rest on; the bottom layer passes it to the soil. The
// aerodynamic resistance of the top layer follows from the roughness length and the wind
// speed; a lower layer adds leaf_scale·(leaf area above). Open water (a lake cell holding
// ponded water) is a bare surface without resistance that takes the energy of the layer
// and of the ground below it.
//
// Units: temperatures in degrees Celsius, pressures in hPa, resistances in s/m, wind in
// m/s, roughness length in m, radiation in Wh/m² per step, energies and results in mm of
// water for the part of the step; the step length in minutes.

namespace tolvo {

// The air and radiation of the cell during the part.
struct PenmanMonteithWeather {
  double t_c = 0;               // air temperature of the part
  double p_hpa = 1013;          // air pressure
  double e_hpa = 0;             // vapour pressure of the air
  double wind_ms = 0;           // wind speed
  double relative_sunshine = 0; // 0..1
  double net_shortwave = 0;     // Rns of the step, Wh/m² (global-radiation mode)
  double net_radiation = 0;     // Rn of the step, Wh/m² (net-radiation mode)
  bool net_radiation_mode = false;
  double diffuse_fraction = 0.2;  // a0 of the radiation coefficients
};

// The vegetation layer at the cell.
struct CanopyLayer {
  double lai = 0;           // leaf area index
  double vcf = 0;           // vegetation cover fraction, 0..1
  double rsc_sm = 0;        // surface (canopy) resistance
  double z0_m = 0.1;        // roughness length
  double ri_sm = 0;         // resistance of intercepted water
  double rse_sm = 0;        // soil surface evaporation resistance
  double extinction = 0.3;  // ke
  double leaf_scale = 10;   // s/m per unit of leaf area above
  bool bottom = true;       // the lowest layer present: it yields the soil evaporation
  bool open_water = false;  // a lake cell holding water (bottom layer only)
};

struct StepPart {
  bool day = true;
  double fraction = 1;  // share of the step the part covers, 0..1
  double step_min = 60;
};

// Carried from layer to layer of one cell; zeroed before layer 1.
struct CanopyAccumulators {
  double ra = 0;               // aerodynamic resistance of the top layer, s/m
  double night_energy = 0;     // energy left by the layer above at night, mm
  double day_energy = 0;       // by day, mm
  double leaf_area_above = 0;  // sum of the leaf area indices of the layers above
};

struct PenmanMonteithResult {
  double transpiration = 0;
  double interception = 0;
  double soil = 0;
};

// Latent heat of vaporisation as Wh/m² per mm of water.
inline double LatentHeatWhPerMm(double t_c) { return 694.67 - 0.6589 * t_c; }

// Aerodynamic resistance of a surface with roughness length z0_m at wind speed wind_ms,
// s/m: 4.72·ln²(20/z0)/(1 + 0.54·u); 25/(1 + 0.54·u) above a roughness of 2 m.
double AerodynamicResistance(double z0_m, double wind_ms);

// Surface resistance of the layer, s/m: by day (and on open water) rsc/(1 − 0.6^(LAI·VCF)),
// at night 1/(4e-4·LAI·VCF); a layer without leaves or without cover 2500 (when it has a
// canopy resistance at all), one with leaves but no canopy resistance 0.
double SurfaceResistance(const CanopyLayer& layer, bool day);

// Layer `layer` (1 = top) of the cell for one part of the step.
PenmanMonteithResult PenmanMonteithCell(int layer, const CanopyLayer& canopy, const PenmanMonteithWeather& weather,
                                        const StepPart& part, CanopyAccumulators& acc);

}  // namespace tolvo
