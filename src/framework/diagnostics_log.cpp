#include "framework/diagnostics_log.h"

#include <mpi.h>

#include <array>
#include <chrono>
#include <ctime>
#include <optional>
#include <thread>
#include <utility>

#include "framework/error_code.h"

namespace tolvo {
namespace {

struct Prefix {
  std::string_view text;
  int level;
};

// Order in which the bookkeeping looks for a level prefix.
constexpr std::array<Prefix, 6> kPrefixes{{{"FATAL: ", 0},
                                           {"ERROR: ", 1},
                                           {"WARNING: ", 2},
                                           {"INFO: ", 3},
                                           {"DEBUG: ", 4},
                                           {"SKIP: ", 5}}};

constexpr std::string_view kPiNamespace = "http://www.wldelft.nl/fews/PI";
constexpr std::string_view kXsiNamespace = "http://www.w3.org/2001/XMLSchema-instance";
constexpr std::string_view kPiDiagSchema =
    "http://fews.wldelft.nl/schemas/version1.0/pi-schemas/pi_diag.xsd";

void ReplaceAll(std::string& text, std::string_view from, std::string_view to) {
  std::string out;
  out.reserve(text.size());
  std::size_t start = 0;
  for (std::size_t pos; (pos = text.find(from, start)) != std::string::npos; start = pos + from.size()) {
    out.append(text, start, pos - start);
    out.append(to);
  }
  out.append(text, start, std::string::npos);
  text = std::move(out);
}

bool EndsEntry(std::string_view text) { return text.find(kEndEntry) != std::string_view::npos; }

void AppendByteCode(std::string& out, unsigned char byte) {
  constexpr std::string_view kHex = "0123456789ABCDEF";
  out += "\\x";
  out += kHex[byte >> 4];
  out += kHex[byte & 0x0F];
}

// The length of the well-formed UTF-8 sequence at the start of text that stands for a
// character XML allows, or 0.
std::size_t XmlCharacterLength(std::string_view text) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return lead >= 0x20 || lead == '\t' || lead == '\n' ? 1 : 0;
  std::size_t length = 0;
  char32_t code = 0;
  char32_t smallest = 0;
  if ((lead & 0xE0) == 0xC0) {
    length = 2, code = lead & 0x1F, smallest = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, code = lead & 0x0F, smallest = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, code = lead & 0x07, smallest = 0x10000;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(i) & 0x3F);
  }
  const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
  const bool allowed = code >= smallest && code <= 0x10FFFF && !surrogate && code != 0xFFFE && code != 0xFFFF;
  return allowed ? length : 0;
}

// Control characters other than tab and newline, and bytes that are not well-formed
// UTF-8, would make the XML file ill-formed: they are shown as "\xNN".
std::string ReplaceNonXmlBytes(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  while (!text.empty()) {
    const std::size_t length = XmlCharacterLength(text);
    if (length == 0) {
      AppendByteCode(out, static_cast<unsigned char>(text.front()));
      text.remove_prefix(1);
    } else {
      out.append(text.substr(0, length));
      text.remove_prefix(length);
    }
  }
  return out;
}

}  // namespace

std::string LocalTimeStamp() {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%d-%02d-%02dT%02d:%02d:%02d", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return buffer;
}

std::string QuotedExcerpt(std::string_view text) {
  if (text.size() <= kMaxQuotedLength) return std::string(text);
  std::size_t cut = kMaxQuotedLength;
  // A character of several bytes is kept whole or left out.
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return std::string(text.substr(0, cut)) + " ... (" + std::to_string(text.size()) + " characters)";
}

std::string DiagnosticsLog::PerProcessName(const std::string& name, int rank) {
  // Only a "." of the last path component starts the extension: "a.b/diag" keeps its
  // directory whole.
  const std::size_t slash = name.rfind('/');
  const std::size_t dot = name.rfind('.');
  const bool has_extension = dot != std::string::npos && (slash == std::string::npos || dot > slash);
  std::string stem = has_extension ? name.substr(0, dot) : name;
  return stem + "_" + std::to_string(rank) + ".xml";
}

