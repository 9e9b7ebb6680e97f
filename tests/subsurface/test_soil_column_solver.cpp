#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <sstream>

#include "framework/error_code.h"
#include "subsurface/column_grid_fixture.h"

namespace tolvo::test {
namespace {

TEST(SoilTimeSteps, DynamicStepFromTheTravelTimeOfTheTopLayer) {
  std::ostringstream console;
  TempDir dir;
  DiagnosticsLog log(dir.file("d.xml"), 4, console);
  SoilRecord soil = MakeLoam(log, 4);
  soil.ksat[1] = 1e-6;
  struct Case {
    double thickness, minimum;
    double nW;
  };
  // d / Ks = 50000 s >= 3600 s: one iteration; 0.001 m: 1000 s, 4 iterations; a minimum of
  // 2000 s: 2 iterations.
  for (const Case& k : {Case{0.05, 60, 1}, Case{0.001, 60, 4}, Case{0.001, 2000, 2}}) {
    SCOPED_TRACE(k.thickness);
    std::vector<double> d{k.thickness, k.thickness, 0.1, 0.1, 0.1};
    std::vector<double> theta(5, 0.3);
    ColumnParameters p;
    p.soil = &soil;
    ColumnArrays a;
    a.d = ColumnArray(d);
    a.theta = ColumnArray(theta);
    const double dt_min = dynamic_step_limit(p, a, 2, true, 3600);
    const TimeSteps t = choose_time_steps(SoilMethod::DynamicStep, 3600, dt_min, k.minimum, 0);
    EXPECT_EQ(t.nW, k.nW);
    EXPECT_EQ(t.nH, k.nW);
    EXPECT_EQ(t.h, 1);
    EXPECT_DOUBLE_EQ(t.dt, 3600 / k.nW);
    EXPECT_DOUBLE_EQ(t.F, t.dt * 1000);
  }
  EXPECT_EQ(choose_time_steps(SoilMethod::FixedStep, 3600, 1, 60, 0).nW, 1);
}

TEST(SoilTimeSteps, HeatSubStepsMergeWithWaterIterations) {
  struct Case {
    SoilMethod method;
    double dt_min;  // gives nW = ceil(3600 / dt_min) for method 3
    double heat;
    double nW, nH;
    int h;
  };
  const Case cases[] = {
      {SoilMethod::FixedStep, 3600, 5, 1, 6, 6},    // nH > 2 nW: nH = 5 div 1 + 1
      {SoilMethod::FixedStep, 3600, 2, 2, 2, 1},    // nW < nH <= 2 nW: nW takes nH
      {SoilMethod::FixedStep, 3600, 1, 1, 1, 1},    // nH <= nW: nH takes nW
      {SoilMethod::DynamicStep, 1200, 4, 4, 4, 1},  // nW 3, nH 4: nW becomes 4
      {SoilMethod::DynamicStep, 1200, 7, 3, 9, 3},  // nH 7 > 6: (7 div 3 + 1) * 3
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.heat);
    const TimeSteps t = choose_time_steps(k.method, 3600, k.dt_min, 60, k.heat);
    EXPECT_EQ(t.nW, k.nW);
    EXPECT_EQ(t.nH, k.nH);
    EXPECT_EQ(t.h, k.h);
    EXPECT_DOUBLE_EQ(t.dtH, 3600 / k.nH);
  }
}

// Kernels whose error follows a script: err(i) for iteration i.
class ScriptedKernels : public SoilColumnKernels {
 public:
  explicit ScriptedKernels(double (*err)(int)) : err_(err) {}
  double layerHydraulicProperties(const ColumnParameters&, const ColumnArrays&, int) const override { return 0; }
  double columnFluxes(const ColumnParameters&, const ColumnArrays&, double) const override { return 0; }
  int updateTheta(const ColumnParameters&, const ColumnArrays&, int, RiverTotals&) const override { return 1; }
  double iterationError(const ColumnParameters&, const ColumnArrays&, int i, int&) const override { return err_(i); }

 private:
  double (*err_)(int);
};

TEST(RichardsIteration, ConvergenceRule) {
  struct Case {
    const char* name;
    double (*err)(int);
    int iterations;
  };
  const Case cases[] = {
      {"error at the limit stops", [](int) { return 1e-5; }, 1},
      {"from iteration 21 the limit is 5 max_error", [](int) { return 4e-5; }, 21},
      {"max_iterations ends the iteration", [](int) { return 1.0; }, 100},
      {"a NaN error stops", [](int i) { return i == 3 ? std::nan("") : 1.0; }, 3},
  };
  const ColumnParameters p;
  const ColumnArrays c;
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    RiverTotals river;
    const RichardsOutcome out = richards_iteration(ScriptedKernels(k.err), RichardsTuning{1e-5, 100}, p, c, 0, river);
    EXPECT_EQ(out.iterations, k.iterations);
  }
}

