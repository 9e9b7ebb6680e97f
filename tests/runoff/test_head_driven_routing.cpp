// Surface routing by method 6 as the time loop runs it: planes and a tilted V-catchment
// under rain, the water balance of every call, the river inflow against a published
// equilibrium, and the dumps of non-finite heads.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>


#include "runoff/surface_basin_fixture.h"
#include "runoff/surfaceroutingclass.h"

namespace tolvo {
namespace {

using test::BasinShape;
using test::SurfaceBasin;
using test::SurfaceSection;

struct RainResult {
  std::vector<double> river_m3s;  // mean inflow into the river of every call [m3/s]
  double rain_m3 = 0;             // rain of all calls
  double river_m3 = 0;            // water handed to the river cells
  double surface_m3 = 0;          // water on the surface after the last call
  double worst_balance = 0;       // largest relative balance error of a call
};

// Calls of `call_minutes` with `rain(r, c, call)` [mm per call]; the tests act as an
// impervious soil that hands the rain and the surface water left back as direct runoff.
template <typename Model = surfaceroutingclass>
RainResult Rain(SurfaceBasin<Model>& basin, int n_calls, double call_minutes,
                const std::function<double(int, int, int)>& rain) {
  const BasinShape& shape = basin.shape();
  surfaceroutingclass& model = basin.model();
  const GridView directflow = basin.Values("directflow");
  const GridView storage = basin.Values("SurfStorSiltingUp");
  const double area = shape.cellsize * shape.cellsize;
  RainResult result;
  for (int call = 1; call <= n_calls; ++call) {
    double before = 0;
    double rained = 0;
    for (int r = 1; r <= shape.nrows; ++r) {
      for (int c = 1; c <= shape.ncols; ++c) {
        const double mm = rain(r, c, call);
        before += storage(r, c);
        rained += mm;
        directflow(r, c) = mm + storage(r, c);
      }
    }
    model.BeginStep({2020, 6, 1, 1});
    model.RunStep(1, 1, 6, 2020);
    double river = 0;
    double after = 0;
    for (int r = 1; r <= shape.nrows; ++r) {
      for (int c = 1; c <= shape.ncols; ++c) {
        after += storage(r, c);
        if (shape.river(r, c)) river += directflow(r, c);
      }
    }
    if (rained > 0) {
      result.worst_balance = std::max(result.worst_balance, std::abs(river + after - before - rained) / rained);
    }
    result.rain_m3 += rained * area / 1000;
    result.river_m3 += river * area / 1000;
    result.surface_m3 = after * area / 1000;
    result.river_m3s.push_back(river * area / 1000 / (call_minutes * 60));
  }
  return result;
}

enum class Drain { kSouth, kNorth, kEast, kWest };

// A plane of 12 x 5 cells of 10 m, slope 0.01 towards a river row or column beyond it.
BasinShape Plane(Drain drain) {
  BasinShape shape;
  const bool rows = drain == Drain::kSouth || drain == Drain::kNorth;
  shape.nrows = rows ? 13 : 5;
  shape.ncols = rows ? 5 : 13;
  const auto from_river = [drain](int r, int c) {
    switch (drain) {
      case Drain::kSouth: return 13 - r;
      case Drain::kNorth: return r - 1;
      case Drain::kEast: return 13 - c;
      case Drain::kWest: return c - 1;
    }
    return 0;
  };
  shape.dem = [from_river](int r, int c) { return 0.1 * from_river(r, c); };
  shape.river = [from_river](int r, int c) { return from_river(r, c) == 0; };
  shape.off_river = kNodata;
  return shape;
}

class HeadDrivenRouting : public test::LogFixture {};

TEST_F(HeadDrivenRouting, PlanesTurnedToEveryDirectionFeedTheSameRiverInflow) {
  // Rain of 36 mm/h on the upper half of the plane only, calls of 5 minutes.
  std::vector<RainResult> results;
  for (const Drain drain : {Drain::kSouth, Drain::kNorth, Drain::kEast, Drain::kWest}) {
    const BasinShape shape = Plane(drain);
    SurfaceBasin<> basin(log_, dir_.path().string(), shape, SurfaceSection(6, 30, 60, 1, 5), RowRange{1, shape.nrows},
                         RowRange{1, shape.nrows}, nullptr);
    const auto upper = [&shape](int r, int c, int) {
      const double height = shape.dem(r, c);
      return height > 0.6 ? 3.0 : 0.0;
    };
    results.push_back(Rain(basin, 12, 5, upper));
    EXPECT_LT(results.back().worst_balance, 1e-12);
  }
  const std::vector<double>& south = results[0].river_m3s;
  EXPECT_GT(south.back(), 0.5 * 6 * 5 * 100 * 3e-3 / 300);  // the water has reached the river
  for (std::size_t k = 1; k < results.size(); ++k) {
    for (std::size_t call = 0; call < south.size(); ++call) {
      EXPECT_NEAR(results[k].river_m3s[call], south[call], 1e-3 * south.back()) << k << " call " << call;
    }
  }
}

TEST_F(HeadDrivenRouting, CellsOfTwentyByTenMetresBalanceTheirRainByTheirFaceFluxesAtSteadyState) {
  // A plane of 8 x 4 cells, 20 m east-west and 10 m north-south, falling 0.02 to the
  // east and 0.01 to the south towards river cells along its south and east edges; calls
  // of one minute routed in one sub-step.
  BasinShape shape;
  shape.nrows = 9;
  shape.ncols = 5;
  shape.cellsize = 10;
  shape.dem = [](int r, int c) { return 0.4 * (5 - c) + 0.1 * (9 - r); };
  shape.river = [](int r, int c) { return r == 9 || c == 5; };
  shape.off_river = kNodata;
  shape.grids = {{"RelCellArea", [](int, int) { return 2.0; }},
                 {"CellSizeX", [](int, int) { return 20.0; }},
                 {"CellSizeY", [](int, int) { return 10.0; }}};
  SurfaceBasin<> basin(log_, dir_.path().string(), shape, SurfaceSection(6, 60, 60, 1, 1), RowRange{1, 9},
                       RowRange{1, 9}, nullptr);
  const double rain_mm = 0.5;
  Rain(basin, 600, 1, [&](int, int, int) { return rain_mm; });
  const grid_table& table = basin.table();
  const StackView stack = table[basin.IndexOf("SurfaceRoutingFluxes")].stack;
  const double rain_m3s = rain_mm / 1000 * 200 / 60;
  for (int r = 1; r <= 8; ++r) {
    for (int c = 1; c <= 4; ++c) {
      const double out = stack(r, c, 5) - stack(r, c, 1) + stack(r, c, 3) - stack(r, c, 7);
      EXPECT_NEAR(out, rain_m3s, 1e-5 * rain_m3s) << r << " " << c;
    }
  }
}

// The tilted V-catchment of Di Giammarco, Todini & Lamberti (1996): two planes of
// 800 x 1000 m with cross slope 0.05 and slope 0.02 along a channel 20 m wide, Manning n
// 0.015 on the planes and 0.15 in the channel (Strickler 66.7 and 6.67), rain of
// 10.8 mm/h for 90 minutes. Cells of 20 m: 40 columns per plane and the channel column
// between them, 50 rows; calls of 5 minutes (0.9 mm of rain each).
BasinShape VCatchment() {
  BasinShape shape;
  shape.nrows = 50;
  shape.ncols = 81;
  shape.cellsize = 20;
  shape.dem = [](int r, int c) { return 0.05 * 20 * std::abs(c - 41) + 0.02 * 20 * (50 - r); };
  shape.river = [](int, int c) { return c == 41; };
  shape.off_river = kNodata;
  return shape;
}

void SetStrickler(SurfaceBasin<>& basin) {
  const GridView manning = basin.Values("SurfaceRoutingManningCoeff");
  for (int r = 1; r <= 50; ++r) {
    for (int c = 1; c <= 81; ++c) manning(r, c) = c == 41 ? 6.67 : 66.7;
  }
}

TEST_F(HeadDrivenRouting, TheTiltedVCatchmentKeepsItsWaterAndReachesThePublishedEquilibrium) {
  const auto storm = [](int, int, int call) { return call <= 18 ? 0.9 : 0.0; };
  const struct {
    const char* label;
    std::function<double(int, int)> subbasin;
  } cases[] = {{"one sub-basin", [](int, int) { return 1.0; }},
               {"two sub-basins across the slope", [](int r, int) { return r <= 25 ? 1.0 : 2.0; }}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    BasinShape shape = VCatchment();
    shape.subbasin = c.subbasin;
    SurfaceBasin<> basin(log_, dir_.path().string(), shape, SurfaceSection(6, 60, 60, 1, 5), RowRange{1, 50},
                         RowRange{1, 50}, nullptr);
    SetStrickler(basin);
    const RainResult result = Rain(basin, 36, 5, storm);
    EXPECT_NEAR(result.rain_m3, 26244, 1e-6);
    EXPECT_NEAR(result.river_m3 + result.surface_m3, result.rain_m3, 1e-6 * result.rain_m3);
    EXPECT_LT(result.worst_balance, 1e-9);
    EXPECT_GT(result.river_m3, 0.5 * result.rain_m3);
  }
  // With the rain going on, the inflow into the channel reaches 10.8 mm/h over
  // 1.62 km2, the published equilibrium of 4.86 m3/s.
  SurfaceBasin<> basin(log_, dir_.path().string(), VCatchment(), SurfaceSection(6, 60, 60, 1, 5), RowRange{1, 50},
                       RowRange{1, 50}, nullptr);
  SetStrickler(basin);
  const RainResult steady = Rain(basin, 48, 5, [](int, int, int) { return 0.9; });
  EXPECT_NEAR(steady.river_m3s.back(), 4.86, 0.01 * 4.86);
}

// --- dumps of non-finite heads -------------------------------------------------------------

// A model whose heads at the start of the sub-step turn to NaN on chosen cells before the
// sweep of a chosen iteration, and whose single operations the tests call.
class PoisonedHeads : public surfaceroutingclass {
 public:
  using surfaceroutingclass::surfaceroutingclass;
  using surfaceroutingclass::ComputeFaceConductances;
  GridView head_old;
  std::vector<std::pair<int, int>> cells;
  int iteration = 0;

