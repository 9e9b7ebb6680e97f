#include "runoff/surface_passes.h"

#include <algorithm>

#include "framework/parallel.h"
#include "tables/landuse_table.h"

namespace tolvo {
namespace {

// Calls body(c) for every own cell of row r.
template <typename Body>
void ForOwnCells(const SurfaceGrids& g, const SurfaceParameters& p, const SurfaceCells& cells, int r, Body&& body) {
  for (int c = 1; c <= p.ncols; ++c) {
    if (IsOwnCell(g, p.nodata, cells.rank, r, c)) body(c);
  }
}

}  // namespace

const LanduseRecord* CellLanduseRecord(const SurfaceLanduse& landuse, int r, int c, int& layer) {
  if (landuse.table == nullptr) return nullptr;
  for (int k = static_cast<int>(landuse.layers.size()); k >= 1; --k) {
    const ConstGridView& codes = landuse.layers[static_cast<std::size_t>(k) - 1];
    if (codes.empty()) continue;
    const double code = codes(r, c);
    if (code == -9999) continue;
    const int index = static_cast<int>(code);
    if (index < 1 || index > landuse.table->size()) continue;
    layer = k;
    return &(*landuse.table)[index];
  }
  return nullptr;
}

CellVegetation VegetationAt(const SurfaceLanduse& landuse, int r, int c) {
  CellVegetation veg;
  int layer = 0;
  const LanduseRecord* record = CellLanduseRecord(landuse, r, c, layer);
  if (record == nullptr) return veg;
  veg.cultivation = record->GetSRCultivation();
  veg.k_st = record->GetSRKST();
  veg.crop_dist_x = record->GetSRCropDistX();
  veg.crop_dist_y = record->GetSRCropDistY();
  veg.c_wr = record->GetSRCWR();
  record->GetSRRoughCoeff1(veg.rough1[0], veg.rough1[1], veg.rough1[2]);
  record->GetSRRoughCoeff2(veg.rough2[0], veg.rough2[1], veg.rough2[2]);
  if (veg.cultivation == 1 || veg.cultivation == 2) {
    veg.residue_cover = landuse.residue_cover(r, c);
    veg.stem_diameter = landuse.stem_diameter(r, c);
  }
  return veg;
}

VegetationFailure PrepareVegetation(const SurfaceGrids& g, const SurfaceLanduse& landuse, const SurfaceCells& cells,
                                    double nodata, int day, int month, int year,
                                    std::span<VegetationFailure> row_status) {
  for_each_row(cells.rows, [&](int r) {
    VegetationFailure& status = row_status[static_cast<std::size_t>(r)];
    status = {};
    for (int c = 1; c <= g.zone.ncols(); ++c) {
      if (!IsOwnCell(g, nodata, cells.rank, r, c)) continue;
      int layer = 0;
      const LanduseRecord* record = CellLanduseRecord(landuse, r, c, layer);
      landuse.residue_cover(r, c) = 0.5;
      landuse.stem_diameter(r, c) = 0;
      if (record == nullptr) continue;
      const int type = record->GetSRCultivation();
      if (type != 1 && type != 2) continue;
      const double altitude = g.dem(r, c);
      const LanduseValue residue = record->ResidueCoverAt(day, month, year, layer, altitude, r, c);
      const LanduseValue stem = type == 2 ? record->StemDiameterAt(day, month, year, layer, altitude, r, c)
                                          : LanduseValue{};
      for (const LanduseValue& v : {residue, stem}) {
        if (!v.ok() && !status.failed) status = {v, true};
      }
      landuse.residue_cover(r, c) = residue.value;
      landuse.stem_diameter(r, c) = stem.value;
    }
  });
  for (int r = cells.rows.first; r <= cells.rows.last; ++r) {
    if (row_status[static_cast<std::size_t>(r)].failed) return row_status[static_cast<std::size_t>(r)];
  }
  return {};
}

void LoadDirectRunoff(const SurfaceGrids& g, const SurfaceParameters& p, const SurfaceCells& cells,
                      const SurfaceTracerGrids& tracers, bool keep_storage) {
  for_each_row(cells.rows, [&](int r) {
    ForOwnCells(g, p, cells, r, [&](int c) {
      const double q = g.directflow(r, c);
      const double kept = keep_storage ? std::max(g.storage(r, c), 0.0) : 0.0;
      const double water = q + kept;
      if (p.method == SurfaceRoutingMethod::kHeadDriven) {
        g.head(r, c) = water / 1000 + g.dem(r, c);
        g.head_old(r, c) = g.head(r, c);
      } else {
        g.head(r, c) = water / 1000;
      }
      g.storage(r, c) = water;
      for (std::size_t t = 0; t < tracers.size(); ++t) {
        const double runoff = tracers.runoff_conc[t](r, c) * tracers.load_factor[t];
        tracers.storage_conc[t](r, c) =
            kept > 0 ? (q * runoff + kept * tracers.handover[t](r, c)) / water : runoff;
        tracers.handover[t](r, c) = 0;
        tracers.runoff_conc[t](r, c) = 0;
      }
      g.directflow(r, c) = 0;
    });
  });
}

void RouteFlowPaths(const SurfaceGrids& g, const SurfaceParameters& p, const SurfaceLanduse& landuse,
                    const SurfaceCells& cells, int i, int refresh) {
  for_each_row(cells.rows, [&](int r) {
    ForOwnCells(g, p, cells, r, [&](int c) {
      const SlopeAspect surface = SurfaceSlopeAspect(g, p, r, c);
      CellKind kind = surface.kind;
      FlowPathWeights(g, p, r, c, kind, i, surface);
      CellDirectionalFluxes(g, p, VegetationAt(landuse, r, c), r, c, i, refresh, kind);
    });
  });
}

void LimitOutflows(const SurfaceGrids& g, const SurfaceParameters& p, const SurfaceCells& cells, double dt) {
  for_each_row(cells.rows, [&](int r) {
    ForOwnCells(g, p, cells, r, [&](int c) { LimitOutflowToStorage(g, p, r, c, dt); });
  });
}

double CourantTimeStep(const SurfaceGrids& g, const SurfaceParameters& p, const SurfaceCells& cells,
                       std::span<double> row_minimum) {
  for_each_row(cells.rows, [&](int r) {
    double step = kNoFlowTimeStep;
    ForOwnCells(g, p, cells, r, [&](int c) { step = std::min(step, CellCourantTimeStep(g, p, r, c)); });
    row_minimum[static_cast<std::size_t>(r)] = step;
  });
  double step = kNoFlowTimeStep;
  for (int r = cells.rows.first; r <= cells.rows.last; ++r) step = std::min(step, row_minimum[static_cast<std::size_t>(r)]);
  return step;
}

namespace {

void CellExchanges(const SurfaceGrids& g, const SurfaceParameters& p, const SurfaceCells& cells, double dt,
                   const SurfaceTracerGrids& tracers) {
  for_each_row(cells.rows, [&](int r) {
    ForOwnCells(g, p, cells, r, [&](int c) {
      CellInflowOutflow(g, p, r, c, dt, tracers.storage_conc_read, tracers.inflow_mass);
    });
  });
}

}  // namespace

void SettleCellBalances(const SurfaceGrids& g, const SurfaceParameters& p, const SurfaceCells& cells, double dt,
                        const SurfaceTracerGrids& tracers) {
  // The exchanges of every cell first: they read the neighbours' concentrations before
  // any cell's balance changes them.
  CellExchanges(g, p, cells, dt, tracers);
  const double cs2 = p.cellsize * p.cellsize;
  for_each_row(cells.rows, [&](int r) {
    ForOwnCells(g, p, cells, r, [&](int c) {
      const double q_in = g.q_in(r, c) * 1000 / cs2;
      double q_out = g.q_out(r, c) * 1000 / cs2;
      double s = g.storage(r, c);
      for (std::size_t t = 0; t < tracers.size(); ++t) {
        const double conc = tracers.storage_conc[t](r, c);
        tracers.storage_conc[t](r, c) = tracers.inflow_mass[t](r, c) / cs2 - q_out * conc + conc * s;
      }
      s = q_in + s - q_out;
      if (s < 0) {
        q_out += s;
        s = 0;
      }
      g.q_in(r, c) = q_in;
      g.q_out(r, c) = q_out;
      for (std::size_t t = 0; t < tracers.size(); ++t) {
        GridView conc = tracers.storage_conc[t];
        conc(r, c) = s > 0 ? conc(r, c) / s : 0;
      }
      if (IsRiverCell(g, r, c)) {
        g.directflow(r, c) += s;
        for (std::size_t t = 0; t < tracers.size(); ++t) {
          tracers.runoff_conc[t](r, c) += tracers.storage_conc[t](r, c) * s;
          tracers.storage_conc[t](r, c) = 0;
        }
        s = 0;
        g.head(r, c) = 0;
      } else {
        g.directflow(r, c) = 0;
        for (std::size_t t = 0; t < tracers.size(); ++t) tracers.runoff_conc[t](r, c) = 0;
        g.head(r, c) = s / 1000;
      }
      g.storage(r, c) = s;
    });
  });
}

void PlanCurvature(GridView curvature, ConstGridView dem, const SurfaceParameters& p, const SurfaceCells& cells) {
  const double nodata = p.nodata;
  const RowRange rows = cells.rows;
  if (rows.count() <= 0) return;
  for (const int edge : {1, p.nrows}) {
    if (rows.contains(edge)) {
      for (int c = 1; c <= p.ncols; ++c) curvature(edge, c) = nodata;
    }
  }
  for (int r = std::max(rows.first, 2); r <= std::min(rows.last, p.nrows - 1); ++r) {
    curvature(r, 1) = nodata;
    curvature(r, p.ncols) = nodata;
    for (int c = 2; c <= p.ncols - 1; ++c) {
      const std::array<double, 9> block{dem(r - 1, c - 1), dem(r - 1, c), dem(r - 1, c + 1),
                                        dem(r, c - 1),     dem(r, c),     dem(r, c + 1),
                                        dem(r + 1, c - 1), dem(r + 1, c), dem(r + 1, c + 1)};
      curvature(r, c) = PlanCurvatureOfBlock(block, p.cellsize, nodata);
    }
  }
}

void FillCurvatureGaps(GridView curvature, ConstGridView dem, const SurfaceGrids& g, const SurfaceParameters& p,
                       const SurfaceCells& cells, std::vector<std::pair<int, double>>& fills) {
  // Means of the neighbours' computed values only, so that a gap's value does not depend
  // on where the rows of the processes begin.
  fills.clear();
  for (int r = cells.rows.first; r <= cells.rows.last; ++r) {
    for (int c = 1; c <= p.ncols; ++c) {
      const bool own = dem(r, c) != p.nodata && (g.regions.empty() || g.regions(r, c) == cells.rank);
      if (!own || curvature(r, c) != p.nodata) continue;
      double sum = 0;
      int count = 0;
      for (int d = 1; d <= kDirections; ++d) {
        const int rr = r + kRowOffset[d];
        const int cc = c + kColOffset[d];
        if (rr < 1 || rr > p.nrows || cc < 1 || cc > p.ncols || curvature(rr, cc) == p.nodata) continue;
        sum += curvature(rr, cc);
        ++count;
      }
      if (count > 0) fills.emplace_back(r * (p.ncols + 1) + c, sum / count);
    }
  }
  for (const auto& [cell, value] : fills) curvature(cell / (p.ncols + 1), cell % (p.ncols + 1)) = value;
}

}  // namespace tolvo
