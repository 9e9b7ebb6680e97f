#include "support/output_compare.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string_view>

#include "support/test_support.h"

namespace tolvo::test {

namespace fs = std::filesystem;

std::vector<ExcludedFiles> PerProcessFiles() {
  return {
      {.pattern = "Tolvo_Diag_[0-9]+\\.xml",
       .reason = "each process's diagnostics log holds times of the day, run times and its own messages"},
      {.pattern = "modell_[0-9]+.*",
       .reason = "each process logs the cells it owns, so the lines move between processes with the decomposition"},
      {.pattern = "out/storage\\.ste_[1-9][0-9]*",
       .reason = "the storage content file of a process other than 0 holds only that process's cells"},
      {.pattern = "out/MPIRegions_[0-9]+", .reason = "the decomposition grid says which process computes each cell"},
      {.pattern = "\\.stdin", .reason = "the test's own input to the job"},
  };
}

std::vector<ExcludedFiles> InputFilesOf(const fs::path& source) {
  std::vector<ExcludedFiles> inputs;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(source)) {
    if (!entry.is_regular_file()) continue;
    const std::string relative = fs::relative(entry.path(), source).generic_string();
    // The path as a pattern: every character that means something to a regular expression is escaped.
    std::string pattern;
    for (char ch : relative) {
      if (std::strchr(".^$|()[]{}*+?\\", ch) != nullptr) pattern += '\\';
      pattern += ch;
    }
    inputs.push_back({.pattern = pattern, .reason = "an input of the run"});
  }
  return inputs;
}

std::vector<ExcludedFiles> PerProcessAndInputFiles(const fs::path& source) {
  std::vector<ExcludedFiles> excluded = PerProcessFiles();
  const std::vector<ExcludedFiles> inputs = InputFilesOf(source);
  excluded.insert(excluded.end(), inputs.begin(), inputs.end());
  return excluded;
}

namespace {

// The regular files under `folder` that are not excluded, as relative paths in order.
std::set<std::string> FilesUnder(const fs::path& folder, const std::vector<ExcludedFiles>& excluded) {
  std::vector<std::regex> patterns;
  for (const ExcludedFiles& e : excluded) patterns.emplace_back(e.pattern);
  std::set<std::string> files;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(folder)) {
    if (!entry.is_regular_file()) continue;
    const std::string relative = fs::relative(entry.path(), folder).generic_string();
    const bool left_out = std::any_of(patterns.begin(), patterns.end(),
                                      [&](const std::regex& pattern) { return std::regex_match(relative, pattern); });
    if (!left_out) files.insert(relative);
  }
  return files;
}

bool IsText(std::string_view bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](char ch) {
    const auto byte = static_cast<unsigned char>(ch);
    return byte == '\t' || byte == '\n' || byte == '\r' || (byte >= 0x20 && byte != 0x7f);
  });
}

// The shape of a binary grid or stack: the size of its values (8 or 4 bytes), its columns
// and rows, and the values per cell (1 for a grid, the levels 0..L of a stack).
struct BinaryLayout {
  std::size_t value_size = 0;
  long long ncols = 0;
  long long nrows = 0;
  long long per_cell = 0;
};

constexpr long long kHeaderValues = 12;

double ValueAt(std::string_view bytes, std::size_t value_size, long long index) {
  const std::size_t at = static_cast<std::size_t>(index) * value_size;
  if (value_size == sizeof(double)) {
    double value;
    std::memcpy(&value, bytes.data() + at, sizeof value);
    return value;
  }
  float value;
  std::memcpy(&value, bytes.data() + at, sizeof value);
  return value;
}

bool IsCount(double value) { return std::isfinite(value) && value >= 1 && value < 1e8 && value == std::floor(value); }

// The layout whose header agrees with the file's size, if any: cells x values per cell +
// twelve header values.
std::optional<BinaryLayout> BinaryLayoutOf(std::string_view bytes) {
  for (const std::size_t size : {sizeof(double), sizeof(float)}) {
    if (bytes.size() % size != 0 || bytes.size() < kHeaderValues * size) continue;
    const double ncols = ValueAt(bytes, size, 0);
    const double nrows = ValueAt(bytes, size, 1);
    if (!IsCount(ncols) || !IsCount(nrows)) continue;
    const auto values = static_cast<long long>(bytes.size() / size) - kHeaderValues;
    const auto cells = static_cast<long long>(ncols) * static_cast<long long>(nrows);
    const double highest_level = ValueAt(bytes, size, kHeaderValues - 1);
    long long per_cell = 0;
    if (values == cells) {
      per_cell = 1;
    } else if (IsCount(highest_level + 1) && values == cells * (static_cast<long long>(highest_level) + 1)) {
      per_cell = static_cast<long long>(highest_level) + 1;
    } else {
      continue;
    }
    return BinaryLayout{.value_size = size,
                        .ncols = static_cast<long long>(ncols),
                        .nrows = static_cast<long long>(nrows),
                        .per_cell = per_cell};
  }
  return std::nullopt;
}

