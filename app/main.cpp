// The program entry of the model: one process of the MPI job.
#include "framework/error_code.h"
#include "framework/program.h"

namespace {

// Running a control file needs the application object, which this build does not have yet.
int RunControlFile(tolvo::DiagnosticsLog& log, int /*argc*/, char** argv, int position) {
  log << "FATAL: running the control file " << std::string(argv[position])
      << " needs the model application, which this build does not contain" << "[end-entry]";
  tolvo::RaiseError(103);
}

}  // namespace

int main(int argc, char** argv) { return tolvo::RunProgram(argc, argv, RunControlFile); }
