#pragma once
// Point time series of chosen grid cells: the sub-model of the section "[special_output]",
// which may be missing (the output is then switched off, with an INFO entry). After the
// module switch and the time step the section holds "numfiles=" n ";" and n file blocks,
// each in braces with "header=", "filename=" and one group "entity { ... }" per grid with
// "ID=", "Symbol=", "Xcoords=", "Ycoords=" and optionally "Level=". The points are
// sampled at every model step whatever the section's time step (point_output_file.h).
//
// It is built last of the sub-models, so that every grid the others register is found.

#include <string_view>
#include <vector>

#include "framework/point_output_file.h"
#include "framework/teilmodellklasse.h"

namespace tolvo {

class SpecialOutputClass : public teilmodellklasse {
 public:
  // Throws the ErrorCode of a failure (1006, 1007, 1008, 104 and the generic ones).
  SpecialOutputClass(DiagnosticsLog& log, StatisticsRegistry& registry, const ModelSettings& settings, int sub_steps);
  // Samples the points of every file: in a soil sub-step (in_substep 1, sub-step k from 1)
  // or at the end of the step (0, 0). Collective when a buffer is full.
  void CollectAll(const ModelDate& date, int in_substep, int substep);
  // Collective: writes the rows every file holds.
  void FlushAll();
  // The points of every entity on the grid `identifier` show `factor` times its values: for
  // a grid that holds a rate where the other points show depths per sub-step.
  void ScaleGrid(std::string_view identifier, double factor);
  // Collective: writes what is still held and releases the files.
  void DeleteModule() override;

  const std::vector<SpecialOutputFile>& files() const { return files_; }

 private:
  void ReadFileBlocks();

  std::vector<SpecialOutputFile> files_;
  int file_count_ = 0;
  int soil_sub_steps_;
};

}  // namespace tolvo