TEST(CellSelection, EveryCellIsComputedOnceByOneProcess) {
  // A cell of rank `owner` in row `row`, seen by each of `processes` processes whose strips
  // are rows 1..3 split evenly; the spare row of a process is the row before its strip.
  struct Case {
    const char* name;
    double link;  // river link value (-9999: no river cell)
    bool links_built;
    int expected_computations;
    bool in_spare_row;  // where a moved river cell is computed
  };
  const Case cases[] = {
      {"plain cell", -9999, true, 1, false},
      {"river cell with link > 0, links built", 7, true, 1, true},
      {"river cell with link > 0, no cell exchange", 7, false, 1, false},
      {"river cell with link <= 0, links built", 0, true, 1, false},
      {"river cell with negative link", -3, true, 1, false},
  };
  for (const Case& k : cases) {
    for (int processes = 1; processes <= 3; ++processes) {
      SCOPED_TRACE(std::string(k.name) + ", processes " + std::to_string(processes));
      const int owner = processes - 1;  // owns the last strip
      int computed = 0;
      bool spare = false;
      for (int rank = 0; rank < processes; ++rank) {
        for (const bool in_spare : {false, true}) {
          CellSelection s;
          s.own_rank = rank == owner;
          // Only the process whose spare row is given the cell by the exchange sees it there.
          if (in_spare && rank != 0) continue;
          s.in_spare_row = in_spare;
          s.river_cell_moved = k.link > 0 && k.links_built;
          if (in_spare && !s.river_cell_moved) s.own_rank = false;
          if (select_cell(s) == CellAction::kCompute) {
            ++computed;
            spare = in_spare;
          }
        }
      }
      EXPECT_EQ(computed, k.expected_computations);
      EXPECT_EQ(spare, k.in_spare_row);
    }
  }
  CellSelection s;
  s.zone_nodata = true;
  EXPECT_EQ(select_cell(s), CellAction::kSkip);
  s = {};
  s.hru_run = true;
  s.hru_master_nodata = true;
  EXPECT_EQ(select_cell(s), CellAction::kSkip) << "HRU cells take their master's values";
  s.hru_master_nodata = false;
  EXPECT_EQ(select_cell(s), CellAction::kCompute) << "HRU master";
  s.glacier_fraction = 1.3;
  EXPECT_EQ(select_cell(s), CellAction::kGlacier) << "fully glacierized (fraction limited to 1)";
  s.glacier_fraction = 0.99;
  EXPECT_EQ(select_cell(s), CellAction::kCompute);
}

class ColumnLoopTest : public LogFixture {};

// The largest head difference between neighbouring layers above the water-table layer.
double HeadSpread(const ColumnGridSet& set, int r, int c) {
  const int G = static_cast<int>(set.level(r, c));
  double spread = 0;
  for (int l = 1; l + 1 < G; ++l) spread = std::max(spread, std::abs(set.heads(r, c, l) - set.heads(r, c, l + 1)));
  return spread;
}

std::string Profile(const ColumnGridSet& set, int r, int c) {
  std::ostringstream o;
  o.precision(4);
  for (int l = 1; l <= set.n; ++l) o << " " << set.theta(r, c, l);
  return o.str();
}

// A closed column (no input, evapotranspiration or baseflow; no flux through the bottom)
// cold-started dry above a water table: Richards' equation conserves its water and brings
// it towards hydrostatic rest, where every head above the water table is equal.
TEST_F(ColumnLoopTest, ClosedColumnConservesWaterAndComesToRest) {
  omp_set_num_threads(1);  // one column: no rows to share
  for (const SoilMethod method : {SoilMethod::FixedStep, SoilMethod::DynamicStep}) {
    SCOPED_TRACE(static_cast<int>(method));
    ColumnGridSet set(log_, 1, 1, 20, 12);
    set.settings.method = method;
    // Cold start: the unsaturated layers all at one content, far from hydrostatic rest.
    for (int l = 1; l < set.level(1, 1); ++l) set.theta(1, 1, l) = 0.3;
    ComputeHydraulicHeads(set.soils[1], set.geodetic.view().levels(1, 1), set.theta.view().levels(1, 1),
                          set.heads.view().levels(1, 1));
    const double spread0 = HeadSpread(set, 1, 1);
    const std::string start = Profile(set, 1, 1);
    double worst_mm = 0;
    for (int step = 0; step < 30 * 24; ++step) {
      const double before = set.Water(1, 1);
      const SoilColumnLoopReport report = set.Run();
      ASSERT_EQ(report.code, 0);
      worst_mm = std::max(worst_mm, std::abs(set.Water(1, 1) - before) * 1000);
    }
    const double spread = HeadSpread(set, 1, 1);
    std::cout << "method " << static_cast<int>(method) << " water table layer " << set.level(1, 1)
              << "\n  start theta:" << start << "\n  end theta:  " << Profile(set, 1, 1)
              << "\n  head spread start " << spread0 << " m, end " << spread << " m, largest water change per sub-step "
              << worst_mm << " mm\n";
    EXPECT_LE(worst_mm, 1e-9);
    EXPECT_LT(spread, 0.1 * spread0);
  }
  omp_set_num_threads(2);
}

