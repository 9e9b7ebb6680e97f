#pragma once
// A small basin for building the snow model: 8 rows x 3 columns of 100 m cells, two
// sub-basins (columns 1-2 and column 3), cell (1, 3) outside the basin, and every input
// grid any snow method binds. The control file holds "[snow_model]" and, on demand,
// "[ice_firn]", "[permafrost]" and "[lake_model]".
#include <memory>
#include <string>
#include <vector>

#include "framework/grid_table.h"
#include "framework/model_settings.h"
#include "framework/statistics_registry.h"
#include "setup/spin_up.h"
#include "support/test_support.h"
#include "surface/schneemodellklasse.h"

namespace tolvo::test {

inline constexpr int kSnowRows = 8;
inline constexpr int kSnowCols = 3;

// Items 15..40 of "[snow_model]": grid names, write codes and statistics (codes 0).
inline std::string SnowGridItems() {
  std::string text;
  for (const char* g : {"rain", "snow", "days", "age"}) {
    text += std::string(g) + ".asc\n0\n" + g + ".txt 0\n";
  }
  text +=
      "albedo.txt 0\nout.asc\n0\nout.txt 0\nmelt.asc\n0\nmelt.txt 0\nsolid.asc\n0\nliquid.asc\n0\nstore.txt 0\n"
      "total.asc\n0\n";
  return text;
}

// The block of methods above 4 with the given values of items 57..63.
inline std::string SnowBlock(const std::string& limits = "55\n1\n30\n0.01\n1\n1\n1\n") {
  return "stemp.asc\n0\nstemp.txt 0\nsurf.asc\n0\nsurf.txt 0\ninput.asc\n0\ninput.txt 0\nmobile.asc\n0\n"
         "mobile.txt 0\ndepo.asc\n0\ndepo.txt 0\n" +
         limits;
}

// "[snow_model]" up to item 41: method, thresholds T0R and T0, and the storage read code 0.
inline std::string SnowSection(int method, double T0R = 0.5, double T0 = 0, int module_switch = 1, int read_code = 0) {
  return "[snow_model]\n" + std::to_string(module_switch) + "\n60\n" + std::to_string(method) + "\n1\n" +
         std::to_string(T0R) + "\n" + std::to_string(T0) + "\n0.1\n0.25\n3\n1.5\n0.3\n2.5\n1\n3\n0.45\n0.9\n" +
         SnowGridItems() + std::to_string(read_code) + "\n";
}

// "[ice_firn]" of a glacier method, with the qglac table `total_name` and, for dynamic
// methods, the lines of items 23..53 after `firn_line` and `date_line`.
inline std::string IceFirnSection(int method, const std::string& total_name = "qglac.txt",
                                  const std::string& firn_line = "3 2000 10", const std::string& date_line = "9 30") {
  std::string text = "[ice_firn]\n" + std::to_string(method) +
                     "\n7\n6\n5\n4\n1\n2\n1\n2\n100\n200\n300\n0.5\n0.6\n0.7\nfirn.asc\n0\nqfirn.txt 0\nice.asc\n0\n"
                     "qice.txt 0\n" +
                     total_name + " 0\n";
  if (method < 10) return text;
  text += "qsg.txt 0\n0\n" + firn_line + "\n" + date_line + "\n0.03 1.36 10 2\nfirnstack.asc\n0\nfirn.txt 0\n";
  text += "gmb.asc\n0\ngmbold.asc\n0\ngmb1.txt 0\ngmb2.txt 0\n1.0\nwithout.txt 0\n";
  for (const char* g : {"sog", "log", "tog", "mog", "stog", "ttog", "eog"}) text += std::string(g) + ".asc\n0\n";
  return text + "2000 0.3\n";
}

class SnowBasin {
 public:
  // `ncols` columns: columns 1-2 form sub-basin 1, the others sub-basin 2.
  SnowBasin(DiagnosticsLog& log, const TempDir& dir, int ncols = kSnowCols)
      : log_(log), ncols_(ncols), reader_(log, "c") {
    reader_.set_geometry(geometry_);
    reader_.set_strip({1, kSnowRows});
    reader_.set_grid_table(table_.get());
    for (int r = 1; r <= kSnowRows; ++r) {
      for (int c = 1; c <= ncols_; ++c) {
        zone_(r, c) = c <= 2 ? 1 : 2;
        dem_(r, c) = 1000 + 10 * (r * ncols_ + c);
      }
    }
    zone_(1, 3) = kNodata;
    subbasins_ = Grid(1, kSnowRows, ncols_, kSnowRows);
    for (int r = 1; r <= kSnowRows; ++r) {
      for (int c = 1; c <= ncols_; ++c) subbasins_(r, c) = zone_(r, c);
    }
    landuse_.fill(1);
    albedo_.fill(0.2);
    temperature_.fill(1);
    slope_.fill(20);
    for (int z = 0; z <= 2; ++z) {
      zones_[static_cast<std::size_t>(z)].zonenwert = z;
      zones_[static_cast<std::size_t>(z)].rel = 0.5;
      code_index_[static_cast<std::size_t>(z)] = z;
    }
    control_file_ = dir.file("snow.ctl");
    settings_.compiled_control_file = control_file_;
    settings_.geometry = geometry_;
    settings_.strip = {1, kSnowRows};
    settings_.grids = table_.get();
    settings_.zones = {
        .zone_count = 2, .largest_code = 2, .zones = zones_, .code_index = code_index_, .column_ranges = {}};
    settings_.output_directory = dir.path().string() + "/";
    settings_.input_directory = dir.path().string() + "/";
    Add("zone", zone_);
    Add("dem", dem_);
    for (const char* id : {"zonegrid_soilmodel"}) Add(id, subbasins_);
    Add("landuse1", landuse_);
    Add("albedo", albedo_);
    Add("temperature", temperature_);
    Add("slope_angle", slope_);
    for (const char* id : {"wind_speed", "vapor_pressure", "deposition_index", "cloudiness", "air_humidity",
                           "AspectCorrectedGlobalRadiation", "slidefraction1", "slidefraction2", "slidefraction3",
                           "slidefraction4", "precipitation"}) {
      Add(id, spare_.emplace_back(1, kSnowRows, ncols_, kSnowRows));
    }
  }

