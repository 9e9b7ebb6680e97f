#pragma once
// The settings of one dissolved substance (tracer), as the tracer settings of the control
// file define it and as every sub-model that carries tracers reads it.

#include <string>

namespace tolvo {

struct TracerSettingsRecord {
  std::string name;  // 3 characters, lower case, padded with "_"
  int radioactive = 0;
  int evaporating = 0;
  double min_conc = 0;
  double max_conc = 0;
  double half_time = 0;  // days; -9999 for a tracer that does not decay
  double gwini = 0;
  double soilini = 0;
  double decay_factor = 0;          // decay over one time step, set by the sub-models
  double substep_decay_factor = 0;  // decay over one routing sub-step, set by the routing
  std::string path;
  std::string statext;
  std::string gridext;
  int statcode = 0;
  int gridcode = 0;
};

inline constexpr int kMaxTracers = 9;

}  // namespace tolvo
