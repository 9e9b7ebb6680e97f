// A run of the example basin coupled to an external program, which a shell script plays
// as a separate process: it answers the model's command files with its own. Run under 1,
// 2 and 3 processes.
#include <gtest/gtest.h>
#include <mpi.h>
#include <spawn.h>
#include <sys/wait.h>

#include <filesystem>
#include <sstream>

#include "application/scripted_input.h"
#include "application/modell_application.h"
#include "framework/error_code.h"
#include "support/example_basin.h"
#include "support/test_support.h"

extern char** environ;

namespace tolvo {
namespace {

namespace fs = std::filesystem;

using test::ScriptedInput;

// The coupling section: wait for "to_model.cmd" every 10 ms, exchange at the period
// letter, write "Command=StepDone;" into "from_model.cmd".
std::string CouplingSection(char period) {
  return std::string("[ExternalCoupling]\n1 coupling on\nto_model.cmd wait file\n10 wait interval in ms\n") + period +
         " period\n60 external time step\n0 grids to read\n0 grids to write\n0 statistics to write\n"
         "from_model.cmd inform file\nCommand=StepDone; inform text\n\n[zone_grid]";
}

// Shell helpers of the external program: files are written through a rename, and a wait
// gives up after a minute so that a broken model cannot keep the script alive.
constexpr const char* kScriptHelpers =
    "put() { printf '%s' \"$2\" > ext.part && mv ext.part \"$1\"; }\n"
    "wait_for() { n=0; while [ ! -f \"$1\" ]; do sleep 0.02; n=$((n+1)); [ $n -gt 3000 ] && exit 1; done; }\n";

// An external program in lockstep with the model: it answers "Command=Continue;" to every
// command file of the model (and once at the start), keeping each one as inform_<i>.txt,
// until the test writes "stop".
constexpr const char* kLockstep =
    "i=0\n"
    "put to_model.cmd 'Command=Continue;'\n"
    "while [ ! -f stop ]; do\n"
    "  while [ ! -f from_model.cmd ] && [ ! -f stop ]; do sleep 0.01; done\n"
    "  if [ -f from_model.cmd ]; then\n"
    "    i=$((i+1)); mv from_model.cmd inform_$i.txt; put to_model.cmd 'Command=Continue;'\n"
    "  fi\n"
    "done\n";

// The command files the lockstep program collected, in order, and the last one if it
// did not collect it before it stopped.
std::vector<std::string> CollectedCommandFiles() {
  std::vector<std::string> files;
  for (int i = 1; fs::exists("inform_" + std::to_string(i) + ".txt"); ++i) {
    files.push_back(test::ReadFile("inform_" + std::to_string(i) + ".txt"));
  }
  if (fs::exists("from_model.cmd")) files.push_back(test::ReadFile("from_model.cmd"));
  return files;
}

class CoupledRun : public ::testing::Test {
 protected:
  struct Result {
    int status = -1;
    int script_status = -1;
    std::vector<std::string> calls;
    std::string console;
  };

  // Runs the basin with one input of the given dates while process 0 runs `script` in the
  // basin's folder; `inspect` looks at the folder (process 0) before it is removed.
  template <typename Inspect>
  Result Run(char period, const std::vector<ModelDate>& dates, const std::string& script, Inspect inspect,
             const test::SharedExampleBasin::Edits& more_edits = {}) {
    test::SharedExampleBasin::Edits edits = {{"0 number of meteorological inputs", "1 number of meteorological inputs"},
                                             {"[meteo_names]\n", "[meteo_names]\ntemperature\n"},
                                             {"[zone_grid]", CouplingSection(period)},
                                             // Scripted inputs publish no grid, which the
                                             // precipitation correction would look up.
                                             {"[precipitation_correction]\n1 ", "[precipitation_correction]\n0 "}};
    edits.insert(edits.end(), more_edits.begin(), more_edits.end());
    test::SharedExampleBasin basin(edits);
    const fs::path previous = fs::current_path();
    fs::current_path(basin.path());
    int rank = 0;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    pid_t external = 0;
    if (rank == 0) {
      const std::string text = std::string(kScriptHelpers) + script;
      std::vector<char*> argv = {const_cast<char*>("sh"), const_cast<char*>("-c"), const_cast<char*>(text.c_str()),
                                 nullptr};
      EXPECT_EQ(posix_spawn(&external, "/bin/sh", nullptr, nullptr, argv.data(), environ), 0);
    }

    Result result;
    std::ostringstream console;
    {
      DiagnosticsLog log("diag.xml", 4, console);
      std::string program = "tolvompi64";
      std::string control = "basin.ctl";
      std::vector<char*> argv = {program.data(), control.data()};
      try {
        ModellApplication application(
            log, 2, argv.data(), 1,
            [&](DiagnosticsLog&, const std::string& name, const ModelSettings&, int, int) {
              return std::make_unique<ScriptedInput>(name, dates);
            },
            [&](std::string_view call) {
              if (call == "flush" || call == "routing.RunStep") result.calls.emplace_back(call);
            });
        result.status = application.run();
        application.ClearMemory();
      } catch (const ErrorCode& error) {
        result.status = error.code;
      }
    }
    result.console = console.str();
    if (rank == 0) {
      test::WriteFile("stop", "");
      int status = 0;
      waitpid(external, &status, 0);
      result.script_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      inspect();
    }
    fs::current_path(previous);
    return result;
  }

