#include "meteo/meteo_text_file.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>

#include "framework/error_code.h"

namespace tolvo {

bool MeteoTextFile::Open(const std::string& path) {
  file_.reset(std::fopen(path.c_str(), "rb"));
  next_line_ = 1;
  return file_ != nullptr;
}

bool MeteoTextFile::SeekTo(const LinePosition& position) {
  if (!file_ || std::fseek(file_.get(), position.offset, SEEK_SET) != 0) return false;
  next_line_ = position.line;
  return true;
}

std::optional<std::string> MeteoTextFile::ReadLine() {
  if (!file_) return std::nullopt;
  std::string line;
  int ch = 0;
  while ((ch = std::getc(file_.get())) != EOF && ch != '\n') line.push_back(static_cast<char>(ch));
  if (ch == EOF && line.empty()) return std::nullopt;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  ++next_line_;
  return line;
}

bool MeteoTextFile::ReadBytes(void* target, std::size_t n) {
  return file_ && std::fread(target, 1, n, file_.get()) == n;
}

LinePosition MeteoTextFile::position() const { return {file_ ? std::ftell(file_.get()) : 0L, next_line_}; }

bool MeteoTextFile::Close() {
  if (!file_) return true;
  return std::fclose(file_.release()) == 0;
}

std::vector<std::string_view> SplitWords(std::string_view line) {
  std::vector<std::string_view> words;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i]))) ++i;
    const std::size_t begin = i;
    while (i < line.size() && !std::isspace(static_cast<unsigned char>(line[i]))) ++i;
    if (i > begin) words.push_back(line.substr(begin, i - begin));
  }
  return words;
}

std::optional<double> WholeDouble(std::string_view word) {
  const std::string text(word);
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size()) return std::nullopt;
  return value;
}

std::optional<long long> WholeInteger(std::string_view word) {
  const std::string text(word);
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const long long value = std::strtoll(text.c_str(), &end, 10);
  if (end != text.c_str() + text.size() || errno == ERANGE) return std::nullopt;
  return value;
}

void RaiseInputError(DiagnosticsLog& log, std::string_view message, int code) {
  log << "FATAL: " << std::string(message) << "[end-entry]";
  RaiseError(code);
}

}  // namespace tolvo