  double IterateHeads(int j, double dt) override {
    if (j == iteration) {
      for (const auto& [r, c] : cells) head_old(r, c) = std::numeric_limits<double>::quiet_NaN();
    }
    return surfaceroutingclass::IterateHeads(j, dt);
  }
};

class HeadDumps : public test::LogFixture {
 protected:
  // A plane of 12 x 7 cells falling to the south with 5 mm of water on every cell.
  std::unique_ptr<SurfaceBasin<PoisonedHeads>> Basin(const DumpOptions& options) {
    BasinShape shape;
    shape.nrows = 12;
    shape.ncols = 7;
    shape.dem = [](int r, int c) { return 20 - 0.1 * r + 0.01 * c; };
    shape.off_river = kNodata;
    auto basin = std::make_unique<SurfaceBasin<PoisonedHeads>>(log_, dir_.path().string(), shape,
                                                               SurfaceSection(6, 60, 600, 1, 60, "", "0", 5),
                                                               RowRange{1, 12}, RowRange{1, 12}, nullptr);
    PoisonedHeads& model = basin->model();
    model.SetDumpOptions(options);
    model.head_old = basin->Values("SurfaceRoutingHeadOld");
    const GridView head = basin->Values("SurfaceRoutingHead");
    for (int r = 1; r <= 12; ++r) {
      for (int c = 1; c <= 7; ++c) {
        head(r, c) = model.head_old(r, c) = shape.dem(r, c) + 0.005;
        basin->Values("directflow")(r, c) = 5;
      }
    }
    model.BeginStep({1998, 6, 5, 6});
    return basin;
  }
  test::WorkingDirectory cwd_{dir_.path()};
};

TEST_F(HeadDumps, ANonFiniteHeadIsDumpedWithItsUpdateUpToTheLargestNumberOfFiles) {
  // Cell (12, 7) is of the second colour of the sweep: no neighbour reads its NaN after it.
  {
    auto basin = Basin({.dump_mode = true, .max_dump_files = 0});
    PoisonedHeads& model = basin->model();
    model.ComputeFaceConductances();
    model.head_old(12, 7) = std::numeric_limits<double>::quiet_NaN();
    model.IterateHeads(3, 60);
    EXPECT_EQ(model.dump_count(), 1);
    const std::string name = "surfrout_dump_row_12_col_7_iteration_3_1998060506.dmp";
    ASSERT_TRUE(std::filesystem::exists(dir_.file(name)));
    EXPECT_EQ(std::filesystem::file_size(dir_.file(name)), 472u);
    const std::string bytes = test::ReadFile(dir_.file(name));
    double value[3];
    std::memcpy(value, bytes.data() + 280, sizeof(double));
    std::memcpy(value + 1, bytes.data(), sizeof(double));
    std::memcpy(value + 2, bytes.data() + 424, sizeof(double));
    EXPECT_TRUE(std::isnan(value[0]));
    EXPECT_EQ(value[1], 60);                       // dt
    EXPECT_DOUBLE_EQ(value[2], 20 - 1.2 + 0.07 + 0.005);  // head before the update
  }
  for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
    if (entry.path().extension() == ".dmp") std::filesystem::remove(entry.path());
  }
  {
    // Five non-finite heads in one sweep, at most two files: the sweep goes on. The cells
    // are of the second colour, so that no neighbour reads their NaN in the same sweep.
    auto basin = Basin({.dump_mode = true, .max_dump_files = 2});
    PoisonedHeads& model = basin->model();
    model.ComputeFaceConductances();
    for (const auto& [r, c] : {std::pair{12, 3}, {12, 5}, {12, 7}, {11, 6}, {10, 7}}) {
      model.head_old(r, c) = std::numeric_limits<double>::quiet_NaN();
    }
    model.IterateHeads(1, 60);
    EXPECT_EQ(model.dump_count(), 5);
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) files += entry.path().extension() == ".dmp";
    EXPECT_EQ(files, 2);
  }
  {
    // Without dump mode nothing is looked for.
    auto basin = Basin({});
    basin->model().ComputeFaceConductances();
    basin->model().head_old(5, 5) = std::numeric_limits<double>::quiet_NaN();
    basin->model().IterateHeads(1, 60);
    EXPECT_EQ(basin->model().dump_count(), 0);
  }
}

