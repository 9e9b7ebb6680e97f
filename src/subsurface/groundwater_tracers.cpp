#include "subsurface/groundwater_tracers.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "framework/parallel.h"

namespace tolvo {

namespace {

// Mass through one face: inflow at the neighbour's concentration, outflow at the cell's.
double face_mass(const std::optional<double>& volume, double c, double c_neighbour) {
  if (!volume) return 0;
  return *volume * (*volume > 0 ? c_neighbour : c);
}

}  // namespace

double UpwindMixedConcentration(const CellVolumes& v, double c, double c_east, double c_west, double c_south,
                                double c_north, double c_above, double c_below) {
  double m = c * v.stored;
  m += face_mass(v.east, c, c_east);
  m += face_mass(v.west, c, c_west);
  m += face_mass(v.south, c, c_south);
  m += face_mass(v.north, c, c_north);
  m += face_mass(v.above, c, c_above);
  m += face_mass(v.below, c, c_below);
  const double total = v.stored + v.inflow();
  // A cell whose faces drain more than its stored water held (its water came from a storage
  // change the stored volume does not show) keeps no tracer rather than a negative one.
  return total > 0 && m > 0 ? m / total : 0.0;
}

void DecayTracerLayer(const AquiferDomain& d, GridView concentration, double factor, RowRange rows) {
  for_each_row(rows, [&](int r) {
    for (int c = 1; c <= d.ncols; ++c) {
      if (d.active(r, c)) concentration(r, c) *= factor;
    }
  });
}

double LargestOutflowShare(const AquiferDomain& d, std::span<const AquiferLayer> layers, int n, double dt_s,
                           RowRange rows) {
  std::vector<double> per_row(static_cast<std::size_t>(std::max(rows.last - rows.first + 1, 0)), 0.0);
  for_each_row(rows, [&](int r) {
    double largest = 0;
    for (int col = 1; col <= d.ncols; ++col) {
      if (!d.active(r, col)) continue;
      const CellVolumes v = LayerCellVolumes(d, layers, n, dt_s, r, col);
      double out = 0;
      for (const std::optional<double>& f : {v.east, v.west, v.south, v.north, v.above, v.below}) {
        if (f && *f < 0) out -= *f;
      }
      if (v.stored > 0) largest = std::max(largest, out / v.stored);
    }
    per_row[static_cast<std::size_t>(r - rows.first)] = largest;
  });
  double largest = 0;
  for (const double x : per_row) largest = std::max(largest, x);
  return largest;
}

void MixTracerLayer(const AquiferDomain& d, std::span<const AquiferLayer> layers, int n, double dt_s,
                    const TracerLayerConcentrations& c, GridView mixed, RowRange rows, int parts, int part) {
  const double share = 1.0 / parts;
  for_each_row(rows, [&](int r) {
    for (int col = 1; col <= d.ncols; ++col) {
      if (!d.active(r, col)) continue;
      CellVolumes v = LayerCellVolumes(d, layers, n, dt_s, r, col);
      if (parts > 1) {
        v.stored += (part - 1) * share * v.inflow();
        for (std::optional<double>* f : {&v.east, &v.west, &v.south, &v.north, &v.above, &v.below}) {
          if (*f) **f *= share;
        }
      }
      const double own = c.here(r, col);
      // A face without a volume takes no concentration; neighbours exist where it has one.
      const auto at = [&](const std::optional<double>& face, ConstGridView g, int rn, int cn) {
        return face && !g.empty() ? g(rn, cn) : own;
      };
      mixed(r, col) = UpwindMixedConcentration(v, own, at(v.east, c.here, r, col + 1), at(v.west, c.here, r, col - 1),
                                               at(v.south, c.here, r + 1, col), at(v.north, c.here, r - 1, col),
                                               at(v.above, c.above, r, col), at(v.below, c.below, r, col));
    }
  });
}

}  // namespace tolvo
