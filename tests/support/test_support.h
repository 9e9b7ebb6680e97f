#pragma once
// Helpers of the tests: temporary folders, files, runs of the program, error codes, small
// grids and a fixture with a diagnostics log.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "framework/diagnostics_log.h"
#include "framework/matrix.h"

namespace tolvo::test {

// A fresh folder under the system's temporary folder, removed at the end of the test.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& text);
// The first line in which two texts differ, with both versions, or "" when they are equal.
std::string FirstDifferentLine(const std::string& a, const std::string& b);

struct ProgramRun {
  int status;          // exit status of the job (8 bits)
  std::string output;  // standard output and standard error
};

// Runs the program with the arguments in `workdir`, under mpirun with `processes`
// processes (or directly when processes is 0), with standard input from `input`. With a
// timeout, the job is ended after that many seconds (status 124). Each process computes
// with `threads` OpenMP threads.
ProgramRun RunProgram(const std::vector<std::string>& arguments, const std::filesystem::path& workdir,
                      int processes = 0, const std::string& input = "", int timeout_seconds = 0, int threads = 1);

// The code of the "Program aborted with exit code N" entry of a diagnostics file, or -1.
int AbortCodeInLog(const std::string& diagnostics);

// The code of the ErrorCode the call raises; 0 when it returns.
int CodeOf(const std::function<void()>& body);

// A whole grid (rows 1..n) of the given rows, all of the same length, row 1 first.
Grid GridOf(const std::vector<std::vector<double>>& rows);

// The values of an ASCII grid file after its six header lines, row by row.
std::vector<double> AsciiGridValues(const std::string& path);

// Makes `path` the working directory for the object's lifetime (for code that writes into
// the working directory), then returns to the one before.
class WorkingDirectory {
 public:
  explicit WorkingDirectory(const std::filesystem::path& path) : previous_(std::filesystem::current_path()) {
    std::filesystem::current_path(path);
  }
  ~WorkingDirectory() { std::filesystem::current_path(previous_); }
  WorkingDirectory(const WorkingDirectory&) = delete;
  WorkingDirectory& operator=(const WorkingDirectory&) = delete;

 private:
  std::filesystem::path previous_;
};

// A fixture with a temporary folder and a diagnostics log (level 4, file "d.xml" in the
// folder) whose console text goes to a string.
class LogFixture : public ::testing::Test {
 protected:
  // Whether the console shows the text.
  bool Logged(const std::string& text) const { return console_.str().find(text) != std::string::npos; }

  TempDir dir_;
  std::ostringstream console_;
  DiagnosticsLog log_{dir_.file("d.xml"), 4, console_};
};

}  // namespace tolvo::test
