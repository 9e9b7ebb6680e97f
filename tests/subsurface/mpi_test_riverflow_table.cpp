// The river flow table around soil sub-steps under 1, 2 and 3 processes: every process
// starts a sub-step with process 0's records, and after it process 0 holds the
// re-infiltration taken before plus what every process took during the sub-step, each
// take counted once however many sub-steps and processes there are.
#include <gtest/gtest.h>
#include <mpi.h>

#include <vector>

#include "subsurface/riverflow_table.h"

namespace tolvo {
namespace {

TEST(RiverflowTable, SubStepTakesAreCountedOnceOnProcessZero) {
  int rank = 0, size = 1;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  MPI_Comm_size(MPI_COMM_WORLD, &size);
  std::vector<RiverflowRecord> table(3);
  if (rank == 0) {
    table[1].flowm3s = 4.0;
    table[1].speed = 0.5;
    table[1].area_km2 = 12;
    table[1].routing_object = 1;
    table[1].channel = 2;
    table[1].flow_mm[3] = 0.25;
    table[1].reinfiltration = 0.5;  // taken earlier in the step
  }
  RiverflowExchange exchange;
  double expected = 0.5;
  for (int sub_step = 0; sub_step < 3; ++sub_step) {
    exchange.Broadcast(table);
    EXPECT_EQ(table[1].flowm3s, 4.0);
    EXPECT_EQ(table[1].speed, 0.5);
    EXPECT_EQ(table[1].routing_object, 1);
    EXPECT_EQ(table[1].channel, 2);
    EXPECT_EQ(table[1].flow_mm[3], 0.25);
    EXPECT_EQ(table[1].reinfiltration, expected);
    // Each process takes 0.125 m³/s in this sub-step (multiples of 1/8 add exactly).
    table[1].reinfiltration += 0.125;
    exchange.Reduce(table);
    expected += 0.125 * size;
    if (rank == 0) {
      EXPECT_EQ(table[1].reinfiltration, expected);
      EXPECT_EQ(table[2].reinfiltration, 0);
    }
  }
}

}  // namespace
}  // namespace tolvo
