// The land-use parameter grids of a small basin under any number of processes and
// threads: each process computes its band of rows (with three threads), and every value
// of its own cells equals that of the same basin computed whole by one process (with one
// thread); after the set-up the halo rows hold the neighbours' parameters.

#include <gtest/gtest.h>
#include <mpi.h>
#include <omp.h>

#include <algorithm>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "framework/grid_distribution.h"
#include "framework/grid_table.h"
#include "framework/modelobject.h"
#include "support/row_bands.h"
#include "support/test_support.h"
#include "tables/landuse_parameter_grids.h"
#include "tables/landuse_table.h"

namespace tolvo {
namespace {

using test::HeldRowsOf;
using test::RowBand;
using test::RowOwner;
using test::WorldRank;
using test::WorldSize;

constexpr int kRows = 6;
constexpr int kCols = 5;

bool InBasin(int r, int c) { return !((r == 1 && c == 1) || (r == kRows && c == kCols)); }

const std::string kTables = " Albedo = 0.2 0.2 0.2 0.2 0.2; rsc = 40 60 80 60 40; Z0 = 0.1 0.2 0.3 0.2 0.1;"
                            " VCF = 0.5 0.6 0.9 0.6 0.5; RootDepth = 0.5 1 1.5 1 0.5; AltDep = 0.01 0 0 0 0;";
const std::string kDP1 = " F* = 100; DP1_t1_dorm = 60; DP1_T_Bf = 0; JDReset_TStart = 300; maxStartJDforDP1 = 150;";
const std::vector<std::pair<std::string, std::string>> kEntries{
    {"VariableDayCount", " JulDays = 30 120 250 300; LAI = 1 2 4 3;" + kTables},
    {"DynamicPhenology_1", " JulDays = 1 100 -1 30 366; LAI = 1 2 5 6 1;" + kTables + kDP1},
    {"DynamicPhenology_3", " JulDays = 1 60 120 366; LAI = 1 2 4 3; ForcingThreshold = -1 200 400 -1;" + kTables + kDP1},
    {"DynamicPhenology_4",
     " JulDays = 1 100 -1 30 366; LAI = 1 2 5 6 1;" + kTables + kDP1 +
         " DP4_t0_dorm = 280; DP4_t1_dorm = 70; DP4_T0 = 3; DP4_T1 = 8; DP4_Par_a = 150; DP4_Par_b = -10;"
         " DP4_T_xylstop = 12; DP4_t_xs1 = 100; DP4_SPSLF = 4;"}};

// One basin with its set-up reader: the whole basin (strip 1..kRows, every cell own) or
// this process's band of it with the decomposition of whole-row bands.
class Basin {
 public:
  Basin(bool whole, int rank, int size) {
    const RowRange band = whole ? RowRange{1, kRows} : RowBand(rank, size, kRows);
    const RowRange held = whole ? RowRange{1, kRows} : HeldRowsOf(rank, size, kRows);
    reader_.set_name("defaults");
    reader_.set_geometry({.ncols = kCols, .nrows = kRows, .cellsize = 100, .nodata_value = kNodata});
    reader_.set_strip(band);
    reader_.set_grid_table(table_.get());
    for (Grid* grid : {&zone_, &elevation_, &albedo_, &temperature_, &code1_, &code2_, &regions_}) {
      *grid = Grid(held.first, held.last, kCols, kRows);
    }
    for (int r = held.first; r <= held.last; ++r) {
      for (int c = 1; c <= kCols; ++c) {
        zone_(r, c) = InBasin(r, c) ? 1 : kNodata;
        elevation_(r, c) = 300 + 50 * r + 10 * c;
        code1_(r, c) = 1 + (r + c) % 4;
        code2_(r, c) = (r * c) % 5 == 0 ? kNodata : 1 + (2 * r + c) % 4;
        regions_(r, c) = whole ? rank : RowOwner(r, size, kRows);
      }
    }
    reader_.RegisterGrid(1, "zone.asc", zone_.view(), {}, 0, "zone", 0, held.first, held.last);
    reader_.RegisterGrid(2, "dem.asc", elevation_.view(), {}, 0, "dem", 0, held.first, held.last);
    reader_.RegisterGrid(3, "albedo.asc", albedo_.view(), {}, 0, "albedo", 0, held.first, held.last);
    reader_.RegisterGrid(4, "t.asc", temperature_.view(), {}, 0, "temperature", 0, held.first, held.last);
    if (!whole) {
      if (band.last < kRows) {
        receive_.push_back({band.last + 1, 1, kCols, RowOwner(band.last + 1, size, kRows)});
        send_.push_back({band.last, 1, kCols, RowOwner(band.last + 1, size, kRows)});
      }
      if (band.first > 1) {
        receive_.push_back({band.first - 1, 1, kCols, RowOwner(band.first - 1, size, kRows)});
        send_.push_back({band.first, 1, kCols, RowOwner(band.first - 1, size, kRows)});
      }
      layout_.own_rows = band;
      layout_.regions = std::as_const(regions_).view();
      layout_.receive_list = receive_;
      layout_.send_list = send_;
      reader_.set_domain_layout(&layout_);
    }
    landuse_ = std::make_unique<LanduseTable>(static_cast<int>(kEntries.size()));
    for (std::size_t j = 0; j < kEntries.size(); ++j) {
      const auto& [method, keys] = kEntries[j];
      (*landuse_)[static_cast<int>(j) + 1].ParseBlock(
          log_, std::to_string(j + 1) + " lu { method = " + method + "; RootDist = 1; TReduWet = 1; HReduDry = 50;" +
                    keys + " }\n",
          method);
    }
    landuse_->SetBalanceDays();
    codes_ = {std::as_const(code1_).view(), std::as_const(code2_).view()};
  }

