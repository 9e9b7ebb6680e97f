#include "framework/point_output_text.h"

#include <cctype>
#include <optional>

#include "framework/control_file_stream.h"
#include "framework/text_helpers.h"

namespace tolvo {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool IsWordChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_'; }
// Characters after which an item may begin.
bool StartsItem(std::string_view text, std::size_t at) {
  if (at == 0) return true;
  const char before = text[at - 1];
  return IsBlank(before) || before == ';' || before == '{' || before == '}';
}

// The value of the first (or last) item of the key, or nothing.
std::optional<std::string_view> FindValue(std::string_view text, std::string_view key, bool last) {
  std::optional<std::string_view> found;
  for (std::size_t at = text.find(key); at != std::string_view::npos; at = text.find(key, at + 1)) {
    if (!StartsItem(text, at)) continue;
    std::size_t p = at + key.size();
    while (p < text.size() && (text[p] == ' ' || text[p] == '\t')) ++p;
    if (p >= text.size() || text[p] != '=') continue;
    const std::size_t begin = p + 1;
    const std::size_t end = text.find(';', begin);
    found = text.substr(begin, end == std::string_view::npos ? std::string_view::npos : end - begin);
    if (!last) break;
  }
  return found;
}

template <typename T, typename Parse>
KeyStatus ReadList(std::string_view text, std::string_view key, std::vector<T>& values, Parse parse) {
  values.clear();
  const std::optional<std::string_view> value = FindValue(text, key, true);
  if (!value) return KeyStatus::kAbsent;
  std::vector<std::string> pieces;
  SplitString(*value, "\t ;,\r\n", pieces, false);
  for (const std::string& piece : pieces) {
    if (piece.empty()) continue;
    const auto number = parse(piece);
    if (!number) return KeyStatus::kNotANumber;
    values.push_back(*number);
  }
  return KeyStatus::kFound;
}

}  // namespace

KeyStatus GetKeyValue(std::string_view text, std::string_view key, int& value) {
  const std::optional<std::string_view> found = FindValue(text, key, false);
  if (!found) return KeyStatus::kAbsent;
  std::string_view rest = *found;
  while (!rest.empty() && IsBlank(rest.front())) rest.remove_prefix(1);
  const std::optional<int> number = ParseIntPrefix(std::string(rest));
  if (!number) return KeyStatus::kNotANumber;
  value = *number;
  return KeyStatus::kFound;
}

KeyStatus GetKeyValue(std::string_view text, std::string_view key, std::string& value) {
  const std::optional<std::string_view> found = FindValue(text, key, false);
  if (!found) return KeyStatus::kAbsent;
  std::string_view rest = *found;
  while (!rest.empty() && IsBlank(rest.front())) rest.remove_prefix(1);
  std::size_t n = 0;
  while (n < rest.size() && !IsBlank(rest[n])) ++n;
  value = std::string(rest.substr(0, n));
  return KeyStatus::kFound;
}

KeyStatus GetKeyValue(std::string_view text, std::string_view key, std::vector<double>& values) {
  return ReadList(text, key, values, [](const std::string& piece) { return ParseDoublePrefix(piece); });
}

KeyStatus GetKeyValue(std::string_view text, std::string_view key, std::vector<int>& values) {
  return ReadList(text, key, values, [](const std::string& piece) { return ParseIntPrefix(piece); });
}

std::size_t FindEntityWord(std::string_view text, std::size_t from) {
  constexpr std::string_view kWord = "entity";
  for (std::size_t at = text.find(kWord, from); at != std::string_view::npos; at = text.find(kWord, at + 1)) {
    const std::size_t after = at + kWord.size();
    if (StartsItem(text, at) && (after >= text.size() || !IsWordChar(text[after]))) return at;
  }
  return std::string_view::npos;
}

}  // namespace tolvo
