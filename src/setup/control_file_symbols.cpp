#include "setup/control_file_symbols.h"

#include <mpi.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <sstream>

#include "framework/error_code.h"
#include "framework/file_handle.h"
#include "framework/text_helpers.h"

namespace tolvo {

namespace {

constexpr const char* kRule = "-----------------------------------------------------------";
constexpr std::string_view kWhiteSpace = " \t\n\r\v\f";
constexpr std::string_view kSetKeyword = "$set";

[[noreturn]] void SymbolError(DiagnosticsLog& log, const std::string& problem, int line_number,
                              const std::string& text) {
  log << "FATAL: \n" << kRule << "\npossible error in control file!\n" << problem << " at line " << line_number
      << ":\n" << QuotedExcerpt(text) << "\n\n" << kRule << "\n" << "[end-entry]";
  RaiseError(kMissingControlItem);
}

// Length of a text without its line end.
std::size_t ContentLength(std::string_view text) {
  if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
  return text.size();
}

// A work line is a blank followed by a line of at most 1200 characters.
void CheckWorkLineLength(DiagnosticsLog& log, const std::string& text, int line_number) {
  if (ContentLength(text) > kMaxControlLineLength + 1) {
    SymbolError(log, "line longer than " + std::to_string(kMaxControlLineLength) + " characters", line_number, text);
  }
}

// The next line with its line end (if it has one); nothing at the end of the file. The
// control file is text: a NUL byte is refused, naming its line, and so is a line that runs
// past the line limit without a line end, so that a file without line ends (a device such
// as /dev/zero) is never read without end. A read error fails with 19.
std::optional<std::string> ReadLine(std::FILE* file, int line_number, const std::string& source,
                                    DiagnosticsLog& log) {
  std::string line;
  int ch;
  while ((ch = std::getc(file)) != EOF) {
    if (ch == '\0') {
      SymbolError(log, "NUL character (byte 0) in column " + std::to_string(line.size() + 1) +
                           ", a control file must be text,", line_number, line);
    }
    line.push_back(static_cast<char>(ch));
    if (ch == '\n') break;
    if (line.size() > kMaxControlLineLength) {
      SymbolError(log, "line longer than " + std::to_string(kMaxControlLineLength) + " characters", line_number,
                  line.substr(0, kMaxControlLineLength) + " ...");
    }
  }
  if (std::ferror(file) != 0) {
    log << "FATAL: read error in control file " << source << " at line " << line_number << "[end-entry]";
    RaiseError(kReadErrorCode);
  }
  if (line.empty()) return std::nullopt;
  return line;
}

// Whether a value is exempt from the duplicate-value warning: special numbers and values
// that are numbers in full are expected to repeat.
bool ExpectedToRepeat(const std::string& value) {
  for (const char* special : {"inf", "nan", "INF", "NAN", "Inf", "Nan"}) {
    if (value.find(special) != std::string::npos) return true;
  }
  char* end = nullptr;
  std::strtod(value.c_str(), &end);
  return end != value.c_str() && *end == '\0';
}

void CloseChecked(FilePtr& file, const std::string& name, DiagnosticsLog& log) {
  std::FILE* raw = file.release();
  const bool failed_before = std::ferror(raw) != 0;
  if (std::fclose(raw) != 0 || failed_before) {
    log << "FATAL: error closing " << name << "[end-entry]";
    RaiseError(kControlFileCloseError);
  }
}

// Reads one "$set" line: keyword, name, equals sign and value, as four words.
ControlFileSymbol DefineSymbol(const std::string& work, int line_number, std::vector<ControlFileSymbol>& symbols,
                               DiagnosticsLog& log) {
  std::istringstream words(work);
  std::string keyword, name, equals, value;
  if (!(words >> keyword >> name >> equals >> value)) {
    SymbolError(log, "incomplete symbol definition (\"$set $name = value\")", line_number, work);
  }
  if (static_cast<int>(symbols.size()) >= kMaxSymbols) {
    SymbolError(log, "more than " + std::to_string(kMaxSymbols) + " symbols", line_number, work);
  }
  if (name.size() > kMaxSymbolLength || value.size() > kMaxSymbolLength) {
    SymbolError(log, "symbol name or value longer than " + std::to_string(kMaxSymbolLength) + " characters",
                line_number, work);
  }
  // The value may use the symbols before it; a use of the new symbol itself is refused.
  symbols.push_back({name, {}});
  ReplaceSymbols(value, line_number, symbols, log, static_cast<int>(symbols.size()) - 1);
  symbols.pop_back();
  if (value.size() > kMaxSymbolLength) {
    SymbolError(log, "value of symbol " + name + " longer than " + std::to_string(kMaxSymbolLength) + " characters",
                line_number, value);
  }
  return {name, value};
}

void WarnOfDuplicateValues(const std::vector<ControlFileSymbol>& symbols, const ControlFileSymbol& added,
                           DiagnosticsLog& log) {
  if (ExpectedToRepeat(added.value)) return;
  for (const ControlFileSymbol& earlier : symbols) {
    if (earlier.value != added.value) continue;
    log << "INFO: \n------------------------ WARNING --------------------------" << "\npossible error in control file!\n"
        << "content of symbol " << earlier.name << " is the same as symbol " << added.name << ", \n (which is: "
        << earlier.value << ").\n" << "this may lead to collusions!" << "\n" << kRule << "\n" << "[end-entry]";
  }
}

}  // namespace

std::string& ReplaceSymbols(std::string& text, int line_number, std::span<const ControlFileSymbol> symbols,
                            DiagnosticsLog& log, int defining) {
  if (const int hash = StrPos(text, "#"); hash > 0) {
    text.resize(static_cast<std::size_t>(hash));
    text += '\n';
  }
  if (text.find(kSetKeyword) != std::string::npos) return text;

  // Every substitution uses up one '$' of the line unless a value brings its own; a line
  // of 1200 characters can need no more than this many.
  int substitutions = 0;
  for (std::size_t dollar = text.find('$'); dollar != std::string::npos; dollar = text.find('$')) {
    std::string_view word(text);
    word = word.substr(dollar, word.find_first_of(kWhiteSpace, dollar) - dollar);
    word = word.substr(0, word.find("//"));
    word = word.substr(0, word.find(';'));
    const ControlFileSymbol* match = nullptr;
    int index = 0;
    for (; index < static_cast<int>(symbols.size()); ++index) {
      if (symbols[static_cast<std::size_t>(index)].name == word) {
        match = &symbols[static_cast<std::size_t>(index)];
        break;
      }
    }
    if (match == nullptr) SymbolError(log, "undefined symbol", line_number, text);
    if (index == defining || ++substitutions > static_cast<int>(kMaxControlLineLength)) {
      SymbolError(log, "symbol " + match->name + " refers to itself", line_number, text);
    }
    text.replace(dollar, word.size(), match->value);
    CheckWorkLineLength(log, text, line_number);
  }

  for (std::size_t join = text.find("//"); join != std::string::npos; join = text.find("//")) {
    text.erase(join, 2);
  }
  return text;
}

std::string CompileSymbols(const std::string& source, DiagnosticsLog& log) {
  log << "compiling symbols in control file " << source << "[end-entry]";
  const std::string target = source + ".$$$";

  // A directory opens for reading on some systems and then reads as an error.
  std::error_code no_throw;
  if (std::filesystem::is_directory(source, no_throw)) {
    log << "FATAL: error opening " << source << ": it is a directory, not a control file" << "[end-entry]";
    RaiseError(kControlFileOpenError);
  }
  FilePtr input(std::fopen(source.c_str(), "rt"));
  if (!input) {
    log << "FATAL: error opening " << source << "[end-entry]";
    RaiseError(kControlFileOpenError);
  }

  std::vector<ControlFileSymbol> symbols;
  int line_number = 0;
  while (const std::optional<std::string> line = ReadLine(input.get(), line_number + 1, source, log)) {
    ++line_number;
    const std::string work = " " + *line;
    CheckWorkLineLength(log, work, line_number);
    if (line->front() == '#' || work.find(kSetKeyword) == std::string::npos) continue;
    ControlFileSymbol symbol = DefineSymbol(work, line_number, symbols, log);
    WarnOfDuplicateValues(symbols, symbol, log);
    symbols.push_back(std::move(symbol));
  }

  if (std::fseek(input.get(), 0, SEEK_SET) != 0) {
    log << "FATAL: error rewinding " << source << "[end-entry]";
    RaiseError(kControlFileOpenError);
  }
  std::clearerr(input.get());

  FilePtr output(std::fopen(target.c_str(), "wt"));
  if (!output) {
    log << "FATAL: error opening " << target << "[end-entry]";
    RaiseError(kControlFileOpenError);
  }

  line_number = 0;
  while (const std::optional<std::string> line = ReadLine(input.get(), line_number + 1, source, log)) {
    ++line_number;
    std::string work = " " + *line;
    ReplaceSymbols(work, line_number, symbols, log);
    // A "$set" line that starts at the first character is left out of the copy.
    if (work.size() > 1 && work[1] == '$') continue;
    std::fputs(work.c_str() + 1, output.get());
  }

  CloseChecked(input, source, log);
  CloseChecked(output, target, log);
  return target;
}

std::string CompileControlFile(const std::string& source, DiagnosticsLog& log) {
  int rank = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  const std::string compiled = rank == 0 ? CompileSymbols(source, log) : source + ".$$$";
  // No process reads the copy before process 0 has closed it.
  MPI_Barrier(MPI_COMM_WORLD);
  return compiled;
}

}  // namespace tolvo
