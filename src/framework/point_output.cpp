#include "framework/point_output.h"

namespace tolvo {

SpecialOutputClass::SpecialOutputClass(DiagnosticsLog& log, StatisticsRegistry& /*registry*/,
                                       const ModelSettings& settings, int sub_steps)
    : teilmodellklasse(log, "special_output", settings, 1, false), soil_sub_steps_(sub_steps) {}

}  // namespace tolvo
