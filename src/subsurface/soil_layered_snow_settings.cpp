#include "subsurface/soil_layered_snow_settings.h"

#include <optional>
#include <string>

#include "framework/error_code.h"
#include "framework/modelobject.h"
#include "subsurface/soil_start_state.h"
#include "tables/parameter_block.h"

namespace tolvo {

void ReadLayeredSnowItems(modelobject& reader, LayeredSnowSettings& s) {
  reader.ReadItem(s.method, " method of layered snow model ");
  reader.ReadItem(s.max_density, " dLayeredSnowMaxDensity");
  reader.ReadItem(s.unused, " parameter of line 4 of [LayeredSnowModel]");
  reader.ReadItem(s.t_offset_fresh_snow, " dTOffsetFreshSnow");
  reader.ReadItem(s.drainage_density_snow, " dDrainageDensitiySnow");
  reader.ReadItem(s.holding_capacity, " dWaterHoldingCapacity");
  reader.ReadItem(s.se_effectiveness, " dSEeffectiveness");
  reader.ReadItem(s.se_effectiveness_soil, " dSEeffectivenessSoil");
  static constexpr std::array<std::string_view, kSnowOutputCount> kNames{
      "SWES-stack", "SWEL-stack", "temperSnow-stack", "thetaSnow-stack", "hhydSnow-stack",
      "hgeoSnow-stack", "quSnow-stack", "thickSnow-stack", "densSnow-stack", "upperIndexSnow_grid"};
  static constexpr std::array<std::string_view, kSnowOutputCount> kCodes{
      "swes-stack", "swel-stack", "temperSnow-stack", "thetaSnow-stack", "hhydSnow-stack",
      "hgeoSnow-stack", "quSnow-stack", "thickSnow-stack", "densSnow-stack", "upperIndexSnow_writegrid"};
  for (std::size_t k = 0; k < kNames.size(); ++k) {
    OutputGridSetting& out = s.outputs[k];
    reader.ReadItem(out.name, "name of the " + std::string(kNames[k]) + " in ", 1200);
    reader.ReadItem(out.write_code, "Writecode " + std::string(kCodes[k]) + " in ");
  }
}

SoilTable ReadLayeredSnowProperties(modelobject& reader, const HeatTransferSettings& heat) {
  DiagnosticsLog& log = reader.log();
  reader.FindSection("[LayeredSnowProperties]", true);
  int count = 0;
  reader.ReadItem(count, "[LayeredSnowProperties]: number of snow types");
  SoilTable table;
  table.emplace_back(count);
  ControlFileStream& file = reader.control_file();
  for (int j = 1; j <= count; ++j) {
    const std::optional<std::string> line = ReadControlLine(file);
    const bool block = line && (line->find("MultipleHorizons") != std::string::npos ||
                                line->find("method") != std::string::npos || line->find('{') != std::string::npos);
    const std::optional<std::string> text = block ? CollectBlockText(file, *line) : std::nullopt;
    if (!text) {
      log << "FATAL: entries in [LayeredSnowProperties] must use the MultipleHorizons syntax, i.e. no very-old-style "
             "soil table entries are allowed here\n\n"
          << "[end-entry]";
      RaiseError(kSoilTableError);
    }
    SoilRecord& record = table.emplace_back(j);
    record.ParseBlock(log, *text);
    if (j >= 2) {
      const SoilRecord& previous = table[static_cast<std::size_t>(j - 1)];
      if (record.layerCount != previous.layerCount) {
        log << "FATAL: the numbers of snow layers has to be equal for all snow types\n(here: snow type "
            << record.GetCode() << ": " << record.layerCount << " layers, but snow type " << previous.GetCode() << ": "
            << previous.layerCount << " layers)\n\n"
            << "[end-entry]";
        RaiseError(kSoilTableError);
      }
    }
  }
  for (std::size_t j = 1; j < table.size(); ++j) PrepareSoilForHeat(table[j], heat);
  if (table.size() > 1) table[0].layerCount = table[1].layerCount;
  return table;
}

}  // namespace tolvo