class ThrowingKernels : public SoilColumnKernels {
 public:
  double columnFluxes(const ColumnParameters& p, const ColumnArrays& c, double r) const override {
    if (c.z[0] == 100 + 4 + 3) throw ColumnFailure{199, "FATAL: broken cell"};
    return SoilColumnKernels::columnFluxes(p, c, r);
  }
};

TEST_F(ColumnLoopTest, AFailingThreadStopsInOrderWithOneEntry) {
  ColumnGridSet set(log_, 8, 5, 10, 6);
  omp_set_num_threads(4);
  const SoilColumnLoopReport report = set.Run(ThrowingKernels());
  omp_set_num_threads(2);
  EXPECT_EQ(report.code, 199);
  int code = 0;
  try {
    raise_column_failure(log_, report);
  } catch (const ErrorCode& e) {
    code = e.code;
  }
  EXPECT_EQ(code, 199);
  const std::string console = console_.str();
  const auto first = console.find("broken cell");
  ASSERT_NE(first, std::string::npos);
  EXPECT_EQ(console.find("broken cell", first + 1), std::string::npos);
}

TEST_F(ColumnLoopTest, SlowIterationsReachTheSolverLogOnRankZeroOnly) {
  for (const int rank : {0, 1}) {
    ColumnGridSet set(log_, 2, 2, 6, 3);
    set.settings.tuning.max_iterations = 101;
    set.settings.rank = rank;
    set.settings.day = 3;
    set.settings.month = 7;
    set.settings.hour = 12;
    set.settings.solver_log_file = dir_.file("modell_0.log");
    std::filesystem::remove(set.settings.solver_log_file);
    ASSERT_EQ(set.Run(ScriptedKernels([](int) { return 1.0; })).code, 0);
    std::ifstream in(set.settings.solver_log_file);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (rank == 0) {
      EXPECT_EQ(text.substr(0, text.find('\n') + 1), " 3. 7., 12 h r=  1, c=  1 : ziter=101, max_err = 1 \n");
      EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 4);
    } else {
      EXPECT_TRUE(text.empty());
    }
  }
  ColumnGridSet set(log_, 1, 1, 6, 3);
  set.settings.tuning.max_iterations = 101;
  set.settings.solver_log_file = dir_.file("missing/modell_0.log");
  const SoilColumnLoopReport report = set.Run(ScriptedKernels([](int) { return 1.0; }));
  EXPECT_EQ(report.code, kModelLogOpenError);
  EXPECT_EQ(report.entry, "FATAL: error opening log-file " + set.settings.solver_log_file);
}

TEST_F(ColumnLoopTest, ResultsDoNotDependOnTheThreadCount) {
  std::vector<std::vector<double>> results;
  for (const int threads : {1, 4}) {
    ColumnGridSet set(log_, 6, 5, 20, 8);
    set.settings.method = SoilMethod::DynamicStep;
    omp_set_num_threads(threads);
    for (int step = 0; step < 48; ++step) ASSERT_EQ(set.Run().code, 0);
    std::vector<double> values;
    for (int r = 1; r <= 6; ++r) {
      for (int c = 1; c <= 5; ++c) {
        for (int l = 0; l <= 20; ++l) {
          values.push_back(set.theta(r, c, l));
          values.push_back(set.q(r, c, l));
        }
        values.push_back(set.downext(r, c));
      }
    }
    results.push_back(values);
  }
  omp_set_num_threads(2);
  ASSERT_EQ(results[0].size(), results[1].size());
  EXPECT_EQ(std::memcmp(results[0].data(), results[1].data(), results[0].size() * sizeof(double)), 0);
}

