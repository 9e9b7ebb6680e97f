#pragma once
// The body of the program entry: starts the process in the MPI job, takes the
// diagnostics options, writes the banner and the process reports, runs every control
// file in turn and ends with the exit code, or aborts the job with a fatal error's code.

#include <functional>

#include "framework/diagnostics_log.h"

namespace tolvo {

// Builds, runs and ends the application of the control file at `position` of the
// command line; returns the run's result (0, 99, ...). Throws ErrorCode on failure.
using ControlFileRunner = std::function<int(DiagnosticsLog& log, int argc, char** argv, int position)>;

// The whole life of the process. Returns the exit code after a normal end; a fatal error
// met on any process, or any other exception (code 103), aborts the MPI job after its
// FATAL entries have reached the diagnostics file and the console, and does not return.
int RunProgram(int argc, char** argv, const ControlFileRunner& run_control_file);

// The version text of the build, without "$" characters.
std::string VersionText();

}  // namespace tolvo
