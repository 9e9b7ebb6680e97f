#pragma once
// The arrays through which the discharge routing passes water between its routing
// sub-basin objects and hands it to the irrigation. The sub-model (abflussmodellklasse)
// owns them; every routing object (routingclass) borrows them.
//
// Indices: a sub-basin index is 1..n in the order of the soil model's zone ranking; a flow
// index is a sub-basin index, or n + k for inflow slot k. Tracer 0 is water, 1..T are
// tracer concentrations. Entry 0 of a per-sub-basin or per-flow row is left empty or holds
// a total. Water is held in routing millimetres (routing_units.h).

#include <array>
#include <cassert>
#include <cstddef>
#include <span>
#include <vector>

namespace tolvo {

// One row of values per tracer 0..T, each with entries 0..last_index (zero at the start).
class TracerRows {
 public:
  TracerRows() = default;
  TracerRows(int n_tracers, int last_index)
      : width_(static_cast<std::size_t>(last_index) + 1),
        values_(width_ * (static_cast<std::size_t>(n_tracers) + 1), 0.0),
        n_tracers_(n_tracers) {}
  std::span<double> operator[](int t) {
    assert(t >= 0 && t <= n_tracers_);
    return {values_.data() + static_cast<std::size_t>(t) * width_, width_};
  }
  std::span<const double> operator[](int t) const {
    assert(t >= 0 && t <= n_tracers_);
    return {values_.data() + static_cast<std::size_t>(t) * width_, width_};
  }
  int tracer_count() const { return n_tracers_; }
  int last_index() const { return static_cast<int>(width_) - 1; }
  bool empty() const { return values_.empty(); }

 private:
  std::size_t width_ = 0;
  std::vector<double> values_;
  int n_tracers_ = 0;
};

// SubIntervalFlow: the water of every flow index in every sub-interval 0..K of the step,
// per tracer: (t, s, f).
class SubIntervalFlows {
 public:
  SubIntervalFlows() = default;
  SubIntervalFlows(int n_tracers, int n_sub_intervals, int last_flow_index)
      : width_(static_cast<std::size_t>(last_flow_index) + 1),
        n_sub_intervals_(n_sub_intervals),
        values_(width_ * (static_cast<std::size_t>(n_sub_intervals) + 1) * (static_cast<std::size_t>(n_tracers) + 1),
                0.0),
        n_tracers_(n_tracers) {}
  // Flow indices 0..last of tracer t in sub-interval s.
  std::span<double> row(int t, int s) {
    assert(t >= 0 && t <= n_tracers_ && s >= 0 && s <= n_sub_intervals_);
    return {values_.data() + (static_cast<std::size_t>(t) * (static_cast<std::size_t>(n_sub_intervals_) + 1) +
                              static_cast<std::size_t>(s)) *
                                 width_,
            width_};
  }
  double& operator()(int t, int s, int f) { return row(t, s)[static_cast<std::size_t>(f)]; }
  int tracer_count() const { return n_tracers_; }
  int sub_interval_count() const { return n_sub_intervals_; }
  int last_flow_index() const { return static_cast<int>(width_) - 1; }
  bool empty() const { return values_.empty(); }

 private:
  std::size_t width_ = 0;
  int n_sub_intervals_ = 0;
  std::vector<double> values_;
  int n_tracers_ = 0;
};

// TranslationCascade: per tracer and flow index the chain of translation elements of the
// channel that carries that flow, sized by the routing object that owns the channel.
// Empty slots belong to flows no channel carries.
class TranslationCascades {
 public:
  TranslationCascades() = default;
  TranslationCascades(int n_tracers, int last_flow_index)
      : width_(static_cast<std::size_t>(last_flow_index) + 1),
        slots_(width_ * (static_cast<std::size_t>(n_tracers) + 1)),
        n_tracers_(n_tracers) {}
  std::vector<double>& operator()(int t, int f) {
    assert(t >= 0 && t <= n_tracers_ && f >= 0 && static_cast<std::size_t>(f) < width_);
    return slots_[static_cast<std::size_t>(t) * width_ + static_cast<std::size_t>(f)];
  }
  int tracer_count() const { return n_tracers_; }
  int last_flow_index() const { return static_cast<int>(width_) - 1; }
  bool empty() const { return slots_.empty(); }

 private:
  std::size_t width_ = 0;
  std::vector<std::vector<double>> slots_;
  int n_tracers_ = 0;
};

// abfrel: entries 0..n.
struct AreaShares {
  // Entry 0 the basin area [km2]; entry i the share of sub-basin i in it, replaced by the
  // share of its whole drainage area once its routing object has weighed its tributaries.
  std::vector<double> relative_area;
  // The scale factor of sub-basin i: 1 without a routing object, else its block's value.
  std::vector<double> scale;
};

// routing-target: where the outflow of every sub-basin goes.
struct RoutingTarget {
  // Entries 1..2n: the sub-basin index of every tributary in reading order; the first
  // entry that is not positive ends the list.
  std::vector<int> tributaries;
  // Entry i: the index of the sub-basin whose routing object takes sub-basin i's outflow
  // as a tributary; 0 when none.
  std::vector<int> target;
  // Entry i: the position (1-based) of sub-basin i's own routing object; 0 when none.
  std::vector<int> object_number;
};

// ObservedRing: the observed discharge of the current step and of the ten records before
// and after it, one row per record; row 10 holds the current step. Value column k of
// the observed-discharge file is entry k (1..c) of a row. Shifting moves the order of the
// rows, not their values.
class ObservedRing {
 public:
  static constexpr int kRows = 21;
  static constexpr int kCurrentRow = 10;
  explicit ObservedRing(int n_columns)
      : width_(static_cast<std::size_t>(n_columns) + 1), values_(width_ * kRows, 0.0) {
    for (int r = 0; r < kRows; ++r) order_[static_cast<std::size_t>(r)] = r;
  }
  std::span<double> row(int r) {
    assert(r >= 0 && r < kRows);
    return {values_.data() + static_cast<std::size_t>(order_[static_cast<std::size_t>(r)]) * width_, width_};
  }
  std::span<const double> row(int r) const {
    assert(r >= 0 && r < kRows);
    return {values_.data() + static_cast<std::size_t>(order_[static_cast<std::size_t>(r)]) * width_, width_};
  }
  // The observation of the current step in value column `column` (1..c).
  double current(int column) const {
    assert(column >= 1 && static_cast<std::size_t>(column) < width_);
    return row(kCurrentRow)[static_cast<std::size_t>(column)];
  }
  // Row r takes the place of row r + 1; the old row 0 becomes row 20.
  void Shift() {
    const int oldest = order_[0];
    for (std::size_t r = 0; r + 1 < order_.size(); ++r) order_[r] = order_[r + 1];
    order_[kRows - 1] = oldest;
  }
  int column_count() const { return static_cast<int>(width_) - 1; }

 private:
  std::size_t width_;
  std::vector<double> values_;
  std::array<int, kRows> order_{};
};

}  // namespace tolvo
