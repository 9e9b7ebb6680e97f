#pragma once
// River links: the cells that carry one positive id in the optional grid "river_links".
// All cells of one link are computed by one process, wherever they lie, so that the
// soil-water model can compute the re-infiltration of river water along a link in one
// place. Process 0 collects the links from the grid; the decomposition gives each link
// an owner and stamps its cells with the region they lie in; then every process gets the
// same list and builds its two lists of link cells: those it holds for other owners, and
// those of its own links that lie in other regions.

#include <cstdint>
#include <vector>

#include "framework/matrix.h"

namespace tolvo {

class DiagnosticsLog;

struct RiverLinkCell {
  int row = 0;          // grid row, 1-based
  int col = 0;          // grid column, 1-based
  int linkId = 0;       // the cell's "river_links" value, truncated
  int regionRank = 0;   // the process whose region holds the cell ("MPIRegions"); 0 until stamped
  int ownerRank = 0;    // the process that computes the cell's link; 0 until assigned
  double elevation = 0; // the cell's value in the elevation model (m)
  int index = 0;        // 0-based position of the cell in its link; 0 until stamped
  friend bool operator==(const RiverLinkCell&, const RiverLinkCell&) = default;
};

// One cell as it travels from process 0 to the others: 32 bytes in the machine's byte
// order, sent as raw bytes.
struct RiverLinkCellRecord {
  std::int32_t row;
  std::int32_t col;
  std::int32_t linkId;
  std::int32_t regionRank;
  std::int32_t ownerRank;
  std::int32_t index;
  double elevation;
};
static_assert(sizeof(RiverLinkCellRecord) == 32, "a link cell travels as 32 bytes");

// One link: its cells run from the highest to the lowest.
class RiverLink {
 public:
  explicit RiverLink(int link_id) : linkId(link_id) {}

  void SetCells(std::vector<RiverLinkCell> new_cells) { cells = std::move(new_cells); }
  std::vector<RiverLinkCell>& GetCells() { return cells; }
  const std::vector<RiverLinkCell>& GetCells() const { return cells; }
  // The cell vector must not be empty.
  const RiverLinkCell& LastCell() const { return cells.back(); }
  void AddCell(const RiverLinkCell& cell) {
    cells.push_back(cell);
    ++cellCount;
  }
  // Gives the link and every one of its cells to a process.
  void SetOwner(int rank);

  int linkId = 0;
  int ownerRank = 0;
  int cellCount = 0;
  std::vector<RiverLinkCell> cells;
};

// Per process: entry k of held holds the cells in this process's region of links computed
// by process k (held grows only as far as its largest owner); entry k of owned (one entry
// per process) the cells of this process's links that lie in process k's region. Within
// an entry the cells stand in link order, links in the order of the link list.
struct LinkCellLists {
  std::vector<std::vector<RiverLinkCell>> heldLinkCells;
  std::vector<std::vector<RiverLinkCell>> ownedLinkCells;
};

// Process 0. The links of the zone cells (zone value above nodata) whose "river_links"
// value is above 0: cells of one id form one link (even where they lie apart), ordered
// from the highest to the lowest elevation (ties keep the scan order); the links are
// ordered by size, largest first, equal sizes by ascending id.
std::vector<RiverLink> CollectRiverLinks(ConstGridView zone, ConstGridView river_links, ConstGridView elevation,
                                         double nodata);

// Process 0, after the whole "MPIRegions" grid is filled: every cell learns the region it
// lies in and its position in its link.
void StampLinkCells(std::vector<RiverLink>& links, ConstGridView regions);

// Collective: process 0's links are made known to every process, cell for cell (the
// other processes' lists must be empty on entry).
void BroadcastRiverLinks(std::vector<RiverLink>& links, DiagnosticsLog& log, int rank);

// Every process, after the broadcast.
LinkCellLists BuildLinkCellLists(const std::vector<RiverLink>& links, int rank, int process_count);

}  // namespace tolvo
