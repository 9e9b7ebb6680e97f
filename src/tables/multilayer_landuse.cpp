#include "tables/multilayer_landuse.h"

#include <string>

#include "framework/error_code.h"
#include "framework/modelobject.h"
#include "tables/parameter_block.h"

namespace tolvo {

namespace {

constexpr std::string_view kLayersKey = "Landuse_Layers";

[[noreturn]] void SectionFailure(DiagnosticsLog& log, const std::string& text) {
  log << "FATAL: multilayer_landuse_table: " << text << "[end-entry]";
  RaiseError(kMultilayerEntryCode);
}

[[noreturn]] void NoLayersKey(DiagnosticsLog& log, std::string_view entry_text) {
  log << "FATAL: multiple landuse table: parameter Landuse_Layers not found " << std::string(entry_text)
      << "[end-entry]";
  RaiseError(kMultilayerNoLayers);
}

}  // namespace

void MultilayerLanduseRecord::ParseBlock(DiagnosticsLog& log, std::string_view block_text) {
  try {
    if (!HasKey(block_text, kLayersKey)) NoLayersKey(log, block_text);
    const BlockHead head = ReadBlockHead(block_text);
    SetCode(head.code);
    SetName(head.name);
    codeAsRead = head.code;
    std::vector<int> codes = ReadBlockIntegerList(block_text, kLayersKey);
    if (codes[0] < 1) throw BlockReadFailure{"parameter \"Landuse_Layers\" lists no land-use code"};
    layers = codes[0];
    layerCodesAsRead = codes;
    layerCodes = std::move(codes);
    k_extinct = HasKey(block_text, "k_extinct") ? ReadBlockValue(block_text, "k_extinct") : 0.3;
    LAI_scale = HasKey(block_text, "LAI_scale") ? ReadBlockValue(block_text, "LAI_scale") : 10.0;
    return;
  } catch (const BlockReadFailure& failure) {
    if (!failure.detail.empty()) {
      log << "FATAL: multilayer_landuse_table code " << GetCode() << ": " << failure.detail << "[end-entry]";
    }
  } catch (const ErrorCode&) {
  }
  log << "FATAL: multilayer_landuse_table code " << GetCode() << ": some parameters could not be read\n"
      << std::string(block_text) << "[end-entry]";
  RaiseError(kMultilayerEntryCode);
}

MultilayerLanduseTable::MultilayerLanduseTable(int n) {
  records_.reserve(static_cast<std::size_t>(n) + 1);
  records_.emplace_back(n);
  for (int j = 1; j <= n; ++j) records_.emplace_back(j);
}

MultilayerLanduseTable MultilayerLanduseTable::Announced(int n) {
  MultilayerLanduseTable table(0);
  table.records_[0] = MultilayerLanduseRecord(n);
  return table;
}

std::optional<MultilayerLanduseTable> ReadMultilayerLanduse(modelobject& reader) {
  DiagnosticsLog& log = reader.log();
  if (!reader.FindSection("[multilayer_landuse]", false)) return std::nullopt;
  int n = 0;
  reader.ReadItem(n, "number of multilayer landuse types in [multilayer_landuse] ");
  if (n < 1) {
    // The model takes its number of land-use layers from the first entry.
    SectionFailure(log, "the section [multilayer_landuse] must hold at least one entry, its count is " +
                            std::to_string(n));
  }

  MultilayerLanduseTable table = MultilayerLanduseTable::Announced(n);
  ControlFileStream& file = reader.control_file();
  for (int j = 1; j <= n; ++j) {
    const std::optional<std::string> line = ReadControlLine(file);
    if (!line) {
      SectionFailure(log, "the control file ends before entry " + std::to_string(j) + " of " + std::to_string(n));
    }
    table.AppendEntry();
    if (line->find(kLayersKey) == std::string::npos) NoLayersKey(log, *line + "\n");
    const std::optional<std::string> block = CollectBlockText(file, *line);
    if (!block) {
      SectionFailure(log, "the control file ends inside entry " + std::to_string(j) + " (no \"}\" after \"" + *line +
                              "\")");
    }
    table[j].ParseBlock(log, *block);
    if (j >= 2 && table[j].GetLayers() != table[j - 1].GetLayers()) {
      log << "FATAL: \nThe numbers of landuse layers has to be equal for all multilayer-landuse types\n"
          << "(here: multilayer-landuse type " << table[j].GetCode() << ": " << table[j].GetLayers()
          << " layers, but multilayer-landuse type " << table[j - 1].GetCode() << ": " << table[j - 1].GetLayers()
          << " layers)\n\n"
          << "[end-entry]";
      RaiseError(kMultilayerLayerCount);
    }
  }
  return table;
}

}  // namespace tolvo
