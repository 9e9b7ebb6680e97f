#include <gtest/gtest.h>
#include <omp.h>

#include <atomic>
#include <cmath>
#include <csignal>
#include <cstring>
#include <limits>
#include <iostream>
#include <sstream>

#include "framework/signals.h"
#include "subsurface/column_fixture.h"
#include "subsurface/column_grid_fixture.h"
#include "subsurface/soil_column_step.h"
#include "tables/landuse_table.h"

namespace tolvo::test {
namespace {

// A sloped basin of soil columns with every process of the column step at work: rain
// storms and drizzle, evapotranspiration of one land use, snow direct runoff, silting-up
// water, macropores, interflow from a conductivity that falls with depth, tile drains,
// ponding and baseflow from the water table.
class BasinSet : public ColumnGridSet {
 public:
  BasinSet(DiagnosticsLog& log, int nr, int nc, int layers)
      : ColumnGridSet(log, nr, nc, layers, layers / 2),
        landuse_table(1),
        input(1, nr, nc, nr),
        silting(1, nr, nc, nr),
        snow(1, nr, nc, nr),
        slope(1, nr, nc, nr),
        drains(1, nr, nc, nr),
        drain_distance(1, nr, nc, nr),
        max_pond(1, nr, nc, nr),
        pond(1, nr, nc, nr),
        theta_level(1, nr, nc, nr),
        baseflow(1, nr, nc, nr),
        landuse(1, nr, nc, nr),
        cover(1, nr, nc, nr),
        roots(1, nr, nc, nr),
        pot_t(1, nr, nc, nr),
        pot_e(1, nr, nc, nr),
        real_t0(1, nr, nc, nr),
        real_t1(1, nr, nc, nr),
        real_e(1, nr, nc, nr),
        directflow(1, nr, nc, nr),
        interflow(1, nr, nc, nr),
        macropore(1, nr, nc, nr),
        drainage(1, nr, nc, nr),
        excess(1, nr, nc, nr),
        infiltration(1, nr, nc, nr) {
    soils[1] = SoilRecord(1);
    SoilRecord& soil = soils[1];
    soil.ParseBlock(log, "20 layered loam { method = MultipleHorizons; layers = " + std::to_string(layers) +
                             "; ksat = 1e-5; theta_sat = 0.43; theta_res = 0.078; alpha = 3.6; Par_n = 1.56; "
                             "thickness = 0.1; PMacroThresh = 4; MacroCapacity = 3; CapacityRedu = 0.5; "
                             "MacroDepth = 0.4; }\n");
    for (int j = 1; j <= layers; ++j) soil.ksat[static_cast<std::size_t>(j)] = 2e-4 * std::pow(0.6, j - 1);
    landuse_table[1].ParseBlock(log,
                                "1 grass { method = VariableDayCount; RootDist = 1; TReduWet = 0.95; HReduDry = 3.45; "
                                "LimitReduWet = 0.5; JulDays = 1 366; Albedo = 0.2 0.2; rsc = 50 50; LAI = 2 2; "
                                "Z0 = 0.1 0.1; VCF = 0.7 0.7; RootDepth = 0.4 0.4; AltDep = 0 0; }\n",
                                "VariableDayCount");
    settings.soils = soils;
    settings.landuse = &landuse_table;
    settings.silting = 2;
    settings.cellsize = 100;
    code_index = {0, 1};
    density = {0, 0.5};
    recession = {0, 1.0};
    max_baseflow = {0, 0.05};
    snow_fraction = {0, 0.3};
    settings.subbasins = {code_index, density, recession, max_baseflow, snow_fraction};
    for (int r = 1; r <= nr; ++r) {
      for (int c = 1; c <= nc; ++c) {
        slope(r, c) = 0.05 * (r + c);
        drains(r, c) = (r + c) % 2 == 0 ? 3 : -9999;
        drain_distance(r, c) = 10;
        max_pond(r, c) = r == 1 ? 4 : 0;
        snow(r, c) = c == nc ? 20 : 0;
        landuse(r, c) = (r * c) % 4 == 3 ? -9999 : 1;  // some cells bare
        cover(r, c) = 0.7;
        roots(r, c) = 0.2 + 0.1 * c;
        theta_level(r, c) = theta(r, c, static_cast<int>(level(r, c)));
      }
    }
  }

  // Rain [mm/h] of hour h: a storm of 10 mm/h for 5 hours every third day, drizzle of
  // 1 mm/h in the mornings, dry otherwise.
  static double Rain(int h) {
    const int hour = h % 24;
    if ((h / 24) % 3 == 0 && hour >= 10 && hour < 15) return 10;
    return hour < 6 ? 1 : 0;
  }

  void Weather(int h) {
    const double day = std::max(0.0, std::sin(3.14159265 * ((h % 24) - 6) / 12));
    for (int r = 1; r <= zone.rows().last; ++r) {
      for (int c = 1; c <= settings.ncols; ++c) {
        input(r, c) = Rain(h) * (1 + 0.1 * c);
        silting(r, c) = h % 7 == 0 ? 0.5 : 0;
        pot_t(r, c) = 0.4 * day;
        pot_e(r, c) = 0.15 * day;
      }
    }
  }

