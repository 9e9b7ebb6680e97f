// Derived grids under 1, 2 and 3 processes. Process 0 holds every row of the zone grid,
// the elevation model and the grids of the lists, exactly as a one-process run does; the
// grids it derives are therefore those of a one-process run. Every other process must
// hold the same values on its rows, and the files written through the gather must be the
// bytes that a one-process run writes from process 0's grid (its values inside the domain,
// nodata outside).
#include <gtest/gtest.h>
#include <mpi.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "framework/grid_table.h"
#include "framework/halo_exchange.h"
#include "setup/derived_grids.h"
#include "setup/landuse_layer_grids.h"
#include "setup/mpi_decomposition_fixture.h"
#include "tables/multilayer_landuse.h"

namespace tolvo::test {
namespace {

double Elevation(int r, int c) { return 3.0 * r * r + 7.0 * c + (r * c) % 5; }

class DerivedGridsOverProcesses : public DecomposedDomain {
 protected:
  void SetUp() override {
    DecomposedDomain::SetUp();
    Decompose(false);
    reader_.set_strip(decomposition_.own_rows);
    reader_.set_grid_table(table_.get());
    // Every process names process 0's folder: only process 0 writes grid files.
    const std::string folder = TextOfProcess0(dir_.path().string() + "/");
    reader_.set_directories(folder, folder);
    reader_.set_output_formats({.doubles = true});

    zone_grid_ = Distributed([](int r, int c) { return FixtureZoneCell(r, c) ? 1.0 + (c > 5) : kNodata; });
    dem_ = Distributed([](int r, int c) { return r == 5 && c == 4 ? kNodata : Elevation(r, c); });
    size_x_ = Distributed([](int, int c) { return 80.0 + 5 * c; });
    size_y_ = Distributed([](int r, int) { return 90.0 + 3 * r; });
    const RowRange held = zone_grid_.rows();
    reader_.RegisterGrid(1, "zones.asc", zone_grid_.view(), {}, 0, "[zone_grid]", 0, held.first, held.last);
    reader_.RegisterGrid(2, "dem.asc", dem_.view(), {}, 0, "[elevation_model]", 0, held.first, held.last);
    reader_.RegisterGrid(3, "sx.asc", size_x_.view(), {}, 0, "CellSizeX", 0, held.first, held.last);
    reader_.RegisterGrid(4, "sy.asc", size_y_.view(), {}, 0, "CellSizeY", 0, held.first, held.last);
  }

  // A grid as the set-up holds it: every cell on process 0; elsewhere the process's own
  // cells and, after the halo exchange, its halo cells, with nodata everywhere else.
  template <typename Value>
  Grid Distributed(Value value) {
    Grid grid = HeldGrid(kNodata);
    const RowRange held = grid.rows();
    for (int r = held.first; r <= held.last; ++r) {
      for (int c = 1; c <= kCols; ++c) {
        if (rank_ == 0 || Mine(r, c)) grid(r, c) = value(r, c);
      }
    }
    ExchangeHalo(reader_.context(), grid.view());
    return grid;
  }

  // Process 0's grid, rows 1..nrows, on every process.
  Grid FromProcess0(ConstGridView grid) {
    Grid whole(1, kRows, kCols, kRows);
    for (int r = 1; r <= kRows; ++r) {
      if (rank_ == 0) std::copy_n(grid.row(r).data(), kCols + 1, whole[r]);
      MPI_Bcast(whole[r], kCols + 1, MPI_DOUBLE, 0, MPI_COMM_WORLD);
    }
    return whole;
  }

  bool HaloCell(int r, int c) const {
    return std::ranges::any_of(decomposition_.receive_list, [&](const StripRecord& s) {
      return s.row == r && c >= s.first_col && c < s.first_col + s.cell_count;
    });
  }

  // Process 0: the file a one-process run writes from `grid`.
  std::string OneProcessFile(ConstGridView grid, const std::string& name) {
    Grid masked(1, kRows, kCols, kRows);
    masked.fill(kNodata);
    for (int r = 1; r <= kRows; ++r) {
      for (int c = 1; c <= kCols; ++c) {
        if (FixtureZoneCell(r, c)) masked(r, c) = grid(r, c);
      }
    }
    reader_.WriteGridFile(name, std::as_const(masked).view(), false, true, false);
    return ReadFile(dir_.file(name));
  }

