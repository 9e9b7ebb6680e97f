// The first reading of the routing description: keyword counts and the end of the text.
#include <gtest/gtest.h>

#include "framework/control_file_stream.h"
#include "routing/routing_description.h"
#include "support/test_support.h"

namespace tolvo {
namespace {

TEST(CountSubstring, CountsOverlappingOccurrences) {
  const struct {
    const char* text;
    const char* pattern;
    int count;
  } cases[] = {
      {"OL 1 OL 2", "OL", 2},
      {"AAA", "AA", 2},  // the second search starts one character after the first match
      {"SUMTRIB 4&5&6", "&", 2},
      {"TOTAL", "AL", 1},  // keywords are found inside words too
      {"", "TG", 0},
      {"T G", "TG", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(CountSubstring(c.text, c.pattern), c.count);
  }
}

class DescriptionTest : public test::LogFixture {
 protected:
  DescriptionCounts Count(const std::string& text) {
    test::WriteFile(dir_.file("description.txt"), text);
    file_ = ControlFileStream(dir_.file("description.txt"));
    return CountDescriptionKeywords(file_, log_);
  }
  ControlFileStream file_;
};

TEST_F(DescriptionTest, CountsEveryKeywordUpToTheLineWithoutOne) {
  const DescriptionCounts c = Count(
      "TG 3 (A=12, scale=1) SP 1\n"
      " OL 1 (kh=1, ...)\n"
      " SUMTRIB 4&5&6 (...)\n"
      "TG 7 (A=30) ZL 1 (ZL 2 in a label)\n"
      " AL 1 (...)\n"
      "end of the description\n"
      "TG 9 after the end\n");
  EXPECT_EQ(c.tg, 2);
  EXPECT_EQ(c.ol, 1);
  EXPECT_EQ(c.sumtrib, 1);
  EXPECT_EQ(c.ampersand, 2);
  EXPECT_EQ(c.zl, 2);
  EXPECT_EQ(c.al, 1);
  EXPECT_EQ(c.sp, 1);
  // The closing line is read, nothing after it.
  bool line_end = false;
  EXPECT_EQ(file_.ReadLine(line_end), "TG 9 after the end");

  LogDescriptionSummary(log_, c);
  for (const char* line : {"number inbetween areas (routings)    : 2", "number tributaries  total      (OL)  : 4",
                           " - flowing into another at the end   : 1", " - flowing into another at the start : 3",
                           "so the total of routingchannels is   : 2", "number of inflows              (ZL)  : 2",
                           "number of abstractions         (AL)  : 1", "number reservoirs              (SP)  : 1"}) {
    EXPECT_TRUE(Logged(line)) << line;
  }
}

TEST_F(DescriptionTest, ADescriptionWithoutItsClosingLineFails) {
  EXPECT_EQ(test::CodeOf([&] { Count("TG 1 (A=1)\n OL 2 (...)\n"); }), 38);
  EXPECT_TRUE(Logged("error reading a routing description from control file! (eof reached).")) << console_.str();
  // A closing line without its line end still closes.
  EXPECT_EQ(Count("TG 1\nend").tg, 1);
  EXPECT_EQ(Count("end\n").tg, 0);
}

}  // namespace
}  // namespace tolvo
