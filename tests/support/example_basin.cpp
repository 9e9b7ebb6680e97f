#include "support/example_basin.h"

#include <mpi.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "support/row_bands.h"
#include "support/test_support.h"

namespace tolvo::test {

std::filesystem::path ExampleBasinSource() { return std::filesystem::path(TOLVO_SOURCE_DIR) / "examples" / "basin"; }

std::string WithoutStationData(std::string control_file) {
  const auto replace = [&](const std::string& from, const std::string& to) {
    const std::size_t at = control_file.find(from);
    if (at != std::string::npos) control_file.replace(at, from.size(), to);
  };
  replace("5 number of meteorological inputs", "0 number of meteorological inputs");
  // January alone: tests that bring their own inputs need not run the example's months.
  replace("3     end month", "1     end month");
  // Two more standard grids, whatever their count in the example.
  const std::string key = " number of standard grids\n";
  const std::size_t at = control_file.find(key);
  if (at != std::string::npos) {
    const std::size_t line = control_file.rfind('\n', at);
    const std::size_t begin = line == std::string::npos ? 0 : line + 1;
    const int count = std::stoi(control_file.substr(begin, at - begin));
    control_file.replace(begin, at + key.size() - begin,
                         std::to_string(count + 2) + key +
                             "precipitation.asc precipitation 0 readcode = 0 defaultValue = 4  # mm per step\n"
                             "temperature.asc temperature 0 readcode = 0 defaultValue = 5  # deg C\n");
  }
  return control_file;
}

std::string WithRunEnd(std::string control_file, int day, int month, int year) {
  const std::pair<const char*, int> ends[] = {{"end hour", 24}, {"end day", day}, {"end month", month}, {"end year", year}};
  for (const auto& [key, value] : ends) {
    // The line "<value> <key>": its first word is replaced.
    const std::size_t at = control_file.find(std::string(" ") + key);
    if (at == std::string::npos) continue;
    const std::size_t line = control_file.rfind('\n', at);
    const std::size_t begin = line == std::string::npos ? 0 : line + 1;
    const std::size_t word_end = control_file.find_first_of(" \t", begin);
    control_file.replace(begin, word_end - begin, std::to_string(value));
  }
  return control_file;
}

SharedExampleBasin::SharedExampleBasin(const Edits& edits) {
  int rank = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  std::string name;
  if (rank == 0) {
    static int counter = 0;
    std::ostringstream stem;
    stem << "tolvo_basin_" << ::getpid() << "_" << counter++;
    path_ = std::filesystem::temp_directory_path() / stem.str();
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_ / "out");
    std::filesystem::copy(ExampleBasinSource(), path_, std::filesystem::copy_options::recursive);
    std::string text = WithoutStationData(ReadFile(file("basin.ctl")));
    for (const auto& [from, to] : edits) {
      const std::size_t at = text.find(from);
      if (at != std::string::npos) text.replace(at, from.size(), to);
    }
    WriteFile(file("basin.ctl"), text);
    name = path_.string();
  }
  path_ = TextOfProcess0(name);
}

SharedExampleBasin::~SharedExampleBasin() {
  MPI_Barrier(MPI_COMM_WORLD);
  int rank = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  std::error_code ignored;
  if (rank == 0) std::filesystem::remove_all(path_, ignored);
}

}  // namespace tolvo::test
