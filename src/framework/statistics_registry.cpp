#include "framework/statistics_registry.h"

#include <algorithm>

namespace tolvo {

int StatisticsRegistry::Register(const StatisticsRegistryEntry& block, int capacity) {
  const int usable = std::min(capacity, kEntries);
  for (int i = 0; i < usable; ++i) {
    if (entries_[static_cast<std::size_t>(i)].free()) {
      entries_[static_cast<std::size_t>(i)] = block;
      return i;
    }
  }
  return -1;
}

}  // namespace tolvo
