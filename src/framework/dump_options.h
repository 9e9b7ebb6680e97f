#pragma once
// The dump options of the command line: "-dumpmode[:N]" writes single-cell dump files of
// the soil, snow and surface-routing models (at most N files), "-closeAfterDump" ends the
// run after a dump and "-repairAfterDump" repairs the dumped cell and goes on.

namespace tolvo {

struct DumpOptions {
  bool dump_mode = false;
  bool close_after_dump = false;
  bool repair_after_dump = false;
  long long max_dump_files = 0;
};

}  // namespace tolvo
