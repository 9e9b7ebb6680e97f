#include "framework/text_helpers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tolvo {
namespace {

struct SplitCase {
  const char* label;
  std::string text;
  std::string delimiters;
  bool empty_tokens;
  std::vector<std::string> expected;
};

TEST(SplitString, CutsAtDelimitersAndKeepsQuotedTokensWhole) {
  const std::vector<SplitCase> cases = {
      {"runs of delimiters give no empty token", "a;;b c,", "\t ;,", false, {"a", "b", "c"}},
      {"flag adds the token after a final delimiter", "a;;b c,", "\t ;,", true, {"a", "b", "c", ""}},
      {"empty text", "", " ", false, {}},
      {"empty text with flag", "", " ", true, {""}},
      {"only delimiters", "  ", " ", false, {}},
      {"only delimiters with flag", "  ", " ", true, {"", ""}},
      {"quoted token stays whole", "x \"a b\" y", " ", false, {"x", "\"a b\"", "y"}},
      {"quote as delimiter splits", "x \"a b\" y", " \"", false, {"x", "a", "b", "y"}},
      {"escaped quote does not close", R"("a\" b" c)", " ", false, {R"("a\" b")", "c"}},
      {"quote after two backslashes closes", R"("a\\" b)", " ", false, {R"("a\\")", "b"}},
      {"unclosed quote takes the rest", "x \"a b c", " ", false, {"x", "\"a b c"}},
      {"character glued to a closing quote is dropped", "\"ab\"x y", " ", false, {"\"ab\"", "y"}},
      {"leading delimiters skipped", "  a b", " ", false, {"a", "b"}},
  };
  for (const SplitCase& c : cases) {
    SCOPED_TRACE(c.label);
    std::vector<std::string> tokens;
    EXPECT_EQ(SplitString(c.text, c.delimiters, tokens, c.empty_tokens), static_cast<int>(c.expected.size()));
    EXPECT_EQ(tokens, c.expected);
  }
}

TEST(SplitString, AppendsToTheListAndCountsIt) {
  std::vector<std::string> tokens = {"old"};
  EXPECT_EQ(SplitString("p q", " ", tokens, false), 3);
  EXPECT_EQ(tokens, (std::vector<std::string>{"old", "p", "q"}));
}

TEST(StrPos, ZeroMeansNotFoundAlsoForAMatchAtTheStart) {
  EXPECT_EQ(StrPos("/data/x", "/"), 0);
  EXPECT_EQ(StrPos("data", "/"), 0);
  EXPECT_EQ(StrPos("a/b/c", "/"), 1);
  EXPECT_EQ(StrPos(" $set $a = 1", "$set"), 1);
}

TEST(StrCut, KeepsTheStretchFromStartToStartPlusLength) {
  std::string buffer = "abcdef";
  EXPECT_EQ(StrCut(buffer, 2, 1), "cd");
  buffer = "abcdef";
  EXPECT_EQ(StrCut(buffer, 0, 2), "abc");
  buffer = "abcdef";
  EXPECT_EQ(StrCut(buffer, -1, 2), "abcdef");
  EXPECT_EQ(StrCut(buffer, 1, -2), "abcdef");
  // A stretch beyond the end of the text keeps what there is, a start beyond it nothing changes.
  EXPECT_EQ(StrCut(buffer, 4, 10), "ef");
  EXPECT_EQ(StrCut(buffer, 9, 0), "ef");
}

}  // namespace
}  // namespace tolvo
