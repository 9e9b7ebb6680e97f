#include "framework/diagnostics_file.h"

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace tolvo {
namespace {

using test::ReadFile;
using test::TempDir;

// Process 0 has written the first line of a fatal error when another process that met the
// same error ends the file: the file gets the rest of the error's lines, once, and then
// takes nothing more from anyone.
TEST(DiagnosticsFile, TheProcessThatEndsTheFileAddsOnlyTheMissingLines) {
  TempDir dir;
  const std::string name = dir.file("d_0.xml");
  DiagnosticsFile creator;
  ASSERT_TRUE(creator.Create(name));
  EXPECT_TRUE(creator.Append("<Diag>\n\t<x a=\"first\"/>\n"));

  DiagnosticsFile other;
  ASSERT_TRUE(other.Attach(name));
  const std::vector<std::string> lines = {"\t<x a=\"first\"/>\n", "\t<x a=\"caught\"/>\n", "\t<x a=\"first\"/>\n"};
  const std::optional<std::vector<std::size_t>> appended = other.End(lines, "</Diag>\n");
  ASSERT_TRUE(appended.has_value());
  EXPECT_EQ(*appended, (std::vector<std::size_t>{1, 2}));

  EXPECT_FALSE(creator.Append("\t<x a=\"late\"/>\n"));
  EXPECT_FALSE(creator.End({"\t<x a=\"late\"/>\n"}, "</Diag>\n").has_value());
  EXPECT_EQ(ReadFile(name), "<Diag>\n\t<x a=\"first\"/>\n\t<x a=\"caught\"/>\n\t<x a=\"first\"/>\n</Diag>\n");
}

TEST(DiagnosticsFile, AttachingNeedsTheFileOfProcessZero) {
  TempDir dir;
  DiagnosticsFile other;
  EXPECT_FALSE(other.Attach(dir.file("d_0.xml")));
  EXPECT_FALSE(std::filesystem::exists(dir.file("d_0.xml")));
}

}  // namespace
}  // namespace tolvo