  std::unique_ptr<grid_table> table_ = std::make_unique<grid_table>();
  Grid zone_grid_;
  Grid dem_;
  Grid size_x_;
  Grid size_y_;
  DerivedGrids derived_;
  int grid_count_ = 0;
};

TEST_F(DerivedGridsOverProcesses, EveryProcessHoldsTheOneProcessGridsAndTheFilesAreTheSame) {
  derived_.MakeCellSizeGrids(reader_, grid_count_);
  derived_.MakeCoordinateGrids(reader_, grid_count_);
  derived_.FindMaxElevation(reader_);
  derived_.make_Slope_and_Aspect(reader_, grid_count_);
  EXPECT_EQ(grid_count_, 5);

  // The maximum of the elevation model within the zone columns of the rows.
  double maximum = kNodata;
  for (int r = 1; r <= kRows; ++r) {
    int first = 0;
    int last = -1;
    for (int c = 1; c <= kCols; ++c) {
      if (!FixtureZoneCell(r, c)) continue;
      if (first == 0) first = c;
      last = c;
    }
    for (int c = std::max(first, 1); c <= last; ++c) {
      if (!(r == 5 && c == 4)) maximum = std::max(maximum, Elevation(r, c));
    }
  }
  EXPECT_EQ(derived_.GetMaxElevation(), maximum);

  struct Made {
    const char* file;
    const DerivedGrids::Member* member;
    bool all_cells;  // the process holds every cell of its rows (else own and halo cells)
  };
  const Made made[] = {{"zones.$rca", &derived_.rel_cell_area(), false},
                       {"zones.$cx", &derived_.coord_x(), true},
                       {"zones.$cy", &derived_.coord_y(), true},
                       {"dem.$sl", &derived_.slope_angle(), true},
                       {"dem.$ex", &derived_.slope_aspect(), true}};
  for (const Made& m : made) {
    SCOPED_TRACE(m.file);
    const Grid reference = FromProcess0(m.member->values);
    const ConstGridView mine = m.member->values;
    const RowRange held = mine.rows();
    for (int r = held.first; r <= held.last; ++r) {
      for (int c = 1; c <= kCols; ++c) {
        if (!m.all_cells && !Mine(r, c) && !HaloCell(r, c)) continue;
        ASSERT_EQ(mine(r, c), reference(r, c)) << "row " << r << ", column " << c << " on process " << rank_;
      }
    }
    if (rank_ == 0) {
      const std::string written = ReadFile(dir_.file(m.file));
      EXPECT_EQ(written, OneProcessFile(mine, std::string(m.file) + ".one"));
    }
  }
}

TEST_F(DerivedGridsOverProcesses, LayerGridsHoldTheOwnersCodesInTheHaloRows) {
  MultilayerLanduseTable types(2);
  types[1].ParseBlock(log_, "1 forest_grass { Landuse_Layers = 4, 1; }");
  types[2].ParseBlock(log_, "2 crop_soil { Landuse_Layers = 2, 3; }");
  const auto type_of = [](int r, int c) { return (r + c) % 2 + 1; };
  Grid landuse = Distributed([&](int r, int c) { return FixtureZoneCell(r, c) ? type_of(r, c) : kNodata; });
  const RowRange held = landuse.rows();
  reader_.RegisterGrid(5, "landuse.asc", landuse.view(), {}, 0, "landuse", 0, held.first, held.last);
  LanduseCodeLayers layers;
  layers.MakeLanduseLayerGrids(reader_, types, grid_count_);
  ASSERT_EQ(layers.layer_count(), 2);
  for (int j = 1; j <= 2; ++j) {
    const ConstGridView layer = layers.layers()[static_cast<std::size_t>(j)];
    for (int r = held.first; r <= held.last; ++r) {
      for (int c = 1; c <= kCols; ++c) {
        SCOPED_TRACE(testing::Message() << "layer " << j << ", row " << r << ", column " << c);
        const bool known = FixtureZoneCell(r, c) && (Mine(r, c) || HaloCell(r, c));
        const double expected = known ? types[type_of(r, c)].GetLayerCodes()[static_cast<std::size_t>(j)] : kNodata;
        ASSERT_EQ(layer(r, c), expected);
      }
    }
  }
}

}  // namespace
}  // namespace tolvo::test
