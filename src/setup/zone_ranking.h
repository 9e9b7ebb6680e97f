#pragma once
// Zone ranking: the zone grid divides the domain into zones identified by integer codes
// that the user chooses (0 to 32767). The ranking turns them into dense indices 1..n in
// ascending code order, builds the zone table with the cell count and area share of every
// zone, and records for every row the first and last column that hold a zone cell.
// Process 0 does the work from the zone grid and hands the results to every process; the
// others keep the column ranges of their own rows only.

#include <span>
#include <string_view>
#include <vector>

#include "framework/grid_distribution.h"
#include "framework/matrix.h"
#include "framework/zone_record.h"

namespace tolvo {

class modelobject;

inline constexpr int kLargestZoneCode = 32767;
inline constexpr int kMaxZones = 16000;

struct ZoneRanking {
  int zone_count = 0;
  int largest_code = 0;
  // Zone code -> dense index (0 for a code that does not occur); entries 0..largest_code.
  std::vector<int> code_index;
  // Entries 0..zone_count. Record k >= 1: n and RelCellSum the sum of the cell weights,
  // sx the number of cells, zonenwert the code (as the grid value), rel the share of n in
  // the sum over all zones. Record 0: rel the total area in km2 (sum of weights x
  // cellsize^2 / 10^6), everything else 0.
  std::vector<ZoneRecord> zones;
  // Entries 0..nrows (0 unused): first and last zone column of every row; {0, -1} for a
  // row without zone cells, and on processes other than 0 for every row outside own_rows.
  std::vector<ColumnRange> column_ranges;
};

// Collective. `zone` is the zone grid, read on process 0 (the other processes pass an
// empty view); `zone_file_name` names it in the messages. With an empty `weights` view
// every cell weighs 1, otherwise its value in that grid. Geometry and nodata come from the
// reader. Fails on process 0 with 3 (a code outside 0..32767), 4 (more than 16000 zones)
// or 7 (no zone cell, or a zero sum of weights), each after its FATAL entry.
ZoneRanking RankZoneGrid(modelobject& reader, ConstGridView zone, std::string_view zone_file_name,
                         ConstGridView weights, RowRange own_rows);

}  // namespace tolvo
