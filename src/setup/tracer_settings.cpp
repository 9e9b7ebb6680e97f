#include "setup/tracer_settings.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <optional>
#include <string_view>

#include "framework/error_code.h"

namespace tolvo {

namespace {

constexpr std::size_t kMaxTracerLine = 1199;
constexpr std::size_t kMaxTracerWord = 299;

std::string_view SkipBlanks(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
  return text;
}

// The whitespace-delimited word at the start of text (after blanks); empty when none.
std::string_view LeadingWord(std::string_view text) {
  text = SkipBlanks(text);
  std::size_t end = 0;
  while (end < text.size() && !std::isspace(static_cast<unsigned char>(text[end]))) ++end;
  return text.substr(0, end);
}

// A real number at the start of text (after blanks), as a "%lf" conversion reads it, and
// the text behind it.
std::optional<double> LeadingNumber(std::string_view text, std::string_view* rest = nullptr) {
  const std::string copy(text);
  char* end = nullptr;
  const double value = std::strtod(copy.c_str(), &end);
  if (end == copy.c_str()) return std::nullopt;
  if (rest != nullptr) *rest = text.substr(static_cast<std::size_t>(end - copy.c_str()));
  return value;
}

// An integer at the start of text (after blanks), with the given base (0: as "%i").
std::optional<int> LeadingInteger(std::string_view text, int base) {
  const std::string copy(text);
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(copy.c_str(), &end, base);
  if (end == copy.c_str() || errno == ERANGE || value < INT_MIN || value > INT_MAX) return std::nullopt;
  return static_cast<int>(value);
}

bool Contains(std::string_view line, std::string_view keyword) { return line.find(keyword) != std::string_view::npos; }

// Parsing of one tracer line; every failure logs its entry and raises 56.
class TracerLine {
 public:
  TracerLine(DiagnosticsLog& log, std::string_view line, int i) : log_(log), line_(line), i_(i) {}

  [[noreturn]] void Fail() const { RaiseError(kTracerParameterError); }

  // The text after the first "=" that follows keyword; message entries for a missing
  // keyword or "=" as the table of the section gives them.
  std::string_view ValueOf(std::string_view keyword) const {
    const std::size_t at = line_.find(keyword);
    if (at == std::string_view::npos) {
      log_ << "FATAL: error reading parameters for tracer " << i_ << ":\nneed a key word \"" << std::string(keyword)
           << " = xxxx\"" << "[end-entry]";
      Fail();
    }
    const std::size_t equals = line_.find('=', at + keyword.size());
    if (equals == std::string_view::npos) {
      log_ << "FATAL: error reading " << std::string(keyword) << " for tracer " << i_ << ": no \""
           << std::string(keyword) << " =\" found!" << "[end-entry]";
      Fail();
    }
    return line_.substr(equals + 1);
  }

  double Number(std::string_view keyword, std::string_view end_of_message) const {
    const std::optional<double> value = LeadingNumber(ValueOf(keyword));
    if (!value) {
      log_ << "FATAL: error reading " << std::string(keyword) << " for tracer " << i_ << std::string(end_of_message)
           << "[end-entry]";
      Fail();
    }
    return *value;
  }

  // The text right after "keyword =" (one blank before "=").
  std::string_view AfterAssignment(std::string_view keyword) const {
    const std::string pattern = std::string(keyword) + " =";
    const std::size_t at = line_.find(pattern);
    if (at == std::string_view::npos) {
      log_ << "FATAL: error reading " << std::string(keyword) << " for tracer " << i_ << ":\nneed a key word \""
           << std::string(keyword) << " = xxxx\"" << "[end-entry]";
      Fail();
    }
    return line_.substr(at + pattern.size());
  }

  [[noreturn]] void Unreadable(std::string_view keyword) const {
    log_ << "FATAL: error reading " << std::string(keyword) << " for tracer " << i_ << "!" << "[end-entry]";
    Fail();
  }

