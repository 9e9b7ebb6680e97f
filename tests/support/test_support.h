#pragma once
// Helpers of the tests: temporary folders, files, and runs of the program.

#include <filesystem>
#include <string>
#include <vector>

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

struct ProgramRun {
  int status;          // exit status of the job (8 bits)
  std::string output;  // standard output and standard error
};

// Runs the program with the arguments in `workdir`, under mpirun with `processes`
// processes (or directly when processes is 0), with standard input from `input`.
ProgramRun RunProgram(const std::vector<std::string>& arguments, const std::filesystem::path& workdir,
                      int processes = 0, const std::string& input = "");

// The code of the "Program aborted with exit code N" entry of a diagnostics file, or -1.
int AbortCodeInLog(const std::string& diagnostics);

}  // namespace tolvo::test
