// The decomposition, its river links and the halo exchange under 1, 2 and 3 processes.
#include <gtest/gtest.h>
#include <mpi.h>

#include <cmath>
#include <vector>

#include "framework/halo_exchange.h"
#include "mpi_decomposition_fixture.h"

namespace tolvo::test {
namespace {

using Decomposition = DecomposedDomain;

long long SumOverProcesses(long long value) {
  long long sum = 0;
  MPI_Allreduce(&value, &sum, 1, MPI_LONG_LONG, MPI_SUM, MPI_COMM_WORLD);
  return sum;
}

TEST_F(Decomposition, EveryProcessGetsABandInRankOrderFromTheTop) {
  Decompose(false);
  const RowRange own = decomposition_.own_rows;
  EXPECT_GE(own.first, 1);
  EXPECT_LE(own.first, own.last);
  // Domain rows run from 2 to 10: the highest rank holds the first, process 0 the last.
  if (rank_ == size_ - 1) {
    EXPECT_EQ(own.first, 2);
  }
  if (rank_ == 0) {
    EXPECT_EQ(own.last, kRows);
  }

  // Every process counts the cells of its own in the rows it holds; together they make
  // the domain, and the counts of the decomposition agree.
  long long mine = 0;
  for (int r = decomposition_.held_rows.first; r <= decomposition_.held_rows.last; ++r) {
    for (int c = 1; c <= kCols; ++c) mine += Mine(r, c);
  }
  ASSERT_EQ(decomposition_.cell_counts.size(), static_cast<std::size_t>(size_) + 1);
  EXPECT_EQ(mine, decomposition_.cell_counts[rank_]);
  EXPECT_EQ(SumOverProcesses(mine), DomainCells());

  // Speed values 1, 3, 3, 3: weights 1, 0.75/0.25, 0.6/0.2/0.2, 0.5/(1/6)/(1/6)/(1/6).
  // With T cells, the budget of a lower rank is floor(T w + 0.4999); the highest rank
  // takes the rest.
  const std::vector<std::vector<double>> weights = {
      {1}, {0.75, 0.25}, {0.6, 0.2, 0.2}, {0.5, 1.0 / 6, 1.0 / 6, 1.0 / 6}};
  ASSERT_LE(size_, 4) << "the expected weights cover up to 4 processes";
  const double* w = weights[size_ - 1].data();
  long long dealt = 0;
  for (int k = 0; k < size_ - 1; ++k) {
    const auto budget = static_cast<long long>(std::floor(DomainCells() * w[k] + 0.4999));
    EXPECT_EQ(decomposition_.cell_counts[k], budget) << "rank " << k;
    dealt += budget;
  }
  EXPECT_EQ(decomposition_.cell_counts[size_ - 1], DomainCells() - dealt);
  if (rank_ == 0 && size_ == 2) {
    EXPECT_NE(console_.str().find("MPI performance weight: 0.75 for instance: 0"), std::string::npos);
    EXPECT_NE(console_.str().find("MPI performance weight: 0.25 for instance: 1"), std::string::npos);
  }
  if (size_ == 1) {
    EXPECT_TRUE(decomposition_.receive_list.empty());
    EXPECT_TRUE(decomposition_.send_list.empty());
    for (int r = 1; r <= kRows; ++r) {
      for (int c = 1; c <= kCols; ++c) EXPECT_EQ(decomposition_.regions(r, c), FixtureZoneCell(r, c) ? 0 : kNodata);
    }
  }
}

TEST_F(Decomposition, HaloCellsTakeTheirOwnersValues) {
  Decompose(false);
  const auto value = [](int r, int c, int l) { return r * 100.0 + c + l / 10.0; };
  Grid grid = HeldGrid(-1);
  Stack stack(decomposition_.held_rows.first, decomposition_.held_rows.last, kCols, 2, kRows);
  stack.fill(-1);
  const RowRange held = decomposition_.held_rows;
  for (int r = held.first; r <= held.last; ++r) {
    for (int c = 1; c <= kCols; ++c) {
      if (!Mine(r, c)) continue;
      grid(r, c) = value(r, c, 0);
      for (int l = 0; l <= 2; ++l) stack(r, c, l) = value(r, c, l);
    }
  }
  ExchangeHalo(reader_.context(), grid.view());
  ExchangeStackHalo(reader_.context(), stack.view());
  long long halo_cells = 0;
  for (int r = held.first; r <= held.last; ++r) {
    for (int c = 1; c <= kCols; ++c) {
      if (decomposition_.halo(r, c) < 0 && !Mine(r, c)) continue;
      halo_cells += !Mine(r, c);
      EXPECT_EQ(grid(r, c), value(r, c, 0)) << r << "," << c;
      for (int l = 0; l <= 2; ++l) EXPECT_EQ(stack(r, c, l), value(r, c, l)) << r << "," << c << "," << l;
    }
  }
  if (size_ > 1) {
    EXPECT_GT(halo_cells, 0);
  }

  // The split-phase form gives the same.
  Grid split = HeldGrid(-1);
  for (int r = held.first; r <= held.last; ++r) {
    for (int c = 1; c <= kCols; ++c) {
      if (Mine(r, c)) split(r, c) = value(r, c, 0);
    }
  }
  HaloExchange exchange;
  exchange.PostHaloReceives(reader_.context(), split.view());
  exchange.PostHaloSends(reader_.context(), split.view());
  exchange.WaitHaloRequests();
  EXPECT_EQ(exchange.pending(), 0u);
  for (int r = held.first; r <= held.last; ++r) {
    for (int c = 1; c <= kCols; ++c) {
      if (decomposition_.halo(r, c) >= 0) {
        EXPECT_EQ(split(r, c), value(r, c, 0));
      }
    }
  }
}

TEST_F(Decomposition, GridsAndStacksExchangedTogetherTakeTheirOwnersValues) {
  Decompose(false);
  // Each grid and stack holds other values, so strips paired with the wrong one show.
  const auto value = [](int k, int r, int c, int l) { return k * 10000.0 + r * 100.0 + c + l / 10.0; };
  const RowRange held = decomposition_.held_rows;
  std::vector<Grid> grids;
  std::vector<Stack> stacks;
  for (int k = 0; k < 3; ++k) grids.push_back(HeldGrid(-1));
  for (int k = 0; k < 2; ++k) {
    stacks.emplace_back(held.first, held.last, kCols, 1 + k, kRows);
    stacks.back().fill(-1);
  }
  for (int r = held.first; r <= held.last; ++r) {
    for (int c = 1; c <= kCols; ++c) {
      if (!Mine(r, c)) continue;
      for (int k = 0; k < 3; ++k) grids[k](r, c) = value(k, r, c, 0);
      for (int k = 0; k < 2; ++k) {
        for (int l = 0; l <= 1 + k; ++l) stacks[k](r, c, l) = value(3 + k, r, c, l);
      }
    }
  }
  ExchangeHalos(reader_.context(), {grids[0].view(), grids[1].view(), grids[2].view()},
                {stacks[0].view(), stacks[1].view()});
  for (int r = held.first; r <= held.last; ++r) {
    for (int c = 1; c <= kCols; ++c) {
      if (decomposition_.halo(r, c) < 0 && !Mine(r, c)) continue;
      for (int k = 0; k < 3; ++k) EXPECT_EQ(grids[k](r, c), value(k, r, c, 0)) << k << ":" << r << "," << c;
      for (int k = 0; k < 2; ++k) {
        for (int l = 0; l <= 1 + k; ++l) {
          EXPECT_EQ(stacks[k](r, c, l), value(3 + k, r, c, l)) << k << ":" << r << "," << c;
        }
      }
    }
  }
}

TEST_F(Decomposition, EveryLinkIsComputedByOneProcess) {
  Decompose(true);
  const std::vector<RiverLink>& links = decomposition_.riverLinks;
  ASSERT_EQ(links.size(), 2u);
  EXPECT_EQ(links[0].linkId, 7);
  EXPECT_EQ(links[0].cellCount, 7);
  EXPECT_EQ(links[1].linkId, 2);
  long long owned_here = 0;
  for (const RiverLink& link : links) {
    for (const RiverLinkCell& cell : link.GetCells()) {
      EXPECT_EQ(cell.ownerRank, link.ownerRank);
      EXPECT_EQ(cell.linkId, link.linkId);
    }
    // All processes hold the same list.
    int owner_min = link.ownerRank;
    int owner_max = link.ownerRank;
    MPI_Allreduce(MPI_IN_PLACE, &owner_min, 1, MPI_INT, MPI_MIN, MPI_COMM_WORLD);
    MPI_Allreduce(MPI_IN_PLACE, &owner_max, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD);
    EXPECT_EQ(owner_min, owner_max);
    if (link.ownerRank == rank_) owned_here += link.cellCount;
  }
  // The cells each process holds for an owner, summed over the processes, are the cells
  // of the links; every process's owned list covers exactly its links.
  long long held = 0;
  const LinkCellLists& lists = decomposition_.link_cells;
  for (std::size_t k = 0; k < lists.heldLinkCells.size(); ++k) {
    for (const RiverLinkCell& cell : lists.heldLinkCells[k]) {
      EXPECT_EQ(cell.regionRank, rank_);
      EXPECT_EQ(cell.ownerRank, static_cast<int>(k));
      ++held;
    }
  }
  long long owned = 0;
  ASSERT_EQ(lists.ownedLinkCells.size(), static_cast<std::size_t>(size_));
  for (const auto& entry : lists.ownedLinkCells) owned += static_cast<long long>(entry.size());
  EXPECT_EQ(owned, owned_here);
  EXPECT_EQ(SumOverProcesses(held), 9);
  // A link cell lies in the band of its region: "MPIRegions" says so where this process holds it.
  for (const RiverLink& link : links) {
    for (const RiverLinkCell& cell : link.GetCells()) {
      if (decomposition_.held_rows.contains(cell.row)) {
        EXPECT_EQ(OwnerOf(cell.row, cell.col), cell.regionRank);
      }
    }
  }
}

}  // namespace
}  // namespace tolvo::test
