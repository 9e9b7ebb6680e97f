#include "subsurface/soil_glacier_temperatures.h"

#include <mpi.h>

#include <algorithm>
#include <array>
#include <vector>

#include "subsurface/unsatzonmodellklasse.h"

namespace tolvo {

namespace {

// What a ring held: whether any cell of the basin, and its first donor.
struct RingResult {
  bool basin = false;
  std::optional<GridCell> donor;
};

// Scans ring `radius` in its order up to the first donor.
RingResult scan_ring(const RingMap& map, int row, int col, int radius) {
  RingResult result;
  const auto look = [&](int r, int c) {
    if (r < 1 || r > map.nrows || c < 1 || c > map.ncols) return false;
    const RingCell cell = map.at(r, c);
    if (cell == RingCell::kOutside) return false;
    result.basin = true;
    if (cell != RingCell::kDonor) return false;
    result.donor = GridCell{r, c};
    return true;
  };
  const int top = row - radius, bottom = row + radius, left = col - radius, right = col + radius;
  for (int c = col; c <= right; ++c) {
    if (look(top, c)) return result;
  }
  for (int r = top + 1; r <= bottom; ++r) {
    if (look(r, right)) return result;
  }
  for (int c = right - 1; c >= left; --c) {
    if (look(bottom, c)) return result;
  }
  for (int r = bottom - 1; r >= top; --r) {
    if (look(r, left)) return result;
  }
  for (int c = left + 1; c < col; ++c) {
    if (look(top, c)) return result;
  }
  return result;
}

}  // namespace

std::optional<GridCell> find_temperature_donor(const RingMap& map, int row, int col) {
  const int largest = std::max(map.nrows, map.ncols);
  for (int radius = 1; radius <= largest; ++radius) {
    const RingResult ring = scan_ring(map, row, col, radius);
    if (ring.donor) return ring.donor;
    if (!ring.basin) return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace tolvo

// --- the soil model's glacier cells -------------------------------------------------------

namespace tolvo {

void unsatzonmodellklasse::TakeGlacierCellTemperatures() {
  const SoilColumnGrids& g = column_grids_;
  if (!isHeatTransferActive() || g.glacier.empty() || soil_temperature_.stack.empty()) return;
  const GridGeometry& geo = geometry();
  const double nodata = geo.nodata_value;
  const RowRange own = strip();
  const auto in_basin = [&](int r, int c) { return zone_(r, c) != nodata; };
  const auto computed = [&](int r, int c) {
    return !(loop_settings_.hru_run && !g.hru_master.empty() && g.hru_master(r, c) == nodata);
  };
  const auto glacierized = [&](int r, int c) { return std::clamp(g.glacier(r, c), 0.0, 1.0) >= 1; };

  // The glacier cells this process computes.
  std::vector<GridCell> cells;
  for (int r = own.first; r <= own.last; ++r) {
    for (int c = 1; c <= geo.ncols; ++c) {
      if (IsOwnCell(r, c) && computed(r, c) && glacierized(r, c)) cells.push_back({r, c});
    }
  }

  // The map of the basin, every cell marked by the process that computes it: its rank for
  // a donor, kGlacier for a basin cell that lends nothing; kOutside outside the basin.
  // The largest mark of all processes wins (kUnknown where another process computes). It
  // is merged again only when some process's marks changed (a glacier grew or shrank).
  constexpr int kUnknown = -3, kGlacier = -2, kOutside = -1;
  const auto ncols = static_cast<std::size_t>(geo.ncols);
  const std::size_t size = static_cast<std::size_t>(geo.nrows) * ncols;
  const auto index = [&](int r, int c) {
    return static_cast<std::size_t>(r - 1) * ncols + static_cast<std::size_t>(c - 1);
  };
  GlacierDonorMap& cache = glacier_donors_;
  if (cache.marks.size() != size) {
    cache.marks.assign(size, kUnknown);
    cache.owners.assign(size, kUnknown);
    cache.map.assign(size, RingCell::kOutside);
    cache.merged = false;
  }
  int changed = cache.merged ? 0 : 1;
  for (int r = own.first; r <= own.last; ++r) {
    for (int c = 1; c <= geo.ncols; ++c) {
      int mark = kUnknown;
      if (!in_basin(r, c)) {
        mark = kOutside;
      } else if (IsOwnCell(r, c)) {
        mark = computed(r, c) && !glacierized(r, c) ? rank() : kGlacier;
      }
      int& m = cache.marks[index(r, c)];
      if (m != mark) changed = 1;
      m = mark;
    }
  }
  std::array<int, 2> local{changed, cells.empty() ? 0 : 1}, any{};
  MPI_Allreduce(local.data(), any.data(), 2, MPI_INT, MPI_MAX, MPI_COMM_WORLD);
  if (any[1] == 0) return;
  if (any[0] != 0) {
    MPI_Allreduce(cache.marks.data(), cache.owners.data(), static_cast<int>(size), MPI_INT, MPI_MAX,
                  MPI_COMM_WORLD);
    for (std::size_t i = 0; i < size; ++i) {
      const int o = cache.owners[i];
      cache.map[i] = o >= 0 ? RingCell::kDonor : o == kGlacier ? RingCell::kBasin : RingCell::kOutside;
    }
    cache.merged = true;
  }
  const std::span<const int> owners = cache.owners;
  const RingMap ring_map{.cells = cache.map, .nrows = geo.nrows, .ncols = geo.ncols};

  // The donors, asked of the processes that compute them (two ints each, by process).
  const auto n = static_cast<std::size_t>(process_count());
  std::vector<std::optional<GridCell>> donors(cells.size());
  std::vector<int> holders(cells.size(), -1);
  std::vector<int> ask_counts(n, 0);
  for (std::size_t i = 0; i < cells.size(); ++i) {
    donors[i] = find_temperature_donor(ring_map, cells[i].row, cells[i].col);
    if (donors[i]) holders[i] = owners[index(donors[i]->row, donors[i]->col)];
    if (holders[i] >= 0) ask_counts[static_cast<std::size_t>(holders[i])] += 2;
  }
  std::vector<int> ask_offsets(n, 0);
  for (std::size_t k = 1; k < n; ++k) ask_offsets[k] = ask_offsets[k - 1] + ask_counts[k - 1];
  std::vector<int> asks(static_cast<std::size_t>(ask_offsets[n - 1] + ask_counts[n - 1]));
  std::vector<int> slot(cells.size(), -1);  // the donor's place among the asks
  {
    std::vector<int> next(ask_offsets);
    for (std::size_t i = 0; i < cells.size(); ++i) {
      if (holders[i] < 0) continue;
      int& at = next[static_cast<std::size_t>(holders[i])];
      slot[i] = at / 2;
      asks[static_cast<std::size_t>(at)] = donors[i]->row;
      asks[static_cast<std::size_t>(at) + 1] = donors[i]->col;
      at += 2;
    }
  }
  std::vector<int> asked_counts(n), asked_offsets(n, 0);
  MPI_Alltoall(ask_counts.data(), 1, MPI_INT, asked_counts.data(), 1, MPI_INT, MPI_COMM_WORLD);
  for (std::size_t k = 1; k < n; ++k) asked_offsets[k] = asked_offsets[k - 1] + asked_counts[k - 1];
  std::vector<int> asked(static_cast<std::size_t>(asked_offsets[n - 1] + asked_counts[n - 1]));
  MPI_Alltoallv(asks.data(), ask_counts.data(), ask_offsets.data(), MPI_INT, asked.data(), asked_counts.data(),
                asked_offsets.data(), MPI_INT, MPI_COMM_WORLD);

  // The answers: the donor's temperature levels 0..L and the height of its first level.
  const StackView T = soil_temperature_.stack.view();
  const StackView z = geodetic_heads_.stack.view();
  const int levels = T.level_count();
  const int per_cell = levels + 2;
  std::vector<double> answers(asked.size() / 2 * static_cast<std::size_t>(per_cell));
  for (std::size_t a = 0; a < asked.size() / 2; ++a) {
    const int r = asked[2 * a], c = asked[2 * a + 1];
    const std::span<const double> profile = T.levels(r, c);
    double* out = answers.data() + a * static_cast<std::size_t>(per_cell);
    std::copy(profile.begin(), profile.end(), out);
    out[levels + 1] = z(r, c, 1);
  }
  const auto scaled = [&](std::vector<int> v) {
    for (int& x : v) x = x / 2 * per_cell;
    return v;
  };
  const std::vector<int> answer_counts = scaled(asked_counts), answer_offsets = scaled(asked_offsets);
  const std::vector<int> reply_counts = scaled(ask_counts), reply_offsets = scaled(ask_offsets);
  std::vector<double> replies(asks.size() / 2 * static_cast<std::size_t>(per_cell));
  MPI_Alltoallv(answers.data(), answer_counts.data(), answer_offsets.data(), MPI_DOUBLE, replies.data(),
                reply_counts.data(), reply_offsets.data(), MPI_DOUBLE, MPI_COMM_WORLD);

  // A cell without a donor keeps its temperatures.
  for (std::size_t i = 0; i < cells.size(); ++i) {
    if (slot[i] < 0) continue;
    const double* in = replies.data() + static_cast<std::size_t>(slot[i]) * static_cast<std::size_t>(per_cell);
    const double shift = (in[levels + 1] - z(cells[i].row, cells[i].col, 1)) * kGlacierLapseRate;
    const std::span<double> profile = T.levels(cells[i].row, cells[i].col);
    for (int l = 0; l <= levels; ++l) profile[static_cast<std::size_t>(l)] = in[l] + shift;
  }
}

}  // namespace tolvo
