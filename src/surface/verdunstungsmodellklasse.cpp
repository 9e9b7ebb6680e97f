#include "surface/verdunstungsmodellklasse.h"

namespace tolvo {

verdunstungsmodellklasse::verdunstungsmodellklasse(DiagnosticsLog& log, StatisticsRegistry& /*registry*/,
                                                   const ModelSettings& settings)
    : teilmodellklasse(log, "evapotranspiration", settings, 1) {}

}  // namespace tolvo
