#include "framework/text_helpers.h"

namespace tolvo {

namespace {

// End (one past) of the quoted token that begins at text[open]; npos when the closing
// quote is missing.
std::size_t QuotedTokenEnd(std::string_view text, std::size_t open) {
  for (std::size_t q = text.find('"', open + 1); q != std::string_view::npos; q = text.find('"', q + 1)) {
    const bool escaped = text[q - 1] == '\\';
    const bool double_backslash = q >= open + 3 && text[q - 1] == '\\' && text[q - 2] == '\\';
    if (!escaped || double_backslash) return q + 1;
  }
  return std::string_view::npos;
}

}  // namespace

int SplitString(std::string_view text, std::string_view delimiters, std::vector<std::string>& tokens,
                bool empty_tokens) {
  const bool quote_is_delimiter = delimiters.find('"') != std::string_view::npos;
  std::size_t pos = text.find_first_not_of(delimiters);
  if (pos == std::string_view::npos) {
    if (!empty_tokens) return static_cast<int>(tokens.size());
    pos = text.find_first_of(delimiters);
  }
  while (pos != std::string_view::npos && pos < text.size()) {
    std::size_t end;
    if (text[pos] == '"' && !quote_is_delimiter) {
      end = QuotedTokenEnd(text, pos);
      if (end == std::string_view::npos) {
        tokens.emplace_back(text.substr(pos));
        break;
      }
    } else {
      end = text.find_first_of(delimiters, pos);
      if (end == std::string_view::npos) end = text.size();
    }
    tokens.emplace_back(text.substr(pos, end - pos));
    pos = end + 1 < text.size() ? text.find_first_not_of(delimiters, end + 1) : std::string_view::npos;
  }
  if (empty_tokens && (text.empty() || delimiters.find(text.back()) != std::string_view::npos)) {
    tokens.emplace_back();
  }
  return static_cast<int>(tokens.size());
}

int StrPos(std::string_view text, std::string_view pattern) {
  const std::size_t pos = text.find(pattern);
  return pos == std::string_view::npos ? 0 : static_cast<int>(pos);
}

std::string& StrCut(std::string& buffer, int start, int length) {
  if (start < 0 || length < 0 || static_cast<std::size_t>(start) > buffer.size()) return buffer;
  buffer = buffer.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(length) + 1);
  return buffer;
}

}  // namespace tolvo
