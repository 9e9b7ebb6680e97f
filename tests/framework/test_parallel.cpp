// The loop over a process's rows: every row runs once, and a strip too narrow to give
// each thread kMinRowsPerThread rows runs on fewer threads (one for a few rows), so a
// process with a handful of rows does not spend its step waking threads.
#include <gtest/gtest.h>
#include <omp.h>

#include <atomic>
#include <vector>

#include "framework/parallel.h"

namespace tolvo {
namespace {

TEST(RowLoop, NarrowStripsRunOnFewerThreadsAndEveryRowOnce) {
  const int threads = omp_get_max_threads();
  omp_set_num_threads(4);
  struct Case {
    RowRange rows;
    int largest_team;  // threads the loop may use
  };
  for (const Case& k : {Case{.rows = {1, 0}, .largest_team = 1}, Case{.rows = {5, 5}, .largest_team = 1},
                        Case{.rows = {1, 3}, .largest_team = 1}, Case{.rows = {2, 5}, .largest_team = 2},
                        Case{.rows = {1, 7}, .largest_team = 3}, Case{.rows = {3, 10}, .largest_team = 4},
                        Case{.rows = {1, 200}, .largest_team = 4}}) {
    SCOPED_TRACE(::testing::Message() << "rows " << k.rows.first << ".." << k.rows.last);
    EXPECT_EQ(row_team_size(k.rows), k.largest_team);
    std::vector<std::atomic<int>> visits(static_cast<std::size_t>(k.rows.last) + 1);
    std::atomic<int> highest_thread{0};
    std::atomic<int> outside_team{0};
    for_each_row_by_thread(k.rows, [&](int r, int t) {
      ++visits[static_cast<std::size_t>(r)];
      if (omp_get_num_threads() > k.largest_team) ++outside_team;
      int seen = highest_thread.load();
      while (t > seen && !highest_thread.compare_exchange_weak(seen, t)) {
      }
    });
    for (int r = 1; r <= k.rows.last; ++r) {
      EXPECT_EQ(visits[static_cast<std::size_t>(r)].load(), k.rows.contains(r) ? 1 : 0) << "row " << r;
    }
    EXPECT_EQ(outside_team.load(), 0);
    EXPECT_LT(highest_thread.load(), k.largest_team);
  }
  omp_set_num_threads(threads);
}

}  // namespace
}  // namespace tolvo
