#pragma once
// A small grid of soil columns (rows 1..nr, columns 1..nc) of one loam, cold-started with
// a given number of unsaturated layers, with the views the column loop takes.

#include <vector>

#include "framework/matrix.h"
#include "subsurface/column_fixture.h"
#include "subsurface/soil_start_state.h"

namespace tolvo::test {

struct ColumnGridSet {
  ColumnGridSet(DiagnosticsLog& log, int nr, int nc, int layers, int unsaturated, double thickness = 0.1)
      : n(layers),
        zone(1, nr, nc, nr),
        types(1, nr, nc, nr),
        level(1, nr, nc, nr),
        distance(1, nr, nc, nr),
        downext(1, nr, nc, nr),
        theta(1, nr, nc, layers, nr),
        heads(1, nr, nc, layers, nr),
        geodetic(1, nr, nc, layers, nr),
        q(1, nr, nc, layers, nr),
        work(layers) {
    soils.emplace_back(0);
    soils.push_back(MakeLoam(log, layers, thickness));
    const SoilRecord& soil = soils[1];
    for (int r = 1; r <= nr; ++r) {
      for (int c = 1; c <= nc; ++c) {
        zone(r, c) = 1;
        types(r, c) = 1;
        const std::span<double> g = geodetic.view().levels(r, c);
        ComputeGeodeticHeads(100 + r + c, soil.thickness, g);
        // Cells differ in how much of the column starts unsaturated.
        ComputeStartWaterContent(soil, g, std::min(layers, unsaturated + (r + c) % 3), theta.view().levels(r, c));
        ComputeHydraulicHeads(soil, g, theta.view().levels(r, c), heads.view().levels(r, c));
        const GroundwaterSurface s = FindGroundwaterSurface(theta.view().levels(r, c), soil.theta_sat, g);
        level(r, c) = s.level;
        distance(r, c) = s.distance_m;
      }
    }
    settings.soils = soils;
    settings.rows = {1, nr};
    settings.ncols = nc;
    settings.dt_sub = 3600;
    settings.min_dynamic_s = 60;
  }

  SoilColumnGrids Views() {
    SoilColumnGrids g;
    g.zone = zone.view();
    g.soil_types = types.view();
    g.groundwater_level = level.view();
    g.groundwater_distance = distance.view();
    g.theta = theta.view();
    g.hydraulic_heads = heads.view();
    g.geodetic_heads = geodetic.view();
    g.q_down = q.view();
    g.q_downext = downext.view();
    return g;
  }
  SoilColumnLoopReport Run(const SoilColumnKernels& k = SoilColumnKernels()) {
    return soil_column_loop(k, settings, Views(), work);
  }
  // Water of the column of cell (r, c) [m].
  double Water(int r, int c) const {
    double w = 0;
    for (int l = 1; l <= n; ++l) w += theta(r, c, l) * soils[1].thickness[static_cast<std::size_t>(l)];
    return w;
  }

  int n;
  std::vector<SoilRecord> soils;
  Grid zone, types, level, distance, downext;
  Stack theta, heads, geodetic, q;
  SoilColumnWorkspace work;
  SoilColumnLoopSettings settings;
};

}  // namespace tolvo::test
