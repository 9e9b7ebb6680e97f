#pragma once
// The routing description: the lines at the end of the section [routing_model] that state
// the routing network. Each line holds at least one of the keywords "TG" (a routing
// sub-basin object), "OL" (a tributary), "SUMTRIB" (tributaries sharing a channel, their
// further members joined by "&"), "ZL" (an inflow), "AL" (an abstraction) and "SP" (a
// reservoir or lake); the first line without any of them ends the description. Keywords
// are plain substrings anywhere in a line.
//
// This file holds the first reading of the description, which only counts keywords so
// that the sub-model can size its arrays before it builds the network.

#include <string_view>

namespace tolvo {

class ControlFileStream;
class DiagnosticsLog;

// The number of occurrences of `pattern` (not empty) in `text`, overlapping ones included:
// each search starts one character after the start of the previous match.
int CountSubstring(std::string_view text, std::string_view pattern);

// Keyword counts of the whole description.
struct DescriptionCounts {
  int tg = 0;  // lines with "TG": routing objects
  int ol = 0;
  int ampersand = 0;
  int sumtrib = 0;
  int zl = 0;  // inflow slots
  int al = 0;
  int sp = 0;
};

// Reads the description from the current line of `file` through the line that ends it
// and counts its keywords ("TG" by lines, the others by occurrences, on "TG" lines too).
// The end of the file before the closing line fails with 38.
DescriptionCounts CountDescriptionKeywords(ControlFileStream& file, DiagnosticsLog& log);

// Logs the summary of the counts, one entry per line.
void LogDescriptionSummary(DiagnosticsLog& log, const DescriptionCounts& counts);

}  // namespace tolvo
