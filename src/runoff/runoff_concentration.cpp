#include "runoff/runoff_concentration.h"

#include <cmath>

namespace tolvo {

void ShiftFlowTimeQueue(std::span<ZoneRecord> records) {
  if (records.size() < 2) return;
  for (std::size_t z = 2; z < records.size(); ++z) {
    records[z - 1].n = records[z].n;
    records[z - 1].sx = records[z].sx;
    records[z - 1].RelCellSum = records[z].RelCellSum;
  }
  ZoneRecord& last = records.back();
  last.n = last.sx = last.RelCellSum = 0;
}

double RecessionFactor(double dt_min, double k_min) {
  if (!(k_min > 0)) return 0;
  return std::exp(-dt_min / k_min);
}

double LinearStorageConcentration(double inflow, double inflow_conc, double previous, double previous_conc,
                                  double a) {
  const double outflow = LinearStorageOutflow(inflow, previous, a);
  if (!(outflow > 0)) return 0;
  return (inflow * inflow_conc * (1 - a) + previous * previous_conc * a) / outflow;
}

}  // namespace tolvo
