#include "runoff/sub_time_step.h"

#include <cmath>
#include <limits>

namespace tolvo {

double IntegerFractionOf(double t, double bound) {
  const double ratio = t / bound;
  if (!(ratio >= 1) || ratio > std::numeric_limits<int>::max()) return t;
  return t / static_cast<int>(ratio);
}

double CourantSubTimeStep(double t, double courant, double dt_min, double dt_max) {
  const double ratio = t / courant;
  double step = dt_min;
  if (ratio >= 0 && ratio < std::numeric_limits<int>::max()) step = t / (static_cast<int>(ratio) + 1);
  if (step < dt_min) step = dt_min;
  if (step > dt_max) step = dt_max;
  return step;
}

double RemainingSubTimeStep(double t, double first, double bound) {
  const double rest = t - first;
  if (!(rest > 0) || !(bound > 0)) return bound;
  // A tolerance of a millionth keeps a rest that is a whole number of bounds from
  // gaining a sub-step by rounding.
  const double count = std::ceil(rest / bound - 1e-6);
  return rest / std::max(count, 1.0);
}

int SubStepCount(double t, double sub_time_step) { return static_cast<int>(t / sub_time_step) + 1; }

int NextRefreshIndex(int refresh, int n_sub_steps, double t, double dt_max) {
  return static_cast<int>(refresh + n_sub_steps / (t / dt_max));
}

}  // namespace tolvo
