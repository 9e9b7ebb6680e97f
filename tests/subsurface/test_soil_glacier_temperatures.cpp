#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "subsurface/soil_glacier_temperatures.h"

namespace tolvo {
namespace {

// A map drawn row by row: '.' outside the basin, 'g' a basin cell that lends nothing
// (glacier), 'd' a donor.
std::vector<RingCell> Draw(const std::vector<std::string>& rows) {
  std::vector<RingCell> cells;
  for (const std::string& row : rows) {
    for (const char ch : row) {
      cells.push_back(ch == 'd' ? RingCell::kDonor : ch == 'g' ? RingCell::kBasin : RingCell::kOutside);
    }
  }
  return cells;
}

struct DonorCase {
  const char* name;
  std::vector<std::string> map;
  GridCell glacier;
  std::optional<GridCell> donor;
};

// Rings are scanned clockwise from the cell straight above: right along the upper row,
// down the right column, left along the lower row, up the left column and right again
// to the start; the first donor wins, a nearer ring before a farther one.
TEST(GlacierTemperatureDonor, RingOrderAndEnd) {
  const std::vector<DonorCase> cases = {
      {"straight above before the upper left corner", {"ddg", "ggg", "ggg"}, {2, 2}, GridCell{1, 2}},
      {"right column before the wrap to the upper left", {"dgg", "ggd", "ggg"}, {2, 2}, GridCell{2, 3}},
      {"the right column runs down to the lower right corner", {"ggg", "dgg", "gdd"}, {2, 2}, GridCell{3, 3}},
      {"lower row, leftwards, before the left column", {"ggg", "dgg", "dgg"}, {2, 2}, GridCell{3, 1}},
      {"left column upwards, before the upper left corner", {"dgg", "dgg", "ggg"}, {2, 2}, GridCell{2, 1}},
      {"the upper left corner is the ring's last cell", {"dgg", "ggg", "ggg"}, {2, 2}, GridCell{1, 1}},
      {"a ring of glacier cells leads to the next ring",
       {".....", ".ggg.", ".ggg.", ".ggg.", "d...."},
       {3, 3},
       GridCell{5, 1}},
      {"a ring without a basin cell ends the search", {"d....", ".....", "..g..", ".....", "....."}, {3, 3},
       std::nullopt},
      {"cells outside the grid are skipped", {"gg.", "gdg", "..."}, {1, 1}, GridCell{2, 2}},
      {"an all-glacier basin has no donor", {"ggg", "ggg"}, {1, 2}, std::nullopt},
      {"ring 2 in order: right column before the lower row and the left column",
       {".....", ".ggg.", "dgggd", ".ggg.", "..d.."},
       {3, 3},
       GridCell{3, 5}},
  };
  for (const DonorCase& k : cases) {
    const std::vector<RingCell> cells = Draw(k.map);
    const RingMap map{.cells = cells, .nrows = static_cast<int>(k.map.size()),
                      .ncols = static_cast<int>(k.map[0].size())};
    EXPECT_EQ(find_temperature_donor(map, k.glacier.row, k.glacier.col), k.donor) << k.name;
  }
}

}  // namespace
}  // namespace tolvo
