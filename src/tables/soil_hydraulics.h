#pragma once
// Look-up tables of the soil physics of one soil layer, precomputed once from the layer's
// van Genuchten–Mualem parameters so that the per-cell, per-step work of the soil model
// needs no power function:
//
//  - hydraulic tables at 30 fixed suction steps (suction in the unit of 1/alpha): the
//    water content of the retention curve (van Genuchten 1980) and the relative
//    hydraulic conductivity after Mualem (1976);
//  - freezing tables in temperature steps from 0 °C down to freezingTmin: the liquid-water
//    fraction and its slope over temperature (the retention curve evaluated at the
//    suction a temperature below 0 °C stands for), and a freezing-point shift (°C, <= 0)
//    per step of relative saturation.
//
// Every table of a soil record is a LayerTables block: one row per layer 0..layerCount,
// all rows in one contiguous allocation, so a look-up touches one or two cache lines and
// allocates nothing. The kernels below are free functions over rows of such blocks; the
// SoilRecord operations (soil_table.h) call them with the rows of one layer.

#include <array>
#include <cassert>
#include <cstddef>
#include <span>
#include <vector>

namespace tolvo {

// Number of suction steps of the hydraulic tables; a table row has entries 0..30.
inline constexpr int kSuctionStepCount = 30;
inline constexpr int kHydraulicTableSize = kSuctionStepCount + 1;
// Suction at which a layer holds field capacity [m].
inline constexpr double kFieldCapacitySuction = 3.45;
// Entry 0 and entries 1..30: the fixed suction steps. 3.45 (entry 22) is the suction of
// field capacity in the soil model.
inline constexpr std::array<double, kHydraulicTableSize> kSuctionSteps{
    0,   0,   0.0005, 0.001, 0.002, 0.005, 0.007, 0.01, 0.02, 0.03, 0.05,
    0.07, 0.1, 0.15,  0.2,   0.3,   0.4,   0.6,   0.8,  1.2,  1.6,  2.6,
    3.45, 6.9, 20,    35,    50,    75,    100,   125,  150};

// Rows of equal width in one contiguous block; row l is the table of layer l.
class LayerTables {
 public:
  LayerTables() = default;
  // Rows 0..last_layer of `width` values each, all 0.
  LayerTables(int last_layer, int width)
      : width_(static_cast<std::size_t>(width)),
        rows_(static_cast<std::size_t>(last_layer) + 1),
        values_(rows_ * width_, 0.0) {}

  std::span<double> operator[](int l) {
    assert(l >= 0 && static_cast<std::size_t>(l) < rows_);
    return {values_.data() + static_cast<std::size_t>(l) * width_, width_};
  }
  std::span<const double> operator[](int l) const {
    assert(l >= 0 && static_cast<std::size_t>(l) < rows_);
    return {values_.data() + static_cast<std::size_t>(l) * width_, width_};
  }
  bool empty() const { return values_.empty(); }
  int width() const { return static_cast<int>(width_); }
  int rows() const { return static_cast<int>(rows_); }

