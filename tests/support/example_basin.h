#pragma once
// The example basin of examples/basin, copied for a test into one folder that every
// process of the test's job shares.

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace tolvo::test {

// Copies the example basin without its station data (WithoutStationData) into a fresh
// folder named by process 0 and shared by every process (collective); each edit replaces the first occurrence of a text of the control
// file by another. The folder is
// removed by the destructor (process 0).
class SharedExampleBasin {
 public:
  using Edits = std::vector<std::pair<std::string, std::string>>;
  explicit SharedExampleBasin(const Edits& control_file_edits = {});
  ~SharedExampleBasin();
  SharedExampleBasin(const SharedExampleBasin&) = delete;
  SharedExampleBasin& operator=(const SharedExampleBasin&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

// The example basin's source folder.
std::filesystem::path ExampleBasinSource();

// The control file text of the example basin without its station data: no meteorological
// input, the silting-up model's water input a fixed precipitation grid of 60 mm per
// step, and a run to the end of January. Tests that drive the basin with their own inputs
// start from it.
std::string WithoutStationData(std::string control_file);

// The control file with its run ending at the end of the given day (hour 24), whatever end
// it had: the values of its "end hour", "end day", "end month" and "end year" lines.
std::string WithRunEnd(std::string control_file, int day, int month, int year);

}  // namespace tolvo::test
