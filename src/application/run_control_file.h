#pragma once
// Runs one control file from start to end: builds its application, runs the time loop
// with the signal handlers installed, and ends the run.

#include "framework/diagnostics_log.h"

namespace tolvo {

// Returns the run's result: 0 after a normal end, 99 after a finish request.
int RunControlFile(DiagnosticsLog& log, int argc, char** argv, int position);

}  // namespace tolvo
