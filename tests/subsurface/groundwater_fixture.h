#pragma once
// An aquifer for the groundwater model's tests: a grid table with the grids the model
// binds, a soil table of one soil (0.5 m deep) and a control file with a
// "[groundwater_flow]" section. Every cell lies in zone 1 unless a test changes the zone
// grid. The grids hold the rows this process holds (all on one process); with a band
// layout the model runs decomposed.

#include <gtest/gtest.h>
#include <omp.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "framework/grid_table.h"
#include "framework/model_settings.h"
#include "framework/statistics_registry.h"
#include "subsurface/gwflowclass.h"
#include "support/test_support.h"
#include "tables/soil_table.h"

namespace tolvo::test {

// The items of "[groundwater_flow]".
struct GroundwaterSection {
  int module_switch = 1;
  double time_step_min = 60;
  int method = 1;
  int max_iterations = 2000;
  double max_error = 1e-7;
  double alpha = 1;
  double sor = 1.8;
  int read_code = 0;
  int layers = 2;
  int control_row = 0;
  int control_col = 0;
  std::string pond_line;  // the optional flag line, empty for none
  std::string extra;      // appended after the section (e.g. "[groundwater_tuning]")

  std::string Render() const {
    std::ostringstream s;
    s << "[groundwater_flow]\n"
      << module_switch << " # switch\n"
      << time_step_min << " # time step\n"
      << method << " # method\n"
      << max_iterations << " # maxiter\n"
      << max_error << " # maxerror\n"
      << alpha << " # alpha\n"
      << sor << " # sor\n"
      << read_code << " # read code\n"
      << layers << " # layers\n"
      << control_row << " " << control_col << " # control point\n"
      << "gwpoint.txt # control point file\n";
    if (!pond_line.empty()) s << pond_line << "\n";
    for (int n = 1; n <= layers; ++n) {
      s << "heads" << n << ".asc\n0\nflowx" << n << ".asc\n0\nflowy" << n << ".asc\n0\nbalance" << n << ".asc\n0\n";
    }
    s << extra;
    return s.str();
  }
};

class AquiferFixture : public LogFixture {
 protected:
  // Two threads, as the MPI tests run: a sub-step makes many short parallel loops, whose
  // waits at the loop ends crowd a shared machine when every core's thread takes part.
  AquiferFixture() : threads_(omp_get_max_threads()) { omp_set_num_threads(2); }
  ~AquiferFixture() override { omp_set_num_threads(threads_); }

  // A basin of nrows x ncols cells of `cellsize` m, with `layers` aquifer layers: every
  // layer 10 m thick, conductivity 1e-4 m/s, storage coefficient 1e-3, no fixed heads or
  // fluxes, no leakage; DEM 50 m, groundwater 1 m below it. `held` are the rows this
  // process holds, `strip` its own rows.
  void MakeBasin(int nrows, int ncols, double cellsize, int layers, RowRange held = {}, RowRange strip = {},
                 const DomainLayout* layout = nullptr) {
    model_.reset();
    nrows_ = nrows;
    ncols_ = ncols;
    held_ = held.count() > 0 ? held : RowRange{1, nrows};
    table_ = std::make_unique<grid_table>();
    owned_.clear();
    owned_.reserve(64 + 8 * static_cast<std::size_t>(layers));
    soils_.clear();
    soils_.emplace_back(1);
    soils_.emplace_back(20).ParseBlock(
        log_,
        "20 loam { method = MultipleHorizons; layers = 5; ksat = 1e-5; theta_sat = 0.43; theta_res = 0.078; "
        "alpha = 3.6; Par_n = 1.56; thickness = 0.1; }\n");
    Add("zone", 1, 1);
    Add("[elevation_model]", 50, 2);
    if (layout != nullptr) {
      const GridView regions = Add("MPIRegions", 0);
      for (int r = held_.first; r <= held_.last; ++r) {
        for (int c = 1; c <= ncols; ++c) regions(r, c) = layout->regions(r, c);
      }
    }
    Add("groundwater_recharge", 0);
    Add("groundwater_distance", -1);
    Add("soil_types", 1);
    Add("baseflow", 0);
    for (int n = 1; n <= layers; ++n) {
      const std::string k = std::to_string(n);
      Add("aquifer_thickness_" + k, 10);
      Add("gw_k_x_" + k, 1e-4);
      Add("gw_k_y_" + k, 1e-4);
      Add("gw_storage_coeff_" + k, 1e-3);
      Add("gw_boundary_fix_h_" + k, kNodata);
      Add("gw_boundary_fix_q_" + k, kNodata);
    }
    for (int n = 1; n < layers; ++n) Add("gw_kolmation_" + std::to_string(n), 0);
    settings_ = ModelSettings();
    settings_.geometry = {.ncols = ncols, .nrows = nrows, .cellsize = cellsize, .nodata_value = kNodata};
    settings_.strip = strip.count() > 0 ? strip : RowRange{1, nrows};
    settings_.grids = table_.get();
    settings_.soils = &soils_;
    settings_.layout = layout;
    settings_.output_directory = dir_.path().string() + "/";
    settings_.input_directory = dir_.path().string() + "/";
  }

