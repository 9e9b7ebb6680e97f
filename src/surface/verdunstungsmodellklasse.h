#pragma once
// Evapotranspiration, section "[evapotranspiration]".
//
// Every step, for each cell of the process and each vegetation layer (1 = top), the
// potential transpiration, the potential evaporation of intercepted water and the
// potential soil evaporation, by one of four methods: Penman-Monteith over n layers with
// a day and a night part (penman_monteith.h), or for one layer Hamon, Wendling or Haude
// (potential_evaporation.h). On the way it derives the radiation of the step: the global
// radiation corrected for slope and aspect, the net shortwave radiation, the relative
// sunshine and the cloudiness.
//
// Published grids (mm per step unless said otherwise; layer 0 holds the cell totals):
// "pot_transpiration<k>", "real_transpiration<k>", "potential_InterceptionEvap<k>" for
// k = 0..n, "potential_evaporation", "real_evaporation", "snow_evaporation",
// "AspectCorrectedGlobalRadiation" (Wh/m²), "cloudiness" (0..1) and "SSDTemp" (mean
// relative sunshine of the last day, for the steps of the night).
//
// Grids of other owners it changes for the rest of the step: with a radiation correction
// factor the radiation grid holds the corrected radiation; with Penman-Monteith and steps
// above 12 hours the temperature grid is raised and the night-temperature grid lowered by
// the day and night parts of the daily amplitude. Where nothing renews such a grid every
// step (a standard or periodic grid), each step starts again from its unchanged values.

#include <array>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "framework/teilmodellklasse.h"

namespace tolvo {

// The inputs a cell of the evapotranspiration model may have, as bits of one set.
inline constexpr int kAirPressureBit = 1;
inline constexpr int kRadiationBit = 4;
inline constexpr int kSunshineBit = 8;
inline constexpr int kHumidityBit = 32;
inline constexpr int kVapourPressureBit = 64;
inline constexpr int kTemperatureBit = 128;

enum class EvapotranspirationMethod { kPenmanMonteith = 1, kHamon = 2, kWendling = 3, kHaude = 4 };

// Name, write code and statistics of one output grid.
struct EvapotranspirationOutput {
  std::string grid_file;
  int write_code = 0;
  std::string statistic_file;
  int statistic_code = 0;
};

// What the section gives after the module switch and the time step. Monthly arrays hold
// January..December at 1..12, December again at 0 and January again at 13.
struct EvapotranspirationSettings {
  int method_number = 0;
  EvapotranspirationMethod method = EvapotranspirationMethod::kPenmanMonteith;
  std::array<double, 14> pec{};        // Hamon coefficient
  std::array<double, 14> fh{};         // Haude factor, mm/hPa per day
  double coast_factor = 0;             // fk of Wendling
  EvapotranspirationOutput pot_transpiration;  // layer 0; layer k adds "_Layer_k"
  EvapotranspirationOutput real_transpiration;
  EvapotranspirationOutput interception;
  EvapotranspirationOutput potential_evaporation;
  EvapotranspirationOutput real_evaporation;
  EvapotranspirationOutput snow_evaporation;
  EvapotranspirationOutput corrected_radiation{"correctedradiation", 0, "", 0};
  EvapotranspirationOutput cloudiness{"cloudiness", 0, "", 0};
  std::array<double, 4> radiation{};   // a0..a3: global/clear-sky radiation from sunshine
  std::array<double, 4> sunshine{};    // CS0..CS3: sunshine from global/clear-sky radiation
  double tau0 = 0;                     // mean clear-sky transmissivity
  double tau1 = 0;                     // its seasonal amplitude
  double elevation_length_m = 0;       // zA: decrease of the temperature amplitude with height
  std::array<double, 14> amplitude{};  // clear-sky daily temperature amplitude, K
  double day_share = 0;                // fd: share of the amplitude above the daily mean
  double day_share_variability = 0;    // v
  double sunshine_threshold = 0;       // x0
};

// Open water of lake cells, section "[lake_model]".
struct EvapotranspirationLakeSettings {
  int on = 0;
  int initialization_method = 0;
  double albedo = 0;
  double z0_m = 0;
};

class verdunstungsmodellklasse : public teilmodellklasse {
 public:
  // Reads the section, binds the grids the method needs and registers the own grids and
  // statistics; throws the ErrorCode of a failure after its FATAL entry.
  verdunstungsmodellklasse(DiagnosticsLog& log, StatisticsRegistry& registry, const ModelSettings& settings);
  ~verdunstungsmodellklasse() override;

  // Hand-overs at start-up: the radiation correction factor grid (empty for none), the
  // snow model's solid storage and method.
  int SetCorrectedRadiation(ConstGridView grid);
  // The snow store is changed by the snow evaporation.
  int SetSnowStorageGrid(GridView grid);
  void SetSnowMethod(int method) { snow_method_ = method; }
  // Reads the open-water settings from the section and binds the lake and ponding grids.
  void ReadLakeModel(std::string_view section);

