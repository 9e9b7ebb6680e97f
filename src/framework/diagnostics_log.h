#pragma once
// The diagnostics log: the one reporting channel of a process.
//
// Code streams pieces into it (texts, strings, numbers, a field width). An entry begins
// with a level prefix at the start of its first text piece ("FATAL: ", "ERROR: ",
// "WARNING: ", "INFO: ", "DEBUG: ", "SKIP: ") and ends with a piece containing the marker
// "[end-entry]"; an entry without prefix is a DEBUG entry. Process 0 writes every entry to
// the console, and entries at or below the maximum level as one "line" element of an XML
// diagnostics file in the Delft-FEWS PI "Diag" format. Other processes keep the same entry
// state and print nothing, but remember their FATAL entries: the process that stops the
// job after a fatal error ends the shared file with those of its FATAL entries that the
// file lacks, and shows them on its console (see DiagnosticsFile).
//
// Not safe for concurrent use: code in an OpenMP parallel region skips its entries or
// writes them inside the process-wide critical section.

#include <iomanip>
#include <iostream>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "framework/diagnostics_file.h"

namespace tolvo {

enum class DiagLevel : int { Fatal = 0, Error = 1, Warning = 2, Info = 3, Debug = 4, Skip = 5 };

inline constexpr std::string_view kEndEntry = "[end-entry]";
inline constexpr const char* kDefaultDiagnosticsFile = "Tolvo_Diag.xml";

class DiagnosticsLog {
 public:
  // An empty file name stands for "Tolvo_Diag.xml". Throws ErrorCode 320 when neither the
  // per-process file nor the default file can be opened (process 0 only).
  DiagnosticsLog(const std::string& file_name, int max_level, std::ostream& console = std::cout);
  ~DiagnosticsLog();
  DiagnosticsLog(const DiagnosticsLog&) = delete;
  DiagnosticsLog& operator=(const DiagnosticsLog&) = delete;

  DiagnosticsLog& operator<<(const char* text);
  DiagnosticsLog& operator<<(const std::string& text);
  DiagnosticsLog& operator<<(decltype(std::setw(0)) width);
  template <typename T>
    requires(std::is_arithmetic_v<T> || std::is_pointer_v<T>)
  DiagnosticsLog& operator<<(T value) {
    if constexpr (std::is_same_v<T, float>) {
      return WriteValue(static_cast<double>(value));
    } else if constexpr (std::is_pointer_v<T>) {
      return WriteValue(static_cast<const void*>(value));
    } else {
      return WriteValue(value);
    }
  }

  std::ostream& console() { return console_; }
  const std::string& file_name() const { return file_name_; }
  int rank() const { return rank_; }
  int process_count() const { return process_count_; }
  int max_level() const { return max_level_; }

  // Collective: process 0 tells every process the name of the file it writes (it may have
  // fallen back to the default name). Also ensures the file exists before any process can
  // meet a fatal error.
  void ShareFileName();
  // After the fatal entries of an error that stops the job: ends the diagnostics file
  // with this process's FATAL entries that it lacks and the closing lines, and shows those
  // entries on the console (process 0 has shown them already). Another process first gives
  // process 0 up to ten seconds to end the file itself. Returns false when another
  // process had ended the file already, with the fatal error it stops the job with.
  bool EndAfterFatal();

  // The per-process name of a diagnostics file: the name cut at the last "." of its last
  // path component, then "_", the rank and ".xml".
  static std::string PerProcessName(const std::string& name, int rank);
  // The form of a text piece inside the XML attribute (escaped, marker replaced by "\"/>").
  // Control characters other than tab and newline and bytes that are not well-formed UTF-8
  // become the text "\xNN", so that no piece makes the file ill-formed.
  static std::string FileForm(std::string_view text);

 private:
  struct FatalEntry {
    std::string line;     // the XML line with its line end
    std::string console;  // the console text
  };

  template <typename T>
  DiagnosticsLog& WriteValue(T value) {
    if (rank_ == 0) console_ << value;
    BeginValue();
    if (Recording()) pending_ << value;
    if (RecordingFatalConsole()) fatal_console_ << value;
    return *this;
  }
  void WriteText(std::string_view text);
  void BeginValue() { WriteText({}); }
  void OpenEntry(int level);
  // Whether the open entry's XML text is kept: for the file on process 0, and for the
  // end after a fatal error on every process.
  bool Recording() const { return !suppressed_ && (rank_ == 0 ? file_.is_open() : level_ == 0); }
  bool RecordingFatalConsole() const { return rank_ != 0 && !suppressed_ && level_ == 0; }
  // Hands the finished XML line of the open entry on: to the file (process 0), and to the
  // remembered FATAL entries when it is one.
  void Commit();
  std::string ClosingLines() const;

  int rank_ = 0;
  int process_count_ = 1;
  DiagnosticsFile file_;
  std::ostringstream pending_;
  std::ostringstream fatal_console_;
  std::vector<FatalEntry> fatal_entries_;
  std::ostream& console_;
  bool entry_closed_ = true;
  bool suppressed_ = false;
  int level_ = 0;
  std::string piece_text_;
  std::string file_name_;
  // The file process 0 writes, which any process ends after its fatal error.
  std::string shared_file_name_;
  int max_level_;
};

// A text read from an input file, as an entry quotes it: whole up to kMaxQuotedLength
// characters; a longer one is cut there and followed by " ... (N characters)".
inline constexpr std::size_t kMaxQuotedLength = 300;
std::string QuotedExcerpt(std::string_view text);

// Local time as 2026-03-01T08:05:09.
std::string LocalTimeStamp();

}  // namespace tolvo
