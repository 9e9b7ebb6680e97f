#include "meteo/expokorrklasse.h"

namespace tolvo {

expokorrklasse::expokorrklasse(DiagnosticsLog& log, StatisticsRegistry& /*registry*/, const ModelSettings& settings)
    : teilmodellklasse(log, "radiation_correction", settings, 1) {}

}  // namespace tolvo