TEST_F(HeadDumps, CloseAfterDumpEndsTheCallWithItsCodeEvenWithoutAFile) {
  for (const long long max_files : {0LL, 1LL}) {
    SCOPED_TRACE(max_files);
    console_.str("");
    std::filesystem::remove(dir_.file("surfrout_dump_row_6_col_4_iteration_2_1998060506.dmp"));
    auto basin = Basin({.dump_mode = true, .close_after_dump = true, .max_dump_files = max_files});
    basin->model().cells = {{6, 4}};
    basin->model().iteration = 2;
    if (max_files == 1) {
      basin->model().ComputeFaceConductances();
      basin->model().head_old(1, 1) = std::numeric_limits<double>::quiet_NaN();
      basin->model().IterateHeads(1, 60);
      for (int r = 1; r <= 12; ++r) {
        for (int c = 1; c <= 7; ++c) basin->Values("directflow")(r, c) = 5;
      }
    }
    EXPECT_EQ(test::CodeOf([&] { basin->model().RunStep(6, 5, 6, 1998); }), kSurfaceRoutingDumpAbort);
    EXPECT_TRUE(Logged("command line option -closeAfterDump active!")) << console_.str();
    EXPECT_EQ(std::filesystem::exists(dir_.file("surfrout_dump_row_6_col_4_iteration_2_1998060506.dmp")),
              max_files == 0);
  }
}

}  // namespace
}  // namespace tolvo
