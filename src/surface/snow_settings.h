#pragma once
// Settings of the snow model from its three control-file sections: "[snow_model]" (melt
// method, parameters, names and write codes of its grids and statistics tables),
// "[ice_firn]" (glaciers, firn and their linear storages) and "[permafrost]" (thaw depth).
// Temperatures in deg C, degree-day factors in mm/(deg C day), slopes in degrees,
// snow amounts in mm of water.

#include <string>

#include "surface/snow_cell.h"

namespace tolvo {

class modelobject;

struct GridOutputName {
  std::string file;
  int write_code = 0;
};

struct StatisticName {
  std::string file;
  int code = 0;
};

struct SnowSettings {
  int method = 0;
  SnowMethodTraits traits;
  double transzone = 0, T0R = 0, T0 = 0, CWH = 0, CRFR = 0, C0 = 0, C1 = 0, C2 = 0, z0 = 0;
  double RMFMIN = 0, RMFMAX = 0, ALBsnow_min = 0, ALBsnow_max = 0;
  GridOutputName rain, snow, snow_days, snow_age, outflow, melt_only, solid, liquid, total;
  StatisticName rain_statistic, snow_statistic, snow_days_statistic, snow_age_statistic, albedo_statistic,
      outflow_statistic, melt_only_statistic, storage_statistic;
  int storage_read_code = 0;
  // The block of methods above 4.
  GridOutputName snow_temperature, surface_temperature, input_mass, mobile_mass, deposition;
  StatisticName snow_temperature_statistic, surface_temperature_statistic, input_mass_statistic, mobile_mass_statistic,
      deposition_statistic;
  double maxDepositionSlope = 55, maxDepositionFactor = 1, minSlideSlope = 30, slideMassFrac = 0.01;
  double LWINcorr = 1, LWOUTcorr = 1, EnBalScaling = 1;
  SeasonalFactor melt_factor;  // RMF
};

enum class GlacierMethod {
  kTemperatureIndex,
  kRadiation,
  kDynamicTemperatureIndex,
  kDynamicRadiation,
  kDynamicSnowMethod
};

struct IceFirnSettings {
  int method = 0;
  GlacierMethod glacier = GlacierMethod::kTemperatureIndex;
  double DDFice = 0, DDFfirn = 0, DDFsnow = 0, MF = 0;
  double Aice_min = 0, Aice_max = 0, Asnow_min = 0, Asnow_max = 0;
  double kice_els = 0, kfirn_els = 0, ksnow_els = 0;
  double Qice_initial = 0, Qfirn_initial = 0, Qsnow_initial = 0;
  GridOutputName firn_melt, ice_melt;
  StatisticName firn_statistic, ice_statistic, snow_on_ice_statistic, total_statistic, snow_without_glaciers_statistic;
  // Dynamic glacier methods.
  int read_code = 0;
  int firn_levels = 0;
  double firn_base = 0, deltafirnper100m = 0;
  int evaluation_month = 0, evaluation_day = 0;
  double VAscaling = 0, VAexponent = 0;
  int numElevBands = 0, extraWeightFactorBand0 = 0;
  GridOutputName firn_stack, mass_balance, old_mass_balance, solid_on_glacier, liquid_on_glacier, total_on_glacier,
      melt_on_glacier, surface_temperature_on_glacier, snow_temperature_on_glacier, evaporation_on_glacier;
  StatisticName firn_water_statistic, mass_balance_statistic, glacier_part_balance_statistic;
  double debris_scaling = 1;
  double maxSnowPackToCreateGlacier = 1000, relSizeNewGlacier = 0.25;
  SeasonalFactor Aice, Asnow;

  bool dynamic() const { return method > 10; }
  bool needs_radiation() const { return method == 2 || method == 12 || method == 13; }
};

struct PermafrostSettings {
  int method = 0;
  double Min_Snow_Age_Refreeze = 0, Max_SWE_SnowFree = 0;
  StatisticName thaw_depth_statistic;
  double reduced_ksat = 0;  // m/s
};

// Readers of the three sections; each continues the control file of `reader` where it
// stands ("[snow_model]" right after its time step, the others right after their header)
// and fails with the entry and code of the value that cannot be used.
SnowSettings ReadSnowModelSection(modelobject& reader);
// The glacier method (first value of "[ice_firn]"), checked.
int ReadGlacierMethod(modelobject& reader);
void ReadIceFirnSection(modelobject& reader, IceFirnSettings& s);
PermafrostSettings ReadPermafrostSection(modelobject& reader);
// After all sections: a rain/snow threshold below the melt threshold is raised to it
// with an ERROR entry.
void CheckSnowThresholds(modelobject& reader, SnowSettings& s);

// The snow-on-ice table's name of glacier methods 1 and 2, made from the total glacier
// melt table's name by inserting "_qsgl_" before its last "." (appended without one).
std::string SnowOnIceStatisticName(const std::string& total_statistic);

}  // namespace tolvo
