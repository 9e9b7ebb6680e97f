// Routing sub-basin objects: drainage-area shares, flow arrays, table files and release.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

#include "routing/routing_units.h"
#include "routing/routingclass.h"
#include "support/test_support.h"

namespace tolvo {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> Tokens(const std::string& line) {
  std::vector<std::string> tokens;
  std::istringstream in(line);
  for (std::string token; in >> token;) tokens.push_back(token);
  return tokens;
}

// Sub-basins with the codes 10, 20, ... (indices 1, 2, ...) in a basin of 10 km2.
class RoutingObjectTest : public test::LogFixture {
 protected:
  void SetSubbasins(const std::vector<double>& shares, double basin_km2 = 10) {
    const int n = static_cast<int>(shares.size());
    code_index_.assign(static_cast<std::size_t>(n) * 10 + 1, 0);
    abfrel_.relative_area = {basin_km2};
    for (int i = 1; i <= n; ++i) {
      code_index_[static_cast<std::size_t>(i) * 10] = i;
      abfrel_.relative_area.push_back(shares[static_cast<std::size_t>(i) - 1]);
    }
    abfrel_.scale.assign(static_cast<std::size_t>(n) + 1, 1.0);
  }

  std::unique_ptr<routingclass> Object(int own_code, BlockCounts counts, double area_km2, double scale = 1,
                                       int n_tracers = 0) {
    const RoutingObjectSetup setup{.control_file = {},
                                   .n_subbasins = static_cast<int>(abfrel_.scale.size()) - 1,
                                   .dt_min = 60,
                                   .area_km2 = area_km2,
                                   .scale_factor = scale,
                                   .counts = counts,
                                   .own_code = own_code,
                                   .abfrel = &abfrel_,
                                   .code_index = code_index_,
                                   .n_tracers = n_tracers,
                                   .tracers = {},
                                   .grids = nullptr,
                                   .zones = {},
                                   .column_ranges = {},
                                   .largest_code = 0,
                                   .geometry = {},
                                   .strip = {},
                                   .lake_model = 0,
                                   .readgrids = 0,
                                   .input_directory = {},
                                   .output_directory = {}};
    return std::make_unique<routingclass>(log_, setup);
  }

  // The reference channel: b = 10 m, d = 2 m, Mm = 30, I = 0.001, L = 10 km, Ac = 100 km2.
  static ChannelValues Reference() {
    return {.kh_h = 5,
            .kv_h = 10,
            .bm_m = 10,
            .bf_m = 100,
            .d_m = 2,
            .mm_m13s = 30,
            .mf_m13s = 10,
            .slope = 0.001,
            .length_m = 10000,
            .catchment_km2 = 100};
  }

