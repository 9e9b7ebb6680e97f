// Cell rules of the groundwater kernels on grids of a few cells: closed zone borders, dry
// cells, the adaptive relaxation factor, the leakage limit and a cell that only takes its
// fixed flux.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "subsurface/groundwater_kernels.h"

namespace tolvo {
namespace {

// One layer of nrows x ncols cells of 10 m, 10 m thick, k 1e-4 m/s, S 0.1, top 50 m,
// head 40 m, every cell in zone 1.
struct SmallLayer {
  SmallLayer(int nrows, int ncols) : nrows(nrows), ncols(ncols) {
    for (Grid* g : {&zone, &h, &h_old, &h_prev, &iterate, &tx, &ty, &qx, &qy, &balance, &leakage, &top, &thickness, &kx,
                    &ky, &storage, &fixed_head, &fixed_flux, &kolmation}) {
      *g = Grid(1, nrows, ncols, nrows);
    }
    zone.fill(1);
    h.fill(40);
    h_old.fill(40);
    h_prev.fill(40);
    iterate.fill(40);
    top.fill(50);
    thickness.fill(10);
    kx.fill(1e-4);
    ky.fill(1e-4);
    storage.fill(0.1);
    fixed_head.fill(kNodata);
    fixed_flux.fill(kNodata);
    kolmation.fill(1e-6);
  }
  AquiferDomain domain(bool close_borders = false) {
    return {.zone = zone.view(), .cellsize = 10, .nrows = nrows, .ncols = ncols, .close_zone_borders = close_borders};
  }
  AquiferLayer layer() {
    return {.h = h.view(),
            .h_old = h_old.view(),
            .h_prev = h_prev.view(),
            .iterate = iterate.view(),
            .tx = tx.view(),
            .ty = ty.view(),
            .qx = qx.view(),
            .qy = qy.view(),
            .balance = balance.view(),
            .leakage = leakage.view(),
            .top = top.view(),
            .thickness = thickness.view(),
            .kx = kx.view(),
            .ky = ky.view(),
            .storage = storage.view(),
            .fixed_head = fixed_head.view(),
            .fixed_flux = fixed_flux.view(),
            .kolmation = kolmation.view()};
  }
  RowRange rows() const { return {1, nrows}; }

