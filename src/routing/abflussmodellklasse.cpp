#include "routing/abflussmodellklasse.h"

namespace tolvo {

abflussmodellklasse::abflussmodellklasse(DiagnosticsLog& log, StatisticsRegistry& /*registry*/,
                                         const ModelSettings& settings, int /*storage_read_code*/)
    : teilmodellklasse(log, "routing_model", settings, 1) {}

}  // namespace tolvo
