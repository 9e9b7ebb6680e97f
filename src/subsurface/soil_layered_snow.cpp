#include "subsurface/soil_layered_snow.h"

#include <algorithm>
#include <cmath>

#include "tables/soil_table.h"

namespace tolvo {

namespace {

constexpr double kAbsent = -9999.0;
constexpr double kVanishingSolidMm = 0.05;

// The layers of one cell addressed by layer number 1..nSnow.
class SnowPack {
 public:
  SnowPack(int n_snow, const LayeredSnowLayers& layers, const LayeredSnowColumn& column)
      : n_(n_snow), l_(layers), c_(column) {}
  double& S(int i) const { return l_.solid[static_cast<std::size_t>(i)]; }
  double& L(int i) const { return l_.liquid[static_cast<std::size_t>(i)]; }
  double& rho(int i) const { return l_.density[static_cast<std::size_t>(i)]; }
  double& theta(int i) const { return c_.theta[i - n_]; }
  double theta_s(int i) const { return c_.theta_s[i - n_]; }
  double& d(int i) const { return c_.d[i - n_]; }
  double& f(int i) const { return c_.fL[i - n_]; }
  double& T(int i) const { return c_.T[i - n_]; }
  bool present(int i) const { return theta(i) >= 0; }

  void make_absent(int i) const {
    rho(i) = d(i) = T(i) = theta(i) = kAbsent;
    S(i) = L(i) = 0;
  }
  // Layers 1..last move down by one; layer 1 keeps a copy of its content.
  void move_down(int last) const {
    for (int j = last + 1; j >= 2; --j) {
      rho(j) = rho(j - 1);
      d(j) = d(j - 1);
      T(j) = T(j - 1);
      S(j) = S(j - 1);
      L(j) = L(j - 1);
      theta(j) = theta(j - 1);
    }
  }
  // Re-creates the top layer from layer 2 after the layers moved down: a layer 2 thicker
  // than the reference thickness of layer 1 gives layer 2 that thickness and layer 1 the
  // rest, both with the water in proportion and the old density and temperature.
  void split(double thickness_ref_1) const {
    const double d_old = d(2);
    if (!(d_old > thickness_ref_1)) {
      make_absent(1);
      return;
    }
    d(1) = d_old - thickness_ref_1;
    d(2) = thickness_ref_1;
    const double q = d(1) / d_old;
    S(1) = q * S(2);
    S(2) -= S(1);
    L(1) = q * L(2);
    L(2) -= L(1);
    rho(1) = rho(2);
    T(1) = T(2);
    theta(1) = (S(1) + L(1)) / (1000 * d(1));
    theta(2) = (S(2) + L(2)) / (1000 * d(2));
  }

