// Potential evapotranspiration under any number of processes and threads: each process
// computes its band of rows (with three threads), and every value of its own cells over a
// day of hourly steps and a run of daily steps equals that of the same basin computed
// whole by one process with one thread.

#include <gtest/gtest.h>
#include <omp.h>

#include <deque>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "framework/grid_table.h"
#include "framework/model_settings.h"
#include "framework/statistics_registry.h"
#include "support/row_bands.h"
#include "support/test_support.h"
#include "surface/verdunstungsmodellklasse.h"
#include "tables/multilayer_landuse.h"

namespace tolvo {
namespace {

using test::RowBand;
using test::WorldRank;
using test::WorldSize;

constexpr int kRows = 7;
constexpr int kCols = 5;

std::string Section(int step_min) {
  return "[evapotranspiration]\n1\n" + std::to_string(step_min) +
         "\n1\n1 1 1 1 1 1 1 1 1 1 1 1\n0.3 0.3 0.3 0.3 0.3 0.3 0.3 0.3 0.3 0.3 0.3 0.3 0.5 fk\n"
         "etp.asc\n0\netp.txt 0\netr.asc\n0\netr.txt 0\nevap.asc\n0\nevap.txt 0\nevar.asc\n0\nevar.txt 0\n"
         "snowevap.asc\n0\nsnowevap.txt 0\neip.asc\n0\neip.txt 0\nrgex.txt 0\n0.23 0.52 0.25 0\n"
         "0.072 -0.808 1.749 -0.239\n0.7 0.1\n3000\n5 6 7 8 9 10 10 10 9 8 6 5\n0.65 0.1\n\n[end]\n";
}

// Two vegetation layers over a basin of two zones; the inputs vary from cell to cell.
class Basin {
 public:
  Basin(DiagnosticsLog& log, const std::string& dir, RowRange band, int step_min) : log_(log), reader_(log, "c") {
    reader_.set_geometry(geometry_);
    reader_.set_strip(band);
    reader_.set_grid_table(table_.get());
    const auto inside = [](int r, int c) { return !(r == 1 && c == 1); };
    Add("zone", band, [&](int r, int c) { return inside(r, c) ? (c <= 2 ? 1.0 : 2.0) : kNodata; });
    Add("[elevation_model]", band, [](int r, int c) { return 200.0 + 40 * r + 7 * c; });
    const std::map<std::string, std::function<double(int, int)>> inputs{
        {"landuse", [](int, int) { return 1.0; }},
        {"SurfaceEvaporationResistance", [](int r, int) { return 80.0 + r; }},
        {"albedo", [](int, int c) { return 0.15 + 0.02 * c; }},
        {"temperature", [](int r, int c) { return 12.0 + r - 0.5 * c; }},
        {"temperature_night", [](int r, int c) { return 6.0 + 0.5 * r - 0.5 * c; }},
        {"wind_speed", [](int r, int c) { return 1.0 + 0.3 * r + 0.1 * c; }},
        {"global_radiation", [](int r, int c) { return 250.0 + 20 * r + 15 * c; }},
        {"air_humidity", [](int r, int c) { return 0.5 + 0.04 * r + 0.02 * c; }},
        {"landuse1", [](int, int) { return 1.0; }},
        {"landuse2", [](int r, int) { return r == 3 ? kNodata : 1.0; }},
    };
    for (const auto& [id, value] : inputs) Add(id, band, value);
    for (int k = 1; k <= 2; ++k) {
      const std::string n = std::to_string(k);
      Add("leaf_area_index" + n, band, [k](int r, int c) { return k == 2 && r == 3 ? kNodata : 1.0 + r / k + 0.2 * c; });
      Add("root_depth" + n, band, [](int, int) { return 0.5; });
      Add("vegetation_coverage_degree" + n, band, [](int, int c) { return 0.6 + 0.05 * c; });
      Add("SurfaceCanopyResistance" + n, band, [k](int r, int) { return 50.0 + 10 * k + r; });
      Add("SurfaceIntercepResistance" + n, band, [](int, int) { return 5.0; });
      Add("RoughnessLength" + n, band, [k](int, int c) { return 0.8 / k + 0.01 * c; });
    }
    multilayer_[1].ParseBlock(log, "1 forest_grass { Landuse_Layers = 1, 1; k_extinct = 0.5; LAI_scale = 10; }");
    zones_[1].zonenwert = 1;
    zones_[2].zonenwert = 2;
    const std::string control = dir + "/evapo_" + std::to_string(WorldRank()) + ".ctl";
    std::ofstream(control) << Section(step_min);
    settings_.compiled_control_file = control;
    settings_.geometry = geometry_;
    settings_.strip = band;
    settings_.grids = table_.get();
    settings_.zones = {.zone_count = 2, .largest_code = 2, .zones = zones_, .code_index = code_index_,
                       .column_ranges = {}};
    settings_.multilayer_landuse = &multilayer_;
    settings_.site = {.latitude = 47.5, .longitude = 8.5, .reference_meridian = 15};
    settings_.output_directory = dir + "/" + std::to_string(WorldRank()) + "_";
    model_ = std::make_unique<verdunstungsmodellklasse>(log_, registry_, settings_);
  }

