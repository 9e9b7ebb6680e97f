#include "framework/signals.h"

#include <gtest/gtest.h>

#include <csignal>

namespace tolvo {
namespace {

TEST(Signals, CtrlCAsksTheRunToFinishOnce) {
  volatile std::sig_atomic_t interrupt = 0;
  SignalTargets targets;
  targets.interrupt_state = &interrupt;
  SetCurrentApplication(&targets);
  InstallSignalHandlers();
  std::raise(SIGINT);
  EXPECT_EQ(interrupt, 1);
  // SIGINT is ignored until the handler is armed again: a second press changes nothing.
  interrupt = 3;
  std::raise(SIGINT);
  EXPECT_EQ(interrupt, 3);
  interrupt = 0;
  ArmCtrlCHandler();
  std::raise(SIGINT);
  EXPECT_EQ(interrupt, 1);
  // A state other than 0 is left as it is.
  interrupt = 2;
  ArmCtrlCHandler();
  std::raise(SIGINT);
  EXPECT_EQ(interrupt, 2);
  SetCurrentApplication(nullptr);
  DisarmCtrlCHandler();
}

TEST(Signals, AFloatingPointErrorMarksEverySubmodelOnce) {
  std::array<volatile std::sig_atomic_t, 8> states{};
  SignalTargets targets;
  for (std::size_t i = 0; i < states.size(); ++i) targets.fpe_report_states[i] = &states[i];
  SetCurrentApplication(&targets);
  InstallSignalHandlers();
  TakeThreadFpeSignal();
  std::raise(SIGFPE);
  for (const auto& state : states) EXPECT_EQ(state, 1);
  // The thread that received it is marked, once.
  EXPECT_TRUE(TakeThreadFpeSignal());
  EXPECT_FALSE(TakeThreadFpeSignal());
  // While the soil model's report is pending, further signals change nothing.
  states[3] = 0;
  std::raise(SIGFPE);
  EXPECT_EQ(states[3], 0);
  EXPECT_FALSE(TakeThreadFpeSignal());
  SetCurrentApplication(nullptr);
  std::signal(SIGFPE, SIG_DFL);
  DisarmCtrlCHandler();
}

}  // namespace
}  // namespace tolvo
