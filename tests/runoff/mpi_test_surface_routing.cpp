// Surface routing of a small valley, with one solute and flow-time zones, under any number
// of processes and threads: each process routes its band of rows (with four threads) and
// every grid and stack value of its own cells, the number of sub-steps of every call and
// the sub-basin runoff equal those of the same valley routed whole by one process with
// one thread (method 6 too: its sweeps run in red-black order).

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
  shape.grids = {{"flow_times", [](int r, int) { return 1 + 0.45 * (kRows - r); }}};
  return shape;
}

// Every value of the cells a call leaves behind (on process 0, of all rows in row order),
// and the sub-step counts.
struct Trace {
  std::vector<double> values;
  std::vector<int> sub_steps;
  std::vector<double> runoff;  // process 0: Qg of water and solute after every step
};

Trace Route(DiagnosticsLog& log, const std::string& dir, int method, bool whole, int threads) {
  const int rank = WorldRank();
  const int size = WorldSize();
  const RowRange band = whole ? RowRange{1, kRows} : RowBand(rank, size, kRows);
  const RowRange held = whole ? RowRange{1, kRows} : HeldRowsOf(rank, size, kRows);
  test::RowBandLayout layout(rank, size, kRows, kCols);
  BasinShape shape = Valley();
  if (method == 6) shape.off_river = kNodata;
  // Routed whole, the valley lies on process 0 alone; the others take part in the
  // collective calls with an empty basin.
  if (whole && rank != 0) shape.inside = [](int, int) { return false; };
  SurfaceBasin<> basin(log, dir, shape, test::SurfaceSection(method, 2, 120, 1, 10, "", "1e-12", 400), band, held,
                       whole ? nullptr : &layout.layout(), {"_CONC_QD_1_", "_CONC_QI_1_"}, 2);
  omp_set_num_threads(threads);
  surfaceroutingclass& model = basin.model();
  std::vector<TracerSettingsRecord> tracers(2);
  tracers[1].name = "cl_";
  model.InitTracers(1, tracers, basin.registry(), 200);
  std::vector<double> recession{0, 90};
  model.SetDirectRunoffRecession(recession);
  model.SetInterflowRecession(recession);
  const GridView runoff_conc = basin.Values("_CONC_QD_1_");
  const GridView surface_conc = basin.Values("concstor_tracer_1_SiltingUpModel");
  const GridView directflow = basin.Values("directflow");
  const GridView storage = basin.Values("SurfStorSiltingUp");
  const RowRange mine = whole ? RowRange{1, rank == 0 ? kRows : 0} : RowBand(rank, size, kRows);
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
      std::vector<std::vector<double>> rows(kRows + 1);
      for (int r = mine.first; r <= mine.last; ++r) {
        std::vector<double>& row_values = rows[static_cast<std::size_t>(r)];
        for (int c = 1; c <= kCols; ++c) {
          if (!shape.inside(r, c)) continue;
          for (const char* id : {"SurfStorSiltingUp", "directflow", "SurfaceRoutingHead", "SurfaceRoutingQIn",
                                 "SurfaceRoutingQOut", "_CONC_QD_1_", "concstor_tracer_1_SiltingUpModel"}) {
            row_values.push_back(basin.Values(id)(r, c));
          }
          const grid_entry& velocity = basin.table()[basin.IndexOf("SurfaceRoutingVelocity")];
          const grid_entry& fluxes = basin.table()[basin.IndexOf("SurfaceRoutingFluxes")];
          for (int l = 0; l <= 9; ++l) {
            row_values.push_back(velocity.stack(r, c, l));
            row_values.push_back(fluxes.stack(r, c, l));
          }
        }
      }
      // Process 0 collects the rows of the others, in row order.
      for (int r = 1; r <= kRows; ++r) {
        const int owner = whole ? 0 : test::RowOwner(r, size, kRows);
        std::vector<double>& row_values = rows[static_cast<std::size_t>(r)];
        int n = static_cast<int>(row_values.size());
        if (owner != 0 && rank == owner) {
          MPI_Send(&n, 1, MPI_INT, 0, r, MPI_COMM_WORLD);
          MPI_Send(row_values.data(), n, MPI_DOUBLE, 0, r, MPI_COMM_WORLD);
        }
        if (owner != 0 && rank == 0) {
          MPI_Recv(&n, 1, MPI_INT, owner, r, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
          row_values.resize(static_cast<std::size_t>(n));
          MPI_Recv(row_values.data(), n, MPI_DOUBLE, owner, r, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
        }
        if (rank == 0) trace.values.insert(trace.values.end(), row_values.begin(), row_values.end());
      }
    }
    model.EndStep({2020, 6, 1, call});
    if (rank == 0) {
      for (const std::vector<double>& per_tracer : *model.GetQg()) trace.runoff.push_back(per_tracer[1]);
    }
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
  for (const int method : {1, 3, 5, 6}) {
    SCOPED_TRACE(method);
    const Trace bands = Route(log_, band_dir_.path().string(), method, false, 4);
    const Trace whole = Route(log_, whole_dir_.path().string(), method, true, 1);
    EXPECT_EQ(bands.sub_steps, whole.sub_steps);
    ASSERT_EQ(bands.values.size(), whole.values.size());
    std::size_t differing = 0;
    for (std::size_t k = 0; k < whole.values.size(); ++k) differing += bands.values[k] != whole.values[k] ? 1 : 0;
    EXPECT_EQ(differing, 0u);
    EXPECT_EQ(bands.runoff, whole.runoff);
    // The water moved: some cell sent water, and the river received it.
    double river = 0;
    for (std::size_t k = 1; k < whole.values.size(); k += 27) river += whole.values[k];
    if (WorldRank() == 0) { EXPECT_GT(river, 0); }
  }
}

}  // namespace
}  // namespace tolvo
