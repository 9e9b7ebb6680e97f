#include "meteo/regional_superposition.h"

namespace tolvo {

RegionalSuperposition::RegionalSuperposition(DiagnosticsLog& log, StatisticsRegistry& /*registry*/,
                                             const ModelSettings& settings)
    : teilmodellklasse(log, "RegionalSuperposition", settings, 1) {}

}  // namespace tolvo
