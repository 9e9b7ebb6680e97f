#include "framework/diagnostics_log.h"

#include <mpi.h>

#include <array>
#include <ctime>
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
  std::string form(text);
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
  file_name_ = PerProcessName(file_name_, rank_);
  if (rank_ != 0) return;

  file_.open(file_name_, std::ios::out | std::ios::trunc);
  if (!file_.is_open()) {
    file_.clear();
    console_ << "(mpi-rank  0) " << "\n ----- Warning -----\n error opening diagnostics output file "
             << file_name_ << "\n";
    console_ << "(mpi-rank  0) "
             << "\nusing default name Tolvo_Diag.xml in actual working directory\n -------------------\n\n"
             << "\n";
    file_name_ = kDefaultDiagnosticsFile;
    file_.open(file_name_, std::ios::out | std::ios::trunc);
    if (!file_.is_open()) {
      console_ << "(mpi-rank  0) " << "Error opening diagnostics output file " << kDefaultDiagnosticsFile
               << "\n"
               << std::flush;
      RaiseError(kDiagnosticsFileError);
    }
  }
  WriteHead();
}

void DiagnosticsLog::WriteHead() {
  file_ << "<?xml version='1.0' encoding='UTF-8'?>\n"
        << "<Diag version=\"1.2\" xmlns=\"" << kPiNamespace << "\" \n"
        << "xmlns:xsi=\"" << kXsiNamespace << "\" \n"
        << "xsi:schemaLocation=\"" << kPiNamespace << " " << kPiDiagSchema << "\">\n"
        << "\t<line level=\"3\" description= \"Tolvo start at " << LocalTimeStamp() << "\"/>\n"
        << std::flush;
}

DiagnosticsLog::~DiagnosticsLog() {
  if (rank_ != 0 || !file_.is_open() || !file_.good()) return;
  if (!entry_closed_ && !suppressed_) file_ << "\"/>\n";
  file_ << "\t<line level=\"3\" description= \"Tolvo finished at " << LocalTimeStamp() << "\"/>\n"
        << "</Diag>\n";
  file_.close();
}

void DiagnosticsLog::OpenEntry(int level) {
  level_ = level;
  suppressed_ = level_ > max_level_;
  if (FileWritable()) file_ << "\t<line level=\"" << level_ << "\" description= \"";
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
      if (FileWritable()) file_ << "\"/>\n" << std::flush;
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
  if (FileWritable()) file_ << piece_text_;
  if (ends) {
    if (rank_ == 0) {
      console_ << "\n" << std::flush;
      console_ << "(mpi-rank " << std::setw(2) << rank_ << ") " << std::flush;
      if (FileWritable()) file_ << "\n" << std::flush;
    }
    entry_closed_ = true;
    suppressed_ = false;
  }
  return *this;
}

DiagnosticsLog& DiagnosticsLog::operator<<(const std::string& text) {
  if (rank_ == 0) console_ << text;
  WriteText(text);
  if (FileWritable()) file_ << piece_text_;
  return *this;
}

DiagnosticsLog& DiagnosticsLog::operator<<(decltype(std::setw(0)) width) {
  if (rank_ == 0) console_ << width;
  BeginValue();
  if (FileWritable()) file_ << width;
  return *this;
}

}  // namespace tolvo