  SoilColumnGrids BasinViews() {
    SoilColumnGrids g = Views();
    g.input = input.view();
    g.silting = silting.view();
    g.snow_solid = snow.view();
    g.tangens_beta = slope.view();
    g.drainage_level = drains.view();
    g.drainage_distance = drain_distance.view();
    g.max_ponding = max_pond.view();
    g.ponding = pond.view();
    g.theta_in_level = theta_level.view();
    g.baseflow = baseflow.view();
    g.landuse = {ConstGridView(), landuse.view()};
    g.vegetation_cover = {ConstGridView(), cover.view()};
    g.root_depth = {ConstGridView(), roots.view()};
    g.pot_transpiration = {ConstGridView(), pot_t.view()};
    g.pot_evaporation = pot_e.view();
    g.real_transpiration = {real_t0.view(), real_t1.view()};
    g.real_evaporation = real_e.view();
    g.directflow = directflow.view();
    g.interflow = interflow.view();
    g.macropore = macropore.view();
    g.drainage_flow = drainage.view();
    g.infiltration_excess = excess.view();
    g.total_infiltration = infiltration.view();
    return g;
  }

  LanduseTable landuse_table;
  std::vector<int> code_index;
  std::vector<double> density, recession, max_baseflow, snow_fraction;
  Grid input, silting, snow, slope, drains, drain_distance, max_pond, pond, theta_level, baseflow, landuse, cover,
      roots, pot_t, pot_e, real_t0, real_t1, real_e, directflow, interflow, macropore, drainage, excess,
      infiltration;
};

// Water balance of every cell and sub-step over 10 days: water input + silting-up water =
// direct runoff + interflow (drains included) + base flow drawn + evapotranspiration +
// change of the column's water + change of the ponding storage.
TEST(SoilColumnStep, EveryCellClosesItsWaterBalanceEverySubStep) {
  std::ostringstream console;
  TempDir dir;
  DiagnosticsLog log(dir.file("d.xml"), 4, console);
  for (const SoilMethod method : {SoilMethod::FixedStep, SoilMethod::DynamicStep}) {
    SCOPED_TRACE(static_cast<int>(method));
    BasinSet set(log, 4, 5, 12);
    set.settings.method = method;
    const SoilColumnGrids g = set.BasinViews();
    double worst = 0, limit = 0;
    long long iterations = 0, water_iterations = 0;
    struct Totals {
      double input = 0, direct = 0, inter = 0, base = 0, et = 0, drains = 0, macro = 0, excess = 0;
    } totals;
    for (int h = 0; h < 240; ++h) {
      set.Weather(h);
      std::vector<double> before, pond_before, et_before;
      for (int r = 1; r <= 4; ++r) {
        for (int c = 1; c <= 5; ++c) {
          before.push_back(set.Water(r, c) * 1000);
          pond_before.push_back(set.pond(r, c) == -9999 ? 0 : set.pond(r, c));
          et_before.push_back(set.real_t0(r, c));
        }
      }
      const SoilColumnLoopReport report = soil_column_loop(SoilColumnKernels(), set.settings, g, set.work);
      ASSERT_EQ(report.code, 0) << report.entry;
      limit += report.limit_mm;
      iterations += report.richards_iterations;
      water_iterations += report.column_sub_steps;
      std::size_t k = 0;
      for (int r = 1; r <= 4; ++r) {
        for (int c = 1; c <= 5; ++c, ++k) {
          const double in = set.input(r, c) + set.silting(r, c);
          const double pond = set.pond(r, c) == -9999 ? 0 : set.pond(r, c);
          const double et = set.real_t0(r, c) - et_before[k];
          const double dW = set.Water(r, c) * 1000 - before[k];
          const double out = set.directflow(r, c) + set.interflow(r, c) + set.baseflow(r, c) + et + dW +
                             (pond - pond_before[k]);
          const double miss = in - out;
          worst = std::max(worst, std::abs(miss));
          ASSERT_LE(std::abs(miss), 1e-9)
              << "cell (" << r << ", " << c << ") hour " << h << ": input " << set.input(r, c) << " silting "
              << set.silting(r, c) << " direct " << set.directflow(r, c) << " interflow " << set.interflow(r, c)
              << " base " << set.baseflow(r, c) << " ET " << et << " dW " << dW << " dPond "
              << pond - pond_before[k] << " limits " << report.limit_mm;
          totals.input += in;
          totals.direct += set.directflow(r, c);
          totals.inter += set.interflow(r, c);
          totals.base += set.baseflow(r, c);
          totals.et += et;
          totals.drains += set.drainage(r, c);
          totals.macro += set.macropore(r, c);
          totals.excess += set.excess(r, c);
        }
      }
    }
    std::cout << "method " << static_cast<int>(method) << ": largest miss " << worst << " mm per cell-step; sums over "
              << "20 cells and 240 h [mm]: input " << totals.input << ", direct " << totals.direct << " (excess "
              << totals.excess << "), interflow " << totals.inter << " (drains " << totals.drains << "), base "
              << totals.base << ", ET " << totals.et << ", macropores " << totals.macro << "; content limits "
              << limit << "; water iterations " << water_iterations << ", Richards iterations " << iterations << "\n";
    // Every process must have been at work for the balance to prove anything.
    EXPECT_GT(totals.direct, 0);
    EXPECT_GT(totals.inter, totals.drains);
    EXPECT_GT(totals.drains, 0);
    EXPECT_GT(totals.base, 0);
    EXPECT_GT(totals.et, 0);
    EXPECT_GT(totals.macro, 0);
  }
}

// A lake cell's pond is the water of its lake: above the largest ponding depth it does not
// overflow into direct runoff (the lake's reservoir releases that water), while a plain
// cell with the same pond sheds the excess. Both close their water balance.
TEST(SoilColumnStep, LakeCellKeepsItsPondAboveTheLargestPondingDepth) {
  std::ostringstream console;
  TempDir dir;
  DiagnosticsLog log(dir.file("d.xml"), 4, console);
  BasinSet set(log, 4, 5, 12);
  Grid lakes(1, 4, 5, 4);
  for (int r = 1; r <= 4; ++r) {
    for (int c = 1; c <= 5; ++c) lakes(r, c) = r == 1 && c == 2 ? 2 : -9999;
  }
  SoilColumnGrids g = set.BasinViews();
  g.lake_codes = lakes.view();
  set.settings.lake_switch = 1;
  // Row 1 ponds up to 4 mm; the lake cell (1, 2) and its plain neighbour (1, 4) start with
  // a lake 2 m deep, and the hour is dry.
  set.pond(1, 2) = 2000;
  set.pond(1, 4) = 2000;
  const int dry_hour = 7;
  ASSERT_EQ(BasinSet::Rain(dry_hour), 0);
  set.Weather(dry_hour);
  std::vector<double> before;
  for (const int c : {2, 4}) before.push_back(set.Water(1, c) * 1000 + set.pond(1, c) + set.real_t0(1, c));
  ASSERT_EQ(soil_column_loop(SoilColumnKernels(), set.settings, g, set.work).code, 0);

  EXPECT_EQ(set.directflow(1, 2), 0);
  EXPECT_GT(set.pond(1, 2), 1900);
  EXPECT_GT(set.directflow(1, 4), 1900);
  EXPECT_EQ(set.pond(1, 4), 4);
  std::size_t k = 0;
  for (const int c : {2, 4}) {
    const double after = set.Water(1, c) * 1000 + set.pond(1, c) + set.real_t0(1, c) + set.directflow(1, c) +
                         set.interflow(1, c) + set.baseflow(1, c);
    EXPECT_NEAR(after, before[k++] + set.input(1, c) + set.silting(1, c), 1e-9) << "column " << c;
  }
}

// Steady infiltration at a rate below the saturated conductivity comes to a unit
// gradient: above the capillary fringe the conductivity equals the rate, K(θ) = r. For
// the loam of Carsel & Parrish (1988) after van Genuchten (1980) and Mualem (1976), θr
// 0.078, θs 0.43, α 3.6 1/m, n 1.56, Ks 2.889e-6 m/s, a rate of 1.04 mm/h = 0.1 Ks gives
// Se^0.5 (1 − (1 − Se^(1/m))^m)² = 0.1 with m = 1 − 1/n, θ = 0.3828 in closed form. The
// water table is held about in place by drawing the rate as baseflow from the saturated
// zone.
TEST(SoilColumnStep, SteadyInfiltrationComesToAUnitGradient) {
  std::ostringstream console;
  TempDir dir;
  DiagnosticsLog log(dir.file("d.xml"), 4, console);
  omp_set_num_threads(1);
  const double rate = 1.04 / 3.6e6;  // [m/s]
  for (const SoilMethod method : {SoilMethod::FixedStep, SoilMethod::DynamicStep}) {
    SCOPED_TRACE(static_cast<int>(method));
    ColumnGridSet set(log, 1, 1, 80, 28, 0.05);
    set.soils[1] = SoilRecord(1);
    set.soils[1].ParseBlock(log, "20 loam { method = MultipleHorizons; layers = 80; ksat = 2.889e-6; "
                                 "theta_sat = 0.43; theta_res = 0.078; alpha = 3.6; Par_n = 1.56; thickness = 0.05; }\n");
    set.settings.soils = set.soils;
    set.settings.method = method;
    set.settings.baseflow_given = true;
    Grid input(1, 1, 1, 1), baseflow(1, 1, 1, 1), excess(1, 1, 1, 1), infiltration(1, 1, 1, 1);
    input(1, 1) = 1.04;
    SoilColumnGrids g = set.Views();
    g.input = input.view();
    g.baseflow = baseflow.view();
    g.infiltration_excess = excess.view();
    g.total_infiltration = infiltration.view();
    for (int h = 0; h < 24 * 20; ++h) {
      baseflow(1, 1) = rate;
      ASSERT_EQ(soil_column_loop(SoilColumnKernels(), set.settings, g, set.work).code, 0);
      EXPECT_EQ(excess(1, 1), 0);
      EXPECT_NEAR(infiltration(1, 1), 1.04, 1e-9);
    }
    std::cout << "method " << static_cast<int>(method) << ", water table layer " << set.level(1, 1) << ": theta";
    for (int l = 1; l <= 80; l += 4) std::cout << " " << set.theta(1, 1, l);
    std::cout << "\n";
    // Layers 0.2 to 1.5 m deep lie well above the capillary fringe of the water table.
    for (int l = 5; l <= 30; ++l) EXPECT_NEAR(set.theta(1, 1, l), 0.3817, 0.001) << "layer " << l;
  }
  omp_set_num_threads(2);
}

// One column of 8 loam layers of 0.1 m: unsaturated at 0.3 above the water-table layer 4,
// saturated below; one land use of full cover, roots 0.3 m deep.
class ColumnStepTest : public ColumnTest {
 protected:
  ColumnStepTest() : ColumnTest(8), arrays_(scratch_.step_arrays()), landuse_(2), real_(2) {
    for (int j = 1; j <= 8; ++j) c_.theta[j] = j < 4 ? 0.3 : 0.43;
    c_.theta[4] = 0.35;
    state_.groundwater_level = 4;
    state_.groundwater_distance = c_.z[4] - c_.z[0] + 0.05;
    state_.theta_in_level = 0.35;
    landuse_[1].present = true;
    landuse_[1].vegetation_cover = 1;
    landuse_[1].root_depth = 0.3;
    landuse_[1].roots = {0, 3.45, 0.95, 0.5};
    in_.landuse = landuse_;
    settings_.dt_sub = 3600;
  }
  ColumnStepOutput Run() {
    ColumnStepOutput out;
    std::fill(real_.begin(), real_.end(), 0.0);
    out.real_transpiration = real_;
    column_sub_step(SoilColumnKernels(), settings_, p_, c_, arrays_, in_, state_, out);
    return out;
  }

