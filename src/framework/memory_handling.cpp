#include "framework/memory_handling.h"

#include "framework/error_code.h"

namespace tolvo {
namespace {

[[noreturn]] void MatrixError(DiagnosticsLog& log, const MatrixAllocationFailure& failure, bool stack) {
  if (failure.too_long_rows) {
    log << "FATAL: too long matrix rows" << "[end-entry]";
  } else if (stack) {
    log << "FATAL: memory allocation error (" << failure.stage << ") in 3_d_matrix()" << "[end-entry]";
  } else {
    log << "FATAL: memory allocation error " << failure.stage << " in matrix()" << "[end-entry]";
  }
  RaiseError(kGeneralError);
}

}  // namespace

Grid AllocateGrid(DiagnosticsLog& log, int first_row, int last_row, int ncols, int total_rows) {
  try {
    return Grid(first_row, last_row, ncols, total_rows);
  } catch (const MatrixAllocationFailure& failure) {
    MatrixError(log, failure, false);
  }
}

Stack AllocateStack(DiagnosticsLog& log, int first_row, int last_row, int last_col, int levels, int total_rows) {
  try {
    return Stack(first_row, last_row, last_col, levels, total_rows);
  } catch (const MatrixAllocationFailure& failure) {
    MatrixError(log, failure, true);
  }
}

void RaiseMemoryError(DiagnosticsLog& log, std::string_view object_name, int code) {
  log << "FATAL: memory allocation error in " << std::string(object_name) << " (" << code << "[end-entry]";
  RaiseError(kMemoryErrorCode);
}

Grid memory_handling::matrix(int first_row, int last_row, int /*first_col*/, int ncols, int total_rows) {
  return AllocateGrid(*log_, first_row, last_row, ncols, total_rows);
}

void memory_handling::free_matrix(Grid& grid, int first_row, int last_row, int /*first_col*/, int ncols) {
  if (!MatrixRowFits(ncols)) MatrixError(*log_, {1, true}, false);
  if (grid.empty()) return;
  assert(grid.rows().first == first_row && grid.rows().last == last_row && grid.ncols() == ncols);
  (void)first_row;
  (void)last_row;
  grid = Grid();
}

Stack memory_handling::three_d_matrix(int first_row, int last_row, int /*first_col*/, int last_col, int levels,
                                      int total_rows) {
  return AllocateStack(*log_, first_row, last_row, last_col, levels, total_rows);
}

void memory_handling::free_three_d_matrix(Stack& stack, int /*first_row*/, int /*last_row*/) { stack = Stack(); }

}  // namespace tolvo
