#include "setup/domain_decomposition.h"

#include <mpi.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <optional>
#include <utility>

#include "framework/control_file_stream.h"
#include "framework/error_code.h"
#include "framework/grid_table.h"
#include "framework/modelobject.h"
#include "framework/parallel.h"
#include "setup/halo_lists.h"

namespace tolvo {

namespace {

constexpr int kSpeedTestSize = 1000;
constexpr int kSpeedTestRuns = 30;

// Process 0: river links are used when the grid "river_links" exists and the soil model's
// surface-water interaction (fourth value of "[unsatzon_model]") is 2.
bool RiverLinksUsed(modelobject& reader, bool grid_present) {
  const std::string& name = reader.control_file_name();
  ControlFileStream file(name);
  if (!file.is_open()) {
    reader.log() << "FATAL: Error opening " << name << "[end-entry]";
    RaiseError(kControlFileOpenError);
  }
  bool found = false;
  while (const std::optional<std::string> token = file.ReadToken()) {
    file.SkipLine();
    if (*token == "[unsatzon_model]") {
      found = true;
      break;
    }
  }
  if (!found) return false;
  int interaction = 0;
  for (int i = 0; i < 4; ++i) {
    const std::optional<std::string> token = file.ReadToken();
    const std::optional<int> value = token ? ParseIntPrefix(*token) : std::nullopt;
    if (!value) reader.ControlFileItemError("looking for re-infiltration parameter in [unsatzon_model]", "");
    interaction = *value;
    if (i < 3) file.SkipLine();
  }
  return grid_present && interaction == 2;
}

bool InDomain(double zone_value, double nodata) { return zone_value > nodata; }

Grid NewGrid(modelobject& reader, RowRange rows, double fill) {
  const GridGeometry& g = reader.geometry();
  Grid grid = reader.matrix(rows.first, rows.last, 1, g.ncols, g.nrows);
  grid.fill(fill);
  return grid;
}

std::vector<double> GatherSpeedValues(modelobject& reader, double own) {
  const int size = reader.process_count();
  std::vector<double> values(static_cast<std::size_t>(size), 0.0);
  if (reader.rank() != 0) {
    MPI_Send(&own, 1, MPI_DOUBLE, 0, reader.rank(), MPI_COMM_WORLD);
    return values;
  }
  values[0] = own;
  for (int k = 1; k < size; ++k) MPI_Recv(&values[k], 1, MPI_DOUBLE, k, k, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
  for (int k = 0; k < size; ++k) {
    reader.log() << "received MPI wtime: " << values[k] << " for instance: " << k << "[end-entry]";
  }
  return values;
}

// Process 0: weights, links, budgets and the assignment of the cells; the bands.
std::vector<RowRange> DecomposeOnRoot(modelobject& reader, const DecompositionInput& input,
                                      const std::vector<double>& speed_values, DomainDecomposition& result) {
  const GridGeometry& g = reader.geometry();
  for (std::size_t k = 0; k < speed_values.size(); ++k) {
    if (UsableSpeedValue(speed_values[k])) continue;
    reader.log() << "WARNING: MPI speed value " << speed_values[k] << " for instance: " << static_cast<int>(k)
                 << " is no positive finite number with a finite inverse (check MpiSpeedFactor.dat);"
                 << " it counts as an inverse of 1" << "[end-entry]";
  }
  const std::vector<double> weights = SpeedWeights(speed_values);
  for (std::size_t k = 0; k < weights.size(); ++k) {
    reader.log() << "MPI performance weight: " << weights[k] << " for instance: " << static_cast<int>(k)
                 << "[end-entry]";
  }
  const bool links_used = RiverLinksUsed(reader, !input.river_links.empty());
  const ConstGridView links_grid = links_used ? input.river_links : ConstGridView{};

  long long regular = 0;
  long long link_cells = 0;
  for (int r = 1; r <= g.nrows; ++r) {
    for (int c = 1; c <= g.ncols; ++c) {
      if (!InDomain(input.zone(r, c), g.nodata_value)) continue;
      if (links_used && links_grid(r, c) > 0) {
        ++link_cells;
      } else {
        ++regular;
      }
    }
  }
  reader.log() << "MPI regular cells: " << regular << "\nMPI river cells: " << link_cells << "[end-entry]";
  if (links_used) result.riverLinks = CollectRiverLinks(input.zone, links_grid, input.elevation, g.nodata_value);

  std::vector<long long> budgets = CellBudgets(reader.context(), regular + link_cells, weights, result.riverLinks);
  SettleBudgets(reader.context(), budgets, regular);
  std::vector<RowRange> bands = AssignCells(input.zone, g.nodata_value, links_grid, budgets, result.regions.view());
  StampLinkCells(result.riverLinks, std::as_const(result.regions).view());
  return bands;
}

// Every process: the first and last rows of all bands, from process 0.
std::vector<RowRange> BroadcastBands(const std::vector<RowRange>& root_bands, int size) {
  std::vector<int> first(static_cast<std::size_t>(size) + 1, -1);
  std::vector<int> last(static_cast<std::size_t>(size) + 1, -1);
  for (std::size_t k = 0; k < root_bands.size(); ++k) {
    first[k] = root_bands[k].first;
    last[k] = root_bands[k].last;
  }
  MPI_Bcast(first.data(), size, MPI_INT, 0, MPI_COMM_WORLD);
  MPI_Bcast(last.data(), size, MPI_INT, 0, MPI_COMM_WORLD);
  std::vector<RowRange> bands(static_cast<std::size_t>(size));
  for (int k = 0; k < size; ++k) bands[k] = {first[k], last[k]};
  return bands;
}

// Process 0 sends every other process its held rows of "MPIRegions", one message per row.
void DistributeRegions(modelobject& reader, const std::vector<RowRange>& bands, DomainDecomposition& result) {
  const GridGeometry& g = reader.geometry();
  if (reader.rank() == 0) {
    for (int k = 1; k < reader.process_count(); ++k) {
      const RowRange held = WithHaloRows(bands[k], g.nrows);
      for (int r = held.first; r <= held.last; ++r) {
        MPI_Send(&result.regions(r, 1), g.ncols, MPI_DOUBLE, k, r, MPI_COMM_WORLD);
      }
    }
    return;
  }
  for (int r = result.held_rows.first; r <= result.held_rows.last; ++r) {
    MPI_Recv(&result.regions(r, 1), g.ncols, MPI_DOUBLE, 0, r, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
  }
}

std::vector<long long> CountCells(const modelobject& reader, ConstGridView zone, ConstGridView regions) {
  const GridGeometry& g = reader.geometry();
  const int size = reader.process_count();
  std::vector<long long> counts(static_cast<std::size_t>(size) + 1, 0);
  if (reader.rank() == 0) {
    for (int r = 1; r <= g.nrows; ++r) {
      for (int c = 1; c <= g.ncols; ++c) {
        const double v = regions(r, c);
        if (zone(r, c) > g.nodata_value && v > g.nodata_value && v < size) ++counts[static_cast<int>(v)];
      }
    }
  }
  MPI_Bcast(counts.data(), size, MPI_LONG_LONG, 0, MPI_COMM_WORLD);
  return counts;
}

}  // namespace

DomainLayout DomainDecomposition::layout() const {
  DomainLayout layout;
  layout.own_rows = own_rows;
  layout.regions = regions.view();
  layout.helper = helper.view();
  layout.receive_list = receive_list;
  layout.send_list = send_list;
  layout.cell_counts = cell_counts;
  return layout;
}

void SpeedTestKernel(GridView a, GridView b, GridView c, int n) {
  for_each_row(RowRange{1, n}, [&](int r) {
    for (int col = 1; col <= n; ++col) {
      const double x = static_cast<double>(r + col);
      a(r, col) = std::cos(x);
      b(r, col) = std::sin(x);
      c(r, col) = std::atan(std::sin(x) * std::cos(x));
    }
  });
}

double FindSpeedValue(modelobject& reader, const std::string& speed_file) {
  std::ifstream file(speed_file);
  if (file.is_open()) {
    double value = 0;
    if (!(file >> value)) value = 0;
    return value;
  }
  Grid a = reader.matrix(1, kSpeedTestSize, 1, kSpeedTestSize, kSpeedTestSize);
  Grid b = reader.matrix(1, kSpeedTestSize, 1, kSpeedTestSize, kSpeedTestSize);
  Grid c = reader.matrix(1, kSpeedTestSize, 1, kSpeedTestSize, kSpeedTestSize);
  double total = 0;
  for (int run = 0; run < kSpeedTestRuns; ++run) {
    const double start = MPI_Wtime();
    SpeedTestKernel(a.view(), b.view(), c.view(), kSpeedTestSize);
    total += MPI_Wtime() - start;
  }
  reader.log() << "MPI wtime: " << total << "for instance: " << reader.rank() << "[end-entry]";
  return total;
}

bool UsableSpeedValue(double value) { return value > 0 && std::isfinite(value) && std::isfinite(1.0 / value); }

std::vector<double> SpeedWeights(const std::vector<double>& speed_values) {
  std::vector<double> weights(speed_values.size());
  double sum = 0;
  for (std::size_t k = 0; k < speed_values.size(); ++k) {
    weights[k] = UsableSpeedValue(speed_values[k]) ? 1.0 / speed_values[k] : 1.0;
    sum += weights[k];
  }
  if (!std::isfinite(sum)) {
    // Inverses near the largest double: scaled by the largest, their sum stays finite.
    const double largest = *std::ranges::max_element(weights);
    sum = 0;
    for (double& w : weights) {
      w /= largest;
      sum += w;
    }
  }
  for (double& w : weights) w /= sum;
  return weights;
}

std::vector<long long> CellBudgets(const RunContext& run, long long total_cells, const std::vector<double>& weights,
                                   std::vector<RiverLink>& links) {
  const int size = static_cast<int>(weights.size());
  std::vector<long long> budgets(static_cast<std::size_t>(size), 0);
  std::size_t j = 0;
  long long lower_budgets = 0;
  long long lower_link_cells = 0;
  for (int k = 0; k < size; ++k) {
    long long budget = k < size - 1
                           ? static_cast<long long>(std::floor(static_cast<double>(total_cells) * weights[k] + 0.4999))
                           : total_cells - lower_budgets - lower_link_cells;
    const std::size_t first_link = j;
    while (j < links.size()) {
      links[j].SetOwner(k);
      budget = std::max(budget - links[j].cellCount, 1LL);
      ++j;
      if (j == links.size() || budget <= links[j].cellCount) break;
    }
    budgets[k] = budget;
    lower_budgets += budget;
    long long own_link_cells = 0;
    run.log() << "MPI num cells: " << budget << " for instance: " << k << "[end-entry]";
    for (std::size_t i = first_link; i < j; ++i) {
      run.log() << " + link cells: " << links[i].cellCount << " for river link " << links[i].linkId
                << "[end-entry]";
      own_link_cells += links[i].cellCount;
    }
    if (j > first_link) {
      run.log() << "        total: " << budget + own_link_cells << " for instance " << k << "[end-entry]";
    }
    lower_link_cells += own_link_cells;
  }
  return budgets;
}

void SettleBudgets(const RunContext& run, std::vector<long long>& budgets, long long regular_cells) {
  const auto size = static_cast<long long>(budgets.size());
  if (size < 2) return;
  if (regular_cells < size) {
    run.log() << "FATAL: MPI-Regions: " << regular_cells << " cells of the domain cannot be shared among "
              << size << " processes: every process needs at least one cell; run with fewer processes!"
              << "[end-entry]";
    RaiseError(kDecompositionErrorCode);
  }
  long long sum = 0;
  bool below_one = false;
  for (long long b : budgets) {
    sum += b;
    below_one = below_one || b < 1;
  }
  if (sum == regular_cells && !below_one) return;

  // Scale the positive budgets to the regular cells, at least one cell each; the rounding
  // difference goes to (or comes from) the largest budgets.
  long long positive = 0;
  for (long long b : budgets) positive += std::max(b, 0LL);
  for (long long& b : budgets) {
    const double share = positive > 0 ? static_cast<double>(std::max(b, 0LL)) / static_cast<double>(positive) : 0.0;
    b = std::max(1LL, static_cast<long long>(std::floor(share * static_cast<double>(regular_cells))));
  }
  long long difference = regular_cells;
  for (long long b : budgets) difference -= b;
  while (difference != 0) {
    long long& largest = *std::ranges::max_element(budgets);
    const long long change = difference > 0 ? difference : -std::min(-difference, largest - 1);
    largest += change;
    difference -= change;
  }
  run.log() << "WARNING: MPI-Regions: the cell budgets did not deal every regular cell to a process of its own;"
            << " adjusted so that every process gets at least one cell" << "[end-entry]";
  for (long long k = 0; k < size; ++k) {
    run.log() << "WARNING: MPI num cells (adjusted): " << budgets[k] << " for instance: " << k << "[end-entry]";
  }
}

std::vector<RowRange> AssignCells(ConstGridView zone, double nodata, ConstGridView river_links,
                                  std::vector<long long> budgets, GridView regions) {
  const int size = static_cast<int>(budgets.size());
  std::vector<RowRange> bands(static_cast<std::size_t>(size), RowRange{-1, -1});
  int p = size - 1;
  int last_domain_row = -1;
  const RowRange rows = zone.rows();
  for (int r = rows.first; r <= rows.last; ++r) {
    for (int c = 1; c <= zone.ncols(); ++c) {
      if (!InDomain(zone(r, c), nodata)) continue;
      last_domain_row = r;
      RowRange& band = bands[p];
      if (band.first < 0) band = {r, r};
      regions(r, c) = p;
      const bool link_cell = !river_links.empty() && river_links(r, c) > 0;
      if (link_cell) continue;
      if (--budgets[p] == 0) {
        band.last = r;
        p = std::max(p - 1, 0);
      }
    }
  }
  // The cells after the last budget ran out (link cells below it) belong to the band that
  // was dealt last: it ends at the last domain row.
  if (bands[p].first > 0) bands[p].last = std::max(bands[p].last, last_domain_row);
  return bands;
}

DomainDecomposition BuildMpiRegions(modelobject& reader, const DecompositionInput& input) {
  const GridGeometry& g = reader.geometry();
  const int rank = reader.rank();
  const int size = reader.process_count();
  DomainDecomposition result;
  result.own_rows = {1, g.nrows};
  result.held_rows = {1, g.nrows};
  if (rank == 0) {
    result.regions = NewGrid(reader, result.held_rows, g.nodata_value);
    result.helper = NewGrid(reader, result.held_rows, 0.0);
    result.halo = NewGrid(reader, result.held_rows, g.nodata_value);
  }

  const std::vector<double> speed_values = GatherSpeedValues(reader, FindSpeedValue(reader, input.speed_file));
  std::vector<RowRange> root_bands;
  if (rank == 0) root_bands = DecomposeOnRoot(reader, input, speed_values, result);

  BroadcastRiverLinks(result.riverLinks, reader.log(), rank);
  MPI_Barrier(MPI_COMM_WORLD);
  result.link_cells = BuildLinkCellLists(result.riverLinks, rank, size);

  MPI_Barrier(MPI_COMM_WORLD);
  const std::vector<RowRange> bands = BroadcastBands(root_bands, size);
  if (bands[rank].first > 0) {
    result.own_rows = bands[rank];
    if (rank != 0) result.held_rows = WithHaloRows(bands[rank], g.nrows);
  }
  if (rank != 0) {
    result.regions = NewGrid(reader, result.held_rows, g.nodata_value);
    result.helper = NewGrid(reader, result.held_rows, 0.0);
    result.halo = NewGrid(reader, result.held_rows, g.nodata_value);
  }
  if (size > 1) DistributeRegions(reader, bands, result);

  const RowRange walked = rank == 0 ? RowRange{1, g.nrows} : result.own_rows;
  BuildStripGrid(reader.context(), rank, size, std::as_const(result.regions).view(), result.helper.view(), walked);
  BuildHaloGrid(reader.context(), rank, std::as_const(result.regions).view(), result.halo.view(), walked);

  result.cell_counts = CountCells(reader, input.zone, std::as_const(result.regions).view());
  result.receive_list = BuildReceiveList(std::as_const(result.halo).view(), result.held_rows);
  result.send_list = HaloHandshake(result.receive_list, rank, size);
  return result;
}

int RegisterDecompositionGrids(modelobject& reader, DomainDecomposition& decomposition) {
  const int index = reader.grids()->TakeFreeEntries(
      3, {}, reader.log(),
      "when trying to create MPI-Regions: no free grid found in memory (at position " +
          std::to_string(kLastGridIndex + 1) + ")");
  const RowRange rows = decomposition.held_rows;
  const std::pair<const char*, Grid*> grids[] = {
      {"MPIRegions", &decomposition.regions}, {"MPIHelper", &decomposition.helper}, {"MPIHalo", &decomposition.halo}};
  for (int i = 0; i < 3; ++i) {
    reader.RegisterGrid(index + i, "", grids[i].second->view(), {}, 0, grids[i].first, 0, rows.first, rows.last);
  }
  return index;
}

}  // namespace tolvo
