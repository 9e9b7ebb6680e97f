#include "routing/irrigationclass.h"

namespace tolvo {

irrigationclass::irrigationclass(DiagnosticsLog& log, StatisticsRegistry& /*registry*/, const ModelSettings& settings)
    : teilmodellklasse(log, "irrigation", settings, 1) {}

}  // namespace tolvo
