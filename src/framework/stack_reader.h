#pragma once
// Reading a stack file (ASCII, or binary with 32-bit or 64-bit values) into a stack on
// every process of the run.
//
// Process 0 opens the file once (no retries), recognises its format and checks its
// geometry strictly: ncols and nrows by their integer parts, corner, cell size and nodata
// value exactly. A binary stack is then read by every process directly, its own rows in
// one read through MPI file access; an ASCII stack, or any stack wanted whole on process
// 0, is read by process 0 and its cells are sent to the processes that compute them
// (cells of the own rows that another process computes are then nodata there).
//
// Failures write their "FATAL: " entry and raise: 21 the file cannot be opened, 22 it
// cannot be recognised or read (a parallel read that gets less than the rows of any
// process fails on every process), 23 it cannot be closed, 24 its geometry differs from
// the model's.

#include <string_view>

#include "framework/grid_file_format.h"
#include "framework/matrix.h"

namespace tolvo {

struct StackReadOptions {
  bool whole_on_process0 = false;  // process 0 keeps every row
};

// Reads the stack file `name` for the reading object `input`, whose header record
// receives the file's header: collective, every process with the same arguments. `name`
// is relative to the reader's input directory unless it begins with "/" or "~". `target`
// receives a new stack with levels 0..n over this process's own rows (every row on
// process 0 when whole_on_process0 is set); the result is n, the file's highest level.
int ReadStack(const GridInput& input, std::string_view name, Stack& target, const StackReadOptions& options = {});

}  // namespace tolvo
