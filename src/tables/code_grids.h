#pragma once
// The code grids of the control file ("landuse", "irrigation_codes", "soil_types") hold
// table codes. During set-up each is checked against its table and its codes are
// replaced by table indices, so that every sub-model indexes a table directly with a
// grid value; with a multilayer land-use table the layer codes of its entries are
// checked against the land-use table and replaced by land-use indices as well.
//
// A code is the integer part of a cell value; a value that is not a whole number is
// checked and converted by that same rule (20.7 counts as code 20 and becomes its index).
// Only domain cells (zone value above nodata) are checked (irrigation: only those whose
// code is also above 0); the replacement covers every cell. Entries whose code differs
// from their index are logged as "<code> replaced by <index> ...".
//
// Every process calls each check at the same point of the set-up. Process 0, which holds
// every row of the code grid and of the zone grid, checks and replaces; the outcome
// is then shared, so that on a bad code every process raises the same error code; at last
// the grid is scattered to the owners of its rows and its halo rows are exchanged.

#include <string_view>

#include "framework/matrix.h"
#include "tables/irrigation_table.h"
#include "tables/landuse_table.h"
#include "tables/multilayer_landuse.h"
#include "tables/soil_table.h"

namespace tolvo {

class modelobject;

// A code grid of the grid table: its values (on process 0 every row 1..nrows, elsewhere
// the process's rows) with the file name and identifier that name it in messages.
struct CodeGrid {
  GridView values;
  std::string_view file_name;
  std::string_view identifier;
};

// Checks and converts "landuse": against the multilayer table when there is one (whose
// layer codes are then checked against the land-use table, converted and shared with
// every process), otherwise against the land-use table. Called in stage 13.
void check_landuse_Codes(modelobject& reader, const CodeGrid& grid, ConstGridView zone, const LanduseTable& landuse,
                         MultilayerLanduseTable* multilayer);
// Checks and converts "irrigation_codes" (stage 15, only when irrigation is on).
void check_irrig_Codes(modelobject& reader, const CodeGrid& grid, ConstGridView zone, const IrrigationTable& table);
// Checks and converts "soil_types" (stage 16).
void check_SOIL_Codes(modelobject& reader, const CodeGrid& grid, ConstGridView zone, const SoilTable& table);

}  // namespace tolvo
