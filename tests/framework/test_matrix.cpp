#include "framework/matrix.h"

#include <gtest/gtest.h>

#include <sstream>

#include "framework/error_code.h"
#include "framework/memory_handling.h"
#include "support/test_support.h"

namespace tolvo {
namespace {

TEST(Matrix, BlockRuleCutsRowsIntoPowerOfTwoBlocks) {
  const struct {
    int first, last, ncols;
    std::vector<int> heads;
  } cases[] = {
      // 1000 x 100: 808-byte rows; 648 rows fit half of 2^20 less 24 bytes, then 324, then the rest.
      {1, 1000, 100, {1, 649, 973}},
      // 10 x 10: 88-byte rows; 5, 2, 2 rows, then one small block.
      {1, 10, 10, {1, 6, 8, 10}},
      {5, 4, 10, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.last);
    EXPECT_EQ(MatrixBlockHeads(c.first, c.last, c.ncols), c.heads);
  }
}

TEST(Matrix, GridHoldsOnlyItsStripAndStartsAtZero) {
  Grid grid(3, 7, 4, 10);
  EXPECT_EQ(grid.table_rows(), 10);
  for (int r = 0; r <= 10; ++r) EXPECT_EQ(grid[r] != nullptr, r >= 3 && r <= 7) << r;
  for (int r = 3; r <= 7; ++r)
    for (int c = 0; c <= 4; ++c) EXPECT_EQ(grid(r, c), 0.0);
  grid(7, 4) = 2.5;
  EXPECT_EQ(grid.view().row(7)[4], 2.5);

  Grid no_total(1, 6, 2, 0);
  EXPECT_EQ(no_total.table_rows(), 6);
}

TEST(Matrix, StackKeepsTheLevelsOfACellTogether) {
  Stack stack(2, 3, 4, 5, 3);
  StackView view = stack.view();
  view(2, 1, 5) = 1.0;
  view(2, 2, 0) = 2.0;
  // Level 5 of column 1 is followed directly by level 0 of column 2.
  EXPECT_EQ(&view(2, 1, 5) + 1, &view(2, 2, 0));
  EXPECT_EQ(view.levels(2, 2).size(), 6u);
  EXPECT_EQ(view.levels(2, 2)[0], 2.0);
  EXPECT_EQ(stack(3, 4, 5), 0.0);
}

TEST(Matrix, Log2Ceil) {
  const std::pair<double, double> cases[] = {{0.5, 0}, {1, 0}, {2, 1}, {3, 2}, {1024, 10}, {1025, 11}};
  for (const auto& [x, n] : cases) EXPECT_EQ(Log2Ceil(x), n) << x;
}

TEST(Matrix, TooLongRowsFailWithCodeOne) {
  test::TempDir dir;
  std::ostringstream console;
  DiagnosticsLog log(dir.file("d.xml"), 4, console);
  memory_handling owner(log, "owner");
  Grid grid;
  for (const bool freeing : {false, true}) {
    SCOPED_TRACE(freeing);
    try {
      if (freeing) {
        owner.free_matrix(grid, 1, 1, 1, 268434997);
      } else {
        grid = owner.matrix(1, 1, 1, 268434997, 1);
      }
      ADD_FAILURE() << "expected error code 1";
    } catch (const ErrorCode& error) {
      EXPECT_EQ(error.code, 1);
    }
  }
  EXPECT_TRUE(MatrixRowFits(268434996));
  EXPECT_NE(console.str().find("too long matrix rows"), std::string::npos);
}

TEST(Matrix, MemoryErrorNamesTheObjectAndRaises81) {
  test::TempDir dir;
  std::ostringstream console;
  DiagnosticsLog log(dir.file("d.xml"), 4, console);
  memory_handling owner(log, "snow_model");
  try {
    owner.MemoryError(7);
    ADD_FAILURE();
  } catch (const ErrorCode& error) {
    EXPECT_EQ(error.code, 81);
  }
  EXPECT_NE(console.str().find("memory allocation error in snow_model (7\n"), std::string::npos);
}

}  // namespace
}  // namespace tolvo
