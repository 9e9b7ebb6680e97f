#include "framework/command_line.h"

#include <gtest/gtest.h>

namespace tolvo {
namespace {

CommandLine Scan(std::vector<const char*> args) {
  args.insert(args.begin(), "tolvompi64");
  return ScanCommandLine(static_cast<int>(args.size()), args.data());
}

TEST(CommandLine, DiagnosticsOptionsAndControlFiles) {
  const CommandLine line = Scan({"a.ctl", "-diaglevel:warning", "-dumpmode:25", "b.ctl", "-diagfile:run.xml"});
  EXPECT_EQ(line.max_diag_level, 2);
  EXPECT_EQ(line.diaglevel_position, 2);
  EXPECT_EQ(line.diagnostics_file, "run.xml");
  EXPECT_EQ(line.diagfile_position, 5);
  EXPECT_EQ(line.control_file_positions, (std::vector<int>{1, 4}));
}

TEST(CommandLine, RepeatedOptionsAreNeverControlFiles) {
  const CommandLine line = Scan({"-diaglevel:ERROR", "-diagfile:x", "-diaglevel:INFO", "-diagfile:", "c.ctl"});
  EXPECT_EQ(line.max_diag_level, 3);
  EXPECT_EQ(line.diaglevel_position, 3);
  EXPECT_EQ(line.diagnostics_file, "");
  EXPECT_EQ(line.control_file_positions, (std::vector<int>{5}));
}

TEST(CommandLine, DumpOptionWordsAnywhereAndLevelWords) {
  const CommandLine line = Scan({"my-closeAfterDump.ctl", "-repairAfterDump", "-DiagLevel:INFO"});
  // The prefix comparison is case-sensitive: a differently spelt option is a control file.
  EXPECT_EQ(line.control_file_positions, (std::vector<int>{3}));
  const std::pair<const char*, int> levels[] = {{"FATAL", 0}, {"error", 1}, {"Warning", 2},
                                                {"INFO", 3},  {"DEBUG", 4}, {"verbose", 4}};
  for (const auto& [word, level] : levels) EXPECT_EQ(DiagLevelFromWord(word), level) << word;
}

TEST(CommandLine, AnUnknownLevelWordIsKeptForItsWarning) {
  const struct {
    std::vector<const char*> args;
    std::optional<std::string> unknown;
  } cases[] = {
      {{"-diaglevel:verbose", "c.ctl"}, "verbose"},
      {{"-diaglevel:", "c.ctl"}, ""},
      {{"-diaglevel:debug"}, std::nullopt},
      {{"c.ctl"}, std::nullopt},
      {{"-diaglevel:x", "-diaglevel:Info"}, std::nullopt},  // the last occurrence holds
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.front());
    const CommandLine line = Scan(c.args);
    EXPECT_EQ(line.unknown_diag_level, c.unknown);
  }
}

}  // namespace
}  // namespace tolvo
