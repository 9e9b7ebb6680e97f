#pragma once
// A weighted running statistic of values above a threshold (the grid writers use it for
// the header statistics of binary grid files, with the nodata value as threshold).

#include <cmath>

namespace tolvo {

struct StatisticSummary {
  double weight_sum;
  double minimum;
  double maximum;
  double sum;
  double mean;                // -9999 when nothing was counted
  double standard_deviation;  // -9999 when the weight sum is 2 or less; never negative
};

class RunningStatistic {
 public:
  void Reset(double threshold) {
    *this = RunningStatistic();
    threshold_ = threshold;
  }

  // Counts v only when v > threshold + 1; the first counted value sets minimum and maximum.
  void Add(double v, double w) {
    if (!(v > threshold_ + 1)) return;
    if (first_) {
      minimum_ = maximum_ = v;
      first_ = false;
    } else if (v < minimum_) {
      minimum_ = v;
    } else if (v > maximum_) {
      maximum_ = v;
    }
    sum_ += w * v;
    weight_sum_ += w;
    sum_squares_ += w * v * v;
  }

  StatisticSummary Get() const {
    StatisticSummary s{weight_sum_, minimum_, maximum_, sum_, -9999.0, -9999.0};
    if (weight_sum_ > 0) s.mean = sum_ / weight_sum_;
    if (weight_sum_ > 2) {
      const double variance = (sum_squares_ - sum_ * sum_ / weight_sum_) / (weight_sum_ - 1);
      // Rounding can make the variance of constant values slightly negative: report 0.
      s.standard_deviation = variance > 0 ? std::sqrt(variance) : 0.0;
    }
    return s;
  }

 private:
  double threshold_ = 0;
  double weight_sum_ = 0;
  double minimum_ = 0;
  double maximum_ = 0;
  double sum_ = 0;
  double sum_squares_ = 0;
  bool first_ = true;
};

}  // namespace tolvo
