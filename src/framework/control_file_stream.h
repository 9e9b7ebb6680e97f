#pragma once
// An open control file read token by token, the way its positional items are laid out:
// each value is the first whitespace-delimited token of its line (blank lines and leading
// white space are skipped) and the rest of the line is free text.

#include <cstdio>
#include <optional>
#include <string>

#include "framework/file_handle.h"

namespace tolvo {

class ControlFileStream {
 public:
  ControlFileStream() = default;
  // Opens the file for reading; is_open() tells whether it worked.
  explicit ControlFileStream(const std::string& path);

  bool is_open() const { return file_ != nullptr; }
  void Rewind();
  // The next whitespace-delimited token, or nothing at the end of the file. A token that
  // is read is consumed.
  std::optional<std::string> ReadToken();
  // The next token without consuming it (nothing at the end of the file).
  std::optional<std::string> PeekToken();
  // Drops the rest of the current line, the line end included.
  void SkipLine();
  // The rest of the current line without its line end; the line end is consumed.
  std::string ReadRestOfLine();
  // The next line without its line end; nothing at the end of the file. had_line_end
  // tells whether the line was closed by a line end.
  std::optional<std::string> ReadLine(bool& had_line_end);
  // At the end of the file, or after a read error: nothing more can be read either way.
  bool AtEnd() const { return file_ == nullptr || std::feof(file_.get()) != 0 || std::ferror(file_.get()) != 0; }

 private:
  FilePtr file_;
};

// Value parsers of control-file tokens: the longest leading part that forms a number is
// used, as a C scanf conversion would; nothing when no number leads the token or it is
// out of the type's range.
std::optional<int> ParseIntPrefix(const std::string& token);
std::optional<long long> ParseLongPrefix(const std::string& token);
std::optional<double> ParseDoublePrefix(const std::string& token);

}  // namespace tolvo
