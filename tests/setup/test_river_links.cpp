#include "setup/river_links.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "framework/modelobject.h"
#include "support/test_support.h"

namespace tolvo {
namespace {

using test::GridOf;

constexpr double N = kNodata;

std::vector<std::pair<int, int>> CellsOf(const RiverLink& link) {
  std::vector<std::pair<int, int>> cells;
  for (const RiverLinkCell& cell : link.GetCells()) cells.emplace_back(cell.row, cell.col);
  return cells;
}

TEST(RiverLinks, CollectGroupsOrdersAndSizesTheLinks) {
  // Link 3 (from 3.7 and 3.0) has two stretches; link 1 and link 2 have two cells each.
  // Values 0, below 0 and nodata, and cells outside the zone, mark no link.
  const Grid zone = GridOf({{1, 1, 1, 1}, {1, 1, 1, N}, {1, 1, 1, 1}});
  const Grid links = GridOf({{3.7, 0, 2, 2}, {-1, N, 1, 5}, {1, 0, 0, 3.0}});
  const Grid elevation = GridOf({{10, 0, 7, 7}, {0, 0, 4, 0}, {6, 0, 0, 12}});
  const std::vector<RiverLink> found =
      CollectRiverLinks(zone.view(), links.view(), elevation.view(), kNodata);
  ASSERT_EQ(found.size(), 3u);
  // Equal sizes keep ascending ids.
  EXPECT_EQ(found[0].linkId, 1);
  EXPECT_EQ(found[1].linkId, 2);
  EXPECT_EQ(found[2].linkId, 3);
  // From the highest cell to the lowest; equal elevations keep the scan order.
  EXPECT_EQ(CellsOf(found[0]), (std::vector<std::pair<int, int>>{{3, 1}, {2, 3}}));
  EXPECT_EQ(CellsOf(found[1]), (std::vector<std::pair<int, int>>{{1, 3}, {1, 4}}));
  EXPECT_EQ(CellsOf(found[2]), (std::vector<std::pair<int, int>>{{3, 4}, {1, 1}}));
  EXPECT_EQ(found[2].cellCount, 2);
  EXPECT_EQ(found[2].LastCell().elevation, 10);
}

TEST(RiverLinks, LargerLinksComeFirst) {
  const Grid zone = GridOf({{1, 1, 1, 1}});
  const Grid links = GridOf({{4, 9, 9, 9}});
  const Grid elevation = GridOf({{0, 0, 0, 0}});
  const std::vector<RiverLink> found =
      CollectRiverLinks(zone.view(), links.view(), elevation.view(), kNodata);
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].linkId, 9);
  EXPECT_EQ(found[1].linkId, 4);
}

TEST(RiverLinks, StampAndListsOfOneProcess) {
  const Grid zone = GridOf({{1, 1}, {1, 1}});
  const Grid links = GridOf({{1, 2}, {1, 2}});
  const Grid elevation = GridOf({{5, 5}, {4, 6}});
  const Grid regions = GridOf({{0, 0}, {0, 0}});
  std::vector<RiverLink> found = CollectRiverLinks(zone.view(), links.view(), elevation.view(), kNodata);
  StampLinkCells(found, regions.view());
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[1].GetCells()[0].index, 0);
  EXPECT_EQ(found[1].GetCells()[1].index, 1);
  const LinkCellLists lists = BuildLinkCellLists(found, 0, 1);
  ASSERT_EQ(lists.heldLinkCells.size(), 1u);
  ASSERT_EQ(lists.ownedLinkCells.size(), 1u);
  EXPECT_EQ(lists.heldLinkCells[0].size(), 4u);
  EXPECT_EQ(lists.ownedLinkCells[0], lists.heldLinkCells[0]);
  // Link order, then link order of the cells: link 1 (5 m, 4 m), link 2 (6 m, 5 m).
  EXPECT_EQ(lists.heldLinkCells[0][0].elevation, 5);
  EXPECT_EQ(lists.heldLinkCells[0][2].elevation, 6);
}

TEST(RiverLinks, ListsAcrossRegions) {
  // Two links: link 7 owned by process 1 with a cell in region 0 and one in region 2;
  // link 8 owned by process 0 lying in region 0.
  std::vector<RiverLink> found;
  found.emplace_back(7);
  found.back().AddCell({.row = 1, .col = 1, .linkId = 7, .regionRank = 0});
  found.back().AddCell({.row = 1, .col = 2, .linkId = 7, .regionRank = 2});
  found.back().SetOwner(1);
  found.emplace_back(8);
  found.back().AddCell({.row = 2, .col = 1, .linkId = 8, .regionRank = 0});
  const LinkCellLists on0 = BuildLinkCellLists(found, 0, 3);
  ASSERT_EQ(on0.heldLinkCells.size(), 2u);
  EXPECT_EQ(on0.heldLinkCells[0].size(), 1u);
  EXPECT_EQ(on0.heldLinkCells[1].size(), 1u);
  EXPECT_EQ(on0.ownedLinkCells[0].size(), 1u);
  const LinkCellLists on1 = BuildLinkCellLists(found, 1, 3);
  EXPECT_TRUE(on1.heldLinkCells.empty());
  ASSERT_EQ(on1.ownedLinkCells.size(), 3u);
  EXPECT_EQ(on1.ownedLinkCells[0].size(), 1u);
  EXPECT_TRUE(on1.ownedLinkCells[1].empty());
  EXPECT_EQ(on1.ownedLinkCells[2].size(), 1u);
}

}  // namespace
}  // namespace tolvo
