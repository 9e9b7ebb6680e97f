#pragma once
// Glaciers of the dynamic glacier methods as records: per glacier code its area and
// volume tied by the volume-area relation V = c A^gamma (Chen & Ohmura 1990; c 28.5,
// gamma 1.36 by default), its elevation range split into bands, and per band the cells
// whose glacier fraction may change when the glacier grows or shrinks. The lowest band
// takes the largest share of a change.
//
// Units: areas in km2, volumes in 10^6 m3, elevations in the elevation model's unit, the
// cell size in m. Bands refer to their cells by row and column of the grids
// "GlacierizedCells" (fraction) and "GlacierCodes" (code), which a distribution changes.
// Everything here runs on process 0 on grids that hold every row.

#include <map>
#include <vector>

#include "framework/matrix.h"

namespace tolvo {

// Fraction and code grids a band distributes over.
struct GlacierCellGridViews {
  GridView fraction;  // "GlacierizedCells"
  GridView codes;     // "GlacierCodes"
};

class GlacierBand {
 public:
  GlacierBand(double lower, double upper) : lower(lower), upper(upper), width(upper - lower) {}

  bool Contains(double z) const { return lower <= z && z < upper; }
  void AddCell(int r, int c);
  void Clear();
  // Cells that can change in direction x (> 0 growing: fraction below 1; < 0 shrinking:
  // fraction above 0; 0: none). Every other cell is marked and stays marked until Clear.
  long CountChangeable(ConstGridView fraction, double x);
  // Spreads N_u F over the N_u unmarked cells in up to 5 passes; a cell leaving the glacier
  // gets fraction 0 and code -9999, a growing one stops at 1. Returns the unplaced part.
  double Distribute(const GlacierCellGridViews& g, double F) const;

  struct Cell {
    int r = 0, c = 0;
    int mark = 0;  // 1: cannot change in the current direction
  };
  double lower = 0, upper = 0, width = 0;
  long cell_count = 0;
  std::vector<Cell> cells;  // in the order they were added
};

class GlacierRecord {
 public:
  GlacierRecord() = default;
  GlacierRecord(int code, int numElevBands, int extraWeightFactorBand0, int subbasin, double c, double gamma,
                double volume, double area, double cell_size);

  // Counts a cell of fraction f at elevation z; the first cell sets the elevation range,
  // later ones widen it only when `widen_range` is set. Returns the new cell count.
  long AddCell(bool widen_range, double fraction, double z, double cell_area_m2);
  double AddVolume(double x) { return volume += x; }
  double AddReferenceVolume(double x) { return reference_volume += x; }
  double VolumeFromArea();
  double AreaFromVolume();
  double ReferenceAreaFromVolume();
  // Cells to add (negative: to remove) for the area change since the last evaluation.
  double ComputeCellsToAdd();
  double GetCellsToAdd() const { return cells_to_add; }
  // Forgets the counted cells and the elevation range before a recount.
  void ResetCount();

  void BuildBands();
  void ClearBands();
  void AddCellToBand(int r, int c, double z);
  long CountChangeableCells(ConstGridView fraction, double x);
  // Share of one cell per distribution call so that all calls of a balance place x (or
  // the cells to add when `use_x` is false).
  double FractionPerCall(ConstGridView fraction, bool use_x, double x);
  // Distributes F over bands 0..m, band 0 extraWeightFactorBand0 more times.
  double DistributeOverBands(const GlacierCellGridViews& g, int m, double F) const;
  void ReleaseBands() { bands.clear(); }

  static constexpr double kNoElevation = 10000;  // minimum elevation of a record without cells
  static constexpr double kMinimumArea = 0.0543;  // km2, smallest glacier by volume
  static constexpr double kMinimumStartArea = 0.01;

  int code = 0;
  double cell_size = 100;
  long cell_count = 0;
  double area = 0, volume = 0;
  double reference_area = 0, reference_volume = 0;
  double VAscaling = 28.5, VAexponent = 1.36;
  double min_elevation = kNoElevation, max_elevation = -kNoElevation;
  int numElevBands = 1;
  double cells_to_add = 0;
  double remainder = 0;
  long changeable_count = 0;
  int extraWeightFactorBand0 = 0;
  int subbasin = 0;
  double lost_mass_balance = 0, old_fraction_sum = 0, fraction_sum = 0, mass_balance_correction = 0;
  std::vector<GlacierBand> bands;  // lowest first
};

// The glaciers in order of creation and the index of every glacier code.
struct GlacierList {
  std::vector<GlacierRecord> records;
  std::map<int, std::size_t> index;

  bool Mapped(int code) const { return index.contains(code); }
  GlacierRecord& operator[](int code) { return records[index.at(code)]; }
  GlacierRecord& Add(const GlacierRecord& record) {
    index[record.code] = records.size();
    records.push_back(record);
    return records.back();
  }
  int LargestCode() const { return index.empty() ? 0 : index.rbegin()->first; }
  void Clear() {
    records.clear();
    index.clear();
  }
};

}  // namespace tolvo
