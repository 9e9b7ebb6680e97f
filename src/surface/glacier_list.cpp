#include "surface/glacier_list.h"

#include <cmath>
#include <iostream>

namespace tolvo {

namespace {

constexpr double kPlaced = 1e-5;
constexpr int kDistributionPasses = 5;
constexpr double kLeftGlacier = -9999;

}  // namespace

void GlacierBand::AddCell(int r, int c) {
  ++cell_count;
  cells.push_back({.r = r, .c = c, .mark = 0});
}

void GlacierBand::Clear() {
  cell_count = 0;
  cells.clear();
}

long GlacierBand::CountChangeable(ConstGridView fraction, double x) {
  if (x == 0) return 0;
  long n = 0;
  for (Cell& cell : cells) {
    const double f = fraction(cell.r, cell.c);
    if ((x > 0 && f < 1) || (x < 0 && f > 0)) {
      ++n;
    } else {
      cell.mark = 1;
    }
  }
  return n;
}

double GlacierBand::Distribute(const GlacierCellGridViews& g, double F) const {
  long k = 0;
  for (const Cell& cell : cells) k += cell.mark == 0 ? 1 : 0;
  double T = static_cast<double>(k) * F;
  double R = T;
  for (int pass = 1; pass <= kDistributionPasses; ++pass) {
    const double share = k > 0 ? T / static_cast<double>(k) : 0;
    R = T;
    k = 0;
    for (const Cell& cell : cells) {
      if (cell.mark != 0) continue;
      double& f = g.fraction(cell.r, cell.c);
      double& code = g.codes(cell.r, cell.c);
      const double d = f + share;
      if (d < 0 && code >= 0) {
        R += f;  // the cell leaves the glacier: only its former fraction is placed
        f = 0;
        code = kLeftGlacier;
      } else if (d <= 1 || code < 0) {
        if (code >= 0) {
          f = d;
          R -= share;
          ++k;
        }
      } else {
        R -= share - (d - 1);
        f = 1;
      }
    }
    if (std::abs(R) <= kPlaced || std::abs(T - R) <= kPlaced) break;
    if (pass == kDistributionPasses) {
      std::cerr << "error: could not remove or add the required number of cells for the glacier\n";
      break;
    }
    T = R;
  }
  return R;
}

GlacierRecord::GlacierRecord(int code, int numElevBands, int extraWeightFactorBand0, int subbasin, double c,
                             double gamma, double volume, double area, double cell_size)
    : code(code),
      cell_size(cell_size),
      area(area),
      volume(volume),
      reference_area(area),
      reference_volume(volume),
      VAscaling(c),
      VAexponent(gamma),
      numElevBands(numElevBands),
      extraWeightFactorBand0(extraWeightFactorBand0),
      subbasin(subbasin) {}

long GlacierRecord::AddCell(bool widen_range, double fraction, double z, double cell_area_m2) {
  ++cell_count;
  area += fraction * cell_area_m2 / 1e6;
  if (cell_count == 1) {
    min_elevation = max_elevation = z;
  } else if (widen_range) {
    if (z > max_elevation) max_elevation = z;
    if (z < min_elevation) min_elevation = z;
  }
  return cell_count;
}

void GlacierRecord::ResetCount() {
  cell_count = 0;
  area = 0;
  min_elevation = kNoElevation;
  max_elevation = -kNoElevation;
}

double GlacierRecord::VolumeFromArea() {
  const double a = area > kMinimumStartArea ? area : kMinimumStartArea;  // NaN too
  volume = VAscaling * std::pow(a, VAexponent);
  return volume;
}

double GlacierRecord::AreaFromVolume() {
  const double v_min = VAscaling * std::pow(kMinimumArea, VAexponent);
  if (volume == 0) {
    reference_area = area;
    volume = VAscaling * std::pow(area > 0 ? area : kMinimumArea, VAexponent);
    reference_volume = volume;
  }
  if (volume <= v_min) {
    volume = v_min;
    area = kMinimumArea;
  } else {
    area = std::pow(std::max(volume, 0.0) / VAscaling, 1 / VAexponent);
  }
  return area;
}

double GlacierRecord::ReferenceAreaFromVolume() {
  const double v_min = VAscaling * std::pow(kMinimumArea, VAexponent);
  if (reference_volume == 0) reference_volume = VAscaling * std::pow(std::max(reference_area, 0.0), VAexponent);
  if (reference_volume <= v_min) {
    reference_volume = v_min;
    reference_area = kMinimumArea;
  } else {
    reference_area = std::pow(std::max(reference_volume, 0.0) / VAscaling, 1 / VAexponent);
  }
  return reference_area;
}

double GlacierRecord::ComputeCellsToAdd() {
  cells_to_add = (area - reference_area) * 1e6 / (cell_size * cell_size);
  remainder = 0;
  return cells_to_add;
}

void GlacierRecord::BuildBands() {
  bands.clear();
  if (numElevBands < 1) return;
  const double width = (max_elevation - min_elevation) / numElevBands;
  bands.reserve(static_cast<std::size_t>(numElevBands));
  for (int k = 0; k < numElevBands; ++k) {
    bands.emplace_back(min_elevation + k * width, min_elevation + (k + 1) * width);
  }
}

void GlacierRecord::ClearBands() {
  for (GlacierBand& band : bands) band.Clear();
  changeable_count = 0;
}

void GlacierRecord::AddCellToBand(int r, int c, double z) {
  const std::size_t n = bands.size();
  for (std::size_t k = 0; k < n; ++k) {
    GlacierBand& band = bands[k];
    if (band.Contains(z) || (z >= max_elevation && k + 1 == n) || (z <= min_elevation && k == 0)) {
      band.AddCell(r, c);
      ++changeable_count;
      return;
    }
  }
}

long GlacierRecord::CountChangeableCells(ConstGridView fraction, double x) {
  long n = 0;
  for (GlacierBand& band : bands) n += band.CountChangeable(fraction, x);
  return n;
}

double GlacierRecord::FractionPerCall(ConstGridView fraction, bool use_x, double x) {
  if (!use_x) x = cells_to_add;
  const auto n = static_cast<double>(bands.size());
  double calls = 0;
  for (std::size_t k = 0; k < bands.size(); ++k) {
    const auto N_k = static_cast<double>(bands[k].CountChangeable(fraction, x));
    calls += (n - static_cast<double>(k)) * N_k;
    if (k == 0) calls += extraWeightFactorBand0 * N_k * n;
  }
  return calls > 0 ? x / calls : 0;
}

double GlacierRecord::DistributeOverBands(const GlacierCellGridViews& g, int m, double F) const {
  double rest = 0;
  for (int k = 0; k <= m && k < static_cast<int>(bands.size()); ++k) {
    const GlacierBand& band = bands[static_cast<std::size_t>(k)];
    rest += band.Distribute(g, F);
    if (k == 0) {
      for (int e = 0; e < extraWeightFactorBand0; ++e) rest += band.Distribute(g, F);
    }
  }
  return rest;
}

}  // namespace tolvo
