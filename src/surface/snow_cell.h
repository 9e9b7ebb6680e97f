#pragma once
// Snow accumulation and melt of one grid cell and one snow store for one (part of a)
// step: the split of the water input into snowfall and rain, the accumulation in the
// solid and liquid storage, and the potential melt by degree-day factors (Hock 2003),
// the wind-dependent degree-day factor, the rain-on-snow formula with seasonal melt
// factor and refreezing, or the surface energy balance of the snow pack with sublimation,
// condensation, wet-bulb melt criterion (psychrometer equation, WMO-No. 8) and surface
// temperature iteration.
//
// Units: temperatures of the air in degrees Celsius, of the snow in K; storages, snowfall,
// rain, melt and vapour exchange in mm of water per (part of a) step; radiation sums in
// Wh/m2 per step; energy balance in W/m2; step length in minutes.
//
// The kernel allocates nothing and touches only the cell it is given: the caller loops
// over rows. It returns the potential melt; turning it into melt water and outflow is the
// step driver's work. Every call closes the store's water balance:
//   (solid + liquid after) - (solid + liquid before) = w * (snowfall + rain) - evaporation
// where evaporation is the store's reported vapour loss of the call (negative for
// condensation).

#include <span>

#include "framework/matrix.h"
#include "surface/layered_snow.h"

namespace tolvo {

inline constexpr double kSnowNodata = -9999;
inline constexpr double kMeltingPointK = 273.16;

// How a method melts snow; a method number outside 1..14 melts nothing.
enum class MeltMethod { kNone, kDegreeDay, kWindDegreeDay, kRainOnSnow, kRainOnSnowMeasuredVapour, kEnergyBalance };

// What a snow method number (first value of "[snow_model]") selects.
struct SnowMethodTraits {
  MeltMethod melt = MeltMethod::kNone;
  bool deposition = false;      // snowfall corrected by "deposition_index"
  bool slides = false;          // snow slides after the soil step
  bool energy_balance = false;  // snow temperatures and the energy-balance grids
  bool needs_wind = false;
  bool needs_vapour_pressure = false;
  bool reads_additional_block = false;  // the block after the storage read code
};
SnowMethodTraits TraitsOfSnowMethod(int method);

// Parameters of one call, fixed for a step.
struct SnowCellParameters {
  MeltMethod melt = MeltMethod::kNone;
  bool deposition = false;
  double T0R = 0;         // rain/snow threshold, deg C
  double transzone = 0;   // half width of the rain/snow transition, K
  double T0 = 0;          // melt threshold, deg C
  double CRFR = 0;        // refreezing coefficient
  double C0 = 0;          // degree-day factor, mm/(deg C day)
  double C1 = 0, C2 = 0;  // wind-dependent factor C1 + C2 u, mm/(deg C day)
  double LWINcorr = 1, LWOUTcorr = 1, EnBalScaling = 1;
  double RMF = 0;              // seasonal melt factor of the step
  double dt_min = 60;          // step length
  bool heat_transfer = false;  // the soil model computes the temperature of the layered pack
};

// Grids read or written at the cell; optional ones are empty views.
struct SnowCellGrids {
  GridView water_input;               // mm; grows by the extra snowfall of the deposition index
  GridView snow_fraction;             // snowfall of the step, mm
  GridView rain_fraction;             // rain of the step, mm
  ConstGridView wind_speed;           // m/s
  ConstGridView vapour_pressure;      // hPa (rain-on-snow with measured vapour pressure)
  ConstGridView deposition_index;     // relative extra snowfall
  ConstGridView air_humidity;         // fraction
  ConstGridView cloudiness;           // fraction
  ConstGridView global_radiation;     // Wh/m2 per step, aspect corrected
  ConstGridView albedo;               // fraction
  ConstGridView elevation;            // m
  ConstGridView surface_temperature;  // optional given snow surface temperature, deg C below 100, else K
  ConstGridView radiation_factor;     // optional radiation correction factor
  ConstGridView lake_codes;           // with ponding: open lake cells get rain only
  ConstGridView ponding;
};

// One snow store of a cell (the ordinary store or the snow on the glacierised part).
struct SnowStore {
  double solid = 0;                // mm
  double liquid = 0;               // mm
  double total = 0;                // mm
  double pack_temperature = 0;     // K; 0 or nodata: unknown
  double surface_temperature = 0;  // K; 0 or nodata: unknown
  double evaporation = 0;          // mm of the call, positive = loss to the air
  double energy_balance = 0;       // W/m2
};

// Which store a call computes and how it takes the water input.
enum class SnowStorePart {
  kOrdinary,     // splits the step's water input; with layered snow, changes it too
  kGlacierPart,  // takes the split of the ordinary store's call from the grids
};

struct SnowCellResult {
  double melt = 0;           // potential melt, mm, already weighted
  double snow_fraction = 0;  // fraction of the water input falling as snow
};

// Computes one cell for one part of a step of weight w (1, or the night or day fraction of
// a long step). `step_input_mm` is the cell's water input of the step before any
// deposition correction; each call splits it by its own temperature and adds w times its
// extra snowfall to the water-input grid, so that after all calls of a step the grid holds
// the input plus the step's extra snowfall. `layered` is null unless the soil model's
// layered snow is linked.
SnowCellResult ComputeSnowCell(const SnowCellParameters& p, const SnowCellGrids& g, int r, int c, double T_air,
                               double w, SnowStorePart part, double step_input_mm, SnowStore& store,
                               const LayeredSnow* layered);

// Fraction of the precipitation that falls as snow at air temperature T [deg C].
double SnowFractionAt(double T, double T0R, double transzone);

// Saturation vapour pressure [hPa] at air temperature T [deg C] used by the rain-on-snow
// melt: 6.1078 exp(21.874 T / (265.5 + T)).
double SaturationVapourPressureOverIce(double T);

// Wet-bulb temperature [deg C] from air temperature T [deg C], vapour pressure ea [hPa] and
// elevation z [m] (standard atmosphere pressure), by the psychrometer equation with the
// ice-bulb coefficient 0.00066 (1 + 0.00115 Tw) (WMO-No. 8).
double WetBulbTemperature(double T, double ea, double z);

// Seasonal factor mean + amplitude sin((d - 80) 2 pi / 365) of a parameter pair (min, max)
// on the day number d of (day, month): the day of the month in January, else
// day + (month - 1) * days of that month (so 1 March is 63).
struct SeasonalFactor {
  double mean = 0;
  double amplitude = 0;
  static SeasonalFactor FromRange(double min, double max) { return {(min + max) / 2, (max - min) / 2}; }
  double At(int day, int month, int days_in_month) const;
};
int SeasonalDayNumber(int day, int month, int days_in_month);

}  // namespace tolvo
