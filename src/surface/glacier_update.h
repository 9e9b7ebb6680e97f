#pragma once
// Glacier outflow and the end of the glacier year.
//
// The melt of ice, firn and snow on the glaciers of a sub-basin leaves through three
// linear storages (outflow in mm per step over the glacier area). On the evaluation date
// of the glacier year, snow above the largest snow pack a cell keeps turns into glacier:
// on glacier cells it joins the glacier's snow, which becomes the newest firn level; a
// cell without glacier whose pack exceeds that limit becomes a new glacier cell.

#include <span>
#include <vector>

#include "framework/date.h"
#include "framework/matrix.h"
#include "framework/zone_record.h"
#include "setup/glacier_subbasins.h"

namespace tolvo {

// Outflow of a linear storage with recession constant k (steps) after one step of input
// q: Q exp(-1/k) + (1 - exp(-1/k)) q.
double GlacierStorageOutflow(double Q, double k, double q);

// The three linear storages of every sub-basin, index 1..n: outflow in mm per step over
// the glacier area, and the recession constants in steps.
struct GlacierStorages {
  std::span<double> ice, firn, snow;
  double kice = 1, kfirn = 1, ksnow = 1;
};

// The step's melt of a sub-basin's glacier statistics (records 1..n of the ice, firn and
// snow-on-ice tables after their step was reduced) through the linear storages. For each
// sub-basin with glaciers the storages take the mean melt over the glacierised share;
// record j of `total` gets the sub-basin's glacier outflow (0 without glaciers) and, where
// `water` is not empty, water[j] := the outflow in mm per step over the sub-basin. Entries
// of sub-basins without glaciers stay as they are.
void GlacierOutflowStep(std::span<const ZoneRecord> ice, std::span<const ZoneRecord> firn,
                        std::span<const ZoneRecord> snow, std::span<const GlacierSubbasinRecord> subbasins,
                        const GlacierStorages& storages, std::span<ZoneRecord> total, std::span<double> water);

// Whether the step of `date` ends the evaluation day (month, day) of the glacier year:
// (time step + minutes from the data hour to the step end) / 60 + hour > 24.001.
bool EndsGlacierEvaluationDay(const ModelDate& date, int month, int day, double dt_min, double min_to_int_end);

// Grids of one cell at the end of the glacier year; the snow stores in mm.
struct GlacierYearEndGrids {
  GridView fraction, codes, fraction_old, codes_old, mass_balance, old_mass_balance;
  GridView firn_total;
  StackView firn;                  // levels 1..L, newest in level 1; level 0 the total
  GridView total, solid, liquid;   // the ordinary store
  GridView total_g, solid_g, liquid_g;  // the snow on the glacier
};

struct GlacierYearEndSettings {
  double maxSnowPackToCreateGlacier = 1000;  // mm
  double relSizeNewGlacier = 0.25;
  double nodata = -9999;
};

// What the end of the year did in a cell.
struct GlacierYearEnd {
  double moved = 0;           // mm taken from the ordinary store into the glacier
  bool new_glacier = false;   // the cell became a glacier cell
};

// The end of the glacier year in cell (r, c).
GlacierYearEnd EndGlacierYearInCell(const GlacierYearEndGrids& g, const GlacierYearEndSettings& s, int r, int c);

}  // namespace tolvo
