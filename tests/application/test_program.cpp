// Runs the program as a hydrologist would and checks its exit status and diagnostics.
#include <gtest/gtest.h>

#include <cstdlib>

#include "support/example_basin.h"
#include "support/test_support.h"

namespace tolvo {
namespace {

using test::AbortCodeInLog;
using test::ReadFile;
using test::RunProgram;
using test::TempDir;

TEST(Program, WithoutArgumentsShowsTheUsageAndFailsWithTwo) {
  TempDir dir;
  const test::ProgramRun run = RunProgram({}, dir.path(), 2);
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.output.find("usage: tolvovz[o]<32|64>|tolvompi64 <1-st cntrl-file>"), std::string::npos);
  EXPECT_NE(run.output.find("-closeAfterDump: Tolvo stops the program execution immediately"), std::string::npos);
  EXPECT_NE(run.output.find("here is instance 2 of 2"), std::string::npos);
  const std::string xml = ReadFile(dir.file("Tolvo_Diag_0.xml"));
  EXPECT_NE(xml.find("<line level=\"0\" description= \";usage: tolvovz[o]&lt;32|64&gt;"), std::string::npos);
  EXPECT_EQ(AbortCodeInLog(xml), 2);
  EXPECT_FALSE(std::filesystem::exists(dir.file("Tolvo_Diag_1.xml")));
  const std::string check = "xmllint --noout '" + dir.file("Tolvo_Diag_0.xml") + "'";
  EXPECT_EQ(std::system(check.c_str()), 0);
}

TEST(Program, OptionsWithoutControlFileEndNormally) {
  TempDir dir;
  const test::ProgramRun run = RunProgram({"-diaglevel:INFO", "-diagfile:run.xml"}, dir.path(), 0);
  EXPECT_EQ(run.status, 0);
  const std::string xml = ReadFile(dir.file("run_0.xml"));
  EXPECT_NE(run.output.find("exitcode 0\n"), std::string::npos);
  EXPECT_NE(run.output.find("o.k.\n\nthe end."), std::string::npos);
  // The banner and the process report are DEBUG entries, above the INFO level.
  EXPECT_EQ(xml.find("Tolvo-Ulx (MPI)"), std::string::npos);
  EXPECT_NE(run.output.find("*** There are "), std::string::npos);
}

TEST(Program, AFatalErrorAbortsWithItsCodeInTheLog) {
  TempDir dir;
  test::WriteFile(dir.file("basin.ctl"), "[model_time]\n");
  const test::ProgramRun run = RunProgram({"basin.ctl"}, dir.path(), 0);
  const std::string xml = ReadFile(dir.file("Tolvo_Diag_0.xml"));
  const int code = AbortCodeInLog(xml);
  EXPECT_GT(code, 0);
  EXPECT_EQ(run.status, code & 0xFF);
  EXPECT_NE(xml.find("caught at top level!"), std::string::npos);
}

TEST(Program, AnUnknownDiagnosticsLevelIsNamedInAWarning) {
  TempDir dir;
  const test::ProgramRun run = RunProgram({"-diaglevel:verbose"}, dir.path(), 0);
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.output.find("unknown diagnostics level \"verbose\" in -diaglevel:verbose; expected FATAL, ERROR, "
                            "WARNING, INFO or DEBUG; level DEBUG (every entry) is used"),
            std::string::npos);
}

// Control files that are no text files stop at once with the code of their failure.
TEST(Program, ControlFilesThatAreNoTextStopAtOnce) {
  TempDir dir;
  std::filesystem::create_directory(dir.file("folder.ctl"));
  const struct {
    const char* control_file;
    int code;
    const char* entry;
  } cases[] = {
      {"/dev/zero", 17, "NUL character (byte 0) in column 1, a control file must be text, at line 1"},
      {"folder.ctl", 28, "folder.ctl: it is a directory, not a control file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.control_file);
    const test::ProgramRun run = RunProgram({c.control_file}, dir.path(), 0);
    EXPECT_EQ(run.status, c.code);
    const std::string xml = ReadFile(dir.file("Tolvo_Diag_0.xml"));
    EXPECT_EQ(AbortCodeInLog(xml), c.code);
    EXPECT_NE(xml.find(c.entry), std::string::npos) << xml;
  }
}

TEST(Program, ErrorCodesAboveAByteStandWholeInTheLog) {
  // An invalid number of dump files is found while the run is built: each layer logs its
  // entry on the way up, and the status keeps only the low byte of 1061.
  TempDir dir;
  std::filesystem::copy(test::ExampleBasinSource(), dir.path(), std::filesystem::copy_options::recursive);
  std::filesystem::create_directories(dir.path() / "out");
  const test::ProgramRun run = RunProgram({"basin.ctl", "-dumpmode:x"}, dir.path(), 0);
  const std::string xml = ReadFile(dir.file("Tolvo_Diag_0.xml"));
  EXPECT_EQ(AbortCodeInLog(xml), 1061);
  EXPECT_EQ(run.status, 1061 & 0xFF);
  const std::size_t invalid = xml.find("invalid number of max dumpfiles given in argument -dumpmode:x");
  const std::size_t init = xml.find("exceptions in ModellApplication::init() caught!");
  const std::size_t top = xml.find("Exception 1061 caught at top level!");
  EXPECT_LT(invalid, init);
  EXPECT_LT(init, top);
  EXPECT_NE(top, std::string::npos);
}

}  // namespace
}  // namespace tolvo
