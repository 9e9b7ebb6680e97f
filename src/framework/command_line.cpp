#include "framework/command_line.h"

#include <cctype>
#include <utility>

namespace tolvo {

namespace {

std::string UpperCase(std::string word) {
  for (char& ch : word) {
    if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 'a' + 'A');
  }
  return word;
}

}  // namespace

bool IsDiagLevelWord(std::string word) {
  word = UpperCase(std::move(word));
  return word == "FATAL" || word == "ERROR" || word == "WARNING" || word == "INFO" || word == "DEBUG";
}

int DiagLevelFromWord(std::string word) {
  word = UpperCase(std::move(word));
  if (word == "FATAL") return 0;
  if (word == "ERROR") return 1;
  if (word == "WARNING") return 2;
  if (word == "INFO") return 3;
  return 4;
}

bool IsDumpOption(const std::string& argument) {
  return argument.find("-dumpmode") != std::string::npos || argument.find("-closeAfterDump") != std::string::npos ||
         argument.find("-repairAfterDump") != std::string::npos;
}

CommandLine ScanCommandLine(int argc, const char* const* argv) {
  static constexpr std::string_view kLevel = "-diaglevel:";
  static constexpr std::string_view kFile = "-diagfile:";
  CommandLine line;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i] != nullptr ? argv[i] : "";
    if (argument.starts_with(kLevel)) {
      const std::string word = argument.substr(kLevel.size());
      line.max_diag_level = DiagLevelFromWord(word);
      line.unknown_diag_level = IsDiagLevelWord(word) ? std::nullopt : std::optional<std::string>(word);
      line.diaglevel_position = i;
    } else if (argument.starts_with(kFile)) {
      line.diagnostics_file = argument.substr(kFile.size());
      line.diagfile_position = i;
    } else if (!IsDumpOption(argument)) {
      line.control_file_positions.push_back(i);
    }
  }
  return line;
}

}  // namespace tolvo
