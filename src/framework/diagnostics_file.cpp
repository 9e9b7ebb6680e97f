#include "framework/diagnostics_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <map>

namespace tolvo {
namespace {

bool SetLock(int fd, short type) {
  struct flock lock{};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 0;
  while (::fcntl(fd, F_SETLKW, &lock) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

// Whether the text ends with the closing tag.
bool Ended(std::string_view tail) { return tail.ends_with(DiagnosticsFile::kClosingTag); }

std::size_t Occurrences(std::string_view text, std::string_view line) {
  std::size_t n = 0;
  for (std::size_t at = text.find(line); at != std::string_view::npos; at = text.find(line, at + line.size())) ++n;
  return n;
}

}  // namespace

DiagnosticsFile::~DiagnosticsFile() {
  if (fd_ >= 0) ::close(fd_);
}

bool DiagnosticsFile::Create(const std::string& name) {
  fd_ = ::open(name.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0666);
  return fd_ >= 0;
}

bool DiagnosticsFile::Attach(const std::string& name) {
  fd_ = ::open(name.c_str(), O_RDWR | O_APPEND | O_CLOEXEC);
  return fd_ >= 0;
}

// A file system without locks still gets the text: the lock only orders writers.
bool DiagnosticsFile::Lock() {
  if (!locked_) locked_ = SetLock(fd_, F_WRLCK);
  return locked_;
}

void DiagnosticsFile::Unlock() {
  if (locked_) SetLock(fd_, F_UNLCK);
  locked_ = false;
}

bool DiagnosticsFile::WriteAll(std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd_, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      failed_ = true;
      return false;
    }
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

std::optional<std::string> DiagnosticsFile::ReadAll() const {
  struct stat info{};
  if (::fstat(fd_, &info) != 0) return std::nullopt;
  std::string text(static_cast<std::size_t>(info.st_size), '\0');
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::pread(fd_, text.data() + done, text.size() - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  text.resize(done);
  return text;
}

bool DiagnosticsFile::IsEnded() const {
  struct stat info{};
  if (fd_ < 0 || ::fstat(fd_, &info) != 0) return false;
  std::string tail(std::min<std::size_t>(kClosingTag.size(), static_cast<std::size_t>(info.st_size)), '\0');
  const off_t from = info.st_size - static_cast<off_t>(tail.size());
  return ::pread(fd_, tail.data(), tail.size(), from) == static_cast<ssize_t>(tail.size()) && Ended(tail);
}

bool DiagnosticsFile::Append(std::string_view text) {
  if (fd_ < 0 || failed_ || text.empty()) return false;
  Lock();
  const bool written = !IsEnded() && WriteAll(text);
  Unlock();
  return written;
}

std::optional<std::vector<std::size_t>> DiagnosticsFile::End(const std::vector<std::string>& lines,
                                                              std::string_view closing) {
  if (fd_ < 0 || failed_) return std::nullopt;
  Lock();
  const std::optional<std::string> text = ReadAll();
  if (!text || Ended(*text)) return std::nullopt;
  // A line written by process 0 already, or once per earlier copy of it, is not repeated.
  std::map<std::string_view, std::size_t> seen;
  std::vector<std::size_t> appended;
  std::string block;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string_view line = lines[i];
    const std::size_t count = ++seen[line];
    if (count <= Occurrences(*text, line)) continue;
    block += line;
    appended.push_back(i);
  }
  block += closing;
  WriteAll(block);
  return appended;
}

}  // namespace tolvo
