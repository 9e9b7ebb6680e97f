#include "routing/routing_description.h"

#include <cassert>
#include <optional>
#include <string>

#include "framework/control_file_stream.h"
#include "framework/diagnostics_log.h"
#include "framework/error_code.h"

namespace tolvo {
namespace {

bool Contains(std::string_view text, std::string_view pattern) { return text.find(pattern) != std::string_view::npos; }

}  // namespace

int CountSubstring(std::string_view text, std::string_view pattern) {
  assert(!pattern.empty());
  int count = 0;
  for (std::size_t at = text.find(pattern); at != std::string_view::npos; at = text.find(pattern, at + 1)) ++count;
  return count;
}

DescriptionCounts CountDescriptionKeywords(ControlFileStream& file, DiagnosticsLog& log) {
  DescriptionCounts counts;
  for (;;) {
    bool had_line_end = false;
    const std::optional<std::string> line = file.ReadLine(had_line_end);
    if (!line) {
      log << "FATAL: error reading a routing description from control file! (eof reached)."
          << "[end-entry]";
      RaiseError(kRoutingDescriptionError);
    }
    if (Contains(*line, "TG")) {
      ++counts.tg;
    } else if (!Contains(*line, "OL") && !Contains(*line, "SUMTRIB") && !Contains(*line, "ZL") &&
               !Contains(*line, "AL") && !Contains(*line, "SP")) {
      return counts;
    }
    counts.ol += CountSubstring(*line, "OL");
    counts.ampersand += CountSubstring(*line, "&");
    counts.sumtrib += CountSubstring(*line, "SUMTRIB");
    counts.zl += CountSubstring(*line, "ZL");
    counts.al += CountSubstring(*line, "AL");
    counts.sp += CountSubstring(*line, "SP");
  }
}

void LogDescriptionSummary(DiagnosticsLog& log, const DescriptionCounts& counts) {
  log << "number inbetween areas (routings)    : " << counts.tg << "[end-entry]";
  log << "number tributaries  total      (OL)  : " << counts.ol + counts.sumtrib + counts.ampersand << "[end-entry]";
  log << " - flowing into another at the end   : " << counts.ol << "[end-entry]";
  log << " - flowing into another at the start : " << counts.sumtrib + counts.ampersand << "[end-entry]";
  log << "so the total of routingchannels is   : " << counts.sumtrib + counts.ol << "[end-entry]";
  log << "number of inflows              (ZL)  : " << counts.zl << "[end-entry]";
  log << "number of abstractions         (AL)  : " << counts.al << "[end-entry]";
  log << "number reservoirs              (SP)  : " << counts.sp << "[end-entry]";
}

}  // namespace tolvo
