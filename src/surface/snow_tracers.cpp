// The tracers of the snow step: what the water input brings into the ordinary snow pack
// of a cell without glacier, decay, what leaves with the outflow of the snow cover, and
// the pack's values in the tracers' statistics.

#include "surface/snow_tracers.h"

#include "framework/zonal_statistic.h"
#include "surface/schneemodellklasse.h"

namespace tolvo {

void schneemodellklasse::TracersIntoSnow(int r, int c, double snow) const {
  const double P = water_input_(r, c);
  for (const SnowTracer& t : snow_tracers_) {
    double& stored = t.storage(r, c);
    stored = SnowTracerIn(t, stored, P, t.input(r, c), snow);
  }
}

void schneemodellklasse::TracersOutOfSnow(int r, int c) const {
  const double outflow = outflow_(r, c);
  const double snow = solid_(r, c) + liquid_(r, c);
  for (const SnowTracer& t : snow_tracers_) {
    t.outflow_concentration(r, c) = SnowTracerOut(t, t.storage(r, c), outflow, snow);
  }
}

void schneemodellklasse::AddTracerStatistics(int r, int c, int zone) {
  const double snow = solid_(r, c) + liquid_(r, c);
  for (std::size_t t = 0; t < snow_tracers_.size(); ++t) {
    zonalstatistic* table = TracerRecords[t + 1].statistic.get();
    if (table == nullptr) continue;
    const SnowTracer& tracer = snow_tracers_[t];
    // The concentration of an evaporating tracer counts with the water it is dissolved in.
    table->AddValue(r, c, zone, tracer.storage(r, c), tracer.evaporating ? snow : 1.0);
  }
}

}  // namespace tolvo
