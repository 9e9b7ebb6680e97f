#include "subsurface/unsatzonmodellklasse.h"

namespace tolvo {

unsatzonmodellklasse::unsatzonmodellklasse(DiagnosticsLog& log, StatisticsRegistry& /*registry*/,
                                           const ModelSettings& settings, int sub_steps)
    : teilmodellklasse(log, "unsatzon_model", settings, sub_steps) {}

bool unsatzonmodellklasse::finishModel(bool /*append*/) {
  ReleaseTracers();
  DeleteModule();
  return false;
}

}  // namespace tolvo
