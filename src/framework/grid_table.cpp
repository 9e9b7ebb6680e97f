#include "framework/grid_table.h"

#include <algorithm>

#include "framework/zonal_statistic.h"

namespace tolvo {

// Out of line: the entry owns its statistics table, whose type is only declared in the header.
grid_entry::grid_entry() = default;
grid_entry::~grid_entry() = default;
grid_entry::grid_entry(grid_entry&&) noexcept = default;
grid_entry& grid_entry::operator=(grid_entry&&) noexcept = default;

int grid_table::FirstFreeEntryFrom(int start) const {
  int index = std::max(start, 1);
  while (index <= kLastGridIndex && (*this)[index].file_name) ++index;
  return index;
}

int grid_table::FirstFreeEntryUpTo(int last) const {
  for (int i = 1; i <= std::min(last, size() - 1); ++i) {
    if (!(*this)[i].file_name) return i;
  }
  return 0;
}

int grid_table::FirstEntryWithoutIdentifier() const {
  for (int i = 1; i <= kLastGridIndex; ++i) {
    if (!(*this)[i].identifier) return i;
  }
  return 0;
}

}  // namespace tolvo
