// The grid lists under 1, 2 and 3 processes: every process holds the values of the grids
// on its own cells and, after each change, on the halo cells it receives; the statistics
// tables of the grid lists are those of one process, byte for byte.
#include <gtest/gtest.h>
#include <mpi.h>
#include <omp.h>

#include <functional>
#include <sstream>
#include <string>

#include "framework/grid_table.h"
#include "framework/zonal_statistic.h"
#include "mpi_decomposition_fixture.h"
#include "setup/grid_list_statistics.h"
#include "setup/grid_lists.h"
#include "tables/landuse_table.h"
#include "tables/multilayer_landuse.h"

namespace tolvo::test {
namespace {

// Three decimals, which do not add exactly in binary: the zone sums must not depend on
// which process or thread adds which cell. Written as text with six significant digits
// and read back, each value is the same double as here.
double Temperature(int r, int c) { return (1000 * r + 37 * c) / 1000.0; }
bool TemperatureMissing(int r, int c) { return (r + c) % 7 == 0; }
double Periodic(int r, int c) { return 10.0 * r + c; }
// Land-use codes of the multilayer table: 11 in zone 1, 3 in zone 2.
double LanduseCode(int, int c) { return c > 5 ? 3 : 11; }

class GridListsMpi : public DecomposedDomain {
 protected:
  void SetUp() override {
    DecomposedDomain::SetUp();
    Decompose(false);
    reader_.set_name("defaults");
    reader_.set_strip(decomposition_.own_rows);
    reader_.set_grid_table(&table_);
    reader_.set_directories(dir_.path().string() + "/", dir_.path().string() + "/");
  }

  // An ASCII grid of the fixture's geometry with value(r, c) in the domain cells.
  void WriteGrid(const std::string& name, const std::function<double(int, int)>& value) const {
    std::ostringstream text;
    text << "ncols " << kCols << "\nnrows " << kRows << "\nxllcorner 0\nyllcorner 0\ncellsize 10\nNODATA_value -9999\n";
    for (int r = 1; r <= kRows; ++r) {
      for (int c = 1; c <= kCols; ++c) text << (FixtureZoneCell(r, c) ? value(r, c) : kNodata) << " ";
      text << "\n";
    }
    WriteFile(dir_.file(name), text.str());
  }

  // Stages 1, 6 and 7 of the set-up as far as the grid lists need them: the names, then
  // the zone grid at entry 1 on the rows every process holds.
  void ReadNames(const std::string& standard_grids) {
    WriteFile(dir_.file("control.txt"), "[zone_grid]\nzone.asc\n[elevation_model]\ndem.asc\n" + standard_grids);
    ASSERT_TRUE(reader_.OpenControlFile(dir_.file("control.txt")));
    lists_.ReadStandardGrids(reader_);
    reader_.CloseControlFile();
    if (rank_ != 0) zone_ = HeldGrid(kNodata);
    ScatterGrid(reader_.context(), zone_.view());
    ExchangeHalo(reader_.context(), zone_.view());
    const RowRange rows = zone_.rows();
    reader_.RegisterGrid(1, "zone.asc", zone_.view(), {}, 0, "[zone_grid]", 0, rows.first, rows.last);
    reader_.RegisterGrid(2, "dem.asc", zone_.view(), {}, 0, "[elevation_model]", 0, rows.first, rows.last);
  }

  // Expects value(r, c) in every own domain cell and every domain cell of the halo strips
  // this process receives.
  void ExpectOwnAndHaloCells(ConstGridView grid, const std::function<double(int, int)>& value) const {
    for (int r = decomposition_.own_rows.first; r <= decomposition_.own_rows.last; ++r) {
      for (int c = 1; c <= kCols; ++c) {
        if (FixtureZoneCell(r, c) && Mine(r, c)) {
          EXPECT_EQ(grid(r, c), value(r, c)) << r << "," << c;
        }
      }
    }
    for (const StripRecord& strip : decomposition_.receive_list) {
      for (int c = strip.first_col; c < strip.first_col + strip.cell_count; ++c) {
        if (!FixtureZoneCell(strip.row, c)) continue;
        EXPECT_EQ(grid(strip.row, c), value(strip.row, c)) << "halo " << strip.row << "," << c;
      }
    }
  }

