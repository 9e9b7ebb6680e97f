#pragma once
// Per sub-basin whether it holds glacier cells and its glacierised and non-glacierised
// area in cells (a cell with glacier fraction f counts f to the first and 1 - f to the
// second). The snow model and the soil model both make these records from the sub-basin
// table of "zonegrid_soilmodel"; records are indexed 0..number of sub-basins (index 0
// unused, all false and 0).

#include <vector>

#include "framework/matrix.h"
#include "framework/run_context.h"
#include "framework/zone_ranking.h"

namespace tolvo {

struct GlacierSubbasinRecord {
  bool hasGlacier = false;
  double glacierArea = 0;     // cells
  double nonGlacierArea = 0;  // cells
};

// Collective. Process 0 counts every cell of the rows it holds of both grids whose zone
// value is not nodata (the glacier fraction limited to 0..1), then all meet at a barrier
// and process 0 broadcasts the records; the other processes pass empty views.
std::vector<GlacierSubbasinRecord> CountGlacierSubbasins(const RunContext& run, ConstGridView zone,
                                                         ConstGridView glacier, const SoilSubbasinTable& subbasins);

}  // namespace tolvo
