#pragma once
// Comparing the files two runs of the program wrote, and scanning written files for values
// that are not finite.
//
// Two run folders hold the same results when they hold the same set of files and every
// file has the same bytes, or, where the bytes differ:
// - a text file (a statistics table, an ASCII grid or stack, a log) has the same lines with
//   the same words, and words that are numbers agree to a relative tolerance;
// - a binary grid or stack (twelve header values, then the cells, in 64-bit or 32-bit
//   values) has the same size and the same values to the tolerance.
// Any other file must be equal byte for byte. A difference is reported with the file, the
// line and word, or for grids and stacks the row, column and level, and both values.

#include <filesystem>
#include <string>
#include <vector>

namespace tolvo::test {

// Files a comparison or scan leaves out: paths relative to the run folder (with "/") that
// match `pattern` (an ECMAScript regular expression matched against the whole path), and
// why they may differ.
struct ExcludedFiles {
  std::string pattern;
  std::string reason;
};

// The files of a run folder that legitimately differ with the number of processes or from
// run to run: the per-process logs and storage content files and the decomposition grid.
std::vector<ExcludedFiles> PerProcessFiles();

// The files of `source` (for a run folder made as a copy of it): the run's inputs.
std::vector<ExcludedFiles> InputFilesOf(const std::filesystem::path& source);

// Both: what a comparison of two runs in copies of `source` leaves out.
std::vector<ExcludedFiles> PerProcessAndInputFiles(const std::filesystem::path& source);

// "" when the two folders hold the same results, else a text naming the first difference
// (in path order): a file only one folder holds, or the first differing position of a file.
std::string FirstOutputDifference(const std::filesystem::path& a, const std::filesystem::path& b,
                                  const std::vector<ExcludedFiles>& excluded, double relative_tolerance = 1e-12);

// The same for two files.
std::string FirstFileDifference(const std::filesystem::path& a, const std::filesystem::path& b,
                                double relative_tolerance = 1e-12);

// "" when no file of the folder holds NaN or infinity, else a text naming each file that
// does with its first such position: in text, a word "nan", "inf" or "infinity" (any case,
// any sign); in a binary grid or stack, a value. Other binary files (netCDF) are not read.
std::string NonFiniteValues(const std::filesystem::path& folder, const std::vector<ExcludedFiles>& excluded);

}  // namespace tolvo::test