// Where value `index` of a binary grid or stack sits.
std::string BinaryPosition(const BinaryLayout& layout, long long index) {
  if (index < kHeaderValues) return "header value " + std::to_string(index + 1);
  const long long cell = (index - kHeaderValues) / layout.per_cell;
  std::string text = "row " + std::to_string(cell / layout.ncols + 1) + ", column " + std::to_string(cell % layout.ncols + 1);
  if (layout.per_cell > 1) text += ", level " + std::to_string((index - kHeaderValues) % layout.per_cell);
  return text;
}

std::string Number(double value) {
  std::ostringstream text;
  text.precision(17);
  text << value;
  return text.str();
}

bool Agree(double a, double b, double relative_tolerance) {
  if (a == b) return true;
  if (!std::isfinite(a) || !std::isfinite(b)) return false;
  return std::fabs(a - b) <= relative_tolerance * std::max(std::fabs(a), std::fabs(b));
}

std::vector<std::string_view> Lines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    lines.push_back(text.substr(0, end));
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return lines;
}

std::vector<std::string_view> Words(std::string_view line) {
  std::vector<std::string_view> words;
  std::size_t at = 0;
  while (at < line.size()) {
    while (at < line.size() && std::isspace(static_cast<unsigned char>(line[at])) != 0) ++at;
    const std::size_t begin = at;
    while (at < line.size() && std::isspace(static_cast<unsigned char>(line[at])) == 0) ++at;
    if (at > begin) words.push_back(line.substr(begin, at - begin));
  }
  return words;
}

// The word as a number, when all of it is one.
std::optional<double> NumberOf(std::string_view word) {
  const std::string text(word);
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || end != text.c_str() + text.size()) return std::nullopt;
  return value;
}

// Where word `word` (from 0) of line `line` (from 0) of a text file sits: in an ASCII grid
// (six header lines) its row and column, in an ASCII stack (twelve header lines, then one
// value a line, levels 0..L of a cell together) its row, column and level.
std::string TextPosition(const std::vector<std::string_view>& lines, std::size_t line, std::size_t word) {
  const auto header_value = [&](std::size_t index) -> long long {
    if (index >= lines.size()) return 0;
    const std::vector<std::string_view> words = Words(lines[index]);
    const std::optional<double> value = words.size() == 2 ? NumberOf(words[1]) : std::nullopt;
    return value ? static_cast<long long>(*value) : 0;
  };
  const std::string plain = "line " + std::to_string(line + 1) + ", word " + std::to_string(word + 1);
  if (lines.empty()) return plain;
  if (lines[0].starts_with("ncols") && line >= 6) {
    return plain + " (row " + std::to_string(line - 5) + ", column " + std::to_string(word + 1) + ")";
  }
  const long long ncols = header_value(0);
  const long long per_cell = header_value(11) + 1;
  if (lines[0].starts_with("stack_ncols") && line >= 12 && ncols > 0 && per_cell > 0) {
    const auto index = static_cast<long long>(line) - 12;
    const long long cell = index / per_cell;
    return plain + " (row " + std::to_string(cell / ncols + 1) + ", column " + std::to_string(cell % ncols + 1) +
           ", level " + std::to_string(index % per_cell) + ")";
  }
  return plain;
}

std::string CompareText(std::string_view a, std::string_view b, double relative_tolerance) {
  const std::vector<std::string_view> lines_a = Lines(a);
  const std::vector<std::string_view> lines_b = Lines(b);
  const std::size_t common = std::min(lines_a.size(), lines_b.size());
  for (std::size_t l = 0; l < common; ++l) {
    if (lines_a[l] == lines_b[l]) continue;
    const std::vector<std::string_view> words_a = Words(lines_a[l]);
    const std::vector<std::string_view> words_b = Words(lines_b[l]);
    for (std::size_t w = 0; w < std::max(words_a.size(), words_b.size()); ++w) {
      if (w >= words_a.size() || w >= words_b.size()) {
        return TextPosition(lines_a, l, w) + ": the lines have " + std::to_string(words_a.size()) + " and " +
               std::to_string(words_b.size()) + " words:\n  " + std::string(lines_a[l]) + "\n  " +
               std::string(lines_b[l]);
      }
      if (words_a[w] == words_b[w]) continue;
      const std::optional<double> x = NumberOf(words_a[w]);
      const std::optional<double> y = NumberOf(words_b[w]);
      if (x && y && Agree(*x, *y, relative_tolerance)) continue;
      return TextPosition(lines_a, l, w) + ": " + std::string(words_a[w]) + " against " + std::string(words_b[w]);
    }
  }
  if (lines_a.size() != lines_b.size()) {
    return "the files have " + std::to_string(lines_a.size()) + " and " + std::to_string(lines_b.size()) + " lines";
  }
  return "";
}

