#include "routing/wq_table.h"

#include <algorithm>
#include <cassert>
#include <climits>
#include <cmath>

#include "routing/manning.h"

namespace tolvo {
namespace {

constexpr double kVelocityTolerance = 0.005;  // m/s
constexpr int kManningEvaluations = 50;
constexpr int kLevelExchanges = 50;
constexpr double kLevelTolerance = 0.01;  // m

double Positive(double value, double fallback) { return value > 0 ? value : fallback; }

// Discharge split between main channel and flood plain at a common water level.
struct SectionFlow {
  double qm = 0;
  double qf = 0;
  ManningFlow main;
  ManningFlow plain;
};

// Once the main channel overflows, water moves between it and the flood plain, across
// the difference of their levels, until both stand at one level.
void ShareWithFloodPlain(SectionFlow& flow, const ChannelParameters& channel) {
  flow.plain.velocity_ms = flow.main.velocity_ms;
  for (int exchange = 1; exchange <= kLevelExchanges; ++exchange) {
    const double level = (flow.main.depth_m + flow.plain.depth_m + channel.d_m) / 2;
    flow.plain.depth_m = level - channel.d_m;
    const double drop = std::fabs(flow.main.depth_m - level);
    const double moved =
        std::min(channel.bm_m * drop * flow.main.velocity_ms, channel.bf_m * drop * flow.plain.velocity_ms);
    // Neither part gives more water than it carries: in a section too small for the
    // velocity tolerance the depths lag the discharges, and an unbounded exchange would
    // leave a negative discharge with no velocity behind.
    if (flow.main.depth_m > level) {
      const double given = std::min(moved, flow.qm);
      flow.qm -= given;
      flow.qf += given;
    } else {
      const double given = std::min(moved, flow.qf);
      flow.qm += given;
      flow.qf -= given;
    }
    flow.main = ManningVelocity(flow.qm, channel.bm_m, flow.main.velocity_ms, channel.mm_m13s, channel.sqrt_slope,
                                kVelocityTolerance, kManningEvaluations);
    flow.plain = ManningVelocity(flow.qf, channel.bf_m, flow.plain.velocity_ms, channel.mf_m13s, channel.sqrt_slope,
                                 kVelocityTolerance, kManningEvaluations);
    if (std::fabs(flow.main.depth_m - flow.plain.depth_m - channel.d_m) <= kLevelTolerance) break;
  }
}

}  // namespace

ChannelParameters WithDefaults(const ChannelValues& values) {
  return {.kh_h = Positive(values.kh_h, 0.01),
          .kv_h = Positive(values.kv_h, 0.01),
          .bm_m = Positive(values.bm_m, 0.1),
          .bf_m = Positive(values.bf_m, 0.1),
          .d_m = Positive(values.d_m, 0.1),
          .mm_m13s = Positive(values.mm_m13s, 1.0),
          .mf_m13s = Positive(values.mf_m13s, 1.0),
          .sqrt_slope = values.slope > 0 ? std::sqrt(values.slope) : 0.0316,
          .length_m = Positive(values.length_m, 1.0),
          .catchment_km2 = Positive(values.catchment_km2, 1e-6)};
}

double WQRange::log_step() const { return std::log(qmax / qmin) / intervals; }

void FillWQRows(WQTable& table, const ChannelParameters& channel, const WQRange& range, double dt_min,
                double q_divisor) {
  assert(range.qmin > 0 && range.qmax > range.qmin && range.intervals >= 1);
  const int n_rows = range.row_count();
  assert(static_cast<int>(table.q.size()) == n_rows + 1);
  const double step = range.log_step();
  double log_q = std::log(range.qmax) + step;
  double v_start = 1.0;
  for (int r = n_rows; r >= 1; --r) {
    log_q -= step;
    const double q = std::exp(log_q);
    table.q[r] = q;
    table.q_step[r] = q * 0.0036 * dt_min / 60;
    const double q_m3s = q / 1000 * channel.catchment_km2 / q_divisor;
    table.Q[r] = q_m3s;

    SectionFlow flow;
    flow.qm = q_m3s;
    flow.main = ManningVelocity(flow.qm, channel.bm_m, v_start, channel.mm_m13s, channel.sqrt_slope, kVelocityTolerance,
                                kManningEvaluations);
    if (flow.main.depth_m > channel.d_m) ShareWithFloodPlain(flow, channel);

    const double total = flow.qm + flow.qf;
    table.vm[r] = flow.main.velocity_ms;
    table.vf[r] = flow.plain.velocity_ms;
    table.v[r] = flow.qm / total * flow.main.velocity_ms + flow.qf / total * flow.plain.velocity_ms;
    table.Rm[r] = flow.main.hydraulic_radius_m;
    table.Rf[r] = flow.plain.hydraulic_radius_m;
    table.dm[r] = flow.main.depth_m;
    table.df[r] = flow.plain.depth_m;
    table.flood_plain_share[r] = flow.qf / total;
    table.t[r] = channel.length_m / table.v[r] / 3600;
    // The next row starts from this row's main-channel velocity; a velocity of 0 (a main
    // channel emptied into the flood plain) would hold every smaller row at 0.
    if (flow.main.velocity_ms > 0) v_start = flow.main.velocity_ms;
  }
}

int ReachCount(double t_slowest_h, double t_fastest_h, double dt_min) {
  const double step_h = dt_min / 60;
  if (t_slowest_h <= t_fastest_h + step_h) return 1;
  // The smallest S with t_slowest / S <= t_fastest / S + step lies near the spread of the
  // travel times in steps; start just below it and walk up to the first S that fits.
  const double spread = (t_slowest_h - t_fastest_h) / step_h;
  if (!(spread < INT_MAX - 2)) return INT_MAX;
  int s = std::max(2, static_cast<int>(spread) - 1);
  while (!(t_slowest_h / s <= t_fastest_h / s + step_h) && s < INT_MAX) ++s;
  return s;
}

bool CountElements(WQTable& table, int n_sub_intervals, double dt_min) {
  const int n_rows = static_cast<int>(table.t.size()) - 1;
  double largest = 0;
  for (int r = 1; r <= n_rows; ++r) {
    const double elements = std::trunc(n_sub_intervals * table.t[r] / table.reach_count / dt_min * 60);
    if (!(elements < INT_MAX)) return false;
    table.element_count[r] = static_cast<int>(elements);
    largest = std::max(largest, elements);
  }
  const double length = std::trunc((largest + n_sub_intervals) * table.reach_count);
  if (!(length < INT_MAX)) return false;
  table.cascade_length = static_cast<int>(length);
  return true;
}

int RowIndex(double q_mm, double dt_min, const WQRange& range) {
  const double q = std::max(1e-7, q_mm * 16666.668 / dt_min);
  const double step = range.log_step();
  double row = 1;
  if (step > 0) {
    row = std::ceil(std::log(q / range.qmin) / step);
    if (row <= 0) row = 1;
  }
  return static_cast<int>(std::min(row, static_cast<double>(range.row_count())));
}

}  // namespace tolvo
