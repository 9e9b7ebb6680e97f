// The river records the routing shares with the soil model: which channel carries each
// sub-basin's water, its discharge and speed, and the re-infiltration taken from it.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "framework/riverflow_record.h"
#include "framework/tracer_settings_record.h"
#include "routing/routing_units.h"
#include "routing/routingclass.h"
#include "support/test_support.h"

namespace tolvo {
namespace {

constexpr int K = 4;

// Sub-basins 10, 11 and 12 (indices 1..3) share one channel ("SUMTRIB 10 & 11 & 12") into
// sub-basin 20 (index 4); steps of 60 minutes.
class RiverRecordTest : public test::LogFixture {
 protected:
  RiverRecordTest() {
    code_index_.assign(21, 0);
    code_index_[10] = 1;
    code_index_[11] = 2;
    code_index_[12] = 3;
    code_index_[20] = 4;
    abfrel_.relative_area = {10, 0.2, 0.2, 0.2, 0.4};
    abfrel_.scale = {1, 1, 1, 1, 1};
    tracers_.resize(2);
    const RoutingObjectSetup setup{.n_subbasins = 4,
                                   .dt_min = 60,
                                   .area_km2 = 10,
                                   .scale_factor = 1,
                                   .counts = {.sumtrib = 1, .ampersand = 2},
                                   .own_code = 20,
                                   .abfrel = &abfrel_,
                                   .code_index = code_index_,
                                   .n_tracers = 1,
                                   .tracers = tracers_,
                                   .largest_code = 20,
                                   .geometry = {.nodata_value = -9999}};
    object_ = std::make_unique<routingclass>(log_, setup);
    const std::vector<int> list = {11, 12};
    object_->InitChannel(1, 10, list, K, 0,
                         {.kh_h = 2, .kv_h = 2, .bm_m = 10, .bf_m = 100, .d_m = 2, .mm_m13s = 30, .mf_m13s = 10,
                          .slope = 0.001, .length_m = 20000, .catchment_km2 = 6},
                         {.qmin = 1, .qmax = 10000, .intervals = 40}, true);
    object_->InitAreaShares();
    routed_ = TracerRows(1, 4);
    flow_ = SubIntervalFlows(1, K, 4);
    cascade_ = TranslationCascades(1, 4);
  }

  std::vector<int> code_index_;
  AreaShares abfrel_;
  std::vector<TracerSettingsRecord> tracers_;
  std::vector<int> gauges_ = std::vector<int>(5, 0);
  std::unique_ptr<routingclass> object_;
  TracerRows routed_;
  SubIntervalFlows flow_;
  TranslationCascades cascade_;
};

TEST_F(RiverRecordTest, EverySubBasinOfAGroupChannelGetsItsOwnDischargeAndSpeed) {
  const double q[] = {0, 1.5, 0.3, 0};  // routing mm per step of indices 1..3 (none for 3)
  for (int i = 1; i <= 3; ++i) {
    routed_[0][static_cast<std::size_t>(i)] = q[i];
    routed_[1][static_cast<std::size_t>(i)] = 10.0 * i;
  }
  object_->SetFlowArrays(routed_, flow_, cascade_, nullptr, gauges_);
  std::vector<RiverflowRecord> table(5);
  for (RiverflowRecord& record : table) record.reinfiltration = record.reserved = 99;
  object_->SetRiverCellRecords(table, 3);
  const std::vector<double>& v = object_->channel(1).table.v;
  for (int i = 1; i <= 3; ++i) {
    SCOPED_TRACE(i);
    const RiverflowRecord& record = table[static_cast<std::size_t>(i)];
    EXPECT_EQ(record.channel, 1);
    EXPECT_EQ(record.routing_object, 3);
    EXPECT_EQ(record.area_km2, 6);
    EXPECT_EQ(record.flow_mm[0], q[i]);
    EXPECT_EQ(record.flow_mm[1], 10.0 * i);
    EXPECT_DOUBLE_EQ(record.flowm3s, q[i] * 6 * 16.6666667 / 60);
    EXPECT_EQ(record.speed, v[static_cast<std::size_t>(object_->RowIndex(1, q[i]))]);
    EXPECT_EQ(record.reinfiltration, 0);
    EXPECT_EQ(record.reserved, 0);
  }
  // No discharge: the speed of the table's first row.
  EXPECT_EQ(table[3].speed, v[1]);
  // The own sub-basin and entry 0 have no channel record.
  EXPECT_EQ(table[4].routing_object, 0);
  EXPECT_EQ(table[4].reinfiltration, 99);
  EXPECT_EQ(table[0].channel, 0);
}

TEST_F(RiverRecordTest, ReinfiltratedWaterLeavesTheRiverAndTheRecordIsRefreshed) {
  object_->SetFlowArrays(routed_, flow_, cascade_, nullptr, gauges_);
  object_->FillChannels();
  std::vector<RiverflowRecord> table(5);
  object_->SetRiverCellRecords(table, 1);
  for (int s = 1; s <= K; ++s) flow_(0, s, 2) = 2.0;
  table[2].reinfiltration = 0.5;  // m3/s taken by the soil model from sub-basin 11's river
  object_->RouteTimeStep(2001, 5, 1, 1);
  // The group channel read sub-basin 11 less the re-infiltration in routing millimetres.
  for (int s = 1; s <= K; ++s) EXPECT_DOUBLE_EQ(flow_(0, s, 2), 2.0 - ToRoutingMillimetres(0.5, 6, 60));
  object_->UpdateRiverCellRecords();
  EXPECT_EQ(table[2].reinfiltration, 0);
  EXPECT_EQ(table[2].flow_mm[0], routed_[0][2]);
  // A start-up routing takes nothing.
  table[2].reinfiltration = 0.5;
  object_->RouteTimeStep(0, 0, 0, 0);
  EXPECT_EQ(table[2].reinfiltration, 0.5);
}

}  // namespace
}  // namespace tolvo
