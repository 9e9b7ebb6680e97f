#pragma once
// A small basin for the tests of surface routing: a grid table holding every grid the
// sub-model takes (zone grid, elevation model, land use, soil types, surface storage,
// direct runoff and interflow, river grids and the soil model's zone grid) over the rows a
// process holds, a control file with the section, and the sub-model built on them. The
// tests act as the soil model: before each call they refill "directflow" as an
// impervious soil would, with the rain plus the surface storage left by the last call.

#include <array>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "framework/grid_distribution.h"
#include "framework/grid_table.h"
#include "framework/model_settings.h"
#include "framework/statistics_registry.h"
#include "tables/landuse_table.h"
#include "runoff/surfaceroutingclass.h"
#include "support/test_support.h"

namespace tolvo::test {

struct BasinShape {
  int nrows = 3;
  int ncols = 3;
  double cellsize = 10;
  std::function<double(int, int)> dem = [](int, int) { return 100.0; };
  std::function<bool(int, int)> river = [](int, int) { return false; };
  std::function<bool(int, int)> inside = [](int, int) { return true; };
  std::function<double(int, int)> landuse = [](int, int) { return -9999.0; };
  const LanduseTable* landuse_table = nullptr;
  // When above 0: entries up to this index are taken by other grids before the model.
  int taken_entries = 0;
  // The river grids' value off the river cells (nodata: those cells are no river-grid
  // cells).
  double off_river = 0;
  // The sub-basin code of every cell inside, in the zone grid and the soil model's.
  std::function<double(int, int)> subbasin = [](int, int) { return 1.0; };
  // Further grids with their values (for example "flow_times").
  std::vector<std::pair<std::string, std::function<double(int, int)>>> grids;
};

// The section after its header: switch, time step [min], then the values of the section.
// Method 6 iterates its heads until the largest change is below `head_tolerance` [m], at
// most `head_sweeps` times.
inline std::string SurfaceSection(int method, double dt_min, double dt_max, int module_switch = 1,
                                  double step_minutes = 60, const std::string& storage_statistic = "",
                                  const std::string& head_tolerance = "0.000001", int head_sweeps = 50) {
  return "[SurfaceRoutingModel]\n" + std::to_string(module_switch) + " switch\n" + std::to_string(step_minutes) +
         " step\n" + std::to_string(method) +
         " method\nqdsr.txt 0\nqisr.txt 0\nqbsr.txt 0\nqgsr.txt 0\nvelocity.stack\n0\nfluxes.stack\n0\n0.01\n10\n" +
         head_tolerance + "\n" + std::to_string(head_sweeps) + "\n" +
         std::to_string(dt_min) + "\n" + std::to_string(dt_max) + "\n0.05\n1\n0\n" + storage_statistic + "\n";
}

template <typename Model = surfaceroutingclass>
class SurfaceBasin {
 public:
  // band: the rows this process computes; held: the rows it holds; layout: the
  // decomposition (null: one process computes everything).
  SurfaceBasin(DiagnosticsLog& log, const std::string& directory, const BasinShape& shape,
               const std::string& section, RowRange band, RowRange held, const DomainLayout* layout,
               const std::vector<std::string>& extra_grids = {}, int sub_steps = 1)
      : shape_(shape) {
    const std::string control = directory + "/c.ctl.$$$";
    WriteFile(control, section);
    settings_.compiled_control_file = control;
    settings_.geometry = {.ncols = shape.ncols, .nrows = shape.nrows, .cellsize = shape.cellsize};
    settings_.strip = band;
    settings_.grids = table_.get();
    settings_.layout = layout;
    // The run's zone table: one zone of code 1.
    zone_records_[1] = {.zonenwert = 1, .rel = 1};
    settings_.zones = {.zone_count = 1, .largest_code = 1, .zones = zone_records_, .code_index = zone_codes_, .column_ranges = {}};
    settings_.output_directory = directory + "/";
    settings_.input_directory = directory + "/";
    settings_.start_date = {2020, 6, 1, 1};
    settings_.end_date = {2020, 6, 30, 24};
    reader_ = std::make_unique<modelobject>(log, control);
    reader_->set_geometry(settings_.geometry);
    reader_->set_strip(band);
    reader_->set_grid_table(table_.get());
    const std::vector<std::pair<std::string, std::function<double(int, int)>>> grids{
        {"zone", [&](int r, int c) { return shape.inside(r, c) ? shape.subbasin(r, c) : kNodata; }},
        {"dem", shape.dem},
        {"landuse1", shape.landuse},
        {"vegetation_coverage_degree1", [](int, int) { return 0.5; }},
        {"soil_types", [](int, int) { return 1.0; }},
        {"SurfStorSiltingUp", [](int, int) { return 0.0; }},
        {"directflow", [](int, int) { return 0.0; }},
        {"interflow", [](int, int) { return 0.0; }},
        {"river_depth", [&](int r, int c) { return shape.river(r, c) ? 1.0 : shape.off_river; }},
        {"river_width", [&](int r, int c) { return shape.river(r, c) ? 2.0 : shape.off_river; }},
        {"river_links", [](int, int) { return 0.0; }},
        {"zonegrid_soilmodel", [&](int r, int c) { return shape.inside(r, c) ? shape.subbasin(r, c) : kNodata; }},
    };
    int index = 1;
    for (const auto& [id, value] : grids) Add(index++, id, value, held);
    for (const std::string& id : extra_grids) Add(index++, id, [](int, int) { return 0.0; }, held);
    for (const auto& [id, value] : shape.grids) Add(index++, id, value, held);
    for (; index <= shape.taken_entries; ++index) {
      (*table_)[index].file_name = "other" + std::to_string(index);
      (*table_)[index].identifier = "other" + std::to_string(index);
    }
    settings_.landuse = shape.landuse_table;    model_ = std::make_unique<Model>(log, registry_, settings_, sub_steps);
  }

  Model& model() { return *model_; }
  StatisticsRegistry& registry() { return registry_; }
  grid_table& table() { return *table_; }
  GridView Values(const std::string& id) { return (*table_)[reader_->FindGrid(id, true)].values; }
  int IndexOf(const std::string& id) { return reader_->FindGrid(id, true); }
  const BasinShape& shape() const { return shape_; }

 private:
  void Add(int index, const std::string& id, const std::function<double(int, int)>& value, RowRange held) {
    Grid& grid = grids_.emplace_back(held.first, held.last, shape_.ncols, shape_.nrows);
    for (int r = held.first; r <= held.last; ++r) {
      for (int c = 1; c <= shape_.ncols; ++c) {
        grid(r, c) = (id != "zone" && id != "zonegrid_soilmodel" && !shape_.inside(r, c)) ? kNodata : value(r, c);
      }
    }
    reader_->RegisterGrid(index, id + ".asc", grid.view(), {}, 0, id, 0, held.first, held.last);
  }

  BasinShape shape_;
  std::unique_ptr<grid_table> table_ = std::make_unique<grid_table>();
  StatisticsRegistry registry_;
  ModelSettings settings_;
  std::unique_ptr<modelobject> reader_;
  std::deque<Grid> grids_;
  std::unique_ptr<Model> model_;
  std::array<ZoneRecord, 2> zone_records_{};
  std::array<int, 2> zone_codes_{0, 1};
};

}  // namespace tolvo::test
