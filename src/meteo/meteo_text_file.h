#pragma once
// The text files of a meteorological input (station data files, grid lists, text
// regression files) read line by line: lines of any length, the number of each line for
// the error entries, and the byte offset and line number where reading can resume after
// the file was closed between two blocks.

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "framework/diagnostics_log.h"
#include "framework/file_handle.h"

namespace tolvo {

// Where a line begins: its byte offset and its 1-based line number.
struct LinePosition {
  long offset = 0;
  long long line = 1;
};

class MeteoTextFile {
 public:
  // Opens the file for reading in binary mode, so that offsets count bytes; false when it
  // cannot be opened.
  bool Open(const std::string& path);
  bool is_open() const { return file_ != nullptr; }
  // Continues at a position taken earlier from this file; false when it cannot be reached.
  bool SeekTo(const LinePosition& position);
  // The next line without its line end (a "\r" before it is dropped); nothing at the end
  // of the file.
  std::optional<std::string> ReadLine();
  // Reads `n` bytes; false when the file ends before (binary regression records).
  bool ReadBytes(void* target, std::size_t n);
  // Where the next line (or record) begins.
  LinePosition position() const;
  // Number of the line last read (0 before the first).
  long long line_number() const { return next_line_ - 1; }
  // Closes the file; false when closing failed.
  bool Close();

 private:
  FilePtr file_;
  long long next_line_ = 1;
};

// The white-space separated words of a line.
std::vector<std::string_view> SplitWords(std::string_view line);
// A word that is wholly a decimal number (as strtod reads it), or nothing.
std::optional<double> WholeDouble(std::string_view word);
// A word that is wholly a decimal integer within the range of long long, or nothing.
std::optional<long long> WholeInteger(std::string_view word);

// Writes "FATAL: " + message as one entry and throws `code`.
[[noreturn]] void RaiseInputError(DiagnosticsLog& log, std::string_view message, int code);

}  // namespace tolvo
