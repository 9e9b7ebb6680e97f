#pragma once
// Waterlevel-discharge (w-q) table of a channel: for specific discharges spaced
// logarithmically from qmin to qmax the normal-flow velocity, depth and hydraulic radius
// in the main channel and on the flood plains, and the travel time through the channel,
// after which the channel is cut into sub-channels (reaches) and its translation elements
// are counted.
//
// Section: a rectangular main channel of width bm and depth d, flanked by flood plains of
// total width bf that carry water once the main channel is full. Each part flows at its
// normal velocity (manning.h); the split of the discharge between them is iterated until
// both stand at a common water level (within 1 cm, at most 50 exchanges).
//
// Units: q [l/s/km2], q per step [mm per model step], Q [m3/s], velocities [m/s], depths
// and radii [m], travel times t [h], dt [min]. Rows r = 1..R (R = whole part of the
// interval count + 1), row 1 the smallest discharge; entry 0 of every row array is 0.
// The table needs qmin > 0, qmax > qmin and at least one interval.

#include <vector>

namespace tolvo {

// The ten hydraulic values of a channel as the routing description gives them.
struct ChannelValues {
  double kh_h = 0;           // retention constant of the main channel [h]
  double kv_h = 0;           // retention constant of the flood plain [h]
  double bm_m = 0;           // width of the main channel [m]
  double bf_m = 0;           // width of the flood plains [m]
  double d_m = 0;            // depth of the main channel [m]
  double mm_m13s = 0;        // Strickler coefficient of the main channel [m^(1/3)/s]
  double mf_m13s = 0;        // Strickler coefficient of the flood plain [m^(1/3)/s]
  double slope = 0;          // I [1/1]
  double length_m = 0;       // L [m]
  double catchment_km2 = 0;  // Ac [km2]
};

// The values a channel is built with: every value not above 0 replaced by its default
// (kh, kv 0.01 h; bm, bf, d 0.1 m; Mm, Mf 1; L 1 m; Ac 1e-6 km2), and the slope held as
// its square root (0.0316 for a slope not above 0, which prints back as 0.0010).
struct ChannelParameters {
  double kh_h = 0;
  double kv_h = 0;
  double bm_m = 0;
  double bf_m = 0;
  double d_m = 0;
  double mm_m13s = 0;
  double mf_m13s = 0;
  double sqrt_slope = 0;
  double length_m = 0;
  double catchment_km2 = 0;
};
ChannelParameters WithDefaults(const ChannelValues& values);

// Row range of a table: specific discharges [l/s/km2] and the number of intervals (a real
// number whose whole part counts).
struct WQRange {
  double qmin = 0;
  double qmax = 0;
  double intervals = 0;
  int row_count() const { return static_cast<int>(intervals) + 1; }
  // Δ, the step of ln q from row to row.
  double log_step() const;
};

struct WQTable {
  std::vector<double> q;                  // specific discharge [l/s/km2]
  std::vector<double> q_step;             // the same in mm per model step
  std::vector<double> Q;                  // discharge [m3/s]
  std::vector<double> v;                  // discharge-weighted mean velocity
  std::vector<double> vm;                 // velocity in the main channel
  std::vector<double> vf;                 // velocity on the flood plain (0 when dry)
  std::vector<double> t;                  // travel time through the whole channel [h]
  std::vector<double> Rm;                 // hydraulic radius of the main channel
  std::vector<double> Rf;                 // hydraulic radius of the flood plain
  std::vector<double> dm;                 // depth in the main channel
  std::vector<double> df;                 // depth on the flood plain (0 when dry)
  std::vector<int> element_count;         // translation elements of one sub-channel
  std::vector<double> flood_plain_share;  // Qf / (Qm + Qf)
  int reach_count = 0;                    // S, sub-channels (ReachCount)
  int cascade_length = 0;                 // (largest element count + K) * S (CascadeLength)
};

// Fills rows 1..R of `table`, whose row arrays hold R + 1 entries each. `q_divisor`
// divides the discharge of every row (the scale factor of a tributary channel, 1
// otherwise).
void FillWQRows(WQTable& table, const ChannelParameters& channel, const WQRange& range, double dt_min,
                double q_divisor);

// The number of sub-channels: 1 when the slowest and fastest travel times [h] through the
// channel differ by at most one model step, else the smallest S >= 2 for which they differ
// by at most one step per sub-channel.
int ReachCount(double t_slowest_h, double t_fastest_h, double dt_min);

// Translation elements of one sub-channel at every row (its travel time in sub-intervals
// of dt / K), and the cascade length they give. Fails (returns false) only when the cascade
// length exceeds the range of an int.
bool CountElements(WQTable& table, int n_sub_intervals, double dt_min);

// The row of a discharge q_mm [routing millimetres per model step]: the last row whose
// specific discharge lies below it; row 1 at or below qmin, row R above qmax.
int RowIndex(double q_mm, double dt_min, const WQRange& range);

}  // namespace tolvo
