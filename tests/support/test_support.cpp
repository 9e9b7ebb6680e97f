#include "support/test_support.h"

#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <regex>
#include <sstream>

#include "framework/error_code.h"

namespace tolvo::test {

TempDir::TempDir() {
  static std::atomic<int> counter{0};
  std::random_device device;
  std::ostringstream name;
  name << "tolvo_test_" << ::getpid() << "_" << counter++ << "_" << device();
  path_ = std::filesystem::temp_directory_path() / name.str();
  std::filesystem::create_directories(path_);
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}

std::string FirstDifferentLine(const std::string& a, const std::string& b) {
  std::istringstream in_a(a);
  std::istringstream in_b(b);
  std::string line_a;
  std::string line_b;
  for (int n = 1;; ++n) {
    const bool more_a = static_cast<bool>(std::getline(in_a, line_a));
    const bool more_b = static_cast<bool>(std::getline(in_b, line_b));
    if (!more_a && !more_b) return "";
    if (more_a != more_b || line_a != line_b) {
      return "line " + std::to_string(n) + ":\n  " + (more_a ? line_a : "(end)") + "\n  " + (more_b ? line_b : "(end)");
    }
  }
}

namespace {
std::string Quote(const std::string& word) {
  std::string quoted = "'";
  for (char ch : word) {
    if (ch == '\'') {
      quoted += "'\\''";
    } else {
      quoted += ch;
    }
  }
  quoted += '\'';
  return quoted;
}
// The test itself runs as an MPI process: the variables MPI set for it must not reach the
// job the test starts, or that job would take itself for a part of the test's job.
std::string ScrubbedEnvironment() {
  std::string command = "env";
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string variable(*entry);
    const std::string name = variable.substr(0, variable.find('='));
    const bool from_mpi = name.starts_with("OMPI_") || name.starts_with("PMIX_") || name.starts_with("ORTE_");
    const bool wanted = name.starts_with("OMPI_ALLOW_RUN_AS_ROOT") || name == "OMPI_MCA_rmaps_base_oversubscribe";
    if (from_mpi && !wanted) command += " -u " + name;
  }
  return command;
}

}  // namespace

ProgramRun RunProgram(const std::vector<std::string>& arguments, const std::filesystem::path& workdir,
                      int processes, const std::string& input, int timeout_seconds, int threads) {
  const std::filesystem::path input_file = workdir / ".stdin";
  WriteFile(input_file.string(), input);
  std::ostringstream command;
  // A job started by a test as root needs the same permissions the test suite runs with.
  // Its processes share the cores with the other tests: idle OpenMP threads sleep instead
  // of spinning, which would otherwise starve the busy ones of a run of many steps. Each
  // process computes on one thread unless the test asks for more: the test basins give a
  // process a few rows only, and waking threads for them would cost more than the rows.
  // A process waiting in an MPI call yields its core to the one it waits for.
  command << "cd " << Quote(workdir.string()) << " && " << ScrubbedEnvironment()
          << " OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1 OMPI_MCA_rmaps_base_oversubscribe=1"
          << " OMPI_MCA_mpi_yield_when_idle=1"
          << " OMP_WAIT_POLICY=passive OMP_NUM_THREADS=" << threads << " ";
  if (timeout_seconds > 0) command << "timeout -k 10 " << timeout_seconds << " ";
  if (processes > 0) {
    command << TOLVO_MPIEXEC << " --oversubscribe -np " << processes << " ";
    // A sanitizer build's test runs with the checkers' options; the job's processes need them too.
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS"}) {
      if (std::getenv(name) != nullptr) command << "-x " << name << " ";
    }
  }
  command << Quote(TOLVO_PROGRAM);
  for (const std::string& argument : arguments) command << " " << Quote(argument);
  command << " < " << Quote(input_file.string()) << " 2>&1";
  ProgramRun run{-1, {}};
  FILE* pipe = ::popen(command.str().c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) run.output.append(buffer, n);
  const int status = ::pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

int AbortCodeInLog(const std::string& diagnostics) {
  static const std::regex pattern("Program aborted with exit code (-?[0-9]+)");
  std::smatch match;
  if (!std::regex_search(diagnostics, match, pattern)) return -1;
  return std::stoi(match[1].str());
}

int CodeOf(const std::function<void()>& body) {
  try {
    body();
  } catch (const ErrorCode& error) {
    return error.code;
  }
  return 0;
}

Grid GridOf(const std::vector<std::vector<double>>& rows) {
  const int nrows = static_cast<int>(rows.size());
  const int ncols = static_cast<int>(rows.front().size());
  Grid grid(1, nrows, ncols, nrows);
  for (int r = 1; r <= nrows; ++r) {
    for (int c = 1; c <= ncols; ++c) grid(r, c) = rows[static_cast<std::size_t>(r - 1)][static_cast<std::size_t>(c - 1)];
  }
  return grid;
}

std::vector<double> AsciiGridValues(const std::string& path) {
  std::istringstream in(ReadFile(path));
  std::string line;
  for (int i = 0; i < 6; ++i) std::getline(in, line);
  std::vector<double> values;
  for (double v; in >> v;) values.push_back(v);
  return values;
}

}  // namespace tolvo::test
