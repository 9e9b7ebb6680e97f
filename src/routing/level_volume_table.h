#pragma once
// The waterlevel-volume relation of a lake, built from the terrain of its cells.
//
// The table steps down from the lake's top g (the highest terrain plus maximum ponding
// depth of its cells [m a.s.l.]) in 1 cm over the first 4 m, in 2 cm over the next 10 m
// and in 5 cm below, and ends with the lake's bottom h (its lowest terrain) at volume 0.
// Levels and volumes both fall with the index: entry 0 is the highest level. The volume
// at level L is the water above the terrain z of every cell with z < L: sum of
// cell area * (L - z) [m3]. Between entries the relation is linear, and outside the
// table the line through the two nearest entries is extended.

#include <span>
#include <string>
#include <vector>

namespace tolvo {

struct LevelVolumeTable {
  std::vector<double> levels;   // [m a.s.l.], falling
  std::vector<double> volumes;  // [m3], falling; the last entry is 0
  int count() const { return static_cast<int>(levels.size()); }
};

// The levels of the table for a lake from top_m down to bottom_m [m a.s.l.]; at least two.
std::vector<double> TableLevels(double top_m, double bottom_m);

// The table of a lake whose cells have the terrain heights terrain_m [m a.s.l.] and the
// area cell_area_m2 [m2] each, from top_m down to the lowest terrain height.
LevelVolumeTable BuildLevelVolumeTable(std::span<const double> terrain_m, double top_m, double cell_area_m2);

// Level [m a.s.l.] of the volume volume_m3 [m3]. Between two entries of equal volume (a
// flat stretch of the lake) the upper entry's level.
double LevelFromVolume(const LevelVolumeTable& table, double volume_m3);
// Volume [m3] at the level level_m [m a.s.l.]; between two entries of equal level the
// upper entry's volume.
double VolumeFromLevel(const LevelVolumeTable& table, double level_m);

// Writes the table as the text file `path`: a title line with the lake code, a column
// line, then level and volume of every entry. False when the file cannot be written.
bool WriteLevelVolumeTable(const LevelVolumeTable& table, int code, const std::string& path);

}  // namespace tolvo
