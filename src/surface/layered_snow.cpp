#include "surface/layered_snow.h"

#include <algorithm>

namespace tolvo {
namespace {

double OrZero(double value) { return value <= kEmptySnowLevel ? 0 : value; }

void EmptyLevel(const LayeredSnow& snow, int r, int c, int k) {
  snow.liquid(r, c, 0) += OrZero(snow.liquid(r, c, k));
  snow.solid(r, c, k) = 0;
  snow.liquid(r, c, k) = 0;
  snow.thickness(r, c, k) = kEmptySnowLevel;
  snow.density(r, c, k) = kEmptySnowLevel;
  if (!snow.temperature.empty()) snow.temperature(r, c, k) = kEmptySnowLevel;
}

int Remove(const LayeredSnow& snow, int r, int c, int k, double amount) {
  double rest = amount;
  while (rest > 0 && k <= snow.n) {
    const double s = OrZero(snow.solid(r, c, k));
    if (rest >= s) {
      rest -= s;
      EmptyLevel(snow, r, c, k);
      ++k;
    } else {
      const double left = s - rest;
      snow.solid(r, c, k) = left;
      const double density = snow.density(r, c, k);
      snow.thickness(r, c, k) = density > 0 ? (left + OrZero(snow.liquid(r, c, k))) / density / 1000 : 0;
      rest = 0;
    }
  }
  return k;
}

int Add(const LayeredSnow& snow, int r, int c, int k, double amount, double T_air) {
  if (amount <= 0) return k;  // nothing to add: an empty column stays empty
  double rest = amount;
  k = std::min(k, snow.n);
  while (rest > 0 && k >= 1) {
    const auto level = static_cast<std::size_t>(k);
    const double rho = snow.dry_density[level] / 1000;
    const double thickness = OrZero(snow.thickness(r, c, k));
    double taken = rest;
    if (k > 1) {
      const double room = (snow.max_thickness[level] - thickness) * rho * 1000;
      if (room <= 0) {
        --k;
        continue;
      }
      taken = std::min(rest, room);
    }
    const double s = OrZero(snow.solid(r, c, k));
    if (!snow.temperature.empty()) {
      const double t_new = std::min(T_air + snow.fresh_snow_offset_K, 0.0);
      const double t_old = s > 0 ? snow.temperature(r, c, k) : 0;
      snow.temperature(r, c, k) = (t_new * taken + t_old * s) / (s + taken);
    }
    const double solid = s + taken;
    const double new_thickness = thickness + taken / 1000 / rho;
    snow.solid(r, c, k) = solid;
    snow.liquid(r, c, k) = OrZero(snow.liquid(r, c, k));
    snow.thickness(r, c, k) = new_thickness;
    snow.density(r, c, k) = new_thickness > 0 ? (snow.liquid(r, c, k) + solid) / (new_thickness * 1000) : 0;
    rest -= taken;
    if (rest > 0) --k;
  }
  return k;
}

}  // namespace

void ChangeLayeredSnow(const LayeredSnow& snow, int r, int c, double w, double amount, double T_air) {
  const int top = static_cast<int>(snow.upper_index(r, c));
  const int k = amount < 0 ? Remove(snow, r, c, top, w * -amount) : Add(snow, r, c, top, w * amount, T_air);
  double sum = 0;
  for (int l = 1; l <= snow.n; ++l) sum += OrZero(snow.solid(r, c, l));
  snow.solid(r, c, 0) = sum;
  snow.upper_index(r, c) = k;
}

}  // namespace tolvo
