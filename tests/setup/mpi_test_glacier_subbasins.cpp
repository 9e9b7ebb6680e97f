// The glacier records of the sub-basins: counted on process 0, the same on every process.
#include "setup/glacier_subbasins.h"

#include <gtest/gtest.h>
#include <mpi.h>

#include "support/test_support.h"

namespace tolvo {
namespace {

TEST(GlacierSubbasins, EveryProcessReceivesProcessZerosCounts) {
  int rank = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  // Sub-basins with codes 3 and 7; one cell outside the basin.
  Grid zone = test::GridOf({{3, 3, kNodata}, {7, 7, 7}});
  Grid glacier = test::GridOf({{2.0, 0.5, 1}, {0, -3, 0.75}});
  SoilSubbasinTable subbasins;
  subbasins.zone_count = 2;
  subbasins.largest_code = 7;
  subbasins.code_index.assign(8, 0);
  subbasins.code_index[3] = 1;
  subbasins.code_index[7] = 2;
  RunContext run;
  run.rank = rank;
  run.geometry = {.ncols = 3, .nrows = 2, .cellsize = 1, .nodata_value = kNodata};
  const std::vector<GlacierSubbasinRecord> records =
      CountGlacierSubbasins(run, rank == 0 ? std::as_const(zone).view() : ConstGridView(),
                            rank == 0 ? std::as_const(glacier).view() : ConstGridView(), subbasins);
  ASSERT_EQ(records.size(), 3u);
  EXPECT_FALSE(records[0].hasGlacier);
  // Sub-basin 3: fractions 1 (2 limited to 1) and 0.5.
  EXPECT_TRUE(records[1].hasGlacier);
  EXPECT_DOUBLE_EQ(records[1].glacierArea, 1.5);
  EXPECT_DOUBLE_EQ(records[1].nonGlacierArea, 0.5);
  // Sub-basin 7: 0 and -3 count as glacier-free cells, 0.75 as a glacier share.
  EXPECT_TRUE(records[2].hasGlacier);
  EXPECT_DOUBLE_EQ(records[2].glacierArea, 0.75);
  EXPECT_DOUBLE_EQ(records[2].nonGlacierArea, 2.25);
}

}  // namespace
}  // namespace tolvo
