#pragma once
// Zone ranking: the zone grid divides the domain into zones identified by integer codes
// that the user chooses (0 to 32767). The ranking turns them into dense indices 1..n in
// ascending code order, builds the zone table with the cell count and area share of every
// zone, and records for every row the first and last column that hold a zone cell.
// Process 0 does the work from the zone grid and hands the results to every process; the
// others keep the column ranges of their own rows only. The set-up ranks the zone grid of
// the run with it, a sub-model the zone grid of its own (teilmodellklasse::RankZones).
//
// Both passes over the grid, the one that finds the codes and the one that sums the
// cells, visit the same cells: every row, every column.

#include <span>
#include <string>
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

// The soil model's ranking of the sub-basins of "zonegrid_soilmodel": the sub-models
// that number sub-basins (irrigation, groundwater, discharge routing) receive it through
// the application, so that all number the sub-basins alike.
using SoilSubbasinTable = ZoneRanking;

// The caller's texts: the line written when the ranking starts, and the FATAL texts
// (after "FATAL: ") written when its zone grid cannot be ranked.
struct ZoneRankingMessages {
  std::string ranking;         // "ranking zones from <file> for <ranking object>"
  std::string invalid_code;    // a code outside 0..32767 (fails with 3)
  std::string too_many_zones;  // more than 16000 zones (fails with 4)
  std::string no_zone_cell;    // no zone cell, or a zero sum of weights (fails with 7)
};

// Collective. `zone` is the zone grid, read on process 0 (the other processes pass an
// empty view); `zone_file_name` names it in the messages. With an empty `weights` view
// every cell weighs 1, otherwise its value in that grid. Geometry and nodata come from the
// reader. Process 0 writes the ranking line of `messages` and ranks; it fails with 3 (a
// code outside 0..32767), 4 (more than 16000 zones) or 7 (no zone cell, or a zero sum of
// weights), each after its FATAL text of `messages`, and with 3 after a FATAL entry naming
// the cell should the summing pass meet a code that was not ranked. Process 0's verdict
// reaches every process, so all fail with the same code and none waits for tables that
// do not come.
ZoneRanking RankZoneGrid(modelobject& reader, ConstGridView zone, std::string_view zone_file_name,
                         ConstGridView weights, RowRange own_rows, const ZoneRankingMessages& messages);
// The same with the texts of the run's zone grid, ranked for the reader.
ZoneRanking RankZoneGrid(modelobject& reader, ConstGridView zone, std::string_view zone_file_name,
                         ConstGridView weights, RowRange own_rows);

}  // namespace tolvo
