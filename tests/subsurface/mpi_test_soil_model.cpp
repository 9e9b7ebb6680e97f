// The soil model built on a decomposed domain under 1, 2 and 3 processes: every process
// gives its own cells the same start profile, only the owner of the control cell writes
// the control-point files, and process 0's model log holds the means of all cells.
#include <gtest/gtest.h>
#include <mpi.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <vector>

#include "framework/grid_table.h"
#include "framework/model_settings.h"
#include "framework/statistics_registry.h"
#include "setup/mpi_decomposition_fixture.h"
#include "subsurface/soil_glacier_temperatures.h"
#include "subsurface/soil_section_text.h"
#include "subsurface/unsatzonmodellklasse.h"
#include "tables/soil_table.h"

namespace tolvo {
namespace {

class DecomposedSoilModel : public test::DecomposedDomain {
 protected:
  // Registers a grid over the rows this process holds; `value` gives each cell's value.
  template <typename Value>
  void Add(const std::string& identifier, Value value, int index = 0) {
    Grid& g = grids_.emplace_back(HeldGrid(0));
    for (int r = g.rows().first; r <= g.rows().last; ++r) {
      for (int c = 1; c <= test::kCols; ++c) g(r, c) = value(r, c);
    }
    if (index == 0) index = table_.TakeFreeEntries(1, {}, log_, "full");
    reader_.RegisterGrid(index, identifier, g.view(), {}, 0, identifier, 0, g.rows().first, g.rows().last);
  }
  void Add(const std::string& identifier, double value) {
    Add(identifier, [value](int, int) { return value; });
  }

  // `extra_sections` follow the soil section in the control file; `extra_grids` registers
  // grids before the model is built.
  int Build(const test::SoilSectionText& section, const std::string& extra_sections = "",
            const std::function<void()>& extra_grids = {}) {
    Decompose(false);
    reader_.set_grid_table(&table_);
    grids_.reserve(40);
    const auto zone = [](int r, int c) { return test::FixtureZoneCell(r, c) ? 1.0 + (c > 5) : kNodata; };
    Add("zone", zone, 1);
    Add(
        "dem", [](int r, int) { return 100.0 - r; }, 2);
    RegisterDecompositionGrids(reader_, decomposition_);
    Add("zonegrid_soilmodel", zone);
    for (const char* id : {"landuse1", "vegetation_coverage_degree1", "leaf_area_index1", "SurfaceCanopyResistance1",
                           "SurfaceIntercepResistance1", "RoughnessLength1", "pot_transpiration0", "pot_transpiration1",
                           "real_transpiration0", "real_transpiration1", "SurfaceEvaporationResistance", "albedo",
                           "potential_evaporation", "real_evaporation", "soil_types", "flow_times", "precipitation"}) {
      Add(id, 1.0);
    }
    Add("root_depth1", 0.25);
    Add("slope_angle", 30.0);
    soils_.emplace_back(1);
    soils_.emplace_back(20).ParseBlock(
        log_,
        "20 loam { method = MultipleHorizons; layers = 5; ksat = 1e-5; theta_sat = 0.43; theta_res = 0.078; "
        "alpha = 3.6; Par_n = 1.56; thickness = 0.1; }\n");
    settings_.geometry = {.ncols = test::kCols, .nrows = test::kRows, .cellsize = 10, .nodata_value = kNodata};
    settings_.strip = decomposition_.own_rows;
    settings_.grids = &table_;
    settings_.soils = &soils_;
    settings_.layout = &layout_;
    settings_.output_directory = dir_.path().string() + "/";
    if (extra_grids) extra_grids();
    test::WriteFile(dir_.file("c.ctl"), section.Render() + extra_sections);
    settings_.compiled_control_file = dir_.file("c.ctl");
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(dir_.path());
    const int code =
        test::CodeOf([&] { model_ = std::make_unique<unsatzonmodellklasse>(log_, registry_, settings_, 1); });
    std::filesystem::current_path(previous);
    return code;
  }

  // Goes into the run's folder and chooses the water input (no tracers); returns the folder
  // to go back to.
  std::filesystem::path EnterRunFolder() {
    std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(dir_.path());
    EXPECT_EQ(test::CodeOf([&] {
                model_->selectInfiltrationInput(false);
                model_->InitTracers(0, {}, registry_, StatisticsRegistry::kCapacity);
              }),
              0);
    return previous;
  }

  StackView Stack(const std::string& identifier) {
    for (int i = 1; i < grid_table::size(); ++i) {
      if (table_[i].identifier == identifier) return table_[i].stack;
    }
    return {};
  }
  GridView Values(const std::string& identifier) {
    for (int i = 1; i < grid_table::size(); ++i) {
      if (table_[i].identifier == identifier) return table_[i].values;
    }
    return {};
  }

