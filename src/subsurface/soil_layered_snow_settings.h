#pragma once
// Settings of "[LayeredSnowModel]" and the snow types of "[LayeredSnowProperties]": the
// layered snow pack that the soil model carries on top of its columns.

#include <array>
#include <string_view>

#include "subsurface/soil_settings.h"
#include "tables/soil_table.h"

namespace tolvo {

class modelobject;

// The stacks and the grid of the layered snow pack, in the order of their items.
enum class SnowOutput : int {
  Solid,        // "SnowWaterEquivalentSolid"
  Liquid,       // "SnowWaterEquivalentLiquid"
  Temperature,  // "Temperature_Stack_Snow"
  Theta,        // "theta_Snow"
  HydraulicHeads,  // "hydraulic_heads_Snow"
  GeodeticHeights,  // "geodetic_height_Snow"
  QDown,        // "q_down_Snow"
  Thickness,    // "SnowLayerThickness"
  Density,      // "SnowDensity"
  UpperIndex,   // "upperIndexSnow"
};
inline constexpr int kSnowOutputCount = 10;

struct LayeredSnowSettings {
  int on = 0;  // above 0: the layered snow pack is carried
  int method = 0;
  double max_density = 0;
  double unused = 0;
  double t_offset_fresh_snow = 0;  // K, handed to the snow model
  double drainage_density_snow = 0;
  double holding_capacity = 0;  // liquid water a layer holds per unit of solid water
  double se_effectiveness = 0;
  double se_effectiveness_soil = 0;
  std::array<OutputGridSetting, kSnowOutputCount> outputs{};
  const OutputGridSetting& output(SnowOutput o) const { return outputs[static_cast<std::size_t>(o)]; }
};

// Reads the items after the switch of "[LayeredSnowModel]" (lines 2 to 29).
void ReadLayeredSnowItems(modelobject& reader, LayeredSnowSettings& s);

// Reads the snow types of "[LayeredSnowProperties]" from the reader's open control file
// (17 without the section): the count N, then N parameter blocks with equal numbers of
// layers (30 otherwise). Dry density, heat capacity, conductivity and the frozen
// conductivity not given take the "[heat_transfer]" values; the freezing tables are built.
// Entry 0 of the table holds N as its code and the number of snow layers.
SoilTable ReadLayeredSnowProperties(modelobject& reader, const HeatTransferSettings& heat);

}  // namespace tolvo