  static int Count(const std::string& text, const std::string& part) {
    int n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
  }
};

TEST_F(CoupledRun, TheExternalProgramFlushesThenFinishesTheRun) {
  const std::vector<ModelDate> hours = {{2020, 1, 1, 1}, {2020, 1, 1, 2}, {2020, 1, 1, 3}, {2020, 1, 1, 4}};
  std::string first_answer;
  std::string inform;
  std::string done;
  const Result run = Run('I', hours,
                         "put to_model.cmd 'Command=SaveAndContinue;'\n"
                         "wait_for from_model.cmd\n"
                         "cat from_model.cmd > first_answer.txt; rm from_model.cmd\n"
                         "put to_model.cmd 'Command=Finish'\n",
                         [&] {
                           first_answer = test::ReadFile("first_answer.txt");
                           inform = test::ReadFile("from_model.cmd");
                           done = test::ReadFile("from_model.cmd_Done");
                         });
  // Step 1 flushes every buffer and goes on; step 2 is the last one.
  EXPECT_EQ(run.status, 99);
  EXPECT_EQ(run.calls, (std::vector<std::string>{"flush", "routing.RunStep", "routing.RunStep"}));
  int rank = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  if (rank == 0) {
    EXPECT_EQ(run.script_status, 0);
    EXPECT_EQ(first_answer, "Command=StepDone;");
    EXPECT_EQ(inform, "Command=Finish;");
    EXPECT_EQ(done, "Command=Finish;");
    EXPECT_EQ(Count(run.console, "waiting for external synchronisation file to_model.cmd...found it! "), 2);
  }
}

TEST_F(CoupledRun, MonthlyCouplingWaitsAtTheFirstDayOfEachMonth) {
  const std::vector<ModelDate> days = {{2020, 1, 30, 24}, {2020, 1, 31, 24}, {2020, 2, 1, 24}, {2020, 2, 2, 24}};
  std::vector<std::string> informs;
  std::string done;
  const Result run = Run('M', days, kLockstep, [&] {
    informs = CollectedCommandFiles();
    done = test::ReadFile("from_model.cmd_Done");
  });
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.calls, std::vector<std::string>(4, "routing.RunStep"));
  int rank = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  if (rank == 0) {
    // Waits on 30 January (the first step) and 1 February; writes after 31 January and at
    // the end of the input.
    EXPECT_EQ(Count(run.console, "waiting for external synchronisation file"), 2);
    EXPECT_EQ(informs, (std::vector<std::string>{"Command=StepDone;", "Command=Finish;"}));
    EXPECT_EQ(done, "Command=Finish;");
  }
}

TEST_F(CoupledRun, SpinUpRepetitionsEndWithAnOrdinaryCommandFile) {
  // Two repetitions of two hourly steps: the finish files come only after the last step of
  // the run, the end of the first repetition is an ordinary period end.
  const std::vector<ModelDate> hours = {{2020, 1, 1, 1}, {2020, 1, 1, 2}};
  std::vector<std::string> informs;
  const Result run = Run(
      'I', hours, kLockstep, [&] { informs = CollectedCommandFiles(); },
      {{"[zone_grid]", "[SpinUp]\n1 spin up\n0 2 no pre-spin-up, two runs\n0 grids\n[zone_grid]"}});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.calls, std::vector<std::string>(4, "routing.RunStep"));
  int rank = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  if (rank == 0) {
    EXPECT_EQ(informs, (std::vector<std::string>{"Command=StepDone;", "Command=StepDone;", "Command=StepDone;",
                                                 "Command=Finish;"}));
    EXPECT_EQ(Count(run.console, "waiting for external synchronisation file"), 4);
  }
}

}  // namespace
}  // namespace tolvo
