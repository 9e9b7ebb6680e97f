#pragma once
// The soil table of the control file ("[soil_table]") and its records.
//
// A soil type is a column of soil layers grouped into horizons (layer 1 at the soil
// surface). Per layer it gives the saturated hydraulic conductivity, the van Genuchten
// retention parameters and the thickness (m); per type the soil-water parameters of the
// soil model, macropores, grain sizes, dry-soil thermal properties, the smallest
// conductivity of frozen soil and the interflow depth. Every record carries the
// hydraulic and freezing look-up tables of its layers (soil_hydraulics.h).
//
// Two entry forms are read: a parameter block with the method "MultipleHorizons", and
// the old one-line entry (van Genuchten method 1, one horizon with uniform parameters).
//
// Per-layer arrays hold layerCount+1 values: entries 1..layerCount are the layers, entry
// 0 a copy of entry 1. The SoilTable is 1-based: entry 0 is a header whose code holds the
// number of soil types; all entries of one table have the same number of layers.

#include <span>
#include <string_view>
#include <vector>

#include "framework/diagnostics_log.h"
#include "tables/soil_hydraulics.h"
#include "tables/table_entry.h"

namespace tolvo {

class modelobject;

class SoilRecord : public TableEntry {
 public:
  SoilRecord() = default;
  explicit SoilRecord(int code) : TableEntry(code) {}
  SoilRecord(SoilRecord&&) noexcept = default;
  SoilRecord& operator=(SoilRecord&&) noexcept = default;
  SoilRecord(const SoilRecord&) = delete;
  SoilRecord& operator=(const SoilRecord&) = delete;

  // --- parsing (soil_table.cpp) ------------------------------------------------------
  // Parses one "MultipleHorizons" block (code, name, then "{ key = values; ... }") and
  // builds the hydraulic tables of every layer and the empty freezing tables. Failures
  // log their entries and raise 29.
  void ParseBlock(DiagnosticsLog& log, std::string_view block_text);
  // Parses one old one-line entry: code, name, FCap, mSB, ksat_topmodel, suction, method,
  // theta_sat, theta_res, alpha, Par_n, layers, thickness u, maxratio, kReduction.
  // Failures log their entries and raise 30.
  void ParseOneLineEntry(DiagnosticsLog& log, std::string_view line);
  // Reads a list given per horizon ("key = v1 v2 ...;", last assignment of the key in
  // `searched`) into the per-layer array (resized to layerCount+1): the h-th number goes
  // to every layer of horizon h, a shorter list repeats its last number, entry 0 copies
  // entry 1. False when the key is not assigned.
  bool ReadHorizonValues(std::string_view searched, std::string_view key, std::vector<double>& per_layer) const;
  // Reads "GrainSizeDist" (sand, silt, clay, stones1..4) when assigned and checks it
  // (sand > 0, the others >= 0, sum 1 within 0.0001); raises with the specific entry
  // logged otherwise. Without the key the defaults stay.
  void ReadGrainSizeDist(DiagnosticsLog& log, std::string_view searched);

  // --- look-up tables (soil_hydraulics.cpp) -------------------------------------------
  // Allocates (on first use) and fills the four hydraulic tables of layer l (0..layerCount).
  void BuildHydraulicTables(int l);
  // Fills the three freezing tables of layer l; `factor` turns a temperature below 0 °C
  // into a suction (suction unit per K). The tables must be allocated.
  void BuildFreezingTables(int l, double factor);

  // Per layer i = 1..layerCount, from the caller's arrays at index offset + i: liquid
  // fraction and its slope (1/K) at temperature (°C) and water content. Nothing when the
  // temperature array is empty. Safe to call from several threads.
  void LiquidFractions(int offset, std::span<double> fractions, std::span<double> slopes,
                       std::span<const double> temperatures, std::span<const double> water_contents) const;
  // Liquid fraction of layer l at temperature t (°C) and water content theta.
  double LiquidFractionAt(int l, double t, double theta) const;
  // Per layer i = 1..layerCount at index offset + i: the volumetric heat capacity
  // ((1 - L) w + L c) theta b + DryDensity DryHeatCapacity + additional term, with the
  // ice heat capacity w running linearly from d at 0 °C to e at -20 °C; b water density,
  // c heat capacity of liquid water.
  void HeatCapacities(int offset, std::span<const double> temperatures, std::span<double> heat_capacities,
                      std::span<const double> liquid_fractions, std::span<const double> additional_terms,
                      std::span<const double> water_contents, double b, double c, double d, double e) const;
  std::span<const double> GetKsat() const { return ksat; }
  // Suction (unit of 1/alpha) of layer l at water content theta.
  double SuctionForTheta(int l, double theta) const {
    return SuctionAtWaterContent(retentionTable[l], suctionSteps[l], theta);
  }
  // The same, starting the search at the bracket of a content looked up before in layer l
  // (soil_hydraulics.h); `bracket` receives the one of theta.
  double SuctionForTheta(int l, double theta, int& bracket) const {
    return SuctionAtWaterContent(retentionTable[l], suctionSteps[l], theta, bracket);
  }
  // Relative conductivity of layer l at the smaller of the water contents a and b.
  double RelativeConductivity(int l, double a, double b) const {
    return ConductivityAtWaterContent(thetaTable[l], conductivityTable[l], a < b ? a : b);
  }
  // Water content of layer l at suction h.
  double ThetaForSuction(int l, double h) const {
    return WaterContentAtSuction(retentionTable[l], suctionSteps[l], h);
  }
  // Water content of layer l at field capacity (ThetaForSuction at kFieldCapacitySuction,
  // looked up once when the layer's tables are built).
  double FieldCapacity(int l) const { return fieldCapacity[static_cast<std::size_t>(l)]; }
  // Liquid fractions (slopes) alone, per layer 1..layerCount at index i (no offset).
  void LiquidFractionValues(std::span<double> fractions, std::span<const double> temperatures,
                            std::span<const double> water_contents) const;
  void LiquidFractionSlopes(std::span<double> slopes, std::span<const double> temperatures,
                            std::span<const double> water_contents) const;
  // The freezing-point shift (K, >= 0) of layer l at relative saturation s.
  double FreezingShift(int l, double s) const;
  // Per layer i: ksat when `liquid_fractions` is empty, otherwise the conductivity of
  // partly frozen soil between K = ksat * relative conductivity and KMinFrozenSoil.
  void FrozenConductivities(std::span<double> conductivities, std::span<const double> liquid_fractions,
                            std::span<const double> water_contents,
                            std::span<const double> reference_water_contents) const;