  void Generate() {
    const LanduseGridSources sources{std::as_const(zone_).view(), std::as_const(elevation_).view(),
                                     std::as_const(regions_).view(), {2001, 3, 1, 0}};
    grids_.generateMultiLayerParameterGrids(reader_, *landuse_, codes_, sources);
  }

  // Daily steps from 1 March over `days` days, with a temperature that differs per cell.
  void Run(int days) {
    for (int i = 0; i < days; ++i) {
      int day = 1 + i;
      int month = 3;
      while (day > DaysInMonth(2001, month)) day -= DaysInMonth(2001, month++);
      const RowRange rows = temperature_.rows();
      for (int r = rows.first; r <= rows.last; ++r) {
        for (int c = 1; c <= kCols; ++c) temperature_(r, c) = 2 + 0.3 * i + r - 0.5 * c;
      }
      grids_.UpdateLanduseParameters(reader_, *landuse_, codes_, 24, day, month, 2001, 1440);
    }
  }

  // Every value of the grid table's entries from 4 on, grid and stack, at cell (r, c).
  std::vector<double> CellValues(int r, int c) const {
    std::vector<double> values;
    for (int i = 4; i <= kLastGridIndex && (*table_)[i].identifier; ++i) {
      const grid_entry& entry = (*table_)[i];
      if (!entry.values.empty()) values.push_back(entry.values(r, c));
      if (!entry.stack.empty()) {
        for (const double level : entry.stack.levels(r, c)) values.push_back(level);
      }
    }
    return values;
  }
  double Value(const std::string& identifier, int r, int c) {
    return (*table_)[reader_.FindGrid(identifier, true)].values(r, c);
  }

 private:
  test::TempDir dir_;
  std::ostringstream console_;
  DiagnosticsLog log_{dir_.file("d.xml"), 4, console_};

 public:
  modelobject reader_{log_, "control.txt"};
  std::unique_ptr<grid_table> table_ = std::make_unique<grid_table>();
  Grid zone_, elevation_, albedo_, temperature_, code1_, code2_, regions_;
  std::vector<ConstGridView> codes_;
  std::vector<StripRecord> receive_, send_;
  DomainLayout layout_;
  std::unique_ptr<LanduseTable> landuse_;
  LanduseParameterGrids grids_;
};

TEST(LanduseUpdateProcesses, OwnCellsEqualTheWholeBasinComputedByOneProcess) {
  const int rank = WorldRank();
  const int size = WorldSize();
  Basin whole(true, rank, size);
  Basin band(false, rank, size);
  omp_set_num_threads(1);
  whole.Generate();
  omp_set_num_threads(3);
  band.Generate();
  ASSERT_EQ(band.grids_.created_grid_count(), whole.grids_.created_grid_count());

  // The halo rows of the exchanged parameters hold the neighbours' set-up values.
  const RowRange own = RowBand(rank, size, kRows);
  for (const int r : {own.first - 1, own.last + 1}) {
    if (r < 1 || r > kRows || own.contains(r)) continue;
    for (int c = 1; c <= kCols; ++c) {
      if (!InBasin(r, c)) continue;
      for (const char* id : {"root_depth1", "leaf_area_index2", "RoughnessLength1", "SurfaceEvaporationResistance"}) {
        SCOPED_TRACE(std::string(id) + " " + std::to_string(r) + "," + std::to_string(c));
        EXPECT_EQ(band.Value(id, r, c), whole.Value(id, r, c));
      }
      EXPECT_EQ(band.Value("VegetationStart1", r, c), kNodata);  // not exchanged
    }
  }

  omp_set_num_threads(1);
  whole.Run(90);
  omp_set_num_threads(3);
  band.Run(90);
  // The season started somewhere, so the comparison covers moved phenology states.
  int started = 0;
  for (int r = own.first; r <= own.last; ++r) {
    for (int c = 1; c <= kCols; ++c) {
      SCOPED_TRACE(std::to_string(r) + "," + std::to_string(c));
      EXPECT_EQ(band.CellValues(r, c), whole.CellValues(r, c));
      started += InBasin(r, c) && band.Value("Pheno_start1", r, c) > 0;
    }
  }
  int all_started = 0;
  MPI_Allreduce(&started, &all_started, 1, MPI_INT, MPI_SUM, MPI_COMM_WORLD);
  EXPECT_GT(all_started, 0);
}

}  // namespace
}  // namespace tolvo
