// The flow-time zones of the sub-basins are ranked over the cells of every process: each
// process holds a share of the cells, and every process gets the same zone counts and
// zone weights, whatever the number of processes.

#include <gtest/gtest.h>
#include <mpi.h>

#include <cmath>
#include <limits>
#include <vector>

#include "setup/flow_time_zones.h"

namespace tolvo {
namespace {

constexpr double kNodata = -9999;

TEST(FlowTimeZones, ZoneOfAFlowTime) {
  struct Case {
    double t;
    int zone;
  };
  const Case cases[] = {{0, 1},      {0.4, 1},    {1, 1},    {1.9, 1}, {2, 2},
                        {7.5, 7},    {-0.1, 0},   {kNodata, 0}, {std::nan(""), 0},
                        {std::numeric_limits<double>::infinity(), 0}, {1e12, 0}};
  for (const Case& c : cases) EXPECT_EQ(FlowTimeZoneOf(c.t, kNodata), c.zone) << "t = " << c.t;
}

TEST(FlowTimeZones, RankingIsTheSameOnEveryProcess) {
  int rank = 0;
  int size = 1;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  MPI_Comm_size(MPI_COMM_WORLD, &size);
  // Sub-basin 1: zones 1..3 with 2, 1, 1 cells (one of them nodata, counted in zone 1);
  // sub-basin 2: one cell in zone 4 only; sub-basin 3: no cell at all.
  const std::vector<FlowTimeZoneCell> all = {
      {1, 0.5, 1}, {1, kNodata, 1}, {1, 2.2, 1}, {1, 3.0, 1}, {2, 4.9, 2}, {7, 1.0, 1}};
  std::vector<FlowTimeZoneCell> mine;
  for (std::size_t i = 0; i < all.size(); ++i) {
    if (static_cast<int>(i) % size == rank) mine.push_back(all[i]);
  }
  const FlowTimeZoneLayout layout = RankFlowTimeZones(3, mine, kNodata);
  EXPECT_EQ(layout.zones, (std::vector<int>{0, 3, 4, 0}));
  EXPECT_EQ(layout.weight[1], (std::vector<double>{0, 2, 1, 1}));
  EXPECT_EQ(layout.weight[2], (std::vector<double>{0, 0, 0, 0, 2}));
  EXPECT_TRUE(layout.weight[3] == std::vector<double>{0});
  EXPECT_TRUE(layout.unusable_cells);
}

}  // namespace
}  // namespace tolvo
