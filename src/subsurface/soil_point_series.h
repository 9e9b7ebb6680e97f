#pragma once
// A time series of one cell kept in memory until it is appended to its text file: records
// 1..capacity of a date (year, month, day, hour) and a fixed number of values. The
// capacity keeps a buffer near 2 MiB; the records in use are written out in one block.
// The buffer grows with the records taken, so a short run or a process that records
// nothing does not hold the whole capacity.

#include <algorithm>
#include <array>
#include <span>
#include <string>
#include <vector>

namespace tolvo {

class PointSeries {
 public:
  PointSeries() = default;
  // `width` values per record (indices 0..width-1); capacity
  // 2097152 / (width * 8 + 32) records, at least 1; none in use.
  PointSeries(std::string file, int width);

  const std::string& file() const { return file_; }
  long capacity() const { return capacity_; }
  long count() const { return count_; }
  int width() const { return width_; }
  bool empty() const { return count_ == 0; }
  // Values of record i (1..count).
  std::span<double> values(long i) {
    return {values_.data() + static_cast<std::size_t>(i) * static_cast<std::size_t>(width_),
            static_cast<std::size_t>(width_)};
  }
  std::array<long long, 4>& date(long i) { return dates_[static_cast<std::size_t>(i)]; }
  // Takes the next record (the caller writes the series out when it is full) with the
  // date; its values, zeroed.
  std::span<double> append(const std::array<long long, 4>& date) {
    if (count_ >= capacity_) count_ = capacity_ - 1;
    ++count_;
    if (dates_.size() <= static_cast<std::size_t>(count_)) {
      dates_.resize(static_cast<std::size_t>(count_) + 1);
      values_.resize((static_cast<std::size_t>(count_) + 1) * static_cast<std::size_t>(width_));
    }
    dates_[static_cast<std::size_t>(count_)] = date;
    const std::span<double> v = values(count_);
    std::fill(v.begin(), v.end(), 0.0);
    return v;
  }
  void clear() { count_ = 0; }

 private:
  std::string file_;
  long capacity_ = 0;
  long count_ = 0;
  int width_ = 0;
  std::vector<std::array<long long, 4>> dates_;  // index 0 unused; records 0..the most taken so far
  std::vector<double> values_;                   // record i from i * width on; record 0 unused
};

}  // namespace tolvo
