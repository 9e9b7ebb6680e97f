#pragma once
// The registry of statistics tables, through which the external coupling reads the latest
// row of every table.
//
// The application owns one registry of 201 zeroed entries of which the first 200 are used.
// A table registers by copying its registry block into the first free entry; the entry
// then refers to the table's own arrays (1-based: index 1 .. row length), which the table
// keeps up to date row by row. An entry is free while it refers to no last-row values.

#include <array>
#include <span>
#include <string>

#include "framework/error_code.h"

namespace tolvo {

struct StatisticsRegistryEntry {
  long long year = 0;
  long long month = 0;
  long long day = 0;
  long long hour = 0;
  long long row_length = 0;
  std::span<double> last_values;   // latest row; the table overwrites it every interval
  std::span<double> accumulator;   // summed by the external coupling
  std::span<double> area_shares;   // column area shares
  const std::string* caption = nullptr;
  std::span<long long> zone_codes;

  bool free() const { return last_values.data() == nullptr; }
};

class StatisticsRegistry {
 public:
  static constexpr int kEntries = 201;
  static constexpr int kCapacity = 200;

  StatisticsRegistryEntry& operator[](int index) { return entries_[static_cast<std::size_t>(index)]; }
  const StatisticsRegistryEntry& operator[](int index) const { return entries_[static_cast<std::size_t>(index)]; }

  // Copies the block into the first free entry among 0 .. capacity - 1 (capacity is cut to
  // the registry's size); its index, or -1 when none is free (the table that registers
  // reports that as a fatal error).
  int Register(const StatisticsRegistryEntry& block, int capacity);

 private:
  std::array<StatisticsRegistryEntry, kEntries> entries_{};
};

}  // namespace tolvo
