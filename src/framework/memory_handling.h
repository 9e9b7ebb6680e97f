#pragma once
// Root of every model object: holds the process's diagnostics log and the object's name,
// allocates the object's matrices and raises the memory error.

#include <string>
#include <string_view>

#include "framework/diagnostics_log.h"
#include "framework/matrix.h"

namespace tolvo {

// Longest object name or grid identifier.
inline constexpr std::size_t kMaxNameLength = 100;

// The allocation of memory_handling for code that holds a log but no model object: a
// grid of rows first..last with columns 0..ncols, or a stack with levels 0..levels. A
// failure logs the FATAL entry of the failed step and raises 1.
Grid AllocateGrid(DiagnosticsLog& log, int first_row, int last_row, int ncols, int total_rows);
Stack AllocateStack(DiagnosticsLog& log, int first_row, int last_row, int last_col, int levels, int total_rows);
// Logs "FATAL: memory allocation error in <object_name> (<code>" and raises 81.
[[noreturn]] void RaiseMemoryError(DiagnosticsLog& log, std::string_view object_name, int code);

class memory_handling {
 public:
  explicit memory_handling(DiagnosticsLog& log, std::string name = {}) : log_(&log), name_(std::move(name)) {}
  virtual ~memory_handling() = default;
  memory_handling(const memory_handling&) = delete;
  memory_handling& operator=(const memory_handling&) = delete;

  // A grid of rows first..last (the process's strip) with columns 0..ncols; the first
  // column is always 1. Logs the FATAL entry of the failed step and raises 1.
  Grid matrix(int first_row, int last_row, int first_col, int ncols, int total_rows);
  // Frees a grid; the bounds must be those it was made with. A row too long for a block
  // fails with 1 as at allocation.
  void free_matrix(Grid& grid, int first_row, int last_row, int first_col, int ncols);
  // A stack [row][column][level], levels 0..levels. Logs and raises 1 on failure.
  Stack three_d_matrix(int first_row, int last_row, int first_col, int last_col, int levels, int total_rows);
  void free_three_d_matrix(Stack& stack, int first_row, int last_row);

  // Logs "FATAL: memory allocation error in <name> (<code>" and raises 81.
  [[noreturn]] void MemoryError(int code) { RaiseMemoryError(*log_, name_, code); }

  DiagnosticsLog& log() const { return *log_; }
  const std::string& name() const { return name_; }
  void set_name(std::string name) { name_ = std::move(name); }
  int initialised() const { return initialised_; }
  void SetInitialised(int value) { initialised_ = value; }

 private:
  int initialised_ = 0;
  DiagnosticsLog* log_;
  std::string name_;
};

}  // namespace tolvo
