#pragma once
// One land-use class of the [landuse_table]: its code and name, its vegetation and
// surface parameters, and their evaluation for a date, an altitude and a cell.
//
// Seasonal parameters are fixpoint tables: `count` + 1 values whose positions 1..count
// belong to the fixpoint days "JulDays" (days of the year, ascending) and whose position 0
// repeats position count (the last fixpoint of the previous year, at JulDays[count] - 366).
// One-line entries (method 1) hold the three resistances as 14 monthly values instead:
// positions 1..12 January..December, 0 a copy of December, 13 a copy of January.
//
// Fixpoint days shift with altitude: by AltDep[k] days per metre above 400 m, truncated
// toward zero. Entries with dynamic phenology (DynamicPhenology_1, _2, _4) may hold one
// negative day, a placeholder for the cell's phenology start; the day after it is then a
// duration counted from that start. DynamicPhenology_3 and _4 cells may carry their own
// fixpoint days in a per-cell stack.
//
// The date operations are const and pure: every call works on its own corrected days
// and month lengths, so threads may query one record at the same time. They neither log
// nor throw: a failure (a corrected fixpoint day outside -1..366, code 152) comes back
// with the value, and the caller reports it outside any parallel region.

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "framework/diagnostics_log.h"
#include "framework/matrix.h"
#include "tables/table_entry.h"

namespace tolvo {

// How an entry gives its parameters.
enum class LanduseMethod : int {
  None = 0,                // constructed, not yet read
  MonthlyValues = 1,       // one-line entry: monthly canopy resistance, four fixpoints
  VariableDayCount = 2,    // block: any number of fixpoints
  DynamicPhenology_1 = 3,  // block with dynamic phenology
  DynamicPhenology_2 = 4,
  DynamicPhenology_3 = 5,  // fixpoints from day 1 to day 366, driven by forcing sums
  DynamicPhenology_4 = 6,
};

// The result of a date operation: its value, or a failure (code other than 0), after
// which the value means nothing. A corrected fixpoint day outside -1..366 (code 152)
// names the day and its fixpoint; a month outside 1..12 (154) or a date outside the year
// (150) nothing more.
struct LanduseValue {
  double value = 0;
  int code = 0;
  int day = 0;
  int fixpoint = 0;
  bool ok() const { return code == 0; }
};

// Reports a failed date operation from serial code: the entry of a fixpoint day out of
// range (152; the other codes have none), then raises its code.
[[noreturn]] void RaiseLanduseFailure(DiagnosticsLog& log, const LanduseValue& failed);

// Reference altitude of the fixpoint days, metres.
inline constexpr double kFixpointReferenceAltitude = 400.0;
// Marks a parameter the control file did not give (n-factors).
inline constexpr double kNotGiven = -9999.9;

// Bits of `parameterFlags`: which parameter grids the per-step update fills from an entry.
inline constexpr int kFlagZ0 = 128;
inline constexpr int kFlagRootDepth = 64;
inline constexpr int kFlagVCF = 32;
inline constexpr int kFlagLAI = 16;
inline constexpr int kFlagInterceptionResistance = 8;
inline constexpr int kFlagCanopyResistance = 4;
inline constexpr int kFlagEvaporationResistance = 2;
inline constexpr int kFlagAlbedo = 1;

// Parameters of the dynamic phenology (methods 3 to 6).
struct PhenologyParameters {
  double FStar = 0;  // key "F*": forcing threshold (methods 3, 4, 6)
  int JDReset_TStart = 0;
  int DP1_t1_dorm = 0;
  double DP1_T_Bf = 0;
  int maxStartJDforDP1 = 0;  // latest phenology start day
  int DP2_t0_dorm = 0;
  int DP2_t1_dorm = 0;
  double DP2_T_Bc = 0;
  double DP2_T_Bf = 0;
  double DP2_Par_a = 0;
  double DP2_Par_b = 0;
  double DP2_Offset_1 = 0;
  double DP2_Offset_2 = 0;
  int DP4_t0_dorm = 0;
  int DP4_t1_dorm = 0;
  double DP4_T0 = 0;
  double DP4_T1 = 0;
  double DP4_Par_a = 0;
  double DP4_Par_b = 0;
  double DP4_T_xylstop = 0;
  int DP4_t_xs1 = 0;
  int DP4_SPSLF = 0;
  double StressFactorDynPhen = 0;  // water-stress factor
};

// The first method key word that a line contains, tried in the order "VariableDayCount",
// "DynamicPhenology_1" .. "DynamicPhenology_4"; nothing when it contains none.
std::optional<std::string_view> LanduseMethodWordIn(std::string_view line);

class LanduseRecord : public TableEntry {
 public:
  LanduseRecord();
  explicit LanduseRecord(int code);