std::string CompareBinary(std::string_view a, std::string_view b, double relative_tolerance) {
  const std::optional<BinaryLayout> layout = BinaryLayoutOf(a);
  if (!layout || a.size() != b.size() || BinaryLayoutOf(b).has_value() != layout.has_value()) {
    const auto mismatch = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
    return "byte " + std::to_string(mismatch.first - a.begin()) + " differs (sizes " + std::to_string(a.size()) +
           " and " + std::to_string(b.size()) + " bytes)";
  }
  const auto count = static_cast<long long>(a.size() / layout->value_size);
  for (long long i = 0; i < count; ++i) {
    const double x = ValueAt(a, layout->value_size, i);
    const double y = ValueAt(b, layout->value_size, i);
    if (!Agree(x, y, relative_tolerance)) return BinaryPosition(*layout, i) + ": " + Number(x) + " against " + Number(y);
  }
  return "";
}

bool MeansNonFinite(std::string_view word) {
  while (!word.empty() && (word.front() == '+' || word.front() == '-')) word.remove_prefix(1);
  std::string lower;
  for (char ch : word) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  return lower == "nan" || lower == "inf" || lower == "infinity";
}

// The first word of a text that means NaN or infinity, with its position, or "". Words
// here end at every character that cannot be part of a number or a name, so "x=nan," and
// "(inf)" are found too.
std::string NonFiniteInText(std::string_view text) {
  const std::vector<std::string_view> lines = Lines(text);
  const auto in_word = [](char ch) {
    return std::isalnum(static_cast<unsigned char>(ch)) != 0 || ch == '.' || ch == '+' || ch == '-' || ch == '_';
  };
  for (std::size_t l = 0; l < lines.size(); ++l) {
    const std::string_view line = lines[l];
    std::size_t w = 0;
    for (std::size_t at = 0; at < line.size();) {
      if (!in_word(line[at])) {
        ++at;
        continue;
      }
      const std::size_t begin = at;
      while (at < line.size() && in_word(line[at])) ++at;
      const std::string_view word = line.substr(begin, at - begin);
      if (MeansNonFinite(word)) return TextPosition(lines, l, w) + ": " + std::string(word);
      ++w;
    }
  }
  return "";
}

std::string NonFiniteInBinary(std::string_view bytes, const BinaryLayout& layout) {
  const auto count = static_cast<long long>(bytes.size() / layout.value_size);
  for (long long i = 0; i < count; ++i) {
    const double value = ValueAt(bytes, layout.value_size, i);
    if (!std::isfinite(value)) return BinaryPosition(layout, i) + ": " + Number(value);
  }
  return "";
}

}  // namespace

std::string FirstFileDifference(const fs::path& a, const fs::path& b, double relative_tolerance) {
  const std::string bytes_a = ReadFile(a.string());
  const std::string bytes_b = ReadFile(b.string());
  if (bytes_a == bytes_b) return "";
  if (IsText(bytes_a) && IsText(bytes_b)) return CompareText(bytes_a, bytes_b, relative_tolerance);
  return CompareBinary(bytes_a, bytes_b, relative_tolerance);
}

std::string FirstOutputDifference(const fs::path& a, const fs::path& b, const std::vector<ExcludedFiles>& excluded,
                                  double relative_tolerance) {
  const std::set<std::string> files_a = FilesUnder(a, excluded);
  const std::set<std::string> files_b = FilesUnder(b, excluded);
  std::set<std::string> all = files_a;
  all.insert(files_b.begin(), files_b.end());
  for (const std::string& file : all) {
    if (!files_a.contains(file)) return file + ": only in " + b.string();
    if (!files_b.contains(file)) return file + ": only in " + a.string();
    const std::string difference = FirstFileDifference(a / file, b / file, relative_tolerance);
    if (!difference.empty()) return file + ", " + difference;
  }
  return "";
}

std::string NonFiniteValues(const fs::path& folder, const std::vector<ExcludedFiles>& excluded) {
  std::string found;
  for (const std::string& file : FilesUnder(folder, excluded)) {
    const std::string bytes = ReadFile((folder / file).string());
    std::string where;
    if (IsText(bytes)) {
      where = NonFiniteInText(bytes);
    } else if (const std::optional<BinaryLayout> layout = BinaryLayoutOf(bytes)) {
      where = NonFiniteInBinary(bytes, *layout);
    }
    if (!where.empty()) found += file + ", " + where + "\n";
  }
  return found;
}

}  // namespace tolvo::test
