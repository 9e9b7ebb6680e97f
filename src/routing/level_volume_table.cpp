#include "routing/level_volume_table.h"

#include <algorithm>
#include <cmath>
#include <fstream>

namespace tolvo {
namespace {

// Whole steps of `step` in `length`; lengths that are whole multiples up to round-off
// (2.00 m in 1 cm steps) count exactly.
int StepsDown(double length, double step) { return static_cast<int>(std::floor(length / step + 1e-9)); }
int StepsUp(double length, double step) { return static_cast<int>(std::ceil(length / step - 1e-9)); }

// The value of `to` at `x` on the relation of the falling arrays `from` and `to`.
double Interpolate(const std::vector<double>& from, const std::vector<double>& to, double x) {
  const int n = static_cast<int>(from.size());
  if (n == 0) return 0;
  if (n == 1) return to[0];
  int i = 0;
  if (x < from[1] && n > 2) {
    i = 1;
    while (i < n - 2 && from[static_cast<std::size_t>(i) + 1] > x) ++i;
  }
  const std::size_t a = static_cast<std::size_t>(i);
  const double span = from[a] - from[a + 1];
  if (span == 0) return to[a];
  return ((x - from[a + 1]) * to[a] + (from[a] - x) * to[a + 1]) / span;
}

}  // namespace

std::vector<double> TableLevels(double top_m, double bottom_m) {
  const double depth = top_m - bottom_m;
  int k1 = 0, k2 = 0, k3 = 0;
  if (depth >= 14) {
    k1 = 400;
    k2 = 500;
    k3 = StepsUp(depth - 14, 0.05);
  } else if (depth >= 4) {
    k1 = 400;
    k2 = StepsDown(depth - 4, 0.02);
  } else {
    k1 = std::max(StepsDown(depth, 0.01), 1);
  }
  const int n = k1 + k2 + k3 + 1;
  std::vector<double> levels(static_cast<std::size_t>(n));
  for (int i = 0; i < n - 1; ++i) {
    double level = 0;
    if (i < k1) {
      level = top_m - 0.01 * i;
    } else if (i < k1 + k2) {
      level = top_m - 4 - 0.02 * (i - k1);
    } else {
      level = top_m - 14 - 0.05 * (i - k1 - k2);
    }
    levels[static_cast<std::size_t>(i)] = level;
  }
  levels.back() = bottom_m;
  return levels;
}

LevelVolumeTable BuildLevelVolumeTable(std::span<const double> terrain_m, double top_m, double cell_area_m2) {
  const double bottom = terrain_m.empty() ? top_m : *std::min_element(terrain_m.begin(), terrain_m.end());
  LevelVolumeTable table;
  table.levels = TableLevels(top_m, bottom);
  table.volumes.assign(table.levels.size(), 0.0);
  for (std::size_t i = 0; i + 1 < table.levels.size(); ++i) {
    const double level = table.levels[i];
    double volume = 0;
    for (double z : terrain_m) {
      if (level > z) volume += cell_area_m2 * (level - z);
    }
    table.volumes[i] = volume;
  }
  return table;
}

double LevelFromVolume(const LevelVolumeTable& table, double volume_m3) {
  return Interpolate(table.volumes, table.levels, volume_m3);
}

double VolumeFromLevel(const LevelVolumeTable& table, double level_m) {
  return Interpolate(table.levels, table.volumes, level_m);
}

bool WriteLevelVolumeTable(const LevelVolumeTable& table, int code, const std::string& path) {
  std::ofstream file(path, std::ios::trunc);
  if (!file) return false;
  file << "waterlevel-volume-table lake " << code << "\n";
  file << "Level[m a.s.l.]\tVolume[m^3]\n";
  for (int i = 0; i < table.count(); ++i) {
    file << table.levels[static_cast<std::size_t>(i)] << "\t" << table.volumes[static_cast<std::size_t>(i)] << "\n";
  }
  file.close();
  return !file.fail();
}

}  // namespace tolvo
