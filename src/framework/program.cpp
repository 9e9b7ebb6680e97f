#include "framework/program.h"

#include <mpi.h>
#include <omp.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <optional>
#include <string>

#include "framework/command_line.h"
#include "framework/error_code.h"
#include "framework/signals.h"

namespace tolvo {
namespace {

constexpr const char* kVersionNumber = "6.1.0";
constexpr const char* kLastChange = "$2026-12-10 12:00$";

constexpr const char* kTitleBlock =
    "Tolvo-Ulx: a distributed, grid based hydrological model of the water balance and runoff of river basins\n"
    "  The program computes on a raster of square cells, step by step, and routes the runoff of\n"
    "  the sub-basins through channels, lakes and reservoirs to the basin outlet.\n"
    "  It is given without warranty of any kind; results are to be checked by the user.\n"
    "  Please report problems together with the control file and the diagnostics file.\n"
    "\n"
    "  contact: the Tolvo model team\n"
    "---------------------------------------------------------------------------";

constexpr const char* kUsage =
    "FATAL: \nusage: tolvovz[o]<32|64>|tolvompi64 <1-st cntrl-file> [<2-nd cntrl-file> ... [n-th cntrl-file]] "
    "[-diagfile:<diagnostics_file> [-diaglevel:<FATAL|ERROR|WARNING|INFO|DEBUG>]] [-dumpmode "
    "[-closeAfterDump|-repairAfterDump]]\n";

void WriteBanner(DiagnosticsLog& log) {
  log << std::string(76, '-').c_str() << "[end-entry]";
  log << "Tolvo-Ulx (MPI) " << "[end-entry]";
  log << "64-bit Version on Linux " << "[end-entry]";
  log << "Version: " << VersionText() << "[end-entry]";
  log << kTitleBlock << "[end-entry]";
  log.console().flush();
}

struct ThreadReport {
  int rank;
  int thread_count;
};

void ReportOpenMPThreads(ThreadReport& report) {
#pragma omp parallel default(none) shared(report)
  {
    std::printf("This is OpenMP thread %d\n", omp_get_thread_num());
#pragma omp barrier
    if (omp_get_thread_num() == 0) {
      report.thread_count = omp_get_num_threads();
      std::printf("*** There are %d OpenMP threads total for MPI process %d\n", report.thread_count, report.rank);
    }
  }
}

void ReportProcess(DiagnosticsLog& log, int rank, int size) {
  if (rank != 0) {
    std::printf("\n this is the MPI-Version of Tolvo, here is instance %d of %d\n", rank + 1, size);
  } else {
    log << "\n this is the MPI-Version of Tolvo, here is instance " << 1 << " of " << size << "[end-entry]";
  }
  ThreadReport report{rank, 0};
  ReportOpenMPThreads(report);
  std::fflush(nullptr);
}

void WriteUsage(DiagnosticsLog& log) {
  log << kUsage << "[end-entry]";
  log << "INFO: \n-dumpmode: if soil moisture or soil temperatures or hydraulic head (all in Richards approach "
         "only) leave the expected range, a dumpfile is written containing the actual internal registers (can "
         "be used for debugging) "
      << "\n-closeAfterDump: Tolvo stops the program execution immediately (usefull to prevent the hard disk "
         "from being filled up with dumpfiles)"
      << "\n-repairAfterDump: let Tolvo try to repair the unexpected results, e.g. a soil temperature that is "
         "higher or lower than that of both neighboring soil layers will be set to the maxumum/minimum of the "
         "neighboring layers etc. Although the error is repaired it may well happen that the hard disk is "
         "flooded with other dump files."
      << "[end-entry]";
}

// How long a process whose fatal error came second waits for the process that ended the
// diagnostics to abort the job, before it aborts the job itself.
constexpr int kAbortWaitSeconds = 30;

// Writes the top-level entries of a fatal error, ends the diagnostics and aborts the job
// with the code. The process that ended the diagnostics file aborts the job, so that the
// exit status is the code of the entries in the file; any other waits to be ended by it.
[[noreturn]] void AbortJob(DiagnosticsLog& log, int code) {
  log << "FATAL: Exception " << code << " caught at top level!" << "[end-entry]";
  log << "FATAL: Program aborted with exit code " << code << "[end-entry]";
  const bool ended_here = log.EndAfterFatal();
  std::fflush(nullptr);
  for (int waited = 0; !ended_here && waited < kAbortWaitSeconds; ++waited) ::sleep(1);
  MPI_Abort(MPI_COMM_WORLD, code);
  std::_Exit(code);
}

}  // namespace

std::string VersionText() {
  std::string text = std::string("Richards ") + kVersionNumber + ", last change: " + kLastChange + " compiled at " +
                     __DATE__ + " " + __TIME__;
  text.erase(std::remove(text.begin(), text.end(), '$'), text.end());
  return text;
}

int RunProgram(int argc, char** argv, const ControlFileRunner& run_control_file) {
  MPI_Init(&argc, &argv);
  int rank = 0;
  int size = 1;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  MPI_Comm_size(MPI_COMM_WORLD, &size);
  MPI_Barrier(MPI_COMM_WORLD);

  const CommandLine options = ScanCommandLine(argc, argv);
  std::optional<DiagnosticsLog> log;
  try {
    log.emplace(options.diagnostics_file, options.max_diag_level);
  } catch (const ErrorCode& error) {
    MPI_Abort(MPI_COMM_WORLD, error.code);
    return error.code;
  }
  SetCurrentApplication(nullptr);
  log->ShareFileName();

  int exit_code = 0;
  try {
    WriteBanner(*log);
    ReportProcess(*log, rank, size);
    if (options.unknown_diag_level) {
      *log << "WARNING: unknown diagnostics level \"" << *options.unknown_diag_level << "\" in -diaglevel:"
           << *options.unknown_diag_level
           << "; expected FATAL, ERROR, WARNING, INFO or DEBUG; level DEBUG (every entry) is used" << "[end-entry]";
    }
    log->console().flush();
    if (argc < 2) {
      WriteUsage(*log);
      RaiseError(kNoControlFile);
    }
    for (const int position : options.control_file_positions) {
      exit_code = 0;
      exit_code = run_control_file(*log, argc, argv, position);
    }
  } catch (const StopRequest& stop) {
    log.reset();
    std::fflush(nullptr);
    std::_Exit(stop.status);
  } catch (const ErrorCode& error) {
    AbortJob(*log, error.code);
  } catch (const std::exception& error) {
    // Not an error of the model's own checks (memory, the library): its text is all there is.
    *log << "FATAL: unexpected exception: " << std::string(error.what()) << "[end-entry]";
    AbortJob(*log, kOtherExceptionCode);
  } catch (...) {
    *log << "FATAL: unexpected exception of unknown type" << "[end-entry]";
    AbortJob(*log, kOtherExceptionCode);
  }

  *log << "exitcode " << exit_code << "[end-entry]";
  *log << "o.k.\n\nthe end." << "[end-entry]";
  MPI_Finalize();
  log.reset();
  return exit_code;
}

}  // namespace tolvo
