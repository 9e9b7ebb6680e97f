// The groundwater model on a domain cut into bands of rows gives the heads of a run on
// one process, bit for bit, and every process makes the same number of iterations.
#include <gtest/gtest.h>
#include <mpi.h>
#include <omp.h>

#include <vector>

#include "subsurface/groundwater_fixture.h"
#include "support/row_bands.h"

namespace tolvo {
namespace {

constexpr int kRows = 11;
constexpr int kCols = 7;

class DecomposedAquifer : public test::AquiferFixture {
 protected:
  // Two leaky layers with wells, a fixed head and a cell outside the basin; the heads of
  // both layers over the held rows after 4 hourly steps (rows not computed: 0), and the
  // iteration counts of the last sub-step.
  std::vector<double> Run(RowRange held, RowRange strip, const DomainLayout* layout, std::vector<int>& iterations) {
    MakeBasin(kRows, kCols, 20, 2, held, strip, layout);
    Fill("zone", [](int r, int c) { return r == 4 && c == 2 ? kNodata : 1.0; });
    Fill("groundwater_distance", [](int r, int c) { return -1.0 - 0.1 * r - 0.05 * c; });
    Fill("gw_kolmation_1", [](int, int) { return 1e-6; });
    Fill("gw_boundary_fix_h_2", [](int r, int c) { return r == kRows && c == kCols ? 45.0 : kNodata; });
    Fill("gw_boundary_fix_q_2", [](int r, int c) { return r == 3 && c == 5 ? -1e-4 : kNodata; });
    Fill("gw_boundary_fix_q_1", [](int r, int c) { return r == 8 && c == 3 ? 2e-5 : kNodata; });
    test::GroundwaterSection s;
    s.sor = 0;
    s.max_error = 1e-6;
    s.control_row = 6;
    s.control_col = 4;
    if (Build(s) != 0) {
      ADD_FAILURE() << "model not built";
      return {};
    }
    AquiferFixture::Run(4);
    std::vector<double> heads(2 * kRows * kCols, 0.0);
    for (int n = 1; n <= 2; ++n) {
      const GridView h = grid("gw_head_" + std::to_string(n));
      for (int r = strip.first; r <= strip.last; ++r) {
        for (int c = 1; c <= kCols; ++c)
          heads[static_cast<std::size_t>(((n - 1) * kRows + r - 1) * kCols + c - 1)] = h(r, c);
      }
      iterations.push_back(model_->iterations(n));
    }
    return heads;
  }
};

TEST_F(DecomposedAquifer, HeadsAndIterationsDoNotDependOnTheProcessCount) {
  // Processes are under test here (threads: the serial tests); one thread each keeps the
  // many short parallel loops of an iteration from spin-waiting on a crowded machine.
  const int threads = omp_get_max_threads();
  omp_set_num_threads(1);
  // Every process runs the whole grid alone (the same collective calls on each), then its
  // band of the decomposed grid.
  std::vector<int> serial_iterations;
  const std::vector<double> serial = Run({1, kRows}, {1, kRows}, nullptr, serial_iterations);
  const test::RowBandLayout bands(test::WorldRank(), test::WorldSize(), kRows, kCols);
  std::vector<int> iterations;
  const std::vector<double> own = Run(test::HeldRowsOf(test::WorldRank(), test::WorldSize(), kRows),
                                      bands.layout().own_rows, &bands.layout(), iterations);
  ASSERT_EQ(own.size(), serial.size());
  std::vector<double> all(own.size());
  MPI_Allreduce(own.data(), all.data(), static_cast<int>(own.size()), MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
  for (std::size_t k = 0; k < serial.size(); ++k) EXPECT_EQ(serial[k], all[k]) << "value " << k;
  EXPECT_EQ(iterations, serial_iterations);
  std::vector<int> lowest(iterations.size());
  MPI_Allreduce(iterations.data(), lowest.data(), static_cast<int>(iterations.size()), MPI_INT, MPI_MIN,
                MPI_COMM_WORLD);
  EXPECT_EQ(lowest, iterations);
  omp_set_num_threads(threads);
}

}  // namespace
}  // namespace tolvo
