#include "setup/river_links.h"

#include <mpi.h>

#include <algorithm>

#include "framework/diagnostics_log.h"

namespace tolvo {

void RiverLink::SetOwner(int rank) {
  ownerRank = rank;
  for (RiverLinkCell& cell : cells) cell.ownerRank = rank;
}

std::vector<RiverLink> CollectRiverLinks(ConstGridView zone, ConstGridView river_links, ConstGridView elevation,
                                         double nodata) {
  std::vector<RiverLinkCell> found;
  const RowRange rows = zone.rows();
  for (int r = rows.first; r <= rows.last; ++r) {
    for (int c = 1; c <= zone.ncols(); ++c) {
      const double id = river_links(r, c);
      if (zone(r, c) > nodata && id > 0) {
        found.push_back({.row = r, .col = c, .linkId = static_cast<int>(id), .elevation = elevation(r, c)});
      }
    }
  }
  std::ranges::stable_sort(found, [](const RiverLinkCell& a, const RiverLinkCell& b) {
    if (a.linkId != b.linkId) return a.linkId < b.linkId;
    return a.elevation > b.elevation;
  });
  std::vector<RiverLink> links;
  for (const RiverLinkCell& cell : found) {
    if (links.empty() || links.back().linkId != cell.linkId) links.emplace_back(cell.linkId);
    links.back().AddCell(cell);
  }
  std::ranges::stable_sort(links, [](const RiverLink& a, const RiverLink& b) { return a.cellCount > b.cellCount; });
  return links;
}

void StampLinkCells(std::vector<RiverLink>& links, ConstGridView regions) {
  for (RiverLink& link : links) {
    int k = 0;
    for (RiverLinkCell& cell : link.cells) {
      cell.regionRank = static_cast<int>(regions(cell.row, cell.col));
      cell.index = k++;
    }
  }
}

namespace {

RiverLinkCellRecord ToRecord(const RiverLinkCell& cell) {
  return {cell.row, cell.col, cell.linkId, cell.regionRank, cell.ownerRank, cell.index, cell.elevation};
}

RiverLinkCell FromRecord(const RiverLinkCellRecord& record) {
  return {.row = record.row,
          .col = record.col,
          .linkId = record.linkId,
          .regionRank = record.regionRank,
          .ownerRank = record.ownerRank,
          .elevation = record.elevation,
          .index = record.index};
}

}  // namespace

void BroadcastRiverLinks(std::vector<RiverLink>& links, DiagnosticsLog& log, int rank) {
  int link_count = static_cast<int>(links.size());
  MPI_Bcast(&link_count, 1, MPI_INT, 0, MPI_COMM_WORLD);
  log << "After broadcasting numLinks: " << link_count << " for instance: " << rank << "[end-entry]";
  std::vector<RiverLinkCellRecord> records;
  for (int j = 0; j < link_count; ++j) {
    int cell_count = rank == 0 ? links[j].cellCount : 0;
    MPI_Bcast(&cell_count, 1, MPI_INT, 0, MPI_COMM_WORLD);
    records.resize(static_cast<std::size_t>(cell_count));
    if (rank == 0) std::ranges::transform(links[j].cells, records.begin(), ToRecord);
    MPI_Bcast(records.data(), cell_count * static_cast<int>(sizeof(RiverLinkCellRecord)), MPI_CHAR, 0,
              MPI_COMM_WORLD);
    if (rank == 0) continue;
    RiverLink& link = links.emplace_back(cell_count > 0 ? records.front().linkId : 0);
    std::vector<RiverLinkCell> cells(records.size());
    std::ranges::transform(records, cells.begin(), FromRecord);
    link.SetCells(std::move(cells));
    link.cellCount = cell_count;
    link.ownerRank = cell_count > 0 ? records.front().ownerRank : 0;
  }
}

LinkCellLists BuildLinkCellLists(const std::vector<RiverLink>& links, int rank, int process_count) {
  LinkCellLists lists;
  for (const RiverLink& link : links) {
    for (const RiverLinkCell& cell : link.cells) {
      if (cell.regionRank != rank) continue;
      if (lists.heldLinkCells.size() <= static_cast<std::size_t>(link.ownerRank)) {
        lists.heldLinkCells.resize(static_cast<std::size_t>(link.ownerRank) + 1);
      }
      lists.heldLinkCells[link.ownerRank].push_back(cell);
    }
  }
  lists.ownedLinkCells.resize(static_cast<std::size_t>(process_count));
  for (const RiverLink& link : links) {
    for (const RiverLinkCell& cell : link.cells) {
      if (cell.ownerRank == rank && cell.regionRank >= 0 && cell.regionRank < process_count) {
        lists.ownedLinkCells[cell.regionRank].push_back(cell);
      }
    }
  }
  return lists;
}

}  // namespace tolvo
