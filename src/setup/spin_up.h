#pragma once
// Spin-up and hydrologic response units.
//
// A run can spin up its state by repeating its time range, optionally after a
// temperature-only pre-spin-up (section "[SpinUp]"). For the spin-up the cells are grouped
// into hydrologic response units (HRUs): cells that share the classes of a few chosen
// grids, or the codes of a given grid "HydrologicResponseUnits". While the spin-up runs,
// the sub-models copy the state of each unit's master cell (its first cell in the scan,
// rows top to bottom, columns left to right) to the other cells of the unit.
//
// Units are numbered 1, 2, 3 ... in the order of their master cells over the whole grid,
// so every process holds the same list and a unit has the same number on every process
// and in every file, whatever the number of processes.

#include <functional>
#include <string>
#include <vector>

#include "framework/matrix.h"

namespace tolvo {

class modelobject;

// The spin-up settings of "[SpinUp]"; all 0 when the section is missing or the switch is 0.
struct SpinUpSettings {
  int spin_up = 0;  // 0 off, 1 repeat the time range, above 1 run it once
  int do_temperature_pre_spin_up = 0;
  int repeat_count = 0;
};

// One hydrologic response unit.
struct HruRecord {
  long long id = 0;   // 1..K; indexes the unit list
  std::string key;    // the classes (or the grid code) that define the unit
  int master_row = 0;
  int master_col = 0;
  long long reserved = 0;  // 0 at creation; the set-up does not use it
  friend bool operator==(const HruRecord&, const HruRecord&) = default;
};

// Largest class a classification grid may give.
inline constexpr double kLargestHruClass = 9999;

// One classification grid of "[SpinUp]": the cells are classed by floor(v / class_width),
// with v the square root of |value| for "sqrt" spacing and the value itself otherwise.
struct HruClassGrid {
  std::string identifier;
  double class_width = 1;
  bool sqrt_spacing = false;
};

// "[SpinUp]" as the control file gives it.
struct SpinUpSection {
  SpinUpSettings settings;
  bool classify = false;  // the units are made from classification grids (numGrids not 0)
  std::vector<HruClassGrid> grids;
};

// Reads "[SpinUp]" from the reader's open control file: the switch, then (when it is not
// 0) doTemperaturePreSpinUp and repeatCnt (which may share a line), numGrids and one line
// per grid (identifier, class width, spacing). A value that does not scan, or a class
// width that is 0 or not finite, fails with 17.
SpinUpSection ReadSpinUpSection(modelobject& reader);

// The class of a value (see HruClassGrid).
double HruClass(double value, const HruClassGrid& grid);
// A class as it stands in a key: four digits (a sign and three for a negative class),
// followed by an apostrophe.
std::string HruKeyPart(double hru_class);

class HydrologicResponseUnits {
 public:
  // Collective. Reads "[SpinUp]" from the reader's control file and, when the switch is
  // set, builds the units: from the classification grids, registering
  // "HydrologicResponseUnits" and "MasterHydrologicResponseUnits" (files
  // "All_HydrologicResponseUnits" and "Master_HydrologicResponseUnits"), or, with no
  // classification grid, from the codes of the grid "HydrologicResponseUnits" of the grid
  // lists (renumbered in place), registering "MasterHydrologicResponseUnits". Every
  // process writes its own matrices under the file names with "_" and its rank in three
  // digits; process 0 writes the whole grids under the plain names.
  // `count_registered_grid` is called once for every grid registered here.
  SpinUpSettings InitSpinUp(modelobject& reader, const std::function<void()>& count_registered_grid);

  // Entry 0 is an empty record; entry k is unit k. Only entry 0 until InitSpinUp has made
  // units.
  const std::vector<HruRecord>& list() const { return list_; }

 private:
  void ClassifyFromGrids(modelobject& reader, const std::vector<HruClassGrid>& grids,
                         const std::function<void()>& count_registered_grid);
  void NumberFromGrid(modelobject& reader, const std::function<void()>& count_registered_grid);
  void WriteUnitGrids(modelobject& reader, GridView units, const std::string& units_file, GridView masters,
                      const std::string& masters_file);

  std::vector<HruRecord> list_{HruRecord{}};
  Grid units_;    // made from classification grids only
  Grid masters_;
};

}  // namespace tolvo
