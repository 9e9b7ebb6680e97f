#pragma once
// Multilayer land use: the optional section [multilayer_landuse] of the control file.
// Each type stacks several land uses in layers: its code, its name, the land-use codes
// of its layers from layer 1 on, and two canopy parameters (k_extinct, LAI_scale). When
// the section is present, the grid "landuse" holds multilayer codes; all types have the
// same number of layers, which is the number of land-use layers of the model.
//
// An entry is a parameter block:
//     1 forest_grass { Landuse_Layers = 11, 3; k_extinct = 0.5; LAI_scale = 10; }
// "Landuse_Layers" is a comma-separated list; its key is searched in the whole block
// text, code and name included.

#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "framework/diagnostics_log.h"
#include "tables/table_entry.h"

namespace tolvo {

class modelobject;

class MultilayerLanduseRecord : public TableEntry {
 public:
  MultilayerLanduseRecord() = default;
  explicit MultilayerLanduseRecord(int code) : TableEntry(code) {}

  // Parses one entry from its block text. Any failure logs its entry (if any), then
  // "FATAL: multilayer_landuse_table code <code>: some parameters could not be read"
  // with the block text, and raises 110. A list without any land-use code is refused.
  void ParseBlock(DiagnosticsLog& log, std::string_view block_text);

  int GetLayers() const { return layers; }
  // Position 0 = number of layers, positions 1..layers = the layers' land-use codes
  // (land-use table indices after the code check).
  std::span<const int> GetLayerCodes() const { return layerCodes; }
  // The code check replaces the land-use code of layer l (1..layers) by its table index.
  void SetLayerCode(int l, int code) { layerCodes.at(static_cast<std::size_t>(l)) = code; }
  std::span<const int> GetLayerCodesAsRead() const { return layerCodesAsRead; }
  int GetCodeAsRead() const { return codeAsRead; }
  double GetKExtinct() const { return k_extinct; }
  double GetLAIScale() const { return LAI_scale; }

 private:
  std::vector<int> layerCodes;
  int layers = 1;
  std::vector<int> layerCodesAsRead;
  int codeAsRead = 0;
  double k_extinct = 0.3;
  double LAI_scale = 10.0;
};

class MultilayerLanduseTable {
 public:
  // A header and n entries with the codes 1..n (header code n).
  explicit MultilayerLanduseTable(int n);
  // The header of a table of n entries, without them: the reader appends each entry as it
  // reads it, so a count that the control file does not hold never asks for memory.
  static MultilayerLanduseTable Announced(int n);
  // Appends the entry with the next code and returns it.
  MultilayerLanduseRecord& AppendEntry() { return records_.emplace_back(size() + 1); }

  int size() const { return static_cast<int>(records_.size()) - 1; }
  MultilayerLanduseRecord& operator[](int j) { return records_.at(static_cast<std::size_t>(j)); }
  const MultilayerLanduseRecord& operator[](int j) const { return records_.at(static_cast<std::size_t>(j)); }
  std::span<MultilayerLanduseRecord> entries() { return std::span(records_).subspan(1); }
  std::span<const MultilayerLanduseRecord> entries() const { return std::span(records_).subspan(1); }
  // The number of land-use layers of the model: that of entry 1.
  int layers() const { return records_.at(1).GetLayers(); }

 private:
  std::vector<MultilayerLanduseRecord> records_;
};

// Reads [multilayer_landuse] from the control file that `reader` holds open (setup stage
// 3, before the land-use table). Nothing when the section is absent: every cell then has
// one land-use layer. A section without any entry is refused (110), since the model's
// layer count comes from its first entry; so are a count that is not an integer (17), a
// control file that ends early (110), an entry whose first line lacks "Landuse_Layers"
// (112), an unreadable entry (110) and an entry whose layer count differs from the one
// before it (111).
std::optional<MultilayerLanduseTable> ReadMultilayerLanduse(modelobject& reader);

}  // namespace tolvo