 private:
  std::size_t width_ = 0;
  std::size_t rows_ = 0;
  std::vector<double> values_;
};

// Van Genuchten–Mualem parameters of one layer: water contents (volume fractions),
// alpha (1/suction unit), n, m (dimensionless) and the Mualem tortuosity exponent tau.
struct VanGenuchtenParameters {
  double theta_sat = 0;
  double theta_res = 0;
  double alpha = 0;
  double n = 0;
  double m = 0;
  double tau = 0;
};

// --- hydraulic tables (rows of kHydraulicTableSize entries) ---------------------------

// Fills the four hydraulic rows of one layer. For i = 1..29 with h = suction step i:
// Se = (1 + (alpha h)^n)^-m, retention = theta = theta_res + (theta_sat - theta_res) Se,
// conductivity = Se^tau (1 - (1 - Se^(1/m))^m)^2. Entry 0 of the water-content rows is
// theta_sat, entry 30 theta_res; conductivity entry 30 is 0 (entry 0 unused, 0).
void FillHydraulicTables(const VanGenuchtenParameters& p, std::span<double> suction_steps,
                         std::span<double> retention, std::span<double> theta, std::span<double> conductivity);

// The three look-ups below run for every layer of every cell in each iteration of the
// soil model; they are defined here so that the column solver inlines them.
namespace detail {

// Largest j in 1..29 with table[j] > x, for a table that falls with j and
// table[1] > x >= table[30]. A binary search whose steps select without branching, so
// that water contents in random order cost no mispredicted jumps.
inline int FallingBracket(std::span<const double> table, double x) {
  int base = 1;
  for (int n = kSuctionStepCount - 1; n > 1;) {
    const int half = n / 2;
    base = table[base + half] > x ? base + half : base;
    n -= half;
  }
  return base;
}

// Linear interpolation of `values` at x between the table entries j and j+1.
inline double InterpolateBetween(std::span<const double> table, std::span<const double> values, double x, int j) {
  const double w = (x - table[j + 1]) / (table[j] - table[j + 1]);
  return w * values[j] + (1 - w) * values[j + 1];
}

// Linear interpolation of `values` at x between the falling table entries j and j+1.
inline double InterpolateFalling(std::span<const double> table, std::span<const double> values, double x) {
  return InterpolateBetween(table, values, x, FallingBracket(table, x));
}

}  // namespace detail

// Suction (unit of 1/alpha) at water content x: 150 at or below entry 30, 0 at or above
// entry 1, otherwise linear between the two suction steps whose water contents bracket x.
inline double SuctionAtWaterContent(std::span<const double> retention, std::span<const double> suction_steps,
                                    double x) {
  if (x <= retention[kSuctionStepCount]) return suction_steps[kSuctionStepCount];
  if (x >= retention[1]) return 0;
  return detail::InterpolateFalling(retention, suction_steps, x);
}

// The same for a water content near one looked up before in the row: the search starts at
// that content's bracket (1..29; any value in that range when there is none), and
// `bracket` receives the one of x. In a falling row (every retention row falls) a bracket
// that still holds x is the one the search would find, so the suction is the same to the
// last bit; contents tried one after the other by an iteration mostly stay in one bracket.
inline double SuctionAtWaterContent(std::span<const double> retention, std::span<const double> suction_steps,
                                    double x, int& bracket) {
  assert(bracket >= 1 && bracket < kSuctionStepCount);
  if (x <= retention[kSuctionStepCount]) return suction_steps[kSuctionStepCount];
  if (x >= retention[1]) return 0;
  if (!(retention[bracket] > x && !(retention[bracket + 1] > x))) bracket = detail::FallingBracket(retention, x);
  return detail::InterpolateBetween(retention, suction_steps, x, bracket);
}

// Relative conductivity (0..1) at water content x: 0 below entry 30, 1 at or above
// entry 1, otherwise linear between the bracketing entries.
inline double ConductivityAtWaterContent(std::span<const double> theta, std::span<const double> conductivity,
                                         double x) {
  if (x < theta[kSuctionStepCount]) return conductivity[kSuctionStepCount];
  if (x >= theta[1]) return 1;
  return detail::InterpolateFalling(theta, conductivity, x);
}

// Water content at suction h: theta_res from suction step 30 on; below it linear between
// the bracketing suction steps, except over intervals narrower than 0.001, where the
// value of the lower step holds (so every h up to 0.0005 gives theta_sat).
inline double WaterContentAtSuction(std::span<const double> retention, std::span<const double> suction_steps,
                                    double h) {
  if (h >= suction_steps[kSuctionStepCount]) return retention[kSuctionStepCount];
  int lo = 0;  // largest j in 0..29 with suction_steps[j] < h; 0 for h <= 0
  if (h > 0) {
    for (int n = kSuctionStepCount; n > 1;) {
      const int half = n / 2;
      lo = suction_steps[lo + half] < h ? lo + half : lo;
      n -= half;
    }
  }
  const double interval = suction_steps[lo + 1] - suction_steps[lo];
  if (interval < 0.001) return retention[lo];
  const double w = (h - suction_steps[lo]) / interval;
  return (1 - w) * retention[lo] + w * retention[lo + 1];
}

// --- freezing tables (rows of steps + 1 entries) -------------------------------------

// Fills the freezing rows of one layer for temperatures T_i = i t_min / steps (°C):
// fraction_i = (1 + s^n)^-m and slope_i = s^(n-1) (s^n + 1)^(-m-1) n m alpha f (1/K) with
// s = |T_i f alpha|, where f (suction per K) turns a temperature below 0 °C into a
// suction; then shift_k (°C, <= 0) for relative saturation k / steps, from the
// temperature at which the slope reaches k/steps of its largest value.
void FillFreezingTables(const VanGenuchtenParameters& p, double factor, double t_min, std::span<double> fraction,
                        std::span<double> slope, std::span<double> shift);

// The magnitude (K) of the freezing-point shift at the relative-saturation index r
// (relative saturation times steps), interpolated in the shift row.
double FreezingShiftAt(std::span<const double> shift, double r);

struct LiquidWater {
  double fraction = 1;  // liquid share of the soil water, 0..1
  double slope = 0;     // its change per K
};

// Liquid fraction and slope at the shifted temperature t (°C, t_min < t < 0 expected; a
// temperature at or above 0 gives fraction 1, one at or below t_min the last entry).
LiquidWater LiquidWaterAt(std::span<const double> fraction, std::span<const double> slope, double t_min, double t);

}  // namespace tolvo
