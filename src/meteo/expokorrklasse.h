#pragma once
// Correction of radiation and temperature by slope and aspect (section
// "[radiation_correction]"). Its computations are not part of this build yet: it reads
// its switch and time step and keeps the date of each step.

#include "framework/teilmodellklasse.h"

namespace tolvo {

class expokorrklasse : public teilmodellklasse {
 public:
  expokorrklasse(DiagnosticsLog& log, StatisticsRegistry& registry, const ModelSettings& settings);
  // The grid of radiation correction factors when the module switch is 1, else none.
  ConstGridView CorrectedRadiation() const { return {}; }
};

}  // namespace tolvo
