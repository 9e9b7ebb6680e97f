#pragma once
// Control-file symbols: "$set $name = value" lines define symbols that every other line
// may use; "//" joins a symbol with the text after it and "#" begins a comment. Before
// anything else is read, process 0 compiles the control file into a copy named after it
// with ".$$$" appended, with every symbol substituted and comments and joining marks cut;
// every model object of every process then reads only that copy.
//
// Limits (each refused with a FATAL entry and 17, never truncated): 1999 symbols, 299
// characters per name or value, 1200 characters per line before and after substitution.
// A symbol whose value uses its own name is refused the same way.

#include <span>
#include <string>
#include <vector>

#include "framework/diagnostics_log.h"

namespace tolvo {

struct ControlFileSymbol {
  std::string name;   // as written, with its leading '$'
  std::string value;  // fully substituted
};

inline constexpr int kMaxSymbols = 1999;
inline constexpr std::size_t kMaxSymbolLength = 299;
inline constexpr std::size_t kMaxControlLineLength = 1200;

// Substitutes the symbols in one line or value, in place: cuts a comment ('#' after the
// first character) to a line end; leaves a text containing "$set" otherwise untouched;
// replaces each '$' word (cut at "//" and ';') by the value of the first symbol of that
// name; then removes every "//". An undefined symbol, a use of the symbol being defined
// (defining: its index in symbols, or -1) or a result longer than 1200 characters logs
// its FATAL entry naming line_number and raises 17.
std::string& ReplaceSymbols(std::string& text, int line_number, std::span<const ControlFileSymbol> symbols,
                            DiagnosticsLog& log, int defining = -1);

// Compiles the control file source into source + ".$$$" and returns that name (process 0
// only). Files that cannot be opened or rewound fail with 28, not closed or written with 11.
std::string CompileSymbols(const std::string& source, DiagnosticsLog& log);

// Collective: process 0 compiles the control file, every other process forms the same
// name; all wait at a barrier until the copy is closed. Returns the copy's name.
std::string CompileControlFile(const std::string& source, DiagnosticsLog& log);

}  // namespace tolvo