  grid_table table_;
  GridLists lists_;
};

TEST_F(GridListsMpi, GridsHoldTheirValuesOnOwnAndHaloCellsThroughoutTheRun) {
  WriteGrid("p.asc", [](int, int) { return 1.0; });
  WriteGrid("p.asc_2001010124", Periodic);
  WriteGrid("lu.asc", [](int, int c) { return c > 5 ? 2.0 : 1.0; });
  WriteGrid("lu.asc_2001010124", LanduseCode);
  ReadNames("[standard_grids]\n3\n"
            "c.asc const 0 readcode = 0 defaultValue = 5\n"
            "p.asc periodic 0 periodicity = 1 Y 1 persistent = 0 1\n"
            "lu.asc landuse 0 periodicity = 1 Y 1\n");
  lists_.ReadStandardGridValues(reader_);
  ExpectOwnAndHaloCells(table_[3].values, [](int, int) { return 5.0; });
  ExpectOwnAndHaloCells(table_[4].values, [](int, int) { return 1.0; });

  LanduseTable landuse(2);
  landuse[1].SetCode(11);
  landuse[2].SetCode(3);
  MultilayerLanduseTable multilayer(2);
  multilayer[1].ParseBlock(log_, "11 forest { Landuse_Layers = 11, 3; }");
  multilayer[2].ParseBlock(log_, "3 field { Landuse_Layers = 3, -9999; }");
  Grid layer1 = HeldGrid(kNodata);
  Grid layer2 = HeldGrid(kNodata);
  lists_.SetLanduseRenewal(
      {.position = 5, .landuse = &landuse, .multilayer = &multilayer, .layers = {layer1.view(), layer2.view()}});

  // The first step re-reads both grids; the land-use codes become table indices and the
  // layer grids follow them, halo rows included.
  lists_.UpdatePeriodicGrids(reader_, {2001, 1, 1, 24}, 1440);
  ExpectOwnAndHaloCells(table_[4].values, Periodic);
  ExpectOwnAndHaloCells(table_[5].values, [](int, int c) { return c > 5 ? 2.0 : 1.0; });
  ExpectOwnAndHaloCells(layer1.view(), [](int, int c) { return c > 5 ? 2.0 : 1.0; });
  ExpectOwnAndHaloCells(layer2.view(), [](int, int c) { return c > 5 ? kNodata : 2.0; });

  // One step later the grid that is not persistent has its set-up values again.
  lists_.UpdatePeriodicGrids(reader_, {2001, 1, 2, 24}, 1440);
  ExpectOwnAndHaloCells(table_[4].values, [](int, int) { return 1.0; });
}

TEST_F(GridListsMpi, StatisticsTablesAreThoseOfOneProcess) {
  WriteGrid("t.asc", [](int r, int c) { return TemperatureMissing(r, c) ? kNodata : Temperature(r, c); });
  ReadNames("[standard_grids]\n2\n"
            "t.asc temp 0 statfile = t.txt statcode = 2001\n"
            "u.asc other 0 readcode = 0 defaultValue = 1\n");
  lists_.ReadStandardGridValues(reader_);
  StatisticsRegistry registry;
  GridListStatistics statistics;
  // More threads than rows per process, so that threads share out the rows unevenly.
  const int threads_before = omp_get_max_threads();
  omp_set_num_threads(4);
  statistics.InitGridStatistics(reader_, lists_.grid_count(), ranking_, registry, StatisticsRegistry::kCapacity, {});
  for (long long day = 1; day <= 2; ++day) {
    statistics.ResetGridStatistics(reader_);
    statistics.AccumulateGridStatistics(reader_);
    statistics.FinishGridStatistics(reader_, {2001, 1, day, 24});
  }
  statistics.ReleaseGridStatistics(reader_);
  omp_set_num_threads(threads_before);
  if (rank_ != 0) return;

  // The table of one process, made on process 0 alone from every domain cell that has a
  // value.
  std::vector<ZoneRecord> zones(ranking_.zones);
  std::string name = "one_process.txt";
  zonalstatistic table(log_, {}, kRows, kCols, zones, ranking_.zone_count, 2001, 5, name, dir_.path().string() + "/",
                       {});
  StatisticsRegistry own_registry;
  table.WriteHeader("temp", "(default)", own_registry, StatisticsRegistry::kCapacity);
  for (long long day = 1; day <= 2; ++day) {
    table.BeginStep();
    for (int r = 1; r <= kRows; ++r) {
      for (int c = 1; c <= kCols; ++c) {
        if (!FixtureZoneCell(r, c) || TemperatureMissing(r, c)) continue;
        table.AddValue(r, c, ranking_.code_index[static_cast<std::size_t>(zone_(r, c))], Temperature(r, c), 1.0);
      }
    }
    table.EndStep(2001, 1, day, 24, 0);
  }
  table.Release();
  const std::string expected = ReadFile(dir_.file("one_process.txt"));
  EXPECT_NE(expected.find("2001\t 1\t 2\t24\t"), std::string::npos) << expected;
  EXPECT_EQ(ReadFile(dir_.file("t.txt")), expected);
}

}  // namespace
}  // namespace tolvo::test
