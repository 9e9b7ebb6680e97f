#include "framework/grid_table.h"

#include <algorithm>
#include <cassert>
#include <string>

#include "framework/diagnostics_log.h"
#include "framework/error_code.h"
#include "framework/zonal_statistic.h"

namespace tolvo {

// Out of line: the entry owns its statistics table, whose type is only declared in the header.
grid_entry::grid_entry() = default;
grid_entry::~grid_entry() = default;
grid_entry::grid_entry(grid_entry&&) noexcept = default;
grid_entry& grid_entry::operator=(grid_entry&&) noexcept = default;

int grid_table::TakeFreeEntries(int n, EntryBounds bounds, DiagnosticsLog& log, std::string_view message) const {
  assert(n >= 1);
  assert(UsedEntriesFormPrefix());
  const bool by_file_name = bounds.taken_by == TakenBy::kFileName;
  const auto free = [&](int i) { return by_file_name ? !(*this)[i].file_name : !(*this)[i].identifier; };
  const int last = std::min(bounds.last, size() - 1);
  int first = std::max(bounds.first, 1);
  while (first + n - 1 <= last) {
    int taken = first;
    while (taken < first + n && free(taken)) ++taken;
    if (taken == first + n) return first;
    first = taken + 1;
  }
  log << "FATAL: " << std::string(message) << "[end-entry]";
  RaiseError(kGridEntryError);
}

bool grid_table::UsedEntriesFormPrefix() const {
  int i = 1;
  while (i <= kLastGridIndex && (*this)[i].file_name) ++i;
  for (; i <= kLastGridIndex; ++i) {
    if ((*this)[i].file_name || (*this)[i].identifier) return false;
  }
  return true;
}

}  // namespace tolvo
