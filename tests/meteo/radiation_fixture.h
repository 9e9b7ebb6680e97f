#pragma once
// A small basin for the tests of the radiation correction: zone grid, elevation model,
// slope aspect and angle, temperature and (optionally) relative sunshine in a grid table,
// the run's settings at 47° N on the reference meridian, and a control file with the
// section [radiation_correction].

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "framework/grid_distribution.h"
#include "framework/grid_table.h"
#include "framework/model_settings.h"
#include "framework/modelobject.h"
#include "framework/statistics_registry.h"
#include "meteo/expokorrklasse.h"
#include "support/test_support.h"

namespace tolvo::test {

struct RadiationTerrain {
  int nrows = 4;
  int ncols = 3;
  double cellsize = 100;
  std::function<bool(int, int)> inside = [](int, int) { return true; };
  std::function<double(int, int)> dem = [](int, int) { return 500.0; };
  std::function<double(int, int)> aspect = [](int, int) { return 180.0; };
  std::function<double(int, int)> slope = [](int, int) { return 0.0; };
};

// The lines of the section after its switch and time step.
inline std::string RadiationSettings(int method, int steps_between = 1, int sub_steps = 4, double scaling = 2) {
  return std::to_string(method) + "\ntkorr.asc\n0\n" + std::to_string(scaling) + "\nexkorr.asc\n0\nshape.asc\n0\n" +
         std::to_string(steps_between) + "\n" + std::to_string(sub_steps) + "\n";
}

class RadiationBasin {
 public:
  // `band`: the rows this process computes; `held`: the rows its grids hold (all on
  // process 0 of a decomposed run); `layout`: the decomposition, or none.
  RadiationBasin(DiagnosticsLog& log, const TempDir& dir, const RadiationTerrain& terrain, RowRange band,
                 RowRange held, const DomainLayout* layout = nullptr, bool sunshine = false)
      : log_(log), terrain_(terrain), setup_(log, "") {
    const GridGeometry geometry{.ncols = terrain.ncols, .nrows = terrain.nrows, .xllcorner = 0, .yllcorner = 0,
                                .cellsize = terrain.cellsize, .nodata_value = kNodata};
    setup_.set_geometry(geometry);
    setup_.set_strip(band);
    setup_.set_grid_table(&table_);
    grids_.reserve(7);
    const auto grid = [&](const std::string& id, const std::function<double(int, int)>& value) {
      Grid& g = grids_.emplace_back(held.first, held.last, terrain.ncols, terrain.nrows);
      for (int r = held.first; r <= held.last; ++r) {
        for (int c = 1; c <= terrain.ncols; ++c) g(r, c) = terrain.inside(r, c) ? value(r, c) : kNodata;
      }
      setup_.RegisterGrid(static_cast<int>(grids_.size()), id + ".asc", g.view(), {}, 0, id, 0, held.first,
                          held.last);
    };
    grid("zones", [](int, int) { return 1.0; });
    grid("[elevation_model]", terrain.dem);
    grid("slope_aspect", terrain.aspect);
    grid("slope_angle", terrain.slope);
    grid("temperature", [](int, int) { return 10.0; });
    if (sunshine) grid("sunshine_duration", [](int, int) { return 0.8; });
    if (layout != nullptr) {
      Grid& regions = grids_.emplace_back(held.first, held.last, terrain.ncols, terrain.nrows);
      for (int r = held.first; r <= held.last; ++r) {
        for (int c = 1; c <= terrain.ncols; ++c) regions(r, c) = layout->regions(r, c);
      }
      setup_.RegisterGrid(static_cast<int>(grids_.size()), "regions.asc", regions.view(), {}, 0, "MPIRegions", 0,
                          held.first, held.last);
    }
    zones_ = {ZoneRecord{}, ZoneRecord{0, 0, 1, 1, 0}};
    settings.compiled_control_file = dir.file("radiation.ctl");
    settings.geometry = geometry;
    settings.strip = band;
    settings.grids = &table_;
    settings.layout = layout;
    settings.zones.zone_count = 1;
    settings.zones.largest_code = 1;
    settings.zones.zones = zones_;
    settings.site = {.latitude = 47, .longitude = 15, .reference_meridian = 15};
    settings.start_date = {2020, 6, 21, 1};
    settings.end_date = {2020, 6, 22, 24};
    settings.output_directory = dir.file("");
  }

  // Builds the model from the section's switch, time step (minutes) and settings lines;
  // the code it raises, or 0.
  int Build(int module_switch, int step_minutes, const std::string& lines) {
    WriteFile(settings.compiled_control_file, "[radiation_correction]\n" + std::to_string(module_switch) + "\n" +
                                                  std::to_string(step_minutes) + "\n" + lines + "[next]\n");
    return CodeOf([&] { model_ = std::make_unique<expokorrklasse>(log_, registry_, settings); });
  }

  // The values of a grid of the table; empty when there is none.
  GridView Values(const std::string& identifier) {
    const int index = setup_.FindGrid(identifier, true);
    return index > 0 ? table_[index].values : GridView{};
  }
  void SetTemperature(double t) {
    const GridView values = Values("temperature");
    for (int r = values.rows().first; r <= values.rows().last; ++r) {
      for (int c = 1; c <= terrain_.ncols; ++c) values(r, c) = terrain_.inside(r, c) ? t : kNodata;
    }
  }
  expokorrklasse& model() { return *model_; }
  const RadiationTerrain& terrain() const { return terrain_; }

  ModelSettings settings;

 private:
  DiagnosticsLog& log_;
  RadiationTerrain terrain_;
  grid_table table_;
  modelobject setup_;
  std::vector<Grid> grids_;
  std::vector<ZoneRecord> zones_;
  StatisticsRegistry registry_;
  std::unique_ptr<expokorrklasse> model_;
};

}  // namespace tolvo::test
