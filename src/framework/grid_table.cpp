#include "framework/grid_table.h"

#include "framework/zonal_statistic.h"

namespace tolvo {

// Out of line: the entry owns its statistics table, whose type is only declared in the header.
grid_entry::grid_entry() = default;
grid_entry::~grid_entry() = default;
grid_entry::grid_entry(grid_entry&&) noexcept = default;
grid_entry& grid_entry::operator=(grid_entry&&) noexcept = default;

}  // namespace tolvo
