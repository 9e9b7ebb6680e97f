#include "meteo/inverse_distance.h"

#include <array>
#include <cassert>
#include <cmath>
#include <vector>

namespace tolvo {
namespace {

// Weight of a present station at squared distance d2 (m^2); 0 beyond the search radius.
template <IdwWeightMode Mode>
double WeightAt(double d2, const IdwSettings& idw) {
  if constexpr (Mode == IdwWeightMode::kInverseSquare) {
    if (d2 == 0) d2 = 1;
    return d2 <= idw.max_distance_sq ? 1 / d2 : 0;
  } else {
    double d = std::sqrt(d2);
    if (d == 0) d = 1;
    if (d > idw.max_distance) return 0;
    if constexpr (Mode == IdwWeightMode::kInverse) {
      return 1 / d;
    } else {
      return std::pow(d, -idw.exponent);
    }
  }
}

template <IdwWeightMode Mode>
double WeightedMean(const StationPoints& s, std::span<double> scratch, double x, double y, double x_factor,
                    const IdwSettings& idw) {
  const int n = s.count();
  assert(static_cast<int>(scratch.size()) > n);
  const double missing = -idw.nodata - 1;
  if (n < 1) return missing;
  double sum_w = 0;
  double sum_wv = 0;
  for (int k = 1; k <= n; ++k) {
    const double v = s.values[static_cast<std::size_t>(k)];
    double w = 0;
    if (v >= -idw.nodata) {
      const double dx = (s.x[static_cast<std::size_t>(k)] - x) * x_factor;
      const double dy = s.y[static_cast<std::size_t>(k)] - y;
      w = WeightAt<Mode>(dx * dx + dy * dy, idw);
    }
    scratch[static_cast<std::size_t>(k)] = w;
    sum_w += w;
    if (w > 0) sum_wv += w * v;
  }
  return sum_w == 0 ? missing : sum_wv / sum_w;
}

double Dispatch(const StationPoints& s, std::span<double> scratch, double x, double y, double x_factor,
                const IdwSettings& idw) {
  switch (idw.mode) {
    case IdwWeightMode::kInverseSquare:
      return WeightedMean<IdwWeightMode::kInverseSquare>(s, scratch, x, y, x_factor, idw);
    case IdwWeightMode::kInverse:
      return WeightedMean<IdwWeightMode::kInverse>(s, scratch, x, y, x_factor, idw);
    case IdwWeightMode::kPower:
      return WeightedMean<IdwWeightMode::kPower>(s, scratch, x, y, x_factor, idw);
  }
  return -idw.nodata - 1;
}

}  // namespace

IdwWeightMode WeightModeOf(double exponent) {
  const double mode = std::floor(1000 * exponent);
  if (mode == 2000) return IdwWeightMode::kInverseSquare;
  if (mode == 1000) return IdwWeightMode::kInverse;
  return IdwWeightMode::kPower;
}

IdwSettings MakeIdwSettings(double exponent, double stored_max_distance, double ratio, double nodata) {
  IdwSettings idw;
  idw.mode = WeightModeOf(exponent);
  idw.exponent = exponent;
  idw.ratio = ratio;
  idw.nodata = nodata;
  // The section squares the radius only for an exponent of exactly 2; every exponent of
  // the inverse-square mode compares squared distances with the squared radius.
  if (exponent == 2.0) {
    idw.max_distance_sq = stored_max_distance;
    idw.max_distance = stored_max_distance >= 0 ? std::sqrt(stored_max_distance) : stored_max_distance;
  } else {
    idw.max_distance = stored_max_distance;
    idw.max_distance_sq = stored_max_distance >= 0 ? stored_max_distance * stored_max_distance : stored_max_distance;
  }
  return idw;
}

double InverseDistance(const StationPoints& stations, std::span<double> scratch, double x, double y,
                       const IdwSettings& idw) {
  return Dispatch(stations, scratch, x, y, 1.0, idw);
}

double InverseDistanceAnisotropic(const StationPoints& stations, std::span<double> scratch, double x, double y,
                                  const IdwSettings& idw) {
  return Dispatch(stations, scratch, x, y, idw.ratio, idw);
}

Point2 RotatePoint(const RotationFrame& frame, double x, double y) {
  const double dx = x - frame.xllcorner;
  const double dy = y - frame.yllcorner;
  const double r = std::sqrt(dx * dx + dy * dy);
  double theta = 0;
  if (dx == 0) {
    theta = dy > 0 ? kMeteoHalfPi : -kMeteoHalfPi;
  } else {
    theta = std::atan2(dy, dx);
  }
  return {r * std::cos(theta - frame.slope) + frame.xllcorner, r * std::sin(theta - frame.slope) + frame.yllcorner};
}

namespace {

constexpr int kNoNeighbour = -9999;
constexpr int kDirectionBins = 18;

// Nearest neighbour of every station, in index order; a pair that already chose each
// other is not taken twice unless it is clearly the nearest.
std::vector<int> NearestNeighbours(std::span<const double> x, std::span<const double> y, int n) {
  std::vector<int> neighbour(static_cast<std::size_t>(n) + 1, kNoNeighbour);
  for (int i = 1; i <= n; ++i) {
    bool best_set = false;
    double best = 0;
    int latest = kNoNeighbour;
    double latest_d2 = 0;
    for (int j = 1; j <= n; ++j) {
      if (j == i) continue;
      const double dx = x[static_cast<std::size_t>(j)] - x[static_cast<std::size_t>(i)];
      const double dy = y[static_cast<std::size_t>(j)] - y[static_cast<std::size_t>(i)];
      const double d2 = dx * dx + dy * dy;
      if (best_set && !(d2 < best)) continue;
      latest = j;
      latest_d2 = d2;
      if (neighbour[static_cast<std::size_t>(j)] == i) continue;
      best_set = true;
      best = d2;
      neighbour[static_cast<std::size_t>(i)] = j;
    }
    if (best_set && best > 1.01 * latest_d2) neighbour[static_cast<std::size_t>(i)] = latest;
  }
  return neighbour;
}

}  // namespace

MeshOrientation EstimateMeshOrientation(std::span<const double> x, std::span<const double> y) {
  const int n = x.empty() ? 0 : static_cast<int>(x.size()) - 1;
  const std::vector<int> neighbour = NearestNeighbours(x, y, n);
  std::vector<double> degrees(static_cast<std::size_t>(n) + 1, 0.0);
  std::vector<int> bin_of(static_cast<std::size_t>(n) + 1, -1);
  std::array<int, kDirectionBins> histogram{};
  for (int i = 1; i <= n; ++i) {
    const int nb = neighbour[static_cast<std::size_t>(i)];
    if (nb == kNoNeighbour) continue;
    double a = std::atan2(y[static_cast<std::size_t>(nb)] - y[static_cast<std::size_t>(i)],
                          x[static_cast<std::size_t>(nb)] - x[static_cast<std::size_t>(i)]);
    if (a > kMeteoHalfPi) a -= kMeteoPi;
    if (a < -kMeteoHalfPi) a += kMeteoPi;
    const double deg = a * 180 / kMeteoPi;
    const int bin = static_cast<int>(std::fmod(std::trunc(std::fmod(deg + 365, 360) / 10), kDirectionBins));
    degrees[static_cast<std::size_t>(i)] = deg;
    bin_of[static_cast<std::size_t>(i)] = bin;
    ++histogram[static_cast<std::size_t>(bin)];
  }
  int modal = 0;
  for (int b = 1; b < kDirectionBins; ++b) {
    if (histogram[static_cast<std::size_t>(b)] > histogram[static_cast<std::size_t>(modal)]) modal = b;
  }
  double sum = 0;
  int count = 0;
  for (int i = 1; i <= n; ++i) {
    if (bin_of[static_cast<std::size_t>(i)] != modal) continue;
    double g = std::fmod(degrees[static_cast<std::size_t>(i)] + 360, 180);
    if (g > 5 && modal == 0) g -= 180;
    if (g >= 10.0 * modal - 5 && g <= 10.0 * modal + 5) {
      sum += g;
      ++count;
    }
  }
  if (count == 0) return {0, 1};
  double m = sum / count;
  if (m > 45) m -= 90;
  if (std::fabs(m) > 0.001) return {m, 0.995};
  return {0, 1};
}

StationSpacing MeanStationSpacing(std::span<const double> x, std::span<const double> y) {
  const int n = x.empty() ? 0 : static_cast<int>(x.size()) - 1;
  double sum_right = 0;
  double sum_above = 0;
  int n_right = 0;
  int n_above = 0;
  for (int i = 1; i <= n; ++i) {
    double right = -9999;
    double above = -9999;
    for (int j = 1; j <= n; ++j) {
      if (j == i) continue;
      const double dx = x[static_cast<std::size_t>(j)] - x[static_cast<std::size_t>(i)];
      const double dy = y[static_cast<std::size_t>(j)] - y[static_cast<std::size_t>(i)];
      const double dist = std::sqrt(dx * dx + dy * dy);
      if (std::fabs(dy) > std::fabs(dx)) {
        if (dy > 0 && (dist < above || above < -1000)) above = dist;
      } else if (dx > 0 && (dist < right || right < -1000)) {
        right = dist;
      }
    }
    if (right > -1000) {
      sum_right += right;
      ++n_right;
    }
    if (above > -1000) {
      sum_above += above;
      ++n_above;
    }
  }
  StationSpacing spacing;
  if (n_right > 0) spacing.horizontal = sum_right / n_right;
  if (n_above > 0) spacing.vertical = sum_above / n_above;
  return spacing;
}

}  // namespace tolvo
