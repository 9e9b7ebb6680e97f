#pragma once
// The diagnostics log: the one reporting channel of a process.
//
// Code streams pieces into it (texts, strings, numbers, a field width). An entry begins
// with a level prefix at the start of its first text piece ("FATAL: ", "ERROR: ",
// "WARNING: ", "INFO: ", "DEBUG: ", "SKIP: ") and ends with a piece containing the marker
// "[end-entry]"; an entry without prefix is a DEBUG entry. Only process 0 writes: every
// entry to the console, and entries at or below the maximum level as one "line" element
// of an XML diagnostics file in the Delft-FEWS PI "Diag" format. Other processes keep the
// same entry state and print nothing.
//
// Not safe for concurrent use: code in an OpenMP parallel region skips its entries or
// writes them inside the process-wide critical section.

#include <fstream>
#include <iomanip>
#include <iostream>
#include <string>
#include <string_view>
#include <type_traits>

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

  // The per-process name of a diagnostics file: the name cut at the last "." of its last
  // path component, then "_", the rank and ".xml".
  static std::string PerProcessName(const std::string& name, int rank);
  // The form of a text piece inside the XML attribute (escaped, marker replaced by "\"/>").
  static std::string FileForm(std::string_view text);

 private:
  template <typename T>
  DiagnosticsLog& WriteValue(T value) {
    if (rank_ == 0) console_ << value;
    BeginValue();
    if (FileWritable()) file_ << value;
    return *this;
  }
  void WriteText(std::string_view text);
  void BeginValue() { WriteText({}); }
  void OpenEntry(int level);
  bool FileWritable() const { return rank_ == 0 && file_.is_open() && file_.good() && !suppressed_; }
  void WriteHead();

  int rank_ = 0;
  int process_count_ = 1;
  std::ofstream file_;
  std::ostream& console_;
  bool entry_closed_ = true;
  bool suppressed_ = false;
  int level_ = 0;
  std::string piece_text_;
  std::string file_name_;
  int max_level_;
};

// Local time as 2026-03-01T08:05:09.
std::string LocalTimeStamp();

}  // namespace tolvo