  // Registers a grid over the held rows filled with `value` at the next free entry (or
  // `index`).
  GridView Add(const std::string& identifier, double value, int index = 0) {
    Grid& g = owned_.emplace_back(held_.first, held_.last, ncols_, nrows_);
    g.fill(value);
    if (index == 0) {
      index = table_->TakeFreeEntries(1, {.taken_by = grid_table::TakenBy::kIdentifier}, log_, "full");
    }
    registrar_.set_grid_table(table_.get());
    registrar_.RegisterGrid(index, identifier, g.view(), {}, 0, identifier, 0, held_.first, held_.last);
    return g.view();
  }
  GridView grid(const std::string& identifier) {
    for (int i = 1; i < grid_table::size(); ++i) {
      if ((*table_)[i].identifier == identifier) return (*table_)[i].values;
    }
    ADD_FAILURE() << identifier << " not registered";
    return {};
  }
  // Sets every held cell of a grid.
  void Fill(const std::string& identifier, const std::function<double(int, int)>& value) {
    const GridView g = grid(identifier);
    for (int r = g.rows().first; r <= g.rows().last; ++r) {
      for (int c = 1; c <= ncols_; ++c) g(r, c) = value(r, c);
    }
  }
  int CountUsed() const {
    int n = 0;
    for (int i = 1; i < grid_table::size(); ++i) n += (*table_)[i].identifier ? 1 : 0;
    return n;
  }

  // Builds the model in the test's folder; the code raised, or 0.
  int Build(const GroundwaterSection& section, int sub_steps = 1) {
    WriteFile(dir_.file("c.ctl"), section.Render());
    settings_.compiled_control_file = dir_.file("c.ctl");
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(dir_.path());
    model_.reset();
    const int code = CodeOf([&] { model_ = std::make_unique<gwflowclass>(log_, registry_, settings_, sub_steps); });
    std::filesystem::current_path(previous);
    return code;
  }

  // Runs `steps` model steps of the model's sub-step count from 1.1.2000 0 h.
  void Run(int steps) {
    for (int k = 0; k < steps; ++k) {
      const ModelDate d{2000, 1, 1 + k / 24, k % 24};
      model_->BeginStep(d);
      for (int s = 0; s < model_->GetSubSteps(); ++s) model_->SubStep(d);
      model_->EndStep(d);
    }
  }

  int threads_;
  modelobject registrar_{log_, "c"};
  int nrows_ = 0;
  int ncols_ = 0;
  RowRange held_;
  std::unique_ptr<grid_table> table_;
  std::vector<Grid> owned_;
  SoilTable soils_;
  ModelSettings settings_;
  StatisticsRegistry registry_;
  std::unique_ptr<gwflowclass> model_;
};

}  // namespace tolvo::test
