#pragma once
// The land-use parameters of one cell for a date: the evaluation shared by the set-up of
// the parameter grids (start date) and their daily update, and their limits.
//
// The evaluation neither logs nor throws, so that the daily update runs its cells in
// parallel: it stops at the first failure of a cell and hands it back as a CellFailure,
// which the caller reports (RaiseCellFailure) once outside the parallel loop.

#include "framework/diagnostics_log.h"
#include "tables/landuse_parameter_grids.h"

namespace tolvo {

// A date with its day of year by the Gregorian calendar of its own year.
struct ParameterDate {
  int day = 0;
  int month = 0;
  int year = 0;
  int day_of_year = 0;
};

// The date with its day of year; a date outside the calendar fails with 150.
ParameterDate MakeParameterDate(int day, int month, int year);
// The day after the given one, across month and year ends.
ParameterDate NextParameterDate(int day, int month, int year);

// The seasonal parameters of layer k whose bits are set in the entry's parameter flags,
// in this order: 0x40 root depth, 0x10 LAI, 0x20 VCF, 4 canopy resistance, 8 interception
// resistance, 0x80 roughness length; for cell (r, c) at altitude z (m). A cleared bit
// leaves the grid value as it is. Stops at the first failure and returns it.
CellFailure SeasonalLayerParameters(const LanduseRecord& e, const ParameterDate& date, int k, int r, int c, double z,
                                    const LanduseLayerGrids& g);

// Layer 1's surface parameters: bit 1 the albedo of snow-free ground, bit 2 the soil
// evaporation resistance. Stops at the first failure and returns it.
CellFailure SurfaceParameters(const LanduseRecord& e, const ParameterDate& date, int r, int c, double z,
                              GridView albedo, GridView evaporation_resistance);

// The failure of a date operation of entry e for layer k of cell (r, c) at altitude z (m).
CellFailure OperationFailure(const LanduseRecord& e, const LanduseValue& failed, const ParameterDate& date, int k,
                             int r, int c, double z, bool root_depth = false);

// How the roughness length is kept positive: the set-up raises every value below 0.01,
// the daily update only values of 0 or below.
enum class RoughnessLimit { BelowMinimum, ZeroOrBelow };

// Limits of the parameters of a layer: root depth at least 0.01 m, vegetation cover
// within 0..1, LAI and both canopy resistances not below 0, the roughness length by
// `roughness`; with an evaporation-resistance grid (layer 1) that too not below 0.
void LimitLayerParameters(const LanduseLayerGrids& g, int r, int c, RoughnessLimit roughness,
                          GridView evaporation_resistance = {});

// Logs that a layer code of an own cell is no land-use table index and fails with 31.
[[noreturn]] void BadLanduseIndex(modelobject& reader, double code, int k, int r, int c, int n_entries);

// Serial code only: writes the entries of a cell's failure and raises its code.
[[noreturn]] void RaiseCellFailure(modelobject& reader, const CellFailure& failure, int n_entries);

// Fails with 12 after its FATAL entry when the grid has no values or does not hold every
// one of `rows`.
template <typename View>
void RequireRows(modelobject& reader, const View& grid, const std::string& identifier, RowRange rows);

}  // namespace tolvo