  // The potentials of the step; collective (statistics, grid outputs).
  void PotentialEvapotranspiration(const ModelDate& d);
  // Draws the evaporation of the snow cover from the snow store and the potentials (the
  // energy-balance snow methods: the potentials of a snow-covered cell become 0, the snow
  // model computes the sublimation); collective (statistics, grid output).
  void SnowEvaporation(const ModelDate& d);
  // Opens the step of the real fluxes' statistics; binds the layer-0 interception
  // evaporation when it exists.
  void BeginRealEvapotranspiration(const ModelDate& d);
  void SubStep() {}
  // The total real evapotranspiration of every own cell and the real fluxes' statistics
  // and outputs of the step; collective.
  void EndOfStepTotals(const ModelDate& d);
  void FlushStatistics();
  void DeleteModule() override;

  const EvapotranspirationSettings& section_settings() const { return settings_; }
  const EvapotranspirationLakeSettings& lake_settings() const { return lake_; }
  int layer_count() const { return n_layers_; }
  // The available-input bits: air pressure 1, radiation 4, sunshine 8, humidity 32,
  // vapour pressure 64, temperature 128.
  int available_inputs() const { return inputs_; }
  bool net_radiation_mode() const { return net_radiation_mode_; }

 private:
  // One registered grid with its statistics.
  using OwnGrid = StatisticGrid;
  struct Layer {
    ConstGridView landuse, lai, root_depth, vcf, rsc, ri, z0;
    OwnGrid pot_transpiration, real_transpiration, interception;
  };
  // A grid of another owner that this model changes in place; see the header comment.
  struct ChangedGrid {
    GridView grid;
    Grid original;  // the values before the change
    Grid written;   // the values after it
  };
  // The sun over the daylight part of the step.
  struct SunOfStep {
    int n_samples = 0;
    double sample_hours = 0;
    double transmissivity = 0;
    double amplitude = 0;         // Ad, K
    double seasonal_share = 0;    // st
    bool dark = false;            // no radiation is derived for the step
    DayNightSplit split;
  };

  void ReadSection();
  void ReadPecFhAndCoastFactor();
  void ReadOutput(EvapotranspirationOutput& output, const char* grid_label, const char* write_label,
                  const char* statistic_label);
  void ReadStatisticPair(std::string& file, int& code, std::string_view label);
  void ReadNumbers(std::span<double> values, std::string_view label);
  void ReadCloudinessStatistic();
  void CheckSettings();
  void FindInputs();
  void BindGrids();
  void RegisterOwnGrids(StatisticsRegistry& registry);
  void RegisterOwnGrid(OwnGrid& grid, int index, const std::string& file, int write_code,
                       const std::string& identifier, bool all_rows_on_first_process);
  void MakeStatistic(OwnGrid& grid, std::string& file, int code, int precision, const std::string& caption,
                     const std::string& submodel, StatisticsRegistry& registry);
  std::vector<OwnGrid*> AllOwnGrids();

  SunOfStep SunSamples(const DayNightSplit& split, long long day, long long month, long long hour);
  void AccumulateSunshineOfDay(const DayNightSplit& split);
  ChangedGrid ChangedGridOf(GridView grid);
  void RestoreUnrenewedGrids();
  void KeepChangedGrids();
  void ComputeRow(int r, const SunOfStep& sun, long long day, long long month, long long year);
  void CopyResponseUnitMasters();
  void AddStatistics();
  bool OwnCell(int r, int c) const;
  bool ResponseUnitFollower(int r, int c) const;
  double GlacierShare(int r, int c) const;
  bool LogLineDue(long long hour) const;

  EvapotranspirationSettings settings_;
  EvapotranspirationLakeSettings lake_;
  int n_layers_ = 1;
  int inputs_ = 0;
  bool net_radiation_mode_ = false;
  int snow_method_ = 0;
  static constexpr const char* kMethodLabels[5] = {"", "(Penman/Monteith)_", "(HAMON)_", "(WENDLING)_", "(HAUDE)_"};

  // Inputs.
  ConstGridView regions_;
  ConstGridView elevation_;
  ConstGridView landuse0_;
  ConstGridView air_pressure_, wind_, humidity_, vapour_pressure_, sunshine_, albedo_, soil_resistance_;
  GridView radiation_, temperature_, night_temperature_;
  ConstGridView glacier_;
  ConstGridView hru_units_, hru_masters_;
  ConstGridView correction_;
  GridView snow_storage_;
  // Snow on glaciers, bound at the first snow evaporation when the snow model keeps it.
  GridView solid_on_glacier_, evaporation_on_glacier_;
  bool glacier_snow_checked_ = false;
  ConstGridView interception_evaporation_;  // "interception_evaporation0"
  ConstGridView lake_codes_, ponding_;
  std::vector<ChangedGrid> changed_grids_;

  std::vector<Layer> layers_;  // 0..n
  OwnGrid potential_evaporation_, real_evaporation_, snow_evaporation_, corrected_radiation_, cloudiness_,
      sunshine_of_day_;
  std::vector<double> cos_zenith_;  // sun samples 1..m of the step (0 unused)
  double transmissivity_ = 0;       // clear-sky transmissivity of the last step with sun samples
  bool accumulating_sunshine_ = false;
  bool undated_step_noted_ = false;
  int daylight_steps_ = 0;
  // The step's statistics tables, closed with one exchange of their sums.
  StatisticsStepEnds step_ends_;
};

}  // namespace tolvo
