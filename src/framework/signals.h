#pragma once
// The program's signal handlers: Ctrl-C (SIGINT) asks the running application to stop
// after the current step, a floating-point error (SIGFPE) marks the sub-models so that the
// first of them to look reports it, and marks the thread that received it, so that a loop
// over rows can tell which of its cells it came from (fpe_report.h). Handlers only store
// small integers and print a fixed text with async-signal-safe calls.

#include <array>
#include <csignal>

namespace tolvo {

// What the handlers may touch of the application being run.
struct SignalTargets {
  // The application's InterruptState (0 go on, 1 finish after this step, ...).
  volatile std::sig_atomic_t* interrupt_state = nullptr;
  // The FpeReportState of the eight sub-models that report floating-point errors; the
  // first entry is the soil-water model's, whose state decides whether to mark them all.
  std::array<volatile std::sig_atomic_t*, 8> fpe_report_states{};
};

// Sets or clears (nullptr) the application the handlers act on.
void SetCurrentApplication(const SignalTargets* targets);

void OnCtrlC(int signal_number);
// Marks the sub-models and the receiving thread when the soil-water model's report state is
// 0 (one signal, one report); prints "floating point error".
void OnFloatingPointError(int signal_number);
// Installs OnCtrlC for SIGINT.
void ArmCtrlCHandler();
// Restores the default SIGINT action.
void DisarmCtrlCHandler();
// Sets SIGINT to be ignored (file readers and writers, while they work).
void IgnoreCtrlC();
// Whether a floating-point error marked the calling thread since its last look; clears the
// mark.
bool TakeThreadFpeSignal();
// Installs both handlers (done before each run).
void InstallSignalHandlers();

}  // namespace tolvo