  // --- reading ---------------------------------------------------------------------------
  // A one-line entry of 37 items (code, name, albedo, 12 monthly canopy resistances, four
  // fixpoint days, LAI, Z0, VCF and RootDepth at them, RootDist, HReduDry). Any item that
  // cannot be read logs "FATAL: landuse table code <code>: some values could not be
  // read" with the line and raises 29.
  void ParseLine(DiagnosticsLog& log, std::string_view line);
  // A parameter block; `method_word` is "VariableDayCount" or "DynamicPhenology_1".."_4".
  // Any failure logs its entry (if any), then the generic entry with the text from the
  // first "{", and raises 29.
  void ParseBlock(DiagnosticsLog& log, std::string_view block_text, std::string_view method_word);
  // Key "JulDays" of a searched text: count and JulDays (the altitude-corrected days are
  // computed per evaluation, not stored); for
  // DynamicPhenology_3 the first day must be 1 and the last 366 (logged, then 29).
  void ReadJulDays(DiagnosticsLog& log, std::string_view text);
  // Key "SoilTillage" when present (an empty list counts as absent): tillage days.
  void ReadTillageDays(DiagnosticsLog& log, std::string_view text);

  // --- values at a date ------------------------------------------------------------------
  // By date: (day, month, year, layer, altitude m, row, column). By day of year: (day of
  // year, layer, row, column, altitude m). Layer, row and column select the cell in the
  // per-layer links of the dynamic-phenology methods. Each returns its value or its failure.
  // Resistances: method 1 interpolates its monthly values (by-date forms only).
  LanduseValue CanopyResistanceAt(int day, int month, int year, int layer, double altitude, int r, int c) const;
  LanduseValue InterceptionResistanceAt(int day, int month, int year, int layer, double altitude, int r, int c) const;
  LanduseValue EvaporationResistanceAt(int day, int month, int year, int layer, double altitude, int r, int c) const;
  LanduseValue RoughnessLengthAt(int day, int month, int year, int layer, double altitude, int r, int c) const;
  LanduseValue LeafAreaIndexAt(int day, int month, int year, int layer, double altitude, int r, int c) const;
  LanduseValue VegetationCoverAt(int day, int month, int year, int layer, double altitude, int r, int c) const;
  LanduseValue RootDepthAt(int day, int month, int year, int layer, double altitude, int r, int c) const;
  LanduseValue AlbedoAt(int day, int month, int year, int layer, double altitude, int r, int c) const;
  LanduseValue StemDiameterAt(int day, int month, int year, int layer, double altitude, int r, int c) const;
  LanduseValue ResidueCoverAt(int day, int month, int year, int layer, double altitude, int r, int c) const;

  LanduseValue CanopyResistanceAtJulianDay(int jd, int layer, int r, int c, double altitude) const;
  LanduseValue InterceptionResistanceAtJulianDay(int jd, int layer, int r, int c, double altitude) const;
  LanduseValue EvaporationResistanceAtJulianDay(int jd, int layer, int r, int c, double altitude) const;
  LanduseValue RoughnessLengthAtJulianDay(int jd, int layer, int r, int c, double altitude) const;
  LanduseValue LeafAreaIndexAtJulianDay(int jd, int layer, int r, int c, double altitude) const;
  LanduseValue VegetationCoverAtJulianDay(int jd, int layer, int r, int c, double altitude) const;
  LanduseValue RootDepthAtJulianDay(int jd, int layer, int r, int c, double altitude) const;
  LanduseValue AlbedoAtJulianDay(int jd, int layer, int r, int c, double altitude) const;
  LanduseValue StemDiameterAtJulianDay(int jd, int layer, int r, int c, double altitude) const;
  LanduseValue ResidueCoverAtJulianDay(int jd, int layer, int r, int c, double altitude) const;

  // Reports a failed root depth of cell (r, c) from serial code: the failure's entry, then
  // one with the cell's coordinates, layer, altitude, day and land-use code; raises its code.
  [[noreturn]] void RaiseRootDepthFailure(DiagnosticsLog& log, const LanduseValue& failed, int jd, int layer, int r,
                                          int c, double altitude) const;

