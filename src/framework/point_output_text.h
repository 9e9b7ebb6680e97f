#pragma once
// The "key=value;" items of the section "[special_output]". A key counts only where it
// stands as a whole word (at the start of the text or after a blank, a line end, ";", "{"
// or "}") followed by optional blanks and "=": a key inside another word or inside a value
// ("ID" in "header=GridIDs;") is not the item. The value runs from that "=" to the next
// ";", or to the end of the text when none follows.

#include <string>
#include <string_view>
#include <vector>

namespace tolvo {

enum class KeyStatus {
  kFound,
  kAbsent,      // the key does not stand in the text
  kNotANumber,  // a numeric item (or one piece of a list) that does not begin with a number
};

// The first item of the key: an integer read from the start of the value.
KeyStatus GetKeyValue(std::string_view text, std::string_view key, int& value);
// The first item of the key: the first blank-separated word of the value (empty when the
// value holds none), so a header or file name cannot contain blanks.
KeyStatus GetKeyValue(std::string_view text, std::string_view key, std::string& value);
// The last item of the key: the numbers of a list whose pieces are separated by blanks,
// tabs, line ends or commas. An absent key gives an empty list.
KeyStatus GetKeyValue(std::string_view text, std::string_view key, std::vector<double>& values);
KeyStatus GetKeyValue(std::string_view text, std::string_view key, std::vector<int>& values);

// Where the next entity group of a file block begins: the offset of the first whole word
// "entity" at or after `from`, or npos.
std::size_t FindEntityWord(std::string_view text, std::size_t from);

}  // namespace tolvo