 private:
  int n_;
  LayeredSnowLayers l_;
  LayeredSnowColumn c_;
};

double freezing_temperature(double f, double m, double n, double alpha, double factor) {
  return -std::pow(std::pow(1 - f, 1 / m), 1 / n) / (factor * alpha * std::pow(f, 1 / (m * n)));
}

// The temperature at which the freezing tables of layer l give liquid fraction f at water
// content theta: the fraction rises with the temperature up to 1 at 0 °C, so halving the
// interval from the tables' lowest temperature to 0 °C finds it.
double table_freezing_temperature(const SoilRecord& snow, int l, double f, double theta) {
  double low = snow.freezingTmin, high = 0;
  for (int k = 0; k < 60; ++k) {
    const double mid = (low + high) / 2;
    (snow.LiquidFractionAt(l, mid, theta) < f ? low : high) = mid;
  }
  return (low + high) / 2;
}

}  // namespace

double layered_snow_step(int n_snow, const LayeredSnowParameters& p, const LayeredSnowType& type,
                         const LayeredSnowLayers& layers, const LayeredSnowColumn& column) {
  const SnowPack s(n_snow, layers, column);
  const auto ref = [&](std::span<const double> v, int i) { return v[static_cast<std::size_t>(i)]; };
  const double K = p.holding_capacity;
  double R = 0;
  for (int i = 1; i <= n_snow; ++i) {
    if (!s.present(i)) {
      s.make_absent(i);
      continue;
    }
    const double W = s.theta(i) * 1000 * s.d(i);
    const double S_old = s.S(i);
    double L = s.f(i) * W;
    double S = (1 - s.f(i)) * W;
    if (S <= kVanishingSolidMm) {
      // The remaining ice melts with the layer: all its water leaves the pack.
      R += L + S;
      s.make_absent(i);
      if (i > 1) {
        s.move_down(i - 1);
        s.split(ref(type.thickness_ref, 1));
      }
      continue;
    }
    if (S < S_old && s.theta(i) >= s.theta_s(i)) s.d(i) *= S / S_old;
    const bool drained = L > K * S;
    if (L > K * S) {
      const double L_before = L;
      R += L - K * S;
      L = K * S;
      if (!(S + L > 0)) {
        s.f(i) = 1;
        s.T(i) -= 2;
      } else {
        s.f(i) = L / (S + L);
        if (s.f(i) > 0 && s.f(i) < 1) {
          s.T(i) = freezing_temperature(s.f(i), ref(type.par_m, i), ref(type.par_n, i), ref(type.alpha, i), p.factor);
        } else {
          s.T(i) -= 2;
        }
      }
      s.d(i) *= (S + L) / (S + L_before);
    }
    const double P = std::max(0.0, s.theta_s(i) * s.d(i) * 1000 - S);
    if (L > P) {
      R += L - P;
      L = P;
    }
    s.S(i) = S;
    s.L(i) = L;
    // Shrinking for the lost ice and again for the drained water can leave a layer thinner
    // than its water at the density of water; it keeps at least that thickness, so that
    // θ and the density stay at most 1 without losing water.
    s.d(i) = std::max(s.d(i), (S + L) / 1000);
    s.theta(i) = std::min(1.0, (S + L) / (1000 * s.d(i)));
    s.rho(i) = std::min(1.0, (S + L) / s.d(i) / 1000);
    if (drained && type.freezing != nullptr && s.f(i) > 0 && s.f(i) < 1) {
      s.T(i) = table_freezing_temperature(*type.freezing, i, s.f(i), s.theta(i));
    }
  }

  if (n_snow > 1) {
    for (int l = n_snow; l >= 2 && s.present(l); --l) {
      const double rho_t = ref(type.dry_density, l) / 1000;
      if (!(s.theta(l - 1) > 0)) continue;
      if (s.rho(l) < 0.8 * rho_t) {
        // The layer settles to the target density; its water stays, so θ follows d.
        s.rho(l) = rho_t;
        s.d(l) = (s.S(l) + s.L(l)) / rho_t / 1000;
        s.theta(l) = (s.S(l) + s.L(l)) / (1000 * s.d(l));
      }
      if (s.d(l) < 0.25 * ref(type.thickness_ref, l)) {
        const double c_lower = p.c_ice0 * s.S(l) + p.c_water * s.L(l);
        const double c_upper = p.c_ice0 * s.S(l - 1) + p.c_water * s.L(l - 1);
        s.T(l) = (c_lower * s.T(l) + c_upper * s.T(l - 1)) /
                 (p.c_water * (s.L(l - 1) + s.L(l)) + p.c_ice0 * (s.S(l - 1) + s.S(l)));
        s.d(l) += s.d(l - 1);
        s.S(l) += s.S(l - 1);
        s.L(l) += s.L(l - 1);
        s.rho(l) = (s.S(l) + s.L(l)) / s.d(l) / 1000;
        s.theta(l) = (s.S(l) + s.L(l)) / (1000 * s.d(l));
        if (l > 2) s.move_down(l - 2);
        s.split(ref(type.thickness_ref, 1));
      }
    }
  }
  return R;
}

double melt_into_top_layers(double m, std::span<double> theta, std::span<const double> theta_s,
                            std::span<const double> d) {
  const auto fill = [&](std::size_t l, double water) {
    const double capacity = (theta_s[l] - theta[l]) * d[l] * 1000;
    if (water < capacity) {
      theta[l] += water / (d[l] * 1000);
      return 0.0;
    }
    theta[l] = theta_s[l];
    return std::max(water - capacity, 0.0);
  };
  const double r = fill(1, m);
  return r > 0 ? fill(2, r) : 0.0;
}

}  // namespace tolvo
