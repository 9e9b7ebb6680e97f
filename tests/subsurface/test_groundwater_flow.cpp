// Physics of the groundwater flow model: a pumped well against Thiem's steady drawdown,
// a strip between two fixed heads solved by both methods, the water balance of a closed
// layer with a pumping and an injecting well, and heads independent of the thread count.
#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <numbers>

#include "subsurface/groundwater_fixture.h"

namespace tolvo {
namespace {

class GroundwaterFlow : public test::AquiferFixture {
 protected:
  // Layer 2 of two is the aquifer of the test: layer 1 above it neither conducts nor
  // leaks, and the heads start at 100 m, above the top of layer 2 (confined).
  void MakeConfined(int nrows, int ncols, double cellsize) {
    MakeBasin(nrows, ncols, cellsize, 2);
    Fill("gw_k_x_1", [](int, int) { return 0.0; });
    Fill("gw_k_y_1", [](int, int) { return 0.0; });
    Fill("groundwater_distance", [](int, int) { return 50.0; });
  }
  GridView heads() { return grid("gw_head_2"); }
  // Sum over the cells of S dh area [m^3] since `start`.
  double StoredVolume(const std::vector<double>& start, double cellsize) {
    const GridView h = heads();
    const GridView s = grid("gw_storage_coeff_2");
    double volume = 0;
    for (int r = 1; r <= nrows_; ++r) {
      for (int c = 1; c <= ncols_; ++c) {
        volume += s(r, c) * (h(r, c) - start[static_cast<std::size_t>((r - 1) * ncols_ + c - 1)]) * cellsize * cellsize;
      }
    }
    return volume;
  }
  std::vector<double> Heads() {
    std::vector<double> v;
    const GridView h = heads();
    for (int r = 1; r <= nrows_; ++r) {
      for (int c = 1; c <= ncols_; ++c) v.push_back(h(r, c));
    }
    return v;
  }
};

// Thiem (1906): steady drawdown around a well pumping Q from a confined aquifer of
// transmissivity T, s(r1) - s(r2) = Q / (2 pi T) ln(r2 / r1). Q = 0.01 m^3/s, T = 1e-3
// m^2/s: s(50 m) - s(200 m) = 2.206 m.
TEST_F(GroundwaterFlow, PumpedWellReachesThiemDrawdown) {
  MakeConfined(101, 101, 10);
  Fill("gw_boundary_fix_h_2",
       [&](int r, int c) { return r == 1 || r == nrows_ || c == 1 || c == ncols_ ? 100.0 : kNodata; });
  grid("gw_boundary_fix_q_2")(51, 51) = -0.01 / (10.0 * 10.0);
  test::GroundwaterSection s;
  s.max_error = 1e-6;
  s.sor = 1.9;
  s.max_iterations = 5000;
  ASSERT_EQ(Build(s), 0);
  Run(5 * 24);
  const double expected = 0.01 / (2 * std::numbers::pi * 1e-3) * std::log(200.0 / 50.0);
  EXPECT_NEAR(expected, 2.206, 0.001);
  const GridView h = heads();
  const double east = h(51, 71) - h(51, 56);
  const double south = h(71, 51) - h(56, 51);
  EXPECT_NEAR(east, expected, 0.03 * expected);
  EXPECT_NEAR(south, expected, 0.03 * expected);
  EXPECT_DOUBLE_EQ(h(1, 1), 100.0);
}

// A strip between a head of 60 m and one of 55 m: the steady heads fall linearly, and the
// point iteration and the row-wise solution agree.
TEST_F(GroundwaterFlow, BothMethodsReachTheLinearSteadyStateOfAStrip) {
  std::vector<std::vector<double>> results;
  for (const int method : {1, 2}) {
    SCOPED_TRACE(method);
    MakeConfined(1, 21, 10);
    Fill("groundwater_distance", [](int, int) { return 10.0; });
    grid("gw_boundary_fix_h_2")(1, 1) = 60;
    grid("gw_boundary_fix_h_2")(1, 21) = 55;
    test::GroundwaterSection s;
    s.method = method;
    ASSERT_EQ(Build(s), 0);
    Run(5 * 24);
    results.push_back(Heads());
    for (int c = 1; c <= 21; ++c) EXPECT_NEAR(heads()(1, c), 60 - 5.0 * (c - 1) / 20, 1e-3) << c;
  }
  for (std::size_t i = 0; i < results[0].size(); ++i) EXPECT_NEAR(results[0][i], results[1][i], 1e-3);
}

struct BalanceCase {
  int method;
  double max_error;
  double conductivity;  // m/s over 10 m
  double storage;
  double tolerance;  // of the volume, relative to the pumped volume
};

// A closed confined layer with a pumping and an injecting well: over 5 days the stored
// volume changes by what the wells put in (the row-wise solution to round-off, also when
// it splits its sub-steps; the point iteration to within its convergence limit).
TEST_F(GroundwaterFlow, ClosedLayerStoresWhatTheWellsPutIn) {
  const BalanceCase cases[] = {
      {2, 1e-7, 1e-6, 0.1, 1e-10},   // stable as it is
      {2, 1e-7, 1e-4, 1e-3, 1e-10},  // north-south ratio 36: split sub-steps
      {1, 1e-4, 1e-6, 0.1, 1e-2},
      {1, 1e-9, 1e-6, 0.1, 1e-5},
  };
  double previous_gap = 0;
  for (const BalanceCase& k : cases) {
    SCOPED_TRACE(::testing::Message() << "method " << k.method << " maxerror " << k.max_error);
    MakeConfined(8, 8, 10);
    Fill("gw_k_x_2", [&](int, int) { return k.conductivity; });
    Fill("gw_k_y_2", [&](int, int) { return k.conductivity; });
    Fill("gw_storage_coeff_2", [&](int, int) { return k.storage; });
    grid("gw_boundary_fix_q_2")(3, 3) = -2e-6;
    grid("gw_boundary_fix_q_2")(6, 5) = 1e-6;
    test::GroundwaterSection s;
    s.method = k.method;
    s.max_error = k.max_error;
    s.sor = 1.5;
    s.max_iterations = 10000;
    ASSERT_EQ(Build(s), 0);
    const std::vector<double> start = Heads();
    Run(5 * 24);
    const double put_in = (-2e-6 + 1e-6) * 3600.0 * 5 * 24 * 100;
    const double gap = std::abs(StoredVolume(start, 10) - put_in);
    for (const double h : Heads()) EXPECT_NEAR(h, 100, 10);  // the well lowers the layer by 7 m at most
    EXPECT_LT(gap, k.tolerance * std::abs(put_in));
    if (k.method == 1 && previous_gap > 0) { EXPECT_LT(gap, previous_gap); }
    if (k.method == 1) previous_gap = gap;
    if (k.method == 2) { EXPECT_EQ(model_->row_solver_parts(2), k.conductivity > 1e-5 ? 72 : 1); }
  }
  EXPECT_TRUE(Logged("splits each sub-step into 72 parts"));
}

// Red-black order: every half-sweep updates cells that read only the other colour, so
// the heads are the same bits under 1 and 4 threads.
TEST_F(GroundwaterFlow, HeadsDoNotDependOnTheThreadCount) {
  std::vector<std::vector<double>> results;
  const int threads = omp_get_max_threads();
  for (const int n : {1, 4}) {
    omp_set_num_threads(n);
    MakeConfined(23, 17, 10);
    Fill("gw_boundary_fix_h_2", [](int r, int c) { return r == 1 && c < 5 ? 100.0 : kNodata; });
    grid("gw_boundary_fix_q_2")(12, 9) = -1e-4;
    test::GroundwaterSection s;
    s.sor = 0;  // adaptive relaxation
    s.max_error = 1e-5;
    ASSERT_EQ(Build(s), 0);
    Run(6);
    results.push_back(Heads());
  }
  omp_set_num_threads(threads);
  EXPECT_EQ(results[0], results[1]);
}

// The top layer under a sloping water table of the soil model, without wells or fixed
// heads: what it hands back to the soil model ("baseflow", m/s) only moves water between
// cells, so its sum over the domain is 0 (the row-wise solution to round-off, the point
// iteration within its convergence limit).
TEST_F(GroundwaterFlow, HandBackToTheSoilModelMovesWaterWithoutLosingIt) {
  // Round-off: heads of 50 m give changes of 1e-3 m to about 1e-10 of the largest rate.
  const std::pair<int, double> cases[] = {{2, 1e-10}, {1, 1e-6}};
  for (const auto& [method, tolerance] : cases) {
    SCOPED_TRACE(method);
    MakeBasin(6, 5, 10, 1);
    Fill("groundwater_distance", [](int r, int c) { return -0.02 * r - 0.01 * c * c; });
    Fill("gw_storage_coeff_1", [](int, int) { return 0.1; });
    Fill("gw_k_x_1", [](int, int) { return 1e-2; });  // gravel
    Fill("gw_k_y_1", [](int, int) { return 1e-2; });
    test::GroundwaterSection s;
    s.layers = 1;
    s.method = method;
    s.max_error = 1e-10;
    ASSERT_EQ(Build(s, 2), 0);
    Run(3);
    const GridView q = grid("baseflow");
    double sum = 0;
    double largest = 0;
    for (int r = 1; r <= nrows_; ++r) {
      for (int c = 1; c <= ncols_; ++c) {
        sum += q(r, c) * 100;
        largest = std::max(largest, std::abs(q(r, c)) * 100);
      }
    }
    EXPECT_GT(largest, 0);
    EXPECT_LT(std::abs(sum), tolerance * largest);
  }
}

}  // namespace
}  // namespace tolvo
