// A run of the example basin driven by a scripted meteorological input: the sub-models are
// called in their fixed order every step, the interrupt menu acts on its choices, and the
// spin-up repeats the time range. Run under 1, 2 and 3 processes.
#include "application/modell_application.h"

#include <gtest/gtest.h>
#include <mpi.h>

#include <cstdio>
#include <sstream>
#include <stdexcept>

#include "application/scripted_input.h"
#include "framework/error_code.h"
#include "support/example_basin.h"
#include "support/test_support.h"

namespace tolvo {
namespace {

using test::ScriptedInput;

// The calls of one step with interception before or after snow and two soil sub-steps.
std::vector<std::string> OneStep(bool interception_first) {
  std::vector<std::string> calls = {"meteo.Interpolate", "radiation_correction.RunStep",
                                    "evapotranspiration.PotentialEvapotranspiration", "irrigation.RunStep",
                                    "evapotranspiration.SnowEvaporation"};
  if (interception_first) {
    calls.insert(calls.end(), {"interception.RunStep", "snow.SnowTimeStep"});
  } else {
    calls.insert(calls.end(), {"snow.SnowTimeStep", "interception.RunStep"});
  }
  calls.insert(calls.end(), {"silting_up.RunStep", "soil.prepareTimeStep", "surface_routing.BeginStep",
                             "evapotranspiration.BeginRealEvapotranspiration", "groundwater.BeginStep"});
  for (int k = 1; k <= 2; ++k) {
    calls.insert(calls.end(), {"soil.RunStep", "surface_routing.RunStep", "evapotranspiration.SubStep",
                               "groundwater.RunStep", "special_output.CollectAll"});
  }
  calls.insert(calls.end(), {"snow.SnowLateralStep", "soil.concentrateSubbasinRunoff", "surface_routing.EndStep",
                             "evapotranspiration.EndOfStepTotals", "groundwater.EndStep", "routing.RunStep",
                             "outputs"});
  return calls;
}

const std::pair<std::string, std::string> kOneInput = {"0 number of meteorological inputs",
                                                       "1 number of meteorological inputs"};

class ApplicationRun : public ::testing::Test {
 protected:
  struct Result {
    int status = -1;  // run result, or the error code
    std::vector<std::string> calls;
    std::string console;
  };

  // Builds, runs and ends the example basin with one scripted input of `records` records
  // named `input`; `menu` is what the keyboard answers (process 0) after a Ctrl-C that
  // `interrupt` simulates before the first step.
  Result Run(const test::SharedExampleBasin::Edits& edits, int records, const std::string& input = "temperature",
             bool interrupt = false, const std::string& menu = "",
             ModellApplication::MeteoInputFactory make_input = {}) {
    // Scripted inputs publish no grid, which the precipitation correction would look up
    // for an input named "temperature": the correction is switched off.
    test::SharedExampleBasin::Edits all_edits = edits;
    all_edits.emplace_back("[precipitation_correction]\n1 ", "[precipitation_correction]\n0 ");
    test::SharedExampleBasin basin(all_edits);
    test::WriteFile(basin.file("keys.txt"), menu);
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(basin.path());
    int rank = 0;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    if (rank == 0 && interrupt) {
      EXPECT_NE(std::freopen("keys.txt", "r", stdin), nullptr);
    }

    if (rank == 0) {
      std::string text = test::ReadFile("basin.ctl");
      text.replace(text.find("[meteo_names]\n"), 14, "[meteo_names]\n" + input + "\n");
      test::WriteFile("basin.ctl", text);
    }
    MPI_Barrier(MPI_COMM_WORLD);

    Result result;
    std::ostringstream console;
    {
      DiagnosticsLog log("diag.xml", 4, console);
      std::string program = "tolvompi64";
      std::string control = "basin.ctl";
      std::vector<char*> argv = {program.data(), control.data()};
      try {
        if (!make_input) {
          make_input = [&](DiagnosticsLog&, const std::string& name, const ModelSettings&, int, int) {
            return std::make_unique<ScriptedInput>(name, records);
          };
        }
        ModellApplication application(log, 2, argv.data(), 1, make_input,
                                      [&](std::string_view call) { result.calls.emplace_back(call); });
        if (interrupt) application.InterruptState = 1;
        result.status = application.run();
        application.ClearMemory();
      } catch (const ErrorCode& error) {
        result.status = error.code;
      } catch (const StopRequest& stop) {
        result.status = stop.status;
      }
    }
    result.console = console.str();
    std::filesystem::current_path(previous);
    return result;
  }