  // The rows this process computes (before Build); the grids stay whole on every process.
  void SetStrip(RowRange strip) {
    reader_.set_strip(strip);
    settings_.strip = strip;
  }

  // Registers a grid under the identifier at the next entry (before Build).
  void Add(const std::string& identifier, Grid& grid) {
    reader_.RegisterGrid(next_++, identifier + ".asc", grid.view(), {}, 0, identifier, 0, 1, kSnowRows);
  }
  // Registers a stack of `levels` levels (the soil model's layered snow).
  void AddStack(const std::string& identifier, int levels) {
    Stack& s = stacks_.emplace_back(1, kSnowRows, ncols_, levels, kSnowRows);
    reader_.RegisterGrid(next_++, identifier + ".stack", {}, s.view(), levels, identifier, 0, 1, kSnowRows);
  }
  Grid& NewGrid(double value) {
    Grid& g = spare_.emplace_back(1, kSnowRows, ncols_, kSnowRows);
    g.fill(value);
    return g;
  }

  // Response units (before Build): unit 1 is column 2 with its master cell (3, 2), unit 2
  // every other cell, each its own master; `unit_of_2_2` replaces the unit of cell (2, 2).
  void EnableResponseUnits(double unit_of_2_2 = 1) {
    Grid& units = NewGrid(2);
    Grid& masters = NewGrid(1);
    for (int r = 1; r <= kSnowRows; ++r) {
      units(r, 2) = 1;
      if (r != 3) masters(r, 2) = kNodata;
    }
    units(2, 2) = unit_of_2_2;
    Add("HydrologicResponseUnits", units);
    Add("MasterHydrologicResponseUnits", masters);
    hrus_ = {HruRecord{}, HruRecord{.id = 1, .key = "", .master_row = 3, .master_col = 2},
             HruRecord{.id = 2, .key = ""}};
    settings_.spin_up = 1;
    settings_.hrus = &hrus_;
  }

  // Builds the model from the control-file text; the code it raises, or 0.
  int Build(const std::string& text) {
    WriteFile(control_file_, text + "[next]\n");
    return CodeOf([&] { model_ = std::make_unique<schneemodellklasse>(log_, registry_, settings_); });
  }

  int Find(const std::string& identifier) { return reader_.FindGrid(identifier, true); }
  const grid_entry& Entry(const std::string& identifier) { return (*table_)[Find(identifier)]; }
  int UsedEntries() {
    int n = 0;
    for (int i = 1; i < 1000; ++i) n += (*table_)[i].identifier.has_value() ? 1 : 0;
    return n;
  }
  schneemodellklasse& model() { return *model_; }
  Grid& dem() { return dem_; }
  Grid& zone() { return zone_; }
  Grid& subbasins() { return subbasins_; }
  ModelSettings& settings() { return settings_; }
  StatisticsRegistry& registry() { return registry_; }

 private:
  DiagnosticsLog& log_;
  int ncols_;
  const GridGeometry geometry_{.ncols = ncols_, .nrows = kSnowRows, .cellsize = 100, .nodata_value = kNodata};
  modelobject reader_;
  std::unique_ptr<grid_table> table_ = std::make_unique<grid_table>();
  Grid zone_{1, kSnowRows, ncols_, kSnowRows}, dem_{1, kSnowRows, ncols_, kSnowRows}, subbasins_,
      landuse_{1, kSnowRows, ncols_, kSnowRows}, albedo_{1, kSnowRows, ncols_, kSnowRows},
      temperature_{1, kSnowRows, ncols_, kSnowRows}, slope_{1, kSnowRows, ncols_, kSnowRows};
  std::deque<Grid> spare_;
  std::deque<Stack> stacks_;
  int next_ = 1;
  std::vector<ZoneRecord> zones_ = std::vector<ZoneRecord>(3);
  std::vector<int> code_index_ = std::vector<int>(3);
  std::string control_file_;
  std::vector<HruRecord> hrus_;
  ModelSettings settings_;
  StatisticsRegistry registry_;
  std::unique_ptr<schneemodellklasse> model_;
};

}  // namespace tolvo::test
