// The per-step land-use update on a 1000 x 1000 basin with two land-use layers: a step
// inside the day (the day's mean temperature and the balance-period count), a day end
// (7-day mean, dynamic phenology, the parameters of every cell and layer), and one year of
// daily steps. The land uses mix fixed fixpoints with dynamic phenology.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "framework/date.h"
#include "framework/grid_table.h"
#include "framework/modelobject.h"
#include "tables/landuse_parameter_grids.h"
#include "tables/landuse_table.h"

namespace {

using namespace tolvo;

constexpr int kSize = 1000;

const std::string kTables = " Albedo = 0.2 0.2 0.2 0.2 0.2; rsc = 40 60 80 60 40; Z0 = 0.1 0.2 0.3 0.2 0.1;"
                            " VCF = 0.5 0.6 0.9 0.6 0.5; RootDepth = 0.5 1 1.5 1 0.5; AltDep = 0.01 0 0 0 0;";
const std::string kDP1 = " F* = 100; DP1_t1_dorm = 60; DP1_T_Bf = 0; JDReset_TStart = 300; maxStartJDforDP1 = 150;";
const std::vector<std::pair<std::string, std::string>> kEntries{
    {"VariableDayCount", " JulDays = 30 120 250 300 330; LAI = 1 2 4 3 1;" + kTables},
    {"DynamicPhenology_1", " JulDays = 1 100 -1 30 366; LAI = 1 2 5 6 1;" + kTables + kDP1},
    {"DynamicPhenology_3",
     " JulDays = 1 60 120 200 366; LAI = 1 2 4 3 1; ForcingThreshold = -1 200 400 -1 -1;" + kTables + kDP1}};

// Day and month of a day of the year 2001.
std::pair<int, int> DateOf(int jd) {
  int month = 1;
  while (jd > DaysInMonth(2001, month)) jd -= DaysInMonth(2001, month++);
  return {jd, month};
}

class Basin {
 public:
  Basin() {
    reader_.set_name("defaults");
    reader_.set_geometry({.ncols = kSize, .nrows = kSize, .cellsize = 100, .nodata_value = kNodata});
    reader_.set_strip({1, kSize});
    reader_.set_grid_table(table_.get());
    for (Grid* grid : {&zone_, &elevation_, &albedo_, &temperature_, &code1_, &code2_}) {
      *grid = Grid(1, kSize, kSize, kSize);
    }
    for (int r = 1; r <= kSize; ++r) {
      for (int c = 1; c <= kSize; ++c) {
        zone_(r, c) = (r - 500) * (r - 500) + (c - 500) * (c - 500) < 490000 ? 1 : kNodata;
        elevation_(r, c) = 300 + 0.5 * r + 0.2 * c;
        code1_(r, c) = 1 + (r / 7 + c / 11) % 3;
        code2_(r, c) = 1 + (r / 13 + c / 5) % 3;
      }
    }
    reader_.RegisterGrid(1, "zone", zone_.view(), {}, 0, "zone", 0, 1, kSize);
    reader_.RegisterGrid(2, "dem", elevation_.view(), {}, 0, "dem", 0, 1, kSize);
    reader_.RegisterGrid(3, "albedo", albedo_.view(), {}, 0, "albedo", 0, 1, kSize);
    reader_.RegisterGrid(4, "temperature", temperature_.view(), {}, 0, "temperature", 0, 1, kSize);
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
    grids_.generateMultiLayerParameterGrids(
        reader_, *landuse_, codes_,
        {std::as_const(zone_).view(), std::as_const(elevation_).view(), {}, {2001, 1, 1, 0}});
  }

  void Step(int jd, int hour, double minutes) {
    const auto [day, month] = DateOf(jd);
    temperature_.fill(-5 + 0.1 * jd);
    grids_.UpdateLanduseParameters(reader_, *landuse_, codes_, hour, day, month, 2001, minutes);
  }
  long long cells() const { return static_cast<long long>(kSize) * kSize; }

 private:
  std::ostringstream console_;
  DiagnosticsLog log_{(std::filesystem::temp_directory_path() / "bench_landuse_update.xml").string(), 0, console_};
  modelobject reader_{log_, "control.txt"};
  std::unique_ptr<grid_table> table_ = std::make_unique<grid_table>();
  Grid zone_, elevation_, albedo_, temperature_, code1_, code2_;
  std::vector<ConstGridView> codes_;
  std::unique_ptr<LanduseTable> landuse_;
  LanduseParameterGrids grids_;
};

Basin& SharedBasin() {
  static Basin basin;
  return basin;
}

void BM_StepInsideTheDay(benchmark::State& state) {
  Basin& basin = SharedBasin();
  for (auto _ : state) basin.Step(100, 12, 60);
  state.SetItemsProcessed(state.iterations() * basin.cells());
}
BENCHMARK(BM_StepInsideTheDay)->Unit(benchmark::kMillisecond);

void BM_DayEnd(benchmark::State& state) {
  Basin& basin = SharedBasin();
  int jd = 100;
  for (auto _ : state) {
    basin.Step(jd, 24, 1440);
    jd = jd == 365 ? 1 : jd + 1;
  }
  state.SetItemsProcessed(state.iterations() * basin.cells());
}
BENCHMARK(BM_DayEnd)->Unit(benchmark::kMillisecond);

void BM_YearOfDailySteps(benchmark::State& state) {
  Basin& basin = SharedBasin();
  for (auto _ : state) {
    for (int jd = 1; jd <= 365; ++jd) basin.Step(jd, 24, 1440);
  }
  state.SetItemsProcessed(state.iterations() * 365 * basin.cells());
}
BENCHMARK(BM_YearOfDailySteps)->Unit(benchmark::kSecond)->Iterations(1);

}  // namespace
