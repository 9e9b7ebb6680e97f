#include "framework/diagnostics_log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>

#include "framework/error_code.h"
#include "support/test_support.h"
#include "support/xml_check.h"

namespace tolvo {
namespace {

using test::ReadFile;
using test::TempDir;

// Runs the body with the working directory set to `dir`, restoring it afterwards.
template <typename Body>
void InDirectory(const std::filesystem::path& dir, Body body) {
  const std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(dir);
  body();
  std::filesystem::current_path(previous);
}

// The lines of the diagnostics file between the start line and the finish line.
std::vector<std::string> EntryLines(const std::string& xml) {
  std::vector<std::string> lines;
  std::istringstream in(xml);
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with("\t<line") && line.find("Tolvo start at") == std::string::npos &&
        line.find("Tolvo finished at") == std::string::npos) {
      lines.push_back(line);
    }
  }
  return lines;
}

TEST(DiagnosticsLog, PerProcessNameCutsOnlyTheLastPathComponent) {
  const struct {
    const char* given;
    const char* expected;
  } cases[] = {{"run.xml", "run_0.xml"},
               {"out", "out_0.xml"},
               {"a.b/diag", "a.b/diag_0.xml"},
               {"a.b/diag.x.xml", "a.b/diag.x_0.xml"},
               {"Tolvo_Diag.xml", "Tolvo_Diag_0.xml"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.given);
    EXPECT_EQ(DiagnosticsLog::PerProcessName(c.given, 0), c.expected);
  }
  EXPECT_EQ(DiagnosticsLog::PerProcessName("run.xml", 12), "run_12.xml");
}

TEST(DiagnosticsLog, FileFormEscapesForAnXmlAttribute) {
  const struct {
    const char* text;
    const char* form;
  } cases[] = {{"a<b", "a&lt;b"},
               {"R&D's \"x\" > y", "R&amp;D&apos;s &quot;x&quot; &gt; y"},
               {"&lt;", "&amp;lt;"},
               {"line1\nline2", "line1;line2"},
               {"-----", "--"},
               {"a---b--c", "a--b--c"},
               {"done[end-entry]", "done\"/>"},
               {"[end-entry]", "\"/>"},
               // Characters XML forbids, and bytes that are not UTF-8, are shown by code.
               {"bell\a, tab\t", "bell\\x07, tab\t"},
               {"1 2\r", "1 2\\x0D"},
               {"caf\xC3\xA9 \xE2\x82\xAC", "caf\xC3\xA9 \xE2\x82\xAC"},
               {"a\xFF" "b", "a\\xFFb"},
               {"cut \xC3", "cut \\xC3"},
               {"overlong \xC0\xAF", "overlong \\xC0\\xAF"},
               {"surrogate \xED\xA0\x80", "surrogate \\xED\\xA0\\x80"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(DiagnosticsLog::FileForm(c.text), c.form);
  }
}

TEST(DiagnosticsLog, EntriesBecomeOneLineEachWithTheirLevel) {
  TempDir dir;
  std::ostringstream console;
  {
    DiagnosticsLog log(dir.file("run.xml"), 4, console);
    log << "FATAL: \nerror opening file " << std::string("in/x.grd") << "[end-entry]";
    log << 42 << " cells" << "[end-entry]";
    log << std::string(76, '-').c_str() << "[end-entry]";
    log << "SKIP: press a key" << "[end-entry]";
    log << "WARNING: a & b" << "[end-entry]";
  }
  const std::string xml = ReadFile(dir.file("run_0.xml"));
  const std::vector<std::string> lines = EntryLines(xml);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "\t<line level=\"0\" description= \";error opening file in/x.grd\"/>");
  EXPECT_EQ(lines[1], "\t<line level=\"4\" description= \"42 cells\"/>");
  EXPECT_EQ(lines[2], "\t<line level=\"4\" description= \"--\"/>");
  EXPECT_EQ(lines[3], "\t<line level=\"2\" description= \"a &amp; b\"/>");
  EXPECT_TRUE(xml.starts_with("<?xml version='1.0' encoding='UTF-8'?>\n<Diag version=\"1.2\" xmlns=\""));
  EXPECT_TRUE(xml.ends_with("\"/>\n</Diag>\n"));

  // The console shows texts without prefixes or markers, each entry followed by the
  // prefix of the next line; the first line has none.
  const std::string expected_console = "\nerror opening file in/x.grd\n(mpi-rank  0) 42 cells\n(mpi-rank  0) " +
                                       std::string(76, '-') +
                                       "\n(mpi-rank  0) press a key\n(mpi-rank  0) a & b\n(mpi-rank  0) ";
  EXPECT_EQ(console.str(), expected_console);
}

TEST(DiagnosticsLog, MaximumLevelFiltersTheFileButNotTheConsole) {
  TempDir dir;
  std::ostringstream console;
  {
    DiagnosticsLog log(dir.file("d.xml"), 2, console);
    log << "INFO: hidden" << "[end-entry]";
    log << "WARNING: shown" << "[end-entry]";
    log << "DEBUG: open but never ended";
  }
  const std::vector<std::string> lines = EntryLines(ReadFile(dir.file("d_0.xml")));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "\t<line level=\"2\" description= \"shown\"/>");
  EXPECT_NE(console.str().find("hidden"), std::string::npos);
}