  int nrows, ncols;
  Grid zone, h, h_old, h_prev, iterate, tx, ty, qx, qy, balance, leakage, top, thickness, kx, ky, storage, fixed_head,
      fixed_flux, kolmation;
};

TEST(GroundwaterKernels, ClosedZoneBordersAndDryCellsConductAsTheirFacesAllow) {
  SmallLayer a(1, 3);
  a.zone(1, 3) = 2;
  ComputeLayerTransmissivities(a.domain(true), a.layer(), {}, a.rows());
  // Saturated thickness 10 + (40 - 50) = 0: every cell is dry and none conducts.
  EXPECT_EQ(a.tx(1, 1), 0);
  a.h.fill(45);
  ComputeLayerTransmissivities(a.domain(true), a.layer(), {}, a.rows());
  EXPECT_DOUBLE_EQ(a.tx(1, 1), 5e-4);  // (10 + 45 - 50) * 1e-4
  EXPECT_EQ(a.tx(1, 2), 0);            // zone 1 against zone 2
  EXPECT_EQ(a.tx(1, 3), 0);            // last column
  ComputeLayerTransmissivities(a.domain(false), a.layer(), {}, a.rows());
  EXPECT_DOUBLE_EQ(a.tx(1, 2), 5e-4);

  // Heads 45, 39, 38 m: cells 2 and 3 lie below their bottom (40 m) and are dry. The
  // wet cell 1 lends its transmissivity to the lower dry cell 2; between the two dry
  // cells nothing flows.
  a.h(1, 1) = 45;
  a.h(1, 2) = 39;
  a.h(1, 3) = 38;
  ComputeLayerTransmissivities(a.domain(false), a.layer(), {}, a.rows());
  EXPECT_DOUBLE_EQ(a.tx(1, 1), 5e-4);
  EXPECT_EQ(a.tx(1, 2), 0);
  // A dry cell lower than its wet east neighbour takes the neighbour's transmissivity ...
  a.h(1, 1) = 39;
  a.h(1, 2) = 45;
  ComputeLayerTransmissivities(a.domain(false), a.layer(), {}, a.rows());
  EXPECT_DOUBLE_EQ(a.tx(1, 1), 5e-4);
  // ... a dry cell higher than it does not (no thickness: dry at any head).
  a.h(1, 1) = 46;
  a.thickness(1, 1) = 0;
  ComputeLayerTransmissivities(a.domain(false), a.layer(), {}, a.rows());
  EXPECT_EQ(a.tx(1, 1), 0);
}

TEST(GroundwaterKernels, LeakageIsLimitedToOneMetreOfHeadDifference) {
  struct Case {
    double upper, lower, lower_top, leakage;
  };
  const Case cases[] = {
      {40, 45, 30, 1e-6},  // rising, 5 m limited to 1 m
      {40, 39.5, 30, -0.5e-6},
      {40, 10, 30, -1e-6},  // the lower layer is not full: difference to its top, limited
      {40, 25, 39.5, -0.5e-6},
  };
  for (const Case& k : cases) {
    SmallLayer upper(1, 1), lower(1, 1);
    upper.h(1, 1) = k.upper;
    lower.h(1, 1) = k.lower;
    lower.top(1, 1) = k.lower_top;
    ComputeLayerLeakage(upper.domain(), upper.layer(), lower.layer(), upper.rows());
    EXPECT_NEAR(upper.leakage(1, 1), k.leakage, 1e-18) << k.upper << " " << k.lower;
  }
}

TEST(GroundwaterKernels, AdaptiveRelaxationFactorStaysBetweenOneAndTwo) {
  struct Case {
    double previous_iterate, omega;
  };
  // One cell (no faces): the target head is h0 + Q dt / S = 40 + 1e-4 * 1000 / 0.1 = 41,
  // the current head 40.
  const Case cases[] = {
      {40, 1},    // p = h
      {39.9, 2},  // 1 + 1 / 0.1 = 11, limited to 2
      {38, 1.5},  // 1 + 1 / 2
      {41, 1},    // 1 + 1 / -1 = 0: no over-relaxation
  };
  for (const Case& k : cases) {
    SmallLayer a(1, 1);
    a.fixed_flux(1, 1) = 1e-4;
    a.iterate(1, 1) = k.previous_iterate;
    std::vector<SweepResult> rows(2);
    const SorParameters p{.dt_s = 1000, .alpha = 1, .relaxation = 1, .adaptive = true};
    for (int colour = 0; colour <= 1; ++colour) {
      SorHalfSweep(a.domain(), a.layer(), a.storage.view(), {}, p, colour, a.rows(), rows);
    }
    EXPECT_NEAR(a.h(1, 1), 40 + k.omega * 1, 1e-12) << k.previous_iterate;
    EXPECT_EQ(a.iterate(1, 1), 40);
  }
}

TEST(GroundwaterKernels, FixedHeadsHoldAndAnIsolatedCellTakesItsFlux) {
  SmallLayer a(3, 3);
  a.h.fill(45);
  a.h_old.fill(45);
  a.kx.fill(0);
  a.ky.fill(0);
  a.fixed_head(1, 1) = 47;
  a.fixed_flux(2, 2) = 2e-5;
  ComputeLayerTransmissivities(a.domain(), a.layer(), {}, a.rows());
  RowSolverWorkspace work(2, 3);
  std::vector<double> row_max(4);
  SolveRowsImplicitLayer(a.domain(), a.layer(), a.h_old.view(), 3600, a.rows(), work, row_max);
  EXPECT_DOUBLE_EQ(a.h(2, 2), 45 + 2e-5 * 3600 / 0.1);
  EXPECT_DOUBLE_EQ(a.h(1, 1), 47);
  EXPECT_DOUBLE_EQ(a.h(3, 3), 45);

  ApplyFixedHeads(a.domain(), a.layer(), a.rows());
  for (Grid* g : {&a.h, &a.h_old, &a.h_prev}) EXPECT_DOUBLE_EQ((*g)(1, 1), 47);

  // A cell that neither stores nor conducts water keeps its head (no 0 / 0).
  a.storage(3, 3) = 0;
  std::vector<SweepResult> rows(4);
  const SorParameters p{.dt_s = 3600, .alpha = 1, .relaxation = 1.5, .adaptive = false};
  for (int colour = 0; colour <= 1; ++colour) {
    SorHalfSweep(a.domain(), a.layer(), a.storage.view(), {}, p, colour, a.rows(), rows);
  }
  EXPECT_DOUBLE_EQ(a.h(3, 3), 45);
}

// A lower layer that is not full, draining towards a fixed head: the point iteration
// stores its water with the top layer's coefficient (here 0.3, not the layer's own 0.05),
// the row-wise solution with the layer's own. Either way the cell balance it reports is
// the solution's: zero to round-off in every cell that is not held at a fixed head.
TEST(GroundwaterKernels, CellBalanceOfALayerThatIsNotFullUsesTheCoefficientOfItsSolution) {
  for (const bool point_iteration : {true, false}) {
    SCOPED_TRACE(point_iteration ? "point iteration" : "row-wise solution");
    SmallLayer upper(1, 4), lower(1, 4);
    upper.storage.fill(0.3);
    lower.storage.fill(0.05);
    lower.top.fill(45);  // 5 m of the 10 m saturated
    lower.fixed_head(1, 4) = 30;
    lower.h(1, 1) = lower.h_old(1, 1) = lower.iterate(1, 1) = 42;
    const AquiferDomain d = lower.domain();
    ApplyFixedHeads(d, lower.layer(), lower.rows());
    ComputeLayerTransmissivities(d, lower.layer(), {}, lower.rows());
    if (point_iteration) {
      std::vector<SweepResult> rows(2);
      const SorParameters p{.dt_s = 3600, .alpha = 1, .relaxation = 1, .adaptive = false};
      for (int sweep = 0; sweep < 60; ++sweep) {
        for (int colour = 0; colour <= 1; ++colour) {
          SorHalfSweep(d, lower.layer(), upper.storage.view(), upper.leakage.view(), p, colour, lower.rows(), rows);
        }
      }
    } else {
      RowSolverWorkspace work(1, 4);
      std::vector<double> row_max(2);
      SolveRowsImplicitLayer(d, lower.layer(), lower.h_old.view(), 3600, lower.rows(), work, row_max);
    }
    ComputeLayerFlows(d, lower.layer(), lower.rows());
    const std::vector<AquiferLayer> layers = {upper.layer(), upper.layer(), lower.layer()};
    ComputeLayerBalance(d, layers, 2, 3600, point_iteration ? upper.storage.view() : ConstGridView(), lower.rows());
    EXPECT_LT(lower.h(1, 3), 40);  // the layer drains
    for (int c = 1; c <= 3; ++c) EXPECT_NEAR(lower.balance(1, c), 0, 1e-9) << c;
  }
}

// Three layers (the middle one partly below its top, with a fixed flux; the lowest stiff,
// with a fixed head) whose point iteration stops after two sweeps, before the heads balance
// the flows. Each lower-layer cell must still store exactly what flows in through its
// faces, from below, through its fixed flux and out to the layer above, all at the final
// heads weighted in time as the iteration weights them; once the iteration has converged
// the leakage stays that of the start heads.
TEST(GroundwaterKernels, LowerLayersOfAStoppedIterationCloseTheirBalanceThroughTheLeakageAbove) {
  constexpr int kRows = 3, kCols = 4;
  constexpr double kDt = 3600, kArea = 100;
  struct Case {
    const char* name;
    int sweeps;
    bool stopped;
    double alpha;
  };
  const Case cases[] = {{"stopped after two sweeps", 2, true, 1},
                        {"converged", 400, false, 1},
                        {"stopped, time-weighted", 2, true, 0.5},
                        {"converged, time-weighted", 400, false, 0.5}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    SmallLayer top(kRows, kCols), middle(kRows, kCols), bottom(kRows, kCols);
    top.storage.fill(0.2);
    middle.storage.fill(0.05);
    bottom.storage.fill(1e-3);
    middle.top.fill(38);
    bottom.top.fill(28);
    middle.kolmation.fill(1e-5);
    middle.fixed_flux(2, 2) = 1e-6;
    bottom.fixed_head(3, 4) = 35;
    for (int r = 1; r <= kRows; ++r) {
      for (int c = 1; c <= kCols; ++c) {
        const double heads[] = {40 + 0.5 * c, 37.6 + 0.2 * r * c, 39 - 0.4 * c + 0.1 * r};
        SmallLayer* a[] = {&top, &middle, &bottom};  // the middle one below its top of 38 in its first cells
        for (int n = 0; n < 3; ++n)
          a[n]->h(r, c) = a[n]->h_old(r, c) = a[n]->h_prev(r, c) = a[n]->iterate(r, c) = heads[n];
      }
    }
    const AquiferDomain d = top.domain();
    const std::vector<AquiferLayer> layers = {top.layer(), top.layer(), middle.layer(), bottom.layer()};
    for (int n = 1; n <= 3; ++n) ApplyFixedHeads(d, layers[static_cast<std::size_t>(n)], top.rows());
    ComputeLayerLeakage(d, layers[1], layers[2], top.rows());
    ComputeLayerLeakage(d, layers[2], layers[3], top.rows());
    // The leakage of the start heads, of the faces above the middle and the lowest layer.
    std::vector<double> start_leakage[2];
    for (int r = 1; r <= kRows; ++r) {
      for (int c = 1; c <= kCols; ++c) {
        start_leakage[0].push_back(top.leakage(r, c));
        start_leakage[1].push_back(middle.leakage(r, c));
      }
    }
    for (int n = 1; n <= 3; ++n) ComputeLayerTransmissivities(d, layers[static_cast<std::size_t>(n)], {}, top.rows());
    const SorParameters p{.dt_s = kDt, .alpha = k.alpha, .relaxation = 1.5, .adaptive = false};
    std::vector<SweepResult> per_row(kRows + 1);
    for (int n = 2; n <= 3; ++n) {
      for (int sweep = 0; sweep < k.sweeps; ++sweep) {
        for (int colour = 0; colour <= 1; ++colour) {
          SorHalfSweep(d, layers[static_cast<std::size_t>(n)], top.storage.view(),
                       layers[static_cast<std::size_t>(n - 1)].leakage, p, colour, top.rows(), per_row);
        }
      }
    }
    for (int n = 1; n <= 3; ++n) ComputeLayerFlows(d, layers[static_cast<std::size_t>(n)], top.rows());
    for (int n = 3; n >= 2; --n) {
      CloseLayerBalanceThroughLeakage(d, layers, n, kDt, k.alpha, top.storage.view(), top.rows());
    }

    bool unconfined_seen = false;
    double largest_shift = 0;
    for (int n = 2; n <= 3; ++n) {
      const SmallLayer& a = n == 2 ? middle : bottom;
      const SmallLayer& above = n == 2 ? top : middle;
      for (int r = 1; r <= kRows; ++r) {
        for (int c = 1; c <= kCols; ++c) {
          if (a.fixed_head(r, c) > kNodata) continue;
          const bool unconfined = a.h_old(r, c) < a.top(r, c);
          unconfined_seen = unconfined_seen || unconfined;
          const double s = unconfined ? top.storage(r, c) : a.storage(r, c);
          // Square cells of 10 m: every face conducts its transmissivity times the
          // difference of the weighted heads.
          const auto w = [&](int rw, int cw) { return k.alpha * a.h(rw, cw) + (1 - k.alpha) * a.h_old(rw, cw); };
          double lateral = 0;
          if (c < kCols) lateral += (w(r, c + 1) - w(r, c)) * a.tx(r, c);
          if (c > 1) lateral += (w(r, c - 1) - w(r, c)) * a.tx(r, c - 1);
          if (r < kRows) lateral += (w(r + 1, c) - w(r, c)) * a.ty(r, c);
          if (r > 1) lateral += (w(r - 1, c) - w(r, c)) * a.ty(r - 1, c);
          const double from_below = n == 2 ? middle.leakage(r, c) : 0.0;
          const double fixed_flux = a.fixed_flux(r, c) > kNodata ? a.fixed_flux(r, c) : 0.0;
          const double inflow = (lateral + (from_below - above.leakage(r, c) + fixed_flux) * kArea) * kDt;
          EXPECT_NEAR(s * (a.h(r, c) - a.h_old(r, c)) * kArea, inflow, 1e-11) << "layer " << n << ", " << r << " " << c;
          const double start = start_leakage[n - 2][static_cast<std::size_t>((r - 1) * kCols + c - 1)];
          largest_shift = std::max(largest_shift, std::abs(above.leakage(r, c) - start));
        }
      }
    }
    EXPECT_TRUE(unconfined_seen);
    if (k.stopped) {
      EXPECT_GT(largest_shift, 1e-8);  // the heads alone would have made or lost water
    } else {
      EXPECT_LT(largest_shift, 1e-15);
    }
  }
}

}  // namespace
}  // namespace tolvo
