#pragma once
// The settings of the soil model: the positional items of "[unsatzon_model]" (from the
// soil method on), the sub-basin parameter block, the storage items, the heat-transfer
// parameters of "[heat_transfer]", the solver limits of "[unsatzon_tuning]" and the
// reduced conductivity of permafrost-frozen soil from "[permafrost]".
//
// Units: recession constants are given in hours and kept in minutes; the clay
// conductivity and the permafrost conductivity in m/s; the minimum dynamic step in s;
// heat parameters in SI units (J, kg, m, K, W, s); the lower-boundary temperature in °C.
//
// The readers take the reading object with its control file open at the item after the
// time step of the section; a value that cannot be read writes the control-file item
// entry and raises 17, the other refusals raise the codes named at each reader.

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "framework/zone_ranking.h"

namespace tolvo {

class modelobject;

// How the soil column is solved: finite differences with a fixed or a dynamically
// computed inner time step.
enum class SoilMethod : int {
  FixedStep = 2,
  DynamicStep = 3,
};

// The file name and statistic code of a zonal statistics table.
struct StatisticsTableSetting {
  std::string file;
  int code = 0;
};

// The output name and write code of a registered grid or stack.
struct OutputGridSetting {
  std::string name;
  int write_code = 0;
};

// The statistics tables of "[unsatzon_model]", in the order of their items.
enum class SoilStatistic : int {
  QDrain,
  GwStand,
  Gwn,
  Sb1,
  Sb2,
  Root,
  InfEx,
  Pond,
  Qd,
  Qi,
  Qb,
  Qg,
  GwIn,
  GwEx,
  Macro,
  Infilt,
};
inline constexpr int kSoilStatisticCount = 16;

// The grid and stack outputs of "[unsatzon_model]", in the order of their items.
enum class SoilOutput : int {
  Sb1,
  Sb2,
  Root,
  Theta,
  HydraulicHeads,
  GeodeticHeads,
  QDown,
  GwStand,
  GwTheta,
  Gwn,
  GwLevel,
  QDrain,
  Saturation,
  InfEx,
  Qd,
  Qi,
  DeltaGw,
  GwIn,
  GwEx,
  Pond,
  Uprise,
  Percolation,
  Macropore,
  Irrigation,
};
inline constexpr int kSoilOutputCount = 24;

// The control-point files, in the order of their items.
enum class PointFile : int { QBottom, Theta, HydraulicHead, OtherData, EtrDetail, Interflow };
inline constexpr int kPointFileCount = 6;

struct HeatTransferSettings {
  int on = 0;  // above 0: heat transfer and frozen soil
  int method = 0;
  double low_bound_base = 12;   // °C at elevation 0
  double lapse_rate = -0.007;   // K/m
  double c_dry_soil = 800;      // J/(kg K)
  double rho_dry_soil = 1500;   // kg/m3
  double lam_dry_soil = 0.58;   // W/(m K)
  double k_min = 1e-10;         // conductivity of frozen soil, as the column fluxes use it
  double lam_water = 0.5562;    // W/(m K)
  double lam_ice = 2.33;        // W/(m K)
  double c_water = 4187;        // J/(kg K)
  double c_ice20 = 1940;        // J/(kg K) at -20 °C
  double c_ice0 = 2090;         // J/(kg K) at 0 °C
  double latent_heat = 334000;  // J/kg
  double rho_water = 1000;      // kg/m3
  double factor = 1.22;         // suction increase per K below 0 °C
  double se_for_stat = 0.5;
  double shortest_step = 60;   // s
  double longest_step = 1800;  // s
  double n_factor_freezing = 1;
  double n_factor_thawing = 1;
  std::string point_file;  // soil temperatures at the control point
  StatisticsTableSetting thaw_statistics;
  OutputGridSetting temperature_stack;
  OutputGridSetting thaw_depth;
};

// The per-sub-basin parameters, indices 0..number of sub-basins (index 0 holds 0).
struct SubbasinParameters {
  std::vector<int> code;            // after reading: the zone code of each sub-basin
  std::vector<double> kelsqd;       // min
  std::vector<double> kelsqi;       // min
  std::vector<double> flussdichte;  // drainage density
  std::vector<double> kelsqlat;     // 1/recession constant of baseflow
  std::vector<double> max_baseflow;
  std::vector<double> SR_Anteil;  // surface-runoff fraction of snowmelt
};

struct SoilSettings {
  SoilMethod method = SoilMethod::FixedStep;
  int surface_water_interaction = 0;
  int pond = 0;
  int drainage = 0;
  int clay = 0;
  double ksat_clay = 0;
  double ini_gw_level = 0;
  std::array<StatisticsTableSetting, kSoilStatisticCount> statistics{};
  std::array<OutputGridSetting, kSoilOutputCount> outputs{};
  int control_row = 0;
  int control_col = 0;
  std::array<std::string, kPointFileCount> point_files{};  // with the output directory
  SubbasinParameters subbasins;
  int storage_read_code = 0;
  std::string storage_file;  // with "_" and the process rank
  double min_dynamic_step_s = 0;
  StatisticsTableSetting substeps_statistics;
  OutputGridSetting substeps_grid;
  HeatTransferSettings heat;
  double max_error = 1e-5;
  double max_iterations = 100;
  double permafrost_ksat = 1e-9;  // m/s

  const StatisticsTableSetting& statistic(SoilStatistic s) const { return statistics[static_cast<int>(s)]; }
  const OutputGridSetting& output(SoilOutput o) const { return outputs[static_cast<int>(o)]; }
  const std::string& point_file(PointFile p) const { return point_files[static_cast<int>(p)]; }
  bool has_control_point() const { return control_row > 0; }
};

// Reads "[unsatzon_model]" from the soil method to the method-3 items into `settings`:
// items, control-point check (8 for the row, 9 for the column), method check (91), the
// sub-basin block (10) with the sub-basins of `subbasins`, the storage items. The
// storage file name gets "_" and `rank`; the point files the output directory.
void ReadSoilSection(modelobject& reader, const ZoneRanking& subbasins, int rank, SoilSettings& settings);

// Reads the sub-basin parameter block (its code line and six parameter lines) and returns
// the parameters; failures write their entry and raise 10.
SubbasinParameters ReadSubbasinBlock(modelobject& reader, const ZoneRanking& subbasins);

// Reads the items of "[heat_transfer]" (the reader is positioned after its header).
void ReadHeatTransferSection(modelobject& reader, HeatTransferSettings& heat);

// Reads the key lines of "[unsatzon_tuning]" (the reader is positioned after its header)
// up to an empty line, the next section header or the end of the file; line ends may be
// LF or CR LF. A key whose value is not a number raises 17.
void ReadTuningSection(modelobject& reader, SoilSettings& settings);

}  // namespace tolvo
