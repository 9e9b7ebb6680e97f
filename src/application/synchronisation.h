#pragma once
// Synchronisation with a coupled external program through command files.
//
// Before a step that begins a coupling period, process 0 waits for the external
// program's command file and obeys the command in its first line ("Command=" followed by
// "SaveAndContinue", "Continue", "Finish" or "StopWithoutSaving"); the other processes
// learn the command from process 0. After a step that ends a coupling period, process 0
// tells the external program so by writing a command file of its own. Command files are
// written under a temporary name in the working directory and then renamed, so that the
// reader never sees a half-written file.
//
// The coupling period is a calendar unit: 'I' every step, 'H', 'D', 'M', 'Y' the first
// step of a new hour, day, month or year; any other letter never waits or writes.
//
// The operations of the application that use these (ModellApplication::WaitForFile and the
// synchronisation at the start and end of a step) are defined in synchronisation.cpp.

#include <csignal>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "framework/date.h"
#include "setup/external_exchange.h"

namespace tolvo {

class DiagnosticsLog;

inline constexpr const char* kTemporaryCommandFile = "Tolvo_Ulx_temporary_semaphore.file";
inline constexpr std::string_view kFinishCommand = "Command=Finish;";
// Suffix of the second finish command file written at the end of the run.
inline constexpr std::string_view kDoneSuffix = "_Done";
// Longest first line of a command file that is read.
inline constexpr std::size_t kMaxCommandLine = 1200;

// The interrupt state a command file's first line asks for: 3 "SaveAndContinue", 0
// "Continue", 1 "Finish", 2 "StopWithoutSaving" (tested in this order as parts of the word
// of letters, digits and '_' after "Command="); nothing without such a word.
std::optional<int> CommandState(std::string_view first_line);

// The pause between two looks for the command file.
struct PollPause {
  long long seconds = 0;
  long long nanoseconds = 0;  // 0 .. 999999999
};
PollPause PollPauseOf(long long interval_ms);

// Whether the step of `date` begins a coupling period, the last wait having been at `last`.
bool SyncDue(char mode, const ModelDate& date, const ModelDate& last);
// Whether the step before `next` ends a coupling period.
bool EndsCouplingPeriod(char mode, bool end_of_input, const ModelDate& next, const ModelDate& last);
// Which calendar units end with the step before `next`.
CalendarEnds CalendarEndsOf(const ModelDate& next, const ModelDate& last, bool end_of_input);

// Writes the text (exactly, without a line end) into the temporary command file and
// renames it to `target`, replacing any file of that name. A failure to open, write, close
// or rename writes its FATAL entry and fails with 18.
void WriteCommandFile(DiagnosticsLog& log, const std::string& target, std::string_view text);
// Writes "Command=Finish;" the same way.
void WriteFinishCommandFile(DiagnosticsLog& log, const std::string& target);

// Waits until the file at `path` can be opened, looking every `interval_ms`, and sets
// `state` from its command. `state` comes in as agreed at the step start and is kept when
// the file holds no command. While waiting, a Ctrl-C (the handler sets `state` to 1) opens
// a menu read from `keyboard`: 2 fails with 98, 1 or 3 is kept unless the command sets
// another state, anything else goes on waiting. The file is read and closed, not removed.
int WaitForCommandFile(DiagnosticsLog& log, const std::string& path, long long interval_ms,
                       volatile std::sig_atomic_t& state, std::FILE* keyboard);

}  // namespace tolvo