  // --- fields --------------------------------------------------------------------------
  int method = 0;  // 0 parameter block, 1 one-line entry
  double FCap = 0;
  double mSB = 0;
  double storageRange = 0;  // (mSB - FCap) * 0.01
  double ksat_topmodel = 0;
  double suction = 0;
  int conductivityTableSize = 0;
  int retentionTableSize = 0;
  int layerCount = 0;
  int horizonCount = 0;
  std::vector<int> layersPerHorizon;  // entry h: layers of horizon h; entry 0: layerCount

  // Hydraulic tables, one row of 31 entries per layer 0..layerCount.
  LayerTables thetaTable;
  LayerTables conductivityTable;
  LayerTables retentionTable;
  LayerTables suctionSteps;
  std::vector<double> fieldCapacity;  // water content at field capacity per layer 0..layerCount

  // Per-layer arrays (entries 0..layerCount).
  std::vector<double> ksat;       // saturated hydraulic conductivity
  std::vector<double> thickness;  // m
  std::vector<double> theta_sat;
  std::vector<double> theta_res;
  std::vector<double> Par_n;
  std::vector<double> Par_m;
  std::vector<double> alpha;
  std::vector<double> Par_tau;
  std::vector<double> k_recession;

  double kReduction = 0;
  double maxratio = 0;
  double EvapMaxDepth = 0.1;  // m
  double MaxInterflowDepth = 0;  // m
  double ThicknessScaling = 0;
  double totalDepth = 0;  // m
  double PMacroThresh = 1.0;
  double MacroCapacity = 0;
  double MacroDepth = 0;
  double CapacityRedu = 1.0;
  double sand = 0.3333;
  double silt = 0.3333;
  double clay = 0.3334;
  double stones1 = 0;
  double stones2 = 0;
  double stones3 = 0;
  double stones4 = 0;
  double SU_PAR00 = 0, SU_PAR01 = 0, SU_PAR02 = 0, SU_PAR03 = 0, SU_PAR04 = 0, SU_PAR05 = 0, SU_PAR06 = 0,
         SU_PAR07 = 0, SU_PAR08 = 0, SU_PAR09 = 0, SU_PAR10 = 0;
  std::vector<double> DryHeatCapacity;    // -1: not given
  std::vector<double> DryDensity;         // -1: not given
  std::vector<double> DryThermalConduct;  // -1: not given
  double KMinFrozenSoil = -1;             // -1: not given
  double logKMinFrozenSoil = -20.0;
  double freezingTmin = -10.0;  // °C
  double heatConductionCache1 = -1;
  double heatConductionCache2 = -1;
  int freezingSteps = 1000;

  // Freezing tables, one row of freezingSteps+1 entries per layer 0..layerCount.
  LayerTables liquidFractionTable;
  LayerTables liquidFractionSlopeTable;
  LayerTables freezingShiftTable;

 private:
  void ParseBlockBody(DiagnosticsLog& log, std::string_view block_text, std::string_view searched);
  int ReadHorizonLayers(std::string_view searched);
  void AllocateLayerArrays();
  void BuildLayerTables();
  void ReduceConductivityWithDepth();
};

// Entry 0 is the header (its code holds the number of soil types), entries 1..N the types.
using SoilTable = std::vector<SoilRecord>;

// Reads "[soil_table]" from the reader's open control file: the section is required
// (17 without it), then the count N and N entries, each a parameter block (a line
// containing "MultipleHorizons", "method" or "{" begins one) or a one-line entry.
// Called by the control-file reader in its stage 4.
SoilTable ReadSoilTable(modelobject& reader);

}  // namespace tolvo