  // Vegetation period of the balance: the day of year when the day qualifies, -1 when it
  // does not, 0 when the entry defines no such fixpoint.
  LanduseValue VegetationStartAt(int day, int month, int year, int layer, double altitude, int r, int c) const;
  LanduseValue VegetationStopAt(int day, int month, int year, int layer, double altitude, int r, int c) const;
  LanduseValue VegetationStartAtJulianDay(int jd, int layer, int r, int c, double altitude) const;
  LanduseValue VegetationStopAtJulianDay(int jd, int layer, int r, int c, double altitude) const;

  // The "n-factor" of frozen soil by date, from the uncorrected fixpoint days (no
  // altitude shift, no dynamic start). kNotGiven when the entry has no n-factor table.
  LanduseValue NFactorAt(int day, int month, int year) const;
  LanduseValue NFactorAtJulianDay(int jd) const;

  // Day of year by the Gregorian calendar; a result outside 0..366 (or a month outside
  // 1..12) raises 150 without a log entry.
  static int JulianDay(int day, int month, int year);
  // The same as a result: code 150 instead of the raise.
  static LanduseValue DayOfYear(int day, int month, int year);
  // Code 152 with the first corrected fixpoint day outside -1..366 and its fixpoint, or
  // code 0 when every day lies within. `start_day` is the cell's phenology start (-1 while
  // none is known).
  LanduseValue CheckFixpointDays(int start_day, double altitude) const;
  // The first fixpoint k with a corrected day >= jd (or a negative corrected day), or
  // count + 1; no check.
  int CorrectedFixpointInterval(int jd, int start_day, double altitude) const;
  // The corrected day of fixpoint k (0..count) for the start day and altitude; no check.
  int CorrectedFixpointDay(int k, int start_day, double altitude) const;

  // Start-up rule of the phenology start (DynamicPhenology_1, _2, _4): sets the phenology
  // flag and, when the date lies after maxStartJDforDP1, the fallback start day that
  // places the fixpoint after the start on maxStartJDforDP1.
  void InitPhenologyStart(int day, int month, int year);

  // --- plain accessors ---------------------------------------------------------------------
  LanduseMethod GetMethod() const { return method; }
  int GetCount() const { return count; }
  double GetRootDist() const { return RootDist; }
  double GetHReduDry() const { return HReduDry; }
  double GetTReduWet() const { return TReduWet; }
  double GetLimitReduWet() const { return LimitReduWet; }
  double GetIntercepCap() const { return IntercepCap; }
  void GetTillageDays(int& n_days, std::span<const int>& days) const {
    n_days = tillageCount;
    days = tillageDays;
  }
  int GetSRCultivation() const { return SR_cultivation; }
  double GetSRCropDistX() const { return SR_CropDistX; }
  double GetSRCropDistY() const { return SR_CropDistY; }
  double GetSRKST() const { return SR_K_ST; }
  double GetSRCWR() const { return SR_C_WR; }
  void GetSRRoughCoeff1(double& a, double& b, double& c) const;
  void GetSRRoughCoeff2(double& a, double& b, double& c) const;
  double GetNFactorFreezing() const { return nf_freezing; }
  double GetNFactorThawing() const { return nf_thawing; }
  // ForcingThreshold[index]; -1 outside 0..count or for methods other than DynamicPhenology_3.
  double GetForcingThreshold(int index) const;
  // AltDep[index]; 0 outside 0..count.
  double GetAltDep(int index) const;
  // JulDays[index]; -1 outside 0..count.
  int GetJulDay(int index) const;
  int TestParameterFlag(int mask) const { return parameterFlags & mask; }

  int GetFallbackStartDay() const { return fallbackStartDay; }
  void SetFallbackStartDay(int day) { fallbackStartDay = day; }
  int GetStartFixpoint() const { return startFixpoint; }
  bool GetPhenologyFlag() const { return phenologyFlag; }
  void SetPhenologyFlag(bool flag) { phenologyFlag = flag; }
  int GetParameterFlags() const { return parameterFlags; }
  void SetParameterFlags(int flags) { parameterFlags = flags; }
  std::string GetUseInternalParameters() const { return useInternalParameters; }
  int GetStartVegetationPeriodForBalance() const { return StartVegetationPeriodForBalance; }
  int GetStopVegetationPeriodForBalance() const { return StopVegetationPeriodForBalance; }
  int GetJDVegetationResetForBalance() const { return JDVegetationResetForBalance; }
  void SetJDVegetationResetForBalance(int day) { JDVegetationResetForBalance = day; }
  int GetJDVegetationWriteForBalance() const { return JDVegetationWriteForBalance; }
  void SetJDVegetationWriteForBalance(int day) { JDVegetationWriteForBalance = day; }
  const PhenologyParameters& GetPhenology() const { return phenology; }
  double GetStressFactorDynPhen() const { return phenology.StressFactorDynPhen; }
  double GetFStar() const { return phenology.FStar; }
  int GetJDResetTStart() const { return phenology.JDReset_TStart; }
  int GetMaxStartJDforDP1() const { return phenology.maxStartJDforDP1; }
  std::span<const int> GetJulDays() const { return JulDays; }
  std::span<const double> GetAltDepTable() const { return AltDep; }
  std::span<const double> GetForcingThresholdTable() const { return ForcingThreshold; }
  int GetCellDayLevels() const { return cellDayLevels; }

