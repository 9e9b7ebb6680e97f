#include "setup/region_grid.h"

#include <mpi.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>

#include "framework/error_code.h"
#include "framework/grid_distribution.h"
#include "framework/grid_table.h"
#include "framework/halo_exchange.h"
#include "framework/modelobject.h"
#include "framework/parallel.h"

namespace tolvo {

namespace {

// A cell belongs to the zone when its zone value is above nodata (not NaN).
bool InZone(double zone_value, double nodata) { return zone_value > nodata; }

// The first of `n` consecutive free entries; fails with 12 after a FATAL entry that ends
// with `end`.
int TakeEntries(modelobject& reader, int n, const char* end) {
  return reader.grids()->TakeFreeEntries(
      n, {}, reader.log(),
      "no free grid found in memory (at position " + std::to_string(kLastGridIndex + 1) + ")" + end);
}

// The region code of a region value: truncated toward zero; 0 for a value outside the
// codes (NaN included), which the ranking refuses.
int RegionCode(double value) {
  if (!(value >= 1.0 && value < kLargestRegionCode + 1.0)) return 0;
  return static_cast<int>(value);
}

// The ranking on process 0: codes, indices and centroids from the whole grids.
RegionTables RankOnProcess0(modelobject& reader, ConstGridView zone, ConstGridView regions,
                            const std::string& file_name) {
  const GridGeometry& g = reader.geometry();
  RegionTables tables;
  std::vector<int> seen;  // codes in the order met
  std::vector<int> index_of(kLargestRegionCode + 1, 0);
  for (int r = 1; r <= g.nrows; ++r) {
    for (int c = 1; c <= g.ncols; ++c) {
      if (!InZone(zone(r, c), g.nodata_value)) continue;
      const int code = RegionCode(regions(r, c));
      if (code < 1) {
        reader.log() << "FATAL: invalid region code in " << file_name << "!\n (codes has to be between 1 and "
                     << kLargestRegionCode << ")!\n"
                     << "[end-entry]";
        RaiseError(kInvalidZoneCode);
      }
      if (index_of[static_cast<std::size_t>(code)] != 0) continue;
      if (static_cast<int>(seen.size()) == kMaxRegions) {
        reader.log() << "FATAL: too much zones in " << file_name << ", (max. " << kMaxRegions << ")!\n"
                     << "[end-entry]";
        RaiseError(kTooManyZones);
      }
      seen.push_back(code);
      index_of[static_cast<std::size_t>(code)] = static_cast<int>(seen.size());
    }
  }

  // Indices follow the codes in ascending order.
  std::sort(seen.begin(), seen.end());
  tables.region_count = static_cast<int>(seen.size());
  tables.largest_code = seen.empty() ? 0 : seen.back();
  tables.code_index.assign(static_cast<std::size_t>(tables.largest_code) + 1, 0);
  for (std::size_t i = 0; i < seen.size(); ++i) {
    tables.code_index[static_cast<std::size_t>(seen[i])] = static_cast<int>(i) + 1;
  }

  tables.centroids.assign(static_cast<std::size_t>(tables.region_count) + 1, RegionCentroidRecord{});
  for (int r = 1; r <= g.nrows; ++r) {
    for (int c = 1; c <= g.ncols; ++c) {
      if (!InZone(zone(r, c), g.nodata_value)) continue;
      RegionCentroidRecord& centroid =
          tables.centroids[static_cast<std::size_t>(tables.code_index[static_cast<std::size_t>(RegionCode(regions(r, c)))])];
      centroid.mean_row += r;
      centroid.mean_col += c;
      centroid.cell_count += 1;
    }
  }
  for (std::size_t k = 1; k < tables.centroids.size(); ++k) {
    RegionCentroidRecord& centroid = tables.centroids[k];
    centroid.mean_row /= centroid.cell_count;
    centroid.mean_col /= centroid.cell_count;
    centroid.row = static_cast<int>(centroid.mean_row);
    centroid.col = static_cast<int>(centroid.mean_col);
  }
  return tables;
}

// The MPI type of a centroid record: int, int, double, double, double.
MPI_Datatype MakeRegionCentroidType() {
  static_assert(sizeof(RegionCentroidRecord) == 32, "RegionCentroidRecord travels as 32 bytes");
  const std::array<int, 5> lengths = {1, 1, 1, 1, 1};
  const std::array<MPI_Aint, 5> displacements = {
      offsetof(RegionCentroidRecord, row), offsetof(RegionCentroidRecord, col),
      offsetof(RegionCentroidRecord, mean_row), offsetof(RegionCentroidRecord, mean_col),
      offsetof(RegionCentroidRecord, cell_count)};
  const std::array<MPI_Datatype, 5> types = {MPI_INT, MPI_INT, MPI_DOUBLE, MPI_DOUBLE, MPI_DOUBLE};
  MPI_Datatype type = MPI_DATATYPE_NULL;
  MPI_Type_create_struct(5, lengths.data(), displacements.data(), types.data(), &type);
  MPI_Type_commit(&type);
  return type;
}

// The search of one zone cell's disc for other regions.
struct DiscSearch {
  double w1 = 0;
  double w2 = 0;
  double w3 = 0;
  double r2 = 0;
  double r3 = 0;
  int q2_row = 0;
  int q2_col = 0;
  int q3_row = 0;
  int q3_col = 0;
};

DiscSearch SearchDisc(ConstGridView r1, int j, int k, int region_count, double o, double nodata) {
  const int nrows = r1.rows().last;
  const int ncols = r1.ncols();
  const int t = static_cast<int>(o);
  const double own = r1(j, k);
  DiscSearch s{o, o, o, 0, 0, j, k, j, k};
  for (int i = std::max(j - t, 1); i <= std::min(j + t, nrows); ++i) {
    const int h = static_cast<int>(std::sqrt(o * o - static_cast<double>((j - i) * (j - i))));
    const std::span<const double> row = r1.row(i);
    for (int l = std::max(k - h, 1); l <= std::min(k + h, ncols); ++l) {
      const double x = row[static_cast<std::size_t>(l)];
      if (x == own || !(x > nodata)) continue;
      if (s.r2 == 0) s.r2 = x;
      const double d = std::floor(std::sqrt(static_cast<double>((k - l) * (k - l) + (j - i) * (j - i))));
      if (x == s.r2) {
        if (s.w1 >= d) {
          s.w1 = d;
          s.w2 = d;
          s.q2_row = i;
          s.q2_col = l;
        }
      } else if (region_count >= 3) {
        if (s.r3 == 0) s.r3 = x;
        if (x == s.r3) {
          if (s.w3 >= d) {
            s.w3 = d;
            s.q3_row = i;
            s.q3_col = l;
          }
        } else if (s.w3 > s.w2) {
          if (s.w3 > d) {
            s.r3 = x;
            s.w3 = d;
            s.q3_row = i;
            s.q3_col = l;
          }
        } else if (s.w2 > d) {
          // The new R2 keeps the old W1: later cells of it are compared with that.
          s.r2 = x;
          s.w2 = d;
          s.q2_row = i;
          s.q2_col = l;
        }
      }
    }
  }
  return s;
}

struct ThreeWeights {
  double w1;
  double w2;
  double w3;
};

// The blend of the own region with R2 and R3 for the cell (j, k): inverse distances less
// a threshold g that grows with the smallest term, normalised to 1.
ThreeWeights ThreeRegionBlend(const DiscSearch& s, int j, int k, double o) {
  const auto distance = [&](int i, int l) {
    return std::sqrt(static_cast<double>((j - i) * (j - i) + (k - l) * (k - l)));
  };
  const double d2 = distance(s.q2_row, s.q2_col);
  const double d3 = distance(s.q3_row, s.q3_col);
  const auto positive = [](double v) { return v <= 0 ? 1.0 : v; };
  const double a = positive(o - std::min(d2, d3));
  const double b = positive(d2 + o);
  const double c = positive(d3 + o);
  const double m = std::min({a, b, c});
  const double g = (0.9 - 0.5 * std::cos(m / o * 1.5707963)) / (2 * o);
  const double pa = std::max(0.0, 1 / a - g);
  const double pb = std::max(0.0, 1 / b - g);
  const double pc = std::max(0.0, 1 / c - g);
  const double sum = pa + pb + pc;  // above 0: a <= max(o, 1) keeps 1/a above g
  ThreeWeights w{pa / sum, pb / sum, 0};
  if (w.w1 + w.w2 > 1) w.w2 = 1 - w.w1;
  w.w3 = 1 - (w.w1 + w.w2);
  return w;
}

void WeighCell(const RegionWeightGridViews& g, int j, int k, int region_count, double o, double nodata) {
  if (!InZone(g.zone(j, k), nodata)) {
    // R1 is nodata here already; writing it again could race with a neighbour's search.
    g.w1(j, k) = nodata;
    if (region_count >= 2) g.r2(j, k) = g.w2(j, k) = nodata;
    if (region_count >= 3) g.r3(j, k) = g.w3(j, k) = nodata;
    return;
  }
  if (region_count < 2) {
    g.w1(j, k) = 1;
    return;
  }
  const DiscSearch s = SearchDisc(g.r1, j, k, region_count, o, nodata);
  const double w = std::clamp(s.w1 / (2 * o) + 0.5, 0.5, 1.0);
  g.r2(j, k) = s.r2;
  if (region_count == 2) {
    g.w1(j, k) = w;
    g.w2(j, k) = 1 - w;
    return;
  }
  g.r3(j, k) = s.r3;
  if (s.r3 > 0) {
    const ThreeWeights blend = ThreeRegionBlend(s, j, k, o);
    g.w1(j, k) = blend.w1;
    g.w2(j, k) = blend.w2;
    g.w3(j, k) = blend.w3;
    return;
  }
  g.w1(j, k) = w;
  g.w2(j, k) = s.r2 > 0 ? 1 - w : 0;
  g.w3(j, k) = 0;
}

}  // namespace

std::string RegionFileStem(std::string_view file_name) {
  const std::size_t slash = file_name.find_last_of('/');
  const std::size_t base = slash == std::string_view::npos ? 0 : slash + 1;
  const std::size_t dot = file_name.find_last_of('.');
  if (dot == std::string_view::npos || dot < base) return std::string(file_name);
  return std::string(file_name.substr(0, dot));
}

RegionTables RankRegionGrid(modelobject& reader, int index) {
  RegionTables tables;
  const grid_table& table = *reader.grids();
  if (reader.rank() == 0) {
    const std::string file_name = table[index].file_name.value_or("");
    reader.log() << "ranking regions from " << file_name << " for " << reader.name() << "[end-entry]";
    tables = RankOnProcess0(reader, table.zone_grid().values, table[index].values, file_name);
  }

  MPI_Barrier(MPI_COMM_WORLD);
  MPI_Bcast(&tables.region_count, 1, MPI_INT, 0, MPI_COMM_WORLD);
  MPI_Bcast(&tables.largest_code, 1, MPI_INT, 0, MPI_COMM_WORLD);
  MPI_Barrier(MPI_COMM_WORLD);
  if (reader.rank() != 0) {
    tables.code_index.assign(static_cast<std::size_t>(tables.largest_code) + 1, 0);
    tables.centroids.assign(static_cast<std::size_t>(tables.region_count) + 1, RegionCentroidRecord{});
  }
  MPI_Barrier(MPI_COMM_WORLD);

  MPI_Datatype code_table_type = MPI_DATATYPE_NULL;
  MPI_Type_contiguous(tables.largest_code + 1, MPI_INT, &code_table_type);
  MPI_Type_commit(&code_table_type);
  MPI_Bcast(tables.code_index.data(), 1, code_table_type, 0, MPI_COMM_WORLD);
  MPI_Type_free(&code_table_type);
  MPI_Barrier(MPI_COMM_WORLD);

  MPI_Datatype centroid_type = MakeRegionCentroidType();
  MPI_Bcast(tables.centroids.data(), tables.region_count + 1, centroid_type, 0, MPI_COMM_WORLD);
  MPI_Type_free(&centroid_type);
  return tables;
}

void ComputeRegionWeights(const RegionWeightGridViews& grids, std::span<const ColumnRange> column_ranges,
                          int region_count, double distance_cells, double nodata) {
  const RowRange rows = grids.r1.rows();
  const int ncols = grids.r1.ncols();
  for_each_row(rows, [&](int r) {
    const std::span<const double> zone = grids.zone.row(r);
    const std::span<double> r1 = grids.r1.row(r);
    for (int c = 1; c <= ncols; ++c) {
      const auto i = static_cast<std::size_t>(c);
      if (!InZone(zone[i], nodata)) r1[i] = nodata;
    }
  });
  // Each cell reads R1 only and writes its own cells: the rows are independent.
  for_each_row(rows, [&](int r) {
    if (static_cast<std::size_t>(r) >= column_ranges.size()) return;
    const ColumnRange range = column_ranges[static_cast<std::size_t>(r)];
    for (int c = std::max(range.first, 1); c <= std::min(range.last, ncols); ++c) {
      WeighCell(grids, r, c, region_count, distance_cells, nodata);
    }
  });
}

void RegionGrids::MakeRegionWeightGrids(modelobject& reader, const std::function<void()>& count_registered_grid) {
  tables_ = {};

  region_index_ = reader.FindGrid("regression_regions", true);
  if (region_index_ == 0) {
    region_index_ = TakeEntries(reader, 1, "\n");
    MakeOneRegionGrid(reader, region_index_, count_registered_grid);
  }
  ReadTransitionDistance(reader);
  const double distance = tables_.transition_distance;
  tables_ = RankRegionGrid(reader, region_index_);
  tables_.transition_distance = distance;

  const std::string region_file = (*reader.grids())[region_index_].file_name.value_or("");
  RegisterWeightGrids(reader, region_file, count_registered_grid);
  MakeRegionWeights(reader);
  SpreadAndWrite(reader);
}

void RegionGrids::MakeOneRegionGrid(modelobject& reader, int index,
                                    const std::function<void()>& count_registered_grid) {
  const GridGeometry& g = reader.geometry();
  const grid_table& table = *reader.grids();
  const std::string file_name = RegionFileStem(table.zone_grid().file_name.value_or("")) + ".$r1";
  const RowRange held = reader.held_rows();
  made_regions_ = reader.matrix(held.first, held.last, 1, g.ncols, g.nrows);
  const ConstGridView zone = table.zone_grid().values;
  const GridView regions = made_regions_.view();
  for (int r = held.first; r <= held.last; ++r) {
    for (int c = 1; c <= g.ncols; ++c) {
      const bool in_zone = zone.rows().contains(r) && InZone(zone(r, c), g.nodata_value);
      regions(r, c) = in_zone ? 1 : g.nodata_value;
    }
  }
  reader.RegisterGrid(index, file_name, regions, {}, 0, "regression_regions", 0, held.first, held.last);
  count_registered_grid();
}

void RegionGrids::ReadTransitionDistance(modelobject& reader) {
  const std::string& name = reader.control_file_name();
  if (!reader.OpenControlFile(name)) {
    reader.log() << "FATAL: error opening " << name << "[end-entry]";
    RaiseError(kControlFileOpenError);
  }
  reader.FindSection("[region_transition_distance]", true);
  reader.ReadItem(tables_.transition_distance, "transition distance (if or if not using a region grid) ");
  reader.CloseControlFile();
  if (tables_.transition_distance <= 0) tables_.transition_distance = kSmallestTransitionDistance;
}

void RegionGrids::RegisterWeightGrids(modelobject& reader, const std::string& region_file,
                                      const std::function<void()>& count_registered_grid) {
  struct Made {
    const char* identifier;
    const char* suffix;
    int least_regions;
  };
  static constexpr std::array<Made, 5> kGrids = {{{"regression_weights1", ".$w1", 1},
                                                  {"regression_regions2", ".$r2", 2},
                                                  {"regression_weights2", ".$w2", 2},
                                                  {"regression_regions3", ".$r3", 3},
                                                  {"regression_weights3", ".$w3", 3}}};
  const GridGeometry& g = reader.geometry();
  const RowRange held = reader.held_rows();
  const std::string stem = RegionFileStem(region_file);
  grids_.reserve(kGrids.size());
  const auto made_here = [&](const Made& made) {
    return made.least_regions <= 1 || tables_.region_count >= made.least_regions;
  };
  const auto n_made = static_cast<int>(std::find_if_not(kGrids.begin(), kGrids.end(), made_here) - kGrids.begin());
  // The grids take consecutive free entries, so no grid of the table is replaced.
  int index = TakeEntries(reader, n_made, "") - 1;
  for (const Made& made : kGrids) {
    if (!made_here(made)) break;
    ++index;
    Grid grid = reader.matrix(held.first, held.last, 1, g.ncols, g.nrows);
    reader.RegisterGrid(index, stem + made.suffix, grid.view(), {}, 0, made.identifier, 0, held.first, held.last);
    count_registered_grid();
    grids_.push_back(std::move(grid));
    indices_.push_back(index);
  }
}

void RegionGrids::MakeRegionWeights(modelobject& reader) {
  if (reader.rank() != 0) return;
  reader.log() << "generating region weight grids" << "[end-entry]";
  const GridGeometry& g = reader.geometry();
  const grid_table& table = *reader.grids();
  const auto grid = [&](std::size_t i) { return i < grids_.size() ? grids_[i].view() : GridView(); };
  const RegionWeightGridViews views{table.zone_grid().values, table[region_index_].values, grid(0), grid(1), grid(2),
                                    grid(3), grid(4)};
  std::vector<ColumnRange> full_rows;
  std::span<const ColumnRange> ranges;
  if (const DomainLayout* layout = reader.domain_layout(); layout != nullptr && !layout->column_ranges.empty()) {
    ranges = layout->column_ranges;
  } else {
    full_rows.assign(static_cast<std::size_t>(g.nrows) + 1, ColumnRange{1, g.ncols});
    ranges = full_rows;
  }
  ComputeRegionWeights(views, ranges, tables_.region_count, tables_.transition_distance / g.cellsize,
                       g.nodata_value);
  for (int r = 1; r <= g.nrows; ++r) reader.log() << ".";
  reader.log() << "[end-entry]";
}

void RegionGrids::SpreadAndWrite(modelobject& reader) {
  grid_table& table = *reader.grids();
  // W1 alone, then R2 with W2, then R3 with W3: each group is scattered and halo-exchanged,
  // then written once through the current-value output of its entries.
  const auto spread_and_write = [&](std::size_t first, std::size_t last) {
    if (last >= indices_.size()) return;
    for (std::size_t i = first; i <= last; ++i) {
      ScatterGrid(reader.context(), grids_[i].view());
      ExchangeHalo(reader.context(), grids_[i].view());
      table[indices_[i]].ones = 1;
    }
    for (std::size_t i = first; i <= last; ++i) reader.WriteGridOutputs(indices_[i], true, false);
    for (std::size_t i = first; i <= last; ++i) table[indices_[i]].ones = 0;
  };
  spread_and_write(0, 0);
  spread_and_write(1, 2);
  spread_and_write(3, 4);
}

}  // namespace tolvo
