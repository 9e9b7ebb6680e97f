#include "surface/schneemodellklasse.h"

namespace tolvo {

schneemodellklasse::schneemodellklasse(DiagnosticsLog& log, StatisticsRegistry& /*registry*/,
                                       const ModelSettings& settings)
    : teilmodellklasse(log, "snow_model", settings, 1) {}

}  // namespace tolvo
