#pragma once
// Runoff concentration of a sub-basin: the runoff of its cells travels through the queue of
// flow-time zones (zone z reaches the outlet z model steps after it was formed) into two
// single linear storages, one for direct runoff and one for interflow, whose outflows
// together with the baseflow make the total runoff of the sub-basin.
//
// A single linear storage with recession constant k [min] over a step of dt [min] turns an
// inflow I (held constant over the step) into the outflow
//   Q_new = I (1 - a) + a Q_old,   a = exp(-dt / k)
// (the discrete unit response of a linear reservoir, Nash 1957). A tracer concentration
// of the outflow mixes the concentrations of I and Q_old with the same weights.
// Runoff and outflows are millimetres per step over the sub-basin.

#include <span>

#include "framework/zone_record.h"

namespace tolvo {

// The queue moves one step towards the outlet: n, sx and RelCellSum of zone z - 1 take
// those of zone z for z = 2..last, and the last zone is emptied; the codes and shares
// (zonenwert, rel) and zone 0 stay. records: zones 0..last.
void ShiftFlowTimeQueue(std::span<ZoneRecord> records);

// exp(-dt / k) for a recession constant k > 0 [min]; 0 (the storage releases at once)
// for a constant that is not a positive number.
double RecessionFactor(double dt_min, double k_min);

// Outflow of the storage after the step, for inflow I and the previous outflow.
inline double LinearStorageOutflow(double inflow, double previous, double a) {
  return inflow * (1 - a) + a * previous;
}

// Concentration of the outflow: the inflow's and the previous outflow's concentration
// weighted by their shares of the new outflow; 0 when that outflow is not positive.
double LinearStorageConcentration(double inflow, double inflow_conc, double previous, double previous_conc,
                                  double a);

// Runoff of zone 1 [mm]: sx / RelCellSum, 0 when no cell weight reached the zone.
inline double ZoneRunoff(const ZoneRecord& zone) { return zone.RelCellSum > 0 ? zone.sx / zone.RelCellSum : 0; }

}  // namespace tolvo
