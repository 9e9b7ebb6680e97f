#pragma once
// The land-use table: the section [landuse_table] of the control file read into
// LanduseRecords. Entries 1..N are the section's entries in their order; entry 0 is the
// header, whose code holds N and whose vegetation-period reset and write days are the
// model-wide days of the vegetation-period balance.
//
// Section layout: the count N on its own line, then N entries on consecutive lines. An
// entry is a one-line entry (method 1), or a parameter block when its first line holds a
// method key word ("VariableDayCount", "DynamicPhenology_1" .. "_4"), "method" and "{".

#include <span>
#include <vector>

#include "tables/landuse_record.h"

namespace tolvo {

class modelobject;

class LanduseTable {
 public:
  // A header and n entries with the codes 1..n (header code n).
  explicit LanduseTable(int n);
  // The header of a table of n entries, without them: the reader appends each entry as it
  // reads it, so a count that the control file does not hold never asks for memory.
  static LanduseTable Announced(int n);
  // Appends the entry with the next code and returns it.
  LanduseRecord& AppendEntry() { return records_.emplace_back(size() + 1); }

  // Number of entries N (the header not counted).
  int size() const { return static_cast<int>(records_.size()) - 1; }
  // Entry j, 0 = header.
  LanduseRecord& operator[](int j) { return records_.at(static_cast<std::size_t>(j)); }
  const LanduseRecord& operator[](int j) const { return records_.at(static_cast<std::size_t>(j)); }
  // Entries 1..N.
  std::span<LanduseRecord> entries() { return std::span(records_).subspan(1); }
  std::span<const LanduseRecord> entries() const { return std::span(records_).subspan(1); }

  // The header's reset day is that of the first entry whose day is at least 1 (else 1),
  // its write day likewise (else 365).
  void SetBalanceDays();

 private:
  std::vector<LanduseRecord> records_;
};

// Reads [landuse_table] from the control file that `reader` holds open (setup stage 3,
// after the multilayer land-use table). A missing section fails with the control-file
// item error (17); a count that is not a non-negative integer, a control file that ends
// before the last entry or inside a block, and every entry that cannot be read fail with
// 29 after their FATAL entry.
LanduseTable ReadLanduseTable(modelobject& reader);

}  // namespace tolvo
