// The soil model and the groundwater model coupled as the run couples them: per sub-step
// the soil columns draw the rate the aquifer handed back, then the aquifer takes the soil's
// water table and hands back the new rate. Without wells or fixed heads the aquifer only
// moves water between cells, so the hand-back sums to zero over the basin, and the soil
// columns still keep their water balance.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <limits>

#include "subsurface/groundwater_fixture.h"
#include "subsurface/gwflowclass.h"
#include "subsurface/soil_model_fixture.h"

namespace tolvo::test {
namespace {

class SoilGroundwaterTest : public SoilModelTest {
 protected:
  // The evapotranspiration summed over the cells outside the river cell (row 1, column 3), mm.
  double EvapotranspirationOffTheRiver() {
    double sum = 0;
    for (int r = 1; r <= kRows; ++r) {
      for (int c = 1; c <= kCols; ++c) sum += r == 1 && c == 3 ? 0 : grid("real_transpiration0")(r, c);
    }
    return sum;
  }

  // Soil and a two-layer aquifer under a basin falling from row 1 to row 4, with a little
  // evapotranspiration; the section's river items as given.
  void BuildCoupled(const SoilSectionText& section) {
    rain_ = Add("precipitation", 0);
    Add("[elevation_model]", kElevation);
    // The land falls from row 1 to row 4, so that the aquifer moves water down the slope.
    for (int r = 1; r <= kRows; ++r) {
      for (int c = 1; c <= kCols; ++c) grid("[elevation_model]")(r, c) = kElevation - 0.5 * r;
    }
    for (const char* id : {"pot_transpiration1", "potential_evaporation"}) {
      GridView g = grid(id);
      for (int r = 1; r <= kRows; ++r) {
        for (int c = 1; c <= kCols; ++c) g(r, c) = 0.05;
      }
    }
    for (int n = 1; n <= 2; ++n) {
      const std::string k = std::to_string(n);
      Add("aquifer_thickness_" + k, 10);
      Add("gw_k_x_" + k, 1e-4);
      Add("gw_k_y_" + k, 1e-4);
      Add("gw_storage_coeff_" + k, 0.05);
      Add("gw_boundary_fix_h_" + k, kNodata);
      Add("gw_boundary_fix_q_" + k, kNodata);
    }
    Add("gw_kolmation_1", 1e-6);
    GroundwaterSection gw;
    gw.method = 2;
    ASSERT_EQ(Build(section, gw.Render()), 0);
    model_->groundwater_coupling = 1;
    ASSERT_EQ(InFolder([&] { aquifer_ = std::make_unique<gwflowclass>(log_, registry_, settings_, 1); }), 0);
    ASSERT_EQ(InFolder([&] {
                model_->selectInfiltrationInput(false);
                model_->InitTracers(0, {}, registry_, StatisticsRegistry::kCapacity);
              }),
              0);
  }
  GridView rain_;
  std::unique_ptr<gwflowclass> aquifer_;
};

TEST_F(SoilGroundwaterTest, HandBackSumsToZeroAndTheSoilBalanceCloses) {
  BuildCoupled(SoilSectionText{});
  if (HasFatalFailure()) return;
  GridView rain = rain_;
  // With the groundwater model the soil model keeps a river record per sub-basin index.
  ASSERT_NE(model_->getRiverflowTable(), nullptr);
  EXPECT_EQ(model_->getRiverflowTable()->size(), 3u);
  const auto active = [&](int r, int c) { return !(r == 1 && c == 3); };
  double largest_rate = 0, largest_sum = 0, largest_miss = 0;
  for (int h = 0; h < 48; ++h) {
    SCOPED_TRACE(h);
    const ModelDate d{2020, 6, 1 + h / 24, h % 24};
    for (int r = 1; r <= kRows; ++r) {
      for (int c = 1; c <= kCols; ++c) rain(r, c) = h % 12 < 3 ? 3.0 * r : 0;
    }
    const double water_before = model_->own_cells_water_mm();
    const double et_before = EvapotranspirationOffTheRiver();
    ASSERT_EQ(InFolder([&] {
                model_->prepareTimeStep(d);
                aquifer_->BeginStep(d);
                model_->SubStep(d);
              }),
              0);
    // The soil balance of the sub-step: "baseflow" holds the water the columns gave to
    // (positive) or took from (negative) the aquifer, in mm.
    double input = 0, out = 0;
    for (int r = 1; r <= kRows; ++r) {
      for (int c = 1; c <= kCols; ++c) {
        if (!active(r, c)) continue;
        input += rain(r, c);
        out += grid("directflow")(r, c) + grid("interflow")(r, c) + grid("baseflow")(r, c) +
               grid("real_transpiration0")(r, c);
      }
    }
    const double miss = input - (out - et_before + model_->own_cells_water_mm() - water_before);
    largest_miss = std::max(largest_miss, std::abs(miss));
    EXPECT_NEAR(miss, 0, 1e-9);
    ASSERT_EQ(InFolder([&] {
                aquifer_->SubStep(d);
                model_->concentrateSubbasinRunoff(d);
                aquifer_->EndStep(d);
              }),
              0);
    // The hand-back [m/s] of the top layer over the basin.
    double sum = 0;
    for (int r = 1; r <= kRows; ++r) {
      for (int c = 1; c <= kCols; ++c) {
        if (!active(r, c)) continue;
        sum += grid("baseflow")(r, c);
        largest_rate = std::max(largest_rate, std::abs(grid("baseflow")(r, c)));
      }
    }
    largest_sum = std::max(largest_sum, std::abs(sum));
  }
  EXPECT_GT(largest_rate, 1e-10) << "the aquifer moved water between the cells";
  // Round-off: the rates come from heads near 500 m, whose last bit (1e-13 m) is a rate
  // of S·1e-13 m / 3600 s per cell.
  const double round_off = 16 * 11 * std::numeric_limits<double>::epsilon() * kElevation * 0.05 / 3600;
  EXPECT_LE(largest_sum, round_off) << "largest rate " << largest_rate;
  RecordProperty("largest soil balance miss [mm]", std::to_string(largest_miss));
}

// A river runs down column 2 of sub-basin 2. Its cells drain groundwater above the bed
// into it and, when the water table falls below the bed, take river water, no more than
// the river carries. The soil balance closes with both river terms, and the river's sum of
// takes, times the step, is the volume the cells received.
TEST_F(SoilGroundwaterTest, RiverCellsExchangeWithTheirRiverAndTheBalancesClose) {
  GridView depth = Add("river_depth", 0);
  GridView width = Add("river_width", 0);
  GridView kolmation = Add("kolmation", 0);
  GridView links = Add("river_links", kNodata);
  for (int r = 2; r <= kRows; ++r) {
    depth(r, 2) = 0.15;
    width(r, 2) = 3;
    kolmation(r, 2) = 1e-4;
    links(r, 2) = 2;
  }
  SoilSectionText section;
  section.interaction = 2;
  BuildCoupled(section);
  if (HasFatalFailure()) return;
  std::vector<RiverflowRecord>& rivers = *model_->getRiverflowTable();
  double largest_miss = 0, infiltrated = 0, exfiltrated = 0, short_steps = 0;
  for (int h = 0; h < 72; ++h) {
    SCOPED_TRACE(h);
    const ModelDate d{2020, 6, 1 + h / 24, h % 24};
    for (int r = 1; r <= kRows; ++r) {
      for (int c = 1; c <= kCols; ++c) rain_(r, c) = h < 6 ? 4.0 : 0;
    }
    // The routing's refresh: a small river, so that it runs short on dry days.
    rivers[2].flowm3s = 2e-4;
    rivers[2].speed = 0.2;
    rivers[2].reinfiltration = 0;
    const double water_before = model_->own_cells_water_mm();
    const double et_before = EvapotranspirationOffTheRiver();
    ASSERT_EQ(InFolder([&] {
                model_->prepareTimeStep(d);
                aquifer_->BeginStep(d);
                model_->SubStep(d);
              }),
              0);
    double input = 0, out = 0, volume = 0, exfiltration_2 = 0;
    for (int r = 1; r <= kRows; ++r) {
      for (int c = 1; c <= kCols; ++c) {
        if (r == 1 && c == 3) continue;
        const double in = grid("river_infiltration")(r, c), ex = grid("river_exfiltration")(r, c);
        input += rain_(r, c) + in;
        out += grid("directflow")(r, c) + grid("interflow")(r, c) + grid("baseflow")(r, c) +
               grid("real_transpiration0")(r, c) + ex;
        volume += in / 1000 * 100 * 100;
        infiltrated += in;
        exfiltrated += ex;
        if (r >= 2) exfiltration_2 += ex;
        if (c != 2 || r == 1) {
          EXPECT_EQ(in + ex, 0) << "row " << r << " col " << c << " has no river";
        }
      }
    }
    const double miss = input - (out - et_before + model_->own_cells_water_mm() - water_before);
    largest_miss = std::max(largest_miss, std::abs(miss));
    EXPECT_NEAR(miss, 0, 1e-9);
    EXPECT_LE(rivers[2].reinfiltration, rivers[2].flowm3s * (1 + 1e-12));
    EXPECT_NEAR(rivers[2].reinfiltration * 3600, volume, 1e-9 * std::max(1.0, volume));
    if (rivers[2].reinfiltration >= rivers[2].flowm3s * (1 - 1e-12)) ++short_steps;
    ASSERT_EQ(InFolder([&] {
                aquifer_->SubStep(d);
                model_->concentrateSubbasinRunoff(d);
                aquifer_->EndStep(d);
              }),
              0);
    // The base flow of sub-basin 2 (rows 2..4, nine cells) is its cells' mean exfiltration.
    EXPECT_NEAR(model_->getQBb()[0][2], exfiltration_2 / 9, 1e-12);
  }
  EXPECT_GT(exfiltrated, 0);
  EXPECT_GT(infiltrated, 0);
  EXPECT_GT(short_steps, 0) << "the river ran short";
  RecordProperty("river exchange [mm]", std::to_string(infiltrated) + " in, " + std::to_string(exfiltrated) + " out");
}

// The soil takes the hand-back whatever its state: a strong rise from below fills the
// column and the rest runs off at the surface; a strong loss drains the layers below the
// water table to field capacity, and what they cannot give is not drawn. Per sub-step
// the soil's balance closes with the water it drew ("baseflow", mm).
TEST_F(SoilGroundwaterTest, StrongHandBackFillsTheColumnOrDrainsItAndTheSoilBalanceCloses) {
  BuildCoupled(SoilSectionText{});
  if (HasFatalFailure()) return;
  const auto active = [&](int r, int c) { return !(r == 1 && c == 3); };
  double return_flow = 0, not_drawn = 0;
  for (int h = 0; h < 24; ++h) {
    SCOPED_TRACE(h);
    const ModelDate d{2020, 6, 1, h};
    // m/s: 14 mm an hour rising into row 4 for twelve hours, then 11 mm an hour leaving it.
    const double rate = h < 12 ? -1e-6 : 0.75e-6;
    double handed_back = 0;
    for (int r = 1; r <= kRows; ++r) {
      for (int c = 1; c <= kCols; ++c) {
        rain_(r, c) = h % 5 == 0 ? 2.0 : 0;
        if (!active(r, c)) continue;
        grid("baseflow")(r, c) = rate * r;
        handed_back += rate * r * 3600 * 1000;
      }
    }
    const double water_before = model_->own_cells_water_mm();
    const double et_before = EvapotranspirationOffTheRiver();
    ASSERT_EQ(InFolder([&] {
                model_->prepareTimeStep(d);
                model_->SubStep(d);
              }),
              0);
    double input = 0, out = 0, drawn = 0, direct = 0;
    for (int r = 1; r <= kRows; ++r) {
      for (int c = 1; c <= kCols; ++c) {
        if (!active(r, c)) continue;
        input += rain_(r, c);
        drawn += grid("baseflow")(r, c);
        direct += grid("directflow")(r, c);
        out += grid("directflow")(r, c) + grid("interflow")(r, c) + grid("baseflow")(r, c) +
               grid("real_transpiration0")(r, c);
      }
    }
    EXPECT_NEAR(input - (out - et_before + model_->own_cells_water_mm() - water_before), 0, 1e-9);
    if (rate < 0) {
      EXPECT_NEAR(drawn, handed_back, 1e-9) << "a rise from below is taken whole";
      return_flow += std::max(0.0, direct - input);
    } else {
      EXPECT_LE(drawn, handed_back + 1e-9);
      EXPECT_GE(drawn, 0);
      not_drawn += handed_back - drawn;
    }
    ASSERT_EQ(InFolder([&] { model_->concentrateSubbasinRunoff(d); }), 0);
  }
  EXPECT_GT(return_flow, 1) << "the column filled and the rise ran off at the surface";
  EXPECT_GT(not_drawn, 1) << "the column ran out of water to give";
}

}  // namespace
}  // namespace tolvo::test