  // Per-layer links to the phenology grids of the cells (element l is layer l, element 0
  // is unused); set by the parameter-grid set-up for the dynamic-phenology methods.
  void SetCellPhenoStart(std::vector<ConstGridView> layers) { cellPhenoStart = std::move(layers); }
  void SetCellForcingSum(std::vector<ConstGridView> layers) { cellForcingSum = std::move(layers); }
  void SetCellForcingThreshold(std::vector<ConstGridView> layers) { cellForcingThreshold = std::move(layers); }
  void SetCellFixpointDays(std::vector<ConstStackView> layers, int levels) {
    cellFixpointDays = std::move(layers);
    cellDayLevels = levels;
  }

 private:
  void ParseBlockKeys(DiagnosticsLog& log, std::string_view text);
  void ReadPhenologyKeys(DiagnosticsLog& log, std::string_view text);
  void ReadValueTables(DiagnosticsLog& log, std::string_view text);
  [[noreturn]] void FailEntry(DiagnosticsLog& log, std::string_view text) const;

  bool DynamicStart() const;
  bool UsesCellFixpointDays(int layer) const;
  int StartDayOf(int layer, int r, int c) const;
  LanduseValue ValueAtJulianDay(std::span<const double> table, int jd, int layer, int r, int c, double altitude) const;
  double ValueFromCellDays(std::span<const double> table, int jd, int layer, int r, int c) const;
  LanduseValue MonthlyValue(std::span<const double> table, int day, int month, int year) const;
  // The table's value on a calendar date (its day of the year); an invalid date gives its error value.
  LanduseValue ValueAtDate(std::span<const double> table, int day, int month, int year, int layer, double altitude,
                           int r, int c) const;
  LanduseValue ResistanceAt(std::span<const double> table, int day, int month, int year, int layer, double altitude,
                            int r, int c) const;

  LanduseMethod method = LanduseMethod::None;
  int count = 0;
  int cellDayLevels = 0;
  int StartVegetationPeriodForBalance = 0;
  int StopVegetationPeriodForBalance = 1000;
  int JDVegetationResetForBalance = 1;
  int JDVegetationWriteForBalance = 0;
  int parameterFlags = 255;
  std::string useInternalParameters = "11111111";
  std::vector<ConstStackView> cellFixpointDays;
  std::vector<ConstGridView> cellPhenoStart;
  std::vector<ConstGridView> cellForcingThreshold;
  std::vector<ConstGridView> cellForcingSum;
  int fallbackStartDay = 0;
  int startFixpoint = 0;
  std::vector<int> JulDays;
  std::vector<double> rsc;
  std::vector<double> rs_interception;
  std::vector<double> rs_evaporation;
  std::vector<double> Albedo;
  std::vector<double> LAI;
  std::vector<double> Z0;
  std::vector<double> VCF;
  std::vector<double> RootDepth;
  std::vector<double> AltDep;
  std::vector<double> ForcingThreshold;
  double RootDist = 0;
  double HReduDry = 0;
  double TReduWet = 0;
  double LimitReduWet = 0;
  PhenologyParameters phenology;
  bool phenologyFlag = false;
  double IntercepCap = -1.0;
  std::vector<int> tillageDays;
  int tillageCount = 0;
  int SR_cultivation = 0;
  std::vector<double> SR_StemDiameter;
  std::vector<double> SR_ResidCovrg;
  double SR_CropDistX = 0;
  double SR_CropDistY = 0;
  double SR_K_ST = 0;
  double SR_C_WR = 0;
  std::vector<double> SR_rough_coeff1;
  std::vector<double> SR_rough_coeff2;
  std::vector<double> nFactor;
  double nf_freezing = kNotGiven;
  double nf_thawing = kNotGiven;
};

}  // namespace tolvo
