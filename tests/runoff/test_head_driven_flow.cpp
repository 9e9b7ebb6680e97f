// Head-driven overland flow (method 6): the face conductances, the implicit head update
// and its face fluxes on small patches, and the balance of every cell and sub-step.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <vector>

#include "framework/matrix.h"
#include "runoff/head_driven_flow.h"

namespace tolvo {
namespace {

constexpr double kNoValue = -9999;

// A patch of cells computed by one process: ground, water depth, flow coefficient,
// river cells and zone codes per cell.
struct Patch {
  Patch(int nrows, int ncols, double dx, double dy, const std::function<double(int, int)>& ground,
        const std::function<double(int, int)>& depth, const std::function<bool(int, int)>& river = nullptr,
        const std::function<double(int, int)>& zone_code = nullptr)
      : zone(1, nrows, ncols, nrows), dem(1, nrows, ncols, nrows), river_depth(1, nrows, ncols, nrows),
        river_width(1, nrows, ncols, nrows), manning(1, nrows, ncols, nrows), size_x(1, nrows, ncols, nrows),
        size_y(1, nrows, ncols, nrows), head(1, nrows, ncols, nrows), head_old(1, nrows, ncols, nrows),
        rx(1, nrows, ncols, nrows), ry(1, nrows, ncols, nrows), flux_grid(1, nrows, ncols, nrows),
        velocity_grid(1, nrows, ncols, nrows), fluxes(1, nrows, ncols, 9, nrows),
        velocity(1, nrows, ncols, 9, nrows), row_change(static_cast<std::size_t>(nrows) + 1) {
    for (int r = 1; r <= nrows; ++r) {
      for (int c = 1; c <= ncols; ++c) {
        const bool is_river = river && river(r, c);
        zone(r, c) = zone_code ? zone_code(r, c) : 1;
        dem(r, c) = ground(r, c);
        river_depth(r, c) = is_river ? 1 : kNoValue;
        river_width(r, c) = is_river ? 2 : kNoValue;
        manning(r, c) = 10;
        size_x(r, c) = dx;
        size_y(r, c) = dy;
        head(r, c) = head_old(r, c) = ground(r, c) + (is_river ? 0 : depth(r, c));
      }
    }
    g = {.zone = zone.view(), .regions = {}, .dem = dem.view(), .river_depth = river_depth.view(),
         .river_width = river_width.view(), .manning = manning.view(), .cell_size_x = size_x.view(),
         .cell_size_y = size_y.view(), .head = head.view(), .head_old = head_old.view(), .roughness_x = rx.view(),
         .roughness_y = ry.view(), .fluxes = fluxes.view(), .main_flux = flux_grid.view(),
         .velocity = velocity.view(), .main_velocity = velocity_grid.view()};
    p = {.nrows = nrows, .ncols = ncols, .cellsize = dx, .nodata = kNoValue, .rank = 0, .closed_subbasins = false};
  }
  RowRange rows() const { return {1, p.nrows}; }
  // Both half-sweeps of iteration j; the largest change.
  double Sweep(int j, double dt, NonFiniteHeadHandler* handler = nullptr) {
    bool stopped = false;
    const double first = IterateHeads(g, p, rows(), 0, j, dt, row_change, handler, stopped);
    return std::max(first, IterateHeads(g, p, rows(), 1, j, dt, row_change, handler, stopped));
  }
  // One sub-step: conductances, sweeps until the largest change is below `tolerance`,
  // fluxes. Returns the number of sweeps.
  int SubStep(double dt, double tolerance = 1e-13, int max_sweeps = 500) {
    ComputeFaceConductances(g, p, rows());
    int j = 0;
    while (++j <= max_sweeps && Sweep(j, dt) > tolerance) {
    }
    FaceFluxes(g, p, rows());
    RiverFaceFluxes(g, p, rows());
    for (int r = 1; r <= p.nrows; ++r) {
      for (int c = 1; c <= p.ncols; ++c) head_old(r, c) = head(r, c);
    }
    return j;
  }

