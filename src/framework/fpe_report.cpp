#include "framework/fpe_report.h"

#include "framework/signals.h"

namespace tolvo {
namespace {

bool Before(const FpeCellCall& a, const FpeCellCall& b) { return a.row != b.row ? a.row < b.row : a.col < b.col; }

}  // namespace

void FpeThreadRecord::begin_loop() {
  started_ = true;
  TakeThreadFpeSignal();
}

void FpeThreadRecord::report(int row, int col, const FpeReportCall& call) {
  ++calls_;
  const FpeCellCall here{.row = row, .col = col, .call = call};
  if (!first_) first_ = here;
  if (signalled_) {
    after_signalled_ = true;
  } else if (TakeThreadFpeSignal()) {
    signalled_ = here;
  }
  last_ = here;
}

void FpeLoopRecord::add(const FpeThreadRecord& thread) {
  calls += thread.calls_;
  if (thread.first_ && (!first || Before(*thread.first_, *first))) first = thread.first_;
  if (thread.last_ && (!last_ || Before(*last_, *thread.last_))) last_ = thread.last_;
  if (thread.signalled_ && (!signalled || Before(*thread.signalled_, *signalled))) {
    signalled = thread.signalled_;
    signalled_thread_went_on_ = thread.after_signalled_;
  }
  // A cell belongs to one thread: a later call is in a later cell, or in the signalled
  // cell after the signalled call.
  calls_after_signalled = signalled && (signalled_thread_went_on_ || Before(*signalled, *last_));
}

}  // namespace tolvo