TEST_F(ColumnLoopTest, NodataAndGlacierCells) {
  ColumnGridSet set(log_, 2, 2, 6, 3);
  Grid glacier(1, 2, 2, 2), out(1, 2, 2, 2);
  glacier(1, 2) = 1;
  out(1, 2) = 5;
  set.zone(2, 2) = -9999;
  set.q(2, 2, 0) = 0.25;
  SoilColumnGrids g = set.Views();
  g.glacier = glacier.view();
  g.zeroed_on_glacier = {out.view()};
  const std::vector<double> glacier_theta(set.theta.view().levels(1, 2).begin(), set.theta.view().levels(1, 2).end());
  const SoilColumnLoopReport report = soil_column_loop(SoilColumnKernels(), set.settings, g, set.work);
  EXPECT_EQ(report.computed_cells, 2);
  EXPECT_EQ(out(1, 2), 0);
  EXPECT_TRUE(std::equal(glacier_theta.begin(), glacier_theta.end(), set.theta.view().levels(1, 2).begin()));
  EXPECT_EQ(set.downext(2, 2), 0.25) << "a nodata cell still takes its q_down value at the surface";
}

// A river link names the sub-basin whose river takes the cell's re-infiltration: its code
// must have a sub-basin of the routing, else the run stops with 199.
TEST_F(ColumnLoopTest, RiverLinksNameTheirSubbasinOrStopTheRun) {
  const std::vector<int> code_index{0, 2, 0, 1};  // codes 1 and 3 have sub-basins 2 and 1
  EXPECT_EQ(reinfiltration_subbasin(1, code_index), 2);
  EXPECT_EQ(reinfiltration_subbasin(3.7, code_index), 1);
  for (const double link : {2.0, 4.0, 0.5}) {
    SCOPED_TRACE(link);
    int code = 0;
    try {
      reinfiltration_subbasin(link, code_index);
    } catch (const ColumnFailure& f) {
      code = f.code;
    }
    EXPECT_EQ(code, kRiverLinkError);
  }
  for (const bool exchange : {false, true}) {
    ColumnGridSet set(log_, 2, 2, 6, 3);
    Grid links(1, 2, 2, 2);
    links.fill(-9999);
    links(2, 1) = 2;
    set.settings.subbasins.code_index = code_index;
    set.settings.reinfiltration = exchange;
    std::vector<double> sums(3, 0.0);
    set.settings.reinfiltration_m3s = sums;
    SoilColumnGrids g = set.Views();
    g.river_links = links.view();
    const SoilColumnLoopReport report = soil_column_loop(SoilColumnKernels(), set.settings, g, set.work);
    EXPECT_EQ(report.code, exchange ? kRiverLinkError : 0);
    if (exchange) {
      EXPECT_NE(report.entry.find("There is a river link \"2\" from the river link grid"), std::string::npos);
      EXPECT_NE(report.entry.find("replace those values by nodata (-9999).\n" + std::string(61, '-') + "\n\n"),
                std::string::npos);
    }
  }
}

// The amounts of a sub-step replace what the grids held; the control cell keeps the
// per-layer values of its last water iteration for the point series.
TEST_F(ColumnLoopTest, OutputsHoldTheSubStepAndTheControlCellItsLastIteration) {
  ColumnGridSet set(log_, 2, 2, 6, 3);
  Grid input(1, 2, 2, 2), directflow(1, 2, 2, 2), infiltration(1, 2, 2, 2), interflow(1, 2, 2, 2);
  input.fill(3.6);  // 1 mm/h
  directflow.fill(999);
  infiltration.fill(999);
  interflow.fill(999);
  set.settings.control_row = 2;
  set.settings.control_col = 1;
  SoilColumnGrids g = set.Views();
  g.input = input.view();
  g.directflow = directflow.view();
  g.total_infiltration = infiltration.view();
  g.interflow = interflow.view();
  for (int step = 0; step < 2; ++step) ASSERT_EQ(soil_column_loop(SoilColumnKernels(), set.settings, g, set.work).code, 0);
  for (int r = 1; r <= 2; ++r) {
    for (int c = 1; c <= 2; ++c) {
      EXPECT_NEAR(directflow(r, c) + infiltration(r, c), 3.6, 1e-9);
      EXPECT_LT(interflow(r, c), 1);
    }
  }
  const ControlCellRecord& control = set.work.control();
  ASSERT_TRUE(control.filled);
  EXPECT_EQ(control.et.size(), 7u);
  EXPECT_DOUBLE_EQ(control.surface_infiltration, infiltration(2, 1));
  double lateral = 0;
  for (double v : control.interflow) lateral += v;
  EXPECT_GE(lateral, interflow(2, 1));
  set.settings.control_row = 0;
  ASSERT_EQ(soil_column_loop(SoilColumnKernels(), set.settings, g, set.work).code, 0);
  EXPECT_FALSE(set.work.control().filled);
}

}  // namespace
}  // namespace tolvo::test
