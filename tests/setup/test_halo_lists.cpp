#include "setup/halo_lists.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "framework/error_code.h"
#include "framework/grid_distribution.h"
#include "framework/modelobject.h"
#include "support/test_support.h"

namespace tolvo {
namespace {

using test::CodeOf;
using test::GridOf;

constexpr double N = kNodata;

// Columns 0..ncols of a row.
std::vector<double> Row(const Grid& grid, int r) { return {grid[r], grid[r] + grid.ncols() + 1}; }

class HaloListsTest : public test::LogFixture {
 protected:
  void SetRegions(const std::vector<std::vector<double>>& rows) {
    regions_ = GridOf(rows);
    const int nrows = regions_.rows().last;
    reader_.set_geometry({.ncols = regions_.ncols(), .nrows = nrows, .cellsize = 1, .nodata_value = kNodata});
    helper_ = Grid(1, nrows, regions_.ncols(), nrows);
    halo_ = Grid(1, nrows, regions_.ncols(), nrows);
    halo_.fill(kNodata);
  }

  modelobject reader_{log_, "control.txt"};
  Grid regions_;
  Grid helper_;
  Grid halo_;
};

TEST_F(HaloListsTest, StripGridOfProcess0DescribesWholeRows) {
  SetRegions({{N, N, 1, 1, 0, 0, N, 0}, {N, N, N, N, N, N, N, N}, {2, 2, 2, 1, 1, 1, 1, 1}});
  BuildStripGrid(reader_.context(), 0, 3, std::as_const(regions_).view(), helper_.view(), {1, 3});
  // Two cells outside, then runs (1, 2), (0, 2), (nodata, 1), (0, 1).
  EXPECT_EQ(Row(helper_, 1), (std::vector<double>{2, 1, 2, 0, 2, N, 1, 0, 1}));
  EXPECT_EQ(Row(helper_, 2), (std::vector<double>{8, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Row(helper_, 3), (std::vector<double>{0, 2, 3, 1, 5, 0, 0, 0, 0}));
}

TEST_F(HaloListsTest, StripGridOfAnotherProcessListsItsOwnRuns) {
  SetRegions({{2, 2, 1, 1, 2, N, 1, 0}, {1, 1, 1, 1, 1, 1, 1, 1}, {1, 0, 0, 0, 0, 0, 0, 0}});
  BuildStripGrid(reader_.context(), 1, 3, std::as_const(regions_).view(), helper_.view(), {1, 2});
  EXPECT_EQ(Row(helper_, 1), (std::vector<double>{0, 3, 2, 7, 1, 0, 0, 0, 0}));
  EXPECT_EQ(Row(helper_, 2), (std::vector<double>{0, 1, 8, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Row(helper_, 3), (std::vector<double>(9, 0)));  // outside the band
}

TEST_F(HaloListsTest, RowsWithMoreRunsThanRoomAreRefusedBeforeWritingPastThem) {
  // Six columns hold three pairs; the fourth run has no room.
  SetRegions({{1, 0, 1, 0, 1, 0}, {0, 0, 0, 0, 0, 0}});
  helper_[2][0] = 42;  // the next row must stay untouched
  const RunContext& run = reader_.context();
  EXPECT_EQ(CodeOf([&] { BuildStripGrid(run, 0, 2, std::as_const(regions_).view(), helper_.view(), {1, 1}); }),
            kTooManyStripsCode);
  EXPECT_NE(console_.str().find("MPI-Regions: to much strips to be stored in a grid row in row 1"),
            std::string::npos);
  EXPECT_EQ(helper_[2][0], 42);
  SetRegions({{1, 0, 1, 0, 1, 0}});
  EXPECT_EQ(CodeOf([&] { BuildStripGrid(run, 1, 2, std::as_const(regions_).view(), helper_.view(), {1, 1}); }),
            0);
  EXPECT_EQ(Row(helper_, 1), (std::vector<double>{0, 1, 1, 3, 1, 5, 1}));
}

TEST_F(HaloListsTest, HaloMarksNeighboursAcrossEdgesAndCorners) {
  SetRegions({{2, 2, N, N}, {N, N, 1, N}, {0, 0, 0, 0}});
  BuildHaloGrid(reader_.context(), 1, std::as_const(regions_).view(), halo_.view(), {2, 2});
  EXPECT_EQ(Row(halo_, 1), (std::vector<double>{N, N, 2, N, N}));  // (1, 2) touches (2, 3) at a corner
  EXPECT_EQ(Row(halo_, 2), (std::vector<double>{N, N, N, N, N}));
  EXPECT_EQ(Row(halo_, 3), (std::vector<double>{N, N, 0, 0, 0}));
}

TEST_F(HaloListsTest, ReceiveRunsSpanGapsOfOnePeerAndSplitAtAnother) {
  SetRegions({{0}});
  const Grid halo = GridOf({{N, 2, N, N, 2, 2, 1, 2}, {0, 0, N, 0, N, N, N, N}});
  const std::vector<StripRecord> list = BuildReceiveList(halo.view(), {1, 2});
  const std::vector<StripRecord> expected = {
      {1, 2, 5, 2},  // columns 2 to 6: the gap of 3 and 4 travels with the run
      {1, 7, 1, 1},
      {1, 8, 1, 2},  // peer 2 again after a cell of peer 1: a new record
      {2, 1, 4, 0},
  };
  EXPECT_EQ(list, expected);
}

}  // namespace
}  // namespace tolvo
