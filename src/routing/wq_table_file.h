#pragma once
// The text file of a channel's waterlevel-discharge table ("wq_table.%.3d" for the channel
// of a tributary, "wq_tabZL.%.3d" for that of an inflow): the channel's parameters as the
// routing uses them, then one line per table row. Written for information only; nothing
// reads it back.

#include <string>

#include "routing/channel.h"

namespace tolvo {

// Writes the file at `path` (created or replaced); false when it cannot be opened.
// `title` is the first line without its line end; `n_sub_intervals` is K.
bool WriteWQTableFile(const std::string& path, const std::string& title, const Channel& channel, int n_sub_intervals);

}  // namespace tolvo
