#pragma once
// Runs broken variants of the example basin end to end and checks how the program fails:
// a case names a change to a fresh copy of the basin folder, the error code the job must
// end with and the text of the FATAL entry that must reach the diagnostics file and the
// console, under one and under three processes alike. New failures of the input checks
// are added as rows of the table in test_broken_basin.cpp.

#include <filesystem>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace tolvo::test {

// A change to the copied basin folder.
using BasinMutation = std::function<void(const std::filesystem::path& basin)>;

// Replaces the first occurrence of a text in a file of the basin; the text must occur.
BasinMutation ReplaceText(const std::string& file, const std::string& from, const std::string& to);
// Writes a file of the basin (a new one, or over an existing one).
BasinMutation WriteText(const std::string& file, const std::string& text);
// Sets the value of cell (row, column), 1-based from the top left, of an ASCII grid.
BasinMutation SetGridCell(const std::string& file, int row, int column, const std::string& value);

struct BrokenBasinCase {
  std::string name;
  std::vector<BasinMutation> mutations;
  int code;                // the error code of the failure (may exceed 255)
  std::string fatal_text;  // part of the FATAL entry that names the failure
  // Files of the basin folder the failure comes before: they must not be left behind.
  std::vector<std::string> absent_files = {};
  // Command-line arguments after the control file.
  std::vector<std::string> arguments = {};
};

// Test names and failure messages show a case by its name.
void PrintTo(const BrokenBasinCase& broken, std::ostream* os);

// Runs the case under the given number of processes and checks the exit status, the
// FATAL entry in the diagnostics file and on the console, the well-formed diagnostics
// file, that the job ended within its time and left no process behind, and the absent
// files. Failures are reported as test failures.
void CheckBrokenBasin(const BrokenBasinCase& broken, int processes);

}  // namespace tolvo::test
