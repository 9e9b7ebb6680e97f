// The groundwater model on a domain cut into bands of rows gives the heads of a run on
// one process, bit for bit, and every process makes the same number of iterations.
#include <gtest/gtest.h>
#include <mpi.h>
#include <omp.h>

#include <vector>

#include "framework/tracer_settings_record.h"
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
    if (!BuildAquifer(held, strip, layout)) return {};
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

  // A conservative and a radioactive tracer, both with a pulse at one cell of layer 2, over
  // 4 hourly steps of the row-wise head solution without the wells: the concentrations of both layers over the own rows (others 0).
  std::vector<double> RunTracers(RowRange held, RowRange strip, const DomainLayout* layout) {
    if (!BuildAquifer(held, strip, layout, 2)) return {};
    // Without the wells: a flow toward the fixed head that moves the pulse.
    Fill("gw_boundary_fix_q_1", [](int, int) { return kNodata; });
    Fill("gw_boundary_fix_q_2", [](int, int) { return kNodata; });
    zones_[1].zonenwert = 1;
    settings_.zones = {.zone_count = 1, .largest_code = 1, .zones = zones_, .code_index = code_index_,
                       .column_ranges = {}};
    std::vector<TracerSettingsRecord> tracers(3);
    tracers[1].name = "chl";
    tracers[1].gwini = 1;
    tracers[2].name = "rad";
    tracers[2].radioactive = 1;
    tracers[2].half_time = 0.5;
    tracers[2].gwini = 2;
    for (TracerSettingsRecord& t : tracers) t.statcode = 2001;
    if (test::CodeOf([&] { model_->InitTracers(2, tracers, registry_, 200); }) != 0) {
      ADD_FAILURE() << "tracers not set up";
      return {};
    }
    for (int t = 1; t <= 2; ++t) {
      const std::string id = "concstor_tracer_" + std::to_string(t) + "_layer_2_groundwater_flow";
      if (strip.contains(6)) grid(id)(6, 4) = 50;
    }
    AquiferFixture::Run(4);
    std::vector<double> values;
    for (int t = 1; t <= 2; ++t) {
      for (int n = 1; n <= 2; ++n) {
        const std::string id = "concstor_tracer_" + std::to_string(t) + "_layer_" + std::to_string(n) +
                               "_groundwater_flow";
        const GridView g = grid(id);
        for (int r = 1; r <= kRows; ++r) {
          for (int c = 1; c <= kCols; ++c) values.push_back(strip.contains(r) ? g(r, c) : 0.0);
        }
      }
    }
    model_->ReleaseTracers();
    return values;
  }

  // The basin of the tests, its heads solved by `method`.
  bool BuildAquifer(RowRange held, RowRange strip, const DomainLayout* layout, int method = 1) {
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
    s.method = method;
    if (Build(s) != 0) {
      ADD_FAILURE() << "model not built";
      return false;
    }
    return true;
  }
  ZoneRecord zones_[2] = {};
  int code_index_[2] = {0, 1};
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

TEST_F(DecomposedAquifer, TracerConcentrationsDoNotDependOnTheProcessCount) {
  const int threads = omp_get_max_threads();
  omp_set_num_threads(1);
  const std::vector<double> serial = RunTracers({1, kRows}, {1, kRows}, nullptr);
  const test::RowBandLayout bands(test::WorldRank(), test::WorldSize(), kRows, kCols);
  const std::vector<double> own =
      RunTracers(test::HeldRowsOf(test::WorldRank(), test::WorldSize(), kRows), bands.layout().own_rows, &bands.layout());
  ASSERT_EQ(own.size(), serial.size());
  std::vector<double> all(own.size());
  MPI_Allreduce(own.data(), all.data(), static_cast<int>(own.size()), MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
  for (std::size_t k = 0; k < serial.size(); ++k) EXPECT_EQ(serial[k], all[k]) << "value " << k;
  // The pulse left its cell, and no concentration went below 0.
  const std::size_t pulse = (kRows + 5) * kCols + 3;  // tracer 1, layer 2, cell (6, 4)
  EXPECT_LT(serial[pulse], 50);
  for (std::size_t k = 0; k < serial.size(); ++k) {
    if (serial[k] != kNodata) {
      EXPECT_GE(serial[k], 0) << "value " << k;
    }
  }
  omp_set_num_threads(threads);
}

}  // namespace
}  // namespace tolvo