TEST(DiagnosticsLog, AnEntryLeftOpenIsClosedAtTheEnd) {
  TempDir dir;
  std::ostringstream console;
  { DiagnosticsLog(dir.file("d.xml"), 4, console) << "ERROR: unfinished " << 3.5; }
  const std::string xml = ReadFile(dir.file("d_0.xml"));
  EXPECT_NE(xml.find("\t<line level=\"1\" description= \"unfinished 3.5\"/>\n\t<line level=\"3\" description= "
                     "\"Tolvo finished at "),
            std::string::npos);
}

TEST(DiagnosticsLog, FallsBackToTheDefaultNameThenFailsWith320) {
  TempDir dir;
  InDirectory(dir.path(), [&] {
    std::ostringstream console;
    { DiagnosticsLog log(dir.file("missing/dir/run.xml"), 4, console); }
    EXPECT_TRUE(std::filesystem::exists(dir.file("Tolvo_Diag.xml")));
    EXPECT_NE(console.str().find("error opening diagnostics output file " + dir.file("missing/dir/run_0.xml")),
              std::string::npos);
    EXPECT_NE(console.str().find("using default name Tolvo_Diag.xml"), std::string::npos);
  });

  // A working directory that no longer exists cannot take the default file either.
  TempDir gone;
  const std::filesystem::path previous = std::filesystem::current_path();
  const std::filesystem::path vanished = gone.path() / "vanished";
  std::filesystem::create_directory(vanished);
  std::filesystem::current_path(vanished);
  std::filesystem::remove(vanished);
  std::ostringstream console;
  try {
    DiagnosticsLog log("missing/run.xml", 4, console);
    ADD_FAILURE() << "expected error code 320";
  } catch (const ErrorCode& error) {
    EXPECT_EQ(error.code, 320);
  }
  std::filesystem::current_path(previous);
  EXPECT_NE(console.str().find("Error opening diagnostics output file Tolvo_Diag.xml"), std::string::npos);
}

TEST(DiagnosticsLog, AnyPieceLeavesTheFileWellFormed) {
  TempDir dir;
  std::ostringstream console;
  {
    DiagnosticsLog log(dir.file("d.xml"), 4, console);
    std::string every_byte;
    for (int b = 0; b < 256; ++b) every_byte += static_cast<char>(b);
    log << "FATAL: " << every_byte << "[end-entry]";
    log << every_byte.c_str() + 1 << "[end-entry]";
  }
  const std::string xml = ReadFile(dir.file("d_0.xml"));
  EXPECT_EQ(test::XmlProblem(xml), "") << xml;
}

TEST(DiagnosticsLog, QuotesALongLineCutWithItsLength) {
  EXPECT_EQ(QuotedExcerpt("3 soil types"), "3 soil types");
  EXPECT_EQ(QuotedExcerpt(std::string(kMaxQuotedLength, 'x')), std::string(kMaxQuotedLength, 'x'));
  EXPECT_EQ(QuotedExcerpt(std::string(100000, 'x')), std::string(kMaxQuotedLength, 'x') + " ... (100000 characters)");
  // A character of two bytes across the cut is left out whole.
  const std::string umlauts = std::string(kMaxQuotedLength - 1, 'x') + "\xC3\xBC\xC3\xBC";
  EXPECT_EQ(QuotedExcerpt(umlauts), std::string(kMaxQuotedLength - 1, 'x') + " ... (303 characters)");
}

TEST(DiagnosticsLog, EndAfterFatalEndsTheFileOnceWithEveryFatalEntry) {
  TempDir dir;
  std::ostringstream console;
  {
    DiagnosticsLog log(dir.file("d.xml"), 0, console);
    log << "INFO: not written at level 0" << "[end-entry]";
    log << "FATAL: read error " << std::string("dem.asc") << " ! (" << 19 << ")" << "[end-entry]";
    log << "FATAL: left open";
    EXPECT_TRUE(log.EndAfterFatal());
    // Nothing follows the end: the entry of a later error and the destructor add nothing.
    log << "FATAL: after the end" << "[end-entry]";
  }
  const std::string xml = ReadFile(dir.file("d_0.xml"));
  EXPECT_EQ(test::XmlProblem(xml), "") << xml;
  const std::vector<std::string> lines = EntryLines(xml);
  ASSERT_EQ(lines.size(), 2u) << xml;
  EXPECT_EQ(lines[0], "\t<line level=\"0\" description= \"read error dem.asc ! (19)\"/>");
  EXPECT_EQ(lines[1], "\t<line level=\"0\" description= \"left open\"/>");
  EXPECT_TRUE(xml.ends_with("\"/>\n</Diag>\n"));
}

}  // namespace
}  // namespace tolvo
