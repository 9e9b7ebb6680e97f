#pragma once
// The river of one sub-basin as the soil model and the irrigation see it: the discharge
// and flow speed of the routing channel that carries the sub-basin's water, and the water
// that re-infiltrating river cells took from it since the routing last refreshed the
// record. One record per sub-basin index (0..n); the discharge routing fills them on
// process 0, the soil model adds its re-infiltration.

#include <array>

namespace tolvo {

struct RiverflowRecord {
  std::array<double, 10> flow_mm{};  // slot 0 water [routing mm per step], 1..9 tracer concentrations
  double flowm3s = 0;                // discharge [m3/s]
  double speed = 0;                  // mean flow velocity [m/s]
  double area_km2 = 0;               // catchment area of the channel [km2]
  double reinfiltration = 0;         // water taken by re-infiltration [m3/s]
  double reserved = 0;               // second exchange value, cleared with reinfiltration
  int routing_object = 0;            // routing object (from 1) owning the channel; 0: none
  int channel = 0;                   // channel of that object carrying the sub-basin's water
};

}  // namespace tolvo
