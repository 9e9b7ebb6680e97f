#pragma once
// The grid list of a meteorological input that reads ready grids: the five header lines of
// a station data file (the first column's altitude, x and y place GIF images: cell size
// and the reference pixel's map coordinates), then one row per date: year, month, day,
// hour, the additional columns' words and one word, the file name of the grid for that
// date or "-9999" for the last valid grid again. The rest of a row is skipped.
//
// The list stays open from its first advance until the end date or the end of the list
// is reached, or until a rewind.

#include <string>

#include "meteo/meteo_text_file.h"
#include "meteo/station_file.h"

namespace tolvo {

struct GridListState {
  std::string grid_name;  // of the current row
  ModelDate date;         // of the current row
  MeteoTextFile list;     // open between advances
  LinePosition position;  // where the next advance reads
  LinePosition start_row;
  LinePosition saved_start_row;
};

// Positions the list (named by the header slot) on the start date and takes the start
// row's grid name. Failures: 49 (cannot be opened, a row that cannot be read), 50, 51.
void SeekGridListStart(const MeteoFileContext& context, const StationFileState& header, GridListState& list);
// Makes the next row current; sets end_of_data (and closes the list) when its date has
// reached end_key, or when no further row can be read. Failures: 49.
void NextGridListRecord(const MeteoFileContext& context, const StationFileState& header, GridListState& list,
                        long long end_key, bool& end_of_data);
// Back to the start row: the next advance reopens the list there.
void RewindGridList(GridListState& list, const ModelDate& start);

}  // namespace tolvo
