// Irrigation under 1, 2 and 3 processes: each process holds only its band of the soil
// model's grids; process 0 decides for every cell from gathered inputs, and every cell's
// amount and precipitation are those the rules give, whatever the number of processes.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "framework/grid_table.h"
#include "framework/model_settings.h"
#include "framework/modelobject.h"
#include "framework/statistics_registry.h"
#include "routing/irrigationclass.h"
#include "support/row_bands.h"
#include "support/test_support.h"

namespace tolvo {
namespace {

using test::WorldRank;
using test::WorldSize;

constexpr int kRows = 6;
constexpr int kCols = 4;

// Column 1: 24 mm a day from surface water; column 2: the same from groundwater, at most
// 0.1 r mm; column 3: soil moisture 0.1 + 0.02 r, irrigated below 0.2 up to 0.3 over
// 0.5 m of roots, from groundwater (at most 0.1 r mm); column 4: no rule.
double Expected(int r, int c) {
  switch (c) {
    case 1:
      return 1;
    case 2:
      return std::min(1.0, 0.1 * r);
    case 3: {
      const double sb = 0.1 + 0.02 * r;
      return sb < 0.2 ? std::min(0.1 * r, (0.3 - sb) * 0.5 * 1000 * 60 / 1440) : 0.0;
    }
    default:
      return 0;
  }
}

TEST(IrrigationOnProcesses, EveryCellGetsWhatItsRuleGivesWhateverTheBands) {
  const int rank = WorldRank();
  const int size = WorldSize();
  test::TempDir dir;
  std::ostringstream console;
  DiagnosticsLog log(dir.file("d.xml"), 4, console);
  test::RowBandLayout bands(rank, size, kRows, kCols);
  const RowRange band = test::RowBand(rank, size, kRows);

  IrrigationTable table(4);
  table[0].code = 3;
  for (int k = 1; k <= 2; ++k) {
    IrrigationRecord& rule = table[static_cast<std::size_t>(k)];
    rule.method = IrrigationMethod::ScheduleRules;
    rule.origin = k == 1 ? 2 : 1;
    rule.tabcnt = 1;
    rule.month = {0, 6};
    rule.day = {0, 1};
    rule.amount = {0, 24};
  }
  table[3].method = IrrigationMethod::DemandBySuction;
  table[3].origin = 1;
  table[3].minETRbyETP = 0;

  test::WriteFile(dir.file("c.ctl.$$$"), "[irrigation]\n1\n60\nirr_gw.stat 2001\nirr_sw.stat 2001\n");
  ModelSettings settings;
  settings.compiled_control_file = dir.file("c.ctl.$$$");
  settings.geometry = {.ncols = kCols, .nrows = kRows, .cellsize = 100, .nodata_value = kNodata};
  settings.strip = band;
  settings.layout = &bands.layout();
  grid_table grids;
  settings.grids = &grids;
  std::array<ZoneRecord, 2> records{};
  records[0].rel = 0.24;
  records[1] = {.n = 0, .sx = 0, .zonenwert = 1, .rel = 1, .RelCellSum = 0};
  const std::array<int, 2> code_index{0, 1};
  settings.zones = {.zone_count = 1, .largest_code = 1, .zones = records, .code_index = code_index,
                    .column_ranges = {}};
  settings.output_directory = dir.path().string() + "/";
  settings.irrigation = &table;

  modelobject reader(log, settings.compiled_control_file);
  reader.set_geometry(settings.geometry);
  reader.set_strip(band);
  reader.set_grid_table(&grids);
  std::deque<Grid> storage;
  Grid& zones = storage.emplace_back(1, kRows, kCols, kRows);
  for (int r = 1; r <= kRows; ++r) {
    for (int c = 1; c <= kCols; ++c) zones(r, c) = 1;
  }
  reader.RegisterGrid(kZoneGridIndex, "zones.asc", zones.view(), {}, 0, "[zone_grid]", 0, 1, kRows);
  // The soil model's grids over the band alone.
  const std::map<std::string, double (*)(int, int)> values = {
      {"precipitation", [](int, int) { return 2.0; }},
      {"irrigation_codes", [](int, int c) { return c <= 3 ? double(c) : 0.0; }},
      {"Max_Pumping", [](int r, int) { return 0.1 * r; }},
      {"irrigation_amounts", [](int, int) { return 0.0; }},
      {"SB_1_grid", [](int r, int) { return 0.1 + 0.02 * r; }},
      {"SBLOW_grid", [](int, int) { return 0.2; }},
      {"SBHIGH_grid", [](int, int) { return 0.3; }},
      {"ETR2ETP", [](int, int) { return 1.0; }},
      {"root_depth1", [](int, int) { return 0.5; }},
  };
  std::map<std::string, GridView> bound;
  int index = 2;
  for (const auto& [id, value] : values) {
    Grid& grid = storage.emplace_back(band.first, band.last, kCols, kRows);
    for (int r = band.first; r <= band.last; ++r) {
      for (int c = 1; c <= kCols; ++c) grid(r, c) = value(r, c);
    }
    reader.RegisterGrid(index++, id + ".asc", grid.view(), {}, 0, id, 0, band.first, band.last);
    bound[id] = grid.view();
  }

  StatisticsRegistry registry;
  irrigationclass model(log, registry, settings);
  TracerRows maxirrig(0, 1);
  TracerRows from_reservoirs(0, 1);
  maxirrig[0][1] = 1000;
  const RoutingTarget target{.tributaries = {0, 1, 0}, .target = {0, 0}, .object_number = {0, 1}};
  const AreaShares abfrel{.relative_area = {0.24, 1}, .scale = {1, 1}};
  // The routing's arrays exist on process 0 only.
  model.SetMaxIrrigation(rank == 0 ? &maxirrig : nullptr, rank == 0 ? &from_reservoirs : nullptr);
  model.SetRoutingTarget(rank == 0 ? &target : nullptr);
  model.SetAbfrel(rank == 0 ? &abfrel : nullptr);
  model.RunStep(1, 1, 6, 2020);

  for (int r = band.first; r <= band.last; ++r) {
    for (int c = 1; c <= kCols; ++c) {
      SCOPED_TRACE(std::to_string(r) + "," + std::to_string(c));
      EXPECT_DOUBLE_EQ(bound["irrigation_amounts"](r, c), Expected(r, c));
      EXPECT_DOUBLE_EQ(bound["precipitation"](r, c), 2 + Expected(r, c));
    }
  }
  if (rank == 0) {
    // The surface-water demand: 1 mm on six of the 24 cells.
    const std::span<ZoneRecord> demand = model.GetSurfaceWaterDemand();
    EXPECT_DOUBLE_EQ(demand[1].sx / demand[1].RelCellSum, 0.25);
  }
  model.DeleteModule();
}

}  // namespace
}  // namespace tolvo
