#include "surface/glacier_balance.h"

#include <cmath>

#include "framework/error_code.h"

namespace tolvo {

namespace {

constexpr double kNoFirn = 0.0001;  // mm; a neighbour with less firn counts as bare ice
constexpr double kDone = 1e-5;      // cells

int Code(double value) { return static_cast<int>(value); }

}  // namespace

GlacierRecord GlacierBalanceModel::NewRecord(int code, int subbasin) const {
  return GlacierRecord(code, s_.numElevBands, s_.extraWeightFactorBand0, subbasin, s_.VAscaling, s_.VAexponent, 0, 0,
                       g_.cell_size);
}

void GlacierBalanceModel::GrowVolume(GlacierRecord& glacier, double f, double cell_area_m2) {
  if (!(glacier.volume > 0)) return;
  const double a = glacier.reference_area + f * cell_area_m2 / 1e6;
  const double v = glacier.VAscaling * std::pow(std::max(a, 0.0), glacier.VAexponent);
  glacier.volume += v - glacier.reference_volume;
  glacier.reference_volume = v;
  glacier.reference_area = a;
}

void GlacierBalanceModel::BuildGlacierList() {
  list_.records.clear();
  if (s_.method <= 10) return;
  list_.index.clear();
  for (int r = 1; r <= g_.nrows; ++r) {
    for (int c = 1; c <= g_.ncols; ++c) {
      if (!Valid(r, c) || !(g_.codes(r, c) > 0)) continue;
      const int code = Code(g_.codes(r, c));
      const int subbasin = Code(g_.subbasin(r, c));
      if (!list_.Mapped(code)) list_.Add(NewRecord(code, subbasin));
      GlacierRecord& glacier = list_[code];
      if (glacier.subbasin != subbasin) {
        log_ << "FATAL: \n\n=======================================\n"
             << "!!!! ERROR !!!! \n\n"
             << "glacier " << code << " is located in more than one subbasin:\n"
             << "First cell was found in subbasin " << glacier.subbasin << ",\n"
             << "whereas the cell in row " << r << " and col " << c << " belongs to subbasin " << subbasin
             << ".\nPlease make sure that each single glacier belongs to one specific subbasin only."
             << "[end-entry]";
        RaiseError(kGlacierInTwoSubbasins);
      }
      // A code without a fraction adds no area.
      glacier.AddCell(Firn(r, c) == 0, std::max(g_.fraction(r, c), 0.0), g_.elevation(r, c), CellArea());
    }
  }
  for (GlacierRecord& glacier : list_.records) {
    glacier.VolumeFromArea();
    glacier.reference_volume = glacier.volume;
    glacier.ReferenceAreaFromVolume();
    glacier.BuildBands();
  }
  CollectChangeableCells(-1);
}

void GlacierBalanceModel::UpdateGlacierCells(int code, bool widen_range) {
  if (!Active()) return;
  // Neighbours a new glacier cell may join: above, right, below, left, then the diagonals
  // above-right, below-right, below-left, above-left.
  static constexpr int kRow[8] = {-1, 0, 1, 0, -1, 1, 1, -1};
  static constexpr int kCol[8] = {0, 1, 0, -1, 1, 1, -1, -1};
  const double f_new = s_.relSizeNewGlacier;
  for (int r = 1; r <= g_.nrows; ++r) {
    for (int c = 1; c <= g_.ncols; ++c) {
      if (!Valid(r, c) || !(g_.codes(r, c) >= -1)) continue;
      int g = Code(g_.codes(r, c));
      const double z = g_.elevation(r, c);
      if (list_.Mapped(g)) {
        if (code >= 0 && g != code) continue;
        GlacierRecord& glacier = list_[g];
        if (g_.fraction(r, c) == g_.nodata) {
          g_.codes_old(r, c) = g;
          g_.fraction(r, c) = f_new;
          GrowVolume(glacier, f_new, CellArea());
        }
        glacier.AddCell(widen_range, g_.fraction(r, c), z, CellArea());
        continue;
      }
      // Only a new glacier cell (-1) or an unknown positive code becomes glacier; code 0
      // marks no glacier.
      if (g == 0) continue;
      if (g == -1) {
        int joined = 0;
        for (int k = 0; k < 8 && joined == 0; ++k) {
          const int rn = r + kRow[k];
          const int cn = c + kCol[k];
          if (Inside(rn, cn) && g_.codes(rn, cn) > 0 && g_.subbasin(rn, cn) == g_.subbasin(r, c)) {
            joined = Code(g_.codes(rn, cn));
          }
        }
        g = joined > 0 ? joined : list_.LargestCode() + 1;
        g_.codes(r, c) = g;
      }
      g_.codes_old(r, c) = g;
      g_.fraction(r, c) = f_new;
      if (!list_.Mapped(g)) list_.Add(NewRecord(g, Code(g_.subbasin(r, c))));
      GlacierRecord& glacier = list_[g];
      GrowVolume(glacier, f_new, CellArea());
      glacier.AddCell(Firn(r, c) == 0, f_new, z, CellArea());
    }
  }
}

bool GlacierBalanceModel::EdgeCell(int r, int c, double code) const {
  static constexpr int kRow[4] = {-1, 0, 1, 0};
  static constexpr int kCol[4] = {0, -1, 0, 1};
  for (int k = 0; k < 4; ++k) {
    const int rn = r + kRow[k];
    const int cn = c + kCol[k];
    if (Inside(rn, cn) && g_.codes(rn, cn) != code) return true;
  }
  return false;
}

void GlacierBalanceModel::CollectChangeableCells(int code) {
  const auto selected = [&](int g) { return list_.Mapped(g) && (code < 0 || g == code); };
  for (GlacierRecord& glacier : list_.records) {
    if (code < 0 || glacier.code == code) glacier.ClearBands();
  }
  for (int r = 1; r <= g_.nrows; ++r) {
    for (int c = 1; c <= g_.ncols; ++c) {
      if (!Valid(r, c)) continue;
      const double f = g_.fraction(r, c);
      const double g = g_.codes(r, c);
      if (!(f > 0) || !(g > 0) || Firn(r, c) > 0) continue;
      if ((EdgeCell(r, c, g) || f < 1) && selected(Code(g))) list_[Code(g)].AddCellToBand(r, c, g_.elevation(r, c));
    }
  }
  // Glaciers under firn everywhere: their edge and partial cells whatever the firn.
  std::vector<char> empty(list_.records.size(), 0);
  bool any = false;
  for (std::size_t i = 0; i < list_.records.size(); ++i) {
    const GlacierRecord& glacier = list_.records[i];
    empty[i] = (code < 0 || glacier.code == code) && glacier.changeable_count == 0 ? 1 : 0;
    any = any || empty[i] != 0;
  }
  if (!any) return;
  for (int r = 1; r <= g_.nrows; ++r) {
    for (int c = 1; c <= g_.ncols; ++c) {
      if (!Valid(r, c)) continue;
      const double g = g_.codes(r, c);
      if (!list_.Mapped(Code(g)) || g != Code(g)) continue;
      const std::size_t i = list_.index.at(Code(g));
      const double f = g_.fraction(r, c);
      if (empty[i] != 0 && (EdgeCell(r, c, g) || (f >= 0 && f < 1))) {
        list_.records[i].AddCellToBand(r, c, g_.elevation(r, c));
      }
    }
  }
}

void GlacierBalanceModel::SetFirn(int r, int c, double total) {
  if (!g_.firn_total.empty()) g_.firn_total(r, c) = total;
  if (g_.firn_stack.empty()) return;
  const int levels = g_.firn_stack.level_count();
  g_.firn_stack(r, c, 0) = total;
  for (int l = 1; l <= levels; ++l) g_.firn_stack(r, c, l) = total / levels;
}

void GlacierBalanceModel::AddGrowthCells(int code) {
  if (!list_.Mapped(code)) return;
  list_[code].ClearBands();
  static constexpr int kRow[4] = {-1, 0, 1, 0};  // above, right, below, left
  static constexpr int kCol[4] = {0, 1, 0, -1};
  const auto full_neighbour = [&](int r, int c) {
    for (int k = 0; k < 4; ++k) {
      const int rn = r + kRow[k];
      const int cn = c + kCol[k];
      if (Inside(rn, cn) && g_.subbasin(rn, cn) == g_.subbasin(r, c) && g_.fraction(rn, cn) == 1 &&
          g_.codes(rn, cn) == code) {
        return k;
      }
    }
    return -1;
  };
  long joined_in_pass2 = 0;
  for (int pass = 1; pass <= 4; ++pass) {
    if (list_[code].changeable_count != 0) break;
    if (pass >= 3 && joined_in_pass2 != 0) break;
    const bool bare_ice_only = pass == 1 || pass == 3;  // cells without a code next to firn-free ice
    for (int r = 1; r <= g_.nrows; ++r) {
      for (int c = 1; c <= g_.ncols; ++c) {
        if (!Valid(r, c)) continue;
        const double f = g_.fraction(r, c);
        const bool open = pass <= 2 ? f == 0 : f <= 0;
        if (!open || (bare_ice_only && !(g_.codes(r, c) < 0))) continue;
        const int k = full_neighbour(r, c);
        if (k < 0) continue;
        const double neighbour_firn = Firn(r + kRow[k], c + kCol[k]);
        if (bare_ice_only && !(neighbour_firn < kNoFirn)) continue;
        g_.fraction(r, c) = 0;
        g_.codes(r, c) = code;
        SetFirn(r, c, bare_ice_only ? 0 : neighbour_firn);
        list_[code].AddCellToBand(r, c, g_.elevation(r, c));
        if (pass == 2) ++joined_in_pass2;
      }
    }
  }
}

void GlacierBalanceModel::Recount(int code) {
  list_[code].ResetCount();
  UpdateGlacierCells(code, false);
  if (list_[code].min_elevation == GlacierRecord::kNoElevation) {
    list_[code].ResetCount();
    UpdateGlacierCells(code, true);
  }
  list_[code].BuildBands();
}

void GlacierBalanceModel::Extend(int code, double w) {
  list_[code].ResetCount();
  if (w > 0) {
    log_ << "DEBUG: " << "growing the glacier..." << "[end-entry]";
    AddGrowthCells(code);
  } else {
    log_ << "DEBUG: " << "shrinking the glacier..." << "[end-entry]";
  }
  Recount(code);
  CollectChangeableCells(code);
}

void GlacierBalanceModel::GlacierBalance() {
  if (!Active()) return;
  for (GlacierRecord& glacier : list_.records) {
    glacier.ResetCount();
    glacier.volume = glacier.reference_volume;
  }
  UpdateGlacierCells(-1, false);
  for (std::size_t i = 0; i < list_.records.size(); ++i) {
    const int code = list_.records[i].code;
    if (list_.records[i].min_elevation == GlacierRecord::kNoElevation) {
      list_.records[i].ResetCount();
      UpdateGlacierCells(code, true);
    }
    list_[code].BuildBands();
  }
  CollectChangeableCells(-1);
  for (int r = 1; r <= g_.nrows; ++r) {
    for (int c = 1; c <= g_.ncols; ++c) {
      if (!Valid(r, c)) continue;
      const double f = g_.fraction(r, c);
      const double g = g_.codes(r, c);
      if (!(f >= 0) || !(g >= 0) || !list_.Mapped(Code(g))) continue;
      const double ice_mm = (g_.mass_balance(r, c) - g_.old_mass_balance(r, c)) / kIceDensityFactor;
      list_[Code(g)].AddVolume(f * ice_mm / 1000 * CellArea() / 1e6);
    }
  }
  log_ << "DEBUG: Glacierbalance\n" << "[end-entry]";
  for (std::size_t i = 0; i < list_.records.size(); ++i) BalanceGlacier(i);
}

void GlacierBalanceModel::BalanceGlacier(std::size_t i) {
  const int code = list_.records[i].code;
  const GlacierCellGridViews cells{.fraction = g_.fraction, .codes = g_.codes};
  double w = 0;
  double target = 0;
  {
    GlacierRecord& glacier = list_[code];
    target = glacier.AreaFromVolume();
    w = glacier.ComputeCellsToAdd();
    for (GlacierBand& band : glacier.bands) band.CountChangeable(g_.fraction, w);
    log_ << "DEBUG: " << "Glacier:\t" << static_cast<long long>(i) << "\n"
         << "Old Volume:\t" << glacier.reference_volume << "\n"
         << "New Volume:\t" << glacier.volume << "\n"
         << "Old Area:\t" << glacier.reference_area << "\n"
         << "New Area:\t" << glacier.area << "\n"
         << "[end-entry]";
  }
  bool done = false;
  for (int iteration = 0; iteration < kMaxIterations; ++iteration) {
    if (std::abs(w) <= kDone) {
      done = true;
      break;
    }
    GlacierRecord& glacier = list_[code];
    const long N = glacier.CountChangeableCells(g_.fraction, w);
    if (glacier.bands.empty() || N < 1) {
      Extend(code, w);
      continue;
    }
    const double F = glacier.FractionPerCall(g_.fraction, true, w);
    log_ << "DEBUG: " << "number of cells to add: \t" << w << "\n"
         << "number of changeable cells: \t" << static_cast<long long>(N) << "\n"
         << "fraction of cells to add per iteration: \t" << F << "[end-entry]";
    w = 0;
    for (int m = 0; m < glacier.numElevBands; ++m) w += glacier.DistributeOverBands(cells, m, F);
    if (std::abs(w) > kDone) Extend(code, w);
  }
  if (!done && std::abs(w) > kDone) {
    log_ << "WARNING: \n----------- WARNING: ----------\nThere were too many iterations when trying to remove or add "
            "glacier areas for glacier"
         << static_cast<long long>(i) << "\n-----------------------------\n"
         << "[end-entry]";
  }
  log_ << "DEBUG: " << "---------------------------------\n\n" << "[end-entry]";
  // The area the cells hold now: the area of the volume less what could not be placed
  // (a recount during an extension would miss the cells changed after it).
  GlacierRecord& glacier = list_[code];
  glacier.area = target - w * CellArea() / 1e6;
  glacier.reference_area = glacier.area;
  glacier.reference_volume = glacier.volume;
}

void GlacierBalanceModel::RedistributeMassBalance(int code) {
  if (!Active()) return;
  const auto selected = [&](double g) { return g >= 0 && list_.Mapped(Code(g)) && (code < 0 || Code(g) == code); };
  for (GlacierRecord& glacier : list_.records) {
    if (code >= 0 && glacier.code != code) continue;
    glacier.lost_mass_balance = glacier.old_fraction_sum = glacier.fraction_sum = 0;
  }
  for (int r = 1; r <= g_.nrows; ++r) {
    for (int c = 1; c <= g_.ncols; ++c) {
      if (!Valid(r, c)) continue;
      const double g_old = g_.codes_old(r, c);
      if (selected(g_old)) {
        GlacierRecord& glacier = list_[Code(g_old)];
        const double mb = g_.mass_balance(r, c);
        const double f_old = g_.fraction_old(r, c);
        glacier.lost_mass_balance += g_old == g_.codes(r, c) ? mb * (f_old - g_.fraction(r, c)) : mb * f_old;
        glacier.old_fraction_sum += f_old;
      }
      if (selected(g_.codes(r, c))) list_[Code(g_.codes(r, c))].fraction_sum += g_.fraction(r, c);
    }
  }
  for (GlacierRecord& glacier : list_.records) {
    if (code >= 0 && glacier.code != code) continue;
    glacier.mass_balance_correction =
        glacier.fraction_sum > 0 ? glacier.lost_mass_balance / glacier.fraction_sum : 0;
  }
  for (int r = 1; r <= g_.nrows; ++r) {
    for (int c = 1; c <= g_.ncols; ++c) {
      if (Valid(r, c) && selected(g_.codes(r, c))) {
        g_.mass_balance(r, c) += list_[Code(g_.codes(r, c))].mass_balance_correction;
      }
    }
  }
}

}  // namespace tolvo
