// Output scheduling under 1, 2 and 3 processes: each process accumulates its own cells and
// process 0 writes the gathered grids, so the files hold the hand-computed values whatever
// the number of processes.
#include <gtest/gtest.h>
#include <mpi.h>

#include <memory>
#include <string>
#include <vector>

#include "framework/grid_table.h"
#include "framework/stack_reader.h"
#include "setup/mpi_decomposition_fixture.h"

namespace tolvo::test {
namespace {

double Value(int r, int c) { return r * 100.0 + c; }

class OutputsOverProcesses : public DecomposedDomain {
 protected:
  void SetUp() override {
    DecomposedDomain::SetUp();
    Decompose(false);
    reader_.set_strip(decomposition_.own_rows);
    reader_.set_grid_table(table_.get());
    // Every process works in process 0's folder, since the binary stacks are written and
    // read by all processes together.
    const std::string folder = TextOfProcess0(dir_.path().string() + "/");
    reader_.set_directories(folder, folder);
    reader_.set_output_formats({.ascii = true});
    zone_held_ = HeldGrid(kNodata);
    const RowRange held = zone_held_.rows();
    for (int r = held.first; r <= held.last; ++r) {
      for (int c = 1; c <= kCols; ++c) {
        if (FixtureZoneCell(r, c)) zone_held_(r, c) = 1;
      }
    }
    reader_.RegisterGrid(1, "zones.asc", zone_held_.view(), {}, 0, "[zone_grid]", 0, held.first, held.last);
    reader_.RegisterGrid(2, "dem.asc", zone_held_.view(), {}, 0, "[elevation_model]", 0, held.first, held.last);
    values_ = HeldGrid(-5);
  }

  // The process's own cells get factor x Value; every other cell keeps a value that must
  // not show up in any output.
  void SetOwnValues(double factor) {
    const RowRange held = values_.rows();
    for (int r = held.first; r <= held.last; ++r) {
      for (int c = 1; c <= kCols; ++c) values_(r, c) = Mine(r, c) ? factor * Value(r, c) : -5;
    }
  }

  static std::vector<double> Expected(double factor) {
    std::vector<double> values;
    for (int r = 1; r <= kRows; ++r) {
      for (int c = 1; c <= kCols; ++c) values.push_back(FixtureZoneCell(r, c) ? factor * Value(r, c) : kNodata);
    }
    return values;
  }

  std::unique_ptr<grid_table> table_ = std::make_unique<grid_table>();
  Grid zone_held_;
  Grid values_;
};

TEST_F(OutputsOverProcesses, GatheredCurrentValuesSumsMinimaAndMaxima) {
  const RowRange held = values_.rows();
  reader_.RegisterGrid(3, "temp.asc", values_.view(), {}, 0, "temp", 311, held.first, held.last);
  reader_.SetEndDate(2020, 1, 1, 2);
  const double factors[] = {1, -2};
  for (int hour = 1; hour <= 2; ++hour) {
    reader_.current_date() = {2020, 1, 1, hour};
    SetOwnValues(factors[hour - 1]);
    reader_.WriteGridOutputs(3, true, false);
  }
  if (rank_ == 0) {
    EXPECT_EQ(AsciiGridValues(dir_.file("temp.asc")), Expected(-2));
    EXPECT_EQ(AsciiGridValues(dir_.file("temp.sum")), Expected(-1));
    EXPECT_EQ(AsciiGridValues(dir_.file("temp.min")), Expected(-2));
    EXPECT_EQ(AsciiGridValues(dir_.file("temp.max")), Expected(1));
  }
}

TEST_F(OutputsOverProcesses, StacksAreWrittenWholeInEveryForm) {
  const RowRange held = values_.rows();
  Stack stack(held.first, held.last, kCols, 2, kRows);
  for (int r = held.first; r <= held.last; ++r) {
    for (int c = 1; c <= kCols; ++c) {
      for (int l = 0; l <= 2; ++l) stack(r, c, l) = Mine(r, c) ? Value(r, c) + l : -5;
    }
  }
  for (const bool ascii : {true, false}) {
    SCOPED_TRACE(ascii ? "ASCII" : "binary");
    reader_.set_output_formats({.ascii = ascii, .doubles = true});
    const std::string file = ascii ? "soilmoist.txt" : "soilmoist.stk";
    reader_.FreeGridEntry(3);
    reader_.RegisterGrid(3, file, values_.view(), stack.view(), 2, "theta", 1, held.first, held.last);
    reader_.current_date() = {2020, 1, 1, 1};
    reader_.WriteStackOutputs(3);

    Stack back;
    ReadStack(reader_.grid_input(), file, back, {.whole_on_process0 = true});
    if (rank_ == 0) {
      for (int r = 1; r <= kRows; ++r) {
        for (int c = 1; c <= kCols; ++c) {
          if (!FixtureZoneCell(r, c)) continue;
          for (int l = 0; l <= 2; ++l) EXPECT_EQ(back(r, c, l), Value(r, c) + l) << r << " " << c << " " << l;
        }
      }
    }
  }
}

}  // namespace
}  // namespace tolvo::test
