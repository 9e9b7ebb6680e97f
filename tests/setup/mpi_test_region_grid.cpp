// The region weights under 1, 2 and 3 processes: the tables are the same on every process,
// and every process's cells (own and halo) hold what one process computes for the whole
// domain.
#include <gtest/gtest.h>
#include <mpi.h>

#include <cmath>
#include <fstream>
#include <string>
#include <vector>

#include "framework/grid_table.h"
#include "mpi_decomposition_fixture.h"
#include "setup/region_grid.h"

namespace tolvo::test {
namespace {

// Four regions: codes 1 to 4 by quarter of the fixture's domain.
double RegionCode(int r, int c) { return 1 + (c > 5) + 2 * (r > 6); }
double ZoneValue(int r, int c) { return FixtureZoneCell(r, c) ? 1 + (c > 5) : kNodata; }

class RegionGridsMpi : public DecomposedDomain {
 protected:
  void Prepare() {
    Decompose(false);
    reader_.set_strip(decomposition_.own_rows);
    reader_.set_grid_table(&table_);
    reader_.set_output_formats({.ascii = true});
    reader_.set_directories("", dir_.path().string() + "/");
    held_ = rank_ == 0 ? RowRange{1, kRows} : decomposition_.held_rows;
    zone_grid_ = Grid(held_.first, held_.last, kCols, kRows);
    regions_ = Grid(held_.first, held_.last, kCols, kRows);
    for (int r = held_.first; r <= held_.last; ++r) {
      for (int c = 1; c <= kCols; ++c) {
        zone_grid_(r, c) = ZoneValue(r, c);
        regions_(r, c) = FixtureZoneCell(r, c) ? RegionCode(r, c) : kNodata;
      }
    }
    reader_.RegisterGrid(1, "zones.asc", zone_grid_.view(), {}, 0, "[zone_grid]", 0, held_.first, held_.last);
    reader_.RegisterGrid(2, "regions.asc", regions_.view(), {}, 0, "regression_regions", 0, held_.first, held_.last);
    WriteFile(dir_.file("control.txt"), "[region_transition_distance]\n30 three cells of 10 m\n");
  }

  grid_table table_;
  RowRange held_;
  Grid zone_grid_;
  Grid regions_;
};

TEST_F(RegionGridsMpi, EveryProcessHoldsTheWholeDomainResult) {
  Prepare();
  RegionGrids grids;
  int registered = 0;
  grids.MakeRegionWeightGrids(reader_, [&] { ++registered; });
  EXPECT_EQ(registered, 5);

  // The tables equal process 0's on every process.
  const RegionTables& tables = grids.tables();
  ASSERT_EQ(tables.region_count, 4);
  ASSERT_EQ(tables.largest_code, 4);
  EXPECT_EQ(tables.code_index, (std::vector<int>{0, 1, 2, 3, 4}));
  std::vector<double> centroids;
  for (const RegionCentroidRecord& record : tables.centroids) {
    centroids.insert(centroids.end(), {double(record.row), double(record.col), record.mean_row, record.mean_col,
                                       record.cell_count});
  }
  std::vector<double> first = centroids;
  MPI_Bcast(first.data(), static_cast<int>(first.size()), MPI_DOUBLE, 0, MPI_COMM_WORLD);
  EXPECT_EQ(centroids, first);
  EXPECT_EQ(tables.centroids[0].cell_count, 0);

  // The whole-domain computation of one process.
  Grid zone(1, kRows, kCols, kRows);
  Grid whole_regions(1, kRows, kCols, kRows);
  for (int r = 1; r <= kRows; ++r) {
    for (int c = 1; c <= kCols; ++c) {
      zone(r, c) = ZoneValue(r, c);
      whole_regions(r, c) = FixtureZoneCell(r, c) ? RegionCode(r, c) : kNodata;
    }
  }
  std::vector<Grid> expected;
  for (int k = 0; k < 5; ++k) expected.emplace_back(1, kRows, kCols, kRows);
  const std::vector<ColumnRange> all_columns(kRows + 1, ColumnRange{1, kCols});
  ComputeRegionWeights({zone.view(), whole_regions.view(), expected[0].view(), expected[1].view(),
                        expected[2].view(), expected[3].view(), expected[4].view()},
                       all_columns, 4, 3.0, kNodata);

  const char* identifiers[] = {"regression_weights1", "regression_regions2", "regression_weights2",
                               "regression_regions3", "regression_weights3"};
  for (int k = 0; k < 5; ++k) {
    SCOPED_TRACE(identifiers[k]);
    const int index = reader_.FindGrid(identifiers[k], true);
    ASSERT_GT(index, 0);
    const ConstGridView values = table_[index].values;
    for (int r = held_.first; r <= held_.last; ++r) {
      for (int c = 1; c <= kCols; ++c) {
        if (FixtureZoneCell(r, c) && (rank_ == 0 || Mine(r, c))) {
          EXPECT_EQ(values(r, c), expected[static_cast<std::size_t>(k)](r, c)) << r << "," << c;
        }
      }
    }
    // Halo cells of the zone come from their owners.
    for (const StripRecord& strip : decomposition_.receive_list) {
      for (int c = strip.first_col; c < strip.first_col + strip.cell_count; ++c) {
        if (FixtureZoneCell(strip.row, c)) {
          EXPECT_EQ(values(strip.row, c), expected[static_cast<std::size_t>(k)](strip.row, c))
              << strip.row << "," << c;
        }
      }
    }
  }

  // Process 0 writes each grid once, whole.
  if (rank_ == 0) {
    std::ifstream file(dir_.file("regions.$w3"));
    std::string line;
    for (int i = 0; i < 6; ++i) std::getline(file, line);
    for (int r = 1; r <= kRows; ++r) {
      for (int c = 1; c <= kCols; ++c) {
        double v = 0;
        ASSERT_TRUE(file >> v);
        if (FixtureZoneCell(r, c)) {
          EXPECT_NEAR(v, expected[4](r, c), 1e-5) << r << "," << c;
        } else {
          EXPECT_EQ(v, kNodata) << r << "," << c;
        }
      }
    }
  }
}

}  // namespace
}  // namespace tolvo::test
