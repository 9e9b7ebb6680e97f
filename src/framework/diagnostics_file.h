#pragma once
// The XML diagnostics file as the processes of a job share it.
//
// Process 0 creates the file and appends each finished entry line. After a fatal error,
// the process that stops the job ends the file: it appends the lines of its fatal
// entries that the file does not hold yet, then the closing lines. So the message that
// caused the stop reaches the file even when it was met on another process, or when
// process 0 is killed by the abort before it could write it.
//
// Invariants: every write happens under an advisory lock on the whole file, so a line of
// one process is never cut by another; once the file ends with the closing tag nothing
// is appended any more, so it stays well-formed whoever ended it. The lock taken to end
// the file is held until the object goes away, which after a fatal error is the end of
// the process: the job is aborted by the process that ended the file.

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tolvo {

class DiagnosticsFile {
 public:
  DiagnosticsFile() = default;
  ~DiagnosticsFile();
  DiagnosticsFile(const DiagnosticsFile&) = delete;
  DiagnosticsFile& operator=(const DiagnosticsFile&) = delete;

  // Creates the file, or empties it (process 0). False when it cannot be opened.
  bool Create(const std::string& name);
  // Opens the file that process 0 created, for ending it after a fatal error. False when
  // it does not exist or cannot be written.
  bool Attach(const std::string& name);
  bool is_open() const { return fd_ >= 0; }

  // Appends the text whole. Nothing is written once the file is ended (by any process)
  // or after a failed write; returns whether the text was written.
  bool Append(std::string_view text);

  // Whether the file ends with the closing tag.
  bool IsEnded() const;

  // Ends the file unless it is ended already: appends those of `lines` (whole lines with
  // their line end) that the file does not hold yet, as often as they are missing, then
  // `closing`. Returns the positions in `lines` of the lines appended, or nothing when the
  // file had been ended before or cannot be read. Keeps the lock.
  std::optional<std::vector<std::size_t>> End(const std::vector<std::string>& lines, std::string_view closing);

  // The closing tag that marks an ended file.
  static constexpr std::string_view kClosingTag = "</Diag>\n";

 private:
  bool Lock();
  void Unlock();
  bool WriteAll(std::string_view text);
  std::optional<std::string> ReadAll() const;

  int fd_ = -1;
  bool locked_ = false;
  bool failed_ = false;
};

}  // namespace tolvo
