#include "surface/glacier_update.h"

#include <cmath>

namespace tolvo {

double GlacierStorageOutflow(double Q, double k, double q) {
  const double a = std::exp(-1 / k);
  return Q * a + (1 - a) * q;
}

void GlacierOutflowStep(std::span<const ZoneRecord> ice, std::span<const ZoneRecord> firn,
                        std::span<const ZoneRecord> snow, std::span<const GlacierSubbasinRecord> subbasins,
                        const GlacierStorages& storages, std::span<ZoneRecord> total, std::span<double> water) {
  const auto mean = [](const ZoneRecord& z) { return z.RelCellSum != 0 ? z.sx / z.RelCellSum : 0; };
  for (std::size_t j = 1; j < total.size() && j < subbasins.size(); ++j) {
    const ZoneRecord& I = ice[j];
    ZoneRecord& Q = total[j];
    Q.n = I.n;
    Q.RelCellSum = I.RelCellSum;
    Q.sx = 0;
    const GlacierSubbasinRecord& record = subbasins[j];
    if (!record.hasGlacier) continue;
    const double area = record.glacierArea + record.nonGlacierArea;
    const double fg = area > 0 ? record.glacierArea / area : 0;
    if (fg > 0) {
      storages.ice[j] = GlacierStorageOutflow(storages.ice[j], storages.kice, mean(I) / fg);
      storages.firn[j] = GlacierStorageOutflow(storages.firn[j], storages.kfirn, mean(firn[j]) / fg);
      storages.snow[j] = GlacierStorageOutflow(storages.snow[j], storages.ksnow, mean(snow[j]) / fg);
    } else {
      storages.ice[j] = storages.firn[j] = storages.snow[j] = 0;
    }
    Q.sx = fg * (storages.snow[j] + storages.ice[j] + storages.firn[j]) * I.n;
    if (j < water.size() && Q.RelCellSum != 0) water[j] = Q.sx / Q.RelCellSum;
  }
}

bool EndsGlacierEvaluationDay(const ModelDate& date, int month, int day, double dt_min, double min_to_int_end) {
  return date.month == month && date.day == day &&
         (dt_min + min_to_int_end) / 60 + static_cast<double>(date.hour) > 24.001;
}

namespace {

// Moves the snow above the limit from the ordinary store (whole cell) into the glacier
// store (over the glacierised fraction f), solid and liquid in their proportions.
double MoveSnowIntoGlacier(const GlacierYearEndGrids& g, const GlacierYearEndSettings& s, int r, int c, double f) {
  double& T = g.total(r, c);
  const double E = T - s.maxSnowPackToCreateGlacier;
  const double share = (1 - f) / f;
  const double T_old = T;
  g.total_g(r, c) += share * E;
  g.solid_g(r, c) += share * (g.solid(r, c) * E / T_old);
  g.liquid_g(r, c) += share * (g.liquid(r, c) * E / T_old);
  T -= E;
  g.solid(r, c) -= g.solid(r, c) * E / T_old;
  g.liquid(r, c) -= g.liquid(r, c) * E / T_old;
  g.mass_balance(r, c) += E;
  return E;
}

// The glacier's snow of the year becomes the newest firn level.
void RenewFirn(const GlacierYearEndGrids& g, int r, int c, bool new_glacier) {
  const int levels = g.firn.empty() ? 0 : g.firn.level_count();
  double total = 0;
  if (new_glacier) {
    for (int k = 2; k <= levels; ++k) g.firn(r, c, k) = 0;
  } else {
    for (int k = levels; k >= 2; --k) {
      g.firn(r, c, k) = g.firn(r, c, k - 1);
      total += g.firn(r, c, k);
    }
  }
  const double snow = g.total_g(r, c);
  if (levels >= 1) g.firn(r, c, 1) = snow;
  total += snow;
  if (levels >= 0 && !g.firn.empty()) g.firn(r, c, 0) = total;
  g.firn_total(r, c) = total;
  g.total_g(r, c) = g.solid_g(r, c) = g.liquid_g(r, c) = 0;
}

}  // namespace

GlacierYearEnd EndGlacierYearInCell(const GlacierYearEndGrids& g, const GlacierYearEndSettings& s, int r, int c) {
  GlacierYearEnd result;
  const double f = g.fraction(r, c);
  const double limit = s.maxSnowPackToCreateGlacier;
  if (f != s.nodata && f > 0) {
    if (f < 1 && g.total(r, c) > limit) result.moved = MoveSnowIntoGlacier(g, s, r, c, f);
    if (f >= 1) g.total(r, c) = g.liquid(r, c) = g.solid(r, c) = 0;
    g.codes_old(r, c) = g.codes(r, c);
    RenewFirn(g, r, c, false);
    return result;
  }
  if (!(g.total(r, c) > limit)) return result;
  result.new_glacier = true;
  if (g.codes(r, c) < 0) {
    g.codes(r, c) = -1;
  } else {
    g.codes_old(r, c) = g.codes(r, c);
  }
  const double f_new = s.relSizeNewGlacier;
  g.fraction(r, c) = g.fraction_old(r, c) = f_new;
  g.total_g(r, c) = g.total(r, c);
  g.liquid_g(r, c) = g.liquid(r, c);
  g.solid_g(r, c) = g.solid(r, c);
  result.moved = MoveSnowIntoGlacier(g, s, r, c, f_new);
  RenewFirn(g, r, c, true);
  g.mass_balance(r, c) = g.old_mass_balance(r, c) = g.firn_total(r, c);
  return result;
}

}  // namespace tolvo
