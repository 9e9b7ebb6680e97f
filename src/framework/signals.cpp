#include "framework/signals.h"

#include <unistd.h>

#include <atomic>
#include <cstring>

namespace tolvo {
namespace {

std::atomic<const SignalTargets*> g_current{nullptr};
// SIGFPE is delivered to the thread whose operation failed: its mark says where.
thread_local volatile std::sig_atomic_t t_fpe_signalled = 0;

void WriteConsole(const char* text) {
  ssize_t ignored = ::write(STDOUT_FILENO, text, std::strlen(text));
  (void)ignored;
}

}  // namespace

void SetCurrentApplication(const SignalTargets* targets) { g_current.store(targets); }

void OnCtrlC(int /*signal_number*/) {
  std::signal(SIGINT, SIG_IGN);
  const SignalTargets* targets = g_current.load();
  if (targets != nullptr && targets->interrupt_state != nullptr && *targets->interrupt_state == 0) {
    *targets->interrupt_state = 1;
    WriteConsole("\nCntr-C pressed! please wait...\n\n");
  }
}

void OnFloatingPointError(int /*signal_number*/) {
  std::signal(SIGFPE, OnFloatingPointError);
  const SignalTargets* targets = g_current.load();
  if (targets == nullptr || targets->fpe_report_states[0] == nullptr || *targets->fpe_report_states[0] != 0) return;
  for (volatile std::sig_atomic_t* state : targets->fpe_report_states) {
    if (state != nullptr) *state = 1;
  }
  t_fpe_signalled = 1;
  WriteConsole("floating point error\n");
}

bool TakeThreadFpeSignal() {
  const bool signalled = t_fpe_signalled != 0;
  t_fpe_signalled = 0;
  return signalled;
}

void ArmCtrlCHandler() { std::signal(SIGINT, OnCtrlC); }
void DisarmCtrlCHandler() { std::signal(SIGINT, SIG_DFL); }
void IgnoreCtrlC() { std::signal(SIGINT, SIG_IGN); }

void InstallSignalHandlers() {
  std::signal(SIGINT, OnCtrlC);
  std::signal(SIGFPE, OnFloatingPointError);
}

}  // namespace tolvo
