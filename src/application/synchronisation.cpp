#include "application/synchronisation.h"

#include <mpi.h>

#include <array>
#include <cctype>
#include <chrono>
#include <ctime>
#include <thread>

#include "application/modell_application.h"
#include "framework/diagnostics_log.h"
#include "framework/error_code.h"
#include "framework/signals.h"
#include "subsurface/unsatzonmodellklasse.h"

namespace tolvo {
namespace {

// Whether the part of the date that the period letter names differs; false for a letter
// that names no part.
bool PartDiffers(char mode, const ModelDate& a, const ModelDate& b) {
  switch (mode) {
    case 'H': return a.hour != b.hour;
    case 'D': return a.day != b.day;
    case 'M': return a.month != b.month;
    case 'Y': return a.year != b.year;
    default: return false;
  }
}

void Pause(const PollPause& pause) {
  std::this_thread::sleep_for(std::chrono::seconds(pause.seconds) + std::chrono::nanoseconds(pause.nanoseconds));
}

// The menu of the wait: the choice read from the keyboard (any other character is 0, a
// choice above 3 is 0); 2 fails with 98.
int AskWhileWaiting(DiagnosticsLog& log, const std::string& path, std::FILE* keyboard) {
  log << "SKIP: \n\nCtrl-C pressed while waiting for " << path
      << "\nCancel the model? \n0 = no (continue)\n2 = cancel now without saving buffers!\n\nchoose one of the above "
         "options: "
      << "[end-entry]";
  const int ch = std::getc(keyboard);
  int choice = ch >= '0' && ch <= '9' ? ch - '0' : 0;
  if (choice > 3) choice = 0;
  if (choice == 2) RaiseError(kStopWithoutSaving);
  ArmCtrlCHandler();
  return choice;
}

std::string FirstLine(std::FILE* file) {
  std::array<char, kMaxCommandLine + 1> buffer{};
  if (std::fgets(buffer.data(), static_cast<int>(buffer.size()), file) == nullptr) return {};
  return buffer.data();
}

}  // namespace

std::optional<int> CommandState(std::string_view first_line) {
  constexpr std::string_view kKey = "Command=";
  const std::size_t at = first_line.find(kKey);
  if (at == std::string_view::npos) return std::nullopt;
  std::string_view word = first_line.substr(at + kKey.size());
  std::size_t length = 0;
  while (length < word.size() &&
         (std::isalnum(static_cast<unsigned char>(word[length])) != 0 || word[length] == '_')) {
    ++length;
  }
  word = word.substr(0, length);
  constexpr std::array<std::pair<std::string_view, int>, 4> kWords = {
      {{"SaveAndContinue", 3}, {"Continue", 0}, {"Finish", 1}, {"StopWithoutSaving", 2}}};
  for (const auto& [name, state] : kWords) {
    if (word.find(name) != std::string_view::npos) return state;
  }
  return std::nullopt;
}

PollPause PollPauseOf(long long interval_ms) {
  if (interval_ms <= 0) return {};
  return {interval_ms / 1000, (interval_ms % 1000) * 1000000};
}

bool SyncDue(char mode, const ModelDate& date, const ModelDate& last) {
  return mode == 'I' || PartDiffers(mode, date, last);
}

bool EndsCouplingPeriod(char mode, bool end_of_input, const ModelDate& next, const ModelDate& last) {
  return mode == 'I' || end_of_input || PartDiffers(mode, next, last);
}

CalendarEnds CalendarEndsOf(const ModelDate& next, const ModelDate& last, bool end_of_input) {
  return {.day = end_of_input || next.day != last.day,
          .month = end_of_input || next.month != last.month,
          .year = end_of_input || next.year != last.year};
}

void WriteCommandFile(DiagnosticsLog& log, const std::string& target, std::string_view text) {
  const auto fail = [&](const char* what, const std::string& path) {
    log << "FATAL: error " << what << " synchronisation file " << path << "[end-entry]";
    RaiseError(kWriteErrorCode);
  };
  std::FILE* file = std::fopen(kTemporaryCommandFile, "w");
  if (file == nullptr) fail("opening", kTemporaryCommandFile);
  const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  const bool closed = std::fclose(file) == 0;
  if (!written || !closed) fail("writing", kTemporaryCommandFile);
  if (std::rename(kTemporaryCommandFile, target.c_str()) != 0) {
    fail("renaming", std::string(kTemporaryCommandFile) + " to " + target);
  }
}

void WriteFinishCommandFile(DiagnosticsLog& log, const std::string& target) {
  WriteCommandFile(log, target, kFinishCommand);
}

int WaitForCommandFile(DiagnosticsLog& log, const std::string& path, long long interval_ms,
                       volatile std::sig_atomic_t& state, std::FILE* keyboard) {
  log << "waiting for external synchronisation file " << path << "...";
  const PollPause pause = PollPauseOf(interval_ms);
  // What was agreed at the step start, or chosen in the menu, waits for the command here;
  // `state` itself only tells whether Ctrl-C was pressed during the wait.
  int pending = state;
  state = 0;
  std::FILE* file = nullptr;
  for (;;) {
    if (state != 0) {
      state = 0;
      const int choice = AskWhileWaiting(log, path, keyboard);
      if (choice != 0) pending = choice;
    }
    file = std::fopen(path.c_str(), "r");
    if (file != nullptr) break;
    Pause(pause);
    ArmCtrlCHandler();
  }
  log << "found it! " << "[end-entry]";
  const std::string line = FirstLine(file);
  std::fclose(file);
  state = CommandState(line).value_or(pending);
  return 1;
}

// --- the application's side ------------------------------------------------------------

long ModellApplication::BusyWait(long ticks) {
  const std::clock_t start = std::clock();
  std::clock_t now = start;
  while (now - start < ticks) now = std::clock();
  return static_cast<long>(now);
}

int ModellApplication::WaitForFile(const std::string& path, long long interval_ms) {
  try {
    return WaitForCommandFile(log(), path, interval_ms, InterruptState, stdin);
  } catch (const ErrorCode&) {
    log() << "FATAL: Exception in Modellapplication::WaitForFile() caught!" << "[end-entry]";
    throw;
  }
}

void ModellApplication::SynchroniseAtStepStart(const ModelDate& date) {
  SyncMode = reader_->GetExternalGridMode();
  if (!SyncDue(SyncMode, date, LastSyncDate)) return;
  // A stop at once agreed at the step start does not wait for the external program.
  if (InterruptState == 2) return;
  int rank = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  if (rank == 0) WaitForFile(reader_->GetWaitFileName(), reader_->GetWaitInterval());
  MPI_Barrier(MPI_COMM_WORLD);
  // Process 0 alone has read the command; the others take its state.
  int state = rank == 0 ? static_cast<int>(InterruptState) : 0;
  int agreed = 0;
  MPI_Reduce(&state, &agreed, 1, MPI_INT, MPI_MAX, 0, MPI_COMM_WORLD);
  MPI_Bcast(&agreed, 1, MPI_INT, 0, MPI_COMM_WORLD);
  InterruptState = agreed;
  LastSyncDate = date;
  reader_->ReadExternalGrids(date.year, date.month, date.day, date.hour);
  if (reader_->HasExternalGroundwaterTable()) soil_->applyExternalGroundwaterTable(reader_->GetExternalTimeStep());
}

void ModellApplication::SynchroniseAtStepEnd(bool run_ends) {
  // The date of the next step.
  const ModelDate next = DateOfStep();
  SyncMode = reader_->GetExternalGridMode();
  if (!EndsCouplingPeriod(SyncMode, end_of_input_, next, LastSyncDate)) {
    reader_->AccumulateExternalOutputs();
    return;
  }
  const CalendarEnds ends = CalendarEndsOf(next, LastSyncDate, end_of_input_);
  reader_->WriteExternalStatistics(next.hour, next.day, next.month, next.year, ends.day, ends.month, ends.year);
  int rank = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  if (rank == 0) {
    const std::string& inform = reader_->GetInformFileName();
    // The finish command only when the run really ends: the end of a spin-up repetition
    // is an ordinary period end.
    if (end_of_input_ && run_ends) {
      WriteFinishCommandFile(log(), inform);
      WriteFinishCommandFile(log(), inform + std::string(kDoneSuffix));
    } else {
      WriteCommandFile(log(), inform, reader_->GetInformFileText());
    }
  }
  MPI_Barrier(MPI_COMM_WORLD);
}

}  // namespace tolvo
