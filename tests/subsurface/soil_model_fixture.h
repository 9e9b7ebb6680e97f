#pragma once
// A small basin for the soil model's tests: a grid table with the grids the soil model
// binds (the evapotranspiration grids as standard grids would give them), a soil table of
// one five-layer soil, and a control file made from a SoilSectionText. The model log
// lands in the test's folder, which is the working directory while the model is built.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "framework/grid_table.h"
#include "framework/model_settings.h"
#include "framework/statistics_registry.h"
#include "subsurface/soil_section_text.h"
#include "subsurface/unsatzonmodellklasse.h"
#include "support/test_support.h"
#include "tables/irrigation_table.h"
#include "tables/landuse_table.h"
#include "tables/soil_table.h"

namespace tolvo::test {

class SoilModelTest : public LogFixture {
 protected:
  static constexpr int kRows = 4;
  static constexpr int kCols = 3;
  static constexpr double kElevation = 500;

  SoilModelTest() { MakeBasin(); }

  // A fresh grid table and soil table, as the constructor makes them.
  void MakeBasin() {
    model_.reset();
    table_ = std::make_unique<grid_table>();
    owned_.clear();
    soils_.clear();
    registry_ = StatisticsRegistry();
    soils_.emplace_back(1);
    soils_.emplace_back(20).ParseBlock(
        log_,
        "20 loam { method = MultipleHorizons; layers = 5; ksat = 1e-5; theta_sat = 0.43; theta_res = 0.078; "
        "alpha = 3.6; Par_n = 1.56; thickness = 0.1; }\n");
    // Zone codes: row 1 is sub-basin 1 with a nodata cell, the others sub-basin 2.
    Add("zone", 1, 1, "zone.asc");
    (*table_)[1].values(1, 3) = kNodata;
    Add("dem", kElevation, 2, "dem.asc");
    Add("zonegrid_soilmodel", 2);
    grid("zonegrid_soilmodel")(1, 1) = 1;
    grid("zonegrid_soilmodel")(1, 2) = 1;
    grid("zonegrid_soilmodel")(1, 3) = kNodata;
    for (const char* id : {"landuse1", "vegetation_coverage_degree1", "leaf_area_index1", "SurfaceCanopyResistance1",
                           "SurfaceIntercepResistance1", "RoughnessLength1", "pot_transpiration0", "pot_transpiration1",
                           "real_transpiration0", "real_transpiration1", "SurfaceEvaporationResistance", "albedo",
                           "potential_evaporation", "real_evaporation", "soil_types"}) {
      Add(id, 1);
    }
    Add("root_depth1", 0.25);
    Add("slope_angle", 45);
    settings_.geometry = {.ncols = kCols, .nrows = kRows, .cellsize = 100, .nodata_value = kNodata};
    settings_.strip = {1, kRows};
    settings_.grids = table_.get();
    settings_.soils = &soils_;
    settings_.output_directory = dir_.path().string() + "/";
    settings_.input_directory = dir_.path().string() + "/";
  }

  // Registers a grid of all rows filled with `value` at the next free entry (or `index`).
  GridView Add(const std::string& identifier, double value, int index = 0, const std::string& file = "") {
    Grid& g = owned_.emplace_back(1, kRows, kCols, kRows);
    g.fill(value);
    modelobject registrar(log_, "c");
    registrar.set_grid_table(table_.get());
    if (index == 0) {
      index = table_->TakeFreeEntries(1, {.taken_by = grid_table::TakenBy::kIdentifier}, log_, "full");
    }
    registrar.RegisterGrid(index, file.empty() ? identifier : file, g.view(), {}, 0, identifier, 0, 1, kRows);
    return g.view();
  }
  GridView grid(const std::string& identifier) {
    for (int i = 1; i < grid_table::size(); ++i) {
      if ((*table_)[i].identifier == identifier) return (*table_)[i].values;
    }
    ADD_FAILURE() << identifier << " not registered";
    return {};
  }
  StackView stack(const std::string& identifier) {
    for (int i = 1; i < grid_table::size(); ++i) {
      if ((*table_)[i].identifier == identifier) return (*table_)[i].stack;
    }
    ADD_FAILURE() << identifier << " not registered";
    return {};
  }
  int IndexOf(const std::string& identifier) const {
    for (int i = 1; i < grid_table::size(); ++i) {
      if ((*table_)[i].identifier == identifier) return i;
    }
    return 0;
  }
  int CountUsed() const {
    int n = 0;
    for (int i = 1; i < grid_table::size(); ++i) n += (*table_)[i].identifier ? 1 : 0;
    return n;
  }

  // Builds the soil model from the section (and extra sections) in the test's folder;
  // the code raised, or 0.
  int Build(const SoilSectionText& section, const std::string& extra = "", int sub_steps = 1) {
    WriteFile(dir_.file("c.ctl.$$$"), section.Render() + extra);
    settings_.compiled_control_file = dir_.file("c.ctl.$$$");
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(dir_.path());
    model_.reset();
    const int code =
        CodeOf([&] { model_ = std::make_unique<unsatzonmodellklasse>(log_, registry_, settings_, sub_steps); });
    std::filesystem::current_path(previous);
    return code;
  }

  // Runs `body` with the test's folder as the working directory (the model log's place);
  // the code raised, or 0.
  template <class Body>
  int InFolder(Body&& body) {
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(dir_.path());
    const int code = CodeOf(body);
    std::filesystem::current_path(previous);
    return code;
  }

  std::unique_ptr<grid_table> table_ = std::make_unique<grid_table>();
  std::vector<Grid> owned_ = [] {
    std::vector<Grid> v;
    v.reserve(64);
    return v;
  }();
  SoilTable soils_;
  ModelSettings settings_;
  StatisticsRegistry registry_;
  std::unique_ptr<unsatzonmodellklasse> model_;
};

}  // namespace tolvo::test
