// Hydrologic response units under 1, 2 and 3 processes: every process holds the same unit
// list, a unit has the same number on every process, and the whole grids that process 0
// writes are those of one process.
#include <gtest/gtest.h>
#include <mpi.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "framework/grid_table.h"
#include "mpi_decomposition_fixture.h"
#include "setup/spin_up.h"

namespace tolvo::test {
namespace {

// First and last zone column of a row of the fixture; {0, -1} without any.
ColumnRange ZoneColumns(int r) {
  ColumnRange range{0, -1};
  for (int c = 1; c <= kCols; ++c) {
    if (!FixtureZoneCell(r, c)) continue;
    if (range.first == 0) range.first = c;
    range.last = c;
  }
  return range;
}

bool InRange(int r, int c) {
  const ColumnRange range = ZoneColumns(r);
  return c >= range.first && c <= range.last;
}

// The values of an ASCII grid file, row by row.
std::vector<double> FileValues(const std::string& path) {
  std::ifstream file(path);
  std::string line;
  for (int i = 0; i < 6; ++i) std::getline(file, line);
  std::vector<double> values;
  for (double v; file >> v;) values.push_back(v);
  return values;
}

class SpinUpMpi : public DecomposedDomain {
 protected:
  // `grid(r, c)` gives the values of a grid registered under `identifier` at entry 2.
  template <typename Values>
  void Prepare(const std::string& identifier, Values grid, const std::string& spin_up) {
    Decompose(false);
    reader_.set_strip(decomposition_.own_rows);
    reader_.set_grid_table(&table_);
    reader_.set_output_formats({.ascii = true});
    reader_.set_directories("", dir_.path().string() + "/");
    held_ = rank_ == 0 ? RowRange{1, kRows} : decomposition_.held_rows;
    zone_grid_ = Grid(held_.first, held_.last, kCols, kRows);
    values_ = Grid(held_.first, held_.last, kCols, kRows);
    for (int r = held_.first; r <= held_.last; ++r) {
      for (int c = 1; c <= kCols; ++c) {
        zone_grid_(r, c) = FixtureZoneCell(r, c) ? 1 : kNodata;
        values_(r, c) = grid(r, c);
      }
    }
    reader_.RegisterGrid(1, "zones.asc", zone_grid_.view(), {}, 0, "[zone_grid]", 0, held_.first, held_.last);
    reader_.RegisterGrid(2, identifier + ".asc", values_.view(), {}, 0, identifier, 0, held_.first, held_.last);
    WriteFile(dir_.file("control.txt"), "[SpinUp]\n1 on\n0 1\n" + spin_up);
  }

  std::string PerProcessFile(const std::string& name) const {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "_%03d", rank_);
    return dir_.file(name + suffix);
  }

  grid_table table_;
  RowRange held_;
  Grid zone_grid_;
  Grid values_;
  HydrologicResponseUnits units_;
};

TEST_F(SpinUpMpi, ClassifiedUnitsAreNumberedAlikeOnEveryProcess) {
  // Classes of 300 over 100 x column: units by column bands 1 (c < 3), 2 (3-5), 3 (6-8)
  // and 4 (9, 10), met first in row 2 at columns 2, 3, 6 and 9.
  Prepare("band", [](int, int c) { return 100.0 * c; }, "1 grid\nband 300 lin\n");
  units_.InitSpinUp(reader_, [] {});
  const std::vector<HruRecord> expected = {
      {}, {1, "0000'", 2, 2, 0}, {2, "0001'", 2, 3, 0}, {3, "0002'", 2, 6, 0}, {4, "0003'", 2, 9, 0}};
  EXPECT_EQ(units_.list(), expected);

  const ConstGridView units = table_[reader_.FindGrid("HydrologicResponseUnits", true)].values;
  for (int r = held_.first; r <= held_.last; ++r) {
    for (int c = 1; c <= kCols; ++c) {
      if (FixtureZoneCell(r, c) && Mine(r, c)) {
        EXPECT_EQ(units(r, c), c / 3 + 1) << r << "," << c;
      }
    }
  }
  EXPECT_FALSE(FileValues(PerProcessFile("All_HydrologicResponseUnits")).empty());
  EXPECT_FALSE(FileValues(PerProcessFile("Master_HydrologicResponseUnits")).empty());
  if (rank_ != 0) return;

  // Outside the column ranges the cells keep the 0 of a new grid.
  const std::vector<double> whole = FileValues(dir_.file("All_HydrologicResponseUnits"));
  const std::vector<double> masters = FileValues(dir_.file("Master_HydrologicResponseUnits"));
  ASSERT_EQ(whole.size(), static_cast<std::size_t>(kRows * kCols));
  ASSERT_EQ(masters.size(), whole.size());
  for (int r = 1; r <= kRows; ++r) {
    for (int c = 1; c <= kCols; ++c) {
      const std::size_t i = static_cast<std::size_t>((r - 1) * kCols + c - 1);
      const bool master = r == 2 && (c == 2 || c == 3 || c == 6 || c == 9);
      const double unit = !InRange(r, c) ? 0 : FixtureZoneCell(r, c) ? c / 3 + 1 : kNodata;
      EXPECT_EQ(whole[i], unit) << r << "," << c;
      EXPECT_EQ(masters[i], master ? unit : InRange(r, c) ? kNodata : 0) << r << "," << c;
    }
  }
}

TEST_F(SpinUpMpi, GivenCodesAreRenumberedAlikeOnEveryProcess) {
  // Codes 50 (columns 1-5) and 60 in the zone, nodata outside: 1, 2 and 3, the first cell
  // without a value in a row's zone columns being (3, 4).
  const auto codes = [](int r, int c) { return FixtureZoneCell(r, c) ? (c <= 5 ? 50.0 : 60.0) : kNodata; };
  Prepare("HydrologicResponseUnits", codes, "0 grids\n");
  units_.InitSpinUp(reader_, [] {});
  const std::vector<HruRecord> expected = {{}, {1, "50", 2, 2, 0}, {2, "60", 2, 6, 0}, {3, "-9999", 3, 4, 0}};
  EXPECT_EQ(units_.list(), expected);
  EXPECT_FALSE(FileValues(PerProcessFile("HydrologicResponseUnits.asc")).empty());
  if (rank_ != 0) return;

  const std::vector<double> whole = FileValues(dir_.file("HydrologicResponseUnits.asc"));
  ASSERT_EQ(whole.size(), static_cast<std::size_t>(kRows * kCols));
  for (int r = 1; r <= kRows; ++r) {
    for (int c = 1; c <= kCols; ++c) {
      const double code = codes(r, c);
      const double unit = !InRange(r, c) ? code : code == 50 ? 1 : code == 60 ? 2 : 3;
      EXPECT_EQ(whole[static_cast<std::size_t>((r - 1) * kCols + c - 1)], unit) << r << "," << c;
    }
  }
}

}  // namespace
}  // namespace tolvo::test
