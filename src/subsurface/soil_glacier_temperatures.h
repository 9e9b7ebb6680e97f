#pragma once
// Soil temperatures of fully glacierized cells. The column solver does not compute a cell
// under a whole glacier; its soil takes the temperature profile of the nearest cell that
// it does compute, corrected by the lapse rate for the difference of the two surfaces.
//
// The nearest cell is found by a ring search: rings of growing radius around the cell,
// each scanned clockwise from the cell straight above. The search runs over the whole
// basin, whatever process computes a cell, so that the result does not depend on the
// number of processes.

#include <optional>
#include <span>
#include <vector>

namespace tolvo {

// What a cell is to the search: outside the basin, in the basin but lending no
// temperatures (glacierized, or not computed), or a cell whose temperatures are lent.
enum class RingCell : signed char { kOutside = 0, kBasin = 1, kDonor = 2 };

struct GridCell {
  int row = 0;
  int col = 0;
  friend bool operator==(const GridCell&, const GridCell&) = default;
};

// The cells of a grid of nrows × ncols, row by row from row 1, column 1.
struct RingMap {
  std::span<const RingCell> cells;
  int nrows = 0;
  int ncols = 0;
  RingCell at(int r, int c) const {
    return cells[static_cast<std::size_t>(r - 1) * static_cast<std::size_t>(ncols) + static_cast<std::size_t>(c - 1)];
  }
};

// The first donor of the rings r = 1, 2, ... around (row, col): each ring starts at the
// cell r rows above, runs right along the upper row, down the right column, left along
// the lower row, up the left column and right again along the upper row to its start.
// Cells outside the grid are skipped. The search ends without a donor at the first ring
// that holds no cell of the basin.
std::optional<GridCell> find_temperature_donor(const RingMap& map, int row, int col);

// The basin map of the search, kept between sub-steps: this process's marks of the cells
// it computes, the merged marks of all processes (the rank of a donor's process) and the map.
struct GlacierDonorMap {
  std::vector<int> marks, owners;
  std::vector<RingCell> map;
  bool merged = false;  // the map holds the marks of every process
};

// Soil temperature lapse rate [K/m] that corrects a lent profile for the height difference.
inline constexpr double kGlacierLapseRate = 0.7 / 100;

}  // namespace tolvo
