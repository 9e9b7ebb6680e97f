#include "setup/landuse_layer_grids.h"

#include <algorithm>
#include <string>

#include "framework/error_code.h"
#include "framework/grid_distribution.h"
#include "framework/grid_table.h"
#include "framework/halo_exchange.h"
#include "framework/modelobject.h"
#include "setup/derived_grids.h"
#include "tables/multilayer_landuse.h"

namespace tolvo {

namespace {

// The cells whose layer codes this process sets: inside the zone grid and computed here.
class OwnZoneCells {
 public:
  explicit OwnZoneCells(const modelobject& reader)
      : zone_(reader.grids()->zone_grid().values), rank_(reader.rank()), nodata_(reader.geometry().nodata_value) {
    if (const DomainLayout* layout = reader.domain_layout()) regions_ = layout->regions;
  }
  bool Contains(int r, int c) const {
    if (zone_.empty() || !zone_.rows().contains(r) || !(zone_(r, c) > nodata_)) return false;
    return regions_.empty() || (regions_.rows().contains(r) && regions_(r, c) == rank_);
  }

 private:
  ConstGridView zone_;
  ConstGridView regions_;
  int rank_;
  double nodata_;
};

// The land-use code of layer `layer` of the multilayer entry that the "landuse" value
// selects; nodata for a value that selects no entry.
double LayerCode(const MultilayerLanduseTable& table, double landuse, int layer, double nodata) {
  const int index = static_cast<int>(landuse);
  if (index < 1 || index > table.size()) return nodata;
  const std::span<const int> codes = table[index].GetLayerCodes();
  if (layer < 1 || static_cast<std::size_t>(layer) >= codes.size()) return nodata;
  return codes[static_cast<std::size_t>(layer)];
}

}  // namespace

void LanduseCodeLayers::MakeLanduseLayerGrids(modelobject& reader, const MultilayerLanduseTable& table,
                                              int& grid_count) {
  const int n_layers = table.layers();
  layers_.assign(static_cast<std::size_t>(n_layers) + 1, GridView{});
  const int landuse = reader.FindGrid("landuse", false);
  if (landuse == 0) return;
  grid_table& grids = *reader.grids();
  const ConstGridView codes = grids[landuse].values;
  layers_[0] = grids[landuse].values;

  // The layer grids take consecutive free entries.
  const int first = grids.TakeFreeEntries(std::max(n_layers, 1), {}, reader.log(),
                                          "no free grid found in memory (at position " +
                                              std::to_string(kLastGridIndex + 1) + ")\n");

  const GridGeometry& g = reader.geometry();
  const RowRange rows = reader.held_rows();
  const OwnZoneCells cells(reader);
  for (int j = 1; j <= n_layers; ++j) {
    const std::string name = "landuse" + std::to_string(j);
    Grid& grid = grids_.emplace_back(reader.matrix(rows.first, rows.last, 1, g.ncols, g.nrows));
    const GridView layer = grid.view();
    reader.RegisterGrid(first + j - 1, name, layer, {}, 0, name, 0, rows.first, rows.last);
    layers_[static_cast<std::size_t>(j)] = layer;
    for (int r = rows.first; r <= rows.last; ++r) {
      for (int c = 1; c <= g.ncols; ++c) {
        const bool own_cell = cells.Contains(r, c) && codes.rows().contains(r);
        layer(r, c) = own_cell ? LayerCode(table, codes(r, c), j, g.nodata_value) : g.nodata_value;
      }
    }
    ExchangeHalo(reader.context(), layer);
    ++grid_count;
  }
}

void check_ice_firn_grid(modelobject& reader) {
  const grid_table& grids = *reader.grids();
  int position = 1;
  for (; position <= kLastGridIndex; ++position) {
    const grid_entry& entry = grids[position];
    if (position > 1 && !entry.file_name) break;
    if (entry.identifier && *entry.identifier == "ice_firn") return;
  }
  reader.log() << "INFO: ice-grid not found in memory (at position " << position << ")" << "[end-entry]";
}

}  // namespace tolvo
