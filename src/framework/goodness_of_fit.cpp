#include "framework/goodness_of_fit.h"

#include <cmath>
#include <limits>

#include "framework/run_context.h"

namespace tolvo {

namespace {

// Sums of squares that cancel to within the round-off of the sums count as zero, so that
// constant observations give no measure rather than a huge one.
constexpr double kRoundOff = 64 * std::numeric_limits<double>::epsilon();

// 1 - (numerator / (P - 1)) / Vo, or -9999 without a measure.
double Efficiency(const FitSums& sums, double numerator_squares, double numerator_scale) {
  const double m = sums.observed_count;
  const double p = sums.pairs;
  if (m <= 2 || p <= 2) return kNodata;
  const double observed_squares = sums.observed_squares - sums.observed_sum * sums.observed_sum / m;
  if (!(observed_squares > kRoundOff * sums.observed_squares)) return kNodata;
  if (numerator_squares <= kRoundOff * numerator_scale) return 1.0;
  const double observed_variance = observed_squares / (m - 1);
  return 1.0 - (numerator_squares / (p - 1)) / observed_variance;
}

}  // namespace

double RSquare(const FitSums& sums) {
  return Efficiency(sums, sums.squared_differences, sums.squared_differences);
}

double VarianceCoefficient(const FitSums& sums) {
  const double p = sums.pairs;
  const double centred = p > 0 ? sums.squared_differences - sums.differences * sums.differences / p : 0.0;
  return Efficiency(sums, centred, sums.squared_differences);
}

}  // namespace tolvo