  static std::vector<std::string> Steps(int n, bool interception_first = false) {
    std::vector<std::string> calls;
    for (int i = 0; i < n; ++i) {
      const std::vector<std::string> step = OneStep(interception_first);
      calls.insert(calls.end(), step.begin(), step.end());
    }
    return calls;
  }
};

TEST_F(ApplicationRun, CallsTheSubmodelsInTheirOrderEveryStep) {
  const Result plain = Run({kOneInput}, 3);
  EXPECT_EQ(plain.status, 0);
  EXPECT_EQ(plain.calls, Steps(3));

  // Interception method 11: interception runs before snow.
  const Result first = Run({kOneInput, {"1     interception method", "11    interception method"}}, 2);
  EXPECT_EQ(first.status, 0);
  EXPECT_EQ(first.calls, Steps(2, true));
}

TEST_F(ApplicationRun, InterruptMenuChoices) {
  // 1: the step runs to its end, the inputs end with it, and the run reports 99.
  const Result finish = Run({kOneInput}, 5, "temperature", true, "1");
  EXPECT_EQ(finish.status, 99);
  EXPECT_EQ(finish.calls, Steps(1));

  // 3: every buffer is flushed and the run goes on to its end.
  const Result flush = Run({kOneInput}, 3, "temperature", true, "3");
  EXPECT_EQ(flush.status, 0);
  std::vector<std::string> expected = Steps(3);
  expected.insert(expected.begin(), "flush");
  EXPECT_EQ(flush.calls, expected);

  // 2: a stop without saving, on every process.
  const Result stop = Run({kOneInput}, 3, "temperature", true, "2");
  EXPECT_EQ(stop.status, 98);
  EXPECT_TRUE(stop.calls.empty());
  int rank = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  if (rank == 0) {
    EXPECT_NE(stop.console.find("program manually killed by pressing Ctrl-C and selecting 2!"), std::string::npos);
  }

  // Anything else goes on.
  const Result other = Run({kOneInput}, 2, "temperature", true, "x");
  EXPECT_EQ(other.status, 0);
  EXPECT_EQ(other.calls, Steps(2));
}

TEST_F(ApplicationRun, SpinUpRepeatsTheTimeRange) {
  const auto spin_up = [](const char* values) {
    return std::pair<std::string, std::string>{"[zone_grid]", std::string("[SpinUp]\n") + values + "\n[zone_grid]"};
  };
  const Result repeated = Run({kOneInput, spin_up("1 spin up\n0 3 no pre-spin-up, three runs\n0 grids")}, 2);
  EXPECT_EQ(repeated.status, 0);
  EXPECT_EQ(repeated.calls, Steps(6));
  int rank = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  if (rank == 0) {
    EXPECT_NE(repeated.console.find("SpinUp reached end of defined time range for run #1, resetting inputs and "
                                    "starting again now (repetition 2 of 3)"),
              std::string::npos);
    EXPECT_NE(repeated.console.find("for run #2, resetting inputs and starting again now (repetition 3 of 3)"),
              std::string::npos);
  }

  // The pre-spin-up runs the soil temperatures through the range; with no repetition after it
  // the time loop does not run.
  const Result pre_only = Run({kOneInput, spin_up("1 spin up\n1 0 pre-spin-up only\n0 grids")}, 3);
  EXPECT_EQ(pre_only.status, 0);
  EXPECT_EQ(pre_only.calls, std::vector<std::string>(3, "soil.accumulatePreSpinUp"));

  // The pre-spin-up needs the temperature as the first input.
  const Result wrong = Run({kOneInput, spin_up("1 spin up\n1 1 pre-spin-up\n0 grids")}, 2, "precipitation");
  EXPECT_EQ(wrong.status, 1035);
}

TEST_F(ApplicationRun, AnExceptionThatIsNoErrorCodeIsLoggedAndBecomes103) {
  const auto failing = [](DiagnosticsLog&, const std::string&, const ModelSettings&, int,
                          int) -> std::unique_ptr<MeteoInput> { throw std::runtime_error("station list unreadable"); };
  const Result result = Run({kOneInput}, 2, "temperature", false, "", failing);
  EXPECT_EQ(result.status, 103);
  EXPECT_TRUE(result.calls.empty());
  int rank = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  if (rank == 0) {
    // What was caught and where, then the entry of the application as before.
    const std::size_t caught = result.console.find(
        "unexpected exception caught while building the meteorological input temperature: station list unreadable");
    ASSERT_NE(caught, std::string::npos);
    EXPECT_NE(result.console.find("exceptions in ModellApplication::init() caught!", caught), std::string::npos);
  }
}

TEST(DumpOptions, FromTheCommandLine) {
  test::TempDir dir;
  std::ostringstream console;
  DiagnosticsLog log(dir.file("d.xml"), 4, console);
  const auto options = [&](std::vector<std::string> words) {
    words.insert(words.begin(), "tolvompi64");
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    return ReadDumpOptions(log, static_cast<int>(argv.size()), argv.data());
  };
  const DumpOptions limited = options({"a.ctl", "-dumpmode:25", "-closeAfterDump"});
  EXPECT_TRUE(limited.dump_mode);
  EXPECT_TRUE(limited.close_after_dump);
  EXPECT_FALSE(limited.repair_after_dump);
  EXPECT_EQ(limited.max_dump_files, 25);
  const DumpOptions plain = options({"-dumpmode", "-repairAfterDump"});
  EXPECT_TRUE(plain.dump_mode);
  EXPECT_TRUE(plain.repair_after_dump);
  EXPECT_EQ(plain.max_dump_files, 0);
  try {
    options({"-dumpmode:x"});
    ADD_FAILURE();
  } catch (const ErrorCode& error) {
    EXPECT_EQ(error.code, 1061);
  }
  int rank = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  if (rank == 0) {
    EXPECT_NE(console.str().find("max dumpfiles given in argument -dumpmode:25 read as 25"), std::string::npos);
    EXPECT_NE(console.str().find("invalid number of max dumpfiles given in argument -dumpmode:x"), std::string::npos);
  }
}

}  // namespace
}  // namespace tolvo
