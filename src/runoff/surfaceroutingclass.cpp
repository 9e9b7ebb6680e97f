#include "runoff/surfaceroutingclass.h"

namespace tolvo {

surfaceroutingclass::surfaceroutingclass(DiagnosticsLog& log, StatisticsRegistry& /*registry*/,
                                         const ModelSettings& settings, int sub_steps)
    : teilmodellklasse(log, "SurfaceRoutingModel", settings, sub_steps) {}

void surfaceroutingclass::FinishModel(bool /*append*/) {
  ReleaseTracers();
  DeleteModule();
}

}  // namespace tolvo
