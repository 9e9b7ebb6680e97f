// The surface routing sub-model on one process: its construction from the section, the
// sub time steps of a call, the river hand-over, and a tilted plane under steady rain
// against the kinematic wave.

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "framework/tracer_settings_record.h"
#include "runoff/surfaceroutingclass.h"
#include "runoff/surface_basin_fixture.h"
#include "tables/landuse_grids_fixture.h"

namespace tolvo {
namespace {

using test::BasinShape;
using test::SurfaceBasin;
using test::SurfaceSection;

class SurfaceRoutingSetUp : public test::LogFixture {
 protected:
  // The code the construction raises (0 when it succeeds).
  int Build(const std::string& section, const BasinShape& shape = {}, const std::vector<std::string>& extra = {}) {
    const int n = 3;
    return test::CodeOf([&] {
      basin_ = std::make_unique<SurfaceBasin<>>(log_, dir_.path().string(), shape, section, RowRange{1, n},
                                                RowRange{1, n}, nullptr, extra);
    });
  }
  std::unique_ptr<SurfaceBasin<>> basin_;
};

TEST_F(SurfaceRoutingSetUp, SubStepBoundsBecomeIntegerFractionsOfTheStep) {
  // T = 60 min = 3600 s.
  const struct {
    const char* label;
    double dt_min, dt_max;
    double expect_min, expect_max;
    std::string entry;
  } cases[] = {
      {"longest 700 s rises to 3600 / 5", 60, 700, 60, 720,
       "longest allowed subtimestep changed from 700 to 720. Must be integer fraction of time step in seconds."},
      {"shortest 7 s becomes 3600 / 514", 7, 600, 3600.0 / 514, 600,
       "shortest allowed subtimestep changed from 7 to 7.00389. Must be integer fraction"},
      {"bounds above the step become the step", 7000, 9000, 3600, 3600, "changed from 9000 to 3600"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    ASSERT_EQ(Build(SurfaceSection(1, c.dt_min, c.dt_max)), 0) << console_.str();
    EXPECT_DOUBLE_EQ(basin_->model().routing_settings().dt_min, c.expect_min);
    EXPECT_DOUBLE_EQ(basin_->model().routing_settings().dt_max, c.expect_max);
    EXPECT_TRUE(Logged(c.entry)) << console_.str();
    basin_.reset();
  }
  console_.str("");
  ASSERT_EQ(Build(SurfaceSection(1, 60, 600)), 0);
  EXPECT_FALSE(Logged("subtimestep changed"));
}

TEST_F(SurfaceRoutingSetUp, RefusedSetUpsStopWithTheirCodes) {
  BasinShape full;
  full.taken_entries = 995;
  const struct {
    const char* label;
    std::string section;
    BasinShape shape;
    std::vector<std::string> extra;
    int code;
    std::string entry;
  } cases[] = {
      {"method 7", SurfaceSection(7, 60, 600), {}, {}, 10,
       "\n-----------------error------------\ninvalid method (7) read for SurfaceRoutingModel\n"},
      {"glacier codes", SurfaceSection(1, 60, 600), {}, {"GlacierCodes"}, 2,
       "Surface routing module cannot be used when glacier model is active"},
      {"glacierized cells", SurfaceSection(1, 60, 600), {}, {"GlacierizedCells"}, 2, "glacier model is active"},
      {"full grid table", SurfaceSection(1, 60, 600), full, {}, 12,
       "no free grid anymore, allowed number of grids is 1000!"},
      {"missing section", "[other]\n1\n60\n", {}, {}, 17, "[SurfaceRoutingModel]"},
      {"unreadable item", "[SurfaceRoutingModel]\n1\n60\n1\nqdsr.txt x\n", {}, {}, 17,
       "name of the statistics for direct runoff from surface routing (QDSR)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(Build(c.section, c.shape, c.extra), c.code);
    EXPECT_TRUE(Logged(c.entry)) << console_.str();
  }
}

TEST_F(SurfaceRoutingSetUp, ASwitchedOffModelRegistersNothingAndHandsNoRunoff) {
  ASSERT_EQ(Build(SurfaceSection(1, 60, 600, 0)), 0);
  EXPECT_EQ(basin_->IndexOf("SurfaceRoutingVelocity"), 0);
  EXPECT_FALSE(basin_->table()[13].identifier.has_value());
  EXPECT_EQ(basin_->model().GetQg(), nullptr);
}

TEST_F(SurfaceRoutingSetUp, GridsTakeFreeEntriesAndTheStricklerOfTheLandUse) {
  // Layer 1 holds the land use of table entry 1 (k_St 20) on row 1 and none elsewhere:
  // a cell without a land-use record takes Strickler 10.
  std::vector<test::BlockEntry> entries{
      {1, "VariableDayCount", " JulDays = 1 366; SR_K_ST = 20;" + test::Tables(2, 0.2, 50, 1, 0.1, 0.5, 1)}};
  LanduseTable table(1);
  table[1].ParseBlock(log_, "1 lu1 { method = VariableDayCount;" + test::kBlockBase + entries[0].keys + " }\n",
                      "VariableDayCount");
  BasinShape shape;
  shape.landuse_table = &table;
  shape.landuse = [](int r, int) { return r == 1 ? 1.0 : -9999.0; };
  ASSERT_EQ(Build(SurfaceSection(1, 60, 600), shape), 0) << console_.str();
  const int first = basin_->IndexOf("SurfaceRoutingVelocity");
  EXPECT_EQ(first, 13);  // right after the twelve grids of the basin
  const char* ids[] = {"SurfaceRoutingVelocity",      "SurfaceRoutingFluxes",     "SurfaceRoutingWeights",
                       "SurfaceRoutingHead",          "SurfaceRoutingHeadOld",    "SurfaceRoutingRoughnessX",
                       "SurfaceRoutingRoughnessY",    "SurfaceRoutingManningCoeff", "Plancurvature",
                       "SurfaceRoutingQIn",           "SurfaceRoutingQOut",       "CriticalShearStress"};
  for (int k = 0; k < 12; ++k) EXPECT_EQ(basin_->IndexOf(ids[k]), first + k) << ids[k];
  const GridView manning = basin_->Values("SurfaceRoutingManningCoeff");
  EXPECT_EQ(manning(1, 2), 20);
  EXPECT_EQ(manning(2, 2), 10);
  EXPECT_EQ(basin_->Values("CriticalShearStress")(3, 3), 0.9);
}

TEST_F(SurfaceRoutingSetUp, AFailingLandUseDateStopsTheCallWithItsCode) {
  // Fixpoint days shifted by 10 days per metre below 400 m leave the year: the residue
  // cover of a conserving cultivation cannot be had for the date.
  LanduseTable table(1);
  table[1].ParseBlock(log_,
                      "1 lu1 { method = VariableDayCount;" + test::kBlockBase +
                          " JulDays = 100 200; SR_cultivation = conserving;" +
                          test::Tables(2, 0.2, 50, 1, 0.1, 0.5, 1, 10) + " }\n",
                      "VariableDayCount");
  BasinShape shape;
  shape.landuse_table = &table;
  shape.landuse = [](int, int) { return 1.0; };
  ASSERT_EQ(Build(SurfaceSection(1, 60, 600), shape), 0) << console_.str();
  basin_->model().BeginStep({2020, 6, 1, 1});
  EXPECT_EQ(test::CodeOf([&] { basin_->model().RunStep(1, 1, 6, 2020); }), 152);
}

// A model whose Courant limit is set by the test.
class FixedCourantModel : public surfaceroutingclass {
 public:
  using surfaceroutingclass::surfaceroutingclass;
  double courant = 1e36;

 protected:
  double CourantTimeStep() override { return courant; }
};

TEST_F(SurfaceRoutingSetUp, ACallRunsTheSubStepsOfItsCourantLimitAndCoversTheWholeStep) {
  // T = 3600 s, shortest 60 s, longest 600 s.
  const struct {
    double courant;
    int n_sub_steps;
    double sub_time_step;
  } cases[] = {{250, 15, 240}, {1e36, 6, 600}, {10, 60, 60}, {0, 60, 60}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.courant);
    SurfaceBasin<FixedCourantModel> basin(log_, dir_.path().string(), {}, SurfaceSection(1, 60, 600),
                                          RowRange{1, 3}, RowRange{1, 3}, nullptr);
    basin.model().courant = c.courant;
    basin.model().BeginStep({2020, 6, 1, 1});
    basin.model().RunStep(1, 1, 6, 2020);
    EXPECT_EQ(basin.model().sub_step_count(), c.n_sub_steps);
    EXPECT_DOUBLE_EQ(basin.model().sub_time_step(), c.sub_time_step);
    // Fluxes become volumes with the sub time step in force: together exactly T.
    EXPECT_DOUBLE_EQ(basin.model().sub_step_count() * basin.model().sub_time_step(), 3600);
  }
  // Method 6 routes its first sub-step with the shortest sub time step and cuts the rest
  // of the step into the fewest equal sub-steps the Courant limit allows.
  const struct {
    double courant;
    int n_sub_steps;
    double rest;
  } head_cases[] = {{250, 16, 236}, {1e36, 7, 590}, {10, 60, 60}};
  for (const auto& c : head_cases) {
    SCOPED_TRACE(c.courant);
    BasinShape shape;
    shape.off_river = kNodata;
    SurfaceBasin<FixedCourantModel> basin(log_, dir_.path().string(), shape, SurfaceSection(6, 60, 600),
                                          RowRange{1, 3}, RowRange{1, 3}, nullptr);
    basin.model().courant = c.courant;
    basin.model().BeginStep({2020, 6, 1, 1});
    basin.model().RunStep(1, 1, 6, 2020);
    EXPECT_EQ(basin.model().sub_step_count(), c.n_sub_steps);
    EXPECT_NEAR(basin.model().sub_time_step(), c.rest, 1e-9);
  }
}

// --- tilted plane --------------------------------------------------------------------------

enum class Drain { kSouth, kNorth, kEast, kWest };

// A plane of 20 cells of 10 m with slope 0.01 and a river cell below it, in a column (or a
// row) draining towards `drain`; no land-use record, so Strickler 10, cultivation 3.
BasinShape Plane(Drain drain) {
  BasinShape shape;
  shape.cellsize = 10;
  const bool column = drain == Drain::kSouth || drain == Drain::kNorth;
  shape.nrows = column ? 21 : 1;
  shape.ncols = column ? 1 : 21;
  // Cells counted from the river: 0 is the river cell.
  const auto from_river = [drain](int r, int c) {
    switch (drain) {
      case Drain::kSouth: return 21 - r;
      case Drain::kNorth: return r - 1;
      case Drain::kEast: return 21 - c;
      case Drain::kWest: return c - 1;
    }
    return 0;
  };
  shape.dem = [from_river](int r, int c) { return 0.1 * from_river(r, c); };
  shape.river = [from_river](int r, int c) { return from_river(r, c) == 0; };
  return shape;
}

struct PlaneResult {
  std::vector<double> river_m3s;  // mean inflow into the river of every call
  double worst_balance = 0;       // largest relative balance error of a call
};

// Rain of 36 mm/h on every cell in calls of 5 minutes; the river's own rain is not
// counted in the inflow.
PlaneResult RainOnPlane(DiagnosticsLog& log, const std::string& dir, Drain drain, int method, int n_calls) {
  const BasinShape shape = Plane(drain);
  SurfaceBasin<> basin(log, dir, shape, SurfaceSection(method, 1, 60, 1, 5), RowRange{1, shape.nrows},
                       RowRange{1, shape.nrows}, nullptr);
  surfaceroutingclass& model = basin.model();
  const GridView directflow = basin.Values("directflow");
  const GridView storage = basin.Values("SurfStorSiltingUp");
  const double rain_mm = 3;
  const double cell_m2 = 100;
  PlaneResult result;
  for (int call = 1; call <= n_calls; ++call) {
    double before = 0;
    for (int r = 1; r <= shape.nrows; ++r) {
      for (int c = 1; c <= shape.ncols; ++c) {
        before += storage(r, c);
        directflow(r, c) = rain_mm + storage(r, c);
      }
    }
    model.BeginStep({2020, 6, 1, call});
    model.RunStep(call, 1, 6, 2020);
    double river = 0;
    double after = 0;
    for (int r = 1; r <= shape.nrows; ++r) {
      for (int c = 1; c <= shape.ncols; ++c) {
        after += storage(r, c);
        if (shape.river(r, c)) river += directflow(r, c);
      }
    }
    const double rain = rain_mm * shape.nrows * shape.ncols;
    result.worst_balance = std::max(result.worst_balance, std::abs(river + after - before - rain) / rain);
    result.river_m3s.push_back((river - rain_mm) * cell_m2 / 1000 / 300);
  }
  return result;
}

class TiltedPlane : public test::LogFixture {};

TEST_F(TiltedPlane, FixedStricklerFollowsTheKinematicWaveAndBothMethodsReachEquilibrium) {
  // Kinematic wave on a plane (Woolhiser & Liggett 1967): q = alpha h^(5/3) with
  // alpha = k sqrt(S) = 10 * 0.1 = 1; rain i = 1e-5 m/s on L = 200 m gives the equilibrium
  // discharge Q_e = i L = 0.002 m2/s, 0.02 m3/s per 10-m column, reached at
  // t_e = (L / (alpha i^(2/3)))^(3/5) = 2402 s; before t_e, Q = Q_e (t / t_e)^(5/3).
  const double q_e = 0.02;
  const double t_e = std::pow(200 / std::pow(1e-5, 2.0 / 3), 0.6);
  ASSERT_NEAR(t_e, 2402, 1);
  // The soil hands each call's 3 mm over at the start of the call, so the surface runs a
  // little ahead of continuous rain; the river inflow of the call ending at t is held
  // against the wave's discharge at t.
  const auto rising = [&](double t) { return q_e * std::pow(t / t_e, 5.0 / 3); };
  const PlaneResult fixed = RainOnPlane(log_, dir_.path().string(), Drain::kSouth, 5, 18);
  for (const int call : {2, 4, 6}) {
    SCOPED_TRACE(call * 5);
    EXPECT_NEAR(fixed.river_m3s[call - 1], rising(call * 300.0), 0.1 * rising(call * 300.0));
  }
  EXPECT_NEAR(fixed.river_m3s.back(), q_e, 0.01 * q_e);
  EXPECT_LT(fixed.worst_balance, 1e-12);

  const PlaneResult iterated = RainOnPlane(log_, dir_.path().string(), Drain::kSouth, 1, 18);
  EXPECT_NEAR(iterated.river_m3s.back(), q_e, 0.01 * q_e);
  EXPECT_LT(iterated.worst_balance, 1e-12);
}

TEST_F(TiltedPlane, ThePlaneTurnedToAnyDirectionFeedsTheSameRiverInflow) {
  for (const int method : {1, 5}) {
    SCOPED_TRACE(method);
    const PlaneResult south = RainOnPlane(log_, dir_.path().string(), Drain::kSouth, method, 8);
    for (const Drain drain : {Drain::kNorth, Drain::kEast, Drain::kWest}) {
      const PlaneResult turned = RainOnPlane(log_, dir_.path().string(), drain, method, 8);
      for (std::size_t k = 0; k < south.river_m3s.size(); ++k) {
        EXPECT_NEAR(turned.river_m3s[k], south.river_m3s[k], 1e-12 * std::abs(south.river_m3s[k]));
      }
    }
  }
}

TEST_F(TiltedPlane, RiverCellsEndEverySubStepDryWithTheirWaterInDirectflow) {
  const BasinShape shape = Plane(Drain::kSouth);
  SurfaceBasin<> basin(log_, dir_.path().string(), shape, SurfaceSection(1, 1, 60, 1, 5), RowRange{1, 21},
                       RowRange{1, 21}, nullptr);
  basin.Values("directflow")(21, 1) = 4;
  basin.Values("directflow")(20, 1) = 2;
  basin.model().BeginStep({2020, 6, 1, 1});
  basin.model().RunStep(1, 1, 6, 2020);
  EXPECT_EQ(basin.Values("SurfaceRoutingHead")(21, 1), 0);
  EXPECT_EQ(basin.Values("SurfStorSiltingUp")(21, 1), 0);
  // The river keeps its own 4 mm and takes what the cell above sent it.
  EXPECT_NEAR(basin.Values("directflow")(21, 1) + basin.Values("SurfStorSiltingUp")(20, 1), 6, 1e-12);
  EXPECT_GT(basin.Values("directflow")(21, 1), 4);
  EXPECT_EQ(basin.Values("directflow")(20, 1), 0);
}

TEST_F(TiltedPlane, SurfaceWaterLeftBetweenSubStepsIsKeptOnceWhoeverTakesItBack) {
  // Two soil sub-steps per step, 3 mm of rain per cell and sub-step. Without a silting-up
  // model the soil takes the surface water left by every sub-step back into its direct
  // runoff; with one, the silting-up model takes it only at the start of a step, and
  // surface routing keeps it on the surface between the sub-steps. Either way every step
  // balances: rain = river hand-over + storage change.
  for (const bool silting_up : {false, true}) {
    SCOPED_TRACE(silting_up);
    const BasinShape shape = Plane(Drain::kSouth);
    const std::vector<std::string> extra =
        silting_up ? std::vector<std::string>{"DirectRunoffSiltingUp"} : std::vector<std::string>{};
    SurfaceBasin<> basin(log_, dir_.path().string(), shape, SurfaceSection(5, 10, 60, 1, 10), RowRange{1, 21},
                         RowRange{1, 21}, nullptr, extra, 2);
    const GridView directflow = basin.Values("directflow");
    const GridView storage = basin.Values("SurfStorSiltingUp");
    const auto total = [&](const GridView& g, bool river_only) {
      double sum = 0;
      for (int r = 1; r <= 21; ++r) {
        if (!river_only || shape.river(r, 1)) sum += g(r, 1);
      }
      return sum;
    };
    for (int step = 1; step <= 3; ++step) {
      const double before = total(storage, false);
      double river = 0;
      basin.model().BeginStep({2020, 6, 1, step});
      for (int k = 1; k <= 2; ++k) {
        const bool soil_takes_storage = !silting_up || k == 1;
        for (int r = 1; r <= 21; ++r) directflow(r, 1) = 3 + (soil_takes_storage ? storage(r, 1) : 0.0);
        basin.model().RunStep(step, 1, 6, 2020);
        river += total(directflow, true);
      }
      EXPECT_NEAR(river + total(storage, false) - before, 2 * 3 * 21, 1e-9) << step;
    }
  }
}

// Rain of one concentration on the plane, routed in 1 or 3 soil sub-steps per step: the
// direct runoff at the outlet carries that concentration whatever the number of sub-steps,
// since its flow-time queue mixes the sub-steps' concentrations by their water.
TEST_F(TiltedPlane, DirectRunoffConcentrationAtTheOutletDoesNotDependOnTheSubSteps) {
  for (const int sub_steps : {1, 3}) {
    SCOPED_TRACE(sub_steps);
    const BasinShape shape = Plane(Drain::kSouth);
    SurfaceBasin<> basin(log_, dir_.path().string(), shape, SurfaceSection(1, 1, 60, 1, 5),
                         RowRange{1, shape.nrows}, RowRange{1, shape.nrows}, nullptr, {"_CONC_QD_1_", "_CONC_QI_1_"},
                         sub_steps);
    std::vector<TracerSettingsRecord> tracers(2);
    tracers[1].name = "cl_";
    tracers[1].evaporating = 1;
    basin.model().InitTracers(1, tracers, basin.registry(), 200);
    const GridView directflow = basin.Values("directflow");
    const GridView storage = basin.Values("SurfStorSiltingUp");
    const GridView runoff_conc = basin.Values("_CONC_QD_1_");
    for (int step = 1; step <= 3; ++step) {
      SCOPED_TRACE(step);
      basin.model().BeginStep({2020, 6, 1, step});
      for (int k = 1; k <= sub_steps; ++k) {
        for (int r = 1; r <= shape.nrows; ++r) {
          directflow(r, 1) = 6.0 / sub_steps + storage(r, 1);
          runoff_conc(r, 1) = 0.5;
        }
        basin.model().RunStep(step, 1, 6, 2020);
      }
      basin.model().EndStep({2020, 6, 1, step});
      ASSERT_GT(basin.model().direct_runoff_outflow()[0][1], 0);
      EXPECT_NEAR(basin.model().direct_runoff_outflow()[1][1], 0.5, 1e-12);
    }
    basin.model().FinishModel(false);
  }
}

TEST_F(TiltedPlane, SteepDiagonalFlowCreatesNoWaterAndNoSolute) {
  // A steep plane falling to the south-east: the flux towards a diagonal neighbour runs
  // over a face 1.41 cell sizes wide, and the velocities grow after the first sub-step
  // fixed the sub time step, so fluxes alone would send more than a cell holds. Every
  // call's water and solute still balance: input = river hand-over + storage change.
  for (const int method : {1, 3, 5}) {
    SCOPED_TRACE(method);
    BasinShape shape;
    shape.nrows = 6;
    shape.ncols = 6;
    shape.dem = [](int r, int c) { return 10.0 * (12 - r - c); };
    shape.river = [](int r, int c) { return r == 6 || c == 6; };
    SurfaceBasin<> basin(log_, dir_.path().string(), shape, SurfaceSection(method, 1, 60, 1, 5), RowRange{1, 6},
                         RowRange{1, 6}, nullptr, {"_CONC_QD_1_", "_CONC_QI_1_"});
    std::vector<TracerSettingsRecord> tracers(2);
    tracers[1].name = "cl_";
    basin.model().InitTracers(1, tracers, basin.registry(), 200);
    const GridView directflow = basin.Values("directflow");
    const GridView storage = basin.Values("SurfStorSiltingUp");
    const GridView runoff_conc = basin.Values("_CONC_QD_1_");
    const GridView surface_conc = basin.Values("concstor_tracer_1_SiltingUpModel");
    for (int call = 1; call <= 4; ++call) {
      const double rain = call == 1 ? 2.0 : 40.0;
      double before = 0;
      double mass_before = 0;
      double mass_in = 0;
      for (int r = 1; r <= 6; ++r) {
        for (int c = 1; c <= 6; ++c) {
          // The rain carries 0.1 r c units per mm, mixed with what stayed on the surface.
          const double s = storage(r, c);
          before += s;
          mass_before += s * surface_conc(r, c);
          mass_in += rain * 0.1 * r * c;
          directflow(r, c) = rain + s;
          runoff_conc(r, c) = (rain * 0.1 * r * c + s * surface_conc(r, c)) / (rain + s);
        }
      }
      basin.model().BeginStep({2020, 6, 1, call});
      basin.model().RunStep(call, 1, 6, 2020);
      double river = 0;
      double after = 0;
      double river_mass = 0;
      double mass_after = 0;
      for (int r = 1; r <= 6; ++r) {
        for (int c = 1; c <= 6; ++c) {
          EXPECT_GE(storage(r, c), 0);
          after += storage(r, c);
          mass_after += storage(r, c) * surface_conc(r, c);
          if (shape.river(r, c)) {
            river += directflow(r, c);
            river_mass += directflow(r, c) * runoff_conc(r, c);
          }
        }
      }
      EXPECT_NEAR(river + after - before, rain * 36, 1e-12 * rain * 36) << call;
      EXPECT_NEAR(river_mass + mass_after - mass_before, mass_in, 1e-12 * mass_in) << call;
    }
    basin.model().FinishModel(false);
  }
}

}  // namespace
}  // namespace tolvo
