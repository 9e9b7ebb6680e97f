#pragma once
// The soil model's layered snow pack as the snow model changes it: per cell, levels 1..n
// from the top layer (1) to the bottom layer (n), each with solid and liquid water
// equivalent (mm), thickness (m), relative density (density / 1000) and, with heat
// transfer, temperature (deg C); -9999 marks an empty level. Level 0 of the solid stack
// holds the sum of levels 1..n, level 0 of the liquid stack the water released to the
// soil in the step; "upperIndexSnow" is the uppermost occupied level, n + 1 when empty.
// New snow fills the lowest level with room first, each level up to its largest
// thickness; the top level takes whatever is left.

#include <span>

#include "framework/matrix.h"

namespace tolvo {

inline constexpr double kEmptySnowLevel = -9999;

struct LayeredSnow {
  StackView solid;                        // "SnowWaterEquivalentSolid", mm
  StackView liquid;                       // "SnowWaterEquivalentLiquid", mm
  StackView thickness;                    // "SnowLayerThickness", m
  StackView density;                      // "SnowDensity", relative
  StackView temperature;                  // "Temperature_Stack_Snow", deg C; empty without heat transfer
  GridView upper_index;                   // "upperIndexSnow"
  int n = 0;                              // number of snow layers
  std::span<const double> max_thickness;  // m, index 1..n
  std::span<const double> dry_density;    // kg/m3 of fresh snow, index 1..n
  double fresh_snow_offset_K = 0;         // fresh snow enters at min(T + offset, 0) deg C
};

// Adds w * amount mm of snow water equivalent to the layered snow of cell (r, c), or
// removes it when amount is negative; T_air [deg C] is the temperature of new snow before
// the offset. A removal beyond the pack empties it; the liquid water of emptied levels
// goes to level 0 of the liquid stack.
void ChangeLayeredSnow(const LayeredSnow& snow, int r, int c, double w, double amount, double T_air);

}  // namespace tolvo
