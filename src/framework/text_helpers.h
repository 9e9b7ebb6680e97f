#pragma once
// Small text operations shared by the control-file readers, the table parsers, the
// special output and the file-name handling. Their quirks are part of their contract.

#include <string>
#include <string_view>
#include <vector>

namespace tolvo {

// Cuts text into tokens at any of the delimiter characters and appends them to tokens
// (which is not cleared); returns the list's length afterwards. Runs of delimiters give
// no empty tokens. A token that begins with a double quote (when the quote is not a
// delimiter) runs to the closing quote, quotes included; a quote preceded by one
// backslash does not close it, one preceded by two backslashes does, and the character
// right after the closing quote is skipped. Without a closing quote the token is the rest
// of the text. With empty_tokens, a text of only delimiters yields one empty token at its
// first delimiter, and a text that is empty or ends with a delimiter one more at its end.
int SplitString(std::string_view text, std::string_view delimiters, std::vector<std::string>& tokens,
                bool empty_tokens);

// The 0-based offset of the first occurrence of pattern in text, or 0 when there is none.
// A match at offset 0 also gives 0: callers read 0 as "not found".
int StrPos(std::string_view text, std::string_view pattern);

// Cuts buffer in place to the length + 1 characters at positions start .. start + length
// (as far as the text reaches); a negative start or length, or a start beyond the end of
// the text, leaves it unchanged. Returns the buffer.
std::string& StrCut(std::string& buffer, int start, int length);

}  // namespace tolvo