std::string DiagnosticsLog::FileForm(std::string_view text) {
  std::string form = ReplaceNonXmlBytes(text);
  ReplaceAll(form, "&", "&amp;");
  ReplaceAll(form, "\n", ";");
  ReplaceAll(form, "<", "&lt;");
  ReplaceAll(form, ">", "&gt;");
  ReplaceAll(form, "'", "&apos;");
  ReplaceAll(form, "\"", "&quot;");
  // A run of three or more dashes becomes two.
  for (std::size_t pos; (pos = form.find("---")) != std::string::npos;) form.erase(pos, 1);
  if (EndsEntry(form)) {
    if (form.size() >= kEndEntry.size()) form.resize(form.size() - kEndEntry.size());
    form += "\"/>";
  }
  return form;
}

DiagnosticsLog::DiagnosticsLog(const std::string& file_name, int max_level, std::ostream& console)
    : console_(console),
      file_name_(file_name.empty() ? kDefaultDiagnosticsFile : file_name),
      max_level_(max_level) {
  int initialised = 0;
  MPI_Initialized(&initialised);
  if (initialised) {
    MPI_Comm_rank(MPI_COMM_WORLD, &rank_);
    MPI_Comm_size(MPI_COMM_WORLD, &process_count_);
  }
  shared_file_name_ = PerProcessName(file_name_, 0);
  file_name_ = PerProcessName(file_name_, rank_);
  if (rank_ != 0) return;

  if (!file_.Create(file_name_)) {
    console_ << "(mpi-rank  0) " << "\n ----- Warning -----\n error opening diagnostics output file "
             << file_name_ << "\n";
    console_ << "(mpi-rank  0) "
             << "\nusing default name Tolvo_Diag.xml in actual working directory\n -------------------\n\n"
             << "\n";
    file_name_ = kDefaultDiagnosticsFile;
    if (!file_.Create(file_name_)) {
      console_ << "(mpi-rank  0) " << "Error opening diagnostics output file " << kDefaultDiagnosticsFile
               << "\n"
               << std::flush;
      RaiseError(kDiagnosticsFileError);
    }
  }
  shared_file_name_ = file_name_;
  std::ostringstream head;
  head << "<?xml version='1.0' encoding='UTF-8'?>\n"
       << "<Diag version=\"1.2\" xmlns=\"" << kPiNamespace << "\" \n"
       << "xmlns:xsi=\"" << kXsiNamespace << "\" \n"
       << "xsi:schemaLocation=\"" << kPiNamespace << " " << kPiDiagSchema << "\">\n"
       << "\t<line level=\"3\" description= \"Tolvo start at " << LocalTimeStamp() << "\"/>\n";
  file_.Append(head.str());
}

std::string DiagnosticsLog::ClosingLines() const {
  return "\t<line level=\"3\" description= \"Tolvo finished at " + LocalTimeStamp() + "\"/>\n" +
         std::string(DiagnosticsFile::kClosingTag);
}

DiagnosticsLog::~DiagnosticsLog() {
  if (rank_ != 0 || !file_.is_open()) return;
  if (!entry_closed_ && !suppressed_) pending_ << "\"/>\n";
  // An entry left open is closed on the same line as the closing lines, as one write.
  pending_ << ClosingLines();
  file_.End({}, pending_.str());
}

void DiagnosticsLog::ShareFileName() {
  int length = static_cast<int>(shared_file_name_.size());
  MPI_Bcast(&length, 1, MPI_INT, 0, MPI_COMM_WORLD);
  shared_file_name_.resize(static_cast<std::size_t>(length));
  MPI_Bcast(shared_file_name_.data(), length, MPI_CHAR, 0, MPI_COMM_WORLD);
}

void DiagnosticsLog::Commit() {
  std::string text = pending_.str();
  pending_.str({});
  if (text.empty()) return;
  if (level_ == static_cast<int>(DiagLevel::Fatal)) {
    // A process remembers a bounded number: FATAL entries come just before the end.
    constexpr std::size_t kKeptFatalEntries = 100;
    if (fatal_entries_.size() == kKeptFatalEntries) fatal_entries_.erase(fatal_entries_.begin());
    fatal_entries_.push_back({text, fatal_console_.str()});
  }
  fatal_console_.str({});
  if (rank_ == 0) file_.Append(text);
}

