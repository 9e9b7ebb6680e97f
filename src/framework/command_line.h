#pragma once
// The options of the program's command line and the control files it names.

#include <optional>
#include <string>
#include <vector>

namespace tolvo {

struct CommandLine {
  std::string diagnostics_file;  // "-diagfile:" (empty: the default name)
  int max_diag_level = 4;        // "-diaglevel:"
  int diagfile_position = 0;     // position of the last "-diagfile:" (0 when absent)
  int diaglevel_position = 0;    // position of the last "-diaglevel:" (0 when absent)
  // The word of the last "-diaglevel:" when it names no level (level 4 is used then);
  // nothing when it names one or there is none.
  std::optional<std::string> unknown_diag_level;
  std::vector<int> control_file_positions;  // in command-line order
};

// Level number of a "-diaglevel:" word (case-insensitive): FATAL 0, ERROR 1, WARNING 2,
// INFO 3, anything else 4.
int DiagLevelFromWord(std::string word);
// Whether the word (case-insensitive) is one of FATAL, ERROR, WARNING, INFO and DEBUG.
bool IsDiagLevelWord(std::string word);

// Whether an argument is one of the dump options read by the application.
bool IsDumpOption(const std::string& argument);

// Scans arguments 1..argc-1. Every "-diaglevel:" and "-diagfile:" is an option (the last
// one's value holds); dump options are left to the application; the rest are control files.
CommandLine ScanCommandLine(int argc, const char* const* argv);

}  // namespace tolvo
