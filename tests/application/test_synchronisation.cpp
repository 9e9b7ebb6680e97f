#include "application/synchronisation.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <sstream>
#include <thread>

#include "framework/diagnostics_log.h"
#include "framework/error_code.h"
#include "framework/signals.h"
#include "support/test_support.h"

namespace tolvo {
namespace {

namespace fs = std::filesystem;

TEST(CommandFile, CommandWords) {
  const struct {
    const char* line;
    std::optional<int> state;
  } cases[] = {
      {"Command=SaveAndContinue;", 3},  // the word ends at ';' and is tested before "Continue"
      {"Command=Continue;\n", 0},
      {"Command=Finish", 1},
      {"Command=StopWithoutSaving;", 2},
      {"xx Command=Finish_now;", 1},     // a part of the word
      {"Command= Finish;", std::nullopt},  // no word right after "Command="
      {"Command=Fin;ish", std::nullopt},
      {"Finish", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(CommandState(c.line), c.state);
  }
}

TEST(CommandFile, PauseBetweenLooksIsAValidSleep) {
  const struct {
    long long interval_ms, seconds, nanoseconds;
  } cases[] = {{100, 0, 100000000}, {999, 0, 999000000}, {1000, 1, 0}, {1500, 1, 500000000}, {0, 0, 0}, {-5, 0, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.interval_ms);
    const PollPause pause = PollPauseOf(c.interval_ms);
    EXPECT_EQ(pause.seconds, c.seconds);
    EXPECT_EQ(pause.nanoseconds, c.nanoseconds);
  }
}

TEST(CouplingPeriods, WhenToWaitAndWhenToWrite) {
  const ModelDate start{-1, -1, -1, -1};
  const ModelDate jan31{2001, 1, 31, 24};
  const ModelDate feb1{2001, 2, 1, 24};
  const ModelDate feb2{2001, 2, 2, 24};
  // The first step is always due; 'M' waits again in a new month only.
  for (char mode : {'I', 'H', 'D', 'M', 'Y'}) EXPECT_TRUE(SyncDue(mode, jan31, start)) << mode;
  EXPECT_FALSE(SyncDue('X', jan31, start));
  EXPECT_TRUE(SyncDue('M', feb1, jan31));
  EXPECT_FALSE(SyncDue('M', feb2, feb1));
  EXPECT_TRUE(SyncDue('D', feb2, feb1));
  EXPECT_TRUE(SyncDue('I', feb1, feb1));

  // The step before `next` ends a period when that part of the date changes, or at the
  // end of the input.
  EXPECT_TRUE(EndsCouplingPeriod('M', false, feb1, jan31));
  EXPECT_FALSE(EndsCouplingPeriod('M', false, feb2, feb1));
  EXPECT_TRUE(EndsCouplingPeriod('M', true, feb2, feb1));
  EXPECT_TRUE(EndsCouplingPeriod('I', false, feb2, feb2));
  EXPECT_FALSE(EndsCouplingPeriod('Y', false, feb1, jan31));

  const CalendarEnds month_end = CalendarEndsOf(feb1, jan31, false);
  EXPECT_TRUE(month_end.day);
  EXPECT_TRUE(month_end.month);
  EXPECT_FALSE(month_end.year);
  const CalendarEnds last = CalendarEndsOf(feb2, feb2, true);
  EXPECT_TRUE(last.day && last.month && last.year);
}

// Runs in a fresh working directory, where the temporary command file goes.
class InWorkingDirectory : public ::testing::Test {
 protected:
  InWorkingDirectory() : previous_(fs::current_path()) { fs::current_path(dir_.path()); }
  ~InWorkingDirectory() override { fs::current_path(previous_); }
  bool Logged(const std::string& text) const { return console_.str().find(text) != std::string::npos; }

  test::TempDir dir_;
  fs::path previous_;
  std::ostringstream console_;
  DiagnosticsLog log_{dir_.file("d.xml"), 4, console_};
};

TEST_F(InWorkingDirectory, CommandFilesHoldExactlyTheTextAndReplaceOldOnes) {
  test::WriteFile("inform.cmd", "an older, longer command file");
  WriteCommandFile(log_, "inform.cmd", "Command=StepDone;");
  EXPECT_EQ(test::ReadFile("inform.cmd"), "Command=StepDone;");
  WriteFinishCommandFile(log_, "inform.cmd_Done");
  EXPECT_EQ(test::ReadFile("inform.cmd_Done"), "Command=Finish;");
  EXPECT_EQ(fs::file_size("inform.cmd_Done"), 15u);
  WriteCommandFile(log_, "empty.cmd", "");
  EXPECT_EQ(fs::file_size("empty.cmd"), 0u);
  EXPECT_FALSE(fs::exists(kTemporaryCommandFile));
}

TEST_F(InWorkingDirectory, ACommandFileThatCannotBeWrittenFails) {
  try {
    WriteCommandFile(log_, "missing/inform.cmd", "Command=StepDone;");
    ADD_FAILURE();
  } catch (const ErrorCode& error) {
    EXPECT_EQ(error.code, 18);
  }
  EXPECT_TRUE(Logged("error renaming synchronisation file Tolvo_Ulx_temporary_semaphore.file to missing/inform.cmd"));
}

// Writes `text` into the file at `path` after `delay`, through a rename.
std::thread WriteLater(const std::string& path, const std::string& text, std::chrono::milliseconds delay) {
  return std::thread([=] {
    std::this_thread::sleep_for(delay);
    test::WriteFile(path + ".part", text);
    fs::rename(path + ".part", path);
  });
}

TEST_F(InWorkingDirectory, WaitsForTheFileAndTakesItsCommand) {
  const struct {
    int state_before;
    const char* content;
    int state_after;
  } cases[] = {
      {0, "Command=SaveAndContinue;\n", 3},
      {0, "Command=Finish", 1},
      {1, "Command=Continue;", 0},  // a command replaces what was agreed at the step start
      {3, "no command here", 3},    // without one the agreed state stays
      {0, "", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.content);
    fs::remove("to_model.cmd");
    std::thread writer = WriteLater("to_model.cmd", c.content, std::chrono::milliseconds(30));
    volatile std::sig_atomic_t state = c.state_before;
    EXPECT_EQ(WaitForCommandFile(log_, "to_model.cmd", 5, state, stdin), 1);
    writer.join();
    EXPECT_EQ(state, c.state_after);
    EXPECT_TRUE(fs::exists("to_model.cmd"));  // the file is left for the grid exchange to delete
  }
  EXPECT_TRUE(Logged("waiting for external synchronisation file to_model.cmd...found it! "));
}

TEST_F(InWorkingDirectory, CtrlCWhileWaitingOpensItsMenu) {
  const struct {
    const char* keys;
    const char* content;
    int state_after;  // or the error code
  } cases[] = {
      {"3", "nothing", 3},               // the choice waits for the command file
      {"1", "Command=Continue;", 0},     // and the command replaces it
      {"0", "nothing", 0},
      {"7", "nothing", 0},
      {"2", "nothing", 98},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.keys);
    fs::remove("to_model.cmd");
    test::WriteFile("keys.txt", c.keys);
    std::FILE* keyboard = std::fopen("keys.txt", "r");
    ASSERT_NE(keyboard, nullptr);
    volatile std::sig_atomic_t state = 0;
    SignalTargets targets;
    targets.interrupt_state = &state;
    SetCurrentApplication(&targets);
    ArmCtrlCHandler();
    // Ctrl-C arrives during the wait; the file only after the menu was answered.
    std::thread ctrl_c([] {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      std::raise(SIGINT);
    });
    std::thread writer = WriteLater("to_model.cmd", c.content, std::chrono::milliseconds(120));
    int result = 0;
    try {
      WaitForCommandFile(log_, "to_model.cmd", 5, state, keyboard);
      result = state;
    } catch (const ErrorCode& error) {
      result = error.code;
    }
    ctrl_c.join();
    writer.join();
    std::fclose(keyboard);
    EXPECT_EQ(result, c.state_after);
  }
  EXPECT_TRUE(Logged("\n\nCtrl-C pressed while waiting for to_model.cmd\nCancel the model? \n0 = no (continue)\n2 = "
                     "cancel now without saving buffers!\n\nchoose one of the above options: "));
  SetCurrentApplication(nullptr);
  DisarmCtrlCHandler();
}

}  // namespace
}  // namespace tolvo
