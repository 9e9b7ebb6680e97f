#pragma once
// Land-use layer grids: with a multilayer land-use table, the grid "landuse" selects for
// every cell an entry of that table, which stacks several land uses in layers. The layer
// grids "landuse1", "landuse2", ... hold for every cell the land-use code (the land-use
// table index) of layer 1, 2, ... of its entry, so that the land-use parameters and the
// sub-models can work layer by layer. A cell outside the zone grid, or computed by another
// process, holds nodata until the halo exchange brings its owner's value.

#include <span>
#include <deque>
#include <vector>

#include "framework/matrix.h"

namespace tolvo {

class modelobject;
class MultilayerLanduseTable;

class LanduseCodeLayers {
 public:
  // Stage 13, collective: makes and registers one layer grid per layer of the table over
  // the process's rows (every row on process 0, elsewhere the own rows with their halo
  // rows), fills and halo-exchanges it, and counts each in `grid_count`. Nothing is made
  // without a grid "landuse". A full grid table fails with 12.
  void MakeLanduseLayerGrids(modelobject& reader, const MultilayerLanduseTable& table, int& grid_count);

  // Entry 0: the values of "landuse"; entry j: layer grid j. Empty before the first call
  // or without "landuse".
  std::span<const GridView> layers() const { return layers_; }
  int layer_count() const { return layers_.empty() ? 0 : static_cast<int>(layers_.size()) - 1; }

 private:
  std::vector<GridView> layers_;
  // Storage of every layer grid made, kept while the grid table may refer to it.
  std::deque<Grid> grids_;
};

// Stage 19: reports (INFO entry) when the grid "ice_firn" is not in the grid table; the
// glacier model looks it up itself.
void check_ice_firn_grid(modelobject& reader);

}  // namespace tolvo
