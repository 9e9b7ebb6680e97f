#pragma once
// Parameter blocks: table entries of the control file written as
//
//     code name { key = values; key = values; ... }
//
// on one line or spread over several. A key is a fixed, case-sensitive word found as a
// substring at its first occurrence in the searched text (so it also matches inside a
// longer word). The value text of a key runs from the first "=" after the start of the
// key to the first ";" after the start of the key; when that ";" is missing or stands
// before the "=", it runs to the end of the searched text; when no "=" follows the key,
// the value text begins at the key itself, so that no number can be read from it.
//
// Numbers are read from the start of a text after blanks, tabs and line ends, in plain
// decimal notation; a text that does not begin with a number reads as 0 without error.
//
// The reading operations log nothing. A required key that is not present, or a value
// that cannot stand (a list shorter than its known length, a day that is not an
// integer), raises BlockReadFailure; the block parser of the table catches it, logs the
// table's own fatal entry with the block text and raises the table's error code.

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tolvo {

class ControlFileStream;

// A failure while one block is parsed. `detail` is empty for a required key that is not
// present (the table's generic entry says all); otherwise it is the text of a specific
// fatal entry (without the "FATAL: " prefix) that the block parser logs first.
struct BlockReadFailure {
  std::string detail;
};

// Longest entry name; the name field of a record holds one character more.
inline constexpr std::size_t kMaxEntryNameLength = 199;

// --- reading the control file --------------------------------------------------------

// The next line of the control file without its line end (a trailing carriage return is
// dropped too), or nothing at the end of the file. Lines of any length are read whole.
std::optional<std::string> ReadControlLine(ControlFileStream& file);

// The block text of an entry whose first line is `first_line`: that line and every
// further line, each with its line end, until the text contains a "}". Text after the
// "}" on the closing line belongs to the block. Nothing when the file ends before a "}".
std::optional<std::string> CollectBlockText(ControlFileStream& file, std::string_view first_line);

// --- keys and value texts --------------------------------------------------------------

// Position of the first (last) occurrence of `key` in `text`, or nothing.
std::optional<std::size_t> FindKey(std::string_view text, std::string_view key);
std::optional<std::size_t> FindLastKey(std::string_view text, std::string_view key);
inline bool HasKey(std::string_view text, std::string_view key) { return FindKey(text, key).has_value(); }

// The value text of the key occurrence that starts at `key_position`.
std::string_view ValueTextAt(std::string_view text, std::size_t key_position);
// The value text of the first occurrence of `key`; BlockReadFailure when it is absent.
std::string_view BlockValueText(std::string_view text, std::string_view key);

// The text from the first "{" on (the whole text when there is none): the part in which
// the land-use and soil block parsers search their keys.
std::string_view BlockBody(std::string_view block_text);

// --- numbers -----------------------------------------------------------------------------

// Skips blanks, tabs and line ends, then reads the longest leading decimal number
// (optional sign, digits, optional point and fraction, optional exponent). Nothing when
// no number stands there; on success `text` is advanced past the number.
std::optional<double> ScanNumber(std::string_view& text);
// The same for an integer (optional sign and digits); an integer beyond the range of int
// raises BlockReadFailure.
std::optional<int> ScanInteger(std::string_view& text);

// One number (integer) from the start of a text; 0 when none stands there.
double ReadNumber(std::string_view text);
int ReadInteger(std::string_view text);

// Tokens of `text` cut at every delimiter character; runs of delimiters give no empty
// token and leading delimiters are skipped.
std::vector<std::string_view> SplitTokens(std::string_view text, std::string_view delimiters);

// --- reading operations ----------------------------------------------------------------

// One number from the value text of `key`.
double ReadBlockValue(std::string_view text, std::string_view key);
// One integer from the value text of `key`.
int ReadBlockInteger(std::string_view text, std::string_view key);

// The first n numbers of the value text of `key` (n = table.size() - 1), separated by
// blanks, tabs or line ends, into positions 1..n of `table`; position 0 receives a copy
// of position n (the value before the first entry is the last entry of the previous
// cycle). Numbers beyond the n-th are ignored; fewer than n raise BlockReadFailure
// naming the key.
void ReadBlockValueList(std::string_view text, std::string_view key, std::span<double> table);

// A day list: its length is the number of tokens of the value text of `key` split at
// tab, blank, ";" and ","; the days are read in order. Returns a table of count+1
// integers with the days at positions 1..count and position 0 = last day - 366 (the last
// day of the previous year); an empty table when the value text holds no token. A token
// that is not one integer (line ends around it aside) raises BlockReadFailure naming the
// key, as a silently shifted day list would corrupt every fixpoint table.
std::vector<int> ReadBlockDayList(std::string_view text, std::string_view key);

// A comma-separated integer list: the value text of `key` split at "," and ";"; each
// token contributes the integer at its start (after blanks), a token without one is
// skipped. Returns the table with the count at position 0 and the integers at 1..count.
std::vector<int> ReadBlockIntegerList(std::string_view text, std::string_view key);

// The head of a block: the code (integer) and the name (one word) at the start of the
// block text. A head without code or name, or a name longer than kMaxEntryNameLength,
// raises BlockReadFailure.
struct BlockHead {
  int code = 0;
  std::string name;
};
BlockHead ReadBlockHead(std::string_view block_text);

}  // namespace tolvo
