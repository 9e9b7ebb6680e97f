#pragma once
// Tracers carried by the ordinary snow store of a cell. A non-evaporating tracer is held
// as a mass per area (mm times concentration) and leaves with the outflow; an evaporating
// tracer is held as the concentration of the pack's water and leaves at that concentration.

#include <algorithm>
#include <cmath>
#include <numbers>

#include "framework/matrix.h"

namespace tolvo {

// One tracer as the snow step uses it: its snow-pack store, the concentration of the
// water leaving the cover, the concentration of the water input and its settings.
struct SnowTracer {
  GridView storage;
  GridView outflow_concentration;
  ConstGridView input;
  bool radioactive = false;
  bool evaporating = false;
  double decay_factor = 1;  // over one step of the snow model
  double max_conc = 0;
};

// The factor by which a radioactive tracer of half-life half_time_days decays over a step
// of dt_min minutes, exp(−ln 2 · t / T½); 1 without a positive half-life.
inline double SnowDecayFactor(double half_time_days, double dt_min) {
  if (!(half_time_days > 0)) return 1;
  return std::exp(-std::numbers::ln2 * (dt_min / 60 / 24) / half_time_days);
}

// The pack's tracer before the snow computation: decay over the step, then the water
// input P at concentration c added to a pack of `snow` mm (solid + liquid).
inline double SnowTracerIn(const SnowTracer& t, double stored, double P, double c, double snow) {
  if (t.radioactive) stored *= t.decay_factor;
  if (!(P > 0)) return stored;
  if (!t.evaporating) return stored + P * c;
  const double water = snow + P;
  return water == 0 ? 0 : (P * c + snow * stored) / water;
}

// The tracer leaving the pack with `outflow` mm, the pack holding `snow` mm after the step:
// updates the store and returns the outflow's concentration. The mass leaving is the
// outflow's share of the pack's mass, at most outflow times the highest concentration.
inline double SnowTracerOut(const SnowTracer& t, double& stored, double outflow, double snow) {
  if (t.evaporating) return stored;
  const double water = outflow + snow;
  if (!(water > 0) || !(outflow > 0)) return 0;
  // A pack that melts away entirely lets all of its tracer go (up to the cap).
  const double share = snow > 0 ? stored * outflow / water : stored;
  const double leaving = std::min(share, outflow * t.max_conc);
  stored -= leaving;
  return leaving / outflow;
}

}  // namespace tolvo