  ColumnStepArrays arrays_;
  std::vector<LanduseLayerInput> landuse_;
  std::vector<double> real_;
  ColumnStepInput in_;
  ColumnCellState state_;
  ColumnStepSettings settings_;
};

TEST_F(ColumnStepTest, SiltingUpWaterCoversTranspirationFirst) {
  // 3 mm of water in the surface storage and 2 mm of potential transpiration: the plants
  // take 2 mm of it, 1 mm enters the soil, nothing is drawn from the layers.
  in_.silting = SiltingWater::kSurfaceStorage;
  in_.silting_mm = 3;
  landuse_[1].pot_transpiration_mm = 2;
  const double before = Water();
  const ColumnStepOutput out = Run();
  EXPECT_DOUBLE_EQ(out.real_transpiration[1], 2);
  EXPECT_NEAR(out.total_infiltration + out.infiltration_excess, 1, 1e-12);
  EXPECT_NEAR((Water() - before) * 1000, 1 - out.baseflow - out.interflow, 1e-9);
}

TEST_F(ColumnStepTest, SnowDirectRunoffNeedsMoreThanTenMillimetresOfSnow) {
  in_.water_input_mm = 5;
  in_.snow_runoff_fraction = 0.3;
  for (const double snow : {-1.0, 10.0, 10.5}) {
    SCOPED_TRACE(snow);
    in_.snow_solid_mm = snow;
    for (int j = 1; j <= 8; ++j) c_.theta[j] = j < 4 ? 0.3 : 0.43;
    const ColumnStepOutput out = Run();
    EXPECT_NEAR(out.directflow, snow > 10 ? 1.5 : 0, 1e-12);
  }
}

TEST_F(ColumnStepTest, BaseflowBeyondTheDrainableWaterEmptiesTheSaturatedZone) {
  in_.baseflow_given = true;
  in_.baseflow_rate = 1e-3;  // [m/s]: 3600 mm in the hour
  const ColumnStepOutput out = Run();
  EXPECT_EQ(state_.groundwater_level, 8);
  // Every layer from the water table down drained to field capacity.
  double drainable = 0.35 - soil_.ThetaForSuction(4, 3.45);
  for (int j = 5; j <= 8; ++j) drainable += 0.43 - soil_.ThetaForSuction(j, 3.45);
  EXPECT_NEAR(out.baseflow, drainable * 0.1 * 1000, 1e-9);

  // The walk itself: it leaves the column, and the water-table content is the last layer's.
  for (int j = 1; j <= 8; ++j) {
    c_.theta[j] = j < 4 ? 0.3 : 0.43;
    arrays_.theta_fc[j] = soil_.ThetaForSuction(j, 3.45);
  }
  int G = 4;
  double theta_G = 0;
  const double left = baseflow_and_saturated_zone(c_, arrays_, 8, 1e-3, 3600, G, theta_G);
  EXPECT_GT(left, 0);
  EXPECT_EQ(G, 8);
  EXPECT_DOUBLE_EQ(theta_G, c_.theta[8]);
}

TEST_F(ColumnStepTest, RootsBelowTheWaterTableTakeOnlyWhatTheLayersGive) {
  // Roots through the whole column, a high demand: what the soil gives above field capacity
  // is transpired, the rest of the demand is not, and no layer falls below its limits.
  landuse_[1].root_depth = 0.8;
  landuse_[1].pot_transpiration_mm = 50;
  const double before = Water();
  const ColumnStepOutput out = Run();
  EXPECT_GT(out.real_transpiration[1], 0);
  EXPECT_LT(out.real_transpiration[1], 50);
  EXPECT_NEAR((before - Water()) * 1000,
              out.real_transpiration[0] + out.baseflow + out.interflow + out.directflow, 1e-9);
  for (int j = 2; j <= 8; ++j) EXPECT_GE(c_.theta[j], c_.theta_r[j] - 1e-12) << j;
}

TEST(SoilBaseflow, AnInverseRecessionOfInfinityAtTheSurfaceCountsAsNoExponent) {
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    double distance, inverse, expected;
  };
  // 1 mm per step, one sub-step of F = 3.6e6: the rate 1 / F at the surface.
  for (const Case& k : {Case{0, inf, 1 / 3.6e6}, Case{-0.5, inf, 0}, Case{-1, 0, 1 / 3.6e6},
                        Case{-1, 2, std::exp(-2.0) / 3.6e6}}) {
    SCOPED_TRACE(k.distance);
    EXPECT_DOUBLE_EQ(baseflow_from_water_table(1, k.distance, k.inverse, 1, 3.6e6, 1), k.expected);
  }
}

// A conservative tracer over four days (two storms) of the sloped basin: in every cell and sub-step the
// tracer stored in the column and the surface store changes by what the water input
// brought less what left with direct runoff, interflow, baseflow and through the bottom.
TEST(SoilColumnStep, ConservativeTracerClosesItsBalanceEverySubStep) {
  std::ostringstream console;
  TempDir dir;
  DiagnosticsLog log(dir.file("d.xml"), 4, console);
  constexpr int kRows = 4, kCols = 5, kLayers = 12;
  constexpr double kInputConc = 2;
  for (const SoilMethod method : {SoilMethod::FixedStep, SoilMethod::DynamicStep}) {
    SCOPED_TRACE(static_cast<int>(method));
    BasinSet set(log, kRows, kCols, kLayers);
    set.settings.method = method;
    Stack storage(1, kRows, kCols, kLayers, kRows);
    Grid conc(1, kRows, kCols, kRows), qd(1, kRows, kCols, kRows), qi(1, kRows, kCols, kRows),
        other(1, kRows, kCols, kRows);
    conc.fill(kInputConc);
    for (int r = 1; r <= kRows; ++r) {
      for (int c = 1; c <= kCols; ++c) {
        storage(r, c, 0) = 0;
        for (int l = 1; l <= kLayers; ++l) storage(r, c, l) = 1000 * set.theta(r, c, l) * 0.1 * (l % 3);
      }
    }
    SoilColumnTracerSet tracers;
    tracers.tracers.push_back({.tracer = {.evaporating = false, .max_conc = 1e6, .decay = 1},
                               .storage = storage.view(),
                               .direct_runoff = qd.view(),
                               .interflow = qi.view(),
                               .input = conc.view(),
                               .silting = {},
                               .groundwater = {},
                               .other_exports = other.view(),
                               .base_flow = {}});
    tracers.silting_to_surface = true;
    SoilColumnGrids g = set.BasinViews();
    g.tracers = &tracers;
    double input_total = 0, runoff_total = 0, interflow_total = 0, other_total = 0;
    for (int h = 0; h < 96; ++h) {
      set.Weather(h);
      std::vector<double> before;
      for (int r = 1; r <= kRows; ++r) {
        for (int c = 1; c <= kCols; ++c) {
          double sum = 0;
          for (const double a : storage.view().levels(r, c)) sum += a;
          before.push_back(sum);
        }
      }
      const SoilColumnLoopReport report = soil_column_loop(SoilColumnKernels(), set.settings, g, set.work);
      ASSERT_EQ(report.code, 0) << report.entry;
      std::size_t k = 0;
      for (int r = 1; r <= kRows; ++r) {
        for (int c = 1; c <= kCols; ++c, ++k) {
          double after = 0;
          for (const double a : storage.view().levels(r, c)) after += a;
          const double in = (set.input(r, c) + set.silting(r, c)) * kInputConc;
          const double out = qd(r, c) + qi(r, c) + other(r, c);
          ASSERT_NEAR(before[k] + in, after + out, 1e-9 * (before[k] + in))
              << "cell (" << r << ", " << c << ") hour " << h;
          input_total += in;
          runoff_total += qd(r, c);
          interflow_total += qi(r, c);
          other_total += other(r, c);
        }
      }
    }
    // Every way out must have been taken for the balance to prove anything.
    EXPECT_GT(runoff_total, 0);
    EXPECT_GT(interflow_total, 0);
    EXPECT_GT(other_total, 0);
    EXPECT_GT(input_total, runoff_total);
  }
}

// The floating-point report of the tracer transport: the thread whose cell raised SIGFPE
// reports at its next call, naming that cell, layer 1 and tracer 1 with the layer's
// exports. Under 1 and 4 threads the report and every tracer grid are identical.
class SignallingKernels : public SoilColumnKernels {
 public:
  double columnFluxes(const ColumnParameters& p, const ColumnArrays& c, double r) const override {
    if (armed && p.drain_distance == kMarkedDistance && !raised.exchange(true)) std::raise(SIGFPE);
    return SoilColumnKernels::columnFluxes(p, c, r);
  }
  static constexpr double kMarkedDistance = 11;
  bool armed = false;
  mutable std::atomic<bool> raised{false};
};

TEST(SoilColumnTracers, FloatingPointReportAndTracersDoNotDependOnTheThreadCount) {
  std::ostringstream console;
  TempDir dir;
  DiagnosticsLog log(dir.file("d.xml"), 4, console);
  constexpr int kRows = 6, kCols = 4, kLayers = 10, kMarkedRow = 4, kMarkedCol = 3;
  volatile std::sig_atomic_t soil_state = 0;
  SignalTargets targets;
  targets.fpe_report_states[0] = &soil_state;
  SetCurrentApplication(&targets);
  InstallSignalHandlers();
  std::vector<std::vector<double>> results;
  std::vector<FpeLoopRecord> reports;
  for (const int threads : {1, 4}) {
    SCOPED_TRACE(threads);
    soil_state = 0;
    BasinSet set(log, kRows, kCols, kLayers);
    set.drain_distance(kMarkedRow, kMarkedCol) = SignallingKernels::kMarkedDistance;
    std::vector<Stack> storages;
    std::vector<Grid> grids;  // per tracer: input, direct runoff, interflow, base flow
    SoilColumnTracerSet tracers;
    for (int t = 0; t < 2; ++t) {
      Stack& A = storages.emplace_back(1, kRows, kCols, kLayers, kRows);
      for (int r = 1; r <= kRows; ++r) {
        for (int c = 1; c <= kCols; ++c) {
          for (int l = 0; l <= kLayers; ++l) A(r, c, l) = t == 0 ? 1000 * set.theta(r, c, l) * 0.1 : 1.5;
        }
      }
      for (int i = 0; i < 4; ++i) grids.emplace_back(1, kRows, kCols, kRows).fill(i == 0 ? 2.0 + t : 0.0);
    }
    for (std::size_t t = 0; t < 2; ++t) {
      tracers.tracers.push_back({.tracer = {.evaporating = t == 1, .max_conc = 1e6, .decay = t == 1 ? 0.99 : 1},
                                 .storage = storages[t].view(),
                                 .direct_runoff = grids[4 * t + 1].view(),
                                 .interflow = grids[4 * t + 2].view(),
                                 .input = grids[4 * t].view(),
                                 .silting = {},
                                 .groundwater = {},
                                 .other_exports = {},
                                 .base_flow = grids[4 * t + 3].view()});
    }
    SoilColumnGrids g = set.BasinViews();
    g.tracers = &tracers;
    SignallingKernels kernels;
    omp_set_num_threads(threads);
    std::vector<double> values;
    for (int h = 0; h < 24; ++h) {
      set.Weather(h);
      kernels.armed = h == 11;
      const SoilColumnLoopReport report = soil_column_loop(kernels, set.settings, g, set.work);
      ASSERT_EQ(report.code, 0) << report.entry;
      if (h == 11) reports.push_back(report.fpe);
      for (int r = 1; r <= kRows; ++r) {
        for (int c = 1; c <= kCols; ++c) {
          for (std::size_t t = 0; t < 2; ++t) {
            for (const double a : storages[t].view().levels(r, c)) values.push_back(a);
            for (std::size_t i = 1; i < 4; ++i) values.push_back(grids[4 * t + i](r, c));
          }
        }
      }
    }
    results.push_back(values);
  }
  omp_set_num_threads(2);
  SetCurrentApplication(nullptr);
  std::signal(SIGFPE, SIG_DFL);
  DisarmCtrlCHandler();
  ASSERT_EQ(results[0].size(), results[1].size());
  EXPECT_EQ(std::memcmp(results[0].data(), results[1].data(), results[0].size() * sizeof(double)), 0);
  ASSERT_EQ(reports.size(), 2u);
  for (const FpeLoopRecord& fpe : reports) {
    ASSERT_TRUE(fpe.signalled.has_value());
    const FpeReportCall& call = fpe.signalled->call;
    EXPECT_EQ(call.i1, kMarkedRow);
    EXPECT_EQ(call.i2, kMarkedCol);
    EXPECT_EQ(call.i3, 1) << "the first layer";
    EXPECT_EQ(call.i4, 1) << "the first tracer";
    EXPECT_TRUE(fpe.calls_after_signalled);
    ASSERT_TRUE(fpe.first.has_value());
    EXPECT_EQ(fpe.first->row, 1);
    EXPECT_EQ(fpe.first->col, 1);
  }
  const FpeReportCall& a = reports[0].signalled->call;
  const FpeReportCall& b = reports[1].signalled->call;
  EXPECT_EQ(reports[0].calls, reports[1].calls);
  EXPECT_EQ(a.a1, b.a1);
  EXPECT_EQ(a.a2, b.a2);
  EXPECT_EQ(a.a3, b.a3);
  EXPECT_EQ(soil_state, 1) << "the loop leaves the report to its model";
}

// Decay spreads a sub-step's factor over its water iterations: after any number of them
// every level, the surface store included, holds the factor times its amount.
TEST(SoilColumnTracers, DecayPerSubStepWhateverTheWaterIterations) {
  constexpr int n = 4;
  const double factor = std::pow(0.5, 1.0 / 24);
  for (const int iterations : {1, 3, 7}) {
    SCOPED_TRACE(iterations);
    Stack storage(1, 1, 1, n, 1);
    Grid qd(1, 1, 1, 1), qi(1, 1, 1, 1);
    for (int l = 0; l <= n; ++l) storage(1, 1, l) = 10.0 + l;
    SoilColumnTracerSet set;
    set.tracers.push_back({.tracer = {.evaporating = false, .max_conc = 1e6, .decay = factor},
                           .storage = storage.view(),
                           .direct_runoff = qd.view(),
                           .interflow = qi.view(),
                           .input = {},
                           .silting = {},
                           .groundwater = {},
                           .other_exports = {},
                           .base_flow = {}});
    SoilTracerScratch scratch(n);
    const std::vector<double> zero(n + 1, 0.0), theta(n + 1, 0.3), d(n + 1, 0.2);
    std::vector<double> z(n + 1, 0.0);
    for (int l = 1; l <= n; ++l) z[static_cast<std::size_t>(l)] = -0.2 * l;
    ColumnTracerStep step(set, scratch, 1, 1, n, d);
    step.begin_sub_step();
    for (int i = 0; i < iterations; ++i) {
      step.begin_iteration(theta, n, iterations, 0, 0, false, 0);
      step.transport({.n = n, .G = n, .q = zero, .theta0 = {}, .theta = theta, .theta_s = theta, .d = d, .z = z,
                      .I = zero, .B = zero, .X = zero, .R = zero, .U = zero, .dt = 3600.0 / iterations,
                      .F = 3600e3 / iterations, .Q = 0, .surface_water = 0});
      step.surface_runoff(0, 3600e3 / iterations, false, 0, 0);
    }
    // The saturated layers 4..4 mix only with themselves; every level keeps its amount.
    for (int l = 0; l <= n; ++l) EXPECT_NEAR(storage(1, 1, l), (10.0 + l) * factor, 1e-12) << "level " << l;
  }
}

// A river cell's re-infiltration brings each tracer at the concentration of its slot in
// the linked river's record (none without a record); the base flow takes its share of the
// layer it leaves, and the column keeps its tracer: after + base flow = before + river.
TEST(SoilColumnTracers, RiverWaterBringsTheRiversConcentrationAndBaseFlowItsLoad) {
  constexpr int n = 4;
  constexpr double dt = 3600, F = dt * 1000;
  RiverflowRecord river;
  river.flow_mm = {5, 4, 7};
  for (const bool linked : {false, true}) {
    SCOPED_TRACE(linked);
    std::vector<Stack> stacks;
    std::vector<Grid> grids;
    SoilColumnTracerSet set;
    for (std::size_t t = 0; t < 2; ++t) {
      Stack& storage = stacks.emplace_back(1, 1, 1, n, 1);
      for (int l = 0; l <= n; ++l) storage(1, 1, l) = 10.0 + l;
      for (int i = 0; i < 3; ++i) grids.emplace_back(1, 1, 1, 1);
    }
    for (std::size_t t = 0; t < 2; ++t) {
      set.tracers.push_back({.tracer = {.evaporating = false, .max_conc = 1e6, .decay = 1},
                             .storage = stacks[t].view(),
                             .direct_runoff = grids[3 * t].view(),
                             .interflow = grids[3 * t + 1].view(),
                             .input = {},
                             .silting = {},
                             .groundwater = {},
                             .other_exports = {},
                             .base_flow = grids[3 * t + 2].view()});
    }
    SoilTracerScratch scratch(n);
    const std::vector<double> zero(n + 1, 0.0), theta(n + 1, 0.3), d(n + 1, 0.2);
    std::vector<double> z(n + 1, 0.0), R(n + 1, 0.0), B(n + 1, 0.0);
    for (int l = 1; l <= n; ++l) z[static_cast<std::size_t>(l)] = -0.2 * l;
    R[2] = 1e-7;
    B[1] = 1e-8;
    ColumnTracerStep step(set, scratch, 1, 1, n, d);
    if (linked) step.set_river(&river);
    step.begin_sub_step();
    step.begin_iteration(theta, n, 1, 0, 0, false, 0);
    step.transport({.n = n,
                    .G = n,
                    .q = zero,
                    .theta0 = {},
                    .theta = theta,
                    .theta_s = theta,
                    .d = d,
                    .z = z,
                    .I = zero,
                    .B = B,
                    .X = zero,
                    .R = R,
                    .U = zero,
                    .dt = dt,
                    .F = F,
                    .Q = 0,
                    .surface_water = 0});
    for (int t = 0; t < 2; ++t) {
      const StackView A = stacks[static_cast<std::size_t>(t)].view();
      const double c_river = linked ? river.flow_mm[static_cast<std::size_t>(t) + 1] : 0.0;
      const double base = dt * B[1] / d[1] * 11.0 / 0.3;  // the share of layer 1's amount
      EXPECT_NEAR(grids[3 * static_cast<std::size_t>(t) + 2](1, 1), base, 1e-12);
      EXPECT_NEAR(A(1, 1, 2), 12.0 + R[2] * c_river * F, 1e-12);
      double after = 0;
      for (int l = 0; l <= n; ++l) after += A(1, 1, l);
      EXPECT_NEAR(after + base, 60.0 + R[2] * c_river * F, 1e-12);
    }
  }
}

// An evaporating tracer's base flow: with the groundwater model it is the river
// exfiltration, at the concentrations of the layers it leaves (3 from layer 2, 5 from the
// saturated layer 3 at the aquifer's concentration, one part to three: 4.5); without it
// the baseflow drawn from layer 1 at 2. The base-flow load over its water gives that
// concentration; the other flow carries nothing into it.
TEST(SoilColumnTracers, EvaporatingTracersBaseFlowIsItsExfiltrationWithTheGroundwaterModel) {
  constexpr int n = 4;
  constexpr double dt = 3600, F = dt * 1000;
  for (const bool groundwater : {false, true}) {
    SCOPED_TRACE(groundwater);
    Stack storage(1, 1, 1, n, 1);
    Grid qd(1, 1, 1, 1), qi(1, 1, 1, 1), base(1, 1, 1, 1), aquifer(1, 1, 1, 1);
    const double start[n + 1] = {0, 2, 3, 4, 4};
    for (int l = 0; l <= n; ++l) storage(1, 1, l) = start[l];
    aquifer(1, 1) = 5;
    SoilColumnTracerSet set;
    set.groundwater = groundwater;
    set.tracers.push_back({.tracer = {.evaporating = true, .max_conc = 1e6, .decay = 1},
                           .storage = storage.view(),
                           .direct_runoff = qd.view(),
                           .interflow = qi.view(),
                           .input = {},
                           .silting = {},
                           .groundwater = groundwater ? aquifer.view() : GridView(),
                           .other_exports = {},
                           .base_flow = base.view()});
    SoilTracerScratch scratch(n);
    const std::vector<double> zero(n + 1, 0.0), theta(n + 1, 0.3), d(n + 1, 0.2);
    std::vector<double> z(n + 1, 0.0), X(n + 1, 0.0), B(n + 1, 0.0);
    for (int l = 1; l <= n; ++l) z[static_cast<std::size_t>(l)] = -0.2 * l;
    B[1] = 1e-8;
    if (groundwater) {
      X[2] = 1e-8;
      X[3] = 3e-8;
    }
    ColumnTracerStep step(set, scratch, 1, 1, n, d);
    step.begin_sub_step();
    step.begin_iteration(theta, 2, 1, 0, 0, false, 0);
    step.transport({.n = n, .G = 2, .q = zero, .theta0 = {}, .theta = theta, .theta_s = theta, .d = d, .z = z,
                    .I = zero, .B = B, .X = X, .R = zero, .U = zero, .dt = dt, .F = F, .Q = 0,
                    .surface_water = 0});
    const double water = groundwater ? (X[2] + X[3]) * F : B[1] * F;
    EXPECT_NEAR(base(1, 1) / water, groundwater ? 4.5 : 2.0, 1e-12);
  }
}

// Lakes close the macropores: under lake switch 1 those of a lake cell holding a pond of
// 1 mm or more at the start of the sub-step, under any other switch but 0 every cell's.
// Row 1 ponds up to 4 mm; its cells 1 and 2 are lake cells.
TEST(SoilColumnStep, LakesCloseTheMacropores) {
  std::ostringstream console;
  TempDir dir;
  DiagnosticsLog log(dir.file("d.xml"), 4, console);
  for (const int lake_switch : {0, 1, 2}) {
    SCOPED_TRACE(lake_switch);
    BasinSet set(log, 4, 5, 12);
    Grid lakes(1, 4, 5, 4);
    lakes.fill(-9999);
    lakes.view()(1, 1) = lakes.view()(1, 2) = 3;
    set.settings.lake_switch = lake_switch;
    SoilColumnGrids g = set.BasinViews();
    g.lake_codes = lakes.view();
    int ponded = 0;
    double lake_macropores = 0, open_cells = 0;
    for (int h = 0; h < 48; ++h) {
      set.Weather(h);
      std::vector<double> pond_before;
      for (int c = 1; c <= 5; ++c) pond_before.push_back(set.pond(1, c));
      ASSERT_EQ(soil_column_loop(SoilColumnKernels(), set.settings, g, set.work).code, 0);
      for (int r = 1; r <= 4; ++r) {
        for (int c = 1; c <= 5; ++c) {
          const bool ponded_lake = r == 1 && c <= 2 && pond_before[static_cast<std::size_t>(c - 1)] >= 1;
          if (lake_switch == 2 || (lake_switch == 1 && ponded_lake)) {
            EXPECT_EQ(set.macropore(r, c), 0) << r << "," << c << " hour " << h;
          }
          if (ponded_lake) {
            ++ponded;
            lake_macropores += set.macropore(r, c);
          } else {
            open_cells += set.macropore(r, c);
          }
        }
      }
    }
    EXPECT_GT(ponded, 0) << "the lake cells must pond for the rule to show";
    if (lake_switch == 0) {
      EXPECT_GT(lake_macropores, 0) << "without lakes the ponded cells' macropores take water";
    }
    if (lake_switch != 2) {
      EXPECT_GT(open_cells, 0);
    }
  }
}

// With two sub-steps a cell gets half the step's water input in each. The silting-up
// model's runoff is a step's amount and is shared the same way; the surface water that
// surface routing leaves after each sub-step is offered whole in the next one.
TEST(SoilColumnStep, SubStepsShareTheStepsSiltingUpWaterButTakeTheRoutedSurfaceWaterWhole) {
  std::ostringstream console;
  TempDir dir;
  DiagnosticsLog log(dir.file("d.xml"), 4, console);
  const struct {
    int silting;
    bool each_sub_step;
    double silting_share;
  } cases[] = {{1, false, 0.5}, {2, false, 0.5}, {2, true, 1}};
  for (const auto& k : cases) {
    SCOPED_TRACE(k.silting * 10 + k.each_sub_step);
    BasinSet set(log, 2, 3, 8);
    set.settings.sub_steps = 2;
    set.settings.dt_sub = 1800;
    set.settings.silting = k.silting;
    set.settings.silting_each_sub_step = k.each_sub_step;
    const SoilColumnGrids g = set.BasinViews();
    for (int call = 0; call < 48; ++call) {
      set.Weather(call / 2);
      std::vector<double> before;
      for (int r = 1; r <= 2; ++r) {
        for (int c = 1; c <= 3; ++c) {
          before.push_back(set.Water(r, c) * 1000 + (set.pond(r, c) == -9999 ? 0 : set.pond(r, c)) +
                           set.real_t0(r, c));
        }
      }
      const SoilColumnLoopReport report = soil_column_loop(SoilColumnKernels(), set.settings, g, set.work);
      ASSERT_EQ(report.code, 0) << report.entry;
      std::size_t i = 0;
      for (int r = 1; r <= 2; ++r) {
        for (int c = 1; c <= 3; ++c, ++i) {
          const double in = set.input(r, c) / 2 + set.silting(r, c) * k.silting_share;
          const double held = set.Water(r, c) * 1000 + (set.pond(r, c) == -9999 ? 0 : set.pond(r, c)) +
                              set.real_t0(r, c);
          const double out = set.directflow(r, c) + set.interflow(r, c) + set.baseflow(r, c) + held - before[i];
          ASSERT_NEAR(in, out, 1e-9) << "cell (" << r << ", " << c << ") call " << call;
        }
      }
    }
  }
}

}  // namespace
}  // namespace tolvo::test
