#include "runoff/siltingupclass.h"

namespace tolvo {

siltingupclass::siltingupclass(DiagnosticsLog& log, StatisticsRegistry& /*registry*/, const ModelSettings& settings)
    : teilmodellklasse(log, "SiltingUpModel", settings, 1) {}

}  // namespace tolvo
