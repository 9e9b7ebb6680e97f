// Surface routing of a small valley, with one solute, under any number of processes and
// threads: each process routes its band of rows (with four threads) and every grid and
// stack value of its own cells, and the number of sub-steps of every call, equal those of
// the same valley routed whole by one process with one thread.

#include <gtest/gtest.h>
#include <mpi.h>
#include <omp.h>

#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "framework/tracer_settings_record.h"
#include "runoff/surface_basin_fixture.h"
#include "support/row_bands.h"
#include "support/test_support.h"

namespace tolvo {
namespace {

using test::BasinShape;
using test::HeldRowsOf;
using test::RowBand;
using test::SurfaceBasin;
using test::WorldRank;
using test::WorldSize;

constexpr int kRows = 9;
constexpr int kCols = 7;

// A valley draining to a river in column 4, falling to the south, with two corners
// outside the basin and a knoll that sends water uphill of the main slope.
BasinShape Valley() {
  BasinShape shape;
  shape.nrows = kRows;
  shape.ncols = kCols;
  shape.cellsize = 25;
  shape.inside = [](int r, int c) { return !((r == 1 && c == 1) || (r == kRows && c == kCols)); };
  shape.dem = [](int r, int c) {
    const double knoll = (r == 4 && c == 6) ? 1.5 : 0;
    return 100 + 0.8 * std::abs(c - 4) + 0.3 * std::pow(std::abs(c - 4), 1.5) - 0.5 * r + knoll;
  };
  shape.river = [](int, int c) { return c == 4; };
  return shape;
}

// Every value of the own cells a call leaves behind, and the sub-step counts.
struct Trace {
  std::vector<double> values;
  std::vector<int> sub_steps;
};

Trace Route(DiagnosticsLog& log, const std::string& dir, int method, bool whole, int threads) {
  const int rank = WorldRank();
  const int size = WorldSize();
  const RowRange band = whole ? RowRange{1, kRows} : RowBand(rank, size, kRows);
  const RowRange held = whole ? RowRange{1, kRows} : HeldRowsOf(rank, size, kRows);
  test::RowBandLayout layout(rank, size, kRows, kCols);
  const BasinShape shape = Valley();
  SurfaceBasin<> basin(log, dir, shape, test::SurfaceSection(method, 2, 120, 1, 10), band, held,
                       whole ? nullptr : &layout.layout(), {"_CONC_QD_1_", "_CONC_QI_1_"}, 2);
  omp_set_num_threads(threads);
  surfaceroutingclass& model = basin.model();
  std::vector<TracerSettingsRecord> tracers(2);
  tracers[1].name = "cl_";
  model.InitTracers(1, tracers, basin.registry(), 200);
  const GridView runoff_conc = basin.Values("_CONC_QD_1_");
  const GridView surface_conc = basin.Values("concstor_tracer_1_SiltingUpModel");
  const GridView directflow = basin.Values("directflow");
  const GridView storage = basin.Values("SurfStorSiltingUp");
  const RowRange mine = RowBand(rank, size, kRows);
  Trace trace;
  for (int call = 1; call <= 6; ++call) {
    model.BeginStep({2020, 6, 1, call});
    for (int sub = 1; sub <= 2; ++sub) {
      for (int r = band.first; r <= band.last; ++r) {
        for (int c = 1; c <= kCols; ++c) {
          if (!shape.inside(r, c)) continue;
          const double rain = call <= 3 ? 4.0 + 0.3 * c : 0.0;
          const double s = storage(r, c);
          directflow(r, c) = rain + s;
          runoff_conc(r, c) = rain + s > 0 ? (rain * 0.1 * r + s * surface_conc(r, c)) / (rain + s) : 0;
        }
      }
      model.RunStep(call, 1, 6, 2020);
      trace.sub_steps.push_back(model.sub_step_count());
      for (int r = mine.first; r <= mine.last; ++r) {
        for (int c = 1; c <= kCols; ++c) {
          if (!shape.inside(r, c)) continue;
          for (const char* id : {"SurfStorSiltingUp", "directflow", "SurfaceRoutingHead", "SurfaceRoutingQIn",
                                 "SurfaceRoutingQOut", "_CONC_QD_1_", "concstor_tracer_1_SiltingUpModel"}) {
            trace.values.push_back(basin.Values(id)(r, c));
          }
          const grid_entry& velocity = basin.table()[basin.IndexOf("SurfaceRoutingVelocity")];
          const grid_entry& fluxes = basin.table()[basin.IndexOf("SurfaceRoutingFluxes")];
          for (int l = 0; l <= 9; ++l) {
            trace.values.push_back(velocity.stack(r, c, l));
            trace.values.push_back(fluxes.stack(r, c, l));
          }
        }
      }
    }
    model.EndStep({2020, 6, 1, call});
  }
  model.FinishModel(false);
  return trace;
}

class SurfaceRoutingProcesses : public ::testing::Test {
 protected:
  test::TempDir band_dir_;
  test::TempDir whole_dir_;
  std::ostringstream console_;
  DiagnosticsLog log_{band_dir_.file("d.xml"), 4, console_};
};

TEST_F(SurfaceRoutingProcesses, BandsAndThreadsRouteLikeOneProcessWithOneThread) {
  for (const int method : {1, 3, 5}) {
    SCOPED_TRACE(method);
    const Trace bands = Route(log_, band_dir_.path().string(), method, false, 4);
    const Trace whole = Route(log_, whole_dir_.path().string(), method, true, 1);
    EXPECT_EQ(bands.sub_steps, whole.sub_steps);
    ASSERT_EQ(bands.values.size(), whole.values.size());
    std::size_t differing = 0;
    for (std::size_t k = 0; k < whole.values.size(); ++k) differing += bands.values[k] != whole.values[k] ? 1 : 0;
    EXPECT_EQ(differing, 0u);
    // The water moved: some cell sent water, and the river received it.
    double river = 0;
    for (std::size_t k = 1; k < whole.values.size(); k += 27) river += whole.values[k];
    EXPECT_GT(river, 0);
  }
}

}  // namespace
}  // namespace tolvo
