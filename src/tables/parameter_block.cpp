#include "tables/parameter_block.h"

#include <charconv>
#include <limits>
#include <system_error>

#include "framework/control_file_stream.h"

namespace tolvo {

namespace {

constexpr std::string_view kNumberSpace = " \t\r\n\v\f";
constexpr std::string_view kLineEnds = "\r\n";

bool IsDigit(char ch) { return ch >= '0' && ch <= '9'; }

std::string_view SkipSpace(std::string_view text) {
  const std::size_t first = text.find_first_not_of(kNumberSpace);
  return first == std::string_view::npos ? std::string_view{} : text.substr(first);
}

std::size_t CountDigits(std::string_view text, std::size_t from) {
  std::size_t n = 0;
  while (from + n < text.size() && IsDigit(text[from + n])) ++n;
  return n;
}

std::string Quoted(std::string_view key) { return "\"" + std::string(key) + "\""; }

}  // namespace

std::optional<std::string> ReadControlLine(ControlFileStream& file) {
  if (file.AtEnd()) return std::nullopt;
  std::string line = file.ReadRestOfLine();
  if (line.empty() && file.AtEnd()) return std::nullopt;
  return line;
}

std::optional<std::string> CollectBlockText(ControlFileStream& file, std::string_view first_line) {
  std::string text(first_line);
  text.push_back('\n');
  while (text.find('}') == std::string::npos) {
    std::optional<std::string> line = ReadControlLine(file);
    if (!line) return std::nullopt;
    text += *line;
    text.push_back('\n');
  }
  return text;
}

std::optional<std::size_t> FindKey(std::string_view text, std::string_view key) {
  const std::size_t position = text.find(key);
  if (position == std::string_view::npos) return std::nullopt;
  return position;
}

std::optional<std::size_t> FindLastKey(std::string_view text, std::string_view key) {
  const std::size_t position = text.rfind(key);
  if (position == std::string_view::npos) return std::nullopt;
  return position;
}

std::string_view ValueTextAt(std::string_view text, std::size_t key_position) {
  const std::size_t equals = text.find('=', key_position);
  if (equals == std::string_view::npos) {
    // No assignment: the value text begins at the key itself, where no number stands.
    const std::size_t semicolon = text.find(';', key_position);
    return text.substr(key_position, semicolon == std::string_view::npos ? std::string_view::npos
                                                                           : semicolon - key_position);
  }
  const std::size_t semicolon = text.find(';', key_position);
  if (semicolon == std::string_view::npos || semicolon < equals) return text.substr(equals + 1);
  return text.substr(equals + 1, semicolon - equals - 1);
}

std::string_view BlockValueText(std::string_view text, std::string_view key) {
  const std::optional<std::size_t> position = FindKey(text, key);
  if (!position) throw BlockReadFailure{};
  return ValueTextAt(text, *position);
}

std::string_view BlockBody(std::string_view block_text) {
  const std::size_t brace = block_text.find('{');
  return brace == std::string_view::npos ? block_text : block_text.substr(brace);
}

std::optional<double> ScanNumber(std::string_view& text) {
  const std::string_view rest = SkipSpace(text);
  std::size_t n = 0;
  const bool plus = !rest.empty() && rest[0] == '+';
  if (!rest.empty() && (rest[0] == '+' || rest[0] == '-')) ++n;
  const std::size_t whole = CountDigits(rest, n);
  n += whole;
  std::size_t fraction = 0;
  if (n < rest.size() && rest[n] == '.') {
    fraction = CountDigits(rest, n + 1);
    if (whole + fraction > 0) n += 1 + fraction;
  }
  if (whole + fraction == 0) return std::nullopt;
  if (n < rest.size() && (rest[n] == 'e' || rest[n] == 'E')) {
    std::size_t e = n + 1;
    if (e < rest.size() && (rest[e] == '+' || rest[e] == '-')) ++e;
    const std::size_t exponent = CountDigits(rest, e);
    if (exponent > 0) n = e + exponent;
  }
  const std::size_t from = plus ? 1 : 0;
  double value = 0;
  const auto [end, error] = std::from_chars(rest.data() + from, rest.data() + n, value);
  if (error == std::errc::result_out_of_range) {
    throw BlockReadFailure{"number out of range: " + std::string(rest.substr(0, n))};
  }
  if (error != std::errc{} || end != rest.data() + n) return std::nullopt;
  text = rest.substr(n);
  return value;
}

std::optional<int> ScanInteger(std::string_view& text) {
  const std::string_view rest = SkipSpace(text);
  std::size_t n = 0;
  const bool plus = !rest.empty() && rest[0] == '+';
  if (!rest.empty() && (rest[0] == '+' || rest[0] == '-')) ++n;
  const std::size_t digits = CountDigits(rest, n);
  if (digits == 0) return std::nullopt;
  n += digits;
  const std::size_t from = plus ? 1 : 0;
  int value = 0;
  const auto [end, error] = std::from_chars(rest.data() + from, rest.data() + n, value);
  if (error == std::errc::result_out_of_range) {
    throw BlockReadFailure{"integer out of range: " + std::string(rest.substr(0, n))};
  }
  if (error != std::errc{} || end != rest.data() + n) return std::nullopt;
  text = rest.substr(n);
  return value;
}

double ReadNumber(std::string_view text) { return ScanNumber(text).value_or(0.0); }

int ReadInteger(std::string_view text) { return ScanInteger(text).value_or(0); }

std::vector<std::string_view> SplitTokens(std::string_view text, std::string_view delimiters) {
  std::vector<std::string_view> tokens;
  std::size_t start = text.find_first_not_of(delimiters);
  while (start != std::string_view::npos) {
    const std::size_t stop = text.find_first_of(delimiters, start);
    tokens.push_back(text.substr(start, stop == std::string_view::npos ? std::string_view::npos : stop - start));
    if (stop == std::string_view::npos) break;
    start = text.find_first_not_of(delimiters, stop);
  }
  return tokens;
}

double ReadBlockValue(std::string_view text, std::string_view key) { return ReadNumber(BlockValueText(text, key)); }

int ReadBlockInteger(std::string_view text, std::string_view key) { return ReadInteger(BlockValueText(text, key)); }

void ReadBlockValueList(std::string_view text, std::string_view key, std::span<double> table) {
  if (table.empty()) return;
  const std::size_t n = table.size() - 1;
  std::string_view rest = BlockValueText(text, key);
  for (std::size_t k = 1; k <= n; ++k) {
    const std::optional<double> value = ScanNumber(rest);
    if (!value) {
      throw BlockReadFailure{"parameter " + Quoted(key) + " holds " + std::to_string(k - 1) + " numbers, " +
                             std::to_string(n) + " expected"};
    }
    table[k] = *value;
  }
  table[0] = table[n];
}

std::vector<int> ReadBlockDayList(std::string_view text, std::string_view key) {
  const std::string_view value_text = BlockValueText(text, key);
  const std::vector<std::string_view> tokens = SplitTokens(value_text, " \t;,");
  std::vector<int> days;
  if (tokens.empty()) return days;
  const auto not_a_day = [&key](std::string_view token) {
    return BlockReadFailure{"parameter " + Quoted(key) + ": \"" + std::string(token) +
                            "\" is not a day (days are integers separated by blanks)"};
  };
  // Every token must be one integer, and the integers read one after the other from the
  // value text must be those tokens: days separated by commas are refused too.
  std::string_view rest = value_text;
  days.resize(tokens.size() + 1);
  for (std::size_t k = 0; k < tokens.size(); ++k) {
    std::string_view token = tokens[k];
    const std::optional<int> day = ScanInteger(token);
    if (!day || token.find_first_not_of(kLineEnds) != std::string_view::npos) throw not_a_day(tokens[k]);
    const std::optional<int> in_order = ScanInteger(rest);
    if (!in_order || *in_order != *day) throw not_a_day(tokens[k]);
    days[k + 1] = *day;
  }
  days[0] = days.back() - 366;
  return days;
}

std::vector<int> ReadBlockIntegerList(std::string_view text, std::string_view key) {
  std::vector<int> list{0};
  for (std::string_view token : SplitTokens(BlockValueText(text, key), ",;")) {
    if (const std::optional<int> value = ScanInteger(token)) list.push_back(*value);
  }
  list[0] = static_cast<int>(list.size()) - 1;
  return list;
}

BlockHead ReadBlockHead(std::string_view block_text) {
  std::string_view rest = block_text;
  const std::optional<int> code = ScanInteger(rest);
  if (!code) throw BlockReadFailure{"the entry does not begin with its code"};
  rest = SkipSpace(rest);
  const std::string_view name = rest.substr(0, rest.find_first_of(kNumberSpace));
  if (name.empty()) throw BlockReadFailure{"the entry has no name"};
  if (name.size() > kMaxEntryNameLength) {
    throw BlockReadFailure{"the name of the entry is longer than " + std::to_string(kMaxEntryNameLength) +
                           " characters"};
  }
  return {*code, std::string(name)};
}

}  // namespace tolvo
