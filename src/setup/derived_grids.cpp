#include "setup/derived_grids.h"

#include <mpi.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

#include "framework/error_code.h"
#include "framework/grid_distribution.h"
#include "framework/grid_table.h"
#include "framework/modelobject.h"

namespace tolvo {

namespace {

constexpr double kDegreesPerRadian = 57.29577951307855;
// Largest difference accepted between a given relative cell area and the one of the
// given cell sizes.
constexpr double kRelCellAreaTolerance = 1e-5;

// The own rows, and every row on process 0 (which computes the grids for all).
RowRange OwnRowsOrAll(const modelobject& reader) {
  return reader.rank() == 0 ? RowRange{1, reader.geometry().nrows} : reader.strip();
}

grid_entry& EntryAt(modelobject& reader, int position) { return (*reader.grids())[position]; }

std::string FileNameAt(modelobject& reader, int position) {
  return EntryAt(reader, position).file_name.value_or(std::string{});
}

// Makes a grid of zeros over `rows`, registers it with write code 0 and counts it.
void MakeGrid(modelobject& reader, DerivedGrids::Member& member, int position, const std::string& file_name,
              std::string_view identifier, RowRange rows, int& grid_count) {
  const GridGeometry& g = reader.geometry();
  member.made = reader.matrix(rows.first, rows.last, 1, g.ncols, g.nrows);
  member.values = member.made.view();
  member.position = position;
  member.given = false;
  reader.RegisterGrid(position, file_name, member.values, {}, 0, identifier, 0, rows.first, rows.last);
  ++grid_count;
}

// Uses the grid of the lists at `position`.
void UseGiven(modelobject& reader, DerivedGrids::Member& member, int position) {
  member.values = EntryAt(reader, position).values;
  member.position = position;
  member.given = true;
}

// Writes a made grid once under its file name; its write code stays 0 for the run.
void WriteOnce(modelobject& reader, int position) {
  grid_entry& entry = EntryAt(reader, position);
  entry.ones = 1;
  reader.WriteGridOutputs(position, true, false);
  entry.ones = 0;
}

// The first of `n` consecutive free entries (by file name, up to `last`); fails with 12
// after a FATAL entry of `text`, the position and `end`.
int TakeEntries(modelobject& reader, int n, int last, const char* text, const char* end) {
  const std::string message = std::string(text) + " (at position " + std::to_string(kLastGridIndex + 1) + ")" + end;
  return reader.grids()->TakeFreeEntries(n, {.last = last}, reader.log(), message);
}

// Collective: the largest of the processes' codes, so that a fault that one process finds
// stops every process at the same point.
int AgreedCode(int code) {
  int agreed = code;
  MPI_Allreduce(&code, &agreed, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD);
  return agreed;
}

// Collective: every process other than 0 receives the rows it holds of `grid` from
// process 0, which holds every row; one message per row, in row order, tagged with it.
void ShareRowsOfProcess0(const modelobject& reader, GridView grid) {
  const int size = reader.process_count();
  if (size < 2) return;
  const int ncols = reader.geometry().ncols;
  const RowRange rows = grid.empty() ? RowRange{1, 0} : grid.rows();
  const std::array<int, 2> mine{rows.first, rows.last};
  std::vector<int> all(reader.rank() == 0 ? 2 * static_cast<std::size_t>(size) : 2);
  MPI_Gather(mine.data(), 2, MPI_INT, all.data(), 2, MPI_INT, 0, MPI_COMM_WORLD);
  if (reader.rank() == 0) {
    for (int k = 1; k < size; ++k) {
      for (int r = all[2 * static_cast<std::size_t>(k)]; r <= all[2 * static_cast<std::size_t>(k) + 1]; ++r) {
        MPI_Send(grid.row(r).data() + 1, ncols, MPI_DOUBLE, k, r, MPI_COMM_WORLD);
      }
    }
    return;
  }
  for (int r = rows.first; r <= rows.last; ++r) {
    MPI_Recv(grid.row(r).data() + 1, ncols, MPI_DOUBLE, 0, r, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
  }
}

// Zone-column range of row r from the zone ranking; every column without one.
ColumnRange ZoneColumns(const modelobject& reader, int r) {
  const int ncols = reader.geometry().ncols;
  const DomainLayout* layout = reader.domain_layout();
  if (layout == nullptr || layout->column_ranges.empty()) return {1, ncols};
  if (r < 0 || static_cast<std::size_t>(r) >= layout->column_ranges.size()) return {};
  const ColumnRange range = layout->column_ranges[static_cast<std::size_t>(r)];
  return {std::max(range.first, 1), std::min(range.last, ncols)};
}

}  // namespace

std::string DerivedGridFileName(std::string_view source_file, std::string_view suffix) {
  const std::size_t slash = source_file.rfind('/');
  const std::size_t dot = source_file.rfind('.');
  const bool has_dot = dot != std::string_view::npos && (slash == std::string_view::npos || dot > slash);
  std::string name(has_dot ? source_file.substr(0, dot) : source_file);
  name += suffix;
  return name;
}

SlopeAspect TerrainSlopeAspect(double z_north, double z_south, double z_west, double z_east, double cellsize) {
  const double dy = (z_north - z_south) / (2 * cellsize);
  const double dx = (z_east - z_west) / (2 * cellsize);
  SlopeAspect result;
  if (dx != 0 || dy != 0) result.slope = std::atan(std::sqrt(dx * dx + dy * dy)) * kDegreesPerRadian;
  if (dx == 0) {
    result.aspect = dy > 0 ? 180 : 0;
  } else {
    result.aspect = 180 - std::atan(dy / dx) * kDegreesPerRadian + (dx / std::fabs(dx)) * 90;
  }
  return result;
}

void FillFromNeighbours(int r, int c, GridView grid, const GridGeometry& geometry) {
  const RowRange held = grid.rows();
  double sum = 0;
  int count = 0;
  for (int rr = std::max({r - 1, 1, held.first}); rr <= std::min({r + 1, geometry.nrows, held.last}); ++rr) {
    for (int cc = std::max(c - 1, 1); cc <= std::min(c + 1, geometry.ncols); ++cc) {
      if (rr == r && cc == c) continue;
      const double v = grid(rr, cc);
      if (v == geometry.nodata_value) continue;
      sum += v;
      ++count;
    }
  }
  if (count > 0) grid(r, c) = sum / count;
}

double GridMaximum(modelobject& reader, int position) {
  const double nodata = reader.geometry().nodata_value;
  const ConstGridView grid = EntryAt(reader, position).values;
  const DomainLayout* layout = reader.domain_layout();
  // Each cell is counted by one process: its owner, and process 0 for the cells outside
  // the domain, whose values only process 0 holds.
  const ConstGridView regions = layout != nullptr && reader.process_count() > 1 ? layout->regions : ConstGridView{};
  const int rank = reader.rank();
  double local = nodata;
  if (!grid.empty()) {
    const RowRange scan = OwnRowsOrAll(reader);
    const RowRange held = grid.rows();
    for (int r = std::max(scan.first, held.first); r <= std::min(scan.last, held.last); ++r) {
      const ColumnRange range = ZoneColumns(reader, r);
      const std::span<const double> row = grid.row(r);
      for (int c = range.first; c <= range.last; ++c) {
        if (!regions.empty()) {
          if (!regions.rows().contains(r)) break;
          const double owner = regions(r, c);
          if (rank == 0 ? owner > 0 : owner != rank) continue;
        }
        local = std::max(local, row[static_cast<std::size_t>(c)]);
      }
    }
  }
  double maximum = local;
  MPI_Reduce(&local, &maximum, 1, MPI_DOUBLE, MPI_MAX, 0, MPI_COMM_WORLD);
  MPI_Bcast(&maximum, 1, MPI_DOUBLE, 0, MPI_COMM_WORLD);
  return maximum;
}

// --- cell sizes ---------------------------------------------------------------------------

namespace {

// The first cell whose sizes cannot be right.
struct CellSizeFault {
  enum class Kind { None, XZero, YZero, AreaMismatch };
  Kind kind = Kind::None;
  int r = 0;
  int c = 0;
  double x = 0;
  double y = 0;
  double product = 0;
  double area = 0;
};

}  // namespace

void DerivedGrids::MakeCellSizeGrids(modelobject& reader, int& grid_count) {
  const GridGeometry& g = reader.geometry();
  const double cs = g.cellsize;
  const double nodata = g.nodata_value;
  // Grids that the lists do not give are made, in consecutive free entries.
  const int found_x = reader.FindGrid("CellSizeX", false);
  const int found_y = reader.FindGrid("CellSizeY", false);
  const bool make_area = reader.rel_cell_area().empty();
  const int n_made = (found_x == 0) + (found_y == 0) + make_area;
  int next = TakeEntries(reader, std::max(n_made, 1), kLastGridIndex, "no free grid found in memory", "");

  const RowRange rows = reader.held_rows_or_none();
  const std::string zone_file = FileNameAt(reader, kZoneGridIndex);
  if (found_x > 0) {
    UseGiven(reader, cell_size_x_, found_x);
  } else {
    MakeGrid(reader, cell_size_x_, next++, DerivedGridFileName(zone_file, ".$csx"), "CellSizeX", rows, grid_count);
  }
  if (found_y > 0) {
    UseGiven(reader, cell_size_y_, found_y);
  } else {
    MakeGrid(reader, cell_size_y_, next++, DerivedGridFileName(zone_file, ".$csy"), "CellSizeY", rows, grid_count);
  }
  if (make_area) {
    MakeGrid(reader, rel_cell_area_, next++, DerivedGridFileName(zone_file, ".$rca"), "RelCellArea", rows,
             grid_count);
  } else {
    UseGiven(reader, rel_cell_area_, reader.RequireGrid("RelCellArea"));
  }

  const bool x_given = cell_size_x_.given;
  const bool y_given = cell_size_y_.given;
  const bool r_given = rel_cell_area_.given;
  const ConstGridView zone = reader.grids()->zone_grid().values;
  const GridView xs = cell_size_x_.values;
  const GridView ys = cell_size_y_.values;
  const GridView ra = rel_cell_area_.values;

  reader.log() << "Checking cell sizes for variable Cells..." << "[end-entry]";
  CellSizeFault fault;
  const RowRange held = zone.rows();
  for (int r = std::max(rows.first, held.first); r <= std::min(rows.last, held.last) && fault.r == 0; ++r) {
    for (int c = 1; c <= g.ncols; ++c) {
      if (!(zone(r, c) > nodata)) {
        xs(r, c) = ys(r, c) = ra(r, c) = nodata;
        continue;
      }
      double& x = xs(r, c);
      double& y = ys(r, c);
      double& area = ra(r, c);
      if (!r_given && !x_given && !y_given) area = 1.0;
      if (x_given && x == 0) {
        fault = {CellSizeFault::Kind::XZero, r, c};
      } else if (!x_given && y_given && y == 0) {
        fault = {CellSizeFault::Kind::YZero, r, c};
      } else if (x_given && y_given) {
        const double product = x * y / (cs * cs);
        if (!r_given) {
          area = product;
        } else if (std::fabs(area - product) > kRelCellAreaTolerance) {
          fault = {CellSizeFault::Kind::AreaMismatch, r, c, x, y, product, area};
        }
      } else if (x_given || y_given) {
        // One size given: the other follows from the relative area, or is the model's
        // cell size when the relative area is to be made from them.
        double& missing = x_given ? y : x;
        const double known = x_given ? x : y;
        if (r_given) {
          missing = cs * area * cs / known;
        } else {
          missing = cs;
          area = known * cs / (cs * cs);
        }
      } else {
        x = y = std::sqrt(cs * cs * area);
      }
      if (fault.r != 0) break;
    }
  }

  switch (fault.kind) {
    case CellSizeFault::Kind::None: break;
    case CellSizeFault::Kind::XZero:
      reader.log() << "FATAL: cell size in x direction is zero at row " << fault.r << ", column " << fault.c
                   << ",\nread from file " << FileNameAt(reader, cell_size_x_.position) << "\n" << "[end-entry]";
      break;
    case CellSizeFault::Kind::YZero:
      reader.log() << "FATAL: cell size in y direction is zero at row " << fault.r << ", column " << fault.c
                   << ",\nread from file " << FileNameAt(reader, cell_size_y_.position) << "[end-entry]";
      break;
    case CellSizeFault::Kind::AreaMismatch:
      reader.log() << "FATAL: cell sizes and relative cell area do not match at row " << fault.r << ", column "
                   << fault.c << ":\nCellSizeX " << fault.x << " (read from file "
                   << FileNameAt(reader, cell_size_x_.position) << ") times CellSizeY " << fault.y
                   << " (read from file " << FileNameAt(reader, cell_size_y_.position) << ") divided by cellsize^2 is "
                   << fault.product << ",\nbut RelCellArea is " << fault.area << " (read from file "
                   << FileNameAt(reader, rel_cell_area_.position) << ")" << "[end-entry]";
      break;
  }
  if (AgreedCode(fault.kind == CellSizeFault::Kind::None ? 0 : kCellSizeErrorCode) != 0) {
    RaiseError(kCellSizeErrorCode);
  }

  if (!r_given) {
    reader.set_rel_cell_area(rel_cell_area_.values);
    WriteOnce(reader, rel_cell_area_.position);
  }
  if (!x_given) WriteOnce(reader, cell_size_x_.position);
  if (!y_given) WriteOnce(reader, cell_size_y_.position);
}

// --- coordinates --------------------------------------------------------------------------

void DerivedGrids::MakeCoordinateGrids(modelobject& reader, int& grid_count) {
  const GridGeometry& g = reader.geometry();
  const double cs = g.cellsize;
  const double nodata = g.nodata_value;
  const int first = TakeEntries(reader, 2, kLastGridIndex, "no free grid found in memory", "");
  const RowRange rows = OwnRowsOrAll(reader);
  const std::string zone_file = FileNameAt(reader, kZoneGridIndex);
  MakeGrid(reader, coord_x_, first, DerivedGridFileName(zone_file, ".$cx"), "CoordX", rows, grid_count);
  MakeGrid(reader, coord_y_, first + 1, DerivedGridFileName(zone_file, ".$cy"), "CoordY", rows, grid_count);

  const GridView x = coord_x_.values;
  const GridView y = coord_y_.values;
  if (reader.rank() == 0) {
    // Process 0 holds every row of the zone grid and the cell sizes: it computes all
    // rows, anchored at the bottom row, so the coordinates do not depend on the bands.
    for (int r = 1; r <= g.nrows; ++r) {
      for (int c = 1; c <= g.ncols; ++c) {
        x(r, c) = (c - 1) * cs + g.xllcorner;
        y(r, c) = (g.nrows - r) * cs + g.yllcorner;
      }
    }
    if (!reader.rel_cell_area().empty() && !cell_size_x_.values.empty() && !cell_size_y_.values.empty()) {
      const ConstGridView sx = cell_size_x_.values;
      const ConstGridView sy = cell_size_y_.values;
      const auto size_or_cs = [&](double size) { return size > nodata ? size : cs; };
      const int anchor = g.nrows;
      for (int c = std::max(ZoneColumns(reader, anchor).first + 1, 2); c <= g.ncols; ++c) {
        x(anchor, c) = x(anchor, c - 1) + size_or_cs(sx(anchor, c - 1));
      }
      for (int r = anchor - 1; r >= 1; --r) {
        x(r, 1) = g.xllcorner;
        for (int c = 2; c <= g.ncols; ++c) {
          x(r, c) = x(r, c - 1) + size_or_cs(sx(r, c - 1));
          y(r, c) = y(r + 1, c) + size_or_cs(sy(r + 1, c));
        }
      }
    }
    const ConstGridView zone = reader.grids()->zone_grid().values;
    for (int r = 1; r <= g.nrows; ++r) {
      for (int c = 1; c <= g.ncols; ++c) {
        if (zone(r, c) == nodata) x(r, c) = y(r, c) = nodata;
      }
    }
  }
  ShareRowsOfProcess0(reader, x);
  ShareRowsOfProcess0(reader, y);
  WriteOnce(reader, coord_x_.position);
  WriteOnce(reader, coord_y_.position);
}

// --- slope and aspect ---------------------------------------------------------------------

void DerivedGrids::make_Slope_and_Aspect(modelobject& reader, int& grid_count) {
  elevation_position_ = reader.FindGrid("[elevation_model]", false);
  if (elevation_position_ == 0) return;
  const int slope_found = reader.FindGrid("slope_angle", false);
  const int aspect_found = reader.FindGrid("slope_aspect", false);
  if (slope_found > 0) UseGiven(reader, slope_angle_, slope_found);
  if (aspect_found > 0) UseGiven(reader, slope_aspect_, aspect_found);
  if (slope_found > 0 && aspect_found > 0) return;

  const RowRange rows = reader.held_rows_or_none();
  const std::string dem_file = FileNameAt(reader, elevation_position_);
  if (slope_found == 0) {
    // Up to 1000, the entry that no grid can hold: a full table fails at the registration.
    const int position = TakeEntries(reader, 1, kLastGridIndex + 1, "no free grid found in memory", "");
    MakeGrid(reader, slope_angle_, position, DerivedGridFileName(dem_file, ".$sl"), "slope_angle", rows, grid_count);
  }
  if (aspect_found == 0) {
    const int position = TakeEntries(reader, 1, kLastGridIndex + 1, "no free grid left", "\n");
    MakeGrid(reader, slope_aspect_, position, DerivedGridFileName(dem_file, ".$ex"), "slope_aspect", rows,
             grid_count);
  }
  reader.log() << "calculating the local topography (aspect, slope ...).. " << "[end-entry]";

  const GridView slope = slope_found == 0 ? slope_angle_.values : GridView{};
  const GridView aspect = aspect_found == 0 ? slope_aspect_.values : GridView{};
  if (reader.rank() == 0) {
    // Process 0 holds the whole elevation model, including the cells outside the domain
    // and those of other processes: it computes every row, and the others take theirs.
    const GridGeometry& g = reader.geometry();
    const double nodata = g.nodata_value;
    const ConstGridView z = EntryAt(reader, elevation_position_).values;
    const auto set = [&](int r, int c, double slope_value, double aspect_value) {
      if (!slope.empty()) slope(r, c) = slope_value;
      if (!aspect.empty()) aspect(r, c) = aspect_value;
    };
    for (int c = 1; c <= g.ncols; ++c) {
      set(1, c, nodata, nodata);
      set(g.nrows, c, nodata, nodata);
    }
    for (int r = 2; r <= g.nrows - 1; ++r) {
      set(r, 1, nodata, nodata);
      set(r, g.ncols, nodata, nodata);
      for (int c = 2; c <= g.ncols - 1; ++c) {
        const double zn = z(r - 1, c);
        const double zs = z(r + 1, c);
        const double zw = z(r, c - 1);
        const double ze = z(r, c + 1);
        if (zn == nodata || zs == nodata || zw == nodata || ze == nodata) {
          set(r, c, nodata, nodata);
        } else {
          const SlopeAspect terrain = TerrainSlopeAspect(zn, zs, zw, ze, g.cellsize);
          set(r, c, terrain.slope, terrain.aspect);
        }
      }
    }
    // Cells of the elevation model left without a value take the mean of their
    // neighbours; a cell filled earlier in a pass counts for the cells after it.
    for (int pass = 0; pass < 2; ++pass) {
      for (int r = 1; r <= g.nrows; ++r) {
        for (int c = 1; c <= g.ncols; ++c) {
          if (z(r, c) == nodata) continue;
          if (!aspect.empty() && aspect(r, c) == nodata) FillFromNeighbours(r, c, aspect, g);
          if (!slope.empty() && slope(r, c) == nodata) FillFromNeighbours(r, c, slope, g);
        }
      }
    }
  }
  if (!aspect.empty()) ShareRowsOfProcess0(reader, aspect);
  if (!slope.empty()) ShareRowsOfProcess0(reader, slope);
  if (!aspect.empty()) WriteOnce(reader, slope_aspect_.position);
  if (!slope.empty()) WriteOnce(reader, slope_angle_.position);
}

}  // namespace tolvo