  std::vector<int> code_index_;
  AreaShares abfrel_;
  const WQRange range_{.qmin = 1, .qmax = 10000, .intervals = 40};
};

TEST_F(RoutingObjectTest, OwnAndTributaryWeightsAddUpToTheScaleFactor) {
  // Sub-basin 30 takes 10 through its own channel and 20 with 40 through a shared one.
  SetSubbasins({0.1, 0.2, 0.3, 0.4});
  auto object = Object(30, {.ol = 1, .sumtrib = 1, .ampersand = 1}, 10, 2);
  object->InitChannel(1, 10, {}, 4, 0, Reference(), range_, true);
  const int group[] = {40};
  object->InitChannel(2, 20, group, 4, 0, Reference(), range_, true);
  object->InitAreaShares();
  EXPECT_DOUBLE_EQ(object->channel_weight(0), 0.3 / 1.0 * 2);
  EXPECT_DOUBLE_EQ(object->channel_weight(1), 0.1 / 1.0 * 2);
  EXPECT_DOUBLE_EQ(object->channel_weight(2), 0.6 / 1.0 * 2);
  EXPECT_DOUBLE_EQ(object->channel_weight(0) + object->channel_weight(1) + object->channel_weight(2), 2);
  // The sub-basin now stands for its whole drainage area, at its scale factor.
  EXPECT_DOUBLE_EQ(abfrel_.relative_area[3], 1.0);
  EXPECT_DOUBLE_EQ(abfrel_.scale[3], 2);
  // 1.0 of 10 km2 is the area of the block: no correction.
  EXPECT_EQ(object->area_km2(), 10);
  EXPECT_FALSE(Logged("INFO: Basin"));
}

TEST_F(RoutingObjectTest, ATributaryRoutedEarlierBringsItsWholeDrainageArea) {
  // 10 flows into 20, 20 into 30; the object of 20 weighs its area first.
  SetSubbasins({0.2, 0.3, 0.5});
  auto middle = Object(20, {.ol = 1}, 5);
  middle->InitChannel(1, 10, {}, 4, 0, Reference(), range_, true);
  auto outlet = Object(30, {.ol = 1}, 10);
  outlet->InitChannel(1, 20, {}, 4, 0, Reference(), range_, true);
  middle->InitAreaShares();
  outlet->InitAreaShares();
  EXPECT_DOUBLE_EQ(middle->channel_weight(0), 0.3 / 0.5);
  EXPECT_DOUBLE_EQ(outlet->channel_weight(1), 0.5);  // 10 and 20 together
  EXPECT_DOUBLE_EQ(outlet->channel_weight(0), 0.5);
  EXPECT_DOUBLE_EQ(abfrel_.relative_area[3], 1.0);
}

TEST_F(RoutingObjectTest, TheZoneGridAreaReplacesAnAreaMoreThanAThousandthKm2Off) {
  const struct {
    const char* what;
    double block_km2;
    double basin_km2;
    double area_after;
    bool info;
  } cases[] = {
      {"1.5 km2 more than the zone grid", 100, 98.5, 98.5, true},
      {"less than the zone grid", 98, 98.5, 98.5, true},
      {"within 0.001 km2", 98.5009, 98.5, 98.5009, false},
      {"no basin area to compare with", 100, 0, 100, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    console_.str("");
    SetSubbasins({1.0}, c.basin_km2);
    auto object = Object(10, {}, c.block_km2);
    object->InitAreaShares();
    EXPECT_DOUBLE_EQ(object->area_km2(), c.area_after);
    EXPECT_DOUBLE_EQ(object->channel_weight(0), 1.0);
    EXPECT_EQ(Logged("Basin 10: area in contr.file: "), c.info) << console_.str();
    if (c.info) {
      std::ostringstream entry;
      entry << "area in contr.file: " << c.block_km2 << " <-> zone-grid 98.5 (adjusted to the latter)";
      EXPECT_TRUE(Logged(entry.str())) << console_.str();
    }
  }
}

TEST_F(RoutingObjectTest, CascadesStartFullOfTheSourceDischargeOrAGaugedObservation) {
  // Sub-basin 30 takes 10 and 20; two tracers; an inflow of 2 m3/s over 10 km2.
  SetSubbasins({0.3, 0.3, 0.4});
  ChannelValues inflow = Reference();
  inflow.catchment_km2 = 10;
  const struct {
    const char* what;
    int substitution;
    bool ring;
    double water_10;  // the cascade of 10, gauged with 5.0
    double water_20;  // the cascade of 20, whose gauge has no value this step
  } cases[] = {
      {"observations replace simulated water", 1, true, 5.0, 2.5},
      {"without substitution", 0, true, 1.5, 2.5},
      {"without an observed-discharge file", 1, false, 1.5, 2.5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto object = Object(30, {.ol = 2, .zl = 1}, 10, 1, 2);
    object->InitChannel(1, 10, {}, 4, c.substitution, Reference(), range_, true);
    object->InitChannel(2, 20, {}, 4, c.substitution, Reference(), range_, true);
    object->inflow_slot(1) = 1;
    object->inflow_value(0, 1) = 2;
    object->InitChannel(3, 1, {}, 4, c.substitution, inflow, range_, false);

    TracerRows routed(2, 3 + 1);
    routed[0][1] = 1.5;
    routed[0][2] = 2.5;
    routed[1][1] = 0.3;
    routed[2][2] = 0.7;
    SubIntervalFlows sub_interval_flow(2, 4, 3 + 1);
    TranslationCascades cascades(2, 3 + 1);
    ObservedRing ring(2);
    ring.row(ObservedRing::kCurrentRow)[1] = 5.0;
    ring.row(ObservedRing::kCurrentRow)[2] = -9999;
    const std::vector<int> gauges = {0, 1, 2, 0};
    object->SetFlowArrays(routed, sub_interval_flow, cascades, c.ring ? &ring : nullptr, gauges);

    const auto expect_full = [&](int t, int f, double value, int channel) {
      const std::vector<double>& cascade = cascades(t, f);
      ASSERT_EQ(cascade.size(), static_cast<std::size_t>(4 + object->channel(channel).table.cascade_length) + 1);
      EXPECT_EQ(cascade[0], 0);
      for (std::size_t x = 1; x < cascade.size(); ++x) ASSERT_EQ(cascade[x], value) << t << " " << f << " " << x;
    };
    expect_full(0, 1, c.water_10, 1);
    expect_full(0, 2, c.water_20, 2);
    // Tracer concentrations are never replaced by observations.
    expect_full(1, 1, 0.3, 1);
    expect_full(2, 2, 0.7, 2);
    // The inflow starts with its value in routing millimetres over its catchment.
    EXPECT_DOUBLE_EQ(routed[0][4], ToRoutingMillimetres(2, 10, 60));
    EXPECT_DOUBLE_EQ(routed[0][4], 0.72);
    expect_full(0, 4, 0.72, 3);
    EXPECT_TRUE(cascades(0, 3).empty());  // the own sub-basin has no channel
  }
}

TEST_F(RoutingObjectTest, TableFilesShowTheChannelAsTheRoutingUsesIt) {
  SetSubbasins({0.2, 0.2, 0.2, 0.2, 0.2});
  auto object = Object(50, {.ol = 1, .sumtrib = 1, .ampersand = 2, .zl = 1}, 10);
  object->InitChannel(1, 10, {}, 4, 0, Reference(), range_, true);
  const int group[] = {30, 40};
  object->InitChannel(2, 20, group, 4, 0, {}, range_, true);  // every value left to its default
  object->InitChannel(3, 7, {}, 4, 0, Reference(), range_, false);
  {
    test::WorkingDirectory cwd(dir_.path());
    object->WriteWQTables();
  }
  const std::vector<std::string> own = Lines(test::ReadFile(dir_.file("wq_table.001")));
  ASSERT_EQ(own.size(), 3u + 16 + 4 + 41);
  EXPECT_EQ(own[0], "waterlevel-discharge-table for the channel of subbasin 10 to the outlet of subbasin 50");
  EXPECT_EQ(own[1], "input parameters from the control file:");
  EXPECT_EQ(own[2], std::string(42, '-'));
  EXPECT_EQ(own[3], "storage constant mean channel [h] :    5.00");
  EXPECT_EQ(own[4], "storage constant flood plain [h]  :   10.00");
  EXPECT_EQ(own[10], "slope angle            [1/1]      :  0.0010");
  EXPECT_EQ(own[11], "channel length         [m]        : 10000.0");
  EXPECT_EQ(own[15], "intervals for w-q-table[-]        :      41");
  EXPECT_EQ(own[16], "sub-intervals (time)   [-]        :       4  ");
  const int reaches = object->channel(1).table.reach_count;
  EXPECT_EQ(own[17],
            "number of sub-channels            : " + std::string(reaches < 10 ? 6 : 5, ' ') + std::to_string(reaches));
  std::size_t header_length = 0;
  for (int i = 19; i < 23; ++i) header_length += own[static_cast<std::size_t>(i)].size() + 1;
  EXPECT_EQ(header_length, 320u);
  // Row 21: 10 m3/s at its normal depth 1.12 m, 0.89 m/s, 3.11 h through 10 km.
  const std::vector<std::string> row = Tokens(own[23 + 20]);
  ASSERT_EQ(row.size(), 12u);
  EXPECT_EQ(row[0], "21");
  EXPECT_EQ(row[1], "0.360");
  EXPECT_EQ(row[2], "100.0");
  EXPECT_EQ(row[3], "10.00");
  EXPECT_EQ(row[4], "1.12");
  EXPECT_EQ(row[5], "0.00");
  EXPECT_EQ(row[7], "0.89");
  EXPECT_EQ(row[9], "3.11");
  EXPECT_EQ(row[11], "1.000");

  const std::vector<std::string> group_file = Lines(test::ReadFile(dir_.file("wq_table.002")));
  EXPECT_EQ(group_file[0],
            "waterlevel-discharge-table for the channel of subbasins 20, 30 and 40 to the outlet of "
            "subbasin 50");
  // Defaults: retention constants of 0.01 h and a slope of 0.0316^2.
  EXPECT_EQ(group_file[3], "storage constant mean channel [h] :    0.01");
  EXPECT_EQ(group_file[10], "slope angle            [1/1]      :  0.0010");
  EXPECT_EQ(group_file[12], "catchment area         [km^2]     :    0.00");
  const std::vector<std::string> inflow_file = Lines(test::ReadFile(dir_.file("wq_tabZL.007")));
  EXPECT_EQ(inflow_file[0], "waterlevel-discharge-table for the channel of inflow 7 to the outlet of subbasin 50");
}

TEST_F(RoutingObjectTest, AnUnwritableTableIsReportedAndTheOthersAreWritten) {
  SetSubbasins({0.3, 0.3, 0.4});
  auto object = Object(30, {.ol = 2}, 10);
  object->InitChannel(1, 10, {}, 4, 0, Reference(), range_, true);
  object->InitChannel(2, 20, {}, 4, 0, Reference(), range_, true);
  fs::create_directory(dir_.path() / "wq_table.001");
  {
    test::WorkingDirectory cwd(dir_.path());
    EXPECT_EQ(test::CodeOf([&] { object->WriteWQTables(); }), 0);
  }
  EXPECT_TRUE(Logged("error opening file wq_table.001 (check user rights or disk space)")) << console_.str();
  EXPECT_TRUE(fs::is_regular_file(dir_.path() / "wq_table.002"));
}

TEST_F(RoutingObjectTest, SmallOperations) {
  SetSubbasins({0.5, 0.5});
  auto empty = Object(20, {}, 10);
  EXPECT_EQ(empty->channel_count(), 0);
  EXPECT_EQ(empty->MaxCascadeLength(-5), 0);
  EXPECT_EQ(empty->MaxCascadeLength(7), 7);
  auto object = Object(20, {.ol = 1}, 10);
  object->InitChannel(1, 10, {}, 3, 0, Reference(), range_, true);
  const int length = object->channel(1).table.cascade_length;
  EXPECT_GT(length, 0);
  EXPECT_EQ(object->MaxCascadeLength(0), length);
  EXPECT_EQ(object->MaxCascadeLength(length + 1), length + 1);
  const double values[] = {99, 1, 5, 2, 98};
  EXPECT_EQ(object->MaxOverSubIntervals(values), 5);  // K = 3: entries 1..3 only
  EXPECT_EQ(object->RowIndex(1, 0), 1);
  EXPECT_EQ(object->RowIndex(1, 1e9), 41);
}

TEST_F(RoutingObjectTest, ChannelsWithinOneStepHaveOneSubChannel) {
  // A steep, wide channel 50 m long passes every discharge within one hour.
  SetSubbasins({0.5, 0.5});
  auto object = Object(20, {.ol = 1}, 10);
  object->InitChannel(1, 10, {}, 4, 0,
                      {.bm_m = 20,
                       .bf_m = 50,
                       .d_m = 3,
                       .mm_m13s = 40,
                       .mf_m13s = 20,
                       .slope = 0.01,
                       .length_m = 50,
                       .catchment_km2 = 10},
                      range_, true);
  const WQTable& table = object->channel(1).table;
  EXPECT_EQ(table.reach_count, 1);
  // Travel times below a quarter of an hour: no element of a 15-min sub-interval.
  EXPECT_LT(table.t[1], 0.25);
  EXPECT_EQ(table.cascade_length, (0 + 4) * 1);
}

TEST_F(RoutingObjectTest, ReleaseLogsWhatIsFreed) {
  SetSubbasins({0.2, 0.2, 0.2, 0.2, 0.2});
  auto object = Object(50, {.ol = 1, .sumtrib = 1, .ampersand = 1, .zl = 1}, 10);
  object->InitChannel(1, 10, {}, 4, 0, Reference(), range_, true);
  const int group[] = {30};
  object->InitChannel(2, 20, group, 4, 0, Reference(), range_, true);
  object->inflow_slot(1) = 3;
  object->InitChannel(3, 3, {}, 4, 0, Reference(), range_, false);
  object->DeleteModule();
  EXPECT_TRUE(
      Logged(" free memory TG 50, OL 1 (Subb. 10), OL 2 (Subb. 20, 30), (only ZL's), --> ZLs... 3, "
             "Rest...deleting module routingmodel"))
      << console_.str();
  EXPECT_TRUE(Logged(" ok"));
  EXPECT_EQ(object->channel_count(), -1);
}

}  // namespace
}  // namespace tolvo
