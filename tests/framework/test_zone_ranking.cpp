#include "framework/zone_ranking.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "framework/error_code.h"
#include "framework/modelobject.h"
#include "support/test_support.h"

namespace tolvo {
namespace {

using test::CodeOf;

constexpr double N = kNodata;

class ZoneRankingTest : public test::LogFixture {
 protected:
  // A zone grid of the given rows (all of equal length) with cells of 100 m.
  void SetZones(const std::vector<std::vector<double>>& rows) {
    const int nrows = static_cast<int>(rows.size());
    const int ncols = static_cast<int>(rows.front().size());
    reader_.set_geometry({.ncols = ncols, .nrows = nrows, .cellsize = 100, .nodata_value = kNodata});
    zone_ = Grid(1, nrows, ncols, nrows);
    for (int r = 1; r <= nrows; ++r) {
      for (int c = 1; c <= ncols; ++c) zone_(r, c) = rows[r - 1][c - 1];
    }
  }
  ZoneRanking Rank(ConstGridView weights = {}) {
    return RankZoneGrid(reader_, std::as_const(zone_).view(), "zones.asc", weights, {1, zone_.rows().last});
  }

  modelobject reader_{log_, "control.txt"};
  Grid zone_;
};

TEST_F(ZoneRankingTest, IndicesFollowTheCodesWhateverTheirOrderOfAppearance) {
  SetZones({{5, 5, N, 2}, {9, N, N, N}, {N, N, N, N}, {N, N, N, 4.6}});
  const ZoneRanking ranking = Rank();
  ASSERT_EQ(ranking.zone_count, 4);
  EXPECT_EQ(ranking.largest_code, 9);
  // Codes 2, 4 (from 4.6), 5, 9 get indices 1 to 4.
  EXPECT_EQ(ranking.code_index[2], 1);
  EXPECT_EQ(ranking.code_index[4], 2);
  EXPECT_EQ(ranking.code_index[5], 3);
  EXPECT_EQ(ranking.code_index[9], 4);
  EXPECT_EQ(ranking.code_index[3], 0);
  EXPECT_DOUBLE_EQ(ranking.zones[2].zonenwert, 4.6);
  EXPECT_DOUBLE_EQ(ranking.zones[3].sx, 2);
  // Five cells of 100 m: zone 5 has 2/5 of them, the domain 5 x 0.01 km2.
  EXPECT_DOUBLE_EQ(ranking.zones[3].rel, 0.4);
  EXPECT_DOUBLE_EQ(ranking.zones[3].RelCellSum, 2);
  EXPECT_DOUBLE_EQ(ranking.zones[0].rel, 0.05);
  EXPECT_DOUBLE_EQ(ranking.zones[0].n, 0);
  EXPECT_EQ(ranking.column_ranges[1], (ColumnRange{1, 4}));
  EXPECT_EQ(ranking.column_ranges[2], (ColumnRange{1, 1}));
  EXPECT_EQ(ranking.column_ranges[3], (ColumnRange{0, -1}));
  EXPECT_EQ(ranking.column_ranges[4], (ColumnRange{4, 4}));
  EXPECT_NE(console_.str().find("ranking zones from zones.asc for "), std::string::npos);
}

TEST_F(ZoneRankingTest, WeightsAreSummedPerZone) {
  SetZones({{1, 1}, {2, N}});
  Grid weights(1, 2, 2, 2);
  weights(1, 1) = 0.5;
  weights(1, 2) = 1.5;
  weights(2, 1) = 1.0;
  const ZoneRanking ranking = Rank(std::as_const(weights).view());
  EXPECT_DOUBLE_EQ(ranking.zones[1].n, 2.0);
  EXPECT_DOUBLE_EQ(ranking.zones[1].sx, 2.0);
  EXPECT_DOUBLE_EQ(ranking.zones[1].rel, 2.0 / 3.0);
  EXPECT_DOUBLE_EQ(ranking.zones[2].rel, 1.0 / 3.0);
  EXPECT_DOUBLE_EQ(ranking.zones[0].rel, 3.0 * 0.01);
}

TEST_F(ZoneRankingTest, CodeLimits) {
  struct Case {
    double value;
    int code;
  };
  for (const Case& c : {Case{0, 0}, Case{32767, 0}, Case{-1, 3}, Case{32768, 3}}) {
    SCOPED_TRACE(c.value);
    SetZones({{1, c.value}});
    EXPECT_EQ(CodeOf([&] { Rank(); }), c.code);
  }
  EXPECT_NE(console_.str().find("invalid zone code in zones.asc!\n (codes has to be between 0 and 32767)!"),
            std::string::npos);
}

TEST_F(ZoneRankingTest, AtMost16000Zones) {
  std::vector<std::vector<double>> rows(2, std::vector<double>(8001, N));
  for (int c = 0; c < 8000; ++c) {
    rows[0][c] = c;
    rows[1][c] = 8000 + c;
  }
  SetZones(rows);
  EXPECT_EQ(Rank().zone_count, 16000);
  rows[1][8000] = 16000;
  SetZones(rows);
  EXPECT_EQ(CodeOf([&] { Rank(); }), 4);
  EXPECT_NE(console_.str().find("too much zones in zones.asc, (max. 16000)!"), std::string::npos);
}

TEST_F(ZoneRankingTest, NoZoneCellOrZeroWeightIsRefused) {
  SetZones({{N, N}});
  EXPECT_EQ(CodeOf([&] { Rank(); }), 7);
  EXPECT_NE(console_.str().find("all cells in the zone grid zones.asc are NODATA!"), std::string::npos);
  SetZones({{1, 2}});
  Grid weights(1, 1, 2, 1);
  EXPECT_EQ(CodeOf([&] { Rank(std::as_const(weights).view()); }), 7);
}

}  // namespace
}  // namespace tolvo
