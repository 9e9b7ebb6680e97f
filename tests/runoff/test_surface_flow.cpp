// The cell formulas of overland flow on small blocks of cells whose results follow by hand.

#include "runoff/surface_flow.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "runoff/surface_passes.h"

namespace tolvo {
namespace {

// A block of nrows x ncols cells of 10 m, every cell in the basin and computed here.
class Block {
 public:
  Block(int nrows, int ncols, SurfaceRoutingMethod method = SurfaceRoutingMethod::kElevationSpread)
      : nrows_(nrows), ncols_(ncols) {
    for (Grid* g : {&zone_, &dem_, &depth_, &width_, &curvature_, &shear_, &head_, &storage_, &directflow_, &q_in_,
                    &q_out_, &main_direction_, &main_flux_}) {
      *g = Grid(1, nrows, ncols, nrows);
    }
    for (Stack* s : {&weights_, &velocity_, &fluxes_}) *s = Stack(1, nrows, ncols, 9, nrows);
    zone_.fill(1);
    shear_.fill(0.9);
    g.zone = zone_.view();
    g.dem = dem_.view();
    g.river_depth = depth_.view();
    g.river_width = width_.view();
    g.curvature = curvature_.view();
    g.critical_shear = shear_.view();
    g.head = head_.view();
    g.storage = storage_.view();
    g.directflow = directflow_.view();
    g.q_in = q_in_.view();
    g.q_out = q_out_.view();
    g.weights = weights_.view();
    g.velocity = velocity_.view();
    g.main_direction = main_direction_.view();
    g.fluxes = fluxes_.view();
    g.main_flux = main_flux_.view();
    p.method = method;
    p.nrows = nrows;
    p.ncols = ncols;
    p.cellsize = 10;
    p.dt_min = 1;
    p.dt_max = 60;
    p.velocity_tolerance = 1e-6;
    p.velocity_steps = 50;
    p.wake_tolerance = 0.01;
    p.wake_steps = 10;
  }
  void SetDem(const std::vector<std::vector<double>>& rows) {
    for (int r = 1; r <= nrows_; ++r) {
      for (int c = 1; c <= ncols_; ++c) dem_(r, c) = rows[r - 1][c - 1];
    }
  }
  void SetCurvature(int r, int c, double value) { curvature_(r, c) = value; }
  void SetWater(int r, int c, double mm) {
    storage_(r, c) = mm;
    head_(r, c) = mm / 1000;
  }

  SurfaceGrids g;
  SurfaceParameters p;

