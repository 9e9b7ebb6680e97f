#include "meteo/precipitation_correction.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace tolvo {
namespace {

// Most samples a range is refitted from.
constexpr int kMaxSamples = 1001;

// Corrected samples of the line (b E + a) at E = first + k step, k = 0.., while E stays
// at or below `last`; the refitted line, or none.
FittedLine RefitRange(double first, double last, double step, double a, double b,
                      const std::function<double(double)>& factor_at) {
  if (!(step > 0) || !std::isfinite(step) || !(last > first) || !std::isfinite(last)) return {};
  const int n = static_cast<int>(std::min<double>(std::floor((last - first) / step + 1e-9) + 1, kMaxSamples));
  if (n < 2) return {};
  std::vector<double> e(static_cast<std::size_t>(n));
  std::vector<double> v(static_cast<std::size_t>(n));
  for (int k = 0; k < n; ++k) {
    const double elevation = first + k * step;
    e[static_cast<std::size_t>(k)] = elevation;
    v[static_cast<std::size_t>(k)] = factor_at(elevation) * (b * elevation + a);
  }
  return FitLine(e.data(), v.data(), n);
}

bool AllFinite(const RegressionBands& l) {
  for (int i = 1; i <= 3; ++i) {
    if (!std::isfinite(l.intercepts[static_cast<std::size_t>(i)]) || !std::isfinite(l.gradients[static_cast<std::size_t>(i)])) {
      return false;
    }
  }
  return std::isfinite(l.upper_limit);
}

}  // namespace

FittedLine FitLine(const double* e, const double* v, int n) {
  double se = 0, sv = 0, sev = 0, see = 0;
  for (int k = 0; k < n; ++k) {
    se += e[k];
    sv += v[k];
    sev += e[k] * v[k];
    see += e[k] * e[k];
  }
  const double denominator = n * see - se * se;
  if (n < 2 || !(denominator > 0)) return {};
  const double slope = (n * sev - se * sv) / denominator;
  return {true, slope, (sv - se * slope) / n};
}

void CorrectRegressionLines(RegressionBands& lines, double max_elevation, double missing_below,
                            const std::function<double(double)>& factor_at) {
  RegressionBands l = lines;
  auto& a = l.intercepts;
  auto& b = l.gradients;
  if (a[1] < missing_below) return;
  const double l1 = l.lower_limit;
  const double l2 = l.upper_limit;

  bool lower_kept = false;
  bool middle_kept = false;
  bool upper_kept = false;
  if (l1 > 0 && b[1] != 0) {
    const FittedLine fit = RefitRange(0, l1, l1 / 10, a[1], b[1], factor_at);
    lower_kept = !fit.fitted;
    if (fit.fitted) {
      b[1] = fit.slope;
      a[1] = fit.intercept;
    }
  } else {
    const FittedLine fit = RefitRange(0, l2, l2 / 10, a[2], b[2], factor_at);
    middle_kept = !fit.fitted;
    if (fit.fitted) {
      b[2] = fit.slope;
      a[2] = fit.intercept;
    }
  }
  if (b[3] != 0 && l2 < max_elevation) {
    const FittedLine fit =
        RefitRange(l2, std::max(max_elevation, 2 * l2), (max_elevation - l2) / 10, a[3], b[3], factor_at);
    upper_kept = !fit.fitted;
    if (fit.fitted) {
      b[3] = fit.slope;
      a[3] = fit.intercept;
    }
  }

  if (l1 > 0) {
    if (!lower_kept && !upper_kept && l2 != l1) {
      b[2] = (b[3] * l2 + a[3] - (b[1] * l1 + a[1])) / (l2 - l1);
      a[2] = (b[1] - b[2]) * l1 + a[1];
    }
  } else if (!middle_kept && !upper_kept && std::fabs(b[3] - b[2]) > 0.0001) {
    l.upper_limit = (a[2] - a[3]) / (b[3] - b[2]);
  }
  if (AllFinite(l)) lines = l;
}

}  // namespace tolvo
