// The lake side of a reservoir: its cells, its level-volume table, its water on the cells.
#include <cmath>
#include <cstdio>

#include "framework/diagnostics_log.h"
#include "framework/error_code.h"
#include "framework/grid_distribution.h"
#include "routing/sp_class.h"

namespace tolvo {

void SP_class::BuildLevelVolumeTable() {
  if (!is_lake()) return;
  const GridGeometry& g = setup_.geometry;
  box_rows_ = {g.nrows + 1, 0};
  box_first_col_ = g.ncols + 1;
  box_last_col_ = 0;
  const int own_index = setup_.code_index[static_cast<std::size_t>(setup_.subbasin_code)];
  bool found = false;
  double reference = 0;
  for (int r = 1; r <= g.nrows; ++r) {
    const ColumnRange& range = setup_.column_ranges[static_cast<std::size_t>(r)];
    for (int c = range.first; c <= range.last; ++c) {
      const double zone = lake_.zones(r, c);
      if (zone == g.nodata_value || !IsLakeCell(r, c)) continue;
      const double top = lake_.elevation(r, c) + lake_.max_ponding(r, c) / 1000;
      if (!found) reference = top;
      found = true;
      if (std::fabs(reference - top) > 0.01) {
        *log_ << "FATAL: \n============== ERROR ====================\n"
              << "Error in initialization for lake " << code_ << "."
              << "All Cells for a lake must have the same Altitude value for DEM + MAXPOND\n"
              << "Value at row " << r << ", col " << c << " is " << lake_.elevation(r, c) << "\n"
              << "but first value of dhm for this lake was " << reference << "\n"
              << "\n\n=======================================\n"
              << "[end-entry]";
        RaiseError(kLakeLevelMismatch);
      }
      const int code = static_cast<int>(zone);
      const bool inside = code >= 0 && static_cast<std::size_t>(code) < setup_.code_index.size() &&
                          setup_.code_index[static_cast<std::size_t>(code)] == own_index;
      if (!inside) {
        *log_ << "FATAL:  error in routing description or LAKE grid:\n"
              << " Lake " << code_ << " must be located completely within subbasin " << setup_.subbasin_code << "."
              << "[end-entry]";
        RaiseError(kLakeOutsideSubbasin);
      }
      box_rows_.first = std::min(box_rows_.first, r);
      box_rows_.last = std::max(box_rows_.last, r);
      box_first_col_ = std::min(box_first_col_, c);
      box_last_col_ = std::max(box_last_col_, c);
    }
  }
  if (!found) {
    *log_ << "FATAL: lake " << code_ << " of sub-basin " << setup_.subbasin_code
          << " has no cell in the grid \"lake_codes\" within the sub-basins"
          << "[end-entry]";
    RaiseError(kOtherExceptionCode);
  }

  std::vector<double> terrain;
  double top = -HUGE_VAL;
  ForEachLakeCell([&](int r, int c) {
    terrain.push_back(lake_.elevation(r, c));
    top = std::max(top, lake_.elevation(r, c) + lake_.max_ponding(r, c) / 1000);
  });
  table_ = tolvo::BuildLevelVolumeTable(terrain, top, g.cellsize * g.cellsize);

  char name[32];
  std::snprintf(name, sizeof name, "W_V_Table_%02d.dat", code_);
  if (!WriteLevelVolumeTable(table_, code_, name)) {
    *log_ << "FATAL: error opening " << name << " for writing the waterlevel-volume-relation to disk."
          << "[end-entry]";
    RaiseError(kLevelVolumeFileError);
  }
}

double SP_class::LevelFromVolume(double volume_m3) const {
  return is_lake() ? tolvo::LevelFromVolume(table_, volume_m3) : 0.0;
}

double SP_class::VolumeFromLevel(double level_m) const {
  return is_lake() ? tolvo::VolumeFromLevel(table_, level_m) : 0.0;
}

double SP_class::CollectLakeContent(std::span<double> out) const {
  if (!is_lake()) return 0;
  std::fill(out.begin(), out.end(), 0.0);
  const double cell_area = setup_.geometry.cellsize * setup_.geometry.cellsize;
  const int n = setup_.n_tracers;
  ForEachLakeCell([&](int r, int c) {
    const double p = lake_.ponding(r, c);
    if (p <= 0) return;
    const double v = p / 1000 * cell_area;
    out[0] += v;
    for (int k = 1; k <= n; ++k) out[static_cast<std::size_t>(k)] += lake_.tracer_concentrations[static_cast<std::size_t>(k)](r, c) * v;
  });
  for (int k = 1; k <= n; ++k) {
    double& total = out[static_cast<std::size_t>(k)];
    total = out[0] > 0 ? total / out[0] : 0.0;
  }
  return out[0];
}

void SP_class::SetLevelFromVolume(double volume_m3) {
  if (!is_lake()) return;
  level_ = LevelFromVolume(volume_m3);
  const int n = setup_.n_tracers;
  ForEachLakeCell([&](int r, int c) {
    const double e = lake_.elevation(r, c);
    const bool wet = level_ > e;
    lake_.ponding(r, c) = wet ? (level_ - e) * 1000 : 0.0;
    for (int k = 1; k <= n; ++k) {
      lake_.tracer_concentrations[static_cast<std::size_t>(k)](r, c) = wet ? content_[static_cast<std::size_t>(k)] : 0.0;
    }
  });
}

void SP_class::GatherLakeBalance(double T) {
  const double cell_area = setup_.geometry.cellsize * setup_.geometry.cellsize;
  const bool groundwater = !lake_.q_downext.empty() && !lake_.baseflow.empty();
  double& etr = term(BalanceTerm::kEtr).volume_m3;
  double& qgw = term(BalanceTerm::kQgw).volume_m3;
  double& prec = term(BalanceTerm::kPrec).volume_m3;
  ForEachLakeCell([&](int r, int c) {
    if (lake_.ponding(r, c) <= 0) return;
    etr += lake_.transpiration(r, c) * cell_area / 1000;
    if (groundwater) {
      const double q = lake_.q_downext(r, c);
      if (std::fabs(q) > 1e-10) {
        qgw += q * cell_area * T;
      } else {
        qgw -= lake_.baseflow(r, c) * cell_area * T;
      }
    }
    prec += cell_area * lake_.prec_on_lakes(r, c) / 1000;
  });
}

}  // namespace tolvo
