#pragma once
// The floating-point report made from the threads of a loop over rows. A floating-point
// error (SIGFPE) marks the sub-models and the thread that received it (signals.h); the
// first report call after it names where the computation stood: a cell, its layer and
// tracer, and the amounts it moved. Inside a loop every thread keeps its own record of the
// calls it made, nothing shared is written; after the loop the records are combined as if
// the calls had been made one after another in row order, so that the report does not
// depend on the number of threads.

#include <optional>

namespace tolvo {

// The values of one report call: four integers (cell row and column, layer, tracer) and
// five reals.
struct FpeReportCall {
  int i1 = 0, i2 = 0, i3 = 0, i4 = 0;
  double a1 = 0, a2 = 0, a3 = 0, a4 = 0, a5 = 0;
};

// A call at the cell (row, col) of a loop.
struct FpeCellCall {
  int row = 0, col = 0;
  FpeReportCall call;
};

// One thread's report calls in one loop. The thread's cells come in row order.
class FpeThreadRecord {
 public:
  // Before the loop, on the calling thread: forgets the last loop's calls.
  void reset() { *this = FpeThreadRecord(); }
  bool started() const { return started_; }
  // On the thread, before its first cell of the loop: a signal that reached this thread
  // before the loop is not this loop's (the sub-models' report state holds it).
  void begin_loop();
  // One report call at the cell (row, col).
  void report(int row, int col, const FpeReportCall& call);

 private:
  friend struct FpeLoopRecord;
  bool started_ = false;
  long long calls_ = 0;
  std::optional<FpeCellCall> first_;
  std::optional<FpeCellCall> signalled_;  // the first call after a signal on this thread
  bool after_signalled_ = false;          // a call of this thread followed it
  std::optional<FpeCellCall> last_;
};

// The calls of all threads of a loop, in row order.
struct FpeLoopRecord {
  long long calls = 0;
  std::optional<FpeCellCall> first;      // the loop's first call
  std::optional<FpeCellCall> signalled;  // the first call after a signal within the loop
  // Whether a call followed the signalled one.
  bool calls_after_signalled = false;

  // Adds one thread's record (threads in any order).
  void add(const FpeThreadRecord& thread);

 private:
  std::optional<FpeCellCall> last_;
  bool signalled_thread_went_on_ = false;
};

}  // namespace tolvo