  int Integer(std::string_view keyword) const {
    const std::optional<int> value = LeadingInteger(AfterAssignment(keyword), 10);
    if (!value) Unreadable(keyword);
    return *value;
  }

  // One word of at most 299 characters; a longer word is refused rather than cut.
  std::string Word(std::string_view keyword) const {
    const std::string_view word = LeadingWord(AfterAssignment(keyword));
    if (word.empty() || word.size() > kMaxTracerWord) Unreadable(keyword);
    return std::string(word);
  }

 private:
  DiagnosticsLog& log_;
  std::string_view line_;
  int i_;
};

std::string TracerName(std::string_view line) {
  std::string name(LeadingWord(line).substr(0, 3));
  name.resize(3, '_');
  for (char& ch : name) {
    if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
  }
  return name;
}

}  // namespace

tracer_ini_class::tracer_ini_class(DiagnosticsLog& log, std::string control_file_name, int /*unused*/, int& n_tracers,
                                   std::span<TracerSettingsRecord>& tracers, OutputFormats formats,
                                   std::string input_directory, std::string output_directory)
    : modelobject(log, std::move(control_file_name), formats, std::move(input_directory),
                  std::move(output_directory)) {
  set_name("tracer_ini");
  ReadSection();
  n_tracers = tracers_.empty() ? 0 : static_cast<int>(tracers_.size()) - 1;
  tracers = tracers_;
}

int tracer_ini_class::ReadTracerCount() {
  constexpr std::string_view kDescription = " number of tracers in ";
  const std::optional<std::string> token = control_file().ReadToken();
  // As "%i": a leading 0 reads octal, 0x hexadecimal.
  const std::optional<int> count = token ? LeadingInteger(*token, 0) : std::nullopt;
  if (!count) ItemScanError(kDescription, token.value_or(""));
  control_file().SkipLine();
  return *count;
}

void tracer_ini_class::ReadSection() {
  if (!OpenControlFile(control_file_name())) {
    log() << "FATAL: error opening " << control_file_name() << "[end-entry]";
    RaiseError(kControlFileOpenError);
  }
  FindSection("[substance_transport]", true);
  const int n = ReadTracerCount();
  if (n > kMaxTracers) {
    log() << "FATAL: not more than 9 tracer species are allowed at one time (they need a very lot of memory!)"
          << "[end-entry]";
    RaiseError(kTooManyTracers);
  }
  std::vector<TracerSettingsRecord> table;
  if (n > 0) {
    table.resize(static_cast<std::size_t>(n) + 1);
    for (int i = 1; i <= n; ++i) {
      log() << "reading parameters for tracer " << i << " ..." << "[end-entry]";
      const std::string line = control_file().ReadRestOfLine();
      const std::string name = TracerName(line);
      for (int k = 1; k < i; ++k) {
        const std::string& earlier = table[static_cast<std::size_t>(k)].name;
        if (name != earlier) continue;
        log() << "FATAL: \n----------- ERROR in substance_transport ---------\n\nsubstance #" << i
              << " and substance #" << k << " have the same\nfirst 3 chars (lowercase) in its name (" << name
              << " <-> " << earlier << ")\n\n--------------------------------------------------\n"
              << "[end-entry]";
        RaiseError(kDuplicateTracerName);
      }
      table[static_cast<std::size_t>(i)] = ReadTracer(line, i, n);
      log() << "done." << "[end-entry]";
    }
  }
  control_file() = ControlFileStream();  // closes the control file
  tracers_ = std::move(table);
}

TracerSettingsRecord tracer_ini_class::ReadTracer(const std::string& line, int i, int n) const {
  const TracerLine parse(log(), line, i);
  if (line.size() > kMaxTracerLine) {
    // A longer line would be split and its rest taken for the next tracer.
    log() << "FATAL: error reading parameters for tracer " << i << ":\nthe line is longer than " << kMaxTracerLine
          << " characters" << "[end-entry]";
    parse.Fail();
  }
  TracerSettingsRecord record;
  record.name = TracerName(line);

  if (Contains(line, "non_radioactive")) {
    record.radioactive = 0;
    record.half_time = -9999;
  } else if (Contains(line, "radioactive")) {
    record.radioactive = 1;
    const std::size_t at = line.find("half_time");
    if (at == std::string::npos) {
      log() << "FATAL: error in tracer_info_table tracer " << i << ": need a \"" << "half_time" << " = xxxx d\" sequence!"
            << "[end-entry]";
      parse.Fail();
    }
    const std::size_t equals = line.find('=', at);
    if (equals == std::string::npos) {
      log() << "FATAL: error reading half_time for tracer " << i << ": no \"" << "half_time" << " =\" found!"
            << "[end-entry]";
      parse.Fail();
    }
    std::string_view rest;
    const std::optional<double> half_time = LeadingNumber(std::string_view(line).substr(equals + 1), &rest);
    const std::string_view unit = half_time ? LeadingWord(rest) : std::string_view{};
    if (unit.empty()) {
      log() << "FATAL: error reading " << "half_time" << " for tracer " << i << "[end-entry]";
      parse.Fail();
    }
    if (unit != "d") {
      log() << "FATAL: error reading " << "half_time" << " for tracer " << i << ": no \"d\" for measure found!"
            << "[end-entry]";
      parse.Fail();
    }
    if (*half_time <= 0) {
      log() << "FATAL: error in " << "half_time" << " for tracer " << i << ": must be greater than 0!" << "[end-entry]";
      parse.Fail();
    }
    record.half_time = *half_time;
  } else {
    log() << "FATAL: error reading parameters for tracer " << i << ":\n need a key word \"" << "radioactive"
          << "\" or \"" << "non_radioactive" << "\"\n(may be, the number of tracers (" << n << ") is wrong?\n"
          << "[end-entry]";
    parse.Fail();
  }

  if (Contains(line, "non_evaporating")) {
    record.evaporating = 0;
  } else if (Contains(line, "evaporating")) {
    record.evaporating = 1;
  } else {
    log() << "FATAL: error reading parameters for tracer " << i << ":\n need a key word \"" << "evaporating"
          << "\" or \"" << "non_evaporating" << "\"\n(may be, the number of tracers (" << n << ") is wrong?"
          << "[end-entry]";
    parse.Fail();
  }

  record.min_conc = parse.Number("min_conc", "");
  {
    // Unlike the original reading of this keyword, a value that is not a number is
    // refused like that of every other numeric keyword.
    std::string_view rest;
    const std::optional<double> max_conc = LeadingNumber(parse.ValueOf("max_conc"), &rest);
    if (!max_conc) {
      log() << "FATAL: error reading max_conc for tracer " << i << "[end-entry]";
      parse.Fail();
    }
    const std::string_view unit = LeadingWord(rest);  // none: kg/kg
    if (!unit.empty() && unit != "mg/l" && unit != "g/l" && unit != "kg/kg" && unit != "Kg/Kg") {
      log() << "FATAL: error reading max_conc for tracer " << i
            << ":\nwrong measure (only mg/l, g/l or kg/kg resp. no measure are allowed!)\nread here: "
            << std::string(unit) << "[end-entry]";
      parse.Fail();
    }
    record.max_conc = *max_conc;
  }
  record.soilini = parse.Number("soilini", "!");
  record.gwini = parse.Number("gwini", "!");
  record.statcode = parse.Integer("statcode");
  record.gridcode = parse.Integer("gridcode");
  record.path = parse.Word("path");
  record.statext = parse.Word("statext");
  record.gridext = parse.Word("gridext");
  return record;
}

void tracer_ini_class::DeleteModule() {
  tracers_ = {};
  modelobject::DeleteModule();
}

}  // namespace tolvo
