#pragma once
// Settings of the groundwater flow model: the items of "[groundwater_flow]" after the
// module switch and time step, and the key of "[groundwater_tuning]".

#include <string>
#include <vector>

#include "framework/modelobject.h"

namespace tolvo {

enum class HeadSolver {
  kPointIteration,  // 1: successive over-relaxation of the point iteration
  kRowImplicit,     // 2: row-wise implicit solution
  kNone,            // any other number: heads are not solved
};

// Name and write code of one per-layer output.
struct LayerOutput {
  std::string name;
  int write_code = 0;
};

struct AquiferLayerOutputs {
  LayerOutput heads;
  LayerOutput flow_x;
  LayerOutput flow_y;
  LayerOutput balance;
  std::string old_heads_name;  // heads name with "_old" before its extension
};

struct GroundwaterSettings {
  HeadSolver method = HeadSolver::kNone;
  int method_number = 0;
  int max_iterations = 0;
  double max_error = 0;  // m
  double alpha = 1;
  double sor_parameter = 1;
  bool adaptive_relaxation = false;
  int grid_read_code = 0;
  int n_layers = 0;
  int control_row = 0;
  int control_col = 0;
  std::string control_file;  // with the output directory in front
  int use_pond_flag = 0;     // 1: the top-layer head includes the ponding storage
  bool pond_flag_given = false;
  std::vector<AquiferLayerOutputs> layers;  // entries 1..n_layers
  double frozen_depth_scaling = 1.0;
};

// The old-head file name: "_old" inserted before the last "." of the file name, or
// appended when it has none (heads.asc gives heads_old.asc, gw/heads gives gw/heads_old,
// gw.v2/heads gives gw.v2/heads_old).
std::string OldHeadsName(const std::string& heads_name);

// Reads the items of [groundwater_flow] after the time step (the reader stands there):
// method to the per-layer names. A control point outside the grid fails with 8 (row) or
// 9 (column). `section` is the section name without brackets.
void ReadGroundwaterSection(modelobject& reader, const std::string& section, GroundwaterSettings& s);

// Reads the key lines of "[groundwater_tuning]" (the reader stands after its header) up to
// an empty line, the next section header or the end of the file; line ends may be LF or
// CR LF. "frozenDepthScaling = x" sets the frozen-depth scaling; a value that is not a
// number fails with 17.
void ReadGroundwaterTuning(modelobject& reader, GroundwaterSettings& s);

}  // namespace tolvo
