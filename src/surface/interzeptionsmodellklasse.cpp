#include "surface/interzeptionsmodellklasse.h"

namespace tolvo {

interzeptionsmodellklasse::interzeptionsmodellklasse(DiagnosticsLog& log, StatisticsRegistry& /*registry*/,
                                                     const ModelSettings& settings)
    : teilmodellklasse(log, "interception_model", settings, 1) {
  // The interception method is the third value of the section.
  if (ModuleSwitch != 0) ReadItem(ModuleMethod, "interception method in [interception_model]");
}

}  // namespace tolvo