bool DiagnosticsLog::EndAfterFatal() {
  if (!entry_closed_) {
    if (Recording()) {
      pending_ << "\"/>\n";
      Commit();
    }
    entry_closed_ = true;
  }
  if (rank_ != 0 && !file_.is_open()) file_.Attach(shared_file_name_);
  // An error that every process meets is best reported by process 0, whose file holds the
  // entries that led to it: another process gives it up to 10 s to end the file first (on
  // a loaded machine process 0 may be seconds behind; the wait ends as soon as it has).
  constexpr int kPolls = 200;
  for (int poll = 0; rank_ != 0 && file_.is_open() && !file_.IsEnded() && poll < kPolls; ++poll) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  std::vector<std::string> lines;
  for (const FatalEntry& entry : fatal_entries_) lines.push_back(entry.line);
  std::vector<std::size_t> shown;
  if (file_.is_open()) {
    const std::optional<std::vector<std::size_t>> appended = file_.End(lines, ClosingLines());
    if (!appended) return false;
    shown = *appended;
  } else {
    // Without the shared file the console is the only place left for the message.
    for (std::size_t i = 0; i < lines.size(); ++i) shown.push_back(i);
  }
  if (rank_ != 0) {
    for (const std::size_t i : shown) {
      console_ << "(mpi-rank " << std::setw(2) << rank_ << ") " << fatal_entries_[i].console << "\n";
    }
    console_ << std::flush;
  }
  return true;
}

void DiagnosticsLog::OpenEntry(int level) {
  level_ = level;
  suppressed_ = level_ > max_level_;
  if (Recording()) pending_ << "\t<line level=\"" << level_ << "\" description= \"";
  entry_closed_ = false;
}

void DiagnosticsLog::WriteText(std::string_view text) {
  const Prefix* found = nullptr;
  for (const Prefix& prefix : kPrefixes) {
    if (text.starts_with(prefix.text)) {
      found = &prefix;
      break;
    }
  }
  if (found != nullptr) {
    text.remove_prefix(found->text.size());
    if (!entry_closed_) {
      if (Recording()) {
        pending_ << "\"/>\n";
        Commit();
      }
      entry_closed_ = true;
    }
    OpenEntry(found->level);
  } else if (!entry_closed_) {
    suppressed_ = level_ > max_level_;
  } else {
    OpenEntry(static_cast<int>(DiagLevel::Debug));
  }
  piece_text_ = FileForm(text);
}

DiagnosticsLog& DiagnosticsLog::operator<<(const char* text) {
  const std::string_view piece = text == nullptr ? std::string_view{} : std::string_view{text};
  std::string_view console_copy = piece;
  const bool ends = EndsEntry(piece);
  if (ends && console_copy.size() >= kEndEntry.size()) console_copy.remove_suffix(kEndEntry.size());
  // The console shows entries without their prefix; tried from the least severe level.
  for (auto it = kPrefixes.rbegin(); it != kPrefixes.rend(); ++it) {
    if (console_copy.starts_with(it->text)) {
      console_copy.remove_prefix(it->text.size());
      break;
    }
  }
  if (rank_ == 0 && !console_copy.empty()) console_ << console_copy;
  WriteText(piece);
  if (Recording()) pending_ << piece_text_;
  if (RecordingFatalConsole()) fatal_console_ << console_copy;
  if (ends) {
    if (rank_ == 0) {
      console_ << "\n" << std::flush;
      console_ << "(mpi-rank " << std::setw(2) << rank_ << ") " << std::flush;
    }
    if (Recording()) {
      pending_ << "\n";
      Commit();
    }
    entry_closed_ = true;
    suppressed_ = false;
  }
  return *this;
}

DiagnosticsLog& DiagnosticsLog::operator<<(const std::string& text) {
  if (rank_ == 0) console_ << text;
  WriteText(text);
  if (Recording()) pending_ << piece_text_;
  if (RecordingFatalConsole()) fatal_console_ << text;
  return *this;
}

DiagnosticsLog& DiagnosticsLog::operator<<(decltype(std::setw(0)) width) {
  if (rank_ == 0) console_ << width;
  BeginValue();
  if (Recording()) pending_ << width;
  if (RecordingFatalConsole()) fatal_console_ << width;
  return *this;
}

}  // namespace tolvo
