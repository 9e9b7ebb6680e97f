#pragma once
// Dynamic phenology: the daily advance of the per-cell state that moves the vegetation
// season of land uses with the methods DynamicPhenology_1 to _4 with the weather of each
// cell.
//
// State per land-use layer and cell (grids of the land-use parameter set-up):
// - forcing sum F ("SumOfForcingUnits"): forcing units (sigmoid models) or degree days
//   (DynamicPhenology_3 and _4), accumulated from the end of dormancy;
// - phenology start PS ("Pheno_start"): day of year on which the season began, -1 while
//   it has not;
// - chilling sum CS ("SumOfChillingUnits"): chilling units (DynamicPhenology_2) or a
//   count of cold days (DynamicPhenology_4) of the dormancy;
// - forcing threshold F* ("FStar_ForcingThreshold") of the cell, made from the chilling
//   sum (DynamicPhenology_2 and _4);
// - fixpoint days q[0..L] ("MultipleStartTimes", a stack of L + 1 levels): the cell's own
//   fixpoint days (DynamicPhenology_3 and _4), -1 while a fixpoint is not reached and
//   nodata above the entry's count; q[0] holds, for DynamicPhenology_3, the forcing
//   threshold of the fixpoint reached last.
// One grid per cell: the leaf-fall start LF ("StartDayOfLeaveFall"), and the count of
// consecutive cold days (level 0 of the 7-day mean temperature stack).
//
// Every index into a cell's fixpoint days stays within 1..L of its stack, and every
// index into an entry's tables within 1..count. Days are days of the year (1..366),
// temperatures °C.

#include <span>
#include <vector>

#include "framework/grid_distribution.h"
#include "framework/matrix.h"
#include "tables/landuse_table.h"

namespace tolvo {

// Forcing rate of the sigmoid models (forcing units per day) for the day's mean
// temperature t and the base temperature t_base: 28.4 / (1 + exp(-0.185 ((t - t_base)
// - 18.4))) above the base, 0 at or below it (the sigmoid forcing rate of the bud-burst
// models, Hänninen 1990, Chuine 2000).
double SigmoidForcingRate(double t, double t_base);

// Chilling units of one day (DynamicPhenology_2): a triangle that rises from 0 at
// `lower` to 1 at `optimum` and falls back to 0 at `upper`; 0 outside (lower, upper).
double TriangularChillingRate(double t, double lower, double optimum, double upper);

// The factor on every addition to the forcing sum: 1 + s * stress_factor when the
// stress factor is above 0, else 1. s = (theta - h_redu_dry) / (150 - h_redu_dry) when
// the root-zone moisture theta is known (has_theta) and at least h_redu_dry, else 0; s is
// also 0 when h_redu_dry is 150, where the term has no range to scale over.
double ForcingStressFactor(bool has_theta, double theta, double h_redu_dry, double stress_factor);

// The state of one cell in one land-use layer, bound to the grids.
struct PhenologyCell {
  double& forcing_sum;        // F
  double& start_day;          // PS
  double& chilling_sum;       // CS
  double& forcing_threshold;  // F*
  double& leaf_fall_start;    // LF (shared by the layers of the cell)
  double& cold_days;          // consecutive days below DP4_T_xylstop (shared by the layers)
  std::span<double> q;        // fixpoint days, levels 0..L; empty without the stack
};

// The day's weather of a cell.
struct PhenologyWeather {
  double temperature = 0;         // daily mean air temperature, °C
  double mean_temperature_7d = 0;  // mean of the last up to 7 daily means, °C
  double forcing_factor = 1;       // ForcingStressFactor of the cell and entry
};

// One day of the four models for entry `e` and day of year d.
void DynamicPhenology1Day(const LanduseRecord& e, int d, const PhenologyWeather& w, const PhenologyCell& cell);
void DynamicPhenology2Day(const LanduseRecord& e, int d, const PhenologyWeather& w, const PhenologyCell& cell);
void DynamicPhenology3Day(const LanduseRecord& e, int d, const PhenologyWeather& w, const PhenologyCell& cell);
void DynamicPhenology4Day(const LanduseRecord& e, int d, const PhenologyWeather& w, const PhenologyCell& cell);

// The model of the entry: DynamicPhenology_1 for method 3 and for every entry whose
// phenology flag is still set (DynamicPhenology_2 and _4 until their first dormancy
// day), otherwise the entry's own model; nothing for methods without dynamic phenology.
void AdvancePhenologyCell(const LanduseRecord& e, int d, const PhenologyWeather& w, const PhenologyCell& cell);

// DynamicPhenology_2 entries leave the DynamicPhenology_1 model on DP2_t0_dorm,
// DynamicPhenology_4 entries on DP4_t0_dorm.
void ClearPhenologyFlags(LanduseTable& table, int d);

// The current fixpoint of a cell's days for day d: 1 when d <= q[1] or q[1] <= 0;
// otherwise it advances over the levels that are not nodata and stops at the first one
// with d <= q[l] or q[l] <= 0. L + 1 when every level of the stack lies before d (a level
// the caller must not touch); 0 for a stack without level 1.
int CurrentFixpoint(std::span<const double> q, int d);

// The land-use table index that a cell of a layer code grid holds: its integer part when
// that lies in 1..n_entries, else 0 (nodata, or a value that is no table index).
int LanduseTableIndex(double code, int n_entries);

// The state grids of one layer; the fixpoint-day stack is empty when no entry uses
// per-cell fixpoint days.
struct PhenologyLayerGrids {
  GridView forcing_sum;        // "SumOfForcingUnits<k>"
  GridView start_day;          // "Pheno_start<k>"
  GridView chilling_sum;       // "SumOfChillingUnits<k>"
  GridView forcing_threshold;  // "FStar_ForcingThreshold<k>"
  StackView fixpoint_days;     // "MultipleStartTimes<k>"
};

// What one daily update reads and writes.
struct PhenologyGrids {
  RowRange rows;                              // the process's rows
  std::span<const ColumnRange> column_ranges;  // per row (index 0 unused); empty: all columns
  int ncols = 0;
  ConstGridView zone;                          // cells above nodata take part
  std::span<const ConstGridView> layer_codes;  // land-use table index per cell; element k-1 = layer k
  std::span<const PhenologyLayerGrids> layers;  // element k-1 = layer k
  ConstGridView temperature_avg;      // "TemperatureAVG": the day's mean temperature
  ConstGridView mean_theta;           // "MeanThetaInRootZone"; empty when absent
  ConstGridView temperature_movavg7;  // "TemperatureMOVAVG7"
  StackView movavg7_stack;            // its stack: level 0 the cold-day counter
  GridView leaf_fall_start;           // "StartDayOfLeaveFall"
};

// The daily phenology update (day of year d): clears the flags of the entries that enter
// dormancy, then advances every cell of the process's rows whose zone value is above
// nodata, in every layer whose land-use index is a table index (other values skip the
// layer). Cells of other processes in these rows are advanced too and never used.
void UpdateDynamicPhenology(LanduseTable& table, const PhenologyGrids& grids, int d);

}  // namespace tolvo