  Grid zone, dem, river_depth, river_width, manning, size_x, size_y, head, head_old, rx, ry, flux_grid,
      velocity_grid;
  Stack fluxes, velocity;
  std::vector<double> row_change;
  HeadGrids g;
  HeadParameters p;
};

TEST(HeadDrivenFaces, WaterFlowsOnlyWhereItStandsHigherThanTheGroundAcrossTheFace) {
  // A wet pit 0.1 m deep in ground that rises 1 m around it: no face conducts, the
  // iteration skips it and its head stays.
  Patch pit(3, 3, 10, 10, [](int r, int c) { return r == 2 && c == 2 ? 0.0 : 1.0; },
            [](int r, int c) { return r == 2 && c == 2 ? 0.1 : 0.0; });
  pit.SubStep(60);
  EXPECT_EQ(pit.head(2, 2), 0.1);
  for (int r = 1; r <= 3; ++r) {
    for (int c = 1; c <= 3; ++c) EXPECT_EQ(pit.rx(r, c) + pit.ry(r, c), 0) << r << " " << c;
  }

  // Flat ground, one wet cell in the middle: a dry neighbour on every side takes the
  // wet cell's coefficient over their face, so water spreads north, south, east and west
  // alike.
  Patch mound(3, 3, 10, 10, [](int, int) { return 5.0; }, [](int r, int c) { return r == 2 && c == 2 ? 0.2 : 0.0; });
  ComputeFaceConductances(mound.g, mound.p, mound.rows());
  const double a = 0.2 * 10;
  EXPECT_DOUBLE_EQ(mound.rx(2, 1), a);  // west face, computed by the dry west cell
  EXPECT_DOUBLE_EQ(mound.rx(2, 2), a);  // east face
  EXPECT_DOUBLE_EQ(mound.ry(1, 2), a);  // north face, computed by the dry north cell
  EXPECT_DOUBLE_EQ(mound.ry(2, 2), a);  // south face
  EXPECT_EQ(mound.rx(1, 1) + mound.ry(1, 1), 0);
  mound.SubStep(60);
  EXPECT_NEAR(mound.head(1, 2), mound.head(3, 2), 1e-12);
  EXPECT_NEAR(mound.head(2, 1), mound.head(2, 3), 1e-12);
  EXPECT_NEAR(mound.head(1, 2), mound.head(2, 1), 1e-12);
  EXPECT_GT(mound.head(1, 2), 5.0);

  // Next to a river cell the river is a free outfall at the cell's own ground: the cell
  // drains towards depth 0, whatever the river's ground (slowly at the end, since the
  // face conducts by the cell's own shrinking depth: d(t) = 1 / (1 / d0 + 2 M t / A)).
  Patch bank(1, 2, 10, 10, [](int, int c) { return c == 1 ? 1.0 : 3.0; }, [](int, int) { return 0.05; },
             [](int, int c) { return c == 2; });
  for (int step = 0; step < 60; ++step) bank.SubStep(2000);
  EXPECT_NEAR(bank.head(1, 1) - 1.0, 1 / (1 / 0.05 + 2 * 10 * 120000 / 100.0), 1e-5);
  EXPECT_EQ(bank.head(1, 2), 3.0);
}

TEST(HeadDrivenFaces, ClosedSubbasinsKeepTheirWaterAtTheirBorder) {
  for (const bool closed : {true, false}) {
    SCOPED_TRACE(closed);
    Patch two(1, 4, 10, 10, [](int, int) { return 1.0; }, [](int, int c) { return c <= 2 ? 0.3 : 0.0; }, nullptr,
              [](int, int c) { return c <= 2 ? 1.0 : 2.0; });
    two.p.closed_subbasins = closed;
    for (int step = 0; step < 5; ++step) two.SubStep(60);
    EXPECT_EQ(two.rx(1, 2) == 0, closed);
    EXPECT_EQ(two.head(1, 3) == 1.0, closed);
  }
}

// The balance of every cell: dx dy (h - h_old) / dt = flux in from the north and west
// minus flux out to the south and east, per sub-step; and the grid as a whole keeps its
// water. Cells of 20 x 10 m on a tilted, uneven surface with a wet patch.
TEST(HeadDrivenFaces, EveryCellsStorageChangeIsItsNetFaceFlux) {
  const int n = 6;
  Patch patch(n, n, 20, 10, [](int r, int c) { return 0.03 * r + 0.02 * c + 0.01 * ((r * c) % 3); },
              [](int r, int c) { return r <= 2 && c >= 3 ? 0.05 * c : 0.0; });
  const auto volume = [&] {
    double v = 0;
    for (int r = 1; r <= n; ++r) {
      for (int c = 1; c <= n; ++c) v += (patch.head(r, c) - patch.dem(r, c)) * 200;
    }
    return v;
  };
  const double start = volume();
  const double dt = 30;
  for (int step = 0; step < 20; ++step) {
    Grid before(1, n, n, n);
    for (int r = 1; r <= n; ++r) {
      for (int c = 1; c <= n; ++c) before(r, c) = patch.head(r, c);
    }
    patch.SubStep(dt);
    // SubStep has made the heads the start of the next sub-step.
    double worst = 0;
    for (int r = 1; r <= n; ++r) {
      for (int c = 1; c <= n; ++c) {
        const std::span<const double> f = patch.fluxes.view().levels(r, c);
        const double net = f[1] - f[5] + f[7] - f[3];
        worst = std::max(worst, std::abs(200 * (patch.head(r, c) - before(r, c)) / dt - net));
        // The south and east faces carry what the neighbours see over them.
        if (r < n) { EXPECT_NEAR(f[5], patch.fluxes(r + 1, c, 1), 1e-15) << r << " " << c; }
        if (c < n) { EXPECT_NEAR(f[3], patch.fluxes(r, c + 1, 7), 1e-15) << r << " " << c; }
      }
    }
    EXPECT_LT(worst, 1e-9) << step;
  }
  EXPECT_NEAR(volume(), start, 1e-9 * start);
  // The water has run down the slope, to the north-west corner.
  EXPECT_GT(patch.head(1, 1) - patch.dem(1, 1), 0);
}

TEST(HeadDrivenFaces, ANonFiniteHeadGoesToTheHandlerWithItsWholeUpdate) {
  struct Recorder : NonFiniteHeadHandler {
    std::vector<HeadUpdate> seen;
    bool OnNonFiniteHead(const HeadUpdate& u) override {
      seen.push_back(u);
      return false;
    }
  } recorder;
  Patch patch(3, 3, 10, 10, [](int, int c) { return 1.0 - 0.1 * c; }, [](int, int) { return 0.01; });
  ComputeFaceConductances(patch.g, patch.p, patch.rows());
  patch.head_old(1, 2) = std::numeric_limits<double>::quiet_NaN();
  // Cell (1, 2) is of colour 1, so its neighbours, of colour 0, read its head before the
  // NaN: it alone fails.
  bool stopped = false;
  IterateHeads(patch.g, patch.p, patch.rows(), 0, 3, 60, patch.row_change, &recorder, stopped);
  EXPECT_TRUE(recorder.seen.empty());
  IterateHeads(patch.g, patch.p, patch.rows(), 1, 3, 60, patch.row_change, &recorder, stopped);
  ASSERT_EQ(recorder.seen.size(), 1u);
  const HeadUpdate& u = recorder.seen[0];
  EXPECT_EQ(u.r, 1);
  EXPECT_EQ(u.c, 2);
  EXPECT_EQ(u.iteration, 3);
  EXPECT_TRUE(std::isnan(u.new_head));
  const std::array<double, 59> record = HeadDumpRecord(u);
  EXPECT_EQ(sizeof record, 472u);
  EXPECT_TRUE(std::isnan(record[280 / 8]));
  // Row 1 has no north neighbour: the N entries of every neighbour block are nodata.
  for (const int offset : {48, 88, 128, 168, 208, 248}) EXPECT_EQ(record[offset / 8], kNoValue) << offset;
  EXPECT_EQ(record[408 / 8], 10);
  EXPECT_EQ(record[0], 60);
  EXPECT_FALSE(stopped);
}

}  // namespace
}  // namespace tolvo