 private:
  int nrows_;
  int ncols_;
  Grid zone_, dem_, depth_, width_, curvature_, shear_, head_, storage_, directflow_, q_in_, q_out_, main_direction_,
      main_flux_;
  Stack weights_, velocity_, fluxes_;
};

TEST(SurfaceFlowPaths, AspectSectorSpreadsOnAConcaveCell) {
  // Aspect 30 degrees lies in the sector of direction 2 (north-east), 15 degrees short of
  // its centre: before normalising, direction 2 gets cos 15 = 0.9659, direction 1 (the
  // side of the deviation) |sin 30 cos 15| = 0.4830 and direction 3 |cos 30 cos 15|
  // = 0.8365.
  Block b(3, 3);
  b.SetDem({{99, 99, 99}, {99, 100, 99}, {99, 99, 99}});
  CellKind kind = CellKind::kInner;
  FlowPathWeights(b.g, b.p, 2, 2, kind, 0, {.slope = 0.1, .aspect = 30, .kind = kind});
  EXPECT_EQ(kind, CellKind::kInner);
  EXPECT_NEAR(b.g.weights(2, 2, 2), 0.4226, 1e-4);
  EXPECT_NEAR(b.g.weights(2, 2, 1), 0.2113, 1e-4);
  EXPECT_NEAR(b.g.weights(2, 2, 3), 0.3660, 1e-4);
  EXPECT_EQ(b.g.velocity(2, 2, 0), 2);
  EXPECT_EQ(b.g.main_direction(2, 2), 2);

  // A convex cell keeps the sector's direction alone; the steepest-drop methods too.
  Block convex(3, 3);
  convex.SetDem({{99, 99, 99}, {99, 100, 99}, {99, 99, 99}});
  convex.SetCurvature(2, 2, 0.01);
  FlowPathWeights(convex.g, convex.p, 2, 2, kind, 0, {.slope = 0.1, .aspect = 30, .kind = kind});
  EXPECT_DOUBLE_EQ(convex.g.weights(2, 2, 2), 1);
  EXPECT_DOUBLE_EQ(convex.g.weights(2, 2, 1) + convex.g.weights(2, 2, 3), 0);
}

TEST(SurfaceFlowPaths, AnUphillSectorFallsBackToTheDrops) {
  // The sector points north-east, but that neighbour lies higher: the cell becomes an
  // edge-like cell and its water follows the drops (south 1 m, south-west 2 m / sqrt 2).
  Block b(3, 3);
  b.SetDem({{100, 100, 101}, {100, 100, 100}, {100, 99, 98}});
  b.SetCurvature(2, 2, 0.01);
  CellKind kind = CellKind::kInner;
  FlowPathWeights(b.g, b.p, 2, 2, kind, 0, {.slope = 0.1, .aspect = 45, .kind = kind});
  EXPECT_EQ(kind, CellKind::kOther);
  const double south = 1;
  const double south_east = 2 / 1.4142135;
  EXPECT_NEAR(b.g.weights(2, 2, 5), south / (south + south_east), 1e-12);
  EXPECT_NEAR(b.g.weights(2, 2, 4), south_east / (south + south_east), 1e-12);
  EXPECT_EQ(b.g.velocity(2, 2, 0), 4);
}

TEST(SurfaceFlowPaths, AFlatBlockHasNoSlopeNoWeightsAndNoMainDirection) {
  Block b(3, 3);
  b.SetDem({{50, 50, 50}, {50, 50, 50}, {50, 50, 50}});
  const std::array<double, 9> block{50, 50, 50, 50, 50, 50, 50, 50, 50};
  EXPECT_EQ(PlanCurvatureOfBlock(block, 10, -9999), 0);
  const SlopeAspect surface = SurfaceSlopeAspect(b.g, b.p, 2, 2);
  EXPECT_EQ(surface.kind, CellKind::kInner);
  EXPECT_EQ(surface.slope, 0);
  CellKind kind = surface.kind;
  FlowPathWeights(b.g, b.p, 2, 2, kind, 0, surface);
  for (int d = 1; d <= 8; ++d) EXPECT_EQ(b.g.weights(2, 2, d), 0) << d;
  EXPECT_EQ(b.g.main_direction(2, 2), 0);
}

TEST(SurfaceFlowPaths, TiedSteepestDirectionsTakeTheAspectFromCentralDifferences) {
  // North and east both drop by 1 m, south and west rise by 1 m: the aspect is that of
  // the gradient, 45 degrees, and the slope stays the largest gradient.
  Block b(3, 3);
  b.SetDem({{100, 99, 100}, {101, 100, 99}, {100, 101, 100}});
  const SlopeAspect surface = SurfaceSlopeAspect(b.g, b.p, 2, 2);
  EXPECT_DOUBLE_EQ(surface.slope, 0.1);
  EXPECT_NEAR(surface.aspect, 45, 1e-9);
}

TEST(SurfaceFlowPaths, ACellOfTheFirstRowLooksOnlyAtNeighboursInsideTheGrid) {
  // Row 1 has no northern neighbours: the gradients, the drops and the inflow ignore them.
  Block b(2, 3);
  b.SetDem({{100, 100, 100}, {99, 99.5, 99.2}});
  const SlopeAspect surface = SurfaceSlopeAspect(b.g, b.p, 1, 2);
  EXPECT_EQ(surface.kind, CellKind::kOther);
  EXPECT_DOUBLE_EQ(surface.slope, 1 / (10 * 1.414));
  CellKind kind = surface.kind;
  FlowPathWeights(b.g, b.p, 1, 2, kind, 0, surface);
  EXPECT_NEAR(b.g.weights(1, 2, 5), 0.5 / (0.5 + 1.8 / 1.4142135), 1e-12);
  EXPECT_EQ(b.g.velocity(1, 2, 0), 6);
  // Inflow: the south neighbour sends 0.2 m3/s north over 10 s, nothing comes from row 0.
  b.g.fluxes(2, 2, 1) = 0.2;
  CellInflowOutflow(b.g, b.p, 1, 2, 10, {}, {});
  EXPECT_DOUBLE_EQ(b.g.q_in(1, 2), 2);
}

TEST(SurfaceFlowRoughness, TableOfRoughnessCases) {
  SurfaceParameters p;
  p.wake_tolerance = 0.01;
  p.wake_steps = 10;
  p.crop_depth = 0.001;
  const struct {
    const char* label;
    CellVegetation veg;
    double v, y, s;
    double expected;
  } cases[] = {
      // Thin stems (below 1 mm) add no drag: Strickler k_St.
      {"stem diameter 0.5 mm", {.cultivation = 2, .k_st = 17, .stem_diameter = 0.0005}, 0.1, 0.01, 0.1, 17},
      // No residue cover leaves no tabulated roughness: k_St.
      {"residue cover 0", {.cultivation = 1, .k_st = 13, .residue_cover = 0}, 0.1, 0.01, 0.1, 13},
      {"no flow (Re 0)", {.cultivation = 1, .k_st = 12, .residue_cover = 0.3}, 0, 0, 0.1, 12},
      {"other cultivation", {.cultivation = 3, .k_st = 25}, 0.5, 0.1, 0.1, 25},
      // Conserving cultivation, Re = 4e6 * 0.01 * 0.1 = 4000: Re^0.142 / (0.0198 * 30^0.712).
      {"conserving, Re 4000",
       {.cultivation = 1, .k_st = 10, .residue_cover = 0.3},
       0.1,
       0.01,
       0.1,
       std::pow(4000.0, 0.142) / (0.0198 * std::pow(30.0, 0.712))},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_NEAR(VegetationRoughness(c.veg, p, c.v, c.y, c.s), c.expected, 1e-9 * c.expected);
  }
}

TEST(SurfaceFlowRoughness, StemDragFollowsItsReynoldsRanges) {
  // 3.07 Re^-0.168 meets 1 near Re 800: 0.9987 just below it.
  EXPECT_NEAR(StemDragCoefficient(799.999, 1.5), 0.9987, 1e-4);
  EXPECT_EQ(StemDragCoefficient(800, 1.5), 1);
  EXPECT_EQ(StemDragCoefficient(9000, 1.5), 1.2);
  EXPECT_EQ(StemDragCoefficient(20000, 1.5), 1.5);
}

TEST(SurfaceFlowRoughness, SlowFlowThroughStemsIsContinuousAtFroudeFiveHundredths) {
  // Below Froude 0.05 the Froude term is held at 2 / 0.05^2: the roughness does not jump
  // where the flow crosses it. Fr = v / sqrt(9.8159 y) = 0.05 at v = 0.05 sqrt(9.8159 y).
  SurfaceParameters p;
  p.wake_tolerance = 0.001;
  p.wake_steps = 20;
  const CellVegetation veg{.cultivation = 2, .k_st = 10, .stem_diameter = 0.005};
  const double y = 0.04;
  const double v = 0.05 * std::sqrt(9.8159 * y);
  const double below = VegetationRoughness(veg, p, v * (1 - 1e-9), y, 0.1);
  const double above = VegetationRoughness(veg, p, v * (1 + 1e-9), y, 0.1);
  EXPECT_GT(below, 0);
  EXPECT_LT(below, veg.k_st);
  EXPECT_NEAR(below, above, 1e-6 * above);
}

TEST(SurfaceFlowCourant, NoFlowingCellGivesTheNoFlowStep) {
  Block b(3, 3);
  EXPECT_EQ(CellCourantTimeStep(b.g, b.p, 2, 2), 1e36);
  b.g.weights(2, 2, 3) = 1;
  b.g.velocity(2, 2, 3) = 0.5;
  b.g.velocity(2, 2, 4) = 2;  // no weight: does not count
  EXPECT_DOUBLE_EQ(CellCourantTimeStep(b.g, b.p, 2, 2), 20);
}

TEST(SurfaceFlowBalance, ACellWhoseFluxesExceedItsWaterSendsExactlyItsWater) {
  // 2 mm on a 10 m cell is 0.2 m3; fluxes of 0.1 and 0.3 m3/s over 10 s would send 4 m3.
  Block b(3, 3, SurfaceRoutingMethod::kFixedStrickler);
  b.SetWater(2, 2, 2);
  b.g.velocity(2, 2, 0) = 3;
  b.g.fluxes(2, 2, 3) = 0.1;
  b.g.fluxes(2, 2, 5) = 0.3;
  LimitOutflowToStorage(b.g, b.p, 2, 2, 10);
  EXPECT_NEAR((b.g.fluxes(2, 2, 3) + b.g.fluxes(2, 2, 5)) * 10, 0.2, 1e-15);
  EXPECT_NEAR(b.g.fluxes(2, 2, 3) / b.g.fluxes(2, 2, 5), 1.0 / 3, 1e-12);
  EXPECT_EQ(b.g.fluxes(2, 2, 0), b.g.fluxes(2, 2, 3));
  EXPECT_EQ(b.g.main_flux(2, 2), b.g.fluxes(2, 2, 3));
  // A cell that holds enough keeps its fluxes.
  LimitOutflowToStorage(b.g, b.p, 2, 2, 5);
  EXPECT_NEAR((b.g.fluxes(2, 2, 3) + b.g.fluxes(2, 2, 5)) * 10, 0.2, 1e-15);
}

}  // namespace
}  // namespace tolvo
