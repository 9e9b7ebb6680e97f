#pragma once
// The yearly area change of the dynamic glaciers on process 0: the glacier list is built
// from the glacier codes, each glacier's volume changes by its mass balance of the year,
// its area follows from the volume-area relation, and cells of its elevation bands gain or
// lose glacier fraction (the lowest band the most) until the area matches; a glacier that
// needs more room takes in the neighbours of its full, firn-free cells. New glacier cells
// (code -1) join a neighbouring glacier of their sub-basin or start a new one. Afterwards
// the mass balance carried by the area that changed goes to the remaining glacier cells.
//
// All grids hold every row (process 0). A cell is valid when its sub-basin value is not
// nodata; scans run row by row, each row from left to right.

#include "framework/diagnostics_log.h"
#include "framework/matrix.h"
#include "surface/glacier_list.h"
#include "surface/snow_settings.h"

namespace tolvo {

struct GlacierBalanceGrids {
  GridView fraction;            // "GlacierizedCells"
  GridView codes;               // "GlacierCodes"
  GridView fraction_old;        // "GlacierizedCellsOld"
  GridView codes_old;           // "GlacierCodesOld"
  GridView mass_balance;        // "GlacierMassBalance", mm water equivalent of the glacier year
  GridView old_mass_balance;    // "OldGlacierMassBalance"
  GridView firn_total;          // the grid of "firn_WE_stack", mm
  StackView firn_stack;         // levels 0..firn_levels
  ConstGridView elevation;      // elevation model
  ConstGridView subbasin;       // "zonegrid_soilmodel"
  int nrows = 0, ncols = 0;
  double nodata = -9999;
  double cell_size = 100;       // m
};

// Settings the glacier balance uses (of "[ice_firn]").
struct GlacierBalanceSettings {
  int method = 11;
  double VAscaling = 28.5, VAexponent = 1.36;
  int numElevBands = 1, extraWeightFactorBand0 = 0;
  double relSizeNewGlacier = 0.25;
  int firn_levels = 1;

  static GlacierBalanceSettings From(const IceFirnSettings& s) {
    return {.method = s.method,
            .VAscaling = s.VAscaling,
            .VAexponent = s.VAexponent,
            .numElevBands = s.numElevBands,
            .extraWeightFactorBand0 = s.extraWeightFactorBand0,
            .relSizeNewGlacier = s.relSizeNewGlacier,
            .firn_levels = s.firn_levels};
  }
};

class GlacierBalanceModel {
 public:
  GlacierBalanceModel(GlacierList& list, const GlacierBalanceGrids& grids, const GlacierBalanceSettings& settings,
                      DiagnosticsLog& log)
      : list_(list), g_(grids), s_(settings), log_(log) {}

  // One record per glacier code above 0, its volume from its area, its bands and their
  // changeable cells. Fails with 84 after its FATAL entry when a glacier lies in two
  // sub-basins.
  void BuildGlacierList();
  // Counts the cells of the glaciers selected by `code` (-1: all) and makes new glacier
  // cells part of a glacier; `widen_range` lets every cell widen the elevation range.
  void UpdateGlacierCells(int code, bool widen_range);
  void CollectChangeableCells(int code);
  void AddGrowthCells(int code);
  // The area change of every glacier on the evaluation date.
  void GlacierBalance();
  // Hands the mass balance of the area that changed to the remaining cells of each glacier.
  void RedistributeMassBalance(int code);

  static constexpr int kMaxIterations = 31;
  static constexpr double kIceDensityFactor = 0.85;

 private:
  bool Active() const { return !g_.fraction.empty() && s_.method > 10; }
  bool Valid(int r, int c) const { return g_.subbasin(r, c) != g_.nodata; }
  bool Inside(int r, int c) const { return r >= 1 && r <= g_.nrows && c >= 1 && c <= g_.ncols; }
  double CellArea() const { return g_.cell_size * g_.cell_size; }
  double Firn(int r, int c) const { return g_.firn_total.empty() ? 0 : g_.firn_total(r, c); }
  GlacierRecord NewRecord(int code, int subbasin) const;
  // A new cell of fraction f adds its area to a glacier that has volume.
  static void GrowVolume(GlacierRecord& glacier, double f, double cell_area_m2);
  bool EdgeCell(int r, int c, double code) const;
  void SetFirn(int r, int c, double total);
  // Records may be appended by these, so they take glacier codes, not records.
  void Extend(int code, double w);
  void Recount(int code);
  void BalanceGlacier(std::size_t i);

  GlacierList& list_;
  GlacierBalanceGrids g_;
  GlacierBalanceSettings s_;
  DiagnosticsLog& log_;
};

}  // namespace tolvo