  grid_table table_;
  std::vector<Grid> grids_;
  SoilTable soils_;
  ModelSettings settings_;
  StatisticsRegistry registry_;
  std::unique_ptr<unsatzonmodellklasse> model_;
};

TEST_F(DecomposedSoilModel, OwnCellsStartAlikeAndTheLogsCoverEveryCell) {
  test::SoilSectionText section;
  section.control_point = "5 7";
  ASSERT_EQ(Build(section), 0) << console_.str();
  const StackView theta = Stack("theta");
  const GridView level = Values("groundwater_level");
  double column_water = -1;
  int own_cells = 0;
  for (int r = decomposition_.own_rows.first; r <= decomposition_.own_rows.last; ++r) {
    for (int c = 1; c <= test::kCols; ++c) {
      if (!test::FixtureZoneCell(r, c) || !Mine(r, c)) {
        EXPECT_EQ(level(r, c), kNodata) << r << " " << c;
        continue;
      }
      ++own_cells;
      // Every column has the same layers: the same profile whatever its elevation.
      double w = 0;
      for (int k = 1; k <= 5; ++k) w += theta(r, c, k) * 0.1;
      if (column_water < 0) column_water = w;
      EXPECT_DOUBLE_EQ(w, column_water) << r << " " << c;
      EXPECT_EQ(level(r, c), 4);
      EXPECT_DOUBLE_EQ(theta(r, c, 5), 0.43);
    }
  }
  EXPECT_GT(own_cells, 0);
  // Process 0 holds every row of the decomposition.
  int owner = rank_ == 0 ? OwnerOf(5, 7) : -1;
  MPI_Bcast(&owner, 1, MPI_INT, 0, MPI_COMM_WORLD);
  // Only the owner of the control cell writes the control-point files and its log line.
  EXPECT_EQ(std::filesystem::exists(dir_.file("hhyd.txt")), owner == rank_);
  const std::string own_log = std::filesystem::exists(dir_.file("modell_" + std::to_string(rank_) + ".log"))
                                  ? test::ReadFile(dir_.file("modell_" + std::to_string(rank_) + ".log"))
                                  : std::string();
  EXPECT_EQ(own_log.find("for control point r=5 c=7") != std::string::npos, owner == rank_);
  double reference = column_water;
  MPI_Bcast(&reference, 1, MPI_DOUBLE, 0, MPI_COMM_WORLD);
  if (rank_ == 0) {
    char expected[200];
    std::snprintf(expected, sizeof expected, "mean soil water content for all cells at model-start: %lf m^3/m^2\n",
                  reference);
    EXPECT_NE(own_log.find(expected), std::string::npos) << own_log;
  } else {
    EXPECT_EQ(own_log.find("mean soil water content"), std::string::npos);
  }
}

// Rain on the decomposed basin, with flow times of one and two steps: what reaches the
// outlet of a sub-basin in a step is the direct runoff of its zone-1 cells of this step and
// of its zone-2 cells of the step before, over the weight of all its cells (during the
// first step the zone-2 cells count with their weight and no water yet), whatever the
// number of processes.
TEST_F(DecomposedSoilModel, DirectRunoffReachesTheOutletByFlowTimeZones) {
  ASSERT_EQ(Build(test::SoilSectionText{}), 0) << console_.str();
  const GridView rain = Values("precipitation");
  const GridView flow_times = Values("flow_times");
  for (int r = rain.rows().first; r <= rain.rows().last; ++r) {
    for (int c = 1; c <= test::kCols; ++c) {
      rain(r, c) = 20 + (r * c) % 7;
      flow_times(r, c) = 3000.0 * ((r + c) % 3);  // 0 and 3000 s: zone 1; 6000 s: zone 2
    }
  }
  const std::filesystem::path previous = EnterRunFolder();
  const GridView zones = Values("flow_times");
  const GridView directflow = Values("directflow");
  std::vector<double> waiting(3, 0.0);  // zone-2 runoff of the step before, per sub-basin
  for (int h = 0; h < 3; ++h) {
    const ModelDate d{2020, 6, 1, h};
    ASSERT_EQ(test::CodeOf([&] {
                model_->prepareTimeStep(d);
                model_->SubStep(d);
              }),
              0);
    // [sub-basin][zone 1, zone 2, cells]
    std::vector<double> own(9, 0.0), all(9, 0.0);
    for (int r = decomposition_.own_rows.first; r <= decomposition_.own_rows.last; ++r) {
      for (int c = 1; c <= test::kCols; ++c) {
        if (!test::FixtureZoneCell(r, c) || !Mine(r, c)) continue;
        const int s = 1 + (c > 5);
        own[3 * s + static_cast<int>(zones(r, c)) - 1] += directflow(r, c);
        own[3 * s + 2] += 1;
      }
    }
    MPI_Allreduce(own.data(), all.data(), 9, MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
    ASSERT_EQ(test::CodeOf([&] { model_->concentrateSubbasinRunoff(d); }), 0);
    if (rank_ == 0) {
      for (int s = 1; s <= 2; ++s) {
        const double expected = (all[3 * s] + waiting[s]) / all[3 * s + 2];
        EXPECT_NEAR(model_->getQD()[0][s], expected, 1e-12 * expected) << "step " << h << " sub-basin " << s;
        EXPECT_GT(expected, 0);
      }
    }
    for (int s = 1; s <= 2; ++s) waiting[s] = all[3 * s + 1];
  }
  std::filesystem::current_path(previous);
  EXPECT_EQ(model_->flow_time_zone_counts()[1], 2);
}

// Lakes of method 2 and an external groundwater table on the decomposed basin: every owner
// resets its lake cells, process 0 gathers the sunken terrain of all of them, and every
// cell's "Balance" is the water its column gained or lost, whatever the number of processes.
TEST_F(DecomposedSoilModel, LakesAndTheExternalTableOnEveryProcess) {
  const auto lake = [](int r, int c) { return (r == 3 && c == 3) || (r == 6 && c == 6) || (r == 9 && c == 8); };
  test::SoilSectionText section;
  section.pond = 1;
  ASSERT_EQ(Build(section, "[lake_model]\n1 lakes\n2 method\n",
                  [&] {
                    Add("lake_codes", [&](int r, int c) { return lake(r, c) ? 1.0 : kNodata; });
                    Add("max_ponding_storage", 0.2);
                  }),
            0)
      << console_.str();
  const StackView theta = Stack("theta");
  const StackView heads = Stack("geodetic_heads");
  if (rank_ == 0) {
    const GridView dem = Values("dem");
    for (int r = 1; r <= test::kRows; ++r) {
      for (int c = 1; c <= test::kCols; ++c) {
        if (!test::FixtureZoneCell(r, c)) continue;
        EXPECT_NEAR(dem(r, c), 100.0 - r - (lake(r, c) ? 0.2 : 0.0), 1e-12) << r << " " << c;
      }
    }
  }
  const GridView table = Values("GWTableExtern");
  const GridView balance = Values("Balance");
  const auto water_mm = [&](int r, int c) {
    double w = 0;
    for (int k = 1; k <= 5; ++k) w += 100 * theta(r, c, k);
    return w;
  };
  int lakes_seen = 0;
  for (int r = decomposition_.own_rows.first; r <= decomposition_.own_rows.last; ++r) {
    for (int c = 1; c <= test::kCols; ++c) {
      if (!test::FixtureZoneCell(r, c) || !Mine(r, c) || !lake(r, c)) continue;
      ++lakes_seen;
      for (int k = 1; k <= 4; ++k) EXPECT_DOUBLE_EQ(theta(r, c, k), 0.43);
      EXPECT_EQ(Values("groundwater_level")(r, c), 1);
    }
  }
  int lakes = 0;
  MPI_Allreduce(&lakes_seen, &lakes, 1, MPI_INT, MPI_SUM, MPI_COMM_WORLD);
  EXPECT_EQ(lakes, 3);
  for (int step = 0; step < 6; ++step) {
    double before[test::kRows + 1][test::kCols + 1] = {};
    for (int r = decomposition_.own_rows.first; r <= decomposition_.own_rows.last; ++r) {
      for (int c = 1; c <= test::kCols; ++c) {
        if (!test::FixtureZoneCell(r, c) || !Mine(r, c)) continue;
        before[r][c] = water_mm(r, c);
        table(r, c) = heads(r, c, 0) - 0.05 * ((r + c + step) % 13);
      }
    }
    model_->applyExternalGroundwaterTable(60);
    for (int r = decomposition_.own_rows.first; r <= decomposition_.own_rows.last; ++r) {
      for (int c = 1; c <= test::kCols; ++c) {
        if (!test::FixtureZoneCell(r, c) || !Mine(r, c)) continue;
        EXPECT_NEAR(balance(r, c), water_mm(r, c) - before[r][c], 1e-9) << r << " " << c;
        EXPECT_GE(table(r, c), heads(r, c, 5) - 1e-12);
      }
    }
  }
}

// Fully glacierized cells take the soil temperatures of the nearest computed cell, found
// ring by ring over the whole basin: a glacier block in the middle of the basin reaches
// cells of other processes' rows under 2 and 3 processes, and every glacier cell gets the
// lent profile corrected by 0.7 K per 100 m of height difference, as under 1 process.
TEST_F(DecomposedSoilModel, GlacierCellsTakeTheTemperaturesOfTheNearestCellAcrossProcesses) {
  const auto glacier = [](int r, int c) { return r >= 4 && r <= 7 && c >= 4 && c <= 7; };
  const std::string heat =
      "[heat_transfer]\n1\n11\n0\n0\n10 base\n-0.01 lapse\n800\n1500\n2.0\n1e-11\n0.5562\n2.33\n4187\n1940\n2090\n"
      "334000\n1000\n1.22\n0.5\n60\n1800\n1\n1\ntemper.txt\ntemper.stat 0\ntemper.asc\n0\nthaw.asc\n0\n";
  ASSERT_EQ(Build(test::SoilSectionText{}, heat,
                  [&] {
                    // Warmer air further down the basin, so that every row's profile differs.
                    Add("temperature", [](int r, int c) { return 2.0 + r + 0.1 * c; });
                    Add("GlacierizedCells", [&](int r, int c) { return glacier(r, c) ? 1.0 : 0.3; });
                  }),
            0)
      << console_.str();
  const std::filesystem::path previous = EnterRunFolder();
  const auto run = [&](int first_hour, int last_hour) {
    for (int h = first_hour; h <= last_hour; ++h) {
      const ModelDate d{2020, 6, 1, h};
      ASSERT_EQ(test::CodeOf([&] {
                  model_->prepareTimeStep(d);
                  model_->SubStep(d);
                  model_->concentrateSubbasinRunoff(d);
                }),
                0)
          << console_.str();
    }
  };
  // Every cell's profile and surface height from the process that computes it, summed into
  // one table on every process.
  const StackView T = Stack("Soil_Temperature_Stack");
  const StackView z = Stack("geodetic_heads");
  constexpr int kLevels = 6;  // levels 0..5, then the height of level 1
  std::vector<double> all(test::kRows * test::kCols * kLevels);
  const auto at = [](int r, int c, int l) { return ((r - 1) * test::kCols + c - 1) * kLevels + l; };
  const auto gather = [&] {
    std::vector<double> own(all.size(), 0.0);
    for (int r = decomposition_.own_rows.first; r <= decomposition_.own_rows.last; ++r) {
      for (int c = 1; c <= test::kCols; ++c) {
        if (!test::FixtureZoneCell(r, c) || !Mine(r, c)) continue;
        for (int l = 0; l <= 4; ++l) own[at(r, c, l)] = T(r, c, l + 1);
        own[at(r, c, 5)] = z(r, c, 1);
      }
    }
    MPI_Allreduce(own.data(), all.data(), static_cast<int>(own.size()), MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
  };
  struct Lent {
    GridCell glacier, donor;
  };
  const auto expect_lent = [&](const Lent& k) {
    ASSERT_TRUE(test::FixtureZoneCell(k.glacier.row, k.glacier.col));
    const double shift = (all[at(k.donor.row, k.donor.col, 5)] - all[at(k.glacier.row, k.glacier.col, 5)]) * 0.007;
    EXPECT_GT(std::abs(shift), 0.006) << "the lapse correction shows";
    for (int l = 0; l <= 4; ++l) {
      EXPECT_NEAR(all[at(k.glacier.row, k.glacier.col, l)], all[at(k.donor.row, k.donor.col, l)] + shift, 1e-12)
          << k.glacier.row << " " << k.glacier.col << " level " << l + 1;
    }
  };
  run(1, 3);
  gather();
  // The donors of the ring search on this basin: (5, 5) finds nothing but glacier in ring
  // 1 and the cell straight above in ring 2; (6, 6) finds (4, 8) on ring 2's upper row;
  // (7, 4) finds (8, 5) at the lower right corner of ring 1, after its glacier cells; (4, 4)
  // passes (3, 4), which lies outside the basin, and finds (3, 5).
  for (const Lent& k : {Lent{{5, 5}, {3, 5}}, Lent{{6, 6}, {4, 8}}, Lent{{7, 4}, {8, 5}}, Lent{{4, 4}, {3, 5}}}) {
    expect_lent(k);
  }
  // Under 3 processes some of these glacier cells borrow from a cell another process
  // computes (process 0 holds every row of the regions grid).
  int size = 1;
  MPI_Comm_size(MPI_COMM_WORLD, &size);
  if (size == 3 && rank_ == 0) {
    EXPECT_NE(OwnerOf(5, 5), OwnerOf(3, 5));
  }
  // The glacier grows over (3, 5): (5, 5) now finds the next cell of ring 2's upper row.
  const GridView glacierized = Values("GlacierizedCells");
  if (glacierized.rows().contains(3)) glacierized(3, 5) = 1;
  run(4, 4);
  gather();
  expect_lent({{5, 5}, {3, 6}});
  std::filesystem::current_path(previous);
  // Donors differ from row to row, so a donor from the wrong row would show.
  EXPECT_GT(std::abs(all[at(3, 5, 0)] - all[at(8, 4, 0)]), 0.01);
}

}  // namespace
}  // namespace tolvo
