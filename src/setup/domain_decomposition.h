#pragma once
// Domain decomposition: divides the zone cells among the processes of the MPI job, each
// in proportion to its speed, keeping the cells of every river link on one process.
//
// Cells are dealt out in row-major order starting with the highest rank, so the highest
// rank holds the top band of rows and process 0 the bottom band; each process's cells form
// one contiguous band, and a band may share its first or last row with the next one.
// Every process gets at least one cell. Process 0 holds every row of the grids; every
// other process its band plus one halo row on each side where the grid has one.

#include <string>
#include <vector>

#include "framework/grid_distribution.h"
#include "framework/halo_exchange.h"
#include "framework/matrix.h"
#include "setup/river_links.h"

namespace tolvo {

class modelobject;
struct RunContext;

// What the decomposition reads on process 0 (the other processes pass empty views).
struct DecompositionInput {
  ConstGridView zone;         // zone grid: a cell belongs to the domain when its value is above nodata
  ConstGridView elevation;    // elevation model (m), for the order of link cells
  ConstGridView river_links;  // "river_links", or empty when the run has no such grid
  // The process's speed file (read by every process): its first number is used like a run
  // time, the larger the fewer cells; when it is missing a timed kernel measures it.
  std::string speed_file = "MpiSpeedFactor.dat";
};

struct DomainDecomposition {
  // Rows 1..nrows on process 0, held_rows elsewhere.
  Grid regions;  // "MPIRegions": the rank computing each domain cell, nodata elsewhere
  Grid helper;   // "MPIHelper": the strip grid
  Grid halo;     // "MPIHalo": the owner of every cell of another process next to one of ours
  RowRange own_rows;   // the band of this process
  RowRange held_rows;  // the band widened by the halo rows (1..nrows on process 0)
  std::vector<long long> cell_counts;  // domain cells per rank, entries 0..size-1 (size + 1 held)
  std::vector<StripRecord> receive_list;
  std::vector<StripRecord> send_list;
  std::vector<RiverLink> riverLinks;
  LinkCellLists link_cells;

  // Views of the grids and lists for the communication code; column ranges are left to
  // the zone ranking.
  DomainLayout layout() const;
};

// Collective: every process calls it together.
DomainDecomposition BuildMpiRegions(modelobject& reader, const DecompositionInput& input);

// Publishes "MPIRegions", "MPIHelper" and "MPIHalo" in the reader's grid table at the
// first entry without a file name and the two after it (empty file name, write code 0,
// the rows this process holds), and returns the first of the three indices. Without a
// free entry among 1..999 it fails with 12 after its FATAL entry.
int RegisterDecompositionGrids(modelobject& reader, DomainDecomposition& decomposition);

// The speed value of this process: the first number of the speed file (0 when it is not a
// number), or, when the file cannot be opened, the seconds that 30 runs of the speed-test
// kernel take.
double FindSpeedValue(modelobject& reader, const std::string& speed_file);

// Whether a speed value counts by its inverse: a positive finite number whose inverse is
// finite as well.
bool UsableSpeedValue(double value);

// Weights of the processes from their speed values: proportional to 1 / value, with an
// inverse of 1 for any value that is not usable (0 or below, not a number, infinite, or
// so small that its inverse overflows); they are finite, never negative, and sum to 1.
std::vector<double> SpeedWeights(const std::vector<double>& speed_values);

// Cell budgets of the processes and the owners of the links (given in list order: every
// process takes the next link while links are left, then further ones while its budget
// exceeds the size of the next). Logs each budget with its links. Process 0.
std::vector<long long> CellBudgets(const RunContext& run, long long total_cells, const std::vector<double>& weights,
                                   std::vector<RiverLink>& links);

// Process 0: makes the budgets deal every regular cell and give each process at least one
// (scaling them to the regular cells when they do not add up to them), logging a warning
// when it changes them. Fails with 121 when there are fewer regular cells than processes.
void SettleBudgets(const RunContext& run, std::vector<long long>& budgets, long long regular_cells);

// Process 0: deals the domain cells out (the highest rank first) into `regions` and
// returns the first and last row of every band. Link cells take the rank of the band
// they lie in and use no budget; the last band ends at the last domain row.
std::vector<RowRange> AssignCells(ConstGridView zone, double nodata, ConstGridView river_links,
                                  std::vector<long long> budgets, GridView regions);

// The speed-test kernel: for rows and columns 1..n, with x = r + c, sets the three n x n
// matrices to cos(x), sin(x) and atan(sin(x) cos(x)); rows are shared among the threads.
void SpeedTestKernel(GridView a, GridView b, GridView c, int n);

}  // namespace tolvo
