#pragma once
// Evaporation from the snow cover: a potential demand (mm per step) is met from the solid
// snow store S (mm) as far as it goes; what the snow cannot give stays as demand for the
// vegetation and the soil. S + demand is unchanged by a draw, and the amount taken is the
// snow evaporation.

namespace tolvo {

// Meets `demand` from `store`; returns the amount taken from the store.
inline double DrawFromSnow(double& store, double& demand) {
  if (demand > store) {
    const double taken = store;
    demand -= store;
    store = 0;
    return taken;
  }
  const double taken = demand;
  store -= demand;
  demand = 0;
  return taken;
}

}  // namespace tolvo
