#pragma once
// Goodness of fit of simulated against observed discharge, from sums the discharge
// routing collects over a run for each sub-basin and each time shift of -10 .. +10 steps
// (linear sums, and the same sums over natural logarithms).
//
// With P pairs, D = sum of the differences (simulated - observed), D2 = sum of their
// squares, M observed values, O their sum and O2 the sum of their squares, the observed
// variance is Vo = (O2 - O^2 / M) / (M - 1) and
//   R-square              = 1 - (D2 / (P - 1)) / Vo,
//   variance coefficient  = 1 - ((D2 - D^2 / P) / (P - 1)) / Vo.
// R-square is the efficiency of Nash and Sutcliffe (1970, J. Hydrol. 10, 282-290) when
// every observation is paired; the variance coefficient leaves out a constant bias (the
// mean difference). Both are 1 for a perfect simulation. Without enough data (M <= 2,
// P <= 2) or without observed variance there is no measure: the value is -9999.

#include <span>
#include <vector>

namespace tolvo {

// The sums of one sub-basin and time shift, in this order.
struct FitSums {
  double pairs = 0;                // P
  double differences = 0;          // D
  double squared_differences = 0;  // D2
  double observed_count = 0;       // M
  double observed_sum = 0;         // O
  double observed_squares = 0;     // O2

  // Adds one pair of simulated and observed values.
  void Add(double simulated, double observed) {
    const double difference = simulated - observed;
    pairs += 1;
    differences += difference;
    squared_differences += difference * difference;
    observed_count += 1;
    observed_sum += observed;
    observed_squares += observed * observed;
  }
};

inline constexpr int kMaxFitShift = 10;
inline constexpr int kFitShifts = 2 * kMaxFitShift + 1;

// The sums of one set (linear or logarithmic) for every time shift -10 .. 10 and every
// sub-basin 1 .. number of zones.
class FitSumTable {
 public:
  explicit FitSumTable(int n_zones)
      : n_zones_(n_zones), sums_(static_cast<std::size_t>(kFitShifts) * (static_cast<std::size_t>(n_zones) + 1)) {}
  FitSums& at(int shift, int zone) { return sums_[Index(shift, zone)]; }
  const FitSums& at(int shift, int zone) const { return sums_[Index(shift, zone)]; }
  int n_zones() const { return n_zones_; }

 private:
  std::size_t Index(int shift, int zone) const {
    return static_cast<std::size_t>(shift + kMaxFitShift) * (static_cast<std::size_t>(n_zones_) + 1) +
           static_cast<std::size_t>(zone);
  }
  int n_zones_;
  std::vector<FitSums> sums_;
};

// The measures of one element; -9999 when there is no measure.
double RSquare(const FitSums& sums);
double VarianceCoefficient(const FitSums& sums);

}  // namespace tolvo
