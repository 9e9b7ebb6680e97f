// Broken variants of the example basin fail with their error code and their FATAL entry,
// whichever process meets the failure and however many processes run.
#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "application/broken_basin.h"

namespace tolvo::test {
namespace {

const BrokenBasinCase kCases[] = {
    // Every process reads the control file and fails at the same item.
    {.name = "start year that is no number",
     .mutations = {ReplaceText("basin.ctl", "2020  start year", "two-thousand  start year")},
     .code = 17,
     .fatal_text = "error in control file, starting year in",
     .absent_files = {"out/MPIRegions_0"}},
    // A cell 20 km high shifts the land-use phenology beyond the year. The cell lies in the
    // top row, which the last of three processes computes: only that process fails.
    {.name = "elevation beyond the phenology's range in the top row",
     .mutations = {SetGridCell("dem.asc", 2, 1, "20000")},
     .code = 152,
     .fatal_text = "altitude correction resulted in a Julian day of",
     .absent_files = {"out/dem.$ex", "out/dem.$sl", "out/zones.$w1"}},
    // The table's storage cannot be had: the library's exception, not one of the model's
    // checks, stops every process.
    {.name = "land-use count beyond any memory",
     .mutations = {ReplaceText("basin.ctl", "2 land uses", "2000000000 land uses")},
     .code = 103,
     .fatal_text = "std::bad_alloc",
     .absent_files = {"out/MPIRegions_0"}},
    // A code above 255: the exit status keeps its low byte, the log the whole code.
    {.name = "invalid number of dump files",
     .mutations = {},
     .code = 1061,
     .fatal_text = "invalid number of max dumpfiles given in argument -dumpmode:x",
     .arguments = {"-dumpmode:x"}},
};

class BrokenBasin : public ::testing::TestWithParam<BrokenBasinCase> {};

TEST_P(BrokenBasin, FailsWithItsCodeAndFatalEntryOnOneAndThreeProcesses) {
  for (const int processes : {1, 3}) CheckBrokenBasin(GetParam(), processes);
}

std::string CaseName(const ::testing::TestParamInfo<BrokenBasinCase>& info) {
  std::string name = info.param.name;
  for (char& ch : name) {
    if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
  }
  return name;
}

INSTANTIATE_TEST_SUITE_P(Cases, BrokenBasin, ::testing::ValuesIn(kCases), CaseName);

}  // namespace
}  // namespace tolvo::test
