#include "subsurface/gwflowclass.h"

namespace tolvo {

gwflowclass::gwflowclass(DiagnosticsLog& log, StatisticsRegistry& /*registry*/, const ModelSettings& settings,
                         int sub_steps)
    : teilmodellklasse(log, "groundwater_flow", settings, sub_steps) {}

}  // namespace tolvo
