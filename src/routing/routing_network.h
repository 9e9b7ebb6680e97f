#pragma once
// The second reading of the routing description: one block of lines per routing sub-basin
// object ("TG" line and the "OL", "SUMTRIB", "ZL", "AL", "SP" lines after it), joined into
// one text and read into the entries the object is built from.
//
// Within a block, values are the first number after the next "=" (the text before it is a
// free label); codes follow their keyword directly. Channels are numbered from 1: the
// "OL" entries in text order, then the "SUMTRIB" entries, then the "ZL" entries; the "AL"
// and then the "SP" entries continue the numbering.

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "routing/routingclass.h"
#include "routing/wq_table.h"

namespace tolvo {

class DiagnosticsLog;

// At most this many characters of a line before its line end, and of a joined block.
inline constexpr std::size_t kMaxDescriptionLine = 1198;
inline constexpr std::size_t kMaxBlockText = 12000;
// The further codes one "SUMTRIB" entry may list after its first code.
inline constexpr int kMaxGroupMembers = 9;

enum class InflowKind : int { kConstant = 1, kInternal = 3, kExternal = 4 };

// A "ZL" entry: the inflow set-up's arguments.
struct InflowEntry {
  int code = 0;
  InflowKind kind = InflowKind::kConstant;
  std::string file;
  int start_row = 0;
  double constant_m3s = 0;
  int first_column = 0;
};

enum class ChannelKind { kTributary, kGroup, kInflow };

struct ChannelEntry {
  ChannelKind kind = ChannelKind::kTributary;
  int source_code = 0;          // tributary sub-basin code, or inflow code
  std::vector<int> code_list;   // further members of a group channel
  ChannelValues values;
  InflowEntry inflow;           // for an inflow channel
};

// What the second reading finds in one block.
struct BlockEntries {
  int own_code = 0;
  double area_km2 = 0;
  double scale_factor = 0;
  BlockCounts counts;
  std::vector<ChannelEntry> channels;  // in channel order
  // Offsets in the block text of the "AL" and "SP" keywords, in text order.
  std::vector<std::size_t> abstraction_at;
  std::vector<std::size_t> reservoir_at;
};

// What a code is checked against: the sub-basins of the zone table.
struct SubbasinCodes {
  std::span<const int> code_index;  // code -> index 1..n, 0 for none
  int n_subbasins = 0;
  int largest_code = 0;
  bool Valid(long long code) const {
    return code >= 0 && code <= largest_code && code_index[static_cast<std::size_t>(code)] >= 1 &&
           code_index[static_cast<std::size_t>(code)] <= n_subbasins;
  }
  int Index(int code) const { return code_index[static_cast<std::size_t>(code)]; }
};

// Reads block `block` (counted from 1) of joined text `text`. `n_inflows` is the number of
// "ZL" entries of the whole description. A wrong entry logs its FATAL entry and fails
// with 41 (codes and values) or 42 (inflows).
BlockEntries ReadBlock(std::string_view text, int block, const SubbasinCodes& codes, int n_inflows,
                       DiagnosticsLog& log);

}  // namespace tolvo