  verdunstungsmodellklasse& model() { return *model_; }
  GridView Values(const std::string& id) { return (*table_)[reader_.FindGrid(id, true)].values; }

 private:
  void Add(const std::string& id, RowRange band, const std::function<double(int, int)>& value) {
    Grid& grid = grids_.emplace_back(band.first, band.last, kCols, kRows);
    for (int r = band.first; r <= band.last; ++r) {
      for (int c = 1; c <= kCols; ++c) grid(r, c) = value(r, c);
    }
    reader_.RegisterGrid(next_++, id + ".asc", grid.view(), {}, 0, id, 0, band.first, band.last);
  }

  DiagnosticsLog& log_;
  const GridGeometry geometry_{.ncols = kCols, .nrows = kRows, .cellsize = 100, .nodata_value = kNodata};
  modelobject reader_;
  std::unique_ptr<grid_table> table_ = std::make_unique<grid_table>();
  std::deque<Grid> grids_;
  int next_ = 1;
  MultilayerLanduseTable multilayer_{1};
  std::vector<ZoneRecord> zones_ = std::vector<ZoneRecord>(3);
  std::vector<int> code_index_ = {0, 1, 2};
  ModelSettings settings_;
  StatisticsRegistry registry_;
  std::unique_ptr<verdunstungsmodellklasse> model_;
};

// Every value of the own cells after each step.
std::vector<double> RunBasin(DiagnosticsLog& log, const std::string& dir, bool whole, int threads, int step_min) {
  const RowRange band = whole ? RowRange{1, kRows} : RowBand(WorldRank(), WorldSize(), kRows);
  Basin basin(log, dir, band, step_min);
  omp_set_num_threads(threads);
  std::vector<double> values;
  const RowRange mine = RowBand(WorldRank(), WorldSize(), kRows);
  const int steps = step_min == 60 ? 30 : 4;
  for (int step = 1; step <= steps; ++step) {
    const int hour = step_min == 60 ? (step - 1) % 24 + 1 : 24;
    const int day = step_min == 60 ? 21 + (step - 1) / 24 : 20 + step;
    basin.model().PotentialEvapotranspiration({2020, 6, day, hour});
    for (int r = mine.first; r <= mine.last; ++r) {
      for (int c = 1; c <= kCols; ++c) {
        for (const char* id : {"pot_transpiration0", "pot_transpiration1", "pot_transpiration2",
                               "potential_InterceptionEvap0", "potential_InterceptionEvap2", "potential_evaporation",
                               "AspectCorrectedGlobalRadiation", "cloudiness", "SSDTemp", "temperature",
                               "temperature_night"}) {
          values.push_back(basin.Values(id)(r, c));
        }
      }
    }
  }
  basin.model().FlushStatistics();
  basin.model().DeleteModule();
  return values;
}

class EvapotranspirationProcesses : public ::testing::Test {
 protected:
  test::TempDir band_dir_;
  test::TempDir whole_dir_;
  std::ostringstream console_;
  DiagnosticsLog log_{band_dir_.file("d.xml"), 4, console_};
};

TEST_F(EvapotranspirationProcesses, BandsAndThreadsComputeLikeOneProcessWithOneThread) {
  for (const int step_min : {60, 1440}) {
    SCOPED_TRACE(step_min);
    const std::vector<double> bands = RunBasin(log_, band_dir_.path().string(), false, 3, step_min);
    const std::vector<double> whole = RunBasin(log_, whole_dir_.path().string(), true, 1, step_min);
    ASSERT_EQ(bands.size(), whole.size());
    std::size_t differing = 0;
    double total = 0;
    for (std::size_t k = 0; k < whole.size(); ++k) {
      differing += bands[k] != whole[k] ? 1 : 0;
      total += whole[k] > 0 ? whole[k] : 0;
    }
    EXPECT_EQ(differing, 0u);
    EXPECT_GT(total, 0);
  }
}

}  // namespace
}  // namespace tolvo
