#include "framework/control_file_stream.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>

namespace tolvo {

ControlFileStream::ControlFileStream(const std::string& path) : file_(std::fopen(path.c_str(), "r")) {}

void ControlFileStream::Rewind() {
  if (file_) std::rewind(file_.get());
}

std::optional<std::string> ControlFileStream::ReadToken() {
  if (!file_) return std::nullopt;
  std::FILE* f = file_.get();
  int ch;
  while ((ch = std::getc(f)) != EOF && std::isspace(ch)) {
  }
  if (ch == EOF) return std::nullopt;
  std::string token;
  do {
    token.push_back(static_cast<char>(ch));
  } while ((ch = std::getc(f)) != EOF && !std::isspace(ch));
  if (ch != EOF) std::ungetc(ch, f);
  return token;
}

std::optional<std::string> ControlFileStream::PeekToken() {
  if (!file_) return std::nullopt;
  const long position = std::ftell(file_.get());
  std::optional<std::string> token = ReadToken();
  std::clearerr(file_.get());
  std::fseek(file_.get(), position, SEEK_SET);
  return token;
}

void ControlFileStream::SkipLine() {
  if (!file_) return;
  int ch;
  while ((ch = std::getc(file_.get())) != EOF && ch != '\n') {
  }
}

std::string ControlFileStream::ReadRestOfLine() {
  std::string line;
  if (!file_) return line;
  int ch;
  while ((ch = std::getc(file_.get())) != EOF && ch != '\n') line.push_back(static_cast<char>(ch));
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

std::optional<std::string> ControlFileStream::ReadLine(bool& had_line_end) {
  had_line_end = false;
  if (!file_) return std::nullopt;
  std::string line;
  int ch;
  while ((ch = std::getc(file_.get())) != EOF && ch != '\n') line.push_back(static_cast<char>(ch));
  if (ch == EOF && line.empty()) return std::nullopt;
  had_line_end = ch == '\n';
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

std::optional<long long> ParseLongPrefix(const std::string& token) {
  const char* begin = token.c_str();
  char* end = nullptr;
  errno = 0;
  const long long value = std::strtoll(begin, &end, 10);
  if (end == begin || errno == ERANGE) return std::nullopt;
  return value;
}

std::optional<int> ParseIntPrefix(const std::string& token) {
  const std::optional<long long> value = ParseLongPrefix(token);
  if (!value || *value < INT_MIN || *value > INT_MAX) return std::nullopt;
  return static_cast<int>(*value);
}

std::optional<double> ParseDoublePrefix(const std::string& token) {
  const char* begin = token.c_str();
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(begin, &end);
  if (end == begin || (errno == ERANGE && (value > 1.0 || value < -1.0))) return std::nullopt;
  return value;
}

}  // namespace tolvo
