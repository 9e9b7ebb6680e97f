#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <initializer_list>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "setup/spin_up.h"
#include "subsurface/soil_model_fixture.h"
#include "subsurface/subbasin_runoff.h"

namespace tolvo::test {
namespace {

// The linear storage of a sub-basin outlet (one reservoir): kelsqd 2 h, steps of 60 min
// and 1 mm each step give 1 − exp(−t / k) after t: 0.3935, 0.6321, 0.7769, 0.8647.
TEST(SubbasinRunoff, LinearStorageFillsAfterItsRecessionConstant) {
  const double a = linear_storage_coefficient(60, 120, false);
  double q = 0;
  for (const double expected : {0.3935, 0.6321, 0.7769, 0.8647}) {
    q = linear_storage_outflow(q, 1, a);
    EXPECT_NEAR(q, expected, 5e-5);
  }
  EXPECT_EQ(linear_storage_outflow(0.3, 1.7, linear_storage_coefficient(60, 120, true)), 1.7)
      << "with surface routing the storage passes its inflow on";
}

TEST(SubbasinRunoff, FlowTimesBecomeWholeSteps) {
  struct Case {
    double t, steps;
  };
  // Steps of 60 min: up to one step is zone 1, one second more is zone 2; unusable times
  // are −1, which the zone ranking puts into zone 1.
  for (const Case& k : {Case{1, 1}, Case{3600, 1}, Case{3601, 2}, Case{0, 1}, Case{7200, 2}, Case{7201, 3},
                        Case{-9999, -1}, Case{-5, -1}, Case{NAN, -1}}) {
    SCOPED_TRACE(k.t);
    EXPECT_EQ(flow_time_in_steps(k.t, 60, -9999), k.steps);
  }
}

class SoilStepTest : public SoilModelTest {
 protected:
  int SetUp2() {
    return InFolder([&] {
      model_->selectInfiltrationInput(false);
      model_->InitTracers(0, {}, registry_, StatisticsRegistry::kCapacity);
    });
  }
  void Step(const ModelDate& d) {
    ASSERT_EQ(InFolder([&] {
                model_->prepareTimeStep(d);
                model_->SubStep(d);
                model_->concentrateSubbasinRunoff(d);
              }),
              0);
  }
  static void Fill(GridView g, double v) {
    for (int r = 1; r <= kRows; ++r) {
      for (int c = 1; c <= kCols; ++c) g(r, c) = v;
    }
  }
  // Mean of a grid over the cells of sub-basin 2 (rows 2..4).
  double MeanOfSubbasin2(const std::string& id) {
    double sum = 0;
    for (int r = 2; r <= kRows; ++r) {
      for (int c = 1; c <= kCols; ++c) sum += grid(id)(r, c);
    }
    return sum / ((kRows - 1) * kCols);
  }
};

// Rain on a basin without flow times: every step the direct runoff and interflow of a
// sub-basin reach its outlet as its mean over its cells and pass the linear storages; the
// total runoff is their sum with the base flow; the water of the cells balances.
TEST_F(SoilStepTest, RainReachesTheOutletsThroughTheStoragesAndTheWaterBalances) {
  GridView rain = Add("precipitation", 0);
  Add("GlacierizedCells", 0.3);
  Fill(grid("pot_transpiration1"), 0.1);
  Fill(grid("potential_evaporation"), 0.05);
  ASSERT_EQ(Build(SoilSectionText{}), 0);
  ASSERT_EQ(SetUp2(), 0);
  EXPECT_EQ(model_->getRiverflowTable(), nullptr) << "no river records without the groundwater model";
  double qdd = 0;
  const double a = std::exp(-60.0 / 120);
  for (int h = 0; h < 12; ++h) {
    SCOPED_TRACE(h);
    Fill(rain, h < 6 ? 20 : 0);
    const double water_before = model_->own_cells_water_mm();
    double et_before = 0;
    for (int r = 1; r <= kRows; ++r) {
      for (int c = 1; c <= kCols; ++c) et_before += r == 1 && c == 3 ? 0 : grid("real_transpiration0")(r, c);
    }
    Step({2020, 6, 1, h});
    double input = 0, out = 0;
    for (int r = 1; r <= kRows; ++r) {
      for (int c = 1; c <= kCols; ++c) {
        if (r == 1 && c == 3) continue;
        input += rain(r, c);
        out += grid("directflow")(r, c) + grid("interflow")(r, c) + grid("baseflow")(r, c) +
               grid("real_transpiration0")(r, c);
      }
    }
    EXPECT_NEAR(input, out - et_before + model_->own_cells_water_mm() - water_before, 1e-8);
    // The soil part (0.7) of every cell brings its direct runoff, the glacier part none.
    const double qd = model_->getQD()[0][2];
    EXPECT_NEAR(qd, 0.7 * MeanOfSubbasin2("directflow"), 1e-12);
    qdd = a * qdd + (1 - a) * qd;
    EXPECT_NEAR(model_->getQDd()[0][2], qdd, 1e-12);
    EXPECT_NEAR(model_->getQg()[0][2], model_->getQDd()[0][2] + model_->getQIi()[0][2] + model_->getQBb()[0][2],
                1e-12);
    if (h == 3) {
      EXPECT_GT(qd, 0) << "20 mm/h exceed what the loam takes";
    }
  }
}

// A surface storage read from the grid lists, with neither surface routing nor the
// silting-up model to refill or empty it: its 5 mm enter the soil once, in the first step,
// and the storage of the basin's cells is empty after it (cells outside keep theirs). Over
// four dry steps the cells' water, with their runoff and evapotranspiration, closes with
// 5 mm in.
TEST_F(SoilStepTest, SurfaceStorageWithoutSurfaceRoutingOrSiltingUpEntersTheSoilOnce) {
  Add("precipitation", 0);
  GridView surface = Add("SurfStorSiltingUp", 5);
  ASSERT_EQ(Build(SoilSectionText{}), 0);
  ASSERT_EQ(SetUp2(), 0);
  const auto cells_water = [&] {
    double w = model_->own_cells_water_mm();
    for (int r = 1; r <= kRows; ++r) {
      for (int c = 1; c <= kCols; ++c) w += r == 1 && c == 3 ? 0 : grid("real_transpiration0")(r, c);
    }
    return w;
  };
  const double before = cells_water();
  double out = 0;
  for (int h = 0; h < 4; ++h) {
    Step({2020, 6, 1, h});
    for (int r = 1; r <= kRows; ++r) {
      for (int c = 1; c <= kCols; ++c) {
        if (r == 1 && c == 3) continue;
        out += grid("directflow")(r, c) + grid("interflow")(r, c) + grid("baseflow")(r, c);
        EXPECT_EQ(surface(r, c), 0) << r << "," << c;
      }
    }
  }
  EXPECT_EQ(surface(1, 3), 5) << "outside the basin";
  EXPECT_NEAR(5.0 * (kRows * kCols - 1), out + cells_water() - before, 1e-8);
}

TEST_F(SoilStepTest, FlowTimesBecomeZonesOfTheirSubbasin) {
  Add("precipitation", 0);
  GridView t = Add("flow_times", 1);
  // Sub-basin 1 (row 1): zones 1 and 2. Sub-basin 2: zones 1, 1, 2, 3 and one cell of no
  // flow time, which joins zone 1 with a warning.
  t(1, 2) = 3601;
  t(2, 1) = 3600;
  t(2, 2) = 3601;
  t(2, 3) = 7201;
  t(3, 1) = kNodata;
  ASSERT_EQ(Build(SoilSectionText{}), 0);
  ASSERT_EQ(SetUp2(), 0);
  EXPECT_EQ(model_->flow_time_zone_counts()[1], 2);
  EXPECT_EQ(model_->flow_time_zone_counts()[2], 3);
  EXPECT_EQ(t(2, 1), 1);
  EXPECT_EQ(t(2, 3), 3);
  EXPECT_EQ(t(3, 1), 1) << "no water waits in a zone that never reaches the outlet";
  EXPECT_NE(console_.str().find("cells of the flow travel time grid flow_times hold nodata"), std::string::npos);
  const std::string block = ReadFile(dir_.file("modell_0.log"));
  EXPECT_NE(block.find("flow time distribution:\nTG\t   1\t(  2\tZonen):\t0.500\t0.500\n"
                       "TG\t   2\t(  3\tZonen):\t0.778\t0.111\t0.111\n"),
            std::string::npos)
      << block;

  // No cell of sub-basin 1 in zone 1: the run stops with 61 and the sub-basin's index.
  MakeBasin();
  Add("precipitation", 0);
  Add("flow_times", 4000);
  ASSERT_EQ(Build(SoilSectionText{}), 0);
  EXPECT_EQ(SetUp2(), kFirstFlowTimeZoneEmpty);
  EXPECT_NE(console_.str().find("in flow-travel-time grid: the first time zone of subbasin 1 has no cells!"),
            std::string::npos);

  // Without flow times: one zone each, and one line in the model log.
  MakeBasin();
  std::filesystem::remove(dir_.file("modell_0.log"));
  Add("precipitation", 0);
  ASSERT_EQ(Build(SoilSectionText{}), 0);
  ASSERT_EQ(SetUp2(), 0);
  EXPECT_EQ(model_->flow_time_zone_counts()[2], 1);
  EXPECT_NE(ReadFile(dir_.file("modell_0.log"))
                .find("flow time distribution will not be calculated since no flow time grid was provided\n"),
            std::string::npos);
}

// The water input is the first present of three grids, in an order that depends on
// whether interception runs before snow.
TEST_F(SoilStepTest, WaterInputIsTheFirstPresentOfThreeGrids) {
  struct Case {
    std::vector<std::string> present;
    bool interception_first;
    std::string chosen;
  };
  const Case cases[] = {
      {{"snowcover_outflow", "throughfall0", "precipitation"}, true, "snowcover_outflow"},
      {{"snowcover_outflow", "throughfall0", "precipitation"}, false, "throughfall0"},
      {{"throughfall0", "precipitation"}, true, "throughfall0"},
      {{"snowcover_outflow", "precipitation"}, false, "snowcover_outflow"},
      {{"precipitation"}, true, "precipitation"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.chosen + (k.interception_first ? " (interception first)" : ""));
    MakeBasin();
    for (const std::string& id : k.present) Add(id, 0);
    ASSERT_EQ(Build(SoilSectionText{}), 0);
    ASSERT_EQ(InFolder([&] { model_->selectInfiltrationInput(k.interception_first); }), 0);
    EXPECT_EQ(model_->water_input_index(), IndexOf(k.chosen));
  }
  MakeBasin();
  ASSERT_EQ(Build(SoilSectionText{}), 0);
  EXPECT_EQ(InFolder([&] { model_->selectInfiltrationInput(true); }), kMissingGrid);
}

// Hydrologic response units: a cell that is not its unit's master takes the state and the
// outputs of the master; the masters compute as without units, and a cell of another
// process's region is not touched. A unit number outside the unit table stops the run.
TEST_F(SoilStepTest, ResponseUnitCellsTakeTheirMastersValues) {
  const std::vector<HruRecord> units = {{}, {.id = 1, .key = "a", .master_row = 2, .master_col = 1, .reserved = 0},
                                        {.id = 2, .key = "b", .master_row = 3, .master_col = 1, .reserved = 0}};
  const auto run = [&](bool with_units, double bad_unit) {
    MakeBasin();
    GridView rain = Add("precipitation", 0);
    GridView regions = Add("MPIRegions", 0);
    regions(3, 3) = 1;
    Fill(grid("pot_transpiration1"), 0.1);
    if (with_units) {
      GridView unit = Add("HydrologicResponseUnits", 0);
      GridView master = Add("MasterHydrologicResponseUnits", 1);
      using Cell = std::tuple<int, int, double>;
      for (const auto& [r, c, u] : std::initializer_list<Cell>{{2, 2, 1.0}, {2, 3, bad_unit}, {3, 2, 2.0}, {3, 3, 2.0}}) {
        unit(r, c) = u;
        master(r, c) = kNodata;
      }
      settings_.spin_up = 1;
      settings_.hrus = &units;
    }
    EXPECT_EQ(Build(SoilSectionText{}), 0);
    EXPECT_EQ(SetUp2(), 0);
    for (int r = 1; r <= kRows; ++r) {
      for (int c = 1; c <= kCols; ++c) rain(r, c) = 4.0 * r + c;
    }
  };
  const auto values = [&](int r, int c) {
    std::vector<double> v;
    for (int l = 0; l <= 5; ++l) v.push_back(stack("theta")(r, c, l));
    for (const char* id : {"directflow", "interflow", "total_infiltration", "real_transpiration1"}) {
      v.push_back(grid(id)(r, c));
    }
    return v;
  };
  run(false, 1);
  for (int h = 0; h < 3; ++h) Step({2020, 6, 1, h});
  const std::vector<double> master_21 = values(2, 1), master_31 = values(3, 1), own_43 = values(4, 3);
  const std::vector<double> start_33 = values(3, 3);
  EXPECT_NE(values(2, 2), master_21) << "without units every cell computes its own rain";

  run(true, 1);
  for (int h = 0; h < 3; ++h) Step({2020, 6, 1, h});
  EXPECT_EQ(values(2, 1), master_21);
  EXPECT_EQ(values(3, 1), master_31);
  EXPECT_EQ(values(4, 3), own_43);
  EXPECT_EQ(values(2, 2), master_21);
  EXPECT_EQ(values(2, 3), master_21);
  EXPECT_EQ(values(3, 2), master_31);
  EXPECT_EQ(values(3, 3), start_33) << "the cell of another process stays as it was";

  run(true, 7);
  EXPECT_EQ(InFolder([&] { model_->SubStep({2020, 6, 1, 0}); }), kHruClassTooLarge);
  EXPECT_TRUE(Logged("the hydrologic response unit 7 of cell row 2, col 3 is not in the table")) << console_.str();
  settings_.spin_up = 0;
  settings_.hrus = nullptr;
}

// The control cell's series stay in memory until a flush writes them: one line per
// sub-step with the date and a value per layer (etr-detail one more, the soil
// evaporation first), an entry naming the file and the buffer's use; a flush right after
// writes nothing. The end of the run writes the control cell's water and the means.
TEST_F(SoilStepTest, ControlPointSeriesAreWrittenOnFlushAndTheRunEndsWithItsWaterLines) {
  Add("precipitation", 2);
  SoilSectionText section;
  section.control_point = "2 2";
  ASSERT_EQ(Build(section), 0);
  ASSERT_EQ(SetUp2(), 0);
  for (int h = 0; h < 3; ++h) Step({2020, 6, 1, h});
  const auto data_lines = [&](const std::string& file) {
    std::vector<std::string> lines;
    std::istringstream in(ReadFile(dir_.file(file)));
    for (std::string line; std::getline(in, line);) {
      if (line.starts_with("2020\t")) lines.push_back(line);
    }
    return lines;
  };
  EXPECT_TRUE(data_lines("theta.txt").empty()) << "nothing is written before the flush";
  ASSERT_EQ(InFolder([&] { model_->FlushStatistics(); }), 0);
  const std::vector<std::string> theta = data_lines("theta.txt");
  ASSERT_EQ(theta.size(), 3u);
  EXPECT_EQ(std::count(theta[0].begin(), theta[0].end(), '\t'), 3 + 5);
  const std::vector<std::string> etr = data_lines("etr.txt");
  ASSERT_EQ(etr.size(), 3u);
  EXPECT_EQ(std::count(etr[0].begin(), etr[0].end(), '\t'), 3 + 6);
  EXPECT_TRUE(Logged("write " + dir_.file("theta.txt")));
  EXPECT_TRUE(Logged("(" + std::to_string(3 * 8 * (5 + 4)) + " of 2097152 buffer-bytes)"));
  const std::string before = console_.str();
  ASSERT_EQ(InFolder([&] { model_->FlushStatistics(); }), 0);
  EXPECT_EQ(console_.str(), before) << "empty series write nothing";
  EXPECT_EQ(data_lines("theta.txt").size(), 3u);

  model_->SetInitialised(1);
  ASSERT_EQ(InFolder([&] { model_->finishModel(false); }), 0);
  const std::string log_text = ReadFile(dir_.file("modell_0.log"));
  EXPECT_NE(log_text.find("(mpi_rank 0) soil water content (control point r=2 c=2) at model-end: "), std::string::npos)
      << log_text;
  EXPECT_NE(log_text.find("mean soil water content for all cells at model-end: "), std::string::npos);
}

}  // namespace
}  // namespace tolvo::test
